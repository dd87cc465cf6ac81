// palvorctl: a command-line client of the sequencer server for people and scripts.
// Every request is followed by an echo, so when the command returns the server has
// handled it; success is judged from what the server broadcast back.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "model/SeqProperty.h"
#include "runtime/RString.h"
#include "server/RSocket.h"
#include "App/cli/Cli.h"
#include "tools/cli/Session.h"
#include "tools/render/RollSources.h"

using namespace DUve;
using namespace DUve::Cli;
using namespace DUve::Sequencer;
using namespace DUve::Sequencer::CProtocol;
namespace P = DUve::CRSeq::Property;

namespace {

constexpr const char* kProgram = "palvorctl";
// A file given to a command goes to the server in one frame.
constexpr size_t kMaxInput = CRSocket::kMaxPayload;

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
            e = std::make_shared<P::CEventNote>(num(2, 0, 127), num(3, 0, 127),
                                                num(4, 0, 0xFFFFFFFFL));
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
        "  -h, --help         print help (of a command, after its name)\n"
        "  --version          print the version and exit\n"
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
        "  render SEQ --png FILE [--width N]   draw a sequence as a piano roll (PNG)\n"
        "  delete ID...                        delete items with everything below them\n"
        "  watch [SEQ...]                      print every command received (opens SEQs, or all)\n"
        "  echo                                round trip to the server\n"
        "\n"
        "Identifiers are 32 hex digits. Exit codes: 0 done, 1 not applied by the server,\n"
        "2 usage, 3 connection or registration failed, 4 unknown identifier.\n"
        "'COMMAND --help' describes one command.");
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

// The arguments of every command, as typed; each command reads its own.
struct CArgs {
    std::string sId;                // the first identifier
    std::vector<std::string> vIds;  // open, delete, watch
    std::string sTitle;
    std::string sFile;  // set-mml, add-events, import
    std::string sInstrument;
    std::string sChannel;
    std::string sOutput = "-";  // export
    std::string sPng;           // render
    std::string sWidth;         // render
    bool bEnable = false;       // set-port
    const CLI::Option* pEnable = nullptr;
    const CLI::Option* pInstrument = nullptr;
    const CLI::Option* pChannel = nullptr;
};

using CHandler = std::function<int(CSession&, const CConnection&, const CArgs&)>;

// One command: its name, its arguments as usage lines show them, what it does, how its
// arguments are declared, and what it runs once connected.
struct CCommand {
    const char* szName;
    const char* szArgs;
    const char* szHelp;
    std::function<void(CLI::App&, CArgs&)> declare;
    CHandler run;
};

bool Given(const CLI::Option* p) {
    return p && p->count() > 0;
}

void PrintId(const CRUid& id, bool bJson) {
    if (bJson)
        PrintJson(CJson{{"id", ToJson(id)}});
    else
        std::puts(id.ToText().c_str());
}

int RunLs(CSession& session, const CConnection& c, const CArgs&) {
    auto& mirror = session.Mirror();
    if (c.bJson) {
        CJson out = CJson::array();
        for (const auto& id : session.SequenceOrder())
            out.push_back({{"id", ToJson(id)}, {"title", ToJson(mirror.sequences[id].sTitle)}});
        PrintJson(out);
    } else {
        for (const auto& id : session.SequenceOrder())
            std::printf("%s %s\n", id.ToText().c_str(),
                        Utf16ToUtf8(mirror.sequences[id].sTitle).c_str());
    }
    return kOk;
}

int RunEcho(CSession& session, const CConnection& c, const CArgs&) {
    const auto t0 = std::chrono::steady_clock::now();
    session.Request({});
    const double ms =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
    if (c.bJson)
        PrintJson(CJson{{"roundTripMs", std::round(ms * 1000.0) / 1000.0}});
    else
        std::printf("echo answered in %.3f ms\n", ms);
    return kOk;
}

int RunCreateSeq(CSession& session, const CConnection& c, const CArgs& a) {
    const CRUid id = CRUid::Generate();
    const auto got = session.Request(
        {std::make_shared<CCommandCreateSequence>(id, P::CSequence(Utf8ToUtf16(a.sTitle)))});
    const auto created = Find<CCommandCreateSequence>(got);
    if (!created || created->idSequence != id) Fail(kFailed, "the sequence was not created");
    PrintId(id, c.bJson);
    return kOk;
}

