#include "audio/linux/Jack.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <jack/jack.h>
#include <jack/midiport.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "audio/AudioDevice.h"
#include "audio/RecordRing.h"
#include "audio/linux/JackFrameClock.h"
#include "runtime/RDebugTrace.h"
#include "runtime/RString.h"

namespace DUve::AudioDevice::Linux {

namespace {

// The library's own messages (a server that does not answer is reported at length) go
// to the developer trace; what people need to know is logged by the callers.
void JackMessage(const char* sText) { DebugTrace("\njack: %s", sText); }

void QuietJack() {
    static std::once_flag once;
    std::call_once(once, [] {
        jack_set_error_function(JackMessage);
        jack_set_info_function(JackMessage);
    });
}

std::string DefaultServer() {
    const char* p = std::getenv("JACK_DEFAULT_SERVER");
    return p && *p ? p : "default";
}

std::mutex g_serverMutex;
std::string g_sServerInUse;
int g_nServerClients = 0;
// Once the server has gone, closing a second client of it crashes libjack: the clients of
// a server that went away are left as they are (a few kilobytes each). Set by the shutdown
// callbacks, which may only set flags.
std::atomic<bool> g_bServerGone{false};

// A client of a server, opened and closed together with the server's guard.
struct CClientCloser {
    std::string sServer;
    void operator()(jack_client_t* c) const {
        if (!g_bServerGone.load()) jack_client_close(c);
        ReleaseJackServer(sServer);
    }
};
using CClientPtr = std::unique_ptr<jack_client_t, CClientCloser>;

CClientPtr OpenClient(const std::string& sServer, const char* sName) {
    QuietJack();
    if (!AcquireJackServer(sServer)) return CClientPtr(nullptr, CClientCloser{sServer});
    jack_status_t status{};
    jack_client_t* c = jack_client_open(sName, static_cast<jack_options_t>(JackNoStartServer | JackServerName),
                                        &status, sServer.c_str());
    if (!c) ReleaseJackServer(sServer);
    return CClientPtr(c, CClientCloser{sServer});
}

bool AutoConnect() {
    const char* p = std::getenv("PALVOR_JACK_NO_AUTOCONNECT");
    return !(p && *p && std::strcmp(p, "0") != 0);
}

// ---------------------------------------------------------------- audio output

class CJackStream : public IAudioOutStream {
public:
    static std::unique_ptr<CJackStream> Open(const std::string& sServer, CAudioRefill refill) {
        auto s = std::unique_ptr<CJackStream>(new CJackStream(std::move(refill)));
        s->m_owner = OpenClient(sServer, "palvor");
        s->m_client = s->m_owner.get();
        if (!s->m_client) return nullptr;
        for (int i = 0; i < 2; ++i) {
            const std::string sPort = "out_" + std::to_string(i + 1);
            s->m_ports[i] = jack_port_register(s->m_client, sPort.c_str(), JACK_DEFAULT_AUDIO_TYPE, JackPortIsOutput, 0);
            if (!s->m_ports[i]) return nullptr;
        }
        s->m_nBuffer = jack_get_buffer_size(s->m_client);
        s->m_nRate = jack_get_sample_rate(s->m_client);
        s->m_clock.Start(s->m_nRate, s->m_nBuffer.load());
        if (jack_set_process_callback(s->m_client, &CJackStream::Process, s.get()) != 0 ||
            jack_set_buffer_size_callback(s->m_client, &CJackStream::BufferSize, s.get()) != 0)
            return nullptr;
        jack_on_info_shutdown(s->m_client, &CJackStream::Shutdown, s.get());
        if (jack_activate(s->m_client) != 0) {
            DeviceLog("JACK server [%s] did not activate the output's client (a busy server may take too long)",
                      sServer.c_str());
            return nullptr;
        }
        s->m_bActive = true;
        if (AutoConnect()) {
            if (const char** ppPhysical = jack_get_ports(s->m_client, nullptr, JACK_DEFAULT_AUDIO_TYPE,
                                                         JackPortIsPhysical | JackPortIsInput)) {
                for (int i = 0; i < 2 && ppPhysical[i]; ++i)
                    if (jack_connect(s->m_client, jack_port_name(s->m_ports[i]), ppPhysical[i]) != 0)
                        DeviceLog("JACK: could not connect %s to %s", jack_port_name(s->m_ports[i]), ppPhysical[i]);
                jack_free(ppPhysical);
            }
        }
        return s;
    }
    ~CJackStream() override {
        if (m_client && m_bActive && !m_bGone.load()) jack_deactivate(m_client);
        if (const uint64_t n = m_nRepeated.load())
            DebugTrace("\nJACK output: %llu late callbacks were told cycles already filled; left silent",
                       static_cast<unsigned long long>(n));
    }
    uint32_t BufferSize() const override { return m_nBuffer.load(); }
    uint32_t SampleRate() const override { return m_nRate; }
    std::string Lost() const override {
        if (!m_bGone.load(std::memory_order_acquire)) return {};
        return std::string("the JACK server went away (") + m_szGone + ")";
    }

private:
    explicit CJackStream(CAudioRefill refill) : m_refill(std::move(refill)) {}

