// Test helpers of the self-updater: a ZIP writer, an HTTP server on loopback that serves one
// file with range requests and counts the body bytes it sent, and child processes.
#pragma once

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <atomic>
#include <boost/asio.hpp>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "App/RUpdateSignature.h"
#include "support/Net.h"
#include "support/Spawn.h"

namespace UpdaterTest {

using Bytes = std::vector<uint8_t>;

// Loopback requests must never go through a proxy configured on the test machine.
inline const bool g_noProxy = [] {
    ::setenv("NO_PROXY", "127.0.0.1,localhost", 1);
    ::setenv("no_proxy", "127.0.0.1,localhost", 1);
    return true;
}();

inline Bytes RandomBytes(size_t n, uint32_t seed) {
    std::mt19937 rng(seed);
    Bytes out(n);
    for (auto& b : out) b = static_cast<uint8_t>(rng());
    return out;
}

inline Bytes ToBytes(const std::string& s) {
    return Bytes(s.begin(), s.end());
}

inline Bytes ReadFile(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

inline void WriteFile(const std::filesystem::path& file, const Bytes& bytes) {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
}

inline uint32_t Crc(const Bytes& bytes) {
    return static_cast<uint32_t>(crc32(0L, bytes.data(), static_cast<uInt>(bytes.size())));
}

inline Bytes RawDeflate(const Bytes& data, int level = 6) {
    z_stream s{};
    deflateInit2(&s, level, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY);
    Bytes out(deflateBound(&s, static_cast<uLong>(data.size())));
    s.next_in = const_cast<Bytef*>(data.data());
    s.avail_in = static_cast<uInt>(data.size());
    s.next_out = out.data();
    s.avail_out = static_cast<uInt>(out.size());
    deflate(&s, Z_FINISH);
    out.resize(s.total_out);
    deflateEnd(&s);
    return out;
}

struct CZipEntry {
    std::string sName;
    Bytes vData;
    bool bDeflate = false;
    bool bDataDescriptor = false;  // CRC and sizes after the data, zero in the local header
    uint16_t nFlags = 0;           // further flag bits, e.g. 0x0800 for a UTF-8 name
};

struct CZip {
    Bytes vBytes;
    std::vector<size_t> vDataOffsets;  // where each entry's (compressed) data starts
};

// A ZIP archive written the way common tools do, with the options above.
inline CZip MakeZip(const std::vector<CZipEntry>& entries, const std::string& comment = "") {
    CZip zip;
    Bytes directory;
    auto put16 = [](Bytes& b, uint32_t v) {
        b.push_back(static_cast<uint8_t>(v));
        b.push_back(static_cast<uint8_t>(v >> 8));
    };
    auto put32 = [&](Bytes& b, uint32_t v) {
        put16(b, v & 0xFFFF);
        put16(b, v >> 16);
    };
    for (const auto& e : entries) {
        const Bytes data = e.bDeflate ? RawDeflate(e.vData) : e.vData;
        const uint32_t crc = Crc(e.vData);
        const uint16_t flags = static_cast<uint16_t>(e.nFlags | (e.bDataDescriptor ? 0x0008 : 0));
        const uint16_t method = e.bDeflate ? 8 : 0;
        const auto offset = static_cast<uint32_t>(zip.vBytes.size());
        Bytes& out = zip.vBytes;
        put32(out, 0x04034B50);
        put16(out, 20);
        put16(out, flags);
        put16(out, method);
        put16(out, 0);
        put16(out, 0x21);
        put32(out, e.bDataDescriptor ? 0 : crc);
        put32(out, e.bDataDescriptor ? 0 : static_cast<uint32_t>(data.size()));
        put32(out, e.bDataDescriptor ? 0 : static_cast<uint32_t>(e.vData.size()));
        put16(out, static_cast<uint32_t>(e.sName.size()));
        put16(out, 0);
        out.insert(out.end(), e.sName.begin(), e.sName.end());
        zip.vDataOffsets.push_back(out.size());
        out.insert(out.end(), data.begin(), data.end());
        if (e.bDataDescriptor) {
            put32(out, 0x08074B50);
            put32(out, crc);
            put32(out, static_cast<uint32_t>(data.size()));
            put32(out, static_cast<uint32_t>(e.vData.size()));
        }
        put32(directory, 0x02014B50);
        put16(directory, 0x031E);
        put16(directory, 20);
        put16(directory, flags);
        put16(directory, method);
        put16(directory, 0);
        put16(directory, 0x21);
        put32(directory, crc);
        put32(directory, static_cast<uint32_t>(data.size()));
        put32(directory, static_cast<uint32_t>(e.vData.size()));
        put16(directory, static_cast<uint32_t>(e.sName.size()));
        put16(directory, 0);
        put16(directory, 0);
        put16(directory, 0);
        put16(directory, 0);
        put32(directory, 0100755u << 16);
        put32(directory, offset);
        directory.insert(directory.end(), e.sName.begin(), e.sName.end());
    }
    const auto directoryOffset = static_cast<uint32_t>(zip.vBytes.size());
    zip.vBytes.insert(zip.vBytes.end(), directory.begin(), directory.end());
    put32(zip.vBytes, 0x06054B50);
    put16(zip.vBytes, 0);
    put16(zip.vBytes, 0);
    put16(zip.vBytes, static_cast<uint32_t>(entries.size()));
    put16(zip.vBytes, static_cast<uint32_t>(entries.size()));
    put32(zip.vBytes, static_cast<uint32_t>(directory.size()));
    put32(zip.vBytes, directoryOffset);
    put16(zip.vBytes, static_cast<uint32_t>(comment.size()));
    zip.vBytes.insert(zip.vBytes.end(), comment.begin(), comment.end());
    return zip;
}

// The key the tests' program trusts is TestKey(); any other fill makes another key.
inline DUve::CUpdateSecretKey TestKey(uint8_t fill = 7) {
    DUve::CUpdateSecretKey key;
    key.fill(fill);
    return key;
}

// `entries` and, last, "<name>.sig": the signature of the entry called name for build stamp.
inline CZip MakeSignedZip(std::vector<CZipEntry> entries, const std::string& name,
                          uint64_t stamp, const DUve::CUpdateSecretKey& key = TestKey()) {
    for (size_t i = 0, n = entries.size(); i < n; ++i)
        if (entries[i].sName == name)
            entries.push_back({name + ".sig", DUve::SignUpdate(key, stamp, entries[i].vData)});
    return MakeZip(entries);
}

// How CRangeServer answers.
struct CServeOptions {
    bool bHonourRange = true;
    bool bSendLength = true;
    // Body bytes sent per reply before hanging up (the announced length stays whole).
    std::optional<size_t> nCutAfter;
    // A plain GET's body is sent only when the client is still there after the headers
    // and this wait, so a client that hangs up after the headers receives no body byte.
    std::chrono::milliseconds holdPlainBody{0};
};

// Options as `change` leaves the defaults.
inline CServeOptions ServeOptions(const std::function<void(CServeOptions&)>& change) {
    CServeOptions o;
    change(o);
    return o;
}

// Serves one file at kPath on 127.0.0.1 from its own thread: GET gives 200 with
// Content-Length, "Range: bytes=N-" gives 206 with Content-Range, a start past the end 416,
// another path 404. Counts the body bytes it handed to the socket.
class CRangeServer {
public:
    static constexpr const char* kPath = "/palvor/palvorserver-linux.zip";

    struct CRequest {
        std::string sPath;
        std::optional<uint64_t> nRangeStart;
        uint64_t nBodyBytes = 0;
    };

    explicit CRangeServer(Bytes file, CServeOptions options = {})
        : m_file(std::move(file)),
          m_options(options),
          m_acceptor(m_io, tcp::endpoint(boost::asio::ip::address_v4::loopback(), 0)),
          m_nPort(m_acceptor.local_endpoint().port()) {
        m_thread = std::thread([this] { Run(); });
    }

    ~CRangeServer() {
        m_bStop = true;
        boost::system::error_code ec;
        tcp::socket wake(m_io);
        wake.connect(tcp::endpoint(boost::asio::ip::address_v4::loopback(), m_nPort), ec);
        m_thread.join();
    }

    std::string Url(const std::string& path = kPath) const {
        return "http://127.0.0.1:" + std::to_string(m_nPort) + path;
    }
    uint64_t BodyBytesSent() const { return m_nBodyBytes; }
    std::vector<CRequest> Requests() const {
        std::lock_guard lock(m_mutex);
        return m_vRequests;
    }

private:
    using tcp = boost::asio::ip::tcp;

    void Run() {
        while (!m_bStop) {
            boost::system::error_code ec;
            tcp::socket socket(m_io);
            m_acceptor.accept(socket, ec);
            if (ec || m_bStop) break;
            Serve(socket);
        }
    }

    static bool PeerGone(tcp::socket& socket, std::chrono::milliseconds wait) {
        pollfd p{socket.native_handle(), POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(wait.count())) != 1) return false;
        char b;
        return ::recv(socket.native_handle(), &b, 1, MSG_PEEK | MSG_DONTWAIT) <= 0;
    }

    void Serve(tcp::socket& socket) {
        boost::system::error_code ec;
        boost::asio::streambuf buffer(16 * 1024);
        boost::asio::read_until(socket, buffer, "\r\n\r\n", ec);
        if (ec) return;
        std::string head(boost::asio::buffers_begin(buffer.data()),
                         boost::asio::buffers_end(buffer.data()));
        CRequest request;
        const size_t space = head.find(' ');
        request.sPath = head.substr(space + 1, head.find(' ', space + 1) - space - 1);
        std::string lower = head;
        for (auto& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        const size_t range = lower.find("\r\nrange:");
        if (range != std::string::npos) {
            const size_t eq = lower.find("bytes=", range);
            if (eq != std::string::npos)
                request.nRangeStart = std::strtoull(lower.c_str() + eq + 6, nullptr, 10);
        }

        std::string reply;
        uint64_t start = 0;
        bool body = true;
        if (request.sPath != kPath) {
            reply = "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n";
            body = false;
        } else if (request.nRangeStart && m_options.bHonourRange) {
            start = *request.nRangeStart;
            if (start >= m_file.size()) {
                reply = "HTTP/1.1 416 Range Not Satisfiable\r\nContent-Range: bytes */" +
                        std::to_string(m_file.size()) + "\r\nContent-Length: 0\r\n";
                body = false;
            } else {
                reply = "HTTP/1.1 206 Partial Content\r\nContent-Range: bytes " +
                        std::to_string(start) + "-" + std::to_string(m_file.size() - 1) + "/" +
                        std::to_string(m_file.size()) + "\r\n";
            }
        } else {
            reply = "HTTP/1.1 200 OK\r\n";
        }
        if (body && m_options.bSendLength)
            reply += "Content-Length: " + std::to_string(m_file.size() - start) + "\r\n";
        reply += "Connection: close\r\n\r\n";
        boost::asio::write(socket, boost::asio::buffer(reply), ec);

        if (body && !ec && !(request.nRangeStart && m_options.bHonourRange) &&
            m_options.holdPlainBody.count() > 0 && PeerGone(socket, m_options.holdPlainBody))
            body = false;
        uint64_t end = m_file.size();
        if (m_options.nCutAfter) end = std::min<uint64_t>(end, start + *m_options.nCutAfter);
        for (uint64_t at = start; body && !ec && at < end;) {
            const size_t piece = static_cast<size_t>(std::min<uint64_t>(end - at, 16 * 1024));
            const size_t sent =
                socket.write_some(boost::asio::buffer(m_file.data() + at, piece), ec);
            at += sent;
            request.nBodyBytes += sent;
            m_nBodyBytes += sent;
        }
        std::lock_guard lock(m_mutex);
        m_vRequests.push_back(request);
    }

    Bytes m_file;
    CServeOptions m_options;
    boost::asio::io_context m_io;
    tcp::acceptor m_acceptor;
    uint16_t m_nPort;
    std::atomic<bool> m_bStop{false};
    std::atomic<uint64_t> m_nBodyBytes{0};
    mutable std::mutex m_mutex;
    std::vector<CRequest> m_vRequests;
    std::thread m_thread;
};

// A child process (no standard input or output), stopped (SIGTERM) and reaped at destruction unless
// it was waited for.
class CChild {
public:
    CChild(const std::vector<std::string>& argv, const std::filesystem::path& cwd = {},
           const std::vector<std::string>& extraEnv = {})
        : m_pid(PalvorTest::SpawnQuiet(argv, cwd, extraEnv)) {}
    ~CChild() {
        if (m_pid > 0) {
            ::kill(m_pid, SIGTERM);
            Wait();
        }
    }
    CChild(const CChild&) = delete;
    CChild& operator=(const CChild&) = delete;

    bool Started() const { return m_pid > 0; }
    // The exit code; -1 when it did not start or did not exit normally.
    int Wait() {
        const int code = PalvorTest::WaitExit(m_pid);
        m_pid = -1;
        return code;
    }

private:
    pid_t m_pid = -1;
};

inline int RunToEnd(const std::vector<std::string>& argv) {
    CChild child(argv);
    return child.Wait();
}

using PalvorTest::WaitForPort;

inline uint16_t FreePort() {
    boost::asio::io_context io;
    boost::asio::ip::tcp::acceptor a(io, {boost::asio::ip::address_v4::loopback(), 0});
    return a.local_endpoint().port();
}

}  // namespace UpdaterTest
