#include "model/SeqProperty.h"

#include <gtest/gtest.h>

#include "support/Bytes.h"

using namespace DUve;
using namespace DUve::CRSeq::Property;
using PalvorTest::Hex;
using PalvorTest::ReferenceCrc16Arc;
using PalvorTest::ToHex;

namespace {

CRBytes Body(const CBase& object) {
    CRBytes out;
    CRArchive ar(out);
    object.Serialize(ar);
    return out;
}

template <class T>
std::shared_ptr<const T> RoundTrip(const T& object) {
    const auto loaded = CSerialize::LoadObjects(CSerialize::SaveObject(object));
    if (loaded.size() != 1) return nullptr;
    return std::dynamic_pointer_cast<const T>(loaded[0]);
}

std::vector<uint32_t> Steps(const CListEvent& list) {
    std::vector<uint32_t> v;
    for (const auto& e : list) v.push_back(e->nStep);
    return v;
}

}  // namespace

TEST(PropertyIds, EveryClassHasTheCrcOfItsQualifiedName) {
    const std::pair<uint16_t, const char*> ids[] = {
        {CSequence::SerializeId(), "DUve::CRSeq::Property::CSequence"},
        {CTrack::SerializeId(), "DUve::CRSeq::Property::CTrack"},
        {CPort::SerializeId(), "DUve::CRSeq::Property::CPort"},
        {CEventTempo::SerializeId(), "DUve::CRSeq::Property::CEventTempo"},
        {CEventMeter::SerializeId(), "DUve::CRSeq::Property::CEventMeter"},
        {CEventExclusive::SerializeId(), "DUve::CRSeq::Property::CEventExclusive"},
        {CEventProgramChange::SerializeId(), "DUve::CRSeq::Property::CEventProgramChange"},
        {CEventPitchBend::SerializeId(), "DUve::CRSeq::Property::CEventPitchBend"},
        {CEventNote::SerializeId(), "DUve::CRSeq::Property::CEventNote"},
        {CEventControlChange::SerializeId(), "DUve::CRSeq::Property::CEventControlChange"},
        {CEventCommon::SerializeId(), "DUve::CRSeq::Property::CEventCommon"},
        {CListEvent::SerializeId(), "DUve::CRSeq::Property::CListEvent"},
    };
    std::set<uint16_t> distinct;
    for (const auto& [id, name] : ids) {
        EXPECT_EQ(id, ReferenceCrc16Arc(name)) << name;
        distinct.insert(id);
    }
    EXPECT_EQ(distinct.size(), 12u);
    EXPECT_EQ(CSerialize::Registry().size(), 12u);
    EXPECT_EQ(CEventNote().GetSerializeId(), CEventNote::SerializeId());
}

TEST(PropertyDefaults, MatchTheStoredFormat) {
    EXPECT_EQ(ToHex(Body(CEventNote())), "28 7F E0 01 00 00");
    EXPECT_EQ(ToHex(Body(CEventExclusive())), "00 00 00 00");
    EXPECT_EQ(ToHex(Body(CEventTempo())), "00 00 00 00 00 00 5E 40");
    EXPECT_EQ(ToHex(Body(CEventMeter())), "04 E0 01");
    EXPECT_EQ(ToHex(Body(CEventPitchBend(-8192))), "00 E0");
    EXPECT_EQ(ToHex(Body(CEventControlChange(7, 100))), "07 64");
    EXPECT_EQ(ToHex(Body(CEventProgramChange(5))), "05");
    const CEventMeter sixEight(6, 1920 / 8);
    EXPECT_EQ(sixEight.nBeats, 6);
    EXPECT_EQ(sixEight.nBeatLength, 240);
    const CPort port(CRUid(), u"p", u"inst", 9);
    EXPECT_TRUE(port.bEnable);
    EXPECT_EQ(ToHex(Body(port)),
              "00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 "
              "FF FE FF 01 70 00 FF FE FF 04 69 00 6E 00 73 00 74 00 09 01");
}

TEST(PropertyEquality, SameKindAndFields) {
    EXPECT_TRUE(CEventNote(60, 100, 240).IsEqual(CEventNote(60, 100, 240)));
    EXPECT_FALSE(CEventNote(60, 100, 240).IsEqual(CEventNote(60, 100, 241)));
    EXPECT_FALSE(CEventNote().IsEqual(CEventControlChange()));
    EXPECT_FALSE(CEventControlChange().IsEqual(CEventProgramChange()));
    EXPECT_TRUE(CEventExclusive({1, 2}).IsEqual(CEventExclusive({1, 2})));
    EXPECT_FALSE(CEventExclusive({1, 2}).IsEqual(CEventExclusive({1, 2, 3})));
    EXPECT_TRUE(CEventTempo(133.5).IsEqual(CEventTempo(133.5)));
    EXPECT_FALSE(CEventTempo(133.5).IsEqual(CEventTempo(133.50000001)));
}

