#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "midi/RSmf.h"
#include "support/Bytes.h"

using namespace DUve;
using PalvorTest::Hex;
using PalvorTest::ToHex;

namespace {

using Bytes = std::vector<uint8_t>;

Bytes Be32(uint32_t v) {
    return {static_cast<uint8_t>(v >> 24), static_cast<uint8_t>(v >> 16),
            static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v)};
}

Bytes Chunk(const Bytes& events, const char* type = "MTrk") {
    Bytes out(type, type + 4);
    const Bytes len = Be32(static_cast<uint32_t>(events.size()));
    out.insert(out.end(), len.begin(), len.end());
    out.insert(out.end(), events.begin(), events.end());
    return out;
}

// A file of the given chunks (bytes after the header), track count and division.
Bytes File(const std::vector<Bytes>& chunks, uint16_t division = 480, int count = -1,
           uint32_t headerLength = 6) {
    Bytes out = {'M', 'T', 'h', 'd'};
    const Bytes hl = Be32(headerLength);
    out.insert(out.end(), hl.begin(), hl.end());
    const uint16_t n = static_cast<uint16_t>(count < 0 ? chunks.size() : count);
    const Bytes rest = {0,
                        1,
                        static_cast<uint8_t>(n >> 8),
                        static_cast<uint8_t>(n),
                        static_cast<uint8_t>(division >> 8),
                        static_cast<uint8_t>(division)};
    out.insert(out.end(), rest.begin(), rest.end());
    for (size_t i = 6; i < headerLength; ++i) out.push_back(0);
    for (const auto& c : chunks) out.insert(out.end(), c.begin(), c.end());
    return out;
}

// The one chunk of a file holding `events`; empty smf on a failed read.
std::shared_ptr<CRSmfTrackChunk> ReadOne(const Bytes& events, CRSmf& smf) {
    if (!smf.Read(File({Chunk(events)})) || smf.TrackChunks().size() != 1) return nullptr;
    return smf.TrackChunks()[0];
}

// "time:bytes" per event, as written back.
std::string Describe(const CRSmfTrackChunk& chunk) {
    std::string s;
    for (const auto& e : chunk) {
        Bytes b;
        e->Encode(b);
        if (!s.empty()) s += " | ";
        s += std::to_string(e->nTime) + ":" + ToHex(b);
    }
    return s;
}

Bytes WriteChunk(const CRSmfTrackChunk& chunk) {
    Bytes out;
    chunk.Write(out);
    return out;
}

}  // namespace

TEST(RSmfVlq, ReadsAndWritesShortestForm) {
    for (uint32_t v :
         {0u, 0x7Fu, 0x80u, 0x2000u, 0x3FFFu, 0x4000u, 0x1FFFFFu, 0x200000u, 0x0FFFFFFFu}) {
        Bytes b;
        RSmfInner::WriteVlq(b, v);
        size_t pos = 0;
        uint32_t back = 1;
        ASSERT_TRUE(RSmfInner::ReadVlq(b.data(), b.size(), pos, back)) << v;
        EXPECT_EQ(back, v);
        EXPECT_EQ(pos, b.size());
    }
    Bytes b;
    RSmfInner::WriteVlq(b, 0);
    EXPECT_EQ(ToHex(b), "00");
    b.clear();
    RSmfInner::WriteVlq(b, 0x4000);
    EXPECT_EQ(ToHex(b), "81 80 00");
}

TEST(RSmfVlq, CutOffOrOverlongQuantitiesAreRefusedWithoutMoving) {
    uint32_t v = 7;
    size_t pos = 0;
    const Bytes cut = Hex("81 80");
    EXPECT_FALSE(RSmfInner::ReadVlq(cut.data(), cut.size(), pos, v));
    const Bytes overlong = Hex("81 80 80 80 00");
    EXPECT_FALSE(RSmfInner::ReadVlq(overlong.data(), overlong.size(), pos, v));
    EXPECT_EQ(pos, 0u);
    EXPECT_EQ(v, 7u);
}

