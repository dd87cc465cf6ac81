// The Linux devices against real sound servers started here: a JACK server on the dummy
// driver (restarted at other rates, and killed by the last JACK test while it plays) and
// a PulseAudio server with a null sink. A JACK client of the test records what arrives: MIDI with its frames, and the
// audio of the two output channels.
#include <gtest/gtest.h>

#include <alsa/asoundlib.h>
#include <jack/jack.h>
#include <jack/midiport.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <thread>

#include "audio/DeviceKinds.h"
#include "audio/PatchBay.h"
#include "audio/linux/DefaultOutput.h"
#include "audio/linux/AlsaSeq.h"
#include "audio/linux/Jack.h"
#include "audio/linux/JackFrameClock.h"
#include "audio/linux/LinuxBackends.h"
#include "audio/vst/VstHost.h"
#include "midi/RMidiPlayer.h"
#include "runtime/RString.h"
#include "support/DeviceLogCapture.h"
#include "support/JackRecorder.h"
#include "support/PulseRecorder.h"
#include "support/SineMeasure.h"
#include "support/SoundServers.h"

// Allocations and frees made inside an output's refill are counted: the refill runs on
// the sound server's real-time thread and must do neither.
#include "support/CountingAllocator.h"

namespace DUve::AudioDevice::Linux {
namespace {

using namespace std::chrono_literals;
using Test::CChildProcess;
using Test::CRecorder;
using Test::WaitUntil;

constexpr uint32_t kRate = 44100;
constexpr uint32_t kPeriod = 256;

// Counts the refills of an output and what they allocate; on request, holds up the first
// refill of a period that starts at or after a given time, as a starved machine would.
class CCountingOut : public IAudioOutBackend {
public:
    explicit CCountingOut(std::shared_ptr<IAudioOutBackend> inner) : m_inner(std::move(inner)) {}
    uint64_t Refills() const { return m_nRefills->load(); }
    void StallOnce(uint64_t nAtNs, std::chrono::microseconds stall) {
        m_stall->nUs.store(uint64_t(stall.count()));
        m_stall->nAtNs.store(nAtNs);
    }
    std::vector<CAudioOutInfo> Enumerate() override { return m_inner->Enumerate(); }
    std::unique_ptr<IAudioOutStream> Start(uint32_t nNo, uint32_t nRate, uint32_t nBuffer, CAudioRefill refill,
                                           CAudioLost lost) override {
        return m_inner->Start(
            nNo, nRate, nBuffer,
            [refill = std::move(refill), count = m_nRefills, stall = m_stall](
                std::span<const CAudioChannelBuffer> v, uint32_t n, uint64_t nStartNs) {
                count->fetch_add(1);
                uint64_t nAt = stall->nAtNs.load();
                if (nAt && nStartNs >= nAt && stall->nAtNs.compare_exchange_strong(nAt, 0))
                    std::this_thread::sleep_for(std::chrono::microseconds(stall->nUs.load()));
                DUve::Test::t_bCountingHere = true;
                refill(v, n, nStartNs);
                DUve::Test::t_bCountingHere = false;
            },
            std::move(lost));
    }

private:
    std::shared_ptr<IAudioOutBackend> m_inner;
    struct CStall {
        std::atomic<uint64_t> nAtNs{0}, nUs{0};
    };
    std::shared_ptr<std::atomic<uint64_t>> m_nRefills = std::make_shared<std::atomic<uint64_t>>(0);
    std::shared_ptr<CStall> m_stall = std::make_shared<CStall>();
};

// An ALSA sequencer client with one port that takes input; records what arrives, decoded
// back to bytes, with the process clock at arrival.
class CAlsaReceiver {
public:
    struct CEvent {
        uint64_t nArrivedNs = 0;
        std::vector<uint8_t> vBytes;
    };
    bool Open() {
        if (snd_seq_open(&m_seq, "default", SND_SEQ_OPEN_INPUT, 0) < 0) return false;
        snd_seq_set_client_name(m_seq, "palvor-test-in");
        if (snd_seq_create_simple_port(m_seq, "in", SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_SUBS_WRITE,
                                       SND_SEQ_PORT_TYPE_MIDI_GENERIC | SND_SEQ_PORT_TYPE_APPLICATION) < 0)
            return false;
        if (snd_midi_event_new(65536, &m_decoder) < 0) return false;
        snd_midi_event_no_status(m_decoder, 1);
        m_thread = std::thread([this] { Run(); });
        return true;
    }
    ~CAlsaReceiver() {
        m_bStop = true;
        if (m_thread.joinable()) m_thread.join();
        if (m_decoder) snd_midi_event_free(m_decoder);
        if (m_seq) snd_seq_close(m_seq);
    }
    std::vector<CEvent> Events() {
        std::lock_guard lock(m_mutex);
        return m_events;
    }

private:
    void Run() {
        snd_seq_nonblock(m_seq, 1);
        while (!m_bStop) {
            snd_seq_event_t* ev = nullptr;
            if (snd_seq_event_input(m_seq, &ev) < 0 || !ev) {
                std::this_thread::sleep_for(100us);
                continue;
            }
            std::vector<uint8_t> v(65536);
            snd_midi_event_reset_decode(m_decoder);
            const long n = snd_midi_event_decode(m_decoder, v.data(), static_cast<long>(v.size()), ev);
            if (n <= 0) continue;
            v.resize(static_cast<size_t>(n));
            std::lock_guard lock(m_mutex);
            m_events.push_back({ClockNanoseconds(), std::move(v)});
        }
    }
    snd_seq_t* m_seq = nullptr;
    snd_midi_event_t* m_decoder = nullptr;
    std::thread m_thread;
    std::atomic<bool> m_bStop{false};
    std::mutex m_mutex;
    std::vector<CEvent> m_events;
};

bool HasSequencer() { return access("/dev/snd/seq", R_OK | W_OK) == 0; }

struct CWorld {
    std::string sJack = "palvor-test-" + std::to_string(getpid());
    std::filesystem::path pulseDir = std::filesystem::temp_directory_path() / ("palvor-pulse-" + std::to_string(getpid()));
    CChildProcess jack, pulse;
    bool bJack = false, bPulse = false;
    uint32_t nJackRate = 0;
    std::unique_ptr<CRecorder> recorder;
    std::unique_ptr<CAlsaReceiver> alsaIn;
    std::shared_ptr<CCountingOut> defaultOut, jackOut;
    Test::CDeviceLogCapture log;

