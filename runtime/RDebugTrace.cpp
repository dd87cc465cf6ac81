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
    std::fputs(buf, OwnStderr());
}

}  // namespace DUve
