// A synchronous client of the sequencer protocol for tools, tests and benchmarks:
// connects, registers, sends frames of commands and reads frames with time-outs.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "server/Protocol.h"

namespace DUve::Sequencer {

class CRSeqClient {
public:
    using CCommands = std::vector<CProtocol::CPtr>;
    using CMilliseconds = std::chrono::milliseconds;

    CRSeqClient() = default;
    ~CRSeqClient();
    CRSeqClient(const CRSeqClient&) = delete;
    CRSeqClient& operator=(const CRSeqClient&) = delete;

    // TCP connect (IPv4 or a host name); false with `Error()` set on failure.
    bool Connect(const std::string& host, uint16_t port, CMilliseconds timeout = CMilliseconds(5000));
    // Takes an already connected socket.
    void Adopt(int fd);
    // Sends the registration and waits for the greeting; the greeting's commands after the
    // leading CRegistClient (the solution's sequences) are returned. Nothing when refused
    // (the server closed the connection) or timed out.
    std::optional<CCommands> Register(uint32_t visitor, const std::u16string& token,
                                      uint32_t solution, CMilliseconds timeout = CMilliseconds(15000));

    // One frame holding `commands`.
    bool Send(const CCommands& commands);
    bool SendRaw(const std::vector<uint8_t>& bytes);
    // The next frame's commands; nothing on time-out, a closed connection or an unreadable
    // frame (see Error()). An empty optional never means "empty frame": that is an error.
    std::optional<CCommands> Receive(CMilliseconds timeout);
    // Sends `commands` followed by an echo and collects everything received until the echo
    // comes back (the echo itself not included).
    std::optional<CCommands> Request(const CCommands& commands,
                                     CMilliseconds timeout = CMilliseconds(15000));

    bool IsConnected() const { return m_fd >= 0; }
    const std::string& Error() const { return m_error; }
    void Close();
    int Fd() const { return m_fd; }

private:
    bool ReadExactly(uint8_t* p, size_t n, std::chrono::steady_clock::time_point deadline);
    bool WriteAll(const uint8_t* p, size_t n);

    int m_fd = -1;
    std::string m_error;
};

}  // namespace DUve::Sequencer
