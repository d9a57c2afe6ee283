// The embedded resource image: lookup by type, name and language, the version block and the
// manifest, and the parsing of .res images including malformed ones.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "kernel32/resources/ResourceImage.h"

namespace {

// A resource type or name for the image builder: an ordinal, or a name when text is set.
struct Id {
    WORD ordinal;
    const char16_t* text = nullptr;
};

struct Res {
    Id type;
    Id name;
    WORD language;
    std::string data;
};

void PutWord(std::vector<BYTE>& v, WORD w)
{
    v.push_back((BYTE)w);
    v.push_back((BYTE)(w >> 8));
}

void PutDword(std::vector<BYTE>& v, DWORD d)
{
    PutWord(v, (WORD)d);
    PutWord(v, (WORD)(d >> 16));
}

void PutId(std::vector<BYTE>& v, const Id& id)
{
    if (id.text == nullptr) {
        PutWord(v, 0xFFFF);
        PutWord(v, id.ordinal);
        return;
    }
    for (const char16_t* p = id.text; *p; ++p) PutWord(v, *p);
    PutWord(v, 0);
}

void Align(std::vector<BYTE>& v)
{
    while (v.size() % 4) v.push_back(0);
}

// Builds a .res image the way the resource compilers lay it out.
std::vector<BYTE> BuildImage(const std::vector<Res>& resources)
{
    std::vector<BYTE> out = {0, 0, 0, 0, 0x20, 0, 0, 0, 0xFF, 0xFF, 0, 0, 0xFF, 0xFF, 0, 0};
    out.resize(32, 0);
    for (const Res& r : resources) {
        std::vector<BYTE> header;
        PutId(header, r.type);
        PutId(header, r.name);
        while ((header.size() + 8) % 4) header.push_back(0);
        PutDword(header, 0);       // DataVersion
        PutWord(header, 0x1030);   // MemoryFlags
        PutWord(header, r.language);
        PutDword(header, 0);       // Version
        PutDword(header, 0);       // Characteristics
        PutDword(out, (DWORD)r.data.size());
        PutDword(out, (DWORD)header.size() + 8);
        out.insert(out.end(), header.begin(), header.end());
        out.insert(out.end(), r.data.begin(), r.data.end());
        Align(out);
    }
    return out;
}

bool ContainsUtf16(const BYTE* data, DWORD size, const std::u16string& text)
{
    std::string needle((const char*)text.data(), text.size() * 2);
    std::string haystack((const char*)data, size);
    return haystack.find(needle) != std::string::npos;
}

// A module handle that no loaded object has: synthetic images are attached to it.
HMODULE FakeModule(int n)
{
    return (HMODULE)(uintptr_t)(0x10000 * n + 0x7f000000);
}

class SyntheticImage : public ::testing::Test {
protected:
    void Attach(const std::vector<Res>& resources)
    {
        m_image = BuildImage(resources);
        ASSERT_TRUE(npk::res::AttachImage(m_module, m_image.data(), m_image.size()));
    }
    void TearDown() override
    {
        npk::res::DetachImage(m_module);
        SetThreadUILanguage(0);
    }

    HMODULE m_module = FakeModule(1);
    std::vector<BYTE> m_image;
};

}  // namespace

// ---------------------------------------------------------------------------
// The library's own resources, embedded in this executable
// ---------------------------------------------------------------------------

TEST(EmbeddedResources, VersionBlockCarriesTheRegistrationValues)
{
    HRSRC info = FindResourceW(nullptr, MAKEINTRESOURCEW(1), RT_VERSION);
    ASSERT_NE(info, nullptr) << GetLastError();
    const BYTE* data = (const BYTE*)LockResource(LoadResource(nullptr, info));
    const DWORD size = SizeofResource(nullptr, info);
    ASSERT_NE(data, nullptr);
    ASSERT_GT(size, 92u);

    // VS_VERSIONINFO: the fixed file information follows the key "VS_VERSION_INFO".
    EXPECT_TRUE(ContainsUtf16(data, size, u"VS_VERSION_INFO"));
    DWORD fixed[5];
    std::memcpy(fixed, data + 40, sizeof fixed);
    EXPECT_EQ(fixed[0], 0xFEEF04BDu);
    EXPECT_EQ(fixed[2], 0x00030002u);  // file version 3.2
    EXPECT_EQ(fixed[3], 0x00000003u);  //              .0.3

    EXPECT_TRUE(ContainsUtf16(data, size, u"040904E4"));
    const char16_t* values[][2] = {
        {u"MIMEType", u"application/npKeystrand.Standard.x86"},
        {u"FileOpenName", u"npKeystrand.Standard.x86"},
        {u"ProductName", u"npKeystrand.Standard.x86"},
        {u"InternalName", u"npKeystrand.Standard.x86.dll"},
        {u"OriginalFilename", u"npKeystrand.Standard.x86.dll"},
        {u"FileVersion", u"3.2.0.3"},
        {u"ProductVersion", u"3.2.0.3"},
    };
    for (auto& v : values) {
        EXPECT_TRUE(ContainsUtf16(data, size, v[0]));
        EXPECT_TRUE(ContainsUtf16(data, size, v[1]));
    }
    EXPECT_TRUE(ContainsUtf16(data, size, u"FileExtents"));
    for (const char16_t* browser : {u"Firefox", u"Chrome", u"Safari", u"Opera"})
        EXPECT_TRUE(ContainsUtf16(data, size, browser));

    // The translation 0x0409, 0x04E4 as two words.
    const BYTE translation[] = {0x09, 0x04, 0xE4, 0x04};
    std::string haystack((const char*)data, size);
    EXPECT_NE(haystack.find(std::string((const char*)translation, 4)), std::string::npos);
}

