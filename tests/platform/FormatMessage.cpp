// FormatMessageW/A: the system table, Win32 HRESULTs, buffers, width control, inserts from
// arrays and va_lists, and message tables of modules.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdarg>
#include <string>
#include <vector>

#include "kernel32/resources/ResourceImage.h"
#include "kernel32/resources/SystemMessages.h"
#include "kernel32/resources/SystemMessagesLocalized.h"

namespace {

std::u16string System(DWORD id, DWORD flags = 0, DWORD language = 0)
{
    WCHAR buffer[512];
    DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | flags, nullptr, id, language, buffer, 512, nullptr);
    return std::u16string(buffer, n);
}

DWORD FromStringV(std::u16string* out, DWORD flags, const char16_t* format, ...)
{
    va_list ap;
    va_start(ap, format);
    WCHAR buffer[256];
    DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_STRING | flags, format, 0, 0, buffer, 256, &ap);
    va_end(ap);
    *out = std::u16string(buffer, n);
    return n;
}

std::u16string FromArray(const char16_t* format, const std::vector<DWORD_PTR>& args, DWORD flags = 0)
{
    WCHAR buffer[256];
    DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_STRING | FORMAT_MESSAGE_ARGUMENT_ARRAY | flags, format, 0, 0,
                             buffer, 256, (va_list*)args.data());
    return std::u16string(buffer, n);
}

}  // namespace

// ---------------------------------------------------------------------------
// The system table
// ---------------------------------------------------------------------------

TEST(SystemMessages, TextsEndWithALineBreak)
{
    EXPECT_EQ(System(0), u"The operation completed successfully.\r\n");
    EXPECT_EQ(System(ERROR_FILE_NOT_FOUND), u"The system cannot find the file specified.\r\n");
    EXPECT_EQ(System(ERROR_ACCESS_DENIED), u"Access is denied.\r\n");
    EXPECT_EQ(System(0x80004001), u"Not implemented\r\n");
    EXPECT_EQ(System(0x80004005), u"Unspecified error\r\n");
    EXPECT_EQ(System(0x8000FFFF), u"Catastrophic failure\r\n");
    EXPECT_EQ(System(0x80090006), u"Invalid Signature.\r\n");
    EXPECT_EQ(System(0x80092004), u"Cannot find object or property.\r\n");
    EXPECT_EQ(System(0x8009200C), u"Cannot find the certificate and private key to use for decryption.\r\n");
    EXPECT_EQ(System(0x80091010), u"The streamed cryptographic message is not ready to return data.\r\n");
}

TEST(SystemMessages, Win32HResultsFindTheirWin32Text)
{
    EXPECT_EQ(System(0x80070002), System(2));
    EXPECT_EQ(System(0x80070057), u"The parameter is incorrect.\r\n");
    EXPECT_EQ(System(0x8007000E), System(ERROR_OUTOFMEMORY));
    EXPECT_EQ(System(0x80070490), System(ERROR_NOT_FOUND));
    // Only FACILITY_WIN32 failures map; another facility with the same low word does not.
    SetLastError(0);
    EXPECT_EQ(System(0x80080002), u"");
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_MR_MID_NOT_FOUND);
}

