// Signed messages: CryptVerifyMessageSignature, CryptVerifyDetachedMessageSignature, the
// CryptMsg* decoder and its self-contained blocks, and the message store, over messages that
// OpenSSL's CMS and PKCS #7 functions write.
#include "platform/SignedMessageSupport.h"

#include "crypt32/CertObjects.h"
#include "crypt32/MessageObjects.h"

#include <gtest/gtest.h>

#include <cstring>
#include <tuple>

using certtest::Bytes;
using namespace msgtest;

namespace {

constexpr DWORD kEnc = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

const Bytes& Content()
{
    static const Bytes c = FromString("The quick brown fox signs the lazy dog.");
    return c;
}

// Every test must leave no message, store or context behind.
class SignedMessages : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_messages = npk::crypt32::MessageObject::LiveMessages();
        m_stores = npk::crypt32::CertStoreObject::LiveStores();
        m_contexts = npk::crypt32::CertStoreObject::LiveContexts();
    }
    void TearDown() override
    {
        EXPECT_EQ(npk::crypt32::MessageObject::LiveMessages(), m_messages);
        EXPECT_EQ(npk::crypt32::CertStoreObject::LiveStores(), m_stores);
        EXPECT_EQ(npk::crypt32::CertStoreObject::LiveContexts(), m_contexts);
    }

    static HCRYPTMSG Decode(const Bytes& msg, DWORD flags = 0)
    {
        HCRYPTMSG h = CryptMsgOpenToDecode(kEnc, flags, 0, 0, nullptr, nullptr);
        EXPECT_NE(h, nullptr);
        EXPECT_TRUE(CryptMsgUpdate(h, msg.data(), static_cast<DWORD>(msg.size()), TRUE)) << std::hex << GetLastError();
        return h;
    }

    static Bytes Param(HCRYPTMSG h, DWORD type, DWORD index = 0)
    {
        DWORD cb = 0;
        EXPECT_TRUE(CryptMsgGetParam(h, type, index, nullptr, &cb)) << std::hex << GetLastError();
        Bytes out(cb);
        EXPECT_TRUE(CryptMsgGetParam(h, type, index, out.data(), &cb));
        out.resize(cb);
        return out;
    }

    static DWORD ParamDword(HCRYPTMSG h, DWORD type)
    {
        DWORD v = 0, cb = sizeof(v);
        EXPECT_TRUE(CryptMsgGetParam(h, type, 0, &v, &cb));
        EXPECT_EQ(cb, sizeof(DWORD));
        return v;
    }

    LONG m_messages = 0, m_stores = 0, m_contexts = 0;
};

// ---------------------------------------------------------------------------------------
// Verification over every form: attributes or not, attached or detached, SHA-1 or SHA-256.
// ---------------------------------------------------------------------------------------
class SignedMessageForms : public SignedMessages,
                           public ::testing::WithParamInterface<std::tuple<bool, bool, const char*>> {};

TEST_P(SignedMessageForms, VerifiesAndRejectsATamperedByte)
{
    const auto [noAttr, detached, mdName] = GetParam();
    const Signer signer = MakeSigner(0);
    const EVP_MD* md = EVP_get_digestbyname(mdName);
    const unsigned flags = (noAttr ? CMS_NOATTR : 0u) | (detached ? CMS_DETACHED : 0u);
    const Bytes msg = CmsSign({signer}, Content(), flags, md);
    ASSERT_FALSE(msg.empty());

    Verified good = detached ? VerifyDetached(msg, Content()) : VerifyAttached(msg);
    ASSERT_TRUE(good.ok) << std::hex << good.error;
    EXPECT_EQ(good.signerCert, signer.cert);
    if (!detached) {
        EXPECT_EQ(good.content, Content());
    }

    // A changed content byte: the digest no longer matches.
    const DWORD contentError = noAttr ? static_cast<DWORD>(NTE_BAD_SIGNATURE) : static_cast<DWORD>(CRYPT_E_HASH_VALUE);
    if (detached) {
        Bytes other = Content();
        other[3] ^= 0x01;
        Verified bad = VerifyDetached(msg, other);
        EXPECT_FALSE(bad.ok);
        EXPECT_EQ(bad.error, contentError);
    } else {
        Bytes changed = msg;
        const size_t at = Find(changed, Content());
        ASSERT_NE(at, std::string::npos);
        changed[at + 5] ^= 0x20;
        Verified bad = VerifyAttached(changed);
        EXPECT_FALSE(bad.ok);
        EXPECT_EQ(bad.error, contentError);
    }

    // A changed signature byte (the signature is the last element of a one-signer message).
    Bytes changed = msg;
    changed[changed.size() - 10] ^= 0x01;
    Verified bad = detached ? VerifyDetached(changed, Content()) : VerifyAttached(changed);
    EXPECT_FALSE(bad.ok);
    EXPECT_EQ(bad.error, static_cast<DWORD>(NTE_BAD_SIGNATURE));
}

