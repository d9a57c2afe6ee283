// What the GUI tests share: programs found on PATH, children run in the background with
// bounded waits, and an Xvfb display of the test's own.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <thread>
#include <vector>

namespace npk::test {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

inline std::string FindProgram(const std::string& name)
{
    const char* path = std::getenv("PATH");
    std::string dirs = path != nullptr ? path : "/usr/bin:/bin";
    size_t start = 0;
    while (start <= dirs.size()) {
        size_t end = dirs.find(':', start);
        if (end == std::string::npos) end = dirs.size();
        fs::path candidate = fs::path(dirs.substr(start, end - start)) / name;
        if (access(candidate.c_str(), X_OK) == 0) return candidate.string();
        start = end + 1;
    }
    return "";
}

// A child started in the background with its output in files; killed if still running when
// the object goes.
class Child {
public:
    Child() = default;
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;
    ~Child() { Stop(); }

    bool Start(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env,
               const fs::path& out, const fs::path& err)
    {
        std::vector<std::string> envStrings;
        for (const auto& [k, v] : env) envStrings.push_back(k + "=" + v);
        std::vector<char*> envp;
        for (auto& s : envStrings) envp.push_back(s.data());
        envp.push_back(nullptr);
        std::vector<std::string> args = argv;
        std::vector<char*> argp;
        for (auto& s : args) argp.push_back(s.data());
        argp.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        int rc = posix_spawn(&m_pid, argp[0], &actions, nullptr, argp.data(), envp.data());
        posix_spawn_file_actions_destroy(&actions);
        if (rc != 0) m_pid = -1;
        return rc == 0;
    }

    // The exit status, or -1 when it did not end in time (it is then killed).
    int Wait(std::chrono::milliseconds timeout)
    {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (m_pid > 0) {
            int ws = 0;
            pid_t r = waitpid(m_pid, &ws, WNOHANG);
            if (r == m_pid) {
                m_pid = -1;
                return WIFEXITED(ws) ? WEXITSTATUS(ws) : 128 + WTERMSIG(ws);
            }
            if (std::chrono::steady_clock::now() > deadline) break;
            std::this_thread::sleep_for(50ms);
        }
        Stop();
        return -1;
    }

    bool Running()
    {
        if (m_pid <= 0) return false;
        int ws = 0;
        if (waitpid(m_pid, &ws, WNOHANG) == m_pid) {
            m_pid = -1;
            return false;
        }
        return true;
    }

    void Stop()
    {
        if (m_pid <= 0) return;
        kill(m_pid, SIGTERM);
        for (int i = 0; i < 40; ++i) {
            int ws = 0;
            if (waitpid(m_pid, &ws, WNOHANG) == m_pid) {
                m_pid = -1;
                return;
            }
            std::this_thread::sleep_for(50ms);
        }
        kill(m_pid, SIGKILL);
        int ws = 0;
        waitpid(m_pid, &ws, 0);
        m_pid = -1;
    }

private:
    pid_t m_pid = -1;
};

// An Xvfb server on a display number no one else holds, stopped when the object goes.
class XvfbDisplay {
public:
    // Starts the server with a screen of that size ("WxHxDEPTH"); the display's name (":N"), or
    // "" when none could be started.
    std::string Start(const std::string& xvfb, const fs::path& logDir, const std::string& screen = "1280x1024x24")
    {
        for (int n = 90 + static_cast<int>(getpid() % 50); n < 200; ++n) {
            fs::path lock = "/tmp/.X" + std::to_string(n) + "-lock";
            fs::path socket = "/tmp/.X11-unix/X" + std::to_string(n);
            if (fs::exists(lock) || fs::exists(socket)) continue;
            std::string display = ":" + std::to_string(n);
            std::map<std::string, std::string> env = {{"PATH", std::getenv("PATH") ? std::getenv("PATH") : ""}};
            if (!m_server.Start({xvfb, display, "-screen", "0", screen, "-nolisten", "tcp"}, env,
                                logDir / "xvfb.out", logDir / "xvfb.err")) {
                return "";
            }
            for (int i = 0; i < 100 && !fs::exists(socket); ++i) {
                if (!m_server.Running()) break;
                std::this_thread::sleep_for(50ms);
            }
            if (!fs::exists(socket)) {
                m_server.Stop();
                continue;  // somebody took it meanwhile
            }
            return display;
        }
        return "";
    }

    void Stop() { m_server.Stop(); }

private:
    Child m_server;
};

}  // namespace npk::test
