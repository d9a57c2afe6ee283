// The package test's signing page, run by the installed npkeystrand from a directory that
// holds signer.pfx and data.txt. Every check throws on a wrong answer, so the page exits 1 at
// the first fault; the signatures it prints are verified afterwards with openssl.

var TEXT = "Installed npKeystrand signs this text";

function check(ok, what) {
    if (!ok) {
        throw new Error("check failed: " + what + " (" + plugin.GetLastErrorDesc() + ")");
    }
}

// Flag methods report "does not verify" as a failed call.
function verifies(call) {
    try {
        return call() === true;
    } catch (e) {
        return false;
    }
}

function refused(call) {
    try {
        call();
        return false;
    } catch (e) {
        return true;
    }
}

check(refused(function () { return plugin.SignMessage(TEXT, "SHA-256"); }),
      "signing before a certificate is chosen is refused");
plugin.SelectSignCertificateByPFXFile("signer.pfx", "npkeystrand");
check(refused(function () { return plugin.SelectSignCertificateByPFXFile("signer.pfx", "wrong"); }),
      "a wrong PFX password is refused");

var attached = plugin.SignMessage(TEXT, "SHA-256");
check(verifies(function () { return plugin.VerifyMessageSignature(attached); }), "attached signature verifies");
check(plugin.VerifyMessageSignaturePKCS7(attached) === TEXT, "attached signature gives its content back");

var detached = plugin.SignMessageDetached(TEXT, "SHA-1");
check(verifies(function () { return plugin.VerifyMessageSignatureDetached(detached, TEXT); }),
      "detached signature verifies");
check(!verifies(function () { return plugin.VerifyMessageSignatureDetached(detached, TEXT + "."); }),
      "detached signature over another text does not verify");

var pkcs1 = plugin.SignMessagePKCS1(TEXT, "MD-5");
check(verifies(function () { return plugin.VerifyMessageSignaturePKCS1(pkcs1, TEXT, "MD-5"); }),
      "PKCS#1 signature verifies");

var fileSignature = plugin.SignFileDetached("data.txt", "SHA-256");
check(verifies(function () { return plugin.VerifyFileSignatureDetached(fileSignature, "data.txt"); }),
      "file signature verifies");
check(refused(function () { return plugin.SignFileDetached("/usr/bin/npkeystrand", "SHA-1"); }),
      "a file in a refused folder is not signed");

// One line each: the plug-in's Base64 breaks its lines.
function oneLine(text) {
    return text.replace(/\s+/g, "");
}

print("attached " + oneLine(attached));
print("detached " + oneLine(detached));
print("file " + oneLine(fileSignature));
print("signing page finished");