TEST(RSmfHeader, ReadsCountAndDivisionAndRefusesBadHeaders) {
    CRSmf smf;
    EXPECT_TRUE(smf.Read(File({}, 0xE728)));  // SMPTE division kept as is
    EXPECT_TRUE(smf.TrackChunks().empty());
    EXPECT_EQ(smf.GetDivision(), 0xE728);

    Bytes shortHeader = File({}, 96);
    shortHeader.pop_back();
    EXPECT_FALSE(smf.Read(shortHeader));
    EXPECT_EQ(smf.GetDivision(), 480);  // cleared
    Bytes wrongType = File({}, 96);
    wrongType[0] = 'X';
    EXPECT_FALSE(smf.Read(wrongType));
    EXPECT_FALSE(smf.Read(nullptr, 0));
}

TEST(RSmfHeader, HeaderLengthFieldIsNotUsed) {
    CRSmf smf;
    // The chunk is looked for right after 6 header bytes: 2 bytes too early.
    EXPECT_FALSE(smf.Read(File({Chunk(Hex("00 FF 2F 00"))}, 480, -1, 8)));
    EXPECT_TRUE(smf.TrackChunks().empty());
}

TEST(RSmfHeader, AnyFailingChunkEmptiesTheWholeFile) {
    CRSmf smf;
    ASSERT_TRUE(smf.Read(File({Chunk(Hex("00 90 3C 40"))}, 96)));
    ASSERT_EQ(smf.TrackChunks().size(), 1u);
    // Second chunk of another type.
    EXPECT_FALSE(
        smf.Read(File({Chunk(Hex("00 90 3C 40")), Chunk(Hex("00 FF 2F 00"), "MTxx")}, 96)));
    EXPECT_TRUE(smf.TrackChunks().empty());
    EXPECT_EQ(smf.GetDivision(), 480);
    // More chunks announced than present; a chunk length past the end of the file.
    EXPECT_FALSE(smf.Read(File({Chunk(Hex("00 90 3C 40"))}, 96, 2)));
    Bytes longChunk = File({Chunk(Hex("00 90 3C 40"))});
    longChunk[21] = 5;  // length 4 -> 5
    EXPECT_FALSE(smf.Read(longChunk));
    // A huge announced length or track count allocates nothing and fails.
    Bytes huge = File({Chunk(Hex("00 90 3C 40"))}, 480, 0xFFFF);
    huge[18] = huge[19] = huge[20] = 0xFF;
    EXPECT_FALSE(smf.Read(huge));
}

TEST(RSmfRead, RunningStatusCarriesChannelAndMetaStatus) {
    CRSmf smf;
    auto chunk = ReadOne(Hex("00 91 3C 40  10 3E 41  00 FF 01 01 41  05 03 00"), smf);
    ASSERT_TRUE(chunk);
    // The data byte after the meta is read with the running status 0xFF: a meta of type 3.
    EXPECT_EQ(Describe(*chunk), "0:91 3C 40 | 16:91 3E 41 | 16:FF 01 01 41 | 21:FF 03 00");
}

TEST(RSmfRead, NoteOnWithVelocityZeroIsANoteOff) {
    CRSmf smf;
    auto chunk = ReadOne(Hex("00 90 3C 40  60 90 3C 00  00 85 3C 12"), smf);
    ASSERT_TRUE(chunk);
    ASSERT_EQ(chunk->size(), 3u);
    EXPECT_EQ((*chunk->begin())->GetKind(), CRSmfEvent::EKind::NoteOn);
    ASSERT_EQ(chunk->NoteOffs().size(), 2u);
    EXPECT_EQ(chunk->NoteOffs()[0]->nVelocity, 0);
    EXPECT_EQ(chunk->NoteOffs()[1]->nChannel, 5);
    // Written back with its own status.
    EXPECT_EQ(Describe(*chunk), "0:90 3C 40 | 96:80 3C 00 | 96:85 3C 12");
}

TEST(RSmfRead, PitchWheelValuesAreCentredOn8192) {
    CRSmf smf;
    auto chunk = ReadOne(Hex("00 E0 00 40  00 E1 7F 7F  00 E2 00 00  00 E3 7F 3F"), smf);
    ASSERT_TRUE(chunk);
    std::vector<int> bends;
    for (const auto& e : *chunk) {
        ASSERT_EQ(e->GetKind(), CRSmfEvent::EKind::PitchWheel);
        bends.push_back(static_cast<const CRSmfEventChPitchWheel&>(*e).nBend);
    }
    EXPECT_EQ(bends, (std::vector<int>{0, 8191, -8192, -1}));
    EXPECT_EQ(Describe(*chunk), "0:E0 00 40 | 0:E1 7F 7F | 0:E2 00 00 | 0:E3 7F 3F");
}

