#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <thread>

#include "audio/QueueAudio.h"
#include "audio/QueueMidi.h"
#include "audio/RealtimeMix.h"
#include "audio/RecordRing.h"

// The mixing side of CRealtimeMix must neither allocate nor free.
#include "support/CountingAllocator.h"

using namespace DUve::AudioDevice;

namespace {
CBytes Bytes(std::vector<uint8_t> v) { return std::make_shared<const std::vector<uint8_t>>(std::move(v)); }
CBytes Mark() { return Bytes({}); }
CSamples Samples(std::vector<float> v) { return std::make_shared<const std::vector<float>>(std::move(v)); }
}  // namespace

TEST(QueueMidi, TakeMergesTracksByTimeThenTrackThenInsertion) {
    CQueueMidi queue(0);
    auto a = queue.CreateTrack();
    auto b = queue.CreateTrack();
    CQueueMidi::Push(*a, 5, Bytes({0x90, 60, 100}));
    CQueueMidi::Push(*b, 3, Bytes({0x91, 61, 100}));
    CQueueMidi::Push(*b, 5, Bytes({0x91, 62, 100}));
    CQueueMidi::Push(*a, 5, Bytes({0x90, 63, 100}));
    CQueueMidi::Push(*a, 10, Bytes({0x80, 60, 0}));  // beyond the span: stays

    const auto taken = queue.Take(10);
    ASSERT_EQ(taken.size(), 4u);
    EXPECT_EQ((*taken[0].vBytes)[1], 61);
    EXPECT_EQ((*taken[1].vBytes)[1], 60);  // same time: track a before track b
    EXPECT_EQ((*taken[2].vBytes)[1], 63);  // then a's insertion order
    EXPECT_EQ((*taken[3].vBytes)[1], 62);
    EXPECT_EQ(queue.Position(), 10u);
    EXPECT_EQ(a->size(), 1u);
}

TEST(QueueMidi, ReadinessNeedsEveryLiveTrackToReachTheSpanEnd) {
    CQueueMidi queue(100);
    auto a = queue.CreateTrack();
    auto b = queue.CreateTrack();
    CQueueMidi::Push(*a, 200, Bytes({0x90, 60, 1}));
    EXPECT_FALSE(queue.IsReady(50));  // b holds nothing
    CQueueMidi::Push(*b, 149, Mark());
    EXPECT_FALSE(queue.IsReady(50));  // b's mark ends before 150
    CQueueMidi::Push(*b, 150, Mark());
    EXPECT_TRUE(queue.IsReady(50));
    EXPECT_FALSE(queue.IsReady(101));  // a reaches 200 only

    // A dropped track no longer holds the queue back.
    b.reset();
    EXPECT_TRUE(queue.IsReady(100));
    EXPECT_EQ(queue.LiveTrackCount(), 1u);
}

TEST(QueueMidi, NoteOffsAreTheOnlySurvivorsOfADeletedTrack) {
    CQueueMidi queue(0);
    auto t = queue.CreateTrack();
    CQueueMidi::Push(*t, 10, Bytes({0x90, 60, 100}));
    CQueueMidi::Push(*t, 20, Bytes({0x80, 60, 64}));
    CQueueMidi::Push(*t, 21, Bytes({0x93, 61, 0}));  // note-on with velocity 0
    CQueueMidi::Push(*t, 22, Bytes({0xB0, 7, 0}));
    CQueueMidi::Push(*t, 23, Bytes({0x80, 60}));  // too short to be a note-off
    CQueueMidi::Push(*t, 24, Mark());
    const auto offs = CQueueMidi::TakeNoteOffs(*t);
    ASSERT_EQ(offs.size(), 2u);
    EXPECT_EQ((*offs[0].vBytes)[0], 0x80);
    EXPECT_EQ((*offs[1].vBytes)[0], 0x93);
    EXPECT_EQ(t->size(), 0u);
}

TEST(QueueMidi, SpanEndSaturatesInsteadOfWrapping) {
    CQueueMidi queue(10);
    auto own = queue.CreateTrack();
    CQueueMidi::Push(*own, UINT64_MAX, Mark());
    EXPECT_TRUE(queue.IsReady(UINT64_MAX));
    EXPECT_TRUE(queue.Take(UINT64_MAX - 5).empty());
    EXPECT_EQ(queue.Position(), UINT64_MAX);
}

TEST(QueueAudio, MixSumsTracksAndLeavesGapsSilent) {
    CQueueAudio set(2, 100);
    auto a = set.CreateTrack(100);
    auto b = set.CreateTrack(102);
    set.Push(*a, 0, Samples({0.5f, 0.5f, 0.5f, 0.5f}));
    set.Push(*b, 0, Samples({0.5f, 0.25f}));
    set.Push(*a, 1, Samples({1.0f}));
    set.Push(*a, 2, Samples({9.0f}));  // no such channel

    const auto mixed = set.Mix(4);
    ASSERT_EQ(mixed.size(), 2u);
    EXPECT_EQ(mixed[0], (std::vector<float>{0.5f, 0.5f, 1.0f, 0.75f}));
    EXPECT_EQ(mixed[1], (std::vector<float>{1.0f, 0.0f, 0.0f, 0.0f}));
    EXPECT_EQ(set.Position(), 104u);

    // Consumed chunks are gone; the next span is silence.
    const auto next = set.Mix(2);
    EXPECT_EQ(next[0], (std::vector<float>{0.0f, 0.0f}));
}

