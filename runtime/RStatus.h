// CRStatus: the outcome of an operation that can fail for a cause outside the caller's
// control (a storage error, memory running out). A failure carries the failing library's
// code, its own message and what was being done, so the one place that handles it can say
// why. RunOrReport runs a callable whose failures are reported by results: an exception becomes
// a status, handed once to a report function, and the empty (value-initialised) result.
#pragma once

#include <cstdio>
#include <exception>
#include <string>
#include <utility>

#include "runtime/RForeignOutput.h"

namespace DUve {

struct CRStatus {
    // nCode of a failure that came as an exception rather than as a library's code.
    static constexpr int kException = -1;

    int nCode = 0;  // 0 on success; otherwise the library's result code, or kException
    std::string sMessage;
    std::string sDoing;

    bool Ok() const { return nCode == 0; }
    explicit operator bool() const { return Ok(); }

    // "<doing>: <message> (code <n>)", or "ok".
    std::string Text() const {
        if (Ok()) return "ok";
        std::string text = sDoing.empty() ? std::string("failed") : sDoing;
        text += ": ";
        text += sMessage.empty() ? std::string("unknown cause") : sMessage;
        if (nCode != kException) text += " (code " + std::to_string(nCode) + ")";
        return text;
    }

    static CRStatus Failure(int code, std::string message, std::string doing) {
        if (code == 0) code = kException;  // a failure is never taken for success
        return {code, std::move(message), std::move(doing)};
    }
};

// Writes a failure on standard error: "palvor: <text>".
inline void ReportOnStderr(const CRStatus& status) noexcept {
    try {
        std::fprintf(OwnStderr(), "palvor: %s\n", status.Text().c_str());
    } catch (const std::exception&) {
        std::fprintf(OwnStderr(), "palvor: %s (code %d)\n", status.sMessage.c_str(), status.nCode);
    }
}

// Runs f and returns its result; when f throws, reports the cause once (`report` gets the
// status) and returns the value-initialised result.
template <class F, class Report = void (*)(const CRStatus&) noexcept>
auto RunOrReport(const char* doing, F&& f, Report&& report = &ReportOnStderr) noexcept -> decltype(f()) {
    CRStatus status;
    try {
        return f();
    } catch (const std::exception& e) {
        try {
            status = CRStatus::Failure(CRStatus::kException, e.what(), doing);
        } catch (const std::exception&) {
            // No memory for the texts: the report says only that it failed.
        }
    } catch (...) {
        try {
            status = CRStatus::Failure(CRStatus::kException, "unknown exception", doing);
        } catch (const std::exception&) {
        }
    }
    if (status.Ok()) status.nCode = CRStatus::kException;
    try {
        report(status);
    } catch (const std::exception& e) {
        std::fprintf(OwnStderr(), "palvor: a failure could not be reported: %s\n", e.what());
    }
    return {};
}

}  // namespace DUve
