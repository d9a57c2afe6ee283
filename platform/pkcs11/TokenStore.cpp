#include "pkcs11/TokenStore.h"

#include "crypt32/CertObjects.h"
#include "pkcs11/Pkcs11Tokens.h"
#include "pkcs11/TokenProvider.h"

#include <wincrypt.h>

namespace npk::pkcs11 {

void AddTokenCertificates(npk::crypt32::CertStoreObject& store, Thumbprints& tokenItems)
{
    struct Added {
        PCCERT_CONTEXT Context;
        std::basic_string<WCHAR> Container;
    };
    std::vector<Added> added;
    for (const TokenCertificate& cert : CertificatesWithKeys()) {
        DWORD error = 0;
        auto data = npk::crypt32::DecodeCertificate(cert.Encoded.data(), static_cast<DWORD>(cert.Encoded.size()), &error);
        if (!data) continue;
        std::string name = ContainerName(cert.Owner.Label, cert.Id);
        int wide = MultiByteToWideChar(CP_UTF8, 0, name.c_str(), -1, nullptr, 0);
        if (wide <= 0) continue;
        std::basic_string<WCHAR> container(static_cast<size_t>(wide), 0);
        MultiByteToWideChar(CP_UTF8, 0, name.c_str(), -1, container.data(), wide);
        container.resize(static_cast<size_t>(wide - 1));

        std::lock_guard<std::mutex> guard(store.Lock());
        if (store.FindEncodedLocked(data->encoded) != nullptr) continue;
        auto sha1 = data->sha1;
        npk::crypt32::CertContextObject* context =
            store.InsertLocked(std::move(data), X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, {});
        if (context == nullptr) continue;
        tokenItems.insert(sha1);
        added.push_back(Added{context->Handle(), std::move(container)});
    }
    for (Added& a : added) {
        std::basic_string<WCHAR> provider = MS_SCARD_PROV_W;
        CRYPT_KEY_PROV_INFO info{};
        info.pwszContainerName = a.Container.data();
        info.pwszProvName = provider.data();
        info.dwProvType = PROV_RSA_FULL;
        info.dwKeySpec = AT_KEYEXCHANGE;
        // In memory only: the link lives as long as the token is there, and a read-only open
        // of the store gets it too.
        CertSetCertificateContextProperty(a.Context, CERT_KEY_PROV_INFO_PROP_ID, CERT_SET_PROPERTY_INHIBIT_PERSIST_FLAG, &info);
    }
}

}  // namespace npk::pkcs11
