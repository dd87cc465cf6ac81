// libFuzzer entry point for the update archive reader (end record, central directory,
// local headers, inflation, signature entry).
#include <cstdio>
#include <cstdlib>

#include "ZipFuzzCheck.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (!PalvorFuzz::CheckZip(data, size)) {
        std::fputs("the archive reader read past its input or inflated twice\n", stderr);
        std::abort();
    }
    return 0;
}
