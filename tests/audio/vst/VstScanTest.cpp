// Finding plug-in files and scanning them in child processes: bad plug-ins are left out,
// bounded in time and remembered.
#include <gtest/gtest.h>
#include <gmock/gmock.h>

#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <thread>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>

#include "VstTestSupport.h"
#include "audio/vst/VstHost.h"
#include "audio/vst/VstScan.h"
#include "runtime/RString.h"

namespace DUve::AudioDevice::Vst {
namespace {

namespace fs = std::filesystem;
using namespace Test;
using namespace std::chrono_literals;
using ::testing::ElementsAreArray;
using ::testing::UnorderedElementsAreArray;

// Sets or clears an environment variable for the life of the object.
class CEnvVar {
public:
    CEnvVar(const char* szName, const char* szValue) : m_sName(szName) {
        if (const char* szOld = std::getenv(szName)) m_old = szOld;
        if (szValue)
            setenv(szName, szValue, 1);
        else
            unsetenv(szName);
    }
    ~CEnvVar() {
        if (m_old)
            setenv(m_sName.c_str(), m_old->c_str(), 1);
        else
            unsetenv(m_sName.c_str());
    }

private:
    std::string m_sName;
    std::optional<std::string> m_old;
};

TEST(VstFoldersTest, DefaultFoldersInOrder) {
    const std::string sBeside = (fs::read_symlink("/proc/self/exe").parent_path() / "VstPlugins").string();
    const struct {
        const char* szVstPath;
        std::vector<std::string> vMiddle;  // between the program's folder and ~/.vst
    } cases[] = {
        {nullptr, {}},
        {"", {}},
        {"/opt/a", {"/opt/a"}},
        {"/opt/a:/opt/b::/opt/c:", {"/opt/a", "/opt/b", "/opt/c"}},
    };
    const CEnvVar home("HOME", "/home/somebody");
    for (const auto& c : cases) {
        const CEnvVar vstPath("VST_PATH", c.szVstPath);
        std::vector<std::string> expected{sBeside};
        expected.insert(expected.end(), c.vMiddle.begin(), c.vMiddle.end());
        expected.insert(expected.end(), {"/home/somebody/.vst", "/usr/local/lib/vst", "/usr/lib/vst"});
        EXPECT_THAT(DefaultPluginFolders(), ElementsAreArray(expected)) << (c.szVstPath ? c.szVstPath : "(unset)");
    }
}

// root/
//   alias.so -> good.so, crash.so, good.so, hang.so, loop -> root, readme.txt,
//   text.so (not a shared object), sub/effect.so, sub/deeper/main.so
class VstScanFolderTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(m_folder.Path().empty());
        m_root = fs::canonical(m_folder.Path());
        fs::create_directories(m_root / "sub" / "deeper");
        fs::copy_file(kSynth, m_root / "good.so");
        fs::copy_file(kSynthCrash, m_root / "crash.so");
        fs::copy_file(kSynthHang, m_root / "hang.so");
        fs::copy_file(kEffect, m_root / "sub" / "effect.so");
        fs::copy_file(kSynthMain, m_root / "sub" / "deeper" / "main.so");
        fs::create_symlink(m_root / "good.so", m_root / "alias.so");
        fs::create_directory_symlink(m_root, m_root / "loop");
        std::ofstream(m_root / "readme.txt") << "not a plug-in\n";
        std::ofstream(m_root / "text.so") << "not a shared object either\n";
        ForgetKnownBad();
    }
    void TearDown() override { ForgetKnownBad(); }

    std::string P(const char* szRelative) const { return (m_root / szRelative).string(); }

    CScratchFolder m_folder;
    fs::path m_root;
};

