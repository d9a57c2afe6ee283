// Modules: built-in system libraries, dlopen()ed libraries, handles from addresses,
// procedure lookup, reference counts and file names.
#include <gtest/gtest.h>

#include <windows.h>

#include "npk/builtin_modules.h"

#include <dlfcn.h>
#include <unistd.h>

#include <string>

namespace {

int BuiltinAnswer()
{
    return 42;
}

int AnotherAnswer()
{
    return 7;
}

std::u16string Widen(const std::string& s)
{
    int n = MultiByteToWideChar(CP_UTF8, 0, s.c_str(), -1, nullptr, 0);
    std::u16string out((size_t)n, u'\0');
    MultiByteToWideChar(CP_UTF8, 0, s.c_str(), -1, out.data(), n);
    out.resize((size_t)n - 1);
    return out;
}

std::u16string FileNameOf(HMODULE h)
{
    WCHAR buf[1024];
    DWORD n = GetModuleFileNameW(h, buf, 1024);
    return std::u16string(buf, n);
}

std::string ExecutablePath()
{
    char buf[4096];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    return n > 0 ? std::string(buf, (size_t)n) : std::string();
}

}  // namespace

TEST(BuiltinModules, RegisteredProcedureIsFoundThroughLoadLibrary)
{
    NpkRegisterBuiltinProc("ADVAPI32.DLL", "NpkTestAnswer", reinterpret_cast<FARPROC>(&BuiltinAnswer));
    HMODULE h = LoadLibraryW(TEXT("advapi32"));
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(LoadLibraryW(TEXT("AdvApi32.dll")), h);
    EXPECT_EQ(LoadLibraryW(TEXT("C:\\Windows\\System32\\advapi32.dll")), h);
    EXPECT_EQ(GetModuleHandleW(TEXT("ADVAPI32")), h);

    FARPROC p = GetProcAddress(h, "NpkTestAnswer");
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(reinterpret_cast<int (*)()>(p)(), 42);

    // Registration is per module: the same name elsewhere is a different procedure.
    NpkRegisterBuiltinProc("crypt32", "NpkTestAnswer", reinterpret_cast<FARPROC>(&AnotherAnswer));
    HMODULE c = LoadLibraryW(TEXT("crypt32.dll"));
    ASSERT_NE(c, nullptr);
    EXPECT_NE(c, h);
    EXPECT_EQ(reinterpret_cast<int (*)()>(GetProcAddress(c, "NpkTestAnswer"))(), 7);

    SetLastError(0);
    EXPECT_EQ(GetProcAddress(h, "NoSuchProcedure"), nullptr);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_PROC_NOT_FOUND);
    SetLastError(0);
    EXPECT_EQ(GetProcAddress(h, reinterpret_cast<LPCSTR>(5)), nullptr);  // ordinal
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_PROC_NOT_FOUND);

    for (int i = 0; i < 3; ++i) EXPECT_TRUE(FreeLibrary(h));
    EXPECT_TRUE(FreeLibrary(c));
    // A built-in module stays usable after its references are released.
    EXPECT_EQ(reinterpret_cast<int (*)()>(GetProcAddress(h, "NpkTestAnswer"))(), 42);
}

TEST(BuiltinModules, SystemLibraryWithoutProceduresStillLoads)
{
    HMODULE h = LoadLibraryW(TEXT("cryptui.dll"));
    ASSERT_NE(h, nullptr);
    SetLastError(0);
    EXPECT_EQ(GetProcAddress(h, "Anything"), nullptr);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_PROC_NOT_FOUND);
    EXPECT_TRUE(FreeLibrary(h));
}

TEST(Modules, MissingLibraryAndBadArguments)
{
    SetLastError(0);
    EXPECT_EQ(LoadLibraryW(TEXT("npk-no-such-library.so")), nullptr);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_MOD_NOT_FOUND);
    SetLastError(0);
    EXPECT_EQ(LoadLibraryW(TEXT("nosuch.dll")), nullptr);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_MOD_NOT_FOUND);
    SetLastError(0);
    EXPECT_EQ(LoadLibraryW(nullptr), nullptr);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    SetLastError(0);
    EXPECT_EQ(LoadLibraryExW(TEXT("advapi32"), nullptr, LOAD_LIBRARY_AS_DATAFILE), nullptr);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    SetLastError(0);
    EXPECT_EQ(GetModuleHandleW(TEXT("npk-not-loaded.so")), nullptr);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_MOD_NOT_FOUND);
}

