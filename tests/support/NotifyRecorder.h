// A receiver on a worker thread of its own that keeps every notification of type TNotify
// sent to it: what a test subscribes (CAddNotify with Sender()) to a device or the patch
// bay, to see what they tell their listeners.
#pragma once

#include <memory>
#include <mutex>
#include <vector>

#include "runtime/RThreadMessage.h"
#include "runtime/RWorkerThread.h"

namespace DUve::Test {

template <class TNotify>
class CNotifyRecorder {
public:
    using CNotifyPtr = std::shared_ptr<const TNotify>;

    CNotifyRecorder() = default;
    CNotifyRecorder(const CNotifyRecorder&) = delete;
    CNotifyRecorder& operator=(const CNotifyRecorder&) = delete;

    const CRThreadMessage::CSender& Sender() const { return m_sender; }
    std::vector<CNotifyPtr> All() const {
        std::lock_guard lock(m_mutex);
        return m_received;
    }
    size_t Count() const {
        std::lock_guard lock(m_mutex);
        return m_received.size();
    }
    // The latest notification; nullptr before the first.
    CNotifyPtr Last() const {
        std::lock_guard lock(m_mutex);
        return m_received.empty() ? nullptr : m_received.back();
    }

private:
    class CProbe {
    public:
        CProbe(boost::asio::io_context& io, CNotifyRecorder& recorder)
            : m_receiver(CRThreadBridge::InitializeIoService(io)) {
            CRThreadMessage::AddHandler<TNotify>(*m_receiver, [&recorder](const CNotifyPtr& n) {
                std::lock_guard lock(recorder.m_mutex);
                recorder.m_received.push_back(n);
            });
            recorder.m_sender = m_receiver->GetSender();
        }
        static const CRThreadMessage::CRRequestTableT<CProbe>& RequestTable() {
            static const CRThreadMessage::CRRequestTableT<CProbe> table;
            return table;
        }

    private:
        CRThreadBridge::CReceiverPtr m_receiver;
    };

    mutable std::mutex m_mutex;
    std::vector<CNotifyPtr> m_received;
    CRThreadMessage::CSender m_sender;
    // Last: it starts once the rest is there, and its thread ends before the rest goes.
    CRWorkerThreadT<CProbe> m_worker{
        [this](boost::asio::io_context& io) { return std::make_unique<CProbe>(io, *this); }};
};

}  // namespace DUve::Test
