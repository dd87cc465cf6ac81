// Keeps the MML guide (docs/mml.md) true: every fenced `mml` block is compiled with the
// real compiler on a fresh solution database, and what the compile made is rendered in the
// guide's notation and compared with the `events` or `error` block that follows it (only
// blank lines and HTML tag lines may stand between them).
//
// events: one line per port, `port NAME "INSTRUMENT" channel N`, in name order, then one
//         line per event in step order: `STEP note NAME (NUMBER) len STEPS vel V`,
//         `STEP program N` or `STEP tempo BPM`. Runs of spaces count as one, so columns may
//         be aligned. The compile must have returned "コンパイル完了" alone.
// error:  the message lines the compile returned, each as printed (a message may span two
//         lines), trailing spaces ignored.
#include <gtest/gtest.h>

#include <algorithm>
#include <charconv>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <typeinfo>
#include <vector>

#include "mml/MmlCompiler.h"
#include "runtime/RString.h"
#include "support/TempDir.h"

using namespace DUve;
using namespace DUve::Sequencer;
using namespace DUve::CRSeq::Property;

namespace {

const std::filesystem::path kDocs = PALVOR_DOCS_DIR;

struct CExample {
    int nLine = 0;           // line of the ```mml fence in docs/mml.md
    std::string sMml;        // the block's lines, each ended by a line feed
    std::string sKind;       // "events" or "error"; empty when no result block follows
    std::string sExpected;   // the result block's lines, each ended by a line feed
    std::string sSection;    // the last "## " heading before it
};

std::string ReadFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

std::string TrimRight(std::string s) {
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.pop_back();
    return s;
}

// The info string of a fence line ("```mml" gives "mml"), or nothing for other lines.
std::optional<std::string> Fence(const std::string& line) {
    if (line.rfind("```", 0) != 0) return std::nullopt;
    const size_t info = line.find_first_not_of('`');
    return info == std::string::npos ? std::string() : TrimRight(line.substr(info));
}

std::vector<CExample> Examples(const std::string& guide) {
    std::vector<std::string> lines;
    std::istringstream in(guide);
    for (std::string l; std::getline(in, l);) lines.push_back(TrimRight(l));

    // Every fenced block: info string, first line of the body, end (the closing fence).
    struct CBlock { std::string sInfo, sSection; size_t nBegin, nEnd; };
    std::vector<CBlock> blocks;
    std::string section;
    for (size_t i = 0; i < lines.size(); ++i) {
        if (lines[i].rfind("## ", 0) == 0) section = lines[i].substr(3);
        const auto info = Fence(lines[i]);
        if (!info) continue;
        size_t end = i + 1;
        while (end < lines.size() && !Fence(lines[end])) ++end;
        blocks.push_back({*info, section, i + 1, end});
        i = end;
    }
    const auto body = [&](const CBlock& b) {
        std::string s;
        for (size_t i = b.nBegin; i < b.nEnd && i < lines.size(); ++i) s += lines[i] + "\n";
        return s;
    };
    std::vector<CExample> examples;
    for (size_t k = 0; k < blocks.size(); ++k) {
        if (blocks[k].sInfo != "mml") continue;
        CExample e{static_cast<int>(blocks[k].nBegin), body(blocks[k]), {}, {}, blocks[k].sSection};
        if (k + 1 < blocks.size()) {
            const CBlock& next = blocks[k + 1];
            bool adjacent = true;
            for (size_t i = blocks[k].nEnd + 1; i + 1 < next.nBegin; ++i)
                adjacent = adjacent && (lines[i].empty() || lines[i][0] == '<');
            if (adjacent && (next.sInfo == "events" || next.sInfo == "error")) {
                e.sKind = next.sInfo;
                e.sExpected = body(next);
            }
        }
        examples.push_back(std::move(e));
    }
    return examples;
}

// Each line's words joined by one space; blank lines dropped.
std::string Words(const std::string& text) {
    std::string out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        std::istringstream words(line);
        std::string w, joined;
        while (words >> w) joined += (joined.empty() ? "" : " ") + w;
        if (!joined.empty()) out += joined + "\n";
    }
    return out;
}

std::string NoteName(int n) {
    static const char* const kName[] = {"C", "C#", "D", "D#", "E", "F",
                                        "F#", "G", "G#", "A", "A#", "B"};
    return std::string(kName[n % 12]) + std::to_string(n / 12 - 1) + " (" + std::to_string(n) +
           ")";
}

std::string Event(uint32_t step, const CEventBase* p) {
    std::string s = std::to_string(step) + " ";
    if (const auto* n = dynamic_cast<const CEventNote*>(p))
        return s + "note " + NoteName(n->nNote) + " len " + std::to_string(n->nLength) + " vel " +
               std::to_string(n->nVelocity);
    if (const auto* c = dynamic_cast<const CEventProgramChange*>(p))
        return s + "program " + std::to_string(c->nProgram);
    if (const auto* t = dynamic_cast<const CEventTempo*>(p)) {
        char buf[32];
        const auto r = std::to_chars(buf, buf + sizeof buf, t->dTempo);
        return s + "tempo " + std::string(buf, r.ptr);
    }
    return s + "unexpected event kind " + (p ? typeid(*p).name() : "(none)");
}

