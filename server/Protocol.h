// Protocol commands: the 22 serializable classes that make up every frame between a
// client and the sequencer server, each with its fields in wire order.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "model/SeqProperty.h"
#include "runtime/RSerialize.h"
#include "runtime/RUid.h"

namespace DUve::Sequencer::CProtocol {

namespace Property = DUve::CRSeq::Property;

class CBase {
public:
    using CFamily = CBase;
    virtual ~CBase() = default;
    virtual uint16_t GetSerializeId() const = 0;
    virtual void Serialize(CRArchive& ar) const = 0;
    // Registers the 22 commands, in protocol table order.
    static void RegisterClasses(CRSerializeT<CBase>::CRegistrar& registrar);
};

using CSerialize = CRSerializeT<CBase>;
using CPtr = std::shared_ptr<const CBase>;

// Declares the qualified name, the archive constructor and the field list of a command.
#define PALVOR_COMMAND(Name, ...)                                                  \
    static constexpr std::string_view kTypeName = "DUve::Sequencer::CProtocol::" #Name; \
    explicit Name(CRArchive& ar) { Load(ar); }                                     \
    template <class Self, class F>                                                 \
    static void Fields(Self& s, F&& f) {                                           \
        f(__VA_ARGS__);                                                            \
    }

// Registration (client to server) and greeting (server to client).
struct CRegistClient : CFieldObjT<CRegistClient, CBase> {
    uint32_t nVisiterId = 0;
    std::u16string sToken;
    uint32_t nSolutionId = 0;
    CRegistClient() = default;
    CRegistClient(uint32_t visiter, std::u16string token, uint32_t solution)
        : nVisiterId(visiter), sToken(std::move(token)), nSolutionId(solution) {}
    PALVOR_COMMAND(CRegistClient, s.nVisiterId, s.sToken, s.nSolutionId)
};

struct CCommandEcho : CFieldObjT<CCommandEcho, CBase> {
    CRUid idEcho;
    CCommandEcho() = default;
    explicit CCommandEcho(const CRUid& id) : idEcho(id) {}
    PALVOR_COMMAND(CCommandEcho, s.idEcho)
};

struct CCommandExportSmf : CFieldObjT<CCommandExportSmf, CBase> {
    CRUid idRequest;
    CRUid idSequence;
    CCommandExportSmf() = default;
    CCommandExportSmf(const CRUid& request, const CRUid& sequence)
        : idRequest(request), idSequence(sequence) {}
    PALVOR_COMMAND(CCommandExportSmf, s.idRequest, s.idSequence)
};

struct CCommandExportedSmf : CFieldObjT<CCommandExportedSmf, CBase> {
    CRUid idRequest;
    CRUid idSequence;
    CRBytes vSmf;
    CCommandExportedSmf() = default;
    CCommandExportedSmf(const CRUid& request, const CRUid& sequence, CRBytes smf)
        : idRequest(request), idSequence(sequence), vSmf(std::move(smf)) {}
    PALVOR_COMMAND(CCommandExportedSmf, s.idRequest, s.idSequence, s.vSmf)
};

struct CCommandDelete : CFieldObjT<CCommandDelete, CBase> {
    CRUidSet idSet;
    CCommandDelete() = default;
    explicit CCommandDelete(CRUidSet ids) : idSet(std::move(ids)) {}
    PALVOR_COMMAND(CCommandDelete, s.idSet)
};

struct CCommandDeleted : CFieldObjT<CCommandDeleted, CBase> {
    CRUidSet setSequence;
    CRUidSet setTrack;
    CRUidSet setPort;
    CRUidSet setEvent;
    CCommandDeleted() = default;
    CCommandDeleted(CRUidSet sequences, CRUidSet tracks, CRUidSet ports, CRUidSet events)
        : setSequence(std::move(sequences)),
          setTrack(std::move(tracks)),
          setPort(std::move(ports)),
          setEvent(std::move(events)) {}
    PALVOR_COMMAND(CCommandDeleted, s.setSequence, s.setTrack, s.setPort, s.setEvent)
};

struct CCommandChangedSequenceProperty : CFieldObjT<CCommandChangedSequenceProperty, CBase> {
    CRUid idSequence;
    Property::CSequence property;
    CCommandChangedSequenceProperty() = default;
    CCommandChangedSequenceProperty(const CRUid& sequence, Property::CSequence prop)
        : idSequence(sequence), property(std::move(prop)) {}
    PALVOR_COMMAND(CCommandChangedSequenceProperty, s.idSequence, s.property)
};

struct CCommandCreateSequence : CFieldObjT<CCommandCreateSequence, CBase> {
    CRUid idSequence;
    Property::CSequence property;
    CCommandCreateSequence() = default;
    CCommandCreateSequence(const CRUid& sequence, Property::CSequence prop)
        : idSequence(sequence), property(std::move(prop)) {}
    PALVOR_COMMAND(CCommandCreateSequence, s.idSequence, s.property)
};

struct CCommandOpenSequence : CFieldObjT<CCommandOpenSequence, CBase> {
    CRUidSet idSet;
    CCommandOpenSequence() = default;
    explicit CCommandOpenSequence(CRUidSet ids) : idSet(std::move(ids)) {}
    PALVOR_COMMAND(CCommandOpenSequence, s.idSet)
};

struct CCommandChangedTrackProperty : CFieldObjT<CCommandChangedTrackProperty, CBase> {
    CRUid idTrack;
    Property::CTrack property;
    CCommandChangedTrackProperty() = default;
    CCommandChangedTrackProperty(const CRUid& track, Property::CTrack prop)
        : idTrack(track), property(std::move(prop)) {}
    PALVOR_COMMAND(CCommandChangedTrackProperty, s.idTrack, s.property)
};

struct CCommandSetSequenceTitle : CFieldObjT<CCommandSetSequenceTitle, CBase> {
    CRUid idSequence;
    std::u16string sTitle;
    CCommandSetSequenceTitle() = default;
    CCommandSetSequenceTitle(const CRUid& sequence, std::u16string title)
        : idSequence(sequence), sTitle(std::move(title)) {}
    PALVOR_COMMAND(CCommandSetSequenceTitle, s.idSequence, s.sTitle)
};

struct CCommandCreateTrack : CFieldObjT<CCommandCreateTrack, CBase> {
    CRUid idTrack;
    CRUid idSequence;
    Property::CTrack property;
    CCommandCreateTrack() = default;
    CCommandCreateTrack(const CRUid& track, const CRUid& sequence, Property::CTrack prop)
        : idTrack(track), idSequence(sequence), property(std::move(prop)) {}
    PALVOR_COMMAND(CCommandCreateTrack, s.idTrack, s.idSequence, s.property)
};

struct CCommandSetTrackTitle : CFieldObjT<CCommandSetTrackTitle, CBase> {
    CRUid idTrack;
    std::u16string sTitle;
    CCommandSetTrackTitle() = default;
    CCommandSetTrackTitle(const CRUid& track, std::u16string title)
        : idTrack(track), sTitle(std::move(title)) {}
    PALVOR_COMMAND(CCommandSetTrackTitle, s.idTrack, s.sTitle)
};

struct CCommandTrackChangeMml : CFieldObjT<CCommandTrackChangeMml, CBase> {
    CRUid idTrack;
    std::u16string sMml;
    CCommandTrackChangeMml() = default;
    CCommandTrackChangeMml(const CRUid& track, std::u16string mml)
        : idTrack(track), sMml(std::move(mml)) {}
    PALVOR_COMMAND(CCommandTrackChangeMml, s.idTrack, s.sMml)
};

struct CCommandTrackCompileMml : CFieldObjT<CCommandTrackCompileMml, CBase> {
    CRUid idTrack;
    CCommandTrackCompileMml() = default;
    explicit CCommandTrackCompileMml(const CRUid& track) : idTrack(track) {}
    PALVOR_COMMAND(CCommandTrackCompileMml, s.idTrack)
};

struct CCommandTrackCompiledMml : CFieldObjT<CCommandTrackCompiledMml, CBase> {
    CRUid idTrack;
    CRStringList vMessages;
    CCommandTrackCompiledMml() = default;
    CCommandTrackCompiledMml(const CRUid& track, CRStringList messages)
        : idTrack(track), vMessages(std::move(messages)) {}
    PALVOR_COMMAND(CCommandTrackCompiledMml, s.idTrack, s.vMessages)
};

struct CCommandSetPortEnable : CFieldObjT<CCommandSetPortEnable, CBase> {
    CRUid idPort;
    bool bEnable = false;
    CCommandSetPortEnable() = default;
    CCommandSetPortEnable(const CRUid& port, bool enable) : idPort(port), bEnable(enable) {}
    PALVOR_COMMAND(CCommandSetPortEnable, s.idPort, s.bEnable)
};

struct CCommandPortChangeInstrument : CFieldObjT<CCommandPortChangeInstrument, CBase> {
    CRUid idPort;
    std::u16string sInstrument;
    uint8_t nChannel = 0;
    CCommandPortChangeInstrument() = default;
    CCommandPortChangeInstrument(const CRUid& port, std::u16string instrument, uint8_t channel)
        : idPort(port), sInstrument(std::move(instrument)), nChannel(channel) {}
    PALVOR_COMMAND(CCommandPortChangeInstrument, s.idPort, s.sInstrument, s.nChannel)
};

struct CCommandChangedPortProperty : CFieldObjT<CCommandChangedPortProperty, CBase> {
    CRUid idPort;
    Property::CPort property;
    CCommandChangedPortProperty() = default;
    CCommandChangedPortProperty(const CRUid& port, Property::CPort prop)
        : idPort(port), property(std::move(prop)) {}
    PALVOR_COMMAND(CCommandChangedPortProperty, s.idPort, s.property)
};

struct CCommandCreatePort : CFieldObjT<CCommandCreatePort, CBase> {
    CRUid idPort;
    Property::CPort property;
    CCommandCreatePort() = default;
    CCommandCreatePort(const CRUid& port, Property::CPort prop)
        : idPort(port), property(std::move(prop)) {}
    PALVOR_COMMAND(CCommandCreatePort, s.idPort, s.property)
};

struct CCommandLoadSmf : CFieldObjT<CCommandLoadSmf, CBase> {
    CRBytes vSmf;
    CRUid idSequence;
    std::u16string sInstrument;
    CRUidList vIds;
    CCommandLoadSmf() = default;
    CCommandLoadSmf(CRBytes smf, const CRUid& sequence, std::u16string instrument, CRUidList ids)
        : vSmf(std::move(smf)),
          idSequence(sequence),
          sInstrument(std::move(instrument)),
          vIds(std::move(ids)) {}
    PALVOR_COMMAND(CCommandLoadSmf, s.vSmf, s.idSequence, s.sInstrument, s.vIds)
};

struct CCommandCreateEvent : CFieldObjT<CCommandCreateEvent, CBase> {
    CRUid idPort;
    Property::CListEvent events;
    CCommandCreateEvent() = default;
    CCommandCreateEvent(const CRUid& port, Property::CListEvent list)
        : idPort(port), events(std::move(list)) {}
    PALVOR_COMMAND(CCommandCreateEvent, s.idPort, s.events)
};

#undef PALVOR_COMMAND

// Qualified class name of a command's serialize id; empty when the id is not a command.
std::string_view ClassName(uint16_t serializeId);

}  // namespace DUve::Sequencer::CProtocol
