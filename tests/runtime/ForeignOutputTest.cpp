// What loaded code prints goes to the trace, line by line and bounded, while the program's
// own messages keep the real standard error; the end gives the streams back.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "runtime/RDebugTrace.h"
#include "runtime/RForeignOutput.h"

using namespace DUve;
using ::testing::AllOf;
using ::testing::ContainsRegex;
using ::testing::HasSubstr;
using ::testing::Not;

namespace {

bool SameFile(int fd, const struct stat& was) {
    struct stat now {};
    return fstat(fd, &now) == 0 && now.st_dev == was.st_dev && now.st_ino == was.st_ino;
}

// Runs in a process of its own: the capture changes the whole process's descriptors.
void PrintThroughACapture() {
    struct stat out {}, err {};
    if (fstat(1, &out) != 0 || fstat(2, &err) != 0) std::exit(3);
    {
        const CRForeignOutput allowed;
        if (!CaptureForeignOutput() || SameFile(2, err)) std::exit(4);
        std::printf("said on standard output\n");
        std::fprintf(stderr, "said on standard error\n");
        std::printf("%s\n", std::string(1500, 'x').c_str());
        if (write(2, "written to descriptor 2\nand a last line without its end", 55) != 55) std::exit(5);
        DebugTrace("\na trace of the program's own");
        std::fprintf(OwnStderr(), "the program's own message\n");
    }
    if (!SameFile(1, out) || !SameFile(2, err)) std::exit(6);
    std::fprintf(stderr, "after the end\n");
    std::exit(0);
}

}  // namespace

TEST(ForeignOutput, LinesGoToTheTraceAndTheStreamsComeBack) {
    // Without a program's leave nothing is captured: a test binary keeps its output.
    EXPECT_FALSE(CaptureForeignOutput());
    // A fresh process that traces from its start.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const char* szTrace = std::getenv("PALVOR_TRACE");
    const std::string sWas = szTrace ? szTrace : "";
    setenv("PALVOR_TRACE", "1", 1);
    const std::string sTrace = "\nplug-in or library output: ";
    // Every trace and message is a line of its own, never run into another.
    EXPECT_EXIT(PrintThroughACapture(), ::testing::ExitedWithCode(0),
                AllOf(ContainsRegex("(^|\n)a trace of the program's own\n"),
                      ContainsRegex("(^|\n)the program's own message\n"),
                      // in the order printed: a pipe must not hold standard output's lines back
                      ContainsRegex("(^|\n)plug-in or library output: said on standard output\n"
                                    "((.|\n)*\n)?plug-in or library output: said on standard error\n"),
                      HasSubstr(sTrace + "written to descriptor 2\n"),
                      HasSubstr(sTrace + "and a last line without its end\n"),
                      HasSubstr(sTrace + std::string(1000, 'x') + " [cut]\n"),
                      Not(ContainsRegex("(^|\n)said on")), Not(HasSubstr("xxxx\n")),
                      HasSubstr("after the end\n")));
    if (szTrace) setenv("PALVOR_TRACE", sWas.c_str(), 1);
    else unsetenv("PALVOR_TRACE");
}
