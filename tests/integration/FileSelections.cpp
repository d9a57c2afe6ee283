// Certificates chosen from files as a page does it: the signing and decryption certificate
// from a PFX file, the recipient from a DER or Base64 certificate file, their failures, and
// what each selection leaves in place. SelectSignCertificateWithoutPrivateKey has no script
// method and is driven on an agent in this process.
#include "PageSupport.h"

#include <windows.h>
#include <oleauto.h>

#include <openssl/pem.h>
#include <openssl/pkcs12.h>
#include <openssl/x509.h>

#include <cstdio>

#include "agent/CryptoAgent.h"

namespace npk::test {
namespace {

namespace fs = std::filesystem;

constexpr const char kOk[] = "0x00000000";
constexpr const char kInvalidArg[] = "0x80070057";
constexpr const char kWrongPassword[] = "0x80070056";
constexpr const char kMaliciousPath[] = "0xa0071006";
constexpr const char kEmptyFile[] = "0xa0071007";
constexpr const char kFileNotFound[] = "0x80070002";
constexpr const char kNotReady[] = "0xa0072001";

const char kSigner[] = "CN=Alice Signer, OU=Signing, O=npKeystrand, C=KR";
const char kRecipient[] = "CN=Bob Recipient, O=npKeystrand, C=KR";

struct Record {
    std::string outcome;
    std::string code;
};

// A PFX holding two key-bearing certificates, signer first, each key in its own bag.
std::string MakePairPfx(const std::string& password)
{
    std::string result;
    STACK_OF(PKCS12_SAFEBAG)* certBags = nullptr;
    STACK_OF(PKCS12_SAFEBAG)* keyBags = nullptr;
    bool ok = true;
    const char* names[] = {"signer", "recipient"};
    for (int i = 0; i < 2 && ok; ++i) {
        FILE* cf = std::fopen((DataDir() + names[i] + ".pem").c_str(), "r");
        FILE* kf = std::fopen((DataDir() + names[i] + ".key").c_str(), "r");
        X509* x = cf != nullptr ? PEM_read_X509(cf, nullptr, nullptr, nullptr) : nullptr;
        EVP_PKEY* k = kf != nullptr ? PEM_read_PrivateKey(kf, nullptr, nullptr, nullptr) : nullptr;
        if (cf != nullptr) std::fclose(cf);
        if (kf != nullptr) std::fclose(kf);
        ok = x != nullptr && k != nullptr;
        if (ok) {
            unsigned char id = static_cast<unsigned char>(i + 1);
            PKCS12_SAFEBAG* cb = PKCS12_add_cert(&certBags, x);
            PKCS12_SAFEBAG* kb = PKCS12_add_key(&keyBags, k, 0, 2048, NID_pbe_WithSHA1And3_Key_TripleDES_CBC, password.c_str());
            ok = cb != nullptr && kb != nullptr && PKCS12_add_localkeyid(cb, &id, 1) && PKCS12_add_localkeyid(kb, &id, 1);
        }
        X509_free(x);
        EVP_PKEY_free(k);
    }
    STACK_OF(PKCS7)* safes = nullptr;
    if (ok) {
        ok = PKCS12_add_safe(&safes, certBags, NID_pbe_WithSHA1And3_Key_TripleDES_CBC, 2048, password.c_str()) &&
             PKCS12_add_safe(&safes, keyBags, -1, 0, nullptr);
    }
    PKCS12* p12 = ok ? PKCS12_add_safes(safes, 0) : nullptr;
    if (p12 != nullptr && PKCS12_set_mac(p12, password.c_str(), -1, nullptr, 0, 2048, EVP_sha256())) {
        int n = i2d_PKCS12(p12, nullptr);
        if (n > 0) {
            result.resize(static_cast<size_t>(n));
            unsigned char* p = reinterpret_cast<unsigned char*>(result.data());
            i2d_PKCS12(p12, &p);
        }
    }
    PKCS12_free(p12);
    sk_PKCS7_pop_free(safes, PKCS7_free);
    sk_PKCS12_SAFEBAG_pop_free(certBags, PKCS12_SAFEBAG_free);
    sk_PKCS12_SAFEBAG_pop_free(keyBags, PKCS12_SAFEBAG_free);
    return result;
}

std::string ReadFixture(const std::string& name)
{
    std::ifstream in(DataDir() + name, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

class FileSelectionsTest : public HostTest {
protected:
    std::map<std::string, Record> Run(const std::string& script)
    {
        HostResult r = Page("var DATA = " + Js(DataDir()) + ";\n"
                            "function rec(label, f) { var r = attempt(f); print(label + '|' + r + '|' + code(plugin)); return r; }\n"
                            "function signs() { try { var m = plugin.SignMessage('probe', 'SHA-1');"
                            " return plugin.VerifyMessageSignaturePKCS7(m) === 'probe'; } catch (e) { return false; } }\n" +
                            script);
        EXPECT_EQ(r.status, 0) << r.err;
        m_lastOut = r.out;
        return ParseRecords<Record>(r.out);
    }
    std::string m_lastOut;
};

TEST_F(FileSelectionsTest, SigningCertificateFromModernLegacyAndPasswordlessPfx)
{
    auto r = Run("rec('modern', function () { return plugin.SelectSignCertificateByPFXFile(DATA + 'signer.pfx', 'npkeystrand'); });\n"
                 "rec('modern-signs', signs);\n"
                 "rec('legacy', function () { return plugin.SelectSignCertificateByPFXFile(DATA + 'signer-legacy.pfx', 'npkeystrand'); });\n"
                 "rec('legacy-signs', signs);\n"
                 "rec('nopass', function () { return plugin.SelectSignCertificateByPFXFile(DATA + 'signer-nopass.pfx', ''); });\n"
                 "rec('nopass-signs', signs);\n"
                 "rec('decrypt', function () { return plugin.SelectDecryptCertificateByPFXFile(DATA + 'recipient.pfx', 'npkeystrand'); });\n"
                 "rec('decrypt-keeps-signer', signs);\n"
                 "rec('expired', function () { return plugin.SelectSignCertificateByPFXFile(DATA + 'expired.pfx', 'npkeystrand'); });\n");
    ASSERT_EQ(r.size(), 9u) << m_lastOut;
    for (const char* label : {"modern", "legacy", "nopass"}) {
        SCOPED_TRACE(label);
        EXPECT_EQ(r[label].outcome, std::string("ok:") + kSigner);
        EXPECT_EQ(r[label].code, kOk);
        EXPECT_EQ(r[label + std::string("-signs")].outcome, "ok:true");
    }
    EXPECT_EQ(r["decrypt"].outcome, std::string("ok:") + kRecipient);
    EXPECT_EQ(r["decrypt-keeps-signer"].outcome, "ok:true") << "a decryption selection leaves the signer alone";
    // Validity is not a selection criterion for a file the page names.
    EXPECT_EQ(r["expired"].outcome, "ok:CN=Dave Expired, O=npKeystrand, C=KR");
}

TEST_F(FileSelectionsTest, PfxFailuresLeaveThePreviousSelection)
{
    std::string notPfx = WriteFile("not.pfx", "this is not a PFX file at all");
    std::string empty = WriteFile("empty.pfx", "");
    std::string exe = WriteFile("signer.exe", ReadFixture("signer.pfx"));
    std::string cer = DataDir() + "signer.cer";
    auto r = Run("rec('none-yet', signs);\n"
                 "rec('wrong-first', function () { return plugin.SelectSignCertificateByPFXFile(DATA + 'signer.pfx', 'wrong'); });\n"
                 "rec('still-none', function () { return plugin.SignMessage('x', 'SHA-1'); });\n"
                 "rec('pick', function () { return plugin.SelectSignCertificateByPFXFile(DATA + 'signer.pfx', 'npkeystrand'); });\n"
                 "rec('wrong', function () { return plugin.SelectSignCertificateByPFXFile(DATA + 'signer.pfx', 'Npkeystrand'); });\n"
                 "rec('wrong-desc', function () { return JSON.stringify(plugin.GetLastErrorDesc()); });\n"
                 "rec('after-wrong', signs);\n"
                 "rec('empty-path', function () { return plugin.SelectSignCertificateByPFXFile('', 'npkeystrand'); });\n"
                 "rec('missing', function () { return plugin.SelectSignCertificateByPFXFile(DATA + 'missing.pfx', 'npkeystrand'); });\n"
                 "rec('etc', function () { return plugin.SelectSignCertificateByPFXFile('/etc/hostname', ''); });\n"
                 "rec('exe', function () { return plugin.SelectSignCertificateByPFXFile(" + Js(exe) + ", 'npkeystrand'); });\n"
                 "rec('empty', function () { return plugin.SelectSignCertificateByPFXFile(" + Js(empty) + ", 'npkeystrand'); });\n"
                 "rec('garbage', function () { return plugin.SelectSignCertificateByPFXFile(" + Js(notPfx) + ", 'npkeystrand'); });\n"
                 "rec('a-cer', function () { return plugin.SelectSignCertificateByPFXFile(" + Js(cer) + ", ''); });\n"
                 "rec('decrypt-wrong', function () { return plugin.SelectDecryptCertificateByPFXFile(DATA + 'recipient.pfx', 'x'); });\n"
                 "rec('decrypt-empty', function () { return plugin.SelectDecryptCertificateByPFXFile('', 'x'); });\n"
                 "rec('after-all', signs);\n");
    ASSERT_EQ(r.size(), 17u) << m_lastOut;
    EXPECT_EQ(r["none-yet"].outcome, "ok:false");
    EXPECT_EQ(r["wrong-first"].code, kWrongPassword);
    EXPECT_EQ(r["still-none"].code, kNotReady);
    EXPECT_EQ(r["pick"].outcome, std::string("ok:") + kSigner);
    EXPECT_EQ(r["wrong"].code, kWrongPassword) << "the password is compared exactly";
    EXPECT_EQ(r["wrong"].outcome.rfind("threw:", 0), 0u);
    EXPECT_NE(r["wrong-desc"].outcome.find("\\n(0x80070056)\""), std::string::npos) << r["wrong-desc"].outcome;
    EXPECT_EQ(r["after-wrong"].outcome, "ok:true");
    EXPECT_EQ(r["empty-path"].code, kInvalidArg);
    EXPECT_EQ(r["missing"].code, kFileNotFound);
    if (fs::exists("/etc/hostname")) {
        EXPECT_EQ(r["etc"].code, kMaliciousPath);
    }
    EXPECT_EQ(r["exe"].code, kMaliciousPath);
    EXPECT_EQ(r["empty"].code, kEmptyFile);
    for (const char* label : {"garbage", "a-cer", "decrypt-wrong", "decrypt-empty"}) {
        SCOPED_TRACE(label);
        EXPECT_EQ(r[label].outcome.rfind("threw:", 0), 0u) << r[label].outcome;
        EXPECT_NE(r[label].code, kOk);
    }
    EXPECT_EQ(r["decrypt-wrong"].code, kWrongPassword);
    EXPECT_EQ(r["decrypt-empty"].code, kInvalidArg);
    EXPECT_EQ(r["after-all"].outcome, "ok:true") << "no failed selection touched the signing certificate";
}

TEST_F(FileSelectionsTest, WrongPasswordIsDescribedInWords)
{
    auto r = Run("rec('wrong', function () { return plugin.SelectSignCertificateByPFXFile(DATA + 'signer.pfx', 'wrong'); });\n"
                 "rec('desc', function () { return JSON.stringify(plugin.GetLastErrorDesc()); });\n");
    EXPECT_EQ(r["wrong"].code, kWrongPassword);
    EXPECT_EQ(r["desc"].outcome, "ok:\"The specified network password is not correct.\\r\\n\\n(0x80070056)\"");
}

TEST_F(FileSelectionsTest, RecipientFromDerAndBase64CertificateFiles)
{
    std::string text = WriteFile("notes.txt", "Dear Bob, this is no certificate.\n");
    std::string empty = WriteFile("empty.cer", "");
    std::string js = WriteFile("recipient.js", ReadFixture("recipient.cer"));
    std::string pem = DataDir() + "recipient.pem";
    auto r = Run("rec('der', function () { return plugin.SelectEncryptCertificateByCERFile(DATA + 'recipient.cer'); });\n"
                 "rec('b64', function () { return plugin.SelectEncryptCertificateByCERFile(DATA + 'recipient.b64'); });\n"
                 "rec('chinese', function () { return plugin.SelectEncryptCertificateByCERFile(DATA + 'chinese.cer'); });\n"
                 "rec('comma', function () { return plugin.SelectEncryptCertificateByCERFile(DATA + 'comma.cer'); });\n"
                 "rec('text', function () { return plugin.SelectEncryptCertificateByCERFile(" + Js(text) + "); });\n"
                 "rec('empty', function () { return plugin.SelectEncryptCertificateByCERFile(" + Js(empty) + "); });\n"
                 "rec('empty-path', function () { return plugin.SelectEncryptCertificateByCERFile(''); });\n"
                 "rec('missing', function () { return plugin.SelectEncryptCertificateByCERFile(DATA + 'nope.cer'); });\n"
                 "rec('js', function () { return plugin.SelectEncryptCertificateByCERFile(" + Js(js) + "); });\n"
                 "rec('etc', function () { return plugin.SelectEncryptCertificateByCERFile('/etc/hostname'); });\n"
                 "rec('pem', function () { return plugin.SelectEncryptCertificateByCERFile(" + Js(pem) + "); });\n"
                 "rec('signer-untouched', function () { return plugin.SignMessage('x', 'SHA-1'); });\n");
    ASSERT_EQ(r.size(), 12u) << m_lastOut;
    EXPECT_EQ(r["der"].outcome, std::string("ok:") + kRecipient);
    EXPECT_EQ(r["b64"].outcome, std::string("ok:") + kRecipient);
    EXPECT_EQ(r["b64"].code, kOk);
    EXPECT_EQ(r["chinese"].outcome, "ok:CN=\xE5\xBC\xA0\xE4\xB8\x89, O=npKeystrand, C=CN");
    EXPECT_EQ(r["comma"].outcome, "ok:CN=Eve Comma, O=npKeystrand, Inc., C=KR") << "values are never quoted";
    // Every failure of this method also throws the fixed message.
    for (const char* label : {"text", "empty", "empty-path", "missing", "js", "etc"}) {
        SCOPED_TRACE(label);
        EXPECT_EQ(r[label].outcome, "threw:Selecte ERROR");
        EXPECT_NE(r[label].code, kOk);
    }
    EXPECT_EQ(r["empty"].code, kEmptyFile);
    EXPECT_EQ(r["empty-path"].code, kInvalidArg);
    EXPECT_EQ(r["missing"].code, kFileNotFound);
    EXPECT_EQ(r["js"].code, kMaliciousPath);
    if (fs::exists("/etc/hostname")) {
        EXPECT_EQ(r["etc"].code, kMaliciousPath);
    }
    // Armoured PEM is Base64 only between its armour lines; whatever the decoder makes of it,
    // the call either names Bob or fails cleanly.
    if (r["pem"].outcome.rfind("ok:", 0) == 0) {
        EXPECT_EQ(r["pem"].outcome, std::string("ok:") + kRecipient);
    } else {
        EXPECT_EQ(r["pem"].outcome, "threw:Selecte ERROR");
    }
    EXPECT_EQ(r["signer-untouched"].code, kNotReady) << "a recipient is not a signing certificate";
}

TEST_F(FileSelectionsTest, PfxWithTwoKeyBearingCertificatesSignsWithTheFirst)
{
    std::string pfx = MakePairPfx("npkeystrand");
    ASSERT_FALSE(pfx.empty());
    std::string path = WriteFile("pair.pfx", pfx);
    auto r = Run("rec('pick', function () { return plugin.SelectSignCertificateByPFXFile(" + Js(path) + ", 'npkeystrand'); });\n"
                 "var p = plugin.SignMessagePKCS1('first', 'SHA-256');\n"
                 "print('SIG|' + p.replace(/\\r?\\n/g, '') + '|');\n"
                 "rec('decrypt', function () { return plugin.SelectDecryptCertificateByPFXFile(" + Js(path) + ", 'npkeystrand'); });\n");
    EXPECT_EQ(r["pick"].outcome, std::string("ok:") + kSigner);
    EXPECT_EQ(r["decrypt"].outcome, std::string("ok:") + kSigner);

    // The signature checks with the signer's public key only.
    CCryptoAgent agent;
    BSTR out = nullptr;
    std::string cer = DataDir() + "signer.cer";
    std::basic_string<WCHAR> wcer(cer.begin(), cer.end());
    BSTR bcer = SysAllocString(wcer.c_str());
    ASSERT_EQ(agent.SelectSignCertificateWithoutPrivateKey(bcer, &out), S_OK);
    SysFreeString(bcer);
    SysFreeString(out);
    std::string sig = r["SIG"].outcome;
    std::basic_string<WCHAR> wsig(sig.begin(), sig.end());
    BSTR bsig = SysAllocString(wsig.c_str());
    BSTR bcontent = SysAllocString(TEXT("first"));
    BSTR bhash = SysAllocString(TEXT("SHA-256"));
    VARIANT_BOOL ok = VARIANT_FALSE;
    EXPECT_EQ(agent.VerifyMessageSignaturePKCS1(bsig, bcontent, bhash, &ok), S_OK) << std::hex << agent.LastError();
    EXPECT_EQ(ok, VARIANT_TRUE);
    SysFreeString(bsig);
    SysFreeString(bcontent);
    SysFreeString(bhash);
}

// --- SelectSignCertificateWithoutPrivateKey, on an agent in this process. ---

class WithoutPrivateKeyTest : public HostTest {
protected:
    static BSTR B(const std::string& s)
    {
        std::basic_string<WCHAR> w(s.begin(), s.end());
        return SysAllocStringLen(w.c_str(), static_cast<UINT>(w.size()));
    }
    static std::string Take(BSTR b)
    {
        EXPECT_NE(b, nullptr);
        std::string s;
        for (UINT i = 0; b != nullptr && i < SysStringLen(b); ++i) s += static_cast<char>(b[i] < 0x80 ? b[i] : '?');
        SysFreeString(b);
        return s;
    }
    HRESULT Select(const std::string& path, std::string& subject)
    {
        BSTR p = B(path);
        BSTR out = nullptr;
        HRESULT hr = m_agent.SelectSignCertificateWithoutPrivateKey(p, &out);
        SysFreeString(p);
        subject = Take(out);
        return hr;
    }
    // The Base64 PKCS#1 signature a page makes with signer.pfx.
    std::string PageSignature(const std::string& text, const std::string& hash)
    {
        HostResult r = Page("plugin.SelectSignCertificateByPFXFile(" + Js(DataDir() + "signer.pfx") + ", 'npkeystrand');\n"
                            "print(plugin.SignMessagePKCS1(" + Js(text) + ", " + Js(hash) + ").replace(/\\r?\\n/g, ''));\n");
        EXPECT_EQ(r.status, 0) << r.err;
        return Lines(r.out).empty() ? std::string() : Lines(r.out)[0];
    }
    bool Verify(const std::string& sig, const std::string& text, const std::string& hash)
    {
        BSTR s = B(sig), t = B(text), h = B(hash);
        VARIANT_BOOL ok = VARIANT_FALSE;
        m_agent.VerifyMessageSignaturePKCS1(s, t, h, &ok);
        SysFreeString(s);
        SysFreeString(t);
        SysFreeString(h);
        return ok == VARIANT_TRUE;
    }
    CCryptoAgent m_agent;
};

TEST_F(WithoutPrivateKeyTest, VerifiesPkcsOneButCannotSign)
{
    std::string subject;
    ASSERT_EQ(Select(DataDir() + "signer.cer", subject), S_OK) << std::hex << m_agent.LastError();
    EXPECT_EQ(subject, kSigner);

    std::string sig = PageSignature("verify me", "SHA-1");
    ASSERT_FALSE(sig.empty());
    EXPECT_TRUE(Verify(sig, "verify me", "SHA-1"));
    EXPECT_EQ(m_agent.LastError(), S_OK);
    EXPECT_FALSE(Verify(sig, "verify me!", "SHA-1"));
    EXPECT_LT(m_agent.LastError(), 0);

    BSTR msg = B("sign me");
    BSTR hash = B("SHA-1");
    BSTR out = nullptr;
    EXPECT_LT(m_agent.SignMessagePKCS1(msg, hash, &out), 0) << "no private key was looked for";
    EXPECT_EQ(Take(out), "");
    out = nullptr;
    EXPECT_LT(m_agent.SignMessage(msg, hash, &out), 0);
    EXPECT_EQ(Take(out), "");
    SysFreeString(msg);
    SysFreeString(hash);
    out = nullptr;
    EXPECT_EQ(m_agent.GetCSPNameofSignCert(&out), static_cast<HRESULT>(CRYPT_E_NO_KEY_PROPERTY));
    EXPECT_EQ(Take(out), "");
}

TEST_F(WithoutPrivateKeyTest, Base64FileAndFailures)
{
    std::string subject;
    EXPECT_EQ(Select(DataDir() + "recipient.b64", subject), S_OK);
    EXPECT_EQ(subject, kRecipient);
    // A recipient's certificate cannot check the signer's signature.
    std::string sig = PageSignature("whose?", "SHA-256");
    EXPECT_FALSE(Verify(sig, "whose?", "SHA-256"));

    ASSERT_EQ(Select(DataDir() + "signer.cer", subject), S_OK);
    std::string notes = WriteFile("notes.txt", "no certificate here");
    EXPECT_LT(Select(notes, subject), 0);
    EXPECT_EQ(subject, "");
    EXPECT_EQ(Select(WriteFile("empty.cer", ""), subject), NPK_E_EMPTY_FILE);
    EXPECT_EQ(Select(WriteFile("cert.bat", ReadFixture("signer.cer")), subject), NPK_E_MALICIOUS_PATH);
    // No argument test of its own: an empty path fails in the path checks.
    EXPECT_LT(Select("", subject), 0);
    EXPECT_EQ(subject, "");
    // The earlier choice survives every failure.
    EXPECT_TRUE(Verify(sig, "whose?", "SHA-256"));
}

}  // namespace
}  // namespace npk::test
