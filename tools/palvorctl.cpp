// palvorctl: a command-line client of the sequencer server for people and scripts.
// Every request is followed by an echo, so when the command returns the server has
// handled it; success is judged from what the server broadcast back.
#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "model/SeqProperty.h"
#include "runtime/RString.h"
#include "server/RSeqClient.h"

using namespace DUve;
using namespace DUve::Sequencer;
using namespace DUve::Sequencer::CProtocol;
namespace P = DUve::CRSeq::Property;

namespace {

// Exit codes.
constexpr int kOk = 0;
constexpr int kFailed = 1;        // the server did not apply the request
constexpr int kUsage = 2;         // bad command line or input file
constexpr int kConnection = 3;    // cannot connect, refused, connection lost
constexpr int kUnknownId = 4;     // an identifier that names nothing

struct COptions {
    std::string host = "127.0.0.1";
    uint16_t port = 4000;
    uint32_t visitor = 0;
    std::string token;
    uint32_t solution = 0;
    bool json = false;
    std::chrono::milliseconds timeout{15000};
};

struct CExit {
    int code;
    std::string message;
};

[[noreturn]] void Fail(int code, const std::string& message) { throw CExit{code, message}; }

std::string Json(const std::string& s) {
    std::string out = "\"";
    for (unsigned char c : s) {
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            default:
                if (c < 0x20) {
                    char buf[8];
                    std::snprintf(buf, sizeof buf, "\\u%04x", c);
                    out += buf;
                } else {
                    out += static_cast<char>(c);
                }
        }
    }
    return out + "\"";
}
std::string Json(const std::u16string& s) { return Json(Utf16ToUtf8(s)); }
std::string Json(const CRUid& id) { return Json(id.ToText()); }

CRUid ParseId(const std::string& text) {
    const auto id = CRUid::FromText(text);
    if (!id) Fail(kUsage, "not an identifier (32 hex digits): '" + text + "'");
    return *id;
}

long ParseNumber(const std::string& text, long lo, long hi, const char* what) {
    char* end = nullptr;
    const long v = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || *end || v < lo || v > hi)
        Fail(kUsage, std::string("invalid ") + what + " '" + text + "' (" + std::to_string(lo) +
                         "-" + std::to_string(hi) + ")");
    return v;
}

// What the client knows of the solution after opening sequences.
struct CMirror {
    std::map<CRUid, P::CSequence> sequences;  // from the greeting
    struct CTrack {
        CRUid idSequence;
        P::CTrack property;
        std::u16string sMml;
    };
    std::map<CRUid, CTrack> tracks;
    std::map<CRUid, P::CPort> ports;
    std::map<CRUid, std::pair<CRUid, std::shared_ptr<const P::CEventCommon>>> events;  // port, event

    void Apply(const CPtr& c) {
        if (auto s = std::dynamic_pointer_cast<const CCommandCreateSequence>(c)) {
            sequences[s->idSequence] = s->property;
        } else if (auto t = std::dynamic_pointer_cast<const CCommandCreateTrack>(c)) {
            tracks[t->idTrack] = {t->idSequence, t->property, tracks[t->idTrack].sMml};
        } else if (auto m = std::dynamic_pointer_cast<const CCommandTrackChangeMml>(c)) {
            tracks[m->idTrack].sMml = m->sMml;
        } else if (auto p = std::dynamic_pointer_cast<const CCommandCreatePort>(c)) {
            ports[p->idPort] = p->property;
        } else if (auto e = std::dynamic_pointer_cast<const CCommandCreateEvent>(c)) {
            for (const auto& ev : e->events) events[ev->idEvent] = {e->idPort, ev};
        }
    }
};

class CClient {
public:
    explicit CClient(const COptions& o) : m_options(o) {}

    void Connect() {
        if (!m_client.Connect(m_options.host, m_options.port))
            Fail(kConnection, m_client.Error());
        auto greeting = m_client.Register(m_options.visitor, Utf8ToUtf16(m_options.token),
                                          m_options.solution, m_options.timeout);
        if (!greeting) Fail(kConnection, m_client.Error());
        for (const auto& c : *greeting) {
            m_mirror.Apply(c);
            if (auto s = std::dynamic_pointer_cast<const CCommandCreateSequence>(c))
                m_order.push_back(s->idSequence);
        }
    }

    CRSeqClient::CCommands Request(const CRSeqClient::CCommands& commands) {
        auto got = m_client.Request(commands, m_options.timeout);
        if (!got) Fail(kConnection, m_client.Error());
        for (const auto& c : *got) m_mirror.Apply(c);
        return *got;
    }

