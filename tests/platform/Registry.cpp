// The file-backed registry: round trips, size queries and the codes of missing keys and values.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <sys/stat.h>

namespace {

class RegistryTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/npk-registry-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        m_root = tmpl;
        for (const char* var : {"HOME", "XDG_DATA_HOME", "XDG_CONFIG_HOME", "XDG_RUNTIME_DIR"}) {
            setenv(var, (m_root + "/" + var).c_str(), 1);
        }
    }
    void TearDown() override { std::filesystem::remove_all(m_root); }

    HKEY Create(HKEY root, LPCWSTR path, DWORD* disposition = nullptr)
    {
        HKEY key = nullptr;
        EXPECT_EQ(ERROR_SUCCESS, RegCreateKeyExW(root, path, 0, nullptr, 0, KEY_READ | KEY_WRITE,
                                                 nullptr, &key, disposition));
        return key;
    }

    std::string m_root;
};

TEST_F(RegistryTest, ValuesRoundTripWithTheirTypes)
{
    HKEY key = Create(HKEY_LOCAL_MACHINE, TEXT("SYSTEM\\CurrentControlSet\\Control\\Wmi\\GlobalLogger"));
    DWORD start = 1;
    const WCHAR text[] = TEXT("Kéy ☃");
    const BYTE blob[] = {0, 1, 2, 0xFF, 0};
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueExW(key, TEXT("Start"), 0, REG_DWORD, (const BYTE*)&start, 4));
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueExW(key, TEXT("Name"), 0, REG_SZ, (const BYTE*)text, sizeof(text)));
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueExW(key, TEXT("Blob"), 0, REG_BINARY, blob, sizeof(blob)));
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueExW(key, nullptr, 0, REG_SZ, (const BYTE*)TEXT("d"), 4));
    ASSERT_EQ(ERROR_SUCCESS, RegCloseKey(key));

    HKEY read = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_LOCAL_MACHINE,
                                           TEXT("system\\CURRENTCONTROLSET\\control\\wmi\\globallogger"),
                                           0, KEY_READ, &read));
    DWORD type = 0, value = 0, size = sizeof(value);
    ASSERT_EQ(ERROR_SUCCESS, RegQueryValueExW(read, TEXT("START"), nullptr, &type, (LPBYTE)&value, &size));
    EXPECT_EQ((DWORD)REG_DWORD, type);
    EXPECT_EQ(1u, value);
    EXPECT_EQ(4u, size);

    WCHAR textOut[16] = {};
    size = sizeof(textOut);
    ASSERT_EQ(ERROR_SUCCESS, RegQueryValueExW(read, TEXT("name"), nullptr, &type, (LPBYTE)textOut, &size));
    EXPECT_EQ((DWORD)REG_SZ, type);
    EXPECT_EQ(sizeof(text), size);
    EXPECT_EQ(0, lstrcmpW(text, textOut));

    BYTE blobOut[8] = {};
    size = sizeof(blobOut);
    ASSERT_EQ(ERROR_SUCCESS, RegQueryValueExW(read, TEXT("Blob"), nullptr, &type, blobOut, &size));
    EXPECT_EQ((DWORD)REG_BINARY, type);
    ASSERT_EQ(sizeof(blob), size);
    EXPECT_EQ(0, memcmp(blob, blobOut, sizeof(blob)));

    size = sizeof(textOut);
    ASSERT_EQ(ERROR_SUCCESS, RegQueryValueExW(read, TEXT(""), nullptr, &type, (LPBYTE)textOut, &size));
    EXPECT_EQ(0, lstrcmpW(TEXT("d"), textOut));
    RegCloseKey(read);
}

