// A counting allocator for tests that prove a path allocates and frees nothing: the
// program's operator new and operator delete count calls made while counting is on, for
// every thread (g_bCounting) or for the calling thread only (t_bCountingHere). Include it in exactly one source file of
// a test program: it replaces the global allocation functions.
#pragma once

#include <atomic>
#include <cstdlib>
#include <new>

namespace DUve::Test {
inline std::atomic<bool> g_bCounting{false};
inline thread_local bool t_bCountingHere = false;
inline std::atomic<long> g_nAllocations{0};
inline std::atomic<long> g_nFrees{0};
}  // namespace DUve::Test

namespace {
bool Counting() { return DUve::Test::g_bCounting.load(std::memory_order_relaxed) || DUve::Test::t_bCountingHere; }
void* Allocate(std::size_t n, std::size_t nAlign) {
    if (Counting()) DUve::Test::g_nAllocations.fetch_add(1, std::memory_order_relaxed);
    if (n == 0) n = 1;
    void* p = nAlign > alignof(std::max_align_t) ? std::aligned_alloc(nAlign, (n + nAlign - 1) / nAlign * nAlign)
                                                 : std::malloc(n);
    if (!p) throw std::bad_alloc();
    return p;
}
void* NoThrow(std::size_t n, std::size_t nAlign) noexcept {
    try {
        return Allocate(n, nAlign);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}
void Free(void* p) noexcept {
    if (p && Counting()) DUve::Test::g_nFrees.fetch_add(1, std::memory_order_relaxed);
    std::free(p);
}
}  // namespace

void* operator new(std::size_t n) { return Allocate(n, 0); }
void* operator new[](std::size_t n) { return Allocate(n, 0); }
void* operator new(std::size_t n, std::align_val_t a) { return Allocate(n, static_cast<std::size_t>(a)); }
void* operator new[](std::size_t n, std::align_val_t a) { return Allocate(n, static_cast<std::size_t>(a)); }
void* operator new(std::size_t n, const std::nothrow_t&) noexcept { return NoThrow(n, 0); }
void* operator new[](std::size_t n, const std::nothrow_t&) noexcept { return NoThrow(n, 0); }
void* operator new(std::size_t n, std::align_val_t a, const std::nothrow_t&) noexcept {
    return NoThrow(n, static_cast<std::size_t>(a));
}
void* operator new[](std::size_t n, std::align_val_t a, const std::nothrow_t&) noexcept {
    return NoThrow(n, static_cast<std::size_t>(a));
}
void operator delete(void* p) noexcept { Free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { Free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { Free(p); }
void operator delete(void* p, std::align_val_t, const std::nothrow_t&) noexcept { Free(p); }
void operator delete[](void* p, std::align_val_t, const std::nothrow_t&) noexcept { Free(p); }
void operator delete[](void* p) noexcept { Free(p); }
void operator delete(void* p, std::size_t) noexcept { Free(p); }
void operator delete[](void* p, std::size_t) noexcept { Free(p); }
void operator delete(void* p, std::align_val_t) noexcept { Free(p); }
void operator delete[](void* p, std::align_val_t) noexcept { Free(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { Free(p); }
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { Free(p); }

