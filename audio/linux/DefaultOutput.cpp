#include "audio/linux/DefaultOutput.h"

#include <rtaudio/RtAudio.h>

#include <algorithm>
#include <mutex>
#include <set>

#include "audio/AudioDevice.h"
#include "audio/linux/AlsaSeq.h"
#include "audio/linux/PulseOutput.h"
#include "runtime/RString.h"

namespace DUve::AudioDevice::Linux {

namespace {

class CRtStream;

// RtAudio reports a failing stream through a callback without context; it goes to every
// stream that runs (there is seldom more than one default output).
std::mutex g_liveMutex;
std::set<CRtStream*> g_live;

class CRtStream : public IAudioOutStream {
public:
    static std::unique_ptr<CRtStream> Open(const CDefaultAudioOut::COutput& out, uint32_t nSampleRate,
                                           uint32_t nBufferSize, CAudioRefill refill, CAudioLost lost) {
        auto s = std::unique_ptr<CRtStream>(new CRtStream(std::move(refill), std::move(lost)));
        try {
            s->m_audio = std::make_unique<RtAudio>(static_cast<RtAudio::Api>(out.nApi));
            s->m_audio->showWarnings(false);
            RtAudio::StreamParameters params;
            params.deviceId = out.nDevice;
            params.nChannels = 2;
            unsigned nFrames = nBufferSize;
            RtAudio::StreamOptions options;
            options.streamName = "PalvorServer";
            s->m_audio->openStream(&params, nullptr, RTAUDIO_SINT16, nSampleRate, &nFrames, &CRtStream::Callback,
                                   s.get(), &options, &CRtStream::Error);
            s->m_nBuffer = nFrames;
            s->m_nRate = s->m_audio->getStreamSampleRate();
            if (s->m_nRate == 0) s->m_nRate = nSampleRate;
            {
                std::lock_guard lock(g_liveMutex);
                g_live.insert(s.get());
            }
            s->m_audio->startStream();
        } catch (const RtAudioError& e) {
            DeviceLog("audio output [%s] could not start: %s", out.sName.c_str(), e.what());
            return nullptr;
        }
        return s;
    }
    ~CRtStream() override {
        {
            std::lock_guard lock(g_liveMutex);
            g_live.erase(this);
        }
        if (!m_audio) return;
        try {
            if (m_audio->isStreamRunning()) m_audio->stopStream();
            if (m_audio->isStreamOpen()) m_audio->closeStream();
        } catch (const RtAudioError& e) {
            DeviceLog("audio output: closing the stream failed: %s", e.what());
        }
    }
    uint32_t BufferSize() const override { return m_nBuffer; }
    uint32_t SampleRate() const override { return m_nRate; }

private:
    CRtStream(CAudioRefill refill, CAudioLost lost) : m_refill(std::move(refill)), m_lost(std::move(lost)) {}

    // RtAudio's stream thread: interleaved left/right 16-bit samples.
    static int Callback(void* pOut, void*, unsigned nFrames, double, RtAudioStreamStatus, void* pUser) {
        auto* s = static_cast<CRtStream*>(pUser);
        auto* p = static_cast<int16_t*>(pOut);
        const CAudioChannelBuffer buffers[2] = {{false, 0, ESampleType::Int16LSB, p, 2},
                                                {false, 1, ESampleType::Int16LSB, p + 1, 2}};
        s->m_refill(std::span<const CAudioChannelBuffer>(buffers, 2), nFrames, 0);
        return 0;
    }
    static void Error(RtAudioError::Type type, const std::string& sText) {
        if (type == RtAudioError::WARNING || type == RtAudioError::DEBUG_WARNING) return;
        std::lock_guard lock(g_liveMutex);
        for (auto* s : g_live)
            if (s->m_lost) s->m_lost(sText);
    }

    CAudioRefill m_refill;
    CAudioLost m_lost;
    std::unique_ptr<RtAudio> m_audio;
    uint32_t m_nBuffer = 0;
    uint32_t m_nRate = 0;
};

}  // namespace

CDefaultAudioOut::CDefaultAudioOut() {
    QuietAlsa();
    // The Pulse server's sinks, named as RtAudio named them: its API's name and the sink's
    // description.
    const std::string sPulse = RtAudio::getApiDisplayName(RtAudio::LINUX_PULSE);
    std::string sWhy;
    const auto sinks = PulseSinks(sWhy);
    for (const auto& sink : sinks)
        m_outputs.push_back({static_cast<int>(RtAudio::LINUX_PULSE), 0, sPulse + " " + sink.sDescription, sink.sName});
    m_searched.push_back(sPulse + ": " + (sWhy.empty() ? std::to_string(sinks.size()) + " output(s)"
                                                       : "no server answered (" + sWhy + ")"));
    // The ALSA devices through RtAudio.
    std::vector<RtAudio::Api> apis;
    RtAudio::getCompiledApi(apis);
    const RtAudio::Api api = RtAudio::LINUX_ALSA;
    const std::string sApi = RtAudio::getApiDisplayName(api);
    if (std::find(apis.begin(), apis.end(), api) == apis.end()) {
        m_searched.push_back(sApi + ": not supported by this RtAudio");
        return;
    }
    size_t nFound = 0;
    try {
        RtAudio audio(api);
        audio.showWarnings(false);
        const unsigned n = audio.getDeviceCount();
        for (unsigned i = 0; i < n; ++i) {
            const RtAudio::DeviceInfo info = audio.getDeviceInfo(i);
            if (!info.probed || info.outputChannels < 2) continue;
            m_outputs.push_back({static_cast<int>(api), i, info.name, {}});
            ++nFound;
        }
    } catch (const RtAudioError& e) {
        m_searched.push_back(sApi + ": " + e.what());
        return;
    }
    m_searched.push_back(sApi + ": " + std::to_string(nFound) + " output(s)");
}

std::vector<CAudioOutInfo> CDefaultAudioOut::Enumerate() {
    std::vector<CAudioOutInfo> v;
    for (uint32_t i = 0; i < m_outputs.size(); ++i) v.push_back({i, Utf8ToUtf16(m_outputs[i].sName)});
    return v;
}

std::unique_ptr<IAudioOutStream> CDefaultAudioOut::Start(uint32_t nNo, uint32_t nSampleRate, uint32_t nBufferSize,
                                                         CAudioRefill refill, CAudioLost lost) {
    if (nNo >= m_outputs.size() || nBufferSize == 0 || !refill) return nullptr;
    // Not RtAudio's Pulse stream: it takes as much as the server offers and says nothing
    // of when it plays.
    if (m_outputs[nNo].nApi == static_cast<int>(RtAudio::LINUX_PULSE))
        return OpenPulseOutput(m_outputs[nNo].sName, m_outputs[nNo].sSink, nSampleRate, nBufferSize, std::move(refill),
                               std::move(lost));
    return CRtStream::Open(m_outputs[nNo], nSampleRate, nBufferSize, std::move(refill), std::move(lost));
}

}  // namespace DUve::AudioDevice::Linux
