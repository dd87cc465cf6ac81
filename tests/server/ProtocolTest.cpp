#include "server/Protocol.h"

#include <gtest/gtest.h>

#include "server/Frame.h"
#include "support/Bytes.h"

using namespace DUve;
using namespace DUve::Sequencer;
using namespace DUve::Sequencer::CProtocol;
using PalvorTest::Hex;
using PalvorTest::ReferenceCrc16Arc;
using PalvorTest::ToHex;

namespace {

CRUid Filled(uint8_t b) {
    uint8_t bytes[16];
    std::fill(std::begin(bytes), std::end(bytes), b);
    return CRUid(bytes);
}

template <class T>
std::shared_ptr<const T> RoundTrip(const T& command) {
    const auto loaded = CSerialize::LoadObjects(CSerialize::SaveObject(command));
    if (loaded.size() != 1) return nullptr;
    return std::dynamic_pointer_cast<const T>(loaded[0]);
}

}  // namespace

TEST(ProtocolIds, EveryCommandHasTheCrcOfItsQualifiedName) {
    const std::pair<uint16_t, const char*> ids[] = {
        {CRegistClient::SerializeId(), "CRegistClient"},
        {CCommandEcho::SerializeId(), "CCommandEcho"},
        {CCommandExportSmf::SerializeId(), "CCommandExportSmf"},
        {CCommandExportedSmf::SerializeId(), "CCommandExportedSmf"},
        {CCommandDelete::SerializeId(), "CCommandDelete"},
        {CCommandDeleted::SerializeId(), "CCommandDeleted"},
        {CCommandChangedSequenceProperty::SerializeId(), "CCommandChangedSequenceProperty"},
        {CCommandCreateSequence::SerializeId(), "CCommandCreateSequence"},
        {CCommandOpenSequence::SerializeId(), "CCommandOpenSequence"},
        {CCommandChangedTrackProperty::SerializeId(), "CCommandChangedTrackProperty"},
        {CCommandSetSequenceTitle::SerializeId(), "CCommandSetSequenceTitle"},
        {CCommandCreateTrack::SerializeId(), "CCommandCreateTrack"},
        {CCommandSetTrackTitle::SerializeId(), "CCommandSetTrackTitle"},
        {CCommandTrackChangeMml::SerializeId(), "CCommandTrackChangeMml"},
        {CCommandTrackCompileMml::SerializeId(), "CCommandTrackCompileMml"},
        {CCommandTrackCompiledMml::SerializeId(), "CCommandTrackCompiledMml"},
        {CCommandSetPortEnable::SerializeId(), "CCommandSetPortEnable"},
        {CCommandPortChangeInstrument::SerializeId(), "CCommandPortChangeInstrument"},
        {CCommandChangedPortProperty::SerializeId(), "CCommandChangedPortProperty"},
        {CCommandCreatePort::SerializeId(), "CCommandCreatePort"},
        {CCommandLoadSmf::SerializeId(), "CCommandLoadSmf"},
        {CCommandCreateEvent::SerializeId(), "CCommandCreateEvent"},
    };
    std::set<uint16_t> distinct;
    for (const auto& [id, name] : ids) {
        EXPECT_EQ(id, ReferenceCrc16Arc(std::string("DUve::Sequencer::CProtocol::") + name))
            << name;
        distinct.insert(id);
    }
    EXPECT_EQ(distinct.size(), 22u);
    EXPECT_EQ(CSerialize::Registry().size(), 22u);
    EXPECT_EQ(CRegistClient::SerializeId(), 0x9404);
    EXPECT_EQ(CCommandEcho::SerializeId(), 0xF85C);
    EXPECT_EQ(CCommandDelete::SerializeId(), 0x4A77);
}

TEST(ProtocolBytes, KnownVectors) {
    EXPECT_EQ(ToHex(CSerialize::SaveObject(CCommandEcho(Filled(0x11)))),
              "5C F8 11 11 11 11 11 11 11 11 11 11 11 11 11 11 11 11");
    const CRBytes frame = EncodeFrame(CSerialize::SaveObject(CCommandEcho(Filled(0x11))));
    ASSERT_EQ(frame.size(), 22u);
    EXPECT_EQ(ToHex(CRBytes(frame.begin(), frame.begin() + 6)), "12 00 00 00 5C F8");
    EXPECT_EQ(ToHex(CSerialize::SaveObject(CRegistClient(5, u"ab", 7))),
              "04 94 05 00 00 00 FF FE FF 02 61 00 62 00 07 00 00 00");
    EXPECT_EQ(ToHex(CSerialize::SaveObject(CCommandDelete())), "77 4A 00 00 00 00");
    EXPECT_EQ(ToHex(EncodeFrame(CRBytes(10, 0xEE))),
              "0A 00 00 00 EE EE EE EE EE EE EE EE EE EE");
    const uint8_t header[4] = {0x0A, 0x00, 0x01, 0x80};
    EXPECT_EQ(DecodeFrameHeader(header), 0x8001000Au);
}

