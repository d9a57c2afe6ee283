// The picker window's geometry, and dialog 101 as the library's resources hold it.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "unit/SelfModule.h"
#include "picker/DialogGeometry.h"
#include "plugin/Module.h"

namespace {

using WString = std::basic_string<WCHAR>;

using npk::test::SelfModule;

// Reads an extended dialog template (DLGTEMPLATEEX and its DLGITEMTEMPLATEEX entries).
class TemplateReader {
public:
    TemplateReader(const BYTE* p, size_t size) : m_base(p), m_size(size) {}
    bool ok() const { return m_ok; }
    WORD Word() { return static_cast<WORD>(Read(2)); }
    DWORD Dword() { return static_cast<DWORD>(Read(4)); }
    short Short() { return static_cast<short>(Word()); }
    // A name or ordinal: 0 (none), 0xFFFF ordinal, or a NUL-terminated UTF-16 text.
    WString SzOrOrd()
    {
        WString s;
        WORD w = Word();
        if (w == 0xFFFF) {
            Word();
            return s;
        }
        while (m_ok && w != 0) {
            s.push_back(static_cast<WCHAR>(w));
            w = Word();
        }
        return s;
    }
    void AlignDword() { m_offset = (m_offset + 3) & ~static_cast<size_t>(3); }
    void Skip(size_t n) { m_offset += n; }

private:
    unsigned long long Read(size_t n)
    {
        if (m_offset + n > m_size) {
            m_ok = false;
            return 0;
        }
        unsigned long long v = 0;
        for (size_t i = 0; i < n; ++i) v |= static_cast<unsigned long long>(m_base[m_offset + i]) << (8 * i);
        m_offset += n;
        return v;
    }
    const BYTE* m_base;
    size_t m_size;
    size_t m_offset = 0;
    bool m_ok = true;
};

struct DialogControl {
    DWORD style;
    DWORD exStyle;
    DialogUnitRect rc;
    DWORD id;
    WString text;
};

struct DialogTemplate {
    DWORD style;
    DialogUnitRect rc;
    WString caption;
    WORD pointSize;
    WString face;
    std::vector<DialogControl> controls;
};

bool ReadDialog101(LANGID language, DialogTemplate* out)
{
    HMODULE module = SelfModule();
    HRSRC res = FindResourceExW(module, RT_DIALOG, MAKEINTRESOURCEW(101), language);
    if (res == NULL) return false;
    const BYTE* p = static_cast<const BYTE*>(LockResource(LoadResource(module, res)));
    TemplateReader r(p, SizeofResource(module, res));
    if (r.Word() != 1 || r.Word() != 0xFFFF) return false;
    r.Dword();  // help id
    r.Dword();  // extended style
    out->style = r.Dword();
    WORD count = r.Word();
    out->rc = {r.Short(), r.Short(), r.Short(), r.Short()};
    r.SzOrOrd();  // menu
    r.SzOrOrd();  // class
    out->caption = r.SzOrOrd();
    out->pointSize = r.Word();
    r.Word();  // weight
    r.Skip(2);  // italic, character set
    out->face = r.SzOrOrd();
    for (WORD i = 0; i < count; ++i) {
        r.AlignDword();
        DialogControl c;
        r.Dword();  // help id
        c.exStyle = r.Dword();
        c.style = r.Dword();
        c.rc = {r.Short(), r.Short(), r.Short(), r.Short()};
        c.id = r.Dword();
        r.SzOrOrd();  // class
        c.text = r.SzOrOrd();
        WORD extra = r.Word();
        r.Skip(extra);
        out->controls.push_back(c);
    }
    return r.ok();
}

void ExpectUnits(const DialogUnitRect& a, const DialogUnitRect& b)
{
    EXPECT_EQ(a.x, b.x);
    EXPECT_EQ(a.y, b.y);
    EXPECT_EQ(a.cx, b.cx);
    EXPECT_EQ(a.cy, b.cy);
}

}  // namespace

