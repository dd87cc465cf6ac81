#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "App/RUpdater.h"
#include "App/RZip.h"
#include "App/updater/UpdaterSupport.h"
#include "support/HttpStub.h"
#include "support/TempDir.h"
#include "support/TlsStub.h"

using namespace DUve;
using namespace UpdaterTest;
namespace fs = std::filesystem;

namespace {

const std::vector<std::string> kArgs = {"--port", "9000", "two words"};
constexpr uint64_t kRunningStamp = 1'700'000'000;  // the build stamp of the "running" program
constexpr uint64_t kNewStamp = kRunningStamp + 60;

// A build that, when run, writes its arguments one per line to "ran-args" beside itself.
Bytes NewBuild() {
    return ToBytes(
        "#!/bin/sh\n"
        "# new build\n"
        "printf '%s\\n' \"$@\" > \"$(dirname \"$0\")/ran-args\"\n");
}

std::vector<std::string> FolderNames(const fs::path& folder) {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(folder)) names.push_back(e.path().filename());
    std::sort(names.begin(), names.end());
    return names;
}

mode_t ModeOf(const fs::path& file) {
    struct stat st {};
    ::stat(file.c_str(), &st);
    return st.st_mode & 07777;
}

// The running program, played by a file in a temporary folder; restarts are recorded.
class UpdaterTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_exe = m_dir.Path() / "palvorserver";
        m_old = ToBytes("#!/bin/sh\n# old build\nexit 3\n");
        WriteFile(m_exe, m_old);
        ::chmod(m_exe.c_str(), 0755);
    }

    CUpdateOptions Options() {
        CUpdateOptions o;
        o.exePath = m_exe;
        o.args = kArgs;
        o.nTotalTimeoutMs = 20000;
        o.publicKey = PublicKeyOf(TestKey());
        o.nBuildStamp = kRunningStamp;
        o.beforeRestart = [this] { m_events.push_back("before-restart"); };
        o.restart = [this](const fs::path& path, const std::vector<std::string>& args) {
            m_events.push_back("restart");
            m_restartPath = path;
            m_restartArgs = args;
            return true;
        };
        o.onRestartFailed = [this](const std::string& text) { m_events.push_back(text); };
        return o;
    }

    void ExpectUntouched() {
        EXPECT_EQ(ReadFile(m_exe), m_old);
        EXPECT_EQ(ModeOf(m_exe), 0755u);
        EXPECT_EQ(FolderNames(m_dir.Path()), std::vector<std::string>{"palvorserver"});
        EXPECT_TRUE(m_events.empty());
    }

    PalvorTest::CTempDir m_dir;
    fs::path m_exe;
    Bytes m_old;
    std::vector<std::string> m_events;
    fs::path m_restartPath;
    std::vector<std::string> m_restartArgs;
};

TEST_F(UpdaterTest, SameBuildTransfersOnlyEndRecordAndDirectory) {
    m_old = RandomBytes(1024 * 1024, 7);
    WriteFile(m_exe, m_old);
    const CZip zip = MakeZip({{"readme.txt", ToBytes("hello")}, {"palvorserver", m_old}});
    // A client that read the size probe's body would receive the whole archive.
    CRangeServer server(zip.vBytes,
                        ServeOptions([](auto& o) { o.holdPlainBody = std::chrono::seconds(5); }));

    EXPECT_EQ(CheckForUpdate(server.Url(), Options()), kUpdateUpToDate);

    EXPECT_LT(server.BodyBytesSent(), 1024u);
    const auto requests = server.Requests();
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_FALSE(requests[0].nRangeStart);
    EXPECT_EQ(requests[0].nBodyBytes, 0u);
    EXPECT_EQ(requests[1].nRangeStart, zip.vBytes.size() - 22);
    EXPECT_EQ(requests[2].nRangeStart, zip.vDataOffsets[1] + m_old.size());
    ExpectUntouched();
}

struct CInstallCase {
    const char* szName;
    CZipEntry entry;
    mode_t nMode;
};

class UpdaterInstallTest : public UpdaterTest,
                           public ::testing::WithParamInterface<CInstallCase> {};

