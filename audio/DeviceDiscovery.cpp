#include "audio/DeviceDiscovery.h"

#include "audio/AudioDevice.h"
#include "runtime/RDebugTrace.h"

namespace DUve::AudioDevice {

CDeviceDiscovery::CDeviceDiscovery() {
    Backends().pPlugins->StartScan();
    m_thread = std::thread([this] {
        const size_t n = CControl::CIdInstances::Get().All().size();
        DebugTrace("\ndevices found: %zu", n);
        m_bDone.store(true);
    });
}

CDeviceDiscovery::~CDeviceDiscovery() {
    Backends().pPlugins->CancelScan();
    if (m_thread.joinable()) m_thread.join();
}

}  // namespace DUve::AudioDevice
