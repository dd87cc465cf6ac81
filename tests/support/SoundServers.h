// Sound servers started by the tests that need them: a JACK server on its dummy driver,
// a PulseAudio server with a null sink, and a PipeWire session with a null sink, each
// private to the test process (own server name, own runtime folder) and stopped when the
// object goes.
#pragma once

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
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
    pid_t Pid() const { return m_pid; }
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

// A headless PipeWire session of its own: a session bus (dbus-daemon), pipewire,
// wireplumber and pipewire-pulse in a private runtime folder, with a null sink at
// PipeWire's default rate made the default sink. Its ports are physical to JACK clients
// (pw-jack), which connect to it as to a sound card. Everything it started, with what
// those started, is stopped when the object goes.
class CPipeWireSession {
public:
    static constexpr uint32_t kRate = 48000;
    static constexpr const char* kSink = "palvor_null";

    explicit CPipeWireSession(std::filesystem::path dir) : m_dir(std::move(dir)) {
        for (const char* p : {"dbus-daemon", "pipewire", "wireplumber", "pipewire-pulse", "pactl",
                              "parec", "pw-jack"})
            if (ProgramPath(p).empty())
                m_sMissing += (m_sMissing.empty() ? "" : ", ") + std::string(p);
        if (!m_sMissing.empty()) return;
        std::filesystem::create_directories(m_dir / "home");
        const auto start = [&](CChildProcess& c, const std::string& sName,
                               const std::filesystem::path& ready, std::vector<std::string> vArgs) {
            vArgs.insert(vArgs.begin(), sName);
            if (m_sFailed.empty() &&
                !(c.Start(Command(vArgs), (m_dir / (sName + ".log")).string()) &&
                  WaitUntil([&] { return std::filesystem::exists(ready) && c.Running(); },
                            std::chrono::seconds(10))))
                m_sFailed =
                    sName + " did not start (see " + (m_dir / (sName + ".log")).string() + ")";
        };
        start(m_processes[0], "dbus-daemon", m_dir / "bus",
              {"--session", "--nofork", "--address=unix:path=" + (m_dir / "bus").string()});
        start(m_processes[1], "pipewire", m_dir / "pipewire-0", {});
        start(m_processes[2], "wireplumber", m_dir / "pipewire-0", {});
        start(m_processes[3], "pipewire-pulse", m_dir / "pulse" / "native", {});
        // The sink, made the default once wireplumber (which keeps the default) is up.
        const std::string sDefault = std::string("pactl set-default-sink ") + kSink +
                                     " && pactl get-default-sink | grep -qx " + kSink +
                                     " && pactl list short sinks | grep -q \"^[0-9]*\\s" + kSink +
                                     "\\s.*" + std::to_string(kRate) + "Hz\"";
        if (m_sFailed.empty() &&
            (Run({"pactl", "load-module", "module-null-sink", std::string("sink_name=") + kSink,
                  "rate=" + std::to_string(kRate), "channels=2"}) != 0 ||
             !WaitUntil(
                 [&] {
                     return Run({"sh", "-c", sDefault}) == 0;
                 },
                 std::chrono::seconds(10))))
            m_sFailed = std::string("no default null sink at ") + std::to_string(kRate) +
                        " Hz (see " + (m_dir / "run.log").string() + ")";
    }
    ~CPipeWireSession() {
        for (int i = 3; i >= 0; --i) {
            if (m_processes[i].Running())
                kill(-m_processes[i].Pid(), SIGTERM);  // its process group
            m_processes[i].Stop();
        }
        std::error_code ec;
        if (m_sFailed.empty()) std::filesystem::remove_all(m_dir, ec);  // else its logs stay
    }
    // The programs that are not installed, by name; empty when all are.
    const std::string& Missing() const { return m_sMissing; }
    // Empty when the session runs with its sink; otherwise what did not start.
    const std::string& Failed() const { return m_sFailed; }
    const std::filesystem::path& Folder() const { return m_dir; }

    // vArgs run in the session (its runtime folder, bus and Pulse server) and with nothing
    // else of this process's environment; NAME=VALUE words before the program add to it.
    std::vector<std::string> Command(const std::vector<std::string>& vArgs) const {
        const char* pPath = std::getenv("PATH");
        std::vector<std::string> v = {
            "env",
            "-i",
            std::string("PATH=") + (pPath ? pPath : "/usr/bin:/bin"),
            "HOME=" + (m_dir / "home").string(),
            "XDG_RUNTIME_DIR=" + m_dir.string(),
            "XDG_CONFIG_HOME=" + (m_dir / "home").string(),
            "XDG_STATE_HOME=" + (m_dir / "home").string(),
            "DBUS_SESSION_BUS_ADDRESS=unix:path=" + (m_dir / "bus").string(),
            "PULSE_SERVER=unix:" + (m_dir / "pulse" / "native").string()};
        v.insert(v.end(), vArgs.begin(), vArgs.end());
        return v;
    }
    // Runs vArgs in the session to their end, their output appended to run.log; the exit
    // status as std::system gives it.
    int Run(const std::vector<std::string>& vArgs) const {
        std::string s;
        for (const auto& a : Command(vArgs)) s += " '" + a + "'";
        return std::system((s + " >>'" + (m_dir / "run.log").string() + "' 2>&1").c_str());
    }

private:
    std::filesystem::path m_dir;
    std::string m_sMissing, m_sFailed;
    CChildProcess m_processes[4];  // dbus-daemon, pipewire, wireplumber, pipewire-pulse
};

}  // namespace DUve::Test