TEST(SystemMessages, EveryWin32CodeOfTheHeadersHasAText)
{
    const DWORD codes[] = {
        ERROR_SUCCESS, ERROR_INVALID_FUNCTION, ERROR_FILE_NOT_FOUND, ERROR_PATH_NOT_FOUND,
        ERROR_TOO_MANY_OPEN_FILES, ERROR_ACCESS_DENIED, ERROR_INVALID_HANDLE, ERROR_NOT_ENOUGH_MEMORY,
        ERROR_INVALID_DATA, ERROR_OUTOFMEMORY, ERROR_INVALID_DRIVE, ERROR_NO_MORE_FILES, ERROR_WRITE_PROTECT,
        ERROR_NOT_READY, ERROR_CRC, ERROR_SEEK, ERROR_WRITE_FAULT, ERROR_READ_FAULT, ERROR_GEN_FAILURE,
        ERROR_SHARING_VIOLATION, ERROR_LOCK_VIOLATION, ERROR_HANDLE_EOF, ERROR_HANDLE_DISK_FULL,
        ERROR_NOT_SUPPORTED, ERROR_FILE_EXISTS, ERROR_INVALID_PARAMETER, ERROR_BROKEN_PIPE, ERROR_OPEN_FAILED,
        ERROR_BUFFER_OVERFLOW, ERROR_DISK_FULL, ERROR_CALL_NOT_IMPLEMENTED, ERROR_INSUFFICIENT_BUFFER,
        ERROR_INVALID_NAME, ERROR_MOD_NOT_FOUND, ERROR_PROC_NOT_FOUND, ERROR_NEGATIVE_SEEK, ERROR_DIR_NOT_EMPTY,
        ERROR_BAD_PATHNAME, ERROR_ALREADY_EXISTS, ERROR_FILENAME_EXCED_RANGE, ERROR_MORE_DATA,
        ERROR_NO_MORE_ITEMS, ERROR_DIRECTORY, ERROR_INVALID_ADDRESS, ERROR_ARITHMETIC_OVERFLOW,
        ERROR_NO_UNICODE_TRANSLATION, ERROR_RESOURCE_DATA_NOT_FOUND, ERROR_RESOURCE_TYPE_NOT_FOUND,
        ERROR_RESOURCE_NAME_NOT_FOUND, ERROR_RESOURCE_LANG_NOT_FOUND, ERROR_NOT_FOUND, ERROR_CANCELLED,
        ERROR_BADKEY, ERROR_CANTOPEN, ERROR_CANTREAD, ERROR_CANTWRITE, ERROR_KEY_DELETED, ERROR_INVALID_FLAGS,
        ERROR_WMI_INSTANCE_NOT_FOUND, ERROR_WMI_GUID_NOT_FOUND, ERROR_WMI_ALREADY_ENABLED, ERROR_BAD_LENGTH,
        ERROR_BAD_FORMAT, ERROR_INVALID_USER_BUFFER, ERROR_NOACCESS};
    for (DWORD code : codes) {
        std::u16string text = System(code);
        ASSERT_GE(text.size(), 3u) << code;
        EXPECT_EQ(text.substr(text.size() - 2), u"\r\n") << code;
        EXPECT_EQ(System(0x80070000 | code), code == 0 ? System(0) : text) << code;
    }
}

TEST(SystemMessages, CryptographyCodesOfTheHeadersHaveTexts)
{
    std::vector<DWORD> codes;
    for (DWORD c = 0x80090001; c <= 0x80090023; ++c) codes.push_back(c);
    for (DWORD c = 0x80091001; c <= 0x80091011; ++c) codes.push_back(c);
    for (DWORD c = 0x80092001; c <= 0x80092014; ++c) codes.push_back(c);
    for (DWORD c = 0x80092020; c <= 0x8009202C; ++c) codes.push_back(c);
    for (DWORD c : {0x80090027u, 0x80090028u, 0x80090029u, 0x80093000u, 0x80093100u, 0x80093101u, 0x80093102u,
                    0x80093103u, 0x80093104u, 0x80093106u, 0x80093109u, 0x8009310Bu, 0x800B0100u, 0x800B0101u,
                    0x800B0109u, 0x800B010Au, 0x800B0110u, 0x8010006Eu})
        codes.push_back(c);
    for (DWORD code : codes) {
        if (code >= 0x80090024 && code <= 0x80090026) continue;
        EXPECT_FALSE(System(code).empty()) << std::hex << code;
    }
}

TEST(SystemMessages, UnknownIdsAndTheSystemsOwnCodesAreNotFound)
{
    for (DWORD id : {0x12345678u, 0xA0071001u, 0x80090024u, 65535u}) {
        WCHAR buffer[64] = {u'x'};
        SetLastError(0);
        EXPECT_EQ(FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, id, 0, buffer, 64, nullptr), 0u);
        EXPECT_EQ(GetLastError(), (DWORD)ERROR_MR_MID_NOT_FOUND) << std::hex << id;
    }
}

