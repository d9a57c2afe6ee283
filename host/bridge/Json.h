// A small, strict JSON reader and writer for the bridge's messages (RFC 8259): no comments,
// no trailing commas, no duplicate keys, valid UTF-8 only, nesting bounded. Strings are held
// as UTF-8; \u escapes become UTF-8, a lone surrogate escape becomes U+FFFD.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace npk::bridge {

class JsonValue {
public:
    enum class Type { Null, Bool, Number, String, Array, Object };
    using Member = std::pair<std::string, JsonValue>;

    JsonValue() = default;
    static JsonValue Bool(bool b);
    static JsonValue Number(double d);
    static JsonValue String(std::string s);
    static JsonValue Array();
    static JsonValue Object();

    Type GetType() const { return m_type; }
    bool IsNull() const { return m_type == Type::Null; }
    bool IsBool() const { return m_type == Type::Bool; }
    bool IsNumber() const { return m_type == Type::Number; }
    bool IsString() const { return m_type == Type::String; }
    bool IsArray() const { return m_type == Type::Array; }
    bool IsObject() const { return m_type == Type::Object; }

    bool AsBool() const { return m_bool; }
    double AsNumber() const { return m_number; }
    const std::string& AsString() const { return m_string; }
    std::string& MutableString() { return m_string; }
    const std::vector<JsonValue>& Items() const { return m_items; }
    const std::vector<Member>& Members() const { return m_members; }

    // Object member by name; null when absent or when this is not an object.
    const JsonValue* Find(std::string_view name) const;

    // Builders. Set replaces a member of the same name.
    JsonValue& Set(std::string name, JsonValue value);
    JsonValue& Append(JsonValue value);
    // Adds a member without looking for one of the same name (the caller knows there is none).
    JsonValue& AddMember(std::string name, JsonValue value);

private:
    Type m_type = Type::Null;
    bool m_bool = false;
    double m_number = 0;
    std::string m_string;
    std::vector<JsonValue> m_items;
    std::vector<Member> m_members;
};

inline constexpr int kJsonMaxDepth = 64;

// Parses a whole text (white space around the value is allowed). False with a short reason
// on any departure from the grammar.
bool ParseJson(std::string_view text, JsonValue& out, std::string& error);

// The value as compact JSON. Strings are written as UTF-8 with only '"', '\\' and control
// characters escaped; bytes that are not valid UTF-8 are written as U+FFFD. Numbers that are
// not finite are written as null.
std::string WriteJson(const JsonValue& value);
void AppendJson(std::string& out, const JsonValue& value);
void AppendJsonString(std::string& out, std::string_view utf8);

// The number of bytes AppendJsonString adds for one character of valid UTF-8 starting at
// text[i], and that character's length in bytes.
size_t JsonEscapedCharSize(std::string_view text, size_t i, size_t& charLength);

// The value of one hexadecimal digit, either case; -1 for any other character.
int HexDigitValue(char c);

}  // namespace npk::bridge
