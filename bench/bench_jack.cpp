// Timing at a JACK client, against a JACK server on its dummy driver started here. The
// anchor is the driver's own cycle jitter in the same run: how far the intervals between
// the recording client's successive callbacks stray from the nominal period. Times of
// recorded frames are JACK's filtered times of the cycle that held them.
//  - MIDI: message time at the receiving client minus its stamp, for a port that
//    schedules (each message at the frame of its stamp) and, as the anchor, the same port
//    handed each message when it is due on the device's 1 ms tick;
//  - end to end: from a note's stamp to its first sound in the JACK output (test synth
//    hosted, patch bay, JACK output), against one period.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <thread>

#include "audio/DeviceKinds.h"
#include "audio/PatchBay.h"
#include "audio/linux/Jack.h"
#include "audio/vst/VstHost.h"
#include "runtime/RString.h"
#include "support/JackRecorder.h"
#include "support/SoundServers.h"

using namespace DUve;
using namespace DUve::AudioDevice;
using namespace std::chrono_literals;

namespace {

constexpr uint32_t kRate = 44100;
constexpr uint32_t kPeriod = 256;

// The same JACK ports twice: as they are, then handed over only when due.
class CBothWays : public IMidiOutBackend {
public:
    explicit CBothWays(std::shared_ptr<Linux::CJackMidiOut> inner) : m_inner(std::move(inner)) {}
    std::vector<CMidiOutPortInfo> Enumerate() override {
        auto v = m_inner->Enumerate();
        const uint32_t n = static_cast<uint32_t>(v.size());
        for (uint32_t i = 0; i < n; ++i) v.push_back({n + i, v[i].sName + u" (when due)"});
        return v;
    }
    std::unique_ptr<IMidiOutPort> Open(uint32_t nNo) override {
        const uint32_t n = static_cast<uint32_t>(m_inner->Enumerate().size());
        if (nNo < n) return m_inner->Open(nNo);
        struct CWhenDue : IMidiOutPort {
            std::unique_ptr<IMidiOutPort> p;
            bool Send(const std::vector<uint8_t>& v, uint64_t t) override { return p->Send(v, t); }
        };
        auto port = std::make_unique<CWhenDue>();
        port->p = m_inner->Open(nNo - n);
        return port->p ? std::move(port) : nullptr;
    }

private:
    std::shared_ptr<Linux::CJackMidiOut> m_inner;
};

struct CFigures {
    double dMedian = 0, dP99 = 0, dMax = 0;
};
CFigures Figures(std::vector<double> v) {
    CFigures f;
    if (v.empty()) return f;
    std::sort(v.begin(), v.end());
    f.dMedian = v[v.size() / 2];
    f.dP99 = v[std::min(v.size() - 1, v.size() * 99 / 100)];
    f.dMax = v.back();
    return f;
}

// Absolute errors (ms) of n messages sent through the named port.
std::vector<double> MidiErrors(Test::CRecorder& rec, const std::string& sPort, int n) {
    const auto id = CControl::CIdInstances::Get().Find(Utf8ToUtf16(sPort));
    if (!id) return {};
    CControl::CMidiIn sink(id->GetDevice(true));
    auto queue = sink.CreateQueue();
    const size_t nBefore = rec.Events().size();
    const double t0 = ClockSeconds() + 0.3;
    std::vector<double> stamps;
    for (int i = 0; i < n; ++i) {
        const double t = t0 + i * 0.00731;
        queue->Push(t, std::make_shared<const std::vector<uint8_t>>(std::vector<uint8_t>{0x90, 60, 100}));
        stamps.push_back(t);
    }
    Test::WaitUntil([&] { return rec.Events().size() >= nBefore + stamps.size(); }, 20s);
    const auto events = rec.Events();
    std::vector<double> errors;
    for (size_t i = 0; i < stamps.size() && nBefore + i < events.size(); ++i)
        errors.push_back(std::abs(rec.Seconds(events[nBefore + i].nFrame) - stamps[i]) * 1e3);
    return errors;
}

}  // namespace