TEST(SystemMessages, ChineseAndKoreanAreInstalledBesideEnglish)
{
    EXPECT_EQ(System(2, 0, 0x0409), System(2));
    EXPECT_EQ(System(2, 0, LANG_USER_DEFAULT), System(2));
    EXPECT_EQ(System(0x80070057, 0, 0x0804), u"参数错误。\r\n");
    EXPECT_EQ(System(0x80070057, 0, 0x0412), u"매개 변수가 틀립니다.\r\n");
    EXPECT_EQ(System(0x8009000B, 0, 0x0804), u"项不适于在指定状态下使用。\r\n");
    EXPECT_EQ(System(0x80092004, 0, 0x0412), u"개체 또는 속성을 찾을 수 없습니다.\r\n");
    // Languages that are not installed, Traditional Chinese among them.
    for (DWORD language : {0x0404u, 0x0411u, 0x0407u}) {
        SetLastError(0);
        EXPECT_EQ(System(2, 0, language), u"") << std::hex << language;
        EXPECT_EQ(GetLastError(), (DWORD)ERROR_RESOURCE_LANG_NOT_FOUND);
    }
    // An id no language has.
    SetLastError(0);
    EXPECT_EQ(System(0x12345678, 0, 0x0804), u"");
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_MR_MID_NOT_FOUND);
}

TEST(SystemMessages, LanguageZeroFollowsTheThreadsUiLanguage)
{
    const LANGID before = GetThreadUILanguage();
    SetThreadUILanguage(0x0804);
    EXPECT_EQ(System(0x80070057), u"参数错误。\r\n");
    EXPECT_EQ(System(0), u"操作成功完成。\r\n");
    EXPECT_EQ(System(0x80004005), u"未指定的错误\r\n");
    SetThreadUILanguage(0x0412);
    EXPECT_EQ(System(0x80070002), u"지정된 파일을 찾을 수 없습니다.\r\n");
    EXPECT_EQ(System(0x80090016), u"키 집합이 없습니다.\r\n");
    // A language without a table of its own answers in English, as Windows falls back to it.
    SetThreadUILanguage(MAKELANGID(LANG_GERMAN, SUBLANG_GERMAN));
    EXPECT_EQ(System(2), u"The system cannot find the file specified.\r\n");
    // Inserts work in every language.
    SetThreadUILanguage(0x0804);
    const DWORD_PTR args[] = {(DWORD_PTR)u"app.exe"};
    WCHAR buffer[128];
    DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ARGUMENT_ARRAY, nullptr, 193, 0, buffer,
                             128, (va_list*)args);
    EXPECT_EQ(std::u16string(buffer, n), u"app.exe 不是有效的 Win32 应用程序。\r\n");
    SetThreadUILanguage(before);
}

// Every id of the English table has a Chinese and a Korean text that ends like it, keeps its
// inserts, and is a translation rather than a copy.
TEST(SystemMessages, EveryCodeHasChineseAndKoreanTexts)
{
    auto inserts = [](const std::string& text) {
        std::vector<std::string> found;
        for (size_t i = 0; i + 1 < text.size(); ++i)
            if (text[i] == '%' && text[i + 1] >= '1' && text[i + 1] <= '9') found.push_back(text.substr(i, 2));
        std::sort(found.begin(), found.end());
        return found;
    };
    size_t count = 0;
    for (DWORD high : {0x0000u, 0x8000u, 0x8009u, 0x800Bu, 0x8010u}) {
        for (DWORD low = 0; low <= 0xFFFF; ++low) {
            const DWORD id = (high << 16) | low;
            const char* english = npk::res::FindSystemMessage(id);
            if (english == nullptr) continue;
            ++count;
            for (LANGID language : {(LANGID)0x0804, (LANGID)0x0412}) {
                const char* text = npk::res::FindLocalizedSystemMessage(id, language);
                ASSERT_NE(text, nullptr) << std::hex << id << " in " << language;
                const std::string t(text), e(english);
                EXPECT_EQ(t.substr(t.size() - 2), "\r\n") << std::hex << id;
                EXPECT_EQ(inserts(t), inserts(e)) << std::hex << id;
                EXPECT_TRUE(std::any_of(t.begin(), t.end(), [](char c) { return (c & 0x80) != 0; }))
                    << std::hex << id << " is not translated";
            }
        }
    }
    EXPECT_GT(count, 150u) << "the scan must meet the whole table";
}

