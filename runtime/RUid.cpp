#include "runtime/RUid.h"

#include <sys/random.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "runtime/RForeignOutput.h"

namespace DUve::RUidInner {

void GenerateBytes(uint8_t (&bytes)[16]) {
    size_t got = 0;
    while (got < sizeof bytes) {
        const ssize_t n = getrandom(bytes + got, sizeof bytes - got, 0);
        if (n > 0) {
            got += static_cast<size_t>(n);
        } else if (n < 0 && errno != EINTR) {
            // The kernel's generator does not fail once seeded; if it ever does, an
            // identifier that might repeat is worse than stopping.
            std::fprintf(OwnStderr(), "getrandom failed: errno %d\n", errno);
            std::abort();
        }
    }
    // Version 4 in the high nibble of the third field (little-endian: byte 7), and the
    // RFC 4122 variant in the first byte of the last field.
    bytes[7] = static_cast<uint8_t>((bytes[7] & 0x0F) | 0x40);
    bytes[8] = static_cast<uint8_t>((bytes[8] & 0x3F) | 0x80);
}

}  // namespace DUve::RUidInner