TEST(PickerGeometry, CardsShownForEachScreen)
{
    EXPECT_EQ(VisibleCardCount(1080, 10), 7);
    EXPECT_EQ(VisibleCardCount(1080, 3), 3);
    EXPECT_EQ(VisibleCardCount(768, 10), 3);
    EXPECT_EQ(VisibleCardCount(768, 2), 2);
    EXPECT_EQ(VisibleCardCount(1080, 0), 0);
    // A screen too small for the rule still shows one card rather than a negative list.
    EXPECT_EQ(VisibleCardCount(480, 5), 1);
    EXPECT_EQ(VisibleCardCount(579, 5), 1);
}

TEST(PickerGeometry, WindowGrowsByTheListAndIsCentred)
{
    AdjustWindowInput in = {};
    in.nScreenHeight = 1080;
    in.nFrameHeight = 3;
    in.nMenuHeight = 19;
    in.nCertificates = 10;
    in.rcDialog = {100, 200, 523, 735};
    in.rcList = {126, 290, 508, 719};        // 429 high
    in.rcOk = {361, 727, 436, 750};
    in.rcCancel = {444, 727, 519, 750};
    AdjustWindowResult out = AdjustWindowSize(in);
    EXPECT_EQ(out.nVisibleCards, 7);
    EXPECT_EQ(out.nListHeight, 7 * 80 + 6);
    int d = 566 - 429;
    EXPECT_EQ(out.nHeightChange, d);
    EXPECT_EQ(out.rcDialog.left, 100);
    EXPECT_EQ(out.rcDialog.right, 523);
    EXPECT_EQ(out.rcDialog.Height(), 535 + d);
    EXPECT_EQ(out.rcDialog.top, (1080 - (535 + d)) / 2);
    EXPECT_EQ(out.rcOk.left, 361 - 100 - 3);
    EXPECT_EQ(out.rcOk.top, 727 + d - 200 - 19);
    EXPECT_EQ(out.rcOk.Width(), 75);
    EXPECT_EQ(out.rcOk.Height(), 23);
    EXPECT_EQ(out.rcCancel.left, 444 - 100 - 3);
    EXPECT_EQ(out.rcCancel.top, out.rcOk.top);

    // Fewer cards than fit: the window shrinks and the buttons move up.
    in.nScreenHeight = 768;
    in.nCertificates = 2;
    out = AdjustWindowSize(in);
    EXPECT_EQ(out.nListHeight, 166);
    EXPECT_LT(out.nHeightChange, 0);
    EXPECT_EQ(out.rcDialog.top, (768 - out.rcDialog.Height()) / 2);
    EXPECT_EQ(out.rcOk.top, 727 + out.nHeightChange - 200 - 19);
}

TEST(PickerGeometry, DialogUnitsMapLikeMapDialogRect)
{
    PickerRect dlg = DialogUnitsToPixels(kPickerDialogUnits);
    EXPECT_EQ(dlg.Width(), 423);
    EXPECT_EQ(dlg.Height(), 535);
    PickerRect list = DialogUnitsToPixels(kPickerListUnits);
    EXPECT_EQ(list.left, 20);  // 13 * 6 / 4 = 19.5, rounded
    EXPECT_EQ(list.top, 60);   // 37 * 13 / 8 = 60.1
    PickerRect line = DialogUnitsToPixels(kPickerSeparatorUnits);
    EXPECT_GE(line.Height(), 1) << "the separator stays visible";
    PickerRect big = DialogUnitsToPixels(kPickerDialogUnits, 8, 16);
    EXPECT_EQ(big.Width(), 564);
    EXPECT_EQ(big.Height(), 658);
}