    // JACK's process thread: the two float channels, filled by the refill. The period's
    // first frame plays at the time the frame clock gives it; until the clock has settled
    // (the first few cycles) the output is silent.
    static int Process(jack_nframes_t nFrames, void* pArg) {
        auto* s = static_cast<CJackStream*>(pArg);
        const jack_nframes_t nFrame = jack_last_frame_time(s->m_client);
        uint64_t nStartNs = s->m_clock.Cycle(nFrame, ClockNanoseconds());
        // A callback that comes late after missed cycles may be told a cycle whose frames
        // it already filled (the server's frame time had moved on while it waited): those
        // frames went out once; this period stays silent, and the output neither repeats
        // nor realigns.
        const auto nAhead = static_cast<int32_t>(s->m_nNextFrame - nFrame);
        if (nStartNs && s->m_bRefilled && nAhead > 0 && jack_nframes_t(nAhead) <= s->m_nRate) {
            s->m_nRepeated.fetch_add(1, std::memory_order_relaxed);
            nStartNs = 0;
        } else {
            if (nStartNs && s->m_bRefilled) s->Skip(nFrame - s->m_nNextFrame, nStartNs);
            s->m_bRefilled = nStartNs != 0;
            s->m_nNextFrame = nFrame + nFrames;
        }
        CAudioChannelBuffer buffers[2];
        for (uint32_t i = 0; i < 2; ++i) {
            void* p = jack_port_get_buffer(s->m_ports[i], nFrames);
            buffers[i] = {false, i, ESampleType::Float32LSB, p, 1};
            if (!nStartNs) std::fill_n(static_cast<float*>(p), nFrames, 0.0f);
        }
        if (nStartNs) s->m_refill(std::span<const CAudioChannelBuffer>(buffers, 2), nFrames, nStartNs);
        return 0;
    }
    // The client missed cycles (the server ran them without it): their frames went by
    // unheard. The refill passes over them, at their times, into a scratch buffer, so the
    // output goes on from where the frame counter is, as if it had played them, and its
    // position never has to be realigned for it. A gap of more than a second is left to
    // the realignment.
    void Skip(jack_nframes_t nMissed, uint64_t nStartNs) {
        if (nMissed == 0 || nMissed > m_nRate) return;
        for (jack_nframes_t nDone = 0; nDone < nMissed;) {
            const auto n = static_cast<uint32_t>(std::min<size_t>(nMissed - nDone, kScratch));
            const uint64_t nAgo = uint64_t(nMissed - nDone) * 1000000000ull / m_nRate;
            CAudioChannelBuffer buffers[2];
            for (uint32_t i = 0; i < 2; ++i) buffers[i] = {false, i, ESampleType::Float32LSB, m_vScratch[i].data(), 1};
            m_refill(std::span<const CAudioChannelBuffer>(buffers, 2), n, nStartNs - nAgo);
            nDone += n;
        }
    }
    static int BufferSize(jack_nframes_t nFrames, void* pArg) {
        static_cast<CJackStream*>(pArg)->m_nBuffer.store(nFrames);
        return 0;
    }
    // Called on one of JACK's threads as if it were a signal handler: it keeps the reason
    // in place and sets flags; the device's worker reads them (Lost).
    static void Shutdown(jack_status_t, const char* sReason, void* pArg) {
        auto* s = static_cast<CJackStream*>(pArg);
        size_t n = 0;
        for (; sReason && sReason[n] && n + 1 < sizeof s->m_szGone; ++n) s->m_szGone[n] = sReason[n];
        s->m_szGone[n] = '\0';
        g_bServerGone.store(true);
        s->m_bGone.store(true, std::memory_order_release);
    }