TEST(RSmfRead, EveryChannelKindDecodes) {
    CRSmf smf;
    auto chunk = ReadOne(Hex("00 A2 3C 11  00 B3 07 64  00 C4 05  00 D5 22  01 D5 23"), smf);
    ASSERT_TRUE(chunk);
    std::vector<CRSmfEvent::EKind> kinds;
    for (const auto& e : *chunk) kinds.push_back(e->GetKind());
    using K = CRSmfEvent::EKind;
    EXPECT_EQ(kinds, (std::vector<K>{K::PolyphonicKeyPressure, K::ControlChange, K::ProgramChange,
                                     K::ChannelPressure, K::ChannelPressure}));
    EXPECT_EQ((*chunk->begin())->GetChannel(), 2);
    EXPECT_TRUE((*chunk->begin())->IsChannelEvent());
    EXPECT_EQ(Describe(*chunk), "0:A2 3C 11 | 0:B3 07 64 | 0:C4 05 | 0:D5 22 | 1:D5 23");
}

TEST(RSmfRead, ExclusiveStopsAtF7OrAtAStatusByte) {
    CRSmf smf;
    auto chunk = ReadOne(Hex("00 F0 04 41 10 42 F7  00 F0 05 7E 7F 90 3C 40"), smf);
    ASSERT_TRUE(chunk);
    ASSERT_GE(chunk->size(), 2u);
    const auto& first = static_cast<const CRSmfEventExclusive&>(*chunk->Events()[0]);
    EXPECT_EQ(first.GetChannel(), -1);
    EXPECT_EQ(ToHex(first.vData), "41 10 42");
    const auto& second = static_cast<const CRSmfEventExclusive&>(*chunk->Events()[1]);
    EXPECT_EQ(ToHex(second.vData), "7E 7F");
    Bytes b;
    first.Encode(b);
    EXPECT_EQ(ToHex(b), "F0 04 41 10 42 F7");
}

TEST(RSmfRead, UndecodableStatusIsSkippedKeepingItsDeltaTime) {
    CRSmf smf;
    // 0xF8 cannot be decoded: reading restarts one byte after its delta-time, where the
    // status byte itself is taken as the start of the next delta-time (F8 00 = 0x3C00).
    auto chunk = ReadOne(Hex("10 F8 00 90 3C 40"), smf);
    ASSERT_TRUE(chunk);
    ASSERT_EQ(chunk->size(), 1u);
    EXPECT_EQ((*chunk->begin())->nTime, 0x10u + 0x3C00u);
}

TEST(RSmfRead, DataBytesBeforeAnyStatusAreSkippedOneByOne) {
    CRSmf smf;
    // Without a status, 3C and 40 cannot be decoded: each is skipped and reading always
    // moves on. The deltas read on the way stay added.
    auto chunk = ReadOne(Hex("00 3C 40 00 90 3C 40"), smf);
    ASSERT_TRUE(chunk);
    ASSERT_EQ(chunk->size(), 1u);
    EXPECT_EQ((*chunk->begin())->nTime, 0x3Cu + 0x40u);
    // A chunk of nothing but data bytes ends with no event.
    Bytes data(4000, 0x05);
    chunk = ReadOne(data, smf);
    ASSERT_TRUE(chunk);
    EXPECT_TRUE(chunk->empty());
}

TEST(RSmfRead, TruncatedLastEventEndsTheChunkKeepingEarlierEvents) {
    const char* cases[] = {
        "00 90 3C 40  81",                          // delta-time cut off
        "00 90 3C 40  00 90 3E",                    // note-on without velocity
        "00 90 3C 40  00 C0",                       // program change without program
        "00 90 3C 40  00 FF 01 05 41",              // meta shorter than its length
        "00 90 3C 40  00 FF",                       // meta without type
        "00 90 3C 40  00 FF 01 81",                 // meta length cut off
        "00 90 3C 40  00 F0 05 41 F7",              // exclusive shorter than its length
        "00 90 3C 40  00 FF 01 8F FF FF 7F 41",     // huge meta length
        "00 90 3C 40  81 80 80 80 00 90 3E 40",     // delta-time of 5 bytes
        "00 90 3C 40  00 FF 01 81 80 80 80 00 41",  // meta length of 5 bytes
        "00 90 3C 40  00",                          // delta-time and nothing after it
    };
    for (const char* c : cases) {
        CRSmf smf;
        auto chunk = ReadOne(Hex(c), smf);
        ASSERT_TRUE(chunk) << c;
        EXPECT_EQ(Describe(*chunk), "0:90 3C 40") << c;
    }
}

