// The MIDI output kind: a port of the platform's MIDI system, fed from a timestamped MIDI
// queue set on the port's worker, which hands each message to the port when its time has
// come (or its lead ahead, for a port that schedules).
#pragma once

#include <cstdint>
#include <string>

#include "audio/DeviceInstance.h"

namespace DUve::AudioDevice {

class CDeviceMidiOut {
public:
    class CDeviceId : public CDevice::CId {
    public:
        CDeviceId(uint32_t no, std::u16string name) : nNo(no), sName(std::move(name)) {}
        struct CLessNo {
            bool operator()(const CDeviceId& a, const CDeviceId& b) const { return a.nNo < b.nNo; }
        };
        CDevicePtr GetDevice(bool bCreate) const override;
        EKind Kind() const override { return EKind::MidiOut; }
        std::u16string BaseName() const override { return sName; }
        bool LessNo(const CId& other) const override {
            return CLessNo()(*this, static_cast<const CDeviceId&>(other));
        }
        bool AcceptsMidi() const override { return true; }

        const uint32_t nNo;
        const std::u16string sName;
    };
    PALVOR_DEVICE_KIND_TYPES(CDeviceMidiOut)
    struct Request {
        using CCreateQueueMidi = AudioDevice::Request::CCreateQueueMidi;
        using CPushMidi = AudioDevice::Request::CPushMidi;
        using CDeleteQueue = AudioDevice::Request::CDeleteQueue;
    };
};

}  // namespace DUve::AudioDevice
