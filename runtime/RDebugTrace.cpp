#include "runtime/RDebugTrace.h"

#include "runtime/RForeignOutput.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

namespace DUve {

void DebugTrace(const char* fmt, ...) {
    static const bool enabled = std::getenv("PALVOR_TRACE") != nullptr;
    if (!enabled) return;
    char buf[4096];
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    // Messages open with a line break by custom; each goes out as a whole line in one
    // write, so it never runs into the program's other messages on the same stream.
    const char* text = buf[0] == '\n' ? buf + 1 : buf;
    std::fprintf(OwnStderr(), "%s\n", text);
}

}  // namespace DUve
