// File envelopes as a page makes them: the four encryption methods and the two decryption
// methods through the host, with the recipient from a certificate file and the key from a PFX
// file; sizes around the 4 MiB chunk, refusals and the codes GetLastErrorDesc reports.
#include "PageSupport.h"

#include <cstdio>
#include <iterator>

namespace npk::test {
namespace {

namespace fs = std::filesystem;

constexpr const char kOk[] = "0x00000000";
constexpr const char kNotReady[] = "0xa0072001";
constexpr const char kInvalidArg[] = "0x80070057";
constexpr const char kEmptyFile[] = "0xa0071007";
constexpr const char kAlreadyExists[] = "0x800700b7";
constexpr const char kFileNotFound[] = "0x80070002";
constexpr const char kNoSubjectKeyId[] = "0xa0071021";
constexpr const char kNoDecryptCert[] = "0x8009200c";
constexpr const char kMaliciousPath[] = "0xa0071006";

constexpr size_t kChunk = 0x400000;

struct Record {
    std::string outcome;
    std::string code;
    bool ok() const { return outcome == "ok:true"; }
};

std::string ReadAll(const fs::path& p)
{
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

const char* const kEncryptMethods[] = {"EncryptAsEnvelopeFile", "EncryptAsEnvelopeFilePKCS7",
                                       "EncryptAsEnvelopeFile_3DES", "EncryptAsEnvelopeFilePKCS7_3DES"};
const char* const kDecryptMethods[] = {"DecryptEnvelopeFile", "DecryptEnvelopeFilePKCS7"};

class FileEnvelopePagesTest : public HostTest {
protected:
    std::string Helpers() const
    {
        return "var DATA = " + Js(DataDir()) + ";\n"
               "function rec(label, f) { var r = attempt(f);"
               " print(label + '|' + String(r).replace(/\\n/g, ' ') + '|' + code(plugin)); return r; }\n"
               "function recipient(name) { return plugin.SelectEncryptCertificateByCERFile(DATA + (name || 'recipient.cer')); }\n"
               "function key(name) { return plugin.SelectDecryptCertificateByPFXFile(DATA + (name || 'recipient.pfx'), 'npkeystrand'); }\n";
    }

    std::map<std::string, Record> Run(const std::string& script)
    {
        HostResult r = Page(Helpers() + script);
        EXPECT_EQ(r.status, 0) << r.err;
        m_lastOut = r.out + r.err;
        return ParseRecords<Record>(r.out);
    }

    std::string Bytes(const std::string& name, size_t size)
    {
        std::string data(size, '\0');
        uint32_t x = 0x9E3779B9u;
        for (size_t i = 0; i < size; ++i) {
            x = x * 1664525u + 1013904223u;
            data[i] = static_cast<char>(x >> 24);
        }
        return WriteFile(name, data);
    }

    std::string Out(const std::string& name) const { return (Dir() / name).string(); }

    std::string m_lastOut;
};

// Every encryption method, decrypted by both decryption methods, at the sizes around a chunk.
TEST_F(FileEnvelopePagesTest, EveryMethodRoundTripsAcrossTheChunkBoundary)
{
    const size_t sizes[] = {1, kChunk, kChunk + 1};
    std::string script = "rec('recipient', recipient); rec('key', key);\n";
    for (size_t size : sizes) {
        const std::string src = Bytes("plain-" + std::to_string(size), size);
        for (const char* enc : kEncryptMethods) {
            const std::string tag = std::string(enc) + "-" + std::to_string(size);
            script += "rec('" + tag + "', function () { return plugin." + enc + "(" + Js(src) + ", " +
                      Js(Out(tag + ".p7m")) + "); });\n";
            for (const char* dec : kDecryptMethods) {
                script += "rec('" + tag + ":" + dec + "', function () { return plugin." + dec + "(" +
                          Js(Out(tag + ".p7m")) + ", " + Js(Out(tag + "." + dec)) + "); });\n";
            }
        }
    }
    auto r = Run(script);
    ASSERT_EQ(r["recipient"].code, kOk) << m_lastOut;
    ASSERT_EQ(r["key"].code, kOk) << m_lastOut;
    for (size_t size : sizes) {
        const std::string original = ReadAll(Dir() / ("plain-" + std::to_string(size)));
        ASSERT_EQ(original.size(), size);
        for (const char* enc : kEncryptMethods) {
            const std::string tag = std::string(enc) + "-" + std::to_string(size);
            SCOPED_TRACE(tag);
            EXPECT_TRUE(r[tag].ok()) << r[tag].outcome << " " << r[tag].code;
            EXPECT_EQ(r[tag].code, kOk);
            EXPECT_GT(fs::file_size(Out(tag + ".p7m")), size);
            for (const char* dec : kDecryptMethods) {
                EXPECT_TRUE(r[tag + ":" + dec].ok()) << dec << ": " << r[tag + ":" + dec].outcome;
                EXPECT_EQ(r[tag + ":" + dec].code, kOk);
                EXPECT_TRUE(ReadAll(Out(tag + "." + dec)) == original) << dec;
            }
        }
    }
}

// A file of 1 GiB goes through in chunks: one page encrypts it, another decrypts it. The
// plaintext is sparse (zeros), so only the envelope and the result take disk space.
TEST_F(FileEnvelopePagesTest, OneGibibyteFileRoundTrips)
{
    const uintmax_t size = uintmax_t(1) << 30;
    if (fs::space(Dir()).available < 3 * size) GTEST_SKIP() << "less than 3 GiB free under " << Dir();
    const fs::path plain = Dir() / "large.bin";
    { std::ofstream(plain, std::ios::binary); }
    fs::resize_file(plain, size);

    auto enc = Run("rec('recipient', recipient);\n"
                   "rec('encrypt', function () { return plugin.EncryptAsEnvelopeFile(" + Js(plain.string()) + ", " +
                   Js(Out("large.p7m")) + "); });\n");
    ASSERT_TRUE(enc["encrypt"].ok()) << enc["encrypt"].outcome << " " << enc["encrypt"].code << m_lastOut;
    EXPECT_GT(fs::file_size(Out("large.p7m")), size);
    fs::remove(plain);

    auto dec = Run("rec('key', key);\n"
                   "rec('decrypt', function () { return plugin.DecryptEnvelopeFile(" + Js(Out("large.p7m")) + ", " +
                   Js(Out("large.out")) + "); });\n");
    ASSERT_TRUE(dec["decrypt"].ok()) << dec["decrypt"].outcome << " " << dec["decrypt"].code << m_lastOut;
    fs::remove(Out("large.p7m"));
    ASSERT_EQ(fs::file_size(Out("large.out")), size);
    std::ifstream in(Out("large.out"), std::ios::binary);
    std::vector<char> block(1 << 20);
    bool zeros = true;
    while (zeros && in.read(block.data(), static_cast<std::streamsize>(block.size()))) {
        for (char c : block) zeros = zeros && c == 0;
    }
    EXPECT_TRUE(zeros) << "the decrypted file differs from the plaintext";
    fs::remove(Out("large.out"));
}

TEST_F(FileEnvelopePagesTest, RecipientWithoutKeyIdentifierOnlyForPkcs7Methods)
{
    const std::string src = Bytes("plain", 4096);
    std::string script = "rec('recipient', function () { return recipient('nokeyid.cer'); });\n"
                         "rec('key', function () { return key('nokeyid.pfx'); });\n";
    for (const char* enc : kEncryptMethods) {
        script += std::string("rec('") + enc + "', function () { return plugin." + enc + "(" + Js(src) + ", " +
                  Js(Out(std::string(enc) + ".p7m")) + "); });\n" + "rec('" + enc +
                  ":dec', function () { return plugin.DecryptEnvelopeFile(" + Js(Out(std::string(enc) + ".p7m")) +
                  ", " + Js(Out(std::string(enc) + ".out")) + "); });\n";
    }
    auto r = Run(script);
    ASSERT_EQ(r["recipient"].code, kOk) << m_lastOut;
    for (const char* enc : {"EncryptAsEnvelopeFile", "EncryptAsEnvelopeFile_3DES"}) {
        SCOPED_TRACE(enc);
        EXPECT_FALSE(r[enc].ok());
        EXPECT_EQ(r[enc].code, kNoSubjectKeyId);
        EXPECT_FALSE(fs::exists(Out(std::string(enc) + ".p7m"))) << "refused before the file is made";
    }
    for (const char* enc : {"EncryptAsEnvelopeFilePKCS7", "EncryptAsEnvelopeFilePKCS7_3DES"}) {
        SCOPED_TRACE(enc);
        EXPECT_TRUE(r[enc].ok()) << r[enc].outcome;
        EXPECT_TRUE(r[std::string(enc) + ":dec"].ok()) << r[std::string(enc) + ":dec"].outcome;
        EXPECT_EQ(ReadAll(Out(std::string(enc) + ".out")), ReadAll(src));
    }
}

TEST_F(FileEnvelopePagesTest, NothingChosenIsReportedAfterTheArgumentTests)
{
    const std::string src = Bytes("plain", 10);
    auto r = Run("rec('enc', function () { return plugin.EncryptAsEnvelopeFile(" + Js(src) + ", " + Js(Out("e1")) + "); });\n"
                 "rec('enc-empty', function () { return plugin.EncryptAsEnvelopeFile_3DES('', " + Js(Out("e2")) + "); });\n"
                 "rec('dec', function () { return plugin.DecryptEnvelopeFile(" + Js(src) + ", " + Js(Out("d1")) + "); });\n"
                 "rec('dec-empty-dest', function () { return plugin.DecryptEnvelopeFilePKCS7(" + Js(src) + ", ''); });\n"
                 "rec('dec-empty-src', function () { return plugin.DecryptEnvelopeFile('', " + Js(Out("d2")) + "); });\n");
    ASSERT_EQ(r.size(), 5u) << m_lastOut;
    EXPECT_EQ(r["enc"].code, kNotReady);
    EXPECT_EQ(r["enc-empty"].code, kInvalidArg);
    EXPECT_EQ(r["dec"].code, kNotReady);
    EXPECT_EQ(r["dec-empty-dest"].code, kInvalidArg);
    // The empty envelope path reaches the existence test, which reports the system's error.
    EXPECT_NE(r["dec-empty-src"].code, kOk);
    EXPECT_NE(r["dec-empty-src"].code, kInvalidArg);
    for (const auto& [label, rec] : r) {
        EXPECT_EQ(rec.outcome.rfind("threw:", 0), 0u) << label << ": a failed flag method throws";
    }
    for (const char* f : {"e1", "e2", "d1", "d2"}) EXPECT_FALSE(fs::exists(Out(f))) << f;
}

TEST_F(FileEnvelopePagesTest, PathsAreCheckedBeforeAnyFileIsMade)
{
    const std::string src = Bytes("plain", 100);
    const std::string empty = WriteFile("empty", "");
    const std::string precious = WriteFile("precious.bin", "keep these bytes\n");
    auto r = Run("recipient(); key();\n"
                 "rec('enc-empty', function () { return plugin.EncryptAsEnvelopeFilePKCS7(" + Js(empty) + ", " + Js(Out("x1")) + "); });\n"
                 "rec('enc-missing', function () { return plugin.EncryptAsEnvelopeFile(" + Js(Out("nope")) + ", " + Js(Out("x2")) + "); });\n"
                 "rec('enc-exists', function () { return plugin.EncryptAsEnvelopeFile_3DES(" + Js(src) + ", " + Js(precious) + "); });\n"
                 "rec('enc-exe', function () { return plugin.EncryptAsEnvelopeFilePKCS7_3DES(" + Js(src) + ", " + Js(Out("x3.exe")) + "); });\n"
                 "plugin.EncryptAsEnvelopeFile(" + Js(src) + ", " + Js(Out("good.p7m")) + ");\n"
                 "rec('dec-exists', function () { return plugin.DecryptEnvelopeFile(" + Js(Out("good.p7m")) + ", " + Js(precious) + "); });\n"
                 "rec('dec-empty', function () { return plugin.DecryptEnvelopeFilePKCS7(" + Js(empty) + ", " + Js(Out("x4")) + "); });\n"
                 "rec('dec-js', function () { return plugin.DecryptEnvelopeFile(" + Js(Out("good.p7m")) + ", " + Js(Out("x5.Js")) + "); });\n");
    ASSERT_EQ(r.size(), 7u) << m_lastOut;
    EXPECT_EQ(r["enc-empty"].code, kEmptyFile);
    EXPECT_EQ(r["enc-missing"].code, kFileNotFound);
    EXPECT_EQ(r["enc-exists"].code, kAlreadyExists);
    EXPECT_EQ(r["enc-exe"].code, kMaliciousPath);
    EXPECT_EQ(r["dec-exists"].code, kAlreadyExists);
    EXPECT_EQ(r["dec-empty"].code, kEmptyFile);
    EXPECT_EQ(r["dec-js"].code, kMaliciousPath);
    EXPECT_EQ(ReadAll(precious), "keep these bytes\n") << "an existing file is never touched";
    for (const char* f : {"x1", "x2", "x3.exe", "x4", "x5.Js"}) EXPECT_FALSE(fs::exists(Out(f))) << f;
}

TEST_F(FileEnvelopePagesTest, FailedDecryptionLeavesNoFileAndSaysWhy)
{
    const std::string src = Bytes("plain", kChunk + 12345);
    auto r = Run("recipient(); key('signer.pfx');\n"
                 "rec('enc', function () { return plugin.EncryptAsEnvelopeFilePKCS7_3DES(" + Js(src) + ", " + Js(Out("env.p7m")) + "); });\n"
                 "rec('wrong-key', function () { return plugin.DecryptEnvelopeFile(" + Js(Out("env.p7m")) + ", " + Js(Out("out1")) + "); });\n"
                 "rec('not-envelope', function () { return plugin.DecryptEnvelopeFile(" + Js(src) + ", " + Js(Out("out2")) + "); });\n"
                 "rec('desc', function () { return plugin.GetLastErrorDesc(); });\n");
    ASSERT_TRUE(r["enc"].ok()) << m_lastOut;
    EXPECT_EQ(r["wrong-key"].code, kNoDecryptCert);
    EXPECT_FALSE(fs::exists(Out("out1")));
    EXPECT_FALSE(r["not-envelope"].ok());
    EXPECT_NE(r["not-envelope"].code, kOk);
    EXPECT_FALSE(fs::exists(Out("out2")));

    // A cut envelope fails once its end is missing, and what was decrypted before is removed.
    std::string envelope = ReadAll(Out("env.p7m"));
    WriteFile("cut.p7m", envelope.substr(0, envelope.size() - 100));
    auto r2 = Run("key();\n"
                  "rec('cut', function () { return plugin.DecryptEnvelopeFilePKCS7(" + Js(Out("cut.p7m")) + ", " + Js(Out("out3")) + "); });\n"
                  "rec('whole', function () { return plugin.DecryptEnvelopeFilePKCS7(" + Js(Out("env.p7m")) + ", " + Js(Out("out4")) + "); });\n");
    EXPECT_FALSE(r2["cut"].ok()) << m_lastOut;
    EXPECT_NE(r2["cut"].code, kOk);
    EXPECT_FALSE(fs::exists(Out("out3")));
    EXPECT_TRUE(r2["whole"].ok()) << m_lastOut;
    EXPECT_EQ(ReadAll(Out("out4")), ReadAll(src));
}

}  // namespace
}  // namespace npk::test
