// Files written by other programs (abc2midi, mido) read by our reader and import, and files
// our writer produces read by mido. mido describes each file as text (mido_smf.py); the
// same text is made from our side and compared.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "midi/RSmf.h"
#include "midi/SmfImport.h"
#include "support/Bytes.h"
#include "support/TempDir.h"

using namespace DUve;
using namespace DUve::CRSeq::Property;
namespace fs = std::filesystem;

namespace {

using Lines = std::vector<std::string>;

const char* const kPython = "/usr/bin/python3";

fs::path Script() {
    return fs::path(__FILE__).parent_path() / "mido_smf.py";
}

// Runs a command line; its standard output split into lines. False on a non-zero exit.
bool RunCommand(const std::string& command, Lines& lines) {
    lines.clear();
    FILE* pipe = ::popen(command.c_str(), "r");
    if (!pipe) return false;
    std::string out;
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, pipe)) > 0) out.append(buf, n);
    const int status = ::pclose(pipe);
    std::istringstream in(out);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return status == 0;
}

std::string Quote(const fs::path& p) {
    std::string s = "'";
    return (s += p.string()) += "'";
}

bool HaveMido() {
    Lines ignored;
    return ::access(kPython, X_OK) == 0 &&
           RunCommand(std::string(kPython) + " -c 'import mido' 2>/dev/null", ignored);
}

bool HaveProgram(const char* name) {
    Lines ignored;
    return RunCommand(std::string("command -v ") + name + " >/dev/null 2>&1", ignored);
}

Lines Mido(const std::string& args) {
    Lines lines;
    EXPECT_TRUE(RunCommand(std::string(kPython) + " " + Quote(Script()) + " " + args, lines))
        << args;
    return lines;
}

