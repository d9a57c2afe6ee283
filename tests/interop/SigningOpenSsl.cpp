// What the signing functions write, checked by the openssl command line: PKCS#7 messages
// with `openssl cms -verify` and `openssl smime -verify`, their DER with `openssl asn1parse`,
// and raw PKCS#1 signatures with `openssl dgst -verify` and `openssl pkeyutl -verify`.
#include <windows.h>
#include <oleauto.h>
#include <wincrypt.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "crypt32/CertKeyLink.h"
#include "kernel/Encoding.h"
#include "kernel/Signing.h"
#include "platform/CertTestSupport.h"

namespace {

using Bytes = std::vector<BYTE>;

struct Hash {
    ALG_ID algId;
    const char* name;  // openssl's digest name
};
const Hash kHashes[] = {{CALG_MD5, "md5"}, {CALG_SHA1, "sha1"}, {CALG_SHA_256, "sha256"}};

std::basic_string<WCHAR> Wide(const std::string& s)
{
    return std::basic_string<WCHAR>(s.begin(), s.end());
}

Bytes ReadAll(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void WriteAll(const std::string& path, const Bytes& b)
{
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(b.data()),
                                                static_cast<std::streamsize>(b.size()));
}

Bytes PatternBytes(size_t n)
{
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = static_cast<BYTE>((i * 131 + (i >> 9)) & 0xFF);
    return b;
}

class SigningOpenSsl : public certtest::IsolatedHome {
protected:
    void SetUp() override
    {
        if (std::system("openssl version >/dev/null 2>&1") != 0) GTEST_SKIP() << "openssl is not on PATH";
        IsolatedHome::SetUp();
        Bytes der = certtest::MakeCertificate();
        m_cert = certtest::Create(der);
        ASSERT_NE(m_cert, nullptr);
        ASSERT_TRUE(NpkLinkCertificateToKey(m_cert, certtest::SharedKey(0), false));
        WriteAll(Path("cert.der"), der);
        ASSERT_EQ(Run("openssl x509 -inform DER -in " + Path("cert.der") + " -out " + Path("cert.pem")), 0);
        ASSERT_EQ(Run("openssl x509 -in " + Path("cert.pem") + " -pubkey -noout -out " + Path("pub.pem")), 0);
    }
    void TearDown() override
    {
        if (m_cert != nullptr) CertFreeCertificateContext(m_cert);
        if (!m_root.empty()) IsolatedHome::TearDown();
    }

    std::string Path(const std::string& name) const { return m_root + "/" + name; }

    // The command's exit status; its output goes to the file "out.txt".
    int Run(const std::string& command)
    {
        int rc = std::system((command + " >" + Path("out.txt") + " 2>&1").c_str());
        return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
    }
    std::string Output() const
    {
        Bytes b = ReadAll(Path("out.txt"));
        return std::string(b.begin(), b.end());
    }

    // The Base64 message decoded to DER in the named file.
    void SaveMessage(BSTR bstr, const std::string& name)
    {
        std::string text;
        for (UINT i = 0; i < SysStringLen(bstr); ++i) text += static_cast<char>(bstr[i]);
        BYTE* pb = nullptr;
        int cb = 0;
        ASSERT_EQ(Base64DecodeEx(text.c_str(), static_cast<int>(text.size()), &pb, &cb), S_OK);
        WriteAll(Path(name), Bytes(pb, pb + cb));
        delete[] pb;
    }

    void ExpectVerifies(const std::string& message, const std::string& content, const Bytes& expected)
    {
        for (const char* tool : {"cms", "smime"}) {
            std::string cmd = std::string("openssl ") + tool + " -verify -noverify -binary -inform DER -in " +
                              Path(message) + " -out " + Path("content.out");
            if (!content.empty()) cmd += " -content " + Path(content);
            ASSERT_EQ(Run(cmd), 0) << cmd << "\n" << Output();
            EXPECT_EQ(ReadAll(Path("content.out")), expected) << cmd;
        }
    }

    PCCERT_CONTEXT m_cert = nullptr;
};

}  // namespace

TEST_F(SigningOpenSsl, AttachedAndDetachedMessagesVerify)
{
    const std::string text = "Keystrand signs this text, attached and detached.";
    const Bytes bytes(text.begin(), text.end());
    WriteAll(Path("text.txt"), bytes);
    for (const Hash& h : kHashes) {
        BSTR attached = nullptr, detached = nullptr;
        ASSERT_EQ(SignData(&attached, Wide(text).c_str(), &m_cert, h.algId, TRUE), S_OK);
        ASSERT_EQ(SignData(&detached, Wide(text).c_str(), &m_cert, h.algId, FALSE), S_OK);
        SaveMessage(attached, "attached.p7");
        SaveMessage(detached, "detached.p7");
        SysFreeString(attached);
        SysFreeString(detached);
        SCOPED_TRACE(h.name);
        ExpectVerifies("attached.p7", "", bytes);
        ExpectVerifies("detached.p7", "text.txt", bytes);

        // A changed byte of the content is caught.
        Bytes changed = bytes;
        changed[3] ^= 1;
        WriteAll(Path("changed.txt"), changed);
        EXPECT_NE(Run("openssl cms -verify -noverify -binary -inform DER -in " + Path("detached.p7") + " -content " +
                      Path("changed.txt") + " -out /dev/null"),
                  0);
    }
}

