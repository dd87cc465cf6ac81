// Songs made from files for the player: records, the scaled tempo map, meters, the end,
// devices per channel; instruments per channel from files and from a server's ports.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "midi/RMidiPlayer.h"
#include "midi/RSmf.h"
#include "runtime/RString.h"
#include "App/cli/Cli.h"
#include "tools/play/Song.h"

namespace {

using namespace DUve;
using namespace DUve::Play;
using CNote = CRMidiPlayer::Request::CEventMidiNote;
using CTempo = CRMidiPlayer::Request::CEventTempo;
using CMidi = CRMidiPlayer::Request::CEventMidi;

// A file at 480 ticks to the quarter note; each chunk a list of (tick, bytes) with metas
// as FF TYPE LENGTH DATA.
std::vector<uint8_t> MakeSmf(
    const std::vector<std::vector<std::pair<uint32_t, std::vector<uint8_t>>>>& chunks) {
    CRSmf smf;
    for (const auto& events : chunks) {
        const auto chunk = smf.AddTrackChunk();
        for (const auto& [tick, bytes] : events) EXPECT_TRUE(chunk->AddEvent(tick, bytes));
    }
    return smf.Write();
}

std::vector<uint8_t> Meta(uint8_t type, const std::string& data) {
    std::vector<uint8_t> v(3 + data.size());
    v[0] = 0xFF;
    v[1] = type;
    v[2] = uint8_t(data.size());
    std::copy(data.begin(), data.end(), v.begin() + 3);
    return v;
}

struct PlaySongFromFile : testing::Test {
    CTempFolder folder;
    std::vector<std::u16string> asked;  // the instruments deviceOf was asked about

