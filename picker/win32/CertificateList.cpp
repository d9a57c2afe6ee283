// CCertificateList: the owner-drawn card list of the certificate picker.
#include "picker/win32/CertificateList.h"

#include <strsafe.h>

#include <cstring>

#include "agent/ErrorCodes.h"
#include "picker/CardPainter.h"
#include "picker/DialogGeometry.h"
#include "picker/win32/GdiCanvas.h"
#include "resources/resource.h"
#include "trace/Trace.h"

namespace {

const WCHAR kListProperty[] = TEXT("NpkCertificateList");

// The viewer's parameter block as cryptui.dll reads it (72 bytes in the 32-bit library).
struct ViewCertificateStruct {
    DWORD dwSize;
    HWND hwndParent;
    DWORD dwFlags;
    LPCWSTR szTitle;
    PCCERT_CONTEXT pCertContext;
    LPCSTR* rgszPurposes;
    DWORD cPurposes;
    HANDLE hWVTStateData;
    BOOL fpCryptProviderDataTrustedUsage;
    DWORD idxSigner;
    DWORD idxCert;
    BOOL fCounterSigner;
    DWORD idxCounterSigner;
    DWORD cStores;
    HCERTSTORE* rghStores;
    DWORD cPropSheetPages;
    const void* rgPropSheetPages;
    DWORD nStartPage;
};
static_assert(sizeof(void*) != 4 || sizeof(ViewCertificateStruct) == 72, "the viewer reads 72 bytes");
static_assert(sizeof(void*) != 4 || sizeof(TOOLINFOW) == 48, "the tooltip is told of 48 bytes");

typedef BOOL(WINAPI* ViewCertificateProc)(const ViewCertificateStruct*, BOOL*);

// The platform's certificate viewer, modal over the parent. cryptui.dll is loaded when first
// needed: the library should not depend on it at load time.
void ViewCertificate(HWND hWndParent, PCCERT_CONTEXT pCert)
{
    static HMODULE s_hCryptUI = NULL;
    static ViewCertificateProc s_pfnView = NULL;
    if (s_pfnView == NULL) {
        if (s_hCryptUI == NULL) s_hCryptUI = LoadLibraryW(TEXT("cryptui.dll"));
        if (s_hCryptUI == NULL) {
            TraceStepEx(HResultFromFailedCall(), TEXT("CCertificateList::OnLButtonDblClk"), TEXT("LoadLibrary"));
            return;
        }
        s_pfnView = reinterpret_cast<ViewCertificateProc>(
            reinterpret_cast<void*>(GetProcAddress(s_hCryptUI, "CryptUIDlgViewCertificateW")));
        if (s_pfnView == NULL) {
            TraceStepEx(HResultFromFailedCall(), TEXT("CCertificateList::OnLButtonDblClk"), TEXT("GetProcAddress"));
            return;
        }
    }
    ViewCertificateStruct view = {};
    view.dwSize = sizeof(view);
    view.hwndParent = hWndParent;
    view.pCertContext = pCert;
    BOOL fPropertiesChanged = FALSE;
    s_pfnView(&view, &fPropertiesChanged);
}

void TraceListStep(HRESULT hr, LPCWSTR pwszFunction, LPCWSTR pwszStep)
{
    TraceStepEx(hr, pwszFunction, pwszStep);
}

}  // namespace

CCertificateList::CCertificateList()
    : m_hWnd(NULL), m_pfnPreviousProc(NULL), m_hInstance(NULL), m_bNewerSystem(false), m_hWndTooltip(NULL),
      m_bTracking(false)
{
}

CCertificateList::~CCertificateList()
{
    UnsubclassWindow();
    ReleaseImages();
}

void CCertificateList::ReleaseImages()
{
    m_systemImage.Release();
    m_keyImage.Release();
    m_frameImage.Release();
}

bool CCertificateList::SubclassWindow(HWND hWnd)
{
    if (hWnd == NULL || m_hWnd != NULL) return false;
    if (!SetPropW(hWnd, kListProperty, this)) return false;
    m_pfnPreviousProc = reinterpret_cast<WNDPROC>(
        SetWindowLongPtrW(hWnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&CCertificateList::WindowProc)));
    if (m_pfnPreviousProc == NULL) {
        RemovePropW(hWnd, kListProperty);
        return false;
    }
    m_hWnd = hWnd;
    return true;
}

void CCertificateList::UnsubclassWindow()
{
    if (m_hWnd == NULL) return;
    SetWindowLongPtrW(m_hWnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(m_pfnPreviousProc));
    RemovePropW(m_hWnd, kListProperty);
    m_hWnd = NULL;
    m_pfnPreviousProc = NULL;
    // The tooltip is a child of the list and goes with it.
    m_hWndTooltip = NULL;
    m_bTracking = false;
}

