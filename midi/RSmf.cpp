#include "midi/RSmf.h"

#include <sys/mman.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <new>
#include <type_traits>

namespace DUve {

namespace RSmfInner {

namespace {
constexpr size_t kHugePage = size_t{2} << 20;
}

void* AllocateLarge(size_t bytes) {
    if (bytes < kHugePage) return ::operator new(bytes);
    const size_t rounded = (bytes + kHugePage - 1) & ~(kHugePage - 1);
    void* p = std::aligned_alloc(kHugePage, rounded);
    if (!p) throw std::bad_alloc();
    ::madvise(p, rounded, MADV_HUGEPAGE);  // only advice: failing is harmless
    return p;
}

void FreeLarge(void* p, size_t bytes) noexcept {
    if (bytes < kHugePage)
        ::operator delete(p);
    else
        std::free(p);
}

bool ReadVlq(const uint8_t* data, size_t size, size_t& pos, uint32_t& value) {
    uint32_t v = 0;
    size_t p = pos;
    for (int i = 0; i < 4; ++i) {
        if (p >= size) return false;
        const uint8_t b = data[p++];
        v = (v << 7) | (b & 0x7F);
        if (!(b & 0x80)) {
            pos = p;
            value = v;
            return true;
        }
    }
    return false;  // a fifth byte would be needed: malformed
}

void WriteVlq(std::vector<uint8_t>& out, uint32_t value) {
    uint8_t buf[5];
    int n = 0;
    buf[n++] = static_cast<uint8_t>(value & 0x7F);
    while (value >>= 7) buf[n++] = static_cast<uint8_t>(0x80 | (value & 0x7F));
    while (n > 0) out.push_back(buf[--n]);
}

}  // namespace RSmfInner

namespace {

using RSmfInner::ReadVlq;
using RSmfInner::WriteVlq;

uint32_t ReadBe32(const uint8_t* p) {
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

uint16_t ReadBe16(const uint8_t* p) {
    return static_cast<uint16_t>((p[0] << 8) | p[1]);
}

void WriteBe16(std::vector<uint8_t>& out, uint16_t v) {
    out.push_back(static_cast<uint8_t>(v >> 8));
    out.push_back(static_cast<uint8_t>(v));
}

bool TimeLess(const CRSmfEvent* a, const CRSmfEvent* b) {
    return a->nTime < b->nTime;
}

// The outcome of decoding one event at a position.
enum class EDecode { Event, Undecodable, Truncated };

// A value read from a data byte with its top bit set is written as the largest data byte
// (not its low bits: a note-on's velocity must not become 0, a note-off).
uint8_t DataByte(uint8_t v) {
    return v > 0x7F ? 0x7F : v;
}

uint64_t NoteOffKey(uint8_t channel, uint8_t note, uint32_t time) {
    return (uint64_t{channel} << 40) | (uint64_t{note} << 32) | time;
}

}  // namespace

// --- Event encodings ---

void CRSmfEventCh::EncodeBytes(std::vector<uint8_t>& out, uint8_t kind, uint8_t d1) const {
    const uint8_t b[2] = {static_cast<uint8_t>(kind | nChannel), DataByte(d1)};
    out.insert(out.end(), b, b + 2);
}

void CRSmfEventCh::EncodeBytes(std::vector<uint8_t>& out, uint8_t kind, uint8_t d1,
                               uint8_t d2) const {
    const uint8_t b[3] = {static_cast<uint8_t>(kind | nChannel), DataByte(d1), DataByte(d2)};
    out.insert(out.end(), b, b + 3);
}

void CRSmfEventChNoteOn::Encode(std::vector<uint8_t>& out) const {
    EncodeBytes(out, 0x90, nNote, nVelocity);
}

void CRSmfEventChNoteOff::Encode(std::vector<uint8_t>& out) const {
    EncodeBytes(out, 0x80, nNote, nVelocity);
}

void CRSmfEventChPolyphonicKeyPressure::Encode(std::vector<uint8_t>& out) const {
    EncodeBytes(out, 0xA0, nNote, nPressure);
}

void CRSmfEventChControlChange::Encode(std::vector<uint8_t>& out) const {
    EncodeBytes(out, 0xB0, nControl, nValue);
}

void CRSmfEventChProgramChange::Encode(std::vector<uint8_t>& out) const {
    EncodeBytes(out, 0xC0, nProgram);
}

void CRSmfEventChChannelPressure::Encode(std::vector<uint8_t>& out) const {
    EncodeBytes(out, 0xD0, nPressure);
}

void CRSmfEventChPitchWheel::Encode(std::vector<uint8_t>& out) const {
    // A value read from data bytes with their top bit set can lie outside 14 bits.
    const int value = std::clamp(nBend + 8192, 0, 16383);
    EncodeBytes(out, 0xE0, static_cast<uint8_t>(value & 0x7F),
                static_cast<uint8_t>((value >> 7) & 0x7F));
}

void CRSmfEventExclusive::Encode(std::vector<uint8_t>& out) const {
    out.push_back(0xF0);
    WriteVlq(out, static_cast<uint32_t>(vData.size() + 1));
    out.insert(out.end(), vData.begin(), vData.end());
    out.push_back(0xF7);
}

void CRSmfEventMeta::Encode(std::vector<uint8_t>& out) const {
    out.push_back(0xFF);
    out.push_back(nType);
    WriteVlq(out, static_cast<uint32_t>(vData.size()));
    out.insert(out.end(), vData.begin(), vData.end());
}

std::shared_ptr<CRSmfEventMeta> CRSmfEventMeta::MakeTempo(uint32_t time, double tempo) {
    constexpr double kMax = 0xFFFFFF;
    double micro = kMax;
    if (tempo > 0) micro = std::clamp(std::trunc(60000000.0 / tempo), 1.0, kMax);
    const auto v = static_cast<uint32_t>(micro);
    return std::make_shared<CRSmfEventMeta>(
        time, kTypeTempo,
        std::vector<uint8_t>{static_cast<uint8_t>(v >> 16), static_cast<uint8_t>(v >> 8),
                             static_cast<uint8_t>(v)});
}

std::optional<double> CRSmfEventMeta::DecodeTempo() const {
    if (nType != kTypeTempo || vData.size() < 3) return std::nullopt;
    const uint32_t micro = (uint32_t{vData[0]} << 16) | (uint32_t{vData[1]} << 8) | vData[2];
    if (micro == 0) return std::nullopt;
    return 60000000.0 / micro;
}

std::optional<CRSmfEventMeta::CTimeSignature> CRSmfEventMeta::DecodeTimeSignature() const {
    if (nType != kTypeTimeSignature || vData.size() < 4) return std::nullopt;
    CTimeSignature ts;
    ts.nBeats = vData[0];
    ts.nBeatLength = vData[1] <= 5 ? static_cast<uint16_t>(1920 >> vData[1]) : 0;
    return ts;
}

// --- Track chunk ---

namespace {

// Decodes the event whose status is `status` and whose bytes after the status start at
// data[pos]; on success `pos` moves past them and the event went to the sink: a channel
// event through sink.Channel<T>(constructor arguments), the others through sink.Held(event).
template <class Sink>
EDecode DecodeEvent(Sink& sink, uint8_t status, const uint8_t* data, size_t size, size_t& pos,
                uint32_t time) {
    const size_t left = size - pos;
    const uint8_t channel = status & 0x0F;
    switch (status & 0xF0) {
        case 0x80:
        case 0x90: {
            if (left < 2) return EDecode::Truncated;
            const uint8_t note = data[pos], velocity = data[pos + 1];
            if ((status & 0xF0) == 0x80 || velocity == 0)
                sink.template Channel<CRSmfEventChNoteOff>(time, channel, note, velocity);
            else
                sink.template Channel<CRSmfEventChNoteOn>(time, channel, note, velocity);
            pos += 2;
            return EDecode::Event;
        }
        case 0xA0:
            if (left < 2) return EDecode::Truncated;
            sink.template Channel<CRSmfEventChPolyphonicKeyPressure>(
                time, channel, data[pos], data[pos + 1]);
            pos += 2;
            return EDecode::Event;
        case 0xB0:
            if (left < 2) return EDecode::Truncated;
            sink.template Channel<CRSmfEventChControlChange>(time, channel, data[pos],
                                                                     data[pos + 1]);
            pos += 2;
            return EDecode::Event;
        case 0xC0:
            if (left < 1) return EDecode::Truncated;
            sink.template Channel<CRSmfEventChProgramChange>(time, channel, data[pos]);
            pos += 1;
            return EDecode::Event;
        case 0xD0:
            if (left < 1) return EDecode::Truncated;
            sink.template Channel<CRSmfEventChChannelPressure>(time, channel, data[pos]);
            pos += 1;
            return EDecode::Event;
        case 0xE0: {
            if (left < 2) return EDecode::Truncated;
            const int value = data[pos + 1] * 128 + data[pos] - 8192;
            sink.template Channel<CRSmfEventChPitchWheel>(time, channel,
                                                                  static_cast<int16_t>(value));
            pos += 2;
            return EDecode::Event;
        }
        default:
            break;
    }
    if (status == 0xF0) {
        size_t p = pos;
        uint32_t length = 0;
        if (!ReadVlq(data, size, p, length) || length > size - p) return EDecode::Truncated;
        const size_t limit = p + length;
        size_t stop = p;
        while (stop < limit && !(data[stop] & 0x80)) ++stop;
        sink.Held(std::make_shared<const CRSmfEventExclusive>(
            time, std::vector<uint8_t>(data + p, data + stop)));
        if (stop < limit && data[stop] == 0xF7) ++stop;  // the closing byte is not stored
        pos = stop;
        return EDecode::Event;
    }
    if (status == 0xFF) {
        if (left < 1) return EDecode::Truncated;
        const uint8_t type = data[pos];
        size_t p = pos + 1;
        uint32_t length = 0;
        if (!ReadVlq(data, size, p, length) || length > size - p) return EDecode::Truncated;
        sink.Held(std::make_shared<const CRSmfEventMeta>(
            time, type, std::vector<uint8_t>(data + p, data + p + length)));
        pos = p + length;
        return EDecode::Event;
    }
    return EDecode::Undecodable;  // system common and real-time bytes, 0xF7 escapes
}

}  // namespace

class CRSmfTrackChunk::CDecoder {
public:
    // DecodeEvent into the chunk: `event` is the chunk's new event (not yet placed in time
    // order).
    static EDecode Decode(CRSmfTrackChunk& chunk, uint8_t status, const uint8_t* data, size_t size,
                          size_t& pos, uint32_t time, const CRSmfEvent*& event) {
        CSink sink{chunk, event};
        return DecodeEvent(sink, status, data, size, pos, time);
    }

private:
    struct CSink {
        CRSmfTrackChunk& chunk;
        const CRSmfEvent*& event;
        template <class T, class... Args>
        void Channel(Args&&... args) {
            event = chunk.NewChannelEvent<T>(std::forward<Args>(args)...);
        }
        void Held(CRSmfEventPtr held) {
            event = held.get();
            chunk.m_vHeld.push_back(std::move(held));
        }
    };
};

template <class T, class... Args>
const T* CRSmfTrackChunk::NewChannelEvent(Args&&... args) {
    static_assert(std::is_base_of_v<CRSmfEventCh, T> && alignof(T) <= alignof(std::max_align_t));
    constexpr size_t kSize =
        (sizeof(T) + alignof(std::max_align_t) - 1) & ~(alignof(std::max_align_t) - 1);
    if (m_vBlocks.empty() || m_nBlockSize - m_nBlockUsed < kSize) {
        const size_t blockSize = std::max(m_nNextBlockSize, kSize);
        m_vBlocks.reserve(m_vBlocks.size() + 1);
        m_vBlocks.push_back(
            CBlock{static_cast<std::byte*>(RSmfInner::AllocateLarge(blockSize)), blockSize});
        m_nBlockSize = blockSize;
        m_nBlockUsed = 0;
        m_nNextBlockSize = std::min<size_t>(blockSize * 2, size_t{4} << 20);
    }
    T* event = new (m_vBlocks.back().pData + m_nBlockUsed) T(std::forward<Args>(args)...);
    m_nBlockUsed += kSize;
    return event;
}

CRSmfTrackChunk::~CRSmfTrackChunk() {
    Clear();
}

void CRSmfTrackChunk::Clear() {
    m_vEvents = CEvents();
    m_vNoteOffs = CNoteOffs();
    m_vHeld.clear();
    for (const CBlock& block : m_vBlocks) RSmfInner::FreeLarge(block.pData, block.nSize);
    m_vBlocks.clear();
    m_nBlockUsed = m_nBlockSize = 0;
    m_nNextBlockSize = 4096;
    ResetNoteOffIndex();
}

void CRSmfTrackChunk::ResetNoteOffIndex() {
    std::lock_guard lock(m_mutexIndex);
    m_pNoteOffIndex.reset();
}

bool CRSmfTrackChunk::Read(const uint8_t* data, size_t size, size_t& pos) {
    Clear();
    if (pos > size || size - pos < 8 || std::memcmp(data + pos, "MTrk", 4) != 0) return false;
    const uint32_t length = ReadBe32(data + pos + 4);
    if (length > size - pos - 8) return false;
    const uint8_t* body = data + pos + 8;
    pos += 8 + size_t{length};
    try {
        ReadEvents(body, length);
    } catch (...) {
        Clear();
        return false;
    }
    return true;
}

void CRSmfTrackChunk::ReadEvents(const uint8_t* data, size_t size) {
    // An event takes at least 2 bytes (delta-time and one data byte) and a channel event
    // 16 bytes of a block, so nothing here reserves more than the chunk's bytes can fill.
    m_vEvents.reserve(size / 3 + 1);
    m_vNoteOffs.reserve(size / 8 + 1);
    // Channel events take 16 bytes and at least 2 bytes of the chunk each.
    m_nNextBlockSize = std::clamp<size_t>(size * 8, 256, size_t{64} << 20);
    size_t pos = 0;
    uint32_t time = 0;
    uint8_t running = 0;
    bool sorted = true;
    while (pos < size) {
        const size_t start = pos;
        uint32_t delta = 0;
        // A cut-off or overlong delta-time ends the chunk.
        if (!ReadVlq(data, size, pos, delta) || pos >= size) break;
        const uint32_t previous = time;
        time += delta;  // 32-bit arithmetic: may wrap
        if (time < previous) sorted = false;
        size_t at = pos;
        if (data[at] & 0x80) {
            running = data[at++];
        } else if (running == 0) {
            // A data byte before any status byte: nothing can decode it.
            pos = start + 1;
            continue;
        }
        const CRSmfEvent* event = nullptr;
        const EDecode result = CDecoder::Decode(*this, running, data, size, at, time, event);
        if (result == EDecode::Truncated) break;
        if (result == EDecode::Undecodable) {
            pos = start + 1;  // the delta-time stays added
            continue;
        }
        if (event->GetKind() == CRSmfEvent::EKind::NoteOff)
            m_vNoteOffs.push_back(static_cast<const CRSmfEventChNoteOff*>(event));
        m_vEvents.push_back(event);
        pos = at;
    }
    if (!sorted) {
        std::stable_sort(m_vEvents.begin(), m_vEvents.end(), TimeLess);
        std::stable_sort(m_vNoteOffs.begin(), m_vNoteOffs.end(), TimeLess);
    }
}

void CRSmfTrackChunk::Write(std::vector<uint8_t>& out) const {
    out.insert(out.end(), {'M', 'T', 'r', 'k', 0, 0, 0, 0});
    const size_t lengthAt = out.size() - 4;
    uint32_t previous = 0;
    for (const CRSmfEvent* event : m_vEvents) {
        uint32_t delta = event->nTime - previous;
        for (; delta > kMaxDelta; delta -= kMaxDelta) {
            WriteVlq(out, kMaxDelta);
            out.insert(out.end(), {0xFF, 0x01, 0x00});
        }
        WriteVlq(out, delta);
        previous = event->nTime;
        event->Encode(out);
    }
    const bool ended = !m_vEvents.empty() &&
                       m_vEvents.back()->GetKind() == CRSmfEvent::EKind::Meta &&
                       static_cast<const CRSmfEventMeta&>(*m_vEvents.back()).IsEndOfTrack();
    if (!ended) out.insert(out.end(), {0x00, 0xFF, 0x2F, 0x00});
    const auto length = static_cast<uint32_t>(out.size() - lengthAt - 4);
    for (int i = 0; i < 4; ++i) out[lengthAt + i] = static_cast<uint8_t>(length >> (24 - 8 * i));
}

bool CRSmfTrackChunk::AddEvent(uint32_t time, const uint8_t* bytes, size_t size) {
    if (!bytes || size == 0 || !(bytes[0] & 0x80)) return false;
    try {
        size_t pos = 1;
        const CRSmfEvent* event = nullptr;
        if (CDecoder::Decode(*this, bytes[0], bytes, size, pos, time, event) != EDecode::Event)
            return false;
        Place(event);
        return true;
    } catch (...) {
        return false;
    }
}

void CRSmfTrackChunk::Insert(CRSmfEventPtr event) {
    if (!event) return;
    const CRSmfEvent* raw = event.get();
    m_vHeld.push_back(std::move(event));
    Place(raw);
}

void CRSmfTrackChunk::Place(const CRSmfEvent* event) {
    if (m_vEvents.empty() || m_vEvents.back()->nTime <= event->nTime)
        m_vEvents.push_back(event);
    else
        m_vEvents.insert(std::upper_bound(m_vEvents.begin(), m_vEvents.end(), event, TimeLess),
                         event);
    if (event->GetKind() == CRSmfEvent::EKind::NoteOff) {
        ResetNoteOffIndex();
        const auto* off = static_cast<const CRSmfEventChNoteOff*>(event);
        m_vNoteOffs.insert(
            std::upper_bound(m_vNoteOffs.begin(), m_vNoteOffs.end(), event, TimeLess), off);
    }
}

std::optional<uint32_t> CRSmfTrackChunk::FindNoteLength(const CRSmfEventChNote& note) const {
    return FindNoteLength(note.nTime, note.nChannel, note.nNote);
}

std::optional<uint32_t> CRSmfTrackChunk::FindNoteLength(uint32_t time, uint8_t channel,
                                                        uint8_t note) const {
    if (time == UINT32_MAX) return std::nullopt;
    std::shared_ptr<const std::vector<uint64_t>> index;
    {
        std::lock_guard lock(m_mutexIndex);
        if (!m_pNoteOffIndex) {
            auto keys = std::make_shared<std::vector<uint64_t>>();
            keys->reserve(m_vNoteOffs.size());
            for (const auto* off : m_vNoteOffs)
                keys->push_back(NoteOffKey(off->nChannel, off->nNote, off->nTime));
            std::sort(keys->begin(), keys->end());
            m_pNoteOffIndex = std::move(keys);
        }
        index = m_pNoteOffIndex;
    }
    // The first note-off of this channel and note later than `time`, as a time-ordered
    // search of the note-offs would find it.
    const auto it =
        std::lower_bound(index->begin(), index->end(), NoteOffKey(channel & 0x0F, note, time + 1));
    if (it == index->end() || (*it >> 32) != (NoteOffKey(channel & 0x0F, note, 0) >> 32))
        return std::nullopt;
    return static_cast<uint32_t>(*it) - time;
}

// --- Streaming writer ---

class CRSmfChunkWriter::CSink {
public:
    CSink(std::vector<uint8_t>& out, bool& ended) : m_out(out), m_bEnded(ended) {}
    template <class T, class... Args>
    void Channel(Args&&... args) {
        T(std::forward<Args>(args)...).Encode(m_out);
        m_bEnded = false;
    }
    void Held(const CRSmfEventPtr& event) {
        event->Encode(m_out);
        m_bEnded = event->GetKind() == CRSmfEvent::EKind::Meta &&
                   static_cast<const CRSmfEventMeta&>(*event).IsEndOfTrack();
    }

private:
    std::vector<uint8_t>& m_out;
    bool& m_bEnded;
};

CRSmfChunkWriter::CRSmfChunkWriter(uint16_t division) {
    m_vOut = {'M', 'T', 'h', 'd', 0, 0, 0, 6, 0, 0, 0, 1};
    WriteBe16(m_vOut, division);
    m_vOut.insert(m_vOut.end(), {'M', 'T', 'r', 'k', 0, 0, 0, 0});
}

void CRSmfChunkWriter::WriteDelta(uint32_t time) {
    uint32_t delta = time - m_nPrevious;
    for (; delta > CRSmfTrackChunk::kMaxDelta; delta -= CRSmfTrackChunk::kMaxDelta) {
        WriteVlq(m_vOut, CRSmfTrackChunk::kMaxDelta);
        m_vOut.insert(m_vOut.end(), {0xFF, 0x01, 0x00});
    }
    WriteVlq(m_vOut, delta);
    m_nPrevious = time;
}

bool CRSmfChunkWriter::AddEvent(uint32_t time, const uint8_t* bytes, size_t size) {
    if (!bytes || size == 0 || !(bytes[0] & 0x80)) return false;
    const size_t mark = m_vOut.size();
    const uint32_t previous = m_nPrevious;
    const bool ended = m_bEnded;
    WriteDelta(time);
    size_t pos = 1;
    CSink sink(m_vOut, m_bEnded);
    if (DecodeEvent(sink, bytes[0], bytes, size, pos, time) == EDecode::Event) return true;
    m_vOut.resize(mark);
    m_nPrevious = previous;
    m_bEnded = ended;
    return false;
}

void CRSmfChunkWriter::Add(const CRSmfEvent& event) {
    WriteDelta(event.nTime);
    event.Encode(m_vOut);
    m_bEnded = event.GetKind() == CRSmfEvent::EKind::Meta &&
               static_cast<const CRSmfEventMeta&>(event).IsEndOfTrack();
}

std::vector<uint8_t> CRSmfChunkWriter::Finish() {
    constexpr size_t kChunkAt = 14;
    if (!m_bEnded) m_vOut.insert(m_vOut.end(), {0x00, 0xFF, 0x2F, 0x00});
    const auto length = static_cast<uint32_t>(m_vOut.size() - kChunkAt - 8);
    for (int i = 0; i < 4; ++i)
        m_vOut[kChunkAt + 4 + i] = static_cast<uint8_t>(length >> (24 - 8 * i));
    std::vector<uint8_t> out = std::move(m_vOut);
    m_vOut.clear();
    return out;
}

// --- File ---

void CRSmf::Clear() {
    m_vChunks.clear();
    m_nDivision = kDefaultDivision;
}

CRSmfTrackChunkPtr CRSmf::AddTrackChunk() {
    auto chunk = std::make_shared<CRSmfTrackChunk>();
    m_vChunks.push_back(chunk);
    return chunk;
}

bool CRSmf::Read(const uint8_t* data, size_t size) {
    Clear();
    if (!data || size < 14 || std::memcmp(data, "MThd", 4) != 0) return false;
    // The header length and the format are not used: the header is taken as 6 bytes.
    const uint16_t count = ReadBe16(data + 10);
    const uint16_t division = ReadBe16(data + 12);
    size_t pos = 14;
    try {
        // Every chunk takes at least 8 bytes.
        m_vChunks.reserve(std::min<size_t>(count, (size - pos) / 8));
        for (unsigned i = 0; i < count; ++i) {
            if (!AddTrackChunk()->Read(data, size, pos)) {
                Clear();
                return false;
            }
        }
    } catch (...) {
        Clear();
        return false;
    }
    m_nDivision = division;
    return true;
}

void CRSmf::Write(std::vector<uint8_t>& out) const {
    out.insert(out.end(), {'M', 'T', 'h', 'd', 0, 0, 0, 6});
    WriteBe16(out, m_vChunks.size() > 1 ? 1 : 0);
    WriteBe16(out, static_cast<uint16_t>(m_vChunks.size()));
    WriteBe16(out, m_nDivision);
    for (const auto& chunk : m_vChunks) chunk->Write(out);
}

std::vector<uint8_t> CRSmf::Write() const {
    std::vector<uint8_t> out;
    size_t estimate = 14;
    for (const auto& chunk : m_vChunks) estimate += 12 + chunk->size() * 4;
    out.reserve(estimate);
    Write(out);
    return out;
}

}  // namespace DUve
