// The platform side of the device kinds: how each kind enumerates and opens its devices.
// The framework talks to MIDI ports, plug-ins and audio outputs only through these
// interfaces; the program installs the platform's backends at start (empty ones until
// real ones exist), tests install in-process ones.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace DUve::AudioDevice {

// ---- MIDI output ports
struct CMidiOutPortInfo {
    uint32_t nNo = 0;
    std::u16string sName;
};

class IMidiOutPort {
public:
    virtual ~IMidiOutPort() = default;
    // Sends one complete message (short or system exclusive) stamped for `nStampNs`
    // nanoseconds of the process clock; false when it failed.
    virtual bool Send(const std::vector<uint8_t>& vBytes, uint64_t nStampNs) = 0;
    // How far ahead of its stamp a message may be handed over. A port that schedules
    // (delivers each message at its stamp) answers the lead it needs; 0 means the port
    // sends at once, so messages are handed over when their time has come.
    virtual uint64_t LeadNs() const { return 0; }
};

class IMidiOutBackend {
public:
    virtual ~IMidiOutBackend() = default;
    virtual std::vector<CMidiOutPortInfo> Enumerate() = 0;
    // Null when the port cannot be opened.
    virtual std::unique_ptr<IMidiOutPort> Open(uint32_t nNo) = 0;
};

// ---- plug-in instruments and effects
struct CVstPluginInfo {
    std::u16string sPath;
    std::u16string sEffectName;
    std::u16string sVendor;
    std::u16string sProduct;
    int32_t nVendorVersion = 0;
    int32_t nInputs = 0;
    int32_t nOutputs = 0;
    uint8_t nFlags = 0;  // bit 0 editor, 1 replacing, 2 chunks, 3 synth, 4 no sound in stop
};

struct CVstMidiEvent {
    int32_t nDeltaFrames = 0;
    uint8_t midiData[3] = {0, 0, 0};
};

class IVstPlugin {
public:
    virtual ~IVstPlugin() = default;
    // The plug-in's current flags, in the bit layout of CVstPluginInfo::nFlags.
    virtual uint8_t Flags() const = 0;
    // Sample rate, block size, 32-bit processing, on, start.
    virtual void Start(uint32_t nSampleRate, uint32_t nBlockSize) = 0;
    virtual void ProcessEvents(const std::vector<CVstMidiEvent>& vEvents) = 0;
    // vInputs: one block per input (may be empty); vOutputs: zero-filled blocks to fill.
    virtual void ProcessReplacing(const std::vector<std::vector<float>>& vInputs,
                                  std::vector<std::vector<float>>& vOutputs, uint32_t nFrames) = 0;
};

class IVstBackend {
public:
    virtual ~IVstBackend() = default;
    // Starts looking for plug-ins in the background, for a backend that can; Enumerate
    // then waits for that search instead of starting its own.
    virtual void StartScan() {}
    // Ends a background search soon (the program is stopping); Enumerate then answers
    // what was found so far.
    virtual void CancelScan() {}
    virtual std::vector<CVstPluginInfo> Enumerate() = 0;
    // Loads and opens the plug-in; null when it cannot be loaded.
    virtual std::unique_ptr<IVstPlugin> Load(const std::u16string& sPath) = 0;
};

// ---- audio outputs (the DirectSound-like and the ASIO-like kind share this shape)
struct CAudioOutInfo {
    uint32_t nNo = 0;
    std::u16string sName;
};

// A running output stream. Destroying it stops the stream; once the destructor has
// returned, the refill callback is not called any more.
class IAudioOutStream {
public:
    virtual ~IAudioOutStream() = default;
    virtual uint32_t BufferSize() const = 0;  // frames per refill actually used
    virtual uint32_t SampleRate() const = 0;  // frames per second the stream actually runs at
    // Why the stream stopped by itself, empty while it runs. The device's worker asks
    // regularly; a stream that learns of its end where it may not call CAudioLost (a
    // callback that may only set a flag) answers here instead.
    virtual std::string Lost() const { return {}; }
};

// Sample types of channel buffers (the numbers are the ones audio drivers use).
enum class ESampleType : int32_t { Int16LSB = 16, Int32LSB = 18, Float32LSB = 19 };

// One channel buffer of a stream: samples of channel nChannel, nStride samples apart
// (2 for the left or right half of interleaved stereo).
struct CAudioChannelBuffer {
    bool bInput = false;
    uint32_t nChannel = 0;
    ESampleType type = ESampleType::Float32LSB;
    void* pData = nullptr;
    uint32_t nStride = 1;
};

// Called by the stream on its own (real-time) thread for each period: writes nFrames
// frames into the output buffers of the list. nStartNs is the process-clock time at which
// the period's first frame plays, when the stream knows it (0 when it does not). It
// allocates nothing and never waits long.
using CAudioRefill =
    std::function<void(std::span<const CAudioChannelBuffer> vBuffers, uint32_t nFrames, uint64_t nStartNs)>;
// Called at most once, from any thread, when a running stream stopped by itself (the
// server went away, the device was removed); the text says why. It locks and allocates:
// a stream that learns of its end on a real-time thread answers IAudioOutStream::Lost.
using CAudioLost = std::function<void(const std::string& sWhy)>;

class IAudioOutBackend {
public:
    virtual ~IAudioOutBackend() = default;
    virtual std::vector<CAudioOutInfo> Enumerate() = 0;
    // Starts a stream with at least 2 output channels; nBufferSize 0 = the device's
    // preferred size. Null when the device cannot start.
    virtual std::unique_ptr<IAudioOutStream> Start(uint32_t nNo, uint32_t nSampleRate, uint32_t nBufferSize,
                                                   CAudioRefill refill, CAudioLost lost) = 0;
};

// One backend per device kind, named for what it holds.
struct CBackends {
    // MIDI output ports (the MIDI output kind).
    std::shared_ptr<IMidiOutBackend> pMidiPorts;
    // Plug-in instruments and effects (the VST kind).
    std::shared_ptr<IVstBackend> pPlugins;
    // The system's default sound outputs, shared with other programs (the DirectSound
    // kind; on Linux PulseAudio, PipeWire or ALSA).
    std::shared_ptr<IAudioOutBackend> pDefaultOutputs;
    // Low-latency outputs driven by their own callback (the ASIO kind; on Linux the
    // JACK servers).
    std::shared_ptr<IAudioOutBackend> pLowLatencyOutputs;
};

// Installs the backends; only before the first device registry is built (false after,
// and the call has no effect). Missing members are replaced by empty backends.
bool SetBackends(CBackends backends);
// The installed backends (all present; empty ones by default).
const CBackends& Backends();

}  // namespace DUve::AudioDevice
