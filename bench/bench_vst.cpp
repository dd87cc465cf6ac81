// Rendering cost of the test synthesizer hosted through IVstPlugin beside a plain loop
// that calls the same plug-in's processReplacing directly: time per 512-frame block with
// eight voices sounding, and the ratio of the two.
//
//     bench_vst [BLOCKS]
#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <new>
#include <cstdlib>
#include <vector>

#include "audio/vst/VstHost.h"
#include "runtime/RString.h"

using namespace DUve::AudioDevice;
using namespace DUve::AudioDevice::Vst;

namespace {

constexpr uint32_t kRate = 44100;
constexpr uint32_t kBlock = 512;
constexpr int kRounds = 7;

std::vector<CVstMidiEvent> Chord() {
    std::vector<CVstMidiEvent> v;
    for (uint8_t n = 0; n < 8; ++n) {
        CVstMidiEvent e;
        e.nDeltaFrames = n;
        e.midiData[0] = 0x90;
        e.midiData[1] = static_cast<uint8_t>(48 + 3 * n);
        e.midiData[2] = 90;
        v.push_back(e);
    }
    return v;
}

template <class F>
double NsPerBlock(int nBlocks, F&& render) {
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < nBlocks; ++i) render();
    return std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - start).count() / nBlocks;
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    const int nBlocks = argc > 1 ? std::max(1, std::atoi(argv[1])) : 4000;

    // Hosted: the backend's plug-in, events through ProcessEvents.
    CVstBackendLinux backend;
    auto hosted = backend.Load(DUve::Utf8ToUtf16(PALVOR_TEST_SYNTH));
    if (!hosted) {
        std::fprintf(stderr, "the test synthesizer did not load: %s\n", PALVOR_TEST_SYNTH);
        return 1;
    }
    hosted->Start(kRate, kBlock);
    hosted->ProcessEvents(Chord());
    std::vector<std::vector<float>> outputs(2, std::vector<float>(kBlock, 0.0f));
    const std::vector<std::vector<float>> noInputs;

    // Direct: a second instance of the same module, driven by hand.
    void* pHandle = nullptr;
    const char* szError = nullptr;
    AEffect* e = OpenEffect(PALVOR_TEST_SYNTH, &pHandle, &szError);
    if (!e) {
        std::fprintf(stderr, "the test synthesizer did not open: %s\n", szError);
        return 1;
    }
    e->dispatcher(e, effSetSampleRate, 0, 0, nullptr, static_cast<float>(kRate));
    e->dispatcher(e, effSetBlockSize, 0, kBlock, nullptr, 0.0f);
    e->dispatcher(e, effMainsChanged, 0, 1, nullptr, 0.0f);
    std::vector<VstMidiEvent> midi(8);
    alignas(VstEvents) std::byte storage[offsetof(VstEvents, events) + 8 * sizeof(VstEvent*)];
    auto* pEvents = ::new (static_cast<void*>(storage)) VstEvents{};
    pEvents->numEvents = 8;
    const auto chord = Chord();
    for (size_t i = 0; i < 8; ++i) {
        midi[i] = VstMidiEvent{};
        midi[i].type = kVstMidiType;
        midi[i].byteSize = sizeof(VstMidiEvent);
        midi[i].deltaFrames = chord[i].nDeltaFrames;
        for (int k = 0; k < 3; ++k) midi[i].midiData[k] = static_cast<char>(chord[i].midiData[k]);
        VstEvent** ppList = pEvents->events;
        ppList[i] = reinterpret_cast<VstEvent*>(&midi[i]);
    }
    e->dispatcher(e, effProcessEvents, 0, 0, pEvents, 0.0f);
    std::vector<float> left(kBlock), right(kBlock);
    float* ppOut[2] = {left.data(), right.data()};

    std::vector<double> vHosted, vDirect;
    for (int r = 0; r < kRounds; ++r) {
        vHosted.push_back(NsPerBlock(nBlocks, [&] { hosted->ProcessReplacing(noInputs, outputs, kBlock); }));
        vDirect.push_back(NsPerBlock(nBlocks, [&] { e->processReplacing(e, nullptr, ppOut, kBlock); }));
    }
    const double dHosted = Median(vHosted), dDirect = Median(vDirect);
    std::printf("blocks of %u frames, 8 voices, median of %d rounds of %d blocks\n", kBlock, kRounds, nBlocks);
    std::printf("hosted through IVstPlugin: %10.0f ns per block\n", dHosted);
    std::printf("direct processReplacing:   %10.0f ns per block\n", dDirect);
    std::printf("ratio hosted / direct:     %10.3f\n", dHosted / dDirect);
    CloseEffect(e, pHandle);
    return 0;
}
