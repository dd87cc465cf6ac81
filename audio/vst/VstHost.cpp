#include "audio/vst/VstHost.h"

#include <dlfcn.h>
#include <sys/stat.h>
#include <time.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>

#include "audio/AudioDevice.h"
#include "audio/vst/VstScan.h"
#include "runtime/RDebugTrace.h"
#include "runtime/RPaths.h"
#include "runtime/RString.h"
#include "runtime/RForeignOutput.h"

namespace DUve::AudioDevice::Vst {

namespace {

// The time record answered to audioMasterGetTime. One per thread: plug-ins on different
// threads refill it concurrently, and a plug-in reads it right after asking.
thread_local VstTimeInfo t_timeInfo;

double MillisecondsSinceBoot() noexcept {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000);
}

const VstTimeInfo* FillTimeInfo() noexcept {
    VstTimeInfo& t = t_timeInfo;
    std::memset(&t, 0, sizeof t);
    t.samplePos = 0.0;
    t.sampleRate = 44100.0;
    t.nanoSeconds = MillisecondsSinceBoot() * 1000000.0;
    t.ppqPos = 0.0;
    t.tempo = 120.0;
    t.timeSigNumerator = 4;
    t.timeSigDenominator = 4;
    t.flags = kVstNanosValid | kVstPpqPosValid | kVstTempoValid | kVstTimeSigValid;
    return &t;
}

}  // namespace

intptr_t HostCallback(AEffect*, int32_t nOpcode, int32_t, intptr_t, void* pPtr, float) noexcept {
    switch (nOpcode) {
    case audioMasterVersion:
        return kHostVersion;
    case audioMasterGetTime:
        return reinterpret_cast<intptr_t>(FillTimeInfo());
    case audioMasterGetVendorString:
        if (pPtr) std::memcpy(pPtr, kHostVendor, sizeof kHostVendor);
        return 0;
    case audioMasterGetProductString:
        if (pPtr) std::memcpy(pPtr, kHostProduct, sizeof kHostProduct);
        return 0;
    default:
        return 0;
    }
}

AEffect* OpenEffect(const char* szPath, void** ppHandle, const char** pszError) noexcept {
    *ppHandle = nullptr;
    void* pHandle = dlopen(szPath, RTLD_NOW | RTLD_LOCAL);
    if (!pHandle) {
        const char* szDl = dlerror();
        *pszError = szDl ? szDl : "cannot be loaded";
        return nullptr;
    }
    void* pSymbol = dlsym(pHandle, "VSTPluginMain");
    if (!pSymbol) pSymbol = dlsym(pHandle, "main");
    if (!pSymbol) {
        *pszError = "no entry point (VSTPluginMain or main)";
        dlclose(pHandle);
        return nullptr;
    }
    const auto entry = reinterpret_cast<EntryProc>(pSymbol);
    AEffect* pEffect = entry(&HostCallback);
    if (!pEffect) {
        *pszError = "the entry point made no plug-in";
        dlclose(pHandle);
        return nullptr;
    }
    if (pEffect->magic != kEffectMagic || !pEffect->dispatcher) {
        *pszError = "not a VST 2 plug-in (wrong magic number or no dispatcher)";
        dlclose(pHandle);
        return nullptr;
    }
    pEffect->dispatcher(pEffect, effOpen, 0, 0, nullptr, 0.0f);
    *ppHandle = pHandle;
    return pEffect;
}

void CloseEffect(AEffect* pEffect, void* pHandle) noexcept {
    if (pEffect) pEffect->dispatcher(pEffect, effClose, 0, 0, nullptr, 0.0f);
    if (pHandle && dlclose(pHandle) != 0) {
        const char* szDl = dlerror();
        std::fprintf(OwnStderr(), "vst: unloading a plug-in failed: %s\n", szDl ? szDl : "?");
    }
}

