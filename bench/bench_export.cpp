// Export of a 100,000-note sequence end to end through the server (request, storage, score
// order, file), beside its floor measured in the same run: a raw SQLite SELECT of the same
// rows ordered by step plus our SMF writer alone writing the same notes.
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <utility>  // (boost 1.74 asio needs it first under C++20)

#include <boost/asio.hpp>
#include <sqlite3.h>

#include "bench/BenchNet.h"
#include "midi/RSmf.h"
#include "server/RSeqClient.h"
#include "server/RSeqServer.h"

using namespace DUve;
using namespace DUve::Sequencer;
using namespace DUve::Sequencer::CProtocol;
namespace P = DUve::CRSeq::Property;
using Clock = std::chrono::steady_clock;

namespace {

int kNotes = 100000;

double Seconds(Clock::time_point t0) { return std::chrono::duration<double>(Clock::now() - t0).count(); }

// The raw SELECT of the port's rows ordered by step; seconds (best of three).
double RawSelect(const std::filesystem::path& folder, const CRUid& port) {
    std::filesystem::path file;
    for (const auto& e : std::filesystem::directory_iterator(folder))
        if (e.path().string().ends_with("_solution.db")) file = e.path();
    sqlite3* db = nullptr;
    if (sqlite3_open(file.c_str(), &db) != SQLITE_OK) return -1;
    std::string hex;
    for (size_t i = 0; i < CRUid::kSize; ++i) {
        char b[3];
        std::snprintf(b, sizeof b, "%02x", port.Data()[i]);
        hex += b;
    }
    const std::string sql =
        "SELECT nStep, propertyData FROM event WHERE idPort IN (X'" + hex + "') ORDER BY nStep";
    double best = 1e9;
    size_t sum = 0;
    for (int round = 0; round < 3; ++round) {
        const auto t0 = Clock::now();
        sqlite3_stmt* st = nullptr;
        sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr);
        while (sqlite3_step(st) == SQLITE_ROW)
            sum += size_t(sqlite3_column_int64(st, 0)) + size_t(sqlite3_column_bytes(st, 1));
        sqlite3_finalize(st);
        best = std::min(best, Seconds(t0));
    }
    sqlite3_close(db);
    return sum ? best : -1;
}


uint8_t Pitch(int i) { return static_cast<uint8_t>(36 + i % 48); }
uint32_t Step(int i) { return static_cast<uint32_t>(i) * 120; }



}  // namespace

int main(int argc, char** argv) {
    if (argc > 1) kNotes = std::max(1000, std::atoi(argv[1]) / 1000 * 1000);
    std::string pattern = (std::filesystem::temp_directory_path() / "palvor-export-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) return 1;
    const std::filesystem::path folder = pattern;
    double endToEnd = 1e9, writerOnly = 1e9, select = 0;
    size_t bytes = 0;
    CRUid port;
    {
        CRSeqServer server(CRThreadMessage::CListSender(), 1, folder);
        const auto [mine, theirs] = PalvorBench::TcpPair();
        server.AddUser(theirs);
        CRSeqClient client;
        client.Adopt(mine);
        if (!client.Receive(std::chrono::seconds(10))) return 1;
        const CRUid seq = CRUid::Generate(), track = CRUid::Generate();
        port = CRUid::Generate();
        CRSeqClient::CCommands setup{
            std::make_shared<CCommandCreateSequence>(seq, P::CSequence(u"export")),
            std::make_shared<CCommandCreateTrack>(track, seq, P::CTrack(u"t")),
            std::make_shared<CCommandCreatePort>(port, P::CPort(track, u"p", u"Out", 0))};
        for (int b = 0; b < kNotes / 1000; ++b) {
            P::CListEvent list;
            for (int i = b * 1000; i < (b + 1) * 1000; ++i)
                list.Insert(Step(i), std::make_shared<P::CEventNote>(Pitch(i), 100, 110));
            setup.push_back(std::make_shared<CCommandCreateEvent>(port, std::move(list)));
        }
        if (!client.Request(setup, std::chrono::seconds(600))) return 1;

        for (int round = 0; round < 3; ++round) {
            const auto t0 = Clock::now();
            const auto got = client.Request({std::make_shared<CCommandExportSmf>(CRUid::Generate(), seq)},
                                            std::chrono::seconds(600));
            endToEnd = std::min(endToEnd, Seconds(t0));
            if (!got || got->empty()) return 1;
            const auto answer = std::dynamic_pointer_cast<const CCommandExportedSmf>(got->back());
            if (!answer) return 1;
            bytes = answer->vSmf.size();
        }
    }
    select = RawSelect(folder, port);
    if (select < 0) return 1;
    for (int round = 0; round < 3; ++round) {
        const auto t0 = Clock::now();
        CRSmf smf;
        smf.SetDivision(480);
        auto chunk = smf.AddTrackChunk();
        for (int i = 0; i < kNotes; ++i) {
            const uint8_t on[3] = {0x90, Pitch(i), 100}, off[3] = {0x80, Pitch(i), 0};
            chunk->AddEvent(Step(i), on, 3);
            chunk->AddEvent(Step(i) + 110, off, 3);
        }
        const auto out = smf.Write();
        writerOnly = std::min(writerOnly, Seconds(t0));
        if (out.empty()) return 1;
    }
    std::error_code ec;
    std::filesystem::remove_all(folder, ec);
    const double floor = select + writerOnly;
    std::printf("export of %d notes through the server: %.3f s (%zu bytes, best of 3)\n", kNotes,
                endToEnd, bytes);
    std::printf("floor: raw SELECT ordered by step %.3f s + our SMF writer alone %.3f s = %.3f s\n",
                select, writerOnly, floor);
    std::printf("export / floor: %.2fx\n", endToEnd / floor);
    return 0;
}
