// GetFullPathNameW and the shlwapi path helpers.
#include <gtest/gtest.h>
#include "WideText.h"

#include <windows.h>
#include <shlwapi.h>

#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <fstream>
#include <string>

namespace {

class FullPathTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/npk-paths-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        // Compare with the directory as getcwd spells it (/tmp may be a link).
        char old[PATH_MAX];
        ASSERT_NE(getcwd(old, sizeof old), nullptr);
        previous_ = old;
        ASSERT_EQ(chdir(tmpl), 0);
        char now[PATH_MAX];
        ASSERT_NE(getcwd(now, sizeof now), nullptr);
        dir_ = now;
        created_ = tmpl;
    }
    void TearDown() override
    {
        ASSERT_EQ(chdir(previous_.c_str()), 0);
        std::string cmd = "rm -rf '" + created_ + "'";
        ASSERT_EQ(system(cmd.c_str()), 0);
    }
    Wide Full(const Wide& name, LPWSTR* filePart = nullptr)
    {
        WCHAR buffer[MAX_PATH];
        DWORD n = GetFullPathNameW(name.c_str(), MAX_PATH, buffer, filePart);
        EXPECT_GT(n, 0u);
        EXPECT_LT(n, (DWORD)MAX_PATH);
        if (n == 0 || n >= MAX_PATH) return Wide();
        EXPECT_EQ((DWORD)lstrlenW(buffer), n);
        return Wide(buffer, n);
    }
    std::string previous_, dir_, created_;
};

TEST_F(FullPathTest, RelativePathsResolveAgainstTheCurrentDirectory)
{
    EXPECT_EQ(Full(TEXT("a.txt")), ToWide(dir_ + "/a.txt"));
    EXPECT_EQ(Full(TEXT("./sub/b")), ToWide(dir_ + "/sub/b"));
    EXPECT_EQ(Full(TEXT("sub/../c")), ToWide(dir_ + "/c"));
    std::string parent = dir_.substr(0, dir_.find_last_of('/'));
    EXPECT_EQ(Full(TEXT("..")), ToWide(parent.empty() ? "/" : parent));
    EXPECT_EQ(Full(TEXT(".")), ToWide(dir_));
}

TEST_F(FullPathTest, DotsSeparatorsAndTheRoot)
{
    EXPECT_EQ(Full(TEXT("/a/b/../c")), Wide(TEXT("/a/c")));
    EXPECT_EQ(Full(TEXT("/a/./b//c")), Wide(TEXT("/a/b/c")));
    EXPECT_EQ(Full(TEXT("/../../etc/passwd")), Wide(TEXT("/etc/passwd")));  // never above the root
    EXPECT_EQ(Full(TEXT("/")), Wide(TEXT("/")));
    EXPECT_EQ(Full(TEXT("/a/b/")), Wide(TEXT("/a/b/")));  // a trailing separator stays
    EXPECT_EQ(Full(TEXT("\\a\\b\\..\\etc")), Wide(TEXT("/a/etc")));
    EXPECT_EQ(Full(TEXT("/x/..\\..\\..\\etc\\x.exe")), Wide(TEXT("/etc/x.exe")));
    EXPECT_EQ(Full(TEXT("/a/b.d/...")), Wide(TEXT("/a/b.d/...")));  // only "." and ".." are special
}

TEST_F(FullPathTest, FilePartPointsIntoTheBuffer)
{
    WCHAR buffer[MAX_PATH];
    LPWSTR part = nullptr;
    DWORD n = GetFullPathNameW(TEXT("/a/b/name.ext"), MAX_PATH, buffer, &part);
    ASSERT_EQ(n, 13u);
    ASSERT_NE(part, nullptr);
    EXPECT_EQ(part, buffer + 5);
    EXPECT_EQ(lstrcmpW(part, TEXT("name.ext")), 0);
    part = buffer;
    EXPECT_GT(GetFullPathNameW(TEXT("/a/b/"), MAX_PATH, buffer, &part), 0u);
    EXPECT_EQ(part, nullptr);
}

