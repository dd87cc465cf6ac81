// Shared by the site-reply fuzz target and its corpus replay test: the admission verdict on
// one reply body, and what it promises: only a status 200 reply is read, and a body that
// admits is a JSON object.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "App/WebApi.h"

namespace PalvorFuzz {

// The verdict on body as a status 200 reply; `broken` is set when a promise was broken.
inline bool ReplyAdmits(const uint8_t* data, size_t size, bool& broken) {
    const std::vector<uint8_t> body(data, data + size);
    const bool admitted = DUve::IsAcceptableReply(200, body);
    broken = DUve::IsAcceptableReply(500, body) || DUve::IsAcceptableReply(0, body);
    if (admitted) {
        size_t i = 0;
        if (size >= 3 && data[0] == 0xEF && data[1] == 0xBB && data[2] == 0xBF) i = 3;  // BOM
        while (i < size && (data[i] == ' ' || data[i] == '\t' || data[i] == '\r' || data[i] == '\n'))
            ++i;
        broken = broken || i == size || data[i] != '{';
    }
    return admitted;
}

}  // namespace PalvorFuzz
