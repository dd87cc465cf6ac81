// The main window's "PalvorServerRun": only a whole-number port from 1 to 65535 makes the
// program listen; anything else is refused with a log line.
#include "App/shell/PalvorServerDlg.h"

#include <gtest/gtest.h>

#include "runtime/RString.h"
#include "runtime/RUiLoopGlib.h"
#include "support/Net.h"
#include "support/TempDir.h"
#include "support/Xvfb.h"

using namespace DUve;

TEST(ServerDlg, PageRunTakesOnlyAPortInRange) {
    PALVOR_NEED_DISPLAY();
    auto loop = CRUiLoopGlib::Create();
    PalvorTest::CTempDir dir;
    std::string log;
    {
        CPalvorServerDlg dialog({.sSiteRoot = "http://127.0.0.1:1/palvor",
                                 .webApi = std::make_shared<CRWebApi>("http://127.0.0.1:1/palvor"),
                                 .serverFolder = dir.Path(),
                                 .onLog = [&](const std::u16string& t) { log += Utf16ToUtf8(t); }});
        ASSERT_TRUE(dialog.OnInitDialog());
        CRWebBrowser& browser = dialog.Web().Browser();
        const int32_t run = browser.GetIdOfName(u"PalvorServerRun");
        for (const std::vector<CRVariant>& args : std::vector<std::vector<CRVariant>>{
                 {int32_t{65616}}, {int32_t{65536}}, {int32_t{0}}, {int32_t{-1}}, {1.5},
                 {std::u16string(u"4000")}, {true}, {CRVariant()}, {}}) {
            log.clear();
            ASSERT_TRUE(browser.Invoke(run, args, nullptr));
            EXPECT_NE(log.find("PalvorServerRun refused"), std::string::npos) << log;
        }
        // A port in range is taken, and is the only one ever listened on.
        const uint16_t port = PalvorTest::FreePort();
        ASSERT_TRUE(browser.Invoke(run, {int32_t{port}}, nullptr));
        const std::string listen = "Acceptor Listen : port=" + std::to_string(port);
        EXPECT_TRUE(loop->RunUntil([&] { return log.find(listen) != log.npos; }, std::chrono::seconds(10)));
        EXPECT_EQ(log.find("Acceptor Listen"), log.find(listen));
        dialog.Controller().PalvorServerStop();
    }
    CRThreadBridge::ReleaseThread();
}
