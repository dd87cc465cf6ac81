#include "App/WebApi.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <boost/asio.hpp>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "runtime/RString.h"
#include "support/HttpStub.h"
#include "support/Spawn.h"
#include "support/TlsStub.h"

using namespace DUve;
using namespace std::chrono_literals;
namespace asio = boost::asio;
using asio::ip::tcp;

namespace {

// Loopback requests must never go through a proxy configured on the test machine.
const bool g_noProxy = [] {
    setenv("NO_PROXY", "127.0.0.1,localhost", 1);
    setenv("no_proxy", "127.0.0.1,localhost", 1);
    return true;
}();

std::vector<uint8_t> Bytes(const std::string& s) {
    return {s.begin(), s.end()};
}

std::string Text(const std::vector<uint8_t>& v) {
    return {v.begin(), v.end()};
}

// %XX -> byte; '+' stays '+' (the client must encode a literal plus itself).
std::optional<std::string> PercentDecode(const std::string& s) {
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] != '%') {
            out += s[i];
            continue;
        }
        if (i + 2 >= s.size()) return std::nullopt;
        const std::string hex = s.substr(i + 1, 2);
        if (hex.size() != 2 || !isxdigit(static_cast<unsigned char>(hex[0])) ||
            !isxdigit(static_cast<unsigned char>(hex[1])))
            return std::nullopt;
        out += static_cast<char>(std::stoi(hex, nullptr, 16));
        i += 2;
    }
    return out;
}

// "GET /path?a=1&b=2 HTTP/1.1" -> {"a=1", "b=2"}
std::vector<std::string> QueryParts(const std::string& requestLine) {
    const size_t q = requestLine.find('?');
    const size_t end = requestLine.rfind(' ');
    std::vector<std::string> parts;
    if (q == std::string::npos || end == std::string::npos || end < q) return parts;
    const std::string query = requestLine.substr(q + 1, end - q - 1);
    size_t start = 0;
    while (true) {
        const size_t amp = query.find('&', start);
        parts.push_back(query.substr(start, amp - start));
        if (amp == std::string::npos) break;
        start = amp + 1;
    }
    return parts;
}

using PalvorTest::CLoopbackHttp;
using CReply = CLoopbackHttp::CReply;

CReply Answer(std::string body, int status = 200, std::chrono::milliseconds delay = 0ms,
              std::string headers = {}) {
    CReply reply;
    reply.nStatus = status;
    reply.sBody = std::move(body);
    reply.delay = delay;
    reply.sHeaders = std::move(headers);
    return reply;
}

CReply Raw(std::string bytes) {
    CReply reply;
    reply.sRaw = std::move(bytes);
    return reply;
}

CReply Silent() {
    CReply reply;
    reply.bNeverAnswer = true;
    return reply;
}

const std::string kAdmit = R"({"acceptable":true})";

template <class F>
std::chrono::milliseconds Elapsed(F&& f) {
    const auto start = std::chrono::steady_clock::now();
    f();
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                 start);
}

uint16_t FreeLoopbackPort() {
    asio::io_context io;
    tcp::acceptor acceptor(io, tcp::endpoint(asio::ip::address_v4::loopback(), 0));
    return acceptor.local_endpoint().port();
}

}  // namespace

// ---------------------------------------------------------------------------------------
// Addresses and options

TEST(WebApiAddress, AllAddressesHangFromTheSiteRoot) {
    const CRWebApi builtIn;
    EXPECT_EQ(builtIn.SiteRoot(), PALVOR_SITE_ROOT);
    EXPECT_EQ(builtIn.FrontPageAddress(), PALVOR_SITE_ROOT);
    EXPECT_EQ(builtIn.ApiAddress(), std::string(PALVOR_SITE_ROOT) + "/modules/palvorxp/api.php");
    EXPECT_EQ(builtIn.UpdateArchiveAddress(),
              std::string(PALVOR_SITE_ROOT) + "/palvorserver-linux.zip");

    const CRWebApi local("http://127.0.0.1:8080/palvor//");
    EXPECT_EQ(local.SiteRoot(), "http://127.0.0.1:8080/palvor");
    EXPECT_EQ(local.FrontPageAddress(), "http://127.0.0.1:8080/palvor");
    EXPECT_EQ(local.ApiAddress(), "http://127.0.0.1:8080/palvor/modules/palvorxp/api.php");
    EXPECT_EQ(local.UpdateArchiveAddress(), "http://127.0.0.1:8080/palvor/palvorserver-linux.zip");
}

