// Painting of the picker's cards and header, recorded on a canvas that keeps every call.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "picker/CardPainter.h"

namespace {

using WString = std::basic_string<WCHAR>;

struct Call {
    enum Kind { Fill, Gradient, Frame, Text, Image } kind = Fill;
    PickerRect rc = {};
    PickerColour c1 = 0;
    PickerColour c2 = 0;
    UINT image = 0;
    WString face;
    WString text;
    PickerFont font = {};
    bool ellipsis = false;
    PickerTextAlign align = PickerTextAlign::Centre;
    PickerGradient direction = PickerGradient::Horizontal;
    int ellipseW = 0;
    int ellipseH = 0;
};

Call Make(Call::Kind kind, const PickerRect& rc, PickerColour c1 = 0, PickerColour c2 = 0)
{
    Call c;
    c.kind = kind;
    c.rc = rc;
    c.c1 = c1;
    c.c2 = c2;
    return c;
}

class RecordingCanvas : public IPickerCanvas {
public:
    std::vector<Call> calls;
    int textWidth = 100;   // every measured text is this wide...
    int textHeight = 19;   // ...and this high
    bool frameKnown = true;

    void FillRect(const PickerRect& rc, PickerColour colour) override { calls.push_back(Make(Call::Fill, rc, colour)); }
    void GradientFill(const PickerRect& rc, PickerColour first, PickerColour second, PickerGradient dir) override
    {
        Call c = Make(Call::Gradient, rc, first, second);
        c.direction = dir;
        calls.push_back(c);
    }
    void FrameRoundRect(const PickerRect& rc, int w, int h, PickerColour pen) override
    {
        Call c = Make(Call::Frame, rc, pen);
        c.ellipseW = w;
        c.ellipseH = h;
        calls.push_back(c);
    }
    PickerSize MeasureText(const PickerFont&, LPCWSTR) override { return {textWidth, textHeight}; }
    void DrawText(const PickerFont& font, LPCWSTR text, const PickerRect& rc, PickerColour colour,
                  PickerTextAlign align, bool ellipsis) override
    {
        Call c = Make(Call::Text, rc, colour);
        c.font = font;
        c.face = font.pwszFace != nullptr ? WString(font.pwszFace) : WString();
        c.text = text;
        c.align = align;
        c.ellipsis = ellipsis;
        calls.push_back(c);
    }
    bool DrawImage(UINT id, const PickerRect& dest) override
    {
        Call c = Make(Call::Image, dest);
        c.image = id;
        calls.push_back(c);
        return true;
    }
    bool GetImageSize(UINT id, PickerSize* size) override
    {
        if (id == 107 && frameKnown) {
            *size = {62, 62};
            return true;
        }
        if (id == 105 || id == 106) {
            *size = {128, 128};
            return true;
        }
        return false;
    }
    void PushClip(const PickerRect&) override {}
    void PopClip() override {}

    std::vector<Call> Of(Call::Kind kind) const
    {
        std::vector<Call> out;
        for (const Call& c : calls)
            if (c.kind == kind) out.push_back(c);
        return out;
    }
};

void ExpectRect(const PickerRect& rc, int l, int t, int r, int b)
{
    EXPECT_EQ(rc.left, l);
    EXPECT_EQ(rc.top, t);
    EXPECT_EQ(rc.right, r);
    EXPECT_EQ(rc.bottom, b);
}

CertificateItem Item(DWORD hardware = 0)
{
    CertificateItem item = {};
    const WCHAR name[] = TEXT("Alice Example");
    const WCHAR issuer[] = TEXT("Issuer: Keystrand CA");
    const WCHAR serial[] = TEXT("SN: 0b0a");
    const WCHAR valid[] = TEXT("Valid From: 03/05/2020 to 03/04/2025");
    for (size_t i = 0; i < ARRAYSIZE(name); ++i) item.wszDisplayName[i] = name[i];
    for (size_t i = 0; i < ARRAYSIZE(issuer); ++i) item.wszIssuer[i] = issuer[i];
    for (size_t i = 0; i < ARRAYSIZE(serial); ++i) item.wszSerialNumber[i] = serial[i];
    for (size_t i = 0; i < ARRAYSIZE(valid); ++i) item.wszValidDate[i] = valid[i];
    item.dwHardwareKey = hardware;
    return item;
}

constexpr int kWidth = 360;
constexpr int kHeight = 80;

}  // namespace

TEST(PickerPainting, StateFollowsSelectionBeforeHover)
{
    EXPECT_EQ(CardStateFor(false, false), CardState::Normal);
    EXPECT_EQ(CardStateFor(false, true), CardState::Hover);
    EXPECT_EQ(CardStateFor(true, false), CardState::Selected);
    EXPECT_EQ(CardStateFor(true, true), CardState::Selected) << "a selected card under the mouse keeps its colours";
}

