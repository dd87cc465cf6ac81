// Standard MIDI Files: the in-memory picture of a file (track chunks of timed events), the
// reader the SMF import uses on client-supplied bytes and the writer the export uses. The
// reader never fails on malformed events inside a chunk: it skips or ends the chunk there.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

namespace DUve {

namespace RSmfInner {
// Memory for the reader's large arrays: 2 MB and more are taken in transparent huge pages
// where the system offers them, which saves most page faults while they are filled.
void* AllocateLarge(size_t bytes);
void FreeLarge(void* p, size_t bytes) noexcept;

template <class T>
struct CLargeAllocator {
    using value_type = T;
    CLargeAllocator() = default;
    template <class U>
    CLargeAllocator(const CLargeAllocator<U>&) noexcept {}
    T* allocate(size_t n) { return static_cast<T*>(AllocateLarge(n * sizeof(T))); }
    void deallocate(T* p, size_t n) noexcept { FreeLarge(p, n * sizeof(T)); }
    template <class U>
    bool operator==(const CLargeAllocator<U>&) const noexcept {
        return true;
    }
};
}  // namespace RSmfInner

class CRSmfEvent;
class CRSmfEventChNote;
class CRSmfEventChNoteOff;
using CRSmfEventPtr = std::shared_ptr<const CRSmfEvent>;

// One event of a track chunk at its absolute time in ticks.
class CRSmfEvent {
public:
    // The concrete kind, for switching without a cast per kind.
    enum class EKind : uint8_t {
        NoteOn,
        NoteOff,
        PolyphonicKeyPressure,
        ControlChange,
        ProgramChange,
        ChannelPressure,
        PitchWheel,
        Exclusive,
        Meta,
    };

    virtual ~CRSmfEvent() = default;
    // Appends the bytes that follow the delta-time in a track chunk (status byte included).
    virtual void Encode(std::vector<uint8_t>& out) const = 0;
    // MIDI channel 0-15 of a channel event, -1 for the others.
    virtual int GetChannel() const { return -1; }
    virtual bool IsChannelEvent() const { return false; }
    EKind GetKind() const { return m_eKind; }

    uint32_t nTime = 0;

protected:
    CRSmfEvent(EKind kind, uint32_t time) : nTime(time), m_eKind(kind) {}

private:
    EKind m_eKind;
};

class CRSmfEventCh : public CRSmfEvent {
public:
    int GetChannel() const override { return nChannel; }
    bool IsChannelEvent() const override { return true; }

    uint8_t nChannel = 0;  // 0-15

protected:
    CRSmfEventCh(EKind kind, uint32_t time, uint8_t channel)
        : CRSmfEvent(kind, time), nChannel(channel & 0x0F) {}
    // Status (kind | channel) and the data bytes, each kept within 0-127 so that a data
    // byte read with its top bit set cannot turn into a status byte in the written chunk.
    void EncodeBytes(std::vector<uint8_t>& out, uint8_t kind, uint8_t d1) const;
    void EncodeBytes(std::vector<uint8_t>& out, uint8_t kind, uint8_t d1, uint8_t d2) const;
};

class CRSmfEventChNote : public CRSmfEventCh {
public:
    uint8_t nNote = 0;
    uint8_t nVelocity = 0;

protected:
    CRSmfEventChNote(EKind kind, uint32_t time, uint8_t channel, uint8_t note, uint8_t velocity)
        : CRSmfEventCh(kind, time, channel), nNote(note), nVelocity(velocity) {}
};

// 0x9n with a velocity above 0.
class CRSmfEventChNoteOn : public CRSmfEventChNote {
public:
    CRSmfEventChNoteOn(uint32_t time, uint8_t channel, uint8_t note, uint8_t velocity)
        : CRSmfEventChNote(EKind::NoteOn, time, channel, note, velocity) {}
    void Encode(std::vector<uint8_t>& out) const override;
};

// 0x8n, or 0x9n with velocity 0 (written back as 0x8n).
class CRSmfEventChNoteOff : public CRSmfEventChNote {
public:
    CRSmfEventChNoteOff(uint32_t time, uint8_t channel, uint8_t note, uint8_t velocity)
        : CRSmfEventChNote(EKind::NoteOff, time, channel, note, velocity) {}
    void Encode(std::vector<uint8_t>& out) const override;
};

class CRSmfEventChPolyphonicKeyPressure : public CRSmfEventCh {
public:
    CRSmfEventChPolyphonicKeyPressure(uint32_t time, uint8_t channel, uint8_t note,
                                      uint8_t pressure)
        : CRSmfEventCh(EKind::PolyphonicKeyPressure, time, channel),
          nNote(note),
          nPressure(pressure) {}
    void Encode(std::vector<uint8_t>& out) const override;

    uint8_t nNote = 0;
    uint8_t nPressure = 0;
};

class CRSmfEventChControlChange : public CRSmfEventCh {
public:
    CRSmfEventChControlChange(uint32_t time, uint8_t channel, uint8_t control, uint8_t value)
        : CRSmfEventCh(EKind::ControlChange, time, channel), nControl(control), nValue(value) {}
    void Encode(std::vector<uint8_t>& out) const override;