TEST(QueueAudio, ChunksSplitAcrossSpansAreMixedOnce) {
    CQueueAudio set(1, 0);
    auto t = set.CreateTrack(0);
    set.Push(*t, 0, Samples({1, 2, 3}));
    set.Push(*t, 0, Samples({4, 5, 6}));
    EXPECT_EQ(set.Mix(2)[0], (std::vector<float>{1, 2}));
    EXPECT_EQ(set.Mix(2)[0], (std::vector<float>{3, 4}));
    EXPECT_EQ(set.Mix(3)[0], (std::vector<float>{5, 6, 0}));
}

TEST(QueueAudio, ReadinessByHeldSamplesOrLateStart) {
    CQueueAudio set(2, 0);
    auto early = set.CreateTrack(0);
    auto late = set.CreateTrack(500);  // starts after the span: never holds it back
    EXPECT_FALSE(set.IsReady(4));
    set.Push(*early, 0, Samples({0, 0, 0, 0}));
    EXPECT_FALSE(set.IsReady(4));  // channel 1 still empty
    set.Push(*early, 1, Samples({0, 0, 0, 0}));
    EXPECT_TRUE(set.IsReady(4));
    EXPECT_FALSE(set.IsReady(5));
    early.reset();
    EXPECT_TRUE(set.IsReady(500));
    EXPECT_FALSE(set.IsReady(501));
}

// The track list both queue sets share: a track takes part while its owner keeps it, in
// the order of creation; a dropped one no longer holds the set back.
template <class CSet>
struct QueueSet : testing::Test {};
struct CMidiSide {
    using CSet = CQueueMidi;
    static CSet Make() { return CSet(10); }
    static auto Track(CSet& s) { return s.CreateTrack(); }
    static void Fill(CSet&, CSet::CTrack& t, uint64_t nUpTo) { CSet::Push(t, nUpTo, Mark()); }
};
struct CAudioSide {
    using CSet = CQueueAudio;
    static CSet Make() { return CSet(1, 10); }
    static auto Track(CSet& s) { return s.CreateTrack(10); }
    static void Fill(CSet& s, CSet::CTrack& t, uint64_t nUpTo) {
        s.Push(t, 0, Samples(std::vector<float>(nUpTo - 10 + 1 - t.Channels()[0].nHeld, 0.0f)));
    }
};
using QueueSides = testing::Types<CMidiSide, CAudioSide>;
TYPED_TEST_SUITE(QueueSet, QueueSides);

TYPED_TEST(QueueSet, ATrackTakesPartWhileItsOwnerKeepsIt) {
    auto set = TypeParam::Make();
    auto a = TypeParam::Track(set), b = TypeParam::Track(set), c = TypeParam::Track(set);
    EXPECT_EQ(set.LiveTrackCount(), 3u);
    TypeParam::Fill(set, *a, 40);
    TypeParam::Fill(set, *c, 40);
    EXPECT_FALSE(set.IsReady(20));  // b holds nothing
    b.reset();
    EXPECT_EQ(set.LiveTrackCount(), 2u);
    EXPECT_TRUE(set.IsReady(20));
    EXPECT_FALSE(set.IsReady(40));  // both others reach only 40
    set.SetPosition(50);
    EXPECT_EQ(set.Position(), 50u);
    EXPECT_FALSE(set.IsReady(1));
}

// One writer, one reader: each of a million records of 1 to 300 bytes (wrapping round
// the ring's end at every offset) arrives whole and in order; what does not fit is refused.
TEST(RecordRing, AMillionRecordsOfMixedSizesArriveWholeAndInOrder) {
    CRecordRing ring(1 << 16);
    const std::vector<uint8_t> vHuge(ring.Capacity());
    EXPECT_FALSE(ring.Write({std::span(vHuge)}));
    EXPECT_FALSE(ring.Write({}));
    constexpr uint32_t kCount = 1000000;
    const auto sizeOf = [](uint32_t i) { return size_t(1 + (i * 2654435761u >> 16) % 300); };
    // Record i holds i, then sizeOf(i) bytes of the pattern from offset i % 256.
    std::vector<uint8_t> pattern(600);
    for (size_t k = 0; k < pattern.size(); ++k) pattern[k] = uint8_t(k * 7 + k / 256);
    std::atomic<bool> bWritten{false};
    std::thread writer([&] {
        for (uint32_t i = 0; i < kCount;) {
            if (ring.Write({std::span(reinterpret_cast<const uint8_t*>(&i), 4), std::span(&pattern[i % 256], sizeOf(i))}))
                ++i;
            else
                std::this_thread::yield();
        }
        bWritten = true;
    });
    std::vector<uint8_t> got(304);
    uint32_t nBad = 0, nFirstBad = 0, i = 0;
    while (i < kCount) {
        const size_t n = ring.NextSize();
        if (n == 0) {
            if (bWritten && ring.NextSize() == 0) break;  // the rest was lost
            std::this_thread::yield();
            continue;
        }
        const bool bSize = n == 4 + sizeOf(i);
        if (bSize) ring.Peek(0, got.data(), n);
        if (!bSize || std::memcmp(got.data(), &i, 4) != 0 || std::memcmp(&got[4], &pattern[i % 256], n - 4) != 0)
            nFirstBad = nBad++ ? nFirstBad : i;
        ring.Pop();
        ++i;
    }
    writer.join();
    EXPECT_EQ(i, kCount) << "records lost";
    EXPECT_EQ(nBad, 0u) << "first bad record " << nFirstBad;
    EXPECT_EQ(ring.Damaged(), 0u);
}