INSTANTIATE_TEST_SUITE_P(All, SignedMessageForms,
                         ::testing::Combine(::testing::Bool(), ::testing::Bool(),
                                            ::testing::Values("SHA1", "SHA256", "SHA384", "SHA512", "MD5")));

TEST_F(SignedMessages, ChangedMessageDigestAttributeFailsWithHashValue)
{
    const Signer signer = MakeSigner(0);
    const Bytes msg = CmsSign({signer}, Content(), 0, EVP_sha256());
    Bytes digest(32);
    unsigned int n = 0;
    EVP_Digest(Content().data(), Content().size(), digest.data(), &n, EVP_sha256(), nullptr);
    Bytes changed = msg;
    const size_t at = Find(changed, digest);
    ASSERT_NE(at, std::string::npos);
    changed[at] ^= 0x80;
    Verified bad = VerifyAttached(changed);
    EXPECT_FALSE(bad.ok);
    EXPECT_EQ(bad.error, static_cast<DWORD>(CRYPT_E_HASH_VALUE));
}

TEST_F(SignedMessages, ClassicPkcs7WithAttributesVerifies)
{
    const Signer signer = MakeSigner(0);
    Verified attached = VerifyAttached(Pkcs7Sign(signer, Content(), 0));
    ASSERT_TRUE(attached.ok) << std::hex << attached.error;
    EXPECT_EQ(attached.content, Content());
    Verified detached = VerifyDetached(Pkcs7Sign(signer, Content(), PKCS7_DETACHED), Content());
    EXPECT_TRUE(detached.ok) << std::hex << detached.error;
}

TEST_F(SignedMessages, IndefiniteLengthsFromAStreamingSigner)
{
    const Signer signer = MakeSigner(0);
    const Bytes msg = CmsSign({signer}, Content(), CMS_STREAM);
    ASSERT_GE(msg.size(), 4u);
    ASSERT_EQ(msg[1], 0x80) << "expected an indefinite outer length";
    Verified r = VerifyAttached(msg);
    ASSERT_TRUE(r.ok) << std::hex << r.error;
    EXPECT_EQ(r.content, Content());
}

TEST_F(SignedMessages, EmptyContentGivesZeroLength)
{
    const Signer signer = MakeSigner(0);
    const Bytes msg = CmsSign({signer}, Bytes(), CMS_NOATTR);
    Verified r = VerifyAttached(msg);
    ASSERT_TRUE(r.ok) << std::hex << r.error;
    EXPECT_TRUE(r.content.empty());
}

TEST_F(SignedMessages, DetachedContentInSeveralParts)
{
    const Signer signer = MakeSigner(0);
    const Bytes msg = CmsSign({signer}, Content(), CMS_DETACHED | CMS_NOATTR);
    CRYPT_VERIFY_MESSAGE_PARA para = VerifyPara();
    const BYTE* parts[3] = {Content().data(), nullptr, Content().data() + 7};
    DWORD sizes[3] = {7, 0, static_cast<DWORD>(Content().size() - 7)};
    EXPECT_TRUE(CryptVerifyDetachedMessageSignature(&para, 0, msg.data(), static_cast<DWORD>(msg.size()), 3, parts,
                                                    sizes, nullptr))
        << std::hex << GetLastError();
    DWORD shorter[3] = {7, 0, static_cast<DWORD>(Content().size() - 8)};
    EXPECT_FALSE(CryptVerifyDetachedMessageSignature(&para, 0, msg.data(), static_cast<DWORD>(msg.size()), 3, parts,
                                                     shorter, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_BAD_SIGNATURE));
}

// ---------------------------------------------------------------------------------------
// The output contract of CryptVerifyMessageSignature.
// ---------------------------------------------------------------------------------------
TEST_F(SignedMessages, SizeQueryShortBufferAndOptionalOutputs)
{
    const Signer signer = MakeSigner(0);
    const Bytes msg = CmsSign({signer}, Content(), 0);
    CRYPT_VERIFY_MESSAGE_PARA para = VerifyPara();
    const DWORD cbMsg = static_cast<DWORD>(msg.size());

    // No length wanted at all: still a full verification.
    EXPECT_TRUE(CryptVerifyMessageSignature(&para, 0, msg.data(), cbMsg, nullptr, nullptr, nullptr));

    DWORD cb = 0;
    ASSERT_TRUE(CryptVerifyMessageSignature(&para, 0, msg.data(), cbMsg, nullptr, &cb, nullptr));
    EXPECT_EQ(cb, Content().size());

    Bytes small(cb - 1);
    DWORD room = cb - 1;
    PCCERT_CONTEXT cert = reinterpret_cast<PCCERT_CONTEXT>(&room);  // must be cleared
    EXPECT_FALSE(CryptVerifyMessageSignature(&para, 0, msg.data(), cbMsg, small.data(), &room, &cert));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MORE_DATA));
    EXPECT_EQ(room, cb);
    EXPECT_EQ(cert, nullptr);

    // A failure clears both outputs.
    Bytes changed = msg;
    changed[changed.size() - 3] ^= 0x44;
    room = 1000;
    cert = reinterpret_cast<PCCERT_CONTEXT>(&room);
    Bytes big(1000);
    EXPECT_FALSE(CryptVerifyMessageSignature(&para, 0, changed.data(), cbMsg, big.data(), &room, &cert));
    EXPECT_EQ(room, 0u);
    EXPECT_EQ(cert, nullptr);
}

