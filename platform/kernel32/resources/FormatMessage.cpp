// FormatMessageW and FormatMessageA: message texts from the system table, a module's message
// table or a string, with inserts, escapes, line-width control and allocated buffers.
#include <windows.h>

#include "ResourceImage.h"
#include "SystemMessages.h"
#include "SystemMessagesLocalized.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

using std::u16string;

const int kMaxInserts = 99;

std::u16string Widen(const char* s, int length = -1)
{
    if (s == nullptr) return u16string();
    int n = MultiByteToWideChar(CP_UTF8, 0, s, length, nullptr, 0);
    if (n <= 0) return u16string();
    u16string w((size_t)n, u'\0');
    MultiByteToWideChar(CP_UTF8, 0, s, length, &w[0], n);
    if (length < 0 && !w.empty()) w.pop_back();  // the converted terminator
    return w;
}

std::string Narrow(const u16string& w)
{
    if (w.empty()) return std::string();
    int n = WideCharToMultiByte(CP_UTF8, 0, w.data(), (int)w.size(), nullptr, 0, nullptr, nullptr);
    if (n <= 0) return std::string();
    std::string s((size_t)n, '\0');
    WideCharToMultiByte(CP_UTF8, 0, w.data(), (int)w.size(), &s[0], n, nullptr, nullptr);
    return s;
}

enum class Length { None, Short, Long, Int64, Wide };
enum class ArgKind { Unknown, Int32, Int64, Pointer };

// One "%n!format!" insert: the printf-style format between the exclamation marks.
struct InsertSpec {
    std::string flags;
    int width = -1;
    int precision = -1;
    Length length = Length::None;
    char conversion = 's';
};

bool IsDigit(char16_t c)
{
    return c >= u'0' && c <= u'9';
}

// Parses the insert that starts at text[i], just after '%', on a digit 1..9. Advances i.
bool ParseInsert(const u16string& text, size_t& i, int* index, InsertSpec* spec)
{
    int n = text[i++] - u'0';
    if (i < text.size() && IsDigit(text[i])) n = n * 10 + (text[i++] - u'0');
    *index = n;
    *spec = InsertSpec();
    if (i >= text.size() || text[i] != u'!') return true;  // plain %n means !s!
    size_t close = text.find(u'!', i + 1);
    if (close == u16string::npos) return false;
    std::string f;
    for (size_t k = i + 1; k < close; ++k) {
        if (text[k] > 0x7F) return false;
        f.push_back((char)text[k]);
    }
    i = close + 1;
    size_t k = 0;
    while (k < f.size() && std::strchr("-+ #0", f[k]) != nullptr) spec->flags.push_back(f[k++]);
    if (k < f.size() && f[k] == '*') return false;  // widths taken from arguments: not supported
    if (k < f.size() && f[k] >= '0' && f[k] <= '9') {
        spec->width = 0;
        while (k < f.size() && f[k] >= '0' && f[k] <= '9') spec->width = spec->width * 10 + (f[k++] - '0');
    }
    if (k < f.size() && f[k] == '.') {
        ++k;
        if (k < f.size() && f[k] == '*') return false;
        spec->precision = 0;
        while (k < f.size() && f[k] >= '0' && f[k] <= '9') spec->precision = spec->precision * 10 + (f[k++] - '0');
    }
    if (f.compare(k, 3, "I64") == 0) {
        spec->length = Length::Int64;
        k += 3;
    } else if (f.compare(k, 3, "I32") == 0) {
        k += 3;
    } else if (f.compare(k, 2, "ll") == 0) {
        spec->length = Length::Int64;
        k += 2;
    } else if (k < f.size() && f[k] == 'l') {
        spec->length = Length::Long;
        ++k;
    } else if (k < f.size() && f[k] == 'w') {
        spec->length = Length::Wide;
        ++k;
    } else if (k < f.size() && f[k] == 'h') {
        spec->length = Length::Short;
        ++k;
    }
    if (k + 1 != f.size()) return false;
    spec->conversion = f[k];
    return std::strchr("sScCdiuxXop", spec->conversion) != nullptr;
}

ArgKind KindOf(const InsertSpec& spec)
{
    switch (spec.conversion) {
    case 's': case 'S': case 'p':
        return ArgKind::Pointer;
    default:
        return spec.length == Length::Int64 ? ArgKind::Int64 : ArgKind::Int32;
    }
}

