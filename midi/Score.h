// The score: the player's flattened picture of one sequence. Every event of every enabled
// port as ready-to-send MIDI bytes bound to the MIDI sink that plays it, ordered so that
// events at one step come out note-offs first, then other channel messages, then note-ons,
// then exclusive messages. Snapshots (CScore) are immutable and shared between threads;
// CScoreMaster is the mutable copy the player service edits.
#pragma once

#include <algorithm>
#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <utility>
#include <vector>

#include "audio/AudioDevice.h"

namespace DUve::MidiPlayer {

using CMidiIn = AudioDevice::CControl::CMidiIn;
using CMidiInPtr = std::shared_ptr<const CMidiIn>;
using CBytes = AudioDevice::CBytes;

// The device queues of one playback context: one queue per MIDI device, created on first
// use. Destroying the map deletes the queues on their devices.
class CPendingQueues {
public:
    // Pushes the bytes to the sink's queue, stamped with process-clock seconds.
    void Push(const CMidiIn& midiIn, double dTime, CBytes vBytes);
    // An empty entry at dTime on every queue: "delivered up to here".
    void Watermark(double dTime);
    size_t size() const { return m_queues.size(); }

private:
    std::map<const AudioDevice::CDevice*, std::shared_ptr<CMidiIn::CQueue>> m_queues;
};

class CScore {
public:
    enum : uint16_t {
        kRankNoteOff = 1,
        kRankMidiData = 2,
        kRankNoteOn = 3,
        kRankSysEx = 4,
        kRankTemp = 5,
    };

    class CEvent {
    public:
        CEvent(uint32_t step, CMidiInPtr in) : nStep(step), midiIn(std::move(in)) {}
        virtual ~CEvent() = default;
        // Sends the event through its sink at dTime (nothing without a sink).
        virtual void Play(CPendingQueues& queues, double dTime) const = 0;
        // Order within one kind; `other` is of the same kind.
        virtual bool IsLess(const CEvent& other) const = 0;
        virtual uint16_t GetKind() const = 0;
        // The event as it stands in a Standard MIDI File track chunk.
        virtual CBytes GetBytes() const = 0;

        const uint32_t nStep;
        const CMidiInPtr midiIn;

    protected:
        // Events without a sink sort before events with one.
        bool LessSink(const CEvent& o) const { return !midiIn && o.midiIn; }
        bool EqualSink(const CEvent& o) const { return !midiIn == !o.midiIn; }
        void Send(CPendingQueues& queues, double dTime, CBytes vBytes) const;
    };
    using CEventPtr = std::shared_ptr<const CEvent>;

    template <class T>
    class CEventT : public CEvent {
    public:
        using CEvent::CEvent;
        uint16_t GetKind() const override { return T::kRank; }
        bool IsLess(const CEvent& other) const override {
            return static_cast<const T&>(*this).Less(static_cast<const T&>(other));
        }
    };

    class CEventMidiNoteOff : public CEventT<CEventMidiNoteOff> {
    public:
        static constexpr uint16_t kRank = kRankNoteOff;
        CEventMidiNoteOff(uint32_t step, CMidiInPtr in, uint8_t channel, uint8_t note,
                          uint8_t velocity)
            : CEventT(step, std::move(in)), nChannel(channel), nNote(note), nVelocity(velocity) {}
        void Play(CPendingQueues& queues, double dTime) const override;
        CBytes GetBytes() const override;
        bool Less(const CEventMidiNoteOff& o) const;

        const uint8_t nChannel, nNote, nVelocity;
    };

    class CEventMidiData : public CEventT<CEventMidiData> {
    public:
        static constexpr uint16_t kRank = kRankMidiData;
        CEventMidiData(uint32_t step, CMidiInPtr in, CBytes bytes)
            : CEventT(step, std::move(in)), vBytes(std::move(bytes)) {}
        void Play(CPendingQueues& queues, double dTime) const override;
        CBytes GetBytes() const override { return vBytes; }
        bool Less(const CEventMidiData& o) const;

        const CBytes vBytes;
    };

    class CEventMidiNoteOn : public CEventT<CEventMidiNoteOn> {
    public:
        static constexpr uint16_t kRank = kRankNoteOn;
        CEventMidiNoteOn(uint32_t step, CMidiInPtr in, uint8_t channel, uint8_t note,
                         uint8_t velocity, uint32_t length)
            : CEventT(step, std::move(in)),
              nChannel(channel),
              nNote(note),
              nVelocity(velocity),
              nLength(length) {}
        void Play(CPendingQueues& queues, double dTime) const override;
        CBytes GetBytes() const override;
        bool Less(const CEventMidiNoteOn& o) const;
        // Ends this note at dTime, whether or not its stored note-off was sent.
        void SendNoteOff(CPendingQueues& queues, double dTime) const;
        // First step after the note (kept in 64 bits: a note may end past 0xFFFFFFFF).
        uint64_t End() const { return uint64_t(nStep) + nLength; }

