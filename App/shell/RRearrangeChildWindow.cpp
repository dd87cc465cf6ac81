#include "App/shell/RRearrangeChildWindow.h"

#include <algorithm>
#include <utility>

#include <gtk/gtk.h>

namespace DUve {

int32_t CRRearrangeRect::Coordinate(int32_t anchor, int32_t o, const CRect& w, int32_t current) {
    switch (anchor) {
        case 0: return current;
        case 1: return w.left + o;
        case 2: return w.top + o;
        case 3: return w.right + o;
        case 4: return w.bottom + o;
        case 5: return (w.left + w.right) / 2 + o;
        case 6: return (w.top + w.bottom) / 2 + o;
        case 7: return w.left + (w.right - w.left) / 4 + o;
        case 8: return w.left + 3 * (w.right - w.left) / 4 + o;
        case 9: return w.top + (w.bottom - w.top) / 4 + o;
        case 10: return w.top + 3 * (w.bottom - w.top) / 4 + o;
        case 11: return w.left + (w.right - w.left) * o / 100;
        case 12: return w.top + (w.bottom - w.top) * o / 100;
        default: return 0;
    }
}

CRRearrangeRect::CRect CRRearrangeRect::Compute(const CRect& client, const CRect& current) const {
    const CRect w{client.left + nMarginLeft, client.top + nMarginTop,
                  client.right - nMarginRight, client.bottom - nMarginBottom};
    CRect r = current;
    auto apply = [&](const CEdge& e, int32_t& coordinate) {
        if (e.nAnchor == 0) return;
        int32_t v = Coordinate(e.nAnchor, e.nOffset, w, coordinate);
        if (e.nClamp != 0) {
            int32_t a = Coordinate(e.nClamp, e.nClampA, w, coordinate);
            int32_t b = Coordinate(e.nClamp, e.nClampB, w, coordinate);
            if (a > b) std::swap(a, b);
            if (v < a) v = a;
            if (v > b) v = b;
        }
        coordinate = v;
    };
    apply(left, r.left);
    apply(top, r.top);
    apply(right, r.right);
    apply(bottom, r.bottom);
    return r;
}

// One per parent widget: its hook drives every rule set attached to it.
class CRRearrangeChildWindow::CParent : public CRWindowMessageHook2 {
public:
    void OnBeforeMessage(uint32_t message, uintptr_t wParam, intptr_t lParam, bool&) override {
        if (message != kSize || wParam == kSizeMinimized) return;
        LayOut(CRRearrangeRect::CRect{0, 0, static_cast<int32_t>(lParam & 0xFFFF),
                                      static_cast<int32_t>((lParam >> 16) & 0xFFFF)},
               nullptr);
    }

    // Places the children of every live rule set (or of `only`) in one batch.
    void LayOut(const CRRearrangeRect::CRect& client, const CRRearrangeChildWindow* only) {
        std::vector<std::pair<GtkWidget*, CRRearrangeRect::CRect>> batch;
        std::erase_if(sets, [](const auto& w) { return w.expired(); });
        for (const auto& w : sets) {
            auto p = w.lock();
            if (!p || !*p) continue;
            if (only && *p != only) continue;
            (*p)->Layout(client, batch);
        }
        GtkWidget* parent = Window();
        if (!parent) return;
        bool changed = false;
        for (const auto& [child, r] : batch) {
            if (gtk_widget_get_parent(child) != parent) continue;
            const int width = std::max(0, r.right - r.left);
            const int height = std::max(0, r.bottom - r.top);
            int x = 0, y = 0, w = 0, h = 0;
            gtk_container_child_get(GTK_CONTAINER(parent), child, "x", &x, "y", &y, nullptr);
            gtk_widget_get_size_request(child, &w, &h);
            changed = changed || x != r.left || y != r.top || w != width || h != height;
            if (x != r.left || y != r.top) {
                if (GTK_IS_LAYOUT(parent))
                    gtk_layout_move(GTK_LAYOUT(parent), child, r.left, r.top);
                else if (GTK_IS_FIXED(parent))
                    gtk_fixed_move(GTK_FIXED(parent), child, r.left, r.top);
            }
            if (w != width || h != height) gtk_widget_set_size_request(child, width, height);
        }
        // Inside the parent's own allocation the new requests are not yet seen: allocate
        // the parent once more when the loop is idle.
        if (changed) ReallocateWhenIdle(parent);
    }

    CRRearrangeRect::CRect ClientRect() {
        GtkAllocation a;
        gtk_widget_get_allocation(Window(), &a);
        return {0, 0, a.width, a.height};
    }

    std::vector<std::weak_ptr<CRRearrangeChildWindow*>> sets;
};

namespace {
std::map<GtkWidget*, std::weak_ptr<CRRearrangeChildWindow::CParent>>& Parents() {
    thread_local std::map<GtkWidget*, std::weak_ptr<CRRearrangeChildWindow::CParent>> map;
    return map;
}
}  // namespace

CRRearrangeChildWindow::CRRearrangeChildWindow()
    : m_self(std::make_shared<CRRearrangeChildWindow*>(this)) {}

CRRearrangeChildWindow::~CRRearrangeChildWindow() {
    *m_self = nullptr;
    for (const auto& [child, rules] : m_children) g_object_unref(child);
}

void CRRearrangeChildWindow::AttachParent(GtkWidget* parent) {
    if (m_parent || !parent || !GTK_IS_CONTAINER(parent)) return;
    auto& registry = Parents();
    std::erase_if(registry, [](const auto& e) { return e.second.expired(); });
    auto p = registry[parent].lock();
    if (!p || p->Window() != parent) {
        p = std::make_shared<CParent>();
        p->Attach(parent);
        registry[parent] = p;
    }
    m_parent = p;
    p->sets.push_back(m_self);
}

bool CRRearrangeChildWindow::AddChild(GtkWidget* child, const CRRearrangeRect& rules) {
    if (!child || !GTK_IS_WIDGET(child)) return false;
    // The rule set keeps its children alive as objects, so a destroyed child is seen as one
    // that left its parent.
    if (!m_children.contains(child)) g_object_ref(child);
    m_children.insert_or_assign(child, rules);
    if (m_parent && m_parent->Window()) m_parent->LayOut(m_parent->ClientRect(), this);
    return true;
}

void CRRearrangeChildWindow::Layout(
    const CRRearrangeRect::CRect& client,
    std::vector<std::pair<GtkWidget*, CRRearrangeRect::CRect>>& batch) const {
    GtkWidget* parent = m_parent ? m_parent->Window() : nullptr;
    if (!parent) return;
    for (const auto& [child, rules] : m_children) {
        if (gtk_widget_get_parent(child) != parent) continue;
        int x = 0, y = 0, w = 0, h = 0;
        gtk_container_child_get(GTK_CONTAINER(parent), child, "x", &x, "y", &y, nullptr);
        gtk_widget_get_size_request(child, &w, &h);
        if (w < 0 || h < 0) {
            GtkAllocation a;
            gtk_widget_get_allocation(child, &a);
            if (w < 0) w = a.width;
            if (h < 0) h = a.height;
        }
        batch.emplace_back(child, rules.Compute(client, {x, y, x + w, y + h}));
    }
}

}  // namespace DUve