    static constexpr size_t kScratch = 4096;

    CAudioRefill m_refill;
    CJackFrameClock m_clock;  // the process thread's, as are the three below
    bool m_bRefilled = false;        // the last cycle was refilled
    jack_nframes_t m_nNextFrame = 0;  // the frame after the last cycle's
    std::atomic<uint64_t> m_nRepeated{0};  // callbacks told a cycle already filled
    std::vector<float> m_vScratch[2] = {std::vector<float>(kScratch), std::vector<float>(kScratch)};
    CClientPtr m_owner{nullptr, CClientCloser{}};
    jack_client_t* m_client = nullptr;
    jack_port_t* m_ports[2] = {nullptr, nullptr};
    std::atomic<uint32_t> m_nBuffer{0};
    uint32_t m_nRate = 0;
    bool m_bActive = false;
    std::atomic<bool> m_bGone{false};
    char m_szGone[256] = {};
};

// ---------------------------------------------------------------- MIDI output

// Messages travel from the device's worker to JACK's process thread through a lock-free
// ring, one record each: a header, then the bytes, published together. The process
// thread takes only whole records whose header agrees with their size, and writes each
// message at the frame its stamp falls on; a message due after the current period waits
// in the ring.
class CJackMidiPort : public IMidiOutPort {
public:
    static constexpr size_t kRing = 1 << 20;
    static constexpr size_t kMaxMessage = 64 * 1024;

    static std::unique_ptr<CJackMidiPort> Open(const CJackMidiOut::CPort& dest) {
        auto p = std::unique_ptr<CJackMidiPort>(new CJackMidiPort());
        p->m_sDest = dest.sPort;
        p->m_ring.LockInMemory();
        p->m_owner = OpenClient(dest.sServer, "palvor-midi");
        p->m_client = p->m_owner.get();
        if (!p->m_client) return nullptr;
        p->m_port = jack_port_register(p->m_client, "midi_out", JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput, 0);
        if (!p->m_port) return nullptr;
        p->m_nBuffer = jack_get_buffer_size(p->m_client);
        p->m_nRate = jack_get_sample_rate(p->m_client);
        p->m_clock.Start(p->m_nRate, p->m_nBuffer.load());
        if (jack_set_process_callback(p->m_client, &CJackMidiPort::Process, p.get()) != 0 ||
            jack_set_buffer_size_callback(p->m_client, &CJackMidiPort::BufferSize, p.get()) != 0)
            return nullptr;
        jack_on_info_shutdown(p->m_client, &CJackMidiPort::Shutdown, p.get());
        if (jack_activate(p->m_client) != 0) return nullptr;
        p->m_bActive = true;
        if (jack_connect(p->m_client, jack_port_name(p->m_port), dest.sPort.c_str()) != 0) {
            DeviceLog("JACK: could not connect %s to %s", jack_port_name(p->m_port), dest.sPort.c_str());
            return nullptr;
        }
        return p;
    }
    ~CJackMidiPort() override {
        if (m_client && m_bActive && !m_bGone.load()) jack_deactivate(m_client);
        m_owner.reset();
    }

    bool Send(const std::vector<uint8_t>& vBytes, uint64_t nStampNs) override {
        if (m_bGone.load()) {
            if (!m_bGoneLogged) DeviceLog("JACK MIDI output [%s]: the JACK server went away", m_sDest.c_str());
            m_bGoneLogged = true;
            return false;
        }
        if (vBytes.empty() || vBytes.size() > kMaxMessage) return false;
        const CHeader h{nStampNs, static_cast<uint32_t>(vBytes.size())};
        if (!m_ring.Write({std::span(reinterpret_cast<const uint8_t*>(&h), sizeof h), std::span(vBytes)})) {
            DeviceLog("JACK MIDI output [%s]: too many messages waiting, one dropped", m_sDest.c_str());
            return false;
        }
        return true;
    }

