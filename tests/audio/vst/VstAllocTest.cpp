// The render path allocates nothing once it has run: this test program's operator new
// counts calls while g_bCounting is set.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <memory>
#include <new>

#include "VstTestSupport.h"
#include "audio/vst/VstHost.h"
#include "runtime/RString.h"

namespace {
std::atomic<bool> g_bCounting{false};
std::atomic<long> g_nAllocations{0};

void* Allocate(std::size_t n, std::size_t nAlign) {
    if (g_bCounting.load(std::memory_order_relaxed)) g_nAllocations.fetch_add(1, std::memory_order_relaxed);
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
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, std::align_val_t, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }

namespace DUve::AudioDevice::Vst {
namespace {

using namespace Test;

class CCounting {
public:
    CCounting() {
        g_nAllocations = 0;
        g_bCounting = true;
    }
    ~CCounting() { g_bCounting = false; }
    long Count() const { return g_nAllocations.load(); }
};

TEST(VstAllocTest, CounterSeesAllocations) {
    CCounting counting;
    auto p = std::make_unique<int>(7);
    EXPECT_EQ(counting.Count(), 1);
}

TEST(VstAllocTest, RenderPathAllocatesNothingAfterTheFirstBlock) {
    const struct {
        size_t nEvents;  // per block; past the capacity reserved at start in the second case
        uint32_t nInputs;
    } cases[] = {{4, 0}, {300, 0}, {4, 2}};
    for (const auto& c : cases) {
        CVstBackendLinux backend;
        auto plugin = backend.Load(Utf8ToUtf16(kSynth));
        ASSERT_TRUE(plugin);
        plugin->Start(44100, 512);
        std::vector<CVstMidiEvent> events(c.nEvents);
        for (size_t i = 0; i < events.size(); ++i) {
            events[i].nDeltaFrames = static_cast<int32_t>(i % 512);
            events[i].midiData[0] = (i % 2) ? 0x80 : 0x90;
            events[i].midiData[1] = static_cast<uint8_t>(40 + i % 40);
            events[i].midiData[2] = 100;
        }
        const std::vector<std::vector<float>> inputs(c.nInputs, std::vector<float>(512, 0.5f));
        std::vector<std::vector<float>> outputs(2, std::vector<float>(512, 0.0f));
        plugin->ProcessEvents(events);
        plugin->ProcessReplacing(inputs, outputs, 512);
        long nCount = 0;
        {
            CCounting counting;
            for (int i = 0; i < 50; ++i) {
                plugin->ProcessEvents(events);
                plugin->ProcessReplacing(inputs, outputs, 512);
            }
            nCount = counting.Count();
        }
        EXPECT_EQ(nCount, 0) << c.nEvents << " events, " << c.nInputs << " inputs";
        const CTestSynthJournal* j = Journal(kSynth);
        ASSERT_TRUE(j);
        EXPECT_EQ(j->nEventBlocks, 51);  // the blocks really went to the plug-in
    }
}

}  // namespace
}  // namespace DUve::AudioDevice::Vst
