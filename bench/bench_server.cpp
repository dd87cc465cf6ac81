// Server benchmarks, each printed beside an anchor measured in the same run:
//  - echo round trips over loopback (1 and 64 clients) against a plain socket echo loop;
//  - events stored per second through CCommandCreateEvent, in one command and in commands
//    of 1,000 notes, against raw SQLite inserts of the same rows with the same settings
//    (one prepared statement; one transaction, or a commit per 1,000 rows);
//  - broadcast fan-out to 100 readers against plain writes of the same frames.
#include <poll.h>
#include <sqlite3.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include <utility>  // (boost 1.74 asio needs it first under C++20)
#include <boost/asio.hpp>

#include "bench/BenchNet.h"
#include "model/SolutionDb.h"
#include "runtime/RMsBase.h"
#include "server/Frame.h"
#include "server/RSeqClient.h"
#include "server/RSeqServer.h"

using namespace DUve;
using namespace DUve::Sequencer;
using namespace DUve::Sequencer::CProtocol;
namespace P = DUve::CRSeq::Property;
using Clock = std::chrono::steady_clock;

namespace {

using PalvorBench::TcpPair;

bool WriteAll(int fd, const uint8_t* p, size_t n) {
    while (n) {
        const ssize_t w = ::send(fd, p, n, MSG_NOSIGNAL);
        if (w <= 0) return false;
        p += w;
        n -= static_cast<size_t>(w);
    }
    return true;
}

bool ReadAll(int fd, uint8_t* p, size_t n) {
    while (n) {
        const ssize_t r = ::recv(fd, p, n, 0);
        if (r <= 0) return false;
        p += r;
        n -= static_cast<size_t>(r);
    }
    return true;
}

double Seconds(Clock::time_point t0) {
    return std::chrono::duration<double>(Clock::now() - t0).count();
}

std::filesystem::path TempFolder() {
    std::string pattern = (std::filesystem::temp_directory_path() / "palvor-bench-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) std::abort();
    return pattern;
}

// Each client thread sends `rounds` echo frames one at a time and waits for each answer.
double RunEchoClients(const std::vector<int>& fds, int rounds) {
    const auto frame = EncodeFrame(CSerialize::SaveObject(CCommandEcho(CRUid::Generate())));
    std::vector<std::thread> threads;
    const auto t0 = Clock::now();
    for (int fd : fds)
        threads.emplace_back([fd, rounds, &frame] {
            std::vector<uint8_t> back(frame.size());
            for (int i = 0; i < rounds; ++i)
                if (!WriteAll(fd, frame.data(), frame.size()) || !ReadAll(fd, back.data(), back.size()))
                    std::abort();
        });
    for (auto& t : threads) t.join();
    return static_cast<double>(fds.size()) * rounds / Seconds(t0);
}

// Plain echo loop: one thread polls every server-side socket and writes each frame back.
double PlainEcho(int clients, int rounds) {
    std::vector<int> mine, theirs;
    for (int i = 0; i < clients; ++i) {
        auto [a, b] = TcpPair();
        mine.push_back(a);
        theirs.push_back(b);
    }
    std::atomic<bool> stop{false};
    std::thread server([&] {
        std::vector<pollfd> pfds;
        for (int fd : theirs) pfds.push_back({fd, POLLIN, 0});
        uint8_t buf[22];
        while (!stop) {
            if (::poll(pfds.data(), pfds.size(), 50) <= 0) continue;
            for (auto& p : pfds)
                if (p.revents & POLLIN) {
                    if (!ReadAll(p.fd, buf, sizeof buf)) return;
                    WriteAll(p.fd, buf, sizeof buf);
                }
        }
    });
    const double rate = RunEchoClients(mine, rounds);
    stop = true;
    server.join();
    for (int fd : mine) ::close(fd);
    for (int fd : theirs) ::close(fd);
    return rate;
}

double ServerEcho(int clients, int rounds, const std::filesystem::path& folder) {
    CRSeqServer server(CRThreadMessage::CListSender(), 1, folder);
    std::vector<int> mine;
    for (int i = 0; i < clients; ++i) {
        auto [a, b] = TcpPair();
        server.AddUser(b);
        CRSeqClient greet;
        greet.Adopt(a);
        if (!greet.Receive(std::chrono::seconds(10))) std::abort();
        mine.push_back(::dup(a));
    }
    const double rate = RunEchoClients(mine, rounds);
    for (int fd : mine) ::close(fd);
    return rate;
}

P::CListEvent Notes(int n, uint32_t base) {
    P::CListEvent list;
    for (int i = 0; i < n; ++i)
        list.Insert(base + static_cast<uint32_t>(i) * 120,
                    std::make_shared<P::CEventNote>(static_cast<uint8_t>(40 + i % 40), 100, 110));
    return list;
}

// Events stored through CCommandCreateEvent: `batches` commands of `perCommand` notes, each
// command one transaction of the server.
double ServerInserts(int batches, int perCommand, const std::filesystem::path& folder) {
    CRSeqServer server(CRThreadMessage::CListSender(), 2, folder);
    auto [a, b] = TcpPair();
    server.AddUser(b);
    CRSeqClient client;
    client.Adopt(a);
    client.Receive(std::chrono::seconds(10));
    const CRUid seq = CRUid::Generate(), track = CRUid::Generate(), port = CRUid::Generate();
    if (!client.Request({std::make_shared<CCommandCreateSequence>(seq, P::CSequence(u"bench")),
                         std::make_shared<CCommandCreateTrack>(track, seq, P::CTrack(u"t")),
                         std::make_shared<CCommandCreatePort>(port, P::CPort(track, u"p", u"i", 0))}))
        std::abort();
    std::vector<std::vector<uint8_t>> frames;
    for (int i = 0; i < batches; ++i)
        frames.push_back(EncodeFrame(CSerialize::SaveObject(CCommandCreateEvent(
            port, Notes(perCommand, static_cast<uint32_t>(i) * perCommand * 120)))));
    const auto t0 = Clock::now();
    for (const auto& f : frames)
        if (!client.SendRaw(f)) std::abort();
    if (!client.Request({}, std::chrono::milliseconds(600000))) std::abort();
    return static_cast<double>(batches) * perCommand / Seconds(t0);
}

// Raw inserts of the same rows with the solution files' settings; `commitEvery` 0: one
// transaction for all rows, otherwise a commit after every that many rows.
double RawSqliteInserts(int events, const std::filesystem::path& folder, int commitEvery = 0) {
    sqlite3* db = nullptr;
    sqlite3_open((folder / ("raw" + std::to_string(commitEvery) + ".db")).c_str(), &db);
    // The same storage settings as the solution files.
    const std::string pageSize = "PRAGMA page_size=" + std::to_string(CSolutionDb::kPageSize);
    sqlite3_exec(db, pageSize.c_str(), nullptr, nullptr, nullptr);
    sqlite3_exec(db, "PRAGMA JOURNAL_MODE=WAL", nullptr, nullptr, nullptr);
    sqlite3_exec(db, "PRAGMA SYNCHRONOUS=NORMAL", nullptr, nullptr, nullptr);
    const std::string cache = "PRAGMA cache_size=-" + std::to_string(CSolutionDb::kCacheKiB);
    sqlite3_exec(db, cache.c_str(), nullptr, nullptr, nullptr);
    sqlite3_exec(db,
                 "CREATE TABLE event ( idEvent BLOB PRIMARY KEY, idPort BLOB, nStep INTEGER, "
                 "propertyId INTEGER, propertyData BLOB)",
                 nullptr, nullptr, nullptr);
    const CRUid port = CRUid::Generate();
    const int perList = commitEvery ? commitEvery : 1000;
    std::vector<P::CListEvent> lists;
    for (int i = 0; i < events / perList; ++i)
        lists.push_back(Notes(perList, static_cast<uint32_t>(i) * perList * 120));
    const auto t0 = Clock::now();
    sqlite3_stmt* st = nullptr;
    sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr);
    sqlite3_prepare_v2(db, "INSERT INTO event VALUES(?,?,?,?,?)", -1, &st, nullptr);
    for (const auto& list : lists) {
        if (commitEvery && &list != &lists.front()) {
            sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
            sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr);
        }
        for (const auto& e : list) {
            const auto data = P::CSerialize::SaveObject(*e->property);
            sqlite3_reset(st);
            sqlite3_bind_blob(st, 1, e->idEvent.Data(), 16, SQLITE_STATIC);
            sqlite3_bind_blob(st, 2, port.Data(), 16, SQLITE_STATIC);
            sqlite3_bind_int64(st, 3, e->nStep);
            sqlite3_bind_int(st, 4, e->property->GetSerializeId());
            sqlite3_bind_blob(st, 5, data.data(), static_cast<int>(data.size()), SQLITE_TRANSIENT);
            if (sqlite3_step(st) != SQLITE_DONE) std::abort();
        }
    }
    sqlite3_finalize(st);
    sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
    const double rate = static_cast<double>(lists.size()) * perList / Seconds(t0);
    sqlite3_close(db);
    return rate;
}