TEST_F(FullPathTest, ShortBufferAsksForTheSizeWithTerminator)
{
    const Wide name = TEXT("/abc/def");  // 8 characters
    WCHAR buffer[16];
    for (int i = 0; i < 16; ++i) buffer[i] = 'q';
    EXPECT_EQ(GetFullPathNameW(name.c_str(), 8, buffer, nullptr), 9u);  // no room for the NUL
    EXPECT_EQ(buffer[0], 'q');
    EXPECT_EQ(GetFullPathNameW(name.c_str(), 0, nullptr, nullptr), 9u);
    EXPECT_EQ(GetFullPathNameW(name.c_str(), 9, buffer, nullptr), 8u);
    EXPECT_EQ(Wide(buffer), name);

    // A path longer than the caller's 260 characters reports the length it needs.
    Wide longName = TEXT("/");
    longName.append(300, 'x');
    WCHAR small[MAX_PATH];
    EXPECT_EQ(GetFullPathNameW(longName.c_str(), MAX_PATH, small, nullptr), 302u);
}

TEST_F(FullPathTest, MissingOrEmptyNamesFail)
{
    WCHAR buffer[MAX_PATH];
    EXPECT_EQ(GetFullPathNameW(nullptr, MAX_PATH, buffer, nullptr), 0u);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    EXPECT_EQ(GetFullPathNameW(TEXT(""), MAX_PATH, buffer, nullptr), 0u);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_NAME);
}

TEST_F(FullPathTest, PathFileExistsSeesFilesAndFolders)
{
    ASSERT_EQ(mkdir("sub", 0700), 0);
    std::ofstream("sub/f") << "x";
    EXPECT_TRUE(PathFileExistsW(TEXT("sub")));
    EXPECT_TRUE(PathFileExistsW(TEXT("sub/f")));
    EXPECT_TRUE(PathFileExistsW(TEXT("sub\\f")));
    EXPECT_TRUE(PathFileExistsW(ToWide(dir_ + "/sub/../sub/f").c_str()));
    EXPECT_FALSE(PathFileExistsW(TEXT("sub/none")));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_FILE_NOT_FOUND);
    EXPECT_FALSE(PathFileExistsW(TEXT("none/none")));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_PATH_NOT_FOUND);
    EXPECT_FALSE(PathFileExistsW(nullptr));
}

struct RemoveCase {
    const WCHAR* in;
    const WCHAR* out;
    BOOL removed;
};

TEST(PathRemoveFileSpec, RemovesTheLastComponentAndItsSeparator)
{
    const RemoveCase cases[] = {
        {TEXT("/a/b"), TEXT("/a"), TRUE},
        {TEXT("/a"), TEXT("/"), TRUE},
        {TEXT("/"), TEXT("/"), FALSE},
        {TEXT("a"), TEXT(""), TRUE},
        {TEXT(""), TEXT(""), FALSE},
        {TEXT("/a/b/"), TEXT("/a/b"), TRUE},
        {TEXT("a/b"), TEXT("a"), TRUE},
        {TEXT("\\a\\b.txt"), TEXT("\\a"), TRUE},
        {TEXT("/x/y\\z"), TEXT("/x/y"), TRUE},
    };
    for (const RemoveCase& c : cases) {
        WCHAR buffer[MAX_PATH];
        lstrcpyW(buffer, c.in);
        EXPECT_EQ(PathRemoveFileSpecW(buffer), c.removed) << lstrlenW(c.in);
        EXPECT_EQ(Wide(buffer), Wide(c.out)) << lstrlenW(c.in);
    }
    EXPECT_FALSE(PathRemoveFileSpecW(nullptr));
}

TEST(PathFindExtension, FindsTheLastComponentsExtension)
{
    struct Case {
        const WCHAR* path;
        const WCHAR* extension;
    };
    const Case cases[] = {
        {TEXT("/a/report.exe"), TEXT(".exe")},
        {TEXT("/a/report.exe.txt"), TEXT(".txt")},
        {TEXT("/a.d/noext"), TEXT("")},
        {TEXT("C:\\dir.x\\file"), TEXT("")},
        {TEXT("/home/u/.bashrc"), TEXT(".bashrc")},
        {TEXT("name."), TEXT(".")},
        {TEXT("script.Js"), TEXT(".Js")},
        {TEXT(""), TEXT("")},
    };
    for (const Case& c : cases) {
        LPWSTR found = PathFindExtensionW(c.path);
        ASSERT_NE(found, nullptr);
        EXPECT_EQ(Wide(found), Wide(c.extension)) << lstrlenW(c.path);
        // The result points into the caller's text: at the dot or at the terminator.
        EXPECT_GE(found, c.path);
        EXPECT_LE(found, c.path + lstrlenW(c.path));
        if (*found == 0) {
            EXPECT_EQ(found, c.path + lstrlenW(c.path));
        }
    }
    EXPECT_EQ(PathFindExtensionW(nullptr), nullptr);
}

}  // namespace
