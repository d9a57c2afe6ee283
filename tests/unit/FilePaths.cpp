// Path safety checks and whole-file reading, against the folders the platform maps, in an
// isolated home so that the user's start-up folder is the test's own.
#include <gtest/gtest.h>

#include "platform/CertTestSupport.h"
#include "platform/WideText.h"

#include "kernel/FilePaths.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

namespace {

const HRESULT kMalicious = static_cast<HRESULT>(0xA0071006L);
const HRESULT kEmpty = static_cast<HRESULT>(0xA0071007L);
const HRESULT kExists = static_cast<HRESULT>(0x800700B7L);
const HRESULT kNotFound = static_cast<HRESULT>(0x80070002L);
const HRESULT kSharing = static_cast<HRESULT>(0x80070020L);
const HRESULT kTooLong = static_cast<HRESULT>(0x800700CEL);

class FilePathsTest : public certtest::IsolatedHome {
protected:
    void SetUp() override
    {
        IsolatedHome::SetUp();
        char* cwd = getcwd(nullptr, 0);
        ASSERT_NE(cwd, nullptr);
        m_savedCwd = cwd;
        free(cwd);
        m_work = m_root + "/work";
        std::filesystem::create_directories(m_work);
    }
    void TearDown() override
    {
        ASSERT_EQ(chdir(m_savedCwd.c_str()), 0);
        IsolatedHome::TearDown();
    }

    std::string Work(const std::string& name) const { return m_work + "/" + name; }

    static void Write(const std::string& path, const std::string& data)
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out << data;
    }

    static HRESULT Check(const std::string& path, DWORD kind)
    {
        return IsMaliciousFilePathName(ToWide(path).c_str(), kind);
    }

