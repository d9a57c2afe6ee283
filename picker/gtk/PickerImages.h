// The picker's PNG images, read from the library's resources once and kept as cairo surfaces.
#pragma once

#include <windows.h>

#include <cairo.h>

#include <map>

class CPickerImages {
public:
    explicit CPickerImages(HINSTANCE hModule) : m_hModule(hModule) {}
    ~CPickerImages();
    CPickerImages(const CPickerImages&) = delete;
    CPickerImages& operator=(const CPickerImages&) = delete;

    // The decoded image of PNG resource uResourceId, or null when the resource is missing or
    // is no PNG. Owned by this object.
    cairo_surface_t* Get(UINT uResourceId);
    // Why Get gave null for that image: the failed step's HRESULT; S_OK when it did not.
    HRESULT GetFailure(UINT uResourceId) const;

    // Decodes PNG bytes; null when they are none. The caller destroys the surface.
    static cairo_surface_t* Decode(const BYTE* pbData, DWORD cbData);

private:
    HINSTANCE m_hModule;
    std::map<UINT, cairo_surface_t*> m_surfaces;  // null entries remember failures
    std::map<UINT, HRESULT> m_failures;
};
