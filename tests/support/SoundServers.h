// Sound servers started by the tests that need them: a JACK server on its dummy driver
// and a PulseAudio server with a null sink, each private to the test process (own server
// name, own runtime folder) and stopped when the object goes.
#pragma once

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace DUve::Test {

class CChildProcess {
public:
    CChildProcess() = default;
    CChildProcess(const CChildProcess&) = delete;
    CChildProcess& operator=(const CChildProcess&) = delete;
    ~CChildProcess() { Stop(); }

    // Starts argv[0] (searched in PATH) with its output in sLog; false when fork fails.
    bool Start(const std::vector<std::string>& vArgs, const std::string& sLog) {
        std::vector<char*> argv;
        for (const auto& a : vArgs) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        m_pid = fork();
        if (m_pid < 0) return false;
        if (m_pid == 0) {
            if (FILE* f = std::fopen(sLog.c_str(), "w")) {
                dup2(fileno(f), 1);
                dup2(fileno(f), 2);
            }
            setpgid(0, 0);
            execvp(argv[0], argv.data());
            _exit(127);
        }
        return true;
    }
    bool Running() {
        if (m_pid <= 0) return false;
        int status = 0;
        if (waitpid(m_pid, &status, WNOHANG) == m_pid) {
            m_pid = -1;
            return false;
        }
        return true;
    }
    // SIGKILL is for a server that must vanish without saying goodbye.
    void Stop(int nSignal = SIGTERM) {
        if (m_pid <= 0) return;
        kill(m_pid, nSignal);
        for (int i = 0; i < 300; ++i) {
            if (waitpid(m_pid, nullptr, WNOHANG) == m_pid) {
                m_pid = -1;
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        kill(m_pid, SIGKILL);
        waitpid(m_pid, nullptr, 0);
        m_pid = -1;
    }

private:
    pid_t m_pid = -1;
};

inline bool WaitUntil(const std::function<bool()>& done, std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

inline std::string ProgramPath(const std::string& sName) {
    const char* p = std::getenv("PATH");
    std::string s = p ? p : "/usr/bin:/bin";
    for (size_t a = 0; a <= s.size();) {
        const size_t b = std::min(s.find(':', a), s.size());
        const std::string d = s.substr(a, b - a) + "/" + sName;
        if (access(d.c_str(), X_OK) == 0) return d;
        a = b + 1;
    }
    return {};
}

}  // namespace DUve::Test
