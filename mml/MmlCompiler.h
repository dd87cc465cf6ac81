// MML compiler: parses a track's MML, runs the instructions against per-port state and
// brings the track's ports and events in the solution database into line with the result,
// keeping every stored event that the new text generates again (and its identifier).
// All database changes of one compile happen in one transaction, undone on a fatal error.
#pragma once

#include <map>
#include <memory>

#include "model/SeqProperty.h"
#include "model/SolutionDb.h"
#include "runtime/RArchive.h"
#include "runtime/RUid.h"

namespace DUve::Sequencer {

class CMmlCompiler {
public:
    // What a successful compile changed in the database.
    struct CChanged {
        CRUidSet setIdDeletedEvent;  // events removed
        CRUidSet setIdCreatedPort;   // ports created
        CRUidSet setIdChangedPort;   // existing ports whose instrument or channel was updated
        // The events inserted, per port; every port that was processed has an entry, with
        // an empty list when nothing needed inserting.
        std::map<CRUid, CRSeq::Property::CListEvent> mapCreatedEvent;
        // The property written, for every created or changed port.
        std::map<CRUid, CRSeq::Property::CPort> mapPortProperty;
    };

    struct CResult {
        CRStringList vMessages;  // message lines, in order
        // Null when the track does not exist or after a fatal error (nothing was written).
        std::shared_ptr<const CChanged> changed;
    };

    // Never throws.
    static CResult Compile(CSolutionDb& db, const CRUid& idTrack);
};

}  // namespace DUve::Sequencer
