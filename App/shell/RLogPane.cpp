#include "App/shell/RLogPane.h"

#include <algorithm>

#include <gtk/gtk.h>

#include "runtime/RString.h"

namespace DUve {

CRLogPane::CRLogPane() {
    m_view = gtk_text_view_new();
    gtk_text_view_set_editable(GTK_TEXT_VIEW(m_view), FALSE);
    gtk_text_view_set_cursor_visible(GTK_TEXT_VIEW(m_view), TRUE);
    gtk_text_view_set_monospace(GTK_TEXT_VIEW(m_view), TRUE);
    gtk_text_view_set_wrap_mode(GTK_TEXT_VIEW(m_view), GTK_WRAP_NONE);
    GtkCssProvider* css = gtk_css_provider_new();
    gtk_css_provider_load_from_data(css, "textview { font-size: 7.5pt; }", -1, nullptr);
    gtk_style_context_add_provider(gtk_widget_get_style_context(m_view), GTK_STYLE_PROVIDER(css),
                                   GTK_STYLE_PROVIDER_PRIORITY_APPLICATION);
    g_object_unref(css);
    m_scrolled = gtk_scrolled_window_new(nullptr, nullptr);
    gtk_scrolled_window_set_policy(GTK_SCROLLED_WINDOW(m_scrolled), GTK_POLICY_ALWAYS,
                                   GTK_POLICY_ALWAYS);
    gtk_scrolled_window_set_shadow_type(GTK_SCROLLED_WINDOW(m_scrolled), GTK_SHADOW_IN);
    gtk_container_add(GTK_CONTAINER(m_scrolled), m_view);
    g_object_ref_sink(m_scrolled);
    gtk_widget_show_all(m_scrolled);
}

CRLogPane::~CRLogPane() {
    gtk_widget_destroy(m_scrolled);
    g_object_unref(m_scrolled);
}

int CRLogPane::LineCount() const {
    return gtk_text_buffer_get_line_count(gtk_text_view_get_buffer(GTK_TEXT_VIEW(m_view)));
}

std::string CRLogPane::Text() const {
    GtkTextBuffer* b = gtk_text_view_get_buffer(GTK_TEXT_VIEW(m_view));
    GtkTextIter s, e;
    gtk_text_buffer_get_bounds(b, &s, &e);
    char* t = gtk_text_buffer_get_text(b, &s, &e, TRUE);
    std::string r = t ? t : "";
    g_free(t);
    return r;
}

void CRLogPane::Select(int start, int end) {
    GtkTextBuffer* b = gtk_text_view_get_buffer(GTK_TEXT_VIEW(m_view));
    GtkTextIter s, e;
    gtk_text_buffer_get_iter_at_offset(b, &s, start);
    gtk_text_buffer_get_iter_at_offset(b, &e, end);
    gtk_text_buffer_select_range(b, &s, &e);
}

void CRLogPane::Selection(int& start, int& end) const {
    GtkTextBuffer* b = gtk_text_view_get_buffer(GTK_TEXT_VIEW(m_view));
    GtkTextIter s, e;
    gtk_text_buffer_get_selection_bounds(b, &s, &e);
    start = gtk_text_iter_get_offset(&s);
    end = gtk_text_iter_get_offset(&e);
}

void CRLogPane::AppendLog(const std::u16string& text) {
    GtkTextBuffer* buffer = gtk_text_view_get_buffer(GTK_TEXT_VIEW(m_view));
    GtkAdjustment* vadj = gtk_scrollable_get_vadjustment(GTK_SCROLLABLE(m_view));
    const double scroll = vadj ? gtk_adjustment_get_value(vadj) : 0.0;
    // The caret counts as at the end when it is on the last line.
    int selStart = 0, selEnd = 0;
    Selection(selStart, selEnd);
    GtkTextIter it;
    gtk_text_buffer_get_iter_at_offset(buffer, &it, selStart);
    const bool atEnd = gtk_text_iter_get_line(&it) >= LineCount() - 1;

    const std::string utf8 = Utf16ToUtf8(text);
    GtkTextIter end;
    gtk_text_buffer_get_end_iter(buffer, &end);
    gtk_text_buffer_insert(buffer, &end, utf8.data(), static_cast<int>(utf8.size()));

    const int lines = LineCount();
    if (lines > kMaxLines) {
        GtkTextIter from, to;
        gtk_text_buffer_get_start_iter(buffer, &from);
        gtk_text_buffer_get_iter_at_line(buffer, &to, lines - kMaxLines);
        const int removed = gtk_text_iter_get_offset(&to);
        gtk_text_buffer_delete(buffer, &from, &to);
        selStart = std::max(0, selStart - removed);
        selEnd = std::max(0, selEnd - removed);
    }

    if (selStart == selEnd && atEnd) {
        gtk_text_buffer_get_end_iter(buffer, &end);
        gtk_text_buffer_place_cursor(buffer, &end);
        gtk_text_view_scroll_to_mark(GTK_TEXT_VIEW(m_view), gtk_text_buffer_get_insert(buffer),
                                     0.0, FALSE, 0.0, 1.0);
    } else {
        Select(selStart, selEnd);
        if (vadj) gtk_adjustment_set_value(vadj, scroll);
    }
    gtk_widget_queue_draw(m_view);
}

}  // namespace DUve
