#include "pkcs11/Pkcs11Tokens.h"

#include "pkcs11/TokenErrors.h"

#include <algorithm>

namespace npk::pkcs11 {

namespace {

Token TokenOf(CK_SLOT_ID slot, const CK_TOKEN_INFO& info)
{
    Token t;
    t.Slot = slot;
    t.Label = TrimmedField(info.label, sizeof info.label);
    t.Serial = TrimmedField(info.serialNumber, sizeof info.serialNumber);
    t.Manufacturer = TrimmedField(info.manufacturerID, sizeof info.manufacturerID);
    t.Flags = info.flags;
    return t;
}

int HexValue(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

}  // namespace

std::vector<Token> PresentTokens(CK_FUNCTION_LIST* p11, DWORD* error)
{
    std::vector<Token> tokens;
    CK_ULONG count = 0;
    CK_RV rv = p11->C_GetSlotList(CK_TRUE, nullptr, &count);
    std::vector<CK_SLOT_ID> slots;
    // The list can grow between the two calls when a token arrives.
    while (rv == CKR_OK) {
        slots.resize(count);
        rv = p11->C_GetSlotList(CK_TRUE, count == 0 ? nullptr : slots.data(), &count);
        if (rv == CKR_BUFFER_TOO_SMALL) continue;
        if (rv == CKR_OK) slots.resize(count);
        break;
    }
    if (rv != CKR_OK) {
        if (error != nullptr) *error = ErrorOf(rv);
        return tokens;
    }
    for (CK_SLOT_ID slot : slots) {
        CK_TOKEN_INFO info{};
        if (p11->C_GetTokenInfo(slot, &info) != CKR_OK) continue;
        if ((info.flags & CKF_TOKEN_INITIALIZED) == 0) continue;
        tokens.push_back(TokenOf(slot, info));
    }
    return tokens;
}

bool ReadToken(CK_FUNCTION_LIST* p11, CK_SLOT_ID slot, Token* out)
{
    CK_TOKEN_INFO info{};
    if (p11->C_GetTokenInfo(slot, &info) != CKR_OK) return false;
    *out = TokenOf(slot, info);
    return true;
}

Session::Session(CK_FUNCTION_LIST* p11, CK_SLOT_ID slot) : m_p11(p11)
{
    m_rv = p11->C_OpenSession(slot, CKF_SERIAL_SESSION, nullptr, nullptr, &m_session);
}

Session::~Session()
{
    if (m_rv == CKR_OK) m_p11->C_CloseSession(m_session);
}

std::vector<CK_OBJECT_HANDLE> FindObjects(CK_FUNCTION_LIST* p11, CK_SESSION_HANDLE session,
                                          CK_OBJECT_CLASS objectClass, const Bytes* id)
{
    std::vector<CK_OBJECT_HANDLE> found;
    CK_ATTRIBUTE query[2] = {{CKA_CLASS, &objectClass, sizeof objectClass}, {CKA_ID, nullptr, 0}};
    CK_ULONG count = 1;
    if (id != nullptr) {
        query[1].pValue = const_cast<BYTE*>(id->data());
        query[1].ulValueLen = id->size();
        count = 2;
    }
    if (p11->C_FindObjectsInit(session, query, count) != CKR_OK) return found;
    for (;;) {
        CK_OBJECT_HANDLE batch[32];
        CK_ULONG n = 0;
        if (p11->C_FindObjects(session, batch, 32, &n) != CKR_OK || n == 0) break;
        found.insert(found.end(), batch, batch + n);
    }
    p11->C_FindObjectsFinal(session);
    return found;
}

bool ReadAttribute(CK_FUNCTION_LIST* p11, CK_SESSION_HANDLE session, CK_OBJECT_HANDLE object,
                   CK_ATTRIBUTE_TYPE type, Bytes* out)
{
    CK_ATTRIBUTE attribute{type, nullptr, 0};
    if (p11->C_GetAttributeValue(session, object, &attribute, 1) != CKR_OK) return false;
    if (attribute.ulValueLen == CK_UNAVAILABLE_INFORMATION) return false;
    out->assign(attribute.ulValueLen, 0);
    if (attribute.ulValueLen == 0) return true;
    attribute.pValue = out->data();
    return p11->C_GetAttributeValue(session, object, &attribute, 1) == CKR_OK;
}

std::vector<TokenCertificate> CertificatesWithKeys()
{
    std::vector<TokenCertificate> result;
    DWORD error = 0;
    CK_FUNCTION_LIST* p11 = Module(&error);
    if (p11 == nullptr) return result;
    for (const Token& token : PresentTokens(p11, &error)) {
        Session session(p11, token.Slot);
        if (session.Result() != CKR_OK) continue;
        for (CK_OBJECT_HANDLE cert : FindObjects(p11, session.Handle(), CKO_CERTIFICATE, nullptr)) {
            Bytes type, id, value;
            if (!ReadAttribute(p11, session.Handle(), cert, CKA_CERTIFICATE_TYPE, &type) ||
                type.size() != sizeof(CK_CERTIFICATE_TYPE) ||
                *reinterpret_cast<const CK_CERTIFICATE_TYPE*>(type.data()) != CKC_X_509)
                continue;
            if (!ReadAttribute(p11, session.Handle(), cert, CKA_ID, &id) || id.empty()) continue;
            if (!ReadAttribute(p11, session.Handle(), cert, CKA_VALUE, &value) || value.empty()) continue;
            // Keys are found by CKA_ID. Private keys are usually hidden until a login, so a
            // public key of the same identifier vouches for the pair as well.
            if (FindObjects(p11, session.Handle(), CKO_PRIVATE_KEY, &id).empty() &&
                FindObjects(p11, session.Handle(), CKO_PUBLIC_KEY, &id).empty())
                continue;
            result.push_back(TokenCertificate{token, std::move(id), std::move(value)});
        }
    }
    return result;
}

std::string ContainerName(const std::string& tokenLabel, const Bytes& id)
{
    static const char digits[] = "0123456789abcdef";
    std::string name = "\\\\.\\" + tokenLabel + "\\";
    for (BYTE b : id) {
        name += digits[b >> 4];
        name += digits[b & 0x0F];
    }
    return name;
}

bool ParseContainerName(const std::string& name, std::string* tokenLabel, Bytes* id)
{
    const std::string prefix = "\\\\.\\";
    if (name.compare(0, prefix.size(), prefix) != 0) return false;
    size_t last = name.rfind('\\');
    if (last < prefix.size()) return false;
    std::string hex = name.substr(last + 1);
    if (hex.empty() || hex.size() % 2 != 0) return false;
    Bytes bytes;
    for (size_t i = 0; i < hex.size(); i += 2) {
        int hi = HexValue(hex[i]), lo = HexValue(hex[i + 1]);
        if (hi < 0 || lo < 0) return false;
        bytes.push_back(static_cast<BYTE>(hi * 16 + lo));
    }
    *tokenLabel = name.substr(prefix.size(), last - prefix.size());
    *id = std::move(bytes);
    return true;
}

}  // namespace npk::pkcs11
