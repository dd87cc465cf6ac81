// Piano rolls of the sequences the programs know: one a client has opened on a server, and
// one read from a solution (an imported file).
#pragma once

#include "model/RSeqSolution.h"
#include "tools/cli/Session.h"
#include "tools/render/PianoRoll.h"

namespace DUve::Render {

// The opened sequence as the client knows it: ports ordered by track title, port title and
// channel (a client is not told the order they were made in).
CRoll RollOfMirror(const Cli::CMirror& mirror, const CRUid& idSequence);

// The sequence of a solution, tracks and ports in their stored order.
CRoll RollOfSolution(CRSeqSolution& solution, const CRUid& idSequence);

}  // namespace DUve::Render