    // Opens sequences (all known when `ids` is empty) so their content and changes arrive.
    CRSeqClient::CCommands Open(CRUidSet ids) {
        if (ids.empty())
            for (const auto& [id, _] : m_mirror.sequences) ids.insert(id);
        if (ids.empty()) return {};
        return Request({std::make_shared<CCommandOpenSequence>(ids)});
    }

    CMirror& Mirror() { return m_mirror; }
    const std::vector<CRUid>& SequenceOrder() const { return m_order; }
    CRSeqClient& Raw() { return m_client; }
    const COptions& Options() const { return m_options; }

private:
    COptions m_options;
    CRSeqClient m_client;
    CMirror m_mirror;
    std::vector<CRUid> m_order;
};

template <class T>
std::shared_ptr<const T> Find(const CRSeqClient::CCommands& commands) {
    for (const auto& c : commands)
        if (auto t = std::dynamic_pointer_cast<const T>(c)) return t;
    return nullptr;
}

std::string EventText(const P::CEventBase& e) {
    std::ostringstream s;
    if (auto n = dynamic_cast<const P::CEventNote*>(&e))
        s << "note " << int(n->nNote) << " " << int(n->nVelocity) << " " << n->nLength;
    else if (auto c = dynamic_cast<const P::CEventControlChange*>(&e))
        s << "cc " << int(c->nControl) << " " << int(c->nValue);
    else if (auto p = dynamic_cast<const P::CEventProgramChange*>(&e))
        s << "program " << int(p->nProgram);
    else if (auto b = dynamic_cast<const P::CEventPitchBend*>(&e))
        s << "bend " << b->nBend;
    else if (auto t = dynamic_cast<const P::CEventTempo*>(&e))
        s << "tempo " << t->dTempo;
    else if (auto m = dynamic_cast<const P::CEventMeter*>(&e))
        s << "meter " << int(m->nBeats) << " " << m->nBeatLength;
    else if (auto x = dynamic_cast<const P::CEventExclusive*>(&e)) {
        s << "sysex";
        char buf[4];
        for (uint8_t v : x->vData) std::snprintf(buf, sizeof buf, " %02x", v), s << buf;
    }
    return s.str();
}

// One event per line: "STEP KIND ARGS..." (see --help); '#' starts a comment.
P::CListEvent ParseEvents(std::istream& in) {
    P::CListEvent list;
    std::string line;
    int lineNo = 0;
    while (std::getline(in, line)) {
        ++lineNo;
        if (auto hash = line.find('#'); hash != std::string::npos) line.erase(hash);
        std::istringstream words(line);
        std::vector<std::string> w;
        for (std::string x; words >> x;) w.push_back(x);
        if (w.empty()) continue;
        auto bad = [&](const std::string& why) {
            Fail(kUsage, "events line " + std::to_string(lineNo) + ": " + why);
        };
        auto num = [&](size_t i, long lo, long hi) {
            if (i >= w.size()) bad("missing value");
            char* end = nullptr;
            const long v = std::strtol(w[i].c_str(), &end, 10);
            if (*end || v < lo || v > hi) bad("bad value '" + w[i] + "'");
            return v;
        };
        const auto step = static_cast<uint32_t>(num(0, 0, 0xFFFFFFFFL));
        if (w.size() < 2) bad("missing event kind");
        const std::string& kind = w[1];
        std::shared_ptr<const P::CEventBase> e;
        size_t expect = 0;
        if (kind == "note") {
            e = std::make_shared<P::CEventNote>(num(2, 0, 127), num(3, 0, 127), num(4, 0, 0xFFFFFFFFL));
            expect = 5;
        } else if (kind == "cc") {
            e = std::make_shared<P::CEventControlChange>(num(2, 0, 127), num(3, 0, 127));
            expect = 4;
        } else if (kind == "program") {
            e = std::make_shared<P::CEventProgramChange>(num(2, 0, 127));
            expect = 3;
        } else if (kind == "bend") {
            e = std::make_shared<P::CEventPitchBend>(static_cast<int16_t>(num(2, -8192, 8191)));
            expect = 3;
        } else if (kind == "tempo") {
            if (w.size() < 3) bad("missing tempo");
            char* end = nullptr;
            const double t = std::strtod(w[2].c_str(), &end);
            if (*end || !(t > 0 && t < 10000)) bad("bad tempo '" + w[2] + "'");
            e = std::make_shared<P::CEventTempo>(t);
            expect = 3;
        } else if (kind == "meter") {
            e = std::make_shared<P::CEventMeter>(num(2, 1, 255), num(3, 1, 65535));
            expect = 4;
        } else if (kind == "sysex") {
            CRBytes data;
            for (size_t i = 2; i < w.size(); ++i) {
                char* end = nullptr;
                const long v = std::strtol(w[i].c_str(), &end, 16);
                if (*end || v < 0 || v > 255) bad("bad byte '" + w[i] + "'");
                data.push_back(static_cast<uint8_t>(v));
            }
            e = std::make_shared<P::CEventExclusive>(std::move(data));
            expect = w.size();
        } else {
            bad("unknown event kind '" + kind + "'");
        }
        if (w.size() != expect) bad("wrong number of values for '" + kind + "'");
        list.Insert(step, e);
    }
    return list;
}

