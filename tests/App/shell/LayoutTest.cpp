// Anchored layout: the arithmetic of every anchor and clamp, the main window's two rule
// sets at the heights that matter, and the rules applied to real child widgets.
#include "App/shell/RRearrangeChildWindow.h"

#include <gtest/gtest.h>

#include <gtk/gtk.h>

#include "support/Xvfb.h"

using namespace DUve;
using R = CRRearrangeRect;

namespace {

R::CEdge E(int32_t anchor, int32_t offset, int32_t clamp = 0, int32_t a = 0, int32_t b = 0) {
    return {anchor, offset, clamp, a, b};
}

// The main window's rules: the browser host above, the log pane below.
R HostRules() {
    R r;
    r.left = E(1, 1);
    r.top = E(2, 1);
    r.right = E(3, -1);
    r.bottom = E(4, -101, 2, 0, 399);
    return r;
}
R LogRules() {
    R r;
    r.left = E(1, 1);
    r.top = E(4, -99, 2, 0, 401);
    r.right = E(3, -1);
    r.bottom = E(4, -1);
    return r;
}

TEST(Layout, MainWindowPanesFollowTheClientHeight) {
    struct Case { int32_t height, hostBottom, logTop; };
    for (const Case c : {Case{300, 199, 201}, Case{500, 399, 401}, Case{800, 399, 401},
                         Case{120, 19, 21}}) {
        SCOPED_TRACE(c.height);
        const R::CRect client{0, 0, 640, c.height};
        const auto host = HostRules().Compute(client, {});
        const auto log = LogRules().Compute(client, {});
        EXPECT_EQ(host, (R::CRect{1, 1, 639, c.hostBottom}));
        EXPECT_EQ(log, (R::CRect{1, c.logTop, 639, c.height - 1}));
        EXPECT_EQ(log.top - host.bottom, 2);
    }
    // A client lower than the clamp's span: the log keeps its top at the client's top.
    EXPECT_EQ(LogRules().Compute({0, 0, 640, 50}, {}).top, 0);
}

TEST(Layout, EveryAnchorTypeInTheWorkingRectangle) {
    // Client 0..200 x 0..100 with margins 10/20/30/40: W = 10..170 x 20..60.
    const R::CRect w{10, 20, 170, 60};
    struct Case { int32_t anchor, offset, expected; };
    for (const Case c : {Case{1, 5, 15}, Case{2, 5, 25}, Case{3, -5, 165}, Case{4, -5, 55},
                         Case{5, 1, 91}, Case{6, 1, 41}, Case{7, 0, 50}, Case{8, 0, 130},
                         Case{9, 0, 30}, Case{10, 0, 50}, Case{11, 25, 50}, Case{12, 50, 40},
                         Case{13, 7, 0}, Case{-1, 7, 0}, Case{0, 7, 123}}) {
        SCOPED_TRACE(c.anchor);
        EXPECT_EQ(R::Coordinate(c.anchor, c.offset, w, 123), c.expected);
    }
    R r;
    r.nMarginLeft = 10, r.nMarginTop = 20, r.nMarginRight = 30, r.nMarginBottom = 40;
    r.left = E(5, 0);
    r.bottom = E(12, 50);
    // Anchor 0 on top and right: those edges stay where the child has them.
    EXPECT_EQ(r.Compute({0, 0, 200, 100}, {3, 4, 5, 6}), (R::CRect{90, 4, 5, 40}));
    // Signed division truncates toward zero: (-7 + 0) / 2 = -3.
    EXPECT_EQ(R::Coordinate(5, 0, {-7, 0, 0, 0}, 0), -3);
}

TEST(Layout, ClampBoundsMayComeInEitherOrder) {
    const R::CRect client{0, 0, 100, 1000};
    for (auto [a, b] : {std::pair{0, 399}, std::pair{399, 0}}) {
        R r;
        r.bottom = E(4, -101, 2, a, b);
        EXPECT_EQ(r.Compute(client, {}).bottom, 399);
        EXPECT_EQ(r.Compute({0, 0, 100, 50}, {}).bottom, 0);
        EXPECT_EQ(r.Compute({0, 0, 100, 300}, {}).bottom, 199);
    }
}

struct Placed { int x, y, w, h; };
Placed PlacedOf(GtkWidget* parent, GtkWidget* child) {
    Placed p{};
    gtk_container_child_get(GTK_CONTAINER(parent), child, "x", &p.x, "y", &p.y, nullptr);
    gtk_widget_get_size_request(child, &p.w, &p.h);
    return p;
}

TEST(Layout, RuleSetsPlaceTheChildrenOfTheirParent) {
    PALVOR_NEED_DISPLAY();
    GtkWidget* parent = gtk_layout_new(nullptr, nullptr);
    g_object_ref_sink(parent);
    GtkWidget* a = gtk_label_new("a");
    GtkWidget* b = gtk_label_new("b");
    gtk_layout_put(GTK_LAYOUT(parent), a, 0, 0);
    gtk_layout_put(GTK_LAYOUT(parent), b, 0, 0);
    {
        CRRearrangeChildWindow first, second;
        first.AttachParent(parent);
        second.AttachParent(parent);
        R wrong;
        wrong.left = E(1, 50);
        ASSERT_TRUE(first.AddChild(a, wrong));
        ASSERT_TRUE(first.AddChild(a, HostRules()));  // replaces the rules above
        ASSERT_TRUE(second.AddChild(b, LogRules()));
        EXPECT_FALSE(second.AddChild(nullptr, LogRules()));

        // One size message of the parent lays out both rule sets.
        CRWindowMessageHook::Dispatch(parent, CRWindowMessageHook::kSize,
                                      CRWindowMessageHook::kSizeRestored, 640 | (300 << 16),
                                      [] { return intptr_t{0}; });
        Placed pa = PlacedOf(parent, a), pb = PlacedOf(parent, b);
        EXPECT_EQ(pa.x, 1);
        EXPECT_EQ(pa.y, 1);
        EXPECT_EQ(pa.w, 638);
        EXPECT_EQ(pa.h, 198);
        EXPECT_EQ(pb.y, 201);
        EXPECT_EQ(pb.h, 98);

        // Minimised: nothing moves. Restored at another size: both follow.
        CRWindowMessageHook::Dispatch(parent, CRWindowMessageHook::kSize,
                                      CRWindowMessageHook::kSizeMinimized, 0,
                                      [] { return intptr_t{0}; });
        EXPECT_EQ(PlacedOf(parent, a).w, 638);
        CRWindowMessageHook::Dispatch(parent, CRWindowMessageHook::kSize,
                                      CRWindowMessageHook::kSizeRestored, 400 | (800 << 16),
                                      [] { return intptr_t{0}; });
        pa = PlacedOf(parent, a), pb = PlacedOf(parent, b);
        EXPECT_EQ(pa.w, 398);
        EXPECT_EQ(pa.h, 398);
        EXPECT_EQ(pb.y, 401);
        EXPECT_EQ(pb.h, 398);
    }
    // With the rule sets gone, the parent's messages move nothing.
    CRWindowMessageHook::Dispatch(parent, CRWindowMessageHook::kSize,
                                  CRWindowMessageHook::kSizeRestored, 100 | (100 << 16),
                                  [] { return intptr_t{0}; });
    EXPECT_EQ(PlacedOf(parent, a).w, 398);
    gtk_widget_destroy(parent);
    g_object_unref(parent);
}

}  // namespace
