// Lists the plug-in's script methods: `npkeystrand run examples/methods.js`.
// A page cannot enumerate them, so it asks for each name it knows.

var NAMES = [
    "SelectSignCertificate", "SelectEncryptCertificate", "SelectDecryptCertificates",
    "SelectSignCertificateByPFXFile", "SelectEncryptCertificateByCERFile",
    "SelectDecryptCertificateByPFXFile", "SignMessage", "SignMessageDetached",
    "SignMessagePKCS1", "VerifyMessageSignature", "VerifyMessageSignatureDetached",
    "VerifyMessageSignaturePKCS1", "SignFileDetached", "SignFilePKCS1",
    "VerifyFileSignatureDetached", "VerifyFileSignaturePKCS1", "EncryptMessageasEnvelope",
    "EncryptMessageasEnvelopePKCS7", "DecryptEnvelopeMessage", "DecryptEnvelopeMessagePKCS7",
    "EncryptAsEnvelopeFilePKCS7", "EncryptAsEnvelopeFile", "EncryptMessageasEnvelopePKCS7_3DES",
    "EncryptMessageasEnvelope_3DES", "EncryptAsEnvelopeFilePKCS7_3DES", "EncryptAsEnvelopeFile_3DES",
    "DecryptEnvelopeFilePKCS7", "DecryptEnvelopeFile", "VerifyMessageSignaturePKCS7",
    "GetLastErrorDesc"
];

var count = 0;
NAMES.forEach(function (name) {
    var present = name in plugin;
    if (present) {
        count++;
    }
    print((present ? "  yes  " : "  no   ") + name);
});
print(count + " of " + NAMES.length + " methods");
