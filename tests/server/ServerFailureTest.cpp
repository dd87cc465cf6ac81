// A solution server under failure: a solution whose files cannot be opened refuses its
// clients (and serves them once it can), and a caller waiting on the server thread is
// never left waiting when its request throws.
#include "server/RSeqServer.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <csignal>
#include <filesystem>

#include <sys/resource.h>

#include "server/RSeqClient.h"
#include "support/LogCapture.h"
#include "support/Net.h"
#include "support/TempDir.h"

using namespace DUve;
using namespace DUve::Sequencer;
using namespace std::chrono_literals;
namespace P = DUve::CRSeq::Property;

namespace {

constexpr uint32_t kSolution = 11;

std::unique_ptr<CRSeqClient> Attach(CRSeqServer& server) {
    auto [mine, theirs] = PalvorTest::TcpPair();
    server.AddUser(theirs);
    auto client = std::make_unique<CRSeqClient>();
    client->Adopt(mine);
    return client;
}

TEST(ServerFailure, AnUnopenableSolutionRefusesItsClientsUntilItCanBeOpened) {
    struct Case { const char* what; std::filesystem::path (*blocked)(const std::filesystem::path&); };
    const Case cases[] = {
        {"solution file", [](const std::filesystem::path& d) {
             return CRSeqServer::SolutionFileOf(d, kSolution);
         }},
        {"activity log", [](const std::filesystem::path& d) {
             return CRActivityLog::FileOf(d, kSolution);
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        PalvorTest::CTempDir dir;
        PalvorTest::CLogCapture log;
        // A folder where the file should be: no database can be opened there, even by root.
        const auto blocked = c.blocked(dir.Path());
        std::filesystem::create_directories(blocked / "x");
        CRSeqServer server(log.Senders(), kSolution, dir.Path());
        ASSERT_TRUE(server.IsStarted());

        auto refused = Attach(server);
        EXPECT_FALSE(refused->Receive(5s)) << "greeted although nothing can be stored";
        EXPECT_TRUE(log.WaitFor("refuses a client : the solution is unavailable"));
        EXPECT_TRUE(log.WaitFor("cannot open the"));

        // Once the file can be made, the next client is served and its edit is stored.
        std::filesystem::remove_all(blocked);
        auto served = Attach(server);
        ASSERT_TRUE(served->Receive(5s)) << served->Error();
        const CRUid id = CRUid::Generate();
        ASSERT_TRUE(served->Request(
            {std::make_shared<CProtocol::CCommandCreateSequence>(id, P::CSequence(u"kept"))}));
        EXPECT_TRUE(std::filesystem::is_regular_file(blocked));
    }
}

TEST(ServerFailure, AnEditWhoseCommitFailsIsNeitherBroadcastNorLogged) {
    PalvorTest::CTempDir dir;
    PalvorTest::CLogCapture log;
    CRSeqServer server(log.Senders(), kSolution, dir.Path());
    auto writer = Attach(server);
    auto watcher = Attach(server);
    ASSERT_TRUE(writer->Receive(5s));
    ASSERT_TRUE(watcher->Receive(5s));
    const CRUid kept = CRUid::Generate();
    ASSERT_TRUE(writer->Request(
        {std::make_shared<CProtocol::CCommandCreateSequence>(kept, P::CSequence(u"kept"))}));
    ASSERT_TRUE(watcher->Receive(5s));  // its broadcast

    // As on a full disk: no file of this process may grow, and the solution's log only
    // grows when a transaction commits.
    const auto wal = CRSeqServer::SolutionFileOf(dir.Path(), kSolution).string() + "-wal";
    ASSERT_TRUE(std::filesystem::exists(wal));
    rlimit old{};
    getrlimit(RLIMIT_FSIZE, &old);
    const auto handler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit full = old;
    full.rlim_cur = std::filesystem::file_size(wal);
    setrlimit(RLIMIT_FSIZE, &full);
    const CRUid lost = CRUid::Generate();
    const auto answer = writer->Request(
        {std::make_shared<CProtocol::CCommandCreateSequence>(lost, P::CSequence(u"lost"))});
    setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, handler);

    ASSERT_TRUE(answer);
    EXPECT_TRUE(answer->empty()) << "the failed creation was announced to its sender";
    EXPECT_FALSE(watcher->Receive(300ms)) << "the failed creation was broadcast";
    EXPECT_TRUE(log.WaitFor("CCommandCreateSequence not stored : the database refused the commit"));
    // A newcomer is greeted with what is stored: the first sequence only.
    auto fresh = Attach(server);
    const auto greeting = fresh->Receive(5s);
    ASSERT_TRUE(greeting);
    EXPECT_EQ(greeting->size(), 2u);  // the registration echo and "kept"
    // The activity log holds the one edit that was stored.
    ASSERT_TRUE(server.Sync([](CServer&) {}));
    sqlite3* db = nullptr;
    int rows = -1;
    if (sqlite3_open_v2(CRActivityLog::FileOf(dir.Path(), kSolution).c_str(), &db,
                        SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        sqlite3_stmt* st = nullptr;
        if (sqlite3_prepare_v2(db, "SELECT count(*) FROM log", -1, &st, nullptr) == SQLITE_OK &&
            sqlite3_step(st) == SQLITE_ROW)
            rows = sqlite3_column_int(st, 0);
        sqlite3_finalize(st);
    }
    sqlite3_close(db);
    EXPECT_EQ(rows, 1);
}

TEST(ServerFailure, ACallerIsNeverLeftWaiting) {
    PalvorTest::CTempDir dir;
    PalvorTest::CLogCapture log;
    CRSeqServer server(log.Senders(), kSolution, dir.Path());
    EXPECT_FALSE(server.Sync([](CServer&) { throw std::runtime_error("broken request"); }));
    EXPECT_TRUE(log.WaitFor("Sync failed : broken request"));
    // The server goes on serving.
    bool ran = false;
    EXPECT_TRUE(server.Sync([&](CServer&) { ran = true; }));
    EXPECT_TRUE(ran);
    auto client = Attach(server);
    EXPECT_TRUE(client->Receive(5s));
}

}  // namespace
