// Enveloped messages through CryptMsg: streamed encoding and decoding in pieces of every size,
// both recipient kinds, the header's readiness, decryption control, and broken input.
#define CMSG_ENVELOPED_ENCODE_INFO_HAS_CMS_FIELDS
#include "platform/CertTestSupport.h"

#include "crypt32/CertKeyLink.h"
#include "crypt32/MessageObjects.h"

#include <algorithm>
#include <deque>
#include <cstring>
#include <string>
#include <vector>

namespace {

using certtest::Bytes;

const DWORD kEnc = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
const size_t kMiB4 = 4u << 20;

Bytes Content(size_t n)
{
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = static_cast<BYTE>((i * 131) ^ (i >> 9));
    return b;
}

struct Sink {
    Bytes data;
    int calls = 0;
    int finals = 0;
    int failAtCall = -1;  // answer FALSE at this call
    DWORD failError = 0;
    size_t maxPiece = 0;
};

BOOL WINAPI Collect(const void* pvArg, BYTE* pb, DWORD cb, BOOL fFinal)
{
    Sink* s = static_cast<Sink*>(const_cast<void*>(pvArg));
    if (s->calls++ == s->failAtCall) {
        SetLastError(s->failError);
        return FALSE;
    }
    if (cb != 0) s->data.insert(s->data.end(), pb, pb + cb);
    s->maxPiece = std::max<size_t>(s->maxPiece, cb);
    if (fFinal) ++s->finals;
    return TRUE;
}

struct Party {
    PCCERT_CONTEXT cert = nullptr;
    HCERTSTORE store = nullptr;
    HCRYPTPROV prov = 0;
    DWORD keySpec = 0;
};

class EnvelopeStreams : public certtest::IsolatedHome {
protected:
    void TearDown() override
    {
        for (Party& p : m_parties) {
            if (p.prov != 0) CryptReleaseContext(p.prov, 0);
            CertFreeCertificateContext(p.cert);
            CertCloseStore(p.store, 0);
        }
        m_parties.clear();
        EXPECT_EQ(npk::crypt32::MessageObject::LiveMessages(), 0);
        IsolatedHome::TearDown();
    }

    Party& Make(int keyIndex, bool keyId = true)
    {
        certtest::CertSpec spec;
        spec.key = certtest::SharedKey(keyIndex);
        spec.subject = "Recipient " + std::to_string(keyIndex);
        spec.serial = {0x7A, static_cast<BYTE>(keyIndex), 0x01};
        spec.subjectKeyId = keyId;
        spec.keyId = {0x5A, static_cast<BYTE>(keyIndex), 0x11, 0x22, 0x33};
        Bytes der = certtest::MakeCertificate(spec);
        Party p;
        p.store = CertOpenStore(CERT_STORE_PROV_MEMORY, kEnc, 0, 0, nullptr);
        EXPECT_TRUE(CertAddEncodedCertificateToStore(p.store, kEnc, der.data(), static_cast<DWORD>(der.size()),
                                                     CERT_STORE_ADD_ALWAYS, &p.cert));
        EXPECT_TRUE(NpkLinkCertificateToKey(p.cert, spec.key, false));
        EXPECT_TRUE(CryptAcquireCertificatePrivateKey(p.cert, 0, nullptr, &p.prov, &p.keySpec, nullptr));
        m_parties.push_back(p);
        return m_parties.back();
    }

