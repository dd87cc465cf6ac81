#include "audio/vst/VstScan.h"

#include <fcntl.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
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
#include <fstream>
#include <mutex>
#include <set>
#include <thread>

#include "audio/vst/VstHost.h"
#include "runtime/RDebugTrace.h"
#include "runtime/RString.h"
#include "runtime/RForeignOutput.h"

extern char** environ;

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
                std::fprintf(OwnStderr(), "vst: plug-in folder %s: %s\n", folder.c_str(), ec.message().c_str());
            return;
        }
        if (!fs::is_directory(real, ec) || !folders.insert(real.string()).second) return;
        std::vector<fs::path> entries;
        fs::directory_iterator it(real, fs::directory_options::skip_permission_denied, ec);
        for (; !ec && it != fs::directory_iterator(); it.increment(ec)) entries.push_back(it->path());
        if (ec) std::fprintf(OwnStderr(), "vst: listing %s: %s\n", real.c_str(), ec.message().c_str());
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

// ======================================================================= the scanner

namespace {

std::string OwnFolder() {
    char szExe[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", szExe, sizeof szExe - 1);
    if (n <= 0) return {};
    return fs::path(std::string(szExe, static_cast<size_t>(n))).parent_path().string();
}

bool IsExecutable(const fs::path& file) {
    std::error_code ec;
    return fs::is_regular_file(file, ec) && access(file.c_str(), X_OK) == 0;
}

// A pipe whose ends are closed on exec; the one end a child needs is moved by the spawn.
struct CPipe {
    int r = -1, w = -1;
    bool Open() {
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0) return false;
        r = fds[0];
        w = fds[1];
        return true;
    }
    static void Close(int& fd) {
        if (fd >= 0) close(fd);
        fd = -1;
    }
    ~CPipe() {
        Close(r);
        Close(w);
    }
};

// Collects what the plug-in prints, line by line, up to a bound.
class COutputLines {
public:
    explicit COutputLines(const std::string& sPath) : m_sName(fs::path(sPath).filename().string()) {}
    void Add(const char* p, size_t n) {
        for (size_t i = 0; i < n; ++i) {
            if (p[i] == '\n') {
                Flush();
            } else if (m_sLine.size() < kMaxLine) {
                m_sLine += p[i];
            }
        }
    }
    void Flush() {
        if (!m_sLine.empty() && m_vLines.size() < kMaxLines) {
            DebugTrace("\nvst scan [%s]: %s", m_sName.c_str(), m_sLine.c_str());
            m_vLines.push_back(std::move(m_sLine));
        }
        m_sLine.clear();
    }
    std::vector<std::string> Take() { return std::move(m_vLines); }

private:
    static constexpr size_t kMaxLine = 1000;
    static constexpr size_t kMaxLines = 200;
    std::string m_sName;
    std::string m_sLine;
    std::vector<std::string> m_vLines;
};

}  // namespace

std::string FindScanner() {
    const std::string sOwn = OwnFolder();
    std::vector<fs::path> candidates;
    if (!sOwn.empty()) {
        candidates.push_back(fs::path(sOwn) / kScannerName);
        candidates.push_back(fs::path(sOwn) / ".." / "libexec" / "palvor" / kScannerName);
    }
#ifdef PALVOR_LIBEXEC_DIR
    candidates.push_back(fs::path(PALVOR_LIBEXEC_DIR) / kScannerName);
#endif
    for (const auto& c : candidates)
        if (IsExecutable(c)) return fs::weakly_canonical(c).string();
    return {};
}

CScanResult ScanInChild(const std::string& sPath, std::chrono::milliseconds timeout) {
    CScanOptions options;
    options.timeout = timeout;
    return ScanInChild(sPath, options);
}

