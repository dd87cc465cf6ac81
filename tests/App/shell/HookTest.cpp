// Message hooks on real widgets: order of before, own and after handling, callDefault,
// attaching and detaching while a message is dispatched, and the widget's destruction.
#include "App/shell/RWindowMessageHook.h"

#include <gtest/gtest.h>

#include <string>

#include <gtk/gtk.h>

#include "support/Xvfb.h"

using namespace DUve;

namespace {

constexpr uint32_t kTest = 0x8001;

class Hook : public ::testing::Test {
protected:
    void SetUp() override {
        PALVOR_NEED_DISPLAY();
        widget = gtk_label_new("x");
        g_object_ref_sink(widget);
    }
    void TearDown() override {
        if (widget) {
            gtk_widget_destroy(widget);
            g_object_unref(widget);
        }
    }
    intptr_t Send(intptr_t own = 7) {
        return CRWindowMessageHook::Dispatch(widget, kTest, 1, 2, [&] {
            trace += "own;";
            return own;
        });
    }
    GtkWidget* widget = nullptr;
    std::string trace;
};

TEST_F(Hook, BeforeOwnAfterAndCallDefault) {
    CRWindowMessageHook a, b;
    a.before = [&](GtkWidget* w, uint32_t m, uintptr_t wp, intptr_t lp, bool& def) {
        EXPECT_EQ(w, widget);
        EXPECT_EQ(m, kTest);
        EXPECT_EQ(wp, 1u);
        EXPECT_EQ(lp, 2);
        trace += def ? "a+;" : "a-;";
    };
    a.after = [&](GtkWidget*, uint32_t, uintptr_t, intptr_t, intptr_t& result) {
        trace += "after" + std::to_string(result) + ";";
    };
    ASSERT_TRUE(a.Attach(widget));
    EXPECT_EQ(Send(), 7);
    EXPECT_EQ(trace, "a+;own;after7;");

    // A second hook that clears callDefault: the own handling is skipped, the result is 0.
    b.before = [&](GtkWidget*, uint32_t, uintptr_t, intptr_t, bool& def) { def = false; };
    ASSERT_TRUE(b.Attach(widget));
    trace.clear();
    EXPECT_EQ(Send(), 0);
    EXPECT_EQ(trace.find("own"), std::string::npos);
    // ... unless an after-handler sets another.
    b.after = [](GtkWidget*, uint32_t, uintptr_t, intptr_t, intptr_t& result) { result = 42; };
    EXPECT_EQ(Send(), 42);

    // Detaching (null) and a failed attach.
    EXPECT_TRUE(b.Attach(nullptr));
    EXPECT_EQ(b.Window(), nullptr);
    trace.clear();
    EXPECT_EQ(Send(), 7);
    GObject* notAWidget = G_OBJECT(g_object_new(G_TYPE_OBJECT, nullptr));
    EXPECT_FALSE(a.Attach(reinterpret_cast<GtkWidget*>(notAWidget)));
    g_object_unref(notAWidget);
    EXPECT_EQ(a.Window(), widget);  // the failed attach kept the current one
}

TEST_F(Hook, HandlersThatAttachOrDetachDoNotDisturbTheDispatch) {
    CRWindowMessageHook a, late;
    int lateCalls = 0;
    late.before = [&](GtkWidget*, uint32_t, uintptr_t, intptr_t, bool&) { ++lateCalls; };
    a.before = [&](GtkWidget*, uint32_t, uintptr_t, intptr_t, bool&) {
        late.Attach(widget);  // joins from the next message on
        a.Attach(nullptr);    // leaves; its after-handler is not called any more
    };
    bool afterCalled = false;
    a.after = [&](GtkWidget*, uint32_t, uintptr_t, intptr_t, intptr_t&) { afterCalled = true; };
    ASSERT_TRUE(a.Attach(widget));
    Send();
    EXPECT_EQ(lateCalls, 0);
    EXPECT_FALSE(afterCalled);
    Send();
    EXPECT_EQ(lateCalls, 1);
}

TEST_F(Hook, DestroyingTheWidgetDetachesEveryHook) {
    CRWindowMessageHook2 a;
    struct Counting : CRWindowMessageHook2 {
        int destroyed = 0, sizes = 0;
        void OnBeforeMessage(uint32_t m, uintptr_t, intptr_t, bool&) override {
            destroyed += m == kNcDestroy;
            sizes += m == kSize;
        }
    } counting;
    GtkWidget* window = gtk_offscreen_window_new();
    gtk_container_add(GTK_CONTAINER(window), widget);
    gtk_widget_show_all(window);
    ASSERT_TRUE(a.Attach(widget));
    ASSERT_TRUE(counting.Attach(widget));
    // A real allocation reaches the hook as a size message.
    GtkAllocation alloc{0, 0, 50, 20};
    gtk_widget_size_allocate(widget, &alloc);
    EXPECT_GE(counting.sizes, 1);
    gtk_container_remove(GTK_CONTAINER(window), widget);
    gtk_widget_destroy(window);
    gtk_widget_destroy(widget);
    EXPECT_EQ(counting.destroyed, 1);
    EXPECT_EQ(a.Window(), nullptr);
    EXPECT_EQ(counting.Window(), nullptr);
    // The widget is no longer known: its messages reach nobody.
    EXPECT_EQ(Send(), 0);
    EXPECT_TRUE(trace.empty());
}

}  // namespace
