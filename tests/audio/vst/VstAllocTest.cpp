// The render path allocates nothing once it has run: this test program's operator new
// counts calls while g_bCounting is set.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <memory>
#include <new>

#include "VstTestSupport.h"
#include "support/CountingAllocator.h"
#include "audio/vst/VstHost.h"
#include "runtime/RString.h"

using DUve::Test::g_bCounting;
using DUve::Test::g_nAllocations;

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
