// The DirectSound-like audio output kind: the platform's default sound output.
#pragma once

#include "audio/DeviceAudioOut.h"

namespace DUve::AudioDevice {

PALVOR_AUDIO_OUT_KIND(CDeviceDirectSound, EKind::DirectSound)

}  // namespace DUve::AudioDevice
