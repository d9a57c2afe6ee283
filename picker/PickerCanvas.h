// The drawing surface a certificate card and the dialog header are painted on. Each window
// system implements it over its own drawing library; the painting itself is shared.
#pragma once

#include <windows.h>

// Colours are laid out as the Win32 COLORREF (0x00BBGGRR), so GDI takes them unchanged.
typedef DWORD PickerColour;

constexpr PickerColour PickerRgb(BYTE r, BYTE g, BYTE b)
{
    return static_cast<PickerColour>(r) | (static_cast<PickerColour>(g) << 8) | (static_cast<PickerColour>(b) << 16);
}
constexpr BYTE PickerRed(PickerColour c) { return static_cast<BYTE>(c & 0xFF); }
constexpr BYTE PickerGreen(PickerColour c) { return static_cast<BYTE>((c >> 8) & 0xFF); }
constexpr BYTE PickerBlue(PickerColour c) { return static_cast<BYTE>((c >> 16) & 0xFF); }

// Device pixels; right and bottom are exclusive, as in a Win32 RECT.
struct PickerRect {
    int left;
    int top;
    int right;
    int bottom;
    int Width() const { return right - left; }
    int Height() const { return bottom - top; }
};

struct PickerSize {
    int cx;
    int cy;
};

enum class PickerGradient {
    Vertical,    // top colour at the top edge, bottom colour at the bottom edge
    Horizontal,  // "top" colour at the left edge, "bottom" colour at the right edge
};

// A font as the painting names it: a face (null = the system's default GUI face), the
// average character width and the cell height in pixels, and a weight (400 normal, 700 bold).
struct PickerFont {
    LPCWSTR pwszFace;
    int nCharWidth;
    int nCharHeight;
    int nWeight;
};

// How text is placed in its rectangle. The picker uses TopLeft with no ellipsis (GDI's
// DrawTextW format 0): left and top aligned, one line, clipped to the rectangle.
enum class PickerTextAlign {
    TopLeft,
    Centre,
};

class IPickerCanvas {
public:
    virtual ~IPickerCanvas() = default;

    virtual void FillRect(const PickerRect& rc, PickerColour colour) = 0;
    // Every pixel of rc, from the first colour to the second.
    virtual void GradientFill(const PickerRect& rc, PickerColour first, PickerColour second, PickerGradient direction) = 0;
    // A one-pixel solid outline of rc with corners rounded by an ellipse of the given size
    // (0 x 0 gives square corners); the inside is not painted.
    virtual void FrameRoundRect(const PickerRect& rc, int nEllipseWidth, int nEllipseHeight, PickerColour pen) = 0;

    // The size of the text's one-line box in that font (DrawTextW with DT_CALCRECT).
    virtual PickerSize MeasureText(const PickerFont& font, LPCWSTR pwszText) = 0;
    // Draws one line of text into rc in that font and colour, on a transparent background,
    // clipped to rc; bEllipsis ends a text cut by rc's right edge with "...".
    virtual void DrawText(const PickerFont& font, LPCWSTR pwszText, const PickerRect& rc, PickerColour colour,
                          PickerTextAlign align, bool bEllipsis) = 0;

    // The PNG resource of the library with that number (105, 106, 107), scaled from its full
    // size into dest. Returns false when the image is not available; nothing is drawn then.
    virtual bool DrawImage(UINT uResourceId, const PickerRect& dest) = 0;
    // The image's own size in pixels; false when it is not available.
    virtual bool GetImageSize(UINT uResourceId, PickerSize* pSize) = 0;

    // Clip rectangles nest: drawing is limited to the intersection of all that are pushed.
    virtual void PushClip(const PickerRect& rc) = 0;
    virtual void PopClip() = 0;
};