    // Streams content through an encoder in pieces of the given size (0: one final update).
    HRESULT Encode(const std::vector<PCCERT_CONTEXT>& certs, bool byKeyId, const char* oid, const Bytes& content,
                   size_t chunk, Sink& sink)
    {
        std::vector<PCERT_INFO> infos;
        std::vector<CMSG_KEY_TRANS_RECIPIENT_ENCODE_INFO> kts(certs.size());
        std::vector<CMSG_RECIPIENT_ENCODE_INFO> cms(certs.size());
        Bytes ids;
        for (size_t i = 0; i < certs.size(); ++i) {
            infos.push_back(certs[i]->pCertInfo);
            CMSG_KEY_TRANS_RECIPIENT_ENCODE_INFO& kt = kts[i];
            kt.cbSize = sizeof kt;
            kt.KeyEncryptionAlgorithm.pszObjId = const_cast<LPSTR>(szOID_RSA_RSA);
            kt.RecipientPublicKey = certs[i]->pCertInfo->SubjectPublicKeyInfo.PublicKey;
            kt.RecipientId.dwIdChoice = CERT_ID_KEY_IDENTIFIER;
            // Like the system: the key identifier from the certificate's extension.
            PCERT_EXTENSION ext = CertFindExtension(szOID_SUBJECT_KEY_IDENTIFIER, certs[i]->pCertInfo->cExtension,
                                                    certs[i]->pCertInfo->rgExtension);
            if (ext != nullptr && ext->Value.cbData > 2) {
                kt.RecipientId.KeyId.cbData = ext->Value.cbData - 2;
                kt.RecipientId.KeyId.pbData = ext->Value.pbData + 2;
            }
            cms[i].dwRecipientChoice = CMSG_KEY_TRANS_RECIPIENT;
            cms[i].pKeyTrans = &kt;
        }
        CMSG_ENVELOPED_ENCODE_INFO info{};
        info.cbSize = sizeof info;
        info.ContentEncryptionAlgorithm.pszObjId = const_cast<LPSTR>(oid);
        info.cRecipients = static_cast<DWORD>(certs.size());
        if (byKeyId)
            info.rgCmsRecipients = cms.data();
        else
            info.rgpRecipients = infos.data();
        CMSG_STREAM_INFO stream{CMSG_INDEFINITE_LENGTH, Collect, &sink};
        HCRYPTMSG h = CryptMsgOpenToEncode(kEnc, 0, CMSG_ENVELOPED, &info, nullptr, &stream);
        if (h == nullptr) return static_cast<HRESULT>(GetLastError());
        HRESULT hr = Feed(h, content, chunk);
        CryptMsgClose(h);
        return hr;
    }

    static HRESULT Feed(HCRYPTMSG h, const Bytes& data, size_t chunk)
    {
        if (chunk == 0) chunk = data.size() + 1;
        size_t at = 0;
        do {
            const size_t n = std::min(chunk, data.size() - at);
            const bool final = at + n == data.size();
            if (!CryptMsgUpdate(h, data.data() + at, static_cast<DWORD>(n), final))
                return static_cast<HRESULT>(GetLastError());
            at += n;
        } while (at < data.size());
        return S_OK;
    }

    // Decodes as the system does: after each piece, once the header is there, the recipient
    // whose certificate is in the store is chosen and decryption is asked for.
    HRESULT Decode(const Bytes& msg, const Party& with, const std::vector<size_t>& chunks, Sink& sink,
                   DWORD* chosen = nullptr)
    {
        CMSG_STREAM_INFO stream{CMSG_INDEFINITE_LENGTH, Collect, &sink};
        HCRYPTMSG h = CryptMsgOpenToDecode(kEnc, 0, 0, 0, nullptr, &stream);
        if (h == nullptr) return static_cast<HRESULT>(GetLastError());
        HRESULT hr = S_OK;
        size_t at = 0, k = 0;
        bool decrypting = false;
        while (hr == S_OK) {
            const size_t chunk = chunks[k++ % chunks.size()];
            const size_t n = std::min(chunk, msg.size() - at);
            const bool final = at + n == msg.size();
            if (!CryptMsgUpdate(h, msg.data() + at, static_cast<DWORD>(n), final)) {
                hr = static_cast<HRESULT>(GetLastError());
                break;
            }
            at += n;
            if (!decrypting) {
                DWORD cb = 0;
                if (!CryptMsgGetParam(h, CMSG_ENVELOPE_ALGORITHM_PARAM, 0, nullptr, &cb)) {
                    hr = static_cast<HRESULT>(GetLastError());
                    if (hr == CRYPT_E_STREAM_MSG_NOT_READY && !final) hr = S_OK;
                    if (final) break;
                    continue;
                }
                CMSG_CTRL_DECRYPT_PARA para{};
                para.cbSize = sizeof para;
                para.hCryptProv = with.prov;
                para.dwKeySpec = with.keySpec;
                para.dwRecipientIndex = FindRecipient(h, with);
                if (chosen != nullptr) *chosen = para.dwRecipientIndex;
                if (!CryptMsgControl(h, 0, CMSG_CTRL_DECRYPT, &para)) {
                    hr = static_cast<HRESULT>(GetLastError());
                    break;
                }
                decrypting = true;
            }
            if (final) break;
        }
        CryptMsgClose(h);
        return hr;
    }

