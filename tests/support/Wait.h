// Waiting in tests for something another thread or process brings about.
#pragma once

#include <chrono>
#include <functional>
#include <thread>

namespace PalvorTest {

// True once done() holds, looked at every 2 ms; false when it still does not after limit.
inline bool WaitFor(const std::function<bool()>& done,
                    std::chrono::milliseconds limit = std::chrono::milliseconds(5000)) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

}  // namespace PalvorTest