TEST_F(VstScanFolderTest, ListsSharedObjectsOnceWithinTheDepth) {
    const std::vector<std::string> vAll{P("good.so"), P("crash.so"), P("hang.so"), P("text.so"),
                                        P("sub/effect.so"), P("sub/deeper/main.so")};
    const struct {
        std::vector<std::string> vFolders;
        int nDepth;
        std::vector<std::string> vExpected;
    } cases[] = {
        {{m_root.string()}, 8, vAll},
        {{m_root.string(), m_root.string(), P("sub")}, 8, vAll},  // repeated folders
        {{m_root.string()}, 0, {P("good.so"), P("crash.so"), P("hang.so"), P("text.so")}},
        {{m_root.string()}, 1, {P("good.so"), P("crash.so"), P("hang.so"), P("text.so"), P("sub/effect.so")}},
        {{P("sub"), P("missing")}, 8, {P("sub/effect.so"), P("sub/deeper/main.so")}},
    };
    for (const auto& c : cases) {
        const auto listed = ListPluginFiles(c.vFolders, c.nDepth);
        EXPECT_THAT(listed, UnorderedElementsAreArray(c.vExpected)) << "depth " << c.nDepth;
        EXPECT_EQ(listed.size(), c.vExpected.size()) << "depth " << c.nDepth;
    }
    // Folder order is kept: the second folder's files come after the first's.
    const auto ordered = ListPluginFiles({P("sub"), m_root.string()}, 8);
    ASSERT_EQ(ordered.size(), vAll.size());
    EXPECT_EQ(ordered[0], P("sub/deeper/main.so"));  // entries in name order, "deeper" < "effect.so"
    EXPECT_EQ(ordered[1], P("sub/effect.so"));
}

TEST_F(VstScanFolderTest, ScanInChildReportsEachKindOfFile) {
    const struct {
        std::string sPath;
        std::chrono::milliseconds timeout;
        bool bOk;
        const char* szError;
    } cases[] = {
        {P("good.so"), 5000ms, true, ""},
        {P("crash.so"), 5000ms, false, "crashed"},
        {P("hang.so"), 300ms, false, "no answer within 300 ms"},
        {P("text.so"), 5000ms, false, ""},
    };
    for (const auto& c : cases) {
        const uint64_t nChildren = ScanChildCount();
        const auto start = std::chrono::steady_clock::now();
        const CScanResult r = ScanInChild(c.sPath, c.timeout);
        const auto elapsed = std::chrono::steady_clock::now() - start;
        EXPECT_EQ(r.bOk, c.bOk) << c.sPath << ": " << r.sError;
        EXPECT_THAT(r.sError, ::testing::HasSubstr(c.szError)) << c.sPath;
        if (!c.bOk) {
            EXPECT_FALSE(r.sError.empty()) << c.sPath;
        }
        EXPECT_EQ(ScanChildCount(), nChildren + 1) << c.sPath;
        EXPECT_LT(elapsed, std::chrono::seconds(3)) << c.sPath;
    }
    // What a plug-in prints reaches the scan's output, not this program's.
    const CScanResult chatty = ScanInChild(kSynthChatty, std::chrono::seconds(5));
    EXPECT_TRUE(chatty.bOk) << chatty.sError;
    EXPECT_EQ(chatty.info.sEffectName, u"PalvorTestChatty");
    EXPECT_THAT(chatty.vOutput, ::testing::UnorderedElementsAre("lo server running on port 7770",
                                                               "chatty: warming up"));
    CScanOptions missing;
    missing.sScanner = P("no-such-scanner");
    EXPECT_THAT(ScanInChild(P("good.so"), missing).sError, ::testing::HasSubstr("could not be started"));

    const CScanResult good = ScanInChild(P("good.so"), std::chrono::seconds(5));
    ASSERT_TRUE(good.bOk);
    EXPECT_EQ(good.info.sPath, Utf8ToUtf16(P("good.so")));
    EXPECT_EQ(good.info.sEffectName, u"PalvorTestSynth");
    EXPECT_EQ(good.info.sVendor, u"Palvor");
    EXPECT_EQ(good.info.sProduct, u"Palvor Test Instruments");
    EXPECT_EQ(good.info.nVendorVersion, 1001);
    EXPECT_EQ(good.info.nInputs, 0);
    EXPECT_EQ(good.info.nOutputs, 2);
    EXPECT_EQ(good.info.nFlags, (1 << 1) | (1 << 3));
}

