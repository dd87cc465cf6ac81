#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <climits>
#include <cstring>
#include <functional>
#include <limits>
#include <random>
#include <thread>

#include "audio/DeviceKinds.h"
#include "audio/PatchBay.h"
#include "audio/SampleConvert.h"
#include "runtime/RString.h"
#include "support/DeviceLogCapture.h"
#include "support/ManualClock.h"
#include "support/NotifyRecorder.h"
#include "support/SineMeasure.h"
#include "support/TestBackends.h"
#include "support/Wait.h"

using namespace DUve;
using namespace DUve::AudioDevice;
using namespace std::chrono_literals;

namespace {

// One device landscape for the whole test program (registries are built once).
struct CEnv {
    std::shared_ptr<TestBackends::CMidiOut> midi;
    std::shared_ptr<TestBackends::CVst> vst;
    std::shared_ptr<TestBackends::CAudioOut> directSound;
    std::shared_ptr<TestBackends::CAudioOut> asio;
};

const CEnv& Env() {
    static const CEnv env = [] {
        CEnv e;
        e.midi = std::make_shared<TestBackends::CMidiOut>(
            std::vector<CMidiOutPortInfo>{{1, u"Out"}, {0, u"Out"}, {2, u"Keys"}});
        CVstPluginInfo synth{u"/plug/Synth.so", u"Synth", u"V", u"P", 1, 0, 2, CDeviceVst::kFlagSynth};
        CVstPluginInfo second{u"/plug/Second.so", u"Second", u"V", u"P", 1, 0, 2, CDeviceVst::kFlagSynth};
        CVstPluginInfo echo{u"/plug/fx/Echo.so", u"", u"V", u"P", 1, 2, 2, 0};
        CVstPluginInfo pad{u"/plug/Pad.so", u"Pad", u"V", u"P", 1, 0, 2, CDeviceVst::kFlagSynth};
        e.vst = std::make_shared<TestBackends::CVst>(std::vector<CVstPluginInfo>{synth, second, echo, pad});
        e.directSound = std::make_shared<TestBackends::CAudioOut>(std::vector<CAudioOutInfo>{{0, u"Speakers"}}, 2048);
        e.asio = std::make_shared<TestBackends::CAudioOut>(
            std::vector<CAudioOutInfo>{{0, u"Driver"}, {1, u"Six"}}, 256);
        // Two inputs and four outputs of mixed sample types.
        e.asio->SetLayout(1, {{true, 0, ESampleType::Float32LSB},
                              {true, 1, ESampleType::Float32LSB},
                              {false, 0, ESampleType::Int32LSB},
                              {false, 1, ESampleType::Int16LSB},
                              {false, 2, ESampleType::Float32LSB},
                              {false, 3, ESampleType::Float32LSB}});
        SetBackends({e.midi, e.vst, e.directSound, e.asio});
        return e;
    }();
    return env;
}

CDevice::CIdPtr IdOf(const std::u16string& name) {
    Env();
    return CControl::CIdInstances::Get().Find(name);
}

CBytes Bytes(std::vector<uint8_t> v) { return std::make_shared<const std::vector<uint8_t>>(std::move(v)); }

using PalvorTest::WaitFor;
// Records the patches the patch bay tells its listeners about.
using CPatchRecorder = DUve::Test::CNotifyRecorder<CPatchBay::Notify::ChangedSetPatch>;

// A receiver on a worker of its own that records what devices tell it.
struct CDeviceLog {
    std::mutex mutex;
    std::vector<std::shared_ptr<const Notify::CProcessReplacing>> blocks;
    std::vector<std::shared_ptr<const Notify::CStarted>> starts;
    size_t nSwitches = 0;
    CRThreadMessage::CSender sender;

    template <class T>
    T Read(const std::function<T(CDeviceLog&)>& f) {
        std::lock_guard lock(mutex);
        return f(*this);
    }
    size_t StartCount() { return Read<size_t>([](CDeviceLog& l) { return l.starts.size(); }); }
    size_t SwitchCount() { return Read<size_t>([](CDeviceLog& l) { return l.nSwitches; }); }
};
class CDeviceProbe {
public:
    CDeviceProbe(boost::asio::io_context& io, CDeviceLog& log) : m_receiver(CRThreadBridge::InitializeIoService(io)) {
        CRThreadMessage::AddHandler<Notify::CProcessReplacing>(
            *m_receiver, [&log](const std::shared_ptr<const Notify::CProcessReplacing>& n) {
                std::lock_guard lock(log.mutex);
                log.blocks.push_back(n);
            });
        CRThreadMessage::AddHandler<Notify::CStarted>(*m_receiver,
                                                      [&log](const std::shared_ptr<const Notify::CStarted>& n) {
                                                          std::lock_guard lock(log.mutex);
                                                          log.starts.push_back(n);
                                                      });
        CRThreadMessage::AddHandler<Notify::CBufferSwitch>(*m_receiver,
                                                           [&log](const std::shared_ptr<const Notify::CBufferSwitch>&) {
                                                               std::lock_guard lock(log.mutex);
                                                               ++log.nSwitches;
                                                           });
        log.sender = m_receiver->GetSender();
    }
    static const CRThreadMessage::CRRequestTableT<CDeviceProbe>& RequestTable() {
        static const CRThreadMessage::CRRequestTableT<CDeviceProbe> table;
        return table;
    }

private:
    CRThreadBridge::CReceiverPtr m_receiver;
};
struct CDeviceSubscriber {
    CDeviceLog log;
    CRWorkerThreadT<CDeviceProbe> worker{
        [this](boost::asio::io_context& io) { return std::make_unique<CDeviceProbe>(io, log); }};
};

}  // namespace