    static DWORD FindRecipient(HCRYPTMSG h, const Party& with)
    {
        DWORD count = 0, cb = sizeof count;
        EXPECT_TRUE(CryptMsgGetParam(h, CMSG_RECIPIENT_COUNT_PARAM, 0, &count, &cb));
        for (DWORD i = 0; i < count; ++i) {
            cb = 0;
            EXPECT_TRUE(CryptMsgGetParam(h, CMSG_CMS_RECIPIENT_INFO_PARAM, i, nullptr, &cb));
            std::vector<BYTE> block(cb);
            EXPECT_TRUE(CryptMsgGetParam(h, CMSG_CMS_RECIPIENT_INFO_PARAM, i, block.data(), &cb));
            auto* info = reinterpret_cast<CMSG_CMS_RECIPIENT_INFO*>(block.data());
            EXPECT_EQ(info->dwRecipientChoice, static_cast<DWORD>(CMSG_KEY_TRANS_RECIPIENT));
            PCCERT_CONTEXT found = CertFindCertificateInStore(with.store, kEnc, 0, CERT_FIND_CERT_ID,
                                                              &info->pKeyTrans->RecipientId, nullptr);
            if (found != nullptr) {
                CertFreeCertificateContext(found);
                return i;
            }
        }
        return 0xFFFF;  // none: the control then fails with CRYPT_E_INVALID_INDEX
    }