std::vector<uint8_t> ReadFile(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void WriteFile(const fs::path& p, const std::vector<uint8_t>& bytes) {
    std::ofstream out(p, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
}

std::string Hex(const std::vector<uint8_t>& bytes) {
    std::string s;
    char buf[3];
    for (uint8_t b : bytes) {
        std::snprintf(buf, sizeof buf, "%02x", b);
        s += buf;
    }
    return s;
}

// One event as mido_smf.py describes it.
std::string Text(const CRSmfEvent& e) {
    using K = CRSmfEvent::EKind;
    const int ch = e.GetChannel();
    auto join = [&](const char* kind, std::initializer_list<int> values) {
        std::string s = kind;
        for (int v : values) (s += ' ') += std::to_string(v);
        return s;
    };
    switch (e.GetKind()) {
        case K::NoteOn: {
            const auto& n = static_cast<const CRSmfEventChNote&>(e);
            return join("on", {ch, n.nNote, n.nVelocity});
        }
        case K::NoteOff: {
            const auto& n = static_cast<const CRSmfEventChNote&>(e);
            return join("off", {ch, n.nNote, n.nVelocity});
        }
        case K::PolyphonicKeyPressure: {
            const auto& p = static_cast<const CRSmfEventChPolyphonicKeyPressure&>(e);
            return join("poly", {ch, p.nNote, p.nPressure});
        }
        case K::ControlChange: {
            const auto& c = static_cast<const CRSmfEventChControlChange&>(e);
            return join("cc", {ch, c.nControl, c.nValue});
        }
        case K::ProgramChange:
            return join("pc", {ch, static_cast<const CRSmfEventChProgramChange&>(e).nProgram});
        case K::ChannelPressure:
            return join("cp", {ch, static_cast<const CRSmfEventChChannelPressure&>(e).nPressure});
        case K::PitchWheel:
            return join("pw", {ch, static_cast<const CRSmfEventChPitchWheel&>(e).nBend});
        case K::Exclusive:
            return "sysex " + Hex(static_cast<const CRSmfEventExclusive&>(e).vData);
        case K::Meta: {
            const auto& m = static_cast<const CRSmfEventMeta&>(e);
            return "meta " + std::to_string(m.nType) + " " + Hex(m.vData);
        }
    }
    return "?";
}

// Our reading of a file in mido_smf.py's dump form (the format as the header says it).
Lines Dump(const CRSmf& smf, int format) {
    Lines out = {"header " + std::to_string(format) + " " + std::to_string(smf.GetDivision()) +
                 " " + std::to_string(smf.TrackChunks().size())};
    for (size_t i = 0; i < smf.TrackChunks().size(); ++i)
        for (const auto& e : *smf.TrackChunks()[i])
            out.push_back(std::to_string(i) + " " + std::to_string(e->nTime) + " " + Text(*e));
    return out;
}

int FormatOf(const std::vector<uint8_t>& bytes) {
    return bytes.size() >= 10 ? bytes[8] * 256 + bytes[9] : -1;
}

// What our import made of a file, in mido_smf.py's import form, sorted.
Lines Imported(const CSmfImportResult& r) {
    Lines out;
    char buf[128];
    for (const auto& [idPort, port] : r.vPorts) {
        for (const auto& e : r.mapEvents.at(idPort)) {
            const CEventBase& p = *e->property;
            if (auto n = dynamic_cast<const CEventNote*>(&p))
                std::snprintf(buf, sizeof buf, "note %d %u %d %d %u", port.nChannel, e->nStep,
                              n->nNote, n->nVelocity, n->nLength);
            else if (auto t = dynamic_cast<const CEventTempo*>(&p))
                std::snprintf(buf, sizeof buf, "tempo %u %.6f", e->nStep, t->dTempo);
            else if (auto m = dynamic_cast<const CEventMeter*>(&p))
                std::snprintf(buf, sizeof buf, "meter %u %d %d", e->nStep, m->nBeats,
                              m->nBeatLength);
            else
                continue;
            out.push_back(buf);
        }
    }
    std::sort(out.begin(), out.end());
    return out;
}

Lines Sorted(Lines lines) {
    std::sort(lines.begin(), lines.end());
    return lines;
}

class SmfInteropTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!HaveMido()) GTEST_SKIP() << "no mido for " << kPython;
        ASSERT_FALSE(m_dir.Path().empty());
    }

    // Reads the file with our reader and compares event by event with mido; then imports
    // it and compares notes, steps, lengths, tempos and meters with what mido's events give.
    void CheckAgainstMido(const fs::path& file, size_t minEvents) {
        const auto bytes = ReadFile(file);
        CRSmf smf;
        ASSERT_TRUE(smf.Read(bytes)) << file;
        const Lines ours = Dump(smf, FormatOf(bytes));
        const Lines theirs = Mido("dump " + Quote(file));
        EXPECT_GE(ours.size(), minEvents);
        EXPECT_EQ(ours, theirs) << file;

        CSolutionDb db;
        ASSERT_TRUE(db.Open(m_dir.Path() / (file.stem().string() + ".db")));
        uint8_t raw[16] = {1};
        const CRUid idSequence(raw);
        ASSERT_TRUE(db.CreateSequence(idSequence, CSequence(u"interop")));
        const auto r = ImportSmf(db, bytes, idSequence, u"Piano", {});
        ASSERT_TRUE(r.bOk);
        const Lines expected = Sorted(Mido("import " + Quote(file)));
        EXPECT_FALSE(expected.empty());
        EXPECT_EQ(Imported(r), expected) << file;
    }

    PalvorTest::CTempDir m_dir;
};

}  // namespace

TEST_F(SmfInteropTest, ReadsFilesWrittenByMido) {
    for (const char* kind : {"type0", "type1"}) {
        const fs::path file = m_dir.Path() / (std::string(kind) + ".mid");
        Mido("make " + Quote(file) + " " + kind);
        const auto bytes = ReadFile(file);
        ASSERT_GT(bytes.size(), 14u) << kind;
        EXPECT_EQ(FormatOf(bytes), kind[4] - '0');
        CheckAgainstMido(file, 50);
    }
}

