// A worker thread with an event loop that creates, owns, runs and finally destroys one
// service object (its CMain) on that thread. Other threads reach the service only by
// posting callables or request messages to it.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>

#include "runtime/RDebugTrace.h"
#include "runtime/RThreadMessage.h"
#include "runtime/RForeignOutput.h"

namespace DUve {

template <class CMain>
class CRWorkerThreadT {
public:
    using CFactory = std::function<std::unique_ptr<CMain>(boost::asio::io_context&)>;

    // Starts the thread and returns once the factory has run there. If the factory
    // throws or returns nothing, the service did not start: IsStarted() is false and
    // posts are dropped.
    explicit CRWorkerThreadT(CFactory factory) : m_guard(boost::asio::make_work_guard(m_io)) {
        std::promise<bool> created;
        auto done = created.get_future();
        boost::asio::post(m_io, [this, &factory, &created] {
            bool ok = false;
            try {
                m_main = factory(m_io);
                ok = m_main != nullptr;
            } catch (const std::exception& e) {
                DebugTrace("\nworker factory failed: %s", e.what());
            } catch (...) {
                DebugTrace("\nworker factory failed");
            }
            if (!ok) m_io.stop();
            created.set_value(ok);
        });
        m_thread = std::thread([this] { Body(); });
        m_bStarted = done.get();
    }

    ~CRWorkerThreadT() {
        if (std::this_thread::get_id() == m_thread.get_id()) {
            // Joining ourselves would hang; this is a programming error.
            std::fputs("CRWorkerThreadT destroyed on its own thread\n", OwnStderr());
            std::abort();
        }
        boost::asio::post(m_io, [this] { m_io.stop(); });
        m_guard.reset();
        if (m_thread.joinable()) m_thread.join();
        m_main.reset();
    }

    CRWorkerThreadT(const CRWorkerThreadT&) = delete;
    CRWorkerThreadT& operator=(const CRWorkerThreadT&) = delete;

    bool IsStarted() const { return m_bStarted; }

    // Queues `f(CMain&)` on the worker; runs later on the worker thread, in posting order.
    template <class F>
    void Post(F&& f) {
        boost::asio::post(m_io, [this, f = std::forward<F>(f)]() mutable {
            if (m_main) f(*m_main);
        });
    }

    // Queues the dispatch of request messages through CMain::RequestTable(), in order;
    // a message whose type has no entry is ignored.
    void PostRequests(CRThreadMessage::CBatch requests) {
        Post([requests = std::move(requests)](CMain& main) {
            for (const auto& r : requests) CMain::RequestTable().Dispatch(main, r);
        });
    }

private:
    void Body() {
        // A handler that lets an exception escape loses its own work only: the failure is
        // reported and the service goes on with its next handler.
        for (;;) {
            try {
                m_io.run();
                break;
            } catch (const std::exception& e) {
                std::fprintf(OwnStderr(), "palvor: a service handler failed: %s\n", e.what());
            } catch (...) {
                std::fprintf(OwnStderr(), "palvor: a service handler failed with an unknown exception\n");
            }
        }
        std::lock_guard lock(m_teardown);
        m_main.reset();
    }

    boost::asio::io_context m_io;
    std::optional<boost::asio::executor_work_guard<boost::asio::io_context::executor_type>> m_guard;
    std::unique_ptr<CMain> m_main;
    std::mutex m_teardown;
    std::thread m_thread;
    bool m_bStarted = false;
};

}  // namespace DUve