    std::deque<Party> m_parties;  // references stay valid as parties are added
};

// Both directions over the sizes around the 4 MiB chunk, both recipient kinds, both ciphers.
TEST_F(EnvelopeStreams, RoundTripsOverSizesChunksAndRecipientKinds)
{
    Party& a = Make(0);
    struct Case {
        size_t size, encodeChunk;
        std::vector<size_t> decodeChunks;
    };
    const Case cases[] = {
        {0, 0, {1}},
        {1, 1, {1}},
        {5000, 1, {1}},
        {5000, 4096, {7, 4096, 3, 1000}},
        {kMiB4, kMiB4, {kMiB4}},
        {kMiB4 + 1, kMiB4, {4096 * 3 + 5, kMiB4}},
    };
    for (const char* oid : {szOID_RSA_RC4, szOID_RSA_DES_EDE3_CBC}) {
        for (bool byKeyId : {false, true}) {
            for (const Case& c : cases) {
                if (c.size >= kMiB4 && (byKeyId || std::strcmp(oid, szOID_RSA_RC4) == 0)) continue;  // keep it fast
                SCOPED_TRACE(std::string(oid) + (byKeyId ? " keyid " : " issuer ") + std::to_string(c.size));
                Bytes content = Content(c.size);
                Sink enc;
                ASSERT_EQ(Encode({a.cert}, byKeyId, oid, content, c.encodeChunk, enc), S_OK);
                EXPECT_EQ(enc.finals, 1);
                // Never the whole message at once: a piece is one chunk and its few header octets.
                if (c.encodeChunk != 0 && c.size > c.encodeChunk) {
                    EXPECT_LE(enc.maxPiece, c.encodeChunk + 4096);
                }
                Sink dec;
                ASSERT_EQ(Decode(enc.data, a, c.decodeChunks, dec), S_OK);
                EXPECT_EQ(dec.finals, 1);
                EXPECT_TRUE(dec.data == content);
            }
        }
    }
}

TEST_F(EnvelopeStreams, EncodedStreamIsIndefiniteBerWithOctetStringPieces)
{
    Party& a = Make(0);
    Sink enc;
    ASSERT_EQ(Encode({a.cert}, false, szOID_RSA_RC4, Content(10000), 4096, enc), S_OK);
    const Bytes& m = enc.data;
    ASSERT_GT(m.size(), 10000u);
    EXPECT_EQ(m[0], 0x30);
    EXPECT_EQ(m[1], 0x80);
    // Five end-of-contents pairs close the message.
    EXPECT_TRUE(std::all_of(m.end() - 10, m.end(), [](BYTE b) { return b == 0; }));
    // Three updates of ciphertext: three primitive pieces of the update sizes.
    int pieces = 0;
    for (size_t i = 0; i + 4 < m.size(); ++i)
        if (m[i] == 0x04 && m[i + 1] == 0x82 && ((m[i + 2] << 8) | m[i + 3]) == 4096) ++pieces;
    EXPECT_GE(pieces, 2);
    EXPECT_EQ(enc.calls, 3);
}

TEST_F(EnvelopeStreams, TwoRecipientsEachOpenItAndTheRightIndexIsChosen)
{
    Party& a = Make(0);
    Party& b = Make(1);
    Bytes content = Content(3000);
    for (bool byKeyId : {false, true}) {
        Sink enc;
        ASSERT_EQ(Encode({a.cert, b.cert}, byKeyId, szOID_RSA_DES_EDE3_CBC, content, 1000, enc), S_OK);
        DWORD index = 99;
        Sink da, db;
        ASSERT_EQ(Decode(enc.data, a, {512}, da, &index), S_OK);
        EXPECT_EQ(index, 0u);
        EXPECT_TRUE(da.data == content);
        ASSERT_EQ(Decode(enc.data, b, {513}, db, &index), S_OK);
        EXPECT_EQ(index, 1u);
        EXPECT_TRUE(db.data == content);
    }
}

// With CMSG_CRYPT_RELEASE_CONTEXT_FLAG a successful decryption hands the provider to the
// message, which releases it when it is closed; a refused one leaves it with the caller.
TEST_F(EnvelopeStreams, ReleaseFlagHandsTheProviderToTheMessageOnlySuccessfully)
{
    Party& a = Make(0);
    Sink enc;
    ASSERT_EQ(Encode({a.cert}, false, szOID_RSA_DES_EDE3_CBC, Content(100), 0, enc), S_OK);
    HCRYPTPROV prov = 0;
    DWORD keySpec = 0;
    ASSERT_TRUE(CryptAcquireCertificatePrivateKey(a.cert, 0, nullptr, &prov, &keySpec, nullptr));
    auto alive = [](HCRYPTPROV h) {
        DWORD cb = 0;
        return CryptGetProvParam(h, PP_NAME, nullptr, &cb, 0) == TRUE;
    };

    Sink dec;
    CMSG_STREAM_INFO stream{CMSG_INDEFINITE_LENGTH, Collect, &dec};
    HCRYPTMSG h = CryptMsgOpenToDecode(kEnc, 0, 0, 0, nullptr, &stream);
    ASSERT_NE(h, nullptr);
    ASSERT_TRUE(CryptMsgUpdate(h, enc.data.data(), static_cast<DWORD>(enc.data.size() - 12), FALSE));
    CMSG_CTRL_DECRYPT_PARA para{sizeof para, {prov}, keySpec, 7};
    EXPECT_FALSE(CryptMsgControl(h, CMSG_CRYPT_RELEASE_CONTEXT_FLAG, CMSG_CTRL_DECRYPT, &para));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(CRYPT_E_INVALID_INDEX));
    EXPECT_TRUE(alive(prov)) << "a refused decryption leaves the provider with the caller";

    para.dwRecipientIndex = 0;
    ASSERT_TRUE(CryptMsgControl(h, CMSG_CRYPT_RELEASE_CONTEXT_FLAG, CMSG_CTRL_DECRYPT, &para));
    EXPECT_TRUE(alive(prov)) << "the message may use the provider until it is closed";
    ASSERT_TRUE(CryptMsgUpdate(h, enc.data.data() + enc.data.size() - 12, 12, TRUE));
    EXPECT_TRUE(dec.data == Content(100));
    EXPECT_TRUE(CryptMsgClose(h));
    EXPECT_FALSE(alive(prov)) << "closing the message released the provider it was given";
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_BAD_UID));
}

