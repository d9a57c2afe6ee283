// CScriptablePluginObject: construction, the method table and dispatch, the default
// call and the (absent) properties.
#include "plugin/ScriptablePluginObject.h"

#include <string.h>

#include "plugin/BrowserGates.h"
#include "plugin/BrowserTable.h"
#include "trace/Trace.h"

namespace {
typedef bool (CScriptablePluginObject::*Adapter)(const NPVariant*, uint32_t, NPVariant*);

struct ScriptMethod {
    const NPUTF8* name;
    Adapter adapter;
};

// Matched in this order; the first entry also triggers the page callback in Invoke.
const ScriptMethod kMethods[] = {
    {"SelectSignCertificate", &CScriptablePluginObject::npSelectSignCertificate},
    {"SelectEncryptCertificate", &CScriptablePluginObject::npSelectEncryptCertificate},
    {"SelectDecryptCertificates", &CScriptablePluginObject::npSelectDecryptCertificates},
    {"SelectSignCertificateByPFXFile", &CScriptablePluginObject::npSelectSignCertificateByPFXFile},
    {"SelectEncryptCertificateByCERFile", &CScriptablePluginObject::npSelectEncryptCertificateByCERFile},
    {"SelectDecryptCertificateByPFXFile", &CScriptablePluginObject::npSelectDecryptCertificateByPFXFile},
    {"SignMessage", &CScriptablePluginObject::npSignMessage},
    {"SignMessageDetached", &CScriptablePluginObject::npSignMessageDetached},
    {"SignMessagePKCS1", &CScriptablePluginObject::npSignMessagePKCS1},
    {"VerifyMessageSignature", &CScriptablePluginObject::npVerifyMessageSignature},
    {"VerifyMessageSignatureDetached", &CScriptablePluginObject::npVerifyMessageSignatureDetached},
    {"VerifyMessageSignaturePKCS1", &CScriptablePluginObject::npVerifyMessageSignaturePKCS1},
    {"SignFileDetached", &CScriptablePluginObject::npSignFileDetached},
    {"SignFilePKCS1", &CScriptablePluginObject::npSignFilePKCS1},
    {"VerifyFileSignatureDetached", &CScriptablePluginObject::npVerifyFileSignatureDetached},
    {"VerifyFileSignaturePKCS1", &CScriptablePluginObject::npVerifyFileSignaturePKCS1},
    {"EncryptMessageasEnvelope", &CScriptablePluginObject::npEncryptMessageasEnvelope},
    {"EncryptMessageasEnvelopePKCS7", &CScriptablePluginObject::npEncryptMessageasEnvelopePKCS7},
    {"DecryptEnvelopeMessage", &CScriptablePluginObject::npDecryptEnvelopeMessage},
    {"DecryptEnvelopeMessagePKCS7", &CScriptablePluginObject::npDecryptEnvelopeMessagePKCS7},
    {"EncryptAsEnvelopeFilePKCS7", &CScriptablePluginObject::npEncryptAsEnvelopeFilePKCS7},
    {"EncryptAsEnvelopeFile", &CScriptablePluginObject::npEncryptAsEnvelopeFile},
    {"EncryptMessageasEnvelopePKCS7_3DES", &CScriptablePluginObject::npEncryptMessageasEnvelopePKCS7_3DES},
    {"EncryptMessageasEnvelope_3DES", &CScriptablePluginObject::npEncryptMessageasEnvelope_3DES},
    {"EncryptAsEnvelopeFilePKCS7_3DES", &CScriptablePluginObject::npEncryptAsEnvelopeFilePKCS7_3DES},
    {"EncryptAsEnvelopeFile_3DES", &CScriptablePluginObject::npEncryptAsEnvelopeFile_3DES},
    {"DecryptEnvelopeFilePKCS7", &CScriptablePluginObject::npDecryptEnvelopeFilePKCS7},
    {"DecryptEnvelopeFile", &CScriptablePluginObject::npDecryptEnvelopeFile},
    {"VerifyMessageSignaturePKCS7", &CScriptablePluginObject::npVerifyMessageSignaturePKCS7},
    {"GetLastErrorDesc", &CScriptablePluginObject::npGetLastErrorDesc},
};
const size_t kMethodCount = sizeof(kMethods) / sizeof(kMethods[0]);
static_assert(sizeof(kMethods) / sizeof(kMethods[0]) == 30, "the scripting surface has 30 methods");

const char kDefaultResult[] = "default method return val";

// Identifiers are browser handles: the same name always gives the same handle, so the
// browser's answer is compared, never the text.
const ScriptMethod* FindMethod(NPIdentifier name)
{
    if (name == NULL) return NULL;
    for (size_t i = 0; i < kMethodCount; ++i) {
        if (NPN_GetStringIdentifier(kMethods[i].name) == name) return &kMethods[i];
    }
    return NULL;
}

// Traces an identifier's text (looked up only when the event is on).
void TraceIdentifier(USHORT number, NPIdentifier name)
{
    NPK_TRACE(TRACE_INFORMATION, {
        NPUTF8* pszName = NPN_UTF8FromIdentifier(name);
        TraceMsgA(TRACE_GUID_SCRIPTABLE, number, pszName);
        FreeBrowserMemory(pszName);
    });
}
}  // namespace

