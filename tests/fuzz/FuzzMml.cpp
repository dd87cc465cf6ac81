// libFuzzer entry point for the MML parser: the input is UTF-8 MML text.
#include <cstdio>
#include <cstdlib>

#include "FuzzMmlInput.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (!PalvorFuzz::CheckMml(data, size)) {
        std::fputs("parse result breaks its promises\n", stderr);
        std::abort();
    }
    return 0;
}
