// npkeystrand-bridge: the native-messaging host that the browsers start for our extension.
// It reads framed messages on standard input, answers on standard output, and ends with
// status 0 when the browser closes the port (end of input).
//
// Chromium passes the caller's origin as the first argument, Firefox the manifest's path and
// the add-on's id; neither is needed, so arguments are ignored. NPKEYSTRAND_PLUGIN names the
// plug-in library; without it the plug-in is searched for as `npkeystrand` does.
#include "host/bridge/Bridge.h"
#include "host/bridge/NativeMessage.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

using namespace npk::bridge;

bool WriteAll(int fd, const std::string& bytes)
{
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

bool Send(int fd, const JsonValue& reply)
{
    const JsonValue* id = reply.Find("id");
    for (const std::string& frame : FrameMessage(WriteJson(reply), id != nullptr ? *id : JsonValue())) {
        if (!WriteAll(fd, frame)) {
            return false;
        }
    }
    return true;
}

}  // namespace

int main(int, char**)
{
    // A browser that goes away closes the pipe; writing then fails instead of killing us.
    signal(SIGPIPE, SIG_IGN);

    // The protocol keeps private copies of standard input and output. The plug-in and its
    // toolkit see /dev/null and standard error there, so nothing they print or read can
    // corrupt a frame.
    const int in = fcntl(STDIN_FILENO, F_DUPFD_CLOEXEC, 3);
    const int out = fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
    if (in < 0 || out < 0) {
        std::perror("npkeystrand-bridge: standard input and output");
        return 2;
    }
    const int devNull = open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (devNull >= 0) {
        dup2(devNull, STDIN_FILENO);
        close(devNull);
    }
    dup2(STDERR_FILENO, STDOUT_FILENO);

    const char* plugin = std::getenv("NPKEYSTRAND_PLUGIN");
    int status = 0;
    {
        Bridge bridge(plugin != nullptr ? plugin : "");
        MessageReader reader;
        std::vector<uint8_t> buffer(1 << 20);
        std::vector<Inbound> inbound;
        bool connected = true;
        while (connected) {
            const ssize_t n = read(in, buffer.data(), buffer.size());
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n <= 0) {
                break;
            }
            inbound.clear();
            reader.Feed(buffer.data(), static_cast<size_t>(n), inbound);
            for (const Inbound& message : inbound) {
                const JsonValue reply =
                    message.ok ? bridge.Handle(message.message) : ErrorReply(message.id, kBridgeError, message.error);
                if (!Send(out, reply)) {
                    connected = false;  // the browser stopped listening
                    break;
                }
            }
        }
        Inbound unfinished;
        if (connected && reader.Finish(unfinished)) {
            Send(out, ErrorReply(unfinished.id, kBridgeError, unfinished.error));
        }
        bridge.Shutdown();
    }
    close(in);
    close(out);
    return status;
}
