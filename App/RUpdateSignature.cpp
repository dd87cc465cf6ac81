#include "App/RUpdateSignature.h"

#include <fcntl.h>
#include <sodium.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>

namespace DUve {

namespace {

constexpr char kMagic[8] = {'P', 'V', 'U', 'P', 'D', 'S', 'I', 'G'};

void Put(std::vector<uint8_t>& out, uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

uint64_t Get(std::span<const uint8_t> in, size_t at, int bytes) {
    uint64_t value = 0;
    for (int i = 0; i < bytes; ++i) value |= uint64_t{in[at + static_cast<size_t>(i)]} << (8 * i);
    return value;
}

std::array<uint8_t, 64> Sha512(std::span<const uint8_t> content) {
    std::array<uint8_t, 64> hash{};
    crypto_hash_sha512_state state;
    crypto_hash_sha512_init(&state);
    crypto_hash_sha512_update(&state, content.data(), content.size());
    crypto_hash_sha512_final(&state, hash.data());
    return hash;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

bool SodiumReady() {
    static const bool ready = sodium_init() >= 0;
    return ready;
}

std::optional<CUpdateSignature> ParseUpdateSignature(std::span<const uint8_t> entry) {
    if (entry.size() != CUpdateSignature::kSize) return std::nullopt;
    if (!std::equal(std::begin(kMagic), std::end(kMagic), entry.begin())) return std::nullopt;
    if (Get(entry, 8, 4) != CUpdateSignature::kVersion) return std::nullopt;
    CUpdateSignature s;
    s.nBuildStamp = Get(entry, 12, 8);
    s.nContentSize = Get(entry, 20, 8);
    std::copy_n(entry.begin() + 28, 64, s.vSha512.begin());
    std::copy_n(entry.begin() + CUpdateSignature::kSignedSize, 64, s.vSignature.begin());
    return s;
}

std::optional<CUpdateSignature> VerifyUpdateSignature(std::span<const uint8_t> entry,
                                                      const CUpdatePublicKey& key) {
    auto signature = ParseUpdateSignature(entry);
    if (!signature || !SodiumReady()) return std::nullopt;
    if (crypto_sign_verify_detached(signature->vSignature.data(), entry.data(),
                                    CUpdateSignature::kSignedSize, key.data()) != 0)
        return std::nullopt;
    return signature;
}

bool SignatureCovers(const CUpdateSignature& signature, std::span<const uint8_t> content) {
    return SodiumReady() && content.size() == signature.nContentSize &&
           Sha512(content) == signature.vSha512;
}

std::vector<uint8_t> SignUpdate(const CUpdateSecretKey& key, uint64_t buildStamp,
                                std::span<const uint8_t> content) {
    if (!SodiumReady()) return {};
    std::vector<uint8_t> entry(std::begin(kMagic), std::end(kMagic));
    Put(entry, CUpdateSignature::kVersion, 4);
    Put(entry, buildStamp, 8);
    Put(entry, content.size(), 8);
    const auto hash = Sha512(content);
    entry.insert(entry.end(), hash.begin(), hash.end());
    std::array<uint8_t, crypto_sign_PUBLICKEYBYTES> pk{};
    std::array<uint8_t, crypto_sign_SECRETKEYBYTES> sk{};
    crypto_sign_seed_keypair(pk.data(), sk.data(), key.data());
    entry.resize(CUpdateSignature::kSize);
    crypto_sign_detached(entry.data() + CUpdateSignature::kSignedSize, nullptr, entry.data(),
                         CUpdateSignature::kSignedSize, sk.data());
    sodium_memzero(sk.data(), sk.size());
    return entry;
}

CUpdatePublicKey PublicKeyOf(const CUpdateSecretKey& key) {
    CUpdatePublicKey pk{};
    std::array<uint8_t, crypto_sign_SECRETKEYBYTES> sk{};
    if (SodiumReady()) crypto_sign_seed_keypair(pk.data(), sk.data(), key.data());
    sodium_memzero(sk.data(), sk.size());
    return pk;
}

CUpdateSecretKey NewSecretKey() {
    CUpdateSecretKey key{};
    if (SodiumReady()) randombytes_buf(key.data(), key.size());
    return key;
}

std::optional<CUpdateSecretKey> ReadSecretKeyFile(const std::filesystem::path& file,
                                                  std::string& error) {
    std::ifstream in(file);
    if (!in) {
        error = "cannot read " + file.string();
        return std::nullopt;
    }
    std::string line;
    while (std::getline(in, line)) {
        while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
        if (line.empty() || line[0] == '#') continue;
        const auto bytes = FromHex(line);
        if (!bytes || bytes->size() != CUpdateSecretKey{}.size()) break;
        CUpdateSecretKey key{};
        std::copy(bytes->begin(), bytes->end(), key.begin());
        return key;
    }
    error = file.string() + " holds no key (64 hex digits after the comment lines)";
    return std::nullopt;
}

bool WriteSecretKeyFile(const std::filesystem::path& file, const CUpdateSecretKey& key,
                        std::string& error) {
    const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) {
        error = "cannot create " + file.string() + ": " + std::strerror(errno);
        return false;
    }
    const std::string text =
        "# PalvorServer update signing key (secret). Every palvorserver built with its public\n"
        "# key installs what it signs: keep it out of the repository and off shared machines.\n" +
        ToHex(key) + "\n";
    const bool written = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    const bool closed = ::close(fd) == 0;
    if (!written || !closed) {
        error = "cannot write " + file.string() + ": " + std::strerror(errno);
        ::unlink(file.c_str());
        return false;
    }
    return true;
}

std::string ToHex(std::span<const uint8_t> bytes) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string out;
    for (const uint8_t b : bytes) {
        out += kDigits[b >> 4];
        out += kDigits[b & 0x0F];
    }
    return out;
}

std::optional<std::vector<uint8_t>> FromHex(std::string_view text) {
    if (text.size() % 2) return std::nullopt;
    std::vector<uint8_t> out;
    for (size_t i = 0; i < text.size(); i += 2) {
        const int hi = HexDigit(text[i]);
        const int lo = HexDigit(text[i + 1]);
        if (hi < 0 || lo < 0) return std::nullopt;
        out.push_back(static_cast<uint8_t>(hi << 4 | lo));
    }
    return out;
}

}  // namespace DUve
