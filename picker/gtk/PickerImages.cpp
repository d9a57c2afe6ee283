// PNG resources into cairo surfaces, straight from the resource bytes.
#include "picker/gtk/PickerImages.h"

#include <cstring>

#include "agent/ErrorCodes.h"

namespace {

struct PngReader {
    const BYTE* pbData;
    DWORD cbLeft;
};

cairo_status_t ReadPng(void* pClosure, unsigned char* pbOut, unsigned int cbWanted)
{
    PngReader* reader = static_cast<PngReader*>(pClosure);
    if (cbWanted > reader->cbLeft) return CAIRO_STATUS_READ_ERROR;
    memcpy(pbOut, reader->pbData, cbWanted);
    reader->pbData += cbWanted;
    reader->cbLeft -= cbWanted;
    return CAIRO_STATUS_SUCCESS;
}

}  // namespace

CPickerImages::~CPickerImages()
{
    for (auto& entry : m_surfaces) {
        if (entry.second != NULL) cairo_surface_destroy(entry.second);
    }
}

cairo_surface_t* CPickerImages::Decode(const BYTE* pbData, DWORD cbData)
{
    if (pbData == NULL || cbData == 0) return NULL;
    PngReader reader = {pbData, cbData};
    cairo_surface_t* surface = cairo_image_surface_create_from_png_stream(ReadPng, &reader);
    if (cairo_surface_status(surface) != CAIRO_STATUS_SUCCESS) {
        cairo_surface_destroy(surface);
        return NULL;
    }
    return surface;
}

cairo_surface_t* CPickerImages::Get(UINT uResourceId)
{
    auto found = m_surfaces.find(uResourceId);
    if (found != m_surfaces.end()) return found->second;

    cairo_surface_t* surface = NULL;
    HRESULT hr = S_OK;
    HRSRC hInfo = FindResourceW(m_hModule, MAKEINTRESOURCEW(uResourceId), TEXT("PNG"));
    if (hInfo == NULL) {
        hr = HResultFromFailedCall();
    } else {
        DWORD cbData = SizeofResource(m_hModule, hInfo);
        HGLOBAL hData = cbData != 0 ? LoadResource(m_hModule, hInfo) : NULL;
        const BYTE* pbData = hData != NULL ? static_cast<const BYTE*>(LockResource(hData)) : NULL;
        if (pbData == NULL) {
            hr = HRESULT_FROM_WIN32(ERROR_RESOURCE_DATA_NOT_FOUND);
        } else {
            surface = Decode(pbData, cbData);
            // Bytes that are no PNG image.
            if (surface == NULL) hr = HRESULT_FROM_WIN32(ERROR_INVALID_DATA);
        }
        if (hData != NULL) FreeResource(hData);
    }
    m_surfaces[uResourceId] = surface;
    m_failures[uResourceId] = hr;
    return surface;
}

HRESULT CPickerImages::GetFailure(UINT uResourceId) const
{
    auto found = m_failures.find(uResourceId);
    return found != m_failures.end() ? found->second : S_OK;
}
