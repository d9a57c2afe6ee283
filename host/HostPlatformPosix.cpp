#include "host/HostPlatform.h"

#include <limits.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

namespace npk::host {

void PrepareProcess(int&, char**&)
{
    // POSIX hands over the bytes as they were given, and its streams are binary already.
}

bool ReadWholeFile(const std::string& path, std::string& bytes)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return false;
    }
    std::ostringstream buf;
    buf << in.rdbuf();
    bytes = buf.str();
    return !in.bad();
}

std::string ExecutableDirectory()
{
    char buf[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof(buf) - 1);
    if (n <= 0) {
        return std::string();
    }
    std::string path(buf, static_cast<size_t>(n));
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

}  // namespace npk::host