std::string ReadInput(const std::string& file) {
    if (file == "-") {
        std::ostringstream s;
        s << std::cin.rdbuf();
        return s.str();
    }
    std::ifstream in(file, std::ios::binary);
    if (!in) Fail(kUsage, "cannot read '" + file + "'");
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void PrintUsage() {
    std::puts(
        "Usage: palvorctl [options] COMMAND [ARGS...]\n"
        "\n"
        "Options:\n"
        "  --host HOST        server host (default 127.0.0.1)\n"
        "  --port PORT        server port (default 4000)\n"
        "  --visitor N        visitor number (default 0)\n"
        "  --token TEXT       visitor's access token\n"
        "  --solution N       solution number (default 0)\n"
        "  --timeout SECONDS  how long to wait for the server (default 15)\n"
        "  --json             machine-readable output\n"
        "\n"
        "Commands:\n"
        "  ls                                  list the solution's sequences\n"
        "  create-seq TITLE                    create a sequence, print its id\n"
        "  open SEQ...                         print tracks, MML, ports and events\n"
        "  add-track SEQ TITLE                 create a track, print its id\n"
        "  set-title ID TITLE                  rename a sequence or a track\n"
        "  set-mml TRACK FILE|-                replace a track's MML text\n"
        "  add-port TRACK TITLE INSTRUMENT CHANNEL\n"
        "                                      create a port, print its id\n"
        "  set-port PORT [--enable|--disable] [--instrument NAME] [--channel N]\n"
        "  add-events PORT FILE|-              add events, one per line:\n"
        "        STEP note NOTE VELOCITY LENGTH | STEP cc CONTROL VALUE | STEP program N\n"
        "        STEP bend VALUE | STEP tempo BPM | STEP meter BEATS BEATLENGTH\n"
        "        STEP sysex HEXBYTE...          ('#' starts a comment)\n"
        "  compile TRACK                       compile a track's MML (exit 1 when it fails)\n"
        "  import SEQ FILE.mid [--instrument NAME]\n"
        "                                      import a Standard MIDI File into a sequence\n"
        "  export SEQ [-o FILE.mid]            export a sequence as a Standard MIDI File\n"
        "  delete ID...                        delete items with everything below them\n"
        "  watch [SEQ...]                      print every command received (opens SEQs, or all)\n"
        "  echo                                round trip to the server\n"
        "\n"
        "Identifiers are 32 hex digits. Exit codes: 0 done, 1 not applied by the server,\n"
        "2 usage, 3 connection or registration failed, 4 unknown identifier.");
}

std::string KindOf(const CPtr& c) {
    const std::string_view name = CProtocol::ClassName(c->GetSerializeId());
    return std::string(name.substr(name.rfind(':') + 1));
}

std::string Describe(const CPtr& c) {
    std::ostringstream s;
    if (auto x = std::dynamic_pointer_cast<const CCommandCreateSequence>(c))
        s << x->idSequence.ToText() << " " << Utf16ToUtf8(x->property.sTitle);
    else if (auto x = std::dynamic_pointer_cast<const CCommandCreateTrack>(c))
        s << x->idTrack.ToText() << " in " << x->idSequence.ToText() << " "
          << Utf16ToUtf8(x->property.sTitle);
    else if (auto x = std::dynamic_pointer_cast<const CCommandTrackChangeMml>(c))
        s << x->idTrack.ToText() << " " << x->sMml.size() << " characters";
    else if (auto x = std::dynamic_pointer_cast<const CCommandCreatePort>(c))
        s << x->idPort.ToText() << " on " << x->property.idTrack.ToText() << " "
          << Utf16ToUtf8(x->property.sTitle);
    else if (auto x = std::dynamic_pointer_cast<const CCommandCreateEvent>(c))
        s << x->idPort.ToText() << " " << x->events.size() << " events";
    else if (auto x = std::dynamic_pointer_cast<const CCommandChangedSequenceProperty>(c))
        s << x->idSequence.ToText() << " " << Utf16ToUtf8(x->property.sTitle);
    else if (auto x = std::dynamic_pointer_cast<const CCommandChangedTrackProperty>(c))
        s << x->idTrack.ToText() << " " << Utf16ToUtf8(x->property.sTitle);
    else if (auto x = std::dynamic_pointer_cast<const CCommandChangedPortProperty>(c))
        s << x->idPort.ToText() << " " << Utf16ToUtf8(x->property.sInstrument) << " ch "
          << int(x->property.nChannel) << (x->property.bEnable ? " enabled" : " disabled");
    else if (auto x = std::dynamic_pointer_cast<const CCommandDeleted>(c))
        s << x->setSequence.size() << " sequences, " << x->setTrack.size() << " tracks, "
          << x->setPort.size() << " ports, " << x->setEvent.size() << " events";
    else if (auto x = std::dynamic_pointer_cast<const CCommandOpenSequence>(c))
        s << x->idSet.size() << " sequences";
    return s.str();
}

volatile std::sig_atomic_t g_stop = 0;

int Run(const COptions& options, const std::vector<std::string>& args) {
    const std::string& cmd = args[0];
    auto need = [&](size_t n, const char* usage) {
        if (args.size() < n + 1) Fail(kUsage, std::string("usage: palvorctl ") + usage);
    };
    CClient client(options);
    client.Connect();
    auto& mirror = client.Mirror();

    if (cmd == "ls") {
        if (options.json) {
            std::string out = "[";
            for (size_t i = 0; i < client.SequenceOrder().size(); ++i) {
                const auto& id = client.SequenceOrder()[i];
                out += (i ? "," : "") + std::string("{\"id\":") + Json(id) +
                       ",\"title\":" + Json(mirror.sequences[id].sTitle) + "}";
            }
            std::puts((out + "]").c_str());
        } else {
            for (const auto& id : client.SequenceOrder())
                std::printf("%s %s\n", id.ToText().c_str(),
                            Utf16ToUtf8(mirror.sequences[id].sTitle).c_str());
        }
        return kOk;
    }
    if (cmd == "echo") {
        const auto t0 = std::chrono::steady_clock::now();
        client.Request({});
        const double ms = std::chrono::duration<double, std::milli>(
                              std::chrono::steady_clock::now() - t0)
                              .count();
        if (options.json) std::printf("{\"roundTripMs\":%.3f}\n", ms);
        else std::printf("echo answered in %.3f ms\n", ms);
        return kOk;
    }
    if (cmd == "create-seq") {
        need(1, "create-seq TITLE");
        const CRUid id = CRUid::Generate();
        const auto got = client.Request({std::make_shared<CCommandCreateSequence>(
            id, P::CSequence(Utf8ToUtf16(args[1])))});
        const auto created = Find<CCommandCreateSequence>(got);
        if (!created || created->idSequence != id) Fail(kFailed, "the sequence was not created");
        std::puts(options.json ? ("{\"id\":" + Json(id) + "}").c_str() : id.ToText().c_str());
        return kOk;
    }
    if (cmd == "open") {
        CRUidSet ids;
        for (size_t i = 1; i < args.size(); ++i) ids.insert(ParseId(args[i]));
        if (ids.empty()) Fail(kUsage, "usage: palvorctl open SEQ...");
        for (const auto& id : ids)
            if (!mirror.sequences.count(id)) Fail(kUnknownId, "unknown sequence " + id.ToText());
        client.Open(ids);
        std::string json = "[";
        bool firstSeq = true;
        for (const auto& idSeq : ids) {
            const auto& seq = mirror.sequences[idSeq];
            if (options.json) {
                json += (firstSeq ? "" : ",") + std::string("{\"id\":") + Json(idSeq) +
                        ",\"title\":" + Json(seq.sTitle) + ",\"tracks\":[";
            } else {
                std::printf("sequence %s %s\n", idSeq.ToText().c_str(), Utf16ToUtf8(seq.sTitle).c_str());
            }
            firstSeq = false;
            bool firstTrack = true;
            for (const auto& [idTrack, track] : mirror.tracks) {
                if (track.idSequence != idSeq) continue;
                if (options.json) {
                    json += (firstTrack ? "" : ",") + std::string("{\"id\":") + Json(idTrack) +
                            ",\"title\":" + Json(track.property.sTitle) + ",\"mml\":" +
                            Json(track.sMml) + ",\"ports\":[";
                } else {
                    std::printf("  track %s %s\n", idTrack.ToText().c_str(),
                                Utf16ToUtf8(track.property.sTitle).c_str());
                    if (!track.sMml.empty()) {
                        std::istringstream mml(Utf16ToUtf8(track.sMml));
                        for (std::string l; std::getline(mml, l);) std::printf("    | %s\n", l.c_str());
                    }
                }
                firstTrack = false;
                bool firstPort = true;
                for (const auto& [idPort, port] : mirror.ports) {
                    if (port.idTrack != idTrack) continue;
                    std::vector<std::shared_ptr<const P::CEventCommon>> events;
                    for (const auto& [idEvent, e] : mirror.events)
                        if (e.first == idPort) events.push_back(e.second);
                    std::stable_sort(events.begin(), events.end(),
                                     [](const auto& a, const auto& b) { return a->nStep < b->nStep; });
                    if (options.json) {
                        json += (firstPort ? "" : ",") + std::string("{\"id\":") + Json(idPort) +
                                ",\"title\":" + Json(port.sTitle) + ",\"instrument\":" +
                                Json(port.sInstrument) + ",\"channel\":" +
                                std::to_string(port.nChannel) + ",\"enabled\":" +
                                (port.bEnable ? "true" : "false") + ",\"events\":[";
                        for (size_t i = 0; i < events.size(); ++i)
                            json += (i ? "," : "") + std::string("{\"id\":") +
                                    Json(events[i]->idEvent) + ",\"step\":" +
                                    std::to_string(events[i]->nStep) + ",\"event\":" +
                                    Json(EventText(*events[i]->property)) + "}";
                        json += "]}";
                    } else {
                        std::printf("    port %s %s -> %s ch %d%s\n", idPort.ToText().c_str(),
                                    Utf16ToUtf8(port.sTitle).c_str(),
                                    Utf16ToUtf8(port.sInstrument).c_str(), port.nChannel,
                                    port.bEnable ? "" : " (disabled)");
                        for (const auto& e : events)
                            std::printf("      %s %u %s\n", e->idEvent.ToText().c_str(), e->nStep,
                                        EventText(*e->property).c_str());
                    }
                    firstPort = false;
                }
                if (options.json) json += "]}";
            }
            if (options.json) json += "]}";
        }
        if (options.json) std::puts((json + "]").c_str());
        return kOk;
    }
    if (cmd == "add-track") {
        need(2, "add-track SEQ TITLE");
        const CRUid idSeq = ParseId(args[1]);
        if (!mirror.sequences.count(idSeq)) Fail(kUnknownId, "unknown sequence " + idSeq.ToText());
        client.Open({idSeq});
        const CRUid id = CRUid::Generate();
        const auto got = client.Request(
            {std::make_shared<CCommandCreateTrack>(id, idSeq, P::CTrack(Utf8ToUtf16(args[2])))});
        const auto created = Find<CCommandCreateTrack>(got);
        if (!created || created->idTrack != id) Fail(kFailed, "the track was not created");
        std::puts(options.json ? ("{\"id\":" + Json(id) + "}").c_str() : id.ToText().c_str());
        return kOk;
    }
    if (cmd == "set-title") {
        need(2, "set-title ID TITLE");
        const CRUid id = ParseId(args[1]);
        const std::u16string title = Utf8ToUtf16(args[2]);
        if (mirror.sequences.count(id)) {
            if (mirror.sequences[id].sTitle == title) return kOk;
            const auto got = client.Request({std::make_shared<CCommandSetSequenceTitle>(id, title)});
            if (!Find<CCommandChangedSequenceProperty>(got)) Fail(kFailed, "the title was not changed");
            return kOk;
        }
        client.Open({});
        if (!mirror.tracks.count(id)) Fail(kUnknownId, "no sequence or track " + id.ToText());
        if (mirror.tracks[id].property.sTitle == title) return kOk;
        const auto got = client.Request({std::make_shared<CCommandSetTrackTitle>(id, title)});
        if (!Find<CCommandChangedTrackProperty>(got)) Fail(kFailed, "the title was not changed");
        return kOk;
    }
    if (cmd == "set-mml") {
        need(2, "set-mml TRACK FILE|-");
        const CRUid id = ParseId(args[1]);
        const std::u16string mml = Utf8ToUtf16(ReadInput(args[2]));
        client.Open({});
        if (!mirror.tracks.count(id)) Fail(kUnknownId, "unknown track " + id.ToText());
        if (mirror.tracks[id].sMml == mml) {
            if (!options.json) std::puts("unchanged");
            return kOk;
        }
        const auto got = client.Request({std::make_shared<CCommandTrackChangeMml>(id, mml)});
        if (!Find<CCommandTrackChangeMml>(got)) Fail(kFailed, "the MML was not changed");
        return kOk;
    }
    if (cmd == "add-port") {
        need(4, "add-port TRACK TITLE INSTRUMENT CHANNEL");
        const CRUid idTrack = ParseId(args[1]);
        const auto channel = static_cast<uint8_t>(ParseNumber(args[4], 0, 15, "channel"));
        client.Open({});
        if (!mirror.tracks.count(idTrack)) Fail(kUnknownId, "unknown track " + idTrack.ToText());
        const CRUid id = CRUid::Generate();
        const auto got = client.Request({std::make_shared<CCommandCreatePort>(
            id, P::CPort(idTrack, Utf8ToUtf16(args[2]), Utf8ToUtf16(args[3]), channel))});
        const auto created = Find<CCommandCreatePort>(got);
        if (!created || created->idPort != id) Fail(kFailed, "the port was not created");
        std::puts(options.json ? ("{\"id\":" + Json(id) + "}").c_str() : id.ToText().c_str());
        return kOk;
    }
    if (cmd == "set-port") {
        need(1, "set-port PORT [--enable|--disable] [--instrument NAME] [--channel N]");
        const CRUid id = ParseId(args[1]);
        std::optional<bool> enable;
        std::optional<std::u16string> instrument;
        std::optional<uint8_t> channel;
        for (size_t i = 2; i < args.size(); ++i) {
            if (args[i] == "--enable") enable = true;
            else if (args[i] == "--disable") enable = false;
            else if (args[i] == "--instrument" && i + 1 < args.size()) instrument = Utf8ToUtf16(args[++i]);
            else if (args[i] == "--channel" && i + 1 < args.size())
                channel = static_cast<uint8_t>(ParseNumber(args[++i], 0, 15, "channel"));
            else Fail(kUsage, "set-port: unexpected '" + args[i] + "'");
        }
        if (!enable && !instrument && !channel) Fail(kUsage, "set-port: nothing to change");
        client.Open({});
        if (!mirror.ports.count(id)) Fail(kUnknownId, "unknown port " + id.ToText());
        const P::CPort port = mirror.ports[id];
        CRSeqClient::CCommands commands;
        if (enable && *enable != port.bEnable)
            commands.push_back(std::make_shared<CCommandSetPortEnable>(id, *enable));
        if ((instrument && *instrument != port.sInstrument) || (channel && *channel != port.nChannel))
            commands.push_back(std::make_shared<CCommandPortChangeInstrument>(
                id, instrument.value_or(port.sInstrument), channel.value_or(port.nChannel)));
        if (commands.empty()) return kOk;
        const auto got = client.Request(commands);
        if (!Find<CCommandChangedPortProperty>(got)) Fail(kFailed, "the port was not changed");
        return kOk;
    }
    if (cmd == "add-events") {
        need(2, "add-events PORT FILE|-");
        const CRUid id = ParseId(args[1]);
        std::istringstream text(ReadInput(args[2]));
        const P::CListEvent events = ParseEvents(text);
        if (events.empty()) Fail(kUsage, "no events in the input");
        client.Open({});
        if (!mirror.ports.count(id)) Fail(kUnknownId, "unknown port " + id.ToText());
        const auto got = client.Request({std::make_shared<CCommandCreateEvent>(id, events)});
        if (!Find<CCommandCreateEvent>(got)) Fail(kFailed, "the events were not stored");
        if (options.json) {
            std::string out = "[";
            bool first = true;
            for (const auto& e : events) out += (first ? "" : ",") + Json(e->idEvent), first = false;
            std::puts((out + "]").c_str());
        } else {
            for (const auto& e : events) std::puts(e->idEvent.ToText().c_str());
        }
        return kOk;
    }
    if (cmd == "compile") {
        need(1, "compile TRACK");
        const CRUid id = ParseId(args[1]);
        client.Open({});
        if (!mirror.tracks.count(id)) Fail(kUnknownId, "unknown track " + id.ToText());
        const auto got = client.Request({std::make_shared<CCommandTrackCompileMml>(id)});
        const auto done = Find<CCommandTrackCompiledMml>(got);
        if (!done) Fail(kFailed, "the server did not answer the compile");
        size_t ports = 0, events = 0, removed = 0;
        for (const auto& c : got) {
            if (std::dynamic_pointer_cast<const CCommandCreatePort>(c)) ++ports;
            if (auto e = std::dynamic_pointer_cast<const CCommandCreateEvent>(c)) events += e->events.size();
            if (auto d = std::dynamic_pointer_cast<const CCommandDeleted>(c)) removed += d->setEvent.size();
        }
        if (options.json) {
            std::string out = "{\"messages\":[";
            for (size_t i = 0; i < done->vMessages.size(); ++i)
                out += (i ? "," : "") + Json(done->vMessages[i]);
            std::printf("%s],\"portsCreated\":%zu,\"eventsCreated\":%zu,\"eventsRemoved\":%zu}\n",
                        out.c_str(), ports, events, removed);
        } else {
            for (const auto& m : done->vMessages) std::printf("%s\n", Utf16ToUtf8(m).c_str());
            std::printf("%zu ports created, %zu events created, %zu events removed\n", ports, events,
                        removed);
        }
        // A compile that went through ends its messages with "コンパイル完了"; a fatal error
        // ends them with its own message and changes nothing.
        const bool completed = !done->vMessages.empty() && done->vMessages.back() == u"コンパイル完了";
        return completed ? kOk : kFailed;
    }
    if (cmd == "import") {
        need(2, "import SEQ FILE.mid [--instrument NAME]");
        const CRUid idSeq = ParseId(args[1]);
        std::u16string instrument;
        for (size_t i = 3; i < args.size(); ++i) {
            if (args[i] == "--instrument" && i + 1 < args.size()) instrument = Utf8ToUtf16(args[++i]);
            else Fail(kUsage, "import: unexpected '" + args[i] + "'");
        }
        const std::string data = ReadInput(args[2]);
        if (!mirror.sequences.count(idSeq)) Fail(kUnknownId, "unknown sequence " + idSeq.ToText());
        client.Open({idSeq});
        const auto got = client.Request({std::make_shared<CCommandLoadSmf>(
            CRBytes(data.begin(), data.end()), idSeq, instrument, CRUidList{})});
        size_t tracks = 0, ports = 0, events = 0;
        for (const auto& c : got) {
            if (std::dynamic_pointer_cast<const CCommandCreateTrack>(c)) ++tracks;
            if (std::dynamic_pointer_cast<const CCommandCreatePort>(c)) ++ports;
            if (auto e = std::dynamic_pointer_cast<const CCommandCreateEvent>(c)) events += e->events.size();
        }
        if (tracks == 0) Fail(kFailed, "the file was not imported (not a readable MIDI file?)");
        if (options.json)
            std::printf("{\"tracks\":%zu,\"ports\":%zu,\"events\":%zu}\n", tracks, ports, events);
        else
            std::printf("imported %zu tracks, %zu ports, %zu events\n", tracks, ports, events);
        return kOk;
    }
    if (cmd == "export") {
        need(1, "export SEQ [-o FILE.mid]");
        const CRUid idSeq = ParseId(args[1]);
        std::string out = "-";
        for (size_t i = 2; i < args.size(); ++i) {
            if ((args[i] == "-o" || args[i] == "--output") && i + 1 < args.size()) out = args[++i];
            else Fail(kUsage, "export: unexpected '" + args[i] + "'");
        }
        if (!mirror.sequences.count(idSeq)) Fail(kUnknownId, "unknown sequence " + idSeq.ToText());
        const CRUid request = CRUid::Generate();
        const auto got = client.Request({std::make_shared<CCommandExportSmf>(request, idSeq)});
        std::shared_ptr<const CCommandExportedSmf> answer;
        for (const auto& c : got)
            if (auto e = std::dynamic_pointer_cast<const CCommandExportedSmf>(c); e && e->idRequest == request)
                answer = e;
        if (!answer) Fail(kFailed, "the server did not answer the export");
        if (answer->vSmf.empty()) Fail(kFailed, "the server could not render the sequence");
        if (out == "-") {
            std::fwrite(answer->vSmf.data(), 1, answer->vSmf.size(), stdout);
        } else {
            std::ofstream file(out, std::ios::binary);
            file.write(reinterpret_cast<const char*>(answer->vSmf.data()),
                       static_cast<std::streamsize>(answer->vSmf.size()));
            if (!file) Fail(kUsage, "cannot write '" + out + "'");
            if (options.json) std::printf("{\"bytes\":%zu}\n", answer->vSmf.size());
            else std::printf("wrote %zu bytes to %s\n", answer->vSmf.size(), out.c_str());
        }
        return kOk;
    }
    if (cmd == "delete") {
        need(1, "delete ID...");
        CRUidSet ids;
        for (size_t i = 1; i < args.size(); ++i) ids.insert(ParseId(args[i]));
        const auto got = client.Request({std::make_shared<CCommandDelete>(ids)});
        const auto deleted = Find<CCommandDeleted>(got);
        if (!deleted) Fail(kUnknownId, "nothing matched the given identifiers");
        auto list = [&](const char* name, const CRUidSet& set) {
            std::string out = std::string("\"") + name + "\":[";
            bool first = true;
            for (const auto& id : set) {
                if (!first) out += ',';
                out += Json(id);
                first = false;
            }
            return out + "]";
        };
        if (options.json)
            std::printf("{%s,%s,%s,%s}\n", list("sequences", deleted->setSequence).c_str(),
                        list("tracks", deleted->setTrack).c_str(), list("ports", deleted->setPort).c_str(),
                        list("events", deleted->setEvent).c_str());
        else
            std::printf("deleted %s\n", Describe(deleted).c_str());
        return kOk;
    }
    if (cmd == "watch") {
        CRUidSet ids;
        for (size_t i = 1; i < args.size(); ++i) ids.insert(ParseId(args[i]));
        auto print = [&](const CRSeqClient::CCommands& commands) {
            for (const auto& c : commands) {
                if (options.json)
                    std::printf("{\"command\":%s,\"text\":%s}\n", Json(KindOf(c)).c_str(),
                                Json(Describe(c)).c_str());
                else
                    std::printf("%s %s\n", KindOf(c).c_str(), Describe(c).c_str());
            }
            std::fflush(stdout);
        };
        print(client.Open(ids));  // the opened sequences' content first
        while (!g_stop) {
            auto got = client.Raw().Receive(std::chrono::milliseconds(200));
            if (got) {
                print(*got);
            } else if (!client.Raw().IsConnected()) {
                Fail(kConnection, client.Raw().Error());
            }
        }
        return kOk;
    }
    Fail(kUsage, "unknown command '" + cmd + "' (see --help)");
}

}  // namespace

