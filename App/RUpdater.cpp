#include "App/RUpdater.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <fstream>
#include <memory>
#include <optional>
#include <system_error>

#include "App/RZip.h"
#include "runtime/RForeignOutput.h"

namespace DUve {

namespace fs = std::filesystem;

namespace {

void LogError(const std::string& text) {
    std::fprintf(OwnStderr(), "updater: %s\n", text.c_str());
}

std::string ErrnoText() {
    return std::strerror(errno);
}

bool EqualsIgnoringAsciiCase(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        char x = a[i], y = b[i];
        if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
        if (x != y) return false;
    }
    return true;
}

uint32_t Crc32(std::span<const uint8_t> bytes) {
    uLong crc = crc32(0L, Z_NULL, 0);
    while (!bytes.empty()) {
        const size_t n = std::min<size_t>(bytes.size(), 1u << 30);
        crc = crc32(crc, bytes.data(), static_cast<uInt>(n));
        bytes = bytes.subspan(n);
    }
    return static_cast<uint32_t>(crc);
}

bool WriteAll(int fd, std::span<const uint8_t> bytes) {
    while (!bytes.empty()) {
        const ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        bytes = bytes.subspan(static_cast<size_t>(n));
    }
    return true;
}

// Removes the temporary file unless it was renamed into place.
class CTempFile {
public:
    explicit CTempFile(fs::path path) : m_path(std::move(path)) {}
    ~CTempFile() {
        if (!m_path.empty() && ::unlink(m_path.c_str()) != 0)
            LogError("cannot remove " + m_path.string() + ": " + ErrnoText());
    }
    CTempFile(const CTempFile&) = delete;
    CTempFile& operator=(const CTempFile&) = delete;
    void Keep() { m_path.clear(); }

private:
    fs::path m_path;
};

// Deletes a backup left by an earlier update; a read-only one is made writable first.
bool RemoveOldBackup(const fs::path& backup) {
    struct stat st {};
    if (::lstat(backup.c_str(), &st) != 0) {
        if (errno == ENOENT) return true;
        LogError("cannot inspect " + backup.string() + ": " + ErrnoText());
        return false;
    }
    if (S_ISREG(st.st_mode) && !(st.st_mode & S_IWUSR) &&
        ::chmod(backup.c_str(), (st.st_mode & 07777) | S_IWUSR) != 0)
        LogError("cannot make " + backup.string() + " writable: " + ErrnoText());
    if (::unlink(backup.c_str()) != 0) {
        LogError("cannot delete old backup " + backup.string() + ": " + ErrnoText());
        return false;
    }
    return true;
}

// The old executable stays reachable as the backup: a second name for the same file
// where the file system allows, else a copy.
bool MakeBackup(const fs::path& exe, const fs::path& backup) {
    if (::link(exe.c_str(), backup.c_str()) == 0) return true;
    const std::string linkError = ErrnoText();
    std::error_code ec;
    if (fs::copy_file(exe, backup, ec)) return true;
    LogError("cannot back up " + exe.string() + " (link: " + linkError + ", copy: " + ec.message() +
             ")");
    return false;
}

void SyncFolder(const fs::path& folder) {
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0 || ::fsync(fd) != 0)
        LogError("cannot flush folder " + folder.string() + ": " + ErrnoText());
    if (fd >= 0) ::close(fd);
}

bool ExecRestart(const fs::path& exe, const std::vector<std::string>& args) {
    std::vector<std::string> owned;
    owned.reserve(args.size() + 1);
    owned.push_back(exe.string());
    owned.insert(owned.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& arg : owned) argv.push_back(arg.data());
    argv.push_back(nullptr);
    EndForeignOutputCapture();  // the new program gets the real standard streams
    std::fflush(nullptr);
    ::execv(exe.c_str(), argv.data());
    LogError("cannot start " + exe.string() + ": " + ErrnoText());
    return false;
}

fs::path RunningExecutable() {
    std::error_code ec;
    fs::path exe = fs::read_symlink("/proc/self/exe", ec);
    if (ec) LogError("cannot find the running executable: " + ec.message());
    return exe;
}

}  // namespace

std::string UpdateArchiveUrl(const std::string& siteRoot) {
    std::string root = siteRoot;
    while (!root.empty() && root.back() == '/') root.pop_back();
    return root + "/palvorserver-linux.zip";
}