HRESULT CCertificateList::Initialize(HINSTANCE hInstance, bool bNewerSystem, std::vector<CertificateItem> items)
{
    TraceHelper trace("CCertificateList::Initialize");
    const WCHAR kName[] = TEXT("CCertificateList::Initialize");
    m_bNewerSystem = bNewerSystem;
    m_hInstance = hInstance;
    ReleaseImages();

    HRESULT hr = LoadImageFromResource(hInstance, IDB_SYSTEM_CERTIFICATE, &m_systemImage);
    TraceListStep(hr, kName, TEXT("LoadImageFromResource (System certificate)"));
    if (FAILED(hr)) return hr;
    hr = LoadImageFromResource(hInstance, IDB_KEY_CERTIFICATE, &m_keyImage);
    TraceListStep(hr, kName, TEXT("LoadImageFromResource (Key certificate)"));
    if (FAILED(hr)) return hr;
    hr = LoadImageFromResource(hInstance, IDB_CERTIFICATE_FRAME, &m_frameImage);
    TraceListStep(hr, kName, TEXT("LoadImageFromResource (Certificate frame)"));
    if (FAILED(hr)) return hr;

    m_items = std::move(items);

    // The dialog's modal loop runs in the library's activation context, so this is the
    // version 6 tooltip of the manifest.
    m_hWndTooltip = CreateWindowExW(0, TOOLTIPS_CLASSW, NULL, 0, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT,
                                    CW_USEDEFAULT, m_hWnd, NULL, hInstance, NULL);
    if (m_hWndTooltip == NULL) {
        // Cards without a tooltip are still cards: the list works on.
        TraceListStep(HResultFromFailedCall(), kName, TEXT("CreateWindowEx (Tooltip)"));
        return S_OK;
    }
    WCHAR wszEmpty[1] = {0};
    TOOLINFOW info;
    FillToolInfo(&info, wszEmpty);
    SendMessageW(m_hWndTooltip, TTM_ADDTOOLW, 0, reinterpret_cast<LPARAM>(&info));
    SendMessageW(m_hWndTooltip, TTM_ACTIVATE, TRUE, 0);
    return S_OK;
}

void CCertificateList::FillToolInfo(TOOLINFOW* pInfo, LPWSTR pwszText) const
{
    std::memset(pInfo, 0, sizeof(*pInfo));
    // The whole structure, lpReserved included: 48 bytes in the 32-bit build.
    pInfo->cbSize = sizeof(TOOLINFOW);
    pInfo->uFlags = TTF_IDISHWND;
    pInfo->hwnd = GetParent(m_hWnd);
    pInfo->uId = reinterpret_cast<UINT_PTR>(m_hWnd);
    pInfo->hinst = m_hInstance;
    pInfo->lpszText = pwszText;
}

HRESULT CCertificateList::LoadImageFromResource(HINSTANCE hInstance, UINT uResourceId, PickerImage* pImage)
{
    TraceHelper trace("LoadImageFromResource");
    const WCHAR kName[] = TEXT("LoadImageFromResource");
    HRSRC hResource = FindResourceW(hInstance, MAKEINTRESOURCEW(uResourceId), TEXT("PNG"));
    if (hResource == NULL) {
        HRESULT hr = HResultFromFailedCall();
        TraceListStep(hr, kName, TEXT("FindResource"));
        return hr;
    }
    DWORD cbResource = SizeofResource(hInstance, hResource);
    if (cbResource == 0) {
        HRESULT hr = HResultFromFailedCall();
        TraceListStep(hr, kName, TEXT("SizeofResource"));
        return hr;
    }
    HGLOBAL hData = LoadResource(hInstance, hResource);
    const BYTE* pbData = hData != NULL ? static_cast<const BYTE*>(LockResource(hData)) : NULL;
    if (pbData == NULL) {
        HRESULT hr = HResultFromFailedCall();
        TraceListStep(hr, kName, TEXT("LoadResource"));
        return hr;
    }
    HRESULT hr = LoadImageFromData(pbData, cbResource, pImage);
    TraceListStep(hr, kName, TEXT("LoadImageFromData"));
    FreeResource(hData);
    return hr;
}

