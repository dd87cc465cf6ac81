#include "App/shell/RWebBrowser.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <optional>
#include <random>

#include <gtk/gtk.h>
#include <webkit2/webkit2.h>

#include "App/shell/RWindowMessageHook.h"
#include "runtime/RString.h"

namespace DUve {

namespace {
constexpr const char* kMessageHandler = "palvorExternal";

// An address as a log line shows it: at most 200 characters.
std::string Shorten(const char* uri) {
    std::string s = uri ? uri : "(no page)";
    if (s.size() > 200) s = s.substr(0, 200) + "...";
    return s;
}

// 128 random bits as hex: the injected script's proof that a call comes through it.
std::string NewToken() {
    std::random_device random;
    std::string token;
    for (int i = 0; i < 4; ++i) {
        char buf[9];
        std::snprintf(buf, sizeof buf, "%08x", static_cast<unsigned>(random()));
        token += buf;
    }
    return token;
}

struct COrigin {
    std::string sProtocol, sHost;
    guint16 nPort = 0;  // 0: the protocol's default
};

// The origin of an address with a host (http, https and the like); none otherwise.
std::optional<COrigin> OriginOf(const std::string& uri) {
    WebKitSecurityOrigin* origin = webkit_security_origin_new_for_uri(uri.c_str());
    if (!origin) return std::nullopt;
    std::optional<COrigin> result;
    const gchar* protocol = webkit_security_origin_get_protocol(origin);
    const gchar* host = webkit_security_origin_get_host(origin);
    if (protocol && *protocol && host && *host)
        result = COrigin{protocol, host, webkit_security_origin_get_port(origin)};
    webkit_security_origin_unref(origin);
    return result;
}
}  // namespace

struct CRWebBrowser::CInner {
    WebKitWebView* view = nullptr;
    GtkWidget* parent = nullptr;
    std::map<std::u16string, int32_t> names;
    std::map<int32_t, CHandler> handlers;
    std::map<int32_t, CRVariant> synchronous;  // id -> last answer
    gulong messageSignal = 0;
    gulong policySignal = 0;
    gulong failSignal = 0;
    std::string siteRoot;
    const std::string token = NewToken();
    CLog log;
    CLauncher launcher = &CRWebBrowser::OpenInDesktopBrowser;

    void Log(const std::string& text) const {
        if (log) log(text);
    }

    std::string NameOf(int32_t dispId) const {
        for (const auto& [name, id] : names)
            if (id == dispId) return Utf16ToUtf8(name);
        return "id " + std::to_string(dispId);
    }

    // A call runs only when it came through the injected script, which knows the token
    // and exists only in the top frame, and the window's page has the site's origin.
    bool MayCall(JSCValue* message, int32_t dispId) const {
        JSCValue* proof = jsc_value_object_get_property(message, "token");
        char* text = jsc_value_is_string(proof) ? jsc_value_to_string(proof) : nullptr;
        const bool fromScript = text && token == text;
        g_free(text);
        g_object_unref(proof);
        if (!fromScript) {
            Log("\r\nBrowser call ignored : " + NameOf(dispId) +
                " does not come from the site's page in the top frame");
            return false;
        }
        const char* page = webkit_web_view_get_uri(view);
        if (siteRoot.empty() || !page || !SameOrigin(page, siteRoot)) {
            Log("\r\nBrowser call ignored : " + NameOf(dispId) + " from " + Shorten(page) +
                ", which is not the site's origin");
            return false;
        }
        return true;
    }

