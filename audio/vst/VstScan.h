// Finding plug-in files and reading their names and capabilities without risking the
// program: every file is opened by the scanner program (palvor-vst-scan) in a process of
// its own, started with posix_spawn and holding no descriptor of ours but its pipes. It
// reports over one pipe; what the plug-in itself prints goes over the other to the trace.
// A scanner that takes too long is killed. Files that crashed, hung or failed to load
// are remembered for the life of the process and not tried again; the results of a scan
// can be kept on disk, keyed by path, size and modification time.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "audio/DeviceBackend.h"

namespace DUve::AudioDevice::Vst {

// The folders searched when none are given, in this order: "VstPlugins" beside the
// program, each folder of $VST_PATH (colon separated), ~/.vst, /usr/local/lib/vst,
// /usr/lib/vst.
std::vector<std::string> DefaultPluginFolders();

// Canonical paths of the "*.so" files in the folders and their subfolders (at most
// nMaxDepth levels down), folder by folder, names in byte order within a folder. A
// folder reached twice (symbolic links, repeated folders) is searched once; a file
// reached twice is listed once.
std::vector<std::string> ListPluginFiles(const std::vector<std::string>& vFolders, int nMaxDepth);

// The scanner program's name.
inline constexpr char kScannerName[] = "palvor-vst-scan";

// Where the scanner program is: beside this program's executable, else in
// ../libexec/palvor beside it, else in the installed libexec folder. Empty when none of
// them holds it.
std::string FindScanner();

struct CScanResult {
    bool bOk = false;
    std::string sError;  // why it failed
    CVstPluginInfo info;
    std::vector<std::string> vOutput;  // lines the plug-in printed while it was scanned
};

struct CScanOptions {
    // How long the scan may take before the scanner is killed.
    std::chrono::milliseconds timeout{5000};
    // The scanner program; empty: FindScanner().
    std::string sScanner;
    // When set, the scan stops soon after it becomes true (the scanner is killed).
    const std::atomic<bool>* pCancel = nullptr;
    // Called with the scanner's process id once it runs (for tests that look at it).
    std::function<void(pid_t)> onStarted;
};

// Runs the scanner on one plug-in file and reads its names (effGetEffectName,
// effGetVendorString, effGetProductString), vendor version, channel counts and flags.
// Never touches the plug-in in this process.
CScanResult ScanInChild(const std::string& sPath, const CScanOptions& options);
CScanResult ScanInChild(const std::string& sPath, std::chrono::milliseconds timeout);

// The process-wide memory of files that failed a scan.
bool IsKnownBad(const std::string& sPath);
void RememberBad(const std::string& sPath);
std::vector<std::string> KnownBad();
void ForgetKnownBad();

// How many scanner processes this process has started.
uint64_t ScanChildCount();

// What a scan found about one file, as kept on disk.
struct CScanRecordOnDisk {
    int64_t nSize = 0;
    int64_t nModified = 0;  // nanoseconds since 1970
    bool bOk = false;
    std::string sError;
    CVstPluginInfo info;
};
using CScanCache = std::map<std::string, CScanRecordOnDisk>;  // by path

// The cache file: a missing or unreadable file gives an empty cache (a damaged line is
// skipped); Save writes a new file and renames it into place, false when that fails.
CScanCache LoadScanCache(const std::filesystem::path& file);
bool SaveScanCache(const std::filesystem::path& file, const CScanCache& cache);

// ---- between ScanInChild and the scanner program
namespace ScanWire {
// The scanner's report: fixed size, written once to its standard output.
constexpr uint32_t kMagic = 0x50565331;  // "PVS1"
constexpr int32_t kOk = 1;
constexpr int32_t kFailed = 2;
constexpr size_t kText = 256;
struct CRecord {
    uint32_t nMagic;
    int32_t nStatus;  // kOk or kFailed
    int32_t nVendorVersion;
    int32_t nInputs;
    int32_t nOutputs;
    int32_t nFlags;  // AEffect::flags
    char szName[kText];
    char szVendor[kText];
    char szProduct[kText];
    char szError[kText];
};
}  // namespace ScanWire

}  // namespace DUve::AudioDevice::Vst
