// The web side of the window: the page's logged-in state as the page may pass it, the
// keep-alive every three minutes on the UI timer, and the browser following its host.
#include "App/shell/RPalvorWebBase.h"

#include <gtest/gtest.h>

#include <gtk/gtk.h>

#include "support/ManualClock.h"
#include "support/Xvfb.h"

using namespace DUve;

namespace {

TEST(WebBase, LoggedInStateAndKeepAlive) {
    PALVOR_NEED_DISPLAY();
    DUve::Test::CManualClock::CScope now(1);
    GtkWidget* window = gtk_offscreen_window_new();
    GtkWidget* host = gtk_layout_new(nullptr, nullptr);
    gtk_container_add(GTK_CONTAINER(window), host);
    int keepAlives = 0;
    {
        CRPalvorWebBase web([&] { ++keepAlives; });
        ASSERT_TRUE(web.Init(host));
        const int32_t id = web.Browser().GetIdOfName(u"PalvorLoggedInState");
        EXPECT_EQ(id, CRWebBrowser::kFirstDispId);

        struct Case { std::vector<CRVariant> args; int32_t id; std::u16string name; };
        const std::vector<Case> cases = {
            {{int32_t{5}, std::u16string(u"Aiko")}, 5, u"Aiko"},
            {{int32_t{7}}, 0, u""},                               // too few arguments
            {{std::u16string(u"7"), std::u16string(u"B")}, 0, u"B"},  // id not an integer
            {{int32_t{8}, int32_t{9}}, 8, u""},                   // name not a string
            {{2.5, std::u16string(u"C"), true}, 0, u"C"},
        };
        for (const auto& c : cases) {
            ASSERT_TRUE(web.Browser().Invoke(id, c.args, nullptr));
            EXPECT_EQ(web.LoggedInId(), c.id);
            EXPECT_EQ(web.LoggedInName(), c.name);
        }
        EXPECT_FALSE(web.Browser().Invoke(id + 100, {}, nullptr));

        // The host's size reaches the browser.
        gtk_widget_set_size_request(host, 320, 240);
        gtk_widget_show_all(window);
        for (int i = 0; i < 50; ++i) g_main_context_iteration(nullptr, FALSE);
        int w = 0, h = 0;
        gtk_widget_get_size_request(web.Browser().GetWindow(), &w, &h);
        EXPECT_EQ(w, 320);
        EXPECT_EQ(h, 240);

        // Keep-alive: once three minutes have passed, and not before.
        now.clock->Advance(179999ull * 1000000);
        CRTimerT<CRTimerCounter>::RunDue();
        EXPECT_EQ(keepAlives, 0);
        now.clock->Advance(1000000);
        CRTimerT<CRTimerCounter>::RunDue();
        EXPECT_EQ(keepAlives, 1);
    }
    // Gone with the web base.
    now.clock->Advance(360000ull * 1000000);
    CRTimerT<CRTimerCounter>::RunDue();
    EXPECT_EQ(keepAlives, 1);
    gtk_widget_destroy(window);
}

}  // namespace
