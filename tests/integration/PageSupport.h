// What the page-script tests share: the fixtures' directory, JavaScript literals, whole files,
// and Base64 with OpenSSL's own coder (so that no direction leans on ours).
#pragma once

#include "FixtureData.h"
#include "HostHarness.h"

#include <openssl/evp.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <map>
#include <string>

namespace npk::test {

// tests/data/ of the sources, with its trailing slash, as this process's private copy.
inline std::string DataDir()
{
    return FixtureDir();
}

// A JavaScript string literal for any 8-bit text.
inline std::string Js(const std::string& s)
{
    std::string out = "'";
    for (unsigned char c : s) {
        if (c == '\'' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            char buf[8];
            std::snprintf(buf, sizeof(buf), "\\x%02x", c);
            out += buf;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "'";
}

inline std::string ReadAll(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// "" for text that is not Base64.
inline std::string FromBase64(const std::string& text)
{
    std::string clean;
    for (char c : text) {
        if (c != '\r' && c != '\n' && c != ' ') clean += c;
    }
    if (clean.empty() || clean.size() % 4 != 0) return std::string();
    std::string out(clean.size() / 4 * 3, '\0');
    int n = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                            reinterpret_cast<const unsigned char*>(clean.data()), static_cast<int>(clean.size()));
    if (n < 0) return std::string();
    size_t pad = (clean[clean.size() - 1] == '=') + (clean[clean.size() - 2] == '=');
    out.resize(static_cast<size_t>(n) - pad);
    return out;
}

inline std::string ToBase64(const std::string& bytes)
{
    std::string out(4 * ((bytes.size() + 2) / 3) + 1, '\0');
    int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                            reinterpret_cast<const unsigned char*>(bytes.data()), static_cast<int>(bytes.size()));
    out.resize(static_cast<size_t>(n));
    return out;
}

// The lines "label|outcome|code" a page printed, by label, as the test's own record type
// (aggregate of outcome and code).
template <class Record>
std::map<std::string, Record> ParseRecords(const std::string& out)
{
    std::map<std::string, Record> records;
    for (const std::string& line : Lines(out)) {
        size_t a = line.find('|');
        size_t b = line.rfind('|');
        if (a == std::string::npos || a == b) continue;
        records[line.substr(0, a)] = {line.substr(a + 1, b - a - 1), line.substr(b + 1)};
    }
    return records;
}

}  // namespace npk::test
