// Records a Pulse source (a sink's monitor) in 10 ms fragments and places the recording
// on the process clock. After each fragment it reads the stream's latency, which says how
// long ago the last frame it took was captured; for a null sink's monitor that latency is
// often negative (the sink renders ahead of the time it says its frames play), so it is
// read signed, through the asynchronous API. Frame 0's time is the median of what the
// last second's fragments say.
#pragma once

#include <pulse/pulseaudio.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "audio/AudioDevice.h"

namespace DUve::Test {

class CPulseRecorder {
public:
    static constexpr uint32_t kFragment = 441;  // frames: 10 ms at 44.1 kHz
    // Fragments whose readings place the recording: the last second's. A null sink that
    // slept on a long timer reports its monitor's latency hundreds of milliseconds off for
    // a second or so after it wakes, then settles.
    static constexpr size_t kPlaced = 100;

    CPulseRecorder(const std::string& sSource, uint32_t nRate) : m_nRate(nRate) {
        m_loop = pa_threaded_mainloop_new();
        m_context = pa_context_new(pa_threaded_mainloop_get_api(m_loop), "palvor-test-recorder");
        pa_context_set_state_callback(m_context, &CPulseRecorder::Signal, this);
        pa_threaded_mainloop_lock(m_loop);
        pa_threaded_mainloop_start(m_loop);
        if (pa_context_connect(m_context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
            Failed();
            return;
        }
        while (pa_context_get_state(m_context) != PA_CONTEXT_READY) {
            if (!PA_CONTEXT_IS_GOOD(pa_context_get_state(m_context))) {
                Failed();
                return;
            }
            pa_threaded_mainloop_wait(m_loop);
        }
        const pa_sample_spec format{PA_SAMPLE_S16LE, nRate, 2};
        m_stream = pa_stream_new(m_context, "monitor", &format, nullptr);
        pa_stream_set_state_callback(m_stream, &CPulseRecorder::Signal, this);
        pa_stream_set_read_callback(m_stream, &CPulseRecorder::Readable, this);
        pa_stream_set_overflow_callback(m_stream, &CPulseRecorder::Overflowed, this);
        const pa_buffer_attr attr{uint32_t(-1), uint32_t(-1), uint32_t(-1), uint32_t(-1),
                                  kFragment * 4};
        if (pa_stream_connect_record(m_stream, sSource.c_str(), &attr,
                                     static_cast<pa_stream_flags_t>(PA_STREAM_INTERPOLATE_TIMING |
                                                                    PA_STREAM_AUTO_TIMING_UPDATE |
                                                                    PA_STREAM_ADJUST_LATENCY)) <
            0) {
            Failed();
            return;
        }
        while (pa_stream_get_state(m_stream) != PA_STREAM_READY) {
            if (!PA_STREAM_IS_GOOD(pa_stream_get_state(m_stream))) {
                Failed();
                return;
            }
            pa_threaded_mainloop_wait(m_loop);
        }
        pa_threaded_mainloop_unlock(m_loop);
    }
    ~CPulseRecorder() {
        pa_threaded_mainloop_lock(m_loop);
        if (m_stream) {
            pa_stream_set_read_callback(m_stream, nullptr, nullptr);
            pa_stream_set_overflow_callback(m_stream, nullptr, nullptr);
            pa_stream_set_state_callback(m_stream, nullptr, nullptr);
            pa_stream_disconnect(m_stream);
            pa_stream_unref(m_stream);
        }
        pa_context_set_state_callback(m_context, nullptr, nullptr);
        pa_context_disconnect(m_context);
        pa_context_unref(m_context);
        pa_threaded_mainloop_unlock(m_loop);
        pa_threaded_mainloop_stop(m_loop);
        pa_threaded_mainloop_free(m_loop);
    }
    CPulseRecorder(const CPulseRecorder&) = delete;
    CPulseRecorder& operator=(const CPulseRecorder&) = delete;

    // Empty while it records.
    const std::string& Error() const { return m_sError; }
    // Times the server dropped what this recorder was slow to read (the machine starved it).
    uint64_t Overflows() const { return m_nOverflows.load(); }

    struct CTake {
        std::vector<float> vLeft;
        double dFrame0 = 0.0;  // process-clock seconds at which frame 0 was captured
    };
    CTake Take() {
        pa_threaded_mainloop_lock(m_loop);
        CTake take{m_vLeft, 0.0};
        std::vector<double> v(m_vFrame0.end() - long(std::min<size_t>(m_vFrame0.size(), kPlaced)),
                              m_vFrame0.end());
        pa_threaded_mainloop_unlock(m_loop);
        if (!v.empty()) {
            std::nth_element(v.begin(), v.begin() + long(v.size() / 2), v.end());
            take.dFrame0 = v[v.size() / 2];
        }
        return take;
    }

    // Has the server end every playback stream it plays, as when it drops a client; false
    // when there was none.
    bool KillPlayback() {
        pa_threaded_mainloop_lock(m_loop);
        m_nKilled = -1;
        m_nKilledSoFar = 0;
        if (pa_operation* o = pa_context_get_sink_input_info_list(m_context, &Listed, this)) {
            while (m_nKilled < 0 && PA_CONTEXT_IS_GOOD(pa_context_get_state(m_context)))
                pa_threaded_mainloop_wait(m_loop);
            pa_operation_unref(o);
        }
        pa_threaded_mainloop_unlock(m_loop);
        return m_nKilled > 0;
    }

private:
    void Failed() {
        m_sError = pa_strerror(pa_context_errno(m_context));
        pa_threaded_mainloop_unlock(m_loop);
    }
    static void Listed(pa_context* c, const pa_sink_input_info* i, int nEol, void* p) {
        auto* r = static_cast<CPulseRecorder*>(p);
        if (nEol == 0 && i) {
            if (pa_operation* o = pa_context_kill_sink_input(c, i->index, nullptr, nullptr)) {
                pa_operation_unref(o);
                ++r->m_nKilledSoFar;
            }
            return;
        }
        r->m_nKilled = r->m_nKilledSoFar;
        pa_threaded_mainloop_signal(r->m_loop, 0);
    }
    static void Signal(pa_context*, void* p) {
        pa_threaded_mainloop_signal(static_cast<CPulseRecorder*>(p)->m_loop, 0);
    }
    static void Signal(pa_stream*, void* p) {
        pa_threaded_mainloop_signal(static_cast<CPulseRecorder*>(p)->m_loop, 0);
    }
    // On the main loop's thread: takes what arrived, then places its last frame.
    static void Overflowed(pa_stream*, void* p) { static_cast<CPulseRecorder*>(p)->m_nOverflows.fetch_add(1); }
    static void Readable(pa_stream* s, size_t, void* p) {
        auto* r = static_cast<CPulseRecorder*>(p);
        const void* pData = nullptr;
        size_t n = 0;
        while (pa_stream_readable_size(s) > 0 && pa_stream_peek(s, &pData, &n) == 0 && n > 0) {
            const auto* pFrames = static_cast<const int16_t*>(pData);
            for (size_t i = 0; i < n / 4; ++i)
                r->m_vLeft.push_back(pFrames ? float(pFrames[2 * i]) / 32768.0f : 0.0f);
            pa_stream_drop(s);
        }
        pa_usec_t nLatency = 0;
        int nNegative = 0;
        if (r->m_vLeft.empty() || pa_stream_get_latency(s, &nLatency, &nNegative) != 0) return;
        const double dLatency = (nNegative ? -1.0 : 1.0) * double(nLatency) / 1e6;

        r->m_vFrame0.push_back(AudioDevice::ClockSeconds() - dLatency -
                               double(r->m_vLeft.size() - 1) / r->m_nRate);
    }

    const uint32_t m_nRate;
    pa_threaded_mainloop* m_loop = nullptr;
    pa_context* m_context = nullptr;
    pa_stream* m_stream = nullptr;
    std::string m_sError;
    std::atomic<uint64_t> m_nOverflows{0};
    std::vector<float> m_vLeft;  // with the main loop's lock
    std::vector<double> m_vFrame0;
    int m_nKilled = 0, m_nKilledSoFar = 0;  // with the main loop's lock
};

}  // namespace DUve::Test
