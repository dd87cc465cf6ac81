// Test helper: an https server on 127.0.0.1 (openssl s_server -HTTP) with a self-signed
// certificate for 127.0.0.1. A GET of /NAME is answered with replies[NAME] exactly as given
// (status line, headers and body).
#pragma once

#include <signal.h>

#include <fstream>
#include <map>
#include <string>

#include "support/Net.h"
#include "support/Spawn.h"
#include "support/TempDir.h"

namespace PalvorTest {

class CTlsStub {
public:
    explicit CTlsStub(const std::map<std::string, std::string>& replies) : m_nPort(FreePort()) {
        const auto dir = m_dir.Path();
        for (const auto& [name, reply] : replies) std::ofstream(dir / name, std::ios::binary) << reply;
        const std::string key = (dir / "key.pem").string();
        if (WaitExit(SpawnQuiet({"openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt",
                                 "ec_paramgen_curve:prime256v1", "-nodes", "-keyout", key, "-out",
                                 CaFile(), "-days", "1", "-subj", "/CN=127.0.0.1", "-addext",
                                 "subjectAltName=IP:127.0.0.1"},
                                dir)) != 0)
            return;
        m_pid = SpawnQuiet({"openssl", "s_server", "-quiet", "-HTTP", "-accept",
                            "127.0.0.1:" + std::to_string(m_nPort), "-cert", CaFile(), "-key", key},
                           dir);
        m_bReady = m_pid > 0 && WaitForPort(m_nPort);
    }
    ~CTlsStub() {
        if (m_pid <= 0) return;
        ::kill(m_pid, SIGTERM);
        WaitExit(m_pid);
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
    CTempDir m_dir;
    uint16_t m_nPort;
    pid_t m_pid = -1;
    bool m_bReady = false;
};

}  // namespace PalvorTest
