// CCryptoAgent: text envelopes. A text is encrypted for every chosen encryption certificate
// into a PKCS#7 enveloped-data message that travels as Base64 text, and such a text is
// decrypted with a key found in the chosen decryption stores.
#include "agent/CryptoAgent.h"

#include <memory>

#include "agent/AgentFrame.h"
#include "agent/WideAlgorithm.h"
#include "kernel/Encoding.h"
#include "kernel/Envelopes.h"

namespace {

// Envelope type 2 identifies recipients by subject key identifier; every other value,
// including 1, gives the classic issuer-and-serial-number form.
constexpr int kEnvelopeTypePkcs7 = 1;
constexpr int kEnvelopeTypeKeyId = 2;

constexpr char kAlgorithmRc4[] = NPK_OID_RC4;
constexpr char kAlgorithmDesEde3[] = NPK_OID_DES_EDE3;

bool IsEmpty(BSTR bstr)
{
    return bstr == NULL || bstr[0] == 0;
}

}  // namespace

HRESULT CCryptoAgent::EncryptMessage(BSTR bstrMessage, int nEnvelopeType, BSTR bstrEncryptionAlgorithm,
                                     BSTR* pbstrResult)
{
    CAgentFrame frame(m_hrLastError, NPK_AGENT_OPERATION("EncryptMessage"), pbstrResult);
    if (IsEmpty(bstrMessage)) return frame.Finish(frame.Step(E_INVALIDARG, TEXT("Invalid parameter.")));
    if (IsEmpty(bstrEncryptionAlgorithm))
        return frame.Finish(frame.Step(E_INVALIDARG, TEXT("Invalid parameter(bstrEncryptionAlgorithm).")));
    if (m_vecEncryptCerts.empty())
        return frame.Finish(frame.Step(NPK_E_CERT_NOT_READY, TEXT("No certificate is ready.")));

    char* pszMessage = NULL;
    UINT cbMessage = 0;
    HRESULT hr = frame.Step(UTF16ToUTF8(bstrMessage, &pszMessage, &cbMessage), TEXT("UTF16ToUTF8."));
    std::unique_ptr<char[]> message(pszMessage);
    if (FAILED(hr)) return frame.Finish(hr);
    char* pszAlgorithm = NULL;
    hr = frame.Step(UTF16ToUTF8(bstrEncryptionAlgorithm, &pszAlgorithm, NULL), TEXT("UTF16ToUTF8."));
    std::unique_ptr<char[]> algorithm(pszAlgorithm);
    if (FAILED(hr)) return frame.Finish(hr);

    BYTE* pbEnvelope = NULL;
    DWORD cbEnvelope = 0;
    hr = frame.Step(EncryptDatatoEnvelope(m_vecEncryptCerts, reinterpret_cast<const BYTE*>(message.get()), cbMessage,
                                          &pbEnvelope, &cbEnvelope, algorithm.get(),
                                          nEnvelopeType == kEnvelopeTypeKeyId ? TRUE : FALSE),
                    TEXT("EncryptDatatoEnvelope (Kernel) FAILED."));
    std::unique_ptr<BYTE[]> envelope(pbEnvelope);
    if (FAILED(hr)) return frame.Finish(hr);

    char* pszBase64 = NULL;
    int cchBase64 = 0;
    hr = frame.Step(Base64EncodeEx(envelope.get(), static_cast<int>(cbEnvelope), &pszBase64, &cchBase64, 0),
                    TEXT("Base64EncodeEx (Kernel) FAILED."));
    std::unique_ptr<char[]> base64(pszBase64);
    if (FAILED(hr)) return frame.Finish(hr);
    LPWSTR pwszText = NULL;
    hr = frame.Step(UTF8ToUTF16(base64.get(), &pwszText, NULL), TEXT("UTF8ToUTF16 (Kernel) FAILED."));
    std::unique_ptr<WCHAR[]> text(pwszText);
    if (FAILED(hr)) return frame.Finish(hr);
    frame.SetResultText(text.get());
    return frame.Finish(S_OK);
}

HRESULT CCryptoAgent::DecryptMessage(BSTR bstrEnvelope, BSTR* pbstrResult)
{
    CAgentFrame frame(m_hrLastError, NPK_AGENT_OPERATION("DecryptMessage"), pbstrResult);
    if (IsEmpty(bstrEnvelope)) return frame.Finish(frame.Step(E_INVALIDARG, TEXT("Invalid parameter.")));
    if (m_vecDecryptStores.empty())
        return frame.Finish(frame.Step(NPK_E_CERT_NOT_READY, TEXT("Certificate is not ready.")));

    char* pszEnvelope = NULL;
    UINT cbEnvelopeText = 0;
    HRESULT hr = frame.Step(UTF16ToUTF8(bstrEnvelope, &pszEnvelope, &cbEnvelopeText),
                            TEXT("UTF16ToUTF8 (Kernel) FAILED."));
    std::unique_ptr<char[]> envelopeText(pszEnvelope);
    if (FAILED(hr)) return frame.Finish(hr);
    BYTE* pbEnvelope = NULL;
    int cbEnvelope = 0;
    hr = frame.Step(Base64DecodeEx(envelopeText.get(), static_cast<int>(cbEnvelopeText), &pbEnvelope, &cbEnvelope),
                    TEXT("Base64DecodeEx (Kernel) FAILED."));
    std::unique_ptr<BYTE[]> envelope(pbEnvelope);
    if (FAILED(hr)) return frame.Finish(hr);

    BYTE* pbPlaintext = NULL;
    DWORD cbPlaintext = 0;
    hr = frame.Step(DecryptEnvelopeData(m_vecDecryptStores, envelope.get(), static_cast<DWORD>(cbEnvelope),
                                        &pbPlaintext, &cbPlaintext),
                    TEXT("DecryptEnvelopeData (Kernel) FAILED."));
    std::unique_ptr<BYTE[]> plaintext(pbPlaintext);
    if (FAILED(hr)) return frame.Finish(hr);

    // The plaintext buffer ends in a zero byte, so it reads as UTF-8 text as it stands.
    LPWSTR pwszText = NULL;
    hr = frame.Step(UTF8ToUTF16(reinterpret_cast<const char*>(plaintext.get()), &pwszText, NULL),
                    TEXT("UTF8ToUTF16 (Kernel) FAILED."));
    std::unique_ptr<WCHAR[]> text(pwszText);
    if (FAILED(hr)) return frame.Finish(hr);
    frame.SetResultText(text.get());
    return frame.Finish(S_OK);
}

