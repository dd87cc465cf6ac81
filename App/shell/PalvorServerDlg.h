// The main window: the site's front-end page on top, the log pane below, laid out by edge
// rules; the page starts and stops the server through the methods published to it.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>

#include "App/RPalvorServer.h"
#include "App/WebApi.h"
#include "App/shell/RLogPane.h"
#include "App/shell/RPalvorWebBase.h"
#include "App/shell/RRearrangeChildWindow.h"
#include "runtime/RThreadBridge.h"

typedef struct _GtkWindow GtkWindow;

class CPalvorServerDlg {
public:
    struct COptions {
        std::string sSiteRoot;                 // the front-end page
        std::shared_ptr<DUve::CRWebApi> webApi;
        std::filesystem::path serverFolder;    // empty: the per-user folder
        std::function<void(const std::u16string&)> onLog;  // every log line, besides the pane
        uint32_t nKeepAlivePeriodMs = DUve::CRPalvorWebBase::kKeepAlivePeriodMs;
        int nWidth = 800, nHeight = 600;       // initial client size
    };

    // On the UI thread, whose loop is the GLib default context's.
    explicit CPalvorServerDlg(COptions options);
    ~CPalvorServerDlg();
    CPalvorServerDlg(const CPalvorServerDlg&) = delete;
    CPalvorServerDlg& operator=(const CPalvorServerDlg&) = delete;

    // Builds the window and its panes, starts the controller and shows the window.
    bool OnInitDialog();
    // Runs until the window is closed (or Close()).
    void DoModal();
    void Close();

    void AppendLog(const std::u16string& text);

    GtkWidget* Window() const { return m_window; }
    GtkWidget* Client() const { return m_client; }
    GtkWidget* Host() const { return m_host; }
    DUve::CRLogPane* LogPane() const { return m_log.get(); }
    DUve::CRPalvorServer& Controller() { return *m_controller; }
    DUve::CRPalvorWebBase& Web() { return *m_web; }

    // The About box text: "Build date : <date> - <time>".
    static std::string BuildDateText();
    static void ShowAbout(GtkWindow* parent);
    // A message box with an OK button; `modal` waits for it.
    static void MessageBox(GtkWindow* parent, const std::string& text, bool modal);

private:
    void Start();
    void Refresh();

    COptions m_options;
    DUve::CRThreadBridge::CReceiverPtr m_receiver;
    std::unique_ptr<DUve::CRPalvorWebBase> m_web;
    std::unique_ptr<DUve::CRPalvorServer> m_controller;
    GtkWidget* m_window = nullptr;
    GtkWidget* m_client = nullptr;
    GtkWidget* m_host = nullptr;
    DUve::CRRearrangeChildWindow m_hostRearrange;
    std::unique_ptr<DUve::CRLogPane> m_log;
    DUve::CRRearrangeChildWindow m_logRearrange;
    bool m_bRunning = false;  // DoModal's loop
};
