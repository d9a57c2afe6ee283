// CreateFileW and the functions of an open file: dispositions, share modes in one process
// and between processes, sizes past 4 GiB, reads and writes, handles.
#include <gtest/gtest.h>
#include "WideText.h"

#include <windows.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

std::string ReadAll(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteAll(const std::string& path, const std::string& data)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << data;
}

class FilesTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/npk-files-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
    }
    void TearDown() override
    {
        std::string cmd = "rm -rf '" + dir_ + "'";
        ASSERT_EQ(system(cmd.c_str()), 0);
    }
    std::string Path(const std::string& name) const { return dir_ + "/" + name; }
    Wide WPath(const std::string& name) const { return ToWide(Path(name)); }

    HANDLE Open(const std::string& name, DWORD access, DWORD share, DWORD disposition = OPEN_EXISTING)
    {
        return CreateFileW(WPath(name).c_str(), access, share, nullptr, disposition,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    }

    std::string dir_;
};

// ---------------------------------------------------------------------------
// Dispositions
// ---------------------------------------------------------------------------
TEST_F(FilesTest, CreateNewRefusesAnExistingFileAndLeavesItAlone)
{
    const std::string original("keep\0me\xff", 8);
    WriteAll(Path("f"), original);
    SetLastError(0);
    HANDLE h = Open("f", GENERIC_READ | GENERIC_WRITE, 0, CREATE_NEW);
    EXPECT_EQ(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_FILE_EXISTS);
    EXPECT_EQ(ReadAll(Path("f")), original);

    HANDLE made = Open("new", GENERIC_WRITE, 0, CREATE_NEW);
    ASSERT_NE(made, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_SUCCESS);
    EXPECT_TRUE(CloseHandle(made));
    struct stat st;
    EXPECT_EQ(stat(Path("new").c_str(), &st), 0);
}

TEST_F(FilesTest, OpenExistingTellsMissingFileFromMissingFolder)
{
    EXPECT_EQ(Open("missing", GENERIC_READ, 0), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(Open("nodir/missing", GENERIC_READ, 0), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_PATH_NOT_FOUND);
    WriteAll(Path("plain"), "x");
    EXPECT_EQ(Open("plain/below", GENERIC_READ, 0), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_PATH_NOT_FOUND);
    // Nothing was made on the way.
    struct stat st;
    EXPECT_NE(stat(Path("missing").c_str(), &st), 0);
}

TEST_F(FilesTest, AlwaysDispositionsReportAnExistingFile)
{
    WriteAll(Path("f"), "content");
    HANDLE h = Open("f", GENERIC_READ | GENERIC_WRITE, 0, OPEN_ALWAYS);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ALREADY_EXISTS);
    CloseHandle(h);
    EXPECT_EQ(ReadAll(Path("f")), "content");

    h = Open("f", GENERIC_WRITE, 0, CREATE_ALWAYS);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ALREADY_EXISTS);
    CloseHandle(h);
    EXPECT_EQ(ReadAll(Path("f")), "");

    h = Open("g", GENERIC_WRITE, 0, OPEN_ALWAYS);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_SUCCESS);
    CloseHandle(h);
    h = Open("h", GENERIC_WRITE, 0, CREATE_ALWAYS);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_SUCCESS);
    CloseHandle(h);
}

