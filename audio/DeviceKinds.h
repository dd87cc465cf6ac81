// The four device kinds: MIDI output ports, hosted plug-ins, and the two audio output
// kinds. Each has its id type, registry (CInstances), open device (CInstance, which runs
// the device's worker) and handle; requests and notifications use the shared payloads.
#pragma once

#include <memory>
#include <string>

#include "audio/AudioDevice.h"
#include "runtime/RWorkerThread.h"

namespace DUve::AudioDevice {

// The open device: owns the worker on which the kind's CMain runs.
template <class CMain>
class CInstanceT : public std::enable_shared_from_this<CInstanceT<CMain>> {
public:
    using CDeviceId = typename CMain::CDeviceId;

    explicit CInstanceT(std::shared_ptr<const CDeviceId> id) : m_id(id), m_idBase(std::move(id)) {}
    CInstanceT(const CInstanceT&) = delete;
    CInstanceT& operator=(const CInstanceT&) = delete;

    // Starts the worker; CMain is built there with the id and a weak reference to this.
    void Start() {
        std::weak_ptr<const void> self = this->weak_from_this();
        auto id = m_id;
        m_worker = std::make_unique<CRWorkerThreadT<CMain>>(
            [id, self](boost::asio::io_context& io) { return std::make_unique<CMain>(io, id, self); });
    }
    bool IsStarted() const { return m_worker && m_worker->IsStarted(); }
    void PostRequests(CRThreadMessage::CBatch requests) const {
        if (m_worker) m_worker->PostRequests(std::move(requests));
    }
    const CDevice::CIdPtr& Id() const { return m_idBase; }

private:
    std::shared_ptr<const CDeviceId> m_id;
    CDevice::CIdPtr m_idBase;
    std::unique_ptr<CRWorkerThreadT<CMain>> m_worker;
};

// A handle: keeps the device open while it lives.
template <class CInstance>
class CHandleT : public CDevice {
public:
    explicit CHandleT(std::shared_ptr<CInstance> instance) : m_instance(std::move(instance)) {}
    const CIdPtr& Id() const override { return m_instance->Id(); }
    void PostRequests(CRThreadMessage::CBatch requests) const override {
        m_instance->PostRequests(std::move(requests));
    }

private:
    std::shared_ptr<CInstance> m_instance;
};

// Ties up the declarations every kind repeats.
#define PALVOR_DEVICE_KIND_TYPES(Kind)                                               \
    class CMain;                                                                     \
    using CInstance = CInstanceT<CMain>;                                             \
    using CHandle = CHandleT<CInstance>;                                             \
    using CInstances = CInstancesT<Kind>;                                            \
    using CRequest = AudioDevice::CRequest;                                          \
    static CInstances::CIdList Enumerate();                                          \
    static std::shared_ptr<CInstance> Open(std::shared_ptr<const CDeviceId> id);

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

PALVOR_AUDIO_OUT_KIND(CDeviceDirectSound, EKind::DirectSound)
PALVOR_AUDIO_OUT_KIND(CDeviceAsio, EKind::Asio)

#undef PALVOR_AUDIO_OUT_KIND

}  // namespace DUve::AudioDevice