TEST_F(SignedMessages, SignerContextOutlivesEverythingElse)
{
    const Signer signer = MakeSigner(0);
    Bytes msg = CmsSign({signer}, Content(), CMS_NOATTR);
    CRYPT_VERIFY_MESSAGE_PARA para = VerifyPara();
    DWORD cb = 100;
    Bytes out(cb);
    PCCERT_CONTEXT cert = nullptr;
    ASSERT_TRUE(CryptVerifyMessageSignature(&para, 0, msg.data(), static_cast<DWORD>(msg.size()), out.data(), &cb,
                                            &cert));
    std::fill(msg.begin(), msg.end(), 0);
    ASSERT_NE(cert, nullptr);
    EXPECT_EQ(Bytes(cert->pbCertEncoded, cert->pbCertEncoded + cert->cbCertEncoded), signer.cert);
    EXPECT_EQ(cert->pCertInfo->SerialNumber.cbData, 3u);
    EXPECT_EQ(cert->pCertInfo->SerialNumber.pbData[0], 0x03);
    // Its store is still there to enumerate.
    PCCERT_CONTEXT again = CertEnumCertificatesInStore(cert->hCertStore, nullptr);
    ASSERT_NE(again, nullptr);
    CertFreeCertificateContext(again);
    EXPECT_TRUE(CertFreeCertificateContext(cert));
}

TEST_F(SignedMessages, BadParametersAreRefused)
{
    const Signer signer = MakeSigner(0);
    const Bytes msg = CmsSign({signer}, Content(), CMS_NOATTR);
    const DWORD cbMsg = static_cast<DWORD>(msg.size());
    DWORD cb = 0;
    EXPECT_FALSE(CryptVerifyMessageSignature(nullptr, 0, msg.data(), cbMsg, nullptr, &cb, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(E_INVALIDARG));
    CRYPT_VERIFY_MESSAGE_PARA para = VerifyPara();
    para.cbSize = 8;
    EXPECT_FALSE(CryptVerifyMessageSignature(&para, 0, msg.data(), cbMsg, nullptr, &cb, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(E_INVALIDARG));
    para = VerifyPara();
    para.dwMsgAndCertEncodingType = X509_ASN_ENCODING;
    EXPECT_FALSE(CryptVerifyMessageSignature(&para, 0, msg.data(), cbMsg, nullptr, &cb, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(E_INVALIDARG));
    // The 32-bit layout's size, which the system writes, is accepted.
    para = VerifyPara();
    para.cbSize = 20;
    EXPECT_TRUE(CryptVerifyMessageSignature(&para, 0, msg.data(), cbMsg, nullptr, &cb, nullptr));
}

// ---------------------------------------------------------------------------------------
// Signers: several, absent certificates, key identifiers, a caller's lookup.
// ---------------------------------------------------------------------------------------
TEST_F(SignedMessages, TwoSignersEachVerifyByIndex)
{
    const Signer a = MakeSigner(0), b = MakeSigner(1);
    const Bytes msg = CmsSign({a, b}, Content(), 0);
    EXPECT_EQ(CryptGetMessageSignerCount(kEnc, msg.data(), static_cast<DWORD>(msg.size())), 2);
    Verified first = VerifyAttached(msg, 0), second = VerifyAttached(msg, 1);
    ASSERT_TRUE(first.ok && second.ok) << std::hex << first.error << " " << second.error;
    // DER sorts the SET of signers, so either may come first; both must be found.
    EXPECT_NE(first.signerCert, second.signerCert);
    EXPECT_TRUE((first.signerCert == a.cert && second.signerCert == b.cert) ||
                (first.signerCert == b.cert && second.signerCert == a.cert));
    Verified third = VerifyAttached(msg, 2);
    EXPECT_FALSE(third.ok);
    EXPECT_EQ(third.error, static_cast<DWORD>(CRYPT_E_NO_SIGNER));

    HCRYPTMSG h = Decode(msg);
    EXPECT_EQ(ParamDword(h, CMSG_SIGNER_COUNT_PARAM), 2u);
    EXPECT_EQ(ParamDword(h, CMSG_CERT_COUNT_PARAM), 2u);
    DWORD cb = 0;
    EXPECT_FALSE(CryptMsgGetParam(h, CMSG_SIGNER_INFO_PARAM, 2, nullptr, &cb));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(CRYPT_E_INVALID_INDEX));
    EXPECT_FALSE(CryptMsgGetParam(h, CMSG_SIGNER_CERT_INFO_PARAM, 2, nullptr, &cb));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(CRYPT_E_INVALID_INDEX));
    EXPECT_FALSE(CryptMsgGetParam(h, CMSG_CERT_PARAM, 2, nullptr, &cb));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(CRYPT_E_INVALID_INDEX));
    CryptMsgClose(h);
}

