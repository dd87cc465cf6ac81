// palvorplay: plays a Standard MIDI File, or a sequence of a running server, through the
// MIDI player on the machine's devices, with a status line for people.
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <string>
#include <vector>

#include "audio/AudioDevice.h"
#include "audio/linux/LinuxBackends.h"
#include "runtime/RString.h"
#include "server/RSocket.h"
#include "App/cli/Cli.h"
#include "tools/cli/Session.h"
#include "tools/play/DeviceChoice.h"
#include "tools/play/PlayOptions.h"
#include "tools/play/PlayStatus.h"
#include "tools/play/Playback.h"
#include "tools/play/Song.h"
#include "tools/render/RollSources.h"
#include "runtime/RForeignOutput.h"

using namespace DUve;
using namespace DUve::Cli;
using namespace DUve::Play;

namespace {

constexpr const char* kProgram = "palvorplay";
// Files are read whole; the server takes no bigger one either.
constexpr size_t kMaxFile = CRSocket::kMaxPayload;

void PrintUsage() {
    std::puts(
        "Usage: palvorplay [options] FILE.mid\n"
        "  or:  palvorplay [options] --visitor N --token TEXT --solution N [--host H] [--port P] "
        "SEQ\n"
        "  or:  palvorplay FILE.mid --png FILE [--width N]\n"
        "  or:  palvorplay --list-devices\n"
        "\n"
        "Plays a Standard MIDI File, or sequence SEQ of a running server (an identifier as\n"
        "palvorctl prints it), through the MIDI player, to its end.\n"
        "\n"
        "Options:\n"
        "  --device NAME      play every event on this device (a name --list-devices prints);\n"
        "                     without it, a port whose instrument (a track's device or\n"
        "                     instrument name in a file) names a device that accepts MIDI plays\n"
        "                     there, every other port on the first device that accepts MIDI\n"
        "  --loop BEGIN END   repeat steps BEGIN to END (480 steps to a quarter note, END after\n"
        "                     BEGIN); playing then goes on until it is stopped\n"
        "  --tempo-scale X    multiply every tempo by X, from 0.01 to 100 (0.5: half speed)\n"
        "  --list-devices     print every device's name and kind, then exit\n"
        "  --quiet            no status line\n"
        "  --png FILE         draw the song as a piano roll into FILE instead of playing it\n"
        "  --width N          the piano roll's width in pixels (default 1200)\n"
        "  --json             machine-readable device list and errors\n"
        "  -h, --help         print help\n"
        "  --version          print the version and exit\n"
        "\n"
        "Server options (any of the first five plays SEQ of that server):\n"
        "  --host HOST        server host (default 127.0.0.1)\n"
        "  --port PORT        server port (default 4000)\n"
        "  --visitor N        visitor number (default 0)\n"
        "  --token TEXT       visitor's access token\n"
        "  --solution N       solution number (default 0)\n"
        "  --timeout SECONDS  how long to wait for the server (default 15)\n"
        "\n"
        "While playing, one status line shows bar:beat, time / length (mm:ss.t), tempo and\n"
        "device: rewritten in place on a terminal, a new line every second otherwise.\n"
        "Ctrl-C (SIGINT) or SIGTERM stops playing; sounding notes are ended first.\n"
        "\n"
        "Exit codes: 0 played to the end, 1 failed, 2 usage or unreadable file, 3 connection\n"
        "or registration failed, 4 unknown sequence, 5 no MIDI device found, 130 stopped by\n"
        "SIGINT, 143 stopped by SIGTERM.");
}

volatile std::sig_atomic_t g_signal = 0;

void InstallSignalHandlers() {
    struct sigaction action {};
    action.sa_handler = [](int signo) { g_signal = signo; };
    sigemptyset(&action.sa_mask);
    for (int signo : {SIGINT, SIGTERM})
        if (sigaction(signo, &action, nullptr) != 0) std::perror("palvorplay: sigaction");
}

// ---- the status line

class CStatusLine {
public:
    CStatusLine(bool bQuiet, const CMeterMap& meters, double dTotal, std::string sDevice)
        : m_bQuiet(bQuiet),
          m_bTerminal(isatty(fileno(OwnStdout())) == 1),
          m_meters(meters),
          m_dTotal(dTotal),
          m_sDevice(std::move(sDevice)) {}