    CWorld() {
        setenv("JACK_DEFAULT_SERVER", sJack.c_str(), 1);
        setenv("PALVOR_JACK_NO_AUTOCONNECT", "1", 1);
        StartJack(kRate);

        std::filesystem::create_directories(pulseDir);
        const std::string sSocket = (pulseDir / "native").string();
        setenv("PULSE_RUNTIME_PATH", pulseDir.c_str(), 1);
        setenv("PULSE_STATE_PATH", pulseDir.c_str(), 1);
        setenv("PULSE_SERVER", ("unix:" + sSocket).c_str(), 1);
        pulse.Start({"pulseaudio", "-n", "--daemonize=no", "--exit-idle-time=-1", "--use-pid-file=no",
                     "--disable-shm=yes", "--load=module-null-sink sink_name=palvor_null rate=44100",
                     "--load=module-native-protocol-unix auth-anonymous=1 socket=" + sSocket},
                    (pulseDir / "pulse.log").string());
        bPulse = WaitUntil([&] { return std::filesystem::exists(sSocket) && pulse.Running(); }, 10s);

        Vst::CVstHostOptions vst;
        vst.vFolders = {PALVOR_TEST_PLUGINS};
        vst.scanTimeout = 1000ms;  // the folder holds a plug-in that hangs
        if (HasSequencer()) {
            alsaIn = std::make_unique<CAlsaReceiver>();
            if (!alsaIn->Open()) alsaIn.reset();
        }
        defaultOut = std::make_shared<CCountingOut>(std::make_shared<CDefaultAudioOut>());
        auto midiOut = std::make_shared<CLinuxMidiOut>(std::make_shared<CAlsaSeqMidiOut>(),
                                                       std::make_shared<CJackMidiOut>());
        jackOut = std::make_shared<CCountingOut>(std::make_shared<CJackAudioOut>());
        SetBackends({midiOut, std::make_shared<Vst::CVstBackendLinux>(vst), defaultOut, jackOut});
    }
    ~CWorld() {
        alsaIn.reset();
        recorder.reset();
        pulse.Stop();
        jack.Stop();
        std::error_code ec;
        std::filesystem::remove_all(pulseDir, ec);
    }
    bool Logged(const std::string& sPart) const { return log.Contains(sPart); }

