// MIDI timing: a sequence of two minutes of music at 120 quarter notes per minute, played
// in real time at a fast tempo through the player into a recording MIDI output. For every
// message it compares the time it was stamped for with the time the output was asked to
// send it (median, 99th percentile, maximum), first on an otherwise idle machine, then with
// a CPU-bound process running beside it.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

#include "audio/AudioDevice.h"
#include "support/TestBackends.h"
#include "midi/RMidiPlayer.h"

using namespace DUve;
using namespace DUve::AudioDevice;

namespace {

constexpr double kSpeedUp = 8.0;        // 960 instead of 120 quarter notes per minute
constexpr uint32_t kQuarters = 240;     // two minutes at 120
constexpr uint32_t kPerQuarter = 4;     // sixteenth notes

struct CFigures {
    size_t nMessages = 0;
    size_t nExpected = 0;
    double dMedian = 0, dP99 = 0, dMax = 0;
};

CFigures Run(const std::shared_ptr<TestBackends::CMidiOut>& out, uint8_t channel) {
    out->Clear(0);
    auto player = CRMidiPlayer::Create();
    if (!player) return {};
    player->PostRequest(std::make_shared<CRMidiPlayer::Request::CEventTempo>(true, 0, 120.0 * kSpeedUp));
    const uint32_t step = 480 / kPerQuarter;
    const uint32_t notes = kQuarters * kPerQuarter;
    for (uint32_t i = 0; i < notes; ++i)
        player->PostRequest(std::make_shared<CRMidiPlayer::Request::CEventMidiNote>(
            true, i * step, u"Out", channel, static_cast<uint8_t>(48 + i % 24), 100, step / 2));
    player->Play();
    const size_t expected = 2 * notes;
    const auto deadline = std::chrono::steady_clock::now() +
                          std::chrono::seconds(static_cast<int>(120 / kSpeedUp) + 10);
    while (out->Sent(0).size() < expected && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    player->Stop();
    std::vector<double> lateness;
    for (const auto& m : out->Sent(0))
        if (m.vBytes.size() == 3 && (m.vBytes[0] & 0x0F) == channel)
            lateness.push_back(m.dTime * 1000.0 - static_cast<double>(m.nStampNs) / 1e6);
    CFigures f;
    f.nExpected = expected;
    f.nMessages = lateness.size();
    if (lateness.empty()) return f;
    std::sort(lateness.begin(), lateness.end());
    f.dMedian = lateness[lateness.size() / 2];
    f.dP99 = lateness[std::min(lateness.size() - 1, lateness.size() * 99 / 100)];
    f.dMax = lateness.back();
    return f;
}

void Print(const char* what, const CFigures& f) {
    std::printf("%-28s %5zu/%zu messages  median %6.3f ms  p99 %6.3f ms  max %6.3f ms\n", what,
                f.nMessages, f.nExpected, f.dMedian, f.dP99, f.dMax);
}

}  // namespace

int main() {
    auto out = std::make_shared<TestBackends::CMidiOut>(std::vector<CMidiOutPortInfo>{{0, u"Out"}});
    SetBackends({out, nullptr, nullptr, nullptr});
    std::printf("MIDI timing: %u notes (two minutes at 120) played at %.0fx speed\n",
                kQuarters * kPerQuarter, kSpeedUp);
    const CFigures idle = Run(out, 0);
    Print("idle machine", idle);
    const pid_t hog = fork();
    if (hog == 0) {
        volatile unsigned long x = 0;
        for (;;) x = x + 1;  // CPU-bound until killed
    }
    const CFigures loaded = Run(out, 1);
    if (hog > 0) {
        kill(hog, SIGKILL);
        waitpid(hog, nullptr, 0);
    }
    Print("with a CPU-bound process", loaded);
    std::printf("(lateness = time the output was asked to send - stamped time; aim p99 < 2 ms)\n");
    return idle.nMessages == idle.nExpected && loaded.nMessages == loaded.nExpected ? 0 : 1;
}
