// The trace controller: starts and stops sessions, enables the plug-in's provider in them
// and prints the events they recorded.
#include "host/TraceCommand.h"
#include "host/TraceFormats.h"
#include "trace/TraceGuids.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <limits.h>
#include <unistd.h>

namespace {

const char kDefaultSession[] = "npKeystrand";
const ULONG kDefaultFlags = 0xF;  // error, failure, information, function

const char kUsage[] =
    "Usage: npkeystrand trace COMMAND [NAME] [OPTIONS]\n"
    "\n"
    "Commands:\n"
    "  start [NAME] [--flags N] [--level N] [--force] [--file PATH]\n"
    "                  start a session and enable the plug-in's provider in it\n"
    "  stop [NAME]     stop a session; its event file is kept\n"
    "  enable [NAME] [--flags N] [--level N] [--guid GUID]\n"
    "                  enable a provider (default: the plug-in's) in a running session\n"
    "  disable [NAME] [--guid GUID]\n"
    "                  disable a provider in a running session\n"
    "  list            list the running sessions and their providers\n"
    "  show [NAME] [--formats DIR]\n"
    "                  print the events of a session, running or stopped\n"
    "\n"
    "NAME defaults to \"npKeystrand\". Flags (decimal or 0x hex) select the events:\n"
    "  0x1 errors, 0x2 failed steps, 0x4 information, 0x8 function entry and exit;\n"
    "  the default is 0xF. The level defaults to 0.\n"
    "Format texts are read from ../share/npkeystrand/formats next to this program\n"
    "unless --formats is given.\n";

struct Options {
    std::string Command;
    std::string Name = kDefaultSession;
    ULONG Flags = kDefaultFlags;
    ULONG Level = 0;
    bool Force = false;
    std::string File;
    std::string Formats;
    GUID Guid = TRACE_CONTROL_GUID;
};

int Fail(const std::string& message)
{
    std::fprintf(stderr, "npkeystrand trace: %s\n", message.c_str());
    return 1;
}

int UsageError(const std::string& message)
{
    std::fprintf(stderr, "npkeystrand trace: %s\n\n%s", message.c_str(), kUsage);
    return 2;
}

bool ParseNumber(const char* text, ULONG max, ULONG& value)
{
    if (text == nullptr || *text == 0 || *text == '-') {
        return false;
    }
    char* end = nullptr;
    errno = 0;
    unsigned long long number = std::strtoull(text, &end, 0);
    if (errno != 0 || *end != 0 || number > max) {
        return false;
    }
    value = (ULONG)number;
    return true;
}

std::string Win32Text(ULONG code)
{
    switch (code) {
    case ERROR_ALREADY_EXISTS: return "a session of that name is already running (use --force to restart it)";
    case ERROR_WMI_INSTANCE_NOT_FOUND: return "no session of that name is running";
    case ERROR_ACCESS_DENIED: return "access denied";
    case ERROR_PATH_NOT_FOUND: return "the session directory cannot be used";
    case ERROR_BAD_LENGTH: return "the session name is too long";
    default: {
        char text[64];
        std::snprintf(text, sizeof(text), "error %lu", (unsigned long)code);
        return text;
    }
    }
}

struct Properties {
    EVENT_TRACE_PROPERTIES Header;
    WCHAR Names[2 * 1024];
};

void InitProperties(Properties& p)
{
    std::memset(&p, 0, sizeof(p));
    p.Header.Wnode.BufferSize = sizeof(p);
    p.Header.Wnode.Flags = WNODE_FLAG_TRACED_GUID;
}

std::string NameAt(const Properties& p, ULONG offset)
{
    return offset != 0 ? npk::etw::Utf16ToUtf8((LPCWSTR)((const BYTE*)&p + offset)) : std::string();
}

std::string ExecutableDirectory()
{
    char path[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", path, sizeof(path) - 1);
    if (n <= 0) {
        return ".";
    }
    path[n] = 0;
    std::string text = path;
    size_t slash = text.rfind('/');
    return slash == std::string::npos ? "." : text.substr(0, slash);
}

int Start(const Options& o)
{
    std::basic_string<WCHAR> name = npk::etw::Utf8ToUtf16(o.Name);
    Properties p;
    InitProperties(p);
    p.Header.LogFileMode = EVENT_TRACE_FILE_MODE_SEQUENTIAL;
    if (!o.File.empty()) {
        std::basic_string<WCHAR> file = npk::etw::Utf8ToUtf16(o.File);
        if (file.size() >= 1024) {
            return Fail("the file name is too long");
        }
        std::memcpy(p.Names, file.c_str(), (file.size() + 1) * sizeof(WCHAR));
        p.Header.LogFileNameOffset = sizeof(EVENT_TRACE_PROPERTIES);
    }
    TRACEHANDLE handle = 0;
    ULONG status = StartTraceW(&handle, name.c_str(), &p.Header);
    if (status == ERROR_ALREADY_EXISTS && o.Force) {
        Properties stop;
        InitProperties(stop);
        ControlTraceW(0, name.c_str(), &stop.Header, EVENT_TRACE_CONTROL_STOP);
        status = StartTraceW(&handle, name.c_str(), &p.Header);
    }
    if (status != ERROR_SUCCESS) {
        return Fail("cannot start session \"" + o.Name + "\": " + Win32Text(status));
    }
    status = EnableTrace(TRUE, o.Flags, o.Level, &o.Guid, handle);
    if (status != ERROR_SUCCESS) {
        Properties stop;
        InitProperties(stop);
        ControlTraceW(handle, nullptr, &stop.Header, EVENT_TRACE_CONTROL_STOP);
        return Fail("cannot enable the provider: " + Win32Text(status));
    }
    std::printf("Started session \"%s\" (flags 0x%x, level %u), events go to %s\n", o.Name.c_str(),
                (unsigned)o.Flags, (unsigned)o.Level, NameAt(p, p.Header.LogFileNameOffset).c_str());
    return 0;
}

int Stop(const Options& o)
{
    std::basic_string<WCHAR> name = npk::etw::Utf8ToUtf16(o.Name);
    Properties p;
    InitProperties(p);
    ULONG status = ControlTraceW(0, name.c_str(), &p.Header, EVENT_TRACE_CONTROL_STOP);
    if (status != ERROR_SUCCESS && status != ERROR_MORE_DATA) {
        return Fail("cannot stop session \"" + o.Name + "\": " + Win32Text(status));
    }
    std::string file = NameAt(p, p.Header.LogFileNameOffset);
    std::vector<npk::etw::EventRecord> records;
    npk::etw::ReadEventFile(file, records, nullptr);
    std::printf("Stopped session \"%s\": %zu events in %s\n", o.Name.c_str(), records.size(), file.c_str());
    return 0;
}

int Enable(const Options& o, bool enable)
{
    std::basic_string<WCHAR> name = npk::etw::Utf8ToUtf16(o.Name);
    Properties p;
    InitProperties(p);
    ULONG status = ControlTraceW(0, name.c_str(), &p.Header, EVENT_TRACE_CONTROL_QUERY);
    if (status != ERROR_SUCCESS && status != ERROR_MORE_DATA) {
        return Fail("session \"" + o.Name + "\": " + Win32Text(status));
    }
    status = EnableTrace(enable ? TRUE : FALSE, o.Flags, o.Level, &o.Guid, p.Header.Wnode.HistoricalContext);
    if (status != ERROR_SUCCESS) {
        return Fail(std::string("cannot ") + (enable ? "enable" : "disable") + " the provider: " + Win32Text(status));
    }
    if (enable) {
        std::printf("Enabled %s in \"%s\" (flags 0x%x, level %u)\n", npk::etw::GuidToString(o.Guid).c_str(),
                    o.Name.c_str(), (unsigned)o.Flags, (unsigned)o.Level);
    } else {
        std::printf("Disabled %s in \"%s\"\n", npk::etw::GuidToString(o.Guid).c_str(), o.Name.c_str());
    }
    return 0;
}

int List()
{
    std::vector<Properties> buffers(16);
    std::vector<PEVENT_TRACE_PROPERTIES> array;
    for (Properties& p : buffers) {
        InitProperties(p);
        array.push_back(&p.Header);
    }
    ULONG count = 0;
    ULONG status = QueryAllTracesW(array.data(), (ULONG)array.size(), &count);
    if (status != ERROR_SUCCESS && status != ERROR_MORE_DATA) {
        return Fail("cannot list sessions: " + Win32Text(status));
    }
    if (count == 0) {
        std::printf("No session is running.\n");
        return 0;
    }
    for (ULONG i = 0; i < count; ++i) {
        const Properties& p = buffers[i];
        std::string name = NameAt(p, p.Header.LoggerNameOffset);
        std::printf("%s  handle 0x%016llx  file %s\n", name.c_str(),
                    (unsigned long long)p.Header.Wnode.HistoricalContext,
                    NameAt(p, p.Header.LogFileNameOffset).c_str());
        npk::etw::SessionInfo info;
        if (npk::etw::ReadSession(name, info)) {
            for (const npk::etw::ProviderEnable& e : info.Providers) {
                std::printf("  provider %s  flags 0x%x  level %u\n", npk::etw::GuidToString(e.Guid).c_str(),
                            (unsigned)e.Flags, (unsigned)e.Level);
            }
        }
    }
    return 0;
}

int Show(const Options& o)
{
    // A running session may write elsewhere than the default place.
    std::string file = npk::etw::DefaultEventFile(o.Name);
    npk::etw::SessionInfo info;
    if (npk::etw::ReadSession(o.Name, info) && !info.LogFile.empty()) {
        file = info.LogFile;
    }
    std::vector<npk::etw::EventRecord> records;
    bool damaged = false;
    if (file.empty() || !npk::etw::ReadEventFile(file, records, &damaged)) {
        return Fail("no events recorded for session \"" + o.Name + "\"");
    }
    npk::host::TraceFormats formats;
    std::string dir = o.Formats.empty() ? ExecutableDirectory() + "/../share/npkeystrand/formats" : o.Formats;
    std::string problem;
    if (!formats.AddDirectory(dir, &problem)) {
        std::fprintf(stderr, "npkeystrand trace: %s\n", problem.c_str());
    }
    for (const npk::etw::EventRecord& record : records) {
        std::printf("%s\n", npk::host::FormatEventLine(record, formats).c_str());
    }
    if (damaged) {
        std::fprintf(stderr, "npkeystrand trace: the end of %s is damaged\n", file.c_str());
    }
    return 0;
}

}  // namespace

int TraceCommandMain(int argc, char** argv)
{
    if (argc < 2) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    Options o;
    o.Command = argv[1];
    if (o.Command == "-h" || o.Command == "--help" || o.Command == "help") {
        std::fputs(kUsage, stdout);
        return 0;
    }
    bool named = false;
    for (int i = 2; i < argc; ++i) {
        std::string arg = argv[i];
        const char* next = i + 1 < argc ? argv[i + 1] : nullptr;
        if (arg == "--flags") {
            if (!ParseNumber(next, 0xFFFFFFFFu, o.Flags)) return UsageError("--flags needs a number");
            ++i;
        } else if (arg == "--level") {
            if (!ParseNumber(next, 255, o.Level)) return UsageError("--level needs a number from 0 to 255");
            ++i;
        } else if (arg == "--formats") {
            if (next == nullptr) return UsageError("--formats needs a directory");
            o.Formats = next;
            ++i;
        } else if (arg == "--file") {
            if (next == nullptr) return UsageError("--file needs a path");
            o.File = next;
            ++i;
        } else if (arg == "--guid") {
            if (next == nullptr || !npk::etw::ParseGuid(next, o.Guid)) return UsageError("--guid needs a GUID");
            ++i;
        } else if (arg == "--force") {
            o.Force = true;
        } else if (!arg.empty() && arg[0] == '-') {
            return UsageError("unknown option " + arg);
        } else if (!named) {
            o.Name = arg;
            named = true;
        } else {
            return UsageError("unexpected argument " + arg);
        }
    }
    if (o.Name.empty()) {
        return UsageError("the session name is empty");
    }
    if (o.Command == "start") return Start(o);
    if (o.Command == "stop") return Stop(o);
    if (o.Command == "enable") return Enable(o, true);
    if (o.Command == "disable") return Enable(o, false);
    if (o.Command == "list") return List();
    if (o.Command == "show") return Show(o);
    return UsageError("unknown command " + o.Command);
}
