// The 30 adapters. Each one describes itself in an AdapterSpec (argument count and labels,
// the agent call, the kind of result) and runs the one shared body, RunAdapter.
#include "plugin/ScriptablePluginObject.h"

#include <cstring>
#include <memory>

#include "kernel/Encoding.h"
#include "plugin/BrowserGates.h"
#include "plugin/Marshalling.h"
#include "trace/Trace.h"

namespace {
const uint32_t kMaxArgs = 3;

enum class ResultKind { Text, Flag };

enum AdapterOptions : unsigned {
    kNone = 0,
    kTraceFilters = 0x1,       // trace the wide certificate filters before the agent call
    kExceptionOnFailure = 0x2, // a failed call also raises a script exception
    kSecretResult = 0x4,       // the result holds a page's text: traced by its length only
};

struct ArgSpec {
    LPCWSTR pwszCopyStep;
    LPCWSTR pwszConvertStep;
    bool bSecret;  // never traced as text: passwords, and the texts a page signs or encrypts
};

typedef HRESULT (*TextCall)(CCryptoAgent& agent, LPWSTR const* w, BSTR* pbstrResult);
typedef HRESULT (*FlagCall)(CCryptoAgent& agent, LPWSTR const* w, VARIANT_BOOL* pbResult);
}  // namespace

#define NPK_ARG2(copyLabel, convertLabel) \
    { TEXT("ConverNPStringtoNULLEndString - " copyLabel), TEXT("UTF8ToUTF16 - " convertLabel), false }
#define NPK_ARG(label) NPK_ARG2(label, label)
#define NPK_SECRET_ARG(label) \
    { TEXT("ConverNPStringtoNULLEndString - " label), TEXT("UTF8ToUTF16 - " label), true }
#define NPK_NO_ARGS {}

struct CScriptablePluginObject::AdapterSpec {
    LPCSTR pszName;          // traced on entry and exit
    uint32_t nCount;         // the argument count the method requires
    uint32_t nRead;          // leading arguments that are checked, copied and converted
    ArgSpec args[kMaxArgs];
    LPCWSTR pwszAgentStep;
    ResultKind kind;
    unsigned options;
    TextCall pfnText;
    FlagCall pfnFlag;
};

