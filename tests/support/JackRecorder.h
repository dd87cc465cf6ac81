// A JACK client for tests and benchmarks that records what reaches it: MIDI events with
// their frames, and the audio of two inputs from the moment it is asked to. Every cycle
// keeps when its callback ran, which shows the driver's jitter and places the frames on
// the process clock: a callback never runs before its cycle begins, and on a machine that
// gives the server its time some run right at it, so the earliest of the callbacks around
// a frame (a second either side), carried along the frame count, gives the frame's time.
// (JACK's own filtered cycle times wander for seconds after a stall, and a frame placed by
// them in the seconds after one was tens of milliseconds off.) It counts what a
// starved machine does to real-time clients: the server's xruns (a client that did not
// finish its cycle in time) and the cycles this recorder itself missed (its frame counter
// jumped).
#pragma once

#include <jack/jack.h>
#include <jack/midiport.h>

#include <algorithm>
#include <atomic>
#include <limits>
#include <string>
#include <vector>

#include "audio/AudioDevice.h"
#include "audio/linux/Jack.h"
#include "audio/linux/JackFrameClock.h"

namespace DUve::Test {

// A JACK client that records MIDI (frame and bytes) and two audio inputs.
class CRecorder {
public:
    static constexpr size_t kMaxEvents = 4096;
    static constexpr size_t kFrames = 40 * 48000;
    static constexpr size_t kMaxCycles = 1 << 17;
    struct CEvent {
        jack_nframes_t nFrame = 0;
        std::vector<uint8_t> vBytes;
    };
    // One process cycle: its frames, JACK's times for them, where its audio went in the
    // recording (SIZE_MAX when it recorded none) and when the callback ran (process clock).
    struct CCycle {
        jack_nframes_t nFrame = 0, nFrames = 0;
        jack_time_t nCurrentUs = 0, nNextUs = 0;
        size_t nAudioAt = SIZE_MAX;
        uint64_t nCalledNs = 0;
    };

    bool Open(const std::string& sServer) {
        if (!AudioDevice::Linux::AcquireJackServer(sServer)) return false;
        m_sServer = sServer;
        jack_status_t status{};
        m_client = jack_client_open("recorder", static_cast<jack_options_t>(JackNoStartServer | JackServerName |
                                                                             JackUseExactName),
                                    &status, sServer.c_str());
        if (!m_client) return false;
        m_midi = jack_port_register(m_client, "midi_in", JACK_DEFAULT_MIDI_TYPE, JackPortIsInput, 0);
        for (int i = 0; i < 2; ++i) {
            m_audioPorts[i] = jack_port_register(m_client, i ? "in_2" : "in_1", JACK_DEFAULT_AUDIO_TYPE,
                                                 JackPortIsInput, 0);
            m_audio[i].assign(kFrames, 0.0f);
        }
        m_events.resize(kMaxEvents);
        for (auto& e : m_events) e.vBytes.reserve(64);
        m_cycles.resize(kMaxCycles);
        m_audioCycles.resize(kMaxCycles);
        m_nRate = std::max<jack_nframes_t>(jack_get_sample_rate(m_client), 1);
        jack_set_process_callback(m_client, &CRecorder::Process, this);
        jack_set_xrun_callback(m_client, &CRecorder::Xrun, this);
        return m_midi && m_audioPorts[0] && m_audioPorts[1] && jack_activate(m_client) == 0;
    }
    ~CRecorder() {
        if (m_client && !AudioDevice::Linux::JackServerGone()) jack_client_close(m_client);
        if (!m_sServer.empty()) AudioDevice::Linux::ReleaseJackServer(m_sServer);
    }
    jack_client_t* Client() const { return m_client; }

    // What starved the real-time clients so far: the server's xruns and the cycles this
    // recorder missed. A recording made while either grew may hold gaps nobody chose.
    // nClockMoves: how often the server's frames and the process clock parted, as the
    // program's own frame clock sees it from this client (the server lost time);
    // nLateCycles: cycles whose callback ran more than a period after the cycle began (the
    // server's thread waited for the processor).
    struct CStarved {
        uint64_t nXruns = 0, nMissed = 0, nClockMoves = 0, nLateCycles = 0;
        bool operator!=(const CStarved& o) const {
            return nXruns != o.nXruns || nMissed != o.nMissed || nClockMoves != o.nClockMoves ||
                   nLateCycles != o.nLateCycles;
        }
    };
    CStarved Starved() const {
        return {m_nXruns.load(), m_nMissed.load(), m_nClockMoves.load(), m_nLateCycles.load()};
    }

