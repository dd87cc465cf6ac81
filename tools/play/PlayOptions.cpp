#include "tools/play/PlayOptions.h"

#include <cmath>
#include <cstdlib>

namespace DUve::Play {

using Cli::Fail;
using Cli::kUsage;

void CPlayArgs::AddTo(CLI::App& app) {
    m_connection.AddTo(app);
    app.add_option("TARGET", m_sTarget, "FILE.mid, or SEQ with the server options");
    m_pDevice = app.add_option("--device", m_sDevice, "play every event on this device");
    m_pLoop = app.add_option("--loop", m_vLoop, "repeat the steps from BEGIN to END")
                  ->expected(2)
                  ->type_name("BEGIN END");
    m_pTempoScale = app.add_option("--tempo-scale", m_sTempoScale, "multiply every tempo by X");
    app.add_flag("--list-devices", m_bListDevices, "print the devices and their kinds");
    app.add_flag("--quiet", m_bQuiet, "no status line");
    m_pPng = app.add_option("--png", m_sPng, "draw a piano roll into this PNG instead of playing");
    m_pWidth = app.add_option("--width", m_sWidth, "the piano roll's width in pixels");
}

double ParseTempoScale(const std::string& sText) {
    char* end = nullptr;
    const double d = std::strtod(sText.c_str(), &end);
    if (sText.empty() || *end || !std::isfinite(d) || d < kMinTempoScale || d > kMaxTempoScale)
        Fail(kUsage, "invalid tempo scale '" + sText + "' (a number from 0.01 to 100)");
    return d;
}

CPlayOptions CPlayArgs::Resolve() const {
    CPlayOptions o;
    o.connection = m_connection.Resolve();
    o.bListDevices = m_bListDevices;
    o.bQuiet = m_bQuiet;
    if (m_pDevice && m_pDevice->count()) o.device = m_sDevice;
    if (m_pTempoScale && m_pTempoScale->count()) o.dTempoScale = ParseTempoScale(m_sTempoScale);
    if (m_pLoop && m_pLoop->count()) {
        if (m_vLoop.size() != 2) Fail(kUsage, "--loop needs BEGIN and END");
        const auto begin =
            static_cast<uint32_t>(Cli::ParseNumber(m_vLoop[0], 0, 0xFFFFFFFFL, "loop begin"));
        const auto end =
            static_cast<uint32_t>(Cli::ParseNumber(m_vLoop[1], 0, 0xFFFFFFFFL, "loop end"));
        if (end <= begin)
            Fail(kUsage,
                 "invalid loop " + m_vLoop[0] + " " + m_vLoop[1] + ": END must be after BEGIN");
        o.loop = std::make_pair(begin, end);
    }
    if (m_pPng && m_pPng->count()) {
        if (m_sPng.empty()) Fail(kUsage, "--png needs a file name");
        o.png = m_sPng;
    }
    if (m_pWidth && m_pWidth->count()) {
        if (!o.png) Fail(kUsage, "--width goes with --png");
        o.nWidth = static_cast<int>(Cli::ParseNumber(m_sWidth, 320, 16384, "width"));
    }
    if (o.bListDevices) return o;
    if (m_sTarget.empty())
        Fail(kUsage, "nothing to play: give FILE.mid, or SEQ with the server options (see --help)");
    if (m_connection.NamesServer())
        o.idSequence = Cli::ParseId(m_sTarget);
    else
        o.sFile = m_sTarget;
    return o;
}

}  // namespace DUve::Play