TEST_F(VstScanFolderTest, EnumerateKeepsGoodPluginsAndRemembersBadOnes) {
    CVstBackendLinux backend({{m_root.string()}, std::chrono::milliseconds(1000), 8});
    const uint64_t nBefore = ScanChildCount();
    const auto start = std::chrono::steady_clock::now();
    const auto first = backend.Enumerate();
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(ScanChildCount() - nBefore, 6u);
    EXPECT_GE(elapsed, std::chrono::milliseconds(900)) << "the hanging plug-in was not waited for";
    EXPECT_LT(elapsed, std::chrono::seconds(5)) << "the time-out did not bound the scan";

    std::vector<std::u16string> vPaths, vNames;
    for (const auto& info : first) {
        vPaths.push_back(info.sPath);
        vNames.push_back(info.sEffectName);
    }
    EXPECT_THAT(vPaths, UnorderedElementsAreArray({Utf8ToUtf16(P("good.so")), Utf8ToUtf16(P("sub/effect.so")),
                                                   Utf8ToUtf16(P("sub/deeper/main.so"))}));
    EXPECT_THAT(vNames, UnorderedElementsAreArray({u"PalvorTestSynth", u"PalvorTestEffect", u"PalvorTestSynth"}));
    EXPECT_THAT(KnownBad(), UnorderedElementsAreArray({P("crash.so"), P("hang.so"), P("text.so")}));

    // Again on the same backend: the scan ran once; nothing is run, the answer is the same.
    const uint64_t nSecond = ScanChildCount();
    const auto second = backend.Enumerate();
    EXPECT_EQ(ScanChildCount(), nSecond);
    ASSERT_EQ(second.size(), first.size());
    for (size_t i = 0; i < first.size(); ++i) EXPECT_EQ(second[i].sPath, first[i].sPath);

    // A new backend scans the good files again but not the bad ones.
    CVstBackendLinux other({{m_root.string()}, std::chrono::milliseconds(1000), 8});
    const uint64_t nThird = ScanChildCount();
    EXPECT_EQ(other.Enumerate().size(), first.size());
    EXPECT_EQ(ScanChildCount() - nThird, 3u);

}

// Where each descriptor of a process points ("/dev/null", "pipe:[N]", "socket:[N]"...).
std::map<int, std::string> Descriptors(pid_t pid) {
    std::map<int, std::string> m;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec)) {
        const auto target = fs::read_symlink(e.path(), ec);
        if (!ec) m[std::stoi(e.path().filename().string())] = target.string();
    }
    return m;
}