// The events of a port in step order (equal steps in identifier order).
std::vector<std::shared_ptr<const P::CEventCommon>> EventsOfPort(const CMirror& mirror,
                                                                 const CRUid& idPort) {
    std::vector<std::shared_ptr<const P::CEventCommon>> events;
    for (const auto& [idEvent, e] : mirror.events)
        if (e.first == idPort) events.push_back(e.second);
    std::stable_sort(events.begin(), events.end(),
                     [](const auto& a, const auto& b) { return a->nStep < b->nStep; });
    return events;
}

int RunOpen(CSession& session, const CConnection& c, const CArgs& a) {
    CRUidSet ids;
    for (const auto& s : a.vIds) ids.insert(ParseId(s));
    auto& mirror = session.Mirror();
    for (const auto& id : ids)
        if (!mirror.sequences.count(id)) Fail(kUnknownId, "unknown sequence " + id.ToText());
    session.Open(ids);
    CJson json = CJson::array();
    for (const auto& idSeq : ids) {
        const auto& seq = mirror.sequences[idSeq];
        CJson jsonTracks = CJson::array();
        if (!c.bJson)
            std::printf("sequence %s %s\n", idSeq.ToText().c_str(),
                        Utf16ToUtf8(seq.sTitle).c_str());
        for (const auto& [idTrack, track] : mirror.tracks) {
            if (track.idSequence != idSeq) continue;
            if (!c.bJson) {
                std::printf("  track %s %s\n", idTrack.ToText().c_str(),
                            Utf16ToUtf8(track.property.sTitle).c_str());
                if (!track.sMml.empty()) {
                    std::istringstream mml(Utf16ToUtf8(track.sMml));
                    for (std::string l; std::getline(mml, l);) std::printf("    | %s\n", l.c_str());
                }
            }
            CJson jsonPorts = CJson::array();
            for (const auto& [idPort, port] : mirror.ports) {
                if (port.idTrack != idTrack) continue;
                const auto events = EventsOfPort(mirror, idPort);
                if (c.bJson) {
                    CJson jsonEvents = CJson::array();
                    for (const auto& e : events)
                        jsonEvents.push_back({{"id", ToJson(e->idEvent)},
                                              {"step", e->nStep},
                                              {"event", EventText(*e->property)}});
                    jsonPorts.push_back({{"id", ToJson(idPort)},
                                         {"title", ToJson(port.sTitle)},
                                         {"instrument", ToJson(port.sInstrument)},
                                         {"channel", unsigned(port.nChannel)},
                                         {"enabled", port.bEnable},
                                         {"events", std::move(jsonEvents)}});
                } else {
                    std::printf("    port %s %s -> %s ch %d%s\n", idPort.ToText().c_str(),
                                Utf16ToUtf8(port.sTitle).c_str(),
                                Utf16ToUtf8(port.sInstrument).c_str(), port.nChannel,
                                port.bEnable ? "" : " (disabled)");
                    for (const auto& e : events)
                        std::printf("      %s %u %s\n", e->idEvent.ToText().c_str(), e->nStep,
                                    EventText(*e->property).c_str());
                }
            }
            jsonTracks.push_back({{"id", ToJson(idTrack)},
                                  {"title", ToJson(track.property.sTitle)},
                                  {"mml", ToJson(track.sMml)},
                                  {"ports", std::move(jsonPorts)}});
        }
        json.push_back({{"id", ToJson(idSeq)},
                        {"title", ToJson(seq.sTitle)},
                        {"tracks", std::move(jsonTracks)}});
    }
    if (c.bJson) PrintJson(json);
    return kOk;
}

int RunAddTrack(CSession& session, const CConnection& c, const CArgs& a) {
    const CRUid idSeq = ParseId(a.sId);
    if (!session.Mirror().sequences.count(idSeq))
        Fail(kUnknownId, "unknown sequence " + idSeq.ToText());
    session.Open({idSeq});
    const CRUid id = CRUid::Generate();
    const auto got = session.Request(
        {std::make_shared<CCommandCreateTrack>(id, idSeq, P::CTrack(Utf8ToUtf16(a.sTitle)))});
    const auto created = Find<CCommandCreateTrack>(got);
    if (!created || created->idTrack != id) Fail(kFailed, "the track was not created");
    PrintId(id, c.bJson);
    return kOk;
}