    // Shows the position when it is time to (every 100 ms on a terminal, every second
    // otherwise).
    void Update(const CStatus& status) {
        const auto now = std::chrono::steady_clock::now();
        if (m_bShown && now < m_next) return;
        m_next =
            now + (m_bTerminal ? std::chrono::milliseconds(100) : std::chrono::milliseconds(1000));
        Show(status);
    }
    // Shows the last position and ends the line.
    void Finish(const CStatus& status) {
        Show(status);
        if (m_bTerminal && !m_bQuiet) std::fputc('\n', OwnStdout());
        std::fflush(OwnStdout());
    }

private:
    void Show(const CStatus& status) {
        m_bShown = true;
        if (m_bQuiet) return;
        const std::string line = FormatStatus(m_meters, status, m_dTotal, m_sDevice);
        if (m_bTerminal) {
            // Spaces over what a longer earlier line left.
            const size_t nPad = m_nWidth > line.size() ? m_nWidth - line.size() : 0;
            std::fprintf(OwnStdout(), "\r%s%*s", line.c_str(), static_cast<int>(nPad), "");
            m_nWidth = line.size();
        } else {
            std::fprintf(OwnStdout(), "%s\n", line.c_str());
        }
        std::fflush(OwnStdout());
    }

    bool m_bQuiet;
    bool m_bTerminal;
    const CMeterMap& m_meters;
    double m_dTotal;
    std::string m_sDevice;
    bool m_bShown = false;
    size_t m_nWidth = 0;
    std::chrono::steady_clock::time_point m_next;
};

// ---- devices

// The kind as listed: a plug-in that takes MIDI (the synth flag) is an instrument, any
// other plug-in an effect.
std::string ListedKind(const CDeviceEntry& d) {
    if (d.eKind == AudioDevice::EKind::Vst) return d.bAcceptsMidi ? "VST instrument" : "VST effect";
    return KindName(d.eKind);
}

void PrintDevices(const std::vector<CDeviceEntry>& devices,
                  const AudioDevice::Linux::CInstallReport& report, bool bJson) {
    if (bJson) {
        CJson out = CJson::array();
        for (const auto& d : devices)
            out.push_back({{"name", d.sName}, {"kind", ListedKind(d)}, {"midi", d.bAcceptsMidi}});
        PrintJson(out);
        return;
    }
    for (const auto& d : devices) std::fprintf(OwnStdout(), "%s (%s)\n", d.sName.c_str(), ListedKind(d).c_str());
    if (devices.empty()) {
        std::fputs("no devices found; looked for:\n", OwnStdout());
        for (const auto& s : report.vSearched) std::fprintf(OwnStdout(), "  %s\n", s.c_str());
    }
}

// ---- drawing

// --png: the song's piano roll; no device is needed.
int RunRender(const CPlayOptions& o) {
    std::vector<uint8_t> smf;
    if (o.idSequence) {
        CSession session(o.connection);
        session.Connect();
        smf = session.ExportSmf(*o.idSequence);
    } else {
        const std::string data = ReadInput(o.sFile, kMaxFile);
        smf.assign(data.begin(), data.end());
    }
    CTempFolder folder;
    const auto [solution, idSequence] = ImportSong(smf, folder.Path());
    const Render::CRoll roll = Render::RollOfSolution(*solution, idSequence);
    Render::CRollOptions options;
    options.nWidth = o.nWidth;
    std::string error;
    if (!Render::WritePng(roll, options, *o.png, error)) Fail(kUsage, error);
    const Render::CRollLayout layout(roll, options);
    if (o.connection.bJson)
        PrintJson(CJson{{"file", *o.png}, {"width", layout.Width()}, {"height", layout.Height()},
                        {"notes", roll.Notes().size()}, {"ports", roll.Ports().size()}});
    else
        std::fprintf(OwnStdout(), "wrote %s: %dx%d, %zu notes on %zu ports\n", o.png->c_str(), layout.Width(),
                    layout.Height(), roll.Notes().size(), roll.Ports().size());
    return kOk;
}

// ---- playing

int Run(const CPlayOptions& o) {
    if (o.png) return RunRender(o);
    const auto report = AudioDevice::Linux::InstallBackends();
    if (!report.bInstalled)
        std::fprintf(OwnStderr(), "%s: the device backends could not be installed\n", kProgram);
    const auto devices = ListDevices();
    if (o.bListDevices) {
        PrintDevices(devices, report, o.connection.bJson);
        return kOk;
    }
    std::optional<CDevicePlan> plan;
    try {
        plan.emplace(devices, o.device);
    } catch (const CExit& e) {
        if (e.nCode != kNoMidiDevice) throw;
        std::string sMessage = e.sMessage + "; looked for:";
        for (const auto& s : report.vSearched) sMessage += "\n  " + s;
        Fail(kNoMidiDevice, sMessage);
    }

    std::vector<uint8_t> smf;
    std::map<uint8_t, std::u16string> instruments;
    if (o.idSequence) {
        CSession session(o.connection);
        session.Connect();
        smf = session.ExportSmf(*o.idSequence);
        session.Open({*o.idSequence});
        instruments = SequenceInstruments(session.Mirror(), *o.idSequence);
    } else {
        const std::string data = ReadInput(o.sFile, kMaxFile);
        smf.assign(data.begin(), data.end());
        instruments = ChannelInstruments(smf);
    }

    InstallSignalHandlers();
    CTempFolder folder;
    bool bFallback = false;
    const CSong song = LoadSong(
        smf, folder.Path(), instruments, o.dTempoScale, [&](const std::u16string& sInstrument) {
            const std::string& sDevice = plan->For(Utf16ToUtf8(sInstrument));
            bFallback = bFallback || (!o.device && sDevice != Utf16ToUtf8(sInstrument));
            return sDevice;
        });
    if (g_signal) return g_signal == SIGINT ? kInterrupted : kTerminated;
    if (bFallback)
        std::fprintf(OwnStderr(), "%s: playing on '%s', the first device that accepts MIDI\n", kProgram,
                     plan->Fallback().c_str());

    std::string sDevices;
    for (const auto& s : song.vDevices) sDevices += (sDevices.empty() ? "" : ", ") + s;
    CStatusLine line(o.bQuiet, song.meters, song.EndSeconds(), sDevices.empty() ? "-" : sDevices);
    const CPlayback played = PlaySong(
        song, o.loop, [] { return g_signal != 0; }, [&](const CStatus& at) { line.Update(at); });
    line.Finish(played.at);
    if (g_signal == SIGINT) return kInterrupted;
    if (g_signal == SIGTERM) return kTerminated;
    return kOk;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app("Plays a Standard MIDI File or a server's sequence.", kProgram);
    app.set_help_flag("-h,--help", "print help");
    AddVersion(app, kProgram);
    app.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
    CPlayArgs args;
    args.AddTo(app);
    const CRForeignOutput foreignOutput;  // what plug-ins print goes to the trace
    const auto usageOf = [](const std::string&) {
        return std::string("[options] FILE.mid|SEQ (see --help)");
    };
    try {
        if (!Parse(app, argc, argv, kProgram, usageOf, PrintUsage)) return kOk;
        return Run(args.Resolve());
    } catch (const CExit& e) {
        return Report(e, args.Json(), kProgram);
    } catch (const std::exception& e) {
        std::fprintf(OwnStderr(), "%s: %s\n", kProgram, e.what());
        return kFailed;
    }
}
