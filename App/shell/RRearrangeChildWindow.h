// Anchored layout of child widgets: each child has four edge rules measured in its
// parent's client rectangle, and every size change of the parent places all children of
// all rule sets of that parent in one batch. The arithmetic (CRRearrangeRect) is pure.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <vector>

#include "App/shell/RWindowMessageHook.h"

namespace DUve {

class CRRearrangeRect {
public:
    struct CRect {
        int32_t left = 0, top = 0, right = 0, bottom = 0;
        bool operator==(const CRect&) const = default;
    };
    // Anchor types: 0 keeps the edge, 1-4 left/top/right/bottom of the working rectangle,
    // 5/6 its horizontal/vertical centre, 7/8 a quarter/three quarters across, 9/10 a
    // quarter/three quarters down, 11/12 a percentage across/down; any other type gives 0.
    struct CEdge {
        int32_t nAnchor = 0;
        int32_t nOffset = 0;
        int32_t nClamp = 0;  // anchor type of both bounds; 0 = no clamp
        int32_t nClampA = 0;
        int32_t nClampB = 0;
    };

    virtual ~CRRearrangeRect() = default;

    // The coordinate an anchor gives in the working rectangle `w`; `current` for type 0.
    static int32_t Coordinate(int32_t anchor, int32_t offset, const CRect& w, int32_t current);
    // The child's new rectangle from the parent's client rectangle and its current one.
    CRect Compute(const CRect& client, const CRect& current) const;

    CEdge left, top, right, bottom;
    int32_t nMarginLeft = 0, nMarginTop = 0, nMarginRight = 0, nMarginBottom = 0;
};

class CRRearrangeChildWindow {
public:
    CRRearrangeChildWindow();
    virtual ~CRRearrangeChildWindow();
    CRRearrangeChildWindow(const CRRearrangeChildWindow&) = delete;
    CRRearrangeChildWindow& operator=(const CRRearrangeChildWindow&) = delete;

    // Ties this rule set to `parent` (a GtkLayout or GtkFixed), once. All rule sets of
    // one parent share one hook on it.
    void AttachParent(GtkWidget* parent);
    // Sets or replaces the rules of `child` (a child of the parent); lays it out at once
    // when attached. False when `child` is not a widget.
    bool AddChild(GtkWidget* child, const CRRearrangeRect& rules);

    class CParent;

private:
    friend class CParent;
    // Computes the new rectangles of this set's children into `batch`.
    void Layout(const CRRearrangeRect::CRect& client,
                std::vector<std::pair<GtkWidget*, CRRearrangeRect::CRect>>& batch) const;

    std::shared_ptr<CParent> m_parent;
    std::map<GtkWidget*, CRRearrangeRect> m_children;
    std::shared_ptr<CRRearrangeChildWindow*> m_self;  // weak references point here
};

}  // namespace DUve