// The insert values: an array of DWORD_PTR, or a va_list read once in index order using the
// types the format gives each index.
class Arguments {
public:
    Arguments(va_list* list, bool isArray) : m_list(list), m_isArray(isArray) {}

    bool Present() const { return m_list != nullptr; }

    void Prepare(const u16string& text)
    {
        if (m_list == nullptr || m_isArray) return;
        std::vector<ArgKind> kinds(kMaxInserts + 1, ArgKind::Unknown);
        int highest = 0;
        for (size_t i = 0; i < text.size(); ++i) {
            if (text[i] != u'%' || i + 1 >= text.size()) continue;
            ++i;
            if (!IsDigit(text[i]) || text[i] == u'0') continue;
            int index;
            InsertSpec spec;
            size_t j = i;
            if (!ParseInsert(text, j, &index, &spec)) break;
            if (kinds[index] == ArgKind::Unknown) kinds[index] = KindOf(spec);
            if (index > highest) highest = index;
            i = j - 1;
        }
        va_list ap;
        va_copy(ap, *m_list);
        m_values.assign((size_t)highest + 1, 0);
        for (int n = 1; n <= highest; ++n) {
            switch (kinds[n]) {
            case ArgKind::Int32: m_values[n] = (uint32_t)va_arg(ap, int); break;
            case ArgKind::Int64: m_values[n] = (uint64_t)va_arg(ap, long long); break;
            default: m_values[n] = (uint64_t)va_arg(ap, uintptr_t); break;
            }
        }
        va_end(ap);
    }

    uint64_t Get(int index) const
    {
        if (m_isArray) return (uint64_t)((const DWORD_PTR*)m_list)[index - 1];
        return (size_t)index < m_values.size() ? m_values[index] : 0;
    }

private:
    va_list* m_list;
    bool m_isArray;
    std::vector<uint64_t> m_values;
};

void Pad(u16string* out, const u16string& value, const InsertSpec& spec)
{
    u16string v = value;
    if (spec.precision >= 0 && (size_t)spec.precision < v.size()) v.resize((size_t)spec.precision);
    size_t pad = spec.width > 0 && (size_t)spec.width > v.size() ? (size_t)spec.width - v.size() : 0;
    bool left = spec.flags.find('-') != std::string::npos;
    if (!left) out->append(pad, u' ');
    out->append(v);
    if (left) out->append(pad, u' ');
}

bool FormatInsert(u16string* out, const InsertSpec& spec, uint64_t value, bool ansi)
{
    const char c = spec.conversion;
    if (c == 's' || c == 'S' || c == 'c' || c == 'C') {
        // In the W function %s and %c are wide and %S, %C narrow; the A function the reverse.
        bool upper = c == 'S' || c == 'C';
        bool wide = ansi ? upper : !upper;
        if (spec.length == Length::Short) wide = false;
        if (spec.length == Length::Long || spec.length == Length::Wide) wide = true;
        u16string v;
        if (c == 's' || c == 'S') {
            const void* p = (const void*)(uintptr_t)value;
            if (p == nullptr) v = u"(null)";
            else if (wide) v = u16string((const char16_t*)p);
            else v = Widen((const char*)p);
        } else {
            v.push_back(wide ? (char16_t)value : (char16_t)(unsigned char)value);
        }
        Pad(out, v, spec);
        return true;
    }
    char buffer[128];
    std::string fmt = "%" + spec.flags;
    if (spec.width >= 0) fmt += std::to_string(spec.width);
    if (spec.precision >= 0) fmt += "." + std::to_string(spec.precision);
    if (c == 'p') {
        std::snprintf(buffer, sizeof buffer, "%0*llX", (int)(2 * sizeof(void*)), (unsigned long long)value);
    } else if (c == 'd' || c == 'i') {
        long long v = spec.length == Length::Int64 ? (long long)value
                      : spec.length == Length::Short ? (long long)(int16_t)value
                                                     : (long long)(int32_t)value;
        std::snprintf(buffer, sizeof buffer, (fmt + "ll" + c).c_str(), v);
    } else {
        unsigned long long v = spec.length == Length::Int64 ? (unsigned long long)value
                               : spec.length == Length::Short ? (unsigned long long)(uint16_t)value
                                                              : (unsigned long long)(uint32_t)value;
        std::snprintf(buffer, sizeof buffer, (fmt + "ll" + c).c_str(), v);
    }
    out->append(Widen(buffer));
    return true;
}

