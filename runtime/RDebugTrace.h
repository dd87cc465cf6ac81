// Developer traces (the counterpart of a debugger output window): written to the program's
// own standard error (see RForeignOutput.h) only when PALVOR_TRACE is set in the
// environment, otherwise dropped.
#pragma once

namespace DUve {

// printf-style; the formatted text is cut at 4096 characters and written as a line of its
// own (a leading line break, the custom of the callers, is not doubled).
void DebugTrace(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

}  // namespace DUve
