// The dialog that asks the user for a token's PIN.
#pragma once

#include <windows.h>

#include <string>

namespace npk::pkcs11 {

// What the dialog tells the user about the tries left, from the token's flags.
enum class PinTries { Unknown, Low, Final };

// Asks for the PIN of the named token, modal on the calling thread. S_OK with the PIN in *pin
// (the caller wipes it), SCARD_W_CANCELLED_BY_USER when the user cancels, or
// HRESULT_FROM_WIN32(ERROR_NOT_SUPPORTED) when there is no display to ask on.
HRESULT AskTokenPin(const std::string& tokenLabel, PinTries tries, std::string* pin);

// The dialog's second line for the tries left ("" when nothing is known).
std::string TriesText(PinTries tries);

}  // namespace npk::pkcs11
