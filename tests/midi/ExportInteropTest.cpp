// The player's export of a sequence holding every event kind, read back by python3-mido:
// the same notes, ticks, tempo, controls, program, pitch bend and system exclusive data.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "midi/PlayerTestSupport.h"
#include "midi/RMidiPlayer.h"
#include "model/SolutionDb.h"
#include "support/TempDir.h"

using namespace DUve;
namespace P = DUve::CRSeq::Property;
namespace fs = std::filesystem;

namespace {

const char* const kPython = "/usr/bin/python3";

// mido's description of the file, one event a line: "TRACK TICK TEXT".
std::vector<std::string> MidoDump(const fs::path& file) {
    const fs::path script = fs::path(__FILE__).parent_path() / "mido_smf.py";
    const std::string command =
        std::string(kPython) + " '" + script.string() + "' dump '" + file.string() + "'";
    std::vector<std::string> lines;
    FILE* pipe = ::popen(command.c_str(), "r");
    if (!pipe) return lines;
    std::string out;
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, pipe)) > 0) out.append(buf, n);
    if (::pclose(pipe) != 0) return {};
    std::istringstream in(out);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

bool Has(const std::vector<std::string>& lines, const std::string& tickAndText) {
    for (const auto& l : lines) {
        const size_t space = l.find(' ');
        if (space != std::string::npos && l.substr(space + 1) == tickAndText) return true;
    }
    return false;
}

}  // namespace

TEST(ExportInterop, MidoReadsEveryEventKindOfAnExport) {
    if (::access(kPython, X_OK) != 0 || std::system("/usr/bin/python3 -c 'import mido' 2>/dev/null") != 0)
        GTEST_SKIP() << "python3-mido is not installed";
    PalvorTest::PlayerBackends();  // the device landscape every player test in this program shares
    PalvorTest::CTempDir dir;
    CSolutionDb db;
    ASSERT_TRUE(db.Open(dir.Path() / "0001_solution.db"));
    const CRUid seq = CRUid::Generate(), track = CRUid::Generate(), port = CRUid::Generate();
    ASSERT_TRUE(db.CreateSequence(seq, P::CSequence(u"all kinds")));
    ASSERT_TRUE(db.CreateTrack(track, seq, P::CTrack(u"t")));
    ASSERT_TRUE(db.CreatePort(port, P::CPort(track, u"p", u"Synth", 2)));
    P::CListEvent events;
    events.Insert(0, std::make_shared<P::CEventTempo>(150.0));
    events.Insert(0, std::make_shared<P::CEventProgramChange>(5));
    events.Insert(240, std::make_shared<P::CEventControlChange>(7, 100));
    events.Insert(480, std::make_shared<P::CEventPitchBend>(-8192));
    events.Insert(480, std::make_shared<P::CEventNote>(60, 90, 480));
    events.Insert(960, std::make_shared<P::CEventExclusive>(CRBytes{0x41, 0x10, 0x42}));
    ASSERT_TRUE(db.InsertEvents(port, events));

    const auto smf = ExportSmf(db, seq, std::chrono::seconds(30));
    ASSERT_FALSE(smf.empty());
    const fs::path file = dir.Path() / "export.mid";
    std::ofstream(file, std::ios::binary).write(reinterpret_cast<const char*>(smf.data()),
                                                static_cast<std::streamsize>(smf.size()));
    const auto lines = MidoDump(file);
    ASSERT_FALSE(lines.empty()) << "mido could not read the export";
    EXPECT_EQ(lines[0].rfind("header ", 0), 0u);
    EXPECT_NE(lines[0].find(" 480 "), std::string::npos) << lines[0];  // division 480: ticks = steps
    EXPECT_TRUE(Has(lines, "0 meta 81 061a80")) << "tempo 150 = 400000 us";
    EXPECT_TRUE(Has(lines, "0 pc 2 5"));
    EXPECT_TRUE(Has(lines, "240 cc 2 7 100"));
    EXPECT_TRUE(Has(lines, "480 pw 2 -8192"));
    EXPECT_TRUE(Has(lines, "480 on 2 60 90"));
    EXPECT_TRUE(Has(lines, "960 off 2 60 90"));  // the note's own velocity as release velocity
    EXPECT_TRUE(Has(lines, "960 sysex 411042"));
}