TEST(SystemMessages, TextsWithInsertsNeedArgumentsOrIgnoreInserts)
{
    SetLastError(0);
    EXPECT_EQ(System(ERROR_MR_MID_NOT_FOUND), u"");
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    EXPECT_EQ(System(ERROR_MR_MID_NOT_FOUND, FORMAT_MESSAGE_IGNORE_INSERTS),
              u"The system cannot find message text for message number 0x%1 in the message file for %2.\r\n");
    std::vector<DWORD_PTR> args = {(DWORD_PTR)u"123", (DWORD_PTR)u"System"};
    WCHAR buffer[200];
    DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ARGUMENT_ARRAY, nullptr,
                             ERROR_MR_MID_NOT_FOUND, 0, buffer, 200, (va_list*)args.data());
    EXPECT_EQ(std::u16string(buffer, n),
              u"The system cannot find message text for message number 0x123 in the message file for System.\r\n");
}

// ---------------------------------------------------------------------------
// Buffers
// ---------------------------------------------------------------------------

TEST(FormatMessageBuffers, TooSmallBufferFailsAndExactFits)
{
    const std::u16string text = u"Access is denied.\r\n";
    std::vector<WCHAR> buffer(text.size() + 1, u'#');
    SetLastError(0);
    EXPECT_EQ(FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, 5, 0, buffer.data(), (DWORD)text.size(), nullptr),
              0u);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, 5, 0, buffer.data(), (DWORD)text.size() + 1,
                             nullptr),
              (DWORD)text.size());
    EXPECT_EQ(std::u16string(buffer.data()), text);
    EXPECT_EQ(FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, 5, 0, nullptr, 10, nullptr), 0u);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
}

TEST(FormatMessageBuffers, AllocateBufferHandsOutALocalBlock)
{
    LPWSTR text = nullptr;
    DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ALLOCATE_BUFFER, nullptr, 0x80070002, 0,
                             (LPWSTR)&text, 0, nullptr);
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(std::u16string(text, n), u"The system cannot find the file specified.\r\n");
    EXPECT_EQ(text[n], 0);
    EXPECT_EQ(LocalFree(text), nullptr);

    // nSize is the least number of characters to allocate.
    n = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ALLOCATE_BUFFER, nullptr, 5, 0, (LPWSTR)&text,
                       300, nullptr);
    ASSERT_NE(text, nullptr);
    EXPECT_GE(LocalSize(text), 300 * sizeof(WCHAR));
    LocalFree(text);

    // On failure the pointer is cleared, so freeing it is harmless.
    text = (LPWSTR)1;
    EXPECT_EQ(FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ALLOCATE_BUFFER, nullptr, 0x12345678, 0,
                             (LPWSTR)&text, 0, nullptr),
              0u);
    EXPECT_EQ(text, nullptr);
}

TEST(FormatMessageBuffers, AnsiFormKeepsByteCounts)
{
    char buffer[64];
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, 2, 0, buffer, 64, nullptr);
    EXPECT_EQ(std::string(buffer, n), "The system cannot find the file specified.\r\n");
    SetLastError(0);
    EXPECT_EQ(FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, 2, 0, buffer, 10, nullptr), 0u);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INSUFFICIENT_BUFFER);

    // Non-ASCII text is UTF-8 in the narrow form: two bytes per character here.
    std::vector<DWORD_PTR> args = {(DWORD_PTR)"\xC3\xA9t\xC3\xA9"};
    n = FormatMessageA(FORMAT_MESSAGE_FROM_STRING | FORMAT_MESSAGE_ARGUMENT_ARRAY, "[%1]", 0, 0, buffer, 64,
                       (va_list*)args.data());
    EXPECT_EQ(std::string(buffer, n), "[\xC3\xA9t\xC3\xA9]");
}

