#include "audio/linux/PulseOutput.h"

#include <pulse/pulseaudio.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <vector>

#include "audio/AudioDevice.h"
#include "audio/linux/PulseFrameClock.h"
#include "runtime/RDebugTrace.h"
#include "runtime/RThreadPriority.h"

namespace DUve::AudioDevice::Linux {

namespace {

// How long opening waits for the server before it gives up.
constexpr pa_usec_t kOpenTimeoutUs = 5 * PA_USEC_PER_SEC;

class CPulseStream : public IAudioOutStream {
public:
    CPulseStream(std::string sName, CAudioRefill refill, CAudioLost lost)
        : m_sName(std::move(sName)), m_refill(std::move(refill)), m_lost(std::move(lost)) {}
    CPulseStream(const CPulseStream&) = delete;
    CPulseStream& operator=(const CPulseStream&) = delete;

    ~CPulseStream() override {
        if (!m_loop) return;
        pa_threaded_mainloop_lock(m_loop);
        m_bClosing = true;
        if (m_stream) {
            pa_stream_set_write_callback(m_stream, nullptr, nullptr);
            pa_stream_set_latency_update_callback(m_stream, nullptr, nullptr);
            pa_stream_set_underflow_callback(m_stream, nullptr, nullptr);
            pa_stream_set_state_callback(m_stream, nullptr, nullptr);
            pa_stream_disconnect(m_stream);
            pa_stream_unref(m_stream);
        }
        if (m_context) {
            if (m_timeout) pa_threaded_mainloop_get_api(m_loop)->time_free(m_timeout);
            pa_context_set_state_callback(m_context, nullptr, nullptr);
            pa_context_disconnect(m_context);
            pa_context_unref(m_context);
        }
        pa_threaded_mainloop_unlock(m_loop);
        // Joins the main loop's thread: no callback runs after this.
        pa_threaded_mainloop_stop(m_loop);
        pa_threaded_mainloop_free(m_loop);
        if (const uint64_t n = m_clock.Moves())
            DebugTrace("\naudio output [%s]: its Pulse stream's timing moved %llu times",
                       m_sName.c_str(), static_cast<unsigned long long>(n));
    }

    // Everything up to a running stream; false with a log line when it failed.
    bool Open(const std::string& sSink, uint32_t nSampleRate, uint32_t nBufferSize) {
        m_nRate = nSampleRate;
        m_nPeriod = nBufferSize;
        m_nPeriodBytes = size_t(m_nPeriod) * 2 * sizeof(int16_t);
        m_vBuffer.assign(size_t(m_nPeriod) * 2, 0);
        m_clock.Start(m_nRate, m_nPeriod);

        m_loop = pa_threaded_mainloop_new();
        if (!m_loop) return Fail("no main loop");
        pa_threaded_mainloop_set_name(m_loop, "palvor-pulse");
        m_context = pa_context_new(pa_threaded_mainloop_get_api(m_loop), "PalvorServer");
        if (!m_context) return Fail("no context");
        pa_context_set_state_callback(m_context, &CPulseStream::ContextState, this);
        if (pa_threaded_mainloop_start(m_loop) < 0) {
            pa_context_unref(m_context);
            m_context = nullptr;
            return Fail("the main loop did not start");
        }
        pa_threaded_mainloop_lock(m_loop);
        const bool bOk = Connect(sSink);
        if (m_timeout) {
            pa_threaded_mainloop_get_api(m_loop)->time_free(m_timeout);
            m_timeout = nullptr;
        }
        pa_threaded_mainloop_unlock(m_loop);
        return bOk;
    }

