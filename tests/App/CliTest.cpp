// The command-line programs' shared layer: numbers, JSON text, the
// connection options, usage errors in the programs' words, reading input files.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "App/cli/Cli.h"

namespace {

using namespace DUve;
using namespace DUve::Cli;

// Runs `f` and returns the failure it ended with, or nothing when it returned.
template <class F>
std::optional<CExit> FailureOf(F&& f) {
    try {
        f();
    } catch (const CExit& e) {
        return e;
    }
    return std::nullopt;
}

TEST(CliNumbers, AcceptWithinBoundsAndNameTheRangeOtherwise) {
    struct CCase {
        std::string sText;
        long nLo, nHi;
        std::optional<long> expected;  // nothing: refused
    };
    const CCase cases[] = {
        {"0", 0, 15, 0},
        {"15", 0, 15, 15},
        {"16", 0, 15, std::nullopt},
        {"-1", 0, 15, std::nullopt},
        {"", 0, 15, std::nullopt},
        {"7x", 0, 15, std::nullopt},
        {" 7", 0, 15, 7},  // strtol skips leading blanks, as the programs always did
        {"4294967295", 0, 0xFFFFFFFFL, 0xFFFFFFFFL},
        {"99999999999999999999999", 0, 0xFFFFFFFFL, std::nullopt},  // out of long's range
    };
    for (const auto& c : cases) {
        long got = -12345;
        const auto failure =
            FailureOf([&] { got = ParseNumber(c.sText, c.nLo, c.nHi, "channel"); });
        if (c.expected) {
            EXPECT_FALSE(failure) << c.sText;
            EXPECT_EQ(got, *c.expected) << c.sText;
        } else {
            ASSERT_TRUE(failure) << c.sText;
            EXPECT_EQ(failure->nCode, kUsage);
            EXPECT_EQ(failure->sMessage, "invalid channel '" + c.sText + "' (" +
                                             std::to_string(c.nLo) + "-" + std::to_string(c.nHi) +
                                             ")");
        }
    }
}

TEST(CliJson, TextIsEscapedAndKeptInOrder) {
    struct CCase {
        std::u16string sText;
        std::string sJson;
    };
    const CCase cases[] = {
        {u"plain", "\"plain\""},
        {u"a\"b\\c", "\"a\\\"b\\\\c\""},
        {u"line\nnext\ttab\r", "\"line\\nnext\\ttab\\r\""},
        {std::u16string(1, char16_t(1)), "\"\\u0001\""},
        {u"Étude ♪", "\"Étude ♪\""},
        {u"\U0001F3B5", "\"\U0001F3B5\""},                          // a surrogate pair
        {std::u16string(1, char16_t(0xD800)), "\"\xEF\xBF\xBD\""},  // a lone surrogate
    };
    for (const auto& c : cases) EXPECT_EQ(Dump(ToJson(c.sText)), c.sJson);

    const CRUid id = CRUid::Generate();
    EXPECT_EQ(Dump(ToJson(id)), "\"" + id.ToText() + "\"");
    // Members stay in the order they were added, numbers keep their kind.
    const CJson object{
        {"zeta", 1u}, {"alpha", -2}, {"mid", 0.5}, {"list", CJson::array()}, {"yes", true}};
    EXPECT_EQ(Dump(object), "{\"zeta\":1,\"alpha\":-2,\"mid\":0.5,\"list\":[],\"yes\":true}");
}

TEST(CliJson, BytesThatAreNotUtf8AreReplacedNotThrown) {
    const CJson bad{{"error", std::string("cannot read '\xFF\xFE'")}};
    std::string text;
    EXPECT_NO_THROW(text = Dump(bad));
    EXPECT_EQ(text, "{\"error\":\"cannot read '\xEF\xBF\xBD\xEF\xBF\xBD'\"}");
}

// An app shaped like palvorctl: server options, one command required, commands with
// required arguments and options of their own.
struct CTestApp {
    CLI::App app{"test", "prog"};
    CConnectionArgs connection;
    std::string sTitle, sSeq, sCount;
    std::vector<std::string> vIds;