        const uint8_t nChannel, nNote, nVelocity;
        const uint32_t nLength;
    };

    class CEventMidiSysEx : public CEventT<CEventMidiSysEx> {
    public:
        static constexpr uint16_t kRank = kRankSysEx;
        CEventMidiSysEx(uint32_t step, CMidiInPtr in, CBytes data)
            : CEventT(step, std::move(in)), vData(std::move(data)) {}
        void Play(CPendingQueues& queues, double dTime) const override;
        CBytes GetBytes() const override;
        bool Less(const CEventMidiSysEx& o) const;

        const CBytes vData;
    };

    // A search key: sorts before every event of its step; never stored.
    class CEventTemp : public CEventT<CEventTemp> {
    public:
        static constexpr uint16_t kRank = kRankTemp;
        explicit CEventTemp(uint32_t step) : CEventT(step, nullptr) {}
        void Play(CPendingQueues&, double) const override {}
        CBytes GetBytes() const override;
        bool Less(const CEventTemp&) const { return true; }
    };

    // Step, then kind rank, then the kind's own order.
    struct CLess {
        bool operator()(const CEventPtr& a, const CEventPtr& b) const;
    };
    using CSet = std::multiset<CEventPtr, CLess>;
    using const_iterator = CSet::const_iterator;

    CScore() = default;
    explicit CScore(CSet events) : m_events(std::move(events)) {}

    // Events with first <= nStep < end, in score order.
    std::vector<CEventPtr> GetEvents(uint32_t nFirst, uint32_t nEnd) const;
    // Note-ons that started before `step` and end after it, in score order.
    std::vector<std::shared_ptr<const CEventMidiNoteOn>> GetSoundingNotes(uint32_t nStep) const;

    const_iterator begin() const { return m_events.begin(); }
    const_iterator end() const { return m_events.end(); }
    size_t size() const { return m_events.size(); }
    bool empty() const { return m_events.empty(); }

private:
    const_iterator LowerBound(uint32_t nStep) const;
    CSet m_events;
};
using CScorePtr = std::shared_ptr<const CScore>;

// The score of a sequence whose records come in step order, in score order as they come,
// without keeping the whole score: only the events of the step at hand and the note-offs
// still ahead are held. Events that compare equal in score order have the same bytes, so
// what comes out is what iterating a CScore of the same records gives (an export takes
// the events before step 0xFFFFFFFF: events at that step, and note-offs that would fall
// after it, are left out).
class CScoreStream {
public:
    struct CEntry {
        uint32_t nStep = 0;
        uint16_t nRank = 0;  // CScore::kRank...
        bool bSink = false;  // the event has a MIDI sink (events without one sort first)
        uint8_t nChannel = 0, nNote = 0, nVelocity = 0;
        uint32_t nLength = 0;
        uint8_t nData = 0;        // a channel message in aData[0 .. nData)
        uint8_t aData[3] = {};
        std::vector<uint8_t> vData;  // exclusive data
        // The bytes CScore::CEvent::GetBytes gives for this event.
        void AppendBytes(std::vector<uint8_t>& out) const;
    };

    // A record at a step already emitted is refused (false).
    bool AddNote(uint32_t nStep, bool bSink, uint8_t nChannel, uint8_t nNote, uint8_t nVelocity,
                 uint32_t nLength);
    bool AddData(uint32_t nStep, bool bSink, const uint8_t* pBytes, size_t nBytes);
    bool AddSysEx(uint32_t nStep, bool bSink, std::vector<uint8_t> vData);
    // Hands every event before `nStep` to `emit` (const CEntry&), in score order; later
    // records must not come before `nStep`.
    template <class F>
    void EmitBefore(uint64_t nStep, F&& emit) {
        m_nEmitted = std::max(m_nEmitted, nStep);
        while (!m_vHeap.empty() && m_vHeap.front().nStep < nStep) {
            TakeStep();
            for (const CEntry& e : m_vGroup) emit(e);
            m_vGroup.clear();
        }
    }
    size_t Pending() const { return m_vHeap.size(); }

    // Score order within one step: rank, the sink, then the fields of the kind.
    static bool Less(const CEntry& a, const CEntry& b);

private:
    bool Push(CEntry entry);
    // Moves the events of the earliest step into m_vGroup, in score order.
    void TakeStep();

    uint64_t m_nEmitted = 0;
    std::vector<CEntry> m_vHeap;  // events not yet emitted: a heap on the step
    std::vector<CEntry> m_vGroup;
};

// The master copy of the score (one thread only): the event multiset and a cached
// snapshot that every change discards.
class CScoreMaster {
public:
    void Add(CScore::CEventPtr event);
    // Erases the first event equivalent to `event`; nothing when there is none.
    void Remove(const CScore::CEventPtr& event);
    CScorePtr GetSnapshot();
    size_t size() const { return m_events.size(); }

private:
    CScore::CSet m_events;
    CScorePtr m_snapshot;
};

}  // namespace DUve::MidiPlayer
