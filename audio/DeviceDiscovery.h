// Finding the devices once, in the background, right after start-up: the display-name
// registry is built on a thread of its own (every kind enumerated, the plug-in scan
// included), so a client never waits for it unless it needs a device before the search
// has ended, and no scan ever starts in the middle of playing or exporting.
#pragma once

#include <atomic>
#include <thread>

namespace DUve::AudioDevice {

class CDeviceDiscovery {
public:
    // Starts the plug-in scan and the registry's construction.
    CDeviceDiscovery();
    // Cancels a plug-in scan still running (the registry then holds what was found) and
    // waits for the thread.
    ~CDeviceDiscovery();
    CDeviceDiscovery(const CDeviceDiscovery&) = delete;
    CDeviceDiscovery& operator=(const CDeviceDiscovery&) = delete;

    // True once the registry is built.
    bool Done() const { return m_bDone.load(); }

private:
    std::atomic<bool> m_bDone{false};
    std::thread m_thread;
};

}  // namespace DUve::AudioDevice
