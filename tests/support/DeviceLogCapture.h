// Collects the device log's lines while it lives (the log goes back to standard error
// afterwards).
#pragma once

#include <algorithm>
#include <mutex>
#include <string>
#include <vector>

#include "audio/AudioDevice.h"

namespace DUve::Test {

class CDeviceLogCapture {
public:
    CDeviceLogCapture() {
        AudioDevice::SetDeviceLogSink([this](const std::string& s) {
            std::lock_guard lock(m_mutex);
            m_lines.push_back(s);
        });
    }
    ~CDeviceLogCapture() { AudioDevice::SetDeviceLogSink(nullptr); }
    CDeviceLogCapture(const CDeviceLogCapture&) = delete;
    CDeviceLogCapture& operator=(const CDeviceLogCapture&) = delete;

    // True when a line holds sPart.
    bool Contains(const std::string& sPart) const {
        std::lock_guard lock(m_mutex);
        return std::any_of(m_lines.begin(), m_lines.end(),
                           [&](const std::string& s) { return s.find(sPart) != std::string::npos; });
    }
    std::string Text() const {
        std::lock_guard lock(m_mutex);
        std::string s;
        for (const auto& l : m_lines) s += l + "\n";
        return s;
    }

private:
    mutable std::mutex m_mutex;
    std::vector<std::string> m_lines;
};

}  // namespace DUve::Test
