// A bounded reader of the extended dialog template layout.
#include "picker/gtk/DialogTemplate.h"

#include "agent/ErrorCodes.h"

namespace {

class TemplateReader {
public:
    TemplateReader(const BYTE* pbData, DWORD cbData) : m_pb(pbData), m_cb(cbData), m_pos(0), m_ok(true) {}

    bool Ok() const { return m_ok; }

    DWORD Read(DWORD cbSize)
    {
        if (!m_ok || m_cb - m_pos < cbSize) {
            m_ok = false;
            return 0;
        }
        DWORD value = 0;
        for (DWORD i = 0; i < cbSize; ++i) value |= static_cast<DWORD>(m_pb[m_pos + i]) << (8 * i);
        m_pos += cbSize;
        return value;
    }
    WORD Word() { return static_cast<WORD>(Read(2)); }
    DWORD Dword() { return Read(4); }

    // A zero-terminated UTF-16 string.
    std::basic_string<WCHAR> String()
    {
        std::basic_string<WCHAR> s;
        for (;;) {
            WORD c = Word();
            if (!m_ok || c == 0) break;
            s += static_cast<WCHAR>(c);
        }
        return s;
    }

    // A string or 0xFFFF followed by an ordinal; an ordinal gives an empty string.
    std::basic_string<WCHAR> StringOrOrdinal()
    {
        if (!m_ok || m_cb - m_pos < 2) {
            m_ok = false;
            return {};
        }
        if (m_pb[m_pos] == 0xFF && m_pb[m_pos + 1] == 0xFF) {
            Word();
            Word();
            return {};
        }
        return String();
    }

    void Skip(DWORD cbSize)
    {
        if (!m_ok || m_cb - m_pos < cbSize) {
            m_ok = false;
            return;
        }
        m_pos += cbSize;
    }

    void AlignDword()
    {
        DWORD pad = (4 - (m_pos & 3)) & 3;
        // The last item may end without its padding.
        if (m_cb - m_pos < pad) pad = m_cb - m_pos;
        m_pos += pad;
    }

private:
    const BYTE* m_pb;
    DWORD m_cb;
    DWORD m_pos;
    bool m_ok;
};

constexpr DWORD kDsSetFont = 0x40;     // DS_SETFONT
constexpr DWORD kDsShellFont = 0x48;   // DS_SHELLFONT = DS_SETFONT | DS_FIXEDSYS

}  // namespace

HRESULT ParseDialogTemplateEx(const BYTE* pbData, DWORD cbData, DialogTemplateTexts* pTexts)
{
    if (pbData == NULL || pTexts == NULL) return E_INVALIDARG;
    TemplateReader r(pbData, cbData);
    DialogTemplateTexts texts;
    const WORD dlgVer = r.Word();
    const WORD signature = r.Word();
    if (!r.Ok() || dlgVer != 1 || signature != 0xFFFF) return E_INVALIDARG;
    r.Dword();  // help id
    r.Dword();  // extended style
    const DWORD style = r.Dword();
    const WORD cItems = r.Word();
    r.Skip(8);  // x, y, cx, cy
    r.StringOrOrdinal();  // menu
    r.StringOrOrdinal();  // window class
    texts.caption = r.String();
    if ((style & kDsSetFont) != 0 || (style & kDsShellFont) == kDsShellFont) {
        r.Word();  // point size
        r.Word();  // weight
        r.Skip(2);  // italic, character set
        r.String();  // typeface
    }
    for (WORD i = 0; i < cItems && r.Ok(); ++i) {
        r.AlignDword();
        r.Dword();  // help id
        r.Dword();  // extended style
        r.Dword();  // style
        r.Skip(8);  // x, y, cx, cy
        const int id = static_cast<int>(r.Dword());
        r.StringOrOrdinal();  // class
        std::basic_string<WCHAR> title = r.StringOrOrdinal();
        const WORD cbExtra = r.Word();
        r.Skip(cbExtra);
        if (!r.Ok()) break;
        if (!title.empty()) texts.controlTexts[id] = title;
        ++texts.nControls;
    }
    if (!r.Ok()) return E_INVALIDARG;
    *pTexts = std::move(texts);
    return S_OK;
}

HRESULT LoadDialogTemplateTexts(HINSTANCE hModule, UINT uDialogId, DialogTemplateTexts* pTexts)
{
    HRSRC hInfo = FindResourceW(hModule, MAKEINTRESOURCEW(uDialogId), RT_DIALOG);
    if (hInfo == NULL) return HResultFromFailedCall();
    const DWORD cbData = SizeofResource(hModule, hInfo);
    HGLOBAL hData = LoadResource(hModule, hInfo);
    if (hData == NULL) return HResultFromFailedCall();
    const BYTE* pbData = static_cast<const BYTE*>(LockResource(hData));
    HRESULT hr = ParseDialogTemplateEx(pbData, cbData, pTexts);
    FreeResource(hData);
    return hr;
}
