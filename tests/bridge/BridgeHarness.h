// Runs `npkeystrand-bridge` as a browser does: a child process with pipes on its standard input
// and output, framed JSON messages in both directions. Every wait is bounded.
#pragma once

#include "FixtureData.h"
#include "host/bridge/Json.h"
#include "host/bridge/NativeMessage.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

extern char** environ;

namespace npk::test {

using bridge::JsonValue;

inline std::string BuildPath(const char* env, const char* fallback)
{
    const char* v = std::getenv(env);
    return v != nullptr && *v != '\0' ? v : fallback;
}

inline std::string BridgePath()
{
    return BuildPath("NPK_BRIDGE_HOST", NPK_DEFAULT_BRIDGE);
}

inline std::string PluginPath()
{
    return BuildPath("NPK_PLUGIN", NPK_DEFAULT_PLUGIN);
}

// A home of its own for each test, so stores, keys and manifests never leak between tests.
class TempHome {
public:
    TempHome()
    {
        char pattern[] = "/tmp/npk-bridge-XXXXXX";
        if (mkdtemp(pattern) == nullptr) std::abort();
        m_dir = pattern;
    }
    ~TempHome()
    {
        std::error_code ignored;
        std::filesystem::remove_all(m_dir, ignored);
    }
    const std::filesystem::path& Dir() const { return m_dir; }
    std::map<std::string, std::string> Env() const
    {
        return {{"HOME", m_dir.string()},
                {"XDG_DATA_HOME", (m_dir / "data").string()},
                {"XDG_CONFIG_HOME", (m_dir / "config").string()},
                {"XDG_RUNTIME_DIR", (m_dir / "run").string()}};
    }

private:
    std::filesystem::path m_dir;
};

// The bridge as a child process.
class BridgeProcess {
public:
    // env: added to (or, with an empty value, removed from) the test's environment.
    explicit BridgeProcess(const std::map<std::string, std::string>& env, const std::string& program = BridgePath())
    {
        int in[2];
        int out[2];
        if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) std::abort();
        std::vector<std::string> envStrings;
        for (char** e = environ; *e != nullptr; ++e) {
            std::string entry = *e;
            if (env.count(entry.substr(0, entry.find('='))) == 0) envStrings.push_back(entry);
        }
        for (const auto& [k, v] : env) {
            if (!v.empty()) envStrings.push_back(k + "=" + v);
        }
        std::vector<char*> envp;
        for (auto& s : envStrings) envp.push_back(s.data());
        envp.push_back(nullptr);
        // As Chromium starts it: the caller's origin as the only argument.
        std::string arg0 = program;
        std::string arg1 = "chrome-extension://fnipddhnahdnnplpjmcopknkncfclnnk/";
        char* argv[] = {arg0.data(), arg1.data(), nullptr};
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_adddup2(&fa, in[0], STDIN_FILENO);
        posix_spawn_file_actions_adddup2(&fa, out[1], STDOUT_FILENO);
        m_errPath = (std::filesystem::temp_directory_path() / ("npk-bridge-err-" + std::to_string(getpid()) + "-" +
                                                                std::to_string(++Counter()))).string();
        posix_spawn_file_actions_addopen(&fa, STDERR_FILENO, m_errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (posix_spawn(&m_pid, program.c_str(), &fa, nullptr, argv, envp.data()) != 0) m_pid = -1;
        posix_spawn_file_actions_destroy(&fa);
        close(in[0]);
        close(out[1]);
        m_in = in[1];
        m_out = out[0];
    }

    ~BridgeProcess()
    {
        CloseInput();
        if (m_out >= 0) close(m_out);
        if (m_pid > 0 && m_status < 0) {
            kill(m_pid, SIGKILL);
            waitpid(m_pid, nullptr, 0);
        }
        unlink(m_errPath.c_str());
    }

    bool Started() const { return m_pid > 0; }

    bool WriteRaw(const std::string& bytes)
    {
        size_t done = 0;
        while (done < bytes.size()) {
            ssize_t n = write(m_in, bytes.data() + done, bytes.size() - done);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return false;
            done += static_cast<size_t>(n);
        }
        return true;
    }

    bool Send(const std::string& json) { return WriteRaw(bridge::Frame(json)); }
    bool Send(const JsonValue& message) { return Send(bridge::WriteJson(message)); }

    // The next frame's bytes; false at end of output or when nothing came in time.
    bool ReadFrame(std::string& frame, int timeoutMs = 60000)
    {
        uint32_t length = 0;
        std::string header;
        if (!ReadExactly(header, sizeof(length), timeoutMs)) return false;
        std::memcpy(&length, header.data(), sizeof(length));
        return ReadExactly(frame, length, timeoutMs);
    }

    // The next message, chunk runs joined; null JsonValue (and a test failure) on a fault.
    JsonValue Receive(int timeoutMs = 60000)
    {
        std::string assembled;
        for (;;) {
            std::string frame;
            if (!ReadFrame(frame, timeoutMs)) {
                ADD_FAILURE() << "no answer from the bridge; its errors: " << Errors();
                return JsonValue();
            }
            m_largestFrame = std::max(m_largestFrame, frame.size());
            JsonValue v;
            std::string error;
            if (!bridge::ParseJson(frame, v, error)) {
                ADD_FAILURE() << "the bridge wrote malformed JSON: " << error;
                return JsonValue();
            }
            const JsonValue* chunk = v.Find("chunk");
            if (chunk == nullptr) {
                EXPECT_TRUE(assembled.empty()) << "a message came inside a chunk run";
                return v;
            }
            ++m_chunkFrames;
            EXPECT_EQ(v.Find("part")->AsNumber(), static_cast<double>(m_runPart++));
            assembled += v.Find("data")->AsString();
            if (v.Find("part")->AsNumber() + 1 == v.Find("parts")->AsNumber()) {
                m_runPart = 0;
                JsonValue whole;
                EXPECT_TRUE(bridge::ParseJson(assembled, whole, error)) << error;
                return whole;
            }
        }
    }