TEST_F(VstScanFolderTest, TheScannerHoldsNothingOfOursButItsPipes) {
    // Descriptors this process leaves open across exec: a listening socket and a file.
    const int nSocket = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(nSocket, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(nSocket, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(listen(nSocket, 1), 0);
    const int nFile = open(P("readme.txt").c_str(), O_RDONLY);
    ASSERT_GE(nFile, 0);

    std::map<int, std::string> seen;
    CScanOptions options;
    options.timeout = 1500ms;
    options.onStarted = [&](pid_t pid) {
        // The hanging plug-in is loaded once the scanner has sent its own output to the
        // plug-in's messages (descriptor 1 made a copy of 2).
        const auto end = std::chrono::steady_clock::now() + 2s;
        do {
            seen = Descriptors(pid);
            if (seen.size() == 4 && seen[1] == seen[2]) return;
            std::this_thread::sleep_for(5ms);
        } while (std::chrono::steady_clock::now() < end);
    };
    const CScanResult r = ScanInChild(P("hang.so"), options);
    close(nSocket);
    close(nFile);
    EXPECT_FALSE(r.bOk);
    ASSERT_EQ(seen.size(), 4u) << "descriptors 0 to 3 only";
    EXPECT_EQ(seen[0], "/dev/null");
    EXPECT_THAT(seen[1], ::testing::StartsWith("pipe:"));
    EXPECT_EQ(seen[2], seen[1]);  // the plug-in's output and messages: one pipe
    EXPECT_THAT(seen[3], ::testing::StartsWith("pipe:"));  // the report
    EXPECT_NE(seen[3], seen[1]);
}

TEST_F(VstScanFolderTest, ACancelledScanStopsItsScanner) {
    std::atomic<bool> bCancel{false};
    CScanOptions options;
    options.timeout = 60s;
    options.pCancel = &bCancel;
    options.onStarted = [&](pid_t) { bCancel.store(true); };
    const CScanResult r = ScanInChild(P("hang.so"), options);
    EXPECT_FALSE(r.bOk);
    EXPECT_EQ(r.sError, "scan cancelled");
}

TEST_F(VstScanFolderTest, ASecondStartWithAnUnchangedFolderScansNothing) {
    const fs::path cache = m_root / "state" / "scan-cache";
    CVstHostOptions options{{m_root.string()}, 1000ms, 8, cache, ""};
    const auto Names = [](const std::vector<CVstPluginInfo>& v) {
        std::vector<std::string> out;
        for (const auto& i : v)
            out.push_back(Utf16ToUtf8(i.sPath) + " " + Utf16ToUtf8(i.sEffectName) + " " + std::to_string(i.nFlags) +
                          " " + std::to_string(i.nOutputs));
        return out;
    };
    std::vector<std::string> vFirst;
    {
        CVstBackendLinux first(options);
        const uint64_t n = ScanChildCount();
        vFirst = Names(first.Enumerate());
        EXPECT_EQ(ScanChildCount() - n, 6u);
        EXPECT_EQ(first.ScannedLastTime(), 6u);
    }
    ASSERT_EQ(vFirst.size(), 3u);
    EXPECT_EQ(LoadScanCache(cache).size(), 6u);  // the bad files too

    // The next start: a process that remembers only what is on disk.
    ForgetKnownBad();
    {
        CVstBackendLinux second(options);
        const uint64_t n = ScanChildCount();
        EXPECT_EQ(Names(second.Enumerate()), vFirst);
        EXPECT_EQ(ScanChildCount(), n) << "nothing changed, nothing is scanned";
        EXPECT_EQ(second.ScannedLastTime(), 0u);
        EXPECT_TRUE(KnownBad().empty());
    }

    // A changed file is scanned again; a removed one leaves the list and the cache.
    fs::last_write_time(m_root / "good.so", fs::last_write_time(m_root / "good.so") + 5s);
    fs::remove(m_root / "sub" / "effect.so");
    ForgetKnownBad();
    CVstBackendLinux third(options);
    third.StartScan();
    const uint64_t n = ScanChildCount();
    const auto vThird = third.Enumerate();
    EXPECT_EQ(ScanChildCount() - n, 1u);
    EXPECT_EQ(vThird.size(), 2u);
    const auto onDisk = LoadScanCache(cache);
    EXPECT_EQ(onDisk.size(), 5u);
    EXPECT_EQ(onDisk.count(P("sub/effect.so")), 0u);
}

TEST(VstScanCacheTest, KeepsEveryFieldAndSkipsDamagedLines) {
    CScratchFolder folder;
    const fs::path file = folder.Path() / "a" / "cache";
    EXPECT_TRUE(LoadScanCache(file).empty());  // no file yet
    CScanCache cache;
    CScanRecordOnDisk good{1234, 1700000000123456789, true, "", {}};
    good.info = {u"/x/odd\\tname\t1\n.so", u"Name\twith tab", u"Vendor\\", u"Product\r\n", 7, 2, 4, 0x1B};
    cache[Utf16ToUtf8(good.info.sPath)] = good;
    CScanRecordOnDisk bad{5, -1, false, "crashed (Segmentation fault)\tagain", {}};
    bad.info.sPath = u"/x/bad.so";
    cache["/x/bad.so"] = bad;
    ASSERT_TRUE(SaveScanCache(file, cache));
    // A line with too few fields and one with a size that is not a number.
    std::ofstream(file, std::ios::app) << "/x/short\t1\t2\n" << "/x/nan.so\tx\t1\t1\t\t\t\t0\t0\t0\t0\t\n";

    const CScanCache back = LoadScanCache(file);
    ASSERT_EQ(back.size(), 2u);
    for (const auto& [sPath, r] : cache) {
        ASSERT_EQ(back.count(sPath), 1u) << sPath;
        const auto& b = back.at(sPath);
        EXPECT_EQ(b.nSize, r.nSize);
        EXPECT_EQ(b.nModified, r.nModified);
        EXPECT_EQ(b.bOk, r.bOk);
        EXPECT_EQ(b.sError, r.sError);
        EXPECT_EQ(b.info.sPath, r.info.sPath);
        EXPECT_EQ(b.info.sEffectName, r.info.sEffectName);
        EXPECT_EQ(b.info.sVendor, r.info.sVendor);
        EXPECT_EQ(b.info.sProduct, r.info.sProduct);
        EXPECT_EQ(b.info.nVendorVersion, r.info.nVendorVersion);
        EXPECT_EQ(b.info.nInputs, r.info.nInputs);
        EXPECT_EQ(b.info.nOutputs, r.info.nOutputs);
        EXPECT_EQ(b.info.nFlags, r.info.nFlags);
    }
    // Another program's file is not taken for a cache.
    std::ofstream(file, std::ios::trunc) << "something else\n/x/bad.so\t5\t-1\t0\t\t\t\t0\t0\t0\t0\t\n";
    EXPECT_TRUE(LoadScanCache(file).empty());
}

}  // namespace
}  // namespace DUve::AudioDevice::Vst
