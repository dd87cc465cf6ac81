#include "server/Protocol.h"

namespace DUve::Sequencer::CProtocol {

void CBase::RegisterClasses(CRSerializeT<CBase>::CRegistrar& r) {
    // The order of the protocol table.
    r.Add<CRegistClient>();
    r.Add<CCommandEcho>();
    r.Add<CCommandExportSmf>();
    r.Add<CCommandExportedSmf>();
    r.Add<CCommandDelete>();
    r.Add<CCommandDeleted>();
    r.Add<CCommandChangedSequenceProperty>();
    r.Add<CCommandCreateSequence>();
    r.Add<CCommandOpenSequence>();
    r.Add<CCommandChangedTrackProperty>();
    r.Add<CCommandSetSequenceTitle>();
    r.Add<CCommandCreateTrack>();
    r.Add<CCommandSetTrackTitle>();
    r.Add<CCommandTrackChangeMml>();
    r.Add<CCommandTrackCompileMml>();
    r.Add<CCommandTrackCompiledMml>();
    r.Add<CCommandSetPortEnable>();
    r.Add<CCommandPortChangeInstrument>();
    r.Add<CCommandChangedPortProperty>();
    r.Add<CCommandCreatePort>();
    r.Add<CCommandLoadSmf>();
    r.Add<CCommandCreateEvent>();
}

namespace {
const bool s_bRegistered = (CSerialize::Registry(), true);
}  // namespace

}  // namespace DUve::Sequencer::CProtocol
