// The Linux VST 2 host: loads plug-in shared objects with dlopen, answers their host
// callback, and drives them through IVstPlugin; finds and scans plug-in files for
// IVstBackend::Enumerate, in the background, each in a scanner process of its own (see
// VstScan.h), keeping the results on disk.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "audio/DeviceBackend.h"
#include "audio/vst/VstAbi.h"
#include "audio/vst/VstScan.h"

namespace DUve::AudioDevice::Vst {

// The host callback handed to every plug-in's entry point. Never throws.
intptr_t HostCallback(AEffect* pEffect, int32_t nOpcode, int32_t nIndex, intptr_t nValue, void* pPtr,
                      float fOpt) noexcept;

// The host's fixed answers.
inline constexpr intptr_t kHostVersion = 2400;
inline constexpr char kHostVendor[] = "Quellmarch";
inline constexpr char kHostProduct[] = "ZazeVodi";

// Loads the shared object at `szPath` and calls its entry point ("VSTPluginMain", else
// "main") with HostCallback, then effOpen. On success returns the descriptor and sets
// *ppHandle; on failure returns null, closes what it opened and points *pszError at a
// static text. Allocates nothing itself (dlopen may), so a freshly forked child may
// use it.
AEffect* OpenEffect(const char* szPath, void** ppHandle, const char** pszError) noexcept;
// effClose, then dlclose.
void CloseEffect(AEffect* pEffect, void* pHandle) noexcept;

// The CVstPluginInfo::nFlags bits made from AEffect::flags.
uint8_t InterfaceFlags(int32_t nEffectFlags) noexcept;

// An opened plug-in behind IVstPlugin. Start pre-sizes every buffer the render path
// needs, so ProcessEvents and ProcessReplacing allocate nothing afterwards (unless a
// block brings more events than any block before).
class CVstPluginHost : public IVstPlugin {
public:
    // Takes ownership of an effect opened by OpenEffect.
    CVstPluginHost(AEffect* pEffect, void* pHandle);
    ~CVstPluginHost() override;
    CVstPluginHost(const CVstPluginHost&) = delete;
    CVstPluginHost& operator=(const CVstPluginHost&) = delete;

    uint8_t Flags() const override;
    void Start(uint32_t nSampleRate, uint32_t nBlockSize) override;
    void ProcessEvents(const std::vector<CVstMidiEvent>& vEvents) override;
    void ProcessReplacing(const std::vector<std::vector<float>>& vInputs, std::vector<std::vector<float>>& vOutputs,
                          uint32_t nFrames) override;

    const AEffect* Effect() const { return m_pEffect; }

private:
    void ReserveEvents(size_t nCount);
    void RenderChunk(const std::vector<std::vector<float>>& vInputs, std::vector<std::vector<float>>& vOutputs,
                     uint32_t nOffset, uint32_t nFrames);

    AEffect* m_pEffect;
    void* m_pHandle;
    uint32_t m_nBlockSize = 0;
    bool m_bStarted = false;
    bool m_bWarnedUnstarted = false;
    // The events block: VstEvents head followed by the pointer array, in pointer-sized
    // words so that it is suitably aligned.
    std::vector<intptr_t> m_eventBlock;
    std::vector<VstMidiEvent> m_midiEvents;
    // Per channel: the pointers handed to the plug-in and the host's own block buffers.
    std::vector<float*> m_inputPtrs;
    std::vector<float*> m_outputPtrs;
    std::vector<std::vector<float>> m_inputScratch;
    std::vector<std::vector<float>> m_outputScratch;
};

struct CVstHostOptions {
    CVstHostOptions(std::vector<std::string> folders = {},
                    std::chrono::milliseconds timeout = std::chrono::milliseconds(5000), int nDepth = 8,
                    std::filesystem::path cache = {}, std::string scanner = {})
        : vFolders(std::move(folders)), scanTimeout(timeout), nMaxDepth(nDepth), cacheFile(std::move(cache)),
          sScanner(std::move(scanner)) {}
    // Folders to search; empty: DefaultPluginFolders().
    std::vector<std::string> vFolders;
    // How long a plug-in may take to be scanned before its scanner is killed.
    std::chrono::milliseconds scanTimeout;
    // Subfolder levels searched below each folder.
    int nMaxDepth;
    // Where the results of scans are kept between runs; empty: nowhere.
    std::filesystem::path cacheFile;
    // The scanner program; empty: FindScanner().
    std::string sScanner;
};

// The scan cache of the installed programs: AppDataFolder()/palvor/vst/scan-cache.
std::filesystem::path DefaultScanCacheFile();

class CVstBackendLinux : public IVstBackend {
public:
    explicit CVstBackendLinux(CVstHostOptions options = {});
    // Stops a scan that is still running (its scanner is killed) and waits for it.
    ~CVstBackendLinux() override;
    CVstBackendLinux(const CVstBackendLinux&) = delete;
    CVstBackendLinux& operator=(const CVstBackendLinux&) = delete;

    // Starts scanning the folders on a thread of its own, once; returns at once.
    void StartScan() override;
    // Ends a running scan soon: the file being scanned and the rest are left out.
    void CancelScan() override;
    // Every plug-in file that scans cleanly, in folder order; starts the scan when it has
    // not started and waits for it. A file whose path, size and modification time match
    // the cache (or an earlier scan of this backend) is not scanned again; a file that
    // failed in this process is skipped.
    std::vector<CVstPluginInfo> Enumerate() override;
    // Loads in this process: a file that is not known good is first scanned, and refused
    // when that fails.
    std::unique_ptr<IVstPlugin> Load(const std::u16string& sPath) override;

    // How many files the last scan handed to the scanner (the rest were known).
    size_t ScannedLastTime() const;

private:
    // The info of a cleanly scanned file, scanning it now if needed; false when it fails.
    bool Check(const std::string& sPath, CVstPluginInfo& info, bool& bScanned);
    void Scan();

    CVstHostOptions m_options;
    std::atomic<bool> m_bCancel{false};
    mutable std::mutex m_mutex;
    std::condition_variable m_done;
    CScanCache m_known;   // by path: every file scanned or loaded from the cache
    bool m_bCacheLoaded = false;
    bool m_bStarted = false;
    bool m_bFinished = false;
    size_t m_nScanned = 0;
    std::vector<CVstPluginInfo> m_found;
    std::thread m_thread;
};

}  // namespace DUve::AudioDevice::Vst
