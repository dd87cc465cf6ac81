// The in-memory solution: a tree of sequences, tracks, ports and events with one index by
// identifier over all of them, built from the solution database for one request. Every
// item publishes its state as an immutable snapshot (CInfoSequence, CInfoTrack, CInfoPort,
// CInfoEvent) that readers may keep; a change replaces the snapshot instead of editing it.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "model/SeqProperty.h"
#include "runtime/RArchive.h"
#include "runtime/RUid.h"

namespace DUve {

class CSolutionDb;

namespace CRSeq {

struct CInfoSequence {
    CRUid idSequence;
    Property::CSequence property;
};

struct CInfoTrack {
    CRUid idTrack;
    std::shared_ptr<const CInfoSequence> parent;  // the sequence when the track was created
    Property::CTrack property;
    std::u16string sMml;
};

struct CInfoPort {
    CRUid idPort;
    std::shared_ptr<const CInfoTrack> parent;  // the track when the port was created
    Property::CPort property;
};

struct CInfoEvent {
    CRUid idEvent;
    std::shared_ptr<const CInfoPort> parent;  // the port when the event was created
    uint32_t nStep = 0;
    std::shared_ptr<const Property::CEventBase> property;
};

}  // namespace CRSeq

// Not thread-safe: one instance belongs to one thread; only the snapshots cross threads.
// No operation throws; a missing parent or a taken identifier gives an empty result.
class CRSeqSolution {
public:
    using CSequencePtr = std::shared_ptr<const CRSeq::CInfoSequence>;
    using CTrackPtr = std::shared_ptr<const CRSeq::CInfoTrack>;
    using CPortPtr = std::shared_ptr<const CRSeq::CInfoPort>;
    using CEventPtr = std::shared_ptr<const CRSeq::CInfoEvent>;

    class CInner;

    CRSeqSolution();
    ~CRSeqSolution();
    CRSeqSolution(const CRSeqSolution&) = delete;
    CRSeqSolution& operator=(const CRSeqSolution&) = delete;

    // Identifiers are unique over items of every kind.
    CSequencePtr CreateSequence(const CRUid& id, const CRSeq::Property::CSequence& p);
    // The new track has an empty MML text.
    CTrackPtr CreateTrack(const CRUid& idSequence, const CRUid& idTrack,
                          const CRSeq::Property::CTrack& p);
    // The parent track is p.idTrack.
    CPortPtr CreatePort(const CRUid& idPort, const CRSeq::Property::CPort& p);
    // The snapshots of the events created, in step order; events whose identifier is
    // taken are left out.
    std::vector<CEventPtr> CreateEvent(const CRUid& idPort,
                                       const CRSeq::Property::CListEvent& list);
    // Applies the title (when `property` is given) and the text (when `mml` is given).
    // Returns (current, previous); both are the previous snapshot when nothing changed,
    // both empty when the track does not exist.
    std::pair<CTrackPtr, CTrackPtr> ChangeTrack(const CRUid& idTrack,
                                                const CRSeq::Property::CTrack* property,
                                                const std::u16string* mml);

    CSequencePtr FindSequence(const CRUid& id);
    // (track, its sequence)
    std::tuple<CTrackPtr, CSequencePtr> FindTrack(const CRUid& id);
    // (its track, its sequence, port)
    std::tuple<CTrackPtr, CSequencePtr, CPortPtr> FindPort(const CRUid& id);
    // (its track, its sequence, its port, event)
    std::tuple<CTrackPtr, CSequencePtr, CPortPtr, CEventPtr> FindEvent(const CRUid& id);

    // In creation order.
    std::vector<CSequencePtr> GetSequences();
    std::vector<CTrackPtr> GetTracksOfSequence(const CRUid& idSequence);
    std::vector<CPortPtr> GetPortsOfTrack(const CRUid& idTrack);
    // (track, sequence, port) for every port of every track, tracks and ports in order.
    std::vector<std::tuple<CTrackPtr, CSequencePtr, CPortPtr>> GetPortsOfSequence(
        const CRUid& idSequence);
    // In step order, equal steps in insertion order.
    std::vector<CEventPtr> GetEventsOfPort(const CRUid& idPort);

    // A new solution holding the sequences of `ids` (those the database has) with
    // everything below them.
    static std::unique_ptr<CRSeqSolution> LoadSequences(CSolutionDb& db, const CRUidSet& ids);
    // Loads one sequence from the database unless the solution holds it already.
    static void LoadSequence(CRSeqSolution& solution, CSolutionDb& db, const CRUid& id);
    // LoadSequence without the events: the sequence, its tracks (with their MML) and its
    // ports. Returns the identifiers of the ports it created, whose events LoadSequence
    // would add next.
    static CRUidSet LoadSequenceOutline(CRSeqSolution& solution, CSolutionDb& db,
                                        const CRUid& id);

private:
    std::unique_ptr<CInner> m_pInner;
};

}  // namespace DUve