    // (Re)starts the JACK server at nRate with a new recorder; the program's own clients
    // of the server must be closed first.
    bool StartJack(uint32_t nRate) {
        recorder.reset();
        jack.Stop();
        const auto answers = [](const std::string& s) {
            jack_status_t st{};
            jack_client_t* c = jack_client_open(
                "probe", static_cast<jack_options_t>(JackNoStartServer | JackServerName), &st, s.c_str());
            if (c) jack_client_close(c);
            return c != nullptr;
        };
        nJackRate = nRate;
        jack.Start({"jackd", "-R", "-n", sJack, "-d", "dummy", "-r", std::to_string(nRate), "-p",
                    std::to_string(kPeriod)},
                   "/tmp/" + sJack + ".log");
        bJack = WaitUntil([&] { return answers(sJack); }, 10s);
        return bJack && NewRecorder();
    }
    // A new recorder on the running server, its recording empty.
    bool NewRecorder() {
        recorder.reset();
        recorder = std::make_unique<CRecorder>();
        if (!recorder->Open(sJack)) recorder.reset();
        return recorder != nullptr;
    }
};

CWorld& World() {
    static CWorld world;
    return world;
}

CDevice::CIdPtr IdOf(const std::string& sName) {
    return CControl::CIdInstances::Get().Find(Utf8ToUtf16(sName));
}

CBytes Bytes(std::initializer_list<uint8_t> v) { return std::make_shared<const std::vector<uint8_t>>(v); }

std::string Names() {
    std::string s;
    for (const auto& [name, id] : CControl::CIdInstances::Get().All()) s += Utf16ToUtf8(name) + "; ";
    return s;
}

// The frame clock against a simulated server: frame F truly starts at T0 + F / rate (plus
// what the server lost in stalls, minus what its clock gains), and the callback reads the
// process clock some wake-up delay later. Wobbles of the callback never move the mapping;
// a stall or a drift beyond the tolerance moves it, once per step of it, and the time it
// gives a cycle ends up on the cycle's true start.
TEST(LinuxDevices, JackFrameClockFollowsTheFrameCounterAndMovesOnlyOnSustainedDrift) {
    constexpr uint32_t kRate48 = 48000, kPeriod48 = 256;
    constexpr int64_t kMs = 1000000;
    struct CCase {
        const char* sName;
        uint32_t nFirstFrame = 1000;
        int64_t nFirstLateNs = 0;     // the first callback's extra delay
        int nLateEvery = 0;           // every so many cycles a callback is late ...
        int64_t nLateNs = 0;          // ... by this much
        int nMissEvery = 0;           // every so many cycles the client misses two
        int64_t nStallNs = 0;         // at cycle 1000 the server loses this much time
        double dPpm = 0;              // the server's clock is slower by this much
        uint64_t nMoves = 0;          // expected moves
        int64_t nErrorNs = 0;         // allowed final error
    };
    const CCase cases[] = {
        {.sName = "steady", .nMoves = 0, .nErrorNs = 100000},
        {.sName = "late callbacks", .nLateEvery = 7, .nLateNs = 30 * kMs, .nMoves = 0, .nErrorNs = 100000},
        {.sName = "late first callback", .nFirstLateNs = 8 * kMs, .nMoves = 0, .nErrorNs = 100000},
        {.sName = "missed cycles", .nMissEvery = 13, .nMoves = 0, .nErrorNs = 100000},
        {.sName = "frame counter wraps", .nFirstFrame = 0xFFFFF000u, .nMoves = 0, .nErrorNs = 100000},
        {.sName = "stall", .nStallNs = 40 * kMs, .nMoves = 1, .nErrorNs = 100000},
        {.sName = "stall within tolerance", .nStallNs = kMs / 2, .nMoves = 0, .nErrorNs = kMs / 2 + 100000},
        {.sName = "slow server clock", .dPpm = 200, .nMoves = 1, .nErrorNs = 3 * kMs},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.sName);
        CJackFrameClock clock;
        clock.Start(kRate48, kPeriod48);
        const double dPeriodNs = double(kPeriod48) * 1e9 / kRate48;
        uint32_t nFrame = c.nFirstFrame;
        uint64_t nFrames = 0, nPrevious = 0;
        int64_t nError = 0;
        uint32_t nSeed = 7;
        for (int i = 0; i < 4000; ++i) {
            if (c.nMissEvery && i % c.nMissEvery == 0 && i) {
                nFrame += 2 * kPeriod48;
                nFrames += 2 * kPeriod48;
            }
            const double dTrue = 5e9 + double(nFrames) * 1e9 / kRate48 * (1.0 + c.dPpm * 1e-6) +
                                 double(i >= 1000 ? c.nStallNs : 0);
            nSeed = nSeed * 1103515245u + 12345u;
            int64_t nDelay = 20000 + int64_t(nSeed >> 16) % 60000;
            if (i == 0) nDelay += c.nFirstLateNs;
            if (c.nLateEvery && i % c.nLateEvery == 3) nDelay += c.nLateNs;
            const uint64_t nAt = clock.Cycle(nFrame, uint64_t(dTrue) + uint64_t(nDelay));
            if (nAt && nPrevious && clock.Moves() == 0 && !c.nMissEvery) {
                ASSERT_NEAR(double(nAt - nPrevious), dPeriodNs, 1.0) << "cycle " << i;  // no wobble passes through
            }
            nPrevious = nAt;
            nError = int64_t(nAt) - int64_t(dTrue);
            nFrame += kPeriod48;
            nFrames += kPeriod48;
        }
        EXPECT_EQ(clock.Moves(), c.nMoves);
        EXPECT_LE(std::llabs(nError), c.nErrorNs) << "final error " << nError << " ns";
        if (c.nStallNs > clock.ToleranceNs()) {
            EXPECT_NEAR(double(clock.LastMoveNs()), double(c.nStallNs), 100000.0);
        }
    }
}

TEST(LinuxDevices, RegistryListsTheRunningServersAndTheirPorts) {
    auto& w = World();
    ASSERT_TRUE(w.bJack) << "jackd did not start; see /tmp/" << w.sJack << ".log";
    ASSERT_TRUE(w.recorder);
    EXPECT_TRUE(IdOf("JACK " + w.sJack)) << Names();
    // The default server's ports go by their own names.
    EXPECT_TRUE(IdOf("recorder:midi_in")) << Names();
    EXPECT_TRUE(IdOf("PalvorTestSynth")) << Names();
    if (w.bPulse) {
        const auto& all = CControl::CIdInstances::Get().All();
        EXPECT_TRUE(std::any_of(all.begin(), all.end(), [](const auto& e) { return e.second->Kind() == EKind::DirectSound; }))
            << Names();
    }
}

// Finds the first frame at or after nFrom whose level exceeds a threshold.
size_t Onset(const std::vector<float>& v, size_t nFrom, size_t nTo) {
    for (size_t i = nFrom; i < nTo; ++i)
        if (std::abs(v[i]) > 0.01f) return i;
    return nTo;
}

// Makes a recorded take and checks it: fTake records and returns what is wrong with the
// recording (empty when nothing is). A recording is true to what the program sent only
// while the machine gives the real-time clients their cycles and the program's threads
// their time: a take that went wrong while the server counted an xrun, lost time or ran a
// cycle late, or the recorder missed a cycle, or while the output or an instrument said
// its sender fell behind, is made once more, with a line that says so; a take that goes
// wrong undisturbed, or twice, fails.
// A take that holds the output up itself for nOwnPeriods counts as starved only when the
// server lost time, ran late beyond what that hold-up explains (three times its periods),
// the recorder's cycles broke off more often than half the hold-up's periods (twice at
// most when only the hold-up delays the graph), or the program's senders fell behind.
template <class FTake>
void TakeOnceMoreIfStarved(CWorld& w, const std::function<bool()>& fClosed, FTake fTake, uint64_t nOwnPeriods = 0) {
    for (int nAttempt = 0;; ++nAttempt) {
        // Again on a new recorder, once the program's clients of the last take are gone.
        if (nAttempt > 0) {
            ASSERT_TRUE(WaitUntil(fClosed, 5s) && w.NewRecorder());
        }
        ASSERT_TRUE(w.recorder);
        const auto before = w.recorder->Starved();
        const size_t nLogBefore = w.log.Text().size();
        const std::vector<std::string> problems = fTake();
        if (testing::Test::HasFatalFailure()) return;
        const auto after = w.recorder->Starved();
        if (problems.empty()) return;
        std::string sProblems;
        for (const auto& p : problems) sProblems += "\n  " + p;
        // The program's own threads fell behind: the output or an instrument said so.
        const std::string sLog = w.log.Text().substr(nLogBefore);
        const bool bBehind = sLog.find("fell behind") != std::string::npos ||
                             sLog.find("played late") != std::string::npos;
        const std::string sStarved = std::to_string(after.nXruns - before.nXruns) + " xruns, the recorder missed " +
                                     std::to_string(after.nMissed - before.nMissed) + " cycles, the server's clock "
                                     "moved " + std::to_string(after.nClockMoves - before.nClockMoves) +
                                     " times, " + std::to_string(after.nLateCycles - before.nLateCycles) +
                                     " cycles ran late" + (bBehind ? ", the program's senders fell behind" : "");
        const bool bStarved = nOwnPeriods ? after.nClockMoves != before.nClockMoves ||
                                                after.nLateCycles - before.nLateCycles > 3 * nOwnPeriods ||
                                                2 * (after.nMissed - before.nMissed) > nOwnPeriods
                                          : after != before;
        if (nAttempt == 0 && (bStarved || bBehind)) {
            std::printf("The machine starved the JACK clients during the take (%s), which went wrong:%s\n"
                        "Taking it once more.\n",
                        sStarved.c_str(), sProblems.c_str());
            std::fflush(stdout);
            continue;
        }
        ADD_FAILURE() << "take " << nAttempt + 1 << " (" << sStarved << "):" << sProblems << "\ndevice log:\n"
                      << w.log.Text();
        return;
    }
}

TEST(LinuxDevices, JackMidiArrivesWithItsBytesAtTheFrameOfItsStamp) {
    auto& w = World();
    ASSERT_TRUE(w.recorder);
    const auto id = IdOf("recorder:midi_in");
    ASSERT_TRUE(id) << Names();
    const auto closed = [&] { return !id->GetDevice(false); };
    TakeOnceMoreIfStarved(w, closed, [&] {
        std::vector<std::string> problems;
        CControl::CMidiIn sink(IdOf("recorder:midi_in")->GetDevice(true));
        const size_t nBefore = w.recorder->Events().size();
        const double t0 = ClockSeconds() + 0.3;
        std::vector<std::pair<double, std::vector<uint8_t>>> sent;
        {
            auto queue = sink.CreateQueue();
            for (int i = 0; i < 24; ++i) {
                const double t = t0 + i * 0.0137;
                const std::vector<uint8_t> v{uint8_t(i % 2 ? 0x80 : 0x90), uint8_t(60 + i / 2),
                                             uint8_t(i % 2 ? 0 : 100)};
                queue->Push(t, std::make_shared<const std::vector<uint8_t>>(v));
                sent.emplace_back(t, v);
            }
            const std::vector<uint8_t> sysex{0xF0, 0x7E, 0x7F, 0x09, 0x01, 0xF7};
            queue->Push(t0 + 0.5, std::make_shared<const std::vector<uint8_t>>(sysex));
            sent.emplace_back(t0 + 0.5, sysex);
            // A late message goes out first thing.
            queue->Push(ClockSeconds() - 1.0, Bytes({0xB0, 7, 100}));
            EXPECT_TRUE(WaitUntil([&] { return w.recorder->Events().size() >= nBefore + sent.size() + 1; }, 5s));
        }
        const auto events = w.recorder->Events();
        if (events.size() != nBefore + sent.size() + 1) return problems = {"messages lost or added"};
        EXPECT_EQ(events[nBefore].vBytes, (std::vector<uint8_t>{0xB0, 7, 100}));
        std::vector<double> errors;
        for (size_t i = 0; i < sent.size(); ++i) {
            const auto& e = events[nBefore + 1 + i];
            EXPECT_EQ(e.vBytes, sent[i].second) << i;
            errors.push_back(std::abs(w.recorder->Seconds(e.nFrame) - sent[i].first));
        }
        std::sort(errors.begin(), errors.end());
        // At its stamp, not at the start of the period it falls in: typically a few
        // hundredths of a millisecond (bench_jack measures it). The bounds leave room for
        // the dummy driver's timing on a loaded machine; messages handed over when due, not
        // scheduled, are off by half a period on the median.
        const double dPeriod = double(kPeriod) / kRate;
        if (errors[errors.size() / 2] >= dPeriod / 4 || errors.back() >= dPeriod)
            problems.push_back("median error " + std::to_string(errors[errors.size() / 2] * 1e3) + " ms, worst " +
                               std::to_string(errors.back() * 1e3) + " ms");
        return problems;
    });
    if (HasFatalFailure()) return;
    CControl::CMidiIn sink(id->GetDevice(true));

    // Deleting a queue ends its sounding notes at once and drops what has not sounded.
    const size_t nMark = w.recorder->Events().size();
    {
        auto queue = sink.CreateQueue();
        queue->Push(ClockSeconds() + 0.1, Bytes({0x91, 64, 90}));
        queue->Push(ClockSeconds() + 5.0, Bytes({0x81, 64, 0}));
        queue->Push(ClockSeconds() + 6.0, Bytes({0x91, 65, 90}));
        ASSERT_TRUE(WaitUntil([&] { return w.recorder->Events().size() > nMark; }, 5s));
    }
    ASSERT_TRUE(WaitUntil([&] { return w.recorder->Events().size() >= nMark + 2; }, 5s));
    std::this_thread::sleep_for(100ms);
    const auto after = w.recorder->Events();
    ASSERT_EQ(after.size(), nMark + 2);
    EXPECT_EQ(after[nMark].vBytes, (std::vector<uint8_t>{0x91, 64, 90}));
    EXPECT_EQ(after[nMark + 1].vBytes, (std::vector<uint8_t>{0x81, 64, 0}));
}

// What PlayA4 heard: the notes' stamps, the recording, and what the output's refills
// allocated and freed meanwhile.
struct CTake {
    std::vector<double> vStamps;
    size_t nFrames = 0;
    long nAllocations = 0, nFrees = 0;
};

// Patches the test synth to the JACK output, records the output, and plays nNotes notes
// of A4 (velocity 100) dLength long, dEvery apart, until dTail after the last.
void PlayA4(CWorld& w, int nNotes, double dLength, double dEvery, double dTail, CTake& take) {
    ASSERT_TRUE(w.recorder);
    const auto synth = IdOf("PalvorTestSynth");
    const auto output = IdOf("JACK " + w.sJack);
    ASSERT_TRUE(synth && output) << Names();
    auto bay = CPatchBay::EnsureInstance();
    bay->PostRequest(std::make_shared<const CPatchBay::Request::CConnect>(CPatchBay::CConnections{{synth, output}}));
    // Our output's ports appear once the device has started; connect them to the recorder.
    ASSERT_TRUE(WaitUntil([&] {
        return jack_connect(w.recorder->Client(), "palvor:out_1", "recorder:in_1") == 0;
    }, 5s));
    jack_connect(w.recorder->Client(), "palvor:out_2", "recorder:in_2");
    w.recorder->StartAudio();
    ASSERT_TRUE(WaitUntil([&] { return w.recorder->AudioFrames() > 0; }, 5s));

    CControl::CMidiIn sink(synth->GetDevice(true));
    auto queue = sink.CreateQueue();
    const long nAllocBefore = DUve::Test::g_nAllocations.load(), nFreeBefore = DUve::Test::g_nFrees.load();
    const double t0 = ClockSeconds() + 0.4;
    for (int i = 0; i < nNotes; ++i) {
        const double t = t0 + dEvery * i;
        queue->Push(t, Bytes({0x90, 69, 100}));
        queue->Push(t + dLength, Bytes({0x80, 69, 0}));
        take.vStamps.push_back(t);
    }
    const double dEnd = take.vStamps.back() + dLength + dTail;
    queue->Push(dEnd + 0.2, nullptr);
    ASSERT_TRUE(WaitUntil([&] { return w.recorder->AudioEndSeconds() > dEnd; }, 20s));
    take.nAllocations = DUve::Test::g_nAllocations.load() - nAllocBefore;
    take.nFrees = DUve::Test::g_nFrees.load() - nFreeBefore;
    take.nFrames = w.recorder->AudioFrames();
    bay->PostRequest(std::make_shared<const CPatchBay::Request::CConnect>(CPatchBay::CConnections{}));
}

TEST(LinuxDevices, TestSynthSoundsInTheJackOutputAtEachNotesStampWithoutAllocating) {
    auto& w = World();
    const auto output = IdOf("JACK " + w.sJack);
    const auto synth = IdOf("PalvorTestSynth");
    ASSERT_TRUE(output && synth) << Names();
    const auto closed = [&] { return !output->GetDevice(false) && !synth->GetDevice(false); };
    TakeOnceMoreIfStarved(w, closed, [&] {
        std::vector<std::string> problems;
        const auto problem = [&](bool bBad, const std::string& s) {
            if (bBad) problems.push_back(s);
        };
        // Ten seconds of notes, a quarter of a second each, half a second apart.
        CTake take;
        PlayA4(w, 20, 0.25, 0.5, 0.05, take);
        if (testing::Test::HasFatalFailure()) return problems;
        problem(take.nAllocations != 0, "the real-time refill allocated");
        problem(take.nFrees != 0, "the real-time refill freed");
        const auto& left = w.recorder->Audio(0);
        const auto& right = w.recorder->Audio(1);
        const size_t nFrames = take.nFrames;
        const uint32_t nRate = w.nJackRate;
        const double dPeriod = double(kPeriod) / nRate;
        size_t nFrom = 0;
        for (size_t i = 0; i < take.vStamps.size(); ++i) {
            const std::string sNote = "note " + std::to_string(i);
            const size_t n = Onset(left, nFrom, nFrames);
            if (n >= nFrames) {
                problems.push_back(sNote + " never sounded");
                return problems;
            }
            problem(Onset(right, nFrom, nFrames) >= nFrames, sNote + " never sounded on the right");
            // The sine starts at phase 0: its first sample above the threshold is its second.
            const double dAt = w.recorder->AudioSeconds(n - 1);
            problem(std::abs(dAt - take.vStamps[i]) > dPeriod,
                    sNote + " sounded " + std::to_string((dAt - take.vStamps[i]) * 1e3) + " ms off its stamp");
            // Silence after the note-off, before the next note.
            const size_t nOff = n + size_t(0.3 * nRate);
            const size_t nNext = std::min(nFrames, n + size_t(0.45 * nRate));
            problem(Onset(left, nOff, nNext) != nNext, sNote + " did not end");
            nFrom = nOff;
        }
        return problems;
    });
}

// Instruments render at 44,100 Hz whatever rate the JACK server runs at: the output
// converts, so A4 sounds at 440 Hz and at its stamp, without a jump or a realignment, and
// the real-time refill neither allocates nor frees.
TEST(LinuxDevices, JackOutputKeepsPitchAndTimingAtEveryServerRate) {
    auto& w = World();
    const auto output = IdOf("JACK " + w.sJack);
    const auto midi = IdOf("recorder:midi_in");
    ASSERT_TRUE(output && midi) << Names();
    const auto closed = [&] { return !output->GetDevice(false) && !midi->GetDevice(false); };
    for (const uint32_t nRate : {48000u, 96000u, kRate}) {
        SCOPED_TRACE(nRate);
        ASSERT_TRUE(WaitUntil(closed, 5s));
        ASSERT_TRUE(w.StartJack(nRate)) << "see /tmp/" << w.sJack << ".log";
        TakeOnceMoreIfStarved(w, closed, [&] {
            std::vector<std::string> problems;
            const size_t nLogBefore = w.log.Text().size();
            // One second of A4 is 440 whole cycles: the note ends at phase 0 as it began.
            CTake take;
            PlayA4(w, 1, 1.0, 1.0, 0.2, take);
            if (testing::Test::HasFatalFailure()) return problems;
            const auto problem = [&](bool bBad, const std::string& s) {
                if (bBad) problems.push_back(s);
            };
            problem(take.nAllocations != 0, "the real-time refill allocated");
            problem(take.nFrees != 0, "the real-time refill freed");
            const float* left = w.recorder->Audio(0).data();
            const size_t n = Onset(w.recorder->Audio(0), 0, take.nFrames);
            if (n >= take.nFrames || n + nRate >= take.nFrames) return problems = {"the note never sounded whole"};
            const double dLate = w.recorder->AudioSeconds(n - 1) - take.vStamps[0];
            problem(std::abs(dLate) > double(kPeriod) / nRate,
                    "the note sounded " + std::to_string(dLate * 1e3) + " ms after its stamp");
            const double dPitch = DUve::Test::ZeroCrossingPitch(left + n + nRate / 20, nRate * 9 / 10, nRate);
            problem(std::abs(dPitch - 440.0) > 1.0, "the pitch was " + std::to_string(dPitch) + " Hz");
            // Converted, the note's start and end (where the slope jumps) overshoot the
            // sine's own step a little; a realignment or a click would be many times larger.
            const double dStep = DUve::Test::LargestStep(left, take.nFrames);
            const double dSine = DUve::Test::SineStep(100.0 / 127.0, 440.0, nRate);
            problem(dStep >= 1.3 * dSine,
                    "a step of " + std::to_string(dStep) + " against the sine's " + std::to_string(dSine));
            problem(w.log.Text().find("realigned", nLogBefore) != std::string::npos, "the output was realigned");
            return problems;
        });
        if (HasFatalFailure()) return;
    }
}

// A client that misses cycles (here its refill is held up for several periods while a note
// plays) is not heard in them; afterwards the output goes on where the frame counter is:
// the sine is back on the phase it would have had, and nothing is realigned.
TEST(LinuxDevices, JackOutputThatMissesCyclesGoesOnWhereTheFrameCounterIs) {
    constexpr uint64_t kStallPeriods = 8;
    auto& w = World();
    const auto output = IdOf("JACK " + w.sJack);
    ASSERT_TRUE(output) << Names();
    const auto closed = [&] { return !output->GetDevice(false); };
    ASSERT_TRUE(WaitUntil(closed, 5s));
    ASSERT_TRUE(w.NewRecorder());
    TakeOnceMoreIfStarved(w, closed, [&] {
        std::vector<std::string> problems;
        const size_t nLogBefore = w.log.Text().size();
        const double dStall = double(kStallPeriods) * kPeriod / kRate;
        // The note starts 0.4 s from now and lasts two seconds; the stall comes in its middle.
        w.jackOut->StallOnce(uint64_t((ClockSeconds() + 1.4) * 1e9),
                             std::chrono::microseconds(int64_t(dStall * 1e6)));
        const auto before = w.recorder->Starved();
        CTake take;
        PlayA4(w, 1, 2.0, 2.0, 0.2, take);
        if (testing::Test::HasFatalFailure()) return problems;
        const auto& left = w.recorder->Audio(0);
        const size_t n = Onset(left, 0, take.nFrames);
        if (n + 2 * kRate >= take.nFrames) return problems = {"the note never sounded whole"};
        // The sine starts at phase 0 at the frame of sample n - 1; where the recording leaves
        // it (by frames: the recorder may have missed cycles too).
        const double dAmp = 100.0 / 127.0;
        const jack_nframes_t nStart = w.recorder->AudioFrame(n - 1);
        std::vector<uint32_t> off;
        for (size_t k = n - 1; k < take.nFrames; ++k) {
            const uint32_t nFrame = w.recorder->AudioFrame(k) - nStart;
            if (nFrame + 1 >= 2 * kRate) break;
            const double dWant = dAmp * std::sin(2.0 * M_PI * 440.0 * double(nFrame) / kRate);
            if (std::abs(double(left[k]) - dWant) > 0.01) off.push_back(nFrame);
        }
        const auto after = w.recorder->Starved();
        if (after.nXruns == before.nXruns && after.nMissed == before.nMissed) problems.push_back("the held-up refill made nobody miss a cycle");
        // On phase before the stall and after it; off at most for about the stall's length in
        // the note's middle (the frames the recorder heard while the output missed them).
        if (!off.empty() && (off.front() <= kRate / 2 ||
                             double(off.back() - off.front()) >= (dStall + 2.0 * kPeriod / kRate) * kRate))
            problems.push_back("off phase from frame " + std::to_string(off.front()) + " to " +
                               std::to_string(off.back()));
        if (w.log.Text().find("realigned", nLogBefore) != std::string::npos) problems.push_back("the output was realigned");
        return problems;
    }, kStallPeriods);
}

// The player's first note, after a silence, is as punctual as the rest: four notes half a
// second apart through the player, the test synth and the JACK output sound half a second
// apart within one period, at 48 and at 96 kHz. (An instrument whose queue is made only
// when its first note is dispatched has already rendered past that note.)
TEST(LinuxDevices, PlayersFirstNoteAfterASilenceIsAsPunctualAsTheRest) {
    auto& w = World();
    const auto output = IdOf("JACK " + w.sJack);
    const auto synth = IdOf("PalvorTestSynth");
    ASSERT_TRUE(output && synth) << Names();
    const auto closed = [&] { return !output->GetDevice(false) && !synth->GetDevice(false); };
    for (const uint32_t nRate : {48000u, 96000u}) {
        SCOPED_TRACE(nRate);
        ASSERT_TRUE(WaitUntil(closed, 5s));
        ASSERT_TRUE(w.StartJack(nRate)) << "see /tmp/" << w.sJack << ".log";
        TakeOnceMoreIfStarved(w, closed, [&] {
            std::vector<std::string> problems;
            // The synth plays into the JACK output (the player's default connection is kept).
            auto bay = CPatchBay::EnsureInstance();
            bay->PostRequest(
                std::make_shared<const CPatchBay::Request::CConnect>(CPatchBay::CConnections{{synth, output}}));
            EXPECT_TRUE(WaitUntil([&] {
                return jack_connect(w.recorder->Client(), "palvor:out_1", "recorder:in_1") == 0;
            }, 5s));
            w.recorder->StartAudio();
            EXPECT_TRUE(WaitUntil([&] { return w.recorder->AudioFrames() > 0; }, 5s));
            {
                auto player = CRMidiPlayer::Create();
                EXPECT_TRUE(player);
                if (!player) return problems;
                // At 120 quarter notes a minute a quarter is half a second: notes at 1,
                // 1.5, 2 and 2.5 s, an eighth long.
                CRThreadMessage::CBatch records;
                for (uint32_t i = 0; i < 4; ++i)
                    records.push_back(std::make_shared<CRMidiPlayer::Request::CEventMidiNote>(
                        true, 960 + 480 * i, u"PalvorTestSynth", uint8_t(0), uint8_t(69), uint8_t(100), 240u));
                player->PostRequests(std::move(records));
                const double dPlayed = ClockSeconds();
                player->Play();
                EXPECT_TRUE(WaitUntil([&] { return w.recorder->AudioEndSeconds() > dPlayed + 3.0; }, 10s));
                player->Stop();
            }
            bay->PostRequest(std::make_shared<const CPatchBay::Request::CConnect>(CPatchBay::CConnections{}));
            const auto& left = w.recorder->Audio(0);
            const size_t nFrames = w.recorder->AudioFrames();
            std::vector<double> onsets;
            for (size_t nFrom = 0; onsets.size() < 4;) {
                const size_t n = Onset(left, nFrom, nFrames);
                if (n >= nFrames) return problems = {"note " + std::to_string(onsets.size()) + " never sounded"};
                onsets.push_back(w.recorder->AudioSeconds(n - 1));
                nFrom = n + size_t(0.4 * nRate);  // past the note and its release
            }
            const double dPeriod = double(kPeriod) / nRate;
            for (size_t i = 1; i < onsets.size(); ++i) {
                const double dGap = onsets[i] - onsets[i - 1];
                if (std::abs(dGap - 0.5) > dPeriod)
                    problems.push_back("from note " + std::to_string(i - 1) + " to note " + std::to_string(i) + ": " +
                                       std::to_string(dGap) + " s");
            }
            return problems;
        });
        if (HasFatalFailure()) return;
    }
    ASSERT_TRUE(WaitUntil([&] { return !output->GetDevice(false) && !synth->GetDevice(false); }, 5s));
    EXPECT_TRUE(w.StartJack(kRate));
}

TEST(LinuxDevices, AJackServerThatGoesAwayIsReportedAndTheProgramGoesOn) {
    auto& w = World();
    ASSERT_TRUE(w.recorder);
    const auto output = IdOf("JACK " + w.sJack);
    ASSERT_TRUE(output) << Names();
    // An output an earlier test played on is closed first.
    ASSERT_TRUE(WaitUntil([&] { return !output->GetDevice(false); }, 5s));
    auto device = output->GetDevice(true);
    // Playing: its refills run. On a starved machine the server may refuse to activate the
    // client in time (the start fails with its line); the start is then tried once more.
    const auto start = [&] {
        const uint64_t nRefills = w.jackOut->Refills();
        const size_t nLog = w.log.Text().size();
        device->PostRequest(std::make_shared<const Request::CStart>(kRate, 0));
        return WaitUntil([&] { return w.jackOut->Refills() > nRefills + 2 || w.log.Text().find("could not start", nLog) != std::string::npos; }, 10s) &&
               w.jackOut->Refills() > nRefills + 2;
    };
    if (!start()) {
        std::printf("The JACK output did not start on this machine as loaded (device log:\n%s); trying once more.\n",
                    w.log.Text().c_str());
        std::fflush(stdout);
        ASSERT_TRUE(start()) << w.log.Text();
    }
    w.jack.Stop(SIGTERM);
    ASSERT_TRUE(WaitUntil([&] { return w.Logged("[JACK " + w.sJack + "] stopped: the JACK server went away"); }, 10s))
        << w.log.Text();
    // The device still takes requests; a new start fails with a line of its own.
    device->PostRequest(std::make_shared<const Request::CStart>(kRate, 0));
    EXPECT_TRUE(WaitUntil([&] { return w.Logged("JACK server [" + w.sJack + "] cannot be used"); }, 10s));
}

TEST(LinuxDevices, AlsaSequencerDeliversShortMessagesAndSysexAtTheirStamps) {
    if (!HasSequencer()) GTEST_SKIP() << "the ALSA sequencer needs /dev/snd/seq, which this kernel does not offer";
    auto& w = World();
    ASSERT_TRUE(w.alsaIn) << "could not make a sequencer port to receive on";
    const auto id = IdOf("palvor-test-in:in");
    ASSERT_TRUE(id) << Names();
    CControl::CMidiIn sink(id->GetDevice(true));
    auto queue = sink.CreateQueue();
    const double t0 = ClockSeconds() + 0.3;
    const std::vector<std::pair<double, std::vector<uint8_t>>> sent = {
        {t0, {0x90, 60, 100}},
        {t0 + 0.0123, {0xC1, 5}},
        {t0 + 0.05, {0xF0, 0x7E, 0x7F, 0x09, 0x01, 0xF7}},
        {t0 + 0.0777, {0x80, 60, 0}}};
    for (const auto& [t, v] : sent) queue->Push(t, std::make_shared<const std::vector<uint8_t>>(v));
    ASSERT_TRUE(WaitUntil([&] { return w.alsaIn->Events().size() >= sent.size(); }, 5s));
    const auto events = w.alsaIn->Events();
    ASSERT_EQ(events.size(), sent.size());
    for (size_t i = 0; i < sent.size(); ++i) {
        EXPECT_EQ(events[i].vBytes, sent[i].second) << i;
        // Delivered by the sequencer's queue at the stamp: not early, and within 2 ms.
        const double dError = double(events[i].nArrivedNs) / 1e9 - sent[i].first;
        EXPECT_GT(dError, -0.0002) << i;
        EXPECT_LT(dError, 0.002) << i;
    }
}

TEST(LinuxDevices, DefaultOutputPlaysIntoThePulseAudioNullSink) {
    auto& w = World();
    ASSERT_TRUE(w.bPulse) << "pulseaudio did not start; see " << (w.pulseDir / "pulse.log");
    // The null sink, by its description, as users have always seen it.
    const auto output = IdOf("Pulse Null Output");
    ASSERT_TRUE(output && output->Kind() == EKind::DirectSound) << Names();
    const auto synth = IdOf("PalvorTestSynth");
    ASSERT_TRUE(synth);
    // The null sink's monitor, placed on the process clock.
    DUve::Test::CPulseRecorder rec("palvor_null.monitor", kRate);
    ASSERT_EQ(rec.Error(), "");
    auto bay = CPatchBay::EnsureInstance();
    const uint64_t nRefills = w.defaultOut->Refills();
    const size_t nLog = w.log.Text().size();
    bay->PostRequest(std::make_shared<const CPatchBay::Request::CConnect>(CPatchBay::CConnections{{synth, output}}));
    // The patch bay opens the instrument as it starts the output: once the output plays,
    // the instrument takes queues.
    ASSERT_TRUE(WaitUntil([&] { return w.defaultOut->Refills() > nRefills; }, 5s));
    // The sink is awake (a null sink without clients sleeps up to 2 s) and its monitor's
    // times have settled.
    ASSERT_TRUE(WaitUntil([&] { return rec.Take().vLeft.size() > 2 * kRate; }, 10s));
    CControl::CMidiIn sink(synth->GetDevice(true));
    auto queue = sink.CreateQueue();
    // A note of a second, recorded; what is wrong with it (empty when nothing is).
    const auto take = [&]() -> std::vector<std::string> {
        const double t0 = ClockSeconds() + 0.5;
        const long nAllocBefore = DUve::Test::g_nAllocations.load(), nFreeBefore = DUve::Test::g_nFrees.load();
        queue->Push(t0, Bytes({0x90, 69, 100}));
        queue->Push(t0 + 1.0, Bytes({0x80, 69, 0}));
        // The queue's sender has sent everything up to here: the instrument may render on
        // (it holds back a block that an event could still come for).
        queue->Push(t0 + 1.5, nullptr);
        // Until a quarter of a second after the note's end has been recorded.
        DUve::Test::CPulseRecorder::CTake heard;
        if (!WaitUntil([&] {
                heard = rec.Take();
                return heard.dFrame0 > 0 && heard.dFrame0 + double(heard.vLeft.size()) / kRate > t0 + 1.25;
            }, 20s))
            return {"recorded " + std::to_string(heard.vLeft.size()) + " frames, not to the note's end"};
        std::vector<std::string> problems;
        // The refills on the stream's thread neither allocated nor freed.
        if (DUve::Test::g_nAllocations.load() != nAllocBefore || DUve::Test::g_nFrees.load() != nFreeBefore)
            problems.push_back("the refills allocated or freed");
        const std::vector<float>& v = heard.vLeft;
        const size_t nOnset = Onset(v, size_t(std::max(0.0, (t0 - 0.3 - heard.dFrame0) * kRate)), v.size());
        if (nOnset + kRate + kRate / 5 > v.size()) return {"no whole note recorded"};
        // The onset at the note's stamp, within the output's period plus the recorder's
        // fragment: the output places its periods on the clock by the server's latency
        // and its worker realigns the mix only beyond half a period (2,048 frames), and
        // each 10 ms fragment is placed by a latency reading of its own.
        const double dError = heard.dFrame0 + double(nOnset) / kRate - t0;
        // In tune, whole (no step beyond the sine's own: no dropout, no jump; loud in
        // about 97 % of its samples, as a sine of amplitude 100/127 is above 1000/32768)
        // and a second long.
        const double dPitch = DUve::Test::ZeroCrossingPitch(v.data() + nOnset + kRate / 100, kRate * 9 / 10, kRate);
        std::printf("onset %+.1f ms from its stamp, pitch %.2f Hz\n", dError * 1e3, dPitch);
        const double dStep = DUve::Test::LargestStep(v.data() + nOnset, kRate * 99 / 100);
        const auto nLoud = std::count_if(v.begin() + long(nOnset), v.begin() + long(nOnset + kRate),
                                         [](float f) { return std::abs(f) > 1000.0f / 32768.0f; });
        size_t nLast = nOnset;  // its last sound
        for (size_t i = nOnset; i < nOnset + kRate + kRate / 5; ++i)
            if (std::abs(v[i]) > 0.01f) nLast = i;
        if (std::abs(dError) >= double(2048 + DUve::Test::CPulseRecorder::kFragment) / kRate)
            problems.push_back("onset " + std::to_string(dError) + " s from its stamp");
        if (std::abs(dPitch - 440.0) > 1.0) problems.push_back("pitch " + std::to_string(dPitch) + " Hz");
        if (dStep >= 1.3 * DUve::Test::SineStep(100.0 / 127.0, 440.0, kRate))
            problems.push_back("a step of " + std::to_string(dStep));
        if (double(nLoud) < 0.95 * kRate) problems.push_back("a gap in the note");
        if (std::abs(double(nLast - nOnset) / kRate - 1.0) > 0.01)
            problems.push_back("a note of " + std::to_string(double(nLast - nOnset) / kRate) + " s");
        return problems;
    };
    // A take that went wrong while the program's senders fell behind or the recorder lost
    // what it was slow to read (the machine starved them) is made once more, with a line
    // that says so.
    for (int nAttempt = 0; nAttempt < 2; ++nAttempt) {
        const size_t nLogBefore = w.log.Text().size();
        const uint64_t nOverflowsBefore = rec.Overflows();
        const auto problems = take();
        const std::string sLog = w.log.Text().substr(nLogBefore);
        std::string sProblems;
        for (const auto& p : problems) sProblems += "\n  " + p;
        if (sLog.find("realigned") != std::string::npos) sProblems += "\n  the output realigned";
        if (sProblems.empty()) break;
        const bool bLost = rec.Overflows() != nOverflowsBefore;
        if (nAttempt == 0 && (bLost || sLog.find("fell behind") != std::string::npos)) {
            std::printf("The %s during the take, which went wrong:%s\nTaking it once more.\n",
                        bLost ? "recorder lost samples" : "program's senders fell behind", sProblems.c_str());
            std::fflush(stdout);
            continue;
        }
        ADD_FAILURE() << "take " << nAttempt + 1 << ":" << sProblems << "\ndevice log:\n" << sLog;
        break;
    }
    // The server drops the stream while the output plays: the output stops, and says why.
    const uint64_t nPlayed = w.defaultOut->Refills();
    EXPECT_TRUE(WaitUntil([&] { return w.defaultOut->Refills() > nPlayed; }, 5s));
    EXPECT_TRUE(rec.KillPlayback());
    EXPECT_TRUE(WaitUntil([&] { return w.Logged("audio output [Pulse Null Output] stopped: stream lost"); }, 5s))
        << w.log.Text().substr(nLog);
    bay->PostRequest(std::make_shared<const CPatchBay::Request::CConnect>(CPatchBay::CConnections{}));
}

}  // namespace
}  // namespace DUve::AudioDevice::Linux
