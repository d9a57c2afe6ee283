// The picker's canvas over a GDI device context.
#include "picker/win32/GdiCanvas.h"

#include <strsafe.h>

#include "resources/resource.h"

namespace {

RECT ToRect(const PickerRect& rc)
{
    RECT r = {rc.left, rc.top, rc.right, rc.bottom};
    return r;
}

TRIVERTEX Vertex(int x, int y, PickerColour c)
{
    TRIVERTEX v = {};
    v.x = x;
    v.y = y;
    v.Red = static_cast<COLOR16>(PickerRed(c) << 8);
    v.Green = static_cast<COLOR16>(PickerGreen(c) << 8);
    v.Blue = static_cast<COLOR16>(PickerBlue(c) << 8);
    v.Alpha = 0;
    return v;
}

}  // namespace

CGdiCanvas::CGdiCanvas(HDC hdc, const PickerImage* const* ppImages, UINT cImages)
    : m_hdc(hdc), m_ppImages(ppImages), m_cImages(cImages), m_pGraphics(nullptr)
{
}

CGdiCanvas::~CGdiCanvas()
{
    while (!m_savedStates.empty()) PopClip();
    delete m_pGraphics;
}

const PickerImage* CGdiCanvas::Image(UINT uResourceId) const
{
    if (uResourceId < IDB_PNG_FIRST || uResourceId > IDB_PNG_LAST) return nullptr;
    UINT index = uResourceId - IDB_PNG_FIRST;
    if (m_ppImages == nullptr || index >= m_cImages) return nullptr;
    const PickerImage* pImage = m_ppImages[index];
    return pImage != nullptr && pImage->IsUsable() ? pImage : nullptr;
}

Gdiplus::Graphics* CGdiCanvas::Graphics()
{
    // Made on first use, so that the GDI calls before it are not held up by GDI+'s batching.
    if (m_pGraphics == nullptr) m_pGraphics = new Gdiplus::Graphics(m_hdc);  // GdiplusBase's new: null, no throw
    return m_pGraphics;
}

void CGdiCanvas::FillRect(const PickerRect& rc, PickerColour colour)
{
    HBRUSH hBrush = CreateSolidBrush(colour);
    if (hBrush == NULL) return;
    RECT r = ToRect(rc);
    ::FillRect(m_hdc, &r, hBrush);
    DeleteObject(hBrush);
}

void CGdiCanvas::GradientFill(const PickerRect& rc, PickerColour first, PickerColour second, PickerGradient direction)
{
    TRIVERTEX vertices[2] = {Vertex(rc.left, rc.top, first), Vertex(rc.right, rc.bottom, second)};
    GRADIENT_RECT rect = {0, 1};
    ::GradientFill(m_hdc, vertices, 2, &rect, 1,
                   direction == PickerGradient::Vertical ? GRADIENT_FILL_RECT_V : GRADIENT_FILL_RECT_H);
}

void CGdiCanvas::FrameRoundRect(const PickerRect& rc, int nEllipseWidth, int nEllipseHeight, PickerColour pen)
{
    HPEN hPen = CreatePen(PS_SOLID, 1, pen);
    if (hPen == NULL) return;
    HGDIOBJ hOldPen = SelectObject(m_hdc, hPen);
    HGDIOBJ hOldBrush = SelectObject(m_hdc, GetStockObject(NULL_BRUSH));
    RoundRect(m_hdc, rc.left, rc.top, rc.right, rc.bottom, nEllipseWidth, nEllipseHeight);
    SelectObject(m_hdc, hOldBrush);
    SelectObject(m_hdc, hOldPen);
    DeleteObject(hPen);
}

HFONT CGdiCanvas::CreatePickerFont(const PickerFont& font)
{
    LOGFONTW lf = {};
    GetObjectW(GetStockObject(DEFAULT_GUI_FONT), sizeof(lf), &lf);
    lf.lfWidth = font.nCharWidth;
    lf.lfHeight = font.nCharHeight;
    lf.lfWeight = font.nWeight;
    if (font.pwszFace != NULL) StringCchCopyW(lf.lfFaceName, LF_FACESIZE, font.pwszFace);
    return CreateFontIndirectW(&lf);
}

