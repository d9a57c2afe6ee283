// The parts of the GTK picker that work without a display: the texts of dialog 101 read from
// the library's template, the PNG images decoded from the resources, and the cairo canvas the
// cards are painted on, checked pixel by pixel on an image surface.
#include <windows.h>

#include <gtk/gtk.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "picker/CardPainter.h"
#include "picker/gtk/CairoCanvas.h"
#include "picker/gtk/DialogTemplate.h"
#include "picker/gtk/PickerImages.h"
#include "resources/resource.h"

namespace {

using WString = std::basic_string<WCHAR>;

WString W(const char16_t* s)
{
    WString w;
    for (; *s != 0; ++s) w += static_cast<WCHAR>(*s);
    return w;
}

// ---------------------------------------------------------------------------
// Dialog template

class DialogTemplateTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        setenv("LANG", "en_US.UTF-8", 1);
        for (const char* v : {"LANGUAGE", "LC_ALL", "LC_MESSAGES"}) unsetenv(v);
    }

    std::vector<BYTE> TemplateBytes(WORD language)
    {
        HRSRC info = FindResourceExW(nullptr, RT_DIALOG, MAKEINTRESOURCEW(IDD_SELECT_CERTIFICATE), language);
        if (info == nullptr) return {};
        const BYTE* data = static_cast<const BYTE*>(LockResource(LoadResource(nullptr, info)));
        return std::vector<BYTE>(data, data + SizeofResource(nullptr, info));
    }
};

TEST_F(DialogTemplateTest, EnglishTemplateGivesCaptionAndButtonTexts)
{
    DialogTemplateTexts texts;
    ASSERT_EQ(LoadDialogTemplateTexts(nullptr, IDD_SELECT_CERTIFICATE, &texts), S_OK);
    EXPECT_EQ(texts.caption, W(u"Windows Security"));
    EXPECT_EQ(texts.controlTexts[1], W(u"OK"));
    EXPECT_EQ(texts.controlTexts[2], W(u"Cancel"));
    EXPECT_EQ(texts.nControls, 4) << "OK, Cancel, the list and the separator";
    EXPECT_EQ(texts.controlTexts.count(IDC_CERTIFICATE_LIST), 0u) << "the list has no text";
}

TEST_F(DialogTemplateTest, ChineseTemplateHasItsOwnTexts)
{
    std::vector<BYTE> bytes = TemplateBytes(MAKELANGID(LANG_CHINESE, SUBLANG_CHINESE_SIMPLIFIED));
    ASSERT_FALSE(bytes.empty());
    DialogTemplateTexts texts;
    ASSERT_EQ(ParseDialogTemplateEx(bytes.data(), static_cast<DWORD>(bytes.size()), &texts), S_OK);
    EXPECT_EQ(texts.caption, W(u"Windows 安全"));
    EXPECT_EQ(texts.controlTexts[1], W(u"确定"));
    EXPECT_EQ(texts.controlTexts[2], W(u"取消"));
}

TEST_F(DialogTemplateTest, DamagedTemplatesAreRefusedWithoutReadingPastTheEnd)
{
    std::vector<BYTE> bytes = TemplateBytes(MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US));
    ASSERT_GT(bytes.size(), 40u);
    DialogTemplateTexts texts;
    // Every cut short of the last item's own bytes is a damaged template.
    for (size_t cut = 0; cut + 8 < bytes.size(); ++cut) {
        std::vector<BYTE> shortened(bytes.begin(), bytes.begin() + static_cast<long>(cut));
        EXPECT_EQ(ParseDialogTemplateEx(shortened.data(), static_cast<DWORD>(shortened.size()), &texts), E_INVALIDARG)
            << cut;
    }
    std::vector<BYTE> notExtended = bytes;
    notExtended[2] = 0;  // a classic DLGTEMPLATE has no 0xFFFF signature
    EXPECT_EQ(ParseDialogTemplateEx(notExtended.data(), static_cast<DWORD>(notExtended.size()), &texts), E_INVALIDARG);
    EXPECT_EQ(ParseDialogTemplateEx(nullptr, 10, &texts), E_INVALIDARG);
}