uint8_t InterfaceFlags(int32_t nEffectFlags) noexcept {
    uint8_t n = 0;
    if (nEffectFlags & effFlagsHasEditor) n |= 1u << 0;
    if (nEffectFlags & effFlagsCanReplacing) n |= 1u << 1;
    if (nEffectFlags & effFlagsProgramChunks) n |= 1u << 2;
    if (nEffectFlags & effFlagsIsSynth) n |= 1u << 3;
    if (nEffectFlags & effFlagsNoSoundInStop) n |= 1u << 4;
    return n;
}

// ======================================================================= one plug-in

CVstPluginHost::CVstPluginHost(AEffect* pEffect, void* pHandle) : m_pEffect(pEffect), m_pHandle(pHandle) {}

CVstPluginHost::~CVstPluginHost() { CloseEffect(m_pEffect, m_pHandle); }

uint8_t CVstPluginHost::Flags() const { return InterfaceFlags(m_pEffect->flags); }

void CVstPluginHost::Start(uint32_t nSampleRate, uint32_t nBlockSize) {
    AEffect* e = m_pEffect;
    e->dispatcher(e, effSetSampleRate, 0, 0, nullptr, static_cast<float>(nSampleRate));
    e->dispatcher(e, effSetBlockSize, 0, static_cast<intptr_t>(nBlockSize), nullptr, 0.0f);
    e->dispatcher(e, effSetProcessPrecision, 0, kProcessPrecision32, nullptr, 0.0f);
    e->dispatcher(e, effMainsChanged, 0, 1, nullptr, 0.0f);
    e->dispatcher(e, effStartProcess, 0, 0, nullptr, 0.0f);

    m_nBlockSize = std::max<uint32_t>(nBlockSize, 1);
    const size_t nInputs = static_cast<size_t>(std::max(e->numInputs, 0));
    const size_t nOutputs = static_cast<size_t>(std::max(e->numOutputs, 0));
    m_inputPtrs.assign(nInputs, nullptr);
    m_outputPtrs.assign(nOutputs, nullptr);
    m_inputScratch.assign(nInputs, std::vector<float>(m_nBlockSize, 0.0f));
    m_outputScratch.assign(nOutputs, std::vector<float>(m_nBlockSize, 0.0f));
    ReserveEvents(256);
    m_bStarted = true;
}

void CVstPluginHost::ReserveEvents(size_t nCount) {
    if (nCount <= m_midiEvents.size()) return;
    const size_t nNew = std::max(nCount, m_midiEvents.size() * 2);
    m_midiEvents.resize(nNew);
    m_eventBlock.assign((offsetof(VstEvents, events) + nNew * sizeof(VstEvent*) + sizeof(intptr_t) - 1) /
                            sizeof(intptr_t),
                        0);
}

void CVstPluginHost::ProcessEvents(const std::vector<CVstMidiEvent>& vEvents) {
    // Only instruments take MIDI.
    if (!(m_pEffect->flags & effFlagsIsSynth) || vEvents.empty()) return;
    ReserveEvents(vEvents.size());
    auto* pBlock = ::new (static_cast<void*>(m_eventBlock.data())) VstEvents{};
    pBlock->numEvents = static_cast<int32_t>(vEvents.size());
    pBlock->reserved = 0;
    VstEvent** ppList = pBlock->events;  // open-ended: as many slots as events
    for (size_t i = 0; i < vEvents.size(); ++i) {
        VstMidiEvent& m = m_midiEvents[i];
        m = VstMidiEvent{};
        m.type = kVstMidiType;
        m.byteSize = static_cast<int32_t>(sizeof(VstMidiEvent));
        m.deltaFrames = std::max(vEvents[i].nDeltaFrames, 0);
        for (int k = 0; k < 3; ++k) m.midiData[k] = static_cast<char>(vEvents[i].midiData[k]);
        ppList[i] = reinterpret_cast<VstEvent*>(&m);
    }
    m_pEffect->dispatcher(m_pEffect, effProcessEvents, 0, 0, pBlock, 0.0f);
}