// Reads `count` frames of `size` bytes from every socket; returns when all arrived.
void ReadFanOut(const std::vector<int>& fds, size_t size, int count) {
    std::vector<pollfd> pfds;
    for (int fd : fds) pfds.push_back({fd, POLLIN, 0});
    std::vector<size_t> left(fds.size(), size * static_cast<size_t>(count));
    size_t open = fds.size();
    std::vector<uint8_t> buf(65536);
    while (open) {
        if (::poll(pfds.data(), pfds.size(), 10000) <= 0) std::abort();
        for (size_t i = 0; i < pfds.size(); ++i) {
            if (!(pfds[i].revents & POLLIN) || !left[i]) continue;
            const ssize_t r = ::recv(pfds[i].fd, buf.data(), std::min(buf.size(), left[i]), 0);
            if (r <= 0) std::abort();
            left[i] -= static_cast<size_t>(r);
            if (!left[i]) {
                pfds[i].events = 0;
                --open;
            }
        }
    }
}

struct CFanOut {
    double server;
    double plain;
};

CFanOut FanOut(int readers, int commands, const std::filesystem::path& folder) {
    CRSeqServer server(CRThreadMessage::CListSender(), 3, folder);
    auto connect = [&server] {
        auto [a, b] = TcpPair();
        server.AddUser(b);
        auto c = std::make_unique<CRSeqClient>();
        c->Adopt(a);
        if (!c->Receive(std::chrono::seconds(10))) std::abort();
        return c;
    };
    auto writer = connect();
    const CRUid seq = CRUid::Generate(), track = CRUid::Generate(), port = CRUid::Generate();
    writer->Request({std::make_shared<CCommandCreateSequence>(seq, P::CSequence(u"fan")),
                     std::make_shared<CCommandCreateTrack>(track, seq, P::CTrack(u"t")),
                     std::make_shared<CCommandCreatePort>(port, P::CPort(track, u"p", u"i", 0))});
    std::vector<std::unique_ptr<CRSeqClient>> clients;
    std::vector<int> fds;
    for (int i = 0; i < readers; ++i) {
        clients.push_back(connect());
        if (!clients.back()->Request({std::make_shared<CCommandOpenSequence>(CRUidSet{seq})}))
            std::abort();
        fds.push_back(clients.back()->Fd());
    }
    std::vector<std::vector<uint8_t>> frames;
    for (int i = 0; i < commands; ++i)
        frames.push_back(EncodeFrame(CSerialize::SaveObject(
            CCommandCreateEvent(port, Notes(1, static_cast<uint32_t>(i))))));
    const size_t size = frames[0].size();  // each reader gets the same command back
    auto t0 = Clock::now();
    std::thread reader([&] { ReadFanOut(fds, size, commands); });
    for (const auto& f : frames) writer->SendRaw(f);
    reader.join();
    const double serverRate = static_cast<double>(readers) * commands / Seconds(t0);

    // Anchor: the same frames written straight to as many loopback sockets.
    std::vector<int> mine, theirs;
    for (int i = 0; i < readers; ++i) {
        auto [a, b] = TcpPair();
        mine.push_back(a);
        theirs.push_back(b);
    }
    t0 = Clock::now();
    std::thread plainReader([&] { ReadFanOut(mine, size, commands); });
    for (const auto& f : frames)
        for (int fd : theirs) WriteAll(fd, f.data(), f.size());
    plainReader.join();
    const double plainRate = static_cast<double>(readers) * commands / Seconds(t0);
    for (int fd : mine) ::close(fd);
    for (int fd : theirs) ::close(fd);
    return {serverRate, plainRate};
}

