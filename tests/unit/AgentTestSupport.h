// What the agent tests share: BSTR arguments and results that free themselves, the committed
// fixtures, and an agent whose choices the test can see.
#pragma once

#include <windows.h>
#include <oleauto.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "FixtureData.h"
#include "agent/CryptoAgent.h"

namespace agenttest {

using WString = std::basic_string<WCHAR>;

// The subjects of the fixtures as the selections return them.
inline constexpr char kSigner[] = "CN=Alice Signer, OU=Signing, O=npKeystrand, C=KR";
inline constexpr char kRecipient[] = "CN=Bob Recipient, O=npKeystrand, C=KR";

// UTF-8 to UTF-16 for test texts (the Basic Multilingual Plane is enough here).
inline WString Wide(const std::string& s)
{
    WString w;
    for (size_t i = 0; i < s.size();) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        if (c < 0x80) {
            w += static_cast<WCHAR>(c);
            i += 1;
        } else if ((c & 0xE0) == 0xC0 && i + 1 < s.size()) {
            w += static_cast<WCHAR>(((c & 0x1F) << 6) | (s[i + 1] & 0x3F));
            i += 2;
        } else if (i + 2 < s.size()) {
            w += static_cast<WCHAR>(((c & 0x0F) << 12) | ((s[i + 1] & 0x3F) << 6) | (s[i + 2] & 0x3F));
            i += 3;
        } else {
            break;
        }
    }
    return w;
}

// The low byte of each character: enough for the ASCII texts the tests compare.
inline std::string Narrow(BSTR b)
{
    std::string s;
    for (UINT i = 0; b != nullptr && i < SysStringLen(b); ++i) s += static_cast<char>(b[i]);
    return s;
}

// A file of tests/data, in this process's private copy.
inline std::string Fixture(const std::string& name)
{
    return npk::test::FixtureDir() + name;
}

// A BSTR argument that the test owns.
class Arg {
public:
    explicit Arg(const std::string& s) : m_bstr(SysAllocString(Wide(s).c_str())) {}
    ~Arg() { SysFreeString(m_bstr); }
    Arg(const Arg&) = delete;
    Arg& operator=(const Arg&) = delete;
    operator BSTR() const { return m_bstr; }

private:
    BSTR m_bstr;
};

// A text result that frees itself.
struct Text {
    BSTR bstr = nullptr;
    ~Text() { SysFreeString(bstr); }
    // An out-parameter is overwritten, not freed, by the callee: free the previous result first.
    BSTR* operator&()
    {
        SysFreeString(bstr);
        bstr = nullptr;
        return &bstr;
    }
    std::string str() const { return Narrow(bstr); }
    WString wstr() const { return bstr != nullptr ? WString(bstr, SysStringLen(bstr)) : WString(); }
    bool isNull() const { return bstr == nullptr; }
};

// An agent whose choices the test can see.
class TestAgent : public CCryptoAgent {
public:
    CertificateList& SignCerts() { return m_vecSignCerts; }
    CertificateList& EncryptCerts() { return m_vecEncryptCerts; }
    StoreList& DecryptStores() { return m_vecDecryptStores; }
    PCCERT_CONTEXT SignatureCert() const { return m_pSignatureCert; }
};

}  // namespace agenttest