    static HANDLE OpenShared(const std::string& path, DWORD share)
    {
        return CreateFileW(ToWide(path).c_str(), GENERIC_READ, share, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    }

    std::string UserAutostart() const { return m_root + "/XDG_CONFIG_HOME/autostart"; }
    std::string Home(const std::string& name) const { return m_root + "/HOME/" + name; }

    std::string m_savedCwd;
    std::string m_work;
};

// ---------------------------------------------------------------------------
// Folders
// ---------------------------------------------------------------------------

TEST_F(FilePathsTest, TargetsInsideEveryRefusedFolderAreRefused)
{
    const std::string folders[] = {"/usr/lib", "/usr/bin", "/etc", UserAutostart(), "/etc/xdg/autostart"};
    for (const std::string& folder : folders) {
        EXPECT_EQ(Check(folder + "/npk-new-file.txt", NPK_PATH_TARGET), kMalicious) << folder;
        EXPECT_EQ(Check(folder + "/deeper/still/npk-new-file.txt", NPK_PATH_TARGET), kMalicious) << folder;
    }
    // The same folders named by a path of a different kind.
    EXPECT_EQ(Check("/etc/npk-no-such-file", 2), kMalicious);
    EXPECT_EQ(Check(UserAutostart() + "/x.desktop", 2), kMalicious);
}

// A link names a refused folder by a path of its own; the folder is checked as the file
// system resolves it too.
TEST_F(FilePathsTest, LinksIntoRefusedFoldersAreRefused)
{
    ASSERT_EQ(symlink("/etc", Work("conf").c_str()), 0);
    EXPECT_EQ(Check(Work("conf/npk-new-file.txt"), NPK_PATH_TARGET), kMalicious);
    ASSERT_EQ(symlink("/etc/passwd", Work("accounts.txt").c_str()), 0);
    EXPECT_EQ(Check(Work("accounts.txt"), NPK_PATH_SOURCE), kMalicious) << "a source that is a link into /etc";
    // A link inside the ordinary folders stays an ordinary path.
    Write(Work("data.txt"), "data");
    ASSERT_EQ(symlink(Work("data.txt").c_str(), Work("data-link.txt").c_str()), 0);
    EXPECT_EQ(Check(Work("data-link.txt"), NPK_PATH_SOURCE), S_OK);
    ASSERT_EQ(symlink(m_work.c_str(), Work("self").c_str()), 0);
    EXPECT_EQ(Check(Work("self/npk-new-file.txt"), NPK_PATH_TARGET), S_OK);
    // Where the system's own top folders are links into /usr, as on Debian, they are refused.
    struct stat st;
    if (lstat("/lib", &st) == 0 && S_ISLNK(st.st_mode)) {
        EXPECT_EQ(Check("/lib/npk-new-file.txt", NPK_PATH_TARGET), kMalicious);
    }
    if (lstat("/bin", &st) == 0 && S_ISLNK(st.st_mode)) {
        EXPECT_EQ(Check("/bin/npk-new-file.txt", NPK_PATH_TARGET), kMalicious);
    }
}

TEST_F(FilePathsTest, FolderComparisonIgnoresCaseAndCatchesSiblingsWithSuffix)
{
    EXPECT_EQ(Check("/ETC/npk-new.txt", NPK_PATH_TARGET), kMalicious);
    EXPECT_EQ(Check("/Usr/Lib/npk-new.txt", NPK_PATH_TARGET), kMalicious);
    EXPECT_EQ(Check("/USR/BIN/npk-new.txt", NPK_PATH_TARGET), kMalicious);
    std::string upper = m_root + "/XDG_CONFIG_HOME/AutoStart/npk-new.txt";
    EXPECT_EQ(Check(upper, NPK_PATH_TARGET), kMalicious);
    // Substring, not prefix: siblings that begin with a refused folder's path.
    EXPECT_EQ(Check("/usr/lib64/npk-new.txt", NPK_PATH_TARGET), kMalicious);
    EXPECT_EQ(Check("/usr/libexec/npk-new.txt", NPK_PATH_TARGET), kMalicious);
    EXPECT_EQ(Check("/etcetera/npk-new.txt", NPK_PATH_TARGET), kMalicious);
}

TEST_F(FilePathsTest, ParentsOfRefusedFoldersAndOtherAutostartFoldersAreAccepted)
{
    // Only the folder holding the file is tested: a file next to a refused folder is fine.
    EXPECT_EQ(Check("/var/spool/npk-new.txt", NPK_PATH_TARGET), S_OK);
    EXPECT_EQ(Check("/var/npk-new.txt", NPK_PATH_TARGET), S_OK);
    EXPECT_EQ(Check(m_root + "/npk-new.txt", NPK_PATH_TARGET), S_OK);
    // The user's start-up folder is where XDG_CONFIG_HOME says, not any "autostart".
    EXPECT_EQ(Check(Work("autostart/npk-new.txt"), NPK_PATH_TARGET), S_OK);
    EXPECT_EQ(Check(Work("npk-new.txt"), NPK_PATH_TARGET), S_OK);
}

// What a Linux login or desktop session runs: the shells' start-up files, the hidden folders
// of the home folder, the configuration and data homes, cron's and the system's trees.
TEST_F(FilePathsTest, WhatALinuxSessionRunsIsRefused)
{
    unsetenv("XDG_CONFIG_HOME");
    unsetenv("XDG_DATA_HOME");
    const std::string refused[] = {
        Home(".profile"), Home(".bashrc"), Home(".config/systemd/user/x.service"),
        Home(".local/share/applications/x.desktop"), Home(".ssh/authorized_keys"), Home(".new-folder/x.txt"),
        Home("Documents/.hidden/x.txt"), "/var/spool/cron/crontabs/npk-user", "/usr/local/bin/npk-new",
        "/usr/share/npk-new.txt", "/usr/npk-new.txt", "/etc/npk-new.txt",
    };
    for (const std::string& path : refused) {
        EXPECT_EQ(Check(path, NPK_PATH_TARGET), kMalicious) << path;
        EXPECT_EQ(Check(path, 2), kMalicious) << path;
    }
    const std::string accepted[] = {
        Home("notes.txt"), Home("Documents/report.v2.txt"), Home("a.bashrc"), Work(".hidden-outside-home.txt"),
        "/var/spool/npk-new.txt", "/usrlocal/npk-new.txt",
    };
    for (const std::string& path : accepted) EXPECT_EQ(Check(path, NPK_PATH_TARGET), S_OK) << path;

    // A source is checked the same way: the user's keys are no page's to read.
    std::filesystem::create_directories(Home(".ssh"));
    Write(Home(".ssh/id_rsa"), "key");
    Write(Home("notes.txt"), "notes");
    EXPECT_EQ(Check(Home(".ssh/id_rsa"), NPK_PATH_SOURCE), kMalicious);
    EXPECT_EQ(Check(Home("notes.txt"), NPK_PATH_SOURCE), S_OK);
}

TEST_F(FilePathsTest, ConfigurationAndDataHomesAreRefusedWhereverTheyAre)
{
    const std::string config = m_root + "/cfg", data = m_root + "/data";
    setenv("XDG_CONFIG_HOME", config.c_str(), 1);
    setenv("XDG_DATA_HOME", data.c_str(), 1);
    EXPECT_EQ(Check(config + "/systemd/user/x.service", NPK_PATH_TARGET), kMalicious);
    EXPECT_EQ(Check(config + "/npk-new.txt", NPK_PATH_TARGET), kMalicious);
    EXPECT_EQ(Check(data + "/applications/x.desktop", NPK_PATH_TARGET), kMalicious);
    EXPECT_EQ(Check(data + "/npkeystrand/SystemCertificates/ROOT/x.cer", NPK_PATH_TARGET), kMalicious);
    EXPECT_EQ(Check(m_root + "/cfg-other/x.txt", NPK_PATH_TARGET), S_OK);
    EXPECT_EQ(Check(m_root + "/npk-new.txt", NPK_PATH_TARGET), S_OK);
}

TEST_F(FilePathsTest, LinksIntoTheHomesHiddenFilesAreRefused)
{
    std::filesystem::create_directories(Home(".config/systemd"));
    ASSERT_EQ(symlink((m_root + "/HOME").c_str(), Work("home").c_str()), 0);
    EXPECT_EQ(Check(Work("home/.bashrc"), NPK_PATH_TARGET), kMalicious);
    EXPECT_EQ(Check(Work("home/notes.txt"), NPK_PATH_TARGET), S_OK);
    ASSERT_EQ(symlink(Home(".config").c_str(), Work("settings").c_str()), 0);
    EXPECT_EQ(Check(Work("settings/systemd/x.service"), NPK_PATH_TARGET), kMalicious);
    Write(Home(".bashrc"), "echo hi");
    ASSERT_EQ(symlink(Home(".bashrc").c_str(), Work("shell.txt").c_str()), 0);
    EXPECT_EQ(Check(Work("shell.txt"), NPK_PATH_SOURCE), kMalicious);
}

// "evil.exe::$DATA" names the stream of evil.exe: the extension test alone would let it by.
TEST_F(FilePathsTest, StreamNamesAreRefused)
{
    for (const char* name : {"evil.exe::$DATA", "evil.exe:", "notes.txt:stream", "C:\\Users\\u\\evil.exe::$DATA"}) {
        EXPECT_EQ(Check(Work(name), NPK_PATH_TARGET), kMalicious) << name;
        EXPECT_EQ(Check(Work(name), 2), kMalicious) << name;
    }
    Write(Work("data:1.txt"), "data");
    EXPECT_EQ(Check(Work("data:1.txt"), NPK_PATH_SOURCE), kMalicious);
    // A colon in a folder's name is not the file's.
    std::filesystem::create_directories(Work("a:b"));
    EXPECT_EQ(Check(Work("a:b/npk-new.txt"), NPK_PATH_TARGET), S_OK);
}

TEST_F(FilePathsTest, StartupFolderMovesWithTheConfigurationHome)
{
    std::string other = m_root + "/other-config";
    std::filesystem::create_directories(other);
    std::string before = other + "/autostart/x.txt";
    EXPECT_EQ(Check(before, NPK_PATH_TARGET), S_OK);
    setenv("XDG_CONFIG_HOME", other.c_str(), 1);
    EXPECT_EQ(Check(before, NPK_PATH_TARGET), kMalicious);
    EXPECT_EQ(Check(UserAutostart() + "/x.txt", NPK_PATH_TARGET), S_OK);
}

TEST_F(FilePathsTest, RelativePathsAreResolvedAgainstTheCurrentDirectory)
{
    std::filesystem::create_directories(UserAutostart());
    ASSERT_EQ(chdir(UserAutostart().c_str()), 0);
    EXPECT_EQ(Check("launch.txt", NPK_PATH_TARGET), kMalicious);
    EXPECT_EQ(Check("./sub/../launch.txt", NPK_PATH_TARGET), kMalicious);

    ASSERT_EQ(chdir(m_work.c_str()), 0);
    EXPECT_EQ(Check("launch.txt", NPK_PATH_TARGET), S_OK);
    EXPECT_EQ(Check("../XDG_CONFIG_HOME/autostart/launch.txt", NPK_PATH_TARGET), kMalicious);
    EXPECT_EQ(Check("../XDG_CONFIG_HOME/autostart/../../launch.txt", NPK_PATH_TARGET), S_OK);

    ASSERT_EQ(chdir("/etc"), 0);
    EXPECT_EQ(Check("npk-new.txt", NPK_PATH_TARGET), kMalicious);
}

TEST_F(FilePathsTest, FolderCheckDirectly)
{
    EXPECT_EQ(IsMaliciousFileFolder(TEXT("/etc")), kMalicious);
    EXPECT_EQ(IsMaliciousFileFolder(TEXT("/home/someone/etc/notes")), kMalicious);  // contains "/etc"
    EXPECT_EQ(IsMaliciousFileFolder(TEXT("/")), S_OK);
    EXPECT_EQ(IsMaliciousFileFolder(TEXT("")), S_OK);
    EXPECT_EQ(IsMaliciousFileFolder(TEXT("/var/spool")), S_OK);
    EXPECT_EQ(IsMaliciousFileFolder(TEXT("/usr/share")), kMalicious);
    EXPECT_EQ(IsMaliciousFileFolder(ToWide(Home(".ssh")).c_str()), kMalicious);
    EXPECT_EQ(IsMaliciousFileFolder(ToWide(Home("Documents")).c_str()), S_OK);
    EXPECT_EQ(IsMaliciousFileFolder(nullptr), E_INVALIDARG);
}

// ---------------------------------------------------------------------------
// Extensions
// ---------------------------------------------------------------------------

TEST_F(FilePathsTest, EveryRefusedExtensionInAnyCase)
{
    const char* exts[] = {".com", ".exe", ".bat", ".cmd", ".vbs", ".vbe",
                          ".js",  ".jse", ".wsf", ".wsh", ".msc", ".dll"};
    for (const char* ext : exts) {
        std::string lower = ext;
        std::string upper = lower;
        for (char& c : upper) c = static_cast<char>(toupper(c));
        std::string mixed = lower;
        mixed[1] = static_cast<char>(toupper(mixed[1]));
        for (const std::string& e : {lower, upper, mixed}) {
            EXPECT_EQ(IsMaliciousFileExtention(ToWide(e).c_str()), kMalicious) << e;
            EXPECT_EQ(Check(Work("report" + e), NPK_PATH_TARGET), kMalicious) << e;
        }
    }
}

TEST_F(FilePathsTest, OnlyTheWholeLastExtensionCounts)
{
    EXPECT_EQ(Check(Work("report.exe.txt"), NPK_PATH_TARGET), S_OK);
    EXPECT_EQ(Check(Work("report.txt.exe"), NPK_PATH_TARGET), kMalicious);
    EXPECT_EQ(Check(Work("report"), NPK_PATH_TARGET), S_OK);
    EXPECT_EQ(Check(Work("folder.exe/report"), NPK_PATH_TARGET), S_OK);  // a dot in a folder's name
    EXPECT_EQ(Check(Work("report.exes"), NPK_PATH_TARGET), S_OK);
    EXPECT_EQ(Check(Work("report.ex"), NPK_PATH_TARGET), S_OK);
    EXPECT_EQ(IsMaliciousFileExtention(TEXT("")), S_OK);
    EXPECT_EQ(IsMaliciousFileExtention(nullptr), S_OK);
    EXPECT_EQ(IsMaliciousFileExtention(TEXT("exe")), S_OK);  // the leading dot is part of it
    EXPECT_EQ(IsMaliciousFileExtention(TEXT(".exe ")), S_OK);
}

// ---------------------------------------------------------------------------
// Targets, sources and the order of the checks
// ---------------------------------------------------------------------------

TEST_F(FilePathsTest, ExistingTargetIsRefusedEvenWhenHarmless)
{
    Write(Work("out.txt"), "x");
    EXPECT_EQ(Check(Work("out.txt"), NPK_PATH_TARGET), kExists);
    // An existing folder of that name counts as well.
    std::filesystem::create_directories(Work("outdir"));
    EXPECT_EQ(Check(Work("outdir"), NPK_PATH_TARGET), kExists);
    // The existence test comes before the folder and extension tests.
    EXPECT_EQ(Check("/etc/passwd", NPK_PATH_TARGET), kExists);
    Write(Work("out.exe"), "x");
    EXPECT_EQ(Check(Work("out.exe"), NPK_PATH_TARGET), kExists);
}

TEST_F(FilePathsTest, SourceMustExistOpenExclusivelyAndHoldData)
{
    Write(Work("in.txt"), "data");
    EXPECT_EQ(Check(Work("in.txt"), NPK_PATH_SOURCE), S_OK);
    EXPECT_EQ(CheckFileAvailability(ToWide(Work("in.txt")).c_str()), S_OK);

    Write(Work("empty.txt"), "");
    EXPECT_EQ(Check(Work("empty.txt"), NPK_PATH_SOURCE), kEmpty);
    EXPECT_EQ(Check(Work("missing.txt"), NPK_PATH_SOURCE), kNotFound);
    EXPECT_EQ(Check(Work("nofolder/missing.txt"), NPK_PATH_SOURCE), static_cast<HRESULT>(0x80070003L));
    EXPECT_TRUE(FAILED(Check(Work(""), NPK_PATH_SOURCE)));  // the work folder itself

    // Folder and extension tests come before the file is opened.
    EXPECT_EQ(Check("/etc/passwd", NPK_PATH_SOURCE), kMalicious);
    Write(Work("empty.exe"), "");
    EXPECT_EQ(Check(Work("empty.exe"), NPK_PATH_SOURCE), kMalicious);

    // Another kind checks neither existence nor content.
    EXPECT_EQ(Check(Work("empty.txt"), 2), S_OK);
    EXPECT_EQ(Check(Work("missing.txt"), 2), S_OK);
}

TEST_F(FilePathsTest, SourceHeldOpenByAnotherHandleIsRefused)
{
    Write(Work("held.txt"), "data");
    for (DWORD share : {DWORD(0), DWORD(FILE_SHARE_READ), DWORD(FILE_SHARE_READ | FILE_SHARE_WRITE)}) {
        HANDLE h = OpenShared(Work("held.txt"), share);
        ASSERT_NE(h, INVALID_HANDLE_VALUE);
        EXPECT_EQ(Check(Work("held.txt"), NPK_PATH_SOURCE), kSharing) << share;
        BYTE* data = reinterpret_cast<BYTE*>(1);
        DWORD size = 77;
        EXPECT_EQ(ReadFileSimple(ToWide(Work("held.txt")).c_str(), &data, &size), kSharing);
        EXPECT_EQ(data, nullptr);
        EXPECT_EQ(size, 77u);
        CloseHandle(h);
    }
    // Our own checks leave no handle behind.
    EXPECT_EQ(Check(Work("held.txt"), NPK_PATH_SOURCE), S_OK);
    HANDLE h = OpenShared(Work("held.txt"), 0);
    EXPECT_NE(h, INVALID_HANDLE_VALUE);
    CloseHandle(h);
}

TEST_F(FilePathsTest, FullPathsTooLongForTheBufferAreRefused)
{
    std::string longName = Work(std::string(300, 'a') + ".txt");
    EXPECT_EQ(Check(longName, NPK_PATH_TARGET), kTooLong);
    EXPECT_EQ(Check(longName, NPK_PATH_SOURCE), kTooLong);

    // A short relative path that only becomes too long once it is resolved.
    std::string deep = m_work;
    while (deep.size() < 250) deep += "/deeperfolder";
    std::filesystem::create_directories(deep);
    ASSERT_EQ(chdir(deep.c_str()), 0);
    EXPECT_EQ(Check("a-name-of-twenty.txt", NPK_PATH_TARGET), kTooLong);

    // 259 characters is the longest full path that fits.
    std::string fits = m_work + "/";
    fits += std::string(259 - fits.size(), 'b');
    ASSERT_EQ(fits.size(), 259u);
    EXPECT_EQ(Check(fits, NPK_PATH_TARGET), S_OK);
    EXPECT_EQ(Check(fits + "c", NPK_PATH_TARGET), kTooLong);
}

TEST_F(FilePathsTest, BadArgumentsAndNothingIsCreated)
{
    EXPECT_EQ(IsMaliciousFilePathName(nullptr, NPK_PATH_TARGET), E_INVALIDARG);
    EXPECT_TRUE(FAILED(IsMaliciousFilePathName(TEXT(""), NPK_PATH_TARGET)));
    EXPECT_EQ(CheckFileAvailability(nullptr), E_INVALIDARG);

    EXPECT_EQ(Check(UserAutostart() + "/x.txt", NPK_PATH_TARGET), kMalicious);
    EXPECT_EQ(Check(Work("new.txt"), NPK_PATH_TARGET), S_OK);
    EXPECT_FALSE(std::filesystem::exists(UserAutostart()));
    EXPECT_FALSE(std::filesystem::exists(Work("new.txt")));
}

// ---------------------------------------------------------------------------
// ReadFileSimple
// ---------------------------------------------------------------------------

TEST_F(FilePathsTest, ReadsSmallFilesWithATerminatingZero)
{
    Write(Work("three.bin"), "abc");
    BYTE* data = nullptr;
    DWORD size = 0;
    ASSERT_EQ(ReadFileSimple(ToWide(Work("three.bin")).c_str(), &data, &size), S_OK);
    ASSERT_NE(data, nullptr);
    EXPECT_EQ(size, 3u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(data), 3), "abc");
    EXPECT_EQ(data[3], 0);
    delete[] data;  // the caller owns a new[] buffer

