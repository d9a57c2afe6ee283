// LoadStringW over the library's string tables: the three languages, the identifiers without
// text, truncation, the read-only pointer form, and the user-interface language rules.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <thread>

namespace {

const LANGID kEnglish = 0x0409;
const LANGID kChinese = 0x0804;
const LANGID kKorean = 0x0412;

std::u16string Load(UINT id)
{
    WCHAR buffer[512];
    int n = LoadStringW(nullptr, id, buffer, 512);
    return std::u16string(buffer, n > 0 ? (size_t)n : 0);
}

class StringTable : public ::testing::Test {
protected:
    void TearDown() override { SetThreadUILanguage(0); }
};

}  // namespace

TEST_F(StringTable, TextsInEachLanguage)
{
    struct Case {
        UINT id;
        const char16_t* en;
        const char16_t* zh;
        const char16_t* ko;
    } cases[] = {
        {4097, u"There is no available certificate in store.", u"证书库中没有可用的证书",
         u"인증서 인증서는 라이브러리에서 사용할 수 없습니다"},
        {4102, u"Malicious target path or file name.", u"恶意的目标路径或文件名", u"악성 대상 경로 또는 파일 이름"},
        {4129, u"Specified certificate doesn't contain subject key ID attribute.",
         u"指定证书不含有使用者密钥标识符属性", u"인증서 키 식별자 속성을 지정된 사용자를 포함하지 않습니다"},
        {4149, u"Specified certificate is not found.", u"没有找到指定证书", u"지정된 인증서를 찾지 못했습니다"},
        {8193, u"Certificate is not ready.", u"证书没有准备好", u"인증서가 준비되지 않았습니다"},
        {8227, u"Invalid envelope type.", u"无效的数字信封类型", u"디지털 봉투 잘못된 유형"},
    };
    for (const Case& c : cases) {
        ASSERT_EQ(SetThreadUILanguage(kEnglish), kEnglish);
        EXPECT_EQ(Load(c.id), c.en) << c.id;
        ASSERT_EQ(SetThreadUILanguage(kChinese), kChinese);
        EXPECT_EQ(Load(c.id), c.zh) << c.id;
        ASSERT_EQ(SetThreadUILanguage(kKorean), kKorean);
        EXPECT_EQ(Load(c.id), c.ko) << c.id;
    }
}

TEST_F(StringTable, EveryLanguageHasTheSixteenTexts)
{
    const UINT ids[] = {4097, 4098, 4099, 4100, 4101, 4102, 4128, 4129,
                        4149, 8193, 8194, 8195, 8224, 8225, 8226, 8227};
    for (LANGID lang : {kEnglish, kChinese, kKorean}) {
        SetThreadUILanguage(lang);
        for (UINT id : ids) EXPECT_FALSE(Load(id).empty()) << lang << " " << id;
    }
}

TEST_F(StringTable, IdentifiersWithoutTextGiveNothing)
{
    SetThreadUILanguage(kEnglish);
    for (UINT id : {4103u, 4104u, 4096u, 4111u}) {
        WCHAR buffer[16] = {u'x', u'x'};
        SetLastError(0);
        EXPECT_EQ(LoadStringW(nullptr, id, buffer, 16), 0) << id;
        EXPECT_EQ(buffer[0], 0) << id;
        EXPECT_EQ(GetLastError(), (DWORD)ERROR_RESOURCE_NAME_NOT_FOUND);
    }
    // A bundle that does not exist at all.
    WCHAR buffer[4] = {u'x'};
    EXPECT_EQ(LoadStringW(nullptr, 1, buffer, 4), 0);
    EXPECT_EQ(buffer[0], 0);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_RESOURCE_NAME_NOT_FOUND);
}

TEST_F(StringTable, TruncatesToTheBufferLessOne)
{
    SetThreadUILanguage(kEnglish);
    WCHAR buffer[8];
    std::fill(buffer, buffer + 8, u'#');
    EXPECT_EQ(LoadStringW(nullptr, 8193, buffer, 6), 5);
    EXPECT_EQ(std::u16string(buffer), u"Certi");
    EXPECT_EQ(buffer[6], u'#');  // nothing written past the buffer

    EXPECT_EQ(LoadStringW(nullptr, 8193, buffer, 1), 0);
    EXPECT_EQ(buffer[0], 0);

    // Exactly the length plus one fits the whole text.
    const std::u16string full = u"Invalid sign type.";
    WCHAR exact[19];
    EXPECT_EQ(LoadStringW(nullptr, 8226, exact, (int)full.size() + 1), (int)full.size());
    EXPECT_EQ(std::u16string(exact), full);
}

TEST_F(StringTable, ZeroBufferSizeReturnsAReadOnlyPointer)
{
    SetThreadUILanguage(kChinese);
    const WCHAR* text = nullptr;
    int n = LoadStringW(nullptr, 8224, (LPWSTR)&text, 0);
    ASSERT_EQ(n, 7);
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(std::u16string(text, (size_t)n), u"无效的散列算法");
    // The pointer reaches into the bundle: the next string's length follows, not a NUL.
    EXPECT_NE(text[n], 0);
}

