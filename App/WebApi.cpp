#include "App/WebApi.h"

#include <curl/curl.h>

// The JSON reader of Boost 1.74 pulls in the old bind header, which asks for this.
#define BOOST_BIND_GLOBAL_PLACEHOLDERS
#include <boost/property_tree/json_parser.hpp>
#include <boost/property_tree/ptree.hpp>
#include <cstdio>
#include <sstream>
#include <utility>

#include "App/Http.h"
#include "runtime/RString.h"
#include "runtime/RForeignOutput.h"

namespace DUve {

namespace {

// The JSON reader recurses once per nesting level; deeper replies are refused unread.
constexpr int kMaxJsonDepth = 64;

using CTransfer = CRWebApi::CTransfer;

// Keeps only the body of a 200 reply (bodies of redirects and errors are dropped unread)
// and stops the transfer once the body would exceed the limit.
size_t WriteBody(char* data, size_t size, size_t count, void* user) {
    auto* transfer = static_cast<CTransfer*>(user);
    const size_t bytes = size * count;
    long status = 0;
    curl_easy_getinfo(static_cast<CURL*>(transfer->pCurl), CURLINFO_RESPONSE_CODE, &status);
    if (status != 200) return bytes;
    if (bytes > CRWebApi::kMaxBodyBytes - transfer->vBody.size()) {
        transfer->bOverflow = true;
        return 0;
    }
    try {
        transfer->vBody.insert(transfer->vBody.end(), data, data + bytes);
    } catch (...) {
        return 0;
    }
    return bytes;
}

// Deepest nesting of arrays and objects in a JSON text, brackets inside strings excluded.
// Stops counting once `limit` is passed.
int JsonDepth(const std::vector<uint8_t>& text, int limit) {
    int depth = 0;
    int deepest = 0;
    bool inString = false;
    bool escaped = false;
    for (const uint8_t c : text) {
        if (inString) {
            if (escaped)
                escaped = false;
            else if (c == '\\')
                escaped = true;
            else if (c == '"')
                inString = false;
        } else if (c == '"') {
            inString = true;
        } else if (c == '[' || c == '{') {
            if (++depth > deepest) deepest = depth;
            if (deepest > limit) break;
        } else if (c == ']' || c == '}') {
            --depth;
        }
    }
    return deepest;
}

long OrDefault(long value, long fallback) {
    return value > 0 ? value : fallback;
}

}  // namespace

std::string UrlEncode(const std::string& text) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size() * 3);
    for (const char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
            c == '-' || c == '.' || c == '_' || c == '~') {
            out += ch;
        } else {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 0x0F];
        }
    }
    return out;
}

bool IsAcceptableReply(long status, const std::vector<uint8_t>& body) {
    if (status != 200 || body.empty()) return false;
    // A verdict is a JSON object, after an optional byte-order mark and blanks. The parser
    // itself would take any three bytes that begin with 0xEF for a byte-order mark.
    size_t i = 0;
    if (body.size() >= 3 && body[0] == 0xEF && body[1] == 0xBB && body[2] == 0xBF) i = 3;
    while (i < body.size() && (body[i] == ' ' || body[i] == '\t' || body[i] == '\r' || body[i] == '\n'))
        ++i;
    if (i == body.size() || body[i] != '{') return false;
    if (JsonDepth(body, kMaxJsonDepth) > kMaxJsonDepth) return false;
    try {
        std::istringstream in(std::string(body.begin(), body.end()));
        boost::property_tree::ptree tree;
        boost::property_tree::read_json(in, tree);
        const auto acceptable = tree.get_optional<bool>("acceptable");
        return acceptable && *acceptable;
    } catch (...) {
        return false;
    }
}

CRWebApi::CRWebApi(std::string siteRoot, CWebApiOptions options)
    : m_sSiteRoot(std::move(siteRoot)), m_options(options) {
    while (!m_sSiteRoot.empty() && m_sSiteRoot.back() == '/') m_sSiteRoot.pop_back();
    const CWebApiOptions defaults;
    m_options.nConnectTimeoutMs =
        OrDefault(m_options.nConnectTimeoutMs, defaults.nConnectTimeoutMs);
    m_options.nTotalTimeoutMs = OrDefault(m_options.nTotalTimeoutMs, defaults.nTotalTimeoutMs);
}

std::string CRWebApi::ApiAddress() const {
    return m_sSiteRoot + "/modules/palvorxp/api.php";
}

std::string CRWebApi::FrontPageAddress() const {
    return m_sSiteRoot;
}

std::string CRWebApi::UpdateArchiveAddress() const {
    return m_sSiteRoot + "/palvorserver-linux.zip";
}

void* CRWebApi::PrepareGet(const std::string& url, CTransfer& transfer) const {
    if (!CurlReady()) return nullptr;
    CURL* curl = curl_easy_init();
    if (!curl) return nullptr;
    transfer.pCurl = curl;
    CHttpSettings settings;
    settings.caFile = m_options.caFile;
    settings.nConnectTimeoutMs = m_options.nConnectTimeoutMs;
    settings.nTotalTimeoutMs = m_options.nTotalTimeoutMs;
    const bool ok = SetUpGet(curl, url, settings);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &WriteBody);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &transfer);
    if (!ok) {
        curl_easy_cleanup(curl);
        transfer.pCurl = nullptr;
        return nullptr;
    }
    return curl;
}

CHttpResult CRWebApi::ResultOf(int curlCode, CTransfer& transfer) {
    CHttpResult result;
    if (curlCode != CURLE_OK || transfer.bOverflow || !transfer.pCurl) return result;
    long status = 0;
    curl_easy_getinfo(static_cast<CURL*>(transfer.pCurl), CURLINFO_RESPONSE_CODE, &status);
    result.nStatus = status;
    if (status == 200) result.vBody = std::move(transfer.vBody);
    return result;
}

CHttpResult CRWebApi::HttpGet(const std::string& url) const {
    CTransfer transfer;
    CURL* curl = static_cast<CURL*>(PrepareGet(url, transfer));
    if (!curl) return {};
    const CURLcode code = curl_easy_perform(curl);
    CHttpResult result = ResultOf(code, transfer);
    curl_easy_cleanup(curl);
    return result;
}

std::string CRWebApi::AcceptableUserAddress(int32_t visitorId, uint32_t solutionId,
                                            const std::u16string& token) const {
    return Format("%s?api=IsAcceptableUser&solutionid=%d&visiterid=%d&token=%s", ApiAddress(),
                  static_cast<int32_t>(solutionId), visitorId, UrlEncode(Utf16ToUtf8(token)));
}

std::string CRWebApi::KeepAliveAddress() const { return Format("%s?api=KeepAlive", ApiAddress()); }

bool CRWebApi::IsAcceptableUser(int32_t visitorId, uint32_t solutionId,
                                const std::u16string& token) const {
    try {
        const CHttpResult reply = HttpGet(AcceptableUserAddress(visitorId, solutionId, token));
        return IsAcceptableReply(reply.nStatus, reply.vBody);
    } catch (const std::exception& e) {
        std::fprintf(OwnStderr(), "palvorserver: IsAcceptableUser failed: %s\n", e.what());
        return false;
    }
}

void CRWebApi::KeepAlive() const {
    try {
        HttpGet(KeepAliveAddress());
    } catch (const std::exception& e) {
        std::fprintf(OwnStderr(), "palvorserver: KeepAlive failed: %s\n", e.what());
    }
}

}  // namespace DUve
