// MML compile benchmark: 100,000 notes over 16 ports compiled into an empty track, then the
// same text compiled again unchanged. Beside each, in the same run, the storage work it
// cannot avoid: inserting the same events with InsertEvents, and reading every port's
// events back with SelectEventsOfPort.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "mml/MmlCompiler.h"
#include "model/SolutionDb.h"

using namespace DUve;
using namespace DUve::CRSeq::Property;
namespace fs = std::filesystem;

namespace {

constexpr int kPorts = 16;
constexpr int kNotes = 100000;

double Seconds(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

std::u16string PortName(int i) {
    return u"part" + std::u16string(1, static_cast<char16_t>(u'a' + i));
}

// Declarations, then per port a run of notes of mixed lengths, sixteen to a line.
std::u16string MakeMml() {
    static const char16_t* const kNote[] = {u"c",  u"d8", u"e16",   u"f+", u"g4.",
                                            u"a8", u"b-", u"c8^16", u"r8", u"d"};
    std::u16string mml;
    for (int p = 0; p < kPorts; ++p)
        mml += u"declare port " + PortName(p) + u" = synth:" +
               std::u16string(1, static_cast<char16_t>(u'0' + p % 10)) + u";\n";
    int written = 0;
    for (int p = 0; p < kPorts; ++p) {
        const int count = kNotes / kPorts + (p < kNotes % kPorts ? 1 : 0);
        mml += u"port(" + PortName(p) + u") t120 @1 v90 o4 l4\n";
        int onLine = 0;
        for (int n = 0, k = p; n < count; ++k) {
            const char16_t* token = kNote[k % 10];
            mml += token;
            mml += ++onLine % 16 == 0 ? u"\n" : u" ";
            if (token[0] != u'r') ++n;
        }
        written += count;
        mml += u"\n";
    }
    return written == kNotes ? mml : std::u16string();
}

}  // namespace

int main() {
    std::string pattern = (fs::temp_directory_path() / "palvor-bench-mml-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) return 1;
    const fs::path folder = pattern;
    int rc = 0;
    {
        const std::u16string mml = MakeMml();
        CSolutionDb db;
        const CRUid idSequence = CRUid::Generate(), idTrack = CRUid::Generate();
        if (mml.empty() || !db.Open(folder / "compile.db") ||
            !db.CreateSequence(idSequence, CSequence(u"bench")) ||
            !db.CreateTrack(idTrack, idSequence, CTrack(u"mml")) ||
            !db.ChangeMml(idTrack, mml).second)
            return 1;

        auto start = std::chrono::steady_clock::now();
        const auto first = Sequencer::CMmlCompiler::Compile(db, idTrack);
        const double dCompile = Seconds(start);

        start = std::chrono::steady_clock::now();
        const auto again = Sequencer::CMmlCompiler::Compile(db, idTrack);
        const double dRecompile = Seconds(start);

        size_t nCreated = 0, nRecreated = 0;
        if (first.changed)
            for (const auto& [id, list] : first.changed->mapCreatedEvent) nCreated += list.size();
        if (again.changed)
            for (const auto& [id, list] : again.changed->mapCreatedEvent) nRecreated += list.size();
        if (!first.changed || !again.changed || nRecreated != 0 ||
            !again.changed->setIdDeletedEvent.empty()) {
            std::fprintf(stderr, "compile did not give the expected result\n");
            rc = 1;
        }

        // Floor of the recompile: reading what must be compared.
        start = std::chrono::steady_clock::now();
        size_t nRead = 0;
        for (const auto& port : db.SelectPortsOfTrack(idTrack))
            nRead += db.SelectEventsOfPort(port->idPort).size();
        const double dRead = Seconds(start);

        // Floor of the first compile: storing the same events in the same ports of an
        // empty database, in one transaction as the compile does.
        CSolutionDb floorDb;
        if (!floorDb.Open(folder / "floor.db") ||
            !floorDb.CreateSequence(idSequence, CSequence(u"bench")) ||
            !floorDb.CreateTrack(idTrack, idSequence, CTrack(u"mml")))
            return 1;
        for (const auto& port : db.SelectPortsOfTrack(idTrack))
            floorDb.CreatePort(port->idPort, port->property);
        start = std::chrono::steady_clock::now();
        {
            CSolutionDb::CTransaction transaction(floorDb);
            if (first.changed)
                for (const auto& [id, list] : first.changed->mapCreatedEvent)
                    if (!floorDb.InsertEvents(id, list)) rc = 1;
            if (!transaction.Commit()) rc = 1;
        }
        const double dInsert = Seconds(start);

        std::printf("MML compile, %d notes (%zu events) over %d ports, %zu characters\n", kNotes,
                    nCreated, kPorts, mml.size());
        std::printf(
            "  compile into empty track : %.3f s  %9.0f notes/s | InsertEvents only %.3f s"
            "  ratio %.1f\n",
            dCompile, kNotes / dCompile, dInsert, dCompile / dInsert);
        std::printf(
            "  recompile unchanged      : %.3f s  %9.0f notes/s | SelectEventsOfPort"
            " (%zu events) %.3f s  ratio %.1f\n",
            dRecompile, kNotes / dRecompile, nRead, dRead, dRecompile / dRead);
    }
    std::error_code ec;
    fs::remove_all(folder, ec);
    return rc;
}