uint32_t FileCrc32(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    uLong crc = crc32(0L, Z_NULL, 0);
    if (!in) return static_cast<uint32_t>(crc);
    std::array<char, 64 * 1024> buffer;
    uLong partial = crc;
    while (in) {
        in.read(buffer.data(), buffer.size());
        const auto n = static_cast<uInt>(in.gcount());
        if (n == 0) break;
        partial = crc32(partial, reinterpret_cast<const Bytef*>(buffer.data()), n);
    }
    // A read error part-way leaves the file unreadable, which counts as empty.
    if (in.bad()) return static_cast<uint32_t>(crc);
    return static_cast<uint32_t>(partial);
}

std::string RestartFailureText(const fs::path& exe, const std::vector<std::string>& args) {
    std::string text = "Error : " + exe.string() + " ";
    for (size_t i = 0; i < args.size(); ++i) {
        if (i > 0) text += ' ';
        text += args[i];
    }
    return text;
}

bool ReplaceExecutable(const fs::path& exe, std::span<const uint8_t> content) {
    struct stat st {};
    if (::stat(exe.c_str(), &st) != 0) {
        LogError("cannot inspect " + exe.string() + ": " + ErrnoText());
        return false;
    }
    const fs::path folder = exe.has_parent_path() ? exe.parent_path() : fs::path(".");
    std::string name = ".";
    name += exe.filename().string();
    name += ".update-XXXXXX";
    std::string pattern = (folder / name).string();
    const int fd = ::mkstemp(pattern.data());
    if (fd < 0) {
        LogError("cannot create a temporary file in " + folder.string() + ": " + ErrnoText());
        return false;
    }
    CTempFile temp{fs::path(pattern)};
    bool written = WriteAll(fd, content);
    // Same owner and mode as the file it replaces; the owner only where we may change it.
    struct stat tempStat {};
    if (written && ::fstat(fd, &tempStat) == 0 &&
        (tempStat.st_uid != st.st_uid || tempStat.st_gid != st.st_gid) &&
        ::fchown(fd, st.st_uid, st.st_gid) != 0)
        LogError("new executable keeps its own owner: " + ErrnoText());
    written = written && ::fchmod(fd, st.st_mode & 07777) == 0 && ::fsync(fd) == 0;
    const std::string writeError = ErrnoText();
    if (::close(fd) != 0) written = false;
    if (!written) {
        LogError("cannot write the new executable to " + pattern + ": " + writeError);
        return false;
    }
    const fs::path backup = exe.string() + ".bak";
    if (!RemoveOldBackup(backup) || !MakeBackup(exe, backup)) return false;
    if (::rename(pattern.c_str(), exe.c_str()) != 0) {
        LogError("cannot move the new executable to " + exe.string() + ": " + ErrnoText());
        return false;
    }
    temp.Keep();
    SyncFolder(folder);
    return true;
}

