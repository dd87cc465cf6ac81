// Benchmark helper: two connected TCP sockets on 127.0.0.1 with Nagle off (native
// handles owned by the caller).
#pragma once

#include <utility>  // (boost 1.74 asio needs it first under C++20)

#include <boost/asio.hpp>

namespace PalvorBench {

inline std::pair<int, int> TcpPair() {
    namespace asio = boost::asio;
    using asio::ip::tcp;
    asio::io_context io;
    tcp::acceptor acceptor(io, tcp::endpoint(asio::ip::address_v4::loopback(), 0));
    tcp::socket client(io), server(io);
    client.connect(acceptor.local_endpoint());
    acceptor.accept(server);
    client.set_option(tcp::no_delay(true));
    server.set_option(tcp::no_delay(true));
    return {client.release(), server.release()};
}

}  // namespace PalvorBench
