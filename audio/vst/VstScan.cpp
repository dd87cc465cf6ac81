#include "audio/vst/VstScan.h"

#include <fcntl.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <set>
#include <thread>

#include "audio/vst/VstHost.h"
#include "runtime/RString.h"

namespace DUve::AudioDevice::Vst {

namespace fs = std::filesystem;

// ======================================================================= folders and files

std::vector<std::string> DefaultPluginFolders() {
    std::vector<std::string> v;
    char szExe[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", szExe, sizeof szExe - 1);
    if (n > 0) v.push_back((fs::path(std::string(szExe, static_cast<size_t>(n))).parent_path() / "VstPlugins").string());
    if (const char* szList = std::getenv("VST_PATH")) {
        const std::string sList = szList;
        size_t nStart = 0;
        while (nStart <= sList.size()) {
            const size_t nColon = std::min(sList.find(':', nStart), sList.size());
            if (nColon > nStart) v.push_back(sList.substr(nStart, nColon - nStart));
            nStart = nColon + 1;
        }
    }
    std::string sHome;
    if (const char* szHome = std::getenv("HOME"); szHome && *szHome) {
        sHome = szHome;
    } else {
        passwd pw{};
        passwd* pResult = nullptr;
        char buf[4096];
        if (getpwuid_r(getuid(), &pw, buf, sizeof buf, &pResult) == 0 && pResult && pResult->pw_dir)
            sHome = pResult->pw_dir;
    }
    if (!sHome.empty()) v.push_back((fs::path(sHome) / ".vst").string());
    v.push_back("/usr/local/lib/vst");
    v.push_back("/usr/lib/vst");
    return v;
}

namespace {

struct CWalk {
    int nMaxDepth;
    std::set<std::string> folders;  // canonical folders already searched
    std::set<std::string> files;    // canonical files already listed
    std::vector<std::string> out;

    void Folder(const fs::path& folder, int nDepth) {
        std::error_code ec;
        const fs::path real = fs::canonical(folder, ec);
        if (ec) {
            if (ec != std::errc::no_such_file_or_directory)
                std::fprintf(stderr, "vst: plug-in folder %s: %s\n", folder.c_str(), ec.message().c_str());
            return;
        }
        if (!fs::is_directory(real, ec) || !folders.insert(real.string()).second) return;
        std::vector<fs::path> entries;
        fs::directory_iterator it(real, fs::directory_options::skip_permission_denied, ec);
        for (; !ec && it != fs::directory_iterator(); it.increment(ec)) entries.push_back(it->path());
        if (ec) std::fprintf(stderr, "vst: listing %s: %s\n", real.c_str(), ec.message().c_str());
        std::sort(entries.begin(), entries.end());
        for (const auto& entry : entries) {
            std::error_code ecEntry;
            const fs::path target = fs::canonical(entry, ecEntry);
            if (ecEntry) continue;  // a dangling link
            if (fs::is_directory(target, ecEntry)) {
                if (nDepth < nMaxDepth) Folder(target, nDepth + 1);
            } else if (entry.extension() == ".so" && fs::is_regular_file(target, ecEntry)) {
                if (files.insert(target.string()).second) out.push_back(target.string());
            }
        }
    }
};

}  // namespace

std::vector<std::string> ListPluginFiles(const std::vector<std::string>& vFolders, int nMaxDepth) {
    CWalk walk{nMaxDepth, {}, {}, {}};
    for (const auto& sFolder : vFolders) walk.Folder(sFolder, 0);
    return std::move(walk.out);
}

// ======================================================================= failures

namespace {

struct CBadFiles {
    std::mutex mutex;
    std::set<std::string> paths;
};

CBadFiles& BadFiles() {
    static CBadFiles bad;
    return bad;
}

std::atomic<uint64_t> g_nScanChildren{0};

}  // namespace

bool IsKnownBad(const std::string& sPath) {
    auto& bad = BadFiles();
    std::lock_guard lock(bad.mutex);
    return bad.paths.count(sPath) != 0;
}

void RememberBad(const std::string& sPath) {
    auto& bad = BadFiles();
    std::lock_guard lock(bad.mutex);
    bad.paths.insert(sPath);
}

std::vector<std::string> KnownBad() {
    auto& bad = BadFiles();
    std::lock_guard lock(bad.mutex);
    return {bad.paths.begin(), bad.paths.end()};
}

void ForgetKnownBad() {
    auto& bad = BadFiles();
    std::lock_guard lock(bad.mutex);
    bad.paths.clear();
}

uint64_t ScanChildCount() { return g_nScanChildren.load(); }

// ======================================================================= the scan child

namespace {

// What the child sends back: fixed size, so that the child needs no allocation.
struct CScanRecord {
    int32_t nStatus;  // kRecordOk or kRecordFailed
    int32_t nVendorVersion;
    int32_t nInputs;
    int32_t nOutputs;
    int32_t nFlags;
    char szName[kNameBufferSize];
    char szVendor[kNameBufferSize];
    char szProduct[kNameBufferSize];
    char szError[kNameBufferSize];
};
constexpr int32_t kRecordOk = 1;
constexpr int32_t kRecordFailed = 2;

void CopyText(char* pDst, size_t nSize, const char* szSrc) noexcept {
    size_t i = 0;
    for (; szSrc && szSrc[i] && i + 1 < nSize; ++i) pDst[i] = szSrc[i];
    pDst[i] = '\0';
}

// Runs in the forked child of a possibly multi-threaded program: only async-signal-safe
// calls, plus dlopen and the plug-in's own code, which is what is being tried.
[[noreturn]] void RunScanChild(const char* szPath, int fd) noexcept {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    signal(SIGPIPE, SIG_IGN);
    // A crashing plug-in ends the child at once, whatever handlers the program installed
    // (a sanitizer's report would only delay the end).
    for (const int nSignal : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT}) signal(nSignal, SIG_DFL);
    const rlimit noCore{0, 0};
    setrlimit(RLIMIT_CORE, &noCore);  // and leaves no core file behind
    CScanRecord rec;
    std::memset(&rec, 0, sizeof rec);
    void* pHandle = nullptr;
    const char* szError = nullptr;
    AEffect* e = OpenEffect(szPath, &pHandle, &szError);
    if (!e) {
        rec.nStatus = kRecordFailed;
        CopyText(rec.szError, sizeof rec.szError, szError);
    } else {
        rec.nStatus = kRecordOk;
        e->dispatcher(e, effGetEffectName, 0, 0, rec.szName, 0.0f);
        e->dispatcher(e, effGetVendorString, 0, 0, rec.szVendor, 0.0f);
        e->dispatcher(e, effGetProductString, 0, 0, rec.szProduct, 0.0f);
        rec.nVendorVersion = static_cast<int32_t>(e->dispatcher(e, effGetVendorVersion, 0, 0, nullptr, 0.0f));
        rec.szName[kNameBufferSize - 1] = rec.szVendor[kNameBufferSize - 1] = rec.szProduct[kNameBufferSize - 1] = 0;
        rec.nInputs = e->numInputs;
        rec.nOutputs = e->numOutputs;
        rec.nFlags = e->flags;
    }
    const char* p = reinterpret_cast<const char*>(&rec);
    size_t nLeft = sizeof rec;
    while (nLeft > 0) {
        const ssize_t n = write(fd, p, nLeft);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        p += n;
        nLeft -= static_cast<size_t>(n);
    }
    // The plug-in is not closed: the process ends here and takes it along.
    _exit(0);
}

}  // namespace

CScanResult ScanInChild(const std::string& sPath, std::chrono::milliseconds timeout) {
    using CClock = std::chrono::steady_clock;
    CScanResult result;
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        result.sError = std::string("no pipe: ") + std::strerror(errno);
        return result;
    }
    const pid_t pid = fork();
    if (pid < 0) {
        result.sError = std::string("no child process: ") + std::strerror(errno);
        close(fds[0]);
        close(fds[1]);
        return result;
    }
    if (pid == 0) {
        close(fds[0]);
        RunScanChild(sPath.c_str(), fds[1]);
    }
    ++g_nScanChildren;
    close(fds[1]);