TEST(DeviceRegistry, DisplayNamesAreUniqueAndFollowKindOrder) {
    Env();
    std::vector<std::u16string> names;
    for (const auto& [name, id] : CControl::CIdInstances::Get().All()) names.push_back(name);
    // MIDI outputs by number, then plug-ins by path, then ASIO, then DirectSound.
    EXPECT_EQ(names, (std::vector<std::u16string>{u"Out", u"Out(1)", u"Keys", u"Pad", u"Second", u"Synth", u"Echo",
                                                  u"Driver", u"Six", u"Speakers"}));
    const auto out1 = std::dynamic_pointer_cast<const CDeviceMidiOut::CDeviceId>(IdOf(u"Out(1)"));
    ASSERT_TRUE(out1);
    EXPECT_EQ(out1->nNo, 1u);
    EXPECT_EQ(CControl::CIdInstances::Get().NameOf(*out1), u"Out(1)");
    EXPECT_FALSE(IdOf(u"out"));  // exact comparison
    // Every kind registered itself, once, in enumeration order whatever order the kinds'
    // files started in; a kind cannot register twice (nor jump the queue).
    std::vector<EKind> kinds;
    for (const auto& k : RegisteredKinds()) kinds.push_back(k.eKind);
    EXPECT_EQ(kinds, (std::vector<EKind>{EKind::MidiOut, EKind::Vst, EKind::Asio, EKind::DirectSound}));
    EXPECT_FALSE(RegisterKind({EKind::DirectSound, -1, RegisteredKinds().back().ids}));
    EXPECT_EQ(RegisteredKinds().front().eKind, EKind::MidiOut);

    EXPECT_EQ(CControl::CIdInstances::MakeDisplayNames({u"A", u"A(1)", u"A", u"A"}),
              (std::vector<std::u16string>{u"A", u"A(1)", u"A(2)", u"A(3)"}));
}

TEST(DeviceRegistry, AudioSinksAndDefaultOutput) {
    Env();
    const auto& sinks = CControl::CAudioIn::GetDeviceIdList();
    ASSERT_EQ(sinks.size(), 4u);
    auto it = sinks.begin();
    EXPECT_EQ(*it++, IdOf(u"Speakers"));  // the default output
    EXPECT_EQ(*it++, IdOf(u"Driver"));
    EXPECT_EQ(*it++, IdOf(u"Six"));
    EXPECT_EQ(*it++, IdOf(u"Echo"));
    EXPECT_EQ(CControl::CAudioIn::DefaultOutput(), IdOf(u"Speakers"));
    EXPECT_TRUE(CControl::AcceptsMidi(*IdOf(u"Synth")));
    EXPECT_FALSE(CControl::AcceptsMidi(*IdOf(u"Echo")));
    EXPECT_FALSE(CControl::AcceptsAudio(*IdOf(u"Keys")));
    EXPECT_FALSE(SetBackends({}));  // too late once the registries exist
}

TEST(DeviceRegistry, HandlesShareOneOpenDevice) {
    const auto id = IdOf(u"Keys");
    EXPECT_FALSE(id->GetDevice(false));
    auto a = id->GetDevice(true);
    auto b = id->GetDevice(false);
    EXPECT_EQ(a, b);
    EXPECT_EQ(Env().midi->OpenCount(2), 1);
    a.reset();
    b.reset();
    EXPECT_FALSE(id->GetDevice(false));  // closed with its last handle
    auto c = id->GetDevice(true);
    EXPECT_EQ(Env().midi->OpenCount(2), 2);
}