TEST_F(EnvelopeStreams, RecipientInformationBlocks)
{
    Party& a = Make(0);
    Sink enc;
    ASSERT_EQ(Encode({a.cert}, false, szOID_RSA_DES_EDE3_CBC, Content(10), 0, enc), S_OK);
    Sink dec;
    CMSG_STREAM_INFO stream{CMSG_INDEFINITE_LENGTH, Collect, &dec};
    HCRYPTMSG h = CryptMsgOpenToDecode(kEnc, 0, 0, 0, nullptr, &stream);
    ASSERT_NE(h, nullptr);
    DWORD cb = 0;
    // Nothing yet: the header is not ready, and neither is decryption.
    EXPECT_FALSE(CryptMsgGetParam(h, CMSG_ENVELOPE_ALGORITHM_PARAM, 0, nullptr, &cb));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(CRYPT_E_STREAM_MSG_NOT_READY));
    ASSERT_TRUE(CryptMsgUpdate(h, enc.data.data(), 40, FALSE));
    EXPECT_FALSE(CryptMsgGetParam(h, CMSG_RECIPIENT_COUNT_PARAM, 0, nullptr, &cb));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(CRYPT_E_STREAM_MSG_NOT_READY));
    CMSG_CTRL_DECRYPT_PARA para{sizeof para, {a.prov}, a.keySpec, 0};
    EXPECT_FALSE(CryptMsgControl(h, 0, CMSG_CTRL_DECRYPT, &para));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(CRYPT_E_STREAM_MSG_NOT_READY));
    ASSERT_TRUE(CryptMsgUpdate(h, enc.data.data() + 40, static_cast<DWORD>(enc.data.size() - 40 - 12), FALSE));

    ASSERT_TRUE(CryptMsgGetParam(h, CMSG_ENVELOPE_ALGORITHM_PARAM, 0, nullptr, &cb));
    std::vector<BYTE> alg(cb);
    ASSERT_TRUE(CryptMsgGetParam(h, CMSG_ENVELOPE_ALGORITHM_PARAM, 0, alg.data(), &cb));
    auto* id = reinterpret_cast<CRYPT_ALGORITHM_IDENTIFIER*>(alg.data());
    EXPECT_STREQ(id->pszObjId, szOID_RSA_DES_EDE3_CBC);
    ASSERT_EQ(id->Parameters.cbData, 10u);  // OCTET STRING of the 8-byte IV
    EXPECT_EQ(id->Parameters.pbData[0], 0x04);

    cb = 0;
    ASSERT_TRUE(CryptMsgGetParam(h, CMSG_CMS_RECIPIENT_INFO_PARAM, 0, nullptr, &cb));
    std::vector<BYTE> block(cb);
    DWORD small = cb - 1;
    EXPECT_FALSE(CryptMsgGetParam(h, CMSG_CMS_RECIPIENT_INFO_PARAM, 0, block.data(), &small));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MORE_DATA));
    ASSERT_TRUE(CryptMsgGetParam(h, CMSG_CMS_RECIPIENT_INFO_PARAM, 0, block.data(), &cb));
    auto* info = reinterpret_cast<CMSG_CMS_RECIPIENT_INFO*>(block.data());
    const CMSG_KEY_TRANS_RECIPIENT_INFO& kt = *info->pKeyTrans;
    EXPECT_EQ(kt.dwVersion, 0u);
    EXPECT_STREQ(kt.KeyEncryptionAlgorithm.pszObjId, szOID_RSA_RSA);
    EXPECT_EQ(kt.EncryptedKey.cbData, 256u);
    ASSERT_EQ(kt.RecipientId.dwIdChoice, static_cast<DWORD>(CERT_ID_ISSUER_SERIAL_NUMBER));
    // Serial least significant byte first, as in the certificate's CERT_INFO.
    const CRYPT_INTEGER_BLOB& mine = a.cert->pCertInfo->SerialNumber;
    const CRYPT_INTEGER_BLOB& got = kt.RecipientId.IssuerSerialNumber.SerialNumber;
    ASSERT_EQ(got.cbData, mine.cbData);
    EXPECT_EQ(std::memcmp(got.pbData, mine.pbData, mine.cbData), 0);
    // Every pointer lies inside the block.
    EXPECT_GE(reinterpret_cast<BYTE*>(info->pKeyTrans), block.data());
    EXPECT_LE(kt.EncryptedKey.pbData + kt.EncryptedKey.cbData, block.data() + block.size());
    EXPECT_FALSE(CryptMsgGetParam(h, CMSG_CMS_RECIPIENT_INFO_PARAM, 1, nullptr, &cb));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(CRYPT_E_INVALID_INDEX));

    ASSERT_TRUE(CryptMsgControl(h, 0, CMSG_CTRL_DECRYPT, &para));
    EXPECT_FALSE(CryptMsgControl(h, 0, CMSG_CTRL_DECRYPT, &para));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(CRYPT_E_ALREADY_DECRYPTED));
    ASSERT_TRUE(CryptMsgUpdate(h, enc.data.data() + enc.data.size() - 12, 12, TRUE));
    EXPECT_EQ(dec.finals, 1);
    EXPECT_TRUE(dec.data == Content(10));
    EXPECT_FALSE(CryptMsgUpdate(h, enc.data.data(), 1, TRUE));  // nothing after the final update
    CryptMsgClose(h);
}