int main() {
    const std::string sServer = "palvor-bench-" + std::to_string(getpid());
    setenv("JACK_DEFAULT_SERVER", sServer.c_str(), 1);
    setenv("PALVOR_JACK_NO_AUTOCONNECT", "1", 1);
    Test::CChildProcess jack;
    jack.Start({"jackd", "-R", "-n", sServer, "-d", "dummy", "-r", std::to_string(kRate), "-p",
                std::to_string(kPeriod)},
               "/tmp/" + sServer + ".log");
    Test::CRecorder rec;
    if (!Test::WaitUntil([&] { return rec.Open(sServer); }, 10s)) {
        std::fprintf(stderr, "bench_jack: jackd did not start (see /tmp/%s.log)\n", sServer.c_str());
        return 1;
    }
    Vst::CVstHostOptions vst;
    vst.vFolders = {PALVOR_TEST_PLUGINS};
    vst.scanTimeout = 1000ms;
    SetBackends({std::make_shared<CBothWays>(std::make_shared<Linux::CJackMidiOut>()),
                 std::make_shared<Vst::CVstBackendLinux>(vst), nullptr,
                 std::make_shared<Linux::CJackAudioOut>()});

    const uint64_t nRunStart = ClockNanoseconds();
    const auto scheduled = Figures(MidiErrors(rec, "recorder:midi_in", 400));
    const auto whenDue = Figures(MidiErrors(rec, "recorder:midi_in (when due)", 400));
    // End to end: the test synth through the patch bay into the JACK output.
    const auto synth = CControl::CIdInstances::Get().Find(u"PalvorTestSynth");
    const auto output = CControl::CIdInstances::Get().Find(Utf8ToUtf16("JACK " + sServer));
    if (!synth || !output) {
        std::fprintf(stderr, "bench_jack: test synth or JACK output missing\n");
        return 1;
    }
    auto bay = CPatchBay::EnsureInstance();
    bay->PostRequest(std::make_shared<const CPatchBay::Request::CConnect>(CPatchBay::CConnections{{synth, output}}));
    Test::WaitUntil([&] { return jack_connect(rec.Client(), "palvor:out_1", "recorder:in_1") == 0; }, 5s);
    rec.StartAudio();
    Test::WaitUntil([&] { return rec.AudioFrames() > 0; }, 5s);
    CControl::CMidiIn sink(synth->GetDevice(true));
    auto queue = sink.CreateQueue();
    const double t0 = ClockSeconds() + 0.4;
    std::vector<double> stamps;
    for (int i = 0; i < 20; ++i) {
        queue->Push(t0 + 0.2 * i, std::make_shared<const std::vector<uint8_t>>(std::vector<uint8_t>{0x90, 69, 127}));
        queue->Push(t0 + 0.2 * i + 0.1, std::make_shared<const std::vector<uint8_t>>(std::vector<uint8_t>{0x80, 69, 0}));
        stamps.push_back(t0 + 0.2 * i);
    }
    const double dEnd = t0 + 4.2;
    Test::WaitUntil([&] { return rec.AudioEndSeconds() > dEnd; }, 20s);
    std::vector<double> latencies;
    const auto& left = rec.Audio(0);
    size_t nFrom = 0;
    for (double dStamp : stamps) {
        size_t n = nFrom;
        while (n < rec.AudioFrames() && std::abs(left[n]) <= 0.01f) ++n;
        if (n >= rec.AudioFrames()) break;
        latencies.push_back(std::abs(rec.AudioSeconds(n - 1) - dStamp) * 1e3);
        nFrom = n + size_t(0.15 * kRate);
    }
    const double dPeriodMs = 1e3 * kPeriod / kRate;
    const auto e2e = Figures(latencies);
    std::vector<double> jitter;
    const auto calls = rec.CallTimes(nRunStart);
    for (size_t i = 1; i < calls.size(); ++i) jitter.push_back(std::abs(double(calls[i] - calls[i - 1]) / 1e6 - dPeriodMs));
    const auto driver = Figures(jitter);
    const auto row = [](const char* sWhat, const CFigures& f) {
        std::printf("  %-34s median %7.3f  p99 %7.3f  max %7.3f\n", sWhat, f.dMedian, f.dP99, f.dMax);
    };
    std::printf("JACK dummy driver, %u frames per period at %u Hz (period %.3f ms); all figures in ms\n", kPeriod,
                kRate, dPeriodMs);
    std::printf("anchor, driver cycle jitter |callback interval - period| over %zu cycles:\n", jitter.size());
    row("cycle jitter", driver);
    std::printf("MIDI at the JACK client, |time - stamp| (400 messages each):\n");
    row("scheduled", scheduled);
    row("sent when due (1 ms tick)", whenDue);
    std::printf("note stamp to its sound in the JACK output, |difference| (%zu notes):\n", latencies.size());
    row("stamp to sound", e2e);
    const double dBound = dPeriodMs + driver.dMax;
    std::printf("ratios to the anchor: scheduled MIDI p99 / jitter p99 %.2f; stamp-to-sound max / (period + jitter "
                "max = %.3f) %.2f\n",
                driver.dP99 > 0 ? scheduled.dP99 / driver.dP99 : 0.0, dBound, e2e.dMax / dBound);
    bay->PostRequest(std::make_shared<const CPatchBay::Request::CConnect>(CPatchBay::CConnections{}));
    std::this_thread::sleep_for(200ms);
    return 0;
}