TEST(MidiOutDevice, SendsInTimeOrderAndDeletionKeepsOnlyNoteOffs) {
    // The clock stands still while the messages are pushed, so none falls due between
    // two pushes however slowly the test runs.
    DUve::Test::CManualClock::CScope scope;
    const auto& midi = *Env().midi;
    CControl::CMidiIn sink(IdOf(u"Out")->GetDevice(true));
    const double now = ClockSeconds();
    {
        auto queue = sink.CreateQueue();
        queue->Push(now + 0.04, Bytes({0x90, 62, 100}));
        queue->Push(now + 0.02, Bytes({0xC0, 5}));
        queue->Push(now + 0.03, Bytes({}));  // a mark sends nothing
        queue->Push(now - 1.0, Bytes({0x90, 61, 100}));  // already late
        ASSERT_TRUE(WaitFor([&] { return midi.Sent(0).size() >= 1; }));
        scope.clock->Advance(50'000'000);
        ASSERT_TRUE(WaitFor([&] { return midi.Sent(0).size() >= 3; }));
    }
    const auto sent = midi.Sent(0);
    ASSERT_EQ(sent.size(), 3u);
    EXPECT_EQ(sent[0].vBytes, (std::vector<uint8_t>{0x90, 61, 100}));
    EXPECT_EQ(sent[1].vBytes, (std::vector<uint8_t>{0xC0, 5}));
    EXPECT_EQ(sent[2].vBytes, (std::vector<uint8_t>{0x90, 62, 100}));
    EXPECT_GE(sent[2].dTime, now + 0.04);
    // The output learns the time each message was stamped for, to the nanosecond, and a
    // port that cannot schedule is never asked before it.
    EXPECT_NEAR(static_cast<double>(sent[2].nStampNs), (now + 0.04) * 1e9, 1.0);
    EXPECT_GE(sent[2].dTime * 1e9 + 1000.0, static_cast<double>(sent[2].nStampNs));

    Env().midi->Clear(0);
    {
        auto queue = sink.CreateQueue();
        queue->Push(now + 10, Bytes({0x90, 60, 100}));
        queue->Push(now + 20, Bytes({0x80, 60, 0}));
    }  // deleted: the note-off goes out at once, the note-on never
    ASSERT_TRUE(WaitFor([&] { return !midi.Sent(0).empty(); }));
    std::this_thread::sleep_for(30ms);
    const auto after = midi.Sent(0);
    ASSERT_EQ(after.size(), 1u);
    EXPECT_EQ(after[0].vBytes, (std::vector<uint8_t>{0x80, 60, 0}));
}

TEST(PatchBay, DefaultConnectionRoutesInstrumentsToTheDefaultOutputAndSumsThem) {
    const CEnv& env = Env();
    auto bay = CPatchBay::EnsureInstance();
    EXPECT_EQ(bay, CPatchBay::EnsureInstance());
    CPatchRecorder first;
    bay->PostRequest(std::make_shared<CPatchBay::Request::CAddNotify>(first.Sender()));
    ASSERT_TRUE(WaitFor([&] { return first.Count() == 1; }));
    EXPECT_TRUE(first.Last()->patch->empty());  // the current patch at once, even empty

    const auto synthId = IdOf(u"Synth");
    const auto speakers = IdOf(u"Speakers");
    auto synth = synthId->GetDevice(true);
    bay->PostRequest(std::make_shared<CPatchBay::Request::CConnectDefault>(synth));
    ASSERT_TRUE(WaitFor([&] { return first.Count() == 2; }));
    EXPECT_EQ(first.Last()->patch->Connections(), (CPatchBay::CConnections{{synthId, speakers}}));
    ASSERT_TRUE(WaitFor([&] { return !env.directSound->Starts(0).empty() && env.vst->Log(u"/plug/Synth.so").nStarts; }));
    EXPECT_EQ(env.directSound->Starts(0), (std::vector<std::pair<uint32_t, uint32_t>>{{44100, 2048}}));
    EXPECT_EQ(env.vst->Log(u"/plug/Synth.so").nSampleRate, 44100u);
    EXPECT_EQ(env.vst->Log(u"/plug/Synth.so").nBlockSize, 512u);

    // A second note for the same instrument and a note for a MIDI output change nothing.
    bay->PostRequest(std::make_shared<CPatchBay::Request::CConnectDefault>(synth));
    bay->PostRequest(std::make_shared<CPatchBay::Request::CConnectDefault>(IdOf(u"Out")->GetDevice(true)));
    CPatchRecorder second;  // its greeting comes after both requests were handled
    bay->PostRequest(std::make_shared<CPatchBay::Request::CAddNotify>(second.Sender()));
    ASSERT_TRUE(WaitFor([&] { return second.Count() == 1; }));
    EXPECT_EQ(first.Count(), 2u);
    EXPECT_EQ(second.Last()->patch->size(), 1u);

    const auto secondId = IdOf(u"Second");
    auto other = secondId->GetDevice(true);
    bay->PostRequest(std::make_shared<CPatchBay::Request::CConnectDefault>(other));
    ASSERT_TRUE(WaitFor([&] { return first.Count() == 3; }));
    EXPECT_EQ(first.Last()->patch->size(), 2u);
    EXPECT_EQ(env.directSound->Starts(0).size(), 1u);  // the output is started once

    // Both instruments hold a full-level note: the output hears their sum.
    const double now = ClockSeconds();
    std::vector<std::shared_ptr<CControl::CMidiIn::CQueue>> queues;
    for (const auto& device : {synth, other}) {
        auto queue = CControl::CMidiIn(device).CreateQueue();
        queue->Push(now, Bytes({0x90, 60, 127}));
        queue->Push(now + 60, Bytes({}));
        queues.push_back(queue);
    }
    bool bSummed = false;
    for (int i = 0; i < 200 && !bSummed; ++i) {
        std::this_thread::sleep_for(20ms);
        ASSERT_TRUE(env.directSound->Pump(0));
        for (const auto& block : env.directSound->Blocks(0))
            for (float f : block.vChannels.at(1))
                if (std::fabs(f - 2.0f) < 1e-6f) bSummed = true;
    }
    EXPECT_TRUE(bSummed);
    for (const auto& block : env.directSound->Blocks(0)) {
        ASSERT_EQ(block.vChannels.size(), 2u);
        EXPECT_EQ(block.vChannels[0].size(), 2048u);
        for (float f : block.vChannels[0]) EXPECT_TRUE(f == 0.0f || f == 1.0f || f == 2.0f) << f;
    }
}