TEST_F(SignedMessages, SignerCertificateNotCarriedIsNotFound)
{
    const Signer signer = MakeSigner(0);
    const Bytes msg = CmsSign({signer}, Content(), CMS_NOCERTS);
    Verified r = VerifyAttached(msg);
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.error, static_cast<DWORD>(CRYPT_E_NOT_FOUND));

    // A caller's lookup can supply it from elsewhere.
    struct Lookup {
        static PCCERT_CONTEXT WINAPI Get(void* arg, DWORD, PCERT_INFO id, HCERTSTORE msgStore)
        {
            EXPECT_NE(msgStore, nullptr);
            EXPECT_EQ(id->SerialNumber.cbData, 3u);
            EXPECT_EQ(id->SerialNumber.pbData[0], 0x03);
            return certtest::Create(*static_cast<const Bytes*>(arg));
        }
    };
    CRYPT_VERIFY_MESSAGE_PARA para = VerifyPara();
    para.pfnGetSignerCertificate = &Lookup::Get;
    Bytes cert = signer.cert;
    para.pvGetArg = &cert;
    PCCERT_CONTEXT found = nullptr;
    DWORD cb = 0;
    EXPECT_TRUE(CryptVerifyMessageSignature(&para, 0, msg.data(), static_cast<DWORD>(msg.size()), nullptr, &cb,
                                            &found))
        << std::hex << GetLastError();
    ASSERT_NE(found, nullptr);
    CertFreeCertificateContext(found);
}

TEST_F(SignedMessages, WrongCertificateFailsWithBadSignature)
{
    const Signer signer = MakeSigner(0);
    const Bytes msg = CmsSign({signer}, Content(), CMS_NOATTR | CMS_NOCERTS);
    struct Lookup {
        static PCCERT_CONTEXT WINAPI Get(void* arg, DWORD, PCERT_INFO, HCERTSTORE)
        {
            return certtest::Create(*static_cast<const Bytes*>(arg));
        }
    };
    Bytes other = MakeSigner(1).cert;
    CRYPT_VERIFY_MESSAGE_PARA para = VerifyPara();
    para.pfnGetSignerCertificate = &Lookup::Get;
    para.pvGetArg = &other;
    EXPECT_FALSE(CryptVerifyMessageSignature(&para, 0, msg.data(), static_cast<DWORD>(msg.size()), nullptr, nullptr,
                                             nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_BAD_SIGNATURE));
}

TEST_F(SignedMessages, SignerBySubjectKeyIdentifier)
{
    const Signer signer = MakeSigner(0);
    const Bytes msg = CmsSign({signer}, Content(), CMS_USE_KEYID);
    Verified r = VerifyAttached(msg);
    ASSERT_TRUE(r.ok) << std::hex << r.error;
    EXPECT_EQ(r.signerCert, signer.cert);

    HCRYPTMSG h = Decode(msg);
    Bytes idBlock = Param(h, CMSG_SIGNER_CERT_ID_PARAM);
    const CERT_ID* id = reinterpret_cast<const CERT_ID*>(idBlock.data());
    ASSERT_EQ(id->dwIdChoice, static_cast<DWORD>(CERT_ID_KEY_IDENTIFIER));
    EXPECT_EQ(Bytes(id->KeyId.pbData, id->KeyId.pbData + id->KeyId.cbData), (Bytes{0xA1, 0xB2, 0xC3, 0xD4}));
    Bytes info = Param(h, CMSG_SIGNER_INFO_PARAM);
    EXPECT_EQ(reinterpret_cast<const CMSG_SIGNER_INFO*>(info.data())->dwVersion, 3u);
    CryptMsgClose(h);
}

