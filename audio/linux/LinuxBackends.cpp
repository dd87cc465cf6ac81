#include "audio/linux/LinuxBackends.h"

#include <memory>

#include "audio/linux/AlsaSeq.h"
#include "audio/linux/DefaultOutput.h"
#include "audio/linux/Jack.h"
#include "audio/vst/VstHost.h"
#include "audio/vst/VstScan.h"

namespace DUve::AudioDevice::Linux {

namespace {

std::string Count(size_t n, const char* sWhat) { return std::to_string(n) + " " + sWhat; }

}  // namespace

CLinuxMidiOut::CLinuxMidiOut(std::shared_ptr<CAlsaSeqMidiOut> alsa, std::shared_ptr<CJackMidiOut> jack)
    : m_alsa(std::move(alsa)), m_jack(std::move(jack)) {
    m_nAlsa = static_cast<uint32_t>(m_alsa->Enumerate().size());
}

std::vector<CMidiOutPortInfo> CLinuxMidiOut::Enumerate() {
    auto v = m_alsa->Enumerate();
    for (auto info : m_jack->Enumerate()) {
        info.nNo += m_nAlsa;
        v.push_back(std::move(info));
    }
    return v;
}

std::unique_ptr<IMidiOutPort> CLinuxMidiOut::Open(uint32_t nNo) {
    return nNo < m_nAlsa ? m_alsa->Open(nNo) : m_jack->Open(nNo - m_nAlsa);
}

CInstallReport InstallBackends() {
    CInstallReport report;
    auto alsa = std::make_shared<CAlsaSeqMidiOut>();
    auto jackMidi = std::make_shared<CJackMidiOut>();
    auto jackAudio = std::make_shared<CJackAudioOut>();
    Vst::CVstHostOptions vstOptions;
    vstOptions.cacheFile = Vst::DefaultScanCacheFile();
    auto vst = std::make_shared<Vst::CVstBackendLinux>(vstOptions);
    auto defaultOut = std::make_shared<CDefaultAudioOut>();

    report.vSearched.push_back(
        "MIDI outputs of the ALSA sequencer: " +
        (alsa->Unavailable().empty() ? Count(alsa->Enumerate().size(), "port(s)")
                                     : "not available (" + alsa->Unavailable() + ")"));
    std::string sServers;
    for (const auto& s : JackServerCandidates()) sServers += (sServers.empty() ? "" : ", ") + s;
    report.vSearched.push_back("JACK servers (" + sServers + "): " + Count(jackAudio->Servers().size(), "running") +
                               ", " + Count(jackMidi->Enumerate().size(), "MIDI input port(s)"));
    std::string sFolders;
    for (const auto& s : Vst::DefaultPluginFolders()) sFolders += (sFolders.empty() ? "" : ", ") + s;
    // The plug-ins are scanned later, in the background (AudioDevice::CDeviceDiscovery) or
    // when the registry is first used.
    report.vSearched.push_back("VST 2 plug-ins in " + sFolders + " (scan results kept in " +
                               vstOptions.cacheFile.string() + ")");
    for (const auto& s : defaultOut->Searched()) report.vSearched.push_back("Audio outputs of " + s);

    report.bInstalled = SetBackends({.pMidiPorts = std::make_shared<CLinuxMidiOut>(alsa, jackMidi),
                                     .pPlugins = vst,
                                     .pDefaultOutputs = defaultOut,
                                     .pLowLatencyOutputs = jackAudio});
    return report;
}

}  // namespace DUve::AudioDevice::Linux
