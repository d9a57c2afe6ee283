// npKeystrand envelope page: run from the repository's top with
//   build/default/bin/npkeystrand run examples/envelopes.js
// It chooses the recipient from a certificate file and the decryption key from a PFX file,
// encrypts one text four ways (RC4 or Triple DES; recipients by subject key identifier or by
// issuer and serial number), decrypts each envelope, and shows what GetLastErrorDesc says
// when the recipient certificate has no subject key identifier.

var DATA = "tests/data/";
var TEXT = "A message for Bob only";

function describe() {
    return String(plugin.GetLastErrorDesc()).replace(/\s*\r?\n\s*/g, " ");
}

function shorten(text) {
    return text.length > 48 ? text.substring(0, 48) + "... (" + text.length + " characters)" : text;
}

print("recipient: " + plugin.SelectEncryptCertificateByCERFile(DATA + "recipient.cer"));
print("decryption key from: " + plugin.SelectDecryptCertificateByPFXFile(DATA + "recipient.pfx", "npkeystrand"));
print("");

var methods = ["EncryptMessageasEnvelope", "EncryptMessageasEnvelope_3DES",
               "EncryptMessageasEnvelopePKCS7", "EncryptMessageasEnvelopePKCS7_3DES"];
for (var i = 0; i < methods.length; i++) {
    var envelope = plugin[methods[i]](TEXT);
    print(methods[i] + ": " + shorten(envelope));
    print("  DecryptEnvelopeMessage: " + plugin.DecryptEnvelopeMessage(envelope));
}
print("");

print("recipient: " + plugin.SelectEncryptCertificateByCERFile(DATA + "nokeyid.cer"));
try {
    plugin.EncryptMessageasEnvelope(TEXT);
    print("EncryptMessageasEnvelope: unexpectedly succeeded");
} catch (e) {
    print("EncryptMessageasEnvelope failed: " + describe());
}
print("EncryptMessageasEnvelopePKCS7 still works: " + shorten(plugin.EncryptMessageasEnvelopePKCS7(TEXT)));