TEST(VstDevice, OpensOnceWithUsableSettingsAndRendersNotesFromTheirFrame) {
    const CEnv& env = Env();
    // The clock stands still until the notes are queued, so rendering cannot pass them.
    DUve::Test::CManualClock::CScope scope;
    const std::u16string path = u"/plug/Pad.so";
    // Another test may have opened the plug-in before: count this test's starts only.
    ASSERT_TRUE(WaitFor([&] { return !IdOf(u"Pad")->GetDevice(false); }));
    const int nStartsBefore = env.vst->Log(path).nStarts;
    auto pad = IdOf(u"Pad")->GetDevice(true);
    CDeviceSubscriber sub;
    // A rate or block of 0 opens nothing; the first usable open wins, later ones are ignored.
    pad->PostRequests({std::make_shared<const Request::CAddNotify>(sub.log.sender),
                       std::make_shared<const Request::COpen>(0, 512, 0.2),
                       std::make_shared<const Request::COpen>(48000, 0, 0.2),
                       std::make_shared<const Request::COpen>(48000, 480, 0.05),
                       std::make_shared<const Request::COpen>(44100, 512, 0.2)});
    ASSERT_TRUE(WaitFor([&] { return sub.log.Read<size_t>([](CDeviceLog& l) { return l.blocks.size(); }) >= 3; }));
    {
        const auto log = env.vst->Log(path);
        EXPECT_EQ(log.nStarts, nStartsBefore + 1);
        EXPECT_EQ(log.nSampleRate, 48000u);
        EXPECT_EQ(log.nBlockSize, 480u);
    }

    auto queue = CControl::CMidiIn(pad).CreateQueue();
    const double t0 = ClockSeconds();
    const double dOn = t0 + 0.4, dOff = dOn + 0.05;
    queue->Push(dOn, Bytes({0x90, 60, 127}));
    queue->Push(dOff, Bytes({0x80, 60, 0}));
    queue->Push(dOff + 0.1, Bytes({}));
    const auto nOn = static_cast<int64_t>(std::trunc(dOn * 48000.0));
    const auto nOff = static_cast<int64_t>(std::trunc(dOff * 48000.0));
    const auto renderedPast = [&](double dSeconds) {
        const auto n = static_cast<int64_t>(dSeconds * 48000.0);
        return WaitFor([&] {
            return sub.log.Read<bool>([&](CDeviceLog& l) { return l.blocks.back()->nPosition + 480 > n; });
        });
    };
    // Two renderings short of the note: the second comes from a tick that runs after the
    // queue's requests, so the queue is in place before the clock moves past the note.
    scope.clock->Advance(300000000);
    ASSERT_TRUE(renderedPast(t0 + 0.35 - 0.01));
    scope.clock->Advance(20000000);
    ASSERT_TRUE(renderedPast(t0 + 0.37 - 0.01));
    scope.clock->Advance(1000000000);
    ASSERT_TRUE(renderedPast(dOff + 0.02));

    const auto blocks = sub.log.Read<std::vector<std::shared_ptr<const Notify::CProcessReplacing>>>(
        [](CDeviceLog& l) { return l.blocks; });
    int64_t nFirstOn = -1, nFirstOffAfter = -1;
    for (size_t i = 0; i < blocks.size(); ++i) {
        const auto& b = *blocks[i];
        EXPECT_EQ(b.nSampleRate, 48000u);
        ASSERT_EQ(b.vChannels.size(), 2u);
        ASSERT_EQ(b.vChannels[1]->size(), 480u);
        if (i > 0) {
            EXPECT_EQ(b.nPosition, blocks[i - 1]->nPosition + 480) << i;  // no gap, no overlap
        }
        for (size_t f = 0; f < 480; ++f) {
            const float v = (*b.vChannels[1])[f];
            const int64_t n = b.nPosition + static_cast<int64_t>(f);
            if (nFirstOn < 0 && v == 1.0f) nFirstOn = n;
            if (nFirstOn >= 0 && nFirstOffAfter < 0 && v == 0.0f) nFirstOffAfter = n;
        }
    }
    // The plug-in was told each message at the frame its time stamp falls on.
    EXPECT_EQ(nFirstOn, nOn);
    EXPECT_EQ(nFirstOffAfter, nOff);
    EXPECT_EQ(env.vst->Log(path).vEvents.size(), 2u);  // the mark is no event
}

