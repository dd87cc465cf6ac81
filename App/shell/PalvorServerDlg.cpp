#include "App/shell/PalvorServerDlg.h"

#include <cstdio>

#include <gtk/gtk.h>

#include "runtime/RMsBase.h"
#include "runtime/RString.h"
#include "runtime/RThreadMessage.h"

using namespace DUve;

namespace {

CRRearrangeRect::CEdge Edge(int32_t anchor, int32_t offset, int32_t clamp = 0, int32_t a = 0,
                            int32_t b = 0) {
    return {anchor, offset, clamp, a, b};
}

}  // namespace

CPalvorServerDlg::CPalvorServerDlg(COptions options)
    : m_options(std::move(options)), m_receiver(CRThreadBridge::InitializeUiThread()) {
    // The keep-alive runs on the web side's timer; the controller sends it beside the UI
    // thread, so a slow site never stalls the window.
    m_web = std::make_unique<CRPalvorWebBase>(
        [this] {
            if (m_controller) m_controller->KeepAlive();
        },
        m_options.nKeepAlivePeriodMs);
    // The keep-alive runs on the web side's timer, not the controller's.
    m_controller = std::make_unique<CRPalvorServer>(
        CRThreadMessage::CListSender(m_receiver->GetSender()), m_options.webApi,
        m_options.serverFolder, std::chrono::milliseconds(0));
    CRThreadMessage::AddHandler<CRMsBase::CNotifyOutputMessage>(
        *m_receiver, [this](const std::shared_ptr<const CRMsBase::CNotifyOutputMessage>& m) {
            AppendLog(m->sText);
        });
    m_controller->SetObserver({
        [this] { Refresh(); },
        [this](const std::u16string& error) {
            Refresh();
            MessageBox(GTK_WINDOW(m_window), Utf16ToUtf8(error), false);
        },
        [this] { Refresh(); },  // a stop is no failure: the page shows the new state
    });
}

CPalvorServerDlg::~CPalvorServerDlg() {
    m_controller.reset();
    if (m_window) gtk_widget_destroy(m_window);
    m_web.reset();
    m_log.reset();
    m_receiver.reset();
}

std::string CPalvorServerDlg::BuildDateText() {
    char text[128];
    std::snprintf(text, sizeof text, "Build date : %s - %s", __DATE__, __TIME__);
    return text;
}

void CPalvorServerDlg::MessageBox(GtkWindow* parent, const std::string& text, bool modal) {
    GtkWidget* box = gtk_message_dialog_new(parent, GTK_DIALOG_DESTROY_WITH_PARENT,
                                            GTK_MESSAGE_OTHER, GTK_BUTTONS_OK, "%s", text.c_str());
    gtk_window_set_title(GTK_WINDOW(box), "PalvorServer");
    if (modal) {
        gtk_dialog_run(GTK_DIALOG(box));
        gtk_widget_destroy(box);
        return;
    }
    gtk_window_set_modal(GTK_WINDOW(box), TRUE);
    g_signal_connect(box, "response", G_CALLBACK(gtk_widget_destroy), nullptr);
    gtk_widget_show_all(box);
}

void CPalvorServerDlg::ShowAbout(GtkWindow* parent) {
    GtkWidget* dialog = gtk_dialog_new_with_buttons("バージョン情報 PalvorServer", parent,
                                                    GTK_DIALOG_MODAL, "OK", GTK_RESPONSE_OK,
                                                    nullptr);
    GtkWidget* area = gtk_dialog_get_content_area(GTK_DIALOG(dialog));
    GtkWidget* row = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 12);
    gtk_container_set_border_width(GTK_CONTAINER(row), 12);
    gtk_box_pack_start(GTK_BOX(row),
                       gtk_image_new_from_icon_name("audio-x-generic", GTK_ICON_SIZE_DIALOG),
                       FALSE, FALSE, 0);
    GtkWidget* texts = gtk_box_new(GTK_ORIENTATION_VERTICAL, 6);
    gtk_box_pack_start(GTK_BOX(texts), gtk_label_new("PalvorServer"), FALSE, FALSE, 0);
    gtk_box_pack_start(GTK_BOX(texts), gtk_label_new(BuildDateText().c_str()), FALSE, FALSE, 0);
    gtk_box_pack_start(GTK_BOX(row), texts, TRUE, TRUE, 0);
    gtk_box_pack_start(GTK_BOX(area), row, TRUE, TRUE, 0);
    gtk_widget_show_all(dialog);
    gtk_dialog_run(GTK_DIALOG(dialog));
    gtk_widget_destroy(dialog);
}

