// Large received frames are decoded on a thread of the solution's own, in the order they
// came, while the server thread stores the frame before: a client's stream of large edits
// keeps two cores busy instead of one. Beside the server thread's storing, the same thread
// writes the frame's commands in their wire encoding again (the activity log's row when
// every command is taken), and it lets commands go once the server thread is done with
// them, so that their freeing does not hold the server thread either.
#pragma once

#include <functional>
#include <future>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/thread_pool.hpp>

#include "runtime/RArchive.h"
#include "server/Protocol.h"
#include "server/RSocket.h"

namespace DUve {

class CRDecodeAhead {
public:
    // Frames of at least this size are decoded ahead; smaller ones (an echo, a title) cost
    // less than the trip to another thread and back.
    static constexpr size_t kMinBytes = 16 * 1024;

    struct CDecoded {
        std::vector<Sequencer::CProtocol::CPtr> commands;  // empty: the frame did not decode
        // The encoding of all of `commands`, ready soon after the frame is handed back;
        // empty when it could not be made.
        std::shared_future<CRBytes> encoded;
    };
    using CDone = std::function<void(CDecoded)>;

    CRDecodeAhead() = default;
    // Stops the thread: what is still queued is dropped unrun.
    ~CRDecodeAhead();
    CRDecodeAhead(const CRDecodeAhead&) = delete;
    CRDecodeAhead& operator=(const CRDecodeAhead&) = delete;

    // Decodes `payload` on the decoder's thread and posts `done` with the result to `io`;
    // the results reach `io` in the order of the calls. `io` must outlive this object.
    void Decode(CRSocket::CPayload payload, boost::asio::io_context& io, CDone done);
    // Lets the commands go on the decoder's thread.
    void Release(std::vector<Sequencer::CProtocol::CPtr> commands);

private:
    boost::asio::thread_pool m_thread{1};
};

}  // namespace DUve