TEST(WebApiAddress, TimeOutsDefaultAndNeverTurnUnbounded) {
    EXPECT_EQ(CRWebApi().Options().nConnectTimeoutMs, 5000);
    EXPECT_EQ(CRWebApi().Options().nTotalTimeoutMs, 10000);
    // Zero would mean "wait forever" to the transfer library: it takes the default instead.
    const CRWebApi zero("http://x", CWebApiOptions{0, -1});
    EXPECT_EQ(zero.Options().nConnectTimeoutMs, 5000);
    EXPECT_EQ(zero.Options().nTotalTimeoutMs, 10000);
    const CRWebApi shortOnes("http://x", CWebApiOptions{120, 300});
    EXPECT_EQ(shortOnes.Options().nConnectTimeoutMs, 120);
    EXPECT_EQ(shortOnes.Options().nTotalTimeoutMs, 300);
}

TEST(WebApiAddress, UrlEncodeKeepsOnlyUnreservedCharacters) {
    EXPECT_EQ(UrlEncode("AZaz09-._~"), "AZaz09-._~");
    EXPECT_EQ(UrlEncode("a b&c=d+e/f?g#h%i"), "a%20b%26c%3Dd%2Be%2Ff%3Fg%23h%25i");
    EXPECT_EQ(UrlEncode("\xC3\xBC"), "%C3%BC");
    EXPECT_EQ(UrlEncode(std::string("a\0b", 3)), "a%00b");
    EXPECT_EQ(UrlEncode(""), "");
}

// ---------------------------------------------------------------------------------------
// The decision on a reply

