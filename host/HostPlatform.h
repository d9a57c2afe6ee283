// What the host needs from the operating system beyond NPAPI: its command line and standard
// streams, whole files, and the directory it was started from. Each platform has its file.
#pragma once

#include <string>

namespace npk::host {

// Makes argv UTF-8 (Windows hands a program its arguments in the ANSI code page) and the
// standard streams binary, so that pages print exactly the bytes they mean on every platform.
// The arguments stay valid until the process ends.
void PrepareProcess(int& argc, char**& argv);

// The bytes of a file named by a UTF-8 path; false when it cannot be read.
bool ReadWholeFile(const std::string& path, std::string& bytes);

// The directory of the running executable, without a trailing separator; empty if unknown.
std::string ExecutableDirectory();

}  // namespace npk::host