// ---------------------------------------------------------------------------------------
// The decoder: parameters as self-contained blocks, the size pattern, the order of calls.
// ---------------------------------------------------------------------------------------
TEST_F(SignedMessages, SignerBlocksAreSelfContained)
{
    const Signer signer = MakeSigner(0);
    const Bytes msg = CmsSign({signer}, Content(), CMS_DETACHED, EVP_sha1());
    HCRYPTMSG h = Decode(msg, CMSG_DETACHED_FLAG);
    EXPECT_EQ(ParamDword(h, CMSG_TYPE_PARAM), static_cast<DWORD>(CMSG_SIGNED));
    EXPECT_EQ(ParamDword(h, CMSG_SIGNER_COUNT_PARAM), 1u);
    EXPECT_STREQ(reinterpret_cast<const char*>(Param(h, CMSG_INNER_CONTENT_TYPE_PARAM).data()), szOID_RSA_data);

    PCCERT_CONTEXT cert = certtest::Create(signer.cert);
    Bytes certInfo = Param(h, CMSG_SIGNER_CERT_INFO_PARAM);
    Bytes signerInfo = Param(h, CMSG_SIGNER_INFO_PARAM);
    CryptMsgClose(h);  // the blocks stand alone

    const CERT_INFO* ci = reinterpret_cast<const CERT_INFO*>(certInfo.data());
    const BYTE* begin = certInfo.data();
    const BYTE* end = begin + certInfo.size();
    ASSERT_EQ(ci->SerialNumber.cbData, 3u);
    EXPECT_GE(ci->SerialNumber.pbData, begin);
    EXPECT_LE(ci->SerialNumber.pbData + 3, end);
    EXPECT_EQ(Bytes(ci->SerialNumber.pbData, ci->SerialNumber.pbData + 3), (Bytes{0x03, 0x02, 0x01}));
    EXPECT_EQ(Bytes(ci->Issuer.pbData, ci->Issuer.pbData + ci->Issuer.cbData),
              Bytes(cert->pCertInfo->Issuer.pbData, cert->pCertInfo->Issuer.pbData + cert->pCertInfo->Issuer.cbData));

    const CMSG_SIGNER_INFO* si = reinterpret_cast<const CMSG_SIGNER_INFO*>(signerInfo.data());
    EXPECT_EQ(si->dwVersion, 1u);
    EXPECT_STREQ(si->HashAlgorithm.pszObjId, szOID_OIWSEC_sha1);
    EXPECT_STREQ(si->HashEncryptionAlgorithm.pszObjId, szOID_RSA_RSA);
    EXPECT_EQ(si->EncryptedHash.cbData, 256u);
    EXPECT_EQ(Bytes(si->SerialNumber.pbData, si->SerialNumber.pbData + si->SerialNumber.cbData),
              (Bytes{0x03, 0x02, 0x01}));
    // OpenSSL writes content type, signing time, message digest and S/MIME capabilities.
    ASSERT_GE(si->AuthAttrs.cAttr, 3u);
    EXPECT_EQ(si->UnauthAttrs.cAttr, 0u);
    bool sawDigest = false;
    for (DWORD i = 0; i < si->AuthAttrs.cAttr; ++i) {
        const CRYPT_ATTRIBUTE& a = si->AuthAttrs.rgAttr[i];
        EXPECT_GE(reinterpret_cast<const BYTE*>(a.pszObjId), signerInfo.data());
        EXPECT_LT(reinterpret_cast<const BYTE*>(a.pszObjId), signerInfo.data() + signerInfo.size());
        if (std::strcmp(a.pszObjId, szOID_RSA_messageDigest) == 0) {
            sawDigest = true;
            ASSERT_EQ(a.cValue, 1u);
            EXPECT_EQ(a.rgValue[0].cbData, 22u);  // 04 14 + SHA-1
            EXPECT_EQ(a.rgValue[0].pbData[0], 0x04);
        }
    }
    EXPECT_TRUE(sawDigest);

    CertFreeCertificateContext(cert);
}

TEST_F(SignedMessages, EveryParameterFollowsTheSizePattern)
{
    const Signer signer = MakeSigner(0);
    const Bytes msg = CmsSign({signer}, Content(), 0);
    HCRYPTMSG h = Decode(msg);
    const DWORD params[] = {CMSG_TYPE_PARAM,           CMSG_CONTENT_PARAM,          CMSG_INNER_CONTENT_TYPE_PARAM,
                            CMSG_SIGNER_COUNT_PARAM,   CMSG_SIGNER_INFO_PARAM,      CMSG_SIGNER_CERT_INFO_PARAM,
                            CMSG_SIGNER_HASH_ALGORITHM_PARAM, CMSG_SIGNER_AUTH_ATTR_PARAM, CMSG_CERT_COUNT_PARAM,
                            CMSG_CERT_PARAM,           CMSG_CRL_COUNT_PARAM,        CMSG_VERSION_PARAM,
                            CMSG_SIGNER_CERT_ID_PARAM};
    for (DWORD p : params) {
        SCOPED_TRACE(p);
        DWORD cb = 0;
        ASSERT_TRUE(CryptMsgGetParam(h, p, 0, nullptr, &cb)) << std::hex << GetLastError();
        ASSERT_GT(cb, 0u);
        Bytes buf(cb + 16, 0xEE);
        DWORD shortBy = cb - 1;
        EXPECT_FALSE(CryptMsgGetParam(h, p, 0, buf.data(), &shortBy));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MORE_DATA));
        EXPECT_EQ(shortBy, cb);
        EXPECT_EQ(buf[0], 0xEE) << "nothing written into a short buffer";
        DWORD room = cb + 16;
        EXPECT_TRUE(CryptMsgGetParam(h, p, 0, buf.data(), &room));
        EXPECT_EQ(room, cb);
        EXPECT_EQ(buf[cb], 0xEE) << "nothing written past the size";
    }
    EXPECT_EQ(Param(h, CMSG_CONTENT_PARAM), Content());
    EXPECT_EQ(Param(h, CMSG_CERT_PARAM), signer.cert);
    DWORD cb = 0;
    EXPECT_FALSE(CryptMsgGetParam(h, CMSG_SIGNER_UNAUTH_ATTR_PARAM, 0, nullptr, &cb));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(CRYPT_E_ATTRIBUTES_MISSING));
    EXPECT_FALSE(CryptMsgGetParam(h, CMSG_SIGNER_INFO_PARAM, 0, nullptr, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(E_INVALIDARG));
    EXPECT_FALSE(CryptMsgGetParam(h, CMSG_RECIPIENT_COUNT_PARAM, 0, nullptr, &cb));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(CRYPT_E_INVALID_MSG_TYPE));
    CryptMsgClose(h);
}

