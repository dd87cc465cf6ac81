// The binary interface of VST 2 plug-ins as this host sees it: the plug-in's descriptor
// record, the call numbers in both directions, the event and time records and the flag
// bits. Written from the published layout facts (x86-64, System V); the static_asserts
// below pin every size and offset the host relies on.
#pragma once

#include <cstddef>
#include <cstdint>

namespace DUve::AudioDevice::Vst {

struct AEffect;

// One function shape serves both directions: the plug-in's dispatcher and the host's
// callback take (effect, opcode, index, value, pointer, float) and answer an intptr_t.
using DispatcherProc = intptr_t (*)(AEffect* pEffect, int32_t nOpcode, int32_t nIndex, intptr_t nValue, void* pPtr,
                                    float fOpt);
using HostCallbackProc = DispatcherProc;
// Audio: arrays of channel pointers and a frame count. The accumulating variant adds
// into the outputs, the replacing one overwrites them.
using ProcessProc = void (*)(AEffect* pEffect, float** ppInputs, float** ppOutputs, int32_t nFrames);
using ProcessDoubleProc = void (*)(AEffect* pEffect, double** ppInputs, double** ppOutputs, int32_t nFrames);
using SetParameterProc = void (*)(AEffect* pEffect, int32_t nIndex, float fValue);
using GetParameterProc = float (*)(AEffect* pEffect, int32_t nIndex);
// The plug-in's exported entry point: takes the host callback, answers its descriptor
// (null when it cannot be made).
using EntryProc = AEffect* (*)(HostCallbackProc pHost);

// The four characters 'V' 's' 't' 'P' read as a big-endian 32-bit number.
inline constexpr int32_t kEffectMagic = ('V' << 24) | ('s' << 16) | ('t' << 8) | 'P';

struct AEffect {
    int32_t magic;
    DispatcherProc dispatcher;
    ProcessProc process;  // accumulating, obsolete; may be null
    SetParameterProc setParameter;
    GetParameterProc getParameter;
    int32_t numPrograms;
    int32_t numParams;
    int32_t numInputs;
    int32_t numOutputs;
    int32_t flags;
    intptr_t resvd1;
    intptr_t resvd2;
    int32_t initialDelay;
    int32_t realQualities;
    int32_t offQualities;
    float ioRatio;
    void* object;  // the plug-in's own instance
    void* user;    // free for the host
    int32_t uniqueID;
    int32_t version;
    ProcessProc processReplacing;
    ProcessDoubleProc processDoubleReplacing;
    char future[56];
};

static_assert(sizeof(void*) == 8, "the layout below is the 64-bit one");
static_assert(offsetof(AEffect, magic) == 0);
static_assert(offsetof(AEffect, dispatcher) == 8);
static_assert(offsetof(AEffect, process) == 16);
static_assert(offsetof(AEffect, setParameter) == 24);
static_assert(offsetof(AEffect, getParameter) == 32);
static_assert(offsetof(AEffect, numPrograms) == 40);
static_assert(offsetof(AEffect, numInputs) == 48);
static_assert(offsetof(AEffect, numOutputs) == 52);
static_assert(offsetof(AEffect, flags) == 56);
static_assert(offsetof(AEffect, resvd1) == 64);
static_assert(offsetof(AEffect, initialDelay) == 80);
static_assert(offsetof(AEffect, ioRatio) == 92);
static_assert(offsetof(AEffect, object) == 96);
static_assert(offsetof(AEffect, user) == 104);
static_assert(offsetof(AEffect, uniqueID) == 112);
static_assert(offsetof(AEffect, version) == 116);
static_assert(offsetof(AEffect, processReplacing) == 120);
static_assert(offsetof(AEffect, processDoubleReplacing) == 128);
static_assert(sizeof(AEffect) == 192);

// AEffect::flags
inline constexpr int32_t effFlagsHasEditor = 1 << 0;
inline constexpr int32_t effFlagsCanReplacing = 1 << 4;
inline constexpr int32_t effFlagsProgramChunks = 1 << 5;
inline constexpr int32_t effFlagsIsSynth = 1 << 8;
inline constexpr int32_t effFlagsNoSoundInStop = 1 << 9;

// Host to plug-in (dispatcher opcodes).
inline constexpr int32_t effOpen = 0;
inline constexpr int32_t effClose = 1;
inline constexpr int32_t effSetSampleRate = 10;
inline constexpr int32_t effSetBlockSize = 11;
inline constexpr int32_t effMainsChanged = 12;
inline constexpr int32_t effProcessEvents = 25;
inline constexpr int32_t effGetEffectName = 45;
inline constexpr int32_t effGetVendorString = 47;
inline constexpr int32_t effGetProductString = 48;
inline constexpr int32_t effGetVendorVersion = 49;
inline constexpr int32_t effCanDo = 51;
inline constexpr int32_t effStartProcess = 71;
inline constexpr int32_t effStopProcess = 72;
inline constexpr int32_t effSetProcessPrecision = 77;
inline constexpr intptr_t kProcessPrecision32 = 0;

// Plug-in to host (host callback opcodes).
inline constexpr int32_t audioMasterAutomate = 0;
inline constexpr int32_t audioMasterVersion = 1;
inline constexpr int32_t audioMasterCurrentId = 2;
inline constexpr int32_t audioMasterIdle = 3;
inline constexpr int32_t audioMasterGetTime = 7;
inline constexpr int32_t audioMasterProcessEvents = 8;
inline constexpr int32_t audioMasterGetVendorString = 32;
inline constexpr int32_t audioMasterGetProductString = 33;
inline constexpr int32_t audioMasterGetVendorVersion = 34;
inline constexpr int32_t audioMasterCanDo = 37;

// Size of the string buffers the name opcodes write into (the host zeroes them first).
inline constexpr size_t kNameBufferSize = 256;

// ---- events
inline constexpr int32_t kVstMidiType = 1;

// The common head of every event record; byteSize counts the whole record.
struct VstEvent {
    int32_t type;
    int32_t byteSize;
    int32_t deltaFrames;  // frames after the start of the next processed block
    int32_t flags;
    char data[16];
};

struct VstMidiEvent {
    int32_t type;  // kVstMidiType
    int32_t byteSize;
    int32_t deltaFrames;
    int32_t flags;
    int32_t noteLength;
    int32_t noteOffset;
    char midiData[4];  // up to three bytes, the fourth is 0
    char detune;
    char noteOffVelocity;
    char reserved1;
    char reserved2;
};

static_assert(sizeof(VstEvent) == 32);
static_assert(sizeof(VstMidiEvent) == 32);
static_assert(offsetof(VstMidiEvent, deltaFrames) == 8);
static_assert(offsetof(VstMidiEvent, midiData) == 24);

// A count and an open-ended array of event pointers: the two declared slots are the
// minimum, a block of N events is allocated as offsetof(VstEvents, events) + N pointers.
struct VstEvents {
    int32_t numEvents;
    intptr_t reserved;
    VstEvent* events[2];
};

static_assert(offsetof(VstEvents, reserved) == 8);
static_assert(offsetof(VstEvents, events) == 16);
static_assert(sizeof(VstEvents) == 32);

// ---- time
struct VstTimeInfo {
    double samplePos;
    double sampleRate;
    double nanoSeconds;
    double ppqPos;
    double tempo;
    double barStartPos;
    double cycleStartPos;
    double cycleEndPos;
    int32_t timeSigNumerator;
    int32_t timeSigDenominator;
    int32_t smpteOffset;
    int32_t smpteFrameRate;
    int32_t samplesToNextClock;
    int32_t flags;
};

static_assert(offsetof(VstTimeInfo, tempo) == 32);
static_assert(offsetof(VstTimeInfo, timeSigNumerator) == 64);
static_assert(offsetof(VstTimeInfo, flags) == 84);
static_assert(sizeof(VstTimeInfo) == 88);

// VstTimeInfo::flags: which fields are valid.
inline constexpr int32_t kVstNanosValid = 1 << 8;
inline constexpr int32_t kVstPpqPosValid = 1 << 9;
inline constexpr int32_t kVstTempoValid = 1 << 10;
inline constexpr int32_t kVstTimeSigValid = 1 << 13;

}  // namespace DUve::AudioDevice::Vst
