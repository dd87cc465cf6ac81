// The self-updater: compares the running executable with its entry in the update archive
// on the web site (read with HTTP range requests) and, when they differ and the archive's
// signature vouches for a newer build (App/RUpdateSignature.h), puts the new build in place
// and restarts it with the same arguments.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "App/RUpdateSignature.h"

namespace DUve {

struct CUpdateOptions {
    std::filesystem::path exePath;  // empty: /proc/self/exe resolved
    std::vector<std::string> args;  // the program's arguments after argv[0]
    // Runs once the new executable is in place, before the restart.
    std::function<void()> beforeRestart;
    // Told "Error : <path> <args...>" when the restart did not happen.
    std::function<void(const std::string& commandLine)> onRestartFailed;
    // Starts the new executable; returns false when it could not. Empty: execv, which
    // replaces this process and so returns only on failure.
    std::function<bool(const std::filesystem::path&, const std::vector<std::string>&)> restart;
    // The key that must have signed the archive, and this build's stamp: only a newer
    // signed build is installed. An all-zero key trusts nothing.
    CUpdatePublicKey publicKey{};
    uint64_t nBuildStamp = 0;
    std::string caFile;  // CA bundle instead of the system's (tests); empty = system default
    long nConnectTimeoutMs = 5000;
    long nTotalTimeoutMs = 60000;
};

// Result codes of CheckForUpdate.
enum : int {
    kUpdateRestarted = 1,       // the new build is in place and was restarted (or failed to)
    kUpdateUpToDate = 0,        // the archive holds this very build
    kUpdateNoArchive = -1,      // site unreachable or archive unusable (no end record)
    kUpdateNoEntry = -2,        // the executable's entry is missing, incomplete or damaged
    kUpdateReplaceFailed = -3,  // the new executable could not be put in place
    kUpdateUntrusted = -4,      // no signature, or one that does not verify or match
    kUpdateOlderBuild = -5,     // signed, but an older build than the running one
};

// The update archive's address under a site root (trailing '/' of the root ignored).
std::string UpdateArchiveUrl(const std::string& siteRoot);

// Compares the executable with its namesake at the archive's root (name compared ignoring
// ASCII case) by CRC-32. When they differ, the archive's "<name>.sig" must verify against
// options.publicKey, carry a build stamp above options.nBuildStamp (the same stamp counts
// as up to date) and match the entry's size and SHA-512; only then is the executable
// replaced (old one kept as "<exe>.bak", file mode kept) and restarted. Nothing is written
// before all of that holds. See the result codes above.
int CheckForUpdate(const std::string& archiveUrl, const CUpdateOptions& options);

// Puts `content` in place of the file at exe: a temporary file in the same folder gets the
// content and exe's mode, the old file becomes "<exe>.bak" (an earlier backup is deleted
// first) and the temporary file is renamed over exe. On failure exe is left as it was and
// no temporary file remains.
bool ReplaceExecutable(const std::filesystem::path& exe, std::span<const uint8_t> content);

// CRC-32 of a file's content; a file that cannot be read counts as empty.
uint32_t FileCrc32(const std::filesystem::path& file);

// "Error : " + path + " " + args joined by single spaces (nothing quoted).
std::string RestartFailureText(const std::filesystem::path& exe,
                               const std::vector<std::string>& args);

}  // namespace DUve
