#include "audio/DeviceDirectSound.h"

#include "audio/AudioOutWorker.h"

namespace DUve::AudioDevice {

namespace {
// DirectSound devices come last in the enumeration of all devices.
[[maybe_unused]] const bool g_bRegistered = RegisterKindT<CDeviceDirectSound>(EKind::DirectSound, 3);
}  // namespace

// The request table of the shared worker serves the kind.
class CDeviceDirectSound::CMain : public CAudioOutMainT<EKind::DirectSound> {
public:
    using CAudioOutMainT::CAudioOutMainT;
};

template <>
CDevicePtr CAudioOutIdT<EKind::DirectSound>::GetDevice(bool bCreate) const {
    return CDeviceDirectSound::CInstances::Get().GetDevice(*this, bCreate);
}
template class CAudioOutIdT<EKind::DirectSound>;

CDeviceDirectSound::CInstances::CIdList CDeviceDirectSound::Enumerate() {
    return EnumerateAudioOut<CDeviceDirectSound>(*Backends().pDefaultOutputs);
}

std::shared_ptr<CDeviceDirectSound::CInstance> CDeviceDirectSound::Open(std::shared_ptr<const CDeviceId> id) {
    return OpenInstance<CDeviceDirectSound>(std::move(id));
}

}  // namespace DUve::AudioDevice
