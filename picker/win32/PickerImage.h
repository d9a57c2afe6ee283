// A PNG image decoded by GDI+ together with the memory its stream reads from.
#pragma once

#include "picker/win32/GdiplusIncludes.h"

struct PickerImage {
    Gdiplus::Image* pImage = nullptr;
    // GDI+ reads the image from this block for as long as the image lives.
    HGLOBAL hMemory = nullptr;

    bool IsUsable() const { return pImage != nullptr && pImage->GetLastStatus() == Gdiplus::Ok; }
    void Release()
    {
        delete pImage;
        pImage = nullptr;
        if (hMemory != nullptr) GlobalFree(hMemory);
        hMemory = nullptr;
    }
};