    // A request and its answer.
    JsonValue Request(const std::string& json, int timeoutMs = 60000)
    {
        EXPECT_TRUE(Send(json));
        return Receive(timeoutMs);
    }

    void CloseInput()
    {
        if (m_in >= 0) {
            close(m_in);
            m_in = -1;
        }
    }

    // True when the output ended (the process closed it or died) within the time.
    bool OutputEnds(int timeoutMs)
    {
        std::string rest;
        for (;;) {
            char buf[4096];
            pollfd p{m_out, POLLIN, 0};
            if (poll(&p, 1, timeoutMs) <= 0) return false;
            ssize_t n = read(m_out, buf, sizeof(buf));
            if (n == 0) return true;
            if (n < 0 && errno != EINTR) return true;
        }
    }

    // Exit status (128 + signal when killed), waiting at most timeoutMs; -1 on timeout.
    int Wait(int timeoutMs)
    {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (m_status < 0) {
            int st = 0;
            pid_t r = waitpid(m_pid, &st, WNOHANG);
            if (r == m_pid) {
                m_status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
                break;
            }
            if (std::chrono::steady_clock::now() > end) return -1;
            // Wait for the pipe to close rather than sleeping for a fixed time.
            pollfd p{m_out, POLLIN, 0};
            poll(&p, 1, 20);
            if (p.revents & (POLLIN | POLLHUP)) {
                char buf[4096];
                (void)read(m_out, buf, sizeof(buf));
            }
        }
        return m_status;
    }

    std::string Errors() const
    {
        std::ifstream in(m_errPath);
        std::ostringstream s;
        s << in.rdbuf();
        return s.str();
    }

    size_t LargestFrame() const { return m_largestFrame; }
    size_t ChunkFrames() const { return m_chunkFrames; }

private:
    static int& Counter()
    {
        static int n = 0;
        return n;
    }

    bool ReadExactly(std::string& out, size_t size, int timeoutMs)
    {
        out.assign(size, '\0');
        size_t have = 0;
        while (have < size) {
            pollfd p{m_out, POLLIN, 0};
            if (poll(&p, 1, timeoutMs) <= 0) return false;
            ssize_t n = read(m_out, out.data() + have, size - have);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return false;
            have += static_cast<size_t>(n);
        }
        return true;
    }

    pid_t m_pid = -1;
    int m_in = -1;
    int m_out = -1;
    int m_status = -1;
    std::string m_errPath;
    size_t m_largestFrame = 0;
    size_t m_chunkFrames = 0;
    int m_runPart = 0;
};

// Message builders.
inline std::string Quote(const std::string& s)
{
    std::string out;
    bridge::AppendJsonString(out, s);
    return out;
}

inline std::string OpenMsg(int id, const std::string& doc, const std::string& origin = "https://example.org")
{
    return "{\"id\":" + std::to_string(id) + ",\"type\":\"open\",\"doc\":" + Quote(doc) + ",\"origin\":" + Quote(origin) + "}";
}

inline std::string CloseMsg(int id, const std::string& doc)
{
    return "{\"id\":" + std::to_string(id) + ",\"type\":\"close\",\"doc\":" + Quote(doc) + "}";
}

// args: JSON texts of the arguments.
inline std::string CallMsgJson(int id, const std::string& doc, const std::string& method, const std::vector<std::string>& args)
{
    std::string a;
    for (const std::string& x : args) a += (a.empty() ? "" : ",") + x;
    return "{\"id\":" + std::to_string(id) + ",\"type\":\"call\",\"doc\":" + Quote(doc) + ",\"method\":" + Quote(method) +
           ",\"args\":[" + a + "]}";
}

inline std::string CallMsg(int id, const std::string& doc, const std::string& method, const std::vector<std::string>& args = {})
{
    std::vector<std::string> quoted;
    for (const std::string& x : args) quoted.push_back(Quote(x));
    return CallMsgJson(id, doc, method, quoted);
}

inline bool IsOk(const JsonValue& reply)
{
    const JsonValue* ok = reply.Find("ok");
    return ok != nullptr && ok->IsBool() && ok->AsBool();
}

inline std::string ResultText(const JsonValue& reply)
{
    const JsonValue* r = reply.Find("result");
    return r != nullptr && r->IsString() ? r->AsString() : std::string();
}

inline double Code(const JsonValue& reply)
{
    const JsonValue* c = reply.Find("code");
    return c != nullptr && c->IsNumber() ? c->AsNumber() : -1;
}

inline std::string Description(const JsonValue& reply)
{
    const JsonValue* d = reply.Find("description");
    return d != nullptr && d->IsString() ? d->AsString() : std::string();
}

inline double Id(const JsonValue& reply)
{
    const JsonValue* d = reply.Find("id");
    return d != nullptr && d->IsNumber() ? d->AsNumber() : -1;
}

inline bool IdIsNull(const JsonValue& reply)
{
    const JsonValue* d = reply.Find("id");
    return d != nullptr && d->IsNull();
}

}  // namespace npk::test
