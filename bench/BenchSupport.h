// What the benchmarks that run this build's programs share: where the build and the sources
// are, and a home of their own for the run.
#pragma once

#include <stdlib.h>

#include <cstdlib>
#include <filesystem>
#include <string>

namespace npk::bench {

inline std::filesystem::path BinDir()
{
    return std::filesystem::canonical("/proc/self/exe").parent_path();
}

// The repository's top: NPK_SOURCE_DIR, or found from build/<preset>/bin.
inline std::filesystem::path SourceDir()
{
    const char* v = std::getenv("NPK_SOURCE_DIR");
    if (v != nullptr && *v != 0) return v;
    return BinDir().parent_path().parent_path().parent_path();
}

// A fresh directory under /tmp named from `prefix`, made this process's HOME and XDG
// directories, so the run neither reads nor leaves anything in the user's own; removed at the end.
class ScratchHome {
public:
    explicit ScratchHome(const std::string& prefix)
    {
        std::string pattern = "/tmp/" + prefix + "-XXXXXX";
        if (mkdtemp(pattern.data()) == nullptr) std::abort();
        Dir = pattern;
        setenv("HOME", pattern.c_str(), 1);
        setenv("XDG_DATA_HOME", (Dir / "data").c_str(), 1);
        setenv("XDG_CONFIG_HOME", (Dir / "config").c_str(), 1);
        setenv("XDG_RUNTIME_DIR", (Dir / "run").c_str(), 1);
    }
    ~ScratchHome() { std::filesystem::remove_all(Dir); }
    ScratchHome(const ScratchHome&) = delete;
    ScratchHome& operator=(const ScratchHome&) = delete;

    std::filesystem::path Dir;
};

}  // namespace npk::bench