// ---------------------------------------------------------------------------
// Width control
// ---------------------------------------------------------------------------

TEST(FormatMessageWidth, MaxWidthMaskTurnsLineBreaksIntoSpaces)
{
    EXPECT_EQ(System(2, FORMAT_MESSAGE_MAX_WIDTH_MASK), u"The system cannot find the file specified. ");
    EXPECT_EQ(FromArray(u"one\r\ntwo%nthree", {}, FORMAT_MESSAGE_MAX_WIDTH_MASK), u"one two\r\nthree");
}

TEST(FormatMessageWidth, NarrowWidthWrapsAtSpaces)
{
    EXPECT_EQ(System(2, 20), u"The system cannot\r\nfind the file\r\nspecified. ");
    EXPECT_EQ(FromArray(u"abcdefghij klm", {}, 4), u"abcd\r\nefgh\r\nij\r\nklm");
}

// ---------------------------------------------------------------------------
// Inserts and escapes
// ---------------------------------------------------------------------------

TEST(FormatMessageInserts, ArrayArgumentsWithFormats)
{
    std::vector<DWORD_PTR> args = {(DWORD_PTR)u"wide", (DWORD_PTR)(DWORD)-5, (DWORD_PTR)0xBEEF,
                                   (DWORD_PTR)"narrow", (DWORD_PTR)42};
    EXPECT_EQ(FromArray(u"%1 %2!d! %3!08x! %4!hs! %5!u! %1!ws! %3!X!", args),
              u"wide -5 0000beef narrow 42 wide BEEF");
    EXPECT_EQ(FromArray(u"[%1!-6s!][%1!6s!][%1!.2s!]", args), u"[wide  ][  wide][wi]");
    EXPECT_EQ(FromArray(u"%5!I64d! %5!c!", {(DWORD_PTR)u"", 0, 0, 0, (DWORD_PTR)0x41}), u"65 A");
}

TEST(FormatMessageInserts, VaListArgumentsOfMixedSizes)
{
    std::u16string out;
    long long big = -1234567890123LL;
    FromStringV(&out, 0, u"%1!d!/%2!I64d!/%3!s!/%4!x!/%3", 7, big, u"txt", 255u);
    EXPECT_EQ(out, u"7/-1234567890123/txt/ff/txt");
    // Indexes out of order still take the arguments by position.
    FromStringV(&out, 0, u"%2 then %1", u"first", u"second");
    EXPECT_EQ(out, u"second then first");
    FromStringV(&out, 0, u"null: %1", (const char16_t*)nullptr);
    EXPECT_EQ(out, u"null: (null)");
}

TEST(FormatMessageInserts, EscapesAndTermination)
{
    EXPECT_EQ(FromArray(u"100%% done%. %!%t|%r|%n", {}), u"100% done. !\t|\r|\r\n");
    EXPECT_EQ(FromArray(u"kept%0dropped", {}), u"kept");
    EXPECT_EQ(FromArray(u"line\r\n", {}), u"line\r\n");
}

TEST(FormatMessageInserts, IgnoreInsertsPassesSequencesThrough)
{
    WCHAR buffer[64];
    DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_STRING | FORMAT_MESSAGE_IGNORE_INSERTS, u"%1 and %2!d! 100%%", 0,
                             0, buffer, 64, nullptr);
    EXPECT_EQ(std::u16string(buffer, n), u"%1 and %2!d! 100%%");
}

TEST(FormatMessageInserts, MalformedInsertsFail)
{
    std::vector<DWORD_PTR> args = {1, 2, 3};
    WCHAR buffer[64];
    for (const char16_t* format : {u"%1!d", u"%1!*d!", u"%1!q!", u"%1!ds!"}) {
        SetLastError(0);
        EXPECT_EQ(FormatMessageW(FORMAT_MESSAGE_FROM_STRING | FORMAT_MESSAGE_ARGUMENT_ARRAY, format, 0, 0, buffer,
                                 64, (va_list*)args.data()),
                  0u);
        EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    }
    EXPECT_EQ(FormatMessageW(FORMAT_MESSAGE_FROM_STRING, u"%1", 0, 0, buffer, 64, nullptr), 0u);
    EXPECT_EQ(FormatMessageW(FORMAT_MESSAGE_FROM_STRING, nullptr, 0, 0, buffer, 64, nullptr), 0u);
    EXPECT_EQ(FormatMessageW(0, nullptr, 2, 0, buffer, 64, nullptr), 0u);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
}