TEST(WebApiReply, AdmitsOnlyStatus200WithAcceptableTrue) {
    struct Case {
        long status;
        std::string body;
        bool admitted;
    };
    const Case cases[] = {
        {200, R"({"acceptable":true})", true},
        {200, R"({"acceptable":1})", true},
        {200, R"({"acceptable":"true"})", true},
        {200, R"({"acceptable":"1"})", true},
        {200, " \n{ \"other\": [1, 2], \"acceptable\" : true }\n", true},
        {200, R"({"acceptable":false})", false},
        {200, R"({"acceptable":0})", false},
        {200, R"({"acceptable":"false"})", false},
        {200, R"({"acceptable":"yes"})", false},
        {200, R"({"acceptable":"TRUE"})", false},
        {200, R"({"acceptable":2})", false},
        {200, R"({"acceptable":1.0})", false},
        {200, R"({"acceptable":null})", false},
        {200, R"({"acceptable":{}})", false},
        {200, R"({"acceptable":[true]})", false},
        {200, R"({"nested":{"acceptable":true}})", false},
        {200, R"({"Acceptable":true})", false},
        {200, R"({})", false},
        {200, R"([{"acceptable":true}])", false},
        {200, "true", false},
        {200, "acceptable=true", false},
        {200, R"({"acceptable":true)", false},
        {200, R"({"acceptable":true} trailing)", false},
        {200, "<html>{\"acceptable\":true}</html>", false},
        {200, "", false},
        {500, R"({"acceptable":true})", false},
        {404, R"({"acceptable":true})", false},
        {0, R"({"acceptable":true})", false},
        {201, R"({"acceptable":true})", false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(IsAcceptableReply(c.status, Bytes(c.body)), c.admitted)
            << "status " << c.status << " body " << c.body;
    }
}

TEST(WebApiReply, HostileBodiesRefuseWithoutCrashing) {
    // Nesting deep enough to exhaust the stack of a recursive reader.
    EXPECT_FALSE(IsAcceptableReply(200, Bytes(std::string(200000, '['))));
    EXPECT_FALSE(IsAcceptableReply(
        200, Bytes("{\"x\":" + std::string(100000, '{') + "}," + kAdmit.substr(1))));
    EXPECT_FALSE(IsAcceptableReply(200, Bytes(std::string("{\"acceptable\":true\0}", 20))));
    EXPECT_FALSE(IsAcceptableReply(200, {0xFF, 0xFE, 0x00, 0x7B}));
    EXPECT_FALSE(IsAcceptableReply(200, Bytes("{\"acceptable\":\"\xC3\x28\"}")));

    // Ordinary nesting and brackets inside strings do not count against the reply.
    const std::string nested = "{\"a\":" + std::string(20, '[') + std::string(20, ']') + "," +
                               "\"s\":\"" + std::string(500, '[') + "\"," + "\"acceptable\":true}";
    EXPECT_TRUE(IsAcceptableReply(200, Bytes(nested)));
    EXPECT_TRUE(IsAcceptableReply(200, Bytes(R"({"s":"\"[[[[","acceptable":true})")));
}

// ---------------------------------------------------------------------------------------
// Requests against a loopback server

TEST(WebApiRequest, IsAcceptableUserQueryUsesSignedDecimals) {
    CLoopbackHttp server(Answer(kAdmit));
    const CRWebApi api(server.Root());

    EXPECT_TRUE(api.IsAcceptableUser(12, 34, u"alpha"));
    EXPECT_TRUE(api.IsAcceptableUser(-5, 0xFFFFFFFFu, u"alpha"));
    EXPECT_TRUE(api.IsAcceptableUser(std::numeric_limits<int32_t>::min(), 0x80000000u, u"t"));
    EXPECT_TRUE(api.IsAcceptableUser(std::numeric_limits<int32_t>::max(), 0x7FFFFFFFu, u"t"));

    ASSERT_EQ(server.Heads().size(), 4u);
    const std::string path = "GET /palvor/modules/palvorxp/api.php?api=IsAcceptableUser";
    EXPECT_EQ(server.RequestLine(0), path + "&solutionid=34&visiterid=12&token=alpha HTTP/1.1");
    EXPECT_EQ(server.RequestLine(1), path + "&solutionid=-1&visiterid=-5&token=alpha HTTP/1.1");
    EXPECT_EQ(server.RequestLine(2),
              path + "&solutionid=-2147483648&visiterid=-2147483648&token=t HTTP/1.1");
    EXPECT_EQ(server.RequestLine(3),
              path + "&solutionid=2147483647&visiterid=2147483647&token=t HTTP/1.1");
    EXPECT_NE(server.Heads()[0].find("User-Agent: PalvorServer/1.0"), std::string::npos);
}

TEST(WebApiRequest, TokenArrivesAsOneWholeEscapedValue) {
    CLoopbackHttp server(Answer(kAdmit));
    const CRWebApi api(server.Root());
    const std::u16string tokens[] = {
        u"a&visiterid=1&token=b",        u"x=y z+w", u"/?#%25%", u"\u00fc\u97f3\U0001D11E",
        std::u16string(u"nul\0byte", 8), u"",
    };
    for (const auto& token : tokens) ASSERT_TRUE(api.IsAcceptableUser(7, 9, token));

    const auto heads = server.Heads();
    ASSERT_EQ(heads.size(), std::size(tokens));
    for (size_t i = 0; i < heads.size(); ++i) {
        const std::string line = server.RequestLine(i);
        EXPECT_EQ(line.find_first_of(" ", 4), line.rfind(' ')) << "raw space in " << line;
        const auto parts = QueryParts(line);
        ASSERT_EQ(parts.size(), 4u) << line;
        EXPECT_EQ(parts[0], "api=IsAcceptableUser");
        EXPECT_EQ(parts[1], "solutionid=9");
        EXPECT_EQ(parts[2], "visiterid=7");
        ASSERT_EQ(parts[3].rfind("token=", 0), 0u) << line;
        const std::string value = parts[3].substr(6);
        EXPECT_EQ(value.find_first_of("&=+ /?#"), std::string::npos) << line;
        EXPECT_EQ(PercentDecode(value), Utf16ToUtf8(tokens[i])) << line;
    }
}

TEST(WebApiRequest, KeepAliveSendsOnlyTheApiName) {
    CLoopbackHttp server(Answer("", 500));
    const CRWebApi api(server.Root());
    api.KeepAlive();  // a failing reply is ignored
    ASSERT_EQ(server.Heads().size(), 1u);
    EXPECT_EQ(server.RequestLine(), "GET /palvor/modules/palvorxp/api.php?api=KeepAlive HTTP/1.1");
}

TEST(WebApiRequest, BodyIsKeptOnlyForStatus200) {
    CLoopbackHttp server(std::vector<CReply>{Answer(kAdmit, 500), Answer(kAdmit, 404),
                                             Answer(kAdmit, 200), Answer(kAdmit, 500)});
    const CRWebApi api(server.Root());

    const CHttpResult error = api.HttpGet(api.ApiAddress());
    EXPECT_EQ(error.nStatus, 500);
    EXPECT_TRUE(error.vBody.empty());
    const CHttpResult missing = api.HttpGet(api.ApiAddress());
    EXPECT_EQ(missing.nStatus, 404);
    EXPECT_TRUE(missing.vBody.empty());
    const CHttpResult ok = api.HttpGet(api.ApiAddress());
    EXPECT_EQ(ok.nStatus, 200);
    EXPECT_EQ(Text(ok.vBody), kAdmit);

    EXPECT_FALSE(api.IsAcceptableUser(1, 1, u"alpha"));  // 500 with an admitting body
}

TEST(WebApiRequest, BodyOverTheLimitIsNoResponse) {
    const size_t limit = CRWebApi::kMaxBodyBytes;
    const std::string atLimit = std::string(limit - kAdmit.size(), ' ') + kAdmit;
    const std::string overLimit = " " + atLimit;
    CLoopbackHttp server(std::vector<CReply>{Answer(atLimit), Answer(overLimit)});
    const CRWebApi api(server.Root());

    EXPECT_TRUE(api.IsAcceptableUser(1, 1, u"alpha"));
    const CHttpResult over = api.HttpGet(api.ApiAddress());
    EXPECT_EQ(over.nStatus, 0);
    EXPECT_TRUE(over.vBody.empty());
    EXPECT_FALSE(api.IsAcceptableUser(1, 1, u"alpha"));
}

TEST(WebApiRequest, SilentServerHitsTheTotalTimeOut) {
    CLoopbackHttp silent(std::vector<CReply>{Silent()}, 5s);
    const CRWebApi api(silent.Root(), CWebApiOptions{300, 300});

    bool admitted = true;
    const auto took = Elapsed([&] { admitted = api.IsAcceptableUser(1, 1, u"alpha"); });
    EXPECT_FALSE(admitted);
    EXPECT_GE(took, 250ms);
    EXPECT_LT(took, 3000ms);

    CHttpResult result;
    result.nStatus = -1;
    const auto tookGet = Elapsed([&] { result = api.HttpGet(api.ApiAddress()); });
    EXPECT_EQ(result.nStatus, 0);
    EXPECT_LT(tookGet, 3000ms);
    EXPECT_EQ(silent.Heads().size(), 2u);
}

TEST(WebApiRequest, SlowAnswerWithinTheTimeOutCounts) {
    CLoopbackHttp slow(Answer(kAdmit, 200, 150ms));
    const CRWebApi api(slow.Root(), CWebApiOptions{1000, 3000});
    EXPECT_TRUE(api.IsAcceptableUser(1, 1, u"alpha"));
}

TEST(WebApiRequest, ClosedPortRefusesWithoutWaiting) {
    const CRWebApi api("http://127.0.0.1:" + std::to_string(FreeLoopbackPort()) + "/palvor");
    bool admitted = true;
    const auto took = Elapsed([&] { admitted = api.IsAcceptableUser(1, 1, u"alpha"); });
    EXPECT_FALSE(admitted);
    EXPECT_LT(took, 2000ms);  // refused, not timed out (the connect time-out is 5 s)
    EXPECT_EQ(api.HttpGet(api.ApiAddress()).nStatus, 0);
}

TEST(WebApiRequest, MalformedAddressesAndProtocolsRefuse) {
    EXPECT_EQ(CRWebApi("").HttpGet("").nStatus, 0);
    EXPECT_FALSE(CRWebApi("not a url").IsAcceptableUser(1, 1, u"alpha"));

    // Only http and https are spoken: an address of another scheme never reaches a server.
    CLoopbackHttp server(Answer(kAdmit));
    const std::string hostPort = server.Root().substr(7, server.Root().find('/', 7) - 7);
    const CRWebApi api(server.Root(), CWebApiOptions{500, 1000});
    EXPECT_EQ(api.HttpGet("dict://" + hostPort + "/d:acceptable").nStatus, 0);
    EXPECT_EQ(api.HttpGet("telnet://" + hostPort).nStatus, 0);
    EXPECT_EQ(server.Connections(), 0u);
    EXPECT_EQ(api.HttpGet(api.ApiAddress()).nStatus, 200);
    EXPECT_EQ(server.Connections(), 1u);
}

TEST(WebApiRequest, GarbageRepliesRefuse) {
    CLoopbackHttp server(std::vector<CReply>{
        Raw("hello\r\n\r\n"),
        Raw("HTTP/1.1 200 OK\r\nContent-Length: 1000\r\n\r\n{\"acceptable\":true}"),
        Raw("HTTP/1.1 200 OK\r\nContent-Length: 19\r\n"),
        Answer(""),
    });
    const CRWebApi api(server.Root(), CWebApiOptions{1000, 2000});
    EXPECT_FALSE(api.IsAcceptableUser(1, 1, u"alpha"));  // not HTTP at all
    EXPECT_FALSE(api.IsAcceptableUser(1, 1, u"alpha"));  // body cut short
    EXPECT_FALSE(api.IsAcceptableUser(1, 1, u"alpha"));  // head cut short
    EXPECT_FALSE(api.IsAcceptableUser(1, 1, u"alpha"));  // 200 with nothing in it
    EXPECT_EQ(server.Heads().size(), 4u);
}

TEST(WebApiRequest, RedirectsAreFollowedAFewTimesOnly) {
    const std::string moved = "Location: /palvor/moved\r\n";
    CLoopbackHttp once(std::vector<CReply>{Answer("{}", 302, 0ms, moved), Answer(kAdmit)});
    EXPECT_TRUE(CRWebApi(once.Root()).IsAcceptableUser(1, 1, u"alpha"));
    EXPECT_EQ(once.RequestLine(1), "GET /palvor/moved HTTP/1.1");

    CLoopbackHttp loop(Answer(kAdmit, 302, 0ms, moved));
    EXPECT_FALSE(CRWebApi(loop.Root()).IsAcceptableUser(1, 1, u"alpha"));
    EXPECT_GE(loop.Heads().size(), 2u);
    EXPECT_LE(loop.Heads().size(), 4u);
}

// A request that starts on https is never redirected to http, where anyone on the path
// could read its token and answer for the site; redirects within https, and from http up
// to https, are followed.
TEST(WebApiRequest, RedirectNeverLeavesHttps) {
    using PalvorTest::CTlsStub;
    CLoopbackHttp plain(Answer(kAdmit));
    CTlsStub tls({{"to-http", CTlsStub::Redirect(plain.Root() + "/api.php?token=alpha")},
                  {"to-https", CTlsStub::Redirect("/ok")},
                  {"ok", CTlsStub::Ok(kAdmit)}});
    if (!tls.Ready()) GTEST_SKIP() << "openssl s_server is not available";
    CLoopbackHttp upgrade(Answer("{}", 302, 0ms, "Location: " + tls.Url("ok") + "\r\n"));
    const CRWebApi api(plain.Root(), CWebApiOptions{1000, 3000, tls.CaFile()});

    EXPECT_EQ(api.HttpGet(tls.Url("to-http")).nStatus, 0);
    EXPECT_EQ(plain.Connections(), 0u);
    for (const std::string& start : {tls.Url("to-https"), upgrade.Root()}) {
        const CHttpResult reply = api.HttpGet(start);
        EXPECT_TRUE(IsAcceptableReply(reply.nStatus, reply.vBody)) << start;
    }
}

TEST(WebApiRequest, CallsFromSeveralThreadsAtOnce) {
    CLoopbackHttp server(Answer(kAdmit, 200, 20ms));
    const CRWebApi api(server.Root());
    std::vector<int> admitted(6, 0);
    std::vector<std::thread> threads;
    for (size_t i = 0; i < admitted.size(); ++i)
        threads.emplace_back(
            [&, i] { admitted[i] = api.IsAcceptableUser(static_cast<int32_t>(i), 1, u"alpha"); });
    for (auto& t : threads) t.join();
    EXPECT_EQ(admitted, std::vector<int>(admitted.size(), 1));
    EXPECT_EQ(server.Heads().size(), admitted.size());
}

// ---------------------------------------------------------------------------------------
// The reference web site, served by PHP's built-in server

namespace {

std::filesystem::path FindOnPath(const std::string& name) {
    const char* path = std::getenv("PATH");
    std::string dirs = path ? path : "";
    size_t start = 0;
    while (start <= dirs.size()) {
        const size_t colon = std::min(dirs.find(':', start), dirs.size());
        const std::filesystem::path candidate =
            std::filesystem::path(dirs.substr(start, colon - start)) / name;
        if (colon > start && access(candidate.c_str(), X_OK) == 0) return candidate;
        start = colon + 1;
    }
    return {};
}

const std::filesystem::path kSiteFolder =
    std::filesystem::path(__FILE__).parent_path().parent_path().parent_path() / "site";

// php -S 127.0.0.1:<port> -t site site/router.php, with its own data folder.
class CPhpSite {
public:
    bool Start(const std::filesystem::path& php, std::string& error) {
        char dataTemplate[] = "/tmp/palvor_site_XXXXXX";
        if (!mkdtemp(dataTemplate)) {
            error = "no temporary folder";
            return false;
        }
        m_dataFolder = dataTemplate;
        for (int attempt = 0; attempt < 3; ++attempt) {
            const uint16_t port = FreeLoopbackPort();
            if (Spawn(php, port) && WaitUntilServing(port)) {
                m_sRoot = "http://127.0.0.1:" + std::to_string(port) + "/palvor";
                return true;
            }
            Stop();
        }
        error = "php's built-in server did not start";
        return false;
    }

    void Stop() {
        if (m_pid > 0) {
            kill(m_pid, SIGTERM);
            PalvorTest::WaitExit(m_pid);
            m_pid = -1;
        }
    }

    ~CPhpSite() {
        Stop();
        std::error_code ec;
        if (!m_dataFolder.empty()) std::filesystem::remove_all(m_dataFolder, ec);
    }

    const std::string& Root() const { return m_sRoot; }
    const std::filesystem::path& DataFolder() const { return m_dataFolder; }

private:
    bool Spawn(const std::filesystem::path& php, uint16_t port) {
        m_pid = PalvorTest::SpawnQuiet({php.string(), "-S", "127.0.0.1:" + std::to_string(port), "-t",
                                        kSiteFolder.string(), (kSiteFolder / "router.php").string()},
                                       {}, {"PALVOR_SITE_DATA=" + m_dataFolder.string()});
        return m_pid > 0;
    }

    bool WaitUntilServing(uint16_t port) {
        const CRWebApi probe("http://127.0.0.1:" + std::to_string(port) + "/palvor",
                             CWebApiOptions{500, 1000});
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        while (std::chrono::steady_clock::now() < deadline) {
            int status = 0;
            if (waitpid(m_pid, &status, WNOHANG) == m_pid) {
                m_pid = -1;
                return false;
            }
            if (probe.HttpGet(probe.FrontPageAddress()).nStatus == 200) return true;
            std::this_thread::sleep_for(50ms);
        }
        return false;
    }

    pid_t m_pid = -1;
    std::filesystem::path m_dataFolder;
    std::string m_sRoot;
};

size_t LineCount(const std::filesystem::path& file) {
    std::ifstream in(file);
    size_t lines = 0;
    for (std::string line; std::getline(in, line);) lines += !line.empty();
    return lines;
}

}  // namespace

class ReferenceSite : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        const auto php = FindOnPath("php");
        if (php.empty()) return;
        s_site = std::make_unique<CPhpSite>();
        if (!s_site->Start(php, s_error)) s_site.reset();
    }
    static void TearDownTestSuite() { s_site.reset(); }

    void SetUp() override {
        if (FindOnPath("php").empty()) GTEST_SKIP() << "php is not installed";
        ASSERT_TRUE(std::filesystem::is_directory(kSiteFolder)) << kSiteFolder;
        ASSERT_TRUE(s_site) << s_error;
    }

    CRWebApi Api() const { return CRWebApi(s_site->Root()); }

    static inline std::unique_ptr<CPhpSite> s_site;
    static inline std::string s_error;
};

