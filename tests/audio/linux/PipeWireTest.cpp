// The program on PipeWire, as most desktops run it: a headless session of its own at
// PipeWire's default 48 kHz with a null sink. palvorplay plays four notes of A4 on the
// test synth through PipeWire's Pulse server (the default output) and through its JACK
// server (the JACK output, under pw-jack); parec records the sink's monitor.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "support/SineMeasure.h"
#include "support/SoundServers.h"

namespace DUve::Test {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

constexpr double kRate = CPipeWireSession::kRate;
// The JACK tests' period: onsets are this punctual.
constexpr double kPeriod = 256 / kRate;

// A format 0 file, 96 ticks to the quarter note at 120 a minute: four A4 notes (velocity
// 100), an eighth long, a quarter apart, after a second of silence.
void WriteFourNotes(const fs::path& file) {
    std::vector<uint8_t> track = {0x81, 0x40};  // 192 ticks
    for (int i = 0; i < 4; ++i) {
        if (i) track.push_back(48);
        track.insert(track.end(), {0x90, 69, 100, 48, 0x80, 69, 0});
    }
    track.insert(track.end(), {0, 0xFF, 0x2F, 0});
    std::vector<uint8_t> v = {'M', 'T', 'h', 'd', 0,   0,   0,   6, 0, 0, 0,
                              1,   0,   96,  'M', 'T', 'r', 'k', 0, 0, 0, uint8_t(track.size())};
    v.insert(v.end(), track.begin(), track.end());
    std::ofstream(file, std::ios::binary)
        .write(reinterpret_cast<const char*>(v.data()), std::streamsize(v.size()));
}

// The left channel of parec's recording (16-bit stereo WAV; the header's sizes are
// written only at its end and are not read).
std::vector<float> LeftChannel(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    const std::vector<char> raw((std::istreambuf_iterator<char>(in)),
                                std::istreambuf_iterator<char>());
    std::vector<float> v;
    for (size_t i = 44; i + 4 <= raw.size(); i += 4) {
        int16_t n = 0;
        std::memcpy(&n, raw.data() + i, 2);
        v.push_back(float(n) / 32768.0f);
    }
    return v;
}

// What is wrong with a recording of the four notes; empty when nothing is.
std::vector<std::string> Problems(const std::vector<float>& v) {
    std::vector<size_t> onsets;
    for (size_t i = 0; i < v.size() && onsets.size() <= 4; ++i)
        if (std::abs(v[i]) > 0.01f) {
            onsets.push_back(i);
            i += size_t(0.4 * kRate);  // past the note and its release
        }
    if (onsets.size() != 4 || onsets.back() + size_t(0.25 * kRate) > v.size())
        return {std::to_string(onsets.size()) + " notes sounded, not 4 whole ones"};
    std::vector<std::string> problems;
    std::string sHeard = "heard:";
    for (size_t k = 0; k < onsets.size(); ++k) {
        // 0.2 s of the note's body, past its first 10 ms.
        const double dPitch =
            ZeroCrossingPitch(v.data() + onsets[k] + size_t(kRate / 100), size_t(kRate / 5), kRate);
        if (std::abs(dPitch - 440.0) > 1.0)
            problems.push_back("note " + std::to_string(k) + " at " + std::to_string(dPitch) +
                               " Hz");
        sHeard += " " + std::to_string(dPitch).substr(0, 6) + " Hz";
        if (k == 0) continue;
        const double dGap = double(onsets[k] - onsets[k - 1]) / kRate;
        sHeard += ", " + std::to_string((dGap - 0.5) * 1e3).substr(0, 5) + " ms off 0.5 s;";
        if (std::abs(dGap - 0.5) > kPeriod)
            problems.push_back("from note " + std::to_string(k - 1) + " to " + std::to_string(k) +
                               ": " + std::to_string(dGap) + " s");
    }
    std::printf("%s\n", sHeard.c_str());
    // A dropout or a jump shows as a step far beyond the sine's own (its start and end,
    // converted, overshoot a little).
    const double dStep = LargestStep(v.data(), v.size()),
                 dSine = SineStep(100.0 / 127.0, 440.0, kRate);
    if (dStep >= 1.3 * dSine)
        problems.push_back("a step of " + std::to_string(dStep) + " against the sine's " +
                           std::to_string(dSine));
    return problems;
}

TEST(PipeWire, TestSynthPlaysA4InTuneAndOnTimeThroughPipeWiresPulseAndJackServers) {
    CPipeWireSession pw(fs::temp_directory_path() /
                        ("palvor-pipewire-" + std::to_string(getpid())));
    if (!pw.Missing().empty())
        GTEST_SKIP()
            << "no PipeWire session here: " << pw.Missing()
            << " not installed (Debian's dbus-daemon, pipewire, wireplumber, pipewire-pulse, "
               "pipewire-jack, pulseaudio-utils)";
    ASSERT_EQ(pw.Failed(), "");
    // palvorplay takes the test synth from a folder of its own, and plays to its end.
    const fs::path dir = pw.Folder(), file = dir / "four.mid", take = dir / "take.wav";
    fs::create_directories(dir / "vst");
    fs::copy_file(fs::path(PALVOR_TEST_PLUGINS) / "palvor_test_synth.so",
                  dir / "vst" / "palvor_test_synth.so");
    WriteFourNotes(file);
    const std::string sLsan =
        "LSAN_OPTIONS=suppressions=" +
        (fs::path(__FILE__).parent_path() / "../../support/lsan-sound.supp").string() +
        ":print_suppressions=0";
    struct CRoute {
        const char* sName;
        std::vector<std::string> vBefore;  // before palvorplay: variables, a wrapper
    };
    // Each with the one server it is to use: no JACK server for the first, no Pulse
    // server for the second (where the JACK output connects to the sink's physical ports).
    const CRoute routes[] = {
        {"Pulse server, default output", {"JACK_DEFAULT_SERVER=palvor-no-jack"}},
        {"JACK server, JACK output",
         {"PULSE_SERVER=unix:" + (dir / "no-pulse").string(), "pw-jack"}},
    };
    for (const auto& route : routes) {
        SCOPED_TRACE(route.sName);
        // A take that goes wrong is made once more, with a line that says so: a starved
        // sound server drops sound, and PipeWire does not tell this test when it did.
        for (int nAttempt = 0; nAttempt < 2; ++nAttempt) {
            fs::remove(take);
            CChildProcess rec;
            ASSERT_TRUE(rec.Start(
                pw.Command({"parec", "-d", std::string(CPipeWireSession::kSink) + ".monitor",
                            "--format=s16le", "--rate=48000", "--channels=2", "--latency-msec=20",
                            "--file-format=wav", take.string()}),
                (dir / "parec.log").string()));
            ASSERT_TRUE(WaitUntil(
                [&] { return fs::exists(take) && fs::file_size(take) > 44 + 4 * 4800; }, 5s))
                << "parec records nothing; see " << dir / "parec.log";
            std::vector<std::string> args = {sLsan, "VST_PATH=" + (dir / "vst").string()};
            args.insert(args.end(), route.vBefore.begin(), route.vBefore.end());
            args.insert(args.end(),
                        {PALVOR_PLAY, file.string(), "--device", "PalvorTestSynth", "--quiet"});
            const fs::path log = dir / "run.log";
            const auto nLogBefore = fs::exists(log) ? std::streamoff(fs::file_size(log)) : 0;
            const int nExit = pw.Run(args);
            std::this_thread::sleep_for(300ms);
            rec.Stop(SIGINT);
            std::ifstream said(log);
            said.seekg(nLogBefore);
            const std::string sSaid(std::istreambuf_iterator<char>(said), {});
            // The session's folder goes with the test: what palvorplay said is shown here.
            ASSERT_EQ(nExit, 0) << "palvorplay failed, saying:\n" << sSaid;
            auto problems = Problems(LeftChannel(take));
            // The output kept its mix on the clock and its senders ahead of it.
            for (const char* p : {"realigned", "fell behind"})
                if (sSaid.find(p) != std::string::npos)
                    problems.push_back(std::string("palvorplay's output ") + p);
            if (problems.empty()) break;
            std::string s;
            for (const auto& p : problems) s += "\n  " + p;
            s += "\npalvorplay said:\n" + sSaid;
            if (nAttempt == 0) {
                std::printf("[%s] the take went wrong:%s\nTaking it once more.\n", route.sName,
                            s.c_str());
                std::fflush(stdout);
            } else {
                ADD_FAILURE() << "twice wrong; the second take:" << s;
            }
        }
    }
}

}  // namespace
}  // namespace DUve::Test
