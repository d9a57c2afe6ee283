// SHGetSpecialFolderPathW: the folders the path checks refuse.
#include <gtest/gtest.h>
#include "WideText.h"

#include <windows.h>
#include <shlobj.h>

#include <sys/stat.h>

#include <cstdlib>
#include <string>

namespace {

class SpecialFoldersTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/npk-folders-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        home_ = tmpl;
        for (const char* name : {"HOME", "XDG_DATA_HOME", "XDG_CONFIG_HOME", "XDG_RUNTIME_DIR"})
            setenv(name, home_.c_str(), 1);
        unsetenv("XDG_CONFIG_HOME");
    }
    void TearDown() override
    {
        std::string cmd = "rm -rf '" + home_ + "'";
        ASSERT_EQ(system(cmd.c_str()), 0);
    }
    Wide Folder(int csidl, BOOL create = FALSE)
    {
        WCHAR buffer[MAX_PATH];
        buffer[0] = 'q';
        EXPECT_TRUE(SHGetSpecialFolderPathW(nullptr, buffer, csidl, create)) << csidl;
        return Wide(buffer);
    }
    static bool IsFolder(const std::string& path)
    {
        struct stat st;
        return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
    }
    std::string home_;
};

TEST_F(SpecialFoldersTest, SystemFoldersMapToTheirLinuxCounterparts)
{
    EXPECT_EQ(Folder(CSIDL_SYSTEM), Wide(TEXT("/usr/lib")));
    EXPECT_EQ(Folder(CSIDL_SYSTEMX86), Wide(TEXT("/usr/bin")));
    EXPECT_EQ(Folder(CSIDL_WINDOWS), Wide(TEXT("/etc")));
    EXPECT_EQ(Folder(CSIDL_COMMON_STARTUP), Wide(TEXT("/etc/xdg/autostart")));
}

TEST_F(SpecialFoldersTest, UserStartupFollowsXdgConfigHome)
{
    EXPECT_EQ(Folder(CSIDL_STARTUP), ToWide(home_ + "/.config/autostart"));
    setenv("XDG_CONFIG_HOME", (home_ + "/cfg/").c_str(), 1);
    EXPECT_EQ(Folder(CSIDL_STARTUP), ToWide(home_ + "/cfg/autostart"));  // no doubled or trailing '/'
    setenv("XDG_CONFIG_HOME", "relative/cfg", 1);  // not absolute: ignored, as XDG says
    EXPECT_EQ(Folder(CSIDL_STARTUP), ToWide(home_ + "/.config/autostart"));
    setenv("XDG_CONFIG_HOME", "", 1);
    EXPECT_EQ(Folder(CSIDL_STARTUP), ToWide(home_ + "/.config/autostart"));
}

TEST_F(SpecialFoldersTest, UserFoldersFollowHomeAndTheXdgHomes)
{
    unsetenv("XDG_DATA_HOME");
    EXPECT_EQ(Folder(CSIDL_PROFILE), ToWide(home_));
    EXPECT_EQ(Folder(CSIDL_APPDATA), ToWide(home_ + "/.config"));
    EXPECT_EQ(Folder(CSIDL_LOCAL_APPDATA), ToWide(home_ + "/.local/share"));
    setenv("XDG_CONFIG_HOME", (home_ + "/cfg/").c_str(), 1);
    setenv("XDG_DATA_HOME", (home_ + "/data").c_str(), 1);
    EXPECT_EQ(Folder(CSIDL_APPDATA), ToWide(home_ + "/cfg"));
    EXPECT_EQ(Folder(CSIDL_LOCAL_APPDATA), ToWide(home_ + "/data"));
    setenv("XDG_DATA_HOME", "relative", 1);
    EXPECT_EQ(Folder(CSIDL_LOCAL_APPDATA), ToWide(home_ + "/.local/share"));
}

TEST_F(SpecialFoldersTest, OnlyTheUsersFolderIsMadeOnRequest)
{
    setenv("XDG_CONFIG_HOME", (home_ + "/cfg").c_str(), 1);
    EXPECT_EQ(Folder(CSIDL_STARTUP, FALSE), ToWide(home_ + "/cfg/autostart"));
    EXPECT_FALSE(IsFolder(home_ + "/cfg"));  // asking does not create
    EXPECT_EQ(Folder(CSIDL_STARTUP, TRUE), ToWide(home_ + "/cfg/autostart"));
    EXPECT_TRUE(IsFolder(home_ + "/cfg/autostart"));
    EXPECT_EQ(Folder(CSIDL_STARTUP, TRUE), ToWide(home_ + "/cfg/autostart"));  // already there
    EXPECT_EQ(Folder(CSIDL_COMMON_STARTUP, TRUE), Wide(TEXT("/etc/xdg/autostart")));
}

TEST_F(SpecialFoldersTest, UnknownFoldersFail)
{
    WCHAR buffer[MAX_PATH];
    for (int csidl : {0x0000, 0x0005, 0x0026, 0x00FF}) {
        SetLastError(0);
        EXPECT_FALSE(SHGetSpecialFolderPathW(nullptr, buffer, csidl, FALSE)) << csidl;
        EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER) << csidl;
    }
    EXPECT_FALSE(SHGetSpecialFolderPathW(nullptr, nullptr, CSIDL_WINDOWS, FALSE));
}

}  // namespace
