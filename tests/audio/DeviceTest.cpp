#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <functional>
#include <thread>

#include "audio/DeviceKinds.h"
#include "audio/PatchBay.h"
#include "audio/TestBackends.h"

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
        e.vst = std::make_shared<TestBackends::CVst>(std::vector<CVstPluginInfo>{synth, second, echo});
        e.directSound = std::make_shared<TestBackends::CAudioOut>(std::vector<CAudioOutInfo>{{0, u"Speakers"}}, 2048);
        e.asio = std::make_shared<TestBackends::CAudioOut>(std::vector<CAudioOutInfo>{{0, u"Driver"}}, 256);
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

bool WaitFor(const std::function<bool()>& done, std::chrono::milliseconds limit = 5000ms) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(2ms);
    }
    return true;
}

// A receiver on a worker of its own that records the patches it is told about.
struct CPatchLog {
    std::mutex mutex;
    std::vector<CPatchBay::CSetPatchPtr> patches;
    CRThreadMessage::CSender sender;
    size_t Count() {
        std::lock_guard lock(mutex);
        return patches.size();
    }
    CPatchBay::CSetPatchPtr Last() {
        std::lock_guard lock(mutex);
        return patches.back();
    }
};
class CProbe {
public:
    CProbe(boost::asio::io_context& io, CPatchLog& log) : m_receiver(CRThreadBridge::InitializeIoService(io)) {
        CRThreadMessage::AddHandler<CPatchBay::Notify::ChangedSetPatch>(
            *m_receiver, [&log](const std::shared_ptr<const CPatchBay::Notify::ChangedSetPatch>& n) {
                std::lock_guard lock(log.mutex);
                log.patches.push_back(n->patch);
            });
        log.sender = m_receiver->GetSender();
    }
    static const CRThreadMessage::CRRequestTableT<CProbe>& RequestTable() {
        static const CRThreadMessage::CRRequestTableT<CProbe> table;
        return table;
    }

private:
    CRThreadBridge::CReceiverPtr m_receiver;
};
struct CSubscriber {
    CPatchLog log;
    CRWorkerThreadT<CProbe> worker{[this](boost::asio::io_context& io) { return std::make_unique<CProbe>(io, log); }};
};

}  // namespace

TEST(DeviceRegistry, DisplayNamesAreUniqueAndFollowKindOrder) {
    Env();
    std::vector<std::u16string> names;
    for (const auto& [name, id] : CControl::CIdInstances::Get().All()) names.push_back(name);
    // MIDI outputs by number, then plug-ins by path, then ASIO, then DirectSound.
    EXPECT_EQ(names, (std::vector<std::u16string>{u"Out", u"Out(1)", u"Keys", u"Second", u"Synth", u"Echo",
                                                  u"Driver", u"Speakers"}));
    const auto out1 = std::dynamic_pointer_cast<const CDeviceMidiOut::CDeviceId>(IdOf(u"Out(1)"));
    ASSERT_TRUE(out1);
    EXPECT_EQ(out1->nNo, 1u);
    EXPECT_EQ(CControl::CIdInstances::Get().NameOf(*out1), u"Out(1)");
    EXPECT_FALSE(IdOf(u"out"));  // exact comparison

    EXPECT_EQ(CControl::CIdInstances::MakeDisplayNames({u"A", u"A(1)", u"A", u"A"}),
              (std::vector<std::u16string>{u"A", u"A(1)", u"A(2)", u"A(3)"}));
}

TEST(DeviceRegistry, AudioSinksAndDefaultOutput) {
    Env();
    const auto& sinks = CControl::CAudioIn::GetDeviceIdList();
    ASSERT_EQ(sinks.size(), 3u);
    auto it = sinks.begin();
    EXPECT_EQ(*it++, IdOf(u"Speakers"));  // the default output
    EXPECT_EQ(*it++, IdOf(u"Driver"));
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
    const auto& midi = *Env().midi;
    CControl::CMidiIn sink(IdOf(u"Out")->GetDevice(true));
    const double now = ClockSeconds();
    {
        auto queue = sink.CreateQueue();
        queue->Push(now + 0.04, Bytes({0x90, 62, 100}));
        queue->Push(now + 0.02, Bytes({0xC0, 5}));
        queue->Push(now + 0.03, Bytes({}));  // a mark sends nothing
        queue->Push(now - 1.0, Bytes({0x90, 61, 100}));  // already late
        ASSERT_TRUE(WaitFor([&] { return midi.Sent(0).size() >= 3; }));
    }
    const auto sent = midi.Sent(0);
    ASSERT_EQ(sent.size(), 3u);
    EXPECT_EQ(sent[0].vBytes, (std::vector<uint8_t>{0x90, 61, 100}));
    EXPECT_EQ(sent[1].vBytes, (std::vector<uint8_t>{0xC0, 5}));
    EXPECT_EQ(sent[2].vBytes, (std::vector<uint8_t>{0x90, 62, 100}));
    EXPECT_GE(sent[2].dTime, now + 0.04);
    // The output learns the time each message was stamped for (whole milliseconds), and
    // is never asked before it.
    EXPECT_EQ(sent[2].nStampMs, static_cast<uint64_t>((now + 0.04) * 1000.0));
    EXPECT_GE(sent[2].dTime * 1000.0, static_cast<double>(sent[2].nStampMs));

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
    CSubscriber first;
    bay->PostRequest(std::make_shared<CPatchBay::Request::CAddNotify>(first.log.sender));
    ASSERT_TRUE(WaitFor([&] { return first.log.Count() == 1; }));
    EXPECT_TRUE(first.log.Last()->empty());  // the current patch at once, even empty

    const auto synthId = IdOf(u"Synth");
    const auto speakers = IdOf(u"Speakers");
    auto synth = synthId->GetDevice(true);
    bay->PostRequest(std::make_shared<CPatchBay::Request::CConnectDefault>(synth));
    ASSERT_TRUE(WaitFor([&] { return first.log.Count() == 2; }));
    EXPECT_EQ(first.log.Last()->Connections(), (CPatchBay::CConnections{{synthId, speakers}}));
    ASSERT_TRUE(WaitFor([&] { return !env.directSound->Starts(0).empty() && env.vst->Log(u"/plug/Synth.so").nStarts; }));
    EXPECT_EQ(env.directSound->Starts(0), (std::vector<std::pair<uint32_t, uint32_t>>{{44100, 2048}}));
    EXPECT_EQ(env.vst->Log(u"/plug/Synth.so").nSampleRate, 44100u);
    EXPECT_EQ(env.vst->Log(u"/plug/Synth.so").nBlockSize, 512u);

    // A second note for the same instrument and a note for a MIDI output change nothing.
    bay->PostRequest(std::make_shared<CPatchBay::Request::CConnectDefault>(synth));
    bay->PostRequest(std::make_shared<CPatchBay::Request::CConnectDefault>(IdOf(u"Out")->GetDevice(true)));
    CSubscriber second;  // its greeting comes after both requests were handled
    bay->PostRequest(std::make_shared<CPatchBay::Request::CAddNotify>(second.log.sender));
    ASSERT_TRUE(WaitFor([&] { return second.log.Count() == 1; }));
    EXPECT_EQ(first.log.Count(), 2u);
    EXPECT_EQ(second.log.Last()->size(), 1u);

    const auto secondId = IdOf(u"Second");
    auto other = secondId->GetDevice(true);
    bay->PostRequest(std::make_shared<CPatchBay::Request::CConnectDefault>(other));
    ASSERT_TRUE(WaitFor([&] { return first.log.Count() == 3; }));
    EXPECT_EQ(first.log.Last()->size(), 2u);
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
