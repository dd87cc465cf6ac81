#include "App/Http.h"

#include <cstdio>

#include "runtime/RForeignOutput.h"

namespace DUve {

namespace {

char Lower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

void LogError(const std::string& text) {
    std::fprintf(OwnStderr(), "palvorserver: %s\n", text.c_str());
}

}  // namespace

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
    if (text.size() < prefix.size()) return false;
    for (size_t i = 0; i < prefix.size(); ++i)
        if (Lower(text[i]) != Lower(prefix[i])) return false;
    return true;
}

bool CurlReady() {
    static const bool ready = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
    return ready;
}

const char* RedirectProtocols(std::string_view url) {
    if (StartsWithNoCase(url, "https://")) return "https";
    if (StartsWithNoCase(url, "http://")) return "http,https";
    return nullptr;
}

bool SetUpGet(CURL* curl, const std::string& url, const CHttpSettings& settings) {
    const char* redirects = RedirectProtocols(url);
    if (!redirects) {
        LogError("not an http(s) address: " + url);
        return false;
    }
    bool ok = curl_easy_setopt(curl, CURLOPT_URL, url.c_str()) == CURLE_OK;
#if LIBCURL_VERSION_NUM >= 0x075500
    ok = ok && curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https") == CURLE_OK;
    ok = ok && curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, redirects) == CURLE_OK;
#else
    const long https = CURLPROTO_HTTPS;
    const long both = CURLPROTO_HTTP | CURLPROTO_HTTPS;
    ok = ok && curl_easy_setopt(curl, CURLOPT_PROTOCOLS, both) == CURLE_OK;
    ok = ok && curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS,
                                redirects[4] == 's' ? https : both) == CURLE_OK;
#endif
    ok = ok && curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 1L) == CURLE_OK;
    ok = ok && curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 2L) == CURLE_OK;
    if (!settings.caFile.empty())
        ok = ok && curl_easy_setopt(curl, CURLOPT_CAINFO, settings.caFile.c_str()) == CURLE_OK;
    ok = ok && curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, settings.nConnectTimeoutMs) ==
                   CURLE_OK;
    ok = ok && curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, settings.nTotalTimeoutMs) == CURLE_OK;
    ok = ok && curl_easy_setopt(curl, CURLOPT_MAXREDIRS, settings.nMaxRedirects) == CURLE_OK;
    if (!ok) {
        LogError("libcurl refused the request's safety options for " + url);
        return false;
    }
    curl_easy_setopt(curl, CURLOPT_HTTPGET, 1L);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(curl, CURLOPT_USERAGENT, kHttpUserAgent);
    return true;
}

}  // namespace DUve
