#include "App/RZip.h"

#include <curl/curl.h>
#include <zlib.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <exception>
#include <string_view>
#include <utility>

#include "App/Http.h"
#include "runtime/RForeignOutput.h"

namespace DUve {

namespace {

// Body bytes of redirect replies that are skipped before a download gives up.
constexpr uint64_t kMaxSkippedBytes = 1024 * 1024;
constexpr long kReadPiece = 8192;
constexpr size_t kInflateBuffer = 4096;
// Rounds in a row in which zlib could make no progress (Z_BUF_ERROR) that are tolerated.
constexpr int kMaxBufErrors = 4;

void LogError(const std::string& text) {
    std::fprintf(OwnStderr(), "updater: %s\n", text.c_str());
}

// A decimal Content-Length value; nothing when it is not a plain number that fits.
std::optional<uint64_t> ParseLength(std::string_view value) {
    while (!value.empty() && (value.front() == ' ' || value.front() == '\t'))
        value.remove_prefix(1);
    while (!value.empty() && (value.back() == '\r' || value.back() == '\n' || value.back() == ' ' ||
                              value.back() == '\t'))
        value.remove_suffix(1);
    if (value.empty()) return std::nullopt;
    uint64_t n = 0;
    for (const char c : value) {
        if (c < '0' || c > '9') return std::nullopt;
        const uint64_t digit = static_cast<uint64_t>(c - '0');
        if (n > (kUnknownLength - 1 - digit) / 10) return std::nullopt;
        n = n * 10 + digit;
    }
    return n;
}

struct CDownload {
    CURL* pCurl = nullptr;
    const ProgressHandler* pHandler = nullptr;
    uint64_t nMaxBytes = 0;
    std::vector<uint8_t> vBytes;
    uint64_t nLength = kUnknownLength;
    uint64_t nSkipped = 0;
    bool bInBody = false;   // reading the body of the final 2xx reply
    bool bStopped = false;  // the handler asked to stop
    bool bFailed = false;   // the body passed the cap, or could not be stored
};

long Status(CURL* curl) {
    long status = 0;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    return status;
}

// Asks the progress handler whether to go on; a handler that throws stops the download.
bool GoOn(CDownload& d) {
    if (!d.pHandler || !*d.pHandler) return true;
    try {
        return (*d.pHandler)(d.vBytes, d.nLength);
    } catch (const std::exception& e) {
        LogError(std::string("download handler failed: ") + e.what());
    }
    return false;
}

size_t OnHeader(char* data, size_t size, size_t count, void* user) {
    auto& d = *static_cast<CDownload*>(user);
    const size_t bytes = size * count;
    const std::string_view line(data, bytes);
    if (line.starts_with("HTTP/")) {  // a new reply begins (interim, redirect or final)
        d.bInBody = false;
        d.nLength = kUnknownLength;
        return bytes;
    }
    if (StartsWithNoCase(line, "content-length:")) {
        d.nLength = ParseLength(line.substr(15)).value_or(kUnknownLength);
        return bytes;
    }
    if (line != "\r\n" && line != "\n") return bytes;
    const long status = Status(d.pCurl);
    if (status < 200 || (status >= 300 && status < 400)) return bytes;  // another reply follows
    if (status >= 400) return 0;                                        // refused: read no body
    d.bInBody = true;
    if (!GoOn(d)) {
        d.bStopped = true;
        return 0;
    }
    return bytes;
}

size_t OnBody(char* data, size_t size, size_t count, void* user) {
    auto& d = *static_cast<CDownload*>(user);
    const size_t bytes = size * count;
    if (!d.bInBody) {  // the body of a redirect on the way to the final reply
        d.nSkipped += bytes;
        return d.nSkipped > kMaxSkippedBytes ? 0 : bytes;
    }
    if (bytes > d.nMaxBytes - d.vBytes.size()) {
        d.bFailed = true;
        return 0;
    }
    try {
        d.vBytes.insert(d.vBytes.end(), data, data + bytes);
    } catch (const std::exception& e) {
        LogError(std::string("cannot keep downloaded bytes: ") + e.what());
        d.bFailed = true;
        return 0;
    }
    if (!GoOn(d)) {
        d.bStopped = true;
        return 0;
    }
    return bytes;
}

class CReader {
public:
    explicit CReader(std::span<const uint8_t> bytes) : m_bytes(bytes) {}
    size_t Left() const { return m_bytes.size() - m_pos; }
    uint16_t U16() {
        const uint16_t v = static_cast<uint16_t>(m_bytes[m_pos] | (m_bytes[m_pos + 1] << 8));
        m_pos += 2;
        return v;
    }
    uint32_t U32() {
        const uint32_t v = static_cast<uint32_t>(m_bytes[m_pos]) |
                           (static_cast<uint32_t>(m_bytes[m_pos + 1]) << 8) |
                           (static_cast<uint32_t>(m_bytes[m_pos + 2]) << 16) |
                           (static_cast<uint32_t>(m_bytes[m_pos + 3]) << 24);
        m_pos += 4;
        return v;
    }
    std::span<const uint8_t> Take(size_t n) {
        const auto part = m_bytes.subspan(m_pos, n);
        m_pos += n;
        return part;
    }

private:
    std::span<const uint8_t> m_bytes;
    size_t m_pos = 0;
};

std::string ToString(std::span<const uint8_t> bytes) {
    return std::string(bytes.begin(), bytes.end());
}

std::vector<uint8_t> ToVector(std::span<const uint8_t> bytes) {
    return std::vector<uint8_t>(bytes.begin(), bytes.end());
}

std::string RangeFrom(unsigned long long start) {
    char text[48];
    std::snprintf(text, sizeof text, "Range:bytes=%llu-", start);
    return text;
}

// A handler that reads the whole reply but stops once it holds more than `expected` bytes.
ProgressHandler AtMost(uint64_t expected) {
    return [expected](const std::vector<uint8_t>& received, uint64_t) {
        return received.size() <= expected;
    };
}

}  // namespace

std::vector<uint8_t> HttpDownload(const ProgressHandler& handler, const std::string& header,
                                  const std::string& url, const std::string& user,
                                  const std::string& password, const CHttpOptions& options) {
    if (!CurlReady()) {
        LogError("libcurl could not be initialised");
        return {};
    }
    CURL* curl = curl_easy_init();
    if (!curl) {
        LogError("libcurl handle could not be created");
        return {};
    }
    curl_slist* headers = nullptr;
    CDownload d;
    d.pCurl = curl;
    d.pHandler = &handler;
    d.nMaxBytes = options.nMaxBytes;
    CHttpSettings settings;
    settings.caFile = options.caFile;
    settings.nConnectTimeoutMs = options.nConnectTimeoutMs;
    settings.nTotalTimeoutMs = options.nTotalTimeoutMs;
    bool ok = SetUpGet(curl, url, settings);
    if (ok && !header.empty()) {
        headers = curl_slist_append(nullptr, header.c_str());
        ok = headers && curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers) == CURLE_OK;
    }
    if (ok && !user.empty()) ok = curl_easy_setopt(curl, CURLOPT_USERNAME, user.c_str()) == CURLE_OK;
    if (ok && !password.empty())
        ok = curl_easy_setopt(curl, CURLOPT_PASSWORD, password.c_str()) == CURLE_OK;
    CURLcode rc = CURLE_FAILED_INIT;
    if (ok) {
        curl_easy_setopt(curl, CURLOPT_BUFFERSIZE, kReadPiece);
        curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, &OnHeader);
        curl_easy_setopt(curl, CURLOPT_HEADERDATA, &d);
        curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &OnBody);
        curl_easy_setopt(curl, CURLOPT_WRITEDATA, &d);
        rc = curl_easy_perform(curl);
    }
    const long status = Status(curl);
    curl_slist_free_all(headers);
    curl_easy_cleanup(curl);

    if (d.bFailed) {
        LogError("reply from " + url + " passed the size limit; abandoned");
        return {};
    }
    if (!d.bInBody) {
        if (rc != CURLE_OK && status == 0)
            LogError("GET " + url + " failed: " + curl_easy_strerror(rc));
        else
            LogError("GET " + url + " answered status " + std::to_string(status));
        return {};
    }
    if (rc == CURLE_OK)
        GoOn(d);  // the body has ended: the handler sees it once more, its answer aside
    else if (!d.bStopped)
        LogError("GET " + url + " ended early: " + curl_easy_strerror(rc));
    return std::move(d.vBytes);
}