    uint32_t BufferSize() const override { return m_nPeriod; }
    uint32_t SampleRate() const override { return m_nRate; }

private:
    // With the main loop locked.
    bool Connect(const std::string& sSink) {
        m_timeout = pa_context_rttime_new(m_context, pa_rtclock_now() + kOpenTimeoutUs,
                                          &CPulseStream::TimedOut, this);
        if (pa_context_connect(m_context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0)
            return Fail(pa_strerror(pa_context_errno(m_context)));
        for (;;) {
            const pa_context_state_t state = pa_context_get_state(m_context);
            if (state == PA_CONTEXT_READY) break;
            if (!PA_CONTEXT_IS_GOOD(state)) return Fail(pa_strerror(pa_context_errno(m_context)));
            if (m_bTimedOut) return Fail("the server did not answer");
            pa_threaded_mainloop_wait(m_loop);
        }
        const pa_sample_spec format{PA_SAMPLE_S16LE, m_nRate, 2};
        m_stream = pa_stream_new(m_context, "PalvorServer", &format, nullptr);
        if (!m_stream) return Fail(pa_strerror(pa_context_errno(m_context)));
        pa_stream_set_state_callback(m_stream, &CPulseStream::StreamState, this);
        pa_stream_set_write_callback(m_stream, &CPulseStream::Writable, this);
        pa_stream_set_latency_update_callback(m_stream, &CPulseStream::LatencyUpdated, this);
        pa_stream_set_underflow_callback(m_stream, &CPulseStream::RanOut, this);
        // Three periods in the server's hands at most, one asked for at a time; playback
        // starts with two. The latency is the stream's and the sink's together.
        pa_buffer_attr attr;
        attr.maxlength = uint32_t(-1);
        attr.tlength = uint32_t(3 * m_nPeriodBytes);
        attr.prebuf = uint32_t(2 * m_nPeriodBytes);
        attr.minreq = uint32_t(m_nPeriodBytes);
        attr.fragsize = uint32_t(-1);
        const auto flags = static_cast<pa_stream_flags_t>(
            PA_STREAM_INTERPOLATE_TIMING | PA_STREAM_AUTO_TIMING_UPDATE | PA_STREAM_ADJUST_LATENCY);
        if (pa_stream_connect_playback(m_stream, sSink.empty() ? nullptr : sSink.c_str(), &attr,
                                       flags, nullptr, nullptr) < 0)
            return Fail(pa_strerror(pa_context_errno(m_context)));
        for (;;) {
            const pa_stream_state_t state = pa_stream_get_state(m_stream);
            if (state == PA_STREAM_READY) break;
            if (!PA_STREAM_IS_GOOD(state)) return Fail(pa_strerror(pa_context_errno(m_context)));
            if (m_bTimedOut) return Fail("the server did not open the stream");
            pa_threaded_mainloop_wait(m_loop);
        }
        if (const pa_buffer_attr* p = pa_stream_get_buffer_attr(m_stream))
            DebugTrace(
                "\naudio output [%s]: Pulse stream to %s at %u Hz; the server keeps %u "
                "frames, asks for %u, starts with %u",
                m_sName.c_str(), pa_stream_get_device_name(m_stream), m_nRate, p->tlength / 4,
                p->minreq / 4, p->prebuf / 4);
        m_bOpened = true;
        return true;
    }

    bool Fail(const char* pWhy) {
        DeviceLog("audio output [%s] could not start: %s", m_sName.c_str(), pWhy);
        return false;
    }

    // On the main loop's thread, with its lock: writes whole periods while the server
    // takes them. Until the server reports that the stream plays, what it says of the
    // latency is only a promise (a sink that sleeps on a timer starts the stream when it
    // next wakes), so the first periods it prebuffers are silence; the first period after
    // that anchors the frame clock.
    void Fill() {
        if (m_bClosing || !m_stream || pa_stream_get_state(m_stream) != PA_STREAM_READY) return;
        if (!m_bRaised) {
            m_bRaised = true;
            RaiseCallingThreadForTimeCriticalWork();
        }
        const CAudioChannelBuffer buffers[2] = {
            {false, 0, ESampleType::Int16LSB, m_vBuffer.data(), 2},
            {false, 1, ESampleType::Int16LSB, m_vBuffer.data() + 1, 2}};
        while (pa_stream_writable_size(m_stream) >= m_nPeriodBytes) {
            uint64_t nReading = 0;
            pa_usec_t nLatency = 0;
            int nNegative = 0;
            const pa_timing_info* pTiming = pa_stream_get_timing_info(m_stream);
            if (pTiming && pTiming->playing &&
                pa_stream_get_latency(m_stream, &nLatency, &nNegative) == 0)
                nReading = ClockNanoseconds() + (nNegative ? 0 : nLatency * 1000);
            if (const uint64_t nStart = m_clock.Next(nReading))
                m_refill(std::span<const CAudioChannelBuffer>(buffers, 2), m_nPeriod, nStart);
            else
                std::fill(m_vBuffer.begin(), m_vBuffer.end(), int16_t(0));
            if (pa_stream_write(m_stream, m_vBuffer.data(), m_nPeriodBytes, nullptr, 0,
                                PA_SEEK_RELATIVE) < 0)
                return;
        }
    }

    // The server went away or dropped the stream (not while closing): said once.
    void Lose(const char* pWhy) {
        if (m_bClosing || !m_bOpened || m_bLost.exchange(true)) return;
        if (m_lost) m_lost(std::string("stream lost: ") + pWhy);
    }

    static void ContextState(pa_context* c, void* p) {
        auto* s = static_cast<CPulseStream*>(p);
        if (!PA_CONTEXT_IS_GOOD(pa_context_get_state(c))) s->Lose(pa_strerror(pa_context_errno(c)));
        pa_threaded_mainloop_signal(s->m_loop, 0);
    }
    static void StreamState(pa_stream* st, void* p) {
        auto* s = static_cast<CPulseStream*>(p);
        if (!PA_STREAM_IS_GOOD(pa_stream_get_state(st)))
            s->Lose(pa_strerror(pa_context_errno(pa_stream_get_context(st))));
        pa_threaded_mainloop_signal(s->m_loop, 0);
    }
    static void TimedOut(pa_mainloop_api*, pa_time_event*, const struct timeval*, void* p) {
        auto* s = static_cast<CPulseStream*>(p);
        s->m_bTimedOut = true;
        pa_threaded_mainloop_signal(s->m_loop, 0);
    }
    static void Writable(pa_stream*, size_t, void* p) { static_cast<CPulseStream*>(p)->Fill(); }
    // The server played everything it had: it goes on with silence, and drops the part of
    // what comes next whose time has passed. Said at once, then at most every ten seconds.
    static void RanOut(pa_stream*, void* p) {
        auto* s = static_cast<CPulseStream*>(p);
        ++s->m_nRanOut;
        const auto now = std::chrono::steady_clock::now();
        if (s->m_nRanOut > 1 && now - s->m_lastRanOutLog < std::chrono::seconds(10)) return;
        s->m_lastRanOutLog = now;
        DeviceLog("audio output [%s]: the sound server ran out of sound; the stream fell behind (%llu times so far)",
                  s->m_sName.c_str(), static_cast<unsigned long long>(s->m_nRanOut));
    }
    static void LatencyUpdated(pa_stream*, void* p) {
        auto* s = static_cast<CPulseStream*>(p);
        if (!s->m_clock.Anchored()) s->Fill();  // the first report that the stream plays
    }

    const std::string m_sName;
    CAudioRefill m_refill;
    CAudioLost m_lost;
    uint32_t m_nRate = 0, m_nPeriod = 0;
    size_t m_nPeriodBytes = 0;
    std::vector<int16_t> m_vBuffer;  // one period, interleaved; made before the stream starts
    CPulseFrameClock m_clock;
    pa_threaded_mainloop* m_loop = nullptr;
    pa_context* m_context = nullptr;
    pa_stream* m_stream = nullptr;
    pa_time_event* m_timeout = nullptr;
    // With the main loop's lock, or on its thread.
    bool m_bTimedOut = false, m_bOpened = false, m_bClosing = false, m_bRaised = false;
    std::atomic<bool> m_bLost{false};
    uint64_t m_nRanOut = 0;  // the main loop's, as is the next
    std::chrono::steady_clock::time_point m_lastRanOutLog{};
};

// Asks the server for its sinks on a main loop of the calling thread.
class CSinkList {
public:
    CSinkList() : m_loop(pa_mainloop_new()) {}
    ~CSinkList() {
        if (m_context) {
            pa_context_disconnect(m_context);
            pa_context_unref(m_context);
        }
        if (m_loop) pa_mainloop_free(m_loop);
    }
    CSinkList(const CSinkList&) = delete;
    CSinkList& operator=(const CSinkList&) = delete;

