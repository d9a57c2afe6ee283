// npKeystrand signing page: run from the repository's top with
//   build/default/bin/npkeystrand run examples/signing.js
// It chooses the signing certificate from the test PFX file, signs one text three ways
// (attached PKCS#7, detached PKCS#7, bare PKCS#1), verifies each signature, reads the
// content back out of the attached message, and shows what GetLastErrorDesc says after a
// deliberate mistake.

var PFX_FILE = "tests/data/signer.pfx";
var PFX_PASSWORD = "npkeystrand";
var TEXT = "Keystrand example text";
var HASH = "SHA-256";

// The description on one line: the line breaks become blanks.
function describe() {
    return String(plugin.GetLastErrorDesc()).replace(/\s*\r?\n\s*/g, " ");
}

// Flag methods report "does not verify" as a failed call; the page sees false.
function verifies(call) {
    try {
        return call() === true;
    } catch (e) {
        return false;
    }
}

function shorten(text) {
    return text.length > 48 ? text.substring(0, 48) + "... (" + text.length + " characters)" : text;
}

var signer;
try {
    signer = plugin.SelectSignCertificateByPFXFile(PFX_FILE, PFX_PASSWORD);
} catch (e) {
    print("Cannot choose the signing certificate from " + PFX_FILE + ": " + describe());
    throw e;
}
print("Signer: " + signer);

var attached = plugin.SignMessage(TEXT, HASH);
var detached = plugin.SignMessageDetached(TEXT, HASH);
var bare = plugin.SignMessagePKCS1(TEXT, HASH);
print("attached PKCS#7: " + shorten(attached));
print("detached PKCS#7: " + shorten(detached));
print("PKCS#1:          " + shorten(bare));

print("attached PKCS#7 verifies: " + verifies(function () { return plugin.VerifyMessageSignature(attached); }));
print("detached PKCS#7 verifies: " + verifies(function () { return plugin.VerifyMessageSignatureDetached(detached, TEXT); }));
print("PKCS#1 verifies: " + verifies(function () { return plugin.VerifyMessageSignaturePKCS1(bare, TEXT, HASH); }));
print("content read back: " + plugin.VerifyMessageSignaturePKCS7(attached));
print("changed text verifies: " +
      verifies(function () { return plugin.VerifyMessageSignatureDetached(detached, TEXT + "!"); }));

// A deliberate mistake: the hash name needs its hyphen.
try {
    plugin.SignMessage(TEXT, "SHA256");
    print("SHA256 was accepted?");
} catch (e) {
    print("Signing with \"SHA256\" failed: " + describe());
}
