// npkeystrand: our browser. It loads the plug-in as a Unix NPAPI browser does and runs page
// scripts against it; it is also the trace controller.
#include "host/HostPlatform.h"
#include "host/PluginLibrary.h"
#include "host/ScriptPage.h"

#include "host/StoreCommand.h"
#include "host/TraceCommand.h"
#ifndef _WIN32
#include "host/bridge/Register.h"
#endif

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace {

using npk::host::PluginLibrary;
using npk::host::ScriptPage;

constexpr int kExitFailure = 1;  // the page threw, or the call failed
constexpr int kExitUsage = 2;    // bad command line, or the plug-in could not be started

const char kUsage[] =
    "Usage: npkeystrand [--plugin PATH] COMMAND [ARGS...]\n"
    "\n"
    "Commands:\n"
    "  run PAGE.js             run a page script with the plug-in embedded as `plugin`\n"
    "  call METHOD [ARG...]    call one method with string arguments and print the result\n"
    "  info                    show which plug-in library is loaded, its name and MIME types\n"
    "  trace start|stop|list|show [OPTIONS]\n"
    "                          control event tracing of the plug-in (trace --help)\n"
    "  store list|import|add|remove STORE ...\n"
    "                          manage the current user's certificate stores (store --help)\n"
#ifndef _WIN32
    "  register [--user|--system] [--browser NAME]... [--remove]\n"
    "                          let Chromium, Chrome and Firefox start npkeystrand-bridge for\n"
    "                          the npKeystrand extension (register --help)\n"
#endif
    "\n"
    "Options:\n"
    "  --plugin PATH           load this library instead of searching for the plug-in\n"
    "  -h, --help              show this text\n"
    "\n"
    "Without --plugin the plug-in whose MIME description names application/npKeystrand is\n"
    "searched in the directories of MOZ_PLUGIN_PATH, ~/.mozilla/plugins,\n"
    "/usr/lib/mozilla/plugins, and ../lib and ../lib/mozilla/plugins next to this program.\n"
    "\n"
    "Page scripts have the globals plugin (the scriptable object of one instance),\n"
    "embed() (a new instance's object), print(...) and console.log(...).\n"
    "\n"
    "Exit status: 0 on success; 1 when the page threw or the call failed (call then prints\n"
    "GetLastErrorDesc on standard error); 2 on a usage error or when the plug-in cannot be\n"
    "loaded.\n";

int Usage(const char* problem)
{
    if (problem != nullptr) {
        std::fprintf(stderr, "npkeystrand: %s\n\n", problem);
    }
    std::fputs(kUsage, problem != nullptr ? stderr : stdout);
    return problem != nullptr ? kExitUsage : 0;
}

// Loads and starts the plug-in and opens a page on it. The caller tears both down in the
// browser's order with Close.
class Session {
public:
    bool Open(const std::string& pluginPath)
    {
        std::string error;
        m_library = PluginLibrary::Open(pluginPath, error);
        if (m_library == nullptr || !m_library->Start(error)) {
            std::fprintf(stderr, "npkeystrand: %s\n", error.c_str());
            return false;
        }
        m_page = std::make_unique<ScriptPage>(*m_library);
        if (!m_page->Open(error)) {
            std::fprintf(stderr, "npkeystrand: %s\n", error.c_str());
            return false;
        }
        return true;
    }

    ~Session() { Close(); }

    // NPP_Destroy every instance, drop the page's objects, NP_Shutdown, unload.
    void Close()
    {
        if (m_library != nullptr) {
            m_library->DestroyInstances();
        }
        if (m_page != nullptr) {
            m_page->ReleaseObjects();
        }
        if (m_library != nullptr) {
            m_library->Stop();
        }
        m_page.reset();
        m_library.reset();
    }

    ScriptPage& Page() { return *m_page; }
    PluginLibrary& Library() { return *m_library; }

private:
    std::unique_ptr<PluginLibrary> m_library;
    std::unique_ptr<ScriptPage> m_page;
};

int RunCommand(const std::string& pluginPath, const std::vector<std::string>& args)
{
    if (args.size() != 1) {
        return Usage("run takes one page script");
    }
    std::string source;
    if (!npk::host::ReadWholeFile(args[0], source)) {
        std::fprintf(stderr, "npkeystrand: cannot read %s\n", args[0].c_str());
        return kExitUsage;
    }
    Session session;
    if (!session.Open(pluginPath)) {
        return kExitUsage;
    }
    return session.Page().Run(source, args[0]);
}

int CallCommand(const std::string& pluginPath, const std::vector<std::string>& args)
{
    if (args.empty()) {
        return Usage("call needs a method name");
    }
    Session session;
    if (!session.Open(pluginPath)) {
        return kExitUsage;
    }
    std::vector<std::string> callArgs(args.begin() + 1, args.end());
    std::string result;
    if (session.Page().Call(args[0], callArgs, result)) {
        std::fwrite(result.data(), 1, result.size(), stdout);
        std::fputc('\n', stdout);
        return 0;
    }
    std::fprintf(stderr, "npkeystrand: %s\n", result.c_str());
    std::string description;
    if (session.Page().Call("GetLastErrorDesc", {}, description)) {
        std::fprintf(stderr, "%s\n", description.c_str());
    } else {
        std::fprintf(stderr, "npkeystrand: GetLastErrorDesc failed too: %s\n", description.c_str());
    }
    return kExitFailure;
}

int InfoCommand(const std::string& pluginPath)
{
    std::string error;
    auto library = PluginLibrary::Open(pluginPath, error);
    if (library == nullptr) {
        std::fprintf(stderr, "npkeystrand: %s\n", error.c_str());
        return kExitUsage;
    }
    std::printf("path: %s\n", library->Path().c_str());
    std::printf("name: %s\n", library->Name().c_str());
    std::printf("description: %s\n", library->Description().c_str());
    std::printf("mime: %s\n", library->MimeDescription().c_str());
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    npk::host::PrepareProcess(argc, argv);
    std::string pluginPath;
    int i = 1;
    for (; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "-h" || a == "--help") {
            return Usage(nullptr);
        }
        if (a == "--plugin") {
            if (i + 1 >= argc) {
                return Usage("--plugin needs a path");
            }
            pluginPath = argv[++i];
        } else if (a.rfind("--plugin=", 0) == 0) {
            pluginPath = a.substr(std::strlen("--plugin="));
        } else if (!a.empty() && a[0] == '-') {
            return Usage(("unknown option " + a).c_str());
        } else {
            break;
        }
    }
    if (i >= argc) {
        return Usage("no command given");
    }
    const std::string command = argv[i];
    if (command == "trace") {
        return TraceCommandMain(argc - i, argv + i);
    }
    std::vector<std::string> args(argv + i + 1, argv + argc);
    if (command == "run") {
        return RunCommand(pluginPath, args);
    }
    if (command == "call") {
        return CallCommand(pluginPath, args);
    }
    if (command == "info") {
        return InfoCommand(pluginPath);
    }
    if (command == "store") {
        return StoreCommandMain(argc - i, argv + i);
    }
#ifndef _WIN32
    if (command == "register") {
        return RegisterCommandMain(argc - i, argv + i);
    }
#endif
    if (command == "help") {
        return Usage(nullptr);
    }
    return Usage(("unknown command " + command).c_str());
}