TEST_F(SigningOpenSsl, EmptyTextAttachedVerifies)
{
    BSTR msg = nullptr;
    ASSERT_EQ(SignData(&msg, TEXT(""), &m_cert, CALG_SHA_256, TRUE), S_OK);
    SaveMessage(msg, "empty.p7");
    SysFreeString(msg);
    ExpectVerifies("empty.p7", "", Bytes());
}

TEST_F(SigningOpenSsl, Asn1ParseShowsNullDigestParameters)
{
    for (const Hash& h : kHashes) {
        BSTR msg = nullptr;
        ASSERT_EQ(SignData(&msg, TEXT("parse me"), &m_cert, h.algId, TRUE), S_OK);
        SaveMessage(msg, "parse.p7");
        SysFreeString(msg);
        ASSERT_EQ(Run("openssl asn1parse -inform DER -in " + Path("parse.p7")), 0) << Output();
        // Every occurrence of the digest OID (digestAlgorithms and the SignerInfo) is followed
        // by NULL parameters.
        std::istringstream lines(Output());
        std::string line;
        int digestOids = 0, withNull = 0;
        bool pending = false;
        while (std::getline(lines, line)) {
            if (pending) {
                if (line.find("NULL") != std::string::npos) ++withNull;
                pending = false;
            }
            while (!line.empty() && (line.back() == ' ' || line.back() == '\r')) line.pop_back();
            const std::string tail = std::string(":") + h.name;
            if (line.find("OBJECT") != std::string::npos && line.size() >= tail.size() &&
                line.compare(line.size() - tail.size(), tail.size(), tail) == 0) {
                ++digestOids;
                pending = true;
            }
        }
        EXPECT_EQ(digestOids, 2) << h.name << "\n" << Output();
        EXPECT_EQ(withNull, 2) << h.name;
    }
}

TEST_F(SigningOpenSsl, Pkcs1SignaturesVerifyWithThePublicKey)
{
    const Bytes data = PatternBytes(20000);
    WriteAll(Path("data.bin"), data);
    for (const Hash& h : kHashes) {
        BYTE* pb = nullptr;
        DWORD cb = 0;
        ASSERT_EQ(CalculateHashandSign(&m_cert, data.data(), static_cast<DWORD>(data.size()), h.algId, &pb, &cb), S_OK);
        Bytes sig(pb, pb + cb);
        delete[] pb;
        WriteAll(Path("sig.bin"), sig);
        SCOPED_TRACE(h.name);
        EXPECT_EQ(Run(std::string("openssl dgst -") + h.name + " -verify " + Path("pub.pem") + " -signature " +
                      Path("sig.bin") + " " + Path("data.bin")),
                  0)
            << Output();
        ASSERT_EQ(Run(std::string("openssl dgst -") + h.name + " -binary -out " + Path("digest.bin") + " " +
                      Path("data.bin")),
                  0);
        EXPECT_EQ(Run("openssl pkeyutl -verify -pubin -inkey " + Path("pub.pem") + " -in " + Path("digest.bin") +
                      " -sigfile " + Path("sig.bin") + " -pkeyopt digest:" + h.name),
                  0)
            << Output();
        // The platform's own order, least significant byte first, is not what PKCS#1 reads.
        Bytes reversed(sig.rbegin(), sig.rend());
        WriteAll(Path("sig.bin"), reversed);
        EXPECT_NE(Run(std::string("openssl dgst -") + h.name + " -verify " + Path("pub.pem") + " -signature " +
                      Path("sig.bin") + " " + Path("data.bin")),
                  0);
    }
}

TEST_F(SigningOpenSsl, FileSignaturesVerifyOverTheFile)
{
    for (size_t n : {size_t(0), size_t(1), size_t(16383), size_t(16384), size_t(16385), size_t(3u << 20)}) {
        const std::string name = "file-" + std::to_string(n);
        WriteAll(Path(name), PatternBytes(n));
        for (const Hash& h : kHashes) {
            BSTR msg = nullptr;
            ASSERT_EQ(SignFile(&msg, Wide(Path(name)).c_str(), &m_cert, h.algId), S_OK) << n;
            SaveMessage(msg, "file.p7");
            SysFreeString(msg);
            SCOPED_TRACE(name + " " + h.name);
            ExpectVerifies("file.p7", name, PatternBytes(n));

            BYTE* pb = nullptr;
            DWORD cb = 0;
            ASSERT_EQ(CalculateFileHashandSign(&m_cert, Wide(Path(name)).c_str(), h.algId, &pb, &cb), S_OK);
            WriteAll(Path("sig.bin"), Bytes(pb, pb + cb));
            delete[] pb;
            EXPECT_EQ(Run(std::string("openssl dgst -") + h.name + " -verify " + Path("pub.pem") + " -signature " +
                          Path("sig.bin") + " " + Path(name)),
                      0)
                << Output();
        }
    }
}
