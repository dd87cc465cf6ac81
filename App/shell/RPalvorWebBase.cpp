#include "App/shell/RPalvorWebBase.h"

#include <variant>

namespace DUve {

CRPalvorWebBase::CRPalvorWebBase(std::function<void()> keepAlive, uint32_t keepAlivePeriodMs)
    : m_keepAlive(std::make_unique<CRTimerT<CRTimerCounter>>(
          keepAlivePeriodMs, [keepAlive = std::move(keepAlive)](CRTimerT<CRTimerCounter>&) {
              if (keepAlive) keepAlive();
          })) {
    m_hook.before = [this](GtkWidget* w, uint32_t m, uintptr_t wp, intptr_t lp, bool& def) {
        OnHookMessage(w, m, wp, lp, def);
    };
}

CRPalvorWebBase::~CRPalvorWebBase() {
    m_hook.Attach(nullptr);
}

bool CRPalvorWebBase::Init(GtkWidget* host) {
    m_browser.Create(host);
    m_browser.AddMethod(u"PalvorLoggedInState",
                        [this](const std::vector<CRVariant>& args, CRVariant*) {
                            m_nLoggedInId = 0;
                            m_sLoggedInName.clear();
                            if (args.size() < 2) return;
                            if (const auto* id = std::get_if<int32_t>(&args[0])) m_nLoggedInId = *id;
                            if (const auto* name = std::get_if<std::u16string>(&args[1]))
                                m_sLoggedInName = *name;
                        });
    m_hook.Attach(host);
    return true;
}

void CRPalvorWebBase::OnHookMessage(GtkWidget*, uint32_t message, uintptr_t, intptr_t, bool&) {
    if (message == CRWindowMessageHook::kSize) m_browser.ResizeBrowser();
}

}  // namespace DUve