    const auto deadline = CClock::now() + timeout;
    const auto msLeft = [&] {
        return std::chrono::duration_cast<std::chrono::milliseconds>(deadline - CClock::now()).count();
    };
    CScanRecord rec;
    std::memset(&rec, 0, sizeof rec);
    size_t nGot = 0;
    bool bTimedOut = false;
    while (nGot < sizeof rec) {
        const auto nMs = msLeft();
        if (nMs <= 0) {
            bTimedOut = true;
            break;
        }
        pollfd pfd{fds[0], POLLIN, 0};
        const int r = poll(&pfd, 1, static_cast<int>(std::min<int64_t>(nMs, INT_MAX)));
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) break;
        if (r == 0) {
            bTimedOut = true;
            break;
        }
        const ssize_t n = read(fds[0], reinterpret_cast<char*>(&rec) + nGot, sizeof rec - nGot);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (n <= 0) break;  // the child ended or the pipe failed
        nGot += static_cast<size_t>(n);
    }
    close(fds[0]);

    int nStatus = 0;
    bool bReaped = false;
    bool bGone = false;  // reaped, or reaped by someone else (SIGCHLD ignored): never kill its pid
    while (!bTimedOut) {
        const pid_t w = waitpid(pid, &nStatus, WNOHANG);
        if (w == pid || (w < 0 && errno == ECHILD)) {
            bReaped = w == pid;
            bGone = true;
            break;
        }
        if (w < 0 && errno != EINTR) break;
        if (msLeft() <= 0) {
            bTimedOut = true;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    if (!bGone) {
        kill(pid, SIGKILL);
        while (waitpid(pid, &nStatus, 0) < 0 && errno == EINTR) {
        }
    }

    if (nGot == sizeof rec && rec.nStatus == kRecordOk) {
        result.bOk = true;
        CVstPluginInfo& info = result.info;
        info.sPath = Utf8ToUtf16(sPath);
        info.sEffectName = Utf8ToUtf16(rec.szName);
        info.sVendor = Utf8ToUtf16(rec.szVendor);
        info.sProduct = Utf8ToUtf16(rec.szProduct);
        info.nVendorVersion = rec.nVendorVersion;
        info.nInputs = rec.nInputs;
        info.nOutputs = rec.nOutputs;
        info.nFlags = InterfaceFlags(rec.nFlags);
    } else if (nGot == sizeof rec && rec.nStatus == kRecordFailed) {
        result.sError = rec.szError;
    } else if (bTimedOut) {
        result.sError = "no answer within " + std::to_string(timeout.count()) + " ms; stopped";
    } else if (bReaped && WIFSIGNALED(nStatus)) {
        result.sError = std::string("crashed (") + strsignal(WTERMSIG(nStatus)) + ")";
    } else if (bReaped && WIFEXITED(nStatus)) {
        result.sError = "ended without an answer (exit code " + std::to_string(WEXITSTATUS(nStatus)) + ")";
    } else {
        result.sError = "ended without an answer";
    }
    return result;
}

}  // namespace DUve::AudioDevice::Vst