PickerSize CGdiCanvas::MeasureText(const PickerFont& font, LPCWSTR pwszText)
{
    PickerSize size = {0, 0};
    HFONT hFont = CreatePickerFont(font);
    HGDIOBJ hOld = hFont != NULL ? SelectObject(m_hdc, hFont) : NULL;
    RECT rc = {0, 0, 0, 0};
    ::DrawTextW(m_hdc, pwszText, -1, &rc, DT_CALCRECT);
    size.cx = rc.right - rc.left;
    size.cy = rc.bottom - rc.top;
    if (hFont != NULL) {
        SelectObject(m_hdc, hOld);
        DeleteObject(hFont);
    }
    return size;
}

void CGdiCanvas::DrawText(const PickerFont& font, LPCWSTR pwszText, const PickerRect& rc, PickerColour colour,
                          PickerTextAlign align, bool bEllipsis)
{
    // GDI+ may hold drawing back; what it has must reach the context before GDI draws over it.
    if (m_pGraphics != nullptr) m_pGraphics->Flush(Gdiplus::FlushIntentionSync);
    HFONT hFont = CreatePickerFont(font);
    HGDIOBJ hOld = hFont != NULL ? SelectObject(m_hdc, hFont) : NULL;
    SetTextColor(m_hdc, colour);
    SetBkMode(m_hdc, TRANSPARENT);
    RECT r = ToRect(rc);
    UINT uFormat = 0;
    if (align == PickerTextAlign::Centre) uFormat |= DT_CENTER | DT_VCENTER | DT_SINGLELINE;
    if (bEllipsis) uFormat |= DT_END_ELLIPSIS;
    ::DrawTextW(m_hdc, pwszText, -1, &r, uFormat);
    if (hFont != NULL) {
        SelectObject(m_hdc, hOld);
        DeleteObject(hFont);
    }
}

bool CGdiCanvas::DrawImage(UINT uResourceId, const PickerRect& dest)
{
    const PickerImage* pImage = Image(uResourceId);
    Gdiplus::Graphics* pGraphics = Graphics();
    if (pImage == nullptr || pGraphics == nullptr) return false;
    Gdiplus::Rect target(dest.left, dest.top, dest.Width(), dest.Height());
    Gdiplus::Status status =
        pGraphics->DrawImage(pImage->pImage, target, 0, 0, static_cast<INT>(pImage->pImage->GetWidth()),
                             static_cast<INT>(pImage->pImage->GetHeight()), Gdiplus::UnitPixel);
    return status == Gdiplus::Ok;
}

bool CGdiCanvas::GetImageSize(UINT uResourceId, PickerSize* pSize)
{
    const PickerImage* pImage = Image(uResourceId);
    if (pImage == nullptr || pSize == nullptr) return false;
    pSize->cx = static_cast<int>(pImage->pImage->GetWidth());
    pSize->cy = static_cast<int>(pImage->pImage->GetHeight());
    return true;
}

void CGdiCanvas::PushClip(const PickerRect& rc)
{
    m_savedStates.push_back(SaveDC(m_hdc));
    IntersectClipRect(m_hdc, rc.left, rc.top, rc.right, rc.bottom);
    if (Gdiplus::Graphics* pGraphics = Graphics()) {
        m_graphicsStates.push_back(pGraphics->Save());
        pGraphics->SetClip(Gdiplus::Rect(rc.left, rc.top, rc.Width(), rc.Height()), Gdiplus::CombineModeIntersect);
    }
}

void CGdiCanvas::PopClip()
{
    if (m_savedStates.empty()) return;
    if (m_pGraphics != nullptr && !m_graphicsStates.empty()) {
        m_pGraphics->Restore(m_graphicsStates.back());
        m_graphicsStates.pop_back();
    }
    RestoreDC(m_hdc, m_savedStates.back());
    m_savedStates.pop_back();
}
