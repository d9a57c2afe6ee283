// The system message table in the languages besides English that a Windows of this system's
// users has: Chinese (Simplified) and Korean, for the same ids as the English table.
#pragma once

#include <windows.h>

#include <cstddef>

namespace npk::res {

struct LocalizedMessage {
    DWORD id;
    const char* text;  // UTF-8, ending with "\r\n"
};

inline const char* LookupLocalized(const LocalizedMessage* table, size_t count, DWORD id)
{
    for (size_t i = 0; i < count; ++i)
        if (table[i].id == id) return table[i].text;
    return nullptr;
}

const char* FindChineseSystemMessage(DWORD id);
const char* FindKoreanSystemMessage(DWORD id);

// Whether the table has texts in this language: Chinese (Simplified) and Korean.
inline bool HasLocalizedMessages(LANGID language)
{
    return language == MAKELANGID(LANG_CHINESE, SUBLANG_CHINESE_SIMPLIFIED) ||
           PRIMARYLANGID(language) == LANG_KOREAN;
}

// The text of a message id in that language, or null. As in English, a FACILITY_WIN32 HRESULT
// (0x8007xxxx) without an entry of its own finds the text of its Win32 code.
inline const char* FindLocalizedSystemMessage(DWORD id, LANGID language)
{
    const char* (*find)(DWORD) = nullptr;
    if (language == MAKELANGID(LANG_CHINESE, SUBLANG_CHINESE_SIMPLIFIED))
        find = FindChineseSystemMessage;
    else if (PRIMARYLANGID(language) == LANG_KOREAN)
        find = FindKoreanSystemMessage;
    if (find == nullptr) return nullptr;
    if (const char* text = find(id)) return text;
    if ((id & 0xFFFF0000u) == 0x80070000u) return find(id & 0xFFFFu);
    return nullptr;
}

}  // namespace npk::res
