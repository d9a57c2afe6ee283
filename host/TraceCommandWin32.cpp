// `npkeystrand trace` on Windows: the plug-in's provider is an ordinary event-tracing
// provider there, and the system's own controllers serve it.
#include "host/TraceCommand.h"

#include <cstdio>

int TraceCommandMain(int, char**)
{
    std::fputs("npkeystrand trace: on Windows, trace the plug-in with the system's controllers, for example\n"
               "  logman start npKeystrand -p {5C8F2A58-369A-44F0-9235-C05ECB1DD73E} 0xF 0 -ets\n"
               "  logman stop npKeystrand -ets\n"
               "and read the events with tracerpt.\n",
               stderr);
    return 2;
}
