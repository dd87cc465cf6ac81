// The ZIP reader of the self-updater: end record, central directory and one entry, each
// fetched from the web site with an HTTP range request, so the archive is never transferred
// whole. Also the HTTP download the reader stands on.
//
// Everything read from the network is bounded: a reply longer than the caller needs is cut
// off, the directory and an entry are capped, and nothing is allocated on a length the
// archive declares before those bytes have actually arrived.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

namespace DUve {

// The announced length when a reply has no Content-Length header.
inline constexpr uint64_t kUnknownLength = ~uint64_t{0};

// Called with the body bytes received so far and the announced length (kUnknownLength when
// absent). Returning false stops reading; what was received is still the download's result.
// Called once before the first body byte, after every piece of the body, and once more when
// the body ends (that answer no longer matters).
using ProgressHandler =
    std::function<bool(const std::vector<uint8_t>& received, uint64_t contentLength)>;

struct CHttpOptions {
    std::string caFile;  // CA bundle used instead of the system's; empty = system default
    long nConnectTimeoutMs = 5000;
    long nTotalTimeoutMs = 60000;
    // Largest body kept; a longer one is abandoned and the download yields nothing.
    uint64_t nMaxBytes = 512ull * 1024 * 1024;
};

// GET of url, set up as every request of the program is (App/Http.h: certificates always
// verified, never redirected from https to http, user agent "PalvorServer/1.0").
// `header` is one extra request header line, e.g. "Range:bytes=10-".
// Only a 2xx reply yields bytes; transfer errors end the download with what was received.
std::vector<uint8_t> HttpDownload(const ProgressHandler& handler, const std::string& header,
                                  const std::string& url, const std::string& user,
                                  const std::string& password, const CHttpOptions& options = {});

class CRZip {
public:
    static constexpr uint32_t kEndSignature = 0x06054B50;
    static constexpr size_t kEndRecordSize = 22;
    static constexpr size_t kDirHeaderSize = 46;
    static constexpr size_t kLocalHeaderSize = 30;
    static constexpr uint16_t kFlagUtf8Name = 0x0800;
    static constexpr uint16_t kFlagDataDescriptor = 0x0008;
    // Caps on what one archive may make the reader fetch or produce.
    static constexpr uint64_t kMaxDirectoryBytes = 256ull * 1024 * 1024;
    static constexpr uint64_t kMaxEntryBytes = 256ull * 1024 * 1024;

    // End-of-central-directory record; all zero when none was found.
    struct CEndRecord {
        uint32_t nSignature = 0;
        uint16_t nDisk = 0;
        uint16_t nDirectoryDisk = 0;
        uint16_t nEntriesOnDisk = 0;
        uint16_t nEntriesTotal = 0;
        uint32_t nDirectorySize = 0;
        uint32_t nDirectoryOffset = 0;
        uint16_t nCommentLength = 0;
    };

    // One central-directory entry (its signature is not checked).
    struct CDirEntry {
        uint32_t nSignature = 0;
        uint16_t nVersionMadeBy = 0;
        uint16_t nVersionNeeded = 0;
        uint16_t nFlags = 0;
        uint16_t nMethod = 0;
        uint16_t nTime = 0;
        uint16_t nDate = 0;
        uint32_t nCrc32 = 0;
        uint32_t nCompressedSize = 0;
        uint32_t nUncompressedSize = 0;
        uint16_t nStartDisk = 0;
        uint16_t nInternalAttributes = 0;
        uint32_t nExternalAttributes = 0;
        uint32_t nLocalHeaderOffset = 0;
        std::string sName;  // raw bytes as stored; see NameUtf8
        std::vector<uint8_t> vExtra;
        std::vector<uint8_t> vComment;

        // The name as UTF-8: as stored when flag bit 11 is set, else read as Latin-1.
        std::string NameUtf8() const;
    };

    // One file as read from its local header, with its compressed data.
    struct CFileInfo {
        uint32_t nSignature = 0;
        uint16_t nVersionNeeded = 0;
        uint16_t nFlags = 0;
        uint16_t nMethod = 0;
        uint16_t nTime = 0;
        uint16_t nDate = 0;
        uint32_t nCrc32 = 0;
        uint32_t nCompressedSize = 0;
        uint32_t nUncompressedSize = 0;
        std::string sName;
        std::vector<uint8_t> vExtra;
        std::shared_ptr<const std::vector<uint8_t>> pCompressed;
        // The inflated content while someone still holds it, so it is inflated only once.
        mutable std::weak_ptr<const std::vector<uint8_t>> wpContent;
    };

    explicit CRZip(CHttpOptions http = {}) : m_http(std::move(http)) {}

    // The archive's announced length, learned from a GET abandoned before its body;
    // 0 without a 2xx reply, kUnknownLength without a Content-Length.
    uint64_t ReadArchiveSize(const std::string& url) const;
    // The last 22 bytes of an archive of archiveSize bytes; all zero unless exactly those
    // 22 bytes arrived.
    CEndRecord ReadEndRecord(const std::string& url, uint64_t archiveSize) const;
    // The entries of the directory the end record points to; empty unless the reply held
    // exactly the bytes from the directory to the archive's end.
    std::vector<CDirEntry> ReadCentralDirectory(const std::string& url, const CEndRecord& end,
                                                uint64_t archiveSize) const;
    // The local header at offset and its compressed data; the transfer stops as soon as
    // they are complete. Nothing when the reply ends first or the header announces more
    // than maxBytes of compressed data.
    std::optional<CFileInfo> ReadFileInfo(const std::string& url, uint32_t offset,
                                          uint64_t maxBytes = kMaxEntryBytes) const;

    // The file's content: the data itself when stored (method 0), else inflated as a raw
    // deflate stream. Empty data gives empty content; nullptr when inflation fails.
    static std::shared_ptr<const std::vector<uint8_t>> GetContent(const CFileInfo& info);

    // Parsers of bytes already received (all little-endian).
    static CEndRecord ParseEndRecord(std::span<const uint8_t> bytes);
    // Reads up to `count` entries; stops at the first one the data does not hold in full.
    static std::vector<CDirEntry> ParseCentralDirectory(std::span<const uint8_t> bytes,
                                                        uint32_t count);
    // A file whose header, name, extra field and compressed data all lie in `bytes`.
    static std::optional<CFileInfo> ParseFileInfo(std::span<const uint8_t> bytes);
    // Raw deflate (window bits -15) in 4096-byte rounds; nothing on a damaged stream or
    // when the output would pass maxOutput bytes.
    static std::optional<std::vector<uint8_t>> Inflate(std::span<const uint8_t> compressed,
                                                       uint64_t maxOutput = kMaxEntryBytes);

private:
    CHttpOptions m_http;
};

}  // namespace DUve