TEST_P(UpdaterInstallTest, NewBuildReplacesExecutableAndRestartsWithSameArguments) {
    const CInstallCase& c = GetParam();
    ::chmod(m_exe.c_str(), c.nMode);
    const CZip zip = MakeSignedZip({{"docs/palvorserver", ToBytes("not this one")},
                                    c.entry,
                                    {"palvorserver.txt", ToBytes("nor this")}},
                                   c.entry.sName, kNewStamp);
    CRangeServer server(zip.vBytes);

    ASSERT_EQ(CheckForUpdate(server.Url(), Options()), kUpdateRestarted);

    EXPECT_EQ(ReadFile(m_exe), NewBuild());
    EXPECT_EQ(ModeOf(m_exe), c.nMode);
    EXPECT_EQ(ReadFile(m_dir.Path() / "palvorserver.bak"), m_old);
    EXPECT_EQ(FolderNames(m_dir.Path()),
              (std::vector<std::string>{"palvorserver", "palvorserver.bak"}));
    EXPECT_EQ(m_events, (std::vector<std::string>{"before-restart", "restart"}));
    EXPECT_EQ(m_restartPath, m_exe);
    EXPECT_EQ(m_restartArgs, kArgs);

    // What the restart would start is the new program, and it runs.
    std::vector<std::string> argv{m_restartPath.string()};
    argv.insert(argv.end(), m_restartArgs.begin(), m_restartArgs.end());
    EXPECT_EQ(RunToEnd(argv), 0);
    EXPECT_EQ(ReadFile(m_dir.Path() / "ran-args"), ToBytes("--port\n9000\ntwo words\n"));

    // Once in place, the same archive finds the program up to date.
    m_events.clear();
    EXPECT_EQ(CheckForUpdate(server.Url(), Options()), kUpdateUpToDate);
    EXPECT_TRUE(m_events.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Entries, UpdaterInstallTest,
    ::testing::Values(CInstallCase{"Stored", {"palvorserver", NewBuild()}, 0755},
                      CInstallCase{"Deflated", {"palvorserver", NewBuild(), true}, 0750},
                      CInstallCase{"NamedInOtherCase", {"PalvorServer", NewBuild(), true}, 0700},
                      CInstallCase{
                          "Utf8Flag", {"PALVORSERVER", NewBuild(), false, false, 0x0800}, 0711}),
    [](const auto& info) { return std::string(info.param.szName); });

struct CRefusedCase {
    const char* szName;
    std::function<Bytes()> archive;
    CServeOptions server;
    const char* szPath;
    int nExpected;
};

CZip BuildArchive(bool deflate) {
    return MakeSignedZip({{"palvorserver", RandomBytes(256 * 1024, 11), deflate}}, "palvorserver",
                         kNewStamp);
}

Bytes Damaged(CZip zip, size_t at) {
    zip.vBytes[zip.vDataOffsets[0] + at] ^= 0x55;
    return zip.vBytes;
}

class UpdaterRefusedTest : public UpdaterTest,
                           public ::testing::WithParamInterface<CRefusedCase> {};

TEST_P(UpdaterRefusedTest, LeavesExecutableAsItWas) {
    const CRefusedCase& c = GetParam();
    CRangeServer server(c.archive(), c.server);
    EXPECT_EQ(CheckForUpdate(server.Url(c.szPath), Options()), c.nExpected);
    ExpectUntouched();
}

INSTANTIATE_TEST_SUITE_P(
    Archives, UpdaterRefusedTest,
    ::testing::Values(
        CRefusedCase{"ArchiveComment",
                     [] {
                         return MakeZip({{"palvorserver", NewBuild()}}, "release 2").vBytes;
                     },
                     {},
                     CRangeServer::kPath,
                     kUpdateNoArchive},
        CRefusedCase{"NotFound",
                     [] { return BuildArchive(false).vBytes; },
                     {},
                     "/palvor/other.zip",
                     kUpdateNoArchive},
        CRefusedCase{"NoContentLength", [] { return BuildArchive(false).vBytes; },
                     ServeOptions([](auto& o) { o.bSendLength = false; }), CRangeServer::kPath,
                     kUpdateNoArchive},
        CRefusedCase{"RangeIgnored", [] { return BuildArchive(false).vBytes; },
                     ServeOptions([](auto& o) { o.bHonourRange = false; }), CRangeServer::kPath,
                     kUpdateNoArchive},
        CRefusedCase{"OnlyEndRecord",
                     [] { return MakeZip({}).vBytes; },
                     {},
                     CRangeServer::kPath,
                     kUpdateNoArchive},
        CRefusedCase{"EntryInFolder",
                     [] {
                         return MakeZip({{"bin/palvorserver", NewBuild()}}).vBytes;
                     },
                     {},
                     CRangeServer::kPath,
                     kUpdateNoEntry},
        CRefusedCase{"DataDescriptor",
                     [] {
                         return MakeSignedZip({{"palvorserver", NewBuild(), true, true}},
                                              "palvorserver", kNewStamp)
                             .vBytes;
                     },
                     {},
                     CRangeServer::kPath,
                     kUpdateNoEntry},
        CRefusedCase{"EntryCutShort", [] { return BuildArchive(true).vBytes; },
                     ServeOptions([](auto& o) { o.nCutAfter = 64 * 1024; }), CRangeServer::kPath,
                     kUpdateNoEntry},
        CRefusedCase{"StoredDataDamaged",
                     [] { return Damaged(BuildArchive(false), 1000); },
                     {},
                     CRangeServer::kPath,
                     kUpdateNoEntry},
        CRefusedCase{"DeflatedDataDamaged",
                     [] { return Damaged(BuildArchive(true), 100); },
                     {},
                     CRangeServer::kPath,
                     kUpdateNoEntry}),
    [](const auto& info) { return std::string(info.param.szName); });

// Archives whose executable is not vouched for by the trusted key, or is not newer.
struct CTrustCase {
    const char* szName;
    std::function<Bytes()> archive;
    int nExpected;
    bool bEntryFetched;  // whether the executable's entry had to be transferred to tell
};

Bytes Payload() {
    return RandomBytes(256 * 1024, 21);
}

// The signed archive with byte `at` of its signature entry flipped.
Bytes SignatureFlipped(size_t at) {
    CZip zip = MakeSignedZip({{"palvorserver", Payload()}}, "palvorserver", kNewStamp);
    zip.vBytes[zip.vDataOffsets[1] + at] ^= 0x01;
    return zip.vBytes;
}

class UpdaterTrustTest : public UpdaterTest, public ::testing::WithParamInterface<CTrustCase> {};

TEST_P(UpdaterTrustTest, RefusedArchiveLeavesExecutableByteForByte) {
    const CTrustCase& c = GetParam();
    CRangeServer server(c.archive(),
                        ServeOptions([](auto& o) { o.holdPlainBody = std::chrono::seconds(5); }));
    EXPECT_EQ(CheckForUpdate(server.Url(), Options()), c.nExpected);
    ExpectUntouched();
    if (!c.bEntryFetched) {
        EXPECT_LT(server.BodyBytesSent(), Payload().size() / 4);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Archives, UpdaterTrustTest,
    ::testing::Values(
        CTrustCase{"Unsigned", [] { return MakeZip({{"palvorserver", Payload(), true}}).vBytes; },
                   kUpdateUntrusted, false},
        CTrustCase{"SignedWithAnotherKey",
                   [] {
                       return MakeSignedZip({{"palvorserver", Payload()}}, "palvorserver",
                                            kNewStamp, TestKey(8))
                           .vBytes;
                   },
                   kUpdateUntrusted, false},
        CTrustCase{"EntryTampered",  // another executable, with a CRC-32 of its own
                   [] {
                       Bytes other = Payload();
                       other[1000] ^= 0x55;
                       return MakeZip({{"palvorserver", other, true},
                                       {"palvorserver.sig", SignUpdate(TestKey(), kNewStamp,
                                                                       Payload())}})
                           .vBytes;
                   },
                   kUpdateUntrusted, true},
        CTrustCase{"SignatureTampered", [] { return SignatureFlipped(120); }, kUpdateUntrusted,
                   false},
        CTrustCase{"StampTampered", [] { return SignatureFlipped(13); }, kUpdateUntrusted, false},
        CTrustCase{"SignatureCutShort",
                   [] {
                       Bytes sig = SignUpdate(TestKey(), kNewStamp, Payload());
                       sig.pop_back();
                       return MakeZip({{"palvorserver", Payload()}, {"palvorserver.sig", sig}})
                           .vBytes;
                   },
                   kUpdateUntrusted, false},
        CTrustCase{"OlderBuild",
                   [] {
                       return MakeSignedZip({{"palvorserver", Payload()}}, "palvorserver",
                                            kRunningStamp - 1)
                           .vBytes;
                   },
                   kUpdateOlderBuild, false},
        CTrustCase{"SameBuildInAnotherForm",
                   [] {
                       return MakeSignedZip({{"palvorserver", Payload()}}, "palvorserver",
                                            kRunningStamp)
                           .vBytes;
                   },
                   kUpdateUpToDate, false}),
    [](const auto& info) { return std::string(info.param.szName); });

TEST_F(UpdaterTest, ProgramWithoutKeyTrustsNothing) {
    CRangeServer server(MakeSignedZip({{"palvorserver", NewBuild()}}, "palvorserver", kNewStamp).vBytes);
    CUpdateOptions options = Options();
    options.publicKey = {};
    EXPECT_EQ(CheckForUpdate(server.Url(), options), kUpdateUntrusted);
    ExpectUntouched();
}

TEST_F(UpdaterTest, UnreachableSiteIsNoArchive) {
    const std::string url = "http://127.0.0.1:" + std::to_string(FreePort()) + CRangeServer::kPath;
    EXPECT_EQ(CheckForUpdate(url, Options()), kUpdateNoArchive);
    ExpectUntouched();
}

TEST_F(UpdaterTest, ReadOnlyBackupFromEarlierUpdateIsReplaced) {
    const fs::path backup = m_dir.Path() / "palvorserver.bak";
    WriteFile(backup, ToBytes("the build before the old one"));
    ::chmod(backup.c_str(), 0444);
    CRangeServer server(MakeSignedZip({{"palvorserver", NewBuild(), true}}, "palvorserver", kNewStamp).vBytes);

    EXPECT_EQ(CheckForUpdate(server.Url(), Options()), kUpdateRestarted);
    EXPECT_EQ(ReadFile(backup), m_old);
    EXPECT_EQ(ReadFile(m_exe), NewBuild());
}

TEST_F(UpdaterTest, BackupThatCannotBeDeletedFailsAndKeepsOldExecutable) {
    const fs::path backup = m_dir.Path() / "palvorserver.bak";
    fs::create_directory(backup);
    WriteFile(backup / "keep", ToBytes("x"));
    CRangeServer server(MakeSignedZip({{"palvorserver", NewBuild(), true}}, "palvorserver", kNewStamp).vBytes);

    EXPECT_EQ(CheckForUpdate(server.Url(), Options()), kUpdateReplaceFailed);
    EXPECT_EQ(ReadFile(m_exe), m_old);
    EXPECT_EQ(FolderNames(m_dir.Path()),
              (std::vector<std::string>{"palvorserver", "palvorserver.bak"}));
    EXPECT_TRUE(m_events.empty());
}

TEST_F(UpdaterTest, FailedRestartReportsUnquotedCommandLine) {
    const fs::path folder = m_dir.Path() / "install dir";
    fs::create_directory(folder);
    m_exe = folder / "palvorserver";
    WriteFile(m_exe, m_old);
    ::chmod(m_exe.c_str(), 0644);  // not executable: the real restart (execv) must fail
    CRangeServer server(MakeSignedZip({{"palvorserver", NewBuild()}}, "palvorserver", kNewStamp).vBytes);
    CUpdateOptions options = Options();
    options.restart = nullptr;

    EXPECT_EQ(CheckForUpdate(server.Url(), options), kUpdateRestarted);
    EXPECT_EQ(ReadFile(m_exe), NewBuild());
    EXPECT_EQ(m_events, (std::vector<std::string>{"before-restart", "Error : " + m_exe.string() +
                                                                        " --port 9000 two words"}));
}

TEST(UpdaterUrl, ArchiveLivesUnderSiteRoot) {
    EXPECT_EQ(UpdateArchiveUrl("https://palvor.example/palvor"),
              "https://palvor.example/palvor/palvorserver-linux.zip");
    EXPECT_EQ(UpdateArchiveUrl("http://127.0.0.1:8080/palvor//"),
              "http://127.0.0.1:8080/palvor/palvorserver-linux.zip");
}

bool HaveCommand(const char* name) {
    return std::system((std::string("command -v ") + name + " >/dev/null 2>&1").c_str()) == 0;
}

TEST_F(UpdaterTest, SelfSignedCertificateIsRefused) {
    if (!HaveCommand("openssl")) GTEST_SKIP() << "openssl command-line tool not installed";
    PalvorTest::CTempDir tls;
    const std::string key = (tls.Path() / "key.pem").string();
    const std::string cert = (tls.Path() / "cert.pem").string();
    ASSERT_EQ(
        RunToEnd({"openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt",
                  "ec_paramgen_curve:prime256v1", "-nodes", "-keyout", key, "-out", cert, "-days",
                  "1", "-subj", "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1"}),
        0);
    const uint16_t port = FreePort();
    CChild server({"openssl", "s_server", "-quiet", "-accept", "127.0.0.1:" + std::to_string(port),
                   "-cert", cert, "-key", key, "-www"});
    ASSERT_TRUE(server.Started());
    ASSERT_TRUE(WaitForPort(port));
    const std::string root = "https://127.0.0.1:" + std::to_string(port);

    EXPECT_EQ(CheckForUpdate(root + CRangeServer::kPath, Options()), kUpdateNoArchive);
    ExpectUntouched();
    EXPECT_TRUE(HttpDownload(nullptr, "", root + "/", "", "").empty());
    // The same server is reached once its certificate is trusted.
    CHttpOptions trusted;
    trusted.caFile = cert;
    EXPECT_FALSE(HttpDownload(nullptr, "", root + "/", "", "", trusted).empty());
}

// The archive as the build makes it, served by the site's router.
TEST_F(UpdaterTest, ArchiveFromBuildScriptServedBySiteRouter) {
    if (!HaveCommand("php") || !HaveCommand("python3"))
        GTEST_SKIP() << "php or python3 not installed";
    const fs::path repo =
        fs::path(__FILE__).parent_path().parent_path().parent_path().parent_path();
    PalvorTest::CTempDir work;
    WriteFile(work.Path() / "palvorserver", NewBuild());
    const fs::path archive = work.Path() / "site" / "palvorserver-linux.zip";
    // A key made as the build makes its development key; the program trusts its public half.
    const fs::path key = work.Path() / "keys" / "update.key";
    ASSERT_EQ(RunToEnd({PALVOR_UPDATE_SIGN_TOOL, "keygen", key.string()}), 0);
    EXPECT_EQ(ModeOf(key), 0600u);
    EXPECT_NE(RunToEnd({PALVOR_UPDATE_SIGN_TOOL, "keygen", key.string()}), 0);  // never replaced
    std::string error;
    const auto secret = ReadSecretKeyFile(key, error);
    ASSERT_TRUE(secret) << error;
    ASSERT_EQ(RunToEnd({"python3", (repo / "App" / "make_update_archive.py").string(),
                        "--sign-tool", PALVOR_UPDATE_SIGN_TOOL, "--key", key.string(),
                        "--build-stamp", std::to_string(kNewStamp),
                        (work.Path() / "palvorserver").string(), archive.string()}),
              0);
    const uint16_t port = FreePort();
    CChild php({"php", "-S", "127.0.0.1:" + std::to_string(port), "-t", (repo / "site").string(),
                (repo / "site" / "router.php").string()},
               {}, {"PALVOR_UPDATE_ARCHIVE=" + archive.string()});
    ASSERT_TRUE(WaitForPort(port));
    const std::string url =
        UpdateArchiveUrl("http://127.0.0.1:" + std::to_string(port) + "/palvor");

    CUpdateOptions options = Options();
    EXPECT_EQ(CheckForUpdate(url, options), kUpdateUntrusted);  // the tests' key is not it
    ExpectUntouched();
    options.publicKey = PublicKeyOf(*secret);
    EXPECT_EQ(CheckForUpdate(url, options), kUpdateRestarted);
    EXPECT_EQ(ReadFile(m_exe), NewBuild());
    EXPECT_EQ(CheckForUpdate(url, options), kUpdateUpToDate);
}

// A request that starts on https is never redirected to http (where anyone on the path
// reads and answers it); a redirect that stays on https is followed.
TEST(UpdaterHttp, HttpsDownloadNeverFollowsRedirectToHttp) {
    PalvorTest::CLoopbackHttp plain(PalvorTest::CLoopbackHttp::CReply{});
    PalvorTest::CTlsStub tls({{"to-http", PalvorTest::CTlsStub::Redirect(plain.Root() + "/x.zip")},
                              {"to-https", PalvorTest::CTlsStub::Redirect("/archive")},
                              {"archive", PalvorTest::CTlsStub::Ok("signed bytes")}});
    if (!tls.Ready()) GTEST_SKIP() << "openssl s_server is not available";
    CHttpOptions options;
    options.caFile = tls.CaFile();
    EXPECT_TRUE(HttpDownload(nullptr, "", tls.Url("to-http"), "", "", options).empty());
    EXPECT_EQ(plain.Connections(), 0u);
    EXPECT_EQ(HttpDownload(nullptr, "", tls.Url("to-https"), "", "", options),
              ToBytes("signed bytes"));
}

}  // namespace
