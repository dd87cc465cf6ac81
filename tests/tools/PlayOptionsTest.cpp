// palvorplay's command line: what is accepted, what it means, and how refusals read.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "tools/play/PlayOptions.h"

namespace {

using namespace DUve;
using namespace DUve::Play;

struct CParsed {
    std::optional<CPlayOptions> options;
    std::optional<Cli::CExit> failure;
};

CParsed ParseWords(std::vector<std::string> words) {
    CLI::App app("test", "palvorplay");
    app.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
    CPlayArgs args;
    args.AddTo(app);
    std::vector<char*> argv{const_cast<char*>("palvorplay")};
    for (auto& w : words) argv.push_back(w.data());
    CParsed out;
    try {
        Cli::Parse(
            app, int(argv.size()), argv.data(), "palvorplay",
            [](const std::string&) { return std::string("[options] FILE.mid|SEQ"); }, [] {});
        out.options = args.Resolve();
    } catch (const Cli::CExit& e) {
        out.failure = e;
    }
    return out;
}

TEST(PlayOptions, AFileWithEveryOption) {
    const auto p = ParseWords({"song.mid", "--device", "Piano 2", "--loop", "480", "1920",
                               "--tempo-scale", "0.5", "--quiet"});
    ASSERT_TRUE(p.options) << p.failure->sMessage;
    const CPlayOptions& o = *p.options;
    EXPECT_EQ(o.sFile, "song.mid");
    EXPECT_FALSE(o.idSequence);
    EXPECT_EQ(o.device, std::optional<std::string>("Piano 2"));
    EXPECT_EQ(o.loop, (std::optional<std::pair<uint32_t, uint32_t>>({480u, 1920u})));
    EXPECT_DOUBLE_EQ(o.dTempoScale, 0.5);
    EXPECT_TRUE(o.bQuiet);
    EXPECT_FALSE(o.bListDevices);
}

TEST(PlayOptions, AServerOptionMakesTheTargetASequence) {
    const CRUid id = CRUid::Generate();
    const auto p = ParseWords(
        {"--port", "4100", "--visitor", "1", "--token", "alpha", "--solution", "5", id.ToText()});
    ASSERT_TRUE(p.options) << p.failure->sMessage;
    EXPECT_EQ(p.options->idSequence, std::optional<CRUid>(id));
    EXPECT_TRUE(p.options->sFile.empty());
    EXPECT_EQ(p.options->connection.nPort, 4100);
    EXPECT_EQ(p.options->connection.nSolution, 5u);
    // Without one, the same word is a file name.
    const auto file = ParseWords({id.ToText()});
    ASSERT_TRUE(file.options);
    EXPECT_EQ(file.options->sFile, id.ToText());
    EXPECT_FALSE(file.options->idSequence);
}

TEST(PlayOptions, RefusalsAreUsageErrors) {
    struct CCase {
        std::vector<std::string> words;
        std::string sMessage;
    };
    const CCase cases[] = {
        {{}, "nothing to play: give FILE.mid, or SEQ with the server options (see --help)"},
        {{"a.mid", "--tempo-scale", "0"}, "invalid tempo scale '0' (a number from 0.01 to 100)"},
        {{"a.mid", "--tempo-scale", "-1"}, "invalid tempo scale '-1' (a number from 0.01 to 100)"},
        {{"a.mid", "--tempo-scale", "nan"},
         "invalid tempo scale 'nan' (a number from 0.01 to 100)"},
        {{"a.mid", "--tempo-scale", "inf"},
         "invalid tempo scale 'inf' (a number from 0.01 to 100)"},
        {{"a.mid", "--tempo-scale", "0.009"},
         "invalid tempo scale '0.009' (a number from 0.01 to 100)"},
        {{"a.mid", "--tempo-scale", "100.5"},
         "invalid tempo scale '100.5' (a number from 0.01 to 100)"},
        {{"a.mid", "--tempo-scale", "2x"}, "invalid tempo scale '2x' (a number from 0.01 to 100)"},
        {{"a.mid", "--loop", "960", "480"}, "invalid loop 960 480: END must be after BEGIN"},
        {{"a.mid", "--loop", "480", "480"}, "invalid loop 480 480: END must be after BEGIN"},
        {{"a.mid", "--loop", "-1", "480"}, "invalid loop begin '-1' (0-4294967295)"},
        {{"a.mid", "--loop", "0", "4294967296"}, "invalid loop end '4294967296' (0-4294967295)"},
        {{"a.mid", "--loop", "0"}, "--loop needs BEGIN and END"},
        {{"a.mid", "--device"}, "--device needs a value"},
        {{"a.mid", "b.mid"}, "unexpected 'b.mid'"},
        {{"a.mid", "--speed", "2"}, "unknown option '--speed'"},
        {{"--port", "4000", "song.mid"}, "not an identifier (32 hex digits): 'song.mid'"},
    };
    for (const auto& c : cases) {
        const auto p = ParseWords(c.words);
        ASSERT_TRUE(p.failure) << c.sMessage;
        EXPECT_EQ(p.failure->nCode, Cli::kUsage) << c.sMessage;
        EXPECT_EQ(p.failure->sMessage, c.sMessage);
    }
}

TEST(PlayOptions, TempoScaleBoundsAreInclusive) {
    EXPECT_DOUBLE_EQ(ParseTempoScale("0.01"), kMinTempoScale);
    EXPECT_DOUBLE_EQ(ParseTempoScale("100"), kMaxTempoScale);
    EXPECT_DOUBLE_EQ(ParseTempoScale("1.5e0"), 1.5);
}

}  // namespace