TEST_F(SignedMessages, UpdatesInPiecesAndTheOrderOfCalls)
{
    const Signer signer = MakeSigner(0);
    const Bytes msg = CmsSign({signer}, Content(), CMS_NOATTR);
    HCRYPTMSG h = CryptMsgOpenToDecode(kEnc, 0, 0, 0, nullptr, nullptr);
    ASSERT_NE(h, nullptr);
    DWORD cb = 0;
    // Nothing is known before the final update.
    EXPECT_FALSE(CryptMsgGetParam(h, CMSG_SIGNER_COUNT_PARAM, 0, nullptr, &cb));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(CRYPT_E_INVALID_MSG_TYPE));
    for (size_t i = 0; i + 1 < msg.size(); i += 7)
        ASSERT_TRUE(CryptMsgUpdate(h, msg.data() + i, static_cast<DWORD>(std::min<size_t>(7, msg.size() - 1 - i)),
                                   FALSE));
    EXPECT_FALSE(CryptMsgGetParam(h, CMSG_SIGNER_COUNT_PARAM, 0, nullptr, &cb));
    ASSERT_TRUE(CryptMsgUpdate(h, msg.data() + msg.size() - 1, 1, TRUE)) << std::hex << GetLastError();
    EXPECT_EQ(ParamDword(h, CMSG_SIGNER_COUNT_PARAM), 1u);
    EXPECT_FALSE(CryptMsgUpdate(h, msg.data(), 1, TRUE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(CRYPT_E_MSG_ERROR));

    // Duplicates share the message; each handle is closed once.
    HCRYPTMSG dup = CryptMsgDuplicate(h);
    EXPECT_EQ(dup, h);
    EXPECT_TRUE(CryptMsgClose(h));
    EXPECT_EQ(ParamDword(dup, CMSG_SIGNER_COUNT_PARAM), 1u);
    EXPECT_TRUE(CryptMsgClose(dup));
    EXPECT_TRUE(CryptMsgClose(nullptr));

    // A requested type that the content contradicts.
    h = CryptMsgOpenToDecode(kEnc, 0, CMSG_DATA, 0, nullptr, nullptr);
    EXPECT_FALSE(CryptMsgUpdate(h, msg.data(), static_cast<DWORD>(msg.size()), TRUE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(CRYPT_E_INVALID_MSG_TYPE));
    CryptMsgClose(h);
    EXPECT_EQ(CryptMsgOpenToDecode(X509_ASN_ENCODING, 0, 0, 0, nullptr, nullptr), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(E_INVALIDARG));
}

TEST_F(SignedMessages, StreamedSignedMessageHandsTheContentToTheCallback)
{
    const Signer signer = MakeSigner(0);
    const Bytes msg = CmsSign({signer}, Content(), 0);
    struct Sink {
        Bytes got;
        int finals = 0;
        bool answer = true;
        static BOOL WINAPI Out(const void* arg, BYTE* pb, DWORD cb, BOOL fFinal)
        {
            Sink* self = const_cast<Sink*>(static_cast<const Sink*>(arg));
            self->got.insert(self->got.end(), pb, pb + cb);
            self->finals += fFinal ? 1 : 0;
            if (!self->answer) SetLastError(ERROR_CANCELLED);
            return self->answer ? TRUE : FALSE;
        }
    };
    Sink sink;
    CMSG_STREAM_INFO stream{CMSG_INDEFINITE_LENGTH, &Sink::Out, &sink};
    HCRYPTMSG h = CryptMsgOpenToDecode(kEnc, 0, CMSG_SIGNED, 0, nullptr, &stream);
    ASSERT_NE(h, nullptr);
    EXPECT_TRUE(CryptMsgUpdate(h, msg.data(), 10, FALSE));
    EXPECT_TRUE(CryptMsgUpdate(h, msg.data() + 10, static_cast<DWORD>(msg.size() - 10), TRUE));
    EXPECT_EQ(sink.got, Content());
    EXPECT_EQ(sink.finals, 1);
    EXPECT_EQ(ParamDword(h, CMSG_SIGNER_COUNT_PARAM), 1u);
    CryptMsgClose(h);

    // A callback that refuses fails the update with its own error.
    Sink refusing;
    refusing.answer = false;
    CMSG_STREAM_INFO stream2{CMSG_INDEFINITE_LENGTH, &Sink::Out, &refusing};
    h = CryptMsgOpenToDecode(kEnc, 0, CMSG_SIGNED, 0, nullptr, &stream2);
    EXPECT_FALSE(CryptMsgUpdate(h, msg.data(), static_cast<DWORD>(msg.size()), TRUE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_CANCELLED));
    CryptMsgClose(h);
}

TEST_F(SignedMessages, DataMessagesAreDetectedAndNotSigned)
{
    // ContentInfo { data, [0] OCTET STRING "abc" }
    const Bytes data = {0x30, 0x12, 0x06, 0x09, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01,
                        0x07, 0x01, 0xA0, 0x05, 0x04, 0x03, 'a',  'b',  'c'};
    HCRYPTMSG h = Decode(data);
    EXPECT_EQ(ParamDword(h, CMSG_TYPE_PARAM), static_cast<DWORD>(CMSG_DATA));
    EXPECT_EQ(Param(h, CMSG_CONTENT_PARAM), FromString("abc"));
    DWORD cb = 0;
    EXPECT_FALSE(CryptMsgGetParam(h, CMSG_SIGNER_COUNT_PARAM, 0, nullptr, &cb));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(CRYPT_E_INVALID_MSG_TYPE));
    HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_MSG, kEnc, 0, 0, h);
    ASSERT_NE(store, nullptr);
    EXPECT_EQ(CertEnumCertificatesInStore(store, nullptr), nullptr);
    CertCloseStore(store, 0);
    CryptMsgClose(h);

    CRYPT_VERIFY_MESSAGE_PARA para = VerifyPara();
    EXPECT_FALSE(CryptVerifyMessageSignature(&para, 0, data.data(), static_cast<DWORD>(data.size()), nullptr, &cb,
                                             nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(CRYPT_E_UNEXPECTED_MSG_TYPE));
    EXPECT_EQ(CryptGetMessageSignerCount(kEnc, data.data(), static_cast<DWORD>(data.size())), -1);
}

