// Runs the host (`npkeystrand`) as a child process against the built plug-in, in a fresh
// home directory per test.
#pragma once

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

extern char** environ;

namespace npk::test {

struct HostResult {
    int status = -1;  // exit status; 128 + signal when killed
    std::string out;
    std::string err;
};

// A path the build fixed at compile time, unless the environment names another.
inline std::string RequiredEnv(const char* name)
{
    const char* v = std::getenv(name);
    if (v != nullptr && *v != '\0') {
        return v;
    }
    const std::string n = name;
    if (n == "NPK_HOST") return NPK_DEFAULT_HOST;
    if (n == "NPK_PLUGIN") return NPK_DEFAULT_PLUGIN;
    if (n == "NPK_SOURCE_DIR") return NPK_DEFAULT_SOURCE_DIR;
    if (n == "NPK_BINARY_DIR") return NPK_DEFAULT_BINARY_DIR;
    return "";
}

// Starts a program with the test's environment plus overrides (an empty value unsets) and
// collects what it writes. Children that hang are killed after the timeout.
inline HostResult RunProgram(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env = {},
                             int timeoutSeconds = 120)
{
    HostResult r;
    std::vector<std::string> envStrings;
    for (char** e = environ; *e != nullptr; ++e) {
        std::string entry = *e;
        std::string key = entry.substr(0, entry.find('='));
        if (env.count(key) == 0) {
            envStrings.push_back(entry);
        }
    }
    for (const auto& [k, v] : env) {
        if (!v.empty()) {
            envStrings.push_back(k + "=" + v);
        }
    }
    std::vector<char*> envp;
    for (auto& s : envStrings) {
        envp.push_back(s.data());
    }
    envp.push_back(nullptr);
    std::vector<std::string> args = argv;
    std::vector<char*> argp;
    for (auto& s : args) {
        argp.push_back(s.data());
    }
    argp.push_back(nullptr);

    int outPipe[2];
    int errPipe[2];
    if (pipe2(outPipe, O_CLOEXEC) != 0 || pipe2(errPipe, O_CLOEXEC) != 0) {
        ADD_FAILURE() << "pipe: " << std::strerror(errno);
        return r;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, outPipe[1], 1);
    posix_spawn_file_actions_adddup2(&actions, errPipe[1], 2);
    pid_t pid = -1;
    int rc = posix_spawn(&pid, argp[0], &actions, nullptr, argp.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    close(outPipe[1]);
    close(errPipe[1]);
    if (rc != 0) {
        close(outPipe[0]);
        close(errPipe[0]);
        ADD_FAILURE() << "cannot start " << argv[0] << ": " << std::strerror(rc);
        return r;
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds);
    pollfd fds[2] = {{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}};
    int open = 2;
    bool killed = false;
    while (open > 0) {
        int n = poll(fds, 2, 200);
        if (n < 0 && errno != EINTR) {
            break;
        }
        for (int k = 0; k < 2; ++k) {
            if (fds[k].fd >= 0 && (fds[k].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
                char buf[4096];
                ssize_t got = read(fds[k].fd, buf, sizeof(buf));
                if (got > 0) {
                    (k == 0 ? r.out : r.err).append(buf, static_cast<size_t>(got));
                } else if (got == 0 || errno != EINTR) {
                    close(fds[k].fd);
                    fds[k].fd = -1;
                    --open;
                }
            }
        }
        if (!killed && std::chrono::steady_clock::now() > deadline) {
            kill(pid, SIGKILL);
            killed = true;
            ADD_FAILURE() << argv[0] << " did not finish within " << timeoutSeconds << " s";
        }
    }
    for (auto& f : fds) {
        if (f.fd >= 0) {
            close(f.fd);
        }
    }
    int ws = 0;
    while (waitpid(pid, &ws, 0) < 0 && errno == EINTR) {
    }
    r.status = WIFEXITED(ws) ? WEXITSTATUS(ws) : 128 + WTERMSIG(ws);
    return r;
}

// A test with its own HOME and XDG directories and an English user interface.
class HostTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_host = RequiredEnv("NPK_HOST");
        m_plugin = RequiredEnv("NPK_PLUGIN");
        ASSERT_FALSE(m_host.empty()) << "no host path";
        ASSERT_FALSE(m_plugin.empty()) << "no plug-in path";
        std::string tmpl = (std::filesystem::temp_directory_path() / "npk-host-XXXXXX").string();
        ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
        m_dir = tmpl;
        for (const char* sub : {"home", "data", "config", "runtime"}) {
            std::filesystem::create_directories(m_dir / sub);
        }
        chmod((m_dir / "runtime").c_str(), 0700);
        m_env = {
            {"HOME", (m_dir / "home").string()},
            {"XDG_DATA_HOME", (m_dir / "data").string()},
            {"XDG_CONFIG_HOME", (m_dir / "config").string()},
            {"XDG_RUNTIME_DIR", (m_dir / "runtime").string()},
            {"LANG", "en_US.UTF-8"},
            {"LANGUAGE", ""},
            {"LC_ALL", ""},
            {"LC_MESSAGES", ""},
            {"MOZ_PLUGIN_PATH", ""},
        };
        for (const auto& [k, v] : m_env) {
            if (v.empty()) {
                unsetenv(k.c_str());
            } else {
                setenv(k.c_str(), v.c_str(), 1);
            }
        }
    }

    void TearDown() override
    {
        if (!m_dir.empty()) {
            std::error_code ec;
            std::filesystem::remove_all(m_dir, ec);
        }
    }

    std::filesystem::path Dir() const { return m_dir; }
    const std::string& HostPath() const { return m_host; }
    const std::string& PluginPath() const { return m_plugin; }
    std::map<std::string, std::string>& Env() { return m_env; }

    std::string WriteFile(const std::string& name, const std::string& text)
    {
        std::filesystem::path p = m_dir / name;
        std::filesystem::create_directories(p.parent_path());
        std::ofstream(p, std::ios::binary) << text;
        return p.string();
    }

    // npkeystrand --plugin <built plug-in> ARGS...
    HostResult Host(const std::vector<std::string>& args, const std::map<std::string, std::string>& extraEnv = {})
    {
        std::vector<std::string> argv = {m_host, "--plugin", m_plugin};
        argv.insert(argv.end(), args.begin(), args.end());
        std::map<std::string, std::string> env = m_env;
        for (const auto& [k, v] : extraEnv) {
            env[k] = v;
        }
        return RunProgram(argv, env);
    }

    // Runs a page script with the helpers of kPrelude defined first.
    HostResult Page(const std::string& script, const std::map<std::string, std::string>& extraEnv = {})
    {
        return Host({"run", WriteFile("page-" + std::to_string(++m_pages) + ".js", Prelude() + script)}, extraEnv);
    }

    // Helpers every page may use: attempt(f) returns "ok:<result>" or "threw:<message>";
    // code(obj) is the hexadecimal code at the end of obj.GetLastErrorDesc().
    static std::string Prelude()
    {
        return "function attempt(f) { try { return 'ok:' + f(); } catch (e) { return 'threw:' + e.message; } }\n"
               "function code(o) { var d = o.GetLastErrorDesc(); var m = /\\((0x[0-9a-f]{8})\\)$/.exec(d);"
               " return m ? m[1] : 'bad description: ' + JSON.stringify(d); }\n";
    }

private:
    std::string m_host;
    std::string m_plugin;
    std::filesystem::path m_dir;
    std::map<std::string, std::string> m_env;
    int m_pages = 0;
};

// The lines a page printed.
inline std::vector<std::string> Lines(const std::string& out)
{
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < out.size()) {
        size_t end = out.find('\n', start);
        if (end == std::string::npos) {
            end = out.size();
        }
        lines.push_back(out.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

}  // namespace npk::test