TEST(RSmfRead, TimesPastTheTicksRangeWrapAndStayOrdered) {
    Bytes events;
    for (int i = 0; i < 16; ++i)
        events.insert(events.end(), {0xFF, 0xFF, 0xFF, 0x7F, 0x90, 0x3C, 0x40});
    // 16 x 0x0FFFFFFF = 0xFFFFFFF0; +0x20 wraps to 0x10.
    events.insert(events.end(), {0x20, 0x80, 0x3C, 0x00});
    CRSmf smf;
    auto chunk = ReadOne(events, smf);
    ASSERT_TRUE(chunk);
    ASSERT_EQ(chunk->size(), 17u);
    EXPECT_EQ(chunk->Events()[0]->nTime, 0x10u);
    EXPECT_EQ(chunk->Events()[0]->GetKind(), CRSmfEvent::EKind::NoteOff);
    EXPECT_EQ(chunk->Events()[16]->nTime, 0xFFFFFFF0u);
    for (size_t i = 1; i < chunk->size(); ++i)
        EXPECT_LE(chunk->Events()[i - 1]->nTime, chunk->Events()[i]->nTime);
}

TEST(RSmfWrite, EndOfTrackIsAddedOnlyWhenMissing) {
    CRSmf smf;
    auto chunk = ReadOne(Hex("00 90 3C 40 60 3C 00"), smf);
    ASSERT_TRUE(chunk);
    EXPECT_EQ(ToHex(WriteChunk(*chunk)),
              "4D 54 72 6B 00 00 00 0C 00 90 3C 40 60 80 3C 00 00 FF 2F 00");
    chunk = ReadOne(Hex("00 90 3C 40 60 FF 2F 00"), smf);
    ASSERT_TRUE(chunk);
    EXPECT_EQ(ToHex(WriteChunk(*chunk)), "4D 54 72 6B 00 00 00 08 00 90 3C 40 60 FF 2F 00");
    // An end-of-track meta with data is no end of track.
    chunk = ReadOne(Hex("00 FF 2F 01 00"), smf);
    ASSERT_TRUE(chunk);
    EXPECT_EQ(ToHex(WriteChunk(*chunk)), "4D 54 72 6B 00 00 00 09 00 FF 2F 01 00 00 FF 2F 00");
    CRSmfTrackChunk empty;
    EXPECT_EQ(ToHex(WriteChunk(empty)), "4D 54 72 6B 00 00 00 04 00 FF 2F 00");
}

TEST(RSmfWrite, FormatFollowsTheNumberOfChunks) {
    CRSmf smf;
    EXPECT_EQ(ToHex(smf.Write()), "4D 54 68 64 00 00 00 06 00 00 00 00 01 E0");
    smf.SetDivision(96);
    smf.AddTrackChunk();
    Bytes one = smf.Write();
    EXPECT_EQ(ToHex(Bytes(one.begin(), one.begin() + 14)),
              "4D 54 68 64 00 00 00 06 00 00 00 01 00 60");
    smf.AddTrackChunk();
    Bytes two = smf.Write();
    EXPECT_EQ(ToHex(Bytes(two.begin(), two.begin() + 14)),
              "4D 54 68 64 00 00 00 06 00 01 00 02 00 60");
    smf.Clear();
    EXPECT_TRUE(smf.TrackChunks().empty());
    EXPECT_EQ(smf.GetDivision(), 480);
}

TEST(RSmfWrite, WrittenFileReadsBackToTheSameEvents) {
    CRSmf smf;
    smf.SetDivision(960);
    auto a = smf.AddTrackChunk();
    a->Insert(CRSmfEventMeta::MakeTempo(0, 140.0));
    ASSERT_TRUE(a->AddEvent(0, Hex("FF 58 04 03 02 18 08")));
    ASSERT_TRUE(a->AddEvent(200000, Hex("F0 05 7E 7F 09 01 F7")));
    auto b = smf.AddTrackChunk();
    ASSERT_TRUE(b->AddEvent(0, Hex("C9 10")));
    ASSERT_TRUE(b->AddEvent(10, Hex("99 24 70")));
    ASSERT_TRUE(b->AddEvent(10, Hex("B9 07 64")));
    ASSERT_TRUE(b->AddEvent(500, Hex("89 24 00")));
    ASSERT_TRUE(b->AddEvent(0x0FFFFFFF, Hex("E9 00 00")));
    CRSmf back;
    ASSERT_TRUE(back.Read(smf.Write()));
    EXPECT_EQ(back.GetDivision(), 960);
    ASSERT_EQ(back.TrackChunks().size(), 2u);
    EXPECT_EQ(Describe(*back.TrackChunks()[0]), Describe(*a) + " | 200000:FF 2F 00");
    EXPECT_EQ(Describe(*back.TrackChunks()[1]), Describe(*b) + " | 268435455:FF 2F 00");
}