int RunSetTitle(CSession& session, const CConnection&, const CArgs& a) {
    const CRUid id = ParseId(a.sId);
    const std::u16string title = Utf8ToUtf16(a.sTitle);
    auto& mirror = session.Mirror();
    if (mirror.sequences.count(id)) {
        if (mirror.sequences[id].sTitle == title) return kOk;
        const auto got = session.Request({std::make_shared<CCommandSetSequenceTitle>(id, title)});
        if (!Find<CCommandChangedSequenceProperty>(got)) Fail(kFailed, "the title was not changed");
        return kOk;
    }
    session.Open({});
    if (!mirror.tracks.count(id)) Fail(kUnknownId, "no sequence or track " + id.ToText());
    if (mirror.tracks[id].property.sTitle == title) return kOk;
    const auto got = session.Request({std::make_shared<CCommandSetTrackTitle>(id, title)});
    if (!Find<CCommandChangedTrackProperty>(got)) Fail(kFailed, "the title was not changed");
    return kOk;
}

int RunSetMml(CSession& session, const CConnection& c, const CArgs& a) {
    const CRUid id = ParseId(a.sId);
    const std::u16string mml = Utf8ToUtf16(ReadInput(a.sFile, kMaxInput));
    auto& mirror = session.Mirror();
    session.Open({});
    if (!mirror.tracks.count(id)) Fail(kUnknownId, "unknown track " + id.ToText());
    if (mirror.tracks[id].sMml == mml) {
        if (!c.bJson) std::puts("unchanged");
        return kOk;
    }
    const auto got = session.Request({std::make_shared<CCommandTrackChangeMml>(id, mml)});
    if (!Find<CCommandTrackChangeMml>(got)) Fail(kFailed, "the MML was not changed");
    return kOk;
}

int RunAddPort(CSession& session, const CConnection& c, const CArgs& a) {
    const CRUid idTrack = ParseId(a.sId);
    const auto channel = static_cast<uint8_t>(ParseNumber(a.sChannel, 0, 15, "channel"));
    session.Open({});
    if (!session.Mirror().tracks.count(idTrack))
        Fail(kUnknownId, "unknown track " + idTrack.ToText());
    const CRUid id = CRUid::Generate();
    const auto got = session.Request({std::make_shared<CCommandCreatePort>(
        id, P::CPort(idTrack, Utf8ToUtf16(a.sTitle), Utf8ToUtf16(a.sInstrument), channel))});
    const auto created = Find<CCommandCreatePort>(got);
    if (!created || created->idPort != id) Fail(kFailed, "the port was not created");
    PrintId(id, c.bJson);
    return kOk;
}

int RunSetPort(CSession& session, const CConnection&, const CArgs& a) {
    const CRUid id = ParseId(a.sId);
    std::optional<bool> enable;
    std::optional<std::u16string> instrument;
    std::optional<uint8_t> channel;
    if (Given(a.pEnable)) enable = a.bEnable;
    if (Given(a.pInstrument)) instrument = Utf8ToUtf16(a.sInstrument);
    if (Given(a.pChannel))
        channel = static_cast<uint8_t>(ParseNumber(a.sChannel, 0, 15, "channel"));
    if (!enable && !instrument && !channel) Fail(kUsage, "set-port: nothing to change");
    auto& mirror = session.Mirror();
    session.Open({});
    if (!mirror.ports.count(id)) Fail(kUnknownId, "unknown port " + id.ToText());
    const P::CPort port = mirror.ports[id];
    CSession::CCommands commands;
    if (enable && *enable != port.bEnable)
        commands.push_back(std::make_shared<CCommandSetPortEnable>(id, *enable));
    if ((instrument && *instrument != port.sInstrument) || (channel && *channel != port.nChannel))
        commands.push_back(std::make_shared<CCommandPortChangeInstrument>(
            id, instrument.value_or(port.sInstrument), channel.value_or(port.nChannel)));
    if (commands.empty()) return kOk;
    const auto got = session.Request(commands);
    if (!Find<CCommandChangedPortProperty>(got)) Fail(kFailed, "the port was not changed");
    return kOk;
}