TEST(PickerPainting, NormalCardIsWhiteWithoutBorder)
{
    RecordingCanvas canvas;
    PaintCard(canvas, Item(), kWidth, kHeight, CardState::Normal, true);
    ASSERT_FALSE(canvas.calls.empty());
    EXPECT_EQ(canvas.calls[0].kind, Call::Fill) << "the white background comes first";
    ExpectRect(canvas.calls[0].rc, 0, 0, kWidth, kHeight);
    EXPECT_EQ(canvas.calls[0].c1, PickerRgb(255, 255, 255));
    EXPECT_TRUE(canvas.Of(Call::Gradient).empty());
    EXPECT_TRUE(canvas.Of(Call::Frame).empty());
}

TEST(PickerPainting, HoveredAndSelectedCardsUseTheirGradientsAndBorders)
{
    struct Expected {
        CardState state;
        PickerColour top, bottom, border;
    } cases[] = {
        {CardState::Hover, PickerRgb(253, 254, 255), PickerRgb(185, 215, 252), PickerRgb(243, 248, 255)},
        {CardState::Selected, PickerRgb(221, 236, 253), PickerRgb(194, 220, 253), PickerRgb(125, 182, 206)},
    };
    for (const Expected& e : cases) {
        RecordingCanvas canvas;
        PaintCard(canvas, Item(), kWidth, kHeight, e.state, true);
        std::vector<Call> gradients = canvas.Of(Call::Gradient);
        std::vector<Call> frames = canvas.Of(Call::Frame);
        ASSERT_EQ(gradients.size(), 1u);
        ASSERT_EQ(frames.size(), 1u);
        ExpectRect(gradients[0].rc, 1, 1, kWidth - 1, kHeight - 1);
        EXPECT_EQ(gradients[0].c1, e.top);
        EXPECT_EQ(gradients[0].c2, e.bottom);
        EXPECT_EQ(gradients[0].direction, PickerGradient::Vertical);
        ExpectRect(frames[0].rc, 0, 0, kWidth, kHeight);
        EXPECT_EQ(frames[0].c1, e.border);
        EXPECT_EQ(frames[0].ellipseW, 6);
        EXPECT_EQ(frames[0].ellipseH, 6);
        // Background, then the highlight, then everything else over it.
        EXPECT_EQ(canvas.calls[0].kind, Call::Fill);
        EXPECT_EQ(canvas.calls[1].kind, Call::Gradient);
        EXPECT_EQ(canvas.calls[2].kind, Call::Frame);
    }
    CardColours none;
    EXPECT_FALSE(GetCardColours(CardState::Normal, &none));
}

TEST(PickerPainting, IconByKeyKindThenFrameCentredOverIt)
{
    for (DWORD hardware : {0u, 1u}) {
        RecordingCanvas canvas;
        PaintCard(canvas, Item(hardware), kWidth, kHeight, CardState::Normal, true);
        std::vector<Call> images = canvas.Of(Call::Image);
        ASSERT_EQ(images.size(), 2u);
        EXPECT_EQ(images[0].image, hardware ? 106u : 105u);
        ExpectRect(images[0].rc, 14, 14, 62, 62);
        EXPECT_EQ(images[1].image, 107u) << "the frame is drawn after the icon";
        ExpectRect(images[1].rc, 9, 9, 71, 71);
    }
}

TEST(PickerPainting, MissingFrameImageLeavesTheRestOfTheCard)
{
    RecordingCanvas canvas;
    canvas.frameKnown = false;
    PaintCard(canvas, Item(), kWidth, kHeight, CardState::Selected, true);
    EXPECT_EQ(canvas.Of(Call::Image).size(), 1u);
    EXPECT_EQ(canvas.Of(Call::Text).size(), 4u);
}

