// The ASIO-like audio output kind: a sound server with a driver callback (JACK).
#pragma once

#include "audio/DeviceAudioOut.h"

namespace DUve::AudioDevice {

PALVOR_AUDIO_OUT_KIND(CDeviceAsio, EKind::Asio)

}  // namespace DUve::AudioDevice
