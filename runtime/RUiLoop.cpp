#include "runtime/RUiLoop.h"

#include <cstdio>
#include <exception>
#include <stdexcept>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>

#include "runtime/RForeignOutput.h"

namespace DUve {

namespace {
thread_local std::weak_ptr<CRUiLoop> t_currentLoop;
}  // namespace

std::shared_ptr<CRUiLoop> CRUiLoop::Current() { return t_currentLoop.lock(); }

void CRUiLoop::MakeCurrent() { t_currentLoop = weak_from_this(); }

uint32_t CRUiLoop::PostedCount() const {
    std::lock_guard lock(m_mutex);
    return m_nPosted;
}

uint32_t CRUiLoop::MaxPostedCount() const {
    std::lock_guard lock(m_mutex);
    return m_nMaxPosted;
}

void CRUiLoop::Register(const std::shared_ptr<CRSendToUiThread::CInner>& inner) {
    std::lock_guard lock(m_mutex);
    std::erase_if(m_inners, [](const auto& w) { return w.expired(); });
    m_inners.push_back(inner);
}

void CRUiLoop::RequestWakeup() {
    {
        std::lock_guard lock(m_mutex);
        if (m_nPosted >= 2) return;  // a queued wake-up will pick this signal up
        ++m_nPosted;
        if (m_nPosted > m_nMaxPosted) m_nMaxPosted = m_nPosted;
    }
    PostWakeup();
}

void CRUiLoop::OnWakeup() {
    std::vector<std::shared_ptr<CRSendToUiThread::CInner>> inners;
    {
        std::lock_guard lock(m_mutex);
        if (m_nPosted > 0) --m_nPosted;
        inners.reserve(m_inners.size());
        for (const auto& w : m_inners)
            if (auto p = w.lock()) inners.push_back(std::move(p));
    }
    for (const auto& inner : inners) {
        uint32_t n = 0;
        CRSendToUiThread* owner = nullptr;
        {
            std::lock_guard lock(inner->mutex);
            if (inner->bBusy || !inner->pOwner) continue;
            n = inner->nPending;
            inner->nPending = 0;
            if (n > 0) inner->bBusy = true;
            owner = inner->pOwner;
        }
        if (n == 0) continue;
        // A handler's failure stays with it; the loop goes on.
        try {
            owner->OnSignal(n);
        } catch (const std::exception& e) {
            std::fprintf(OwnStderr(), "palvor: a UI-thread handler failed: %s\n", e.what());
        } catch (...) {
            std::fprintf(OwnStderr(), "palvor: a UI-thread handler failed with an unknown exception\n");
        }
        bool stranded = false;
        {
            std::lock_guard lock(inner->mutex);
            inner->bBusy = false;
            stranded = inner->nPending > 0;
        }
        // Signals that came while the handler ran may have had their wake-up consumed by
        // a nested loop that had to skip the busy object; wake again so they are handled.
        if (stranded) RequestWakeup();
    }
}

std::shared_ptr<CRUiLoopAsio> CRUiLoopAsio::Create() {
    std::shared_ptr<CRUiLoopAsio> loop(new CRUiLoopAsio);
    loop->MakeCurrent();
    return loop;
}

void CRUiLoopAsio::PostWakeup() {
    const uint32_t queued = ++m_nQueued;
    uint32_t max = m_nMaxQueued.load();
    while (queued > max && !m_nMaxQueued.compare_exchange_weak(max, queued)) {
    }
    std::weak_ptr<CRUiLoop> self = weak_from_this();
    boost::asio::post(m_io, [this, self] {
        if (auto loop = self.lock()) {
            --m_nQueued;
            OnWakeup();
        }
    });
}

void CRUiLoopAsio::Run() {
    auto guard = boost::asio::make_work_guard(m_io);
    m_io.restart();
    m_io.run();
}

void CRUiLoopAsio::RunFor(std::chrono::milliseconds d) {
    m_io.restart();
    m_io.run_for(d);
}

void CRUiLoopAsio::Stop() { m_io.stop(); }

namespace {
// A periodic timer on an event loop; re-armed from its previous expiry.
struct CPeriodic : std::enable_shared_from_this<CPeriodic> {
    CPeriodic(boost::asio::io_context& io, std::chrono::milliseconds p, std::function<void()> f)
        : timer(io), period(p), callback(std::move(f)) {}
    void Arm() {
        timer.expires_at(timer.expiry() + period);
        std::weak_ptr<CPeriodic> weak = weak_from_this();
        timer.async_wait([weak](const boost::system::error_code& ec) {
            auto self = weak.lock();
            if (ec || !self) return;
            self->Arm();
            // A failing callback does not stop the timer.
            try {
                self->callback();
            } catch (const std::exception& e) {
                std::fprintf(OwnStderr(), "palvor: a UI timer callback failed: %s\n", e.what());
            } catch (...) {
                std::fprintf(OwnStderr(), "palvor: a UI timer callback failed with an unknown exception\n");
            }
        });
    }
    boost::asio::steady_timer timer;
    std::chrono::milliseconds period;
    std::function<void()> callback;
};
}  // namespace

std::shared_ptr<void> CRUiLoopAsio::StartTimer(std::chrono::milliseconds period,
                                               std::function<void()> f) {
    auto t = std::make_shared<CPeriodic>(m_io, period, std::move(f));
    t->timer.expires_at(std::chrono::steady_clock::now());
    t->Arm();
    return t;
}

// ---- CRSendToUiThread ----

CRSendToUiThread::CRSendToUiThread() : m_inner(std::make_shared<CInner>()) {
    auto loop = CRUiLoop::Current();
    if (!loop) throw std::logic_error("CRSendToUiThread created on a thread without a UI loop");
    m_inner->loop = loop;
    m_inner->pOwner = this;
    loop->Register(m_inner);
}

CRSendToUiThread::~CRSendToUiThread() {
    std::lock_guard lock(m_inner->mutex);
    m_inner->pOwner = nullptr;
}

void CRSendToUiThread::Signal() {
    {
        std::lock_guard lock(m_inner->mutex);
        ++m_inner->nPending;
    }
    if (auto loop = m_inner->loop.lock()) loop->RequestWakeup();
}

}  // namespace DUve