TEST(EmbeddedResources, ManifestAsksForCommonControlsSix)
{
    HRSRC info = FindResourceW(nullptr, ISOLATIONAWARE_MANIFEST_RESOURCE_ID, RT_MANIFEST);
    ASSERT_NE(info, nullptr) << GetLastError();
    std::string text((const char*)LockResource(LoadResource(nullptr, info)), SizeofResource(nullptr, info));
    EXPECT_NE(text.find("Microsoft.Windows.Common-Controls"), std::string::npos);
    EXPECT_NE(text.find("version=\"6.0.0.0\""), std::string::npos);
    EXPECT_NE(text.find("processorArchitecture=\"x86\""), std::string::npos);
}

TEST(EmbeddedResources, ModuleOfAnAddressFindsTheSameResources)
{
    HMODULE self = npk::res::ModuleOfAddress((const void*)&FakeModule);
    ASSERT_NE(self, nullptr);
    EXPECT_EQ(self, npk::res::MainModule());
    EXPECT_EQ(FindResourceW(self, MAKEINTRESOURCEW(1), RT_VERSION),
              FindResourceW(nullptr, MAKEINTRESOURCEW(1), RT_VERSION));
}

TEST(EmbeddedResources, MissingTypeNameAndLanguageHaveTheirOwnErrors)
{
    SetLastError(0);
    EXPECT_EQ(FindResourceW(nullptr, MAKEINTRESOURCEW(1), RT_BITMAP), nullptr);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_RESOURCE_TYPE_NOT_FOUND);
    EXPECT_EQ(FindResourceW(nullptr, MAKEINTRESOURCEW(7), RT_VERSION), nullptr);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_RESOURCE_NAME_NOT_FOUND);
    EXPECT_EQ(FindResourceExW(nullptr, RT_VERSION, MAKEINTRESOURCEW(1), MAKELANGID(LANG_GERMAN, SUBLANG_GERMAN)),
              nullptr);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_RESOURCE_LANG_NOT_FOUND);
    EXPECT_NE(FindResourceExW(nullptr, RT_VERSION, MAKEINTRESOURCEW(1), 0x0409), nullptr);
    EXPECT_EQ(FindResourceW(FakeModule(9), MAKEINTRESOURCEW(1), RT_VERSION), nullptr);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_RESOURCE_DATA_NOT_FOUND);
}

TEST(EmbeddedResources, NullHandlesFailCleanly)
{
    SetLastError(0);
    EXPECT_EQ(LoadResource(nullptr, nullptr), nullptr);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
    EXPECT_EQ(SizeofResource(nullptr, nullptr), 0u);
    EXPECT_FALSE(FreeResource(nullptr));
    EXPECT_EQ(FindResourceW(nullptr, nullptr, RT_VERSION), nullptr);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
}

TEST(EmbeddedResources, IntResourceMacros)
{
    EXPECT_TRUE(IS_INTRESOURCE(MAKEINTRESOURCEW(65535)));
    EXPECT_FALSE(IS_INTRESOURCE(u"NAME"));
    EXPECT_EQ((ULONG_PTR)RT_STRING, 6u);
    EXPECT_EQ((ULONG_PTR)RT_MANIFEST, 24u);
    EXPECT_EQ((ULONG_PTR)MAKEINTRESOURCE(0x12345), 0x2345u);  // only the low word counts
}

// ---------------------------------------------------------------------------
// Synthetic images
// ---------------------------------------------------------------------------

