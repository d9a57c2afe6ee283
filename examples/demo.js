// npKeystrand demo page: run with `npkeystrand run examples/demo.js` (or `make demo`).
// It finds the plug-in's methods, calls the default method and a few operations, and
// shows what GetLastErrorDesc says after a call fails. Every call is guarded, so the page
// runs to its end whatever the operations answer.

var METHODS = [
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

// One line for a description: the system's line breaks become " | ".
function oneLine(text) {
    return String(text).replace(/(\r?\n)+/g, " | ");
}

function describe(obj) {
    try {
        return oneLine(obj.GetLastErrorDesc());
    } catch (e) {
        return "(GetLastErrorDesc failed: " + e.message + ")";
    }
}

// Calls one operation and prints its result, or its failure and the agent's description.
function show(label, call) {
    try {
        var result = call();
        var text = typeof result === "string" && result.length > 72 ? result.substring(0, 72) + "..." : result;
        print("  " + label + " -> " + JSON.stringify(text));
    } catch (e) {
        print("  " + label + " failed: " + e.message);
        print("      GetLastErrorDesc: " + describe(plugin));
    }
}

// The plug-in asks the page to run Hello() whenever a signing certificate is chosen.
var helloCount = 0;
function Hello() {
    helloCount++;
}

print("npKeystrand demo");
print("");

var found = METHODS.filter(function (name) { return typeof plugin[name] === "function"; });
print("Methods found: " + found.length + " of " + METHODS.length);
for (var i = 0; i < found.length; i += 3) {
    print("  " + found.slice(i, i + 3).join(", "));
}
var missing = METHODS.filter(function (name) { return found.indexOf(name) < 0; });
if (missing.length > 0) {
    print("  missing: " + missing.join(", "));
}
print("");

show("plugin() (default method)", function () { return plugin(); });
print("  fresh instance, GetLastErrorDesc: " + describe(plugin));
print("");

print("Operations:");
show('SelectSignCertificate("", "")', function () { return plugin.SelectSignCertificate("", ""); });
print("      the page's Hello() ran " + helloCount + " time(s)");
show('SignMessage("Hello, world", "SHA-1") before a certificate is chosen',
     function () { return plugin.SignMessage("Hello, world", "SHA-1"); });
print("");

// The test fixtures' signing certificate; `make demo` runs from the repository's top.
print("Signing with the certificate of tests/data/signer.pfx:");
show('SelectSignCertificateByPFXFile("tests/data/signer.pfx", "npkeystrand")',
     function () { return plugin.SelectSignCertificateByPFXFile("tests/data/signer.pfx", "npkeystrand"); });
print("      the page's Hello() ran " + helloCount + " time(s)");
var signed = null, detached = null, pkcs1 = null;
show('SignMessage("Hello, world", "SHA-256")',
     function () { return signed = plugin.SignMessage("Hello, world", "SHA-256"); });
show('SignMessageDetached("Hello, world", "SHA-1")',
     function () { return detached = plugin.SignMessageDetached("Hello, world", "SHA-1"); });
show('SignMessagePKCS1("Hello, world", "MD-5")',
     function () { return pkcs1 = plugin.SignMessagePKCS1("Hello, world", "MD-5"); });
show("VerifyMessageSignature(attached)", function () { return plugin.VerifyMessageSignature(signed); });
show("VerifyMessageSignaturePKCS7(attached) gives the content",
     function () { return plugin.VerifyMessageSignaturePKCS7(signed); });
show('VerifyMessageSignatureDetached(detached, "Hello, world")',
     function () { return plugin.VerifyMessageSignatureDetached(detached, "Hello, world"); });
show('VerifyMessageSignatureDetached(detached, "Hello, World") (changed content)',
     function () { return plugin.VerifyMessageSignatureDetached(detached, "Hello, World"); });
show('VerifyMessageSignaturePKCS1(pkcs1, "Hello, world", "MD-5")',
     function () { return plugin.VerifyMessageSignaturePKCS1(pkcs1, "Hello, world", "MD-5"); });
show('SignMessage("Hello, world", "SHA256") (unknown hash name)',
     function () { return plugin.SignMessage("Hello, world", "SHA256"); });
print("");

print("Failures:");
show('VerifyMessageSignature("not a signature")', function () { return plugin.VerifyMessageSignature("not a signature"); });
show('SelectEncryptCertificateByCERFile("/no/such/file.cer")',
     function () { return plugin.SelectEncryptCertificateByCERFile("/no/such/file.cer"); });
show('SignFileDetached("/etc/hostname", "SHA-1") (a refused folder)',
     function () { return plugin.SignFileDetached("/etc/hostname", "SHA-1"); });
print("");

print("Envelopes for the certificate of tests/data/recipient.cer:");
show('EncryptMessageasEnvelope("secret") before a recipient is chosen',
     function () { return plugin.EncryptMessageasEnvelope("secret"); });
show('SelectEncryptCertificateByCERFile("tests/data/recipient.cer")',
     function () { return plugin.SelectEncryptCertificateByCERFile("tests/data/recipient.cer"); });
show('SelectDecryptCertificateByPFXFile("tests/data/recipient.pfx", "npkeystrand")',
     function () { return plugin.SelectDecryptCertificateByPFXFile("tests/data/recipient.pfx", "npkeystrand"); });
var envelope = null;
show('EncryptMessageasEnvelope_3DES("secret")',
     function () { return envelope = plugin.EncryptMessageasEnvelope_3DES("secret"); });
show("DecryptEnvelopeMessage(envelope)", function () { return plugin.DecryptEnvelopeMessage(envelope); });
print("");

print("Argument checks (the agent is not called, its last error stays):");
show('SignMessage("only one argument")', function () { return plugin.SignMessage("only one argument"); });
show("SignMessage(42, \"SHA-1\")", function () { return plugin.SignMessage(42, "SHA-1"); });
print("");

var other = embed();
print("A second instance has an agent of its own:");
print("  first instance:  " + describe(plugin));
print("  second instance: " + describe(other));
print("");
print("demo finished");
