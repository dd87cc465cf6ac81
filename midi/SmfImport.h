// SMF import: reads a Standard MIDI File and adds its content to an existing sequence as
// new tracks, one port per track and the port's events, all in one database transaction.
// It changes only the database; the caller tells the clients what was created.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "model/SeqProperty.h"
#include "model/SolutionDb.h"
#include "runtime/RArchive.h"
#include "runtime/RUid.h"

namespace DUve {

struct CSmfImportResult {
    bool bOk = false;
    CRUid idSequence;
    std::vector<std::pair<CRUid, CRSeq::Property::CTrack>> vTracks;  // created tracks, in order
    std::vector<std::pair<CRUid, CRSeq::Property::CPort>> vPorts;    // created ports, in order
    std::map<CRUid, CRSeq::Property::CListEvent> mapEvents;          // port id -> its events
    // The identifiers given followed by those generated when they ran out (as the request
    // would read with every identifier it used).
    CRUidList vIds;
};

// Ticks of a file with `division` ticks per quarter note as steps (480 per quarter note):
// floor(ticks * 480 / division), kept within 32 bits; 0 for a division of 0.
uint32_t SmfTicksToSteps(uint32_t ticks, uint16_t division);

// Imports `smf` into the sequence `idSequence`; every port gets the instrument name
// `sInstrument`, new items take their identifiers from `vIds` in order (events in reading
// order, then per track its own and its port's) and generated ones after those. A sequence
// that does not exist, an unreadable file, a division of 0 or a failed database operation
// leaves the database unchanged and gives bOk false. Never throws.
CSmfImportResult ImportSmf(CSolutionDb& db, const std::vector<uint8_t>& smf,
                           const CRUid& idSequence, const std::u16string& sInstrument,
                           const CRUidList& vIds);

}  // namespace DUve
