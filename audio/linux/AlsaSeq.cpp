#include "audio/linux/AlsaSeq.h"

#include <alsa/asoundlib.h>

#include <cstdarg>
#include <cstdio>

#include "audio/AudioDevice.h"
#include "runtime/RDebugTrace.h"
#include "runtime/RString.h"

namespace DUve::AudioDevice::Linux {

namespace {

// The library reports every device it cannot open (a machine without sound cards has
// many) on standard error; those reports go to the developer trace instead.
void AlsaMessage(const char* szFile, int nLine, const char* szFunction, int, const char* szFormat, ...) {
    char buf[512];
    va_list args;
    va_start(args, szFormat);
    std::vsnprintf(buf, sizeof buf, szFormat, args);
    va_end(args);
    DebugTrace("\nalsa: %s:%d (%s) %s", szFile, nLine, szFunction, buf);
}

constexpr unsigned kWriteCaps = SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_SUBS_WRITE;

class CAlsaSeqPort : public IMidiOutPort {
public:
    static constexpr size_t kMaxMessage = 64 * 1024;

    static std::unique_ptr<CAlsaSeqPort> Open(const CAlsaSeqMidiOut::CPort& dest) {
        auto p = std::unique_ptr<CAlsaSeqPort>(new CAlsaSeqPort(dest.sName));
        int e = snd_seq_open(&p->m_seq, "default", SND_SEQ_OPEN_OUTPUT, 0);
        if (e < 0) return p->Failed("open", e);
        snd_seq_set_client_name(p->m_seq, "PalvorServer");
        p->m_nPort = snd_seq_create_simple_port(p->m_seq, "out", SND_SEQ_PORT_CAP_READ | SND_SEQ_PORT_CAP_SUBS_READ,
                                                SND_SEQ_PORT_TYPE_MIDI_GENERIC | SND_SEQ_PORT_TYPE_APPLICATION);
        if (p->m_nPort < 0) return p->Failed("create a port", p->m_nPort);
        if ((e = snd_seq_connect_to(p->m_seq, p->m_nPort, dest.nClient, dest.nPort)) < 0)
            return p->Failed("connect", e);
        p->m_nQueue = snd_seq_alloc_queue(p->m_seq);
        if (p->m_nQueue < 0) return p->Failed("make a queue", p->m_nQueue);
        if ((e = snd_seq_start_queue(p->m_seq, p->m_nQueue, nullptr)) < 0 || (e = snd_seq_drain_output(p->m_seq)) < 0)
            return p->Failed("start its queue", e);
        // The queue's real time counts from its start: remember where that was on the
        // process clock.
        p->m_nQueueStartNs = ClockNanoseconds();
        if ((e = snd_midi_event_new(kMaxMessage, &p->m_encoder)) < 0) return p->Failed("make an encoder", e);
        snd_midi_event_no_status(p->m_encoder, 1);
        return p;
    }
    ~CAlsaSeqPort() override {
        if (m_encoder) snd_midi_event_free(m_encoder);
        if (m_seq) {
            if (m_nQueue >= 0) {
                snd_seq_drop_output(m_seq);
                snd_seq_free_queue(m_seq, m_nQueue);
            }
            snd_seq_close(m_seq);
        }
    }

    bool Send(const std::vector<uint8_t>& vBytes, uint64_t nStampNs) override {
        if (vBytes.empty() || vBytes.size() > kMaxMessage) return false;
        snd_seq_event_t ev;
        snd_seq_ev_clear(&ev);
        snd_midi_event_reset_encode(m_encoder);
        const long n = snd_midi_event_encode(m_encoder, vBytes.data(), static_cast<long>(vBytes.size()), &ev);
        if (n <= 0 || ev.type == SND_SEQ_EVENT_NONE) {
            DeviceLog("ALSA MIDI output [%s]: a message of %zu bytes could not be encoded", m_sName.c_str(),
                      vBytes.size());
            return false;
        }
        snd_seq_ev_set_source(&ev, m_nPort);
        snd_seq_ev_set_subs(&ev);
        const uint64_t nAt = nStampNs > m_nQueueStartNs ? nStampNs - m_nQueueStartNs : 0;
        snd_seq_real_time_t t{static_cast<unsigned>(nAt / 1000000000ull), static_cast<unsigned>(nAt % 1000000000ull)};
        snd_seq_ev_schedule_real(&ev, m_nQueue, 0, &t);
        int e = snd_seq_event_output(m_seq, &ev);
        if (e >= 0) e = snd_seq_drain_output(m_seq);
        if (e < 0) {
            DeviceLog("ALSA MIDI output [%s]: %s", m_sName.c_str(), snd_strerror(e));
            return false;
        }
        return true;
    }
    uint64_t LeadNs() const override { return 20000000ull; }

private:
    explicit CAlsaSeqPort(std::string sName) : m_sName(std::move(sName)) {}
    std::unique_ptr<CAlsaSeqPort> Failed(const char* sWhat, int e) {
        DeviceLog("ALSA MIDI output [%s]: could not %s: %s", m_sName.c_str(), sWhat, snd_strerror(e));
        return nullptr;
    }

    std::string m_sName;
    snd_seq_t* m_seq = nullptr;
    int m_nPort = -1;
    int m_nQueue = -1;
    uint64_t m_nQueueStartNs = 0;
    snd_midi_event_t* m_encoder = nullptr;
};

}  // namespace

void QuietAlsa() { snd_lib_error_set_handler(&AlsaMessage); }

CAlsaSeqMidiOut::CAlsaSeqMidiOut() {
    QuietAlsa();
    snd_seq_t* seq = nullptr;
    if (const int e = snd_seq_open(&seq, "default", SND_SEQ_OPEN_OUTPUT, 0); e < 0) {
        m_sUnavailable = snd_strerror(e);
        return;
    }
    const int nSelf = snd_seq_client_id(seq);
    snd_seq_client_info_t* client;
    snd_seq_port_info_t* port;
    snd_seq_client_info_alloca(&client);
    snd_seq_port_info_alloca(&port);
    snd_seq_client_info_set_client(client, -1);
    while (snd_seq_query_next_client(seq, client) >= 0) {
        const int nClient = snd_seq_client_info_get_client(client);
        if (nClient == nSelf || nClient == SND_SEQ_CLIENT_SYSTEM) continue;
        snd_seq_port_info_set_client(port, nClient);
        snd_seq_port_info_set_port(port, -1);
        while (snd_seq_query_next_port(seq, port) >= 0) {
            if ((snd_seq_port_info_get_capability(port) & kWriteCaps) != kWriteCaps) continue;
            if (snd_seq_port_info_get_capability(port) & SND_SEQ_PORT_CAP_NO_EXPORT) continue;
            m_ports.push_back({nClient, snd_seq_port_info_get_port(port),
                               std::string(snd_seq_client_info_get_name(client)) + ":" +
                                   snd_seq_port_info_get_name(port)});
        }
    }
    snd_seq_close(seq);
}

std::vector<CMidiOutPortInfo> CAlsaSeqMidiOut::Enumerate() {
    std::vector<CMidiOutPortInfo> v;
    for (uint32_t i = 0; i < m_ports.size(); ++i) v.push_back({i, Utf8ToUtf16(m_ports[i].sName)});
    return v;
}

std::unique_ptr<IMidiOutPort> CAlsaSeqMidiOut::Open(uint32_t nNo) {
    if (nNo >= m_ports.size()) return nullptr;
    return CAlsaSeqPort::Open(m_ports[nNo]);
}

}  // namespace DUve::AudioDevice::Linux
