// Shared pieces of the VST host tests: where the test plug-ins are, a scratch folder, and
// access to a loaded test plug-in's journal.
#pragma once

#include <dlfcn.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <numbers>
#include <filesystem>
#include <string>

#include "synth/TestSynthJournal.h"

namespace DUve::AudioDevice::Vst::Test {

inline const char* const kSynth = PALVOR_TEST_SYNTH;
inline const char* const kSynthCrash = PALVOR_TEST_SYNTH_CRASH;
inline const char* const kSynthHang = PALVOR_TEST_SYNTH_HANG;
inline const char* const kEffect = PALVOR_TEST_EFFECT;
inline const char* const kSynthMain = PALVOR_TEST_SYNTH_MAIN;
inline const char* const kSynthChatty = PALVOR_TEST_SYNTH_CHATTY;

// The journal of a test plug-in module that is loaded now (null when it is not).
inline const CTestSynthJournal* Journal(const char* szPath) {
    void* pHandle = dlopen(szPath, RTLD_NOW | RTLD_NOLOAD);
    if (!pHandle) return nullptr;
    const auto fn = reinterpret_cast<PalvorTestSynthJournalProc>(dlsym(pHandle, "PalvorTestSynthJournal"));
    dlclose(pHandle);  // the module stays: whoever loaded it still holds it
    return fn ? fn() : nullptr;
}

// The test synthesizer's voice: velocity / 127 × sin(2π f t / rate), f the note's
// equal-tempered frequency (A4 = 440 Hz), t frames since the note-on.
inline double Sine(int nNote, int nVelocity, int64_t nSince, double dRate) {
    const double dFreq = 440.0 * std::pow(2.0, (nNote - 69) / 12.0);
    return nVelocity / 127.0 * std::sin(2.0 * std::numbers::pi * dFreq * static_cast<double>(nSince) / dRate);
}

// A fresh folder under the system's temporary folder, removed with its contents.
class CScratchFolder {
public:
    CScratchFolder() {
        std::string sTemplate = (std::filesystem::temp_directory_path() / "palvor-vst-XXXXXX").string();
        if (mkdtemp(sTemplate.data())) m_path = sTemplate;
    }
    ~CScratchFolder() {
        std::error_code ec;
        if (!m_path.empty()) std::filesystem::remove_all(m_path, ec);
    }
    const std::filesystem::path& Path() const { return m_path; }

private:
    std::filesystem::path m_path;
};

}  // namespace DUve::AudioDevice::Vst::Test
