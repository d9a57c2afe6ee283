// How each platform's browsers load a plug-in library and call its exports: dlopen and the
// Unix entry points, or LoadLibraryW and the Windows ones (stdcall, NP_Initialize without
// the plug-in table). PluginLibrary is written against this.
#pragma once

#include "npapi.h"
#include "npfunctions.h"

#include <string>
#include <vector>

namespace npk::host::loader {

// Opens a library; null with the reason on failure.
void* Load(const std::string& path, std::string& why);
void Unload(void* handle);

// NP_GetMIMEDescription's text; null when the library does not export it.
const char* MimeDescription(void* handle);

bool HasInitialize(void* handle);
// NP_GetEntryPoints; where the platform's browsers may do without it, a library that does
// not export it answers NPERR_NO_ERROR.
NPError GetEntryPoints(void* handle, NPPluginFuncs* funcs, std::string& error);
NPError Initialize(void* handle, NPNetscapeFuncs* browser, NPPluginFuncs* funcs);
void Shutdown(void* handle);

// NP_GetValue's text for a variable where the platform has that export; empty otherwise.
std::string PluginString(void* handle, int variable);

// The file a user means by a path given on the command line: a bare name is a file in the
// current directory, never a library the system would search for.
std::string UserFilePath(const std::string& path);

// The plug-in candidates in one directory, in a stable order.
std::vector<std::string> LibrariesIn(const std::string& dir);

// Where Open looked, for the message when nothing was found.
std::string SearchedPlaces();

}  // namespace npk::host::loader
