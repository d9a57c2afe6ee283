#include "pkcs11/TokenLogin.h"

#include "pkcs11/PinDialog.h"
#include "pkcs11/TokenErrors.h"

#include <cstdlib>

#include <openssl/crypto.h>

namespace npk::pkcs11 {

namespace {

// Wipes the PIN however the operation ends.
class PinText {
public:
    ~PinText() { Wipe(); }
    std::string& Text() { return m_text; }
    void Wipe()
    {
        if (!m_text.empty()) OPENSSL_cleanse(m_text.data(), m_text.size());
        m_text.clear();
    }

private:
    std::string m_text;
};

// The key's token: where it was, else one of that serial, else one of that label (a card of
// the same name put in since: the key's public half decides whether it is the same key).
bool FindToken(CK_FUNCTION_LIST* p11, const TokenKeyRef& key, Token* out)
{
    if (key.HaveSlot && ReadToken(p11, key.Slot, out) && out->Label == key.Label && out->Serial == key.Serial)
        return true;
    DWORD error = 0;
    std::vector<Token> tokens = PresentTokens(p11, &error);
    for (bool sameSerial : {true, false}) {
        for (const Token& t : tokens) {
            if (t.Label != key.Label || (sameSerial && t.Serial != key.Serial)) continue;
            *out = t;
            return true;
        }
    }
    return false;
}

// The private key of that CKA_ID whose modulus is the expected one (an unreadable modulus
// counts as a match), or CK_INVALID_HANDLE.
CK_OBJECT_HANDLE MatchingKey(CK_FUNCTION_LIST* p11, CK_SESSION_HANDLE session, const TokenKeyRef& key)
{
    for (CK_OBJECT_HANDLE candidate : FindObjects(p11, session, CKO_PRIVATE_KEY, &key.Id)) {
        Bytes modulus;
        if (!ReadAttribute(p11, session, candidate, CKA_MODULUS, &modulus) || key.Modulus.empty()) return candidate;
        size_t skip = 0;
        while (skip < modulus.size() && modulus[skip] == 0) ++skip;
        if (Bytes(modulus.begin() + static_cast<long>(skip), modulus.end()) == key.Modulus) return candidate;
    }
    return CK_INVALID_HANDLE;
}

DWORD AskPin(const Token& token, std::string* pin)
{
    const char* testPin = std::getenv(kTestPinVariable);
    if (testPin != nullptr && token.Manufacturer == "SoftHSM project") {
        pin->assign(testPin);
        return 0;
    }
    PinTries tries = PinTries::Unknown;
    if ((token.Flags & CKF_USER_PIN_FINAL_TRY) != 0)
        tries = PinTries::Final;
    else if ((token.Flags & CKF_USER_PIN_COUNT_LOW) != 0)
        tries = PinTries::Low;
    return static_cast<DWORD>(AskTokenPin(token.Label, tries, pin));
}

}  // namespace

DWORD RunWithTokenKey(const TokenKeyRef& key, const KeyOperation& operation)
{
    DWORD error = 0;
    CK_FUNCTION_LIST* p11 = Module(&error);
    if (p11 == nullptr) return error;
    Token token;
    if (!FindToken(p11, key, &token)) return static_cast<DWORD>(SCARD_W_REMOVED_CARD);
    if ((token.Flags & CKF_USER_PIN_LOCKED) != 0) return static_cast<DWORD>(SCARD_W_CHV_BLOCKED);

    Session session(p11, token.Slot);
    if (session.Result() != CKR_OK) return ErrorOf(session.Result());

    bool loggedIn = false;
    if ((token.Flags & CKF_LOGIN_REQUIRED) != 0) {
        CK_RV rv;
        if ((token.Flags & CKF_PROTECTED_AUTHENTICATION_PATH) != 0) {
            // The reader's own PIN pad asks.
            rv = p11->C_Login(session.Handle(), CKU_USER, nullptr, 0);
        } else {
            PinText pin;
            error = AskPin(token, &pin.Text());
            if (error != 0) return error;
            rv = p11->C_Login(session.Handle(), CKU_USER,
                              reinterpret_cast<CK_UTF8CHAR*>(pin.Text().data()), pin.Text().size());
            pin.Wipe();
        }
        if (rv == CKR_OK)
            loggedIn = true;
        else if (rv != CKR_USER_ALREADY_LOGGED_IN)
            return ErrorOf(rv);
    }

    CK_OBJECT_HANDLE privateKey = MatchingKey(p11, session.Handle(), key);
    CK_RV rv = privateKey == CK_INVALID_HANDLE ? CKR_KEY_HANDLE_INVALID : operation(p11, session.Handle(), privateKey);
    if (loggedIn) p11->C_Logout(session.Handle());
    if (privateKey == CK_INVALID_HANDLE) return static_cast<DWORD>(NTE_NO_KEY);
    return ErrorOf(rv);
}

}  // namespace npk::pkcs11