TEST_F(EnvelopeStreams, RefusesWhatCannotBeEncoded)
{
    Party& a = Make(0);
    Party& noId = Make(1, false);
    Sink enc;
    EXPECT_EQ(Encode({a.cert}, false, "1.2.840.113549.3.7 ", Content(10), 0, enc), CRYPT_E_UNKNOWN_ALGO);
    EXPECT_EQ(Encode({a.cert}, false, "1.2.840.113549.3.2", Content(10), 0, enc), CRYPT_E_UNKNOWN_ALGO);
    // A key identifier of nothing would name no one.
    EXPECT_EQ(Encode({a.cert, noId.cert}, true, szOID_RSA_RC4, Content(10), 0, enc), E_INVALIDARG);
    EXPECT_EQ(Encode({}, false, szOID_RSA_RC4, Content(10), 0, enc), E_INVALIDARG);
    EXPECT_EQ(enc.calls, 0);
    // The same certificate by issuer and serial number is fine.
    EXPECT_EQ(Encode({a.cert, noId.cert}, false, szOID_RSA_RC4, Content(10), 0, enc), S_OK);
}

TEST_F(EnvelopeStreams, CallbackAnsweringFalseFailsTheUpdate)
{
    Party& a = Make(0);
    for (DWORD error : {DWORD(0), DWORD(ERROR_DISK_FULL)}) {
        const HRESULT expected = error == 0 ? CRYPT_E_MSG_ERROR : HRESULT_FROM_WIN32(error);
        Sink enc;
        enc.failAtCall = 1;
        enc.failError = error;
        EXPECT_EQ(Encode({a.cert}, false, szOID_RSA_RC4, Content(10000), 4096, enc), expected);
        Sink good;
        ASSERT_EQ(Encode({a.cert}, false, szOID_RSA_RC4, Content(10000), 4096, good), S_OK);
        Sink dec;
        dec.failAtCall = 0;
        dec.failError = error;
        EXPECT_EQ(Decode(good.data, a, {2000}, dec), expected);
    }
}

TEST_F(EnvelopeStreams, WrongKeyFails)
{
    Party& a = Make(0);
    Party& b = Make(1);
    Sink enc;
    ASSERT_EQ(Encode({a.cert}, false, szOID_RSA_DES_EDE3_CBC, Content(100), 0, enc), S_OK);
    CMSG_STREAM_INFO stream{CMSG_INDEFINITE_LENGTH, Collect, &enc};
    Sink dec;
    stream.pvArg = &dec;
    HCRYPTMSG h = CryptMsgOpenToDecode(kEnc, 0, CMSG_ENVELOPED, 0, nullptr, &stream);
    ASSERT_TRUE(CryptMsgUpdate(h, enc.data.data(), static_cast<DWORD>(enc.data.size()), TRUE));
    CMSG_CTRL_DECRYPT_PARA para{sizeof para, {b.prov}, b.keySpec, 0};
    EXPECT_FALSE(CryptMsgControl(h, 0, CMSG_CTRL_DECRYPT, &para));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_BAD_DATA));
    para.hCryptProv = 12345;  // not a provider
    EXPECT_FALSE(CryptMsgControl(h, 0, CMSG_CTRL_DECRYPT, &para));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_BAD_UID));
    // A failed attempt leaves the message open for the right key.
    para.hCryptProv = a.prov;
    ASSERT_TRUE(CryptMsgControl(h, 0, CMSG_CTRL_DECRYPT, &para));
    EXPECT_TRUE(dec.data == Content(100));
    EXPECT_EQ(dec.finals, 1);
    CryptMsgClose(h);
    EXPECT_TRUE(dec.data.size() == 100);
}

