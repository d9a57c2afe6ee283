// `npkeystrand store ...`: manages the current user's certificate stores through the
// platform layer's own functions, the same ones the plug-in reads them with.
#pragma once

// argv[0] is "store". Returns the process exit status: 0 on success, 1 when the operation
// failed, 2 on a usage error.
int StoreCommandMain(int argc, char** argv);
