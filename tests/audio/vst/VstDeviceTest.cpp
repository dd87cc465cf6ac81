// The Linux backend under the device framework: the plug-in registry lists what the
// backend found, and an opened device renders the notes pushed to it.
#include <gtest/gtest.h>
#include <gmock/gmock.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <mutex>
#include <thread>

#include "VstTestSupport.h"
#include "audio/DeviceDiscovery.h"
#include "audio/DeviceKinds.h"
#include "audio/vst/VstHost.h"
#include "support/NotifyRecorder.h"
#include "support/Wait.h"

namespace DUve::AudioDevice::Vst {
namespace {

using namespace Test;
using namespace std::chrono_literals;

using PalvorTest::WaitFor;
// Records the blocks a device posts.
using CBlockRecorder = DUve::Test::CNotifyRecorder<Notify::CProcessReplacing>;

TEST(VstDeviceTest, RegistryListsTheFoundPluginsAndADeviceRendersItsNotes) {
    namespace fs = std::filesystem;
    static CScratchFolder folder;  // the registry keeps the paths for the rest of the program
    fs::create_directories(folder.Path() / "fx");
    fs::copy_file(kSynth, folder.Path() / "synth.so");
    fs::copy_file(kEffect, folder.Path() / "fx" / "effect.so");
    fs::copy_file(kSynthCrash, folder.Path() / "crash.so");
    fs::copy_file(kSynthHang, folder.Path() / "hang.so");
    fs::copy_file(kSynthChatty, folder.Path() / "chatty.so");
    ASSERT_TRUE(SetBackends(
        {nullptr, std::make_shared<CVstBackendLinux>(CVstHostOptions{{folder.Path().string()}, 2000ms, 8}), nullptr,
         nullptr}));

    // The registry is built in the background: the hanging plug-in holds the search up
    // for its whole time-out, and the caller is not held up with it.
    auto discovery = std::make_unique<CDeviceDiscovery>();
    EXPECT_FALSE(discovery->Done());
    const auto& registry = CControl::CIdInstances::Get();  // waits for the search
    EXPECT_TRUE(WaitFor([&] { return discovery->Done(); }));
    discovery.reset();
    const auto synthId = std::dynamic_pointer_cast<const CDeviceVst::CDeviceId>(registry.Find(u"PalvorTestSynth"));
    const auto effectId = std::dynamic_pointer_cast<const CDeviceVst::CDeviceId>(registry.Find(u"PalvorTestEffect"));
    ASSERT_TRUE(synthId);
    ASSERT_TRUE(effectId);
    EXPECT_EQ(synthId->nFlags, CDeviceVst::kFlagSynth | CDeviceVst::kFlagReplacing);
    EXPECT_EQ(synthId->sVendor, u"Palvor");
    EXPECT_EQ(synthId->nOutputs, 2);
    EXPECT_TRUE(synthId->AcceptsMidi());
    EXPECT_FALSE(effectId->AcceptsMidi());
    size_t nPlugins = 0;
    for (const auto& [name, id] : registry.All()) nPlugins += id->Kind() == EKind::Vst;
    EXPECT_EQ(nPlugins, 3u);  // the crashing and the hanging one are left out

    constexpr uint32_t kRate = 48000, kBlock = 480;
    auto device = synthId->GetDevice(true);
    ASSERT_TRUE(device);
    CBlockRecorder sub;
    device->PostRequests({std::make_shared<const Request::CAddNotify>(sub.Sender()),
                          std::make_shared<const Request::COpen>(kRate, kBlock, 0.05)});
    ASSERT_TRUE(WaitFor([&] { return !sub.All().empty(); }));

    auto queue = CControl::CMidiIn(device).CreateQueue();
    const double dOn = ClockSeconds() + 0.3, dOff = dOn + 0.05;
    const auto Bytes = [](std::vector<uint8_t> v) { return std::make_shared<const std::vector<uint8_t>>(std::move(v)); };
    queue->Push(dOn, Bytes({0x90, 69, 100}));
    queue->Push(dOff, Bytes({0x80, 69, 0}));
    queue->Push(dOff + 0.1, Bytes({}));
    const auto nOn = static_cast<int64_t>(std::trunc(dOn * kRate));
    const auto nOff = static_cast<int64_t>(std::trunc(dOff * kRate));
    ASSERT_TRUE(WaitFor([&] { return sub.All().back()->nPosition > nOff + kBlock; }));

    size_t nSounding = 0;
    for (const auto& block : sub.All()) {
        ASSERT_EQ(block->vChannels.size(), 2u);
        for (size_t f = 0; f < kBlock; ++f) {
            const int64_t n = block->nPosition + static_cast<int64_t>(f);
            const double dExpected = n >= nOn && n < nOff ? Sine(69, 100, n - nOn, kRate) : 0.0;
            nSounding += n >= nOn && n < nOff;
            ASSERT_NEAR((*block->vChannels[0])[f], dExpected, 1e-4) << "sample " << n;
            ASSERT_EQ((*block->vChannels[1])[f], (*block->vChannels[0])[f]) << "sample " << n;
        }
    }
    EXPECT_EQ(nSounding, static_cast<size_t>(nOff - nOn));
}

// Runs after the test above in the same program, or alone (a test per process).
TEST(VstDeviceTest, APluginThatHangsWhenClosedIsAbandonedAfterTheBound) {
    namespace fs = std::filesystem;
    static CScratchFolder folder;
    fs::copy_file(kSynthChatty, folder.Path() / "chatty.so");
    SetBackends({nullptr, std::make_shared<CVstBackendLinux>(CVstHostOptions{{folder.Path().string()}, 2000ms, 8}),
                 nullptr, nullptr});
    const auto id = CControl::CIdInstances::Get().Find(u"PalvorTestChatty");
    ASSERT_TRUE(id);
    std::mutex mutex;
    std::vector<std::string> lines;
    SetDeviceLogSink([&](const std::string& s) {
        std::lock_guard lock(mutex);
        lines.push_back(s);
    });
    const auto old = CDeviceVst::CloseTimeout();
    EXPECT_EQ(old, 20s);
    CDeviceVst::SetCloseTimeout(200ms);
    {
        auto device = id->GetDevice(true);
        ASSERT_TRUE(device);
        CBlockRecorder sub;
        device->PostRequests({std::make_shared<const Request::CAddNotify>(sub.Sender()),
                              std::make_shared<const Request::COpen>(48000, 480, 0.05)});
        ASSERT_TRUE(WaitFor([&] { return !sub.All().empty(); }));
    }  // the last handle: effClose never returns, and this scope ends anyway
    CDeviceVst::SetCloseTimeout(old);
    SetDeviceLogSink(nullptr);
    std::lock_guard lock(mutex);
    EXPECT_THAT(lines, ::testing::Contains(::testing::HasSubstr("did not close within 0.2 s; abandoned")));
    EXPECT_FALSE(id->GetDevice(false)) << "an abandoned plug-in is no longer the open device";
}

}  // namespace
}  // namespace DUve::AudioDevice::Vst