// Every truncation and many corruptions end with a clear code, never a crash or a hang, and
// a corrupted ciphertext never passes for the content.
TEST_F(EnvelopeStreams, TruncatedAndCorruptedMessagesFailCleanly)
{
    Party& a = Make(0);
    const Bytes content = Content(300);
    Sink enc;
    ASSERT_EQ(Encode({a.cert}, false, szOID_RSA_DES_EDE3_CBC, content, 100, enc), S_OK);
    const Bytes& m = enc.data;
    for (size_t cut = 0; cut < m.size(); cut += (cut < 400 ? 1 : 7)) {
        Bytes t(m.begin(), m.begin() + static_cast<long>(cut));
        Sink dec;
        HRESULT hr = cut == 0 ? CRYPT_E_STREAM_INSUFFICIENT_DATA : Decode(t, a, {cut % 3 + 1, 50}, dec);
        if (cut == 0) {
            HCRYPTMSG h = CryptMsgOpenToDecode(kEnc, 0, 0, 0, nullptr, nullptr);
            EXPECT_FALSE(CryptMsgUpdate(h, nullptr, 0, TRUE));
            CryptMsgClose(h);
            continue;
        }
        EXPECT_TRUE(FAILED(hr)) << "cut at " << cut;
        EXPECT_TRUE(hr == CRYPT_E_STREAM_INSUFFICIENT_DATA || hr == CRYPT_E_STREAM_MSG_NOT_READY)
            << std::hex << hr << " cut at " << std::dec << cut;
    }
    for (size_t at = 0; at < m.size(); ++at) {
        Bytes c = m;
        c[at] ^= static_cast<BYTE>(0x01 << (at % 8));
        Sink dec;
        HRESULT hr = Decode(c, a, {at % 5 + 1, 64}, dec);
        // No integrity protects the ciphertext or the IV, so those may decrypt to other bytes;
        // the structure around them may not change unnoticed.
        const bool structure = at < 2 || at >= m.size() - 10;
        if (structure) {
            EXPECT_NE(hr, S_OK) << "corruption at " << at << " passed";
        }
        static const HRESULT known[] = {CRYPT_E_ASN1_EOD, CRYPT_E_ASN1_CORRUPT, CRYPT_E_ASN1_LARGE, CRYPT_E_ASN1_BADTAG,
                                        NTE_BAD_DATA, NTE_BAD_KEY, CRYPT_E_STREAM_INSUFFICIENT_DATA,
                                        CRYPT_E_INVALID_MSG_TYPE, CRYPT_E_UNKNOWN_ALGO, CRYPT_E_INVALID_INDEX,
                                        CRYPT_E_STREAM_MSG_NOT_READY, S_OK};
        EXPECT_NE(std::find(std::begin(known), std::end(known), hr), std::end(known))
            << std::hex << hr << " at " << std::dec << at;
    }
    // Bytes after the message.
    Bytes longer = m;
    longer.push_back(0);
    Sink dec;
    EXPECT_EQ(Decode(longer, a, {4096}, dec), CRYPT_E_ASN1_CORRUPT);
}

