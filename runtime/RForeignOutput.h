// What loaded code prints, kept apart from the program's own output.
//
// Plug-ins print on the process's standard output and error ("lo server running on ...")
// through the same descriptors and stdio streams as the program itself. A program that
// hosts plug-ins keeps a CRForeignOutput for its lifetime; the first plug-in loaded then
// calls CaptureForeignOutput(): descriptors 1 and 2, and with them stdio's and iostream's
// standard streams, feed a pipe whose lines go to the trace, while the program writes its
// own messages through OwnStdout() and OwnStderr(), which keep the real destinations.
// Sanitizer reports follow the program's own error stream.
#pragma once

#include <cstdio>

namespace DUve {

// The program's standard output and error: stdio's own until a capture starts, then
// streams on copies of the original descriptors.
FILE* OwnStdout();
FILE* OwnStderr();

class CRForeignOutput {
public:
    // Allows captures in this program.
    CRForeignOutput();
    // Ends a capture: the standard descriptors are the program's again, and what loaded
    // code printed is forwarded to the trace (waiting at most a second for it).
    ~CRForeignOutput();
    CRForeignOutput(const CRForeignOutput&) = delete;
    CRForeignOutput& operator=(const CRForeignOutput&) = delete;
};

// Starts the capture once, when a CRForeignOutput exists; true while one is running.
// Where it cannot start (no pipe, no descriptor), says so on the error stream and leaves
// the streams as they are.
bool CaptureForeignOutput();

// Ends a running capture at once, as the destructor does (before the program replaces
// itself, say).
void EndForeignOutputCapture();

}  // namespace DUve