TEST(PropertyRoundTrip, EveryKindLoadsBackEqual) {
    const std::vector<std::shared_ptr<const CEventBase>> kinds = {
        std::make_shared<CEventTempo>(97.25),
        std::make_shared<CEventMeter>(3, 960),
        std::make_shared<CEventExclusive>(CRBytes{0x41, 0x10, 0x42, 0x12}),
        std::make_shared<CEventProgramChange>(127),
        std::make_shared<CEventPitchBend>(8191),
        std::make_shared<CEventNote>(127, 1, 0xFFFFFFFF),
        std::make_shared<CEventControlChange>(64, 127),
    };
    for (const auto& k : kinds) {
        const auto loaded = CSerialize::LoadObjects(CSerialize::SaveObject(*k));
        ASSERT_EQ(loaded.size(), 1u);
        const auto e = std::dynamic_pointer_cast<const CEventBase>(loaded[0]);
        ASSERT_TRUE(e);
        EXPECT_TRUE(e->IsEqual(*k)) << typeid(*k).name();
    }
    const auto seq = RoundTrip(CSequence(u"\U0001F3B5 song"));
    ASSERT_TRUE(seq);
    EXPECT_EQ(seq->sTitle, u"\U0001F3B5 song");
    uint8_t b[16] = {9};
    CPort port(CRUid(b), u"Melody", u"Synth", 15);
    port.bEnable = false;
    const auto p = RoundTrip(port);
    ASSERT_TRUE(p);
    EXPECT_EQ(*p, port);
}

TEST(ListEvent, OrdersByUnsignedStepWithTiesInInsertionOrder) {
    CListEvent list;
    const CRUid first = list.Insert(960, std::make_shared<CEventNote>(1, 1, 1));
    list.Insert(0, std::make_shared<CEventNote>(2, 2, 2));
    const CRUid second = list.Insert(960, std::make_shared<CEventNote>(3, 3, 3));
    list.Insert(2147483648u, std::make_shared<CEventTempo>());
    list.Insert(5, std::make_shared<CEventTempo>());
    EXPECT_EQ(Steps(list), (std::vector<uint32_t>{0, 5, 960, 960, 2147483648u}));

    const auto loaded = RoundTrip(list);
    ASSERT_TRUE(loaded);
    ASSERT_EQ(loaded->size(), 5u);
    auto it = std::next(loaded->begin(), 2);
    EXPECT_EQ((*it)->idEvent, first);
    EXPECT_EQ((*std::next(it))->idEvent, second);
    EXPECT_EQ(Steps(*loaded), Steps(list));

    // Body: count, then each event (id, step, property id, property) with no id in front.
    CListEvent single;
    single.Insert(std::make_shared<CEventCommon>(CRUid(), 0x10, std::make_shared<CEventNote>()));
    const uint16_t noteId = CEventNote::SerializeId();
    CRBytes expected = Hex("01 00 00 00");
    expected.resize(expected.size() + 16, 0);
    for (uint8_t x : Hex("10 00 00 00")) expected.push_back(x);
    expected.push_back(static_cast<uint8_t>(noteId));
    expected.push_back(static_cast<uint8_t>(noteId >> 8));
    for (uint8_t x : Hex("28 7F E0 01 00 00")) expected.push_back(x);
    EXPECT_EQ(Body(single), expected);

    single.Erase(single.begin());
    EXPECT_TRUE(single.empty());
}

TEST(EventCommon, PropertyMustBeAnEventKind) {
    auto withProperty = [](const CRBytes& property) {
        CRBytes b(16, 0xAB);
        for (uint8_t x : Hex("00 01 00 00")) b.push_back(x);
        b.insert(b.end(), property.begin(), property.end());
        const uint16_t id = CEventCommon::SerializeId();
        CRBytes payload{static_cast<uint8_t>(id), static_cast<uint8_t>(id >> 8)};
        payload.insert(payload.end(), b.begin(), b.end());
        return CSerialize::LoadObjects(payload);
    };
    const auto ok = withProperty(CSerialize::SaveObject(CEventProgramChange(3)));
    ASSERT_EQ(ok.size(), 1u);
    const auto e = std::dynamic_pointer_cast<const CEventCommon>(ok[0]);
    EXPECT_EQ(e->nStep, 256u);
    EXPECT_TRUE(e->property->IsEqual(CEventProgramChange(3)));

    EXPECT_TRUE(withProperty(CSerialize::SaveObject(CSequence(u"x"))).empty());
    EXPECT_TRUE(withProperty(CSerialize::SaveObject(CListEvent())).empty());
    EXPECT_TRUE(withProperty({}).empty());                 // no property at all
    EXPECT_TRUE(withProperty(Hex("34 12")).empty());       // unregistered id
    // An exclusive event whose data is cut short fails rather than inventing zero bytes.
    CRBytes sysex = CSerialize::SaveObject(CEventExclusive({1, 2, 3, 4}));
    sysex.pop_back();
    EXPECT_TRUE(withProperty(sysex).empty());
    // An event without a property cannot be written.
    EXPECT_TRUE(CSerialize::SaveObject(CEventCommon()).empty());
}

TEST(ListEvent, AnnouncedCountBeyondTheDataFailsWithoutAllocating) {
    const uint16_t id = CListEvent::SerializeId();
    CRBytes payload{static_cast<uint8_t>(id), static_cast<uint8_t>(id >> 8), 0xFF, 0xFF, 0xFF,
                    0x7F};
    payload.resize(payload.size() + 21, 0);
    EXPECT_TRUE(CSerialize::LoadObjects(payload).empty());
}