CScanResult ScanInChild(const std::string& sPath, const CScanOptions& options) {
    using CClock = std::chrono::steady_clock;
    CScanResult result;
    const std::string sScanner = options.sScanner.empty() ? FindScanner() : options.sScanner;
    if (sScanner.empty()) {
        result.sError = std::string("the scanner program ") + kScannerName + " was not found beside " +
                        OwnFolder() + " nor in its libexec folder";
        return result;
    }
    CPipe report, output;
    if (!report.Open() || !output.Open()) {
        result.sError = std::string("no pipe: ") + std::strerror(errno);
        return result;
    }
    const int nNull = open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (nNull < 0) {
        result.sError = std::string("no /dev/null: ") + std::strerror(errno);
        return result;
    }
    // The scanner gets /dev/null, the report pipe and the output pipe as 0, 1 and 2, and
    // nothing else: everything of ours is closed on exec or by closefrom.
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attr;
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attr);
    posix_spawn_file_actions_adddup2(&actions, nNull, 0);
    posix_spawn_file_actions_adddup2(&actions, report.w, 1);
    posix_spawn_file_actions_adddup2(&actions, output.w, 2);
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);
    sigset_t none, all;
    sigemptyset(&none);
    sigfillset(&all);
    sigdelset(&all, SIGKILL);
    sigdelset(&all, SIGSTOP);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &all);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    std::string sArg0 = sScanner, sArg1 = sPath;
    char* argv[] = {sArg0.data(), sArg1.data(), nullptr};
    pid_t pid = -1;
    const int nSpawn = posix_spawn(&pid, sScanner.c_str(), &actions, &attr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    close(nNull);
    CPipe::Close(report.w);
    CPipe::Close(output.w);
    if (nSpawn != 0) {
        result.sError = "the scanner " + sScanner + " could not be started: " + std::strerror(nSpawn);
        return result;
    }
    ++g_nScanChildren;
    if (options.onStarted) options.onStarted(pid);

    const auto deadline = CClock::now() + options.timeout;
    ScanWire::CRecord rec;
    std::memset(&rec, 0, sizeof rec);
    size_t nGot = 0;
    bool bTimedOut = false, bCancelled = false, bReaped = false;
    int nStatus = 0;
    COutputLines lines(sPath);
    char buf[4096];
    // Until the report is in (or its pipe closed) and the scanner has ended.
    while (!(report.r < 0 && bReaped)) {
        if (options.pCancel && options.pCancel->load()) {
            bCancelled = true;
            break;
        }
        const auto nLeft = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - CClock::now()).count();
        if (nLeft <= 0) {
            bTimedOut = true;
            break;
        }
        pollfd pfds[2];
        nfds_t nFds = 0;
        if (report.r >= 0) pfds[nFds++] = {report.r, POLLIN, 0};
        if (output.r >= 0) pfds[nFds++] = {output.r, POLLIN, 0};
        // Short waits: the cancel flag and the scanner's end are looked at between them.
        const int r = poll(pfds, nFds, static_cast<int>(std::min<int64_t>(nLeft, 20)));
        if (r < 0 && errno != EINTR) break;
        for (nfds_t i = 0; r > 0 && i < nFds; ++i) {
            if (!pfds[i].revents) continue;
            if (pfds[i].fd == report.r) {
                const ssize_t n = read(report.r, reinterpret_cast<char*>(&rec) + nGot, sizeof rec - nGot);
                if (n > 0) nGot += static_cast<size_t>(n);
                if ((n == 0 || nGot == sizeof rec || (n < 0 && errno != EINTR && errno != EAGAIN)))
                    CPipe::Close(report.r);
            } else {
                const ssize_t n = read(output.r, buf, sizeof buf);
                if (n > 0)
                    lines.Add(buf, static_cast<size_t>(n));
                else if (n == 0 || (errno != EINTR && errno != EAGAIN))
                    CPipe::Close(output.r);
            }
        }
        if (report.r < 0 && !bReaped) {
            const pid_t w = waitpid(pid, &nStatus, WNOHANG);
            if (w == pid || (w < 0 && errno == ECHILD)) bReaped = true;  // ECHILD: someone else reaped it
        }
    }
    if (!bReaped) {
        kill(pid, SIGKILL);
        while (waitpid(pid, &nStatus, 0) < 0 && errno == EINTR) {
        }
        bReaped = true;
    }
    // What the plug-in printed last; a helper it started may hold the pipe: no waiting.
    if (output.r >= 0) {
        fcntl(output.r, F_SETFL, O_NONBLOCK);
        for (ssize_t n; (n = read(output.r, buf, sizeof buf)) > 0;) lines.Add(buf, static_cast<size_t>(n));
    }
    lines.Flush();
    result.vOutput = lines.Take();

    const bool bRecord = nGot == sizeof rec && rec.nMagic == ScanWire::kMagic;
    if (bRecord && rec.nStatus == ScanWire::kOk) {
        rec.szName[ScanWire::kText - 1] = rec.szVendor[ScanWire::kText - 1] = rec.szProduct[ScanWire::kText - 1] = 0;
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
    } else if (bRecord && rec.nStatus == ScanWire::kFailed) {
        rec.szError[ScanWire::kText - 1] = 0;
        result.sError = rec.szError;
    } else if (bCancelled) {
        result.sError = "scan cancelled";
    } else if (bTimedOut) {
        result.sError = "no answer within " + std::to_string(options.timeout.count()) + " ms; stopped";
    } else if (WIFSIGNALED(nStatus)) {
        result.sError = std::string("crashed (") + strsignal(WTERMSIG(nStatus)) + ")";
    } else if (WIFEXITED(nStatus) && WEXITSTATUS(nStatus) != 0) {
        result.sError = "ended without an answer (exit code " + std::to_string(WEXITSTATUS(nStatus)) + ")";
    } else {
        result.sError = "ended without an answer";
    }
    return result;
}