// ---------------------------------------------------------------------------------------
// The message store.
// ---------------------------------------------------------------------------------------
TEST_F(SignedMessages, MessageStoreOutlivesTheMessage)
{
    const Signer a = MakeSigner(0), b = MakeSigner(1);
    const Bytes msg = CmsSign({a, b}, Content(), CMS_DETACHED | CMS_NOATTR);
    HCRYPTMSG h = Decode(msg, CMSG_DETACHED_FLAG);
    HCERTSTORE byNumber = CertOpenStore(CERT_STORE_PROV_MSG, kEnc, 0, 0, h);
    HCERTSTORE byName = CertOpenStore(sz_CERT_STORE_PROV_MSG, kEnc, 0, 0, h);
    ASSERT_NE(byNumber, nullptr);
    ASSERT_NE(byName, nullptr);
    Bytes certInfo = Param(h, CMSG_SIGNER_CERT_INFO_PARAM, 1);
    CryptMsgClose(h);

    int count = 0;
    for (PCCERT_CONTEXT c = CertEnumCertificatesInStore(byNumber, nullptr); c != nullptr;
         c = CertEnumCertificatesInStore(byNumber, c))
        ++count;
    EXPECT_EQ(count, 2);
    PCCERT_CONTEXT found =
        CertGetSubjectCertificateFromStore(byName, kEnc, reinterpret_cast<PCERT_INFO>(certInfo.data()));
    ASSERT_NE(found, nullptr) << std::hex << GetLastError();
    const Bytes foundDer(found->pbCertEncoded, found->pbCertEncoded + found->cbCertEncoded);
    EXPECT_TRUE(foundDer == a.cert || foundDer == b.cert);
    CertFreeCertificateContext(found);
    CertCloseStore(byNumber, 0);
    CertCloseStore(byName, 0);

    // Not a message, or a message not yet decoded.
    EXPECT_EQ(CertOpenStore(CERT_STORE_PROV_MSG, kEnc, 0, 0, nullptr), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(E_INVALIDARG));
    h = CryptMsgOpenToDecode(kEnc, 0, 0, 0, nullptr, nullptr);
    EXPECT_EQ(CertOpenStore(CERT_STORE_PROV_MSG, kEnc, 0, 0, h), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(CRYPT_E_INVALID_MSG_TYPE));
    CryptMsgClose(h);
}