TEST(ProtocolBytes, FieldsInWireOrder) {
    // u8 channel after the instrument string.
    const CRBytes change =
        CSerialize::SaveObject(CCommandPortChangeInstrument(Filled(1), u"S", 9));
    EXPECT_EQ(ToHex(CRBytes(change.begin() + 18, change.end())), "FF FE FF 01 53 00 09");
    // blob, sequence id, instrument, id list.
    const CRBytes load = CSerialize::SaveObject(
        CCommandLoadSmf({0x4D, 0x54}, Filled(2), u"", {Filled(3)}));
    CRBytes expected = Hex("02 00 00 00 4D 54");
    const CRUid two = Filled(2), three = Filled(3);
    expected.insert(expected.end(), two.Data(), two.Data() + 16);
    for (uint8_t x : Hex("FF FE FF 00 01 00 00 00")) expected.push_back(x);
    expected.insert(expected.end(), three.Data(), three.Data() + 16);
    EXPECT_EQ(CRBytes(load.begin() + 2, load.end()), expected);
    // bool after the id.
    const CRBytes enable = CSerialize::SaveObject(CCommandSetPortEnable(Filled(4), true));
    EXPECT_EQ(enable.size(), 2u + 16u + 1u);
    EXPECT_EQ(enable.back(), 1);
}

TEST(ProtocolRoundTrip, CommandsWithEmbeddedProperties) {
    Property::CListEvent events;
    events.Insert(480, std::make_shared<Property::CEventNote>(60, 90, 240));
    events.Insert(0, std::make_shared<Property::CEventTempo>(140.0));
    const auto created = RoundTrip(CCommandCreateEvent(Filled(7), events));
    ASSERT_TRUE(created);
    EXPECT_EQ(created->idPort, Filled(7));
    ASSERT_EQ(created->events.size(), 2u);
    EXPECT_TRUE((*created->events.begin())->property->IsEqual(Property::CEventTempo(140.0)));

    const Property::CPort port(Filled(8), u"\u30e1\u30ed\u30c7\u30a3", u"MIDI Out", 3);
    const auto changed = RoundTrip(CCommandChangedPortProperty(Filled(9), port));
    ASSERT_TRUE(changed);
    EXPECT_EQ(changed->property, port);

    const auto deleted = RoundTrip(
        CCommandDeleted({Filled(1)}, {Filled(2), Filled(3)}, {}, {Filled(4)}));
    ASSERT_TRUE(deleted);
    EXPECT_EQ(deleted->setTrack, (CRUidSet{Filled(2), Filled(3)}));
    EXPECT_EQ(deleted->setEvent, (CRUidSet{Filled(4)}));
    EXPECT_TRUE(deleted->setPort.empty());

    const auto compiled = RoundTrip(CCommandTrackCompiledMml(Filled(5), {u"1: a", u"2: \U0001F600"}));
    ASSERT_TRUE(compiled);
    EXPECT_EQ(compiled->vMessages, (CRStringList{u"1: a", u"2: \U0001F600"}));

    const auto track = RoundTrip(CCommandCreateTrack(Filled(1), Filled(2), Property::CTrack(u"T")));
    ASSERT_TRUE(track);
    EXPECT_EQ(track->idSequence, Filled(2));
    EXPECT_EQ(track->property.sTitle, u"T");

    const auto exported = RoundTrip(CCommandExportedSmf(Filled(1), Filled(2), CRBytes(1000, 7)));
    ASSERT_TRUE(exported);
    EXPECT_EQ(exported->vSmf, CRBytes(1000, 7));
}

TEST(ProtocolLoad, AFrameKeepsCommandOrderAndRejectsStrayClasses) {
    const std::vector<CPtr> commands{std::make_shared<CCommandSetTrackTitle>(Filled(1), u"x"),
                                     std::make_shared<CCommandTrackCompileMml>(Filled(1))};
    const auto loaded = CSerialize::LoadObjects(CSerialize::SaveObjects(commands));
    ASSERT_EQ(loaded.size(), 2u);
    EXPECT_TRUE(std::dynamic_pointer_cast<const CCommandSetTrackTitle>(loaded[0]));
    EXPECT_TRUE(std::dynamic_pointer_cast<const CCommandTrackCompileMml>(loaded[1]));
    // A property id is unknown to the protocol family.
    EXPECT_TRUE(CSerialize::LoadObjects(
                    Property::CSerialize::SaveObject(Property::CSequence(u"x")))
                    .empty());
}
