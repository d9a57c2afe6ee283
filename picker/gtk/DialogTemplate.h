// The texts of an extended dialog template (DLGTEMPLATEEX) from the library's resources: the
// caption and the text of each control by its id, in the user's language, so the GTK window
// says what the Windows dialog says.
#pragma once

#include <windows.h>

#include <map>
#include <string>

struct DialogTemplateTexts {
    std::basic_string<WCHAR> caption;
    std::map<int, std::basic_string<WCHAR>> controlTexts;  // only controls with a text title
    int nControls = 0;
};

// Reads DLGTEMPLATEEX bytes. E_INVALIDARG for bytes that are no extended template or that end
// early; nothing is read past cbData.
HRESULT ParseDialogTemplateEx(const BYTE* pbData, DWORD cbData, DialogTemplateTexts* pTexts);

// The texts of dialog resource uDialogId of the module; the last error's HRESULT when the
// resource is missing.
HRESULT LoadDialogTemplateTexts(HINSTANCE hModule, UINT uDialogId, DialogTemplateTexts* pTexts);