TEST_F(ReferenceSite, FrontPageOffersTheServerControls) {
    const CHttpResult page = Api().HttpGet(Api().FrontPageAddress());
    ASSERT_EQ(page.nStatus, 200);
    const std::string html = Text(page.vBody);
    EXPECT_NE(html.find("function RefreshHtml()"), std::string::npos);
    for (const char* method : {"PalvorServerRun", "PalvorServerStop", "PalvorServerIsRunning"})
        EXPECT_NE(html.find(method), std::string::npos) << method;
}

TEST_F(ReferenceSite, AdmitsKnownVisitorsOnly) {
    const CRWebApi api = Api();
    EXPECT_TRUE(api.IsAcceptableUser(1, 7, u"alpha"));
    EXPECT_TRUE(api.IsAcceptableUser(1, 0xFFFFFFFFu, u"alpha"));
    EXPECT_FALSE(api.IsAcceptableUser(1, 7, u"beta"));
    EXPECT_FALSE(api.IsAcceptableUser(1, 7, u"alph"));
    EXPECT_FALSE(api.IsAcceptableUser(1, 7, u""));
    EXPECT_FALSE(api.IsAcceptableUser(3, 7, u"alpha"));
    // Visitor 2 may use solutions 1 and 2 only.
    EXPECT_TRUE(api.IsAcceptableUser(2, 2, u"beta"));
    EXPECT_FALSE(api.IsAcceptableUser(2, 3, u"beta"));
    EXPECT_FALSE(api.IsAcceptableUser(2, 2, u"alpha"));
}