    std::vector<CEvent> Events() const {
        const size_t n = std::min(m_nEvents.load(), kMaxEvents);
        return {m_events.begin(), m_events.begin() + static_cast<ptrdiff_t>(n)};
    }
    // Recording starts now: audio frame 0 is the frame of the next period.
    void StartAudio() { m_bRecordAudio.store(true); }
    jack_nframes_t AudioFirstFrame() const { return m_nFirstFrame.load(); }
    size_t AudioFrames() const { return m_nAudioFrames.load(); }
    const std::vector<float>& Audio(int i) const { return m_audio[i]; }
    // The process clock (seconds) of a frame (extrapolated from the nearest cycle for a
    // frame no recorded cycle held).
    double Seconds(jack_nframes_t nFrame) const {
        const CCycle* c = Find([&](const CCycle& k) { return int32_t(nFrame - k.nFrame) >= 0; });
        return c ? At(*c, double(int32_t(nFrame - c->nFrame))) : 0.0;
    }
    // The process clock (seconds) of sample nIndex of the audio recording.
    double AudioSeconds(size_t nIndex) const {
        const size_t n = std::min(m_nAudioCycles.load(), kMaxCycles);
        const auto* const pEnd = m_audioCycles.data() + n;
        const auto* p = std::upper_bound(m_audioCycles.data(), pEnd, nIndex,
                                         [&](size_t i, size_t k) { return i < m_cycles[k].nAudioAt; });
        if (p == m_audioCycles.data()) return n ? At(m_cycles[*p], -double(m_cycles[*p].nAudioAt - nIndex)) : 0.0;
        const CCycle& c = m_cycles[*(p - 1)];
        return At(c, double(nIndex - c.nAudioAt));
    }
    // The frame that sample nIndex of the audio recording is (a cycle the recorder missed
    // is missing from the recording).
    jack_nframes_t AudioFrame(size_t nIndex) const {
        const size_t n = std::min(m_nAudioCycles.load(), kMaxCycles);
        const auto* const pEnd = m_audioCycles.data() + n;
        const auto* p = std::upper_bound(m_audioCycles.data(), pEnd, nIndex,
                                         [&](size_t i, size_t k) { return i < m_cycles[k].nAudioAt; });
        if (p == m_audioCycles.data()) return n ? m_cycles[*p].nFrame - jack_nframes_t(m_cycles[*p].nAudioAt - nIndex) : 0;
        const CCycle& c = m_cycles[*(p - 1)];
        return c.nFrame + jack_nframes_t(nIndex - c.nAudioAt);
    }
    // The time the recording reached.
    double AudioEndSeconds() const { return AudioSeconds(AudioFrames()); }
    // When the callbacks ran, from the first after nFromNs on (process clock).
    std::vector<uint64_t> CallTimes(uint64_t nFromNs = 0) const {
        std::vector<uint64_t> v;
        const size_t n = std::min(m_nCycles.load(), kMaxCycles);
        for (size_t i = 0; i < n; ++i)
            if (m_cycles[i].nCalledNs >= nFromNs) v.push_back(m_cycles[i].nCalledNs);
        return v;
    }

private:
    // The last recorded cycle for which bIn holds (the cycles are in order and bIn holds
    // for a leading run of them), else the first one; null before any cycle.
    template <class F>
    const CCycle* Find(F bIn) const {
        const size_t n = std::min(m_nCycles.load(), kMaxCycles);
        if (n == 0) return nullptr;
        size_t lo = 0, hi = n;  // bIn holds below lo, fails from hi on
        while (lo < hi) {
            const size_t mid = (lo + hi) / 2;
            if (bIn(m_cycles[mid]))
                lo = mid + 1;
            else
                hi = mid;
        }
        return &m_cycles[lo ? lo - 1 : 0];
    }
    // The time of the frame dFrames after the first of cycle c, from the earliest callback
    // of the cycles within a second of c.
    double At(const CCycle& c, double dFrames) const {
        const size_t n = std::min(m_nCycles.load(), kMaxCycles);
        const size_t i = static_cast<size_t>(&c - m_cycles.data());
        const size_t nSpan = m_nRate / std::max<jack_nframes_t>(c.nFrames, 1) + 1;
        double dBest = std::numeric_limits<double>::max();
        for (size_t k = i > nSpan ? i - nSpan : 0; k < std::min(n, i + nSpan + 1); ++k) {
            const CCycle& x = m_cycles[k];
            dBest = std::min(dBest, double(x.nCalledNs) / 1e9 - double(int32_t(x.nFrame - c.nFrame)) / m_nRate);
        }
        return dBest + dFrames / m_nRate;
    }