TEST_F(RegistryTest, SizeQueryAndShortBuffer)
{
    HKEY key = Create(HKEY_CURRENT_USER, TEXT("Software\\Test"));
    const WCHAR text[] = TEXT("a longer text value");
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueExW(key, TEXT("T"), 0, REG_SZ, (const BYTE*)text, sizeof(text)));

    DWORD type = 0, size = 0;
    ASSERT_EQ(ERROR_SUCCESS, RegQueryValueExW(key, TEXT("T"), nullptr, &type, nullptr, &size));
    EXPECT_EQ(sizeof(text), size);
    EXPECT_EQ((DWORD)REG_SZ, type);

    BYTE small[4] = {0xAA, 0xAA, 0xAA, 0xAA};
    size = sizeof(small);
    EXPECT_EQ(ERROR_MORE_DATA, RegQueryValueExW(key, TEXT("T"), nullptr, nullptr, small, &size));
    EXPECT_EQ(sizeof(text), size);

    // Data without a size is refused; type alone is answered.
    EXPECT_EQ(ERROR_INVALID_PARAMETER, RegQueryValueExW(key, TEXT("T"), nullptr, nullptr, small, nullptr));
    type = 0;
    EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExW(key, TEXT("T"), nullptr, &type, nullptr, nullptr));
    EXPECT_EQ((DWORD)REG_SZ, type);
    RegCloseKey(key);
}

TEST_F(RegistryTest, MissingKeysAndValues)
{
    HKEY key = nullptr;
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegOpenKeyExW(HKEY_LOCAL_MACHINE, TEXT("SYSTEM\\Nothing"), 0, KEY_READ, &key));
    EXPECT_EQ(nullptr, key);

    key = Create(HKEY_LOCAL_MACHINE, TEXT("SYSTEM"));
    DWORD size = 4, value = 0;
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegQueryValueExW(key, TEXT("Start"), nullptr, nullptr, (LPBYTE)&value, &size));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegDeleteValueW(key, TEXT("Start")));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegDeleteKeyW(key, TEXT("Absent")));
    RegCloseKey(key);

    // The two hives are separate trees.
    HKEY user = nullptr;
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegOpenKeyExW(HKEY_CURRENT_USER, TEXT("SYSTEM"), 0, KEY_READ, &user));
    EXPECT_EQ(ERROR_BAD_PATHNAME, RegOpenKeyExW(HKEY_LOCAL_MACHINE, TEXT("\\SYSTEM"), 0, KEY_READ, &user));
}

TEST_F(RegistryTest, CreateReportsDispositionAndDeleteRemoves)
{
    DWORD disposition = 0;
    HKEY key = Create(HKEY_CURRENT_USER, TEXT("A\\B"), &disposition);
    EXPECT_EQ((DWORD)REG_CREATED_NEW_KEY, disposition);
    RegCloseKey(key);
    key = Create(HKEY_CURRENT_USER, TEXT("a\\b"), &disposition);
    EXPECT_EQ((DWORD)REG_OPENED_EXISTING_KEY, disposition);
    DWORD one = 1;
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueExW(key, TEXT("V"), 0, REG_DWORD, (const BYTE*)&one, 4));
    ASSERT_EQ(ERROR_SUCCESS, RegDeleteValueW(key, TEXT("v")));
    DWORD size = 0;
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegQueryValueExW(key, TEXT("V"), nullptr, nullptr, nullptr, &size));
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueExW(key, TEXT("V"), 0, REG_DWORD, (const BYTE*)&one, 4));

    HKEY parent = Create(HKEY_CURRENT_USER, TEXT("A"));
    // A key with sub-keys stays.
    EXPECT_EQ(ERROR_ACCESS_DENIED, RegDeleteKeyW(HKEY_CURRENT_USER, TEXT("A")));
    EXPECT_EQ(ERROR_SUCCESS, RegDeleteKeyW(parent, TEXT("B")));
    HKEY gone = nullptr;
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegOpenKeyExW(HKEY_CURRENT_USER, TEXT("A\\B"), 0, KEY_READ, &gone));
    // The handle still open on the deleted key says so.
    EXPECT_EQ(ERROR_KEY_DELETED, RegSetValueExW(key, TEXT("V"), 0, REG_DWORD, (const BYTE*)&one, 4));
    RegCloseKey(key);
    RegCloseKey(parent);
}

