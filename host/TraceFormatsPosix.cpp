// Reading event format files and turning recorded events into text.
#include "host/TraceFormats.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <sstream>
#include <vector>

#include <dirent.h>

namespace npk::host {
namespace {

std::string Trim(const std::string& text)
{
    size_t begin = text.find_first_not_of(" \t\r\n");
    if (begin == std::string::npos) {
        return std::string();
    }
    size_t end = text.find_last_not_of(" \t\r\n");
    return text.substr(begin, end - begin + 1);
}

// Module name from a file's first comment: "# Module: NAME. more" or "# NAME: more".
std::string ModuleFromComment(const std::string& comment)
{
    std::string text = Trim(comment.substr(1));
    const char kPrefix[] = "Module:";
    if (text.compare(0, sizeof(kPrefix) - 1, kPrefix) == 0) {
        text = Trim(text.substr(sizeof(kPrefix) - 1));
        size_t stop = text.find_first_of(".(");
        return Trim(text.substr(0, stop));
    }
    size_t colon = text.find(':');
    return Trim(colon != std::string::npos ? text.substr(0, colon) : text);
}

// One %N!type! placeholder.
struct Placeholder {
    size_t Begin = 0, End = 0;  // in the format text
    int Index = 0;              // 1-based
    std::string Flags;          // printf flags and width, e.g. "08"
    std::string Type;           // s, ws, d, u, x, X, I64d, I64u, I64x, I64X
};

// Inserts are numbered 1 to 99, as in FormatMessage: a longer number is no placeholder (it
// would overflow, and "%4294967297" must not read as "%1").
const size_t kMaxIndexDigits = 2;

bool ParsePlaceholder(const std::string& format, size_t at, Placeholder& out)
{
    size_t p = at + 1;
    int index = 0;
    while (p < format.size() && format[p] >= '0' && format[p] <= '9') {
        if (p - at > kMaxIndexDigits) {
            return false;
        }
        index = index * 10 + (format[p] - '0');
        ++p;
    }
    if (index == 0 || p >= format.size() || format[p] != '!') {
        return false;
    }
    size_t close = format.find('!', p + 1);
    if (close == std::string::npos) {
        return false;
    }
    std::string spec = format.substr(p + 1, close - p - 1);
    size_t t = 0;
    while (t < spec.size() && spec[t] != '\0' && std::strchr("-+ #0123456789.", spec[t]) != nullptr) {
        ++t;
    }
    static const char* const kTypes[] = {"s", "ws", "S", "d", "i", "u", "x", "X",
                                         "I64d", "I64u", "I64x", "I64X"};
    std::string type = spec.substr(t);
    bool known = false;
    for (const char* k : kTypes) {
        known = known || type == k;
    }
    if (!known) {
        return false;
    }
    out.Begin = at;
    out.End = close + 1;
    out.Index = index;
    out.Flags = spec.substr(0, t);
    out.Type = type;
    return true;
}

bool IsWide(const std::string& type) { return type == "ws" || type == "S"; }
bool Is64(const std::string& type) { return type.compare(0, 3, "I64") == 0; }
// Placeholders of one argument may differ in letter (d, u, x) but not in size.
int ArgumentKind(const std::string& type)
{
    return type == "s" ? 1 : IsWide(type) ? 2 : Is64(type) ? 8 : 4;
}

std::string HexBytes(const uint8_t* data, size_t size)
{
    std::string out;
    char byte[4];
    for (size_t i = 0; i < size; ++i) {
        std::snprintf(byte, sizeof(byte), i == 0 ? "%02x" : " %02x", data[i]);
        out += byte;
    }
    return out;
}

std::string TimeText(int64_t fileTime)
{
    if (fileTime <= 116444736000000000LL) {
        return "-";
    }
    int64_t unix100ns = fileTime - 116444736000000000LL;
    time_t seconds = (time_t)(unix100ns / 10000000);
    int micros = (int)((unix100ns % 10000000) / 10);
    struct tm parts;
    localtime_r(&seconds, &parts);
    char text[48];
    std::snprintf(text, sizeof(text), "%02d:%02d:%02d.%06d", parts.tm_hour, parts.tm_min,
                  parts.tm_sec, micros);
    return text;
}

}  // namespace

bool TraceFormats::AddText(const std::string& text, const std::string& fileName, std::string* error)
{
    std::istringstream in(text);
    std::string line;
    std::string module;
    bool firstComment = true;
    int lineNumber = 0;
    while (std::getline(in, line)) {
        ++lineNumber;
        std::string trimmed = Trim(line);
        if (trimmed.empty()) {
            continue;
        }
        if (trimmed[0] == '#') {
            if (firstComment) {
                module = ModuleFromComment(trimmed);
                firstComment = false;
            }
            continue;
        }
        firstComment = false;
        size_t close = trimmed.find('}');
        GUID guid{};
        if (trimmed[0] != '{' || close == std::string::npos ||
            !npk::etw::ParseGuid(trimmed.substr(0, close + 1), guid)) {
            if (error != nullptr) *error = fileName + ":" + std::to_string(lineNumber) + ": no {GUID} at the start";
            return false;
        }
        std::string rest = trimmed.substr(close + 1);
        size_t numberBegin = rest.find_first_not_of(" \t");
        size_t numberEnd = rest.find_first_of(" \t", numberBegin);
        std::string numberText = numberBegin == std::string::npos ? std::string() : rest.substr(numberBegin, numberEnd - numberBegin);
        char* end = nullptr;
        unsigned long number = std::strtoul(numberText.c_str(), &end, 10);
        if (numberText.empty() || *end != 0 || number > 0xFFFF) {
            if (error != nullptr) *error = fileName + ":" + std::to_string(lineNumber) + ": no event number";
            return false;
        }
        std::string format = numberEnd == std::string::npos ? std::string() : Trim(rest.substr(numberEnd));
        std::string key = npk::etw::GuidToString(guid);
        m_formats[Key(key, (uint16_t)number)] = format;
        if (!module.empty() && m_modules.count(key) == 0) {
            m_modules[key] = module;
        }
    }
    return true;
}

bool TraceFormats::AddDirectory(const std::string& dir, std::string* error)
{
    DIR* d = opendir(dir.c_str());
    if (d == nullptr) {
        if (error != nullptr) *error = "cannot read the format directory " + dir;
        return false;
    }
    std::vector<std::string> files;
    while (struct dirent* entry = readdir(d)) {
        std::string name = entry->d_name;
        if (name.size() > 4 && name.compare(name.size() - 4, 4, ".fmt") == 0) {
            files.push_back(name);
        }
    }
    closedir(d);
    bool ok = true;
    for (const std::string& name : files) {
        std::ifstream in(dir + "/" + name, std::ios::binary);
        std::ostringstream text;
        text << in.rdbuf();
        std::string problem;
        if (!AddText(text.str(), name, &problem)) {
            // A bad file does not hide the others.
            if (error != nullptr) *error = problem;
            ok = false;
        }
    }
    return ok;
}

const std::string* TraceFormats::Find(const GUID& guid, uint16_t number) const
{
    auto it = m_formats.find(Key(npk::etw::GuidToString(guid), number));
    return it != m_formats.end() ? &it->second : nullptr;
}

std::string TraceFormats::ModuleName(const GUID& guid) const
{
    std::string key = npk::etw::GuidToString(guid);
    auto it = m_modules.find(key);
    return it != m_modules.end() ? it->second : key;
}

std::string FormatEventText(const std::string& format, const uint8_t* data, size_t size)
{
    // The argument types come from the placeholders; the bytes carry none.
    std::vector<Placeholder> placeholders;
    std::map<int, std::string> types;
    for (size_t i = 0; i < format.size(); ++i) {
        Placeholder ph;
        if (format[i] == '%' && ParsePlaceholder(format, i, ph)) {
            placeholders.push_back(ph);
            types.emplace(ph.Index, ph.Type);
            i = ph.End - 1;
        }
    }
    // Decode arguments 1..n in order while each one's type is known.
    std::map<int, std::pair<size_t, size_t>> spans;  // index -> (offset, length)
    size_t offset = 0;
    for (int index = 1; types.count(index) != 0; ++index) {
        const std::string& type = types[index];
        size_t length = 0;
        if (type == "s") {
            while (offset + length < size && data[offset + length] != 0) ++length;
            if (offset + length >= size) break;
            spans[index] = {offset, length};
            offset += length + 1;
        } else if (IsWide(type)) {
            while (offset + 2 * length + 1 < size &&
                   (data[offset + 2 * length] != 0 || data[offset + 2 * length + 1] != 0)) ++length;
            if (offset + 2 * length + 1 >= size) break;
            spans[index] = {offset, length};
            offset += 2 * (length + 1);
        } else {
            length = Is64(type) ? 8 : 4;
            if (size - offset < length) break;
            spans[index] = {offset, length};
            offset += length;
        }
    }

    std::string out;
    size_t last = 0;
    for (const Placeholder& ph : placeholders) {
        out += format.substr(last, ph.Begin - last);
        last = ph.End;
        auto span = spans.find(ph.Index);
        if (span == spans.end() || ArgumentKind(types[ph.Index]) != ArgumentKind(ph.Type)) {
            out += "<missing>";
            continue;
        }
        const uint8_t* p = data + span->second.first;
        char buffer[128] = {};
        std::string spec = "%" + ph.Flags;
        if (ph.Type == "s") {
            out += std::string((const char*)p, span->second.second);
        } else if (IsWide(ph.Type)) {
            std::vector<WCHAR> wide(span->second.second + 1, 0);
            std::memcpy(wide.data(), p, span->second.second * 2);
            out += npk::etw::Utf16ToUtf8(wide.data(), span->second.second);
        } else if (Is64(ph.Type)) {
            uint64_t value;
            std::memcpy(&value, p, 8);
            char letter = ph.Type[3];
            std::string f = spec + (letter == 'd' ? PRId64 : letter == 'u' ? PRIu64 : letter == 'x' ? PRIx64 : PRIX64);
            int n = 0;
            if (letter == 'd') n = std::snprintf(buffer, sizeof(buffer), f.c_str(), (int64_t)value);
            else n = std::snprintf(buffer, sizeof(buffer), f.c_str(), value);
            if (n < 0) buffer[0] = '\0';  // a width the C library refuses
            out += buffer;
        } else {
            uint32_t value;
            std::memcpy(&value, p, 4);
            char letter = ph.Type[0];
            std::string f = spec + (letter == 'i' ? 'd' : letter);
            int n = 0;
            if (letter == 'd' || letter == 'i') n = std::snprintf(buffer, sizeof(buffer), f.c_str(), (int32_t)value);
            else n = std::snprintf(buffer, sizeof(buffer), f.c_str(), value);
            if (n < 0) buffer[0] = '\0';  // a width the C library refuses
            out += buffer;
        }
    }
    out += format.substr(last);
    // %% stands for one percent sign.
    std::string result;
    for (size_t i = 0; i < out.size(); ++i) {
        result += out[i];
        if (out[i] == '%' && i + 1 < out.size() && out[i + 1] == '%') ++i;
    }
    return result;
}

std::string FormatEventLine(const npk::etw::EventRecord& record, const TraceFormats& formats)
{
    const npk::etw::EventRecordHeader& h = record.Header;
    uint16_t number = h.MessageNumber;
    const uint8_t* args = record.Data.data();
    size_t size = record.Data.size();
    if (h.Kind == npk::etw::RecordKindEvent) {
        // Events sent by the trace facility's fallback: the number, then the arguments.
        if (h.ClassType == 255 && size >= 2) {
            number = (uint16_t)(args[0] | (args[1] << 8));
            args += 2;
            size -= 2;
        } else {
            number = h.ClassType;
        }
    }
    char prefix[96];
    std::snprintf(prefix, sizeof(prefix), "%6u %s %5u.%-5u ", (unsigned)h.Sequence,
                  TimeText(h.TimeStamp).c_str(), (unsigned)h.ProcessId, (unsigned)h.ThreadId);
    std::string line = prefix;
    const std::string* format = formats.Find(h.Guid, number);
    if (format == nullptr) {
        line += npk::etw::GuidToString(h.Guid) + " " + std::to_string(number) + " [" +
                HexBytes(args, size) + "]";
        return line;
    }
    line += formats.ModuleName(h.Guid) + " " + std::to_string(number) + ": ";
    // One event, one line: line breaks inside argument texts are shown escaped.
    for (char c : FormatEventText(*format, args, size)) {
        if (c == '\r') {
            line += "\\r";
        } else if (c == '\n') {
            line += "\\n";
        } else {
            line += c;
        }
    }
    return line;
}

}  // namespace npk::host
