// Helpers of the score and player tests: a device that records the requests it is given,
// and the in-process device landscape the player resolves instrument names against.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "audio/AudioDevice.h"
#include "support/TestBackends.h"
#include "support/Wait.h"  // WaitFor, for the tests that include this

namespace PalvorTest {

// A device handle that keeps every request posted to it.
class CRecordingDevice : public DUve::AudioDevice::CDevice {
public:
    const CIdPtr& Id() const override { return m_id; }
    void PostRequests(DUve::CRThreadMessage::CBatch requests) const override {
        std::lock_guard lock(m_mutex);
        for (auto& r : requests) m_requests.push_back(std::move(r));
    }
    // The pushes (time, bytes) in order; marks have no bytes.
    std::vector<std::pair<double, std::vector<uint8_t>>> Pushes() const {
        std::lock_guard lock(m_mutex);
        std::vector<std::pair<double, std::vector<uint8_t>>> v;
        for (const auto& r : m_requests)
            if (auto p = std::dynamic_pointer_cast<const DUve::AudioDevice::Request::CPushMidi>(r))
                v.emplace_back(p->dTime, p->vBytes ? *p->vBytes : std::vector<uint8_t>());
        return v;
    }
    size_t RequestCount() const {
        std::lock_guard lock(m_mutex);
        return m_requests.size();
    }

private:
    CIdPtr m_id;
    mutable std::mutex m_mutex;
    mutable DUve::CRThreadMessage::CBatch m_requests;
};

// MIDI outputs "Piano" (0) and "Drums" (1), and a plug-in that takes no MIDI ("Echo").
inline const std::shared_ptr<DUve::AudioDevice::TestBackends::CMidiOut>& PlayerBackends() {
    using namespace DUve::AudioDevice;
    static const auto midi = [] {
        auto m = std::make_shared<TestBackends::CMidiOut>(
            std::vector<CMidiOutPortInfo>{{0, u"Piano"}, {1, u"Drums"}});
        CVstPluginInfo echo{u"/plug/Echo.so", u"Echo", u"V", u"P", 1, 2, 2, 0};
        SetBackends({m, std::make_shared<TestBackends::CVst>(std::vector<CVstPluginInfo>{echo}),
                     nullptr, nullptr});
        return m;
    }();
    return midi;
}

}  // namespace PalvorTest