TEST_F(SmfInteropTest, ReadsFilesWrittenByAbc2midi) {
    if (!HaveProgram("abc2midi")) GTEST_SKIP() << "no abc2midi";
    struct CTune {
        const char* name;
        const char* abc;
        int format;
    };
    const CTune tunes[] = {
        {"voices",
         "X:1\nT:Voices\nM:6/8\nL:1/8\nQ:1/4=100\nK:D\n"
         "V:1\n%%MIDI program 40\ndef gfe|d3- dBA|(3ABc d2 z|f^ga b2a|\n"
         "V:2\n%%MIDI channel 3\nD,3 A,3|D,6|A,,3 D,3|G,6|\n"
         "V:3\n%%MIDI channel 10\nF2F F2F|z6|F6|F3 F3|\n",
         1},
        {"single", "X:1\nT:Single\nM:3/4\nL:1/4\nQ:1/4=90\nK:G\nGAB|d2c|B3|{c}B/A/ G2|]\n", 0},
    };
    for (const auto& tune : tunes) {
        const fs::path abc = m_dir.Path() / (std::string(tune.name) + ".abc");
        const fs::path mid = m_dir.Path() / (std::string(tune.name) + ".mid");
        std::ofstream(abc) << tune.abc;
        Lines out;
        ASSERT_TRUE(
            RunCommand("abc2midi " + Quote(abc) + " -o " + Quote(mid) + " -silent >/dev/null 2>&1",
                       out) ||
            fs::exists(mid))
            << tune.name;
        const auto bytes = ReadFile(mid);
        ASSERT_GT(bytes.size(), 14u) << tune.name;
        EXPECT_EQ(FormatOf(bytes), tune.format) << tune.name;
        CheckAgainstMido(mid, 20);
    }
}

TEST_F(SmfInteropTest, MidoReadsWhatWeWrite) {
    CRSmf smf;
    smf.SetDivision(384);
    auto conductor = smf.AddTrackChunk();
    conductor->Insert(CRSmfEventMeta::MakeTempo(0, 150.0));
    ASSERT_TRUE(conductor->AddEvent(0, {0xFF, 0x58, 0x04, 0x05, 0x03, 0x18, 0x08}));
    ASSERT_TRUE(conductor->AddEvent(0, {0xFF, 0x03, 0x03, 'a', 'b', 'c'}));
    conductor->Insert(CRSmfEventMeta::MakeTempo(1536, 72.5));
    for (uint8_t ch : {0, 9}) {
        auto chunk = smf.AddTrackChunk();
        ASSERT_TRUE(chunk->AddEvent(0, {static_cast<uint8_t>(0xC0 | ch), 12}));
        ASSERT_TRUE(chunk->AddEvent(0, {0xF0, 0x04, 0x41, 0x10, 0x42, 0xF7}));
        for (uint32_t i = 0; i < 64; ++i) {
            const uint8_t note = static_cast<uint8_t>(40 + (i * 7) % 40);
            ASSERT_TRUE(chunk->AddEvent(i * 96, {static_cast<uint8_t>(0x90 | ch), note, 100}));
            // Note-offs both ways; in the file they are 0x8n.
            ASSERT_TRUE(chunk->AddEvent(
                i * 96 + 90, {static_cast<uint8_t>((i % 2 ? 0x90 : 0x80) | ch), note, 0}));
            if (i % 8 == 0) {
                ASSERT_TRUE(chunk->AddEvent(
                    i * 96, {static_cast<uint8_t>(0xB0 | ch), 10, static_cast<uint8_t>(i)}));
                ASSERT_TRUE(chunk->AddEvent(
                    i * 96 + 1, {static_cast<uint8_t>(0xE0 | ch), static_cast<uint8_t>(i), 0x20}));
                ASSERT_TRUE(chunk->AddEvent(i * 96 + 2, {static_cast<uint8_t>(0xD0 | ch), 0x33}));
                ASSERT_TRUE(
                    chunk->AddEvent(i * 96 + 3, {static_cast<uint8_t>(0xA0 | ch), note, 0x44}));
            }
        }
    }
    const auto bytes = smf.Write();
    const fs::path file = m_dir.Path() / "ours.mid";
    WriteFile(file, bytes);

    // mido sees our events plus the end-of-track meta the writer adds to every chunk.
    Lines expected = {"header 1 384 3"};
    for (size_t i = 0; i < smf.TrackChunks().size(); ++i) {
        uint32_t last = 0;
        for (const auto& e : *smf.TrackChunks()[i]) {
            std::string t = Text(*e);
            last = e->nTime;
            expected.push_back(std::to_string(i) + " " + std::to_string(e->nTime) + " " + t);
        }
        expected.push_back(std::to_string(i) + " " + std::to_string(last) + " meta 47 ");
    }
    EXPECT_EQ(Mido("dump " + Quote(file)), expected);
    // A one-chunk file is format 0 for mido as well.
    CRSmf single;
    single.AddTrackChunk()->AddEvent(0, {0x90, 0x3C, 0x40});
    WriteFile(file, single.Write());
    EXPECT_EQ(Mido("dump " + Quote(file)),
              (Lines{"header 0 480 1", "0 0 on 0 60 64", "0 0 meta 47 "}));
}
