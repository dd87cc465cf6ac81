// What the programs share on their command lines: the exit codes and the failure that
// carries one, the options that reach a server, number and identifier arguments, JSON
// output, --version, and the parsing of a command line (CLI11) with usage errors told in the
// programs' own words.
#pragma once

#include <CLI/CLI.hpp>
#include <chrono>
#include <cstdint>
#include <functional>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "runtime/RUid.h"

namespace DUve::Cli {

// Exit codes.
constexpr int kOk = 0;
constexpr int kFailed = 1;      // the server did not apply the request
constexpr int kUsage = 2;       // bad command line or input file
constexpr int kConnection = 3;  // cannot connect, refused, connection lost
constexpr int kUnknownId = 4;   // an identifier that names nothing

// A program ends with this code and message (thrown by Fail, caught in main).
struct CExit {
    int nCode;
    std::string sMessage;
};
[[noreturn]] void Fail(int nCode, const std::string& sMessage);

// A decimal number within lo..hi; otherwise fails with kUsage, "invalid WHAT 'TEXT' (LO-HI)".
long ParseNumber(const std::string& sText, long nLo, long nHi, const char* szWhat);
// An identifier as the programs print it (32 hex digits); otherwise fails with kUsage.
CRUid ParseId(const std::string& sText);

// The bytes of a file, or of standard input for "-". Fails with kUsage when it cannot be
// read or holds more than nMax bytes (reading stops as soon as it is past nMax).
std::string ReadInput(const std::string& sFile, size_t nMax);

// JSON objects keep their members in the order they were added.
using CJson = nlohmann::ordered_json;
CJson ToJson(const std::u16string& s);
CJson ToJson(const CRUid& id);
// One line of compact JSON (no newline); bytes that are not UTF-8 become U+FFFD.
std::string Dump(const CJson& json);
// Dump and a newline on standard output.
void PrintJson(const CJson& json);

// How to reach a server and how to answer.
struct CConnection {
    std::string sHost = "127.0.0.1";
    uint16_t nPort = 4000;
    uint32_t nVisitor = 0;
    std::string sToken;
    uint32_t nSolution = 0;
    std::chrono::milliseconds timeout{15000};
    bool bJson = false;
};

// --host, --port, --visitor, --token, --solution, --timeout and --json as typed; Resolve
// checks them after parsing.
class CConnectionArgs {
public:
    void AddTo(CLI::App& app);
    // Fails with kUsage on a value out of range.
    CConnection Resolve() const;
    // Whether any option that names a server was given (--json and --timeout do not).
    bool NamesServer() const;
    // Whether --json was given (known also when a later argument was bad).
    bool Json() const;

private:
    std::string m_sHost = "127.0.0.1";
    std::string m_sPort, m_sVisitor, m_sToken, m_sSolution, m_sTimeout;
    // Null until AddTo.
    const CLI::Option* m_pHost = nullptr;
    const CLI::Option* m_pPort = nullptr;
    const CLI::Option* m_pVisitor = nullptr;
    const CLI::Option* m_pToken = nullptr;
    const CLI::Option* m_pSolution = nullptr;
    const CLI::Option* m_pTimeout = nullptr;
    const CLI::Option* m_pJson = nullptr;
};

// --version: "PROGRAM VERSION (built DATE TIME)".
void AddVersion(CLI::App& app, const std::string& sProgram);
std::string VersionLine(const std::string& sProgram);

// Usage lines for usage errors: the arguments of a command ("" for the program itself).
using CUsageOf = std::function<std::string(const std::string& sCommand)>;

// The message of a usage error: "usage: PROGRAM USAGE" for missing arguments, "unknown
// option 'X'", "unknown command 'X' (see --help)", "COMMAND: unexpected 'X'", "--NAME needs
// a value"; CLI11's own text for anything else.
std::string UsageMessage(const CLI::App& app, const CLI::ParseError& error,
                         const std::string& sProgram, const CUsageOf& usageOf);

// Parses the command line. A usage error fails with kUsage and UsageMessage. A help
// request prints help and returns false, and so does --version after printing the version: `topHelp` for the program itself, CLI11's help
// of the command otherwise.
bool Parse(CLI::App& app, int argc, char** argv, const std::string& sProgram,
           const CUsageOf& usageOf, const std::function<void()>& topHelp);

// What a program prints when it ends with a failure: "PROGRAM: MESSAGE" on standard error
// and, with JSON output, {"error":MESSAGE,"code":CODE} on standard output. Returns the code.
int Report(const CExit& exit, bool bJson, const std::string& sProgram);

}  // namespace DUve::Cli