int RunAddEvents(CSession& session, const CConnection& c, const CArgs& a) {
    const CRUid id = ParseId(a.sId);
    std::istringstream text(ReadInput(a.sFile, kMaxInput));
    const P::CListEvent events = ParseEvents(text);
    if (events.empty()) Fail(kUsage, "no events in the input");
    session.Open({});
    if (!session.Mirror().ports.count(id)) Fail(kUnknownId, "unknown port " + id.ToText());
    const auto got = session.Request({std::make_shared<CCommandCreateEvent>(id, events)});
    if (!Find<CCommandCreateEvent>(got)) Fail(kFailed, "the events were not stored");
    if (c.bJson) {
        CJson out = CJson::array();
        for (const auto& e : events) out.push_back(ToJson(e->idEvent));
        PrintJson(out);
    } else {
        for (const auto& e : events) std::puts(e->idEvent.ToText().c_str());
    }
    return kOk;
}

int RunCompile(CSession& session, const CConnection& c, const CArgs& a) {
    const CRUid id = ParseId(a.sId);
    session.Open({});
    if (!session.Mirror().tracks.count(id)) Fail(kUnknownId, "unknown track " + id.ToText());
    const auto got = session.Request({std::make_shared<CCommandTrackCompileMml>(id)});
    const auto done = Find<CCommandTrackCompiledMml>(got);
    if (!done) Fail(kFailed, "the server did not answer the compile");
    size_t ports = 0, events = 0, removed = 0;
    for (const auto& cmd : got) {
        if (std::dynamic_pointer_cast<const CCommandCreatePort>(cmd)) ++ports;
        if (auto e = std::dynamic_pointer_cast<const CCommandCreateEvent>(cmd))
            events += e->events.size();
        if (auto d = std::dynamic_pointer_cast<const CCommandDeleted>(cmd))
            removed += d->setEvent.size();
    }
    if (c.bJson) {
        CJson messages = CJson::array();
        for (const auto& m : done->vMessages) messages.push_back(ToJson(m));
        PrintJson(CJson{{"messages", std::move(messages)},
                        {"portsCreated", ports},
                        {"eventsCreated", events},
                        {"eventsRemoved", removed}});
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

int RunImport(CSession& session, const CConnection& c, const CArgs& a) {
    const CRUid idSeq = ParseId(a.sId);
    const std::u16string instrument = Utf8ToUtf16(a.sInstrument);
    const std::string data = ReadInput(a.sFile, kMaxInput);
    if (!session.Mirror().sequences.count(idSeq))
        Fail(kUnknownId, "unknown sequence " + idSeq.ToText());
    session.Open({idSeq});
    const auto got = session.Request({std::make_shared<CCommandLoadSmf>(
        CRBytes(data.begin(), data.end()), idSeq, instrument, CRUidList{})});
    size_t tracks = 0, ports = 0, events = 0;
    for (const auto& cmd : got) {
        if (std::dynamic_pointer_cast<const CCommandCreateTrack>(cmd)) ++tracks;
        if (std::dynamic_pointer_cast<const CCommandCreatePort>(cmd)) ++ports;
        if (auto e = std::dynamic_pointer_cast<const CCommandCreateEvent>(cmd))
            events += e->events.size();
    }
    if (tracks == 0) Fail(kFailed, "the file was not imported (not a readable MIDI file?)");
    if (c.bJson)
        PrintJson(CJson{{"tracks", tracks}, {"ports", ports}, {"events", events}});
    else
        std::printf("imported %zu tracks, %zu ports, %zu events\n", tracks, ports, events);
    return kOk;
}

int RunExport(CSession& session, const CConnection& c, const CArgs& a) {
    const CRUid idSeq = ParseId(a.sId);
    const CRBytes smf = session.ExportSmf(idSeq);
    if (a.sOutput == "-") {
        if (std::fwrite(smf.data(), 1, smf.size(), stdout) != smf.size() || std::fflush(stdout))
            Fail(kFailed, "cannot write to standard output");
        return kOk;
    }
    std::ofstream file(a.sOutput, std::ios::binary);
    file.write(reinterpret_cast<const char*>(smf.data()), static_cast<std::streamsize>(smf.size()));
    file.close();
    if (!file) Fail(kUsage, "cannot write '" + a.sOutput + "'");
    if (c.bJson)
        PrintJson(CJson{{"bytes", smf.size()}});
    else
        std::printf("wrote %zu bytes to %s\n", smf.size(), a.sOutput.c_str());
    return kOk;
}

int RunRender(CSession& session, const CConnection& c, const CArgs& a) {
    const CRUid idSeq = ParseId(a.sId);
    Render::CRollOptions options;
    if (!a.sWidth.empty())
        options.nWidth = static_cast<int>(ParseNumber(a.sWidth, Render::CRollOptions::kMinWidth,
                                                      Render::CRollOptions::kMaxWidth, "width"));
    if (!session.Mirror().sequences.count(idSeq))
        Fail(kUnknownId, "unknown sequence " + idSeq.ToText());
    session.Open({idSeq});
    const Render::CRoll roll = Render::RollOfMirror(session.Mirror(), idSeq);
    std::string error;
    if (!Render::WritePng(roll, options, a.sPng, error)) Fail(kUsage, error);
    const Render::CRollLayout layout(roll, options);
    if (c.bJson)
        PrintJson(CJson{{"file", a.sPng}, {"width", layout.Width()}, {"height", layout.Height()},
                        {"notes", roll.Notes().size()}, {"ports", roll.Ports().size()}});
    else
        std::printf("wrote %s: %dx%d, %zu notes on %zu ports\n", a.sPng.c_str(), layout.Width(),
                    layout.Height(), roll.Notes().size(), roll.Ports().size());
    return kOk;
}

int RunDelete(CSession& session, const CConnection& c, const CArgs& a) {
    CRUidSet ids;
    for (const auto& s : a.vIds) ids.insert(ParseId(s));
    const auto got = session.Request({std::make_shared<CCommandDelete>(ids)});
    const auto deleted = Find<CCommandDeleted>(got);
    if (!deleted) Fail(kUnknownId, "nothing matched the given identifiers");
    auto list = [](const CRUidSet& set) {
        CJson out = CJson::array();
        for (const auto& id : set) out.push_back(ToJson(id));
        return out;
    };
    if (c.bJson)
        PrintJson(CJson{{"sequences", list(deleted->setSequence)},
                        {"tracks", list(deleted->setTrack)},
                        {"ports", list(deleted->setPort)},
                        {"events", list(deleted->setEvent)}});
    else
        std::printf("deleted %s\n", Describe(deleted).c_str());
    return kOk;
}

int RunWatch(CSession& session, const CConnection& c, const CArgs& a) {
    CRUidSet ids;
    for (const auto& s : a.vIds) ids.insert(ParseId(s));
    auto print = [&](const CSession::CCommands& commands) {
        for (const auto& cmd : commands) {
            if (c.bJson)
                PrintJson(CJson{{"command", KindOf(cmd)}, {"text", Describe(cmd)}});
            else
                std::printf("%s %s\n", KindOf(cmd).c_str(), Describe(cmd).c_str());
        }
        std::fflush(stdout);
    };
    print(session.Open(ids));  // the opened sequences' content first
    while (!g_stop) {
        auto got = session.Raw().Receive(std::chrono::milliseconds(200));
        if (got) {
            print(*got);
        } else if (!session.Raw().IsConnected()) {
            Fail(kConnection, session.Raw().Error());
        }
    }
    return kOk;
}

// A required argument of a command.
void Arg(CLI::App& app, const char* name, std::string& value) {
    app.add_option(name, value)->required();
}

const std::vector<CCommand>& Commands() {
    static const std::vector<CCommand> commands = {
        {"ls", "", "list the solution's sequences", [](CLI::App&, CArgs&) {}, RunLs},
        {"create-seq", "TITLE", "create a sequence, print its id",
         [](CLI::App& app, CArgs& a) { Arg(app, "TITLE", a.sTitle); }, RunCreateSeq},
        {"open", "SEQ...", "print tracks, MML, ports and events",
         [](CLI::App& app, CArgs& a) { app.add_option("SEQ", a.vIds)->required(); }, RunOpen},
        {"add-track", "SEQ TITLE", "create a track, print its id",
         [](CLI::App& app, CArgs& a) {
             Arg(app, "SEQ", a.sId);
             Arg(app, "TITLE", a.sTitle);
         },
         RunAddTrack},
        {"set-title", "ID TITLE", "rename a sequence or a track",
         [](CLI::App& app, CArgs& a) {
             Arg(app, "ID", a.sId);
             Arg(app, "TITLE", a.sTitle);
         },
         RunSetTitle},
        {"set-mml", "TRACK FILE|-", "replace a track's MML text",
         [](CLI::App& app, CArgs& a) {
             Arg(app, "TRACK", a.sId);
             Arg(app, "FILE", a.sFile);
         },
         RunSetMml},
        {"add-port", "TRACK TITLE INSTRUMENT CHANNEL", "create a port, print its id",
         [](CLI::App& app, CArgs& a) {
             Arg(app, "TRACK", a.sId);
             Arg(app, "TITLE", a.sTitle);
             Arg(app, "INSTRUMENT", a.sInstrument);
             Arg(app, "CHANNEL", a.sChannel);
         },
         RunAddPort},
        {"set-port", "PORT [--enable|--disable] [--instrument NAME] [--channel N]",
         "enable or disable a port, change its instrument or channel",
         [](CLI::App& app, CArgs& a) {
             Arg(app, "PORT", a.sId);
             a.pEnable = app.add_flag("--enable{true},--disable{false}", a.bEnable,
                                      "play the port's events, or not");
             a.pInstrument = app.add_option("--instrument", a.sInstrument, "the instrument's name");
             a.pChannel = app.add_option("--channel", a.sChannel, "MIDI channel 0-15");
         },
         RunSetPort},
        {"add-events", "PORT FILE|-", "add events, one per line (see palvorctl --help)",
         [](CLI::App& app, CArgs& a) {
             Arg(app, "PORT", a.sId);
             Arg(app, "FILE", a.sFile);
         },
         RunAddEvents},
        {"compile", "TRACK", "compile a track's MML (exit 1 when it fails)",
         [](CLI::App& app, CArgs& a) { Arg(app, "TRACK", a.sId); }, RunCompile},
        {"import", "SEQ FILE.mid [--instrument NAME]",
         "import a Standard MIDI File into a sequence",
         [](CLI::App& app, CArgs& a) {
             Arg(app, "SEQ", a.sId);
             Arg(app, "FILE", a.sFile);
             a.pInstrument = app.add_option("--instrument", a.sInstrument,
                                            "the instrument name of every new port");
         },
         RunImport},
        {"export", "SEQ [-o FILE.mid]", "export a sequence as a Standard MIDI File",
         [](CLI::App& app, CArgs& a) {
             Arg(app, "SEQ", a.sId);
             app.add_option("-o,--output", a.sOutput,
                            "the file to write (default: standard output)");
         },
         RunExport},
        {"render", "SEQ --png FILE [--width N]", "draw a sequence as a piano roll (PNG)",
         [](CLI::App& app, CArgs& a) {
             Arg(app, "SEQ", a.sId);
             app.add_option("--png", a.sPng, "the picture to write")->required();
             app.add_option("--width", a.sWidth, "its width in pixels (default 1200)");
         },
         RunRender},
        {"delete", "ID...", "delete items with everything below them",
         [](CLI::App& app, CArgs& a) { app.add_option("ID", a.vIds)->required(); }, RunDelete},
        {"watch", "[SEQ...]", "print every command received (opens SEQs, or all)",
         [](CLI::App& app, CArgs& a) { app.add_option("SEQ", a.vIds); }, RunWatch},
        {"echo", "", "round trip to the server", [](CLI::App&, CArgs&) {}, RunEcho},
    };
    return commands;
}

std::string UsageOf(const std::string& sCommand) {
    for (const auto& c : Commands())
        if (sCommand == c.szName) return *c.szArgs ? sCommand + " " + c.szArgs : sCommand;
    return "[options] COMMAND [ARGS...]";
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app("A command-line client of the sequencer server.", kProgram);
    app.set_help_flag("-h,--help", "print help (of a command, after its name)");
    AddVersion(app, kProgram);
    app.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
    app.require_subcommand(1);
    app.fallthrough();
    CConnectionArgs connection;
    connection.AddTo(app);
    CArgs args;
    std::map<const CLI::App*, const CCommand*> byApp;
    for (const auto& command : Commands()) {
        CLI::App* sub = app.add_subcommand(command.szName, command.szHelp);
        sub->fallthrough();
        command.declare(*sub, args);
        byApp[sub] = &command;
    }
    try {
        if (!Parse(app, argc, argv, kProgram, UsageOf, PrintUsage)) return kOk;
        const CConnection c = connection.Resolve();
        const CCommand& command = *byApp.at(app.get_subcommands().front());
        std::signal(SIGINT, [](int) { g_stop = 1; });
        std::signal(SIGTERM, [](int) { g_stop = 1; });
        CSession session(c);
        session.Connect();
        return command.run(session, c, args);
    } catch (const CExit& e) {
        return Report(e, connection.Json(), kProgram);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s: %s\n", kProgram, e.what());
        return kFailed;
    }
}
