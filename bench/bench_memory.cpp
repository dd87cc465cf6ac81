// Memory of the server's two large answers for a sequence of many note events (1,000,000
// unless given): the open reply (handled, then framed as the session sends it) and the
// export. Each case runs in a process of its own so that peaks do not mix; the peak is
// VmHWM of /proc/self/status, taken over the process's high-water mark just before the
// request (idle: the database open, the server made). Printed beside the wire size of an
// event, as bytes per event.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <utility>  // (boost 1.74 asio needs it first under C++20)

#include <boost/asio/io_context.hpp>

#include "model/SolutionDb.h"
#include "server/Frame.h"
#include "server/RSeqServer.h"

using namespace DUve;
using namespace DUve::Sequencer;
using namespace DUve::Sequencer::CProtocol;
namespace P = DUve::CRSeq::Property;

namespace {

// A field of /proc/self/status in KiB.
long StatusKb(const char* field) {
    std::ifstream in("/proc/self/status");
    std::string line;
    const std::string key = std::string(field) + ":";
    while (std::getline(in, line))
        if (line.rfind(key, 0) == 0) return std::atol(line.c_str() + key.size());
    return -1;
}

// Runs one case; prints "idleKb peakKb afterKb wireBytes".
int Child(const std::string& which, const char* file, const char* seqText) {
    CSolutionDb db;
    if (!db.Open(file)) return 1;
    const auto parsed = CRUid::FromText(seqText);
    if (!parsed) return 1;
    const CRUid seq = *parsed;
    boost::asio::io_context io;
    CServer server(1, db);
    auto session = std::make_shared<CServer::CSession>(io);
    server.Sessions().insert(session);
    const long idle = StatusKb("VmHWM");
    size_t wire = 0;
    {
        auto batch = std::make_unique<CServer::CSendBatch>(server);
        CPtr command;
        if (which == "open")
            command = std::make_shared<CCommandOpenSequence>(CRUidSet{seq});
        else
            command = std::make_shared<CCommandExportSmf>(CRUid::Generate(), seq);
        server.Dispatch(session, {command}, *batch);
        // What Flush makes of the queued commands before the socket takes the frame.
        auto commands = batch->QueuedFor(session);
        batch.reset();
        const auto frame = EncodeFrame(CSerialize::SaveObjects(commands));
        commands.clear();
        wire = frame.size();
    }
    // As the socket does once it has written a large frame.
    CRSocket::ReturnFreedMemory(wire);
    const long peak = StatusKb("VmHWM");
    const long after = StatusKb("VmRSS");
    std::printf("%ld %ld %ld %zu\n", idle, peak, after, wire);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 5 && std::string(argv[1]) == "--child") return Child(argv[2], argv[3], argv[4]);
    const long events = argc > 1 ? std::max(1000L, std::atol(argv[1])) : 1000000L;
    std::string pattern = (std::filesystem::temp_directory_path() / "palvor-memory-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) return 1;
    const std::filesystem::path folder = pattern, file = folder / "memory.db";
    const CRUid seq = CRUid::Generate(), track = CRUid::Generate(), port = CRUid::Generate();
    {
        CSolutionDb db;
        if (!db.Open(file) || !db.CreateSequence(seq, P::CSequence(u"memory")) ||
            !db.CreateTrack(track, seq, P::CTrack(u"t")) ||
            !db.CreatePort(port, P::CPort(track, u"p", u"Out", 0)))
            return 1;
        for (long b = 0; b < events; b += 10000) {
            P::CListEvent list;
            for (long i = b; i < std::min(events, b + 10000); ++i)
                list.Insert(uint32_t(i * 120), std::make_shared<P::CEventNote>(uint8_t(36 + i % 48), 100, 110));
            if (!db.InsertEvents(port, list)) return 1;
        }
        db.Close();
    }
    std::printf("%ld note events in one port\n", events);
    for (const char* which : {"open", "export"}) {
        const std::string command = std::string("'") + argv[0] + "' --child " + which + " '" +
                                    file.string() + "' " + seq.ToText();
        FILE* child = ::popen(command.c_str(), "r");
        long idle = 0, peak = 0, after = 0;
        size_t wire = 0;
        const bool ok = child && std::fscanf(child, "%ld %ld %ld %zu", &idle, &peak, &after, &wire) == 4;
        if (child) ::pclose(child);
        if (!ok) return 1;
        const double perEvent = double(peak - idle) * 1024.0 / double(events);
        std::printf("%-6s: peak %.0f MiB over idle %.0f MiB = %.0f B/event; resident after %.0f MiB "
                    "(%.0f B/event over idle); answer %.1f B/event on the wire (ratio %.1fx)\n",
                    which, (peak - idle) / 1024.0, idle / 1024.0, perEvent, after / 1024.0,
                    double(after - idle) * 1024.0 / double(events), double(wire) / double(events),
                    perEvent / (double(wire) / double(events)));
    }
    std::error_code ec;
    std::filesystem::remove_all(folder, ec);
    return 0;
}
