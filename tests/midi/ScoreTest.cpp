#include <gtest/gtest.h>

#include <algorithm>

#include "midi/PlayerTestSupport.h"
#include "midi/Score.h"

using namespace DUve;
using namespace DUve::MidiPlayer;
using PalvorTest::CRecordingDevice;

namespace {

using CNoteOn = CScore::CEventMidiNoteOn;
using CNoteOff = CScore::CEventMidiNoteOff;

CBytes B(std::vector<uint8_t> v) {
    return std::make_shared<const std::vector<uint8_t>>(std::move(v));
}

struct CSink {
    std::shared_ptr<CRecordingDevice> device = std::make_shared<CRecordingDevice>();
    CMidiInPtr midiIn = std::make_shared<const CMidiIn>(device);
};

// A note as the player makes it: note-on at the step, note-off at its end.
void AddNote(CScoreMaster& m, const CMidiInPtr& in, uint32_t step, uint8_t note, uint32_t length,
             uint8_t ch = 0) {
    m.Add(std::make_shared<const CNoteOn>(step, in, ch, note, 100, length));
    const auto end = uint32_t(std::min<uint64_t>(uint64_t(step) + length, UINT32_MAX));
    m.Add(std::make_shared<const CNoteOff>(end, in, ch, note, 100));
}

std::vector<std::vector<uint8_t>> BytesOf(const std::vector<CScore::CEventPtr>& events) {
    std::vector<std::vector<uint8_t>> v;
    for (const auto& e : events) v.push_back(*e->GetBytes());
    return v;
}

}  // namespace

TEST(Score, EventsAtOneStepComeOffDataOnSysEx) {
    CSink sink;
    CScoreMaster master;
    // Added in the reverse of the order they must come out in.
    master.Add(std::make_shared<const CScore::CEventMidiSysEx>(480, sink.midiIn, B({0x41, 0x10})));
    AddNote(master, sink.midiIn, 480, 60, 480);
    master.Add(std::make_shared<const CScore::CEventMidiData>(480, sink.midiIn, B({0xC0, 5})));
    AddNote(master, sink.midiIn, 0, 60, 480);
    const auto score = master.GetSnapshot();
    EXPECT_EQ(BytesOf(score->GetEvents(480, 481)),
              (std::vector<std::vector<uint8_t>>{
                  {0x80, 60, 100}, {0xC0, 5}, {0x90, 60, 100}, {0xF0, 3, 0x41, 0x10, 0xF7}}));
    // An event without a sink sorts before the same event with one.
    master.Add(std::make_shared<const CScore::CEventMidiData>(480, nullptr, B({0xC0, 5})));
    const auto with = master.GetSnapshot()->GetEvents(480, 481);
    ASSERT_EQ(with.size(), 5u);
    EXPECT_FALSE(with[1]->midiIn);
    EXPECT_TRUE(with[2]->midiIn);
}

TEST(Score, RemoveTakesOneOfEquivalentCopies) {
    CSink sink;
    CScoreMaster master;
    AddNote(master, sink.midiIn, 0, 60, 480);
    AddNote(master, sink.midiIn, 0, 60, 480);
    const auto before = master.GetSnapshot();
    EXPECT_EQ(before, master.GetSnapshot());  // unchanged master: same snapshot

    master.Remove(std::make_shared<const CNoteOn>(0, sink.midiIn, 0, 60, 100, 480));
    master.Remove(std::make_shared<const CNoteOff>(480, sink.midiIn, 0, 60, 100));
    const auto after = master.GetSnapshot();
    EXPECT_NE(after, before);
    EXPECT_EQ(before->size(), 4u);  // a published snapshot never changes
    EXPECT_EQ(after->size(), 2u);

    // Not in the score: another length, another velocity.
    master.Remove(std::make_shared<const CNoteOn>(0, sink.midiIn, 0, 60, 100, 481));
    master.Remove(std::make_shared<const CNoteOff>(480, sink.midiIn, 0, 60, 99));
    EXPECT_EQ(master.GetSnapshot(), after);
    EXPECT_EQ(master.size(), 2u);
}

TEST(Score, WindowAndSoundingNoteBounds) {
    CSink sink;
    CScoreMaster master;
    AddNote(master, sink.midiIn, 0, 60, 480);  // ends exactly at 480
    AddNote(master, sink.midiIn, 0, 62, 481);
    AddNote(master, sink.midiIn, 480, 64, 10);             // starts at 480
    AddNote(master, sink.midiIn, 0xFFFFFF00u, 66, 0x200);  // ends past the last step
    const auto score = master.GetSnapshot();

    const auto window = score->GetEvents(0, 480);
    ASSERT_EQ(window.size(), 2u);
    for (const auto& e : window) EXPECT_EQ(e->nStep, 0u);
    EXPECT_TRUE(score->GetEvents(480, 480).empty());
    EXPECT_EQ(score->GetEvents(480, 481).size(), 2u);  // the off of 60, the on of 64

    const auto sounding = score->GetSoundingNotes(480);
    ASSERT_EQ(sounding.size(), 1u);
    EXPECT_EQ(sounding[0]->nNote, 62);
    const auto late = score->GetSoundingNotes(0xFFFFFFF0u);
    ASSERT_EQ(late.size(), 1u);
    EXPECT_EQ(late[0]->nNote, 66);
    EXPECT_TRUE(score->GetSoundingNotes(0).empty());
}

TEST(Score, PlaySendsThroughSinkAndNothingWithout) {
    CSink sink;
    CPendingQueues queues;
    const CScore::CEventMidiSysEx sysex(0, sink.midiIn, B({0x7E, 0x7F, 0x09, 0x01}));
    sysex.Play(queues, 1.5);
    const CNoteOn note(0, sink.midiIn, 3, 60, 90, 480);
    note.Play(queues, 1.5);
    note.SendNoteOff(queues, 2.0);
    const CScore::CEventMidiData orphan(0, nullptr, B({0xB0, 7, 100}));
    orphan.Play(queues, 1.5);
    EXPECT_EQ(queues.size(), 1u);  // one queue per device, shared by its events
    queues.Watermark(2.5);

    const auto pushes = sink.device->Pushes();
    ASSERT_EQ(pushes.size(), 4u);
    EXPECT_EQ(pushes[0],
              (std::pair<double, std::vector<uint8_t>>{1.5, {0xF0, 0x7E, 0x7F, 0x09, 0x01, 0xF7}}));
    EXPECT_EQ(pushes[1], (std::pair<double, std::vector<uint8_t>>{1.5, {0x93, 60, 90}}));
    EXPECT_EQ(pushes[2], (std::pair<double, std::vector<uint8_t>>{2.0, {0x83, 60, 90}}));
    EXPECT_EQ(pushes[3], (std::pair<double, std::vector<uint8_t>>{2.5, {}}));
    // The stored form of an exclusive message carries its length.
    EXPECT_EQ(*sysex.GetBytes(), (std::vector<uint8_t>{0xF0, 5, 0x7E, 0x7F, 0x09, 0x01, 0xF7}));
}