    CSong Load(const std::vector<uint8_t>& smf, double dScale,
               const std::map<uint8_t, std::u16string>& instruments = {}) {
        return LoadSong(smf, folder.Path(), instruments, dScale, [this](const std::u16string& s) {
            asked.push_back(s);
            return s.empty() ? std::string("Keys") : Utf16ToUtf8(s);
        });
    }
    template <class T>
    static std::vector<std::shared_ptr<const T>> Records(const CSong& song) {
        std::vector<std::shared_ptr<const T>> v;
        for (const auto& r : song.records)
            if (auto t = std::dynamic_pointer_cast<const T>(r)) v.push_back(t);
        return v;
    }
};

TEST_F(PlaySongFromFile, NotesTempoMetersAndTheEnd) {
    const auto smf = MakeSmf({{
        {0, Meta(0x51, std::string("\x07\xA1\x20", 3))},      // 500000 us: 120 per minute
        {0, Meta(0x58, std::string("\x03\x02\x18\x08", 4))},  // 3/4
        {0, {0xC1, 5}},
        {0, {0x91, 60, 100}},
        {480, {0x81, 60, 0}},
        {480, {0x91, 64, 90}},
        {1440, {0x81, 64, 0}},
        {1440, Meta(0x51, std::string("\x0F\x42\x40", 3))},  // 1000000 us: 60 per minute
    }});
    const CSong song = Load(smf, 2.0);

    const auto notes = Records<CNote>(song);
    ASSERT_EQ(notes.size(), 2u);
    EXPECT_EQ(notes[0]->nStep, 0u);
    EXPECT_EQ(notes[0]->nNote, 60);
    EXPECT_EQ(notes[0]->nLength, 480u);
    EXPECT_EQ(notes[0]->nChannel, 1);
    EXPECT_EQ(notes[1]->nStep, 480u);
    EXPECT_EQ(notes[1]->nLength, 960u);
    EXPECT_EQ(notes[0]->sInstrument, u"Keys");
    ASSERT_EQ(Records<CMidi>(song).size(), 1u);  // the program change

    // Every tempo doubled, in the records and in the song's own map.
    const auto tempos = Records<CTempo>(song);
    ASSERT_EQ(tempos.size(), 2u);
    EXPECT_DOUBLE_EQ(tempos[0]->dTempo, 240.0);
    EXPECT_EQ(tempos[1]->nStep, 1440u);
    EXPECT_DOUBLE_EQ(tempos[1]->dTempo, 120.0);
    ASSERT_EQ(song.tempo.size(), 2u);
    EXPECT_DOUBLE_EQ(song.tempo.StepToSeconds(1440), 0.75);

    EXPECT_EQ(song.nEndStep, 1440u);
    EXPECT_DOUBLE_EQ(song.EndSeconds(), 0.75);
    EXPECT_EQ(song.meters.At(1440).nBar, 2u);  // 3/4: bar 2 starts at step 1440
    EXPECT_EQ(song.vDevices, std::vector<std::string>{"Keys"});
}

TEST_F(PlaySongFromFile, AFileWithoutTempoGetsTheScaledDefaultAtItsStart) {
    const auto smf = MakeSmf({{{0, {0x90, 60, 100}}, {960, {0x80, 60, 0}}}});
    const CSong half = Load(smf, 0.5);
    const auto tempos = Records<CTempo>(half);
    ASSERT_EQ(tempos.size(), 1u);
    EXPECT_EQ(tempos[0]->nStep, 0u);
    EXPECT_DOUBLE_EQ(tempos[0]->dTempo, 60.0);
    EXPECT_EQ(half.records.front(), tempos[0]);  // before the notes
    EXPECT_DOUBLE_EQ(half.EndSeconds(), 2.0);

    const CSong asIs = Load(smf, 1.0);
    EXPECT_TRUE(Records<CTempo>(asIs).empty());
    EXPECT_DOUBLE_EQ(asIs.EndSeconds(), 1.0);
}

TEST_F(PlaySongFromFile, EachChannelPlaysOnTheDeviceItsTrackNames) {
    const auto smf = MakeSmf({
        {{0, Meta(0x04, "Piano")}, {0, {0x90, 60, 100}}, {480, {0x80, 60, 0}}},
        {{0, Meta(0x04, "Ignored")},
         {0, Meta(0x09, "Synth")},
         {0, {0x93, 40, 100}},
         {240, {0x83, 40, 0}}},
        {{0, {0x95, 70, 100}}, {120, {0x85, 70, 0}}},  // no name
    });
    const auto instruments = ChannelInstruments(smf);
    EXPECT_EQ(instruments, (std::map<uint8_t, std::u16string>{{0, u"Piano"}, {3, u"Synth"}}));
    const CSong song = Load(smf, 1.0, instruments);
    std::map<uint8_t, std::u16string> byChannel;
    for (const auto& n : Records<CNote>(song)) byChannel[n->nChannel] = n->sInstrument;
    EXPECT_EQ(byChannel,
              (std::map<uint8_t, std::u16string>{{0, u"Piano"}, {3, u"Synth"}, {5, u"Keys"}}));
    EXPECT_EQ(song.vDevices, (std::vector<std::string>{"Piano", "Synth", "Keys"}));
    EXPECT_EQ(song.nEndStep, 480u);
}

TEST_F(PlaySongFromFile, WhatIsNoMidiFileIsAUsageError) {
    for (const std::vector<uint8_t>& bad :
         {std::vector<uint8_t>{}, std::vector<uint8_t>{'M', 'T', 'h', 'd'},
          std::vector<uint8_t>(1000, 0x41)}) {
        try {
            Load(bad, 1.0);
            ADD_FAILURE() << "accepted " << bad.size() << " bytes";
        } catch (const Cli::CExit& e) {
            EXPECT_EQ(e.nCode, Cli::kUsage);
            EXPECT_EQ(e.sMessage, "not a readable MIDI file");
        }
        EXPECT_TRUE(ChannelInstruments(bad).empty());
    }
}

TEST(PlaySequenceInstruments, ChannelsWhosePortsAgree) {
    Cli::CMirror mirror;
    const CRUid seq = CRUid::Generate(), other = CRUid::Generate();
    const CRUid track = CRUid::Generate(), otherTrack = CRUid::Generate();
    mirror.tracks[track] = {seq, {}, u""};
    mirror.tracks[otherTrack] = {other, {}, u""};
    auto port = [&](const CRUid& t, const char16_t* instrument, uint8_t ch, bool bEnable = true) {
        CRSeq::Property::CPort p(t, u"p", instrument, ch);
        p.bEnable = bEnable;
        mirror.ports[CRUid::Generate()] = p;
    };
    port(track, u"Keys", 0);
    port(track, u"Keys", 0);
    port(track, u"Keys", 1);
    port(track, u"Synth", 1);  // channel 1 disagrees: no name
    port(track, u"Drums", 9);
    port(track, u"Off", 2, false);      // disabled
    port(otherTrack, u"Elsewhere", 3);  // another sequence
    EXPECT_EQ(SequenceInstruments(mirror, seq),
              (std::map<uint8_t, std::u16string>{{0, u"Keys"}, {9, u"Drums"}}));
}

}  // namespace