bool CScriptablePluginObject::RunAdapter(const AdapterSpec& spec, const NPVariant* args, uint32_t argCount,
                                         NPVariant* result)
{
    TraceHelper trace(spec.pszName);

    bool bArgsOk = argCount == spec.nCount && result != NULL && (argCount == 0 || args != NULL);
    for (uint32_t i = 0; bArgsOk && i < spec.nRead; ++i) bArgsOk = NPVARIANT_IS_STRING(args[i]);
    if (!bArgsOk) {
        NPK_TRACE(TRACE_FAILURE, TraceMsgAI32(TRACE_GUID_SCRIPTABLE, 22, spec.pszName, static_cast<LONG>(argCount)));
        return false;
    }

    std::unique_ptr<char[]> copies[kMaxArgs];
    std::unique_ptr<WCHAR[]> wides[kMaxArgs];
    LPWSTR w[kMaxArgs] = {NULL, NULL, NULL};
    BSTR bstrResult = NULL;
    VARIANT_BOOL bFlag = 0;
    std::unique_ptr<char[]> utf8Result;
    bool bOutcome = false;
    HRESULT hr = S_OK;

    for (uint32_t i = 0; i < spec.nRead && SUCCEEDED(hr); ++i) {
        const NPString& text = NPVARIANT_TO_STRING(args[i]);
        char* pszCopy = NULL;
        hr = ConverNPStringtoNULLEndString(&pszCopy, text.UTF8Characters, text.UTF8Length, spec.args[i].bSecret);
        copies[i].reset(pszCopy);
        TraceStep(hr, spec.args[i].pwszCopyStep);
        if (FAILED(hr)) break;
        NPK_TRACE(TRACE_INFORMATION, TraceMsg(TRACE_GUID_SCRIPTABLE, 23));

        LPWSTR pwszWide = NULL;
        hr = UTF8ToUTF16(pszCopy, &pwszWide, NULL);
        wides[i].reset(pwszWide);
        TraceStep(hr, spec.args[i].pwszConvertStep);
        w[i] = pwszWide;
    }

    if (SUCCEEDED(hr)) {
        if (spec.options & kTraceFilters) {
            NPK_TRACE(TRACE_INFORMATION, TraceMsg(TRACE_GUID_SCRIPTABLE, 27));
            for (uint32_t i = 0; i < spec.nRead; ++i) NPK_TRACE(TRACE_INFORMATION, TraceMsgW(TRACE_GUID_SCRIPTABLE, 28, w[i]));
        }
        if (spec.kind == ResultKind::Text)
            hr = spec.pfnText(m_objCryptoAgent, w, &bstrResult);
        else
            hr = spec.pfnFlag(m_objCryptoAgent, w, &bFlag);
        TraceStep(hr, spec.pwszAgentStep);

        if (SUCCEEDED(hr) && spec.kind == ResultKind::Text) {
            if (spec.options & kSecretResult)
                NPK_TRACE(TRACE_INFORMATION, TraceMsgI32(TRACE_GUID_SCRIPTABLE, 29, static_cast<LONG>(SysStringLen(bstrResult))));
            else
                NPK_TRACE(TRACE_INFORMATION, TraceMsgW(TRACE_GUID_SCRIPTABLE, 24, bstrResult));
            char* pszUtf8 = NULL;
            size_t cbUtf8 = 0;
            hr = ResultTextToUtf8(bstrResult, &pszUtf8, &cbUtf8);
            utf8Result.reset(pszUtf8);
            TraceStep(hr, TEXT("UTF16ToUTF8"));
            if (SUCCEEDED(hr)) {
                if (spec.options & kSecretResult)
                    NPK_TRACE(TRACE_INFORMATION, TraceMsgI32(TRACE_GUID_SCRIPTABLE, 30, static_cast<LONG>(cbUtf8)));
                else
                    NPK_TRACE(TRACE_INFORMATION, TraceMsgA(TRACE_GUID_SCRIPTABLE, 25, pszUtf8));
                bOutcome = StringToNPVariant(pszUtf8, result);
                NPK_TRACE(TRACE_INFORMATION, TraceMsgI32(TRACE_GUID_SCRIPTABLE, 26, bOutcome ? 1 : 0));
            }
        }
    }

    // Clean-up: the argument copies and the UTF-8 result go with their owners; the agent's
    // text is an automation string.
    for (uint32_t i = 0; i < kMaxArgs; ++i) {
        copies[i].reset();
        wides[i].reset();
    }
    utf8Result.reset();
    if (bstrResult != NULL) SysFreeString(bstrResult);

    if (spec.kind == ResultKind::Flag) {
        bOutcome = bFlag == VARIANT_TRUE;
        BOOLEAN_TO_NPVARIANT(bOutcome, *result);
        return bOutcome;
    }
    if (!bOutcome) {
        NULL_TO_NPVARIANT(*result);
        if (spec.options & kExceptionOnFailure) NPN_SetException(this);
    }
    return bOutcome;
}

// Short forms for the agent calls of the table below.
#define NPK_TEXT(call) \
    [](CCryptoAgent& agent, LPWSTR const* w, BSTR* r) -> HRESULT { return agent.call; }, NULL
#define NPK_FLAG(call) \
    NULL, [](CCryptoAgent& agent, LPWSTR const* w, VARIANT_BOOL* r) -> HRESULT { return agent.call; }

