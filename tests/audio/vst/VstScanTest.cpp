// Finding plug-in files and scanning them in child processes: bad plug-ins are left out,
// bounded in time and remembered.
#include <gtest/gtest.h>
#include <gmock/gmock.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
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

    // Again on the same backend: nothing is run, the answer is the same.
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

    // A changed file is scanned again.
    fs::last_write_time(m_root / "good.so", fs::last_write_time(m_root / "good.so") + std::chrono::seconds(5));
    const uint64_t nFourth = ScanChildCount();
    EXPECT_EQ(backend.Enumerate().size(), first.size());
    EXPECT_EQ(ScanChildCount() - nFourth, 1u);
}

}  // namespace
}  // namespace DUve::AudioDevice::Vst
