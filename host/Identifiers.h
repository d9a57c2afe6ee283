// NPIdentifier values: interned for the life of the process, so the same name (or integer)
// always gives the same identifier and plug-ins may compare identifiers as handles.
#pragma once

#include <cstdint>
#include <string>

namespace npk::host {

using IdentifierHandle = void*;

IdentifierHandle InternStringIdentifier(const char* utf8);
IdentifierHandle InternIntIdentifier(int32_t value);

bool IdentifierIsString(IdentifierHandle id);
// The name of a string identifier; null for an integer identifier or a handle not ours.
const std::string* IdentifierName(IdentifierHandle id);
// The value of an integer identifier; INT32_MIN otherwise.
int32_t IdentifierInt(IdentifierHandle id);

}  // namespace npk::host
