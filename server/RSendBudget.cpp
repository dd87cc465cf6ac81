#include "server/RSendBudget.h"

#include <algorithm>
#include <limits>
#include <mutex>
#include <string>
#include <unordered_set>

namespace DUve::CRSocket {

namespace {

class CSocketErrorCategory : public boost::system::error_category {
public:
    const char* name() const noexcept override { return "palvor.socket"; }
    std::string message(int) const override {
        return "dropped: the send queues of all connections went over the process limit and "
               "this connection's was the largest";
    }
};

}  // namespace

boost::system::error_code ErrorGlobalSendLimit() {
    static const CSocketErrorCategory category;
    return {1, category};
}

// The queued bytes of all connections and the connections that can be chosen. The
// counters are atomics touched on every send; the registry's mutex is taken once per
// connection (when it joins and when it leaves) and while the bound is enforced.
struct CSendBudget {
    static CSendBudget& Get() {
        static CSendBudget* budget = new CSendBudget;  // outlives every connection, also at exit
        return *budget;
    }

    bool Over() const {
        return queued.load(std::memory_order_relaxed) >
               evicting.load(std::memory_order_relaxed) + limit.load(std::memory_order_relaxed);
    }

    // Chooses the largest queues until the rest fits. A chosen queue's bytes count as
    // leaving from now on; shared buffers may stay with other connections, which the
    // total shows again once the queue is settled.
    void Enforce() {
        std::lock_guard lock(mutex);
        while (Over()) {
            CSendAccount* worst = nullptr;
            size_t most = 0;
            for (CSendAccount* account : accounts) {
                if (account->m_bEvicted.load()) continue;
                const size_t n = account->Pending();
                if (n > most) {
                    most = n;
                    worst = account;
                }
            }
            if (!worst) return;
            // Counted before the credit is stored: whichever of this and the owner's
            // Settle() comes first, the credit is given back exactly once.
            evicting += most;
            worst->m_bEvicted.store(true);
            worst->m_nEvictCredit.store(most);
            worst->m_evict();
        }
    }

    std::atomic<size_t> queued{0};
    std::atomic<size_t> evicting{0};
    std::atomic<size_t> limit{kDefaultGlobalSendLimit};
    std::mutex mutex;
    std::unordered_set<CSendAccount*> accounts;
};

void SetGlobalSendLimit(size_t bytes) {
    // Kept far from the top of size_t so that "evicting + limit" cannot wrap.
    CSendBudget::Get().limit = std::min(bytes, std::numeric_limits<size_t>::max() / 2);
}

size_t GlobalSendLimit() { return CSendBudget::Get().limit.load(); }

size_t GlobalQueuedBytes() { return CSendBudget::Get().queued.load(); }

CSharedCharge::~CSharedCharge() {
    // Every holder releases before it lets the buffer go; a count still up would leave
    // the bytes counted for good.
    if (m_nHolders.load() != 0) CSendBudget::Get().queued -= m_nBytes;
}

void CSharedCharge::Hold() const {
    if (m_nHolders.fetch_add(1) == 0) CSendBudget::Get().queued += m_nBytes;
}

void CSharedCharge::Release() const {
    if (m_nHolders.fetch_sub(1) == 1) CSendBudget::Get().queued -= m_nBytes;
}

void CSendAccount::Join(CEvict evict) {
    if (m_bJoined) return;
    auto& budget = CSendBudget::Get();
    std::lock_guard lock(budget.mutex);
    m_evict = std::move(evict);
    budget.accounts.insert(this);
    m_bJoined = true;
}

void CSendAccount::Leave() {
    if (!m_bJoined) return;
    auto& budget = CSendBudget::Get();
    std::lock_guard lock(budget.mutex);
    budget.accounts.erase(this);
    m_bJoined = false;
}

void CSendAccount::Queue(const CSharedCharge& charge) {
    m_nPending += charge.Bytes();
    charge.Hold();
    auto& budget = CSendBudget::Get();
    if (budget.Over()) budget.Enforce();
}

void CSendAccount::Unqueue(const CSharedCharge& charge) {
    m_nPending -= charge.Bytes();
    charge.Release();
}

void CSendAccount::Settle() { CSendBudget::Get().evicting -= m_nEvictCredit.exchange(0); }

}  // namespace DUve::CRSocket
