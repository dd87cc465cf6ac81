// Playing songs on recording devices: to the end, stopped in the middle of notes (every
// started note has ended on its device when playing returns), looped; the device list.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "audio/AudioDevice.h"
#include "midi/RMidiPlayer.h"
#include "runtime/RString.h"
#include "support/TestBackends.h"
#include "App/cli/Cli.h"
#include "tools/play/DeviceChoice.h"
#include "tools/play/Playback.h"

namespace {

using namespace DUve;
using namespace DUve::Play;
namespace TB = DUve::AudioDevice::TestBackends;

struct CBackends {
    std::shared_ptr<TB::CMidiOut> midi;
    std::shared_ptr<TB::CVst> vst;
};

// A MIDI output "Keys" (port 0) whose port asks for a scheduling lead of 150 ms (a JACK
// port with long periods may); a synth "Synth" and an effect "Fx" that takes no MIDI; no audio
// output. Installed once, before the process's device registry is built.
const CBackends& Backends() {
    static const CBackends backends = [] {
        using namespace AudioDevice;
        CBackends b;
        b.midi =
            std::make_shared<TB::CMidiOut>(std::vector<CMidiOutPortInfo>{{0, u"Keys"}}, 150000000);
        b.vst = std::make_shared<TB::CVst>(std::vector<CVstPluginInfo>{
            {u"/plug/Synth.so", u"Synth", u"V", u"P", 1, 0, 2, 8},
            {u"/plug/Fx.so", u"Fx", u"V", u"P", 1, 2, 2, 0},
        });
        EXPECT_TRUE(SetBackends({b.midi, b.vst, nullptr, nullptr}));
        return b;
    }();
    return backends;
}

const std::u16string kSynth = u"/plug/Synth.so";

// Note-ons and note-offs per note number, in the order the device got them.
std::map<int, std::string> OnOffByNote(const std::vector<std::vector<uint8_t>>& messages) {
    std::map<int, std::string> m;
    for (const auto& v : messages) {
        if (v.size() != 3) continue;
        const uint8_t status = v[0] & 0xF0;
        if (status == 0x90 && v[2] > 0) m[v[1]] += '+';
        if (status == 0x80 || (status == 0x90 && v[2] == 0)) m[v[1]] += '-';
    }
    return m;
}

// Started and, after its last start, ended. A stop may end a note twice (its queued
// note-off and the player's own), which does no harm.
bool StartedAndEnded(const std::string& s) {
    return !s.empty() && s.front() == '+' && s.back() == '-' &&
           std::count(s.begin(), s.end(), '-') >= std::count(s.begin(), s.end(), '+');
}

// Whether every message the port was given is due by now: a port that schedules (as the
// ALSA sequencer's do) drops what is still ahead of it when it closes.
bool AllDue() {
    const uint64_t now = AudioDevice::ClockNanoseconds();
    for (const auto& s : Backends().midi->Sent(0))
        if (s.nStampNs > now) return false;
    return true;
}

std::vector<std::vector<uint8_t>> KeysGot() {
    std::vector<std::vector<uint8_t>> v;
    for (const auto& s : Backends().midi->Sent(0)) v.push_back(s.vBytes);
    return v;
}

std::vector<std::vector<uint8_t>> SynthGot() {
    std::vector<std::vector<uint8_t>> v;
    for (const auto& e : Backends().vst->Log(kSynth).vEvents)
        v.push_back({e.midiData[0], e.midiData[1], e.midiData[2]});
    return v;
}

// A song of notes (step, note, length) on one device at one tempo.
struct CNoteSpec {
    uint32_t nStep;
    uint8_t nNote;
    uint32_t nLength;
};
CSong MakeSong(const std::string& sDevice, double dTempo, const std::vector<CNoteSpec>& notes) {
    CSong song;
    song.tempo.Insert(0, dTempo);
    song.records.push_back(std::make_shared<CRMidiPlayer::Request::CEventTempo>(true, 0, dTempo));
    for (const auto& n : notes) {
        song.records.push_back(std::make_shared<CRMidiPlayer::Request::CEventMidiNote>(
            true, n.nStep, Utf8ToUtf16(sDevice), 0, n.nNote, 100, n.nLength));
        song.nEndStep = std::max(song.nEndStep, n.nStep + n.nLength);
    }
    song.vDevices = {sDevice};
    return song;
}

TEST(PlayDeviceList, NamesKindsAndMidiInRegistryOrder) {
    Backends();
    const auto devices = ListDevices();
    ASSERT_EQ(devices.size(), 3u);
    std::vector<std::string> lines;
    for (const auto& d : devices)
        lines.push_back(d.sName + " (" + KindName(d.eKind) + ")" + (d.bAcceptsMidi ? " midi" : ""));
    EXPECT_EQ(lines, (std::vector<std::string>{"Keys (MIDI output) midi", "Fx (VST)",
                                               "Synth (VST) midi"}));
    EXPECT_EQ(KindName(AudioDevice::EKind::DirectSound), "audio output (default)");
    EXPECT_EQ(KindName(AudioDevice::EKind::Asio), "audio output (JACK)");
}

TEST(PlaySong, PlaysToTheEndWithEveryNoteEnded) {
    Backends().midi->Clear(0);
    // 1200 quarter notes a minute: 50 ms each.
    const CSong song = MakeSong("Keys", 1200.0, {{0, 60, 240}, {480, 62, 240}, {960, 64, 960}});
    std::vector<uint32_t> shown;
    const CPlayback played = PlaySong(
        song, std::nullopt, [] { return false; },
        [&](const CStatus& s) { shown.push_back(s.nStep); });
    EXPECT_TRUE(played.bEnded);
    EXPECT_TRUE(played.bFlushed);
    EXPECT_EQ(played.at.nStep, 1920u);
    EXPECT_DOUBLE_EQ(played.at.dSeconds, 0.2);
    EXPECT_DOUBLE_EQ(played.at.dTempo, 1200.0);
    EXPECT_TRUE(std::is_sorted(shown.begin(), shown.end()));
    EXPECT_EQ(OnOffByNote(KeysGot()),
              (std::map<int, std::string>{{60, "+-"}, {62, "+-"}, {64, "+-"}}));
    EXPECT_TRUE(AllDue());
}

TEST(PlaySong, AStopEndsTheSoundingNoteOnEachKindOfDeviceBeforeReturning) {
    struct CCase {
        const char* szDevice;
        std::function<std::vector<std::vector<uint8_t>>()> got;
    };
    const CCase cases[] = {{"Keys", KeysGot}, {"Synth", SynthGot}};
    for (const auto& c : cases) {
        Backends().midi->Clear(0);
        const size_t nBefore = c.got().size();
        auto note = [&] {
            const auto all = c.got();
            const std::vector<std::vector<uint8_t>> newer(all.begin() + long(nBefore), all.end());
            const auto m = OnOffByNote(newer);
            return m.count(70) ? m.at(70) : std::string();
        };
        // A ten-second note, stopped once the device has it.
        const CSong song = MakeSong(c.szDevice, 120.0, {{0, 70, 9600}});
        const CPlayback played = PlaySong(
            song, std::nullopt, [&] { return !note().empty(); }, [](const CStatus&) {});
        EXPECT_FALSE(played.bEnded) << c.szDevice;
        EXPECT_TRUE(played.bFlushed) << c.szDevice;
        // Right when playing returns, with no waiting: the note has ended, and a MIDI
        // output was kept open until its note-off was due.
        const std::string s = note();
        EXPECT_TRUE(StartedAndEnded(s)) << c.szDevice << ": " << s;
        EXPECT_EQ(std::count(s.begin(), s.end(), '+'), 1) << c.szDevice << ": " << s;
        EXPECT_TRUE(AllDue()) << c.szDevice;
    }
}

TEST(PlaySong, ALoopRepeatsItsStepsUntilStopped) {
    Backends().midi->Clear(0);
    // Steps 0-960 last 50 ms at 1200 a minute; the note at 960 is past the loop.
    const CSong song = MakeSong("Keys", 1200.0, {{0, 80, 240}, {480, 81, 240}, {960, 82, 240}});
    uint32_t nHighest = 0;
    const CPlayback played = PlaySong(
        song, std::make_pair(0u, 960u),
        [] {
            const auto m = OnOffByNote(KeysGot());
            return m.count(80) && m.at(80).size() >= 6;  // three passes
        },
        [&](const CStatus& s) { nHighest = std::max(nHighest, s.nStep); });
    EXPECT_FALSE(played.bEnded);
    EXPECT_LT(nHighest, 960u);
    const auto got = OnOffByNote(KeysGot());
    EXPECT_EQ(got.count(82), 0u);
    for (const int note : {80, 81}) {
        ASSERT_TRUE(got.count(note)) << note;
        EXPECT_TRUE(StartedAndEnded(got.at(note))) << note << ": " << got.at(note);
    }
}

}  // namespace
