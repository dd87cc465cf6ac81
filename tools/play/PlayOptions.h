// palvorplay's command line: what to play (a Standard MIDI File, or a sequence of a
// server), on which device, which steps to repeat, how fast, and what to show.
#pragma once

#include <CLI/CLI.hpp>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "App/cli/Cli.h"

namespace DUve::Play {

// Exit codes besides the shared ones (Cli::kOk ... Cli::kUnknownId).
constexpr int kNoMidiDevice = 5;   // no device accepts MIDI
constexpr int kInterrupted = 130;  // stopped by SIGINT (Ctrl-C)
constexpr int kTerminated = 143;   // stopped by SIGTERM

// --tempo-scale bounds: beyond them the song's times leave the player's clock range.
constexpr double kMinTempoScale = 0.01;
constexpr double kMaxTempoScale = 100.0;

struct CPlayOptions {
    std::string sFile;                // the file to play (empty when playing a sequence)
    std::optional<CRUid> idSequence;  // the server's sequence to play
    Cli::CConnection connection;
    std::optional<std::string> device;                  // --device NAME
    std::optional<std::pair<uint32_t, uint32_t>> loop;  // --loop BEGIN END, in steps
    double dTempoScale = 1.0;
    bool bListDevices = false;
    bool bQuiet = false;
    std::optional<std::string> png;  // --png FILE: draw a piano roll instead of playing
    int nWidth = 1200;               // --width, of the piano roll
};

// The options as typed; Resolve checks them after parsing.
class CPlayArgs {
public:
    void AddTo(CLI::App& app);
    // Fails with Cli::kUsage on a missing target or a bad value.
    CPlayOptions Resolve() const;
    bool Json() const { return m_connection.Json(); }

private:
    Cli::CConnectionArgs m_connection;
    std::string m_sTarget;
    std::string m_sDevice;
    std::vector<std::string> m_vLoop;
    std::string m_sTempoScale;
    std::string m_sPng;
    std::string m_sWidth;
    bool m_bListDevices = false;
    bool m_bQuiet = false;
    const CLI::Option* m_pDevice = nullptr;
    const CLI::Option* m_pLoop = nullptr;
    const CLI::Option* m_pTempoScale = nullptr;
    const CLI::Option* m_pPng = nullptr;
    const CLI::Option* m_pWidth = nullptr;
};

// A tempo factor from kMinTempoScale to kMaxTempoScale; fails with Cli::kUsage otherwise.
double ParseTempoScale(const std::string& sText);

}  // namespace DUve::Play