TEST(AudioOutDevice, BufferZeroTakesTheDriversSizeAndLateSubscribersAreGreeted) {
    const CEnv& env = Env();
    auto driver = IdOf(u"Driver")->GetDevice(true);
    CDeviceSubscriber early, late, after;
    driver->PostRequests({std::make_shared<const Request::CAddNotify>(early.log.sender),
                          std::make_shared<const Request::CStart>(48000, 0)});
    ASSERT_TRUE(WaitFor([&] { return early.log.StartCount() == 1; }));
    const auto started = early.log.Read<std::shared_ptr<const Notify::CStarted>>(
        [](CDeviceLog& l) { return l.starts[0]; });
    EXPECT_EQ(started->nSampleRate, 48000u);
    EXPECT_EQ(started->nChannels, 2u);
    EXPECT_EQ(started->nBufferSize, 256u);  // the driver's preferred size
    EXPECT_EQ(env.asio->Starts(0).back(), (std::pair<uint32_t, uint32_t>{48000, 0}));

    // Whoever subscribes to a running output hears of its start at once.
    driver->PostRequests({std::make_shared<const Request::CAddNotify>(late.log.sender)});
    ASSERT_TRUE(WaitFor([&] { return late.log.StartCount() == 1; }));
    // Every refill is a buffer switch for every subscriber, and a stream with nothing
    // queued plays silence of the buffer's size.
    ASSERT_TRUE(env.asio->Pump(0));
    ASSERT_TRUE(WaitFor([&] { return early.log.SwitchCount() == 1 && late.log.SwitchCount() == 1; }));
    const auto block = env.asio->Blocks(0).back();
    ASSERT_EQ(block.vChannels.size(), 2u);
    EXPECT_EQ(block.vChannels[0], std::vector<float>(256, 0.0f));

    // A second start while running changes nothing; a stop ends the stream: nobody hears
    // of a start any more, no refill runs.
    driver->PostRequests({std::make_shared<const Request::CStart>(44100, 128),
                          std::make_shared<const Request::CStop>(),
                          std::make_shared<const Request::CAddNotify>(after.log.sender)});
    ASSERT_TRUE(WaitFor([&] { return !env.asio->Pump(0); }));
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(after.log.StartCount(), 0u);
    EXPECT_EQ(early.log.StartCount(), 1u);
}

TEST(PatchBay, AConnectWithoutAConnectionReleasesItsDevices) {
    Env();
    auto bay = CPatchBay::EnsureInstance();
    CPatchRecorder sub;
    bay->PostRequest(std::make_shared<CPatchBay::Request::CAddNotify>(sub.Sender()));
    ASSERT_TRUE(WaitFor([&] { return sub.Count() == 1; }));
    const size_t nBefore = sub.Last()->patch->size();

    const auto padId = IdOf(u"Pad");
    {
        auto pad = padId->GetDevice(true);
        bay->PostRequest(std::make_shared<CPatchBay::Request::CConnectDefault>(pad));
    }
    ASSERT_TRUE(WaitFor([&] { return sub.Count() == 2; }));
    auto connections = sub.Last()->patch->Connections();
    EXPECT_EQ(connections.size(), nBefore + 1);
    EXPECT_TRUE(padId->GetDevice(false));  // the patch bay keeps it open

    connections.erase({padId, CControl::CAudioIn::DefaultOutput()});
    // Connections with a missing end are dropped rather than kept half made.
    connections.insert({nullptr, CControl::CAudioIn::DefaultOutput()});
    bay->PostRequest(std::make_shared<CPatchBay::Request::CConnect>(connections));
    ASSERT_TRUE(WaitFor([&] { return sub.Count() == 3; }));
    EXPECT_EQ(sub.Last()->patch->size(), nBefore);
    EXPECT_TRUE(WaitFor([&] { return !padId->GetDevice(false); }));  // closed with the patch bay's handle
}

