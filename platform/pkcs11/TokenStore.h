// The token part of the user's "MY" store.
#pragma once

#include <windows.h>

#include <array>
#include <set>

namespace npk::crypt32 {
class CertStoreObject;
}

namespace npk::pkcs11 {

using Thumbprints = std::set<std::array<BYTE, 20>>;

// Lists, in a "MY" store being opened, every certificate of the present tokens whose key pair
// is on the same token, with key provider information that names the smart-card provider and
// the token key. A certificate the store already holds as a file stays the file's. The
// thumbprints of those added go into tokenItems (under the store's lock, before any property
// is set): the store keeps them in memory only and refuses to change or remove them.
void AddTokenCertificates(npk::crypt32::CertStoreObject& store, Thumbprints& tokenItems);

}  // namespace npk::pkcs11
