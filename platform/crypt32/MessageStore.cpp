// The message store (CERT_STORE_PROV_MSG): a memory store filled with copies of the
// certificates a message carries, so that it stays usable after CryptMsgClose.
#include "crypt32/MessageObjects.h"

namespace npk::crypt32 {

HCERTSTORE OpenCertificateStore(const std::vector<Bytes>& certificates, DWORD* error)
{
    HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr);
    if (store == nullptr) {
        *error = GetLastError();
        return nullptr;
    }
    for (const Bytes& cert : certificates) {
        if (!CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, cert.data(),
                                              static_cast<DWORD>(cert.size()), CERT_STORE_ADD_ALWAYS, nullptr)) {
            // A message whose certificates cannot be read cannot be trusted to name its signer.
            *error = GetLastError();
            CertCloseStore(store, 0);
            return nullptr;
        }
    }
    return store;
}

HCERTSTORE OpenMessageStore(HCRYPTMSG hMsg, DWORD* error)
{
    MessageObject* msg = MessageObject::FromHandle(hMsg);
    if (msg == nullptr) {
        *error = static_cast<DWORD>(E_INVALIDARG);
        return nullptr;
    }
    std::vector<Bytes> certificates;
    if (!msg->Certificates(&certificates, error)) return nullptr;
    return OpenCertificateStore(certificates, error);
}

}  // namespace npk::crypt32
