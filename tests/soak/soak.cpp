// palvor_soak: mixed load against a running palvorserver for a given time. Clients join
// and leave; each edits at random (creates, titles, MML, compiles, ports, events,
// imports, deletes) and exports now and then, building its view only from what the server
// sends it. The server's resident memory is printed every 10 s. At the end every client
// still connected takes in what is on its way and opens everything; a fresh client then
// opens everything too, and each view must equal that stored solution. Once the solution
// holds more than --keep sequences (60 unless told) the clients delete one now and then,
// so after a warm-up what is stored stays about the same size and so should the server's
// memory.
//   palvor_soak --port P --server-pid PID --seconds S [--clients K] [--solution N]
//               [--visitor V --token T] [--keep Q]
// Exit 0 when every view matches, 1 when one differs or a client fails, 2 on bad usage.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "runtime/RString.h"
#include "support/RandomEditor.h"

using namespace PalvorTest;
using namespace std::chrono_literals;

namespace {

struct COptions {
    uint16_t nPort = 0;
    int nServerPid = 0;
    int nSeconds = 60;
    int nClients = 4;
    uint32_t nSolution = 1;
    uint32_t nVisitor = 1;
    std::u16string sToken = u"alpha";
    size_t nKeep = 60;
};

long ResidentKiB(int pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
    return -1;
}

struct CClientResult {
    CView view;
    bool bConnected = false;
    std::string sError;
    size_t nEdits = 0, nSessions = 0, nExports = 0;
};

// One client: sessions of random length until the deadline; the last stays connected.
void RunClient(const COptions& o, int k, std::chrono::steady_clock::time_point deadline,
               std::unique_ptr<CRSeqClient>& client, CClientResult& r) {
    std::mt19937 rng(7000u + static_cast<uint32_t>(k));
    CRandomEditor editor(9000u + static_cast<uint32_t>(k));
    while (std::chrono::steady_clock::now() < deadline) {
        client = std::make_unique<CRSeqClient>();
        if (!client->Connect("127.0.0.1", o.nPort)) return void(r.sError = "connect: " + client->Error());
        const auto greeting = client->Register(o.nVisitor, o.sToken, o.nSolution);
        if (!greeting) return void(r.sError = "register: " + client->Error());
        ++r.nSessions;
        r.view = CView();
        r.view.Apply(*greeting);
        if (!OpenEverything(*client, r.view)) return void(r.sError = "open: " + client->Error());
        editor.Learn(r.view);
        const int edits = 20 + static_cast<int>(rng() % 200);
        for (int i = 0; i < edits && std::chrono::steady_clock::now() < deadline; ++i) {
            CRSeqClient::CCommands frame;
            if (rng() % 40 == 0 && !r.view.sequences.empty()) {
                auto it = r.view.sequences.begin();
                std::advance(it, rng() % r.view.sequences.size());
                frame = {std::make_shared<CCommandExportSmf>(CRUid::Generate(), it->first)};
                ++r.nExports;
            } else if (r.view.sequences.size() > o.nKeep && rng() % 3 == 0) {
                auto it = r.view.sequences.begin();
                std::advance(it, rng() % r.view.sequences.size());
                frame = {std::make_shared<CCommandDelete>(CRUidSet{it->first})};
            } else {
                frame = editor.Next();
            }
            const auto got = client->Request(frame, 60s);
            if (!got) return void(r.sError = "edit: " + client->Error());
            r.view.Apply(*got);
            editor.Learn(r.view);
            ++r.nEdits;
        }
        if (std::chrono::steady_clock::now() >= deadline) break;
        client->Close();  // leaves; joins again at once
    }
    r.bConnected = client && client->IsConnected();
}

}  // namespace