    // Two periods and 2 ms: the message is in the ring before the period it falls in starts.
    uint64_t LeadNs() const override {
        const uint64_t nPeriodNs = m_nRate ? uint64_t(m_nBuffer.load()) * 1000000000ull / m_nRate : 0;
        return 2 * nPeriodNs + 2000000ull;
    }

private:
    struct CHeader {
        uint64_t nStampNs;  // process clock
        uint32_t nSize;
    };

    CJackMidiPort() = default;

    static int Process(jack_nframes_t nFrames, void* pArg) {
        auto* p = static_cast<CJackMidiPort*>(pArg);
        const uint64_t nCycleNs = p->m_clock.Cycle(jack_last_frame_time(p->m_client), ClockNanoseconds());
        void* pBuffer = jack_port_get_buffer(p->m_port, nFrames);
        jack_midi_clear_buffer(pBuffer);
        if (!nCycleNs) return 0;  // messages wait until the frame clock has settled
        const double dFramesPerNs = double(p->m_nRate) / 1e9;
        jack_nframes_t nLast = 0;
        CHeader h;
        for (size_t nRecord = p->m_ring.NextSize(); nRecord; nRecord = p->m_ring.NextSize()) {
            if (nRecord < sizeof h) {
                p->m_ring.Pop();
                p->m_nDropped.fetch_add(1, std::memory_order_relaxed);
                continue;
            }
            p->m_ring.Peek(0, &h, sizeof h);
            if (h.nSize == 0 || h.nSize > kMaxMessage || h.nSize != nRecord - sizeof h) {
                p->m_ring.Pop();
                p->m_nDropped.fetch_add(1, std::memory_order_relaxed);
                continue;
            }
            const double dFrame = double(static_cast<int64_t>(h.nStampNs - nCycleNs)) * dFramesPerNs;
            if (dFrame >= double(nFrames)) break;  // a later period's
            // Late messages go first thing; events of one period never go backwards.
            jack_nframes_t nFrame = dFrame > 0.0 ? static_cast<jack_nframes_t>(dFrame) : 0;
            nFrame = std::max(nFrame, nLast);
            if (auto* pData = jack_midi_event_reserve(pBuffer, nFrame, h.nSize)) {
                p->m_ring.Peek(sizeof h, pData, h.nSize);
                nLast = nFrame;
            } else {
                p->m_nDropped.fetch_add(1, std::memory_order_relaxed);
            }
            p->m_ring.Pop();
        }
        return 0;
    }
    static int BufferSize(jack_nframes_t nFrames, void* pArg) {
        static_cast<CJackMidiPort*>(pArg)->m_nBuffer.store(nFrames);
        return 0;
    }
    static void Shutdown(jack_status_t, const char*, void* pArg) {
        g_bServerGone.store(true);
        static_cast<CJackMidiPort*>(pArg)->m_bGone.store(true);
    }

