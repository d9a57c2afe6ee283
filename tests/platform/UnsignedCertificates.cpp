// Certificates carried as a bare TBSCertificate (the to-be-signed part alone, without the
// signature around it), as some writers put them in a signed message's certificates: read as
// Windows reads them, in a message and on their own.
#include "platform/SignedMessageSupport.h"

#include "crypt32/Der.h"

#include <gtest/gtest.h>

namespace {

using certtest::Bytes;
using msgtest::Signer;
namespace der = npk::der;

const DWORD kEnc = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

// Certificate ::= SEQUENCE { tbsCertificate, signatureAlgorithm, signature }: the first.
Bytes ToBeSigned(const Bytes& cert)
{
    der::Element outer, tbs;
    EXPECT_EQ(der::ReadWhole(cert.data(), cert.size(), 0x30, outer), S_OK);
    der::Reader r(outer.content, outer.contentLen);
    EXPECT_EQ(r.Expect(0x30, tbs), S_OK);
    return Bytes(tbs.header, tbs.header + tbs.totalLen);
}

// The message rebuilt with `certificates` as the members of its certificates SET, in order.
Bytes WithCertificates(const Bytes& msg, const std::vector<Bytes>& certificates)
{
    der::Element ci, type, expl, sd;
    EXPECT_EQ(der::ReadWhole(msg.data(), msg.size(), 0x30, ci), S_OK);
    der::Reader c(ci.content, ci.contentLen);
    EXPECT_EQ(c.Expect(0x06, type), S_OK);
    EXPECT_EQ(c.Expect(0xA0, expl), S_OK);
    EXPECT_EQ(der::ReadWhole(expl.content, expl.contentLen, 0x30, sd), S_OK);
    Bytes body;
    der::Reader s(sd.content, sd.contentLen);
    while (!s.AtEnd()) {
        der::Element e;
        EXPECT_EQ(s.Next(e), S_OK);
        if (e.tag == 0x31 && s.AtEnd()) {  // signerInfos: the certificates go just before
            Bytes set;
            for (const Bytes& cert : certificates) der::Append(set, cert);
            der::Append(body, der::Tlv(0xA0, set));
        }
        if (e.tag != 0xA0) der::Append(body, e.header, e.totalLen);
    }
    Bytes content(type.header, type.header + type.totalLen);
    der::Append(content, der::Tlv(0xA0, der::Tlv(0x30, body)));
    return der::Tlv(0x30, content);
}

class UnsignedCertificates : public certtest::IsolatedHome {
protected:
    void SetUp() override
    {
        IsolatedHome::SetUp();
        m_signer = msgtest::MakeSigner(0);
        m_tbs = ToBeSigned(m_signer.cert);
    }
    Signer m_signer;
    Bytes m_tbs;
};

TEST_F(UnsignedCertificates, SignedMessageWithABareTbsCertificateVerifies)
{
    const Bytes content = msgtest::FromString("signed with an unsigned certificate");
    for (unsigned flags : {0u, unsigned(CMS_NOATTR)}) {
        SCOPED_TRACE(flags);
        const Bytes attached = WithCertificates(msgtest::CmsSign({m_signer}, content, flags), {m_tbs});
        ASSERT_NE(msgtest::Find(attached, m_tbs), std::string::npos);
        ASSERT_EQ(msgtest::Find(attached, m_signer.cert), std::string::npos);
        msgtest::Verified v = msgtest::VerifyAttached(attached);
        EXPECT_TRUE(v.ok) << std::hex << v.error;
        EXPECT_EQ(v.content, content);
        EXPECT_EQ(v.signerCert, m_tbs) << "the signer's certificate is the element as carried";

        const Bytes detached =
            WithCertificates(msgtest::CmsSign({m_signer}, content, flags | CMS_DETACHED), {m_tbs});
        v = msgtest::VerifyDetached(detached, content);
        EXPECT_TRUE(v.ok) << std::hex << v.error;
        EXPECT_EQ(v.signerCert, m_tbs);
        // Still a real check: other content does not verify.
        v = msgtest::VerifyDetached(detached, msgtest::FromString("other content"));
        EXPECT_FALSE(v.ok);
        EXPECT_EQ(v.error, static_cast<DWORD>(flags == 0 ? CRYPT_E_HASH_VALUE : NTE_BAD_SIGNATURE));
    }
}

TEST_F(UnsignedCertificates, MessageStoreAndParametersHoldTheBareCertificate)
{
    const Signer other = msgtest::MakeSigner(1);
    const Bytes msg = WithCertificates(msgtest::CmsSign({m_signer}, msgtest::FromString("x"), CMS_DETACHED),
                                       {other.cert, m_tbs});
    HCRYPTMSG h = CryptMsgOpenToDecode(kEnc, CMSG_DETACHED_FLAG, 0, 0, nullptr, nullptr);
    ASSERT_NE(h, nullptr);
    ASSERT_TRUE(CryptMsgUpdate(h, msg.data(), static_cast<DWORD>(msg.size()), TRUE)) << std::hex << GetLastError();
    DWORD count = 0, cb = sizeof count;
    ASSERT_TRUE(CryptMsgGetParam(h, CMSG_CERT_COUNT_PARAM, 0, &count, &cb));
    EXPECT_EQ(count, 2u);
    cb = 0;
    ASSERT_TRUE(CryptMsgGetParam(h, CMSG_CERT_PARAM, 1, nullptr, &cb));
    Bytes second(cb);
    ASSERT_TRUE(CryptMsgGetParam(h, CMSG_CERT_PARAM, 1, second.data(), &cb));
    EXPECT_EQ(second, m_tbs);

    HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_MSG, kEnc, 0, 0, h);
    ASSERT_NE(store, nullptr) << std::hex << GetLastError();
    // The signer is found by issuer and serial number as with a signed certificate.
    cb = 0;
    ASSERT_TRUE(CryptMsgGetParam(h, CMSG_SIGNER_CERT_INFO_PARAM, 0, nullptr, &cb));
    Bytes info(cb);
    ASSERT_TRUE(CryptMsgGetParam(h, CMSG_SIGNER_CERT_INFO_PARAM, 0, info.data(), &cb));
    PCCERT_CONTEXT found =
        CertGetSubjectCertificateFromStore(store, kEnc, reinterpret_cast<PCERT_INFO>(info.data()));
    ASSERT_NE(found, nullptr) << std::hex << GetLastError();
    EXPECT_EQ(Bytes(found->pbCertEncoded, found->pbCertEncoded + found->cbCertEncoded), m_tbs);
    CertFreeCertificateContext(found);
    DWORD n = 0;
    for (PCCERT_CONTEXT c = nullptr; (c = CertEnumCertificatesInStore(store, c)) != nullptr;) ++n;
    EXPECT_EQ(n, 2u);
    CertCloseStore(store, 0);
    CryptMsgClose(h);
}