// ---------------------------------------------------------------------------------------
// Malformed input: a failure code, never a crash.
// ---------------------------------------------------------------------------------------
bool IsAsn1Error(DWORD e)
{
    return e == static_cast<DWORD>(CRYPT_E_ASN1_EOD) || e == static_cast<DWORD>(CRYPT_E_ASN1_BADTAG) ||
           e == static_cast<DWORD>(CRYPT_E_ASN1_CORRUPT) || e == static_cast<DWORD>(CRYPT_E_ASN1_LARGE);
}

TEST_F(SignedMessages, TruncatedAtEveryLengthFails)
{
    const Signer signer = MakeSigner(0);
    const Bytes full = CmsSign({signer}, FromString("x"), CMS_NOATTR | CMS_NOCERTS);
    for (size_t n = 0; n < full.size(); ++n) {
        SCOPED_TRACE(n);
        HCRYPTMSG h = CryptMsgOpenToDecode(kEnc, 0, 0, 0, nullptr, nullptr);
        EXPECT_FALSE(CryptMsgUpdate(h, full.data(), static_cast<DWORD>(n), TRUE));
        EXPECT_TRUE(IsAsn1Error(GetLastError())) << std::hex << GetLastError();
        CryptMsgClose(h);
        CRYPT_VERIFY_MESSAGE_PARA para = VerifyPara();
        EXPECT_FALSE(CryptVerifyMessageSignature(&para, 0, full.data(), static_cast<DWORD>(n), nullptr, nullptr,
                                                 nullptr));
    }
    // And truncated indefinite-length input.
    const Bytes streamed = CmsSign({signer}, FromString("x"), CMS_STREAM | CMS_NOCERTS);
    for (size_t n = 0; n < streamed.size(); ++n) {
        SCOPED_TRACE(n);
        HCRYPTMSG h = CryptMsgOpenToDecode(kEnc, 0, 0, 0, nullptr, nullptr);
        EXPECT_FALSE(CryptMsgUpdate(h, streamed.data(), static_cast<DWORD>(n), TRUE));
        EXPECT_TRUE(IsAsn1Error(GetLastError())) << std::hex << GetLastError();
        CryptMsgClose(h);
    }
}

TEST_F(SignedMessages, GarbageAndHostileLengths)
{
    const std::vector<Bytes> inputs = {
        {0x00},
        {0x04, 0x00},                                    // not a ContentInfo
        {0x30, 0x84, 0xFF, 0xFF, 0xFF, 0xFF, 0x06},      // length far past the end
        {0x30, 0x85, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00},  // more length octets than allowed
        {0x30, 0x80, 0x30, 0x80, 0x30, 0x80},            // unterminated indefinite lengths
        {0x1F, 0x81, 0x01, 0x00},                        // high tag number
        {0x30, 0x0B, 0x06, 0x09, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x07, 0x02},  // signed, no content
        {0x30, 0x03, 0x06, 0x01, 0x80},                  // bad OID
        {0x30, 0x03, 0x06, 0x01, 0x2A, 0x00},            // trailing byte
    };
    for (const Bytes& in : inputs) {
        HCRYPTMSG h = CryptMsgOpenToDecode(kEnc, 0, 0, 0, nullptr, nullptr);
        EXPECT_FALSE(CryptMsgUpdate(h, in.data(), static_cast<DWORD>(in.size()), TRUE));
        const DWORD e = GetLastError();
        EXPECT_TRUE(IsAsn1Error(e) || e == static_cast<DWORD>(CRYPT_E_INVALID_MSG_TYPE)) << std::hex << e;
        CryptMsgClose(h);
    }
    // Nesting far deeper than any message: refused, not a stack overflow.
    Bytes deep;
    for (int i = 0; i < 100000; ++i) {
        deep.push_back(0x30);
        deep.push_back(0x80);
    }
    HCRYPTMSG h = CryptMsgOpenToDecode(kEnc, 0, 0, 0, nullptr, nullptr);
    EXPECT_FALSE(CryptMsgUpdate(h, deep.data(), static_cast<DWORD>(deep.size()), TRUE));
    EXPECT_TRUE(IsAsn1Error(GetLastError()));
    CryptMsgClose(h);
}

TEST_F(SignedMessages, UnknownAlgorithmsFailWithBadAlgId)
{
    const Signer signer = MakeSigner(0);
    Bytes msg = CmsSign({signer}, Content(), CMS_NOATTR, EVP_sha256());
    // The SHA-256 OID's last arc 01 -> 7F: a digest nobody knows.
    const Bytes sha256Oid = {0x06, 0x09, 0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02, 0x01};
    size_t at = Find(msg, sha256Oid);
    ASSERT_NE(at, std::string::npos);
    size_t last = at;
    while ((at = Find(Bytes(msg.begin() + static_cast<long>(last) + 1, msg.end()), sha256Oid)) != std::string::npos)
        last = last + 1 + at;  // the signer's own digestAlgorithm is the last occurrence
    msg[last + sha256Oid.size() - 1] = 0x7F;
    Verified r = VerifyAttached(msg);
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.error, static_cast<DWORD>(NTE_BAD_ALGID));
}

}  // namespace
