// Observers of one widget's messages. Any number of hooks may watch a widget: each gets
// the message before the widget's own handling (and may cancel it by clearing
// `callDefault`) and after it (and may change the result). A widget is connected once,
// however many hooks attach to it, and the hooks detach when it is destroyed.
//
// Messages: kSize when the widget's allocation changes (wParam kSizeMinimized when its
// toplevel is iconified, else kSizeRestored; lParam width | height << 16), kEvent for
// every GDK event (wParam the event type, lParam the GdkEvent*), kNcDestroy when the widget
// is destroyed. Messages that the program synthesises go through Dispatch.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

typedef struct _GtkWidget GtkWidget;

namespace DUve {

class CRWindowMessageHook {
public:
    static constexpr uint32_t kSize = 0x0005;
    static constexpr uint32_t kNcDestroy = 0x0082;
    static constexpr uint32_t kTimer = 0x0113;
    static constexpr uint32_t kEvent = 0x0400;
    static constexpr uintptr_t kSizeRestored = 0;
    static constexpr uintptr_t kSizeMinimized = 1;

    using CBeforeHandler =
        std::function<void(GtkWidget*, uint32_t, uintptr_t, intptr_t, bool& callDefault)>;
    using CAfterHandler =
        std::function<void(GtkWidget*, uint32_t, uintptr_t, intptr_t, intptr_t& result)>;

    CRWindowMessageHook();
    virtual ~CRWindowMessageHook();
    CRWindowMessageHook(const CRWindowMessageHook&) = delete;
    CRWindowMessageHook& operator=(const CRWindowMessageHook&) = delete;

    // Attaches to `window` (null detaches). Fails, keeping the current attachment, when
    // `window` is not a widget.
    bool Attach(GtkWidget* window);
    GtkWidget* Window() const;

    // Delivers one message of `window` to its hooks around `ownProc`, the widget's own
    // handling, which runs only while `callDefault` stays set (else the result is 0).
    // A widget no hook was ever attached to gets 0 and nothing runs.
    static intptr_t Dispatch(GtkWidget* window, uint32_t message, uintptr_t wParam,
                             intptr_t lParam, const std::function<intptr_t()>& ownProc);

    // Sizes set on children while `widget` is being allocated take effect only with its
    // next allocation: this queues one when the loop is idle.
    static void ReallocateWhenIdle(GtkWidget* widget);

    CBeforeHandler before;
    CAfterHandler after;

    struct CHookInner;
    struct CHookMap;

private:
    static void Connect(GtkWidget* window, CHookMap& map);
    std::shared_ptr<CHookInner> m_inner;
};

// A hook whose handlers are virtual operations of the object.
class CRWindowMessageHook2 : public CRWindowMessageHook {
public:
    CRWindowMessageHook2();
    virtual void OnBeforeMessage(uint32_t, uintptr_t, intptr_t, bool& /*callDefault*/) {}
    virtual void OnAfterMessage(uint32_t, uintptr_t, intptr_t, intptr_t& /*result*/) {}
};

}  // namespace DUve