void CVstPluginHost::ProcessReplacing(const std::vector<std::vector<float>>& vInputs,
                                      std::vector<std::vector<float>>& vOutputs, uint32_t nFrames) {
    if (!m_bStarted) {
        if (!m_bWarnedUnstarted)
            std::fprintf(OwnStderr(), "vst: a plug-in was asked to process before it was started; nothing rendered\n");
        m_bWarnedUnstarted = true;
        return;
    }
    // The plug-in was promised blocks of at most m_nBlockSize frames.
    for (uint32_t nOffset = 0; nOffset < nFrames; nOffset += m_nBlockSize)
        RenderChunk(vInputs, vOutputs, nOffset, std::min(m_nBlockSize, nFrames - nOffset));
}

void CVstPluginHost::RenderChunk(const std::vector<std::vector<float>>& vInputs,
                                 std::vector<std::vector<float>>& vOutputs, uint32_t nOffset, uint32_t nFrames) {
    // Inputs are copied: a plug-in may scribble on its input buffers.
    for (size_t i = 0; i < m_inputPtrs.size(); ++i) {
        float* pDst = m_inputScratch[i].data();
        size_t nCopied = 0;
        if (i < vInputs.size() && vInputs[i].size() > nOffset) {
            nCopied = std::min<size_t>(nFrames, vInputs[i].size() - nOffset);
            std::copy_n(vInputs[i].data() + nOffset, nCopied, pDst);
        }
        std::fill(pDst + nCopied, pDst + nFrames, 0.0f);
        m_inputPtrs[i] = pDst;
    }
    // Outputs are written in place when the caller's buffer is long enough.
    for (size_t o = 0; o < m_outputPtrs.size(); ++o) {
        const bool bDirect = o < vOutputs.size() && vOutputs[o].size() >= size_t{nOffset} + nFrames;
        float* pDst = bDirect ? vOutputs[o].data() + nOffset : m_outputScratch[o].data();
        std::fill(pDst, pDst + nFrames, 0.0f);  // the accumulating fallback adds into it
        m_outputPtrs[o] = pDst;
    }
    float** ppIn = m_inputPtrs.empty() ? nullptr : m_inputPtrs.data();
    float** ppOut = m_outputPtrs.empty() ? nullptr : m_outputPtrs.data();
    if (m_pEffect->processReplacing)
        m_pEffect->processReplacing(m_pEffect, ppIn, ppOut, static_cast<int32_t>(nFrames));
    else if (m_pEffect->process)
        m_pEffect->process(m_pEffect, ppIn, ppOut, static_cast<int32_t>(nFrames));
    // Short caller buffers get what fits of the scratch.
    for (size_t o = 0; o < m_outputPtrs.size() && o < vOutputs.size(); ++o) {
        if (m_outputPtrs[o] != m_outputScratch[o].data()) continue;
        auto& out = vOutputs[o];
        if (out.size() > nOffset)
            std::copy_n(m_outputScratch[o].data(), std::min<size_t>(nFrames, out.size() - nOffset),
                        out.data() + nOffset);
    }
}

// ======================================================================= the backend

std::filesystem::path DefaultScanCacheFile() { return PalvorFolder("vst") / "scan-cache"; }

CVstBackendLinux::CVstBackendLinux(CVstHostOptions options) : m_options(std::move(options)) {}

CVstBackendLinux::~CVstBackendLinux() {
    CancelScan();
    if (m_thread.joinable()) m_thread.join();
}

void CVstBackendLinux::StartScan() {
    std::lock_guard lock(m_mutex);
    if (m_bStarted) return;
    m_bStarted = true;
    m_thread = std::thread([this] { Scan(); });
}

void CVstBackendLinux::CancelScan() { m_bCancel.store(true); }

size_t CVstBackendLinux::ScannedLastTime() const {
    std::lock_guard lock(m_mutex);
    return m_nScanned;
}