    uint8_t nControl = 0;
    uint8_t nValue = 0;
};

class CRSmfEventChProgramChange : public CRSmfEventCh {
public:
    CRSmfEventChProgramChange(uint32_t time, uint8_t channel, uint8_t program)
        : CRSmfEventCh(EKind::ProgramChange, time, channel), nProgram(program) {}
    void Encode(std::vector<uint8_t>& out) const override;

    uint8_t nProgram = 0;
};

class CRSmfEventChChannelPressure : public CRSmfEventCh {
public:
    CRSmfEventChChannelPressure(uint32_t time, uint8_t channel, uint8_t pressure)
        : CRSmfEventCh(EKind::ChannelPressure, time, channel), nPressure(pressure) {}
    void Encode(std::vector<uint8_t>& out) const override;

    uint8_t nPressure = 0;
};

class CRSmfEventChPitchWheel : public CRSmfEventCh {
public:
    CRSmfEventChPitchWheel(uint32_t time, uint8_t channel, int16_t bend)
        : CRSmfEventCh(EKind::PitchWheel, time, channel), nBend(bend) {}
    void Encode(std::vector<uint8_t>& out) const override;

    int16_t nBend = 0;  // 14-bit value minus 8192: -8192..8191
};

// A system-exclusive message (0xF0).
class CRSmfEventExclusive : public CRSmfEvent {
public:
    CRSmfEventExclusive(uint32_t time, std::vector<uint8_t> data)
        : CRSmfEvent(EKind::Exclusive, time), vData(std::move(data)) {}
    void Encode(std::vector<uint8_t>& out) const override;

    std::vector<uint8_t> vData;  // without the leading 0xF0 and the closing 0xF7
};

// A meta event (0xFF) with the conversions of the tempo and time-signature types.
class CRSmfEventMeta : public CRSmfEvent {
public:
    static constexpr uint8_t kTypeEndOfTrack = 0x2F;
    static constexpr uint8_t kTypeTempo = 0x51;
    static constexpr uint8_t kTypeTimeSignature = 0x58;

    struct CTimeSignature {
        uint8_t nBeats = 4;          // beats per bar
        uint16_t nBeatLength = 480;  // steps (480 per quarter note); 0 for an unknown unit
    };

    CRSmfEventMeta(uint32_t time, uint8_t type, std::vector<uint8_t> data)
        : CRSmfEvent(EKind::Meta, time), nType(type), vData(std::move(data)) {}
    void Encode(std::vector<uint8_t>& out) const override;

    // A tempo meta of t quarter notes per minute: 60000000 / t microseconds per quarter
    // note, truncated and kept within the 3 bytes (1 .. 0xFFFFFF); a tempo that is not a
    // positive number gets the slowest tempo the meta can express.
    static std::shared_ptr<CRSmfEventMeta> MakeTempo(uint32_t time, double tempo);
    // Quarter notes per minute; nothing when this is no tempo meta, has fewer than 3 data
    // bytes or gives 0 microseconds per quarter note (an infinite tempo).
    std::optional<double> DecodeTempo() const;
    // Nothing when this is no time-signature meta or has fewer than 4 data bytes.
    std::optional<CTimeSignature> DecodeTimeSignature() const;
    bool IsEndOfTrack() const { return nType == kTypeEndOfTrack && vData.empty(); }

    uint8_t nType = 0;
    std::vector<uint8_t> vData;
};

// One "MTrk" chunk: its events in time order (equal times in insertion order) and, apart,
// its note-offs, which give the lengths of its notes. The chunk owns its events: they stay
// valid, unchanged, for as long as the chunk lives. Channel events are kept packed in
// blocks of the chunk (no allocation of their own), the others through shared handles.
class CRSmfTrackChunk {
public:
    using CEvents = std::vector<const CRSmfEvent*, RSmfInner::CLargeAllocator<const CRSmfEvent*>>;
    using CNoteOffs = std::vector<const CRSmfEventChNoteOff*,
                                  RSmfInner::CLargeAllocator<const CRSmfEventChNoteOff*>>;
    // The longest delta-time a chunk can hold (4 bytes of 7 bits).
    static constexpr uint32_t kMaxDelta = 0x0FFFFFFF;

    CRSmfTrackChunk() = default;
    ~CRSmfTrackChunk();
    CRSmfTrackChunk(const CRSmfTrackChunk&) = delete;
    CRSmfTrackChunk& operator=(const CRSmfTrackChunk&) = delete;

    // Reads the chunk that starts at `pos` of the `size` bytes of `data` and moves `pos`
    // past it. False when fewer than 8 bytes remain, the type is not "MTrk" or the chunk's
    // length runs past the data. Events before a truncated or malformed tail are kept.
    bool Read(const uint8_t* data, size_t size, size_t& pos);
    // Appends "MTrk", the length and the events, ending with an end-of-track meta. A gap
    // between events longer than kMaxDelta is bridged with empty text metas (type 0x01).
    void Write(std::vector<uint8_t>& out) const;

