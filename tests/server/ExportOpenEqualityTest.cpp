// Export and open answer byte for byte what they answered when a request loaded the whole
// sequence into an in-memory solution: export as the MIDI player renders the loaded
// sequence (ExportSmf), open as the reply built from the loaded solution. Table-driven over
// the SMF corpus (imported), the MML corpus (compiled), random editing sessions and a
// sequence of edge cases; both requests go through the server's handlers.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <random>

#include <boost/asio/io_context.hpp>

#include "midi/RMidiPlayer.h"
#include "midi/SmfImport.h"
#include "mml/MmlCompiler.h"
#include "model/RSeqSolution.h"
#include "runtime/RString.h"
#include "server/RSeqServer.h"
#include "support/RandomEditor.h"
#include "support/TempDir.h"

using namespace DUve;
using namespace DUve::Sequencer;
using namespace DUve::Sequencer::CProtocol;
namespace P = DUve::CRSeq::Property;
namespace fs = std::filesystem;

namespace {

const fs::path kFuzz = fs::path(__FILE__).parent_path().parent_path() / "fuzz";

std::vector<uint8_t> ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::vector<fs::path> Corpus(const char* folder) {
    std::vector<fs::path> files;
    for (const auto& entry : fs::directory_iterator(kFuzz / folder))
        if (entry.is_regular_file()) files.push_back(entry.path());
    std::sort(files.begin(), files.end());
    return files;
}

// The open reply as the handler built it from a solution loaded whole.
CRBytes ReferenceOpen(CSolutionDb& db, const CRUidSet& ids, CRUidSet& setOpen) {
    const auto solution = CRSeqSolution::LoadSequences(db, ids);
    std::vector<CPtr> reply;
    CRUidSet opened;
    for (const auto& seq : solution->GetSequences())
        if (setOpen.insert(seq->idSequence).second) opened.insert(seq->idSequence);
    reply.push_back(std::make_shared<CCommandOpenSequence>(opened));
    for (const auto& idSequence : opened)
        for (const auto& track : solution->GetTracksOfSequence(idSequence)) {
            reply.push_back(std::make_shared<CCommandCreateTrack>(track->idTrack, idSequence, track->property));
            if (!track->sMml.empty())
                reply.push_back(std::make_shared<CCommandTrackChangeMml>(track->idTrack, track->sMml));
        }
    for (const auto& idSequence : opened)
        for (const auto& [track, sequence, port] : solution->GetPortsOfSequence(idSequence)) {
            reply.push_back(std::make_shared<CCommandCreatePort>(port->idPort, port->property));
            P::CListEvent events;
            for (const auto& e : solution->GetEventsOfPort(port->idPort))
                events.Insert(std::make_shared<const P::CEventCommon>(e->idEvent, e->nStep, e->property));
            reply.push_back(std::make_shared<CCommandCreateEvent>(port->idPort, std::move(events)));
        }
    return CSerialize::SaveObjects(reply);
}

// A server over the database with one session, as the sequencer server runs handlers.
struct CHarness {
    boost::asio::io_context io;
    CServer server;
    CServer::CSessionPtr session = std::make_shared<CServer::CSession>(io);
    explicit CHarness(CSolutionDb& db) : server(1, db) { server.Sessions().insert(session); }

