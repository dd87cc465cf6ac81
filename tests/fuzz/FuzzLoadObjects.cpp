// libFuzzer entry point; built once per family (PALVOR_FUZZ_FAMILY_protocol / _property).
#include <cstdio>
#include <cstdlib>

#include "FuzzInput.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
#if defined(PALVOR_FUZZ_FAMILY_protocol)
    const bool ok = PalvorFuzz::CheckProtocol(data, size);
#else
    const bool ok = PalvorFuzz::CheckProperty(data, size);
#endif
    if (!ok) {
        std::fputs("re-saved objects did not load back\n", stderr);
        std::abort();
    }
    return 0;
}