TEST_F(StringTable, BadArgumentsFail)
{
    SetLastError(0);
    EXPECT_EQ(LoadStringW(nullptr, 4097, nullptr, 10), 0);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    WCHAR buffer[4];
    EXPECT_EQ(LoadStringW(nullptr, 4097, buffer, -1), 0);
}

TEST_F(StringTable, OtherLanguagesFallBack)
{
    SetThreadUILanguage(MAKELANGID(LANG_GERMAN, SUBLANG_GERMAN));
    EXPECT_EQ(Load(8193), u"Certificate is not ready.");
    SetThreadUILanguage(0x0C04);  // Chinese (Hong Kong): no traditional table, so English
    EXPECT_EQ(Load(8193), u"Certificate is not ready.");
    SetThreadUILanguage(0x0812);  // Korean (Johab): the default Korean sublanguage
    EXPECT_EQ(Load(8193), u"인증서가 준비되지 않았습니다");
}

TEST_F(StringTable, ThreadLanguageIsPerThread)
{
    SetThreadUILanguage(kKorean);
    EXPECT_EQ(GetThreadUILanguage(), kKorean);
    LANGID other = 0;
    std::u16string otherText;
    std::thread t([&] {
        other = GetThreadUILanguage();
        SetThreadUILanguage(kChinese);
        otherText = Load(4098);
    });
    t.join();
    EXPECT_EQ(other, GetUserDefaultUILanguage());
    EXPECT_EQ(otherText, u"用户取消选择证书");
    EXPECT_EQ(Load(4098), u"인증서를 취소할 수있는 사용자를 선택");

    EXPECT_EQ(SetThreadUILanguage(0), GetUserDefaultUILanguage());
    EXPECT_EQ(GetThreadUILanguage(), GetUserDefaultUILanguage());
    SetLastError(0);
    EXPECT_EQ(SetThreadUILanguage(MAKELANGID(LANG_NEUTRAL, 0x05)), 0);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
}

// ---------------------------------------------------------------------------
// The user's default language comes from the locale variables, read once per process; each
// case runs in a fresh process so that nothing has read them before.
// ---------------------------------------------------------------------------

namespace {

void RunWithLocale(const char* language, const char* lcAll, const char* lcMessages, const char* lang,
                   LANGID expected, const char16_t* text8193)
{
    auto set = [](const char* name, const char* value) {
        if (value) setenv(name, value, 1);
        else unsetenv(name);
    };
    set("LANGUAGE", language);
    set("LC_ALL", lcAll);
    set("LC_MESSAGES", lcMessages);
    set("LANG", lang);
    bool ok = GetUserDefaultUILanguage() == expected && GetThreadUILanguage() == expected &&
              GetUserDefaultLangID() == expected && Load(8193) == text8193;
    std::exit(ok ? 0 : 1);
}

}  // namespace

class DefaultLanguage : public ::testing::Test {
protected:
    void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

TEST_F(DefaultLanguage, LangSelectsChinese)
{
    EXPECT_EXIT(RunWithLocale(nullptr, nullptr, nullptr, "zh_CN.UTF-8", kChinese, u"证书没有准备好"),
                ::testing::ExitedWithCode(0), "");
}

TEST_F(DefaultLanguage, LanguageListFirstEntryWins)
{
    EXPECT_EXIT(RunWithLocale("ko_KR:zh_CN", "en_US.UTF-8", nullptr, "zh_CN.UTF-8", kKorean,
                              u"인증서가 준비되지 않았습니다"),
                ::testing::ExitedWithCode(0), "");
    EXPECT_EXIT(RunWithLocale(":zh_TW", nullptr, nullptr, "C", kChinese, u"证书没有准备好"),
                ::testing::ExitedWithCode(0), "");
}

TEST_F(DefaultLanguage, EmptyVariablesAreSkippedInOrder)
{
    EXPECT_EXIT(RunWithLocale("", "", "ko_KR.UTF-8", "zh_CN.UTF-8", kKorean, u"인증서가 준비되지 않았습니다"),
                ::testing::ExitedWithCode(0), "");
    EXPECT_EXIT(RunWithLocale(nullptr, "zh", "ko", "ko", kChinese, u"证书没有准备好"),
                ::testing::ExitedWithCode(0), "");
}

TEST_F(DefaultLanguage, AnythingElseIsEnglish)
{
    EXPECT_EXIT(RunWithLocale(nullptr, nullptr, nullptr, "de_DE.UTF-8", kEnglish, u"Certificate is not ready."),
                ::testing::ExitedWithCode(0), "");
    EXPECT_EXIT(RunWithLocale(nullptr, nullptr, nullptr, nullptr, kEnglish, u"Certificate is not ready."),
                ::testing::ExitedWithCode(0), "");
    EXPECT_EXIT(RunWithLocale(nullptr, nullptr, nullptr, "C.UTF-8", kEnglish, u"Certificate is not ready."),
                ::testing::ExitedWithCode(0), "");
}
