#include "App/RAdmission.h"

#include <algorithm>
#include <cstdio>
#include <deque>
#include <exception>

#include <curl/curl.h>

#include "App/Http.h"
#include "runtime/RForeignOutput.h"

namespace DUve {

CRAdmission::CRAdmission(std::shared_ptr<const CRWebApi> api,
                         std::function<void(uint64_t, bool)> onVerdict, CLimits limits)
    : m_api(std::move(api)),
      m_limits{std::max<size_t>(1, limits.nInFlight), std::max<size_t>(1, limits.nInFlightPerAddress)},
      m_onVerdict(std::move(onVerdict)),
      m_verdicts([this](CVerdict& v) {
          if (m_pending.erase(v.nId) && m_onVerdict) m_onVerdict(v.nId, v.bAcceptable);
      }) {
    // The multi handle exists before the thread, so Wake never sees it half made.
    m_multi = CurlReady() ? curl_multi_init() : nullptr;
    if (auto* multi = static_cast<CURLM*>(m_multi)) {
        // Connections to the site are kept and used again (HTTP keep-alive), never more
        // than the requests in flight (and one for a keep-alive call).
        const long connections = static_cast<long>(m_limits.nInFlight) + 1;
        curl_multi_setopt(multi, CURLMOPT_MAX_HOST_CONNECTIONS, connections);
        curl_multi_setopt(multi, CURLMOPT_MAX_TOTAL_CONNECTIONS, connections);
        curl_multi_setopt(multi, CURLMOPT_MAXCONNECTS, connections);
    }
    m_thread = std::thread([this] { Run(); });
}

CRAdmission::~CRAdmission() {
    m_bStop = true;
    Wake();
    m_thread.join();
    curl_multi_cleanup(static_cast<CURLM*>(m_multi));
}

void CRAdmission::Wake() {
    if (m_multi) curl_multi_wakeup(static_cast<CURLM*>(m_multi));
}

uint64_t CRAdmission::Ask(int32_t visitorId, uint32_t solutionId, const std::u16string& token,
                          const std::string& address) {
    const uint64_t id = ++m_nNextId;
    m_pending.insert(id);
    {
        std::lock_guard lock(m_mutex);
        m_queued.push_back({id, m_api->AcceptableUserAddress(visitorId, solutionId, token), address});
    }
    Wake();
    return id;
}

void CRAdmission::Cancel(uint64_t id) {
    if (!m_pending.erase(id)) return;
    {
        std::lock_guard lock(m_mutex);
        m_cancelled.push_back(id);
    }
    Wake();
}

void CRAdmission::KeepAlive() {
    {
        std::lock_guard lock(m_mutex);
        m_queued.push_back({0, m_api->KeepAliveAddress(), {}});
    }
    Wake();
}

namespace {

// Requests waiting for a place in flight: one queue per remote address, served in turn.
template <class Request>
class CFairQueueT {
public:
    void Push(Request request) {
        auto& queue = m_queues[request.sAddress];
        queue.push_back(std::move(request));
    }
    // Removes the request `id`; false when it is not queued.
    template <class Match>
    bool RemoveIf(Match match) {
        for (auto it = m_queues.begin(); it != m_queues.end(); ++it) {
            auto& queue = it->second;
            const auto found = std::find_if(queue.begin(), queue.end(), match);
            if (found == queue.end()) continue;
            queue.erase(found);
            if (queue.empty()) m_queues.erase(it);
            return true;
        }
        return false;
    }
    // The next request of the first address after the one served last whose requests in
    // flight (`busy`) are under `perAddress`; false when there is none.
    template <class Busy>
    bool PopNext(Request& out, Busy busy, size_t perAddress) {
        if (m_queues.empty()) return false;
        auto it = m_queues.upper_bound(m_sLast);
        for (size_t n = 0; n < m_queues.size(); ++n, ++it) {
            if (it == m_queues.end()) it = m_queues.begin();
            if (busy(it->first) >= perAddress) continue;
            out = std::move(it->second.front());
            it->second.pop_front();
            m_sLast = it->first;
            if (it->second.empty()) m_queues.erase(it);
            return true;
        }
        return false;
    }

private:
    std::map<std::string, std::deque<Request>> m_queues;
    std::string m_sLast;
};

}  // namespace

void CRAdmission::Run() {
    auto* multi = static_cast<CURLM*>(m_multi);
    if (!multi) {
        std::fprintf(OwnStderr(), "palvorserver: no libcurl multi handle: every visitor is refused\n");
    }
    struct CActive {
        uint64_t nId;
        std::string sAddress;
        CRWebApi::CTransfer transfer;
    };
    std::map<CURL*, std::unique_ptr<CActive>> active;
    std::map<std::string, size_t> busy;  // requests in flight by address
    CFairQueueT<CRequest> waiting;
    auto finish = [&](CURL* easy) {
        curl_multi_remove_handle(multi, easy);
        curl_easy_cleanup(easy);  // its connection stays with the multi handle for reuse
        const auto it = active.find(easy);
        if (it == active.end()) return;
        const auto b = busy.find(it->second->sAddress);
        if (b != busy.end() && --b->second == 0) busy.erase(b);
        active.erase(it);
        m_nInFlight = active.size();
    };
    auto busyOf = [&](const std::string& address) {
        const auto b = busy.find(address);
        return b == busy.end() ? size_t{0} : b->second;
    };
    auto start = [&](CRequest& request) {
        auto entry = std::make_unique<CActive>();
        entry->nId = request.nId;
        entry->sAddress = request.sAddress;
        CURL* easy = multi ? static_cast<CURL*>(m_api->PrepareGet(request.sUrl, entry->transfer))
                           : nullptr;
        if (!easy || curl_multi_add_handle(multi, easy) != CURLM_OK) {
            if (easy) curl_easy_cleanup(easy);
            if (request.nId) m_verdicts.Push({request.nId, false});
            return;
        }
        ++busy[request.sAddress];
        active.emplace(easy, std::move(entry));
        m_nInFlight = active.size();
    };
    while (!m_bStop) {
        std::vector<CRequest> queued;
        std::vector<uint64_t> cancelled;
        {
            std::lock_guard lock(m_mutex);
            queued.swap(m_queued);
            cancelled.swap(m_cancelled);
        }
        for (auto& request : queued) waiting.Push(std::move(request));
        for (uint64_t id : cancelled) {
            if (waiting.RemoveIf([id](const CRequest& r) { return r.nId == id; })) continue;
            for (auto it = active.begin(); it != active.end(); ++it)
                if (it->second->nId == id) {
                    finish(it->first);
                    break;
                }
        }
        CRequest next;
        while (active.size() < m_limits.nInFlight &&
               waiting.PopNext(next, busyOf, m_limits.nInFlightPerAddress))
            start(next);
        int running = 0;
        if (multi) curl_multi_perform(multi, &running);
        int left = 0;
        while (CURLMsg* msg = multi ? curl_multi_info_read(multi, &left) : nullptr) {
            if (msg->msg != CURLMSG_DONE) continue;
            CURL* easy = msg->easy_handle;
            const auto it = active.find(easy);
            if (it == active.end()) continue;
            const uint64_t id = it->second->nId;
            bool acceptable = false;
            if (id) {
                try {
                    const CHttpResult reply = CRWebApi::ResultOf(msg->data.result, it->second->transfer);
                    acceptable = IsAcceptableReply(reply.nStatus, reply.vBody);
                } catch (const std::exception& e) {
                    std::fprintf(OwnStderr(), "palvorserver: admission reply unreadable: %s\n", e.what());
                }
            }
            // The request leaves the count in flight before its verdict is handed on, so
            // whoever hears the verdict never sees it still counted.
            finish(easy);
            if (id) m_verdicts.Push({id, acceptable});
        }
        // A finished request frees a place: start the next at once.
        if (active.size() < m_limits.nInFlight &&
            waiting.PopNext(next, busyOf, m_limits.nInFlightPerAddress)) {
            start(next);
            continue;
        }
        if (multi) curl_multi_poll(multi, nullptr, 0, 1000, nullptr);
    }
    while (!active.empty()) finish(active.begin()->first);
    m_nInFlight = 0;
}

}  // namespace DUve