TEST(PickerGeometry, ResourceDialogMatchesTheLayout)
{
    DialogTemplate dlg;
    ASSERT_TRUE(ReadDialog101(MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), &dlg));
    ExpectUnits(dlg.rc, kPickerDialogUnits);
    EXPECT_EQ(dlg.caption, WString(TEXT("Windows Security")));
    EXPECT_EQ(dlg.face, WString(TEXT("MS Shell Dlg")));
    EXPECT_EQ(dlg.pointSize, 8);
    // Popup, caption, system menu, clip children and siblings, modal frame, centred, set-foreground.
    const DWORD required = 0x80000000 | 0x00C00000 | 0x00080000 | 0x02000000 | 0x04000000 | 0x80 | 0x800 | 0x200;
    EXPECT_EQ(dlg.style & required, required);
    ASSERT_EQ(dlg.controls.size(), 4u);
    EXPECT_EQ(dlg.controls[0].id, 1u);
    EXPECT_EQ(dlg.controls[0].text, WString(TEXT("OK")));
    EXPECT_EQ(dlg.controls[0].style & 0xF, 1u) << "OK is the default button";
    ExpectUnits(dlg.controls[0].rc, kPickerOkUnits);
    EXPECT_EQ(dlg.controls[1].id, 2u);
    EXPECT_EQ(dlg.controls[1].text, WString(TEXT("Cancel")));
    ExpectUnits(dlg.controls[1].rc, kPickerCancelUnits);
    EXPECT_EQ(dlg.controls[2].id, static_cast<DWORD>(PICKER_IDC_CERTIFICATE_LIST));
    // Owner-drawn variable, notify, no integral height, vertical scroll bar, tab stop.
    const DWORD list = 0x20 | 0x1 | 0x100 | 0x00200000 | 0x00010000;
    EXPECT_EQ(dlg.controls[2].style & list, list);
    ExpectUnits(dlg.controls[2].rc, kPickerListUnits);
    EXPECT_EQ(dlg.controls[3].id, 0xFFFFFFFFu);
    EXPECT_EQ(dlg.controls[3].style & 0x1F, 7u) << "a black frame";
    EXPECT_EQ(dlg.controls[3].exStyle & 0x20000, 0x20000u) << "with a static edge";
    ExpectUnits(dlg.controls[3].rc, kPickerSeparatorUnits);
}

TEST(PickerGeometry, ChineseDialogHasTheSameLayout)
{
    DialogTemplate en, zh;
    ASSERT_TRUE(ReadDialog101(MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), &en));
    ASSERT_TRUE(ReadDialog101(MAKELANGID(LANG_CHINESE, SUBLANG_CHINESE_SIMPLIFIED), &zh));
    EXPECT_EQ(zh.caption, WString(TEXT("Windows 安全")));
    ASSERT_EQ(zh.controls.size(), en.controls.size());
    EXPECT_EQ(zh.controls[0].text, WString(TEXT("确定")));
    EXPECT_EQ(zh.controls[1].text, WString(TEXT("取消")));
    ExpectUnits(zh.rc, en.rc);
    for (size_t i = 0; i < en.controls.size(); ++i) {
        ExpectUnits(zh.controls[i].rc, en.controls[i].rc);
        EXPECT_EQ(zh.controls[i].style, en.controls[i].style);
    }
}

TEST(PickerGeometry, CardImagesArePngResourcesOfTheirSizes)
{
    struct Image {
        UINT id;
        DWORD width, height;
    } images[] = {{105, 128, 128}, {106, 128, 128}, {107, 62, 62}};
    HMODULE module = SelfModule();
    for (const Image& image : images) {
        SCOPED_TRACE(image.id);
        HRSRC res = FindResourceW(module, MAKEINTRESOURCEW(image.id), TEXT("PNG"));
        ASSERT_NE(res, nullptr);
        DWORD size = SizeofResource(module, res);
        ASSERT_GT(size, 33u);
        const BYTE* p = static_cast<const BYTE*>(LockResource(LoadResource(module, res)));
        ASSERT_NE(p, nullptr);
        EXPECT_EQ(std::memcmp(p, "\x89PNG\r\n\x1a\n", 8), 0);
        EXPECT_EQ(std::memcmp(p + 12, "IHDR", 4), 0);
        DWORD w = (DWORD(p[16]) << 24) | (DWORD(p[17]) << 16) | (DWORD(p[18]) << 8) | p[19];
        DWORD h = (DWORD(p[20]) << 24) | (DWORD(p[21]) << 16) | (DWORD(p[22]) << 8) | p[23];
        EXPECT_EQ(w, image.width);
        EXPECT_EQ(h, image.height);
        EXPECT_EQ(p[24], 8) << "8 bits per channel";
        EXPECT_EQ(p[25], 6) << "RGBA, for the frame's transparent middle";
    }
    EXPECT_EQ(FindResourceW(module, MAKEINTRESOURCEW(108), TEXT("PNG")), nullptr);
}
