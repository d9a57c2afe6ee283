// Painting of one certificate card and of the dialog's header.
#include "picker/CardPainter.h"

#include "picker/DialogGeometry.h"

namespace {

constexpr PickerColour kWhite = PickerRgb(255, 255, 255);
constexpr PickerColour kBlack = PickerRgb(0, 0, 0);
constexpr PickerColour kHeaderBlue = PickerRgb(0, 51, 153);

constexpr CardColours kSelectedColours = {PickerRgb(221, 236, 253), PickerRgb(194, 220, 253), PickerRgb(125, 182, 206)};
constexpr CardColours kHoverColours = {PickerRgb(253, 254, 255), PickerRgb(185, 215, 252), PickerRgb(243, 248, 255)};

// The icon square and the text column of a card.
constexpr PickerRect kIconRect = {14, 14, 62, 62};
constexpr int kTextLeft = 80;
constexpr int kTextRightMargin = 15;

struct TextLine {
    int y;
    int nCharWidth;
    int nNewerHeight;
    int nOlderHeight;
};

constexpr TextLine kNameLine = {5, 8, 20, 16};
constexpr TextLine kDetailLines[] = {{25, 6, 18, 14}, {40, 6, 18, 14}, {55, 6, 18, 14}};

void DrawCardLine(IPickerCanvas& canvas, const TextLine& line, LPCWSTR pwszText, int nWidth, bool bNewerSystem)
{
    DrawTextLine(canvas, PickerFontFace(bNewerSystem), pwszText, kTextLeft, line.y, nWidth - kTextRightMargin,
                 line.nCharWidth, bNewerSystem ? line.nNewerHeight : line.nOlderHeight, kBlack);
}

}  // namespace

CardState CardStateFor(bool bSelected, bool bHovered)
{
    if (bSelected) return CardState::Selected;
    return bHovered ? CardState::Hover : CardState::Normal;
}

bool GetCardColours(CardState state, CardColours* pColours)
{
    switch (state) {
    case CardState::Selected:
        *pColours = kSelectedColours;
        return true;
    case CardState::Hover:
        *pColours = kHoverColours;
        return true;
    case CardState::Normal:
        break;
    }
    return false;
}

LPCWSTR PickerFontFace(bool bNewerSystem)
{
    return bNewerSystem ? TEXT("Microsoft YaHei") : TEXT("Arial");
}

void DrawTextLine(IPickerCanvas& canvas, LPCWSTR pwszFace, LPCWSTR pwszText, int x, int y, int nRightLimit,
                  int nCharWidth, int nCharHeight, PickerColour colour)
{
    if (pwszText == NULL) return;
    PickerFont font = {pwszFace, nCharWidth, nCharHeight, 400};
    PickerSize size = canvas.MeasureText(font, pwszText);
    PickerRect rc = {x, y, x + size.cx, y + size.cy};
    if (nRightLimit > 0 && rc.right >= nRightLimit) rc.right = nRightLimit;
    canvas.DrawText(font, pwszText, rc, colour, PickerTextAlign::TopLeft, false);
}

void PaintCard(IPickerCanvas& canvas, const CertificateItem& item, int nWidth, int nHeight, CardState state,
               bool bNewerSystem)
{
    canvas.FillRect(PickerRect{0, 0, nWidth, nHeight}, kWhite);

    CardColours colours;
    if (GetCardColours(state, &colours)) {
        canvas.GradientFill(PickerRect{1, 1, nWidth - 1, nHeight - 1}, colours.top, colours.bottom,
                            PickerGradient::Vertical);
        canvas.FrameRoundRect(PickerRect{0, 0, nWidth, nHeight}, 6, 6, colours.border);
    }

    canvas.DrawImage(item.dwHardwareKey == 1 ? IDB_KEY_CERTIFICATE : IDB_SYSTEM_CERTIFICATE, kIconRect);

    // The frame at its own size, centred in the card's 80 x 80 square, over the icon's edge.
    PickerSize frame;
    if (canvas.GetImageSize(IDB_CERTIFICATE_FRAME, &frame)) {
        int x = (PICKER_CARD_HEIGHT - frame.cx) / 2;
        int y = (PICKER_CARD_HEIGHT - frame.cy) / 2;
        canvas.DrawImage(IDB_CERTIFICATE_FRAME, PickerRect{x, y, x + frame.cx, y + frame.cy});
    }

    DrawCardLine(canvas, kNameLine, item.wszDisplayName, nWidth, bNewerSystem);
    DrawCardLine(canvas, kDetailLines[0], item.wszIssuer, nWidth, bNewerSystem);
    DrawCardLine(canvas, kDetailLines[1], item.wszSerialNumber, nWidth, bNewerSystem);
    DrawCardLine(canvas, kDetailLines[2], item.wszValidDate, nWidth, bNewerSystem);
}

void PaintDialogHeader(IPickerCanvas& canvas, LPCWSTR pwszHeader, int nClientWidth, int nClientHeight,
                       bool bNewerSystem)
{
    canvas.FillRect(PickerRect{0, 0, nClientWidth, nClientHeight}, kWhite);
    DrawTextLine(canvas, PickerFontFace(bNewerSystem), pwszHeader, 15, 12, nClientWidth - 20, 8,
                 bNewerSystem ? 22 : 16, kHeaderBlue);
}
