// What several fuzz targets share: a failed check aborts (libFuzzer reports it as a crash),
// fixtures are read from tests/data, and a target that reaches the user's files gets a
// private home of its own for the life of the process.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <stdlib.h>

namespace fuzz {

inline void Check(bool condition)
{
    if (!condition) std::abort();
}

inline std::vector<unsigned char> Fixture(const char* name)
{
    std::ifstream in(std::string(NPK_FUZZ_DATA_DIR) + "/" + name, std::ios::binary);
    std::vector<unsigned char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    Check(!bytes.empty());  // the fixtures are part of the sources
    return bytes;
}

// Points HOME and the XDG directories at a fresh directory under /tmp and returns it; the
// platform layer then keeps its stores, registry and trace sessions there. It goes when the
// process ends normally.
inline const std::string& PrivateHome()
{
    static const std::string root = [] {
        char pattern[] = "/tmp/npk-fuzz-XXXXXX";
        Check(mkdtemp(pattern) != nullptr);
        std::string dir = pattern;
        static std::string removed;
        removed = dir;
        std::atexit([] {
            std::error_code ignored;
            std::filesystem::remove_all(removed, ignored);
        });
        setenv("HOME", dir.c_str(), 1);
        setenv("XDG_DATA_HOME", (dir + "/data").c_str(), 1);
        setenv("XDG_CONFIG_HOME", (dir + "/config").c_str(), 1);
        setenv("XDG_RUNTIME_DIR", dir.c_str(), 1);
        return dir;
    }();
    return root;
}

inline void WriteFile(const std::string& path, const unsigned char* data, size_t size)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    Check(static_cast<bool>(out));
}

}  // namespace fuzz