// Compiles `mml` as the only track of a new solution and renders the outcome as `kind`.
std::string CompileAndRender(const std::string& mml, const std::string& kind) {
    PalvorTest::CTempDir dir;
    CSolutionDb db;
    const CRUid idSequence = CRUid::Generate(), idTrack = CRUid::Generate();
    if (!db.Open(dir.Path() / "solution.db") || !db.CreateSequence(idSequence, CSequence(u"s")) ||
        !db.CreateTrack(idTrack, idSequence, CTrack(u"t")) ||
        !db.ChangeMml(idTrack, Utf8ToUtf16(mml)).first)
        return "(the solution database could not be prepared)\n";
    const auto result = CMmlCompiler::Compile(db, idTrack);
    std::string messages;
    for (const auto& m : result.vMessages) messages += Utf16ToUtf8(m) + "\n";
    if (kind == "error") return messages;
    if (result.vMessages != CRStringList{u"コンパイル完了"})
        return "(unexpected messages)\n" + messages;

    auto ports = db.SelectPortsOfTrack(idTrack);
    std::sort(ports.begin(), ports.end(),
              [](const auto& a, const auto& b) { return a->property.sTitle < b->property.sTitle; });
    std::string out;
    for (const auto& port : ports) {
        out += "port " + Utf16ToUtf8(port->property.sTitle) + " \"" +
               Utf16ToUtf8(port->property.sInstrument) + "\" channel " +
               std::to_string(port->property.nChannel) + "\n";
        for (const auto& e : db.SelectEventsOfPort(port->idPort))
            out += Event(e->nStep, e->property.get()) + "\n";
    }
    return out;
}

std::string ErrorLines(const std::string& text) {
    std::string out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) out += TrimRight(line) + "\n";
    while (out.size() > 1 && out.substr(out.size() - 2) == "\n\n") out.pop_back();
    return out;
}

const std::string& Guide() {
    static const std::string s = ReadFile(kDocs / "mml.md");
    return s;
}

}  // namespace

TEST(MmlGuide, EveryExampleCompilesAsShown) {
    const auto examples = Examples(Guide());
    EXPECT_GE(examples.size(), 10u) << "docs/mml.md has too few checked examples";
    for (const CExample& e : examples) {
        SCOPED_TRACE("example at docs/mml.md:" + std::to_string(e.nLine));
        if (e.sKind.empty()) {
            ADD_FAILURE() << "no ```events or ```error block follows the ```mml block";
            continue;
        }
        const std::string got = CompileAndRender(e.sMml, e.sKind);
        if (e.sKind == "events")
            EXPECT_EQ(Words(e.sExpected), Words(got)) << "the compiler makes:\n" << got;
        else
            EXPECT_EQ(ErrorLines(e.sExpected), ErrorLines(got)) << "the compiler says:\n" << got;
    }
}

// The song the README plays is the example of the guide's section "... A whole song".
TEST(MmlGuide, SongFileIsTheGuidesSong) {
    std::vector<std::string> songs;
    for (const CExample& e : Examples(Guide()))
        if (e.sSection.find("A whole song") != std::string::npos) songs.push_back(e.sMml);
    ASSERT_EQ(songs.size(), 1u) << "the section \"A whole song\" should hold one example";
    const std::string song = ReadFile(kDocs / "examples" / "song.mml");
    EXPECT_FALSE(song.empty()) << "docs/examples/song.mml is missing";
    EXPECT_EQ(songs[0], song);
}

// The reader pairs each example with its result and lets no broken example pass.
TEST(MmlGuide, ReaderFindsExamplesAndTheirResults) {
    const auto examples = Examples(
        "```mml\nport(p) c\n```\n\n<details>\n\n```error\n1:x\n```\n"
        "```text\nnot compiled\n```\n```mml\nc\n```\ntext between\n```events\n```\n");
    ASSERT_EQ(examples.size(), 2u);
    EXPECT_EQ(examples[0].nLine, 1);
    EXPECT_EQ(examples[0].sMml, "port(p) c\n");
    EXPECT_EQ(examples[0].sKind, "error");
    EXPECT_EQ(examples[0].sExpected, "1:x\n");
    EXPECT_EQ(examples[1].sKind, "");  // prose between: the example has no result
    EXPECT_EQ(Words("  0   note C5 (72)\n\n"), "0 note C5 (72)\n");
    // An `events` example whose compile reports anything cannot match its block.
    EXPECT_EQ(CompileAndRender("c", "events").rfind("(unexpected messages)\n", 0), 0u);
}