TEST_F(DialogTemplateTest, MissingTemplateFailsWithTheResourceError)
{
    DialogTemplateTexts texts;
    EXPECT_EQ(LoadDialogTemplateTexts(nullptr, 4242, &texts), HRESULT_FROM_WIN32(ERROR_RESOURCE_NAME_NOT_FOUND));
}

// ---------------------------------------------------------------------------
// Images

TEST(PickerImages, ResourceImagesDecodeAtTheirSizes)
{
    CPickerImages images(nullptr);
    struct Expected {
        UINT id;
        int size;
    };
    for (Expected e : {Expected{IDB_SYSTEM_CERTIFICATE, 128}, Expected{IDB_KEY_CERTIFICATE, 128},
                       Expected{IDB_CERTIFICATE_FRAME, 62}}) {
        cairo_surface_t* s = images.Get(e.id);
        ASSERT_NE(s, nullptr) << e.id;
        EXPECT_EQ(cairo_image_surface_get_width(s), e.size);
        EXPECT_EQ(cairo_image_surface_get_height(s), e.size);
        EXPECT_EQ(cairo_image_surface_get_format(s), CAIRO_FORMAT_ARGB32) << "the images keep their transparency";
        EXPECT_EQ(images.Get(e.id), s) << "decoded once";
        EXPECT_EQ(images.GetFailure(e.id), S_OK);
    }
    EXPECT_EQ(images.Get(104), nullptr);
    EXPECT_EQ(images.GetFailure(104), HRESULT_FROM_WIN32(ERROR_RESOURCE_NAME_NOT_FOUND));
}

TEST(PickerImages, BytesThatAreNoPngGiveNoImage)
{
    const BYTE junk[] = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A, 0, 0, 0, 13, 'I', 'H'};
    EXPECT_EQ(CPickerImages::Decode(junk, sizeof(junk)), nullptr);
    EXPECT_EQ(CPickerImages::Decode(junk, 0), nullptr);
    EXPECT_EQ(CPickerImages::Decode(nullptr, 8), nullptr);
}

// ---------------------------------------------------------------------------
// Canvas

class CanvasTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_surface = cairo_image_surface_create(CAIRO_FORMAT_RGB24, 200, 100);
        m_cr = cairo_create(m_surface);
        cairo_set_source_rgb(m_cr, 0, 0, 0);
        cairo_paint(m_cr);
    }
    void TearDown() override
    {
        cairo_destroy(m_cr);
        cairo_surface_destroy(m_surface);
    }

    PickerColour Pixel(int x, int y)
    {
        cairo_surface_flush(m_surface);
        const unsigned char* row = cairo_image_surface_get_data(m_surface) + y * cairo_image_surface_get_stride(m_surface);
        uint32_t v = reinterpret_cast<const uint32_t*>(row)[x];
        return PickerRgb(static_cast<BYTE>(v >> 16), static_cast<BYTE>(v >> 8), static_cast<BYTE>(v));
    }

    // The number of pixels of rc that are not black.
    int Inked(const PickerRect& rc)
    {
        int n = 0;
        for (int y = rc.top; y < rc.bottom; ++y)
            for (int x = rc.left; x < rc.right; ++x) n += Pixel(x, y) != 0 ? 1 : 0;
        return n;
    }

    cairo_surface_t* m_surface = nullptr;
    cairo_t* m_cr = nullptr;
    CPickerImages m_images{nullptr};
};

