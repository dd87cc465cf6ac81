// The streaming pieces of an export against the whole-file ones they stand in for: the
// chunk writer against a chunk filled by AddEvent and Insert, the score stream against
// iterating a score of the same events.
#include <gtest/gtest.h>

#include <random>

#include "midi/RSmf.h"
#include "midi/Score.h"

using namespace DUve;
using MidiPlayer::CScore;
using MidiPlayer::CScoreStream;

namespace {

// Random raw events in time order: channel messages with any data bytes, exclusive data
// with top bits, metas (end-of-track among them), undecodable and cut-off bytes, gaps
// longer than a delta-time can hold.
std::vector<std::pair<uint32_t, std::vector<uint8_t>>> RandomEvents(uint32_t seed) {
    std::mt19937 rng(seed);
    std::vector<std::pair<uint32_t, std::vector<uint8_t>>> events;
    uint32_t time = 0;
    for (int i = 0; i < 400; ++i) {
        // A few long gaps, so that time stays within 32 bits.
        time += rng() % 5 == 0 ? 0 : i % 50 == 9 ? 0x10000000u + rng() % 7 : rng() % 500;
        std::vector<uint8_t> b;
        switch (rng() % 6) {
            case 0: b = {0xFF, uint8_t(rng() % 2 ? 0x2F : 0x51)}; b.push_back(uint8_t(rng() % 2 ? 0 : 3)); break;
            case 1: b = {0xF0, uint8_t(1 + rng() % 4), 0x41, uint8_t(rng()), 0xF7}; break;
            case 2: b = {uint8_t(0xF1 + rng() % 14)}; break;
            default: b = {uint8_t(0x80 | rng())};
        }
        for (size_t n = rng() % 4; n > 0; --n) b.push_back(uint8_t(rng()));
        events.emplace_back(time, std::move(b));
    }
    return events;
}

}  // namespace

TEST(SmfChunkWriter, WritesTheBytesOfAChunkFilledInTheSameOrder) {
    for (uint32_t seed : {1u, 2u, 3u, 77u, 1234u}) {
        CRSmf smf;
        const auto chunk = smf.AddTrackChunk();
        CRSmfChunkWriter writer;
        size_t added = 0;
        for (const auto& [time, bytes] : RandomEvents(seed)) {
            const bool a = chunk->AddEvent(time, bytes);
            EXPECT_EQ(writer.AddEvent(time, bytes.data(), bytes.size()), a) << seed;
            added += a;
            if (time % 7 == 0) {
                const auto tempo = CRSmfEventMeta::MakeTempo(time, 90.0 + time % 50);
                chunk->Insert(tempo);
                writer.Add(*tempo);
            }
        }
        EXPECT_GT(added, 100u);
        EXPECT_EQ(writer.Finish(), smf.Write()) << "seed " << seed;
    }
    CRSmf empty;
    empty.AddTrackChunk();
    EXPECT_EQ(CRSmfChunkWriter().Finish(), empty.Write());
}

TEST(ScoreStream, GivesTheOrderOfAScoreOfTheSameEvents) {
    for (uint32_t seed : {5u, 6u, 99u}) {
        std::mt19937 rng(seed);
        MidiPlayer::CScoreMaster master;
        CScoreStream stream;
        std::vector<uint8_t> expected, got;
        uint32_t step = 0;
        for (int i = 0; i < 600; ++i) {
            step = uint32_t(std::min<uint64_t>(uint64_t(step) + (rng() % 3 == 0 ? rng() % 240 : 0), UINT32_MAX));
            if (i == 590) step = UINT32_MAX - 10;
            stream.EmitBefore(step, [&](const CScoreStream::CEntry& e) { e.AppendBytes(got); });
            const uint8_t ch = rng() % 2, note = 60 + rng() % 2, vel = rng() % 2 * 100;
            switch (rng() % 3) {
                case 0: {
                    const uint32_t len = rng() % 3 == 0 ? 0 : 120 * (rng() % 3);
                    master.Add(std::make_shared<const CScore::CEventMidiNoteOn>(step, nullptr, ch, note, vel, len));
                    const auto end = uint32_t(std::min<uint64_t>(uint64_t(step) + len, UINT32_MAX));
                    master.Add(std::make_shared<const CScore::CEventMidiNoteOff>(end, nullptr, ch, note, vel));
                    EXPECT_TRUE(stream.AddNote(step, false, ch, note, vel, len));
                    break;
                }
                case 1: {
                    const std::vector<uint8_t> b = {uint8_t(0xB0 | ch), note, vel};
                    const size_t n = rng() % 2 ? 3 : 2;
                    master.Add(std::make_shared<const CScore::CEventMidiData>(
                        step, nullptr, std::make_shared<const std::vector<uint8_t>>(b.begin(), b.begin() + n)));
                    EXPECT_TRUE(stream.AddData(step, false, b.data(), n));
                    break;
                }
                default: {
                    const std::vector<uint8_t> d(rng() % 3, note);
                    master.Add(std::make_shared<const CScore::CEventMidiSysEx>(
                        step, nullptr, std::make_shared<const std::vector<uint8_t>>(d)));
                    EXPECT_TRUE(stream.AddSysEx(step, false, d));
                }
            }
        }
        EXPECT_FALSE(stream.AddNote(0, false, 0, 60, 100, 10)) << "a step already emitted";
        stream.EmitBefore(UINT64_MAX, [&](const CScoreStream::CEntry& e) { e.AppendBytes(got); });
        EXPECT_EQ(stream.Pending(), 0u);
        for (const auto& e : master.GetSnapshot()->GetEvents(0, UINT32_MAX)) {
            const auto bytes = e->GetBytes();
            expected.insert(expected.end(), bytes->begin(), bytes->end());
        }
        EXPECT_GT(expected.size(), 1000u);
        EXPECT_EQ(got, expected) << "seed " << seed;
    }
}