TEST(PickerPainting, FourBlackLinesInTheFontsOfEachSystem)
{
    struct Font {
        const WCHAR* face;
        int w, h;
    };
    struct Case {
        bool newer;
        Font fonts[4];
    } cases[] = {
        {true, {{TEXT("Microsoft YaHei"), 8, 20}, {TEXT("Microsoft YaHei"), 6, 18}, {TEXT("Microsoft YaHei"), 6, 18},
                {TEXT("Microsoft YaHei"), 6, 18}}},
        {false, {{TEXT("Arial"), 8, 16}, {TEXT("Arial"), 6, 14}, {TEXT("Arial"), 6, 14}, {TEXT("Arial"), 6, 14}}},
    };
    const int ys[] = {5, 25, 40, 55};
    CertificateItem item = Item();
    const WCHAR* texts[] = {item.wszDisplayName, item.wszIssuer, item.wszSerialNumber, item.wszValidDate};
    for (const Case& c : cases) {
        RecordingCanvas canvas;
        PaintCard(canvas, item, kWidth, kHeight, CardState::Hover, c.newer);
        std::vector<Call> lines = canvas.Of(Call::Text);
        ASSERT_EQ(lines.size(), 4u);
        for (int i = 0; i < 4; ++i) {
            SCOPED_TRACE(i);
            EXPECT_EQ(lines[i].text, WString(texts[i]));
            EXPECT_EQ(lines[i].face, WString(c.fonts[i].face));
            EXPECT_EQ(lines[i].font.nCharWidth, c.fonts[i].w);
            EXPECT_EQ(lines[i].font.nCharHeight, c.fonts[i].h);
            EXPECT_EQ(lines[i].font.nWeight, 400);
            EXPECT_EQ(lines[i].c1, PickerRgb(0, 0, 0));
            EXPECT_EQ(lines[i].align, PickerTextAlign::TopLeft);
            EXPECT_FALSE(lines[i].ellipsis);
            ExpectRect(lines[i].rc, 80, ys[i], 180, ys[i] + 19);
        }
    }
}

TEST(PickerPainting, WideTextIsCutFifteenPixelsFromTheRightWithoutEllipsis)
{
    RecordingCanvas canvas;
    canvas.textWidth = 1000;
    PaintCard(canvas, Item(), kWidth, kHeight, CardState::Normal, true);
    for (const Call& line : canvas.Of(Call::Text)) {
        EXPECT_EQ(line.rc.left, 80);
        EXPECT_EQ(line.rc.right, kWidth - 15);
        EXPECT_FALSE(line.ellipsis);
    }
    // A text that ends exactly at the limit is cut to it as well: the limit is inclusive.
    RecordingCanvas exact;
    exact.textWidth = kWidth - 15 - 80;
    PaintCard(exact, Item(), kWidth, kHeight, CardState::Normal, true);
    EXPECT_EQ(exact.Of(Call::Text)[0].rc.right, kWidth - 15);
}

TEST(PickerPainting, TextLineWithoutLimitKeepsItsMeasuredBox)
{
    RecordingCanvas canvas;
    canvas.textWidth = 5000;
    DrawTextLine(canvas, nullptr, TEXT("x"), 3, 4, 0, 6, 14, PickerRgb(1, 2, 3));
    ASSERT_EQ(canvas.calls.size(), 1u);
    ExpectRect(canvas.calls[0].rc, 3, 4, 5003, 23);
    EXPECT_TRUE(canvas.calls[0].face.empty()) << "no face: the default GUI font's";
    DrawTextLine(canvas, nullptr, nullptr, 3, 4, 0, 6, 14, PickerRgb(1, 2, 3));
    EXPECT_EQ(canvas.calls.size(), 1u) << "no text, nothing drawn";
}

TEST(PickerPainting, HeaderIsBlueOnWhite)
{
    for (bool newer : {true, false}) {
        RecordingCanvas canvas;
        canvas.textWidth = 2000;
        PaintDialogHeader(canvas, TEXT("Select a Certificate"), 423, 535, newer);
        ASSERT_EQ(canvas.calls.size(), 2u);
        EXPECT_EQ(canvas.calls[0].kind, Call::Fill);
        ExpectRect(canvas.calls[0].rc, 0, 0, 423, 535);
        EXPECT_EQ(canvas.calls[0].c1, PickerRgb(255, 255, 255));
        const Call& text = canvas.calls[1];
        EXPECT_EQ(text.text, WString(TEXT("Select a Certificate")));
        EXPECT_EQ(text.c1, PickerRgb(0, 51, 153));
        EXPECT_EQ(text.face, WString(newer ? TEXT("Microsoft YaHei") : TEXT("Arial")));
        EXPECT_EQ(text.font.nCharWidth, 8);
        EXPECT_EQ(text.font.nCharHeight, newer ? 22 : 16);
        ExpectRect(text.rc, 15, 12, 423 - 20, 12 + 19);
    }
}

TEST(PickerPainting, ColourLayoutIsThatOfCOLORREF)
{
    PickerColour c = PickerRgb(0x12, 0x34, 0x56);
    EXPECT_EQ(c, 0x00563412u);
    EXPECT_EQ(PickerRed(c), 0x12);
    EXPECT_EQ(PickerGreen(c), 0x34);
    EXPECT_EQ(PickerBlue(c), 0x56);
}