    static int Process(jack_nframes_t nFrames, void* pArg) {
        auto* r = static_cast<CRecorder*>(pArg);
        const uint64_t nCalled = AudioDevice::ClockNanoseconds();
        CCycle cycle;
        float fPeriodUs = 0;
        if (jack_get_cycle_times(r->m_client, &cycle.nFrame, &cycle.nCurrentUs, &cycle.nNextUs, &fPeriodUs) != 0 ||
            cycle.nNextUs <= cycle.nCurrentUs)
            return 0;
        cycle.nFrames = nFrames;
        cycle.nCalledNs = nCalled;
        const jack_nframes_t nStart = cycle.nFrame;
        if (r->m_bCycled && nStart != r->m_nNextFrame) r->m_nMissed.fetch_add(1);
        if (!r->m_bCycled) r->m_frameClock.Start(jack_get_sample_rate(r->m_client), nFrames);
        const uint64_t nBegan = r->m_frameClock.Cycle(nStart, nCalled);
        if (nBegan && nCalled > nBegan + uint64_t(nFrames) * 1000000000ull / jack_get_sample_rate(r->m_client))
            r->m_nLateCycles.fetch_add(1);
        r->m_nClockMoves.store(r->m_frameClock.Moves());
        r->m_bCycled = true;
        r->m_nNextFrame = nStart + nFrames;
        const size_t nCycle = r->m_nCycles.load();
        if (nCycle >= kMaxCycles) return 0;
        void* pMidi = jack_port_get_buffer(r->m_midi, nFrames);
        const uint32_t nCount = jack_midi_get_event_count(pMidi);
        for (uint32_t i = 0; i < nCount; ++i) {
            jack_midi_event_t ev;
            if (jack_midi_event_get(&ev, pMidi, i) != 0) continue;
            const size_t k = r->m_nEvents.load();
            if (k >= kMaxEvents) break;
            r->m_events[k].nFrame = nStart + ev.time;
            r->m_events[k].vBytes.assign(ev.buffer, ev.buffer + std::min<size_t>(ev.size, 64));
            r->m_nEvents.store(k + 1);
        }
        if (r->m_bRecordAudio.load() && r->m_nAudioFrames.load() < kFrames) {
            if (r->m_nAudioFrames.load() == 0) r->m_nFirstFrame.store(nStart);
            const size_t nAt = r->m_nAudioFrames.load();
            cycle.nAudioAt = nAt;
            r->m_cycles[nCycle] = cycle;
            r->m_audioCycles[r->m_nAudioCycles.load()] = nCycle;
            r->m_nAudioCycles.fetch_add(1);
            const size_t n = std::min<size_t>(nFrames, kFrames - nAt);
            for (int c = 0; c < 2; ++c) {
                const auto* p = static_cast<const float*>(jack_port_get_buffer(r->m_audioPorts[c], nFrames));
                std::copy(p, p + n, r->m_audio[c].begin() + static_cast<ptrdiff_t>(nAt));
            }
            r->m_nAudioFrames.store(nAt + n);
        }
        r->m_cycles[nCycle] = cycle;
        r->m_nCycles.store(nCycle + 1);
        return 0;
    }

    static int Xrun(void* pArg) {
        static_cast<CRecorder*>(pArg)->m_nXruns.fetch_add(1);
        return 0;
    }

    std::string m_sServer;
    jack_client_t* m_client = nullptr;
    jack_port_t* m_midi = nullptr;
    jack_port_t* m_audioPorts[2] = {nullptr, nullptr};
    std::vector<CEvent> m_events;
    std::atomic<size_t> m_nEvents{0};
    std::vector<float> m_audio[2];
    std::atomic<bool> m_bRecordAudio{false};
    std::atomic<jack_nframes_t> m_nFirstFrame{0};
    std::atomic<size_t> m_nAudioFrames{0};
    std::vector<CCycle> m_cycles;
    std::atomic<size_t> m_nCycles{0};
    std::vector<size_t> m_audioCycles;  // the cycles that recorded audio, in order
    std::atomic<size_t> m_nAudioCycles{0};
    jack_nframes_t m_nRate = 1;
    std::atomic<uint64_t> m_nXruns{0}, m_nMissed{0}, m_nClockMoves{0}, m_nLateCycles{0};
    bool m_bCycled = false;  // the process thread's, as are the next two
    jack_nframes_t m_nNextFrame = 0;
    AudioDevice::Linux::CJackFrameClock m_frameClock;
};

}  // namespace DUve::Test
