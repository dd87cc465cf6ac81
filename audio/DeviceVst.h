// The plug-in kind: a hosted VST 2 instrument or effect, rendered in blocks ahead of real
// time on its worker from a timestamped MIDI queue set and an audio input mixing set;
// every rendered block goes to the subscribers.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include "audio/DeviceInstance.h"

namespace DUve::AudioDevice {

class CDeviceVst {
public:
    enum : uint8_t { kFlagEditor = 1, kFlagReplacing = 2, kFlagChunks = 4, kFlagSynth = 8, kFlagNoSoundInStop = 16 };

    class CDeviceId : public CDevice::CId {
    public:
        explicit CDeviceId(const CVstPluginInfo& info)
            : sPath(info.sPath), sEffectName(info.sEffectName), sVendor(info.sVendor), sProduct(info.sProduct),
              nVendorVersion(info.nVendorVersion), nInputs(info.nInputs), nOutputs(info.nOutputs),
              nFlags(info.nFlags) {}
        struct CLessNo {
            bool operator()(const CDeviceId& a, const CDeviceId& b) const { return a.sPath < b.sPath; }
        };
        CDevicePtr GetDevice(bool bCreate) const override;
        EKind Kind() const override { return EKind::Vst; }
        // The effect name, or the file name without folder and extension.
        std::u16string BaseName() const override;
        bool LessNo(const CId& other) const override {
            return CLessNo()(*this, static_cast<const CDeviceId&>(other));
        }
        bool AcceptsMidi() const override { return (nFlags & kFlagSynth) != 0; }
        bool AcceptsAudio() const override { return nInputs > 0; }
        bool ProducesAudio() const override { return nOutputs > 0; }

        const std::u16string sPath;
        const std::u16string sEffectName;
        const std::u16string sVendor;
        const std::u16string sProduct;
        const int32_t nVendorVersion;
        const int32_t nInputs;
        const int32_t nOutputs;
        const uint8_t nFlags;
    };
    PALVOR_DEVICE_KIND_TYPES(CDeviceVst)
    // How long closing a plug-in may take before it is abandoned (20 s unless set).
    static void SetCloseTimeout(std::chrono::milliseconds timeout);
    static std::chrono::milliseconds CloseTimeout();
    struct Request {
        using CAddNotify = AudioDevice::Request::CAddNotify;
        using COpen = AudioDevice::Request::COpen;
        using CCreateQueueMidi = AudioDevice::Request::CCreateQueueMidi;
        using CPushMidi = AudioDevice::Request::CPushMidi;
        using CCreateQueueAudio = AudioDevice::Request::CCreateQueueAudio;
        using CPushAudio = AudioDevice::Request::CPushAudio;
        using CDeleteQueue = AudioDevice::Request::CDeleteQueue;
    };
    struct Notify {
        using CProcessReplacing = AudioDevice::Notify::CProcessReplacing;
    };
};

}  // namespace DUve::AudioDevice