    // Decodes one event from raw bytes (status byte first, no running status) as the
    // reader does and adds it at `time`; false when the bytes hold no complete event.
    bool AddEvent(uint32_t time, const uint8_t* bytes, size_t size);
    bool AddEvent(uint32_t time, const std::vector<uint8_t>& bytes) {
        return AddEvent(time, bytes.data(), bytes.size());
    }
    // Adds a built event at its nTime, after every event of the same time.
    void Insert(CRSmfEventPtr event);

    const CEvents& Events() const { return m_vEvents; }
    CEvents::const_iterator begin() const { return m_vEvents.begin(); }
    CEvents::const_iterator end() const { return m_vEvents.end(); }
    size_t size() const { return m_vEvents.size(); }
    bool empty() const { return m_vEvents.empty(); }
    const CNoteOffs& NoteOffs() const { return m_vNoteOffs; }

    // Ticks from the note to the first note-off of the same channel and note number later
    // than it (note-offs are not used up); nothing when there is none.
    std::optional<uint32_t> FindNoteLength(const CRSmfEventChNote& note) const;
    std::optional<uint32_t> FindNoteLength(uint32_t time, uint8_t channel, uint8_t note) const;

private:
    class CDecoder;
    friend class CDecoder;

    void Clear();
    // Walks the event bytes of a chunk; never reads outside [data, data + size).
    void ReadEvents(const uint8_t* data, size_t size);
    // Places a channel event in the chunk's blocks. Channel events hold nothing that needs
    // destroying, so the blocks are released without running their destructors.
    template <class T, class... Args>
    const T* NewChannelEvent(Args&&... args);
    // Adds an event of this chunk at its time (kept in order) and indexes a note-off.
    void Place(const CRSmfEvent* event);
    void ResetNoteOffIndex();

    CEvents m_vEvents;
    CNoteOffs m_vNoteOffs;
    struct CBlock {
        std::byte* pData;
        size_t nSize;
    };
    std::vector<CBlock> m_vBlocks;
    size_t m_nBlockUsed = 0;
    size_t m_nBlockSize = 0;
    size_t m_nNextBlockSize = 4096;
    std::vector<CRSmfEventPtr> m_vHeld;  // exclusive, meta and inserted events
    // Note-offs keyed (channel, note, time), sorted; built on the first note-length query.
    mutable std::mutex m_mutexIndex;
    mutable std::shared_ptr<const std::vector<uint64_t>> m_pNoteOffIndex;
};

using CRSmfTrackChunkPtr = std::shared_ptr<CRSmfTrackChunk>;

class CRSmf {
public:
    static constexpr uint16_t kDefaultDivision = 480;

    // Drops every chunk; the division goes back to 480.
    void Clear();
    // Appends an empty chunk and returns it.
    CRSmfTrackChunkPtr AddTrackChunk();

    // Reads a whole file. On failure the object is left empty. Never throws.
    bool Read(const uint8_t* data, size_t size);
    bool Read(const std::vector<uint8_t>& data) { return Read(data.data(), data.size()); }
    // Format 0 for at most one chunk, format 1 otherwise.
    void Write(std::vector<uint8_t>& out) const;
    std::vector<uint8_t> Write() const;

    uint16_t GetDivision() const { return m_nDivision; }
    void SetDivision(uint16_t division) { m_nDivision = division; }
    const std::vector<CRSmfTrackChunkPtr>& TrackChunks() const { return m_vChunks; }

private:
    std::vector<CRSmfTrackChunkPtr> m_vChunks;
    uint16_t m_nDivision = kDefaultDivision;
};

// Writes a file of one track chunk whose events come in time order, as they come, without
// keeping them: the bytes are those CRSmf writes for a chunk filled by AddEvent and Insert
// with the same events in the same order (format 0, the end-of-track meta added when the
// last event is not one).
class CRSmfChunkWriter {
public:
    explicit CRSmfChunkWriter(uint16_t division = CRSmf::kDefaultDivision);
    // As CRSmfTrackChunk::AddEvent: false (nothing written) when the bytes hold no
    // complete event. `time` must not be earlier than the time of the event before.
    bool AddEvent(uint32_t time, const uint8_t* bytes, size_t size);
    void Add(const CRSmfEvent& event);
    // The whole file; the writer is empty afterwards.
    std::vector<uint8_t> Finish();

private:
    class CSink;
    // The delta-time up to `time`, bridged as CRSmfTrackChunk::Write bridges it.
    void WriteDelta(uint32_t time);

    std::vector<uint8_t> m_vOut;
    uint32_t m_nPrevious = 0;
    bool m_bEnded = false;  // the last event is an end-of-track meta
};

namespace RSmfInner {
// Variable-length quantity: at most 4 bytes (28 bits). Reads from data[pos], stopping at
// `size`; false (pos unchanged) when the quantity is cut off or longer than 4 bytes.
bool ReadVlq(const uint8_t* data, size_t size, size_t& pos, uint32_t& value);
// Shortest encoding; 0 is one byte 0x00.
void WriteVlq(std::vector<uint8_t>& out, uint32_t value);
}  // namespace RSmfInner

}  // namespace DUve
