#include "midi/Score.h"

#include <algorithm>
#include <tuple>

#include "midi/RSmf.h"

namespace DUve::MidiPlayer {

namespace {
CBytes MakeBytes(std::vector<uint8_t> v) {
    return std::make_shared<const std::vector<uint8_t>>(std::move(v));
}

// Equal when the same length and content, otherwise lexicographic on unsigned bytes.
bool LessBytes(const CBytes& a, const CBytes& b) {
    static const std::vector<uint8_t> empty;
    const auto& va = a ? *a : empty;
    const auto& vb = b ? *b : empty;
    return std::lexicographical_compare(va.begin(), va.end(), vb.begin(), vb.end());
}
}  // namespace

// ---- CPendingQueues

void CPendingQueues::Push(const CMidiIn& midiIn, double dTime, CBytes vBytes) {
    const auto* device = midiIn.Device().get();
    if (!device) return;
    auto& queue = m_queues[device];
    if (!queue) queue = midiIn.CreateQueue();
    if (queue) queue->Push(dTime, std::move(vBytes));
}

void CPendingQueues::Watermark(double dTime) {
    for (const auto& [device, queue] : m_queues)
        if (queue) queue->Push(dTime, nullptr);
}

// ---- events

void CScore::CEvent::Send(CPendingQueues& queues, double dTime, CBytes vBytes) const {
    if (midiIn) queues.Push(*midiIn, dTime, std::move(vBytes));
}

CBytes CScore::CEventMidiNoteOff::GetBytes() const {
    return MakeBytes(
        {uint8_t(0x80 | (nChannel & 0x0F)), uint8_t(nNote & 0x7F), uint8_t(nVelocity & 0x7F)});
}
void CScore::CEventMidiNoteOff::Play(CPendingQueues& queues, double dTime) const {
    if (midiIn) Send(queues, dTime, GetBytes());
}
bool CScore::CEventMidiNoteOff::Less(const CEventMidiNoteOff& o) const {
    if (!EqualSink(o)) return LessSink(o);
    return std::tie(nChannel, nNote, nVelocity) < std::tie(o.nChannel, o.nNote, o.nVelocity);
}

CBytes CScore::CEventMidiNoteOn::GetBytes() const {
    return MakeBytes(
        {uint8_t(0x90 | (nChannel & 0x0F)), uint8_t(nNote & 0x7F), uint8_t(nVelocity & 0x7F)});
}
void CScore::CEventMidiNoteOn::Play(CPendingQueues& queues, double dTime) const {
    if (midiIn) Send(queues, dTime, GetBytes());
}
void CScore::CEventMidiNoteOn::SendNoteOff(CPendingQueues& queues, double dTime) const {
    if (!midiIn) return;
    Send(queues, dTime,
         MakeBytes({uint8_t(0x80 | (nChannel & 0x0F)), uint8_t(nNote & 0x7F),
                    uint8_t(nVelocity & 0x7F)}));
}
bool CScore::CEventMidiNoteOn::Less(const CEventMidiNoteOn& o) const {
    if (!EqualSink(o)) return LessSink(o);
    return std::tie(nChannel, nNote, nVelocity, nLength) <
           std::tie(o.nChannel, o.nNote, o.nVelocity, o.nLength);
}

void CScore::CEventMidiData::Play(CPendingQueues& queues, double dTime) const {
    if (midiIn && vBytes && !vBytes->empty()) Send(queues, dTime, vBytes);
}
bool CScore::CEventMidiData::Less(const CEventMidiData& o) const {
    if (!EqualSink(o)) return LessSink(o);
    return LessBytes(vBytes, o.vBytes);
}

void CScore::CEventMidiSysEx::Play(CPendingQueues& queues, double dTime) const {
    if (!midiIn) return;
    std::vector<uint8_t> v;
    v.reserve((vData ? vData->size() : 0) + 2);
    v.push_back(0xF0);
    if (vData) v.insert(v.end(), vData->begin(), vData->end());
    v.push_back(0xF7);
    Send(queues, dTime, MakeBytes(std::move(v)));
}
CBytes CScore::CEventMidiSysEx::GetBytes() const {
    const size_t nData = vData ? vData->size() : 0;
    std::vector<uint8_t> v;
    v.reserve(nData + 7);
    v.push_back(0xF0);
    RSmfInner::WriteVlq(v, uint32_t(nData + 1));
    if (vData) v.insert(v.end(), vData->begin(), vData->end());
    v.push_back(0xF7);
    return MakeBytes(std::move(v));
}
bool CScore::CEventMidiSysEx::Less(const CEventMidiSysEx& o) const {
    if (!EqualSink(o)) return LessSink(o);
    return LessBytes(vData, o.vData);
}

CBytes CScore::CEventTemp::GetBytes() const {
    return MakeBytes({});
}

// ---- order and queries

bool CScore::CLess::operator()(const CEventPtr& a, const CEventPtr& b) const {
    if (a->nStep != b->nStep) return a->nStep < b->nStep;
    const uint16_t ka = a->GetKind();
    const uint16_t kb = b->GetKind();
    // A search key goes before everything of its step, so a search runs on the step alone.
    if (ka == kRankTemp) return true;
    if (kb == kRankTemp) return false;
    if (ka != kb) return ka < kb;
    return a->IsLess(*b);
}

CScore::const_iterator CScore::LowerBound(uint32_t nStep) const {
    return m_events.lower_bound(std::make_shared<const CEventTemp>(nStep));
}

std::vector<CScore::CEventPtr> CScore::GetEvents(uint32_t nFirst, uint32_t nEnd) const {
    std::vector<CEventPtr> v;
    if (nEnd <= nFirst) return v;
    const auto last = LowerBound(nEnd);
    for (auto it = LowerBound(nFirst); it != last; ++it) v.push_back(*it);
    return v;
}

std::vector<std::shared_ptr<const CScore::CEventMidiNoteOn>> CScore::GetSoundingNotes(
    uint32_t nStep) const {
    std::vector<std::shared_ptr<const CEventMidiNoteOn>> v;
    const auto last = LowerBound(nStep);
    for (auto it = m_events.begin(); it != last; ++it) {
        if ((*it)->GetKind() != kRankNoteOn) continue;
        auto note = std::static_pointer_cast<const CEventMidiNoteOn>(*it);
        if (note->End() > nStep) v.push_back(std::move(note));
    }
    return v;
}

// ---- master copy

void CScoreMaster::Add(CScore::CEventPtr event) {
    if (!event) return;
    m_events.insert(std::move(event));
    m_snapshot.reset();
}

void CScoreMaster::Remove(const CScore::CEventPtr& event) {
    if (!event) return;
    const auto it = m_events.find(event);
    if (it == m_events.end()) return;
    // find() may land on any of several equivalents; erase the first of them.
    m_events.erase(m_events.lower_bound(event));
    m_snapshot.reset();
}

CScorePtr CScoreMaster::GetSnapshot() {
    if (!m_snapshot) m_snapshot = std::make_shared<const CScore>(m_events);
    return m_snapshot;
}

}  // namespace DUve::MidiPlayer
