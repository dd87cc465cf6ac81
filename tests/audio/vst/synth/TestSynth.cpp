// A small VST 2 instrument for the host's tests: one sine voice per held note (note-on
// starts it at phase 0 with amplitude velocity / 127, note-off stops it), events taking
// effect at their deltaFrames inside the block, the same signal on both outputs.
//
// PALVOR_SYNTH_VARIANT picks what the module is:
//   0  the instrument "PalvorTestSynth"
//   1  an entry point that crashes
//   2  an entry point that never returns
//   3  "PalvorTestEffect": the same sound engine without the synth flag
//   4  "PalvorTestChatty": the instrument, but it prints to standard output and error
//      when loaded, and never returns from effClose
// PALVOR_SYNTH_ENTRY_MAIN exports the entry point as "main" instead of "VSTPluginMain".
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "audio/vst/VstAbi.h"
#include "synth/TestSynthJournal.h"

#ifndef PALVOR_SYNTH_VARIANT
#define PALVOR_SYNTH_VARIANT 0
#endif

using namespace DUve::AudioDevice::Vst;

namespace {

constexpr bool kIsSynth = PALVOR_SYNTH_VARIANT != 3;
constexpr bool kChatty = PALVOR_SYNTH_VARIANT == 4;
constexpr int kVoices = 16;
constexpr int kMaxPending = 512;
constexpr double kTwoPi = 6.283185307179586476925286766559;

CTestSynthJournal g_journal;

struct CVoice {
    bool bOn = false;
    int nNote = 0;
    double dPhase = 0.0;
    double dStep = 0.0;
    double dAmp = 0.0;
};

struct CSynth {
    AEffect effect;
    HostCallbackProc host = nullptr;
    double dRate = 44100.0;
    CVoice voices[kVoices];
    VstMidiEvent pending[kMaxPending];
    int nPending = 0;
};

CSynth* Self(AEffect* e) { return static_cast<CSynth*>(e->object); }

void CopyName(void* pDst, const char* szText) { std::strncpy(static_cast<char*>(pDst), szText, 63); }

void Apply(CSynth& s, const VstMidiEvent& m) {
    const int nStatus = static_cast<unsigned char>(m.midiData[0]) & 0xF0;
    const int nNote = m.midiData[1] & 0x7F;
    const int nVelocity = m.midiData[2] & 0x7F;
    if (nStatus == 0x90 && nVelocity > 0) {
        CVoice* pVoice = &s.voices[0];
        for (auto& v : s.voices)
            if (!v.bOn) {
                pVoice = &v;
                break;
            }
        pVoice->bOn = true;
        pVoice->nNote = nNote;
        pVoice->dPhase = 0.0;
        pVoice->dStep = kTwoPi * 440.0 * std::pow(2.0, (nNote - 69) / 12.0) / s.dRate;
        pVoice->dAmp = nVelocity / 127.0;
    } else if (nStatus == 0x80 || nStatus == 0x90) {
        for (auto& v : s.voices)
            if (v.bOn && v.nNote == nNote) v.bOn = false;
    }
}

void Render(AEffect* e, float** ppOut, int32_t nFrames, bool bAdd) {
    CSynth& s = *Self(e);
    int nNext = 0;
    for (int32_t f = 0; f < nFrames; ++f) {
        for (; nNext < s.nPending && s.pending[nNext].deltaFrames <= f; ++nNext) Apply(s, s.pending[nNext]);
        double dSum = 0.0;
        for (auto& v : s.voices) {
            if (!v.bOn) continue;
            dSum += v.dAmp * std::sin(v.dPhase);
            v.dPhase = std::fmod(v.dPhase + v.dStep, kTwoPi);
        }
        for (int c = 0; c < e->numOutputs; ++c) {
            if (bAdd)
                ppOut[c][f] += static_cast<float>(dSum);
            else
                ppOut[c][f] = static_cast<float>(dSum);
        }
    }
    for (; nNext < s.nPending; ++nNext) Apply(s, s.pending[nNext]);  // beyond the block: at its end
    s.nPending = 0;
}

void ProcessReplacing(AEffect* e, float**, float** ppOut, int32_t nFrames) { Render(e, ppOut, nFrames, false); }
void ProcessAdding(AEffect* e, float**, float** ppOut, int32_t nFrames) { Render(e, ppOut, nFrames, true); }

void Record(int32_t nOpcode, intptr_t nValue, float fOpt) {
    if (g_journal.nCalls >= 64) return;
    g_journal.vOpcodes[g_journal.nCalls] = nOpcode;
    g_journal.vValues[g_journal.nCalls] = nValue;
    g_journal.vOpts[g_journal.nCalls] = fOpt;
    ++g_journal.nCalls;
}

void AskHost(CSynth& s) {
    AEffect* e = &s.effect;
    s.host(e, audioMasterGetVendorString, 0, 0, g_journal.szHostVendor, 0.0f);
    s.host(e, audioMasterGetProductString, 0, 0, g_journal.szHostProduct, 0.0f);
    const auto* pTime = reinterpret_cast<const VstTimeInfo*>(s.host(e, audioMasterGetTime, 0, 0, nullptr, 0.0f));
    if (pTime) {
        g_journal.bGotTime = 1;
        g_journal.dTimeSampleRate = pTime->sampleRate;
        g_journal.dTimeTempo = pTime->tempo;
        g_journal.dTimeNanoSeconds = pTime->nanoSeconds;
        g_journal.nTimeSigNumerator = pTime->timeSigNumerator;
        g_journal.nTimeSigDenominator = pTime->timeSigDenominator;
        g_journal.nTimeFlags = pTime->flags;
    }
}

intptr_t Dispatch(AEffect* e, int32_t nOpcode, int32_t, intptr_t nValue, void* pPtr, float fOpt) {
    CSynth& s = *Self(e);
    if (nOpcode != effProcessEvents) Record(nOpcode, nValue, fOpt);
    switch (nOpcode) {
    case effOpen:
        AskHost(s);
        return 0;
    case effClose:
        if (kChatty)
            for (;;) pause();  // a plug-in that waits for its own threads, which never end
        delete &s;
        return 0;
    case effSetSampleRate:
        if (fOpt > 0.0f) s.dRate = fOpt;
        return 0;
    case effProcessEvents: {
        const auto* pEvents = static_cast<const VstEvents*>(pPtr);
        ++g_journal.nEventBlocks;
        VstEvent* const* ppList = pEvents->events;
        for (int32_t i = 0; i < pEvents->numEvents; ++i) {
            if (ppList[i]->type != kVstMidiType || s.nPending >= kMaxPending) continue;
            s.pending[s.nPending++] = *reinterpret_cast<const VstMidiEvent*>(ppList[i]);
            ++g_journal.nMidiEvents;
        }
        return 1;
    }
    case effGetEffectName:
        CopyName(pPtr, kChatty ? "PalvorTestChatty" : kIsSynth ? "PalvorTestSynth" : "PalvorTestEffect");
        return 1;
    case effGetVendorString:
        CopyName(pPtr, "Palvor");
        return 1;
    case effGetProductString:
        CopyName(pPtr, "Palvor Test Instruments");
        return 1;
    case effGetVendorVersion:
        return 1001;
    default:
        return 0;
    }
}

float GetParameter(AEffect*, int32_t) { return 0.0f; }
void SetParameter(AEffect*, int32_t, float) {}

AEffect* MakeEffect(HostCallbackProc host) {
#if PALVOR_SYNTH_VARIANT == 1
    *static_cast<volatile int*>(nullptr) = 0;  // a plug-in with a fatal bug
    __builtin_trap();
#elif PALVOR_SYNTH_VARIANT == 2
    for (;;) pause();  // a plug-in that waits for something that never comes
#endif
    if (kChatty) {
        std::printf("lo server running on port 7770\n");
        std::fflush(stdout);
        std::fprintf(stderr, "chatty: warming up\n");
    }
    if (std::getenv("PALVOR_TEST_SYNTH_SAYS")) {  // as plug-ins do that print while they load
        std::printf("test synth says: %s\n", std::getenv("PALVOR_TEST_SYNTH_SAYS"));
        std::fprintf(stderr, "test synth warns: %s\n", std::getenv("PALVOR_TEST_SYNTH_SAYS"));
    }
    if (!host) return nullptr;
    std::memset(&g_journal, 0, sizeof g_journal);
    g_journal.nHostVersion = host(nullptr, audioMasterVersion, 0, 0, nullptr, 0.0f);
    auto* s = new (std::nothrow) CSynth;
    if (!s) return nullptr;
    AEffect& e = s->effect;
    std::memset(&e, 0, sizeof e);
    e.magic = kEffectMagic;
    e.dispatcher = &Dispatch;
    e.process = &ProcessAdding;
    e.setParameter = &SetParameter;
    e.getParameter = &GetParameter;
    e.numInputs = 0;
    e.numOutputs = 2;
    e.flags = effFlagsCanReplacing | (kIsSynth ? effFlagsIsSynth : 0);
    e.object = s;
    e.uniqueID = kIsSynth ? 0x50547379 : 0x50546566;
    e.version = 1;
    e.processReplacing = &ProcessReplacing;
    s->host = host;
    return &e;
}

}  // namespace

extern "C" {

const CTestSynthJournal* PalvorTestSynthJournal() { return &g_journal; }

#ifdef PALVOR_SYNTH_ENTRY_MAIN
AEffect* PalvorTestSynthMain(HostCallbackProc host) __asm__("main");
AEffect* PalvorTestSynthMain(HostCallbackProc host) { return MakeEffect(host); }
#else
AEffect* VSTPluginMain(HostCallbackProc host) { return MakeEffect(host); }
#endif
}