    std::vector<CPtr> Run(const std::vector<CPtr>& commands) {
        CServer::CSendBatch batch(server);
        server.Dispatch(session, commands, batch);
        return batch.QueuedFor(session);
    }
    CRBytes Export(const CRUid& idSequence) {
        const auto reply = Run({std::make_shared<CCommandExportSmf>(CRUid::Generate(), idSequence)});
        const auto* answer = reply.size() == 1 ? dynamic_cast<const CCommandExportedSmf*>(reply[0].get()) : nullptr;
        return answer ? answer->vSmf : CRBytes{};
    }
};

// Every sequence of the database: exported and opened alone, then all opened at once and
// opened again (nothing new), each compared with the reference.
void ExpectSameAnswers(CSolutionDb& db, const std::string& what) {
    CRUidSet all;
    for (const auto& seq : db.SelectAllSequences()) all.insert(seq->idSequence);
    all.insert(CRUid::Generate());  // unknown: exported as an empty file, opened as nothing
    size_t nonEmpty = 0;
    for (const CRUid& id : all) {
        CHarness h(db);
        const CRBytes expected = ExportSmf(db, id, std::chrono::seconds(60));
        ASSERT_FALSE(expected.empty()) << what;
        EXPECT_EQ(h.Export(id), expected) << what << " export of " << id.ToText();
        nonEmpty += expected.size() > 22;
        CRUidSet open;
        EXPECT_EQ(CSerialize::SaveObjects(h.Run({std::make_shared<CCommandOpenSequence>(CRUidSet{id})})),
                  ReferenceOpen(db, {id}, open))
            << what << " open of " << id.ToText();
    }
    CHarness h(db);
    CRUidSet open;
    for (int round = 0; round < 2; ++round)
        EXPECT_EQ(CSerialize::SaveObjects(h.Run({std::make_shared<CCommandOpenSequence>(all)})),
                  ReferenceOpen(db, all, open))
            << what << " open of everything, round " << round;
    EXPECT_GT(nonEmpty, 0u) << what << ": nothing was exported";
}

struct CCase {
    const char* name;
    std::function<void(CSolutionDb&)> fill;
};

CRUid NewSequence(CSolutionDb& db, const std::string& title) {
    const CRUid id = CRUid::Generate();
    EXPECT_TRUE(db.CreateSequence(id, P::CSequence(Utf8ToUtf16(title))));
    return id;
}

// Every corpus file imported into a sequence of its own; every third one with its first
// port disabled and a second copy on another instrument.
void FillSmf(CSolutionDb& db) {
    int n = 0;
    for (const auto& file : Corpus("corpus-smf")) {
        const CRUid seq = NewSequence(db, file.filename().string());
        const auto bytes = ReadFile(file);
        const auto result = ImportSmf(db, bytes, seq, u"synth", {});
        if (result.bOk && !result.vPorts.empty() && ++n % 3 == 0) {
            auto port = result.vPorts.front();
            port.second.bEnable = false;
            EXPECT_TRUE(db.UpdatePort(port.first, port.second));
            ImportSmf(db, bytes, seq, u"other", {});
        }
    }
}

void FillMml(CSolutionDb& db) {
    for (const auto& file : Corpus("corpus-mml")) {
        const CRUid seq = NewSequence(db, file.filename().string()), track = CRUid::Generate();
        ASSERT_TRUE(db.CreateTrack(track, seq, P::CTrack(u"mml")));
        const auto text = ReadFile(file);
        db.ChangeMml(track, Utf8ToUtf16(std::string(text.begin(), text.end())));
        CMmlCompiler::Compile(db, track);
    }
}

void FillRandom(CSolutionDb& db, uint32_t seed) {
    CHarness h(db);
    PalvorTest::CRandomEditor editor(seed);
    PalvorTest::CView view;
    for (int i = 0; i < 600; ++i) {
        view.Apply(h.Run(editor.Next()));
        editor.Learn(view);
    }
}

// Ties and limits: steps past 2^31 and at the last step, notes that end past it or have no
// length, tempo events of one step in two ports, exclusive data with top bits, a disabled
// port, a meter, and a row whose property cannot be read.
void FillEdges(CSolutionDb& db) {
    const CRUid seq = NewSequence(db, "edges"), track = CRUid::Generate();
    ASSERT_TRUE(db.CreateTrack(track, seq, P::CTrack(u"t")));
    const CRUid ports[3] = {CRUid::Generate(), CRUid::Generate(), CRUid::Generate()};
    for (int i = 0; i < 3; ++i) {
        P::CPort p(track, u"p", i == 1 ? u"other" : u"synth", uint8_t(i * 7));
        p.bEnable = i != 2;
        ASSERT_TRUE(db.CreatePort(ports[i], p));
    }
    std::mt19937 rng(7);
    const uint32_t steps[] = {0, 480, 0x7FFFFFFF, 0x80000000u, 0xFFFFFFF0u, 0xFFFFFFFFu};
    for (int batch = 0; batch < 6; ++batch)
        for (int i = 0; i < 3; ++i) {
            P::CListEvent list;
            for (int k = 0; k < 12; ++k) {
                const uint32_t step = steps[rng() % std::size(steps)];
                switch (rng() % 8) {
                    case 0: list.Insert(step, std::make_shared<P::CEventTempo>(60.0 + rng() % 120)); break;
                    case 1: list.Insert(step, std::make_shared<P::CEventExclusive>(CRBytes{0x41, uint8_t(rng()), 0x10})); break;
                    case 2: list.Insert(step, std::make_shared<P::CEventPitchBend>(int16_t(rng() % 16384) - 8192)); break;
                    case 3: list.Insert(step, std::make_shared<P::CEventMeter>()); break;
                    case 4: list.Insert(step, std::make_shared<P::CEventProgramChange>(uint8_t(rng()))); break;
                    case 5: list.Insert(step, std::make_shared<P::CEventControlChange>(uint8_t(rng() % 4), uint8_t(rng()))); break;
                    default:
                        list.Insert(step, std::make_shared<P::CEventNote>(uint8_t(60 + rng() % 3), uint8_t(rng() % 3 * 60),
                                                                          uint32_t(rng() % 3 == 0 ? 0 : 480 + (rng() % 2) * 0x7FFFFFFFu)));
                }
            }
            ASSERT_TRUE(db.InsertEvents(ports[i], list));
        }
    // A row no reader can use, straight into the file.
    sqlite3* raw = nullptr;
    ASSERT_EQ(sqlite3_open(db.GetPath().c_str(), &raw), SQLITE_OK);
    const std::string sql = "INSERT INTO event VALUES(randomblob(16), X'" + SolutionDbInner::BlobList(std::vector<CRUid>{ports[0]}).substr(2, 32) +
                            "', 480, 0, X'ffff01')";
    EXPECT_EQ(sqlite3_exec(raw, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(raw);
}

class ExportOpenEquality : public ::testing::TestWithParam<CCase> {};

}  // namespace

TEST_P(ExportOpenEquality, AnswersAreTheBytesOfTheWholeSolution) {
    PalvorTest::CTempDir dir;
    CSolutionDb db;
    ASSERT_TRUE(db.Open(dir.Path() / "equal.db"));
    GetParam().fill(db);
    ExpectSameAnswers(db, GetParam().name);
}

INSTANTIATE_TEST_SUITE_P(
    Corpora, ExportOpenEquality,
    ::testing::Values(CCase{"SmfCorpus", FillSmf}, CCase{"MmlCorpus", FillMml},
                      CCase{"RandomSession1", [](CSolutionDb& db) { FillRandom(db, 1); }},
                      CCase{"RandomSession4242", [](CSolutionDb& db) { FillRandom(db, 4242); }},
                      CCase{"RandomSession20261209", [](CSolutionDb& db) { FillRandom(db, 20261209); }},
                      CCase{"Edges", FillEdges}),
    [](const ::testing::TestParamInfo<CCase>& info) { return std::string(info.param.name); });
