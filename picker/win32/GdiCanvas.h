// The picker's canvas over a GDI device context, with GDI+ for the PNG images.
#pragma once

#include <vector>

#include "picker/PickerCanvas.h"
#include "picker/win32/PickerImage.h"

class CGdiCanvas : public IPickerCanvas {
public:
    // The images are looked up by resource number: 105, 106, 107 at indexes 0, 1, 2; any of
    // them may be null. The canvas draws with the device context and does not own it.
    CGdiCanvas(HDC hdc, const PickerImage* const* ppImages, UINT cImages);
    ~CGdiCanvas() override;
    CGdiCanvas(const CGdiCanvas&) = delete;
    CGdiCanvas& operator=(const CGdiCanvas&) = delete;

    void FillRect(const PickerRect& rc, PickerColour colour) override;
    void GradientFill(const PickerRect& rc, PickerColour first, PickerColour second, PickerGradient direction) override;
    void FrameRoundRect(const PickerRect& rc, int nEllipseWidth, int nEllipseHeight, PickerColour pen) override;
    PickerSize MeasureText(const PickerFont& font, LPCWSTR pwszText) override;
    void DrawText(const PickerFont& font, LPCWSTR pwszText, const PickerRect& rc, PickerColour colour,
                  PickerTextAlign align, bool bEllipsis) override;
    bool DrawImage(UINT uResourceId, const PickerRect& dest) override;
    bool GetImageSize(UINT uResourceId, PickerSize* pSize) override;
    void PushClip(const PickerRect& rc) override;
    void PopClip() override;

private:
    const PickerImage* Image(UINT uResourceId) const;
    Gdiplus::Graphics* Graphics();
    // A font as the list draws it: the default GUI font with the given size, weight and face.
    static HFONT CreatePickerFont(const PickerFont& font);

    HDC m_hdc;
    const PickerImage* const* m_ppImages;
    UINT m_cImages;
    Gdiplus::Graphics* m_pGraphics;
    std::vector<int> m_savedStates;
    std::vector<Gdiplus::GraphicsState> m_graphicsStates;
};
