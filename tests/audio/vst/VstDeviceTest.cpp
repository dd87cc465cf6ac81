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
#include "runtime/RWorkerThread.h"

namespace DUve::AudioDevice::Vst {
namespace {

using namespace Test;
using namespace std::chrono_literals;

bool WaitFor(const std::function<bool()>& done, std::chrono::milliseconds limit = 5000ms) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(2ms);
    }
    return true;
}

// Records the blocks a device posts, on a worker of its own.
struct CBlockLog {
    std::mutex mutex;
    std::vector<std::shared_ptr<const Notify::CProcessReplacing>> blocks;
    CRThreadMessage::CSender sender;
    std::vector<std::shared_ptr<const Notify::CProcessReplacing>> Blocks() {
        std::lock_guard lock(mutex);
        return blocks;
    }
};
class CBlockProbe {
public:
    CBlockProbe(boost::asio::io_context& io, CBlockLog& log) : m_receiver(CRThreadBridge::InitializeIoService(io)) {
        CRThreadMessage::AddHandler<Notify::CProcessReplacing>(
            *m_receiver, [&log](const std::shared_ptr<const Notify::CProcessReplacing>& n) {
                std::lock_guard lock(log.mutex);
                log.blocks.push_back(n);
            });
        log.sender = m_receiver->GetSender();
    }
    static const CRThreadMessage::CRRequestTableT<CBlockProbe>& RequestTable() {
        static const CRThreadMessage::CRRequestTableT<CBlockProbe> table;
        return table;
    }

private:
    CRThreadBridge::CReceiverPtr m_receiver;
};
struct CBlockSubscriber {
    CBlockLog log;
    CRWorkerThreadT<CBlockProbe> worker{
        [this](boost::asio::io_context& io) { return std::make_unique<CBlockProbe>(io, log); }};
};

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
    CBlockSubscriber sub;
    device->PostRequests({std::make_shared<const Request::CAddNotify>(sub.log.sender),
                          std::make_shared<const Request::COpen>(kRate, kBlock, 0.05)});
    ASSERT_TRUE(WaitFor([&] { return !sub.log.Blocks().empty(); }));

    auto queue = CControl::CMidiIn(device).CreateQueue();
    const double dOn = ClockSeconds() + 0.3, dOff = dOn + 0.05;
    const auto Bytes = [](std::vector<uint8_t> v) { return std::make_shared<const std::vector<uint8_t>>(std::move(v)); };
    queue->Push(dOn, Bytes({0x90, 69, 100}));
    queue->Push(dOff, Bytes({0x80, 69, 0}));
    queue->Push(dOff + 0.1, Bytes({}));
    const auto nOn = static_cast<int64_t>(std::trunc(dOn * kRate));
    const auto nOff = static_cast<int64_t>(std::trunc(dOff * kRate));
    ASSERT_TRUE(WaitFor([&] { return sub.log.Blocks().back()->nPosition > nOff + kBlock; }));

    size_t nSounding = 0;
    for (const auto& block : sub.log.Blocks()) {
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
        CBlockSubscriber sub;
        device->PostRequests({std::make_shared<const Request::CAddNotify>(sub.log.sender),
                              std::make_shared<const Request::COpen>(48000, 480, 0.05)});
        ASSERT_TRUE(WaitFor([&] { return !sub.log.Blocks().empty(); }));
    }  // the last handle: effClose never returns, and this scope ends anyway
    CDeviceVst::SetCloseTimeout(old);
    SetDeviceLogSink(nullptr);
    std::lock_guard lock(mutex);
    EXPECT_THAT(lines, ::testing::Contains(::testing::HasSubstr("did not close within 0.2 s; abandoned")));
    EXPECT_FALSE(id->GetDevice(false)) << "an abandoned plug-in is no longer the open device";
}

}  // namespace
}  // namespace DUve::AudioDevice::Vst
