// The web side of the main window: one browser kept sized to its host widget, the page's
// logged-in state, and the keep-alive call every three minutes on a UI-thread timer.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "App/shell/RTimer.h"
#include "App/shell/RWebBrowser.h"
#include "App/shell/RWindowMessageHook.h"

namespace DUve {

class CRPalvorWebBase {
public:
    static constexpr uint32_t kKeepAlivePeriodMs = 180000;

    explicit CRPalvorWebBase(std::function<void()> keepAlive,
                             uint32_t keepAlivePeriodMs = kKeepAlivePeriodMs);
    virtual ~CRPalvorWebBase();
    CRPalvorWebBase(const CRPalvorWebBase&) = delete;
    CRPalvorWebBase& operator=(const CRPalvorWebBase&) = delete;

    // Creates the browser in `host`, publishes "PalvorLoggedInState" and follows the
    // host's size.
    bool Init(GtkWidget* host);

    CRWebBrowser& Browser() { return m_browser; }
    int32_t LoggedInId() const { return m_nLoggedInId; }
    const std::u16string& LoggedInName() const { return m_sLoggedInName; }

protected:
    virtual void OnHookMessage(GtkWidget* window, uint32_t message, uintptr_t wParam,
                               intptr_t lParam, bool& callDefault);

private:
    CRWindowMessageHook m_hook;
    std::unique_ptr<CRTimerT<CRTimerCounter>> m_keepAlive;
    CRWebBrowser m_browser;
    int32_t m_nLoggedInId = 0;
    std::u16string m_sLoggedInName;
};

}  // namespace DUve