// What our stream writes, the one-call function opens, and the other way round.
TEST_F(EnvelopeStreams, InteroperatesWithTheOneCallFunctions)
{
    Party& a = Make(0);
    const Bytes content = Content(20000);
    for (bool byKeyId : {false, true}) {
        Sink enc;
        ASSERT_EQ(Encode({a.cert}, byKeyId, szOID_RSA_RC4, content, 3000, enc), S_OK);
        CRYPT_DECRYPT_MESSAGE_PARA dp{16, kEnc, 1, &a.store};
        DWORD cb = 0;
        ASSERT_TRUE(CryptDecryptMessage(&dp, enc.data.data(), static_cast<DWORD>(enc.data.size()), nullptr, &cb,
                                        nullptr));
        Bytes plain(cb);
        ASSERT_TRUE(CryptDecryptMessage(&dp, enc.data.data(), static_cast<DWORD>(enc.data.size()), plain.data(),
                                        &cb, nullptr));
        plain.resize(cb);
        EXPECT_TRUE(plain == content);

        CRYPT_ENCRYPT_MESSAGE_PARA ep{};
        ep.cbSize = sizeof ep;
        ep.dwMsgEncodingType = kEnc;
        ep.ContentEncryptionAlgorithm.pszObjId = const_cast<LPSTR>(szOID_RSA_DES_EDE3_CBC);
        ep.dwFlags = byKeyId ? CRYPT_MESSAGE_KEYID_RECIPIENT_FLAG : 0;
        PCCERT_CONTEXT certs[] = {a.cert};
        ASSERT_TRUE(CryptEncryptMessage(&ep, 1, certs, content.data(), static_cast<DWORD>(content.size()), nullptr, &cb));
        Bytes msg(cb);
        ASSERT_TRUE(CryptEncryptMessage(&ep, 1, certs, content.data(), static_cast<DWORD>(content.size()), msg.data(), &cb));
        msg.resize(cb);
        Sink dec;
        ASSERT_EQ(Decode(msg, a, {1, 333, 4096}, dec), S_OK);  // definite lengths, primitive content
        EXPECT_TRUE(dec.data == content);
    }
}

// Without a stream: the encoder gives DER through CMSG_CONTENT_PARAM, and the one-piece
// decoder decrypts into CMSG_CONTENT_PARAM.
TEST_F(EnvelopeStreams, NonStreamedEncodingAndDecoding)
{
    Party& a = Make(0);
    const Bytes content = Content(5000);
    CMSG_ENVELOPED_ENCODE_INFO info{};
    info.cbSize = sizeof info;
    info.ContentEncryptionAlgorithm.pszObjId = const_cast<LPSTR>(szOID_RSA_DES_EDE3_CBC);
    PCERT_INFO infos[] = {a.cert->pCertInfo};
    info.cRecipients = 1;
    info.rgpRecipients = infos;
    HCRYPTMSG h = CryptMsgOpenToEncode(kEnc, 0, CMSG_ENVELOPED, &info, nullptr, nullptr);
    ASSERT_NE(h, nullptr);
    DWORD cb = 0;
    EXPECT_FALSE(CryptMsgGetParam(h, CMSG_CONTENT_PARAM, 0, nullptr, &cb));
    ASSERT_TRUE(CryptMsgUpdate(h, content.data(), 2000, FALSE));
    ASSERT_TRUE(CryptMsgUpdate(h, content.data() + 2000, 3000, TRUE));
    ASSERT_TRUE(CryptMsgGetParam(h, CMSG_CONTENT_PARAM, 0, nullptr, &cb));
    Bytes msg(cb);
    ASSERT_TRUE(CryptMsgGetParam(h, CMSG_CONTENT_PARAM, 0, msg.data(), &cb));
    CryptMsgClose(h);
    ASSERT_EQ(msg[1], 0x82);  // definite lengths

    h = CryptMsgOpenToDecode(kEnc, 0, 0, 0, nullptr, nullptr);
    ASSERT_TRUE(CryptMsgUpdate(h, msg.data(), cb, TRUE));
    DWORD type = 0, size = sizeof type;
    ASSERT_TRUE(CryptMsgGetParam(h, CMSG_TYPE_PARAM, 0, &type, &size));
    EXPECT_EQ(type, static_cast<DWORD>(CMSG_ENVELOPED));
    CMSG_CTRL_DECRYPT_PARA para{sizeof para, {a.prov}, a.keySpec, 0};
    ASSERT_TRUE(CryptMsgControl(h, 0, CMSG_CTRL_DECRYPT, &para));
    ASSERT_TRUE(CryptMsgGetParam(h, CMSG_CONTENT_PARAM, 0, nullptr, &cb));
    Bytes plain(cb);
    ASSERT_TRUE(CryptMsgGetParam(h, CMSG_CONTENT_PARAM, 0, plain.data(), &cb));
    EXPECT_TRUE(plain == content);
    CryptMsgClose(h);
}

}  // namespace