int main(int argc, char** argv) {
    COptions o;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string a = argv[i], v = argv[i + 1];
        if (a == "--port") o.nPort = static_cast<uint16_t>(std::atoi(v.c_str()));
        else if (a == "--server-pid") o.nServerPid = std::atoi(v.c_str());
        else if (a == "--seconds") o.nSeconds = std::atoi(v.c_str());
        else if (a == "--clients") o.nClients = std::atoi(v.c_str());
        else if (a == "--solution") o.nSolution = static_cast<uint32_t>(std::atoi(v.c_str()));
        else if (a == "--visitor") o.nVisitor = static_cast<uint32_t>(std::atoi(v.c_str()));
        else if (a == "--token") o.sToken = Utf8ToUtf16(v);
        else if (a == "--keep") o.nKeep = static_cast<size_t>(std::atol(v.c_str()));
        else {
            std::fprintf(stderr, "palvor_soak: unknown option %s\n", a.c_str());
            return 2;
        }
    }
    if (!o.nPort || o.nSeconds <= 0 || o.nClients <= 0) {
        std::fprintf(stderr, "usage: palvor_soak --port P --server-pid PID --seconds S [--clients K]\n");
        return 2;
    }

    const auto start = std::chrono::steady_clock::now();
    const auto deadline = start + std::chrono::seconds(o.nSeconds);
    std::atomic<bool> done{false};
    std::thread monitor([&] {
        long first = -1;
        for (int tick = 0; !done; ++tick) {
            if (tick % 100 == 0) {
                const long rss = o.nServerPid ? ResidentKiB(o.nServerPid) : -1;
                if (first < 0 && tick >= 100) first = rss;  // after the first 10 s
                std::printf("t=%3ds server rss=%ld KiB%s\n", tick / 10, rss,
                            first > 0 ? (" (" + std::to_string(rss - first) + " KiB since t=10s)").c_str() : "");
                std::fflush(stdout);
            }
            std::this_thread::sleep_for(100ms);
        }
    });

    std::vector<std::unique_ptr<CRSeqClient>> clients(o.nClients);
    std::vector<CClientResult> results(o.nClients);
    std::vector<std::thread> threads;
    for (int k = 0; k < o.nClients; ++k)
        threads.emplace_back([&, k] { RunClient(o, k, deadline, clients[k], results[k]); });
    for (auto& t : threads) t.join();
    done = true;
    monitor.join();

    int failures = 0;
    for (int k = 0; k < o.nClients; ++k) {
        auto& r = results[k];
        if (!r.sError.empty()) {
            std::printf("client %d failed: %s\n", k, r.sError.c_str());
            ++failures;
            continue;
        }
        // What others did after this client's last edit is still on its way.
        const auto pending = clients[k]->Request({});
        if (!pending || (r.view.Apply(*pending), !OpenEverything(*clients[k], r.view))) {
            std::printf("client %d could not finish: %s\n", k, clients[k]->Error().c_str());
            ++failures;
        }
    }
    CRSeqClient fresh;
    std::optional<CRSeqClient::CCommands> greeting;
    if (fresh.Connect("127.0.0.1", o.nPort)) greeting = fresh.Register(o.nVisitor, o.sToken, o.nSolution);
    CView stored;
    if (!greeting || (stored.Apply(*greeting), !OpenEverything(fresh, stored))) {
        std::printf("a fresh client could not open the solution: %s\n", fresh.Error().c_str());
        return 1;
    }
    size_t edits = 0, sessions = 0, exports = 0;
    for (int k = 0; k < o.nClients; ++k) {
        const auto& r = results[k];
        edits += r.nEdits, sessions += r.nSessions, exports += r.nExports;
        if (!r.sError.empty()) continue;
        const bool same = r.view.sequences == stored.sequences && r.view.tracks == stored.tracks &&
                          r.view.ports == stored.ports && r.view.events == stored.events;
        std::printf("client %d: %zu sessions, %zu edits, %zu exports: %s\n", k, r.nSessions,
                    r.nEdits, r.nExports,
                    same ? "view equals the stored solution"
                         : ("DIFFERS: sequences " + Diff(r.view.sequences, stored.sequences) +
                            "; tracks " + Diff(r.view.tracks, stored.tracks) + "; ports " +
                            Diff(r.view.ports, stored.ports) + "; events " +
                            Diff(r.view.events, stored.events))
                               .c_str());
        if (!same) ++failures;
    }
    std::printf("soak: %d s, %d clients, %zu sessions, %zu edits, %zu exports; stored: %zu sequences, "
                "%zu tracks, %zu ports, %zu events; %d failures\n",
                o.nSeconds, o.nClients, sessions, edits, exports, stored.sequences.size(),
                stored.tracks.size(), stored.ports.size(), stored.events.size(), failures);
    return failures ? 1 : 0;
}
