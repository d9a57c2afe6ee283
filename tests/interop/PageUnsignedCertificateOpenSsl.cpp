// Signatures written by `openssl cms -sign` whose certificates SET is then made to carry the
// signer's certificate as a bare TBSCertificate (its to-be-signed part without the signature):
// the page verifies them as text and as a file signature, as on Windows.
#include "OpenSslPageTest.h"

#include "crypt32/Der.h"

#include <vector>

namespace npk::test {
namespace {

namespace der = npk::der;
using Bytes = std::vector<BYTE>;

Bytes ToBytes(const std::string& s)
{
    return Bytes(s.begin(), s.end());
}

// The message with every member of its certificates SET replaced by its to-be-signed part.
std::string WithBareCertificates(const std::string& message)
{
    const Bytes msg = ToBytes(message);
    der::Element ci, type, expl, sd;
    EXPECT_EQ(der::ReadWhole(msg.data(), msg.size(), 0x30, ci), S_OK);
    der::Reader c(ci.content, ci.contentLen);
    EXPECT_EQ(c.Expect(0x06, type), S_OK);
    EXPECT_EQ(c.Expect(0xA0, expl), S_OK);
    EXPECT_EQ(der::ReadWhole(expl.content, expl.contentLen, 0x30, sd), S_OK);
    Bytes body;
    int replaced = 0;
    der::Reader s(sd.content, sd.contentLen);
    while (!s.AtEnd()) {
        der::Element e;
        EXPECT_EQ(s.Next(e), S_OK);
        if (e.tag != 0xA0) {
            der::Append(body, e.header, e.totalLen);
            continue;
        }
        Bytes set;
        der::Reader certs(e.content, e.contentLen);
        while (!certs.AtEnd()) {
            der::Element cert, tbs;
            EXPECT_EQ(certs.Next(cert), S_OK);
            der::Reader inside(cert.content, cert.contentLen);
            EXPECT_EQ(inside.Expect(0x30, tbs), S_OK);
            der::Append(set, tbs.header, tbs.totalLen);
            ++replaced;
        }
        der::Append(body, der::Tlv(0xA0, set));
    }
    EXPECT_EQ(replaced, 1);
    Bytes content(type.header, type.header + type.totalLen);
    der::Append(content, der::Tlv(0xA0, der::Tlv(0x30, body)));
    const Bytes out = der::Tlv(0x30, content);
    return std::string(out.begin(), out.end());
}

class PageUnsignedCertificateOpenSsl : public OpenSslPageTest {
protected:
    void SetUp() override
    {
        OpenSslPageTest::SetUp();
        if (IsSkipped()) return;
        m_file = WriteFile("document.txt", "A document signed by a certificate without its signature.");
    }

    // openssl cms -sign with the fixture signer; returns the Base64 of the rewritten message.
    std::string Sign(const std::string& options)
    {
        EXPECT_EQ(Run("openssl cms -sign -binary -outform DER -in " + m_file + " -signer " + DataDir() + "signer.pem -inkey " +
                      DataDir() + "signer.key -out " + P("sig.der") + " " + options),
                  0)
            << Output();
        return ToBase64(WithBareCertificates(ReadAll(P("sig.der"))));
    }

    std::string m_file;
};

TEST_F(PageUnsignedCertificateOpenSsl, TextAndFileSignaturesVerify)
{
    const std::string attached = Sign("-nodetach");
    const std::string detached = Sign("-noattr");
    HostResult r = Page("function out(label, f) { print(label + '|' + attempt(f) + '|' + code(plugin)); }\n"
                        "out('attached', function () { return plugin.VerifyMessageSignature('" + attached + "'); });\n"
                        "out('content', function () { return plugin.VerifyMessageSignaturePKCS7('" + attached + "'); });\n"
                        "out('file', function () { return plugin.VerifyFileSignatureDetached('" + detached + "', " +
                        Js(m_file) + "); });\n");
    ASSERT_EQ(r.status, 0) << r.err;
    const auto lines = Lines(r.out);
    ASSERT_EQ(lines.size(), 3u) << r.out;
    EXPECT_EQ(lines[0], "attached|ok:true|0x00000000");
    EXPECT_EQ(lines[1], "content|ok:" + ReadAll(m_file) + "|0x00000000");
    EXPECT_EQ(lines[2], "file|ok:true|0x00000000");
}

}  // namespace
}  // namespace npk::test
