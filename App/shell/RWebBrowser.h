// The embedded browser (WebKitGTK): navigates, runs script in the page and publishes named
// methods to the page as `window.external`. A script injected at the start of every
// top-frame document of the site's origin defines the object; each call posts its
// arguments, in call order, to the program, where the method's handler runs on the UI
// thread. Methods marked synchronous answer in the page from a value the program keeps
// current (UpdateSynchronous).
//
// Only the site obeys: a call runs only when it comes through the injected script (which
// holds a secret no other frame sees) and the window's page has the site root's origin
// (scheme, host and port); any other call is ignored with a log line. A top-frame
// document of another origin is never shown: http and https addresses go to the
// desktop's browser through the launcher, anything else is refused, both with a log line.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <variant>
#include <vector>

typedef struct _GtkWidget GtkWidget;

namespace DUve {

// A page value as a handler sees it: empty, boolean, 32-bit integer (whole numbers that
// fit), double, or string.
using CRVariant = std::variant<std::monostate, bool, int32_t, double, std::u16string>;

class CRWebBrowser {
public:
    using CHandler = std::function<void(const std::vector<CRVariant>& args, CRVariant* result)>;
    // Receives one log text, beginning "\r\n" and not yet time-stamped.
    using CLog = std::function<void(const std::string& text)>;
    // Opens an address outside the window; false when that could not be started.
    using CLauncher = std::function<bool(const std::string& url)>;
    static constexpr int32_t kFirstDispId = 8001;
    static constexpr int32_t kUnknownDispId = -1;
    static constexpr const char* kUserAgentProduct = "PalvorServer";
    static constexpr const char* kUserAgentVersion = "1.0";

    CRWebBrowser();
    ~CRWebBrowser();
    CRWebBrowser(const CRWebBrowser&) = delete;
    CRWebBrowser& operator=(const CRWebBrowser&) = delete;

    // The site root: its origin alone may call the methods and stay in the window. Until
    // one is set every call is ignored and navigation is not restricted.
    void SetSiteRoot(const std::string& url);
    void SetLog(CLog log);
    // Replaces the launcher (by default OpenInDesktopBrowser).
    void SetLauncher(CLauncher launcher);
    // Starts "xdg-open url" without waiting for it.
    static bool OpenInDesktopBrowser(const std::string& url);
    // Whether two addresses have the same origin; never for an address without one.
    static bool SameOrigin(const std::string& a, const std::string& b);

    // Creates the view inside `parent` (a GtkLayout or GtkFixed, or any container).
    void Create(GtkWidget* parent);
    bool Navigate(const std::string& url);
    // Runs a statement in the current page; false without a view or a page.
    bool ExecScript(const std::string& code);
    // Publishes a method; a name seen before keeps its id and takes the new handler.
    int32_t AddMethod(const std::u16string& name, CHandler handler);
    // The method answers in the page at once, with the value its handler gave at the last
    // UpdateSynchronous (its calls are not posted).
    void SetSynchronous(const std::u16string& name);
    // Asks the synchronous methods' handlers for their answers and gives them to the
    // current page and to every page loaded from now on.
    void UpdateSynchronous();
    // Sizes the view to its parent's allocation.
    void ResizeBrowser();
    GtkWidget* GetWindow() const;

    int32_t GetIdOfName(const std::u16string& name) const;
    // Runs the handler of `dispId`; false when it has none.
    bool Invoke(int32_t dispId, const std::vector<CRVariant>& args, CRVariant* result);
    // The document-start script that defines window.external.
    std::string ExternalScript() const;
    // A value as a script literal.
    static std::string ToScript(const CRVariant& value);

    struct CInner;

private:
    std::shared_ptr<CInner> m_inner;
};

}  // namespace DUve