std::string CRZip::CDirEntry::NameUtf8() const {
    if (nFlags & kFlagUtf8Name) return sName;
    std::string out;
    for (const char ch : sName) {
        const auto c = static_cast<unsigned char>(ch);
        if (c < 0x80) {
            out += ch;
        } else {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

uint64_t CRZip::ReadArchiveSize(const std::string& url) const {
    uint64_t size = 0;
    HttpDownload(
        [&size](const std::vector<uint8_t>&, uint64_t length) {
            size = length;
            return false;
        },
        "", url, "", "", m_http);
    return size;
}

CRZip::CEndRecord CRZip::ReadEndRecord(const std::string& url, uint64_t archiveSize) const {
    if (archiveSize <= kEndRecordSize || archiveSize == kUnknownLength) return {};
    const auto bytes = HttpDownload(AtMost(kEndRecordSize), RangeFrom(archiveSize - kEndRecordSize),
                                    url, "", "", m_http);
    if (bytes.size() != kEndRecordSize) {
        LogError("end record: " + std::to_string(bytes.size()) + " bytes instead of 22");
        return {};
    }
    return ParseEndRecord(bytes);
}

std::vector<CRZip::CDirEntry> CRZip::ReadCentralDirectory(const std::string& url,
                                                          const CEndRecord& end,
                                                          uint64_t archiveSize) const {
    if (end.nDirectoryOffset >= archiveSize || archiveSize == kUnknownLength) return {};
    const uint64_t expected = archiveSize - end.nDirectoryOffset;
    if (expected > kMaxDirectoryBytes) {
        LogError("central directory of " + std::to_string(expected) + " bytes is too large");
        return {};
    }
    const auto bytes =
        HttpDownload(AtMost(expected), RangeFrom(end.nDirectoryOffset), url, "", "", m_http);
    if (bytes.size() != expected) {
        LogError("central directory: " + std::to_string(bytes.size()) + " bytes instead of " +
                 std::to_string(expected));
        return {};
    }
    return ParseCentralDirectory(bytes, end.nEntriesOnDisk);
}

std::optional<CRZip::CFileInfo> CRZip::ReadFileInfo(const std::string& url, uint32_t offset,
                                                    uint64_t maxBytes) const {
    std::optional<CFileInfo> info;
    const auto parse = [&info, maxBytes](const std::vector<uint8_t>& received, uint64_t) {
        if (info) return false;
        if (received.size() < kLocalHeaderSize) return true;
        const uint32_t compressedSize = CReader(std::span(received).subspan(18)).U32();
        if (compressedSize > std::min(maxBytes, kMaxEntryBytes)) {
            LogError("entry of " + std::to_string(compressedSize) + " bytes is too large");
            return false;
        }
        info = ParseFileInfo(received);
        return !info;
    };
    char header[32];
    std::snprintf(header, sizeof header, "Range:bytes=%u-", offset);
    HttpDownload(parse, header, url, "", "", m_http);
    return info;
}

CRZip::CEndRecord CRZip::ParseEndRecord(std::span<const uint8_t> bytes) {
    CEndRecord end;
    if (bytes.size() < kEndRecordSize) return end;
    CReader in(bytes);
    end.nSignature = in.U32();
    end.nDisk = in.U16();
    end.nDirectoryDisk = in.U16();
    end.nEntriesOnDisk = in.U16();
    end.nEntriesTotal = in.U16();
    end.nDirectorySize = in.U32();
    end.nDirectoryOffset = in.U32();
    end.nCommentLength = in.U16();
    return end;
}

std::vector<CRZip::CDirEntry> CRZip::ParseCentralDirectory(std::span<const uint8_t> bytes,
                                                           uint32_t count) {
    std::vector<CDirEntry> entries;
    CReader in(bytes);
    for (uint32_t i = 0; i < count && in.Left() >= kDirHeaderSize; ++i) {
        CDirEntry e;
        e.nSignature = in.U32();
        e.nVersionMadeBy = in.U16();
        e.nVersionNeeded = in.U16();
        e.nFlags = in.U16();
        e.nMethod = in.U16();
        e.nTime = in.U16();
        e.nDate = in.U16();
        e.nCrc32 = in.U32();
        e.nCompressedSize = in.U32();
        e.nUncompressedSize = in.U32();
        const uint16_t nameLength = in.U16();
        const uint16_t extraLength = in.U16();
        const uint16_t commentLength = in.U16();
        e.nStartDisk = in.U16();
        e.nInternalAttributes = in.U16();
        e.nExternalAttributes = in.U32();
        e.nLocalHeaderOffset = in.U32();
        if (in.Left() < size_t{nameLength} + extraLength + commentLength) break;
        e.sName = ToString(in.Take(nameLength));
        e.vExtra = ToVector(in.Take(extraLength));
        e.vComment = ToVector(in.Take(commentLength));
        entries.push_back(std::move(e));
    }
    return entries;
}

std::optional<CRZip::CFileInfo> CRZip::ParseFileInfo(std::span<const uint8_t> bytes) {
    if (bytes.size() < kLocalHeaderSize) return std::nullopt;
    CReader in(bytes);
    CFileInfo f;
    f.nSignature = in.U32();
    f.nVersionNeeded = in.U16();
    f.nFlags = in.U16();
    f.nMethod = in.U16();
    f.nTime = in.U16();
    f.nDate = in.U16();
    f.nCrc32 = in.U32();
    f.nCompressedSize = in.U32();
    f.nUncompressedSize = in.U32();
    const uint16_t nameLength = in.U16();
    const uint16_t extraLength = in.U16();
    if (in.Left() < uint64_t{nameLength} + extraLength + f.nCompressedSize) return std::nullopt;
    f.sName = ToString(in.Take(nameLength));
    f.vExtra = ToVector(in.Take(extraLength));
    f.pCompressed =
        std::make_shared<const std::vector<uint8_t>>(ToVector(in.Take(f.nCompressedSize)));
    return f;
}

std::optional<std::vector<uint8_t>> CRZip::Inflate(std::span<const uint8_t> compressed,
                                                   uint64_t maxOutput) {
    z_stream stream{};
    if (inflateInit2(&stream, -MAX_WBITS) != Z_OK) {
        LogError("zlib inflater could not be set up");
        return std::nullopt;
    }
    std::array<uint8_t, kInflateBuffer> input;
    std::array<uint8_t, kInflateBuffer> output;
    std::vector<uint8_t> content;
    size_t consumed = 0;
    int flush = Z_NO_FLUSH;
    int bufErrors = 0;
    bool ok = false;
    try {
        for (;;) {
            if (stream.avail_in == 0) {
                const size_t n = std::min(kInflateBuffer, compressed.size() - consumed);
                std::copy_n(compressed.begin() + static_cast<std::ptrdiff_t>(consumed), n,
                            input.begin());
                consumed += n;
                stream.next_in = input.data();
                stream.avail_in = static_cast<uInt>(n);
                flush = n < kInflateBuffer ? Z_FINISH : Z_NO_FLUSH;
            }
            stream.next_out = output.data();
            stream.avail_out = static_cast<uInt>(output.size());
            const uInt availIn = stream.avail_in;
            const int result = inflate(&stream, flush);
            const size_t produced = output.size() - stream.avail_out;
            if (produced > maxOutput - content.size()) {
                LogError("inflated entry passes the size limit");
                break;
            }
            content.insert(content.end(), output.begin(), output.begin() + produced);
            if (result == Z_STREAM_END) {
                ok = true;
                break;
            }
            // Under Z_FINISH zlib also reports Z_BUF_ERROR when it merely filled the output
            // buffer; only rounds that moved nothing count against the stream.
            const bool moved = produced > 0 || stream.avail_in != availIn;
            if (result == Z_BUF_ERROR && moved) {
                bufErrors = 0;
                continue;
            }
            if (result == Z_BUF_ERROR) {
                if (++bufErrors > kMaxBufErrors) {
                    LogError("deflate stream ends early");
                    break;
                }
                continue;
            }
            bufErrors = 0;
            if (result < Z_OK || result > Z_STREAM_END) {
                LogError("deflate stream is damaged (zlib " + std::to_string(result) + ")");
                break;
            }
        }
    } catch (const std::exception& e) {
        LogError(std::string("inflation failed: ") + e.what());
        ok = false;
    }
    inflateEnd(&stream);
    if (!ok) return std::nullopt;
    return content;
}

std::shared_ptr<const std::vector<uint8_t>> CRZip::GetContent(const CFileInfo& info) {
    if (auto alive = info.wpContent.lock()) return alive;
    std::shared_ptr<const std::vector<uint8_t>> content;
    if (!info.pCompressed || info.pCompressed->empty()) {
        content = std::make_shared<const std::vector<uint8_t>>();
    } else if (info.nMethod == 0) {
        content = info.pCompressed;
    } else {
        auto inflated = Inflate(*info.pCompressed);
        if (!inflated) return nullptr;
        content = std::make_shared<const std::vector<uint8_t>>(std::move(*inflated));
    }
    info.wpContent = content;
    return content;
}

}  // namespace DUve
