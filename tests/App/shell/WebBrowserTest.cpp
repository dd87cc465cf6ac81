// The embedded browser with a real page: calls reach their handlers with the arguments
// in call order and typed as the page passed them, a synchronous method answers in the
// page, ids are stable, and the user agent names the program. Only the site's page in the
// top frame may call: a frame of another origin is ignored, and the top frame never
// leaves for another origin (the launcher is asked instead).
#include "App/shell/RWebBrowser.h"

#include <gtest/gtest.h>

#include <gtk/gtk.h>
#include <webkit2/webkit2.h>

#include "runtime/RString.h"

#include "support/HttpStub.h"
#include "support/Net.h"
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
        browser.SetSiteRoot("http://127.0.0.1/");
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

// A loopback server whose every answer is one HTML page.
std::unique_ptr<PalvorTest::CLoopbackHttp> Serve(const std::string& html) {
    PalvorTest::CLoopbackHttp::CReply r;
    r.sRaw = "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Length: " +
             std::to_string(html.size()) + "\r\nConnection: close\r\n\r\n" + html;
    return std::make_unique<PalvorTest::CLoopbackHttp>(std::vector{r}, std::chrono::seconds(60));
}

TEST(WebBrowser, OnlyTheSitesTopFrameMayCall) {
    PALVOR_NEED_DISPLAY();
    setenv("no_proxy", "127.0.0.1", 1);
    // The other origin's frame tries every way in (its direct posts name Report's id),
    // then tells the site, whose own calls must be the only ones that run.
    const auto other = Serve(
        "<script>try { parent.external.Report('via parent'); } catch (e) {}"
        "var h = window.webkit.messageHandlers.palvorExternal;"
        "h.postMessage({id: 8001, args: ['direct']});"
        "h.postMessage({id: 8001, args: ['guess'], token: 'guess'});"
        "parent.postMessage('frame done', '*');</script>");
    const std::string otherOrigin = other->Root().substr(0, other->Root().rfind('/'));
    const auto site = Serve("<script>window.onmessage = function (e) { external.Report(e.data); };"
                            "external.Report('top');</script><iframe src='" + otherOrigin + "/f'>");
    const std::string siteOrigin = site->Root().substr(0, site->Root().rfind('/'));
    GtkWidget* window = gtk_offscreen_window_new();
    GtkWidget* host = gtk_layout_new(nullptr, nullptr);
    gtk_container_add(GTK_CONTAINER(window), host);
    {
        CRWebBrowser browser;
        std::vector<std::string> calls, launched;
        long ignored = 0;
        browser.SetSiteRoot(site->Root());
        browser.SetLog([&](const std::string& t) { ignored += t.find("call ignored") != t.npos; });
        browser.SetLauncher([&](const std::string& url) { launched.push_back(url); return true; });
        browser.Create(host);
        browser.AddMethod(u"Report", [&](const auto& args, CRVariant*) {
            calls.push_back(Utf16ToUtf8(std::get<std::u16string>(args.at(0))));
        });
        gtk_widget_show_all(window);
        ASSERT_TRUE(browser.Navigate(site->Root()));
        ASSERT_TRUE(RunUntil([&] { return !calls.empty() && calls.back() == "frame done"; }));
        EXPECT_EQ(calls, (std::vector<std::string>{"top", "frame done"}));
        EXPECT_EQ(ignored, 2);

        // The top frame leaving for another origin, answering or not: the launcher gets
        // it, the page stays.
        for (const std::string& away : {otherOrigin + "/away?a=1",
                                        "http://127.0.0.1:" + std::to_string(PalvorTest::FreePort()) + "/"}) {
            launched.clear();
            ASSERT_TRUE(browser.ExecScript("location.href = '" + away + "'"));
            ASSERT_TRUE(RunUntil([&] { return !launched.empty(); })) << away;
            EXPECT_EQ(launched, std::vector<std::string>{away});
            EXPECT_EQ(webkit_web_view_get_uri(WEBKIT_WEB_VIEW(browser.GetWindow())), site->Root());
        }

        // The same page under other site roots: it obeys only with the same scheme, host
        // and port.
        const std::string port = siteOrigin.substr(siteOrigin.rfind(':'));
        const std::pair<std::string, bool> roots[] = {
            {"HTTP://127.0.0.1" + port + "/x", true}, {"https://127.0.0.1" + port, false},
            {"http://localhost" + port, false}, {other->Root(), false},
            {"http://127.0.0.1/palvor", false}, {"", false}};
        for (const auto& [root, obeyed] : roots) {
            browser.SetSiteRoot(root);
            calls.clear();
            const long before = ignored;
            ASSERT_TRUE(browser.ExecScript("external.Report(location.origin)"));
            ASSERT_TRUE(RunUntil([&] { return !calls.empty() || ignored > before; })) << root;
            EXPECT_EQ(calls, obeyed ? std::vector<std::string>{siteOrigin} : std::vector<std::string>{})
                << root;
        }
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
