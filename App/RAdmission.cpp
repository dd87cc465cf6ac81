#include "App/RAdmission.h"

#include <cstdio>
#include <exception>

#include <curl/curl.h>

namespace DUve {

CRAdmission::CRAdmission(std::shared_ptr<const CRWebApi> api,
                         std::function<void(uint64_t, bool)> onVerdict)
    : m_api(std::move(api)),
      m_onVerdict(std::move(onVerdict)),
      m_verdicts([this](CVerdict& v) {
          if (m_pending.erase(v.nId) && m_onVerdict) m_onVerdict(v.nId, v.bAcceptable);
      }) {
    // The multi handle exists before the thread, so Wake never sees it half made.
    curl_global_init(CURL_GLOBAL_DEFAULT);
    m_multi = curl_multi_init();
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

uint64_t CRAdmission::Ask(int32_t visitorId, uint32_t solutionId, const std::u16string& token) {
    const uint64_t id = ++m_nNextId;
    m_pending.insert(id);
    {
        std::lock_guard lock(m_mutex);
        m_queued.push_back({id, m_api->AcceptableUserAddress(visitorId, solutionId, token)});
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
        m_queued.push_back({0, m_api->KeepAliveAddress()});
    }
    Wake();
}

void CRAdmission::Run() {
    auto* multi = static_cast<CURLM*>(m_multi);
    if (!multi) {
        std::fprintf(stderr, "palvorserver: no libcurl multi handle: every visitor is refused\n");
    }
    struct CActive {
        uint64_t nId;
        CRWebApi::CTransfer transfer;
    };
    std::map<CURL*, std::unique_ptr<CActive>> active;
    auto finish = [&](CURL* easy) {
        curl_multi_remove_handle(multi, easy);
        curl_easy_cleanup(easy);
        active.erase(easy);
    };
    while (!m_bStop) {
        std::vector<CRequest> queued;
        std::vector<uint64_t> cancelled;
        {
            std::lock_guard lock(m_mutex);
            queued.swap(m_queued);
            cancelled.swap(m_cancelled);
        }
        for (auto& request : queued) {
            auto entry = std::make_unique<CActive>();
            entry->nId = request.nId;
            CURL* easy = multi ? static_cast<CURL*>(m_api->PrepareGet(request.sUrl, entry->transfer))
                               : nullptr;
            if (!easy || curl_multi_add_handle(multi, easy) != CURLM_OK) {
                if (easy) curl_easy_cleanup(easy);
                if (request.nId) m_verdicts.Push({request.nId, false});
                continue;
            }
            active.emplace(easy, std::move(entry));
        }
        for (uint64_t id : cancelled)
            for (auto it = active.begin(); it != active.end(); ++it)
                if (it->second->nId == id) {
                    finish(it->first);
                    break;
                }
        int running = 0;
        if (multi) curl_multi_perform(multi, &running);
        int left = 0;
        while (CURLMsg* msg = multi ? curl_multi_info_read(multi, &left) : nullptr) {
            if (msg->msg != CURLMSG_DONE) continue;
            CURL* easy = msg->easy_handle;
            const auto it = active.find(easy);
            if (it == active.end()) continue;
            if (it->second->nId) {
                bool acceptable = false;
                try {
                    const CHttpResult reply = CRWebApi::ResultOf(msg->data.result, it->second->transfer);
                    acceptable = IsAcceptableReply(reply.nStatus, reply.vBody);
                } catch (const std::exception& e) {
                    std::fprintf(stderr, "palvorserver: admission reply unreadable: %s\n", e.what());
                }
                m_verdicts.Push({it->second->nId, acceptable});
            }
            finish(easy);
        }
        if (multi) curl_multi_poll(multi, nullptr, 0, 1000, nullptr);
    }
    while (!active.empty()) finish(active.begin()->first);
}

}  // namespace DUve
