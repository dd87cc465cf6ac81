// The log pane: 32000 lines kept, a user's selection kept (shifted with the text that
// goes), the caret on the last line following new text.
#include "App/shell/RLogPane.h"

#include <gtest/gtest.h>

#include <gtk/gtk.h>

#include "support/Xvfb.h"

using namespace DUve;

namespace {

TEST(LogPane, KeepsTheLastLinesAndTheUsersSelection) {
    PALVOR_NEED_DISPLAY();
    CRLogPane pane;
    for (int i = 0; i < 10; ++i) pane.AppendLog(u"\r\nline " + std::u16string(1, u'0' + i));
    // Caret at the end, nothing selected: it stays at the end.
    int s = 0, e = 0;
    pane.Selection(s, e);
    EXPECT_EQ(s, e);
    EXPECT_EQ(s, static_cast<int>(g_utf8_strlen(pane.Text().c_str(), -1)));

    // The user selects "line 5" (each entry is "\r\nline N": 8 characters).
    const int start = 5 * 8 + 2;
    pane.Select(start, start + 6);
    std::u16string block;
    for (int i = 0; i < 1000; ++i) block += u"\r\nfiller";
    for (int i = 0; i < 31; ++i) pane.AppendLog(block);
    pane.AppendLog(block.substr(0, 995 * 8));
    // 11 + 31,995 lines: the first six ("" and "line 0".."line 4") went.
    EXPECT_EQ(pane.LineCount(), CRLogPane::kMaxLines);
    EXPECT_EQ(pane.Text().rfind("line 5\r\nline 6", 0), 0u);
    pane.Selection(s, e);
    GtkTextBuffer* buffer = gtk_text_view_get_buffer(GTK_TEXT_VIEW(pane.TextView()));
    GtkTextIter a, b;
    gtk_text_buffer_get_iter_at_offset(buffer, &a, s);
    gtk_text_buffer_get_iter_at_offset(buffer, &b, e);
    char* selected = gtk_text_buffer_get_text(buffer, &a, &b, TRUE);
    EXPECT_STREQ(selected, "line 5");
    g_free(selected);

    // The selected line itself goes: the selection is clamped to the start.
    pane.AppendLog(u"\r\nmore");
    EXPECT_EQ(pane.LineCount(), CRLogPane::kMaxLines);
    pane.Selection(s, e);
    EXPECT_EQ(s, 0);
    EXPECT_EQ(e, 0);
}

}  // namespace
