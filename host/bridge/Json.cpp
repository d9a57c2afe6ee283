#include "host/bridge/Json.h"

#include "host/TextCodec.h"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <unordered_set>

namespace npk::bridge {

// ---- values ------------------------------------------------------------------------------

JsonValue JsonValue::Bool(bool b)
{
    JsonValue v;
    v.m_type = Type::Bool;
    v.m_bool = b;
    return v;
}

JsonValue JsonValue::Number(double d)
{
    JsonValue v;
    v.m_type = Type::Number;
    v.m_number = d;
    return v;
}

JsonValue JsonValue::String(std::string s)
{
    JsonValue v;
    v.m_type = Type::String;
    v.m_string = std::move(s);
    return v;
}

JsonValue JsonValue::Array()
{
    JsonValue v;
    v.m_type = Type::Array;
    return v;
}

JsonValue JsonValue::Object()
{
    JsonValue v;
    v.m_type = Type::Object;
    return v;
}

const JsonValue* JsonValue::Find(std::string_view name) const
{
    if (m_type != Type::Object) {
        return nullptr;
    }
    for (const Member& m : m_members) {
        if (m.first == name) {
            return &m.second;
        }
    }
    return nullptr;
}

JsonValue& JsonValue::Set(std::string name, JsonValue value)
{
    m_type = Type::Object;
    for (Member& m : m_members) {
        if (m.first == name) {
            m.second = std::move(value);
            return *this;
        }
    }
    m_members.emplace_back(std::move(name), std::move(value));
    return *this;
}

JsonValue& JsonValue::AddMember(std::string name, JsonValue value)
{
    m_type = Type::Object;
    m_members.emplace_back(std::move(name), std::move(value));
    return *this;
}

JsonValue& JsonValue::Append(JsonValue value)
{
    m_type = Type::Array;
    m_items.push_back(std::move(value));
    return *this;
}

// ---- UTF-8 --------------------------------------------------------------------------------

namespace {

// Length of the valid UTF-8 sequence at s[i] (shortest form, no surrogates, at most
// U+10FFFF); 0 when the bytes there are not one.
size_t Utf8SequenceLength(std::string_view s, size_t i)
{
    const auto b0 = static_cast<uint8_t>(s[i]);
    if (b0 < 0x80) {
        return 1;
    }
    size_t len;
    uint32_t cp;
    uint32_t min;
    if ((b0 & 0xE0) == 0xC0) {
        len = 2; cp = b0 & 0x1F; min = 0x80;
    } else if ((b0 & 0xF0) == 0xE0) {
        len = 3; cp = b0 & 0x0F; min = 0x800;
    } else if ((b0 & 0xF8) == 0xF0) {
        len = 4; cp = b0 & 0x07; min = 0x10000;
    } else {
        return 0;
    }
    if (s.size() - i < len) {
        return 0;
    }
    for (size_t k = 1; k < len; ++k) {
        const auto b = static_cast<uint8_t>(s[i + k]);
        if ((b & 0xC0) != 0x80) {
            return 0;
        }
        cp = (cp << 6) | (b & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
        return 0;
    }
    return len;
}

// ---- reader -------------------------------------------------------------------------------

constexpr size_t kSmallObject = 16;

class Parser {
public:
    explicit Parser(std::string_view text) : m_text(text) {}

    bool ParseDocument(JsonValue& out, std::string& error)
    {
        SkipSpace();
        if (!ParseValue(out, 0)) {
            error = m_error;
            return false;
        }
        SkipSpace();
        if (m_pos != m_text.size()) {
            error = "unexpected text after the value at byte " + std::to_string(m_pos);
            return false;
        }
        return true;
    }

private:
    bool Fail(const char* what)
    {
        if (m_error.empty()) {
            m_error = std::string(what) + " at byte " + std::to_string(m_pos);
        }
        return false;
    }

    void SkipSpace()
    {
        while (m_pos < m_text.size()) {
            const char c = m_text[m_pos];
            if (c != ' ' && c != '\t' && c != '\n' && c != '\r') {
                return;
            }
            ++m_pos;
        }
    }

    bool Literal(const char* word)
    {
        const size_t n = std::strlen(word);
        if (m_text.substr(m_pos, n) != word) {
            return Fail("invalid literal");
        }
        m_pos += n;
        return true;
    }

    bool ParseValue(JsonValue& out, int depth)
    {
        if (m_pos >= m_text.size()) {
            return Fail("unexpected end of text");
        }
        switch (m_text[m_pos]) {
        case '{':
            return ParseObject(out, depth + 1);
        case '[':
            return ParseArray(out, depth + 1);
        case '"': {
            out = JsonValue::String(std::string());
            return ParseString(out.MutableString());
        }
        case 't':
            out = JsonValue::Bool(true);
            return Literal("true");
        case 'f':
            out = JsonValue::Bool(false);
            return Literal("false");
        case 'n':
            out = JsonValue();
            return Literal("null");
        default:
            return ParseNumber(out);
        }
    }

    bool ParseObject(JsonValue& out, int depth)
    {
        if (depth > kJsonMaxDepth) {
            return Fail("nesting too deep");
        }
        ++m_pos;  // '{'
        out = JsonValue::Object();
        SkipSpace();
        if (m_pos < m_text.size() && m_text[m_pos] == '}') {
            ++m_pos;
            return true;
        }
        // Names seen, for the duplicate test; a set once the object is no longer small, so
        // that a message with many members cannot make the test quadratic.
        std::unordered_set<std::string> names;
        for (;;) {
            SkipSpace();
            if (m_pos >= m_text.size() || m_text[m_pos] != '"') {
                return Fail("expected a member name");
            }
            std::string name;
            if (!ParseString(name)) {
                return false;
            }
            const bool duplicate = out.Members().size() < kSmallObject ? out.Find(name) != nullptr
                                                                       : !names.insert(name).second;
            if (duplicate) {
                return Fail("duplicate member name");
            }
            if (out.Members().size() + 1 == kSmallObject) {
                for (const JsonValue::Member& m : out.Members()) {
                    names.insert(m.first);
                }
                names.insert(name);
            }
            SkipSpace();
            if (m_pos >= m_text.size() || m_text[m_pos] != ':') {
                return Fail("expected ':'");
            }
            ++m_pos;
            SkipSpace();
            JsonValue value;
            if (!ParseValue(value, depth)) {
                return false;
            }
            out.AddMember(std::move(name), std::move(value));
            SkipSpace();
            if (m_pos >= m_text.size()) {
                return Fail("unexpected end of text in an object");
            }
            if (m_text[m_pos] == ',') {
                ++m_pos;
                continue;
            }
            if (m_text[m_pos] == '}') {
                ++m_pos;
                return true;
            }
            return Fail("expected ',' or '}'");
        }
    }

    bool ParseArray(JsonValue& out, int depth)
    {
        if (depth > kJsonMaxDepth) {
            return Fail("nesting too deep");
        }
        ++m_pos;  // '['
        out = JsonValue::Array();
        SkipSpace();
        if (m_pos < m_text.size() && m_text[m_pos] == ']') {
            ++m_pos;
            return true;
        }
        for (;;) {
            SkipSpace();
            JsonValue item;
            if (!ParseValue(item, depth)) {
                return false;
            }
            out.Append(std::move(item));
            SkipSpace();
            if (m_pos >= m_text.size()) {
                return Fail("unexpected end of text in an array");
            }
            if (m_text[m_pos] == ',') {
                ++m_pos;
                continue;
            }
            if (m_text[m_pos] == ']') {
                ++m_pos;
                return true;
            }
            return Fail("expected ',' or ']'");
        }
    }

    bool Hex4(uint32_t& value)
    {
        if (m_text.size() - m_pos < 4) {
            return Fail("short \\u escape");
        }
        value = 0;
        for (int k = 0; k < 4; ++k) {
            const int d = HexDigitValue(m_text[m_pos + k]);
            if (d < 0) {
                return Fail("invalid \\u escape");
            }
            value = (value << 4) | static_cast<uint32_t>(d);
        }
        m_pos += 4;
        return true;
    }

    bool ParseString(std::string& out)
    {
        ++m_pos;  // '"'
        for (;;) {
            // Copy the run of plain bytes at once; long texts are mostly that.
            size_t run = m_pos;
            while (run < m_text.size()) {
                const auto c = static_cast<uint8_t>(m_text[run]);
                if (c == '"' || c == '\\' || c < 0x20 || c >= 0x80) {
                    break;
                }
                ++run;
            }
            out.append(m_text.data() + m_pos, run - m_pos);
            m_pos = run;
            if (m_pos >= m_text.size()) {
                return Fail("unterminated string");
            }
            const auto c = static_cast<uint8_t>(m_text[m_pos]);
            if (c == '"') {
                ++m_pos;
                return true;
            }
            if (c < 0x20) {
                return Fail("control character in a string");
            }
            if (c >= 0x80) {
                const size_t len = Utf8SequenceLength(m_text, m_pos);
                if (len == 0) {
                    return Fail("invalid UTF-8");
                }
                out.append(m_text.data() + m_pos, len);
                m_pos += len;
                continue;
            }
            // A backslash escape.
            if (++m_pos >= m_text.size()) {
                return Fail("unterminated escape");
            }
            const char e = m_text[m_pos++];
            switch (e) {
            case '"': out += '"'; break;
            case '\\': out += '\\'; break;
            case '/': out += '/'; break;
            case 'b': out += '\b'; break;
            case 'f': out += '\f'; break;
            case 'n': out += '\n'; break;
            case 'r': out += '\r'; break;
            case 't': out += '\t'; break;
            case 'u': {
                uint32_t cp = 0;
                if (!Hex4(cp)) {
                    return false;
                }
                if (cp >= 0xD800 && cp <= 0xDBFF) {
                    // A high surrogate pairs with an immediately following low one.
                    uint32_t low = 0;
                    if (m_text.size() - m_pos >= 6 && m_text[m_pos] == '\\' && m_text[m_pos + 1] == 'u') {
                        const size_t save = m_pos;
                        m_pos += 2;
                        if (!Hex4(low)) {
                            return false;
                        }
                        if (low >= 0xDC00 && low <= 0xDFFF) {
                            cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
                        } else {
                            m_pos = save;
                            cp = 0xFFFD;
                        }
                    } else {
                        cp = 0xFFFD;
                    }
                } else if (cp >= 0xDC00 && cp <= 0xDFFF) {
                    cp = 0xFFFD;
                }
                npk::host::AppendUtf8(out, cp);
                break;
            }
            default:
                --m_pos;
                return Fail("invalid escape");
            }
        }
    }

    bool ParseNumber(JsonValue& out)
    {
        const size_t start = m_pos;
        auto digit = [this](size_t p) { return p < m_text.size() && m_text[p] >= '0' && m_text[p] <= '9'; };
        size_t p = m_pos;
        if (p < m_text.size() && m_text[p] == '-') {
            ++p;
        }
        if (!digit(p)) {
            return Fail("invalid value");
        }
        if (m_text[p] == '0') {
            ++p;
        } else {
            while (digit(p)) {
                ++p;
            }
        }
        if (p < m_text.size() && m_text[p] == '.') {
            ++p;
            if (!digit(p)) {
                return Fail("invalid number");
            }
            while (digit(p)) {
                ++p;
            }
        }
        if (p < m_text.size() && (m_text[p] == 'e' || m_text[p] == 'E')) {
            ++p;
            if (p < m_text.size() && (m_text[p] == '+' || m_text[p] == '-')) {
                ++p;
            }
            if (!digit(p)) {
                return Fail("invalid number");
            }
            while (digit(p)) {
                ++p;
            }
        }
        double d = 0;
        // from_chars reads no locale, which the plug-in's toolkit may have changed.
        const auto res = std::from_chars(m_text.data() + start, m_text.data() + p, d);
        if (res.ec == std::errc::result_out_of_range) {
            return Fail("number out of range");
        }
        if (res.ec != std::errc() || res.ptr != m_text.data() + p) {
            return Fail("invalid number");
        }
        m_pos = p;
        out = JsonValue::Number(d);
        return true;
    }

    std::string_view m_text;
    size_t m_pos = 0;
    std::string m_error;
};

void AppendNumber(std::string& out, double d)
{
    if (!std::isfinite(d)) {
        out += "null";
        return;
    }
    char buf[64];
    const auto res = std::to_chars(buf, buf + sizeof(buf), d);
    out.append(buf, res.ptr);
}

}  // namespace

bool ParseJson(std::string_view text, JsonValue& out, std::string& error)
{
    Parser parser(text);
    JsonValue value;
    if (!parser.ParseDocument(value, error)) {
        return false;
    }
    out = std::move(value);
    return true;
}

// ---- writer -------------------------------------------------------------------------------

size_t JsonEscapedCharSize(std::string_view text, size_t i, size_t& charLength)
{
    const auto c = static_cast<uint8_t>(text[i]);
    if (c < 0x80) {
        charLength = 1;
        if (c == '"' || c == '\\' || c == '\n' || c == '\r' || c == '\t' || c == '\b' || c == '\f') {
            return 2;
        }
        return c < 0x20 ? 6 : 1;
    }
    charLength = Utf8SequenceLength(text, i);
    if (charLength == 0) {
        charLength = 1;
        return 3;  // written as U+FFFD
    }
    return charLength;
}

void AppendJsonString(std::string& out, std::string_view s)
{
    static const char kHex[] = "0123456789abcdef";
    out += '"';
    size_t i = 0;
    while (i < s.size()) {
        size_t run = i;
        while (run < s.size()) {
            const auto c = static_cast<uint8_t>(s[run]);
            if (c == '"' || c == '\\' || c < 0x20 || c >= 0x80) {
                break;
            }
            ++run;
        }
        out.append(s.data() + i, run - i);
        i = run;
        if (i >= s.size()) {
            break;
        }
        const auto c = static_cast<uint8_t>(s[i]);
        if (c >= 0x80) {
            const size_t len = Utf8SequenceLength(s, i);
            if (len == 0) {
                out += "\xEF\xBF\xBD";
                ++i;
            } else {
                out.append(s.data() + i, len);
                i += len;
            }
            continue;
        }
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        case '\b': out += "\\b"; break;
        case '\f': out += "\\f"; break;
        default:
            out += "\\u00";
            out += kHex[c >> 4];
            out += kHex[c & 0xF];
            break;
        }
        ++i;
    }
    out += '"';
}

void AppendJson(std::string& out, const JsonValue& v)
{
    switch (v.GetType()) {
    case JsonValue::Type::Null:
        out += "null";
        break;
    case JsonValue::Type::Bool:
        out += v.AsBool() ? "true" : "false";
        break;
    case JsonValue::Type::Number:
        AppendNumber(out, v.AsNumber());
        break;
    case JsonValue::Type::String:
        AppendJsonString(out, v.AsString());
        break;
    case JsonValue::Type::Array: {
        out += '[';
        bool first = true;
        for (const JsonValue& item : v.Items()) {
            if (!first) {
                out += ',';
            }
            first = false;
            AppendJson(out, item);
        }
        out += ']';
        break;
    }
    case JsonValue::Type::Object: {
        out += '{';
        bool first = true;
        for (const JsonValue::Member& m : v.Members()) {
            if (!first) {
                out += ',';
            }
            first = false;
            AppendJsonString(out, m.first);
            out += ':';
            AppendJson(out, m.second);
        }
        out += '}';
        break;
    }
    }
}

std::string WriteJson(const JsonValue& value)
{
    std::string out;
    AppendJson(out, value);
    return out;
}

int HexDigitValue(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace npk::bridge
