// The picker's drawing surface over cairo, with Pango for text. Windows font faces are mapped
// to fonts a Linux desktop has: a CJK face for "Microsoft YaHei", a sans face for the others.
#pragma once

#include "picker/PickerCanvas.h"
#include "picker/gtk/PickerImages.h"

#include <cairo.h>
#include <pango/pangocairo.h>

#include <string>

class CCairoCanvas : public IPickerCanvas {
public:
    // Draws on cr (not owned) with the images of the set (not owned).
    CCairoCanvas(cairo_t* cr, CPickerImages& images);
    ~CCairoCanvas() override;
    CCairoCanvas(const CCairoCanvas&) = delete;
    CCairoCanvas& operator=(const CCairoCanvas&) = delete;

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

    // The Pango family list that stands in for a Windows face (null: the default GUI face).
    static std::string FamiliesForFace(LPCWSTR pwszFace);

private:
    // A layout of the text in the font; *pdScaleX is the horizontal scale that gives the
    // font's average character the requested width.
    PangoLayout* MakeLayout(const PickerFont& font, LPCWSTR pwszText, double* pdScaleX);
    void SetColour(PickerColour colour);

    cairo_t* m_cr;
    CPickerImages& m_images;
    PangoContext* m_pango;
    int m_nClipDepth;
};

// UTF-16 to UTF-8 for GTK; unpaired surrogates become U+FFFD.
std::string PickerUtf8(LPCWSTR pwszText);