TEST_F(FilesTest, TruncateExistingNeedsWriteAccessAndAFile)
{
    WriteAll(Path("f"), "12345");
    EXPECT_EQ(Open("f", GENERIC_READ, 0, TRUNCATE_EXISTING), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    EXPECT_EQ(ReadAll(Path("f")), "12345");
    EXPECT_EQ(Open("none", GENERIC_WRITE, 0, TRUNCATE_EXISTING), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_FILE_NOT_FOUND);
    HANDLE h = Open("f", GENERIC_WRITE, 0, TRUNCATE_EXISTING);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    CloseHandle(h);
    EXPECT_EQ(ReadAll(Path("f")), "");
}

TEST_F(FilesTest, BadArgumentsAndFoldersAreRefused)
{
    EXPECT_EQ(CreateFileW(nullptr, GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    WriteAll(Path("f"), "x");
    EXPECT_EQ(Open("f", GENERIC_READ, 0, 0), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    EXPECT_EQ(Open("f", GENERIC_READ, 0, 6), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);

    ASSERT_EQ(mkdir(Path("sub").c_str(), 0700), 0);
    EXPECT_EQ(Open("sub", GENERIC_READ, 0), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ACCESS_DENIED);
    EXPECT_EQ(Open("sub", GENERIC_WRITE, 0, CREATE_ALWAYS), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ACCESS_DENIED);
    EXPECT_EQ(Open("sub", GENERIC_WRITE, 0, CREATE_NEW), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_FILE_EXISTS);
    struct stat st;
    ASSERT_EQ(stat(Path("sub").c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
}

TEST_F(FilesTest, PathsAreResolvedAsOnWindows)
{
    ASSERT_EQ(mkdir(Path("sub").c_str(), 0700), 0);
    WriteAll(Path("sub/f"), "data");
    // A backslash separates, and ".." is resolved in the text.
    HANDLE h = Open("sub\\f", GENERIC_READ, 0);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    CloseHandle(h);
    h = Open("sub/../sub/./f", GENERIC_READ, 0);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    CloseHandle(h);
}

// ---------------------------------------------------------------------------
// Share modes in this process
// ---------------------------------------------------------------------------
TEST_F(FilesTest, ExclusiveOpenExcludesEveryOtherOpenUntilClosed)
{
    WriteAll(Path("f"), "x");
    HANDLE first = Open("f", GENERIC_READ, 0);
    ASSERT_NE(first, INVALID_HANDLE_VALUE);
    EXPECT_EQ(Open("f", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_SHARING_VIOLATION);
    EXPECT_EQ(Open("f", GENERIC_WRITE, FILE_SHARE_READ), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_SHARING_VIOLATION);
    ASSERT_TRUE(CloseHandle(first));

    HANDLE again = Open("f", GENERIC_READ, 0);
    EXPECT_NE(again, INVALID_HANDLE_VALUE);
    CloseHandle(again);
}

TEST_F(FilesTest, SharedReadersAdmitReadersButNotExclusiveOrWriters)
{
    WriteAll(Path("f"), "x");
    HANDLE a = Open("f", GENERIC_READ, FILE_SHARE_READ);
    HANDLE b = Open("f", GENERIC_READ, FILE_SHARE_READ);
    ASSERT_NE(a, INVALID_HANDLE_VALUE);
    ASSERT_NE(b, INVALID_HANDLE_VALUE);
    // Read-then-exclusive: the new open does not share the read access already taken.
    EXPECT_EQ(Open("f", GENERIC_READ, 0), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_SHARING_VIOLATION);
    // A writer that shares everything is still refused: the readers did not share writing.
    EXPECT_EQ(Open("f", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_SHARING_VIOLATION);
    CloseHandle(a);
    EXPECT_EQ(Open("f", GENERIC_READ, 0), INVALID_HANDLE_VALUE);  // b still holds it
    CloseHandle(b);
    HANDLE c = Open("f", GENERIC_READ, 0);
    EXPECT_NE(c, INVALID_HANDLE_VALUE);
    CloseHandle(c);
}

TEST_F(FilesTest, ReadersAndWritersThatShareBothCoexist)
{
    WriteAll(Path("f"), "x");
    HANDLE w = Open("f", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE);
    HANDLE r = Open("f", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE);
    EXPECT_NE(w, INVALID_HANDLE_VALUE);
    EXPECT_NE(r, INVALID_HANDLE_VALUE);
    // A reader that refuses writers cannot join a file that is open for writing.
    EXPECT_EQ(Open("f", GENERIC_READ, FILE_SHARE_READ), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_SHARING_VIOLATION);
    CloseHandle(w);
    CloseHandle(r);
}

TEST_F(FilesTest, RefusedCreateAlwaysDoesNotTruncate)
{
    WriteAll(Path("f"), "precious");
    HANDLE holder = Open("f", GENERIC_READ, 0);
    ASSERT_NE(holder, INVALID_HANDLE_VALUE);
    EXPECT_EQ(Open("f", GENERIC_WRITE, FILE_SHARE_READ, CREATE_ALWAYS), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_SHARING_VIOLATION);
    EXPECT_EQ(ReadAll(Path("f")), "precious");
    CloseHandle(holder);
}

TEST_F(FilesTest, DeleteNeedsEveryOpenToShareDeletion)
{
    WriteAll(Path("f"), "x");
    HANDLE h = Open("f", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_FALSE(DeleteFileW(WPath("f").c_str()));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_SHARING_VIOLATION);
    struct stat st;
    EXPECT_EQ(stat(Path("f").c_str(), &st), 0);
    CloseHandle(h);

    h = Open("f", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(DeleteFileW(WPath("f").c_str()));
    EXPECT_NE(stat(Path("f").c_str(), &st), 0);
    CloseHandle(h);

    EXPECT_FALSE(DeleteFileW(WPath("f").c_str()));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_FILE_NOT_FOUND);
    ASSERT_EQ(mkdir(Path("sub").c_str(), 0700), 0);
    EXPECT_FALSE(DeleteFileW(WPath("sub").c_str()));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ACCESS_DENIED);
}

TEST_F(FilesTest, DeleteOnCloseRemovesTheFileWithItsHandle)
{
    WriteAll(Path("f"), "x");
    HANDLE other = Open("f", GENERIC_READ, FILE_SHARE_READ);
    ASSERT_NE(other, INVALID_HANDLE_VALUE);
    // The other open did not share deletion, so deleting on close is refused.
    HANDLE h = CreateFileW(WPath("f").c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE,
                           nullptr, OPEN_EXISTING, FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    EXPECT_EQ(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_SHARING_VIOLATION);
    CloseHandle(other);

    h = CreateFileW(WPath("f").c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                    OPEN_EXISTING, FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    struct stat st;
    EXPECT_EQ(stat(Path("f").c_str(), &st), 0);
    CloseHandle(h);
    EXPECT_NE(stat(Path("f").c_str(), &st), 0);
}

// ---------------------------------------------------------------------------
// Share modes between processes
// ---------------------------------------------------------------------------
TEST_F(FilesTest, ExclusiveOpenInAnotherProcessRefusesOursUntilItExits)
{
    WriteAll(Path("f"), "x");
    const Wide path = WPath("f");
    int ready[2], release[2];
    ASSERT_EQ(pipe(ready), 0);
    ASSERT_EQ(pipe(release), 0);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        HANDLE h = CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
        char c = h != INVALID_HANDLE_VALUE ? 'y' : 'n';
        if (write(ready[1], &c, 1) != 1) _exit(2);
        if (read(release[0], &c, 1) != 1) _exit(3);
        _exit(0);  // the open is dropped with the process
    }
    char c = 0;
    ASSERT_EQ(read(ready[0], &c, 1), 1);
    ASSERT_EQ(c, 'y');
    EXPECT_EQ(Open("f", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_SHARING_VIOLATION);
    EXPECT_EQ(Open("f", GENERIC_READ, 0), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_SHARING_VIOLATION);
    ASSERT_EQ(write(release[1], "g", 1), 1);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    HANDLE h = Open("f", GENERIC_READ, 0);
    EXPECT_NE(h, INVALID_HANDLE_VALUE);
    CloseHandle(h);
    for (int fd : {ready[0], ready[1], release[0], release[1]}) close(fd);
}

// The child tries one open and exits with its last error (0 on success).
int OpenInChild(const Wide& path, DWORD access, DWORD share)
{
    pid_t child = fork();
    if (child == 0) {
        HANDLE h = CreateFileW(path.c_str(), access, share, nullptr, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
        _exit(h != INVALID_HANDLE_VALUE ? 0 : (int)GetLastError());
    }
    int status = 0;
    if (child < 0 || waitpid(child, &status, 0) != child || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
}

// A process that holds the file open, with nothing of this process's own table: the
// processes that test against it are its siblings, so only the cross-process locks
// can tell them about its open.
class Holder {
public:
    Holder(const Wide& path, DWORD access, DWORD share)
    {
        if (pipe(ready_) != 0 || pipe(release_) != 0) return;
        pid_ = fork();
        if (pid_ == 0) {
            HANDLE h = CreateFileW(path.c_str(), access, share, nullptr, OPEN_EXISTING,
                                   FILE_ATTRIBUTE_NORMAL, nullptr);
            char c = h != INVALID_HANDLE_VALUE ? 'y' : 'n';
            if (write(ready_[1], &c, 1) != 1) _exit(2);
            if (read(release_[0], &c, 1) != 1) _exit(3);
            _exit(0);
        }
        char c = 0;
        holding_ = pid_ > 0 && read(ready_[0], &c, 1) == 1 && c == 'y';
    }
    ~Holder()
    {
        if (pid_ > 0) {
            if (write(release_[1], "g", 1) != 1) kill(pid_, SIGKILL);
            int status;
            waitpid(pid_, &status, 0);
        }
        for (int fd : {ready_[0], ready_[1], release_[0], release_[1]})
            if (fd >= 0) close(fd);
    }
    bool holding() const { return holding_; }

private:
    pid_t pid_ = -1;
    int ready_[2] = {-1, -1};
    int release_[2] = {-1, -1};
    bool holding_ = false;
};

TEST_F(FilesTest, OpensOfTwoOtherProcessesAreCheckedAgainstEachOther)
{
    WriteAll(Path("f"), "x");
    const Wide path = WPath("f");
    {
        Holder reader(path, GENERIC_READ, FILE_SHARE_READ);
        ASSERT_TRUE(reader.holding());
        EXPECT_EQ(OpenInChild(path, GENERIC_READ, 0), (int)ERROR_SHARING_VIOLATION);
        EXPECT_EQ(OpenInChild(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ),
                  (int)ERROR_SHARING_VIOLATION);
        EXPECT_EQ(OpenInChild(path, GENERIC_READ, FILE_SHARE_READ), 0);
        EXPECT_EQ(OpenInChild(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE), 0);
    }
    EXPECT_EQ(OpenInChild(path, GENERIC_READ, 0), 0);  // released with the holder
    {
        Holder writer(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ);
        ASSERT_TRUE(writer.holding());
        EXPECT_EQ(OpenInChild(path, GENERIC_READ, FILE_SHARE_READ), (int)ERROR_SHARING_VIOLATION);
        EXPECT_EQ(OpenInChild(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE), 0);
        EXPECT_EQ(OpenInChild(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE),
                  (int)ERROR_SHARING_VIOLATION);
        // Deleting is refused too: the holder did not share deletion.
        EXPECT_FALSE(DeleteFileW(path.c_str()));
        EXPECT_EQ(GetLastError(), (DWORD)ERROR_SHARING_VIOLATION);
    }
    HANDLE h = Open("f", GENERIC_READ, FILE_SHARE_READ);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(OpenInChild(path, GENERIC_READ, 0), (int)ERROR_SHARING_VIOLATION);
    CloseHandle(h);
}

// ---------------------------------------------------------------------------
// Sizes, reads, writes
// ---------------------------------------------------------------------------
TEST_F(FilesTest, SizesOfEmptyOneByteAndHugeFiles)
{
    WriteAll(Path("empty"), "");
    WriteAll(Path("one"), "1");
    int fd = open(Path("huge").c_str(), O_CREAT | O_WRONLY, 0600);
    ASSERT_GE(fd, 0);
    const off_t fiveGiB = (off_t)5 << 30;
    ASSERT_EQ(ftruncate(fd, fiveGiB), 0);  // sparse: no space is used
    close(fd);

    struct Case { const char* name; LONGLONG size; };
    for (Case c : {Case{"empty", 0}, Case{"one", 1}, Case{"huge", fiveGiB}}) {
        HANDLE h = Open(c.name, GENERIC_READ, FILE_SHARE_READ);
        ASSERT_NE(h, INVALID_HANDLE_VALUE) << c.name;
        LARGE_INTEGER size = {};
        EXPECT_TRUE(GetFileSizeEx(h, &size));
        EXPECT_EQ(size.QuadPart, c.size) << c.name;
        DWORD high = 0xDEAD;
        EXPECT_EQ(GetFileSize(h, &high), (DWORD)(c.size & 0xFFFFFFFF)) << c.name;
        EXPECT_EQ(high, (DWORD)(c.size >> 32)) << c.name;
        EXPECT_EQ(GetFileSize(h, nullptr), (DWORD)(c.size & 0xFFFFFFFF)) << c.name;
        CloseHandle(h);
    }
}

TEST_F(FilesTest, SizeWithAllOnesLowPartIsNotAFailure)
{
    int fd = open(Path("f").c_str(), O_CREAT | O_WRONLY, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ftruncate(fd, (off_t)0xFFFFFFFF), 0);
    close(fd);
    HANDLE h = Open("f", GENERIC_READ, 0);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    SetLastError(ERROR_GEN_FAILURE);
    DWORD high = 7;
    EXPECT_EQ(GetFileSize(h, &high), INVALID_FILE_SIZE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_SUCCESS);
    EXPECT_EQ(high, 0u);
    CloseHandle(h);
}

TEST_F(FilesTest, WriteThenReadBackAndReadAtEnd)
{
    std::string data(100000, 0);
    for (size_t i = 0; i < data.size(); ++i) data[i] = (char)(i * 7 + 3);
    HANDLE w = Open("f", GENERIC_WRITE, 0, CREATE_NEW);
    ASSERT_NE(w, INVALID_HANDLE_VALUE);
    DWORD written = 0;
    EXPECT_TRUE(WriteFile(w, data.data(), (DWORD)data.size(), &written, nullptr));
    EXPECT_EQ(written, data.size());
    DWORD count = 5;
    EXPECT_FALSE(ReadFile(w, &count, 1, &count, nullptr));  // no read access
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ACCESS_DENIED);
    CloseHandle(w);
    EXPECT_EQ(ReadAll(Path("f")), data);

    HANDLE r = Open("f", GENERIC_READ, FILE_SHARE_READ);
    ASSERT_NE(r, INVALID_HANDLE_VALUE);
    std::string back(data.size() + 10, 'z');
    DWORD got = 0;
    EXPECT_TRUE(ReadFile(r, back.data(), (DWORD)back.size(), &got, nullptr));
    EXPECT_EQ(got, data.size());
    back.resize(got);
    EXPECT_EQ(back, data);
    got = 99;
    char more[4];
    EXPECT_TRUE(ReadFile(r, more, sizeof more, &got, nullptr));  // end of file
    EXPECT_EQ(got, 0u);
    EXPECT_FALSE(WriteFile(r, "x", 1, &written, nullptr));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ACCESS_DENIED);
    EXPECT_EQ(written, 0u);

    // Seeking back, and a transfer at an explicit offset.
    LARGE_INTEGER to, now;
    to.QuadPart = 10;
    EXPECT_TRUE(SetFilePointerEx(r, to, &now, FILE_BEGIN));
    EXPECT_EQ(now.QuadPart, 10);
    EXPECT_TRUE(ReadFile(r, more, 2, &got, nullptr));
    EXPECT_EQ(std::string(more, 2), data.substr(10, 2));
    to.QuadPart = -100;
    EXPECT_FALSE(SetFilePointerEx(r, to, &now, FILE_BEGIN));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_NEGATIVE_SEEK);
    OVERLAPPED at = {};
    at.Offset = 500;
    EXPECT_TRUE(ReadFile(r, more, 3, &got, &at));
    EXPECT_EQ(std::string(more, 3), data.substr(500, 3));
    CloseHandle(r);
}

TEST_F(FilesTest, SetEndOfFileCutsAtThePointer)
{
    WriteAll(Path("f"), "0123456789");
    HANDLE h = Open("f", GENERIC_READ | GENERIC_WRITE, 0);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    LARGE_INTEGER to;
    to.QuadPart = 4;
    ASSERT_TRUE(SetFilePointerEx(h, to, nullptr, FILE_BEGIN));
    EXPECT_TRUE(SetEndOfFile(h));
    CloseHandle(h);
    EXPECT_EQ(ReadAll(Path("f")), "0123");
}

// ---------------------------------------------------------------------------
// Handles and attributes
// ---------------------------------------------------------------------------
TEST_F(FilesTest, OnlyLiveHandlesOfTheLayerAreAccepted)
{
    int local = 0;
    for (HANDLE bogus : {(HANDLE)nullptr, INVALID_HANDLE_VALUE, (HANDLE)(uintptr_t)0x12345,
                         (HANDLE)&local}) {
        SetLastError(0);
        EXPECT_FALSE(CloseHandle(bogus));
        EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
    }
    WriteAll(Path("f"), "x");
    HANDLE h = Open("f", GENERIC_READ, 0);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(CloseHandle(h));
    EXPECT_FALSE(CloseHandle(h));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
    char c;
    DWORD got;
    EXPECT_FALSE(ReadFile(h, &c, 1, &got, nullptr));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
    LARGE_INTEGER size;
    EXPECT_FALSE(GetFileSizeEx(h, &size));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
    EXPECT_EQ(GetFileSize(h, nullptr), INVALID_FILE_SIZE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
}

TEST_F(FilesTest, AttributesOfFilesFoldersAndMissingNames)
{
    WriteAll(Path("f"), "x");
    ASSERT_EQ(mkdir(Path("sub").c_str(), 0700), 0);
    EXPECT_EQ(GetFileAttributesW(WPath("f").c_str()), (DWORD)FILE_ATTRIBUTE_NORMAL);
    EXPECT_EQ(GetFileAttributesW(WPath("sub").c_str()), (DWORD)FILE_ATTRIBUTE_DIRECTORY);
    ASSERT_EQ(chmod(Path("f").c_str(), 0444), 0);
    EXPECT_EQ(GetFileAttributesW(WPath("f").c_str()), (DWORD)FILE_ATTRIBUTE_READONLY);
    EXPECT_EQ(GetFileAttributesW(WPath("none").c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_FILE_NOT_FOUND);
}

// ---------------------------------------------------------------------------
// Final paths
// ---------------------------------------------------------------------------

TEST_F(FilesTest, FoldersOpenOnlyWithBackupSemanticsAndOnlyToBeAskedAbout)
{
    ASSERT_EQ(mkdir(Path("sub").c_str(), 0700), 0);
    HANDLE h = CreateFileW(WPath("sub").c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                           FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    char buffer[4];
    DWORD read = 7;
    EXPECT_FALSE(ReadFile(h, buffer, sizeof buffer, &read, nullptr));
    EXPECT_EQ(read, 0u);
    EXPECT_TRUE(CloseHandle(h));
    // Writing to a folder is refused even with backup semantics.
    EXPECT_EQ(CreateFileW(WPath("sub").c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS,
                          nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ACCESS_DENIED);
}

TEST_F(FilesTest, FinalPathFollowsEveryLinkOfFilesAndFolders)
{
    ASSERT_EQ(mkdir(Path("real").c_str(), 0700), 0);
    WriteAll(Path("real/f.txt"), "x");
    ASSERT_EQ(symlink(Path("real").c_str(), Path("alias").c_str()), 0);
    ASSERT_EQ(symlink(Path("alias/f.txt").c_str(), Path("link.txt").c_str()), 0);

    auto finalPath = [&](const std::string& name) {
        HANDLE h = CreateFileW(WPath(name).c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                               OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
        EXPECT_NE(h, INVALID_HANDLE_VALUE) << name;
        WCHAR text[MAX_PATH];
        DWORD n = GetFinalPathNameByHandleW(h, text, MAX_PATH, FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
        EXPECT_EQ(GetLastError(), (DWORD)ERROR_SUCCESS);
        CloseHandle(h);
        std::string narrow;  // the test's paths are ASCII
        for (DWORD i = 0; i < n && i < MAX_PATH; ++i) narrow += static_cast<char>(text[i]);
        return narrow;
    };
    EXPECT_EQ(finalPath("alias"), Path("real"));
    EXPECT_EQ(finalPath("link.txt"), Path("real/f.txt"));
    EXPECT_EQ(finalPath("alias/f.txt"), Path("real/f.txt"));
}

TEST_F(FilesTest, FinalPathSizeQueryAndBadArguments)
{
    WriteAll(Path("f"), "x");
    HANDLE h = Open("f", GENERIC_READ, FILE_SHARE_READ);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    const DWORD needed = static_cast<DWORD>(Path("f").size()) + 1;
    EXPECT_EQ(GetFinalPathNameByHandleW(h, nullptr, 0, 0), needed);
    std::vector<WCHAR> exact(needed, 0x7777);
    EXPECT_EQ(GetFinalPathNameByHandleW(h, exact.data(), needed - 1, 0), needed) << "one short of the NUL";
    EXPECT_EQ(exact[0], 0x7777) << "nothing is written when it does not fit";
    EXPECT_EQ(GetFinalPathNameByHandleW(h, exact.data(), needed, 0), needed - 1);
    EXPECT_EQ(exact[needed - 1], 0);
    EXPECT_EQ(GetFinalPathNameByHandleW(h, exact.data(), needed, 0x80), 0u);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    CloseHandle(h);
    EXPECT_EQ(GetFinalPathNameByHandleW(h, exact.data(), needed, 0), 0u);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
}

}  // namespace
