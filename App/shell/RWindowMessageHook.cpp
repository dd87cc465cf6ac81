#include "App/shell/RWindowMessageHook.h"

#include <map>
#include <vector>

#include <gtk/gtk.h>

namespace DUve {

struct CRWindowMessageHook::CHookInner {
    CRWindowMessageHook* pHook;
    GtkWidget* window;
};

struct CRWindowMessageHook::CHookMap {
    std::vector<std::weak_ptr<CHookInner>> hooks;
    std::vector<gulong> signals;
    int nDepth = 0;
};

namespace {
using CRegistry = std::map<GtkWidget*, std::unique_ptr<CRWindowMessageHook::CHookMap>>;
CRegistry& Registry() {
    thread_local CRegistry registry;
    return registry;
}
}  // namespace

CRWindowMessageHook::CRWindowMessageHook() = default;

CRWindowMessageHook::~CRWindowMessageHook() { m_inner.reset(); }

GtkWidget* CRWindowMessageHook::Window() const { return m_inner ? m_inner->window : nullptr; }

bool CRWindowMessageHook::Attach(GtkWidget* window) {
    if (window && !GTK_IS_WIDGET(window)) return false;
    m_inner.reset();
    if (!window) return true;
    auto& slot = Registry()[window];
    if (!slot) {
        slot = std::make_unique<CHookMap>();
        Connect(window, *slot);
    }
    m_inner = std::make_shared<CHookInner>(CHookInner{this, window});
    std::erase_if(slot->hooks, [](const auto& w) { return w.expired(); });
    slot->hooks.push_back(m_inner);
    return true;
}

intptr_t CRWindowMessageHook::Dispatch(GtkWidget* window, uint32_t message, uintptr_t wParam,
                                       intptr_t lParam,
                                       const std::function<intptr_t()>& ownProc) {
    auto& registry = Registry();
    auto it = registry.find(window);
    if (it == registry.end()) return 0;
    CHookMap* map = it->second.get();
    ++map->nDepth;
    // Hooks attached or detached by a handler do not disturb this dispatch.
    std::vector<std::shared_ptr<CHookInner>> hooks;
    for (const auto& w : map->hooks)
        if (auto h = w.lock()) hooks.push_back(std::move(h));

    bool callDefault = true;
    for (const auto& h : hooks)
        if (h->pHook && h->pHook->m_inner == h && h->pHook->before)
            h->pHook->before(window, message, wParam, lParam, callDefault);
    intptr_t result = callDefault && ownProc ? ownProc() : 0;
    for (const auto& h : hooks)
        if (h->pHook && h->pHook->m_inner == h && h->pHook->after)
            h->pHook->after(window, message, wParam, lParam, result);
    --map->nDepth;

    if (message == kNcDestroy) {
        for (const auto& h : hooks)
            if (h->pHook && h->pHook->m_inner == h) h->pHook->m_inner.reset();
        it = registry.find(window);
        if (it != registry.end() && it->second->nDepth <= 0) {
            for (gulong id : it->second->signals)
                if (g_signal_handler_is_connected(window, id))
                    g_signal_handler_disconnect(window, id);
            registry.erase(it);
        }
    }
    return result;
}

namespace {

void OnSizeAllocate(GtkWidget* widget, GdkRectangle* allocation, gpointer) {
    uintptr_t state = CRWindowMessageHook::kSizeRestored;
    if (GdkWindow* w = gtk_widget_get_window(gtk_widget_get_toplevel(widget)))
        if (gdk_window_get_state(w) & GDK_WINDOW_STATE_ICONIFIED)
            state = CRWindowMessageHook::kSizeMinimized;
    const intptr_t size = (allocation->width & 0xFFFF) | ((allocation->height & 0xFFFF) << 16);
    CRWindowMessageHook::Dispatch(widget, CRWindowMessageHook::kSize, state, size,
                                  [] { return intptr_t{0}; });
}

gboolean OnEvent(GtkWidget* widget, GdkEvent* event, gpointer) {
    bool ranDefault = false;
    CRWindowMessageHook::Dispatch(widget, CRWindowMessageHook::kEvent,
                                  static_cast<uintptr_t>(event->type),
                                  reinterpret_cast<intptr_t>(event), [&] {
                                      ranDefault = true;
                                      return intptr_t{0};
                                  });
    return ranDefault ? FALSE : TRUE;  // TRUE: the widget's own handling is skipped
}

void OnDestroy(GtkWidget* widget, gpointer) {
    CRWindowMessageHook::Dispatch(widget, CRWindowMessageHook::kNcDestroy, 0, 0,
                                  [] { return intptr_t{0}; });
}

}  // namespace

void CRWindowMessageHook::Connect(GtkWidget* window, CHookMap& map) {
    map.signals.push_back(
        g_signal_connect_after(window, "size-allocate", G_CALLBACK(OnSizeAllocate), nullptr));
    map.signals.push_back(g_signal_connect(window, "event", G_CALLBACK(OnEvent), nullptr));
    map.signals.push_back(g_signal_connect(window, "destroy", G_CALLBACK(OnDestroy), nullptr));
}

void CRWindowMessageHook::ReallocateWhenIdle(GtkWidget* widget) {
    g_idle_add_full(
        G_PRIORITY_HIGH_IDLE,
        [](gpointer data) -> gboolean {
            auto* w = static_cast<GtkWidget*>(data);
            if (!gtk_widget_in_destruction(w)) gtk_widget_queue_resize(w);
            return G_SOURCE_REMOVE;
        },
        g_object_ref(widget), g_object_unref);
}

CRWindowMessageHook2::CRWindowMessageHook2() {
    before = [this](GtkWidget*, uint32_t m, uintptr_t w, intptr_t l, bool& callDefault) {
        OnBeforeMessage(m, w, l, callDefault);
    };
    after = [this](GtkWidget*, uint32_t m, uintptr_t w, intptr_t l, intptr_t& result) {
        OnAfterMessage(m, w, l, result);
    };
}

}  // namespace DUve