int main(int argc, char** argv) {
    COptions options;
    std::vector<std::string> args;
    try {
        for (int i = 1; i < argc; ++i) {
            const std::string a = argv[i];
            auto value = [&]() -> std::string {
                if (i + 1 >= argc) Fail(kUsage, a + " needs a value");
                return argv[++i];
            };
            if (!args.empty()) {
                args.push_back(a);
            } else if (a == "--help" || a == "-h") {
                PrintUsage();
                return kOk;
            } else if (a == "--host") {
                options.host = value();
            } else if (a == "--port") {
                options.port = static_cast<uint16_t>(ParseNumber(value(), 1, 65535, "port"));
            } else if (a == "--visitor") {
                options.visitor = static_cast<uint32_t>(ParseNumber(value(), 0, 0x7FFFFFFFL, "visitor"));
            } else if (a == "--token") {
                options.token = value();
            } else if (a == "--solution") {
                options.solution = static_cast<uint32_t>(ParseNumber(value(), 0, 0xFFFFFFFFL, "solution"));
            } else if (a == "--timeout") {
                options.timeout = std::chrono::milliseconds(1000 * ParseNumber(value(), 1, 3600, "timeout"));
            } else if (a == "--json") {
                options.json = true;
            } else if (a.size() > 1 && a[0] == '-') {
                Fail(kUsage, "unknown option '" + a + "'");
            } else {
                args.push_back(a);
            }
        }
        if (args.empty()) Fail(kUsage, "no command given (see --help)");
        std::signal(SIGINT, [](int) { g_stop = 1; });
        std::signal(SIGTERM, [](int) { g_stop = 1; });
        return Run(options, args);
    } catch (const CExit& e) {
        if (options.json)
            std::printf("{\"error\":%s,\"code\":%d}\n", Json(e.message).c_str(), e.code);
        std::fprintf(stderr, "palvorctl: %s\n", e.message.c_str());
        return e.code;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "palvorctl: %s\n", e.what());
        return kFailed;
    }
}