    std::vector<CPulseSink> Ask(std::string& sWhy) {
        if (!m_loop || !(m_context = pa_context_new(pa_mainloop_get_api(m_loop), "PalvorServer"))) {
            sWhy = "no main loop";
            return {};
        }
        pa_time_event* pTimeout = pa_context_rttime_new(
            m_context, pa_rtclock_now() + kOpenTimeoutUs,
            [](pa_mainloop_api*, pa_time_event*, const struct timeval*, void* p) {
                static_cast<CSinkList*>(p)->m_bTimedOut = true;
            },
            this);
        std::vector<CPulseSink> v = Run(sWhy);
        pa_mainloop_get_api(m_loop)->time_free(pTimeout);
        return v;
    }

private:
    std::vector<CPulseSink> Run(std::string& sWhy) {
        if (pa_context_connect(m_context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
            sWhy = pa_strerror(pa_context_errno(m_context));
            return {};
        }
        while (pa_context_get_state(m_context) != PA_CONTEXT_READY) {
            if (!PA_CONTEXT_IS_GOOD(pa_context_get_state(m_context))) {
                sWhy = pa_strerror(pa_context_errno(m_context));
                return {};
            }
            if (!Iterate(sWhy)) return {};
        }
        pa_operation* pServer = pa_context_get_server_info(
            m_context,
            [](pa_context*, const pa_server_info* i, void* p) {
                if (i && i->default_sink_name)
                    static_cast<CSinkList*>(p)->m_sDefault = i->default_sink_name;
            },
            this);
        pa_operation* pSinks = pa_context_get_sink_info_list(
            m_context,
            [](pa_context*, const pa_sink_info* i, int nEol, void* p) {
                if (nEol == 0 && i)
                    static_cast<CSinkList*>(p)->m_sinks.push_back(
                        {i->name ? i->name : "",
                         i->description ? i->description : (i->name ? i->name : "")});
            },
            this);
        bool bOk = pServer && pSinks;
        while (bOk && (pa_operation_get_state(pServer) == PA_OPERATION_RUNNING ||
                       pa_operation_get_state(pSinks) == PA_OPERATION_RUNNING))
            bOk = Iterate(sWhy);
        if (pServer) pa_operation_unref(pServer);
        if (pSinks) pa_operation_unref(pSinks);
        if (!bOk) {
            if (sWhy.empty()) sWhy = pa_strerror(pa_context_errno(m_context));
            return {};
        }
        std::stable_partition(m_sinks.begin(), m_sinks.end(),
                              [&](const CPulseSink& s) { return s.sName == m_sDefault; });
        return m_sinks;
    }
    bool Iterate(std::string& sWhy) {
        if (m_bTimedOut) {
            sWhy = "the server did not answer";
            return false;
        }
        if (pa_mainloop_iterate(m_loop, 1, nullptr) < 0) {
            sWhy = "the main loop failed";
            return false;
        }
        return true;
    }

    pa_mainloop* m_loop = nullptr;
    pa_context* m_context = nullptr;
    bool m_bTimedOut = false;
    std::string m_sDefault;
    std::vector<CPulseSink> m_sinks;
};

}  // namespace

std::vector<CPulseSink> PulseSinks(std::string& sWhy) {
    sWhy.clear();
    return CSinkList().Ask(sWhy);
}

std::unique_ptr<IAudioOutStream> OpenPulseOutput(const std::string& sName, const std::string& sSink,
                                                 uint32_t nSampleRate, uint32_t nBufferSize,
                                                 CAudioRefill refill, CAudioLost lost) {
    if (nSampleRate == 0 || nBufferSize == 0 || !refill) return nullptr;
    auto s = std::make_unique<CPulseStream>(sName, std::move(refill), std::move(lost));
    if (!s->Open(sSink, nSampleRate, nBufferSize)) return nullptr;
    return s;
}

}  // namespace DUve::AudioDevice::Linux