TEST_F(CanvasTest, FillsAndGradientsReachTheirEdgeColoursExactly)
{
    CCairoCanvas canvas(m_cr, m_images);
    canvas.FillRect(PickerRect{10, 10, 20, 20}, PickerRgb(255, 255, 255));
    EXPECT_EQ(Pixel(10, 10), PickerRgb(255, 255, 255));
    EXPECT_EQ(Pixel(19, 19), PickerRgb(255, 255, 255));
    EXPECT_EQ(Pixel(20, 20), 0u) << "right and bottom are exclusive";

    // The selected card's colours: the first and last rows are the two colours.
    const PickerColour top = PickerRgb(221, 236, 253), bottom = PickerRgb(194, 220, 253);
    canvas.GradientFill(PickerRect{1, 1, 199, 79}, top, bottom, PickerGradient::Vertical);
    EXPECT_EQ(Pixel(50, 1), top);
    EXPECT_EQ(Pixel(50, 78), bottom);
    EXPECT_EQ(Pixel(50, 79), 0u);
    EXPECT_EQ(Pixel(0, 40), 0u);
    PickerColour middle = Pixel(50, 40);
    EXPECT_LT(PickerRed(middle), 221);
    EXPECT_GT(PickerRed(middle), 194);
    EXPECT_EQ(Pixel(10, 40), middle) << "vertical: one colour per row";
}

TEST_F(CanvasTest, RoundedFrameDrawsOnlyTheOutline)
{
    CCairoCanvas canvas(m_cr, m_images);
    const PickerColour pen = PickerRgb(125, 182, 206);
    canvas.FrameRoundRect(PickerRect{0, 0, 200, 80}, 6, 6, pen);
    EXPECT_EQ(Pixel(100, 0), pen);
    EXPECT_EQ(Pixel(100, 79), pen);
    EXPECT_EQ(Pixel(0, 40), pen);
    EXPECT_EQ(Pixel(199, 40), pen);
    EXPECT_EQ(Pixel(100, 40), 0u) << "the inside is not painted";
    EXPECT_EQ(Pixel(100, 80), 0u) << "nothing outside the rectangle";
    EXPECT_NE(Pixel(0, 0), pen) << "the corners are rounded";
}

TEST_F(CanvasTest, TextIsMeasuredAsItIsDrawnAndClippedToItsBox)
{
    CCairoCanvas canvas(m_cr, m_images);
    PickerFont font = {TEXT("Microsoft YaHei"), 8, 20, 400};
    PickerSize one = canvas.MeasureText(font, TEXT("Alice"));
    PickerSize two = canvas.MeasureText(font, TEXT("Alice Alice"));
    EXPECT_GT(one.cx, 0);
    EXPECT_GT(two.cx, one.cx);
    EXPECT_GE(one.cy, 15);
    EXPECT_LE(one.cy, 32);
    // A narrower character width gives a narrower line.
    PickerFont narrow = {TEXT("Microsoft YaHei"), 4, 20, 400};
    EXPECT_LT(canvas.MeasureText(narrow, TEXT("Alice Alice")).cx, two.cx);

    canvas.DrawText(font, TEXT("Alice Alice"), PickerRect{0, 0, two.cx, two.cy}, PickerRgb(255, 255, 255),
                    PickerTextAlign::TopLeft, false);
    EXPECT_GT(Inked(PickerRect{0, 0, two.cx, two.cy}), 20);
    EXPECT_EQ(Inked(PickerRect{two.cx + 1, 0, 200, 100}), 0) << "nothing right of the measured box";

    // A box cut short clips the text at its right edge.
    cairo_set_source_rgb(m_cr, 0, 0, 0);
    cairo_paint(m_cr);
    canvas.DrawText(font, TEXT("Alice Alice"), PickerRect{0, 0, 20, two.cy}, PickerRgb(255, 255, 255),
                    PickerTextAlign::TopLeft, false);
    EXPECT_GT(Inked(PickerRect{0, 0, 20, two.cy}), 0);
    EXPECT_EQ(Inked(PickerRect{20, 0, 200, 100}), 0);
}

TEST_F(CanvasTest, ChineseTextIsDrawnWithAFallbackFont)
{
    CCairoCanvas canvas(m_cr, m_images);
    PickerFont font = {TEXT("Microsoft YaHei"), 8, 20, 400};
    PickerSize size = canvas.MeasureText(font, TEXT("选择证书"));
    canvas.DrawText(font, TEXT("选择证书"), PickerRect{0, 0, size.cx, size.cy}, PickerRgb(255, 255, 255),
                    PickerTextAlign::TopLeft, false);
    EXPECT_GT(Inked(PickerRect{0, 0, size.cx, size.cy}), 40);
    EXPECT_NE(CCairoCanvas::FamiliesForFace(TEXT("Microsoft YaHei")).find("Noto Sans CJK SC"), std::string::npos);
    EXPECT_NE(CCairoCanvas::FamiliesForFace(nullptr).find("DejaVu Sans"), std::string::npos);
}

