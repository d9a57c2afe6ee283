// The user's and each thread's user-interface language.
#include <windows.h>

#include <cstdlib>
#include <cstring>
#include <string>

namespace {

const LANGID kEnglishUS = MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US);
const LANGID kChineseSimplified = MAKELANGID(LANG_CHINESE, SUBLANG_CHINESE_SIMPLIFIED);
const LANGID kKorean = MAKELANGID(LANG_KOREAN, SUBLANG_KOREAN);

thread_local LANGID t_threadLanguage = 0;  // 0: follow the user's default

LANGID LanguageOfLocaleName(const std::string& name)
{
    if (name.size() >= 2) {
        const char a = (char)(name[0] | 0x20), b = (char)(name[1] | 0x20);
        if (a == 'z' && b == 'h') return kChineseSimplified;
        if (a == 'k' && b == 'o') return kKorean;
    }
    return kEnglishUS;
}

// The locale variables in the order gettext consults them; LANGUAGE is a colon list.
LANGID LanguageFromEnvironment()
{
    const char* language = std::getenv("LANGUAGE");
    if (language != nullptr) {
        std::string list(language);
        size_t start = 0;
        while (start <= list.size()) {
            size_t colon = list.find(':', start);
            std::string entry = list.substr(start, colon == std::string::npos ? std::string::npos : colon - start);
            if (!entry.empty()) return LanguageOfLocaleName(entry);
            if (colon == std::string::npos) break;
            start = colon + 1;
        }
    }
    for (const char* var : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        const char* v = std::getenv(var);
        if (v != nullptr && *v != 0) return LanguageOfLocaleName(v);
    }
    return kEnglishUS;
}

}  // namespace

LANGID WINAPI GetUserDefaultUILanguage()
{
    // Read once, as Windows fixes the user's language for the life of the process.
    static const LANGID language = LanguageFromEnvironment();
    return language;
}

LANGID WINAPI GetSystemDefaultUILanguage()
{
    return GetUserDefaultUILanguage();
}

LANGID WINAPI GetUserDefaultLangID()
{
    return GetUserDefaultUILanguage();
}

LANGID WINAPI GetThreadUILanguage()
{
    return t_threadLanguage != 0 ? t_threadLanguage : GetUserDefaultUILanguage();
}

LANGID WINAPI SetThreadUILanguage(LANGID LangId)
{
    if (LangId == 0 || LangId == LANG_USER_DEFAULT || LangId == LANG_SYSTEM_DEFAULT) {
        t_threadLanguage = 0;
        return GetUserDefaultUILanguage();
    }
    if (PRIMARYLANGID(LangId) == LANG_NEUTRAL) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    t_threadLanguage = LangId;
    return LangId;
}
