// `npkeystrand trace ...`: the trace controller of the plug-in's provider.
#pragma once

// argv[0] is "trace". Returns the process exit status.
int TraceCommandMain(int argc, char** argv);
