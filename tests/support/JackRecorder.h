// A JACK client for tests and benchmarks that records what reaches it: MIDI events with
// their frames, and the audio of two inputs from the moment it is asked to.
#pragma once

#include <jack/jack.h>
#include <jack/midiport.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <vector>

#include "audio/AudioDevice.h"
#include "audio/linux/Jack.h"

namespace DUve::Test {

// Our clock minus JACK's, in nanoseconds.
inline int64_t ClockMinusJackNs() {
    return static_cast<int64_t>(AudioDevice::ClockNanoseconds()) - static_cast<int64_t>(jack_get_time()) * 1000;
}

// A JACK client that records MIDI (frame and bytes) and two audio inputs.
class CRecorder {
public:
    static constexpr size_t kMaxEvents = 4096;
    static constexpr size_t kFrames = 40 * 48000;
    struct CEvent {
        jack_nframes_t nFrame = 0;
        std::vector<uint8_t> vBytes;
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
        jack_set_process_callback(m_client, &CRecorder::Process, this);
        return m_midi && m_audioPorts[0] && m_audioPorts[1] && jack_activate(m_client) == 0;
    }
    ~CRecorder() {
        if (m_client && !AudioDevice::Linux::JackServerGone()) jack_client_close(m_client);
        if (!m_sServer.empty()) AudioDevice::Linux::ReleaseJackServer(m_sServer);
    }
    jack_client_t* Client() const { return m_client; }

    std::vector<CEvent> Events() const {
        const size_t n = std::min(m_nEvents.load(), kMaxEvents);
        return {m_events.begin(), m_events.begin() + static_cast<ptrdiff_t>(n)};
    }
    // Recording starts now: audio frame 0 is the frame of the next period.
    void StartAudio() { m_bRecordAudio.store(true); }
    jack_nframes_t AudioFirstFrame() const { return m_nFirstFrame.load(); }
    size_t AudioFrames() const { return m_nAudioFrames.load(); }
    const std::vector<float>& Audio(int i) const { return m_audio[i]; }
    // The process clock (seconds) of a frame.
    double Seconds(jack_nframes_t nFrame) const {
        return (double(jack_frames_to_time(m_client, nFrame)) * 1000.0 + double(ClockMinusJackNs())) / 1e9;
    }

private:
    static int Process(jack_nframes_t nFrames, void* pArg) {
        auto* r = static_cast<CRecorder*>(pArg);
        const jack_nframes_t nStart = jack_last_frame_time(r->m_client);
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
        if (r->m_bRecordAudio.load()) {
            if (r->m_nAudioFrames.load() == 0) r->m_nFirstFrame.store(nStart);
            const size_t nAt = r->m_nAudioFrames.load();
            const size_t n = std::min<size_t>(nFrames, kFrames - nAt);
            for (int c = 0; c < 2; ++c) {
                const auto* p = static_cast<const float*>(jack_port_get_buffer(r->m_audioPorts[c], nFrames));
                std::copy(p, p + n, r->m_audio[c].begin() + static_cast<ptrdiff_t>(nAt));
            }
            r->m_nAudioFrames.store(nAt + n);
        }
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
};

}  // namespace DUve::Test