    std::string m_sDest;
    CRecordRing m_ring{kRing};
    CClientPtr m_owner{nullptr, CClientCloser{}};
    jack_client_t* m_client = nullptr;
    jack_port_t* m_port = nullptr;
    std::atomic<uint32_t> m_nBuffer{0};
    uint32_t m_nRate = 0;
    CJackFrameClock m_clock;  // the process thread's
    std::atomic<uint32_t> m_nDropped{0};
    bool m_bActive = false;
    std::atomic<bool> m_bGone{false};
    bool m_bGoneLogged = false;
};

}  // namespace

bool AcquireJackServer(const std::string& sServer) {
    std::lock_guard lock(g_serverMutex);
    if (g_nServerClients > 0 && g_sServerInUse != sServer) return false;
    g_sServerInUse = sServer;
    ++g_nServerClients;
    return true;
}

void ReleaseJackServer(const std::string& sServer) {
    std::lock_guard lock(g_serverMutex);
    if (g_nServerClients > 0 && g_sServerInUse == sServer) --g_nServerClients;
    if (g_nServerClients == 0) g_bServerGone.store(false);
}

bool JackServerGone() { return g_bServerGone.load(); }

std::vector<std::string> JackServerCandidates() {
    std::vector<std::string> v{DefaultServer()};
    // JACK 2 keeps a server's socket as <folder>/jack_<server>_<uid>_0.
    const char* pFolder = std::getenv("JACK_SOCKET_DIR");
    const std::string sFolder = pFolder && *pFolder ? pFolder : "/dev/shm";
    // (Built in steps: GCC 12 warns of an overlap that cannot happen in the one-line form.)
    std::string sSuffix = "_";
    sSuffix += std::to_string(getuid());
    sSuffix += "_0";
    if (DIR* d = opendir(sFolder.c_str())) {
        std::vector<std::string> found;
        while (const dirent* e = readdir(d)) {
            const std::string sName = e->d_name;
            if (sName.size() <= 5 + sSuffix.size() || sName.compare(0, 5, "jack_") != 0 ||
                sName.compare(sName.size() - sSuffix.size(), sSuffix.size(), sSuffix) != 0)
                continue;
            struct stat st{};
            if (stat((sFolder + "/" + sName).c_str(), &st) != 0 || !S_ISSOCK(st.st_mode)) continue;
            found.push_back(sName.substr(5, sName.size() - 5 - sSuffix.size()));
        }
        closedir(d);
        std::sort(found.begin(), found.end());
        for (auto& s : found)
            if (std::find(v.begin(), v.end(), s) == v.end()) v.push_back(std::move(s));
    }
    return v;
}

std::string JackMidiPortName(const std::string& sServer, const std::string& sPort) {
    return sServer == DefaultServer() ? sPort : "[" + sServer + "] " + sPort;
}

CJackAudioOut::CJackAudioOut() {
    for (const auto& s : JackServerCandidates())
        if (OpenClient(s, "palvor-probe")) m_servers.push_back(s);
}

std::vector<CAudioOutInfo> CJackAudioOut::Enumerate() {
    std::vector<CAudioOutInfo> v;
    for (uint32_t i = 0; i < m_servers.size(); ++i) v.push_back({i, Utf8ToUtf16("JACK " + m_servers[i])});
    return v;
}

std::unique_ptr<IAudioOutStream> CJackAudioOut::Start(uint32_t nNo, uint32_t, uint32_t nBufferSize,
                                                      CAudioRefill refill, CAudioLost) {
    if (nNo >= m_servers.size() || !refill) return nullptr;
    auto stream = CJackStream::Open(m_servers[nNo], std::move(refill));
    if (!stream) {
        DeviceLog("JACK server [%s] cannot be used as an output (not running, or another JACK server is in use "
                  "by this program)",
                  m_servers[nNo].c_str());
        return nullptr;
    }
    if (nBufferSize != 0 && nBufferSize != stream->BufferSize())
        DeviceLog("JACK server [%s] runs with %u frames per period; %u were asked for", m_servers[nNo].c_str(),
                  stream->BufferSize(), nBufferSize);
    return stream;
}

CJackMidiOut::CJackMidiOut() {
    for (const auto& s : JackServerCandidates()) {
        const CClientPtr c = OpenClient(s, "palvor-probe");
        if (!c) continue;
        if (const char** pp = jack_get_ports(c.get(), nullptr, JACK_DEFAULT_MIDI_TYPE, JackPortIsInput)) {
            for (size_t i = 0; pp[i]; ++i) m_ports.push_back({s, pp[i]});
            jack_free(pp);
        }
    }
}

std::vector<CMidiOutPortInfo> CJackMidiOut::Enumerate() {
    std::vector<CMidiOutPortInfo> v;
    for (uint32_t i = 0; i < m_ports.size(); ++i)
        v.push_back({i, Utf8ToUtf16(JackMidiPortName(m_ports[i].sServer, m_ports[i].sPort))});
    return v;
}

std::unique_ptr<IMidiOutPort> CJackMidiOut::Open(uint32_t nNo) {
    if (nNo >= m_ports.size()) return nullptr;
    return CJackMidiPort::Open(m_ports[nNo]);
}

}  // namespace DUve::AudioDevice::Linux
