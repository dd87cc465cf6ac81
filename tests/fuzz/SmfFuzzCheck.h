// Shared by the SMF fuzz target and the SMF corpus replay test: read one input as a
// Standard MIDI File and, when it reads, check what a successful read promises (the
// written file reads again to the same chunks, and writing that gives the same bytes).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "midi/RSmf.h"

namespace PalvorFuzz {

// False when a file that was read does not survive writing and reading back.
inline bool CheckSmf(const uint8_t* data, size_t size) {
    DUve::CRSmf smf;
    if (!smf.Read(data, size)) return smf.TrackChunks().empty() && smf.GetDivision() == 480;
    // Note lengths are looked up for every note, as the import does.
    for (const auto& chunk : smf.TrackChunks())
        for (const auto& e : *chunk)
            if (e->GetKind() == DUve::CRSmfEvent::EKind::NoteOn)
                (void)chunk->FindNoteLength(static_cast<const DUve::CRSmfEventChNote&>(*e));
    const std::vector<uint8_t> written = smf.Write();
    DUve::CRSmf again;
    if (!again.Read(written)) return false;
    if (again.GetDivision() != smf.GetDivision()) return false;
    if (again.TrackChunks().size() != smf.TrackChunks().size()) return false;
    for (size_t i = 0; i < smf.TrackChunks().size(); ++i) {
        const size_t before = smf.TrackChunks()[i]->size();
        const size_t after = again.TrackChunks()[i]->size();
        // The writer may add an end-of-track meta, and empty text metas across long gaps.
        if (after < before) return false;
    }
    return again.Write() == written;
}

}  // namespace PalvorFuzz