namespace DUve::AudioDevice {
namespace {

// Every mixed value reaches the first two outputs in their own sample type; inputs and
// further outputs are left as they were.
TEST(AudioOutDevice, OnlyOutputsZeroAndOneGetTheMixInTheirSampleTypes) {
    const CEnv& env = Env();
    auto six = IdOf(u"Six")->GetDevice(true);
    six->PostRequest(std::make_shared<const Request::CStart>(48000, 0));
    ASSERT_TRUE(WaitFor([&] { return env.asio->Pump(1); }));
    CControl::CAudioIn sink(six);
    struct CCase {
        float f;
        int16_t n16;
        int32_t n32;
        float fFloat;
    };
    const CCase cases[] = {{1.0f, 32767, 2147483647, 1.0f},      {0.5f, 16383, 1073741824, 0.5f},
                           {-0.5f, -16384, -1073741824, -0.5f},  {-1.0f, -32768, INT32_MIN, -1.0f},
                           {2.0f, 32767, 2147483647, 2.0f},      {NAN, -32768, INT32_MIN, 0.0f}};
    for (const auto& c : cases) {
        auto queue = sink.CreateQueue(ClockSeconds() - 1.0);
        const auto samples = std::make_shared<const std::vector<float>>(48000 * 3, c.f);
        queue->Push(0, samples);
        queue->Push(1, samples);
        TestBackends::CMixedBlock block;
        ASSERT_TRUE(WaitFor([&] {
            env.asio->Pump(1);
            block = env.asio->Blocks(1).back();
            int32_t n;
            int16_t n16;
            std::memcpy(&n, block.vRaw[2].data(), 4);
            std::memcpy(&n16, block.vRaw[3].data(), 2);
            return n != 0 && n16 != 0;
        })) << c.f;
        ASSERT_EQ(block.vRaw.size(), 6u);
        for (size_t i = 0; i < 256; ++i) {
            int32_t n32;
            int16_t n16;
            std::memcpy(&n32, block.vRaw[2].data() + 4 * i, 4);
            std::memcpy(&n16, block.vRaw[3].data() + 2 * i, 2);
            ASSERT_EQ(n32, c.n32) << c.f << " frame " << i;
            ASSERT_EQ(n16, c.n16) << c.f << " frame " << i;
        }
        for (size_t k : {0u, 1u, 4u, 5u})
            EXPECT_TRUE(std::all_of(block.vRaw[k].begin(), block.vRaw[k].end(),
                                    [](uint8_t b) { return b == TestBackends::CAudioOut::kUntouched; }))
                << "buffer " << k << " was written";
        CAudioChannelBuffer asFloat{false, 0, ESampleType::Float32LSB, nullptr, 1};
        float fOut = 7.0f;
        asFloat.pData = &fOut;
        WriteSamples(asFloat, &c.f, 1, 0);
        EXPECT_EQ(fOut, c.fFloat) << c.f;
        queue.reset();
        // Wait for the queue to be gone, so the next case mixes alone.
        ASSERT_TRUE(WaitFor([&] {
            env.asio->Pump(1);
            int32_t n;
            int16_t n16;
            std::memcpy(&n, env.asio->Blocks(1).back().vRaw[2].data(), 4);
            std::memcpy(&n16, env.asio->Blocks(1).back().vRaw[3].data(), 2);
            return n == 0 && n16 == 0;
        }));
    }
    six->PostRequest(std::make_shared<const Request::CStop>());
}

// A stream that stops by itself is reported, the output is stopped, and it can start again.
TEST(AudioOutDevice, ALostStreamIsReportedAndTheOutputCanStartAgain) {
    const CEnv& env = Env();
    DUve::Test::CDeviceLogCapture log;
    auto speakers = IdOf(u"Speakers")->GetDevice(true);
    const size_t nStarts = env.directSound->Starts(0).size();
    speakers->PostRequest(std::make_shared<const Request::CStart>(44100, 2048));
    ASSERT_TRUE(WaitFor([&] { return env.directSound->Starts(0).size() == nStarts + 1; }));
    ASSERT_TRUE(env.directSound->Lose(0, "the server went away"));
    ASSERT_TRUE(WaitFor([&] { return log.Contains("audio output [Speakers] stopped: the server went away"); }));
    ASSERT_TRUE(WaitFor([&] { return !env.directSound->Pump(0); }));  // the stream was closed
    speakers->PostRequest(std::make_shared<const Request::CStart>(44100, 2048));
    ASSERT_TRUE(WaitFor([&] { return env.directSound->Pump(0); }));
}

// A process-clock reading carried as seconds comes back as the same nanosecond, and a
// frame's start as the same frame, however large the clock has grown; times between
// units fall to the unit before; what cannot be a time is clamped.
TEST(DeviceTime, UnitsComeBackWholeFromSeconds) {
    std::mt19937_64 random(7);
    size_t nWrong = 0;
    for (const uint64_t nScale : {uint64_t{1'000'000'000}, uint64_t{1'000'000'000'000'000}}) {
        std::uniform_int_distribution<uint64_t> pick(0, nScale);
        for (int i = 0; i < 20000; ++i) {
            const uint64_t nNs = pick(random);
            const uint64_t nFrame = nNs / 1000;
            nWrong += ToUnits(double(nNs) / 1e9, 1e9) != nNs;
            nWrong += ToUnits(double(nFrame) / 48000.0, 48000.0) != nFrame;
            nWrong += ToUnits((double(nFrame) + 0.5) / 48000.0, 48000.0) != nFrame;
        }
    }
    EXPECT_EQ(nWrong, 0u);
    EXPECT_EQ(ToUnits(0.9999 / 48000.0, 48000.0), 0u);
    EXPECT_EQ(ToUnits(-1.0, 1e9), 0u);
    EXPECT_EQ(ToUnits(std::nan(""), 1e9), 0u);
    EXPECT_EQ(ToUnits(INFINITY, 1e9), std::numeric_limits<uint64_t>::max() - 1);
}

}  // namespace
}  // namespace DUve::AudioDevice

