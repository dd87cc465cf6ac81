// What the two audio output kinds share: the id shape (a number and a display name) and
// the declarations of a kind built on it. The worker they share is in AudioOutWorker.h.
#pragma once

#include <cstdint>
#include <string>

#include "audio/DeviceInstance.h"

namespace DUve::AudioDevice {

// The audio output kinds share one shape: a number and a display name.
template <EKind kKind>
class CAudioOutIdT : public CDevice::CId {
public:
    CAudioOutIdT(uint32_t no, std::u16string name) : nNo(no), sName(std::move(name)) {}
    struct CLessNo {
        bool operator()(const CAudioOutIdT& a, const CAudioOutIdT& b) const {
            // Numbered outputs by number; drivers by name.
            if constexpr (kKind == EKind::Asio) return a.sName < b.sName;
            return a.nNo < b.nNo;
        }
    };
    CDevicePtr GetDevice(bool bCreate) const override;
    EKind Kind() const override { return kKind; }
    std::u16string BaseName() const override { return sName; }
    bool LessNo(const CId& other) const override {
        return CLessNo()(*this, static_cast<const CAudioOutIdT&>(other));
    }
    bool AcceptsAudio() const override { return true; }

    const uint32_t nNo;
    const std::u16string sName;
};

// Each kind defines GetDevice of its id (its own registry) in its own file.
template <>
CDevicePtr CAudioOutIdT<EKind::DirectSound>::GetDevice(bool bCreate) const;
template <>
CDevicePtr CAudioOutIdT<EKind::Asio>::GetDevice(bool bCreate) const;
extern template class CAudioOutIdT<EKind::DirectSound>;
extern template class CAudioOutIdT<EKind::Asio>;

#define PALVOR_AUDIO_OUT_KIND(Kind, Rank)                                          \
    class Kind {                                                                   \
    public:                                                                        \
        using CDeviceId = CAudioOutIdT<Rank>;                                      \
        PALVOR_DEVICE_KIND_TYPES(Kind)                                             \
        struct Request {                                                           \
            using CAddNotify = AudioDevice::Request::CAddNotify;                   \
            using CStart = AudioDevice::Request::CStart;                           \
            using CStop = AudioDevice::Request::CStop;                             \
            using CCreateQueueAudio = AudioDevice::Request::CCreateQueueAudio;     \
            using CPushAudio = AudioDevice::Request::CPushAudio;                   \
            using CDeleteQueue = AudioDevice::Request::CDeleteQueue;               \
            using CControlPanel = AudioDevice::Request::CControlPanel;             \
        };                                                                         \
        struct Notify {                                                            \
            using CStarted = AudioDevice::Notify::CStarted;                        \
            using CBufferSwitch = AudioDevice::Notify::CBufferSwitch;              \
        };                                                                         \
    };

}  // namespace DUve::AudioDevice