bool IsLineBreak(const u16string& s, size_t i, size_t* length)
{
    if (s[i] == u'\r' && i + 1 < s.size() && s[i + 1] == u'\n') {
        *length = 2;
        return true;
    }
    if (s[i] == u'\n' || s[i] == u'\r') {
        *length = 1;
        return true;
    }
    return false;
}

// Wraps each line of text to at most width characters, breaking at the last space.
u16string Wrap(const u16string& text, size_t width)
{
    u16string out;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find(u"\r\n", start);
        u16string line = text.substr(start, end == u16string::npos ? u16string::npos : end - start);
        while (line.size() > width) {
            size_t cut = line.rfind(u' ', width);
            if (cut == u16string::npos || cut == 0) {
                out.append(line, 0, width);
                line.erase(0, width);
            } else {
                out.append(line, 0, cut);
                line.erase(0, cut + 1);
            }
            out.append(u"\r\n");
        }
        out.append(line);
        if (end == u16string::npos) break;
        out.append(u"\r\n");
        start = end + 2;
    }
    return out;
}

// Expands the message text. Returns false with the last error set.
bool Expand(const u16string& text, DWORD flags, Arguments& args, bool ansi, u16string* out)
{
    const DWORD width = flags & FORMAT_MESSAGE_MAX_WIDTH_MASK;
    const bool inserts = (flags & FORMAT_MESSAGE_IGNORE_INSERTS) == 0;
    if (inserts) args.Prepare(text);
    for (size_t i = 0; i < text.size();) {
        size_t breakLength;
        if (width != 0 && IsLineBreak(text, i, &breakLength)) {
            out->push_back(u' ');  // the text's own line breaks give way to the width rule
            i += breakLength;
            continue;
        }
        if (text[i] != u'%' || !inserts) {
            out->push_back(text[i++]);
            continue;
        }
        if (++i >= text.size()) break;
        const char16_t c = text[i];
        if (c == u'0') break;  // end of message, no line break
        if (IsDigit(c)) {
            int index;
            InsertSpec spec;
            if (!ParseInsert(text, i, &index, &spec) || !args.Present()) {
                SetLastError(ERROR_INVALID_PARAMETER);
                return false;
            }
            FormatInsert(out, spec, args.Get(index), ansi);
            continue;
        }
        ++i;
        switch (c) {
        case u'n': out->append(u"\r\n"); break;
        case u'r': out->push_back(u'\r'); break;
        case u't': out->push_back(u'\t'); break;
        default: out->push_back(c); break;  // %%, %space, %., %! and the like
        }
    }
    if (width != 0 && width != FORMAT_MESSAGE_MAX_WIDTH_MASK) *out = Wrap(*out, width);
    return true;
}

// A message of a module's message table (MESSAGE_RESOURCE_DATA). Returns false with the last
// error set when the table or the message is missing.
bool FindModuleMessage(HMODULE module, DWORD id, DWORD language, u16string* text)
{
    const npk::res::ResourceEntry* e =
        npk::res::Find(module, RT_MESSAGETABLE, MAKEINTRESOURCEW(1), (WORD)language);
    if (e == nullptr) return false;
    const BYTE* data = e->data;
    const size_t size = e->size;
    auto dword = [&](size_t off, DWORD* v) {
        if (off + 4 > size) return false;
        std::memcpy(v, data + off, 4);
        return true;
    };
    DWORD blocks = 0;
    if (!dword(0, &blocks)) blocks = 0;
    for (DWORD b = 0; b < blocks; ++b) {
        DWORD low, high, offset;
        if (!dword(4 + b * 12, &low) || !dword(8 + b * 12, &high) || !dword(12 + b * 12, &offset)) break;
        if (id < low || id > high) continue;
        size_t off = offset;
        for (DWORD k = low;; ++k) {
            WORD length, entryFlags;
            if (off + 4 > size) break;
            std::memcpy(&length, data + off, 2);
            std::memcpy(&entryFlags, data + off + 2, 2);
            if (length < 4 || off + length > size) break;
            if (k == id) {
                const BYTE* p = data + off + 4;
                size_t bytes = length - 4u;
                if (entryFlags & 1) {
                    u16string w((const char16_t*)(const void*)p, bytes / 2);
                    while (!w.empty() && w.back() == 0) w.pop_back();
                    *text = w;
                } else {
                    std::string s((const char*)p, bytes);
                    while (!s.empty() && s.back() == 0) s.pop_back();
                    *text = Widen(s.c_str());
                }
                return true;
            }
            off += length;
        }
    }
    SetLastError(ERROR_MR_MID_NOT_FOUND);
    return false;
}