// The real-time mix sums its tracks at their positions like CQueueAudio, more chunks than
// its mixing side holds wait on the worker and follow in order, and the mixing side
// allocates and frees nothing: a chunk the mix has passed lives until the worker collects.
TEST(RealtimeMix, SumsLikeTheQueueAndLeavesEveryFreeToTheWorker) {
    CRealtimeMix mix(2);
    float l[3], r[3];
    float* pp[2] = {l, r};
    long nCounted = 0;
    const auto mixCounting = [&](size_t n) {
        const long nBefore = DUve::Test::g_nAllocations + DUve::Test::g_nFrees;
        DUve::Test::t_bCountingHere = true;
        mix.MixInto(pp, 2, n);
        DUve::Test::t_bCountingHere = false;
        nCounted += DUve::Test::g_nAllocations + DUve::Test::g_nFrees - nBefore;
    };
    mix.SetPosition(100);
    const uint64_t a = mix.CreateTrack(101), b = mix.CreateTrack(102);
    auto chunk = Samples({1, 2, 3, 4});
    const std::weak_ptr<const std::vector<float>> wChunk = chunk;
    mix.Push(a, 0, std::move(chunk));
    mix.Push(a, 1, Samples({5}));
    mix.Push(b, 0, Samples({10, 10}));
    mix.Push(b, 2, Samples({9}));   // a channel the mix lacks
    mix.Push(99, 0, Samples({9}));  // an unknown track
    mixCounting(3);
    EXPECT_EQ(std::vector<float>(l, l + 3), (std::vector<float>{0, 1, 12}));
    EXPECT_EQ(std::vector<float>(r, r + 3), (std::vector<float>{0, 5, 0}));
    mix.DeleteTrack(b);
    mixCounting(3);
    EXPECT_EQ(std::vector<float>(l, l + 3), (std::vector<float>{3, 4, 0}));  // b's second sample is gone
    EXPECT_FALSE(wChunk.expired());  // passed, but only the worker lets it go
    mix.Collect();
    EXPECT_TRUE(wChunk.expired());

    const uint64_t c = mix.CreateTrack(mix.Position());
    const size_t nChunks = CRealtimeMix::kMaxChunks + 40;
    for (size_t i = 0; i < nChunks; ++i) mix.Push(c, 1, Samples({float(i)}));
    for (size_t i = 0; i < nChunks; ++i, mix.Collect()) {
        mixCounting(1);
        ASSERT_EQ(r[0], float(i));
    }
    EXPECT_EQ(mix.HeldChunks(), 0u);
    EXPECT_EQ(nCounted, 0);
}

// A sender that falls behind is counted: a chunk whose place the mix has already played
// (in part) arrives late. A track that joins after its start is not late while it catches up.
TEST(RealtimeMix, CountsChunksThatArriveAfterTheirPlaceHasPlayed) {
    CRealtimeMix mix(1);
    float out[4];
    float* pp[1] = {out};
    mix.SetPosition(100);
    const uint64_t t = mix.CreateTrack(90);
    mix.Push(t, 0, Samples({1, 1, 1, 1, 1}));        // 90..95: joins late,
    mix.Push(t, 0, Samples({1, 1, 1, 1, 1, 1, 1}));  // 95..102: catches up
    mix.MixInto(pp, 1, 4);                           // plays 100..104
    EXPECT_EQ(mix.LateChunks(), 0u);
    mix.Push(t, 0, Samples({2, 2, 2, 2}));  // 102..106, but 102 and 103 have played
    mix.MixInto(pp, 1, 2);
    EXPECT_EQ(mix.LateChunks(), 1u);
    EXPECT_EQ(std::vector<float>(out, out + 2), (std::vector<float>{2, 2}));
    mix.Push(t, 0, Samples({3, 3}));  // 106..108, in time
    mix.MixInto(pp, 1, 2);
    EXPECT_EQ(mix.LateChunks(), 1u);
    EXPECT_EQ(std::vector<float>(out, out + 2), (std::vector<float>{3, 3}));
}