    Write(Work("empty.bin"), "");
    data = nullptr;
    size = 99;
    ASSERT_EQ(ReadFileSimple(ToWide(Work("empty.bin")).c_str(), &data, &size), S_OK);
    ASSERT_NE(data, nullptr);
    EXPECT_EQ(size, 0u);
    EXPECT_EQ(data[0], 0);
    delete[] data;

    Write(Work("one.bin"), std::string(1, '\xFF'));
    data = nullptr;
    ASSERT_EQ(ReadFileSimple(ToWide(Work("one.bin")).c_str(), &data, nullptr), S_OK);
    ASSERT_NE(data, nullptr);
    EXPECT_EQ(data[0], 0xFF);
    EXPECT_EQ(data[1], 0);
    delete[] data;
}

TEST_F(FilePathsTest, ReadsALargeFileWhole)
{
    std::string content(5 * 1024 * 1024 + 17, 0);
    std::mt19937 rng(7);
    for (char& c : content) c = static_cast<char>(rng());
    Write(Work("large.bin"), content);
    BYTE* data = nullptr;
    DWORD size = 0;
    ASSERT_EQ(ReadFileSimple(ToWide(Work("large.bin")).c_str(), &data, &size), S_OK);
    ASSERT_EQ(size, content.size());
    EXPECT_EQ(std::memcmp(data, content.data(), size), 0);
    EXPECT_EQ(data[size], 0);
    delete[] data;
}