TEST_F(UnsignedCertificates, ContextFromTheToBeSignedPartAlone)
{
    PCCERT_CONTEXT full = CertCreateCertificateContext(kEnc, m_signer.cert.data(), static_cast<DWORD>(m_signer.cert.size()));
    ASSERT_NE(full, nullptr);
    PCCERT_CONTEXT bare = CertCreateCertificateContext(kEnc, m_tbs.data(), static_cast<DWORD>(m_tbs.size()));
    ASSERT_NE(bare, nullptr) << std::hex << GetLastError();
    EXPECT_EQ(bare->cbCertEncoded, m_tbs.size());
    // The same information as from the signed certificate; the algorithm is the one the
    // to-be-signed part names.
    const CERT_INFO* a = full->pCertInfo;
    const CERT_INFO* b = bare->pCertInfo;
    EXPECT_EQ(b->dwVersion, a->dwVersion);
    EXPECT_EQ(Bytes(b->SerialNumber.pbData, b->SerialNumber.pbData + b->SerialNumber.cbData),
              Bytes(a->SerialNumber.pbData, a->SerialNumber.pbData + a->SerialNumber.cbData));
    EXPECT_STREQ(b->SignatureAlgorithm.pszObjId, a->SignatureAlgorithm.pszObjId);
    auto bytes = [](const CRYPT_DATA_BLOB& blob) { return Bytes(blob.pbData, blob.pbData + blob.cbData); };
    EXPECT_EQ(bytes(b->Subject), bytes(a->Subject));
    EXPECT_EQ(bytes(b->Issuer), bytes(a->Issuer));
    EXPECT_EQ(Bytes(b->SubjectPublicKeyInfo.PublicKey.pbData,
                    b->SubjectPublicKeyInfo.PublicKey.pbData + b->SubjectPublicKeyInfo.PublicKey.cbData),
              Bytes(a->SubjectPublicKeyInfo.PublicKey.pbData,
                    a->SubjectPublicKeyInfo.PublicKey.pbData + a->SubjectPublicKeyInfo.PublicKey.cbData));
    EXPECT_EQ(b->cExtension, a->cExtension);
    // Its thumbprint is that of the bytes it was made from.
    BYTE hash[20];
    DWORD cb = sizeof hash;
    ASSERT_TRUE(CertGetCertificateContextProperty(bare, CERT_SHA1_HASH_PROP_ID, hash, &cb));
    EXPECT_EQ(Bytes(hash, hash + cb), certtest::Sha1(m_tbs));
    CertFreeCertificateContext(bare);
    CertFreeCertificateContext(full);

    // A cut-off to-be-signed part, or one with a field missing, is no certificate.
    for (size_t cut : {size_t(1), size_t(40)}) {
        Bytes shorter(m_tbs.begin(), m_tbs.end() - static_cast<long>(cut));
        SetLastError(0);
        EXPECT_EQ(CertCreateCertificateContext(kEnc, shorter.data(), static_cast<DWORD>(shorter.size())), nullptr);
        EXPECT_EQ(GetLastError() & 0xFFFFFF00u, 0x80093100u) << std::hex << GetLastError();
    }
    der::Element tbs;
    ASSERT_EQ(der::ReadWhole(m_tbs.data(), m_tbs.size(), 0x30, tbs), S_OK);
    der::Reader r(tbs.content, tbs.contentLen);
    der::Element version;
    ASSERT_EQ(r.Expect(0xA0, version), S_OK);
    Bytes rest(tbs.content + version.totalLen, tbs.content + tbs.contentLen);
    rest.resize(rest.size() / 2);  // serial, algorithm and part of the names only
    Bytes truncated = der::Tlv(0x30, rest);
    SetLastError(0);
    EXPECT_EQ(CertCreateCertificateContext(kEnc, truncated.data(), static_cast<DWORD>(truncated.size())), nullptr);
    EXPECT_EQ(GetLastError() & 0xFFFFFF00u, 0x80093100u) << std::hex << GetLastError();
}

}  // namespace
