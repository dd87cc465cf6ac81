#include "audio/DeviceAsio.h"

#include "audio/AudioOutWorker.h"

namespace DUve::AudioDevice {

namespace {
// ASIO drivers follow the plug-ins in the enumeration of all devices.
[[maybe_unused]] const bool g_bRegistered = RegisterKindT<CDeviceAsio>(EKind::Asio, 2);
}  // namespace

// The request table of the shared worker serves the kind.
class CDeviceAsio::CMain : public CAudioOutMainT<EKind::Asio> {
public:
    using CAudioOutMainT::CAudioOutMainT;
};

template <>
CDevicePtr CAudioOutIdT<EKind::Asio>::GetDevice(bool bCreate) const {
    return CDeviceAsio::CInstances::Get().GetDevice(*this, bCreate);
}
template class CAudioOutIdT<EKind::Asio>;

CDeviceAsio::CInstances::CIdList CDeviceAsio::Enumerate() {
    return EnumerateAudioOut<CDeviceAsio>(*Backends().pLowLatencyOutputs);
}

std::shared_ptr<CDeviceAsio::CInstance> CDeviceAsio::Open(std::shared_ptr<const CDeviceId> id) {
    return OpenInstance<CDeviceAsio>(std::move(id));
}

}  // namespace DUve::AudioDevice
