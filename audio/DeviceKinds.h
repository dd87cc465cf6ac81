// Every device kind: MIDI output ports, hosted plug-ins, and the two audio output kinds.
// Each has its id type, registry (CInstances), open device (CInstance, which runs the
// device's worker) and handle; requests and notifications use the shared payloads.
#pragma once

#include "audio/DeviceAsio.h"
#include "audio/DeviceDirectSound.h"
#include "audio/DeviceMidiOut.h"
#include "audio/DeviceVst.h"
