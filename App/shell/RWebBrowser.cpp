#include "App/shell/RWebBrowser.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdio>

#include <gtk/gtk.h>
#include <webkit2/webkit2.h>

#include "App/shell/RWindowMessageHook.h"
#include "runtime/RString.h"

namespace DUve {

namespace {
constexpr const char* kMessageHandler = "palvorExternal";
}

struct CRWebBrowser::CInner {
    WebKitWebView* view = nullptr;
    GtkWidget* parent = nullptr;
    std::map<std::u16string, int32_t> names;
    std::map<int32_t, CHandler> handlers;
    std::map<int32_t, CRVariant> synchronous;  // id -> last answer
    gulong messageSignal = 0;

    static void OnMessage(WebKitUserContentManager*, WebKitJavascriptResult* result,
                          gpointer data) {
        auto* self = static_cast<CInner*>(data);
        JSCValue* message = webkit_javascript_result_get_js_value(result);
        if (!jsc_value_is_object(message)) return;
        JSCValue* id = jsc_value_object_get_property(message, "id");
        JSCValue* args = jsc_value_object_get_property(message, "args");
        std::vector<CRVariant> values;
        if (jsc_value_is_array(args)) {
            JSCValue* length = jsc_value_object_get_property(args, "length");
            const int32_t n = std::min(jsc_value_to_int32(length), 64);
            g_object_unref(length);
            for (int32_t i = 0; i < n; ++i) {
                JSCValue* v = jsc_value_object_get_property_at_index(args, static_cast<guint>(i));
                values.push_back(FromScript(v));
                g_object_unref(v);
            }
        }
        const int32_t dispId = jsc_value_is_number(id) ? jsc_value_to_int32(id) : kUnknownDispId;
        g_object_unref(id);
        g_object_unref(args);
        CRVariant scratch;
        self->Run(dispId, values, &scratch);
    }

    static CRVariant FromScript(JSCValue* v) {
        if (jsc_value_is_boolean(v)) return CRVariant(static_cast<bool>(jsc_value_to_boolean(v)));
        if (jsc_value_is_number(v)) {
            const double d = jsc_value_to_double(v);
            if (std::isfinite(d) && d == std::trunc(d) && d >= INT32_MIN && d <= INT32_MAX)
                return CRVariant(static_cast<int32_t>(d));
            return CRVariant(d);
        }
        if (jsc_value_is_string(v)) {
            char* s = jsc_value_to_string(v);
            CRVariant r(Utf8ToUtf16(s ? s : ""));
            g_free(s);
            return r;
        }
        return CRVariant();
    }

    bool Run(int32_t dispId, const std::vector<CRVariant>& args, CRVariant* result) {
        const auto it = handlers.find(dispId);
        if (it == handlers.end() || !it->second) return false;
        const CHandler handler = it->second;  // a handler may replace itself
        handler(args, result);
        return true;
    }