// The page's forms: a fixed algorithm and envelope type.

namespace {

// The general operation with the algorithm widened from its narrow constant.
template <typename Encrypt>
HRESULT WithWideAlgorithm(CAgentFrame& frame, LPCSTR pszAlgorithm, Encrypt encrypt)
{
    WideAlgorithm algorithm;
    HRESULT hr = algorithm.Set(frame, pszAlgorithm);
    if (FAILED(hr)) return hr;
    return encrypt(algorithm.Get());
}

}  // namespace

HRESULT CCryptoAgent::EncryptMessageasEnvelope(BSTR bstrMessage, BSTR* pbstrResult)
{
    CAgentFrame frame(m_hrLastError, NPK_AGENT_OPERATION("EncryptMessageasEnvelope"), pbstrResult);
    HRESULT hr = WithWideAlgorithm(frame, kAlgorithmRc4, [&](BSTR bstrAlgorithm) {
        return EncryptMessage(bstrMessage, kEnvelopeTypeKeyId, bstrAlgorithm, pbstrResult);
    });
    if (FAILED(hr)) frame.Step(hr, TEXT("EncryptMessage (R) FAILED."));
    return frame.Finish(FAILED(hr) ? hr : S_OK);
}

HRESULT CCryptoAgent::EncryptMessageasEnvelopePKCS7(BSTR bstrMessage, BSTR* pbstrResult)
{
    CAgentFrame frame(m_hrLastError, NPK_AGENT_OPERATION("EncryptMessageasEnvelopePKCS7"), pbstrResult);
    HRESULT hr = WithWideAlgorithm(frame, kAlgorithmRc4, [&](BSTR bstrAlgorithm) {
        return EncryptMessage(bstrMessage, kEnvelopeTypePkcs7, bstrAlgorithm, pbstrResult);
    });
    if (FAILED(hr)) frame.Step(hr, TEXT("EncryptMessage (R) FAILED."));
    return frame.Finish(FAILED(hr) ? hr : S_OK);
}

HRESULT CCryptoAgent::EncryptMessageasEnvelope_3DES(BSTR bstrMessage, BSTR* pbstrResult)
{
    CAgentFrame frame(m_hrLastError, NPK_AGENT_OPERATION("EncryptMessageasEnvelope_3DES"), pbstrResult);
    HRESULT hr = WithWideAlgorithm(frame, kAlgorithmDesEde3, [&](BSTR bstrAlgorithm) {
        return EncryptMessage(bstrMessage, kEnvelopeTypeKeyId, bstrAlgorithm, pbstrResult);
    });
    if (FAILED(hr)) frame.Step(hr, TEXT("EncryptMessage"));
    return frame.Finish(FAILED(hr) ? hr : S_OK);
}

HRESULT CCryptoAgent::EncryptMessageasEnvelopePKCS7_3DES(BSTR bstrMessage, BSTR* pbstrResult)
{
    CAgentFrame frame(m_hrLastError, NPK_AGENT_OPERATION("EncryptMessageasEnvelopePKCS7_3DES"), pbstrResult);
    HRESULT hr = WithWideAlgorithm(frame, kAlgorithmDesEde3, [&](BSTR bstrAlgorithm) {
        return EncryptMessage(bstrMessage, kEnvelopeTypePkcs7, bstrAlgorithm, pbstrResult);
    });
    if (FAILED(hr)) frame.Step(hr, TEXT("EncryptMessage"));
    return frame.Finish(FAILED(hr) ? hr : S_OK);
}

HRESULT CCryptoAgent::DecryptEnvelopeMessage(BSTR bstrEnvelope, BSTR* pbstrResult)
{
    CAgentFrame frame(m_hrLastError, NPK_AGENT_OPERATION("DecryptEnvelopeMessage"), pbstrResult);
    HRESULT hr = DecryptMessage(bstrEnvelope, pbstrResult);
    if (FAILED(hr)) frame.Step(hr, TEXT("DecryptMessage (R) FAILED."));
    return frame.Finish(FAILED(hr) ? hr : S_OK);
}

// The envelope says how its recipients are identified, so both forms decrypt alike.
HRESULT CCryptoAgent::DecryptEnvelopeMessagePKCS7(BSTR bstrEnvelope, BSTR* pbstrResult)
{
    CAgentFrame frame(m_hrLastError, NPK_AGENT_OPERATION("DecryptEnvelopeMessagePKCS7"), pbstrResult);
    HRESULT hr = DecryptMessage(bstrEnvelope, pbstrResult);
    if (FAILED(hr)) frame.Step(hr, TEXT("DecryptMessage (R) FAILED."));
    return frame.Finish(FAILED(hr) ? hr : S_OK);
}
