#include "tools/play/DeviceChoice.h"

#include "runtime/RString.h"
#include "App/cli/Cli.h"
#include "tools/play/PlayOptions.h"

namespace DUve::Play {

using AudioDevice::EKind;

std::string KindName(EKind eKind) {
    switch (eKind) {
        case EKind::MidiOut:
            return "MIDI output";
        case EKind::Vst:
            return "VST";
        case EKind::DirectSound:
            return "audio output (default)";
        case EKind::Asio:
            return "audio output (JACK)";
    }
    return "device";
}

std::vector<CDeviceEntry> ListDevices() {
    std::vector<CDeviceEntry> v;
    for (const auto& [sName, id] : AudioDevice::CControl::CIdInstances::Get().All())
        if (id) v.push_back({Utf16ToUtf8(sName), id->Kind(), id->AcceptsMidi()});
    return v;
}

namespace {
std::string Names(const std::vector<CDeviceEntry>& v, bool bMidiOnly) {
    std::string s;
    for (const auto& d : v) {
        if (bMidiOnly && !d.bAcceptsMidi) continue;
        s += (s.empty() ? "'" : ", '") + d.sName + "'";
    }
    return s.empty() ? "none" : s;
}
}  // namespace

CDevicePlan::CDevicePlan(const std::vector<CDeviceEntry>& vDevices,
                         const std::optional<std::string>& device)
    : m_vDevices(vDevices) {
    if (device) {
        const CDeviceEntry* found = nullptr;
        for (const auto& d : m_vDevices)
            if (d.sName == *device) found = &d;
        if (!found)
            Cli::Fail(Cli::kUsage,
                      "no device '" + *device + "'; the devices are: " + Names(m_vDevices, false));
        if (!found->bAcceptsMidi)
            Cli::Fail(Cli::kUsage,
                      "'" + *device + "' (" + KindName(found->eKind) +
                          ") takes no MIDI; the devices that do are: " + Names(m_vDevices, true));
        m_forced = *device;
        return;
    }
    for (const auto& d : m_vDevices)
        if (d.bAcceptsMidi) {
            m_sFallback = d.sName;
            break;
        }
    if (m_sFallback.empty()) Cli::Fail(kNoMidiDevice, "no MIDI device found");
}

const std::string& CDevicePlan::For(const std::string& sInstrument) const {
    if (m_forced) return *m_forced;
    for (const auto& d : m_vDevices)
        if (d.bAcceptsMidi && d.sName == sInstrument) return d.sName;
    return m_sFallback;
}

}  // namespace DUve::Play