CScriptablePluginObject::CScriptablePluginObject(NPP npp) : CScriptablePluginObjectBase(npp), m_objCryptoAgent()
{
    TraceHelper trace("CScriptablePluginObject::CScriptablePluginObject");
}

CScriptablePluginObject::~CScriptablePluginObject()
{
    TraceHelper trace("CScriptablePluginObject::~CScriptablePluginObject");
}

bool CScriptablePluginObject::HasMethod(NPIdentifier name)
{
    TraceHelper trace("CScriptablePluginObject::HasMethod");
    TraceIdentifier(11, name);
    if (FindMethod(name) != NULL) return true;
    NPK_TRACE(TRACE_FAILURE, TraceMsg(TRACE_GUID_SCRIPTABLE, 12));
    return false;
}

bool CScriptablePluginObject::Invoke(NPIdentifier name, const NPVariant* args, uint32_t argCount, NPVariant* result)
{
    TraceHelper trace("CScriptablePluginObject::Invoke");
    NPK_TRACE(TRACE_INFORMATION, {
        NPUTF8* pszName = NPN_UTF8FromIdentifier(name);
        TraceMsgAI32(TRACE_GUID_SCRIPTABLE, 13, pszName, static_cast<LONG>(argCount));
        FreeBrowserMemory(pszName);
    });

    const ScriptMethod* pMethod = FindMethod(name);
    if (pMethod == NULL) {
        NPK_TRACE(TRACE_ERROR, TraceMsg(TRACE_GUID_SCRIPTABLE, 14));
        return false;
    }
    // The page gets its callback before the signing certificate is chosen; whatever the
    // browser answers, the call goes on.
    if (pMethod == &kMethods[0] && g_NPNFuncs.geturl != NULL) g_NPNFuncs.geturl(m_npp, "javascript:Hello()", "_self");

    return (this->*(pMethod->adapter))(args, argCount, result);
}

bool CScriptablePluginObject::InvokeDefault(const NPVariant* args, uint32_t argCount, NPVariant* result)
{
    TraceHelper trace("CScriptablePluginObject::InvokeDefault");
    const size_t cbText = strlen(kDefaultResult);
    NPK_TRACE(TRACE_INFORMATION, TraceMsgI32(TRACE_GUID_SCRIPTABLE, 15, static_cast<LONG>(cbText)));
    if (result == NULL) return false;

    char* pszCopy = static_cast<char*>(NPN_MemAlloc(static_cast<uint32_t>(cbText + 1)));
    if (pszCopy == NULL) return false;
    memcpy(pszCopy, kDefaultResult, cbText + 1);
    STRINGN_TO_NPVARIANT(pszCopy, cbText, *result);
    return true;
}

bool CScriptablePluginObject::HasProperty(NPIdentifier name)
{
    TraceHelper trace("CScriptablePluginObject::HasProperty");
    TraceIdentifier(16, name);
    return false;
}

bool CScriptablePluginObject::GetProperty(NPIdentifier name, NPVariant* result)
{
    TraceHelper trace("CScriptablePluginObject::GetProperty");
    TraceIdentifier(17, name);
    return false;
}

bool CScriptablePluginObject::SetProperty(NPIdentifier name, const NPVariant* value)
{
    TraceHelper trace("CScriptablePluginObject::SetProperty");
    TraceIdentifier(18, name);
    return false;
}