TEST_F(SyntheticImage, NamedResourcesMatchCaseInsensitivelyAndByHashOrdinal)
{
    Attach({{{0, u"PNG"}, {0, u"LOGO"}, 0x0409, "png-bytes"},
            {{10}, {5}, 0x0409, "five"},
            {{10}, {0, u"FIVE"}, 0x0409, "named"}});

    HRSRC r = FindResourceW(m_module, u"logo", u"png");
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(std::string((const char*)LoadResource(m_module, r), SizeofResource(m_module, r)), "png-bytes");

    r = FindResourceW(m_module, u"#5", RT_RCDATA);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(std::string((const char*)LoadResource(m_module, r), SizeofResource(m_module, r)), "five");

    r = FindResourceW(m_module, u"Five", u"#10");
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(std::string((const char*)LoadResource(m_module, r), SizeofResource(m_module, r)), "named");

    EXPECT_EQ(FindResourceW(m_module, u"LOG", u"PNG"), nullptr);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_RESOURCE_NAME_NOT_FOUND);
    EXPECT_EQ(FindResourceW(m_module, u"LOGOS", u"PNG"), nullptr);
    EXPECT_EQ(FindResourceW(m_module, u"#x5", RT_RCDATA), nullptr);
}

TEST_F(SyntheticImage, ThreadLanguageChoosesAndFallsBack)
{
    Attach({{{10}, {1}, 0x0412, "ko"},
            {{10}, {1}, 0x0007, "de-neutral"},
            {{10}, {1}, 0x0409, "en"},
            {{10}, {2}, 0x0804, "only-zh"}});
    auto text = [&](WORD name) {
        HRSRC r = FindResourceW(m_module, MAKEINTRESOURCEW(name), RT_RCDATA);
        return r ? std::string((const char*)LoadResource(m_module, r), SizeofResource(m_module, r)) : "";
    };
    SetThreadUILanguage(0x0412);
    EXPECT_EQ(text(1), "ko");
    SetThreadUILanguage(0x0812);  // another Korean sublanguage: the default one serves
    EXPECT_EQ(text(1), "ko");
    SetThreadUILanguage(0x0807);  // Swiss German: the neutral German entry serves
    EXPECT_EQ(text(1), "de-neutral");
    SetThreadUILanguage(0x040C);  // French: English (US)
    EXPECT_EQ(text(1), "en");
    EXPECT_EQ(text(2), "only-zh");  // nothing better: the first language present
}

TEST_F(SyntheticImage, ExplicitLanguageMustMatchExactly)
{
    Attach({{{10}, {1}, 0x0409, "en"}});
    EXPECT_NE(FindResourceExW(m_module, RT_RCDATA, MAKEINTRESOURCEW(1), 0x0409), nullptr);
    EXPECT_EQ(FindResourceExW(m_module, RT_RCDATA, MAKEINTRESOURCEW(1), 0x0809), nullptr);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_RESOURCE_LANG_NOT_FOUND);
    EXPECT_NE(FindResourceExW(m_module, RT_RCDATA, MAKEINTRESOURCEW(1), 0), nullptr);
}

TEST_F(SyntheticImage, ZeroLengthResourceIsFoundWithSizeZero)
{
    Attach({{{10}, {3}, 0x0409, ""}, {{10}, {4}, 0x0409, "x"}});
    HRSRC r = FindResourceW(m_module, MAKEINTRESOURCEW(3), RT_RCDATA);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(SizeofResource(m_module, r), 0u);
    r = FindResourceW(m_module, MAKEINTRESOURCEW(4), RT_RCDATA);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(SizeofResource(m_module, r), 1u);
}

TEST(ResImageParsing, MalformedImagesAreRejected)
{
    std::vector<BYTE> good = BuildImage({{{10}, {1}, 0x0409, "abcdef"}});
    std::vector<npk::res::ResourceEntry> entries;
    ASSERT_TRUE(npk::res::ParseResImage(good.data(), good.size(), &entries));
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].size, 6u);
    EXPECT_EQ(entries[0].language, 0x0409);

    // Data running past the end of the image.
    std::vector<BYTE> truncated(good.begin(), good.end() - 4);
    EXPECT_FALSE(npk::res::ParseResImage(truncated.data(), truncated.size(), &entries));
    EXPECT_TRUE(entries.empty());

    // A header size smaller than the fixed part.
    std::vector<BYTE> badHeader = good;
    badHeader[32 + 4] = 8;
    EXPECT_FALSE(npk::res::ParseResImage(badHeader.data(), badHeader.size(), &entries));

    // A name string without its terminator inside the header.
    std::vector<BYTE> unterminated = BuildImage({{{0, u"ABCDEFGH"}, {1}, 0x0409, ""}});
    unterminated[32 + 4] = 16;  // header claims to end inside the type name
    EXPECT_FALSE(npk::res::ParseResImage(unterminated.data(), unterminated.size(), &entries));

    EXPECT_FALSE(npk::res::ParseResImage(nullptr, 0, &entries));
    EXPECT_FALSE(npk::res::AttachImage(FakeModule(3), truncated.data(), truncated.size()));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_DATA);
}

TEST(ResImageParsing, RegistrationByAddressNeedsALoadedObject)
{
    std::vector<BYTE> image = BuildImage({});
    int onTheStack = 0;
    EXPECT_FALSE(NpkRegisterModuleResources(&onTheStack, image.data(), image.size()));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_MOD_NOT_FOUND);
}
