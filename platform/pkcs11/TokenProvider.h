// The smart-card provider over PKCS#11 tokens, as the rest of the layer reaches it.
//
// Its keys live on tokens: a container name "\\.\<token label>\<CKA_ID hex>" names one, and
// opening it reads only public objects, so listing and choosing certificates never asks for a
// PIN. Each signature or decryption logs in for that one operation (see TokenLogin.h).
#pragma once

#include <windows.h>
#include <wincrypt.h>

#include <memory>
#include <string>

struct KeyContainer;
struct ProviderInfo;

#ifndef MS_SCARD_PROV_W
#define MS_SCARD_PROV_A "Microsoft Base Smart Card Crypto Provider"
#define MS_SCARD_PROV_W TEXT("Microsoft Base Smart Card Crypto Provider")
#endif

// The provider's entry: PROV_RSA_FULL, as on Windows, with SHA-2 hashes as well.
const ProviderInfo& NpkTokenProviderInfo();
bool NpkIsTokenProvider(const ProviderInfo* info);

// Whether a container name is a token's.
bool NpkIsTokenContainerName(const std::string& utf8Name);
// The token key of a container name as a container holding it as the exchange key; null with
// *error set: SCARD_W_REMOVED_CARD when its token is not present, NTE_BAD_KEYSET when the
// token holds no such key, SCARD_E_NO_SMARTCARD when no PKCS#11 module can be loaded.
std::shared_ptr<KeyContainer> NpkOpenTokenContainer(const std::string& utf8Name, DWORD* error);

// The code the last token operation of this thread failed with, cleared; fallback when the
// failure was not a token's.
DWORD NpkTakeTokenError(DWORD fallback);
