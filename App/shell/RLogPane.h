// The log pane: a read-only monospace text view that keeps the last 32000 lines. New text
// follows the end while the caret is on the last line and nothing is selected; a user who
// scrolled back or selected text keeps the view and the selection.
#pragma once

#include <cstdint>
#include <string>

typedef struct _GtkWidget GtkWidget;

namespace DUve {

class CRLogPane {
public:
    static constexpr int kMaxLines = 32000;

    CRLogPane();
    ~CRLogPane();
    CRLogPane(const CRLogPane&) = delete;
    CRLogPane& operator=(const CRLogPane&) = delete;

    // The scrolled window to place in the parent.
    GtkWidget* Widget() const { return m_scrolled; }
    GtkWidget* TextView() const { return m_view; }

    void AppendLog(const std::u16string& text);

    int LineCount() const;
    std::string Text() const;
    // Selection as character offsets.
    void Select(int start, int end);
    void Selection(int& start, int& end) const;

private:
    GtkWidget* m_scrolled;
    GtkWidget* m_view;
};

}  // namespace DUve
