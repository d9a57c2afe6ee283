// Subject and issuer filters are page text: whatever it holds, the parser must give "#"-
// separated tokens of at most 255 characters that join back into the text (up to the cut),
// and matching them against real certificates must answer yes or no without reading past a
// name. Seeds: filter texts as pages write them, in several scripts.
#include <string>
#include <vector>

#include <windows.h>
#include <wincrypt.h>

#include "FuzzSupport.h"
#include "kernel/CertificateFilters.h"
#include "kernel/Encoding.h"

namespace {

constexpr DWORD kEnc = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

// Kept for the life of the process (never destroyed, so never reported as a leak).
const std::vector<PCCERT_CONTEXT>& Certificates()
{
    static const std::vector<PCCERT_CONTEXT>* certs = [] {
        auto* out = new std::vector<PCCERT_CONTEXT>;
        for (const char* name : {"signer.cer", "chinese.cer", "comma.cer"}) {
            std::vector<unsigned char> der = fuzz::Fixture(name);
            PCCERT_CONTEXT c = CertCreateCertificateContext(kEnc, der.data(), static_cast<DWORD>(der.size()));
            fuzz::Check(c != nullptr);
            out->push_back(c);
        }
        return out;
    }();
    return *certs;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size > 1 << 14) return 0;
    std::string text(reinterpret_cast<const char*>(data), size);
    text.resize(std::char_traits<char>::length(text.c_str()));  // a script string ends at U+0000
    LPWSTR wide = nullptr;
    UINT cch = 0;
    if (FAILED(UTF8ToUTF16(text.c_str(), &wide, &cch))) {
        delete[] wide;
        return 0;
    }
    FilterTokenList tokens;
    ParseFilters(wide, tokens);
    // The same split done plainly: every "#" ends a token, each cut to 255 characters.
    FilterTokenList expected(1);
    for (UINT i = 0; i < cch; ++i) {
        if (wide[i] == '#')
            expected.emplace_back();
        else if (expected.back().size() < NPK_FILTER_TOKEN_CHARS)
            expected.back().push_back(wide[i]);
    }
    fuzz::Check(tokens == expected);
    for (PCCERT_CONTEXT cert : Certificates()) {
        HRESULT subject = CheckCertSubjectName(cert, 0, tokens);
        HRESULT issuer = CheckCertIssuer(cert, tokens);
        fuzz::Check(subject == S_OK || subject == E_FAIL);
        fuzz::Check(issuer == S_OK || issuer == E_FAIL);
    }
    delete[] wide;
    return 0;
}