void Print(const char* what, double figure, const char* unit, double anchor) {
    std::printf("%-34s %12.0f %-16s anchor %12.0f  ratio %5.1f%%\n", what, figure, unit, anchor,
                100.0 * figure / anchor);
}

}  // namespace

int main(int argc, char** argv) {
    const double scale = argc > 1 ? std::atof(argv[1]) : 1.0;  // shorten or lengthen runs
    const auto folder = TempFolder();
    const int rounds1 = static_cast<int>(20000 * scale), rounds64 = static_cast<int>(500 * scale);
    const int batches = static_cast<int>(100 * scale), fanCommands = static_cast<int>(2000 * scale);

    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    const std::string only = argc > 2 ? argv[2] : "";  // echo, insert or fanout
    auto wanted = [&only](const char* name) { return only.empty() || only == name; };
    std::printf("PalvorServer benchmarks (anchors measured in the same run)\n\n");
    if (wanted("echo")) {
        Print("echo round trips, 1 client", ServerEcho(1, rounds1, folder / "e1"),
              "round trips/s", PlainEcho(1, rounds1));
        Print("echo round trips, 64 clients", ServerEcho(64, rounds64, folder / "e64"),
              "round trips/s", PlainEcho(64, rounds64));
    }
    if (wanted("insert")) {
        // The same 100,000 (x scale) notes both ways, each beside raw SQLite committing as
        // often as the server does: once for one command holding them all, and once per
        // command of 1,000.
        const int events = batches * 1000;
        Print("events stored, one command", ServerInserts(1, events, folder / "ins1"), "events/s",
              RawSqliteInserts(events, folder));
        Print("events stored, commands of 1,000", ServerInserts(batches, 1000, folder / "ins"),
              "events/s", RawSqliteInserts(events, folder, 1000));
    }
    if (wanted("fanout")) {
        const auto fan = FanOut(100, fanCommands, folder / "fan");
        Print("broadcast fan-out to 100 readers", fan.server, "commands/s", fan.plain);
    }
    std::error_code ec;
    std::filesystem::remove_all(folder, ec);
    return 0;
}
