// Finding plug-in files and reading their names and capabilities without risking the
// program: every file is opened in a child process that reports over a pipe and is
// killed when it takes too long. Files that crashed, hung or failed to load are
// remembered for the life of the process and not tried again.
#pragma once

#include <chrono>
#include <cstdint>
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

struct CScanResult {
    bool bOk = false;
    std::string sError;  // why it failed
    CVstPluginInfo info;
};

// Opens the plug-in in a forked child, reads its names (effGetEffectName,
// effGetVendorString, effGetProductString), vendor version, channel counts and flags,
// and reports them; kills the child after `timeout`. Never touches the plug-in in this
// process.
CScanResult ScanInChild(const std::string& sPath, std::chrono::milliseconds timeout);

// The process-wide memory of files that failed a scan.
bool IsKnownBad(const std::string& sPath);
void RememberBad(const std::string& sPath);
std::vector<std::string> KnownBad();
void ForgetKnownBad();

// How many scan child processes this process has started.
uint64_t ScanChildCount();

}  // namespace DUve::AudioDevice::Vst
