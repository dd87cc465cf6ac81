#include "runtime/RThreadBridge.h"

#include <stdexcept>
#include <utility>

#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>

#include "runtime/RSendToUiThread.h"
#include "runtime/RThreadMessage.h"
#include "runtime/RUiLoop.h"

namespace DUve::CRThreadBridge {

namespace {

// Endpoint of a worker thread: deliveries are queued on its event loop.
class CIoEndpoint final : public CThreadSingleton {
public:
    explicit CIoEndpoint(boost::asio::io_context& io) : m_io(io) {}
    ~CIoEndpoint() override { Bridge()->Detach(); }
    void Post(const CSender& sender, CRThreadMessage::CBatch&& batch) override {
        boost::asio::post(m_io, [sender, batch = std::move(batch)] {
            CRThreadMessage::Deliver(sender, batch);
        });
    }
    bool Serves(const void* loop) const override { return loop == &m_io; }

private:
    boost::asio::io_context& m_io;
};

// Endpoint of the user-interface thread: a FIFO queue drained by a coalesced signal.
class CUiEndpoint final : public CThreadSingleton {
public:
    using CItem = std::pair<CSender, CRThreadMessage::CBatch>;

    explicit CUiEndpoint(const std::shared_ptr<CRUiLoop>& loop)
        : m_loop(loop), m_queue([](CItem& item) {
              CRThreadMessage::Deliver(item.first, item.second);
          }) {}
    ~CUiEndpoint() override { Bridge()->Detach(); }
    void Post(const CSender& sender, CRThreadMessage::CBatch&& batch) override {
        m_queue.Push(CItem(sender, std::move(batch)));
    }
    bool Serves(const void* loop) const override {
        const auto current = m_loop.lock();  // a new loop may reuse a dead one's address
        return current && current.get() == loop;
    }

private:
    std::weak_ptr<CRUiLoop> m_loop;
    CRSendToUiThreadT<CItem> m_queue;
};

thread_local std::unique_ptr<CThreadSingleton> t_endpoint;

std::shared_ptr<CThreadSingletonBridge> EndpointBridge(const void* loop, auto make) {
    if (!t_endpoint || !t_endpoint->Serves(loop)) {
        t_endpoint.reset();  // detach the old one before its replacement exists
        t_endpoint = make();
    }
    return t_endpoint->Bridge();
}

}  // namespace

bool CThreadSingletonBridge::HandOver(const CSender& sender, CRThreadMessage::CBatch&& batch) {
    std::lock_guard lock(m_mutex);
    if (!m_pEndpoint) return false;
    m_pEndpoint->Post(sender, std::move(batch));
    return true;
}

void CThreadSingletonBridge::Detach() {
    std::lock_guard lock(m_mutex);
    m_pEndpoint = nullptr;
}

CThreadSingleton::~CThreadSingleton() = default;

void CSender::Send(CRThreadMessage::CMessagePtr message) const {
    Send(CRThreadMessage::CBatch{std::move(message)});
}

void CSender::Send(CRThreadMessage::CBatch batch) const {
    const auto receiver = m_bridge.lock();
    if (!receiver || !receiver->IsAlive()) return;
    receiver->Thread()->HandOver(*this, std::move(batch));
}

bool CSender::IsAlive() const {
    const auto receiver = m_bridge.lock();
    return receiver && receiver->IsAlive();
}

CReceiverPtr InitializeIoService(boost::asio::io_context& io) {
    auto bridge = EndpointBridge(&io, [&io] { return std::make_unique<CIoEndpoint>(io); });
    return std::make_unique<CReceiver>(std::move(bridge));
}

CReceiverPtr InitializeUiThread() {
    auto loop = CRUiLoop::Current();
    if (!loop) throw std::logic_error("InitializeUiThread on a thread without a UI loop");
    auto bridge = EndpointBridge(loop.get(), [&loop] { return std::make_unique<CUiEndpoint>(loop); });
    return std::make_unique<CReceiver>(std::move(bridge));
}

void ReleaseThread() { t_endpoint.reset(); }

}  // namespace DUve::CRThreadBridge