namespace {

constexpr int kNewBuildFound = 2;

const CRZip::CDirEntry* FindEntry(const std::vector<CRZip::CDirEntry>& entries,
                                  const std::string& name) {
    for (const auto& e : entries)
        if (EqualsIgnoringAsciiCase(e.NameUtf8(), name)) return &e;
    return nullptr;
}

// The archive's signature entry for `target`, verified against the built-in key; nothing
// (with the reason logged) when it is missing, unreadable or not made with that key.
std::optional<CUpdateSignature> ReadSignature(const CRZip& zip, const std::string& archiveUrl,
                                              const std::vector<CRZip::CDirEntry>& entries,
                                              const std::string& target,
                                              const CUpdatePublicKey& key) {
    const std::string name = target + ".sig";
    const CRZip::CDirEntry* entry = FindEntry(entries, name);
    if (!entry) {
        LogError("the archive's " + target + " is not signed (no " + name + "); not installed");
        return std::nullopt;
    }
    if (key == CUpdatePublicKey{}) {
        LogError("this build carries no update key; no archive is installed");
        return std::nullopt;
    }
    const auto info = entry->nCompressedSize <= CUpdateSignature::kMaxEntryBytes
                          ? zip.ReadFileInfo(archiveUrl, entry->nLocalHeaderOffset,
                                             CUpdateSignature::kMaxEntryBytes)
                          : std::nullopt;
    const auto bytes = info ? CRZip::GetContent(*info) : nullptr;
    if (!bytes) {
        LogError("the archive's " + name + " cannot be read; not installed");
        return std::nullopt;
    }
    auto signature = VerifyUpdateSignature(*bytes, key);
    if (!signature)
        LogError("the archive's " + name + " is not a valid signature by this program's update " +
                 "key; not installed");
    return signature;
}

// Steps up to the new build's verified content: kNewBuildFound with `exe` and `content`
// set, or the result code to return.
int FindNewBuild(const std::string& archiveUrl, const CUpdateOptions& options, fs::path& exe,
                 std::shared_ptr<const std::vector<uint8_t>>& content) {
    CHttpOptions http;
    http.caFile = options.caFile;
    http.nConnectTimeoutMs = options.nConnectTimeoutMs;
    http.nTotalTimeoutMs = options.nTotalTimeoutMs;
    const CRZip zip(http);

    const uint64_t archiveSize = zip.ReadArchiveSize(archiveUrl);
    if (archiveSize == kUnknownLength) LogError("the archive's length is not announced");
    const CRZip::CEndRecord end = zip.ReadEndRecord(archiveUrl, archiveSize);
    if (end.nSignature != CRZip::kEndSignature) {
        LogError("no usable update archive at " + archiveUrl);
        return kUpdateNoArchive;
    }

    exe = options.exePath.empty() ? RunningExecutable() : options.exePath;
    const std::string target = exe.filename().string();
    if (target.empty()) return kUpdateNoEntry;
    const auto entries = zip.ReadCentralDirectory(archiveUrl, end, archiveSize);
    const CRZip::CDirEntry* entry = FindEntry(entries, target);
    if (!entry) {
        LogError("the archive holds no " + target + " at its root");
        return kUpdateNoEntry;
    }

    if (FileCrc32(exe) == entry->nCrc32) return kUpdateUpToDate;

    // The signature is checked before the entry is fetched, so an untrusted or older build
    // is never even transferred.
    const auto signature = ReadSignature(zip, archiveUrl, entries, target, options.publicKey);
    if (!signature) return kUpdateUntrusted;
    if (signature->nBuildStamp < options.nBuildStamp) {
        LogError("the archive holds build " + std::to_string(signature->nBuildStamp) +
                 ", older than this build " + std::to_string(options.nBuildStamp) +
                 "; not installed");
        return kUpdateOlderBuild;
    }
    if (signature->nBuildStamp == options.nBuildStamp) {
        LogError("the archive holds this same build (" + std::to_string(options.nBuildStamp) +
                 ") in another form; nothing to install");
        return kUpdateUpToDate;
    }

    const auto info = zip.ReadFileInfo(archiveUrl, entry->nLocalHeaderOffset);
    if (!info) {
        LogError("the archive's " + target + " was not delivered in full");
        return kUpdateNoEntry;
    }
    content = CRZip::GetContent(*info);
    if (!content || content->empty()) {
        LogError("the archive's " + target + " yields no content");
        return kUpdateNoEntry;
    }
    if (content->size() != entry->nUncompressedSize || Crc32(*content) != entry->nCrc32) {
        LogError("the archive's " + target + " does not match its checksum or size");
        return kUpdateNoEntry;
    }
    if (!SignatureCovers(*signature, *content)) {
        LogError("the archive's " + target + " is not the build its signature vouches for; " +
                 "not installed");
        return kUpdateUntrusted;
    }
    return kNewBuildFound;
}

}  // namespace

int CheckForUpdate(const std::string& archiveUrl, const CUpdateOptions& options) {
    fs::path exe;
    std::shared_ptr<const std::vector<uint8_t>> content;
    try {
        const int found = FindNewBuild(archiveUrl, options, exe, content);
        if (found != kNewBuildFound) return found;
    } catch (const std::exception& e) {
        LogError(std::string("update check failed: ") + e.what());
        return kUpdateNoArchive;
    }

    try {
        if (!ReplaceExecutable(exe, *content)) return kUpdateReplaceFailed;
    } catch (const std::exception& e) {
        LogError(std::string("cannot put the new executable in place: ") + e.what());
        return kUpdateReplaceFailed;
    }

    if (options.beforeRestart) options.beforeRestart();
    const bool started =
        options.restart ? options.restart(exe, options.args) : ExecRestart(exe, options.args);
    if (!started) {
        const std::string text = RestartFailureText(exe, options.args);
        LogError(text);
        if (options.onRestartFailed) options.onRestartFailed(text);
    }
    return kUpdateRestarted;
}

}  // namespace DUve