bool SourceText(DWORD flags, LPCVOID source, DWORD id, DWORD language, bool ansi, u16string* text)
{
    if (flags & FORMAT_MESSAGE_FROM_STRING) {
        if (source == nullptr) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return false;
        }
        *text = ansi ? Widen((const char*)source) : u16string((const char16_t*)source);
        return true;
    }
    const bool fromModule = (flags & FORMAT_MESSAGE_FROM_HMODULE) != 0;
    const bool fromSystem = (flags & FORMAT_MESSAGE_FROM_SYSTEM) != 0;
    if (!fromModule && !fromSystem) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    if (fromModule && FindModuleMessage((HMODULE)source, id, language, text)) return true;
    if (!fromSystem) return false;
    const char* english = npk::res::FindSystemMessage(id);
    const char* message = nullptr;
    if (language == 0 || language == LANG_USER_DEFAULT || language == LANG_SYSTEM_DEFAULT) {
        // Windows looks in the thread's (or the user's) UI language first, then in US English.
        const LANGID ui = language == 0 ? GetThreadUILanguage() : GetUserDefaultUILanguage();
        message = npk::res::FindLocalizedSystemMessage(id, ui);
        if (message == nullptr) message = english;
    } else if (npk::res::HasLocalizedMessages((LANGID)language)) {
        message = npk::res::FindLocalizedSystemMessage(id, (LANGID)language);
    } else if (PRIMARYLANGID(language) == LANG_ENGLISH) {
        message = english;
    } else {
        // Only English, Chinese (Simplified) and Korean are installed.
        SetLastError(ERROR_RESOURCE_LANG_NOT_FOUND);
        return false;
    }
    if (message == nullptr) {
        SetLastError(english != nullptr ? ERROR_RESOURCE_LANG_NOT_FOUND : ERROR_MR_MID_NOT_FOUND);
        return false;
    }
    *text = Widen(message);
    return true;
}

template <typename Char>
DWORD Deliver(const std::basic_string<Char>& out, DWORD flags, Char* buffer, DWORD size)
{
    const size_t count = out.size();
    if (flags & FORMAT_MESSAGE_ALLOCATE_BUFFER) {
        size_t chars = count + 1 > size ? count + 1 : size;
        Char* p = (Char*)LocalAlloc(LMEM_FIXED, chars * sizeof(Char));
        if (p == nullptr) {
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return 0;
        }
        std::memcpy(p, out.data(), count * sizeof(Char));
        p[count] = 0;
        *(Char**)buffer = p;
        return (DWORD)count;
    }
    if (count + 1 > size) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    std::memcpy(buffer, out.data(), count * sizeof(Char));
    buffer[count] = 0;
    return (DWORD)count;
}

template <typename Char>
DWORD Format(DWORD flags, LPCVOID source, DWORD id, DWORD language, Char* buffer, DWORD size,
             va_list* arguments, bool ansi)
{
    if (buffer == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    if (flags & FORMAT_MESSAGE_ALLOCATE_BUFFER) *(Char**)buffer = nullptr;
    u16string text;
    if (!SourceText(flags, source, id, language, ansi, &text)) return 0;
    Arguments args(arguments, (flags & FORMAT_MESSAGE_ARGUMENT_ARRAY) != 0);
    u16string out;
    if (!Expand(text, flags, args, ansi, &out)) return 0;
    if constexpr (sizeof(Char) == 1) {
        return Deliver(Narrow(out), flags, buffer, size);
    } else {
        return Deliver(out, flags, buffer, size);
    }
}

}  // namespace

DWORD WINAPI FormatMessageW(DWORD dwFlags, LPCVOID lpSource, DWORD dwMessageId, DWORD dwLanguageId,
                            LPWSTR lpBuffer, DWORD nSize, va_list* Arguments)
{
    return Format<WCHAR>(dwFlags, lpSource, dwMessageId, dwLanguageId, lpBuffer, nSize, Arguments, false);
}

DWORD WINAPI FormatMessageA(DWORD dwFlags, LPCVOID lpSource, DWORD dwMessageId, DWORD dwLanguageId,
                            LPSTR lpBuffer, DWORD nSize, va_list* Arguments)
{
    return Format<CHAR>(dwFlags, lpSource, dwMessageId, dwLanguageId, lpBuffer, nSize, Arguments, true);
}
