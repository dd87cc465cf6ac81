// Client of the web site's API: asks whether a connecting visitor may use a solution
// ("IsAcceptableUser") and tells the site the server is alive ("KeepAlive"). Also builds
// the site's fixed addresses (front-end page, API script, update archive) from the site root.
// Calls are synchronous and bounded by connect and total time-outs; they never throw.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#ifndef PALVOR_SITE_ROOT
#define PALVOR_SITE_ROOT "https://palvor.example/palvor"
#endif

namespace DUve {

// The outcome of one GET. nStatus is 0 when no complete response was obtained (no
// connection, time-out, transfer error, body over the size limit); vBody is filled only
// for status 200.
struct CHttpResult {
    long nStatus = 0;
    std::vector<uint8_t> vBody;
};

// Time-outs of every web API call, in milliseconds (a value <= 0 takes the default), and
// the CA bundle that verifies the site (empty: the system's).
struct CWebApiOptions {
    CWebApiOptions(long connectTimeoutMs = 5000, long totalTimeoutMs = 10000,
                   std::string caBundle = {})
        : nConnectTimeoutMs(connectTimeoutMs),
          nTotalTimeoutMs(totalTimeoutMs),
          caFile(std::move(caBundle)) {}
    long nConnectTimeoutMs;
    long nTotalTimeoutMs;
    std::string caFile;
};

class CRWebApi {
public:
    // Largest body accepted; a longer reply counts as no response.
    static constexpr size_t kMaxBodyBytes = 1024 * 1024;

    // Trailing '/' characters of siteRoot are dropped.
    explicit CRWebApi(std::string siteRoot = PALVOR_SITE_ROOT, CWebApiOptions options = {});

    const std::string& SiteRoot() const { return m_sSiteRoot; }
    const CWebApiOptions& Options() const { return m_options; }

    std::string ApiAddress() const;            // site root + "/modules/palvorxp/api.php"
    std::string FrontPageAddress() const;      // the site root itself
    std::string UpdateArchiveAddress() const;  // site root + "/palvorserver-linux.zip"

    // Plain GET of url (http or https only, certificates verified, at most a few redirects,
    // never from https to http; see App/Http.h).
    CHttpResult HttpGet(const std::string& url) const;

    // The body of a GET being transferred: kept only for status 200, capped.
    struct CTransfer {
        void* pCurl = nullptr;  // the CURL easy handle
        std::vector<uint8_t> vBody;
        bool bOverflow = false;
    };
    // A new easy handle set up for a GET of `url` with this client's options, writing into
    // `transfer` (which must outlive it); null when it cannot be set up. The caller
    // performs it (alone or in a multi handle) and cleans it up.
    void* PrepareGet(const std::string& url, CTransfer& transfer) const;
    // The result of a finished transfer (its curl code and the status of its handle).
    static CHttpResult ResultOf(int curlCode, CTransfer& transfer);

    std::string AcceptableUserAddress(int32_t visitorId, uint32_t solutionId,
                                      const std::u16string& token) const;
    std::string KeepAliveAddress() const;

    // True only when the site answers status 200 with a JSON object whose member
    // "acceptable" reads as boolean true. Every failure refuses.
    bool IsAcceptableUser(int32_t visitorId, uint32_t solutionId,
                          const std::u16string& token) const;

    // Tells the site the server is alive; the reply is not read.
    void KeepAlive() const;

private:
    std::string m_sSiteRoot;
    CWebApiOptions m_options;
};

// The admission decision on an IsAcceptableUser reply (status and body as HttpGet gave them).
bool IsAcceptableReply(long status, const std::vector<uint8_t>& body);

// Percent-encodes every byte except the unreserved characters A-Z a-z 0-9 - . _ ~
// (upper-case hex digits), so the text stays one query value whatever it holds.
std::string UrlEncode(const std::string& text);

}  // namespace DUve
