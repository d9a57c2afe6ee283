// The fixtures of tests/data as this test process's own copy. The system opens the files a
// page names without sharing, as Windows does, so two test processes reading one fixture at
// the same moment would refuse each other (ERROR_SHARING_VIOLATION) under a parallel ctest.
#pragma once

#include <stdlib.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

namespace npk::test {

class PrivateFixtureCopy {
public:
    PrivateFixtureCopy()
    {
        const char* v = std::getenv("NPK_SOURCE_DIR");
        const std::filesystem::path source =
            std::filesystem::path(v != nullptr && *v != '\0' ? v : NPK_DEFAULT_SOURCE_DIR) / "tests" / "data";
        char pattern[] = "/tmp/npk-fixtures-XXXXXX";
        if (mkdtemp(pattern) == nullptr) std::abort();
        m_root = pattern;
        std::filesystem::copy(source, m_root / "data", std::filesystem::copy_options::recursive);
        m_dir = (m_root / "data").string() + "/";
    }
    ~PrivateFixtureCopy()
    {
        // A forked child that exits normally must not take the parent's copy with it.
        if (getpid() == m_owner) {
            std::error_code ignored;
            std::filesystem::remove_all(m_root, ignored);
        }
    }
    PrivateFixtureCopy(const PrivateFixtureCopy&) = delete;
    PrivateFixtureCopy& operator=(const PrivateFixtureCopy&) = delete;

    const std::string& Dir() const { return m_dir; }

private:
    pid_t m_owner = getpid();
    std::filesystem::path m_root;
    std::string m_dir;
};

// The private copy of tests/data, with its trailing slash; made on first use.
inline const std::string& FixtureDir()
{
    static const PrivateFixtureCopy copy;
    return copy.Dir();
}

}  // namespace npk::test
