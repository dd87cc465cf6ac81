// The site's verdicts on connecting visitors, fetched beside the user-interface thread:
// one thread drives every pending request at once (a libcurl multi handle), so verdicts
// do not wait for each other, and each verdict is handed back on the UI thread. Stopping
// abandons whatever is still pending at once. Keep-alive calls go the same way.
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

class CRAdmission {
public:
    // `onVerdict` runs on the UI thread (the thread that creates this object, which must
    // have a current CRUiLoop) for every request that was not cancelled.
    CRAdmission(std::shared_ptr<const CRWebApi> api,
                std::function<void(uint64_t id, bool acceptable)> onVerdict);
    ~CRAdmission();
    CRAdmission(const CRAdmission&) = delete;
    CRAdmission& operator=(const CRAdmission&) = delete;

    // Asks the site; returns the request's id (never 0).
    uint64_t Ask(int32_t visitorId, uint32_t solutionId, const std::u16string& token);
    // The verdict of `id` is never delivered.
    void Cancel(uint64_t id);
    // Tells the site the server is alive; nothing is delivered.
    void KeepAlive();
    // Requests asked and neither answered nor cancelled (UI thread).
    size_t PendingCount() const { return m_pending.size(); }

private:
    struct CVerdict {
        uint64_t nId = 0;
        bool bAcceptable = false;
    };
    struct CRequest {
        uint64_t nId = 0;  // 0: keep-alive, no verdict
        std::string sUrl;
    };
    void Run();
    void Wake();

    std::shared_ptr<const CRWebApi> m_api;
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
