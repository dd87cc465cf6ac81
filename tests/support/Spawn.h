// Child processes of the tests (servers, command-line tools): started with standard input,
// output and error on /dev/null, in a given folder and with some environment variables of
// their own when asked.
#pragma once

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <string>
#include <vector>

extern char** environ;

namespace PalvorTest {

// Starts argv[0] (looked up in PATH unless it holds a '/') in cwd (this process's folder
// when empty), with this process's environment in which each NAME=value of `env` takes the
// place of NAME. The child's id; -1 when it could not be started.
inline pid_t SpawnQuiet(std::vector<std::string> argv, const std::filesystem::path& cwd = {},
                        const std::vector<std::string>& env = {}) {
    const auto name = [](const std::string& var) { return var.substr(0, var.find('=') + 1); };
    std::vector<std::string> vars;
    for (char** e = environ; *e; ++e) {
        const std::string var(*e);
        if (std::none_of(env.begin(), env.end(), [&](const std::string& v) { return name(v) == name(var); }))
            vars.push_back(var);
    }
    vars.insert(vars.end(), env.begin(), env.end());
    std::vector<char*> cargv, cenv;
    for (auto& a : argv) cargv.push_back(a.data());
    cargv.push_back(nullptr);
    for (auto& v : vars) cenv.push_back(v.data());
    cenv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    if (!cwd.empty()) posix_spawn_file_actions_addchdir_np(&actions, cwd.c_str());
    pid_t pid = -1;
    if (::posix_spawnp(&pid, cargv[0], &actions, nullptr, cargv.data(), cenv.data()) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

// Waits for the child to end: its exit code; -1 when pid is no child of ours or the child
// did not exit normally (a signal ended it).
inline int WaitExit(pid_t pid) {
    if (pid <= 0) return -1;
    int status = 0;
    pid_t ended;
    while ((ended = ::waitpid(pid, &status, 0)) < 0 && errno == EINTR) {
    }
    if (ended != pid) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace PalvorTest