    void InstallScript(const std::string& source) {
        if (!view) return;
        WebKitUserContentManager* ucm = webkit_web_view_get_user_content_manager(view);
        webkit_user_content_manager_remove_all_scripts(ucm);
        WebKitUserScript* script = webkit_user_script_new(
            source.c_str(), WEBKIT_USER_CONTENT_INJECT_TOP_FRAME,
            WEBKIT_USER_SCRIPT_INJECT_AT_DOCUMENT_START, nullptr, nullptr);
        webkit_user_content_manager_add_script(ucm, script);
        webkit_user_script_unref(script);
    }
};

CRWebBrowser::CRWebBrowser() : m_inner(std::make_shared<CInner>()) {}

CRWebBrowser::~CRWebBrowser() {
    if (m_inner->view) {
        WebKitUserContentManager* ucm = webkit_web_view_get_user_content_manager(m_inner->view);
        if (m_inner->messageSignal) g_signal_handler_disconnect(ucm, m_inner->messageSignal);
        webkit_user_content_manager_unregister_script_message_handler(ucm, kMessageHandler);
        g_object_unref(m_inner->view);
    }
    m_inner->handlers.clear();
    m_inner->names.clear();
}

void CRWebBrowser::Create(GtkWidget* parent) {
    if (m_inner->view || !parent || !GTK_IS_CONTAINER(parent)) return;
    WebKitUserContentManager* ucm = webkit_user_content_manager_new();
    auto* view = WEBKIT_WEB_VIEW(webkit_web_view_new_with_user_content_manager(ucm));
    g_object_unref(ucm);
    m_inner->view = WEBKIT_WEB_VIEW(g_object_ref_sink(view));
    m_inner->parent = parent;
    WebKitSettings* settings = webkit_web_view_get_settings(view);
    webkit_settings_set_user_agent_with_application_details(settings, kUserAgentProduct,
                                                            kUserAgentVersion);
    m_inner->messageSignal =
        g_signal_connect(ucm, (std::string("script-message-received::") + kMessageHandler).c_str(),
                         G_CALLBACK(&CInner::OnMessage), m_inner.get());
    webkit_user_content_manager_register_script_message_handler(ucm, kMessageHandler);
    m_inner->InstallScript(ExternalScript());
    gtk_container_add(GTK_CONTAINER(parent), GTK_WIDGET(view));
    gtk_widget_show(GTK_WIDGET(view));
    ResizeBrowser();
}

bool CRWebBrowser::Navigate(const std::string& url) {
    if (!m_inner->view) return false;
    webkit_web_view_load_uri(m_inner->view, url.c_str());
    return true;
}

bool CRWebBrowser::ExecScript(const std::string& code) {
    if (!m_inner->view || !webkit_web_view_get_uri(m_inner->view)) return false;
    webkit_web_view_evaluate_javascript(m_inner->view, code.c_str(), -1, nullptr, nullptr,
                                        nullptr, nullptr, nullptr);
    return true;
}

int32_t CRWebBrowser::AddMethod(const std::u16string& name, CHandler handler) {
    auto [it, inserted] = m_inner->names.try_emplace(name, 0);
    if (inserted) it->second = 8000 + static_cast<int32_t>(m_inner->names.size());
    m_inner->handlers[it->second] = std::move(handler);
    if (inserted) m_inner->InstallScript(ExternalScript());
    return it->second;
}

void CRWebBrowser::SetSynchronous(const std::u16string& name) {
    const int32_t id = GetIdOfName(name);
    if (id == kUnknownDispId) return;
    m_inner->synchronous.try_emplace(id);
    m_inner->InstallScript(ExternalScript());
}

void CRWebBrowser::UpdateSynchronous() {
    std::string update;
    for (auto& [id, value] : m_inner->synchronous) {
        CRVariant answer;
        m_inner->Run(id, {}, &answer);
        value = answer;
        update += "window.__palvorExternalValues && (window.__palvorExternalValues[" +
                  std::to_string(id) + "] = " + ToScript(value) + ");";
    }
    if (update.empty()) return;
    m_inner->InstallScript(ExternalScript());
    ExecScript(update);
}

void CRWebBrowser::ResizeBrowser() {
    if (!m_inner->view || !m_inner->parent) return;
    GtkAllocation a;
    gtk_widget_get_allocation(m_inner->parent, &a);
    int w = 0, h = 0;
    gtk_widget_get_size_request(GTK_WIDGET(m_inner->view), &w, &h);
    if (w != std::max(1, a.width) || h != std::max(1, a.height)) {
        gtk_widget_set_size_request(GTK_WIDGET(m_inner->view), std::max(1, a.width),
                                    std::max(1, a.height));
        CRWindowMessageHook::ReallocateWhenIdle(m_inner->parent);
    }
}

GtkWidget* CRWebBrowser::GetWindow() const { return GTK_WIDGET(m_inner->view); }

int32_t CRWebBrowser::GetIdOfName(const std::u16string& name) const {
    const auto it = m_inner->names.find(name);
    return it == m_inner->names.end() ? kUnknownDispId : it->second;
}

bool CRWebBrowser::Invoke(int32_t dispId, const std::vector<CRVariant>& args, CRVariant* result) {
    CRVariant scratch;
    return m_inner->Run(dispId, args, result ? result : &scratch);
}

std::string CRWebBrowser::ToScript(const CRVariant& value) {
    if (std::holds_alternative<bool>(value)) return std::get<bool>(value) ? "true" : "false";
    if (std::holds_alternative<int32_t>(value)) return std::to_string(std::get<int32_t>(value));
    if (std::holds_alternative<double>(value)) {
        const double d = std::get<double>(value);
        if (!std::isfinite(d)) return std::isnan(d) ? "NaN" : (d > 0 ? "Infinity" : "-Infinity");
        char buf[64];
        std::snprintf(buf, sizeof buf, "%.17g", d);
        return buf;
    }
    if (std::holds_alternative<std::u16string>(value)) {
        // A JSON string literal, escaped by UTF-16 unit so any text survives.
        std::string out = "\"";
        for (char16_t c : std::get<std::u16string>(value)) {
            if (c == u'"' || c == u'\\') {
                out += '\\';
                out += static_cast<char>(c);
            } else if (c >= 0x20 && c < 0x7F) {
                out += static_cast<char>(c);
            } else {
                char buf[8];
                std::snprintf(buf, sizeof buf, "\\u%04x", static_cast<unsigned>(c));
                out += buf;
            }
        }
        return out + "\"";
    }
    return "undefined";
}

std::string CRWebBrowser::ExternalScript() const {
    std::string s =
        "(function () {\n"
        "  var values = {};\n"
        "  var post = function (id, args) {\n"
        "    try {\n"
        "      window.webkit.messageHandlers." +
        std::string(kMessageHandler) +
        ".postMessage({id: id, args: args});\n"
        "    } catch (e) {\n"
        "    }\n"
        "  };\n"
        "  var external = {};\n"
        "  var method = function (name, id, synchronous) {\n"
        "    external[name] = function () {\n"
        "      if (synchronous) return values[id];\n"
        "      post(id, Array.prototype.slice.call(arguments));\n"
        "    };\n"
        "  };\n";
    for (const auto& [name, id] : m_inner->names) {
        const auto sync = m_inner->synchronous.find(id);
        if (sync != m_inner->synchronous.end())
            s += "  values[" + std::to_string(id) + "] = " + ToScript(sync->second) + ";\n";
        s += "  method(" + ToScript(CRVariant(name)) + ", " + std::to_string(id) + ", " +
             (sync != m_inner->synchronous.end() ? "true" : "false") + ");\n";
    }
    s +=
        "  Object.defineProperty(window, '__palvorExternalValues', {value: values});\n"
        "  try {\n"
        "    Object.defineProperty(window, 'external', {value: external, configurable: true});\n"
        "  } catch (e) {\n"
        "    window.external = external;\n"
        "  }\n"
        "})();\n";
    return s;
}

}  // namespace DUve
