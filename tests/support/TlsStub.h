// Test helper: an https server on 127.0.0.1 (openssl s_server -HTTP) with a self-signed
// certificate for 127.0.0.1. A GET of /NAME is answered with replies[NAME] exactly as given
// (status line, headers and body).
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "support/Net.h"
#include "support/TempDir.h"

extern char** environ;

namespace PalvorTest {

class CTlsStub {
public:
    explicit CTlsStub(const std::map<std::string, std::string>& replies) : m_nPort(FreePort()) {
        const auto dir = m_dir.Path();
        for (const auto& [name, reply] : replies) std::ofstream(dir / name, std::ios::binary) << reply;
        const std::string key = (dir / "key.pem").string();
        if (Run({"openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt",
                 "ec_paramgen_curve:prime256v1", "-nodes", "-keyout", key, "-out", CaFile(),
                 "-days", "1", "-subj", "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1"}) != 0)
            return;
        m_pid = Start({"openssl", "s_server", "-quiet", "-HTTP", "-accept",
                       "127.0.0.1:" + std::to_string(m_nPort), "-cert", CaFile(), "-key", key});
        for (int i = 0; m_pid > 0 && i < 200 && !m_bReady; ++i) {
            boost::asio::io_context io;
            boost::asio::ip::tcp::socket s(io);
            boost::system::error_code ec;
            s.connect({boost::asio::ip::address_v4::loopback(), m_nPort}, ec);
            m_bReady = !ec;
            if (!m_bReady) std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    }
    ~CTlsStub() {
        if (m_pid <= 0) return;
        ::kill(m_pid, SIGTERM);
        int status = 0;
        ::waitpid(m_pid, &status, 0);
    }
    CTlsStub(const CTlsStub&) = delete;
    CTlsStub& operator=(const CTlsStub&) = delete;

    // False when openssl is missing or the server did not come up.
    bool Ready() const { return m_bReady; }
    std::string Url(const std::string& name) const {
        return "https://127.0.0.1:" + std::to_string(m_nPort) + "/" + name;
    }
    std::string CaFile() const { return (m_dir.Path() / "cert.pem").string(); }

    static std::string Redirect(const std::string& location) {
        return "HTTP/1.0 302 Found\r\nLocation: " + location + "\r\nContent-Length: 0\r\n\r\n";
    }
    static std::string Ok(const std::string& body) {
        return "HTTP/1.0 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" +
               body;
    }

private:
    pid_t Start(std::vector<std::string> argv) const {
        std::vector<char*> cargv;
        for (auto& a : argv) cargv.push_back(a.data());
        cargv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addchdir_np(&actions, m_dir.Path().c_str());
        pid_t pid = -1;
        if (::posix_spawnp(&pid, cargv[0], &actions, nullptr, cargv.data(), environ) != 0) pid = -1;
        posix_spawn_file_actions_destroy(&actions);
        return pid;
    }
    int Run(std::vector<std::string> argv) const {
        const pid_t pid = Start(std::move(argv));
        int status = 0;
        if (pid <= 0 || ::waitpid(pid, &status, 0) != pid) return -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    CTempDir m_dir;
    uint16_t m_nPort;
    pid_t m_pid = -1;
    bool m_bReady = false;
};

}  // namespace PalvorTest