namespace DUve::AudioDevice {
namespace {

// With the process clock held still, what goes out when depends on the clock alone: a
// port that sends at once gets a message on the first tick at or after its stamp, a port
// that schedules gets it its lead ahead; a deleted queue's note-off never goes out stamped
// before a note-on already handed over.
TEST(MidiOutDevice, DeliveryFollowsTheProcessClockAndEachPortsLead) {
    DUve::Test::CManualClock::CScope scope;
    auto& clock = *scope.clock;
    auto& midi = *Env().midi;
    constexpr uint64_t kMs = 1000000;
    struct CPortCase {
        const char16_t* szName;
        uint32_t nNo;
        uint64_t nLead;
    };
    for (const auto& port : {CPortCase{u"Out(1)", 1, 0}, CPortCase{u"Keys", 2, 5 * kMs}}) {
        SCOPED_TRACE(DUve::Utf16ToUtf8(port.szName));
        midi.SetLead(port.nNo, port.nLead);
        midi.Clear(port.nNo);
        CControl::CMidiIn sink(IdOf(port.szName)->GetDevice(true));
        const auto sent = [&] { return midi.Sent(port.nNo); };
        // A message already due shows that a tick has run since the clock was last set.
        auto marks = sink.CreateQueue();
        const auto tickSeen = [&](size_t nExpected) {
            marks->Push(ClockSeconds() - 0.001, Bytes({0xFE}));
            return WaitFor([&] { return sent().size() == nExpected; });
        };
        const uint64_t t0 = clock.Nanoseconds();
        auto queue = sink.CreateQueue();
        queue->Push(double(t0 + 10 * kMs) / 1e9, Bytes({0x90, 60, 100}));
        queue->Push(double(t0 + 20 * kMs) / 1e9, Bytes({0x80, 60, 0}));
        ASSERT_TRUE(tickSeen(1));

        // Just before the hand-over moment nothing goes; one nanosecond later it does.
        const uint64_t tHand = t0 + 10 * kMs - port.nLead;
        clock.Set(tHand);
        ASSERT_TRUE(tickSeen(2));
        EXPECT_EQ(sent().back().vBytes, (std::vector<uint8_t>{0xFE}));
        clock.Set(tHand + 1);
        ASSERT_TRUE(WaitFor([&] { return sent().size() == 3; }));
        const auto on = sent().back();
        EXPECT_EQ(on.vBytes, (std::vector<uint8_t>{0x90, 60, 100}));
        EXPECT_EQ(on.nSentNs, tHand + 1);
        // Stamped to the nanosecond (the push carried seconds as a double).
        EXPECT_NEAR(double(on.nStampNs), double(t0 + 10 * kMs), 2.0);

        // Deleted before the note-off is due: it goes at once, not stamped before the
        // note-on.
        queue.reset();
        ASSERT_TRUE(WaitFor([&] { return sent().size() == 4; }));
        const auto off = sent().back();
        EXPECT_EQ(off.vBytes, (std::vector<uint8_t>{0x80, 60, 0}));
        EXPECT_EQ(off.nSentNs, tHand + 1);
        EXPECT_GE(off.nStampNs, on.nStampNs);
        clock.Advance(100 * kMs);
        ASSERT_TRUE(tickSeen(5));  // and nothing else
    }
}

}  // namespace
}  // namespace DUve::AudioDevice

namespace DUve::AudioDevice {
namespace {

// An output that knows when each period plays is kept in step with the process clock:
// drift beyond half a period is taken back at once, smaller drift is left alone.
TEST(AudioOutDevice, AStreamThatDriftsFromTheClockIsRealigned) {
    const CEnv& env = Env();
    DUve::Test::CDeviceLogCapture log;
    auto driver = IdOf(u"Driver")->GetDevice(true);
    driver->PostRequest(std::make_shared<const Request::CStart>(48000, 0));
    ASSERT_TRUE(WaitFor([&] { return env.asio->Pump(0); }));
    const uint64_t t0 = 100000000000ull;  // 100 s, after anything real
    ASSERT_TRUE(env.asio->SetStartTime(0, t0));
    // A ramp (sample i holds i) that starts exactly at t0.
    std::vector<float> ramp(4800);
    for (size_t i = 0; i < ramp.size(); ++i) ramp[i] = float(i);
    auto queue = CControl::CAudioIn(driver).CreateQueue(double(t0) / 1e9);
    queue->Push(0, std::make_shared<const std::vector<float>>(ramp));
    // Each refill says the period plays at t0: the output keeps going back there.
    ASSERT_TRUE(WaitFor([&] {
        env.asio->Pump(0);
        const auto b = env.asio->Blocks(0).back().vChannels[0];
        return b[0] == 0.0f && b[255] == 255.0f;
    }));
    // A hundred frames of drift stay (the ramp goes on), four hundred are taken back.
    ASSERT_TRUE(env.asio->SetStartTime(0, t0 + 256 * 1000000000ull / 48000 + 100 * 1000000000ull / 48000));
    ASSERT_TRUE(env.asio->Pump(0));
    EXPECT_EQ(env.asio->Blocks(0).back().vChannels[0][0], 256.0f);
    ASSERT_TRUE(env.asio->SetStartTime(0, t0 + 1000 * 1000000000ull / 48000 + 1));
    ASSERT_TRUE(env.asio->Pump(0));
    EXPECT_EQ(env.asio->Blocks(0).back().vChannels[0][0], 1000.0f);
    EXPECT_TRUE(WaitFor([&] { return log.Contains("[Driver]: its clock and the process clock part"); }));
    driver->PostRequest(std::make_shared<const Request::CStop>());
}

}  // namespace
}  // namespace DUve::AudioDevice

