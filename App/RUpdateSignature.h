// What makes an update archive trustworthy: a signature entry beside the executable,
// "<executable>.sig", made with the release's Ed25519 key (libsodium). Its 156 bytes,
// integers little-endian:
//    0   8  "PVUPDSIG"
//    8   4  format version, 1
//   12   8  build stamp of the signed build (seconds since 1970-01-01 UTC, taken when the
//           build was configured)
//   20   8  size of the executable in bytes
//   28  64  SHA-512 of the executable
//   92  64  Ed25519 signature of bytes 0-91
// The program carries the public key and its own build stamp (App/UpdateIdentity.h); it
// installs an archive's executable only when the signature verifies against that key, the
// executable matches the signed size and hash, and the signed stamp is newer than its own.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace DUve {

using CUpdatePublicKey = std::array<uint8_t, 32>;
using CUpdateSecretKey = std::array<uint8_t, 32>;  // the Ed25519 seed

struct CUpdateSignature {
    static constexpr size_t kSize = 156;
    static constexpr size_t kSignedSize = 92;
    static constexpr uint32_t kVersion = 1;
    static constexpr uint64_t kMaxEntryBytes = 4096;  // a larger ".sig" entry is not read

    uint64_t nBuildStamp = 0;
    uint64_t nContentSize = 0;
    std::array<uint8_t, 64> vSha512{};
    std::array<uint8_t, 64> vSignature{};
};

// libsodium set up once per process; false when it cannot be (nothing verifies then).
bool SodiumReady();

// The fields of a signature entry; nothing unless it has the size, magic and version above.
// Says nothing about who signed it.
std::optional<CUpdateSignature> ParseUpdateSignature(std::span<const uint8_t> entry);

// The entry's fields when it is well formed and its Ed25519 signature verifies against key.
std::optional<CUpdateSignature> VerifyUpdateSignature(std::span<const uint8_t> entry,
                                                      const CUpdatePublicKey& key);

// True when content has the size and SHA-512 that the signature vouches for.
bool SignatureCovers(const CUpdateSignature& signature, std::span<const uint8_t> content);

// The signature entry for content as the build stamped buildStamp.
std::vector<uint8_t> SignUpdate(const CUpdateSecretKey& key, uint64_t buildStamp,
                                std::span<const uint8_t> content);

CUpdatePublicKey PublicKeyOf(const CUpdateSecretKey& key);
CUpdateSecretKey NewSecretKey();

// A key file: lines starting with '#' and blank lines, then the seed as 64 hex digits.
// Reading fails (with the reason in `error`) on anything else.
std::optional<CUpdateSecretKey> ReadSecretKeyFile(const std::filesystem::path& file,
                                                  std::string& error);
// Creates the file with mode 0600; fails when it already exists.
bool WriteSecretKeyFile(const std::filesystem::path& file, const CUpdateSecretKey& key,
                        std::string& error);

std::string ToHex(std::span<const uint8_t> bytes);
// Nothing unless text is an even number of hex digits.
std::optional<std::vector<uint8_t>> FromHex(std::string_view text);

}  // namespace DUve
