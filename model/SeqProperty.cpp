#include "model/SeqProperty.h"

namespace DUve::CRSeq::Property {

void CBase::RegisterClasses(CRSerializeT<CBase>::CRegistrar& r) {
    r.Add<CSequence>();
    r.Add<CTrack>();
    r.Add<CPort>();
    r.Add<CEventTempo>();
    r.Add<CEventMeter>();
    r.Add<CEventExclusive>();
    r.Add<CEventProgramChange>();
    r.Add<CEventPitchBend>();
    r.Add<CEventNote>();
    r.Add<CEventControlChange>();
    r.Add<CEventCommon>();
    r.Add<CListEvent>();
}

namespace {
// Fills the registry during static initialization, before any thread starts.
const bool s_bRegistered = (CSerialize::Registry(), true);
}  // namespace

CEventCommon::CEventCommon(CRArchive& ar) {
    idEvent = ar.ReadUid();
    nStep = ar.ReadU32();
    auto object = CSerialize::LoadObject(ar);
    const CEventBase* event = object ? object->AsEvent() : nullptr;
    if (!event) throw CRArchiveException("event without an event property");
    property = std::shared_ptr<const CEventBase>(std::move(object), event);
}

void CEventCommon::Serialize(CRArchive& ar) const {
    if (!ar.IsStoring()) return;
    if (!property) throw CRArchiveException("event without a property");
    ar.WriteUid(idEvent);
    ar.WriteU32(nStep);
    ar.WriteU16(property->GetSerializeId());
    property->Serialize(ar);
}

CListEvent::CListEvent(CRArchive& ar) {
    const uint32_t n = ar.ReadCount(CEventCommon::kMinEncodedSize);
    for (uint32_t i = 0; i < n; ++i) Insert(std::make_shared<const CEventCommon>(ar));
}

void CListEvent::Serialize(CRArchive& ar) const {
    if (!ar.IsStoring()) return;
    ar.WriteU32(static_cast<uint32_t>(vEvents.size()));
    for (const auto& e : vEvents) e->Serialize(ar);
}

CListEvent::const_iterator CListEvent::Insert(CEventPtr event) {
    // The hint at the end makes appending in step order cheap; the multiset still puts
    // an event after all events of equal step.
    return vEvents.insert(vEvents.end(), std::move(event));
}

CRUid CListEvent::Insert(uint32_t step, std::shared_ptr<const CEventBase> property) {
    const CRUid id = CRUid::Generate();
    Insert(std::make_shared<const CEventCommon>(id, step, std::move(property)));
    return id;
}

}  // namespace DUve::CRSeq::Property
