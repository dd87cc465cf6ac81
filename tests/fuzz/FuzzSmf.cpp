// libFuzzer entry point for the Standard MIDI File reader and writer.
#include <cstdio>
#include <cstdlib>

#include "SmfFuzzCheck.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (!PalvorFuzz::CheckSmf(data, size)) {
        std::fputs("a file that was read did not read back the same after writing\n", stderr);
        std::abort();
    }
    return 0;
}