TEST(RSmfWrite, GapsLongerThanADeltaTimeAreBridged) {
    CRSmfTrackChunk chunk;
    ASSERT_TRUE(chunk.AddEvent(0, Hex("90 3C 40")));
    ASSERT_TRUE(chunk.AddEvent(0x20000000, Hex("80 3C 00")));
    const Bytes written = WriteChunk(chunk);
    // 0x20000000 = 2 x 0x0FFFFFFF + 2: two empty text metas carry the gap.
    EXPECT_EQ(ToHex(written),
              "4D 54 72 6B 00 00 00 1A 00 90 3C 40 FF FF FF 7F FF 01 00 "
              "FF FF FF 7F FF 01 00 02 80 3C 00 00 FF 2F 00");
    CRSmf smf;
    ASSERT_TRUE(smf.Read(File({written})));
    const auto& back = *smf.TrackChunks()[0];
    ASSERT_EQ(back.size(), 5u);
    EXPECT_EQ(back.Events()[3]->nTime, 0x20000000u);
    EXPECT_EQ(back.FindNoteLength(0, 0, 60), 0x20000000u);
}

TEST(RSmfWrite, DataBytesAreWrittenAsDataBytes) {
    CRSmf smf;
    // Data bytes with the top bit set are read as they are ...
    auto chunk = ReadOne(Hex("00 90 BC 80  00 E0 FF FF"), smf);
    ASSERT_TRUE(chunk);
    EXPECT_EQ(static_cast<const CRSmfEventChNote&>(*chunk->Events()[0]).nNote, 0xBC);
    // ... but written as the largest data byte, so the written chunk holds the same two
    // events, and the note-on stays one.
    Bytes written = WriteChunk(*chunk);
    EXPECT_EQ(ToHex(written), "4D 54 72 6B 00 00 00 0C 00 90 7F 7F 00 E0 7F 7F 00 FF 2F 00");
}

TEST(RSmfAddEvent, DecodesLikeTheReaderAndKeepsTimeOrder) {
    CRSmfTrackChunk chunk;
    EXPECT_TRUE(chunk.AddEvent(100, Hex("90 3C 40")));
    EXPECT_TRUE(chunk.AddEvent(50, Hex("91 3C 00")));
    EXPECT_TRUE(chunk.AddEvent(100, Hex("B0 01 02")));
    EXPECT_TRUE(chunk.AddEvent(50, Hex("FF 01 00")));
    EXPECT_FALSE(chunk.AddEvent(0, Hex("3C 40")));  // no status byte
    EXPECT_FALSE(chunk.AddEvent(0, Hex("90 3C")));  // incomplete
    EXPECT_FALSE(chunk.AddEvent(0, Hex("F8")));     // nothing decodes it
    EXPECT_FALSE(chunk.AddEvent(0, Bytes{}));
    EXPECT_EQ(Describe(chunk), "50:81 3C 00 | 50:FF 01 00 | 100:90 3C 40 | 100:B0 01 02");
    ASSERT_EQ(chunk.NoteOffs().size(), 1u);
}

TEST(RSmfMeta, TempoEncodesAndDecodes) {
    const auto tempo = CRSmfEventMeta::MakeTempo(7, 120.0);
    Bytes b;
    tempo->Encode(b);
    EXPECT_EQ(ToHex(b), "FF 51 03 07 A1 20");
    EXPECT_EQ(tempo->nTime, 7u);
    EXPECT_EQ(tempo->DecodeTempo(), 120.0);
    // Truncated towards zero: 60000000 / 140 = 428571.43.
    EXPECT_EQ(ToHex(CRSmfEventMeta::MakeTempo(0, 140.0)->vData), "06 8A 1B");
    // Extra data bytes are ignored; fewer than 3 or another type give nothing.
    EXPECT_EQ(CRSmfEventMeta(0, 0x51, Hex("07 A1 20 99")).DecodeTempo(), 120.0);
    EXPECT_FALSE(CRSmfEventMeta(0, 0x51, Hex("07 A1")).DecodeTempo());
    EXPECT_FALSE(CRSmfEventMeta(0, 0x58, Hex("07 A1 20")).DecodeTempo());
}

