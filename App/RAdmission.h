// The site's verdicts on connecting visitors, fetched beside the user-interface thread:
// one thread drives the requests together (a libcurl multi handle), so verdicts do not
// wait for each other, and each verdict is handed back on the UI thread. Stopping
// abandons whatever is still pending at once. Keep-alive calls go the same way.
//
// A small site must not be swamped: at most a few dozen requests are in flight, over
// connections that stay open and are used again; the rest wait in one queue per remote
// address, served in turn, and one address has only a part of the places in flight, so a
// visitor from elsewhere is asked about at once while one address floods.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "App/WebApi.h"
#include "runtime/RSendToUiThread.h"

namespace DUve {

// How many verdict requests are made at once.
struct CAdmissionLimits {
    size_t nInFlight = 32;           // requests to the site at once, and connections
    size_t nInFlightPerAddress = 8;  // of those, for visitors of one remote address
};

class CRAdmission {
public:
    using CLimits = CAdmissionLimits;

    // `onVerdict` runs on the UI thread (the thread that creates this object, which must
    // have a current CRUiLoop) for every request that was not cancelled.
    CRAdmission(std::shared_ptr<const CRWebApi> api,
                std::function<void(uint64_t id, bool acceptable)> onVerdict,
                CLimits limits = {});
    ~CRAdmission();
    CRAdmission(const CRAdmission&) = delete;
    CRAdmission& operator=(const CRAdmission&) = delete;

    // Asks the site about a visitor connected from `address`; returns the request's id
    // (never 0).
    uint64_t Ask(int32_t visitorId, uint32_t solutionId, const std::u16string& token,
                 const std::string& address = {});
    // The verdict of `id` is never delivered.
    void Cancel(uint64_t id);
    // Tells the site the server is alive; nothing is delivered.
    void KeepAlive();
    // Requests asked and neither answered nor cancelled (UI thread).
    size_t PendingCount() const { return m_pending.size(); }
    // Requests being made to the site now (any thread).
    size_t InFlightCount() const { return m_nInFlight.load(); }
    const CLimits& Limits() const { return m_limits; }

private:
    struct CVerdict {
        uint64_t nId = 0;
        bool bAcceptable = false;
    };
    struct CRequest {
        uint64_t nId = 0;  // 0: keep-alive, no verdict
        std::string sUrl;
        std::string sAddress;  // whose turn it takes
    };
    void Run();
    void Wake();

    std::shared_ptr<const CRWebApi> m_api;
    CLimits m_limits;
    std::atomic<size_t> m_nInFlight{0};
    std::function<void(uint64_t, bool)> m_onVerdict;
    std::set<uint64_t> m_pending;  // UI thread
    uint64_t m_nNextId = 0;

    std::mutex m_mutex;  // guards the three below
    std::vector<CRequest> m_queued;
    std::vector<uint64_t> m_cancelled;
    void* m_multi = nullptr;  // CURLM*, valid while the thread runs
    std::atomic<bool> m_bStop{false};

    CRSendToUiThreadT<CVerdict> m_verdicts;
    std::thread m_thread;  // last: started once everything else exists
};

}  // namespace DUve