bool CVstBackendLinux::Check(const std::string& sPath, CVstPluginInfo& info, bool& bScanned) {
    bScanned = false;
    struct stat st {};
    if (stat(sPath.c_str(), &st) != 0) {
        DeviceLog("VST plug-in %s: %s", sPath.c_str(), std::strerror(errno));
        return false;
    }
    const int64_t nModified = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    {
        std::lock_guard lock(m_mutex);
        const auto it = m_known.find(sPath);
        if (it != m_known.end() && it->second.nSize == st.st_size && it->second.nModified == nModified) {
            if (!it->second.bOk) return false;
            info = it->second.info;
            return true;
        }
    }
    if (IsKnownBad(sPath) || m_bCancel.load()) return false;
    CScanOptions options;
    options.timeout = m_options.scanTimeout;
    options.sScanner = m_options.sScanner;
    options.pCancel = &m_bCancel;
    CScanResult r = ScanInChild(sPath, options);
    if (m_bCancel.load()) return false;  // not a verdict on the file
    bScanned = true;
    CScanRecordOnDisk record{st.st_size, nModified, r.bOk, r.sError, r.info};
    if (!r.bOk) {
        RememberBad(sPath);
        DeviceLog("VST plug-in left out: %s: %s", sPath.c_str(), r.sError.c_str());
        record.info.sPath = Utf8ToUtf16(sPath);
    }
    info = r.info;
    std::lock_guard lock(m_mutex);
    m_known[sPath] = std::move(record);
    return r.bOk;
}

void CVstBackendLinux::Scan() {
    if (!m_options.cacheFile.empty()) {
        auto cache = LoadScanCache(m_options.cacheFile);
        std::lock_guard lock(m_mutex);
        for (auto& [sPath, record] : cache) m_known.emplace(sPath, std::move(record));
    }
    const auto folders = m_options.vFolders.empty() ? DefaultPluginFolders() : m_options.vFolders;
    std::vector<CVstPluginInfo> found;
    size_t nScanned = 0, nLeftOut = 0;
    const auto files = ListPluginFiles(folders, m_options.nMaxDepth);
    for (const auto& sPath : files) {
        if (m_bCancel.load()) break;
        CVstPluginInfo info;
        bool bScanned = false;
        if (Check(sPath, info, bScanned))
            found.push_back(std::move(info));
        else
            ++nLeftOut;
        nScanned += bScanned;
    }
    if (!m_options.cacheFile.empty() && !m_bCancel.load()) {
        CScanCache keep;
        {
            // Files that are gone are forgotten.
            std::lock_guard lock(m_mutex);
            for (const auto& sPath : files)
                if (const auto it = m_known.find(sPath); it != m_known.end()) keep.emplace(*it);
        }
        if (nScanned > 0 || keep.size() != LoadScanCache(m_options.cacheFile).size()) {
            if (!SaveScanCache(m_options.cacheFile, keep))
                DeviceLog("VST plug-ins: the scan results could not be kept in %s", m_options.cacheFile.c_str());
        }
    }
    DebugTrace("\nVST plug-ins: %zu found, %zu left out, %zu scanned now", found.size(), nLeftOut, nScanned);
    std::lock_guard lock(m_mutex);
    m_found = std::move(found);
    m_nScanned = nScanned;
    m_bFinished = true;
    m_done.notify_all();
}

std::vector<CVstPluginInfo> CVstBackendLinux::Enumerate() {
    StartScan();
    std::unique_lock lock(m_mutex);
    m_done.wait(lock, [this] { return m_bFinished; });
    return m_found;
}

std::unique_ptr<IVstPlugin> CVstBackendLinux::Load(const std::u16string& sPath) {
    const std::string sFile = Utf16ToUtf8(sPath);
    CVstPluginInfo info;
    bool bScanned = false;
    if (!Check(sFile, info, bScanned)) {
        DeviceLog("VST plug-in %s not loaded: it failed its scan", sFile.c_str());
        return nullptr;
    }
    CaptureForeignOutput();  // before its constructors run
    void* pHandle = nullptr;
    const char* szError = nullptr;
    AEffect* pEffect = OpenEffect(sFile.c_str(), &pHandle, &szError);
    if (!pEffect) {
        DeviceLog("VST plug-in %s cannot be loaded: %s", sFile.c_str(), szError);
        return nullptr;
    }
    return std::make_unique<CVstPluginHost>(pEffect, pHandle);
}

}  // namespace DUve::AudioDevice::Vst