bool CPalvorServerDlg::OnInitDialog() {
    m_window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    gtk_window_set_title(GTK_WINDOW(m_window), "PalvorServer");
    gtk_window_set_icon_name(GTK_WINDOW(m_window), "audio-x-generic");

    // The title bar carries the window menu with the About item.
    GtkWidget* bar = gtk_header_bar_new();
    gtk_header_bar_set_title(GTK_HEADER_BAR(bar), "PalvorServer");
    gtk_header_bar_set_show_close_button(GTK_HEADER_BAR(bar), TRUE);
    GtkWidget* menuButton = gtk_menu_button_new();
    GtkWidget* menu = gtk_menu_new();
    GtkWidget* about = gtk_menu_item_new_with_mnemonic("バージョン情報 PalvorServer(_A)...");
    g_signal_connect_swapped(about, "activate", G_CALLBACK(+[](GtkWindow* w) { ShowAbout(w); }),
                             m_window);
    gtk_menu_shell_append(GTK_MENU_SHELL(menu), about);
    gtk_widget_show_all(menu);
    gtk_menu_button_set_popup(GTK_MENU_BUTTON(menuButton), menu);
    gtk_header_bar_pack_end(GTK_HEADER_BAR(bar), menuButton);
    gtk_window_set_titlebar(GTK_WINDOW(m_window), bar);

    // The client area places its children by the rules below; it asks for no size of its
    // own, so the window can shrink freely.
    m_client = gtk_layout_new(nullptr, nullptr);
    gtk_widget_set_size_request(m_client, 1, 1);
    gtk_container_add(GTK_CONTAINER(m_window), m_client);
    gtk_window_set_default_size(GTK_WINDOW(m_window), m_options.nWidth, m_options.nHeight);
    g_signal_connect(m_window, "delete-event",
                     G_CALLBACK(+[](GtkWidget*, GdkEvent*, gpointer self) -> gboolean {
                         static_cast<CPalvorServerDlg*>(self)->Close();
                         return TRUE;
                     }),
                     this);

    m_host = gtk_layout_new(nullptr, nullptr);
    gtk_layout_put(GTK_LAYOUT(m_client), m_host, 0, 0);
    gtk_widget_set_size_request(m_host, 1, 1);
    m_hostRearrange.AttachParent(m_client);
    CRRearrangeRect hostRules;
    hostRules.left = Edge(1, 1);
    hostRules.top = Edge(2, 1);
    hostRules.right = Edge(3, -1);
    hostRules.bottom = Edge(4, -101, 2, 0, 399);
    m_hostRearrange.AddChild(m_host, hostRules);

    Start();

    m_log = std::make_unique<CRLogPane>();
    gtk_layout_put(GTK_LAYOUT(m_client), m_log->Widget(), 0, 0);
    m_logRearrange.AttachParent(m_client);
    CRRearrangeRect logRules;
    logRules.left = Edge(1, 1);
    logRules.top = Edge(4, -99, 2, 0, 401);
    logRules.right = Edge(3, -1);
    logRules.bottom = Edge(4, -1);
    m_logRearrange.AddChild(m_log->Widget(), logRules);

    gtk_widget_show_all(m_window);
    return true;
}

void CPalvorServerDlg::Start() {
    CRWebBrowser& browser = m_web->Browser();
    browser.SetLog([this](const std::string& text) { AppendLog(Utf8ToUtf16(CRMsBase::StampNow(text))); });
    browser.SetSiteRoot(m_options.sSiteRoot);
    m_web->Init(m_host);
    browser.AddMethod(u"PalvorServerIsRunning", [this](const auto&, CRVariant* result) {
        if (result) *result = m_controller->PalvorServerIsRunning();
    });
    browser.SetSynchronous(u"PalvorServerIsRunning");
    // The port must be a whole number from 1 to 65535; anything else is refused.
    browser.AddMethod(u"PalvorServerRun", [this](const std::vector<CRVariant>& args, CRVariant*) {
        const auto* port = args.empty() ? nullptr : std::get_if<int32_t>(&args[0]);
        if (!port || *port < 1 || *port > 65535) {
            std::string given = args.empty() ? "nothing" : CRWebBrowser::ToScript(args[0]);
            if (given.size() > 40) given = given.substr(0, 40) + "...";
            AppendLog(Utf8ToUtf16(CRMsBase::StampNow(
                "\r\nPalvorServerRun refused : the port must be 1-65535, not " + given)));
            return;
        }
        m_controller->PalvorServerRun(static_cast<uint16_t>(*port));
    });
    browser.AddMethod(u"PalvorServerStop", [this](const auto&, CRVariant*) {
        m_controller->PalvorServerStop();
    });
    browser.UpdateSynchronous();
    browser.Navigate(m_options.sSiteRoot);
}

void CPalvorServerDlg::Refresh() {
    m_web->Browser().UpdateSynchronous();
    m_web->Browser().ExecScript("RefreshHtml()");
}

void CPalvorServerDlg::DoModal() {
    if (!m_window) OnInitDialog();
    m_bRunning = true;
    while (m_bRunning) g_main_context_iteration(nullptr, TRUE);
}

void CPalvorServerDlg::Close() { m_bRunning = false; }

void CPalvorServerDlg::AppendLog(const std::u16string& text) {
    if (m_options.onLog) m_options.onLog(text);
    if (m_log) m_log->AppendLog(text);
}
