// The one libcurl set-up behind every request the program makes: the web API (admission
// and keep-alive) and the update archive. Certificates are always verified, only http and
// https are spoken, time-outs bound every transfer, and a redirect never leaves https: a
// request that starts on https follows redirects to https only, one that starts on http
// may go to either.
#pragma once

#include <curl/curl.h>

#include <string>
#include <string_view>

namespace DUve {

inline constexpr const char* kHttpUserAgent = "PalvorServer/1.0";

struct CHttpSettings {
    std::string caFile;  // CA bundle used instead of the system's; empty = system default
    long nConnectTimeoutMs = 5000;
    long nTotalTimeoutMs = 10000;
    long nMaxRedirects = 3;
};

// libcurl's global state, set up once per process whichever thread asks first.
bool CurlReady();

// True when text begins with prefix, ASCII letters compared without regard to case (URL
// schemes, header names).
bool StartsWithNoCase(std::string_view text, std::string_view prefix);

// The protocols a redirect of a request for url may lead to: "https" when url is https,
// "http,https" when it is http; nullptr for any other scheme (such a request is refused).
const char* RedirectProtocols(std::string_view url);

// Sets up `curl` for a GET of url with the rules above, the settings and the program's
// user agent. False (with a line on standard error) when url is not http(s) or an option
// that the rules depend on cannot be set; the handle must not be performed then.
bool SetUpGet(CURL* curl, const std::string& url, const CHttpSettings& settings);

}  // namespace DUve
