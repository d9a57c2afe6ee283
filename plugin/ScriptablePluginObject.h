// CScriptablePluginObject: the page's scripting surface. It owns the instance's crypto
// agent and routes each of the 30 script methods to its adapter.
#pragma once

#include "agent/CryptoAgent.h"
#include "plugin/ScriptableObjectBase.h"

class CScriptablePluginObject : public CScriptablePluginObjectBase {
public:
    explicit CScriptablePluginObject(NPP npp);
    ~CScriptablePluginObject() override;

    bool HasMethod(NPIdentifier name) override;
    bool Invoke(NPIdentifier name, const NPVariant* args, uint32_t argCount, NPVariant* result) override;
    bool InvokeDefault(const NPVariant* args, uint32_t argCount, NPVariant* result) override;
    bool HasProperty(NPIdentifier name) override;
    bool GetProperty(NPIdentifier name, NPVariant* result) override;
    bool SetProperty(NPIdentifier name, const NPVariant* value) override;

    // The adapters: one per script method, in the method table's order.
    bool npSelectSignCertificate(const NPVariant* args, uint32_t argCount, NPVariant* result);
    bool npSelectEncryptCertificate(const NPVariant* args, uint32_t argCount, NPVariant* result);
    bool npSelectDecryptCertificates(const NPVariant* args, uint32_t argCount, NPVariant* result);
    bool npSelectSignCertificateByPFXFile(const NPVariant* args, uint32_t argCount, NPVariant* result);
    bool npSelectEncryptCertificateByCERFile(const NPVariant* args, uint32_t argCount, NPVariant* result);
    bool npSelectDecryptCertificateByPFXFile(const NPVariant* args, uint32_t argCount, NPVariant* result);
    bool npSignMessage(const NPVariant* args, uint32_t argCount, NPVariant* result);
    bool npSignMessageDetached(const NPVariant* args, uint32_t argCount, NPVariant* result);
    bool npSignMessagePKCS1(const NPVariant* args, uint32_t argCount, NPVariant* result);
    bool npVerifyMessageSignature(const NPVariant* args, uint32_t argCount, NPVariant* result);
    bool npVerifyMessageSignatureDetached(const NPVariant* args, uint32_t argCount, NPVariant* result);
    bool npVerifyMessageSignaturePKCS1(const NPVariant* args, uint32_t argCount, NPVariant* result);
    bool npSignFileDetached(const NPVariant* args, uint32_t argCount, NPVariant* result);
    bool npSignFilePKCS1(const NPVariant* args, uint32_t argCount, NPVariant* result);
    bool npVerifyFileSignatureDetached(const NPVariant* args, uint32_t argCount, NPVariant* result);
    bool npVerifyFileSignaturePKCS1(const NPVariant* args, uint32_t argCount, NPVariant* result);
    bool npEncryptMessageasEnvelope(const NPVariant* args, uint32_t argCount, NPVariant* result);
    bool npEncryptMessageasEnvelopePKCS7(const NPVariant* args, uint32_t argCount, NPVariant* result);
    bool npDecryptEnvelopeMessage(const NPVariant* args, uint32_t argCount, NPVariant* result);
    bool npDecryptEnvelopeMessagePKCS7(const NPVariant* args, uint32_t argCount, NPVariant* result);
    bool npEncryptAsEnvelopeFilePKCS7(const NPVariant* args, uint32_t argCount, NPVariant* result);
    bool npEncryptAsEnvelopeFile(const NPVariant* args, uint32_t argCount, NPVariant* result);
    bool npEncryptMessageasEnvelopePKCS7_3DES(const NPVariant* args, uint32_t argCount, NPVariant* result);
    bool npEncryptMessageasEnvelope_3DES(const NPVariant* args, uint32_t argCount, NPVariant* result);
    bool npEncryptAsEnvelopeFilePKCS7_3DES(const NPVariant* args, uint32_t argCount, NPVariant* result);
    bool npEncryptAsEnvelopeFile_3DES(const NPVariant* args, uint32_t argCount, NPVariant* result);
    bool npDecryptEnvelopeFilePKCS7(const NPVariant* args, uint32_t argCount, NPVariant* result);
    bool npDecryptEnvelopeFile(const NPVariant* args, uint32_t argCount, NPVariant* result);
    bool npVerifyMessageSignaturePKCS7(const NPVariant* args, uint32_t argCount, NPVariant* result);
    bool npGetLastErrorDesc(const NPVariant* args, uint32_t argCount, NPVariant* result);

    // The agent that holds this page's chosen certificates and last error.
    CCryptoAgent m_objCryptoAgent;

    // What distinguishes one adapter from another (Adapters.cpp).
    struct AdapterSpec;

private:
    // The one body that every adapter runs.
    bool RunAdapter(const AdapterSpec& spec, const NPVariant* args, uint32_t argCount, NPVariant* result);
};