namespace DUve::AudioDevice {
namespace {

// A stream that runs at another rate than its output was started with plays the audio
// converted: a 440 Hz sine queued at 44,100 Hz keeps its pitch, starts at its own moment
// and has no jump, and the rate difference is never taken for drift.
TEST(AudioOutDevice, AStreamAtAnotherRateKeepsPitchAndTimingAndIsNeverRealigned) {
    const CEnv& env = Env();
    DUve::Test::CDeviceLogCapture log;
    constexpr uint32_t kRate = 44100, kPeriod = 256;
    constexpr double kAmp = 0.5;
    const uint64_t t0 = 200000000000ull, tStart = t0 - 100000000ull;  // 200 s; the stream starts 0.1 s before
    // Half a second of A4 from phase 0: exactly 220 cycles, so it also ends at phase 0.
    std::vector<float> sine(kRate / 2);
    for (size_t i = 0; i < sine.size(); ++i) sine[i] = float(kAmp * std::sin(2 * M_PI * 440.0 * double(i) / kRate));
    const auto samples = std::make_shared<const std::vector<float>>(std::move(sine));
    for (const uint32_t nDeviceRate : {48000u, 96000u, 32000u, kRate}) {
        SCOPED_TRACE(nDeviceRate);
        ASSERT_TRUE(WaitFor([&] { return !IdOf(u"Driver")->GetDevice(false); }));
        env.asio->SetDeviceRate(0, nDeviceRate);
        auto driver = IdOf(u"Driver")->GetDevice(true);
        CDeviceSubscriber started, barrier;
        driver->PostRequests({std::make_shared<const Request::CAddNotify>(started.log.sender),
                              std::make_shared<const Request::CStart>(kRate, 0)});
        ASSERT_TRUE(WaitFor([&] { return started.log.StartCount() == 1; }));
        EXPECT_EQ(started.log.Read<uint32_t>([](CDeviceLog& l) { return l.starts[0]->nSampleRate; }), kRate);
        auto queue = CControl::CAudioIn(driver).CreateQueue(double(t0) / 1e9);
        queue->Push(0, samples);
        // Its greeting comes once the queue's requests have been handled.
        driver->PostRequest(std::make_shared<const Request::CAddNotify>(barrier.log.sender));
        ASSERT_TRUE(WaitFor([&] { return barrier.log.StartCount() == 1; }));
        const size_t nBefore = env.asio->Blocks(0).size();
        const uint64_t nPeriods = uint64_t(0.7 * nDeviceRate) / kPeriod;
        for (uint64_t k = 0; k < nPeriods; ++k) {
            ASSERT_TRUE(env.asio->SetStartTime(0, tStart + k * kPeriod * 1000000000ull / nDeviceRate));
            ASSERT_TRUE(env.asio->Pump(0));
        }
        std::vector<float> played;
        const auto blocks = env.asio->Blocks(0);
        for (size_t i = nBefore; i < blocks.size(); ++i)
            played.insert(played.end(), blocks[i].vChannels[0].begin(), blocks[i].vChannels[0].end());
        ASSERT_EQ(played.size(), nPeriods * kPeriod);
        size_t nOnset = 0;
        while (nOnset < played.size() && std::fabs(played[nOnset]) < 0.01f) ++nOnset;
        // The sine's second sample is the first above the threshold at these rates.
        const double dOnset = double(tStart) / 1e9 + double(nOnset - 1) / nDeviceRate;
        EXPECT_NEAR(dOnset, double(t0) / 1e9, 2.0 / nDeviceRate + 1.0 / kRate);
        const size_t nSounding = size_t(0.5 * nDeviceRate);
        EXPECT_NEAR(DUve::Test::ZeroCrossingPitch(played.data() + nOnset, nSounding, nDeviceRate), 440.0, 0.1);
        // Converted, the note's start (where the slope jumps) overshoots the sine's own
        // step a little; a jump or a click would be many times larger.
        EXPECT_LT(DUve::Test::LargestStep(played.data(), played.size()),
                  1.3 * DUve::Test::SineStep(kAmp, 440.0, nDeviceRate));
        std::this_thread::sleep_for(20ms);  // the worker's poll would have told of a realignment
        EXPECT_FALSE(log.Contains("realigned")) << log.Text();
        queue.reset();
        driver->PostRequest(std::make_shared<const Request::CStop>());
    }
    env.asio->SetDeviceRate(0, 0);
}

}  // namespace
}  // namespace DUve::AudioDevice