HRESULT CCertificateList::LoadImageFromData(const BYTE* pbData, DWORD cbData, PickerImage* pImage)
{
    TraceHelper trace("LoadImageFromData");
    const WCHAR kName[] = TEXT("LoadImageFromData");
    if (pbData == NULL || cbData == 0 || pImage == NULL) {
        TraceListStep(E_INVALIDARG, kName, TEXT("Check parameter"));
        return E_INVALIDARG;
    }
    pImage->Release();
    HGLOBAL hMemory = GlobalAlloc(GMEM_FIXED, cbData);
    if (hMemory == NULL) {
        HRESULT hr = HResultFromFailedCall();
        TraceListStep(hr, kName, TEXT("GlobalAlloc"));
        return hr;
    }
    void* pvMemory = GlobalLock(hMemory);
    if (pvMemory == NULL) {
        HRESULT hr = HResultFromFailedCall();
        TraceListStep(hr, kName, TEXT("GlobalLock"));
        GlobalFree(hMemory);
        return hr;
    }
    std::memcpy(pvMemory, pbData, cbData);
    IStream* pStream = NULL;
    HRESULT hr = CreateStreamOnHGlobal(hMemory, FALSE, &pStream);
    if (FAILED(hr)) {
        TraceListStep(hr, kName, TEXT("CreateStreamOnHGlobal"));
        GlobalUnlock(hMemory);
        GlobalFree(hMemory);
        return hr;
    }
    // The decoding status stays in the image; drawing skips an image that did not decode.
    Gdiplus::Image* pDecoded = new Gdiplus::Image(pStream);
    pStream->Release();
    GlobalUnlock(hMemory);
    if (pDecoded == NULL) {
        TraceListStep(E_POINTER, kName, TEXT("FromStream"));
        GlobalFree(hMemory);
        return E_POINTER;
    }
    pImage->pImage = pDecoded;
    pImage->hMemory = hMemory;
    return S_OK;
}

int CCertificateList::HitTestCursor() const
{
    if (m_hWnd == NULL) return -1;
    POINT pt;
    if (!GetCursorPos(&pt) || !ScreenToClient(m_hWnd, &pt)) return -1;
    LRESULT nCount = SendMessageW(m_hWnd, LB_GETCOUNT, 0, 0);
    for (LRESULT i = 0; i < nCount; ++i) {
        RECT rc;
        if (SendMessageW(m_hWnd, LB_GETITEMRECT, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(&rc)) == LB_ERR)
            continue;
        if (PtInRect(&rc, pt)) return static_cast<int>(i);
    }
    return -1;
}

LRESULT CALLBACK CCertificateList::WindowProc(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam)
{
    CCertificateList* pThis = static_cast<CCertificateList*>(GetPropW(hWnd, kListProperty));
    if (pThis == NULL) return DefWindowProcW(hWnd, uMsg, wParam, lParam);
    WNDPROC pfnPrevious = pThis->m_pfnPreviousProc;
    switch (uMsg) {
    case WM_MOUSEMOVE:
        pThis->OnMouseMove(uMsg, wParam, lParam);
        return CallWindowProcW(pfnPrevious, hWnd, uMsg, wParam, lParam);
    case WM_LBUTTONDBLCLK:
        pThis->OnLButtonDblClk();
        return CallWindowProcW(pfnPrevious, hWnd, uMsg, wParam, lParam);
    case WM_MOUSELEAVE:
        pThis->OnMouseLeave();
        return CallWindowProcW(pfnPrevious, hWnd, uMsg, wParam, lParam);
    case OCM_DRAWITEM:
        return pThis->OnDrawItem(reinterpret_cast<const DRAWITEMSTRUCT*>(lParam));
    case OCM_MEASUREITEM:
        return pThis->OnMeasureItem(reinterpret_cast<MEASUREITEMSTRUCT*>(lParam));
    case WM_NCDESTROY:
        // The window goes: give it back its own procedure before it is gone.
        pThis->UnsubclassWindow();
        return CallWindowProcW(pfnPrevious, hWnd, uMsg, wParam, lParam);
    default:
        break;
    }
    if (uMsg >= OCM__BASE && uMsg < OCM__BASE + 0x1000) {
        return DefWindowProcW(hWnd, uMsg - OCM__BASE, wParam, lParam);
    }
    return CallWindowProcW(pfnPrevious, hWnd, uMsg, wParam, lParam);
}

