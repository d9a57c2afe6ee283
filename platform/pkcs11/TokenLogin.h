// One operation with a token key: find the token, open a session, log in with the PIN (asked
// for now, used once, wiped), find the private key by CKA_ID, run the operation, log out.
#pragma once

#include "pkcs11/Pkcs11Tokens.h"

#include <functional>

namespace npk::pkcs11 {

struct TokenKeyRef {
    std::string Label;
    std::string Serial;  // of the token the key was found on; another of that label is tried next
    Bytes Id;
    Bytes Modulus;  // the key's public half: a private key of another pair is never used
    // The slot the token was in: tried first, so an operation need not list the slots again.
    CK_SLOT_ID Slot = 0;
    bool HaveSlot = false;
};

using KeyOperation = std::function<CK_RV(CK_FUNCTION_LIST*, CK_SESSION_HANDLE, CK_OBJECT_HANDLE)>;

// 0, or the Win32/HRESULT code of the failure: SCARD_W_REMOVED_CARD when the token is gone,
// SCARD_W_CHV_BLOCKED for a locked PIN, SCARD_W_WRONG_CHV for a wrong one,
// SCARD_W_CANCELLED_BY_USER when the user cancels, NTE_NO_KEY without the private key.
DWORD RunWithTokenKey(const TokenKeyRef& key, const KeyOperation& operation);

// Only for tests: a SoftHSM2 token's PIN may come from this variable instead of the dialog.
// It is read for SoftHSM2 tokens alone, so it can never stand in for a real card's PIN.
constexpr char kTestPinVariable[] = "NPKEYSTRAND_TEST_ONLY_SOFTHSM_PIN";

}  // namespace npk::pkcs11
