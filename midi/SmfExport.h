// Export of a sequence as a Standard MIDI File straight from the solution file: the events
// of the enabled ports are read in step order, put in score order a step at a time and
// written as they come. The file is the one the MIDI player renders from the same
// sequence (ExportSmf), without loading the sequence, the player or the score as a whole.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "runtime/RUid.h"

namespace DUve {

class CSolutionDb;

// Whether an instrument name stands for a MIDI sink; the export orders events without a
// sink before those with one, as the player's score does.
using CHasMidiSink = std::function<bool(const std::u16string& sInstrument)>;

// The device registry's answer, as the player resolves a port's instrument (a device is
// created for the name when there is none yet). Keeps what it created until it is destroyed.
class CRegistrySinks {
public:
    CRegistrySinks();
    ~CRegistrySinks();
    bool operator()(const std::u16string& sInstrument);

private:
    struct CInner;
    std::shared_ptr<CInner> m_pInner;
};

// The file of one track chunk (format 0, division 480): the tempo events as tempo metas,
// every sounding event of the enabled ports. A sequence that is unknown or has no such
// events gives a chunk that holds only the end-of-track meta. `hasSink` null: the registry.
std::vector<uint8_t> ExportSmfFromStorage(CSolutionDb& db, const CRUid& idSequence,
                                          CHasMidiSink hasSink = {});

}  // namespace DUve
