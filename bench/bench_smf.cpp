// Standard MIDI File benchmark: generates a file of about 10 MB (format 1, 16 tracks, notes
// in running status, controllers, tempo changes), times our reader and writer (best of 3)
// and compares them with mido (Debian's /usr/bin/python3) and midicsv on the same file.
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "midi/RSmf.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

void Vlq(std::vector<uint8_t>& out, uint32_t v) {
    DUve::RSmfInner::WriteVlq(out, v);
}

void Be32(std::vector<uint8_t>& out, uint32_t v) {
    for (int s = 24; s >= 0; s -= 8) out.push_back(static_cast<uint8_t>(v >> s));
}

std::vector<uint8_t> MakeTrack(int index, size_t targetBytes) {
    std::vector<uint8_t> ev;
    ev.reserve(targetBytes + 64);
    const uint8_t ch = static_cast<uint8_t>(index & 15);
    uint32_t seed = 12345u + static_cast<uint32_t>(index) * 7919u;
    auto rnd = [&seed] { return seed = seed * 1103515245u + 12345u, (seed >> 16) & 0x7FFF; };
    ev.insert(ev.end(), {0x00, static_cast<uint8_t>(0xC0 | ch), static_cast<uint8_t>(index * 5)});
    uint8_t running = 0;
    for (uint32_t i = 0; ev.size() < targetBytes; ++i) {
        if (index == 0 && i % 500 == 0) {  // tempo changes in the first track
            const uint32_t micro = 400000 + rnd() % 300000;
            ev.insert(ev.end(), {0x00, 0xFF, 0x51, 0x03, static_cast<uint8_t>(micro >> 16),
                                 static_cast<uint8_t>(micro >> 8), static_cast<uint8_t>(micro)});
            running = 0;
        }
        if (i % 64 == 0) {  // a controller breaks the running status
            ev.insert(ev.end(), {0x00, static_cast<uint8_t>(0xB0 | ch), 7,
                                 static_cast<uint8_t>(rnd() % 128)});
            running = 0;
        }
        const uint8_t note = static_cast<uint8_t>(36 + rnd() % 60);
        const uint8_t on = static_cast<uint8_t>(0x90 | ch);
        Vlq(ev, rnd() % 4 == 0 ? 0 : 30 + rnd() % 200);
        if (running != on) ev.push_back(running = on);
        ev.insert(ev.end(), {note, static_cast<uint8_t>(1 + rnd() % 127)});
        Vlq(ev, 60 + rnd() % 400);
        ev.insert(ev.end(), {note, 0x00});  // note-off as a note-on of velocity 0
    }
    ev.insert(ev.end(), {0x00, 0xFF, 0x2F, 0x00});
    std::vector<uint8_t> chunk = {'M', 'T', 'r', 'k'};
    Be32(chunk, static_cast<uint32_t>(ev.size()));
    chunk.insert(chunk.end(), ev.begin(), ev.end());
    return chunk;
}

std::vector<uint8_t> MakeFile(size_t targetBytes) {
    constexpr int kTracks = 16;
    std::vector<uint8_t> out = {'M', 'T', 'h', 'd', 0, 0, 0, 6, 0, 1, 0, kTracks, 0x01, 0xE0};
    for (int t = 0; t < kTracks; ++t) {
        const auto chunk = MakeTrack(t, targetBytes / kTracks);
        out.insert(out.end(), chunk.begin(), chunk.end());
    }
    return out;
}

template <class F>
double BestOf3(F&& f) {
    double best = 1e30;
    for (int i = 0; i < 3; ++i) {
        const auto t0 = Clock::now();
        f();
        best = std::min(best, std::chrono::duration<double>(Clock::now() - t0).count());
    }
    return best;
}

// Runs a shell command; its standard output, or nothing when it failed.
bool Capture(const std::string& command, std::string& out) {
    out.clear();
    FILE* pipe = ::popen(command.c_str(), "r");
    if (!pipe) return false;
    char buf[512];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, pipe)) > 0) out.append(buf, n);
    return ::pclose(pipe) == 0;
}

void Compare(const char* what, double ours, const char* other, double theirs) {
    if (theirs > 0)
        std::printf("  %-6s ours %8.4f s   %-8s %8.3f s   x%.1f\n", what, ours, other, theirs,
                    theirs / ours);
    else
        std::printf("  %-6s ours %8.4f s   %-8s (not available)\n", what, ours, other);
}

}  // namespace

int main() {
    std::string pattern = (fs::temp_directory_path() / "bench-smf-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) return 1;
    const fs::path dir = pattern;
    const fs::path file = dir / "bench.mid";
    const fs::path copy = dir / "saved.mid";

    const std::vector<uint8_t> bytes = MakeFile(10u << 20);
    std::ofstream(file, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));

    size_t events = 0;
    DUve::CRSmf smf;
    const double read = BestOf3([&] {
        if (!smf.Read(bytes)) std::abort();
    });
    for (const auto& c : smf.TrackChunks()) events += c->size();
    std::vector<uint8_t> written;
    const double write = BestOf3([&] { written = smf.Write(); });
    std::printf("SMF %.1f MB, %zu tracks, %zu events (written back: %.1f MB)\n",
                bytes.size() / 1048576.0, smf.TrackChunks().size(), events,
                written.size() / 1048576.0);

    // mido: the read and the save each timed inside python (no interpreter start-up).
    double midoRead = -1, midoSave = -1;
    std::string out;
    const std::string py =
        "/usr/bin/python3 -c 'import sys,time,mido\n"
        "t=time.perf_counter(); m=mido.MidiFile(sys.argv[1]); r=time.perf_counter()-t\n"
        "t=time.perf_counter(); m.save(sys.argv[2]); s=time.perf_counter()-t\n"
        "print(r, s)' '" +
        file.string() + "' '" + copy.string() + "' 2>/dev/null";
    if (Capture(py, out)) std::sscanf(out.c_str(), "%lf %lf", &midoRead, &midoSave);

    // midicsv: the whole program, best of 3.
    double midicsv = -1;
    if (Capture("command -v midicsv >/dev/null", out)) {
        const std::string cmd = "midicsv '" + file.string() + "' /dev/null";
        midicsv = BestOf3([&] {
            if (std::system(cmd.c_str()) != 0) std::abort();
        });
    }

    Compare("read", read, "mido", midoRead);
    Compare("read", read, "midicsv", midicsv);
    Compare("write", write, "mido", midoSave);

    std::error_code ec;
    fs::remove_all(dir, ec);
    return 0;
}