    static void OnMessage(WebKitUserContentManager*, WebKitJavascriptResult* result,
                          gpointer data) {
        auto* self = static_cast<CInner*>(data);
        JSCValue* message = webkit_javascript_result_get_js_value(result);
        if (!jsc_value_is_object(message)) {
            self->Log("\r\nBrowser call ignored : the message is not an object");
            return;
        }
        JSCValue* id = jsc_value_object_get_property(message, "id");
        const int32_t dispId = jsc_value_is_number(id) ? jsc_value_to_int32(id) : kUnknownDispId;
        g_object_unref(id);
        if (!self->MayCall(message, dispId)) return;
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

    // Where the page is leaving for another origin in the top frame (a response of the
    // top frame's document, or a new window): same-origin new windows open in this view;
    // an address of another origin never shows here.
    static gboolean OnDecidePolicy(WebKitWebView*, WebKitPolicyDecision* decision,
                                   WebKitPolicyDecisionType type, gpointer data) {
        auto* self = static_cast<CInner*>(data);
        if (self->siteRoot.empty()) return FALSE;
        const char* uri = nullptr;
        if (type == WEBKIT_POLICY_DECISION_TYPE_RESPONSE) {
            auto* response = WEBKIT_RESPONSE_POLICY_DECISION(decision);
            if (!webkit_response_policy_decision_is_main_frame_main_resource(response))
                return FALSE;
            uri = webkit_uri_response_get_uri(webkit_response_policy_decision_get_response(response));
        } else if (type == WEBKIT_POLICY_DECISION_TYPE_NEW_WINDOW_ACTION) {
            WebKitNavigationAction* action = webkit_navigation_policy_decision_get_navigation_action(
                WEBKIT_NAVIGATION_POLICY_DECISION(decision));
            uri = webkit_uri_request_get_uri(webkit_navigation_action_get_request(action));
        } else {
            return FALSE;
        }
        const std::string target = uri ? uri : "";
        if (SameOrigin(target, self->siteRoot)) {
            if (type == WEBKIT_POLICY_DECISION_TYPE_RESPONSE) return FALSE;
            webkit_policy_decision_ignore(decision);
            webkit_web_view_load_uri(self->view, target.c_str());
            return TRUE;
        }
        webkit_policy_decision_ignore(decision);
        self->SendAway(target);
        return TRUE;
    }

    // A top-frame address of another origin that could not be loaded goes the same way
    // instead of leaving an error page in the window. Refusals by policy and cancelled
    // loads are no failures here.
    static gboolean OnLoadFailed(WebKitWebView*, WebKitLoadEvent, gchar* uri, GError* error,
                                 gpointer data) {
        auto* self = static_cast<CInner*>(data);
        if (self->siteRoot.empty() || !uri || SameOrigin(uri, self->siteRoot) ||
            (error && error->domain == WEBKIT_POLICY_ERROR) ||
            g_error_matches(error, WEBKIT_NETWORK_ERROR, WEBKIT_NETWORK_ERROR_CANCELLED))
            return FALSE;
        self->SendAway(uri);
        return TRUE;
    }

    // An address of another origin: http and https go to the desktop's browser.
    void SendAway(const std::string& uri) const {
        const char* scheme = g_uri_peek_scheme(uri.c_str());
        const std::string where = "\r\nBrowser navigation to " + Shorten(uri.c_str());
        if (!scheme || (std::strcmp(scheme, "http") != 0 && std::strcmp(scheme, "https") != 0))
            Log(where + " refused : not the site's origin");
        else if (launcher && launcher(uri))
            Log(where + " opened in the desktop browser");
        else
            Log(where + " refused : the desktop browser could not be started");
    }

    // The script goes only into top-frame documents, and once the site root is known only
    // into those of its scheme and host (WebKit's patterns cannot name a port; the port is
    // checked when a call arrives).
    void InstallScript(const std::string& source) {
        if (!view) return;
        WebKitUserContentManager* ucm = webkit_web_view_get_user_content_manager(view);
        webkit_user_content_manager_remove_all_scripts(ucm);
        std::string pattern;
        if (const auto origin = OriginOf(siteRoot))
            pattern = origin->sProtocol + "://" + origin->sHost + "/*";
        const gchar* allow[] = {pattern.c_str(), nullptr};
        WebKitUserScript* script = webkit_user_script_new(
            source.c_str(), WEBKIT_USER_CONTENT_INJECT_TOP_FRAME,
            WEBKIT_USER_SCRIPT_INJECT_AT_DOCUMENT_START, pattern.empty() ? nullptr : allow,
            nullptr);
        webkit_user_content_manager_add_script(ucm, script);
        webkit_user_script_unref(script);
    }
};

CRWebBrowser::CRWebBrowser() : m_inner(std::make_shared<CInner>()) {}

CRWebBrowser::~CRWebBrowser() {
    if (m_inner->view) {
        WebKitUserContentManager* ucm = webkit_web_view_get_user_content_manager(m_inner->view);
        if (m_inner->messageSignal) g_signal_handler_disconnect(ucm, m_inner->messageSignal);
        // A destroyed view has already dropped its handlers.
        for (const gulong handler : {m_inner->policySignal, m_inner->failSignal})
            if (handler && g_signal_handler_is_connected(m_inner->view, handler))
                g_signal_handler_disconnect(m_inner->view, handler);
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
    m_inner->policySignal = g_signal_connect(view, "decide-policy",
                                             G_CALLBACK(&CInner::OnDecidePolicy), m_inner.get());
    m_inner->failSignal = g_signal_connect(view, "load-failed", G_CALLBACK(&CInner::OnLoadFailed),
                                           m_inner.get());
    webkit_user_content_manager_register_script_message_handler(ucm, kMessageHandler);
    m_inner->InstallScript(ExternalScript());
    gtk_container_add(GTK_CONTAINER(parent), GTK_WIDGET(view));
    gtk_widget_show(GTK_WIDGET(view));
    ResizeBrowser();
}

void CRWebBrowser::SetSiteRoot(const std::string& url) {
    m_inner->siteRoot = url;
    m_inner->InstallScript(ExternalScript());
}

void CRWebBrowser::SetLog(CLog log) { m_inner->log = std::move(log); }

void CRWebBrowser::SetLauncher(CLauncher launcher) { m_inner->launcher = std::move(launcher); }

bool CRWebBrowser::OpenInDesktopBrowser(const std::string& url) {
    gchar* argv[] = {const_cast<gchar*>("xdg-open"), const_cast<gchar*>(url.c_str()), nullptr};
    GError* error = nullptr;
    const bool started = g_spawn_async(nullptr, argv, nullptr, G_SPAWN_SEARCH_PATH, nullptr,
                                       nullptr, nullptr, &error);
    g_clear_error(&error);
    return started;
}

bool CRWebBrowser::SameOrigin(const std::string& a, const std::string& b) {
    const auto x = OriginOf(a), y = OriginOf(b);
    return x && y && x->sProtocol == y->sProtocol && x->sHost == y->sHost && x->nPort == y->nPort;
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
        "  var token = " + ToScript(CRVariant(Utf8ToUtf16(m_inner->token))) + ";\n"
        "  var handlers = window.webkit && window.webkit.messageHandlers;\n"
        "  var handler = handlers && handlers." + std::string(kMessageHandler) + ";\n"
        "  var send = handler && handler.postMessage;\n"
        "  var apply = Reflect.apply;\n"
        "  var values = {};\n"
        "  var post = function (id, args) {\n"
        "    try {\n"
        "      apply(send, handler, [{id: id, args: args, token: token}]);\n"
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