#define NPK_ADAPTER(method, count, read, argspecs, kind, options, calls)                                 \
    bool CScriptablePluginObject::np##method(const NPVariant* args, uint32_t argCount, NPVariant* result) \
    {                                                                                                       \
        static const AdapterSpec spec = {"CScriptablePluginObject::np" #method, count, read, argspecs,     \
                                         TEXT("m_objCryptoAgent." #method), ResultKind::kind, options, calls}; \
        return RunAdapter(spec, args, argCount, result);                                                   \
    }

#define NPK_ARGS(...) {__VA_ARGS__}

NPK_ADAPTER(SelectSignCertificate, 2, 2, NPK_ARGS(NPK_ARG("SubjectDNFilter"), NPK_ARG("IssueDNFilter")), Text,
            kTraceFilters, NPK_TEXT(SelectSignCertificate(w[0], w[1], r)))
NPK_ADAPTER(SelectEncryptCertificate, 2, 2, NPK_ARGS(NPK_ARG("SubjectDNFilter"), NPK_ARG("IssueDNFilter")), Text,
            kTraceFilters, NPK_TEXT(SelectEncryptCertificate(w[0], w[1], r)))
NPK_ADAPTER(SelectDecryptCertificates, 0, 0, NPK_NO_ARGS, Text, kNone, NPK_TEXT(SelectDecryptCertificates(r)))
NPK_ADAPTER(SelectSignCertificateByPFXFile, 2, 2, NPK_ARGS(NPK_ARG("PFX File Name"), NPK_SECRET_ARG("PFX PWD")),
            Text, kNone, NPK_TEXT(SelectSignCertificateByPFXFile(w[0], w[1], r)))
NPK_ADAPTER(SelectEncryptCertificateByCERFile, 1, 1, NPK_ARGS(NPK_ARG("Certificate File Name")), Text,
            kExceptionOnFailure, NPK_TEXT(SelectEncryptCertificateByCERFile(w[0], r)))
NPK_ADAPTER(SelectDecryptCertificateByPFXFile, 2, 2, NPK_ARGS(NPK_ARG("PFX File Name"), NPK_SECRET_ARG("PFX PWD")),
            Text, kNone, NPK_TEXT(SelectDecryptCertificateByPFXFile(w[0], w[1], r)))
// The texts a page signs or encrypts, attached signatures (which carry their text), and
// decrypted texts are traced by their length only.
NPK_ADAPTER(SignMessage, 2, 2, NPK_ARGS(NPK_SECRET_ARG("Source Msg"), NPK_ARG("Algorithm")), Text, kSecretResult,
            NPK_TEXT(SignMessage(w[0], w[1], r)))
NPK_ADAPTER(SignMessageDetached, 2, 2, NPK_ARGS(NPK_SECRET_ARG("Source Msg"), NPK_ARG("Algorithm")), Text, kNone,
            NPK_TEXT(SignMessageDetached(w[0], w[1], r)))
NPK_ADAPTER(SignMessagePKCS1, 2, 2, NPK_ARGS(NPK_SECRET_ARG("Source Msg"), NPK_ARG("Algorithm")), Text, kNone,
            NPK_TEXT(SignMessagePKCS1(w[0], w[1], r)))
NPK_ADAPTER(VerifyMessageSignature, 1, 1, NPK_ARGS(NPK_SECRET_ARG("Signature")), Flag, kNone,
            NPK_FLAG(VerifyMessageSignature(w[0], r)))
NPK_ADAPTER(VerifyMessageSignatureDetached, 2, 2, NPK_ARGS(NPK_ARG("Signature"), NPK_SECRET_ARG("Content")), Flag,
            kNone, NPK_FLAG(VerifyMessageSignatureDetached(w[0], w[1], r)))
NPK_ADAPTER(VerifyMessageSignaturePKCS1, 3, 3,
            NPK_ARGS(NPK_ARG("Signature"), NPK_SECRET_ARG("Content"), NPK_ARG("Algorithm")), Flag, kNone,
            NPK_FLAG(VerifyMessageSignaturePKCS1(w[0], w[1], w[2], r)))
NPK_ADAPTER(SignFileDetached, 2, 2, NPK_ARGS(NPK_ARG("File Name"), NPK_ARG("Algorithm")), Text, kNone,
            NPK_TEXT(SignFileDetached(w[0], w[1], r)))
NPK_ADAPTER(SignFilePKCS1, 2, 2, NPK_ARGS(NPK_ARG("File Name"), NPK_ARG("Algorithm")), Text, kNone,
            NPK_TEXT(SignFilePKCS1(w[0], w[1], r)))
NPK_ADAPTER(VerifyFileSignatureDetached, 2, 2, NPK_ARGS(NPK_ARG("Signature"), NPK_ARG2("File Name", "FileName")),
            Flag, kNone, NPK_FLAG(VerifyFileSignatureDetached(w[0], w[1], r)))
NPK_ADAPTER(VerifyFileSignaturePKCS1, 3, 3,
            NPK_ARGS(NPK_ARG("Signature"), NPK_ARG2("File Name", "FileName"), NPK_ARG("Algorithm")), Flag, kNone,
            NPK_FLAG(VerifyFileSignaturePKCS1(w[0], w[1], w[2], r)))
NPK_ADAPTER(EncryptMessageasEnvelope, 1, 1, NPK_ARGS(NPK_SECRET_ARG("Message")), Text, kNone,
            NPK_TEXT(EncryptMessageasEnvelope(w[0], r)))
NPK_ADAPTER(EncryptMessageasEnvelopePKCS7, 1, 1, NPK_ARGS(NPK_SECRET_ARG("Message")), Text, kNone,
            NPK_TEXT(EncryptMessageasEnvelopePKCS7(w[0], r)))
NPK_ADAPTER(DecryptEnvelopeMessage, 1, 1, NPK_ARGS(NPK_ARG("Envelope")), Text, kSecretResult,
            NPK_TEXT(DecryptEnvelopeMessage(w[0], r)))
// Two arguments are required, but only the envelope is looked at.
NPK_ADAPTER(DecryptEnvelopeMessagePKCS7, 2, 1, NPK_ARGS(NPK_ARG("Envelope")), Text, kSecretResult,
            NPK_TEXT(DecryptEnvelopeMessagePKCS7(w[0], r)))
NPK_ADAPTER(EncryptAsEnvelopeFilePKCS7, 2, 2, NPK_ARGS(NPK_ARG("SourceFile"), NPK_ARG("EncryptedFile")), Flag, kNone,
            NPK_FLAG(EncryptAsEnvelopeFilePKCS7(w[0], w[1], r)))
NPK_ADAPTER(EncryptAsEnvelopeFile, 2, 2, NPK_ARGS(NPK_ARG("SourceFile"), NPK_ARG("EncryptedFile")), Flag, kNone,
            NPK_FLAG(EncryptAsEnvelopeFile(w[0], w[1], r)))
NPK_ADAPTER(EncryptMessageasEnvelopePKCS7_3DES, 1, 1, NPK_ARGS(NPK_SECRET_ARG("Message")), Text, kNone,
            NPK_TEXT(EncryptMessageasEnvelopePKCS7_3DES(w[0], r)))
NPK_ADAPTER(EncryptMessageasEnvelope_3DES, 1, 1, NPK_ARGS(NPK_SECRET_ARG("Message")), Text, kNone,
            NPK_TEXT(EncryptMessageasEnvelope_3DES(w[0], r)))
NPK_ADAPTER(EncryptAsEnvelopeFilePKCS7_3DES, 2, 2, NPK_ARGS(NPK_ARG("SourceFile"), NPK_ARG("EncryptedFile")), Flag,
            kNone, NPK_FLAG(EncryptAsEnvelopeFilePKCS7_3DES(w[0], w[1], r)))
NPK_ADAPTER(EncryptAsEnvelopeFile_3DES, 2, 2, NPK_ARGS(NPK_ARG("SourceFile"), NPK_ARG("EncryptedFile")), Flag, kNone,
            NPK_FLAG(EncryptAsEnvelopeFile_3DES(w[0], w[1], r)))
NPK_ADAPTER(DecryptEnvelopeFilePKCS7, 2, 2, NPK_ARGS(NPK_ARG("EncryptedFile"), NPK_ARG("SourceFile")), Flag, kNone,
            NPK_FLAG(DecryptEnvelopeFilePKCS7(w[0], w[1], r)))
NPK_ADAPTER(DecryptEnvelopeFile, 2, 2, NPK_ARGS(NPK_ARG("EncryptedFile"), NPK_ARG("SourceFile")), Flag, kNone,
            NPK_FLAG(DecryptEnvelopeFile(w[0], w[1], r)))
NPK_ADAPTER(VerifyMessageSignaturePKCS7, 1, 1, NPK_ARGS(NPK_SECRET_ARG("Signature")), Text, kSecretResult,
            NPK_TEXT(VerifyMessageSignaturePKCS7(w[0], r)))
NPK_ADAPTER(GetLastErrorDesc, 0, 0, NPK_NO_ARGS, Text, kNone, NPK_TEXT(GetLastErrorDesc(r)))
