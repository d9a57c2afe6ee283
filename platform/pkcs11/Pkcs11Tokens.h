// Slots, tokens and their objects: what the provider and the "MY" store read from a module
// without logging in.
#pragma once

#include "pkcs11/Pkcs11Module.h"

#include <string>
#include <vector>

namespace npk::pkcs11 {

using Bytes = std::vector<BYTE>;

struct Token {
    CK_SLOT_ID Slot = 0;
    std::string Label;
    std::string Serial;
    std::string Manufacturer;
    CK_FLAGS Flags = 0;
};

// The tokens present now, in slot order; empty with *error set when the module cannot be used.
std::vector<Token> PresentTokens(CK_FUNCTION_LIST* p11, DWORD* error);
// The token's current state (flags change as PINs are tried); false when it is gone.
bool ReadToken(CK_FUNCTION_LIST* p11, CK_SLOT_ID slot, Token* out);

// A read-only session closed when it goes out of scope.
class Session {
public:
    Session(CK_FUNCTION_LIST* p11, CK_SLOT_ID slot);
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;
    CK_RV Result() const { return m_rv; }
    CK_SESSION_HANDLE Handle() const { return m_session; }

private:
    CK_FUNCTION_LIST* m_p11;
    CK_SESSION_HANDLE m_session = CK_INVALID_HANDLE;
    CK_RV m_rv;
};

// Objects of a class, with the given CKA_ID when id is not null.
std::vector<CK_OBJECT_HANDLE> FindObjects(CK_FUNCTION_LIST* p11, CK_SESSION_HANDLE session,
                                          CK_OBJECT_CLASS objectClass, const Bytes* id);
// One attribute's value; false when the object has none or it is not readable.
bool ReadAttribute(CK_FUNCTION_LIST* p11, CK_SESSION_HANDLE session, CK_OBJECT_HANDLE object,
                   CK_ATTRIBUTE_TYPE type, Bytes* out);

// A certificate on a token whose key pair is on the same token (same CKA_ID).
struct TokenCertificate {
    Token Owner;
    Bytes Id;
    Bytes Encoded;  // DER
};

// Every such certificate of every present token; a token or module that cannot be read
// contributes nothing.
std::vector<TokenCertificate> CertificatesWithKeys();

// The container name that ties a certificate to its token key: "\\.\<token label>\<CKA_ID hex>",
// the fully qualified form Windows' smart-card providers use ("\\.\<reader>\<container>").
std::string ContainerName(const std::string& tokenLabel, const Bytes& id);
// Splits such a name; false when it is not one.
bool ParseContainerName(const std::string& name, std::string* tokenLabel, Bytes* id);

}  // namespace npk::pkcs11
