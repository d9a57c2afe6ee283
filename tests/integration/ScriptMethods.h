// The plug-in's script methods as a page sees them: name, argument count and result kind.
#pragma once

#include <string>
#include <vector>

namespace npk::test {

struct ScriptMethod {
    const char* name;
    int count;
    bool flagResult;  // yes/no result; otherwise text
};

inline const std::vector<ScriptMethod>& ScriptMethods()
{
    static const std::vector<ScriptMethod> methods = {
        {"SelectSignCertificate", 2, false},
        {"SelectEncryptCertificate", 2, false},
        {"SelectDecryptCertificates", 0, false},
        {"SelectSignCertificateByPFXFile", 2, false},
        {"SelectEncryptCertificateByCERFile", 1, false},
        {"SelectDecryptCertificateByPFXFile", 2, false},
        {"SignMessage", 2, false},
        {"SignMessageDetached", 2, false},
        {"SignMessagePKCS1", 2, false},
        {"VerifyMessageSignature", 1, true},
        {"VerifyMessageSignatureDetached", 2, true},
        {"VerifyMessageSignaturePKCS1", 3, true},
        {"SignFileDetached", 2, false},
        {"SignFilePKCS1", 2, false},
        {"VerifyFileSignatureDetached", 2, true},
        {"VerifyFileSignaturePKCS1", 3, true},
        {"EncryptMessageasEnvelope", 1, false},
        {"EncryptMessageasEnvelopePKCS7", 1, false},
        {"DecryptEnvelopeMessage", 1, false},
        {"DecryptEnvelopeMessagePKCS7", 2, false},
        {"EncryptAsEnvelopeFilePKCS7", 2, true},
        {"EncryptAsEnvelopeFile", 2, true},
        {"EncryptMessageasEnvelopePKCS7_3DES", 1, false},
        {"EncryptMessageasEnvelope_3DES", 1, false},
        {"EncryptAsEnvelopeFilePKCS7_3DES", 2, true},
        {"EncryptAsEnvelopeFile_3DES", 2, true},
        {"DecryptEnvelopeFilePKCS7", 2, true},
        {"DecryptEnvelopeFile", 2, true},
        {"VerifyMessageSignaturePKCS7", 1, false},
        {"GetLastErrorDesc", 0, false},
    };
    return methods;
}

// A JavaScript array literal of string arguments "a0", "a1", ... of the given count.
inline std::string StringArgs(int count)
{
    std::string s = "[";
    for (int i = 0; i < count; ++i) {
        s += (i ? ", " : "") + std::string("\"a") + std::to_string(i) + "\"";
    }
    return s + "]";
}

}  // namespace npk::test