LRESULT CCertificateList::OnMouseMove(UINT uMsg, WPARAM wParam, LPARAM lParam)
{
    if (!m_bTracking) {
        TRACKMOUSEEVENT tme = {};
        tme.cbSize = sizeof(tme);
        tme.dwFlags = TME_LEAVE;
        tme.hwndTrack = m_hWnd;
        tme.dwHoverTime = 0;
        if (TrackMouseEvent(&tme)) m_bTracking = true;
    }
    if (m_hWndTooltip != NULL) {
        MSG msg = {};
        msg.hwnd = m_hWnd;
        msg.message = uMsg;
        msg.wParam = wParam;
        msg.lParam = lParam;
        msg.time = GetMessageTime();
        DWORD dwPos = GetMessagePos();
        msg.pt.x = static_cast<short>(LOWORD(dwPos));
        msg.pt.y = static_cast<short>(HIWORD(dwPos));
        SendMessageW(m_hWndTooltip, TTM_RELAYEVENT, 0, reinterpret_cast<LPARAM>(&msg));
    }
    InvalidateRect(m_hWnd, NULL, FALSE);
    return 0;
}

LRESULT CCertificateList::OnMouseLeave()
{
    TraceHelper trace("CCertificateList::OnMouseLeave");
    m_bTracking = false;
    InvalidateRect(m_hWnd, NULL, FALSE);
    return 0;
}

LRESULT CCertificateList::OnLButtonDblClk()
{
    TraceHelper trace("CCertificateList::OnLButtonDblClk");
    int nIndex = HitTestCursor();
    if (TraceIsOn(TRACE_INFORMATION)) {
        WCHAR wszStep[64];
        StringCchPrintfW(wszStep, ARRAYSIZE(wszStep), TEXT("HitTestCursor (%d)"), nIndex);
        TraceStepEx(S_OK, TEXT("CCertificateList::OnLButtonDblClk"), wszStep);
    }
    if (nIndex < 0 || static_cast<size_t>(nIndex) >= m_items.size()) return 0;
    ViewCertificate(m_hWnd, m_items[nIndex].pCertContext);
    return 0;
}

LRESULT CCertificateList::OnMeasureItem(MEASUREITEMSTRUCT* pMeasure)
{
    TraceHelper trace("CCertificateList::OnMeasureItem");
    if (pMeasure != NULL) pMeasure->itemHeight = PICKER_CARD_HEIGHT;
    return 0;
}

LRESULT CCertificateList::OnDrawItem(const DRAWITEMSTRUCT* pDraw)
{
    // A request that names no card (an empty list's focus rectangle) draws nothing.
    if (pDraw == NULL || pDraw->itemID == static_cast<UINT>(-1) || pDraw->itemID >= m_items.size()) return 0;
    const CertificateItem& item = m_items[pDraw->itemID];
    int w = pDraw->rcItem.right - pDraw->rcItem.left;
    int h = pDraw->rcItem.bottom - pDraw->rcItem.top;
    if (w <= 0 || h <= 0) return 0;

    HDC hdcMem = CreateCompatibleDC(pDraw->hDC);
    HBITMAP hBitmap = hdcMem != NULL ? CreateCompatibleBitmap(pDraw->hDC, w, h) : NULL;
    if (hBitmap == NULL) {
        if (hdcMem != NULL) DeleteDC(hdcMem);
        return 0;
    }
    HGDIOBJ hOldBitmap = SelectObject(hdcMem, hBitmap);

    int nHovered = HitTestCursor();
    bool bHovered = nHovered == static_cast<int>(pDraw->itemID);
    CardState state = CardStateFor((pDraw->itemState & ODS_SELECTED) != 0, bHovered);
    {
        const PickerImage* images[] = {&m_systemImage, &m_keyImage, &m_frameImage};
        CGdiCanvas canvas(hdcMem, images, 3);
        PaintCard(canvas, item, w, h, state, m_bNewerSystem);
    }
    BitBlt(pDraw->hDC, pDraw->rcItem.left, pDraw->rcItem.top, w, h, hdcMem, 0, 0, SRCCOPY);
    SelectObject(hdcMem, hOldBitmap);
    DeleteObject(hBitmap);
    DeleteDC(hdcMem);

    if (bHovered && m_hWndTooltip != NULL) {
        // Only a change of card changes the tip, so moving within a card does not resend it.
        WCHAR wszCurrent[256] = {};
        TOOLINFOW info;
        FillToolInfo(&info, wszCurrent);
        SendMessageW(m_hWndTooltip, TTM_GETTEXTW, ARRAYSIZE(wszCurrent), reinterpret_cast<LPARAM>(&info));
        if (lstrcmpW(wszCurrent, item.wszDisplayName) != 0) {
            WCHAR wszName[CERTIFICATE_ITEM_NAME_CHARS];
            StringCchCopyW(wszName, ARRAYSIZE(wszName), item.wszDisplayName);
            FillToolInfo(&info, wszName);
            SendMessageW(m_hWndTooltip, TTM_UPDATETIPTEXTW, 0, reinterpret_cast<LPARAM>(&info));
        }
    }
    return 0;
}