    CTestApp() {
        app.set_help_flag("-h,--help", "help");
        AddVersion(app, "prog");
        app.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
        app.require_subcommand(1);
        app.fallthrough();
        connection.AddTo(app);
        auto* add = app.add_subcommand("add", "add one");
        add->fallthrough();
        add->add_option("SEQ", sSeq)->required();
        add->add_option("TITLE", sTitle)->required();
        add->add_option("--count", sCount);
        auto* rm = app.add_subcommand("rm", "remove some");
        rm->fallthrough();
        rm->add_option("ID", vIds)->required();
        app.add_subcommand("ls", "list");
    }
    // Parses; the failure, or nothing when parsing went through.
    std::optional<CExit> Run(std::vector<std::string> words, bool* pParsed = nullptr) {
        std::vector<char*> argv{const_cast<char*>("prog")};
        for (auto& w : words) argv.push_back(w.data());
        return FailureOf([&] {
            const bool bParsed = Parse(
                app, int(argv.size()), argv.data(), "prog",
                [](const std::string& c) {
                    return c.empty() ? std::string("COMMAND") : c + " ARGS";
                },
                [] {});
            if (pParsed) *pParsed = bParsed;
        });
    }
};

TEST(CliUsage, ErrorsAreToldInTheProgramsWords) {
    struct CCase {
        std::vector<std::string> words;
        std::string sMessage;
    };
    const CCase cases[] = {
        {{}, "no command given (see --help)"},
        {{"frobnicate"}, "unknown command 'frobnicate' (see --help)"},
        {{"--bogus", "ls"}, "unknown option '--bogus'"},
        {{"ls", "--bogus"}, "unknown option '--bogus'"},
        {{"add"}, "usage: prog add ARGS"},
        {{"add", "s1"}, "usage: prog add ARGS"},
        {{"add", "-x"}, "unknown option '-x'"},
        {{"add", "s1", "t", "extra"}, "add: unexpected 'extra'"},
        {{"ls", "open"}, "ls: unexpected 'open'"},
        {{"rm"}, "usage: prog rm ARGS"},
        {{"--port"}, "--port needs a value"},
        {{"add", "s", "t", "--count"}, "--count needs a value"},
    };
    for (const auto& c : cases) {
        CTestApp t;
        const auto failure = t.Run(c.words);
        ASSERT_TRUE(failure) << c.sMessage;
        EXPECT_EQ(failure->nCode, kUsage) << c.sMessage;
        EXPECT_EQ(failure->sMessage, c.sMessage);
    }
}

TEST(CliUsage, OptionsGoBeforeOrAfterTheCommandAndTheLastOneHolds) {
    CTestApp t;
    bool bParsed = false;
    EXPECT_FALSE(
        t.Run({"--port", "1", "add", "s", "--json", "-", "--port=2", "--count", "3"}, &bParsed));
    EXPECT_TRUE(bParsed);
    EXPECT_EQ(t.sSeq, "s");
    EXPECT_EQ(t.sTitle, "-");  // "-" is an argument (standard input), not an option
    EXPECT_EQ(t.sCount, "3");
    const CConnection c = t.connection.Resolve();
    EXPECT_EQ(c.nPort, 2);
    EXPECT_TRUE(c.bJson);
    EXPECT_TRUE(t.connection.NamesServer());
}

// --help and --version answer before anything else is checked, also a missing command.
TEST(CliUsage, HelpAndVersionEndParsingWithoutFailure) {
    for (const std::string word : {"--version", "--help", "-h"}) {
        CTestApp t;
        bool bParsed = true;
        testing::internal::CaptureStdout();
        EXPECT_FALSE(t.Run({word}, &bParsed)) << word;
        const std::string out = testing::internal::GetCapturedStdout();
        EXPECT_FALSE(bParsed) << word;
        if (word == "--version") {
            EXPECT_EQ(out.rfind(VersionLine("prog") + "\n", 0), 0u) << out;
        }
    }
    EXPECT_EQ(VersionLine("prog").rfind("prog ", 0), 0u);
    EXPECT_NE(VersionLine("prog").find(" (built "), std::string::npos);
}

TEST(CliConnection, ValuesAreCheckedAfterParsing) {
    struct CCase {
        std::vector<std::string> words;
        std::string sMessage;  // empty: accepted
    };
    const CCase cases[] = {
        {{"--visitor", "2147483647", "--solution", "4294967295", "--timeout", "3600", "ls"}, ""},
        {{"--port", "0", "ls"}, "invalid port '0' (1-65535)"},
        {{"--port", "", "ls"}, "invalid port '' (1-65535)"},
        {{"--visitor", "-1", "ls"}, "invalid visitor '-1' (0-2147483647)"},
        {{"--solution", "x", "ls"}, "invalid solution 'x' (0-4294967295)"},
        {{"--timeout", "0", "ls"}, "invalid timeout '0' (1-3600)"},
    };
    for (const auto& c : cases) {
        CTestApp t;
        ASSERT_FALSE(t.Run(c.words)) << c.sMessage;
        CConnection got;
        const auto failure = FailureOf([&] { got = t.connection.Resolve(); });
        if (c.sMessage.empty()) {
            ASSERT_FALSE(failure) << failure->sMessage;
            EXPECT_EQ(got.nPort, 4000);  // the default
            EXPECT_EQ(got.nVisitor, 2147483647u);
            EXPECT_EQ(got.nSolution, 4294967295u);
            EXPECT_EQ(got.timeout, std::chrono::milliseconds(3600000));
        } else {
            ASSERT_TRUE(failure) << c.sMessage;
            EXPECT_EQ(failure->nCode, kUsage);
            EXPECT_EQ(failure->sMessage, c.sMessage);
        }
    }
    // --json is known from the command line even when a later word was bad.
    CTestApp t;
    EXPECT_TRUE(t.Run({"--json", "frobnicate"}));
    EXPECT_TRUE(t.connection.Json());
}

TEST(CliReport, TellsTheFailureOnStandardErrorAndAsJsonWhenAsked) {
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    EXPECT_EQ(Report({kUnknownId, "unknown sequence \"x\""}, true, "prog"), kUnknownId);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "{\"error\":\"unknown sequence \\\"x\\\"\",\"code\":4}\n");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "prog: unknown sequence \"x\"\n");
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    EXPECT_EQ(Report({kConnection, "refused"}, false, "prog"), kConnection);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "prog: refused\n");
}

TEST(CliInput, ReadsWholeFilesUpToTheBound) {
    const auto dir =
        std::filesystem::temp_directory_path() / ("palvor-cli-" + CRUid::Generate().ToText());
    std::filesystem::create_directories(dir);
    const auto file = dir / "in.bin";
    const std::string content = std::string("a\0b", 3) + std::string(100000, 'x');
    std::ofstream(file, std::ios::binary) << content;
    EXPECT_EQ(ReadInput(file.string(), content.size()), content);
    const auto tooBig = FailureOf([&] { ReadInput(file.string(), content.size() - 1); });
    ASSERT_TRUE(tooBig);
    EXPECT_EQ(tooBig->nCode, kUsage);
    EXPECT_NE(tooBig->sMessage.find("holds more than"), std::string::npos);
    const auto missing = FailureOf([&] { ReadInput((dir / "none").string(), 10); });
    ASSERT_TRUE(missing);
    EXPECT_EQ(missing->sMessage, "cannot read '" + (dir / "none").string() + "'");
    std::filesystem::remove_all(dir);
}

}  // namespace
