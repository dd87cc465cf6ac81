// The text rules of the one libcurl set-up: prefixes (URL schemes, header names) match
// without regard to the case of ASCII letters only, and the redirects a request may follow.
#include "App/Http.h"

#include <gtest/gtest.h>

#include <string>

using namespace DUve;

TEST(Http, PrefixesMatchWithoutRegardToCase) {
    const struct {
        std::string text, prefix;
        bool match;
    } cases[] = {
        {"Content-Length: 5", "content-length:", true},  {"CONTENT-LENGTH:5", "content-length:", true},
        {"content-length:", "Content-Length:", true},    {"content-lengt", "content-length:", false},
        {"content-type: 5", "content-length:", false},   {"HTTPS://host/", "https://", true},
        {"anything", "", true},                          {"[x", "{x", false},  // not a letter: as it is
        {"\xC4x", "\xE4x", false},                       {"@x", "`x", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(StartsWithNoCase(c.text, c.prefix), c.match) << c.text << " / " << c.prefix;
}

TEST(Http, RedirectsOfAnHttpsRequestStayOnHttps) {
    const struct {
        const char* url;
        const char* redirects;  // nullptr: refused
    } cases[] = {
        {"https://palvor.example/palvor", "https"}, {"HTTPS://palvor.example/", "https"},
        {"http://127.0.0.1:8080/palvor", "http,https"}, {"Http://host/", "http,https"},
        {"ftp://host/file", nullptr}, {"http:/host", nullptr}, {"file:///etc/passwd", nullptr}, {"", nullptr},
    };
    for (const auto& c : cases) {
        const char* got = RedirectProtocols(c.url);
        EXPECT_EQ(got ? std::string(got) : "(refused)", c.redirects ? c.redirects : "(refused)") << c.url;
    }
}
