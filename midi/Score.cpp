#include "midi/Score.h"

#include <algorithm>
#include <tuple>
#include <utility>

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

// ---- stream

namespace {
// The heap order of m_vOffs: the earliest step on top.
bool LaterStep(const CScoreStream::CEntry& a, const CScoreStream::CEntry& b) {
    return a.nStep > b.nStep;
}
constexpr uint32_t kLastStep = UINT32_MAX;  // an export ends before it
}  // namespace

void CScoreStream::CEntry::AppendBytes(std::vector<uint8_t>& out) const {
    switch (nRank) {
        case CScore::kRankNoteOff:
        case CScore::kRankNoteOn:
            out.insert(out.end(), {uint8_t((nRank == CScore::kRankNoteOn ? 0x90 : 0x80) |
                                           (nChannel & 0x0F)),
                                   uint8_t(nNote & 0x7F), uint8_t(nVelocity & 0x7F)});
            break;
        case CScore::kRankMidiData:
            out.insert(out.end(), aData, aData + nData);
            break;
        case CScore::kRankSysEx:
            out.push_back(0xF0);
            RSmfInner::WriteVlq(out, uint32_t(vData.size() + 1));
            out.insert(out.end(), vData.begin(), vData.end());
            out.push_back(0xF7);
            break;
        default:
            break;
    }
}

bool CScoreStream::Less(const CEntry& a, const CEntry& b) {
    if (a.nRank != b.nRank) return a.nRank < b.nRank;
    if (a.bSink != b.bSink) return !a.bSink;
    switch (a.nRank) {
        case CScore::kRankNoteOff:
            return std::tie(a.nChannel, a.nNote, a.nVelocity) <
                   std::tie(b.nChannel, b.nNote, b.nVelocity);
        case CScore::kRankNoteOn:
            return std::tie(a.nChannel, a.nNote, a.nVelocity, a.nLength) <
                   std::tie(b.nChannel, b.nNote, b.nVelocity, b.nLength);
        case CScore::kRankMidiData:
            return std::lexicographical_compare(a.aData, a.aData + a.nData, b.aData,
                                                b.aData + b.nData);
        default:
            return std::lexicographical_compare(a.vData.begin(), a.vData.end(), b.vData.begin(),
                                                b.vData.end());
    }
}

bool CScoreStream::Push(CEntry entry) {
    if (entry.nStep < m_nEmitted) return false;
    if (entry.nStep == kLastStep) return true;
    m_vHeap.push_back(std::move(entry));
    std::push_heap(m_vHeap.begin(), m_vHeap.end(), LaterStep);
    return true;
}

void CScoreStream::TakeStep() {
    const uint32_t s = m_vHeap.front().nStep;
    while (!m_vHeap.empty() && m_vHeap.front().nStep == s) {
        std::pop_heap(m_vHeap.begin(), m_vHeap.end(), LaterStep);
        m_vGroup.push_back(std::move(m_vHeap.back()));
        m_vHeap.pop_back();
    }
    std::sort(m_vGroup.begin(), m_vGroup.end(), Less);
}

bool CScoreStream::AddNote(uint32_t nStep, bool bSink, uint8_t nChannel, uint8_t nNote,
                           uint8_t nVelocity, uint32_t nLength) {
    if (nStep < m_nEmitted) return false;
    CEntry on;
    on.nStep = nStep;
    on.nRank = CScore::kRankNoteOn;
    on.bSink = bSink;
    on.nChannel = nChannel & 0x0F;
    on.nNote = nNote & 0x7F;
    on.nVelocity = nVelocity & 0x7F;
    on.nLength = nLength;
    CEntry off = on;
    off.nRank = CScore::kRankNoteOff;
    off.nLength = 0;
    // The note-off keeps within the step range, as the player's score keeps it.
    off.nStep = uint32_t(std::min<uint64_t>(uint64_t(nStep) + nLength, kLastStep));
    return Push(std::move(on)) && Push(std::move(off));
}

bool CScoreStream::AddData(uint32_t nStep, bool bSink, const uint8_t* pBytes, size_t nBytes) {
    CEntry e;
    e.nStep = nStep;
    e.nRank = CScore::kRankMidiData;
    e.bSink = bSink;
    e.nData = uint8_t(std::min<size_t>(nBytes, sizeof e.aData));
    if (pBytes) std::copy(pBytes, pBytes + e.nData, e.aData);
    return Push(std::move(e));
}

bool CScoreStream::AddSysEx(uint32_t nStep, bool bSink, std::vector<uint8_t> vData) {
    CEntry e;
    e.nStep = nStep;
    e.nRank = CScore::kRankSysEx;
    e.bSink = bSink;
    e.vData = std::move(vData);
    return Push(std::move(e));
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