// ======================================================================= the cache file

namespace {

constexpr char kCacheHeader[] = "palvor-vst-scan-cache 1";

std::string Escape(const std::string& s) {
    std::string out;
    for (const char c : s) {
        if (c == '\\') out += "\\\\";
        else if (c == '\t') out += "\\t";
        else if (c == '\n') out += "\\n";
        else if (c == '\r') out += "\\r";
        else out += c;
    }
    return out;
}

std::string Unescape(const std::string& s) {
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] != '\\' || i + 1 == s.size()) {
            out += s[i];
            continue;
        }
        const char c = s[++i];
        out += c == 't' ? '\t' : c == 'n' ? '\n' : c == 'r' ? '\r' : c;
    }
    return out;
}

std::vector<std::string> SplitTabs(const std::string& sLine) {
    std::vector<std::string> v;
    size_t nStart = 0;
    for (;;) {
        const size_t nTab = sLine.find('\t', nStart);
        v.push_back(Unescape(sLine.substr(nStart, nTab == std::string::npos ? std::string::npos : nTab - nStart)));
        if (nTab == std::string::npos) return v;
        nStart = nTab + 1;
    }
}

bool ParseInt(const std::string& s, int64_t& n) {
    if (s.empty()) return false;
    char* pEnd = nullptr;
    errno = 0;
    const long long v = std::strtoll(s.c_str(), &pEnd, 10);
    if (errno || *pEnd) return false;
    n = v;
    return true;
}

}  // namespace

CScanCache LoadScanCache(const fs::path& file) {
    CScanCache cache;
    std::ifstream in(file);
    std::string sLine;
    if (!in || !std::getline(in, sLine) || sLine != kCacheHeader) return cache;
    // path size modified ok name vendor product version inputs outputs flags error
    while (std::getline(in, sLine)) {
        const auto f = SplitTabs(sLine);
        if (f.size() != 12 || f[0].empty()) continue;
        CScanRecordOnDisk r;
        int64_t nOk = 0, nVersion = 0, nInputs = 0, nOutputs = 0, nFlags = 0;
        if (!ParseInt(f[1], r.nSize) || !ParseInt(f[2], r.nModified) || !ParseInt(f[3], nOk) ||
            !ParseInt(f[7], nVersion) || !ParseInt(f[8], nInputs) || !ParseInt(f[9], nOutputs) ||
            !ParseInt(f[10], nFlags))
            continue;
        r.bOk = nOk == 1;
        r.sError = f[11];
        r.info.sPath = Utf8ToUtf16(f[0]);
        r.info.sEffectName = Utf8ToUtf16(f[4]);
        r.info.sVendor = Utf8ToUtf16(f[5]);
        r.info.sProduct = Utf8ToUtf16(f[6]);
        r.info.nVendorVersion = static_cast<int32_t>(nVersion);
        r.info.nInputs = static_cast<int32_t>(nInputs);
        r.info.nOutputs = static_cast<int32_t>(nOutputs);
        r.info.nFlags = static_cast<uint8_t>(nFlags);
        cache[f[0]] = std::move(r);
    }
    return cache;
}

bool SaveScanCache(const fs::path& file, const CScanCache& cache) {
    std::error_code ec;
    if (file.has_parent_path()) fs::create_directories(file.parent_path(), ec);
    const fs::path temp = file.string() + ".new";
    {
        std::ofstream out(temp, std::ios::trunc);
        if (!out) return false;
        out << kCacheHeader << '\n';
        for (const auto& [sPath, r] : cache) {
            const auto& i = r.info;
            out << Escape(sPath) << '\t' << r.nSize << '\t' << r.nModified << '\t' << (r.bOk ? 1 : 0) << '\t'
                << Escape(Utf16ToUtf8(i.sEffectName)) << '\t' << Escape(Utf16ToUtf8(i.sVendor)) << '\t'
                << Escape(Utf16ToUtf8(i.sProduct)) << '\t' << i.nVendorVersion << '\t' << i.nInputs << '\t'
                << i.nOutputs << '\t' << unsigned(i.nFlags) << '\t' << Escape(r.sError) << '\n';
        }
        out.flush();
        if (!out) {
            fs::remove(temp, ec);
            return false;
        }
    }
    fs::rename(temp, file, ec);
    if (!ec) return true;
    fs::remove(temp, ec);
    return false;
}

}  // namespace DUve::AudioDevice::Vst
