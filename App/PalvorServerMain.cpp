// palvorserver: the program's entry. On a machine without a display it runs headless:
// the controller on a plain event loop as its user-interface thread, listening on the
// given port, with every log line on standard output.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <boost/asio/signal_set.hpp>

#include "App/RPalvorServer.h"
#include "runtime/RMsBase.h"
#include "runtime/RThreadBridge.h"
#include "runtime/RUiLoop.h"

#ifndef PALVOR_VERSION
#define PALVOR_VERSION "0"
#endif

using namespace DUve;

namespace {

constexpr int kUsageError = 2;

void PrintUsage(FILE* out) {
    std::fprintf(out,
                 "Usage: palvorserver --headless --port PORT [--site ROOT]\n"
                 "\n"
                 "Serves music sequences to networked clients.\n"
                 "\n"
                 "  --headless     run without a window; log lines go to standard output\n"
                 "  --port PORT    TCP port to listen on (1-65535), on all IPv4 interfaces\n"
                 "  --site ROOT    web site root for visitor admission and keep-alive\n"
                 "                 (default %s)\n"
                 "  --help         show this help\n"
                 "  --version      show the version\n"
                 "\n"
                 "Files live under $XDG_DATA_HOME/palvor (default ~/.local/share/palvor).\n"
                 "SIGINT or SIGTERM stops the server cleanly.\n",
                 PALVOR_SITE_ROOT);
}

int UsageError(const std::string& message) {
    std::fprintf(stderr, "palvorserver: %s\nTry 'palvorserver --help'.\n", message.c_str());
    return kUsageError;
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
    std::fputs(out.c_str(), stdout);
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    bool headless = false;
    long port = -1;
    std::string site = PALVOR_SITE_ROOT;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&](const char* name) -> const char* {
            if (i + 1 >= argc) return nullptr;
            (void)name;
            return argv[++i];
        };
        if (arg == "--help" || arg == "-h") {
            PrintUsage(stdout);
            return 0;
        } else if (arg == "--version") {
            std::printf("palvorserver %s\n", PALVOR_VERSION);
            return 0;
        } else if (arg == "--headless") {
            headless = true;
        } else if (arg == "--port" || arg.rfind("--port=", 0) == 0) {
            const char* v = arg == "--port" ? value("--port") : argv[i] + 7;
            if (!v) return UsageError("--port needs a value");
            char* end = nullptr;
            port = std::strtol(v, &end, 10);
            if (!*v || *end || port < 1 || port > 65535)
                return UsageError(std::string("invalid port '") + v + "' (1-65535)");
        } else if (arg == "--site" || arg.rfind("--site=", 0) == 0) {
            const char* v = arg == "--site" ? value("--site") : argv[i] + 7;
            if (!v || !*v) return UsageError("--site needs a value");
            site = v;
        } else {
            return UsageError("unknown option '" + arg + "'");
        }
    }
    if (!headless)
        return UsageError("this build has no window front end; run with --headless");
    if (port < 0) return UsageError("--port is required");

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
        server.SetObserver({
            [] {},
            [&](const std::u16string& error) {
                if (stopping) return;
                std::fprintf(stderr, "palvorserver: cannot listen on port %ld: %s\n", port,
                             Utf16ToUtf8(error).c_str());
                exitCode = 1;
                loop->Stop();
            },
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