TEST_F(CanvasTest, ImagesAreScaledIntoTheirSquareAndClipsNest)
{
    CCairoCanvas canvas(m_cr, m_images);
    PickerSize size = {};
    ASSERT_TRUE(canvas.GetImageSize(IDB_CERTIFICATE_FRAME, &size));
    EXPECT_EQ(size.cx, 62);
    EXPECT_FALSE(canvas.GetImageSize(104, &size));
    EXPECT_FALSE(canvas.DrawImage(104, PickerRect{0, 0, 48, 48}));

    ASSERT_TRUE(canvas.DrawImage(IDB_SYSTEM_CERTIFICATE, PickerRect{14, 14, 62, 62}));
    EXPECT_GT(Inked(PickerRect{14, 14, 62, 62}), 48 * 48 / 4);
    EXPECT_EQ(Inked(PickerRect{62, 0, 200, 100}), 0);
    EXPECT_EQ(Inked(PickerRect{0, 62, 62, 100}), 0);

    canvas.PushClip(PickerRect{100, 0, 150, 100});
    canvas.PushClip(PickerRect{120, 0, 200, 50});
    canvas.FillRect(PickerRect{0, 0, 200, 100}, PickerRgb(255, 0, 0));
    canvas.PopClip();
    canvas.PopClip();
    EXPECT_EQ(Inked(PickerRect{100, 0, 200, 100}), 30 * 50) << "only the intersection";
    canvas.FillRect(PickerRect{190, 90, 200, 100}, PickerRgb(0, 255, 0));
    EXPECT_EQ(Pixel(195, 95), PickerRgb(0, 255, 0)) << "the clips are gone after popping";
}

TEST_F(CanvasTest, ASelectedCardIsPaintedWithItsGradientIconAndText)
{
    CertificateItem item = {};
    const WString name = W(u"Alice Signer");
    std::copy(name.begin(), name.end(), item.wszDisplayName);
    const WString issuer = W(u"Issuer: npKeystrand");
    std::copy(issuer.begin(), issuer.end(), item.wszIssuer);
    {
        CCairoCanvas canvas(m_cr, m_images);
        PaintCard(canvas, item, 200, 80, CardState::Selected, true);
    }
    EXPECT_EQ(Pixel(190, 2), PickerRgb(221, 236, 253)) << "top of the selected gradient";
    EXPECT_EQ(Pixel(100, 0), PickerRgb(125, 182, 206)) << "selected border";
    EXPECT_NE(Pixel(38, 38), PickerRgb(221, 236, 253)) << "the icon sits in the card's square";
    EXPECT_EQ(Pixel(50, 90), 0u) << "nothing below the card";
}

TEST(PickerText, Utf16BecomesUtf8)
{
    EXPECT_EQ(PickerUtf8(TEXT("Alice")), "Alice");
    EXPECT_EQ(PickerUtf8(TEXT("张三")), "\xE5\xBC\xA0\xE4\xB8\x89");
    const WCHAR pair[] = {0xD83D, 0xDE00, 0};
    EXPECT_EQ(PickerUtf8(pair), "\xF0\x9F\x98\x80");
    const WCHAR lone[] = {'a', 0xD800, 'b', 0xDC00, 0};
    EXPECT_EQ(PickerUtf8(lone), "a\xEF\xBF\xBD" "b\xEF\xBF\xBD");
    EXPECT_EQ(PickerUtf8(nullptr), "");
}

}  // namespace

// Fontconfig keeps its caches until the process ends and never frees them; nothing of ours.
extern "C" __attribute__((visibility("default"), used)) const char* __lsan_default_suppressions()
{
    return "leak:libfontconfig.so\n";
}