TEST_F(ReferenceSite, TokenWithQuerySyntaxReachesTheSiteWhole) {
    const CRWebApi api = Api();
    // Visitor -7 holds this token for solution 4294967295, sent as -1.
    const std::u16string token = u"a&b=c d+\u00fc\u97f3";
    EXPECT_TRUE(api.IsAcceptableUser(-7, 0xFFFFFFFFu, token));
    EXPECT_FALSE(api.IsAcceptableUser(-7, 0xFFFFFFFFu, u"a"));
    EXPECT_FALSE(api.IsAcceptableUser(-7, 0xFFFFFFFFu, u"a&b=c d c\u00fc\u97f3"));
    EXPECT_FALSE(api.IsAcceptableUser(-7, 1, token));
}

TEST_F(ReferenceSite, KeepAliveRecordsOneLinePerCall) {
    const CRWebApi api = Api();
    const auto log = s_site->DataFolder() / "keepalive.log";
    const size_t before = LineCount(log);
    api.KeepAlive();
    EXPECT_EQ(LineCount(log), before + 1);
    api.KeepAlive();
    EXPECT_EQ(LineCount(log), before + 2);
}

TEST_F(ReferenceSite, UnknownApiAndDataFilesAreRefused) {
    const CRWebApi api = Api();
    EXPECT_EQ(api.HttpGet(api.ApiAddress() + "?api=Nothing").nStatus, 400);
    EXPECT_EQ(api.HttpGet(api.ApiAddress()).nStatus, 400);
    EXPECT_EQ(api.HttpGet(api.SiteRoot() + "/modules/palvorxp/visitors.json").nStatus, 404);
    const CHttpResult reply = api.HttpGet(
        api.ApiAddress() + "?api=IsAcceptableUser&solutionid=x&visiterid=1&token=alpha");
    EXPECT_EQ(reply.nStatus, 200);
    EXPECT_FALSE(IsAcceptableReply(reply.nStatus, reply.vBody));
}