TEST_F(FilePathsTest, SizeOnlyWhenNoBufferIsAsked)
{
    Write(Work("seven.bin"), "1234567");
    DWORD size = 0;
    EXPECT_EQ(ReadFileSimple(ToWide(Work("seven.bin")).c_str(), nullptr, &size), S_OK);
    EXPECT_EQ(size, 7u);
    EXPECT_EQ(ReadFileSimple(ToWide(Work("seven.bin")).c_str(), nullptr, nullptr), S_OK);
    // Asking only the size still needs the file to open exclusively.
    HANDLE h = OpenShared(Work("seven.bin"), FILE_SHARE_READ);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(ReadFileSimple(ToWide(Work("seven.bin")).c_str(), nullptr, &size), kSharing);
    CloseHandle(h);
}

TEST_F(FilePathsTest, ReadFailuresLeaveNoBuffer)
{
    BYTE* data = reinterpret_cast<BYTE*>(1);
    DWORD size = 5;
    EXPECT_EQ(ReadFileSimple(nullptr, &data, &size), E_INVALIDARG);
    EXPECT_EQ(ReadFileSimple(ToWide(Work("missing.bin")).c_str(), &data, &size), kNotFound);
    EXPECT_EQ(data, nullptr);
    EXPECT_EQ(size, 5u);
    // A folder is no file to read.
    data = reinterpret_cast<BYTE*>(1);
    EXPECT_TRUE(FAILED(ReadFileSimple(ToWide(m_work).c_str(), &data, &size)));
    EXPECT_EQ(data, nullptr);
}

TEST_F(FilePathsTest, FilesOf4GiBOrMoreAreRefusedNotTruncated)
{
    std::string path = Work("huge.bin");
    int fd = open(path.c_str(), O_CREAT | O_WRONLY, 0600);
    ASSERT_GE(fd, 0);
    // Sparse: 4 GiB + 3 bytes, whose low 32 bits alone would say 3.
    ASSERT_EQ(ftruncate(fd, (1LL << 32) + 3), 0);
    close(fd);
    BYTE* data = reinterpret_cast<BYTE*>(1);
    DWORD size = 0;
    EXPECT_EQ(ReadFileSimple(ToWide(path).c_str(), &data, &size), static_cast<HRESULT>(0x800700DFL));
    EXPECT_EQ(data, nullptr);
    EXPECT_EQ(ReadFileSimple(ToWide(path).c_str(), nullptr, &size), static_cast<HRESULT>(0x800700DFL));
    // The path check sees it as a source with content.
    EXPECT_EQ(Check(path, NPK_PATH_SOURCE), S_OK);
}

}  // namespace