TEST(RSmfMeta, TempoOutsideTheMetaRangeIsKeptInIt) {
    // 0 microseconds per quarter note would be an infinite tempo.
    EXPECT_FALSE(CRSmfEventMeta(0, 0x51, Hex("00 00 00")).DecodeTempo());
    // 60000000 / 1 does not fit 3 bytes: the slowest tempo, not its low bytes.
    EXPECT_EQ(ToHex(CRSmfEventMeta::MakeTempo(0, 1.0)->vData), "FF FF FF");
    EXPECT_EQ(ToHex(CRSmfEventMeta::MakeTempo(0, 0.0)->vData), "FF FF FF");
    EXPECT_EQ(ToHex(CRSmfEventMeta::MakeTempo(0, -5.0)->vData), "FF FF FF");
    EXPECT_EQ(ToHex(CRSmfEventMeta::MakeTempo(0, 1e12)->vData), "00 00 01");
}

TEST(RSmfMeta, TimeSignatureGivesBeatsAndBeatLength) {
    const auto six8 = CRSmfEventMeta(0, 0x58, Hex("06 03 18 08")).DecodeTimeSignature();
    ASSERT_TRUE(six8);
    EXPECT_EQ(six8->nBeats, 6);
    EXPECT_EQ(six8->nBeatLength, 240);
    const uint16_t lengths[] = {1920, 960, 480, 240, 120, 60, 0, 0};
    for (uint8_t e = 0; e < 8; ++e) {
        const auto ts = CRSmfEventMeta(0, 0x58, {4, e, 24, 8}).DecodeTimeSignature();
        ASSERT_TRUE(ts);
        EXPECT_EQ(ts->nBeatLength, lengths[e]) << int(e);
    }
    EXPECT_FALSE(CRSmfEventMeta(0, 0x58, Hex("06 03 18")).DecodeTimeSignature());
    EXPECT_FALSE(CRSmfEventMeta(0, 0x51, Hex("06 03 18 08")).DecodeTimeSignature());
}

TEST(RSmfNoteLength, FirstLaterNoteOffOfTheSameKey) {
    CRSmf smf;
    // ch0 60 on @0; ch1 60 off @10; ch0 61 off @20; ch0 60 off @0 (same time) ... @30, @40
    auto chunk = ReadOne(Hex("00 90 3C 40  00 80 3C 00  0A 81 3C 00  0A 80 3D 00  0A 90 3C 00"
                             "  0A 80 3C 00  00 90 3E 40"),
                         smf);
    ASSERT_TRUE(chunk);
    EXPECT_EQ(chunk->FindNoteLength(0, 0, 60), 30u);  // not the note-off at 0 nor other keys
    EXPECT_EQ(chunk->FindNoteLength(5, 0, 60), 25u);  // overlapping notes share a note-off
    EXPECT_EQ(chunk->FindNoteLength(30, 0, 60), 10u);
    EXPECT_FALSE(chunk->FindNoteLength(40, 0, 60));
    EXPECT_FALSE(chunk->FindNoteLength(0, 0, 62));
    EXPECT_EQ(chunk->FindNoteLength(0, 1, 60), 10u);
    const auto& on = static_cast<const CRSmfEventChNote&>(*chunk->Events()[0]);
    EXPECT_EQ(chunk->FindNoteLength(on), 30u);
    EXPECT_FALSE(chunk->FindNoteLength(UINT32_MAX, 0, 60));
}

TEST(RSmfNoteLength, NoteOffsAddedLaterAreFound) {
    CRSmfTrackChunk chunk;
    ASSERT_TRUE(chunk.AddEvent(0, Hex("92 40 40")));
    ASSERT_TRUE(chunk.AddEvent(300, Hex("82 40 00")));
    EXPECT_EQ(chunk.FindNoteLength(0, 2, 64), 300u);
    ASSERT_TRUE(chunk.AddEvent(100, Hex("92 40 00")));
    EXPECT_EQ(chunk.FindNoteLength(0, 2, 64), 100u);
}
