#include "App/cli/Cli.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>

#include "runtime/RString.h"
#include "runtime/RForeignOutput.h"

namespace DUve::Cli {

void Fail(int nCode, const std::string& sMessage) {
    throw CExit{nCode, sMessage};
}

long ParseNumber(const std::string& sText, long nLo, long nHi, const char* szWhat) {
    char* end = nullptr;
    errno = 0;
    const long v = std::strtol(sText.c_str(), &end, 10);
    if (sText.empty() || *end || errno == ERANGE || v < nLo || v > nHi)
        Fail(kUsage, std::string("invalid ") + szWhat + " '" + sText + "' (" + std::to_string(nLo) +
                         "-" + std::to_string(nHi) + ")");
    return v;
}

CRUid ParseId(const std::string& sText) {
    const auto id = CRUid::FromText(sText);
    if (!id) Fail(kUsage, "not an identifier (32 hex digits): '" + sText + "'");
    return *id;
}

std::string ReadInput(const std::string& sFile, size_t nMax) {
    std::ifstream file;
    std::istream* in = &std::cin;
    if (sFile != "-") {
        file.open(sFile, std::ios::binary);
        if (!file) Fail(kUsage, "cannot read '" + sFile + "'");
        in = &file;
    }
    std::string data;
    char buffer[65536];
    while (*in) {
        in->read(buffer, sizeof buffer);
        data.append(buffer, static_cast<size_t>(in->gcount()));
        if (data.size() > nMax)
            Fail(kUsage, "'" + sFile + "' holds more than " + std::to_string(nMax) + " bytes");
    }
    if (in->bad()) Fail(kUsage, "cannot read '" + sFile + "'");
    return data;
}

CJson ToJson(const std::u16string& s) {
    return Utf16ToUtf8(s);
}
CJson ToJson(const CRUid& id) {
    return id.ToText();
}

std::string Dump(const CJson& json) {
    return json.dump(-1, ' ', false, CJson::error_handler_t::replace);
}

void PrintJson(const CJson& json) {
    std::fprintf(OwnStdout(), "%s\n", Dump(json).c_str());
}

// ======================================================================= connection options

namespace {
bool Given(const CLI::Option* p) {
    return p && p->count() > 0;
}
}  // namespace

void CConnectionArgs::AddTo(CLI::App& app) {
    m_pHost = app.add_option("--host", m_sHost, "server host (default 127.0.0.1)");
    m_pPort = app.add_option("--port", m_sPort, "server port (default 4000)");
    m_pVisitor = app.add_option("--visitor", m_sVisitor, "visitor number (default 0)");
    m_pToken = app.add_option("--token", m_sToken, "visitor's access token");
    m_pSolution = app.add_option("--solution", m_sSolution, "solution number (default 0)");
    m_pTimeout = app.add_option("--timeout", m_sTimeout,
                                "how long to wait for the server, in seconds (default 15)");
    m_pJson = app.add_flag("--json")->description("machine-readable output");
}

CConnection CConnectionArgs::Resolve() const {
    CConnection c;
    c.sHost = m_sHost;
    c.sToken = m_sToken;
    c.bJson = Json();
    if (Given(m_pPort)) c.nPort = static_cast<uint16_t>(ParseNumber(m_sPort, 1, 65535, "port"));
    if (Given(m_pVisitor))
        c.nVisitor = static_cast<uint32_t>(ParseNumber(m_sVisitor, 0, 0x7FFFFFFFL, "visitor"));
    if (Given(m_pSolution))
        c.nSolution = static_cast<uint32_t>(ParseNumber(m_sSolution, 0, 0xFFFFFFFFL, "solution"));
    if (Given(m_pTimeout))
        c.timeout = std::chrono::milliseconds(1000 * ParseNumber(m_sTimeout, 1, 3600, "timeout"));
    return c;
}

bool CConnectionArgs::NamesServer() const {
    return Given(m_pHost) || Given(m_pPort) || Given(m_pVisitor) || Given(m_pToken) ||
           Given(m_pSolution);
}

// The flag's count is known as soon as it was read, also when a later argument failed.
bool CConnectionArgs::Json() const {
    return Given(m_pJson);
}

// ======================================================================= parsing

namespace {
// The command the command line chose; null when none.
const CLI::App* Chosen(const CLI::App& app) {
    const auto chosen = app.get_subcommands();
    return chosen.empty() ? nullptr : chosen.front();
}
}  // namespace

std::string UsageMessage(const CLI::App& app, const CLI::ParseError& error,
                         const std::string& sProgram, const CUsageOf& usageOf) {
    const CLI::App* command = Chosen(app);
    const std::string sCommand = command ? command->get_name() : std::string();
    const bool bRequired = dynamic_cast<const CLI::RequiredError*>(&error) != nullptr;
    if (bRequired || dynamic_cast<const CLI::ExtrasError*>(&error)) {
        // Words nothing took are left over (requirements are checked before them, so a
        // missing argument may be one that was misread as an option).
        std::vector<std::string> extras =
            command ? command->remaining() : std::vector<std::string>();
        for (auto& x : app.remaining()) extras.push_back(std::move(x));
        if (!extras.empty()) {
            const std::string& x = extras.front();
            if (x.size() > 1 && x[0] == '-') return "unknown option '" + x + "'";
            if (command) return sCommand + ": unexpected '" + x + "'";
            if (app.get_require_subcommand_min() > 0)
                return "unknown command '" + x + "' (see --help)";
            return "unexpected '" + x + "'";
        }
        if (bRequired) {
            if (!command && app.get_require_subcommand_min() > 0)
                return "no command given (see --help)";
            const std::string sUsage = usageOf ? usageOf(sCommand) : std::string();
            if (!sUsage.empty()) return "usage: " + sProgram + " " + sUsage;
        }
    } else if (dynamic_cast<const CLI::ArgumentMismatch*>(&error)) {
        // CLI11 starts the text with the option's name: "--port: 1 required TEXT missing".
        const std::string sWhat = error.what();
        const size_t nColon = sWhat.find(':');
        if (sWhat.size() > 1 && sWhat[0] == '-' && nColon != std::string::npos)
            return sWhat.substr(0, nColon) + " needs a value";
    }
    return error.what();
}

std::string VersionLine(const std::string& sProgram) {
    return sProgram + " " + PALVOR_VERSION + " (built " + __DATE__ + " " + __TIME__ + ")";
}

void AddVersion(CLI::App& app, const std::string& sProgram) {
    app.set_version_flag("--version", VersionLine(sProgram), "print the version and exit");
}

bool Parse(CLI::App& app, int argc, char** argv, const std::string& sProgram,
           const CUsageOf& usageOf, const std::function<void()>& topHelp) {
    try {
        app.parse(argc, argv);
        return true;
    } catch (const CLI::CallForVersion& e) {
        std::cout << e.what() << std::endl;
        return false;
    } catch (const CLI::CallForHelp&) {
    } catch (const CLI::CallForAllHelp&) {
    } catch (const CLI::ParseError& e) {
        Fail(kUsage, UsageMessage(app, e, sProgram, usageOf));
    }
    if (Chosen(app) || !topHelp)
        std::cout << app.help() << std::flush;
    else
        topHelp();
    return false;
}

int Report(const CExit& exit, bool bJson, const std::string& sProgram) {
    if (bJson) PrintJson(CJson{{"error", exit.sMessage}, {"code", exit.nCode}});
    std::fprintf(OwnStderr(), "%s: %s\n", sProgram.c_str(), exit.sMessage.c_str());
    return exit.nCode;
}

}  // namespace DUve::Cli