// ---------------------------------------------------------------------------
// Message tables of modules
// ---------------------------------------------------------------------------

namespace {

void Put(std::vector<BYTE>& v, uint64_t value, int bytes)
{
    for (int i = 0; i < bytes; ++i) v.push_back((BYTE)(value >> (8 * i)));
}

// A .res image with one RT_MESSAGETABLE: messages 100 (UTF-16) and 101 (8-bit).
std::vector<BYTE> MessageTableImage()
{
    std::vector<BYTE> table;
    Put(table, 1, 4);               // one block
    Put(table, 100, 4);             // LowId
    Put(table, 101, 4);             // HighId
    Put(table, 16, 4);              // OffsetToEntries
    const std::u16string wide = u"Wide %1 text\r\n";
    Put(table, (DWORD)(4 + wide.size() * 2 + 4), 2);
    Put(table, 1, 2);
    for (char16_t c : wide) Put(table, c, 2);
    Put(table, 0, 4);
    const std::string narrow = "Narrow text\r\n";
    Put(table, (DWORD)(4 + narrow.size() + 3), 2);
    Put(table, 0, 2);
    table.insert(table.end(), narrow.begin(), narrow.end());
    Put(table, 0, 3);

    std::vector<BYTE> image = {0, 0, 0, 0, 0x20, 0, 0, 0, 0xFF, 0xFF, 0, 0, 0xFF, 0xFF, 0, 0};
    image.resize(32, 0);
    Put(image, (DWORD)table.size(), 4);
    Put(image, 32, 4);
    Put(image, 0xFFFF, 2);
    Put(image, 11, 2);
    Put(image, 0xFFFF, 2);
    Put(image, 1, 2);
    Put(image, 0, 4);
    Put(image, 0x1030, 2);
    Put(image, 0x0409, 2);
    Put(image, 0, 8);
    image.insert(image.end(), table.begin(), table.end());
    while (image.size() % 4) image.push_back(0);
    return image;
}

}  // namespace

TEST(ModuleMessageTables, MessagesComeFromTheModuleThenTheSystem)
{
    static const std::vector<BYTE> image = MessageTableImage();
    HMODULE module = (HMODULE)(uintptr_t)0x7e000000;
    ASSERT_TRUE(npk::res::AttachImage(module, image.data(), image.size()));

    std::vector<DWORD_PTR> args = {(DWORD_PTR)u"insert"};
    WCHAR buffer[64];
    DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ARGUMENT_ARRAY, module, 100, 0, buffer, 64,
                             (va_list*)args.data());
    EXPECT_EQ(std::u16string(buffer, n), u"Wide insert text\r\n");
    n = FormatMessageW(FORMAT_MESSAGE_FROM_HMODULE, module, 101, 0, buffer, 64, nullptr);
    EXPECT_EQ(std::u16string(buffer, n), u"Narrow text\r\n");

    SetLastError(0);
    EXPECT_EQ(FormatMessageW(FORMAT_MESSAGE_FROM_HMODULE, module, 2, 0, buffer, 64, nullptr), 0u);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_MR_MID_NOT_FOUND);
    n = FormatMessageW(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_FROM_SYSTEM, module, 2, 0, buffer, 64, nullptr);
    EXPECT_EQ(std::u16string(buffer, n), u"The system cannot find the file specified.\r\n");
    npk::res::DetachImage(module);

    // The library's own image has no message table.
    EXPECT_EQ(FormatMessageW(FORMAT_MESSAGE_FROM_HMODULE, nullptr, 100, 0, buffer, 64, nullptr), 0u);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_RESOURCE_TYPE_NOT_FOUND);
}
