// The current user's system stores ("MY", "ROOT", ...) kept as files.
#pragma once

#include "crypt32/CertObjects.h"

#include <string>

namespace npk::crypt32 {

// Opens the named store with CertOpenStore's flags; null with *error set on failure.
CertStoreObject* OpenSystemStore(const std::string& utf8Name, DWORD flags, DWORD* error);

// The directory that holds a store's files (whether or not it exists).
std::string SystemStoreDirectory(const std::string& utf8Name);

}  // namespace npk::crypt32
