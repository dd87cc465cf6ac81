// libFuzzer entry point for the reader of the site's admission verdict (JSON).
#include <cstdio>
#include <cstdlib>

#include "ReplyFuzzCheck.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    bool broken = false;
    PalvorFuzz::ReplyAdmits(data, size, broken);
    if (broken) {
        std::fputs("a reply admitted without being status 200 and a JSON object\n", stderr);
        std::abort();
    }
    return 0;
}
