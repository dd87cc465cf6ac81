#include "server/RDecodeAhead.h"

#include <boost/asio/post.hpp>

#include "runtime/RDebugTrace.h"

namespace DUve {

using Sequencer::CProtocol::CSerialize;

CRDecodeAhead::~CRDecodeAhead() {
    m_thread.stop();
    m_thread.join();
}

void CRDecodeAhead::Decode(CRSocket::CPayload payload, boost::asio::io_context& io, CDone done) {
    boost::asio::post(m_thread, [payload = std::move(payload), &io, done = std::move(done)] {
        auto promise = std::make_shared<std::promise<CRBytes>>();
        CDecoded decoded{{}, promise->get_future().share()};
        try {
            decoded.commands = CSerialize::LoadObjects(*payload);
        } catch (const std::exception& e) {
            DebugTrace("\ndecoding a received frame failed: %s", e.what());
            decoded.commands.clear();  // handled as a frame that did not decode
        }
        auto commands = decoded.commands;
        boost::asio::post(io, [done, decoded = std::move(decoded)]() mutable { done(std::move(decoded)); });
        // The server thread is storing the commands meanwhile.
        CRBytes encoded;
        try {
            if (!commands.empty()) encoded = CSerialize::SaveObjects(commands);
        } catch (const std::exception& e) {
            DebugTrace("\nencoding a received frame again failed: %s", e.what());
            encoded.clear();  // the server thread encodes what it needs itself
        }
        promise->set_value(std::move(encoded));
    });
}

void CRDecodeAhead::Release(std::vector<Sequencer::CProtocol::CPtr> commands) {
    boost::asio::post(m_thread, [commands = std::move(commands)] {});
}

}  // namespace DUve