TEST_F(RegistryTest, AccessRightsAndHandles)
{
    HKEY key = Create(HKEY_CURRENT_USER, TEXT("Rights"));
    RegCloseKey(key);
    HKEY readOnly = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_CURRENT_USER, TEXT("Rights"), 0, KEY_QUERY_VALUE, &readOnly));
    DWORD one = 1;
    EXPECT_EQ(ERROR_ACCESS_DENIED, RegSetValueExW(readOnly, TEXT("V"), 0, REG_DWORD, (const BYTE*)&one, 4));
    EXPECT_EQ(ERROR_ACCESS_DENIED, RegDeleteValueW(readOnly, TEXT("V")));
    HKEY writeOnly = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_CURRENT_USER, TEXT("Rights"), 0, KEY_SET_VALUE, &writeOnly));
    EXPECT_EQ(ERROR_SUCCESS, RegSetValueExW(writeOnly, TEXT("V"), 0, REG_DWORD, (const BYTE*)&one, 4));
    DWORD size = 0;
    EXPECT_EQ(ERROR_ACCESS_DENIED, RegQueryValueExW(writeOnly, TEXT("V"), nullptr, nullptr, nullptr, &size));
    EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExW(readOnly, TEXT("V"), nullptr, nullptr, nullptr, &size));
    EXPECT_EQ(ERROR_SUCCESS, RegCloseKey(readOnly));
    EXPECT_EQ(ERROR_SUCCESS, RegCloseKey(writeOnly));
    EXPECT_EQ(ERROR_INVALID_HANDLE, RegCloseKey(writeOnly));
    EXPECT_EQ(ERROR_INVALID_HANDLE, RegQueryValueExW(writeOnly, TEXT("V"), nullptr, nullptr, nullptr, &size));
}

TEST_F(RegistryTest, NamesThatAreNotFileNamesAndEnumeration)
{
    HKEY key = Create(HKEY_CURRENT_USER, TEXT("Odd/Name..\\%2F"));
    DWORD a = 7, b = 8;
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueExW(key, TEXT("../x"), 0, REG_DWORD, (const BYTE*)&a, 4));
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueExW(key, TEXT("%2F"), 0, REG_DWORD, (const BYTE*)&b, 4));
    DWORD value = 0, size = 4;
    ASSERT_EQ(ERROR_SUCCESS, RegQueryValueExW(key, TEXT("../X"), nullptr, nullptr, (LPBYTE)&value, &size));
    EXPECT_EQ(7u, value);
    ASSERT_EQ(ERROR_SUCCESS, RegQueryValueExW(key, TEXT("%2f"), nullptr, nullptr, (LPBYTE)&value, &size));
    EXPECT_EQ(8u, value);
    RegCloseKey(key);

    HKEY parent = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_CURRENT_USER, TEXT("ODD/NAME.."), 0, KEY_READ, &parent));
    WCHAR name[32];
    DWORD count = ARRAYSIZE(name);
    ASSERT_EQ(ERROR_SUCCESS, RegEnumKeyExW(parent, 0, name, &count, nullptr, nullptr, nullptr, nullptr));
    EXPECT_EQ(0, lstrcmpW(TEXT("%2F"), name));
    EXPECT_EQ(3u, count);
    count = 2;
    EXPECT_EQ(ERROR_MORE_DATA, RegEnumKeyExW(parent, 0, name, &count, nullptr, nullptr, nullptr, nullptr));
    count = ARRAYSIZE(name);
    EXPECT_EQ(ERROR_NO_MORE_ITEMS, RegEnumKeyExW(parent, 1, name, &count, nullptr, nullptr, nullptr, nullptr));
    RegCloseKey(parent);

    // Stored under the configuration directory, readable by the user alone.
    struct stat st;
    ASSERT_EQ(0, stat((m_root + "/XDG_CONFIG_HOME/npkeystrand/registry").c_str(), &st));
    EXPECT_EQ(0700u, st.st_mode & 0777);
}

}  // namespace
