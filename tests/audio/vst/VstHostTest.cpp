// The host side of a loaded plug-in: what it tells the plug-in, in which order, what it
// answers, and what comes out of rendering.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "VstTestSupport.h"
#include "audio/vst/VstHost.h"
#include "runtime/RString.h"

namespace DUve::AudioDevice::Vst {
namespace {

using namespace Test;

std::unique_ptr<IVstPlugin> LoadPlugin(const char* szPath) {
    CVstBackendLinux backend;
    return backend.Load(Utf8ToUtf16(szPath));
}

TEST(VstAbiTest, EffectFlagsMapToTheInterfaceBits) {
    const struct {
        int32_t nEffect;
        uint8_t nExpected;
    } cases[] = {
        {effFlagsHasEditor, 1 << 0},
        {effFlagsCanReplacing, 1 << 1},
        {effFlagsProgramChunks, 1 << 2},
        {effFlagsIsSynth, 1 << 3},
        {effFlagsNoSoundInStop, 1 << 4},
        {(1 << 1) | (1 << 2) | (1 << 3) | (1 << 12), 0},  // bits the interface does not carry
        {effFlagsIsSynth | effFlagsCanReplacing, (1 << 3) | (1 << 1)},
    };
    for (const auto& c : cases) EXPECT_EQ(InterfaceFlags(c.nEffect), c.nExpected) << "effect flags " << c.nEffect;
}

TEST(VstHostTest, PluginSeesTheHostAnswersAndTheCallOrder) {
    auto plugin = LoadPlugin(kSynth);
    ASSERT_TRUE(plugin);
    const CTestSynthJournal* j = Journal(kSynth);
    ASSERT_TRUE(j);
    EXPECT_EQ(j->nHostVersion, 2400);
    EXPECT_STREQ(j->szHostVendor, "Quellmarch");
    EXPECT_STREQ(j->szHostProduct, "ZazeVodi");
    ASSERT_TRUE(j->bGotTime);
    EXPECT_EQ(j->dTimeSampleRate, 44100.0);
    EXPECT_EQ(j->dTimeTempo, 120.0);
    EXPECT_EQ(j->nTimeSigNumerator, 4);
    EXPECT_EQ(j->nTimeSigDenominator, 4);
    EXPECT_EQ(j->nTimeFlags, 0x2700);
    EXPECT_GT(j->dTimeNanoSeconds, 0.0);
    EXPECT_EQ(std::fmod(j->dTimeNanoSeconds, 1000000.0), 0.0);  // whole milliseconds
    for (const int32_t nOther : {audioMasterCanDo, audioMasterIdle, 9999})
        EXPECT_EQ(HostCallback(nullptr, nOther, 0, 0, nullptr, 0.0f), 0) << "opcode " << nOther;

    plugin->Start(48000, 333);
    const struct {
        int32_t nOpcode;
        intptr_t nValue;
        float fOpt;
    } expected[] = {
        {effOpen, 0, 0.0f},          {effSetSampleRate, 0, 48000.0f}, {effSetBlockSize, 333, 0.0f},
        {effSetProcessPrecision, 0, 0.0f}, {effMainsChanged, 1, 0.0f},     {effStartProcess, 0, 0.0f},
    };
    ASSERT_EQ(j->nCalls, static_cast<int32_t>(std::size(expected)));
    for (size_t i = 0; i < std::size(expected); ++i) {
        EXPECT_EQ(j->vOpcodes[i], expected[i].nOpcode) << "call " << i;
        EXPECT_EQ(j->vValues[i], expected[i].nValue) << "call " << i;
        EXPECT_EQ(j->vOpts[i], expected[i].fOpt) << "call " << i;
    }

    // Closing: effClose, then the module goes (kept here by an extra reference).
    void* pKeep = dlopen(kSynth, RTLD_NOW | RTLD_NOLOAD);
    ASSERT_TRUE(pKeep);
    plugin.reset();
    ASSERT_EQ(j->nCalls, static_cast<int32_t>(std::size(expected)) + 1);
    EXPECT_EQ(j->vOpcodes[j->nCalls - 1], effClose);
    dlclose(pKeep);
    EXPECT_EQ(Journal(kSynth), nullptr) << "the module was not unloaded";
}

TEST(VstHostTest, LoadsThroughEitherEntryPoint) {
    for (const char* szPath : {kSynth, kSynthMain}) {
        auto plugin = LoadPlugin(szPath);
        ASSERT_TRUE(plugin) << szPath;
        EXPECT_EQ(plugin->Flags(), (1 << 1) | (1 << 3)) << szPath;
    }
}

TEST(VstHostTest, BadFilesAreNotLoaded) {
    CScratchFolder folder;
    const auto notPlugin = folder.Path() / "text.so";
    FILE* f = std::fopen(notPlugin.c_str(), "w");
    ASSERT_TRUE(f);
    std::fputs("not a shared object\n", f);
    std::fclose(f);
    CVstBackendLinux backend({{}, std::chrono::milliseconds(1000), 8});
    for (const std::string& sPath :
         {std::string(kSynthCrash), std::string(kSynthHang), notPlugin.string(), (folder.Path() / "none.so").string()})
        EXPECT_FALSE(backend.Load(Utf8ToUtf16(sPath))) << sPath;
}

// ---- rendering

constexpr uint32_t kRate = 48000;
constexpr uint32_t kBlock = 256;

std::vector<CVstMidiEvent> Events(std::initializer_list<std::pair<int32_t, std::array<uint8_t, 3>>> list) {
    std::vector<CVstMidiEvent> v;
    for (const auto& [nDelta, bytes] : list) {
        CVstMidiEvent e;
        e.nDeltaFrames = nDelta;
        std::copy(bytes.begin(), bytes.end(), e.midiData);
        v.push_back(e);
    }
    return v;
}

std::vector<std::vector<float>> Render(IVstPlugin& plugin, const std::vector<CVstMidiEvent>& events) {
    std::vector<std::vector<float>> outputs(2, std::vector<float>(kBlock, 0.0f));
    if (!events.empty()) plugin.ProcessEvents(events);
    plugin.ProcessReplacing({}, outputs, kBlock);
    return outputs;
}

double Sine(int nNote, int nVelocity, int64_t nSince) { return Test::Sine(nNote, nVelocity, nSince, kRate); }

TEST(VstRenderTest, NotesStartAndStopAtTheirFrameAcrossContiguousBlocks) {
    const struct {
        int nNote;
        int nVelocity;
        int32_t nOnAt;   // frame in block 0
        int32_t nOffAt;  // frame in block 2
    } cases[] = {{69, 127, 100, 50}, {60, 64, 0, 255}, {81, 1, 255, 0}};
    for (const auto& c : cases) {
        auto plugin = LoadPlugin(kSynth);
        ASSERT_TRUE(plugin);
        plugin->Start(kRate, kBlock);
        const uint8_t nNote = static_cast<uint8_t>(c.nNote), nVel = static_cast<uint8_t>(c.nVelocity);
        const std::vector<CVstMidiEvent> blocks[] = {
            Events({{c.nOnAt, {0x90, nNote, nVel}}}),
            {},
            Events({{c.nOffAt, {0x80, nNote, 0}}}),
            {},
        };
        for (size_t b = 0; b < std::size(blocks); ++b) {
            const auto out = Render(*plugin, blocks[b]);
            for (uint32_t f = 0; f < kBlock; ++f) {
                const int64_t nFrame = static_cast<int64_t>(b * kBlock + f);
                const bool bSounding = nFrame >= c.nOnAt && nFrame < 2 * int64_t{kBlock} + c.nOffAt;
                const double dExpected = bSounding ? Sine(c.nNote, c.nVelocity, nFrame - c.nOnAt) : 0.0;
                ASSERT_NEAR(out[0][f], dExpected, 1e-4) << "note " << c.nNote << " block " << b << " frame " << f;
                ASSERT_EQ(out[1][f], out[0][f]) << "block " << b << " frame " << f;
            }
        }
    }
}

TEST(VstRenderTest, OnlyInstrumentsReceiveMidi) {
    const struct {
        const char* szPath;
        bool bSynth;
    } cases[] = {{kSynth, true}, {kEffect, false}};
    for (const auto& c : cases) {
        auto plugin = LoadPlugin(c.szPath);
        ASSERT_TRUE(plugin) << c.szPath;
        EXPECT_EQ((plugin->Flags() & (1 << 3)) != 0, c.bSynth) << c.szPath;
        plugin->Start(kRate, kBlock);
        const auto out = Render(*plugin, Events({{0, {0x90, 69, 100}}, {10, {0x90, 72, 100}}}));
        const CTestSynthJournal* j = Journal(c.szPath);
        ASSERT_TRUE(j);
        EXPECT_EQ(j->nEventBlocks, c.bSynth ? 1 : 0) << c.szPath;
        EXPECT_EQ(j->nMidiEvents, c.bSynth ? 2 : 0) << c.szPath;
        float fPeak = 0.0f;
        for (float v : out[0]) fPeak = std::max(fPeak, std::fabs(v));
        EXPECT_EQ(fPeak > 0.1f, c.bSynth) << c.szPath;
    }
}

TEST(VstRenderTest, ShortOrMissingOutputsAndLongRequests) {
    auto plugin = LoadPlugin(kSynth);
    ASSERT_TRUE(plugin);
    plugin->Start(kRate, kBlock);
    plugin->ProcessEvents(Events({{0, {0x90, 69, 127}}}));
    // One output only, and three blocks' worth in one call: rendered block by block.
    std::vector<std::vector<float>> outputs(1, std::vector<float>(3 * kBlock, 0.0f));
    plugin->ProcessReplacing({}, outputs, 3 * kBlock);
    for (uint32_t f = 0; f < 3 * kBlock; ++f) ASSERT_NEAR(outputs[0][f], Sine(69, 127, f), 1e-4) << "frame " << f;
    // An output shorter than the block gets what fits.
    std::vector<std::vector<float>> shortOut(2, std::vector<float>(10, 0.0f));
    plugin->ProcessReplacing({}, shortOut, kBlock);
    for (uint32_t f = 0; f < 10; ++f) ASSERT_NEAR(shortOut[1][f], Sine(69, 127, 3 * kBlock + f), 1e-4);
}

}  // namespace
}  // namespace DUve::AudioDevice::Vst
