// palvorserver: the program's entry. By default it checks for an update, then opens its
// window: the site's front-end page, which starts and stops the server, above the log.
// With --headless it runs without a window: the controller on a plain event loop as its
// user-interface thread, listening on the given port, with every log line on standard
// output.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include <boost/asio/signal_set.hpp>

#include <clocale>

#include <glib-unix.h>
#include <gtk/gtk.h>

#include "App/RPalvorServer.h"
#include "App/cli/Cli.h"
#include "audio/DeviceDiscovery.h"
#include "audio/linux/LinuxBackends.h"
#include "App/RUpdater.h"
#include "App/UpdateIdentity.h"
#include "App/shell/PalvorServerDlg.h"
#include "runtime/RMsBase.h"
#include "runtime/RThreadBridge.h"
#include "runtime/RUiLoop.h"
#include "runtime/RUiLoopGlib.h"
#include "server/ROpenFileLimit.h"
#include "server/RSocket.h"
#include "server/RActivityLog.h"
#include "server/RSeqServer.h"
#include "runtime/RForeignOutput.h"

using namespace DUve;

namespace {

constexpr const char* kProgram = "palvorserver";
constexpr long kMaxQueuedMib = 1L << 20;  // 1 TiB
constexpr long kMaxLimit = 1L << 20;
constexpr long kMaxRetireSeconds = 365L * 24 * 3600;

void PrintUsage(FILE* out) {
    std::fprintf(out,
                 "Usage: palvorserver [--site ROOT]\n"
                 "  or:  palvorserver --headless --port PORT [--site ROOT]\n"
                 "  or:  palvorserver --check [--solution N]\n"
                 "\n"
                 "Serves music sequences to networked clients. Without --headless it checks\n"
                 "ROOT/palvorserver-linux.zip for a newer build, then opens its window on the\n"
                 "site's front-end page, which starts and stops the server.\n"
                 "\n"
                 "Options:\n"
                 "  --headless     run without a window; log lines go to standard output\n"
                 "  --port PORT    TCP port to listen on (1-65535), on all IPv4 interfaces\n"
                 "  --site ROOT    web site root: front-end page, visitor admission,\n"
                 "                 keep-alive and update archive\n"
                 "                 (default %s)\n"
                 "  --check        check the integrity of every solution file and activity\n"
                 "                 log; exit 1 when one is damaged\n"
                 "  --solution N   with --check: only the files of solution N\n"
                 "  --max-queued-mib N\n"
                 "                 bound of the bytes queued for sending to all clients\n"
                 "                 together, in MiB (default 1024); over it the client\n"
                 "                 with the most queued is disconnected\n"
                 "  --max-sessions-per-visitor N\n"
                 "                 sessions one visitor id may hold, over all solutions\n"
                 "                 (default %zu); beyond it a connection is refused\n"
                 "  --max-solutions N\n"
                 "                 solutions served at once (default %zu); beyond it the\n"
                 "                 one idle longest is retired, or the visitor refused\n"
                 "  --retire-after-seconds N\n"
                 "                 a solution without clients this long is retired: its\n"
                 "                 files are closed until its next client (default %lld)\n"
                 "  -h, --help     print help\n"
                 "  --version      print the version and exit\n"
                 "\n"
                 "Files live under $XDG_DATA_HOME/palvor (default ~/.local/share/palvor).\n"
                 "SIGINT or SIGTERM stops the server cleanly.\n",
                 PALVOR_SITE_ROOT, CRPalvorServer::CLimits{}.nMaxSessionsPerVisitor,
                 CRPalvorServer::CLimits{}.nMaxSolutions,
                 static_cast<long long>(CRPalvorServer::CLimits{}.retireAfter.count()));
}

// --check: one line per database file of the server folder; 0 when all are sound.
int RunCheck(std::optional<uint32_t> solution) {
    const std::filesystem::path folder = CRSeqServer::DefaultFolder();
    const auto checks = CheckServerFiles(folder, solution);
    if (checks.empty()) {
        if (solution)
            std::fprintf(OwnStdout(), "no database files of solution %u in %s\n", *solution, folder.c_str());
        else
            std::fprintf(OwnStdout(), "no database files in %s\n", folder.c_str());
    }
    int rc = 0;
    for (const auto& check : checks) {
        std::fprintf(OwnStdout(), "%s: %s\n", check.file.c_str(), check.sResult.c_str());
        if (!check.Ok()) rc = 1;
    }
    return rc;
}

// Log texts start with "\r\n" and a time stamp; on a terminal or in a file each becomes
// one line ending in "\n".
void WriteLogText(const std::u16string& text) {
    std::string utf8 = Utf16ToUtf8(text);
    std::string out;
    out.reserve(utf8.size() + 1);
    for (size_t i = 0; i < utf8.size(); ++i) {
        if (utf8[i] == '\r' && i + 1 < utf8.size() && utf8[i + 1] == '\n') continue;
        out += utf8[i];
    }
    if (!out.empty() && out.front() == '\n') out.erase(0, 1), out += '\n';
    std::fputs(out.c_str(), OwnStdout());
    std::fflush(OwnStdout());
}

// Every client holds a descriptor: take all the hard limit allows, and say how many.
void RaiseAndShowOpenFileLimit() {
    const auto limit = CRSocket::RaiseOpenFileLimit();
    auto text = [](uint64_t n) { return n == UINT64_MAX ? std::string("unlimited") : std::to_string(n); };
    std::string line = "\r\nopen-file limit: " + text(limit.nSoft);
    if (limit.nError)
        line += " (hard limit " + text(limit.nHard) + " not reached: " + std::strerror(limit.nError) + ")";
    WriteLogText(Utf8ToUtf16(CRMsBase::StampNow(line)));
}

void ShowLimits(const CRPalvorServer::CLimits& limits) {
    WriteLogText(Utf8ToUtf16(CRMsBase::StampNow(
        "\r\nlimits: " + std::to_string(limits.nMaxSessionsPerVisitor) + " sessions per visitor, " +
        std::to_string(limits.nMaxSolutions) + " solutions, retired after " +
        std::to_string(limits.retireAfter.count()) + " s without clients")));
}

// The devices the player plays on: what is looked for goes to the error stream, so a
// silent machine can be told from a broken one. Plug-ins are scanned afterwards, in the
// background.
void InstallDevices() {
    for (const auto& line : AudioDevice::Linux::InstallBackends().vSearched)
        std::fprintf(OwnStderr(), "palvorserver: %s\n", line.c_str());
}

// The window program: the update check first (its message boxes come before the window),
// then the main window until it is closed.
int RunWindow(int argc, char** argv, const std::string& site, const CRPalvorServer::CLimits& limits) {
    std::setlocale(LC_ALL, "");
    std::vector<std::string> args(argv + 1, argv + argc);
    if (!gtk_init_check(&argc, &argv)) {
        std::fprintf(OwnStderr(),
                     "palvorserver: cannot open a display (DISPLAY=%s); to serve without a "
                     "window run 'palvorserver --headless --port PORT'\n",
                     std::getenv("DISPLAY") ? std::getenv("DISPLAY") : "");
        return 1;
    }
    RaiseAndShowOpenFileLimit();
    ShowLimits(limits);

    CUpdateOptions update;
    update.args = args;
    update.publicKey = kUpdatePublicKey;
    update.nBuildStamp = kBuildStamp;
    update.beforeRestart = [] {
        CPalvorServerDlg::MessageBox(nullptr,
                                     "最新ソフトウェアにアップデートを行いました。\n"
                                     "アプリケーションを再起動します。",
                                     true);
    };
    update.onRestartFailed = [](const std::string& commandLine) {
        CPalvorServerDlg::MessageBox(nullptr, commandLine, true);
    };
    switch (CheckForUpdate(UpdateArchiveUrl(site), update)) {
        case 1:
            return 0;
        case -1:
            CPalvorServerDlg::MessageBox(
                nullptr,
                "サイトに接続出来ませんでした。最新ソフトウェアの有無を確認出来ませんでした。", true);
            break;
        case -2:
            CPalvorServerDlg::MessageBox(nullptr, "アップデータが展開できませんでした。", true);
            break;
        case -3:
            CPalvorServerDlg::MessageBox(
                nullptr, "最新ソフトウェアが確認出来ましたが、ローカルへの配置に失敗しました。",
                true);
            break;
        case kUpdateUntrusted:
            CPalvorServerDlg::MessageBox(
                nullptr,
                "アップデータの署名を確認出来なかったため、アップデートを中止しました。", true);
            break;
        case kUpdateOlderBuild:
            CPalvorServerDlg::MessageBox(
                nullptr,
                "サイトのアップデータが現在のソフトウェアより古いため、アップデートを中止しました。",
                true);
            break;
        default:
            break;
    }
    // The devices only after the update check: a build that is replaced finds none.
    InstallDevices();
    AudioDevice::CDeviceDiscovery discovery;

    auto loop = CRUiLoopGlib::Create();
    {
        CPalvorServerDlg::COptions options;
        options.sSiteRoot = site;
        options.webApi = std::make_shared<CRWebApi>(site);
        options.onLog = WriteLogText;  // a terminal sees the log too
        CPalvorServerDlg dialog(std::move(options));
        dialog.Controller().SetLimits(limits);
        dialog.OnInitDialog();
        // SIGINT and SIGTERM close the window as its close button does.
        static CPalvorServerDlg* s_dialog = &dialog;
        for (int sig : {SIGINT, SIGTERM})
            g_unix_signal_add(sig, [](gpointer) -> gboolean {
                s_dialog->Close();
                return G_SOURCE_CONTINUE;
            }, nullptr);
        dialog.DoModal();
        dialog.Controller().PalvorServerStop();
        loop->RunFor(std::chrono::milliseconds(50));  // last log lines
    }
    CRThreadBridge::ReleaseThread();
    return 0;
}

// The command line as typed; Resolve checks it after parsing.
struct CServerArgs {
    bool bHeadless = false;
    bool bCheck = false;
    std::string sPort, sSolution, sMaxQueuedMib, sMaxSessions, sMaxSolutions, sRetireAfter;
    std::string sSite = PALVOR_SITE_ROOT;
    const CLI::Option* pPort = nullptr;
    const CLI::Option* pSolution = nullptr;
    const CLI::Option* pMaxQueuedMib = nullptr;
    const CLI::Option* pSite = nullptr;
    const CLI::Option* pMaxSessions = nullptr;
    const CLI::Option* pMaxSolutions = nullptr;
    const CLI::Option* pRetireAfter = nullptr;

