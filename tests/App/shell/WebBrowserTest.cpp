// The embedded browser with a real page: calls reach their handlers with the arguments
// in call order and typed as the page passed them, a synchronous method answers in the
// page, ids are stable, and the user agent names the program.
#include "App/shell/RWebBrowser.h"

#include <gtest/gtest.h>

#include <gtk/gtk.h>
#include <webkit2/webkit2.h>

#include "support/Xvfb.h"

using namespace DUve;

namespace {

bool RunUntil(const std::function<bool()>& done, int seconds = 30) {
    const gint64 end = g_get_monotonic_time() + seconds * G_USEC_PER_SEC;
    while (!done() && g_get_monotonic_time() < end)
        if (!g_main_context_iteration(nullptr, FALSE)) g_usleep(1000);
    return done();
}

TEST(WebBrowser, PageCallsReachTheirHandlers) {
    PALVOR_NEED_DISPLAY();
    GtkWidget* window = gtk_offscreen_window_new();
    GtkWidget* host = gtk_layout_new(nullptr, nullptr);
    gtk_widget_set_size_request(host, 300, 200);
    gtk_container_add(GTK_CONTAINER(window), host);
    {
        CRWebBrowser browser;
        browser.Create(host);
        ASSERT_NE(browser.GetWindow(), nullptr);
        std::vector<std::vector<CRVariant>> calls;
        EXPECT_EQ(browser.AddMethod(u"First", [&](const auto& args, CRVariant*) { calls.push_back(args); }),
                  8001);
        EXPECT_EQ(browser.AddMethod(u"IsOn", [&](const auto&, CRVariant* r) { *r = true; }), 8002);
        // The same name again keeps its id and takes the new handler.
        std::vector<std::vector<CRVariant>> second;
        EXPECT_EQ(browser.AddMethod(u"First", [&](const auto& args, CRVariant*) { second.push_back(args); }),
                  8001);
        browser.AddMethod(u"Report", [&](const auto& args, CRVariant*) { calls.push_back(args); });
        browser.SetSynchronous(u"IsOn");
        browser.UpdateSynchronous();
        EXPECT_EQ(browser.GetIdOfName(u"first"), CRWebBrowser::kUnknownDispId);  // exact names

        gtk_widget_show_all(window);
        const char* page =
            "<html><body><script>"
            "window.external.First(4000, 'name\\u3042', 2.5, true, null);"
            "var v = 7; window.external.First(v);"
            "window.external.Report(window.external.IsOn(), navigator.userAgent,"
            "  typeof window.external.Nothing);"
            "</script></body></html>";
        webkit_web_view_load_html(WEBKIT_WEB_VIEW(browser.GetWindow()), page, "http://127.0.0.1/");
        ASSERT_TRUE(RunUntil([&] { return second.size() == 2 && calls.size() == 1; }))
            << "page calls did not arrive";
        ASSERT_EQ(second[0].size(), 5u);
        EXPECT_EQ(std::get<int32_t>(second[0][0]), 4000);
        EXPECT_EQ(std::get<std::u16string>(second[0][1]), u"name\u3042");
        EXPECT_DOUBLE_EQ(std::get<double>(second[0][2]), 2.5);
        EXPECT_EQ(std::get<bool>(second[0][3]), true);
        EXPECT_TRUE(std::holds_alternative<std::monostate>(second[0][4]));
        EXPECT_EQ(std::get<int32_t>(second[1][0]), 7);
        ASSERT_EQ(calls[0].size(), 3u);
        EXPECT_EQ(std::get<bool>(calls[0][0]), true);
        const std::u16string agent = std::get<std::u16string>(calls[0][1]);
        EXPECT_TRUE(agent.ends_with(u" PalvorServer/1.0")) << std::string(agent.begin(), agent.end());
        EXPECT_EQ(std::get<std::u16string>(calls[0][2]), u"undefined");

        // The program changes the synchronous answer; the page sees it at once.
        browser.AddMethod(u"IsOn", [&](const auto&, CRVariant* r) { *r = false; });
        browser.UpdateSynchronous();
        calls.clear();
        ASSERT_TRUE(browser.ExecScript("window.external.Report(window.external.IsOn())"));
        ASSERT_TRUE(RunUntil([&] { return calls.size() == 1; }));
        EXPECT_EQ(std::get<bool>(calls[0][0]), false);
    }
    gtk_widget_destroy(window);
}

TEST(WebBrowser, ValuesAsScriptLiterals) {
    EXPECT_EQ(CRWebBrowser::ToScript(CRVariant()), "undefined");
    EXPECT_EQ(CRWebBrowser::ToScript(CRVariant(true)), "true");
    EXPECT_EQ(CRWebBrowser::ToScript(CRVariant(int32_t{-5})), "-5");
    EXPECT_EQ(CRWebBrowser::ToScript(CRVariant(0.5)), "0.5");
    EXPECT_EQ(CRWebBrowser::ToScript(CRVariant(std::u16string(u"a\"b\\c</script>\u3042"))),
              "\"a\\\"b\\\\c</script>\\u3042\"");
}

}  // namespace
