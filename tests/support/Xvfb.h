// Test helper: a display for GTK tests. Uses $DISPLAY when it opens; otherwise starts Xvfb
// on a free display number for the test program's lifetime. Tests that need a display
// skip with a message when neither works.
#pragma once

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>

#include <sys/wait.h>
#include <unistd.h>

#include <gtk/gtk.h>

namespace PalvorTest {

class CXvfb {
public:
    static CXvfb& Instance() {
        static CXvfb instance;
        return instance;
    }
    bool Ready() const { return m_bReady; }
    const std::string& Why() const { return m_sWhy; }

    ~CXvfb() {
        if (m_pid > 0) {
            ::kill(m_pid, SIGTERM);
            ::waitpid(m_pid, nullptr, 0);
        }
    }

private:
    CXvfb() {
        const char* display = std::getenv("DISPLAY");
        if (display && *display && gtk_init_check(nullptr, nullptr)) return;
        m_bReady = false;
        Start();
    }

    void Start() {
        if (std::system("command -v Xvfb >/dev/null 2>&1") != 0) {
            m_sWhy = "Xvfb is not installed (Debian package xvfb)";
            return;
        }
        for (int n = 90 + getpid() % 50; n < 400; ++n) {
            const std::string num = std::to_string(n);
            const std::string lock = std::string("/tmp/.X").append(num).append("-lock");
            const std::string sock = std::string("/tmp/.X11-unix/X").append(num);
            if (std::filesystem::exists(lock) || std::filesystem::exists(sock)) continue;
            const std::string name = std::string(":").append(num);
            m_pid = ::fork();
            if (m_pid == 0) {
                ::execlp("Xvfb", "Xvfb", name.c_str(), "-screen", "0", "1024x768x24",
                         "-nolisten", "tcp", static_cast<char*>(nullptr));
                ::_exit(127);
            }
            for (int i = 0; i < 200 && !std::filesystem::exists(sock); ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(25));
            ::setenv("DISPLAY", name.c_str(), 1);
            m_bReady = gtk_init_check(nullptr, nullptr);
            if (m_bReady) return;
            ::kill(m_pid, SIGTERM);
            ::waitpid(m_pid, nullptr, 0);
            m_pid = -1;
            m_sWhy = "Xvfb " + name + " did not come up";
            return;
        }
        m_sWhy = "no free display number for Xvfb";
    }

    pid_t m_pid = -1;
    bool m_bReady = true;
    std::string m_sWhy;
};

}  // namespace PalvorTest

// Skips the current test when no display can be had.
#define PALVOR_NEED_DISPLAY()                                                      \
    do {                                                                           \
        if (!::PalvorTest::CXvfb::Instance().Ready())                              \
            GTEST_SKIP() << "needs a display: " << ::PalvorTest::CXvfb::Instance().Why(); \
    } while (0)