    void AddTo(CLI::App& app) {
        app.add_flag("--headless", bHeadless, "run without a window");
        pPort = app.add_option("--port", sPort, "TCP port to listen on (1-65535)");
        pSite = app.add_option("--site", sSite, "web site root");
        app.add_flag("--check", bCheck, "check the integrity of the stored files");
        pSolution = app.add_option("--solution", sSolution, "with --check: only this solution");
        pMaxQueuedMib = app.add_option("--max-queued-mib", sMaxQueuedMib,
                                       "bound of the bytes queued for all clients, in MiB");
        pMaxSessions = app.add_option("--max-sessions-per-visitor", sMaxSessions,
                                      "sessions one visitor may hold, over all solutions");
        pMaxSolutions = app.add_option("--max-solutions", sMaxSolutions, "solutions served at once");
        pRetireAfter = app.add_option("--retire-after-seconds", sRetireAfter,
                                      "a solution without clients this long is retired");
    }
};

struct COptions {
    bool bHeadless = false;
    bool bCheck = false;
    std::optional<uint32_t> checkSolution;
    std::optional<uint16_t> port;
    long nMaxQueuedMib = static_cast<long>(CRSocket::kDefaultGlobalSendLimit >> 20);
    std::string sSite;
    CRPalvorServer::CLimits limits;
};

COptions Resolve(const CServerArgs& a) {
    using Cli::Fail;
    using Cli::kUsage;
    COptions o;
    o.bHeadless = a.bHeadless;
    o.bCheck = a.bCheck;
    o.sSite = a.sSite;
    if (a.pSite->count() && o.sSite.empty()) Fail(kUsage, "--site needs a value");
    if (a.pPort->count()) o.port = static_cast<uint16_t>(Cli::ParseNumber(a.sPort, 1, 65535, "port"));
    if (a.pSolution->count())
        o.checkSolution = static_cast<uint32_t>(Cli::ParseNumber(a.sSolution, 0, 0xFFFFFFFFL, "solution"));
    if (a.pMaxQueuedMib->count())
        o.nMaxQueuedMib = Cli::ParseNumber(a.sMaxQueuedMib, 1, kMaxQueuedMib, "--max-queued-mib");
    if (a.pMaxSessions->count())
        o.limits.nMaxSessionsPerVisitor = static_cast<size_t>(
            Cli::ParseNumber(a.sMaxSessions, 1, kMaxLimit, "--max-sessions-per-visitor"));
    if (a.pMaxSolutions->count())
        o.limits.nMaxSolutions =
            static_cast<size_t>(Cli::ParseNumber(a.sMaxSolutions, 1, kMaxLimit, "--max-solutions"));
    if (a.pRetireAfter->count())
        o.limits.retireAfter = std::chrono::seconds(
            Cli::ParseNumber(a.sRetireAfter, 1, kMaxRetireSeconds, "--retire-after-seconds"));
    if (o.checkSolution && !o.bCheck) Fail(kUsage, "--solution goes with --check");
    if (o.bCheck && (o.bHeadless || o.port)) Fail(kUsage, "--check runs on its own");
    if (!o.bCheck && !o.bHeadless && o.port)
        Fail(kUsage, "--port goes with --headless; the page chooses the port");
    if (o.bHeadless && !o.port) Fail(kUsage, "--port is required");
    return o;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app("Serves music sequences to networked clients.", kProgram);
    app.set_help_flag("-h,--help", "print help");
    Cli::AddVersion(app, kProgram);
    app.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
    CServerArgs args;
    args.AddTo(app);
    COptions o;
    try {
        const auto usageOf = [](const std::string&) { return std::string("[options] (see --help)"); };
        if (!Cli::Parse(app, argc, argv, kProgram, usageOf, [] { PrintUsage(OwnStdout()); }))
            return Cli::kOk;
        o = Resolve(args);
    } catch (const Cli::CExit& e) {
        return Cli::Report(e, false, kProgram);
    }
    if (o.bCheck) return RunCheck(o.checkSolution);
    const CRForeignOutput foreignOutput;  // what hosted plug-ins print goes to the trace
    const long maxQueuedMib = o.nMaxQueuedMib;
    const std::string site = o.sSite;
    CRSocket::SetGlobalSendLimit(static_cast<size_t>(maxQueuedMib) << 20);
    if (!o.bHeadless) return RunWindow(argc, argv, site, o.limits);
    const long port = *o.port;
    RaiseAndShowOpenFileLimit();
    ShowLimits(o.limits);
    InstallDevices();
    AudioDevice::CDeviceDiscovery discovery;  // plug-ins are scanned while clients are served

    auto loop = CRUiLoopAsio::Create();
    auto receiver = CRThreadBridge::InitializeUiThread();
    CRThreadMessage::AddHandler<CRMsBase::CNotifyOutputMessage>(
        *receiver,
        [](const std::shared_ptr<const CRMsBase::CNotifyOutputMessage>& m) { WriteLogText(m->sText); });
    CRThreadMessage::CListSender senders(receiver->GetSender());

    int exitCode = 0;
    bool stopping = false;
    {
        CRPalvorServer server(senders, std::make_shared<CRWebApi>(site));
        server.SetLimits(o.limits);
        server.SetObserver({
            [] {},
            [&](const std::u16string& error) {
                if (stopping) return;
                std::fprintf(OwnStderr(), "palvorserver: cannot listen on port %ld: %s\n", port,
                             Utf16ToUtf8(error).c_str());
                exitCode = 1;
                loop->Stop();
            },
            [] {},
        });
        boost::asio::signal_set signals(loop->IoContext(), SIGINT, SIGTERM);
        signals.async_wait([&](const boost::system::error_code& ec, int) {
            if (ec) return;
            stopping = true;
            server.PalvorServerStop();
            loop->Stop();
        });
        server.PalvorServerRun(static_cast<uint16_t>(port));
        loop->Run();
        stopping = true;
        server.PalvorServerStop();
    }
    loop->RunFor(std::chrono::milliseconds(50));  // last log lines
    receiver.reset();
    CRThreadBridge::ReleaseThread();
    return exitCode;
}