TEST(Modules, HandleFromAnAddressOfTheExecutable)
{
    HMODULE fromAddress = nullptr;
    ASSERT_TRUE(GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                                   reinterpret_cast<LPCWSTR>(&BuiltinAnswer), &fromAddress));
    EXPECT_EQ(fromAddress, GetModuleHandleW(nullptr));
    Dl_info di{};
    ASSERT_NE(dladdr(reinterpret_cast<void*>(&BuiltinAnswer), &di), 0);
    EXPECT_EQ(reinterpret_cast<void*>(fromAddress), di.dli_fbase);

    EXPECT_EQ(FileNameOf(fromAddress), Widen(ExecutablePath()));
    EXPECT_EQ(FileNameOf(nullptr), Widen(ExecutablePath()));

    // The executable's imports are not its own procedures.
    SetLastError(0);
    EXPECT_EQ(GetProcAddress(fromAddress, "dlopen"), nullptr);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_PROC_NOT_FOUND);
}

TEST(Modules, HandleFromAFunctionOfTheCLibrary)
{
    void* getpidAddress = dlsym(RTLD_DEFAULT, "getpid");
    ASSERT_NE(getpidAddress, nullptr);
    HMODULE libc = nullptr;
    ASSERT_TRUE(GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                                   reinterpret_cast<LPCWSTR>(getpidAddress), &libc));
    ASSERT_NE(libc, nullptr);
    EXPECT_NE(libc, GetModuleHandleW(nullptr));
    EXPECT_EQ(reinterpret_cast<void*>(GetProcAddress(libc, "getpid")), getpidAddress);
    EXPECT_NE(FileNameOf(libc).find(u"libc"), std::u16string::npos);

    std::u16string path = FileNameOf(libc);
    EXPECT_EQ(GetModuleHandleW(path.c_str()), libc);
    EXPECT_TRUE(FreeLibrary(libc));  // balances the reference the call above took
}

TEST(Modules, HandleFromAnAddressOutsideAnyModule)
{
    int* heap = new int(5);
    HMODULE h = reinterpret_cast<HMODULE>(1);
    SetLastError(0);
    EXPECT_FALSE(GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<LPCWSTR>(heap), &h));
    EXPECT_EQ(h, nullptr);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_MOD_NOT_FOUND);
    delete heap;

    SetLastError(0);
    EXPECT_FALSE(GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_PIN | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                                    nullptr, &h));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    EXPECT_FALSE(GetModuleHandleExW(0, nullptr, nullptr));
}

TEST(Modules, LoadAndFreeBalanceReferences)
{
    // A library the test does not otherwise use, so that its unloading can be observed.
    const LPCWSTR name = TEXT("libbz2.so.1");
    if (GetModuleHandleW(name) != nullptr) GTEST_SKIP() << "libbz2 is already loaded";
    HMODULE a = LoadLibraryW(name);
    if (a == nullptr) GTEST_SKIP() << "libbz2 is not installed";
    HMODULE b = LoadLibraryW(name);
    EXPECT_EQ(a, b);
    EXPECT_EQ(GetModuleHandleW(name), a);
    FARPROC version = GetProcAddress(a, "BZ2_bzlibVersion");
    ASSERT_NE(version, nullptr);
    Dl_info di{};
    ASSERT_NE(dladdr(reinterpret_cast<void*>(version), &di), 0);
    EXPECT_EQ(di.dli_fbase, reinterpret_cast<void*>(a));

    EXPECT_TRUE(FreeLibrary(a));
    EXPECT_EQ(GetModuleHandleW(name), a);  // one reference left
    EXPECT_TRUE(FreeLibrary(b));
    EXPECT_EQ(GetModuleHandleW(name), nullptr);
}

TEST(Modules, FileNameTruncatesLikeWindows)
{
    std::u16string full = FileNameOf(nullptr);
    ASSERT_GT(full.size(), 4u);
    WCHAR small[5] = {1, 1, 1, 1, 1};
    SetLastError(0);
    EXPECT_EQ(GetModuleFileNameW(nullptr, small, 5), 5u);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(std::u16string(small), full.substr(0, 4));

    SetLastError(0);
    EXPECT_EQ(GetModuleFileNameW(reinterpret_cast<HMODULE>(0x10), small, 5), 0u);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_MOD_NOT_FOUND);
}
