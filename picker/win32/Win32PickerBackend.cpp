// The certificate picker on Windows: dialog 101 run modally with USER32, in the library's
// activation context so that the version 6 common controls of its manifest draw it.
#include <windows.h>
#include <commctrl.h>
#include <objbase.h>

#include <memory>

#include "agent/ErrorCodes.h"
#include "picker/CardPainter.h"
#include "picker/DialogGeometry.h"
#include "picker/PickerBackend.h"
#include "picker/SelectCertificateDialog.h"
#include "picker/win32/CertificateList.h"
#include "picker/win32/GdiCanvas.h"
#include "resources/resource.h"
#include "trace/Trace.h"

namespace {

const int kAnchor = 0;

// The module these sources are linked into: dialog 101 and the manifest are its resources.
HINSTANCE ThisModule()
{
    HMODULE hModule = NULL;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<LPCWSTR>(&kAnchor), &hModule);
    return hModule;
}

// The activation context of the library's manifest (resource 2), found once: the one the
// loader made for the library, else one made from the library's file. INVALID_HANDLE_VALUE
// when there is none.
HANDLE LibraryActivationContext()
{
    static bool s_bLooked = false;
    static HANDLE s_hContext = INVALID_HANDLE_VALUE;
    if (s_bLooked) return s_hContext;
    s_bLooked = true;
    HINSTANCE hModule = ThisModule();
    ACTIVATION_CONTEXT_BASIC_INFORMATION info = {};
    if (QueryActCtxW(QUERY_ACTCTX_FLAG_ACTCTX_IS_HMODULE | QUERY_ACTCTX_FLAG_NO_ADDREF, hModule, NULL,
                     ActivationContextBasicInformation, &info, sizeof(info), NULL) &&
        info.hActCtx != NULL) {
        s_hContext = info.hActCtx;
        return s_hContext;
    }
    WCHAR wszPath[MAX_PATH] = {};
    if (GetModuleFileNameW(hModule, wszPath, MAX_PATH) == 0) return s_hContext;
    ACTCTXW ctx = {};
    ctx.cbSize = sizeof(ctx);
    ctx.dwFlags = ACTCTX_FLAG_HMODULE_VALID | ACTCTX_FLAG_RESOURCE_NAME_VALID;
    ctx.lpSource = wszPath;
    ctx.hModule = hModule;
    ctx.lpResourceName = MAKEINTRESOURCEW(NPK_MANIFEST_RESOURCE_ID);
    HANDLE hContext = CreateActCtxW(&ctx);
    if (hContext == INVALID_HANDLE_VALUE) {
        DWORD dwError = GetLastError();
        // 1812 to 1815: no manifest resource, so no context; anything else is worth a trace.
        if (dwError < ERROR_RESOURCE_DATA_NOT_FOUND || dwError > ERROR_RESOURCE_LANG_NOT_FOUND) {
            TraceStepEx(HResultFromWin32Error(dwError), TEXT("RunSelectCertificateDialog"), TEXT("CreateActCtx"));
        }
    }
    // Kept for the life of the process: every later dialog uses it.
    s_hContext = hContext;
    return s_hContext;
}

// GDI+ for the card images, from the dialog's start to its end.
class GdiplusSession {
public:
    GdiplusSession()
    {
        Gdiplus::GdiplusStartupInput input;  // version 1, no debug callback, own thread, no codecs
        if (Gdiplus::GdiplusStartup(&m_token, &input, NULL) != Gdiplus::Ok) m_token = 0;
    }
    ~GdiplusSession()
    {
        if (m_token != 0) Gdiplus::GdiplusShutdown(m_token);
    }
    GdiplusSession(const GdiplusSession&) = delete;
    GdiplusSession& operator=(const GdiplusSession&) = delete;

private:
    ULONG_PTR m_token = 0;
};

// What the dialog procedure works with, passed as the dialog's initialisation value.
struct DialogContext {
    CSelectCertificateDlg* pDlg;
    const SelectDialogParams* pParams;
    CCertificateList list;
};

PickerRect ScreenRect(HWND hWnd)
{
    RECT rc = {};
    GetWindowRect(hWnd, &rc);
    return PickerRect{rc.left, rc.top, rc.right, rc.bottom};
}

DWORD SystemMajorVersion()
{
    OSVERSIONINFOW info = {};
    info.dwOSVersionInfoSize = sizeof(info);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    if (!GetVersionExW(&info)) return 0;
#pragma GCC diagnostic pop
    return info.dwMajorVersion;
}

void CentreOverOwner(HWND hDlg)
{
    HWND hOwner = GetWindow(hDlg, GW_OWNER);
    RECT rcArea = {};
    if (hOwner == NULL || !IsWindowVisible(hOwner) || !GetWindowRect(hOwner, &rcArea)) {
        SystemParametersInfoW(SPI_GETWORKAREA, 0, &rcArea, 0);
    }
    RECT rcDlg = {};
    GetWindowRect(hDlg, &rcDlg);
    int x = rcArea.left + ((rcArea.right - rcArea.left) - (rcDlg.right - rcDlg.left)) / 2;
    int y = rcArea.top + ((rcArea.bottom - rcArea.top) - (rcDlg.bottom - rcDlg.top)) / 2;
    SetWindowPos(hDlg, NULL, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

void AdjustWindow(HWND hDlg, HWND hList, size_t nCertificates)
{
    HWND hOk = GetDlgItem(hDlg, IDOK);
    HWND hCancel = GetDlgItem(hDlg, IDCANCEL);
    AdjustWindowInput in = {};
    in.nScreenHeight = GetSystemMetrics(SM_CYSCREEN);
    in.nFrameHeight = GetSystemMetrics(SM_CYDLGFRAME);
    in.nMenuHeight = GetSystemMetrics(SM_CYMENU);
    in.nCertificates = static_cast<int>(nCertificates);
    in.rcDialog = ScreenRect(hDlg);
    in.rcList = ScreenRect(hList);
    in.rcOk = ScreenRect(hOk);
    in.rcCancel = ScreenRect(hCancel);
    AdjustWindowResult out = AdjustWindowSize(in);
    MoveWindow(hDlg, out.rcDialog.left, out.rcDialog.top, out.rcDialog.Width(), out.rcDialog.Height(), TRUE);
    SetWindowPos(hList, NULL, 0, 0, in.rcList.Width(), out.nListHeight, SWP_NOMOVE | SWP_NOZORDER);
    SetWindowPos(hOk, NULL, out.rcOk.left, out.rcOk.top, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
    SetWindowPos(hCancel, NULL, out.rcCancel.left, out.rcCancel.top, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
}

BOOL OnInitDialog(HWND hDlg, DialogContext* pContext)
{
    // The shared half, CSelectCertificateDlg::OnInitDialog, has its own scope inside this one.
    TraceHelper trace("CWin32PickerBackend::OnInitDialog");
    const WCHAR kName[] = TEXT("CSelectCertificateDlg::OnInitDialog");
    CSelectCertificateDlg& dlg = *pContext->pDlg;
    const SelectDialogParams* pParams = pContext->pParams;

    CentreOverOwner(hDlg);
    HWND hList = GetDlgItem(hDlg, IDC_CERTIFICATE_LIST);
    if (pContext->list.GetHwnd() == NULL) pContext->list.SubclassWindow(hList);

    if (pParams != NULL) {
        if (pParams->title != NULL) SetWindowTextW(hDlg, pParams->title);
        if (pParams->okText != NULL) SetDlgItemTextW(hDlg, IDOK, pParams->okText);
        if (pParams->cancelText != NULL) SetDlgItemTextW(hDlg, IDCANCEL, pParams->cancelText);
    }
    // Only S_OK goes on: 0x20001001 (a store with nothing to list) is a success code that
    // still ends the dialog without a selection.
    HRESULT hr = dlg.OnInitDialog(pParams, SystemMajorVersion());
    if (hr == S_OK && pContext->list.GetHwnd() == NULL) {
        hr = HResultFromFailedCall();
        TraceStepEx(hr, kName, TEXT("SubclassWindow"));
    }
    if (hr == S_OK) {
        hr = pContext->list.Initialize(dlg.GetResourceModule(), dlg.IsNewerSystem(), dlg.GetItems());
        if (FAILED(hr)) TraceStepEx(hr, kName, TEXT("CCertificateList::Initialize"));
    }
    if (hr == S_OK) {
        size_t nItems = dlg.GetItems().size();
        AdjustWindow(hDlg, hList, nItems);
        for (size_t i = 0; i < nItems; ++i) SendMessageW(hList, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(TEXT("")));
        SendMessageW(hList, LB_SETCURSEL, 0, 0);
        BringWindowToTop(hList);
        hr = S_OK;
    }
    dlg.SetErrorCode(hr);
    if (hr != S_OK) {
        EndDialog(hDlg, IDCANCEL);
    } else {
        ShowWindow(hDlg, SW_SHOW);
    }
    return TRUE;
}

void OnPaint(HWND hDlg, const CSelectCertificateDlg& dlg)
{
    PAINTSTRUCT ps;
    HDC hdc = BeginPaint(hDlg, &ps);
    if (hdc == NULL) return;
    RECT rc = {};
    GetClientRect(hDlg, &rc);
    CGdiCanvas canvas(hdc, NULL, 0);
    PaintDialogHeader(canvas, dlg.GetHeaderText(), rc.right - rc.left, rc.bottom - rc.top, dlg.IsNewerSystem());
    EndPaint(hDlg, &ps);
}

// The control a notification comes from, for the messages that are reflected back to it.
HWND ReflectionTarget(HWND hDlg, UINT uMsg, WPARAM wParam, LPARAM lParam)
{
    switch (uMsg) {
    case WM_COMMAND:
        return reinterpret_cast<HWND>(lParam);
    case WM_NOTIFY:
        return lParam != 0 ? reinterpret_cast<const NMHDR*>(lParam)->hwndFrom : NULL;
    case WM_DRAWITEM:
        return wParam != 0 && lParam != 0 ? reinterpret_cast<const DRAWITEMSTRUCT*>(lParam)->hwndItem : NULL;
    case WM_MEASUREITEM:
        return wParam != 0 && lParam != 0
                   ? GetDlgItem(hDlg, static_cast<int>(reinterpret_cast<const MEASUREITEMSTRUCT*>(lParam)->CtlID))
                   : NULL;
    case WM_COMPAREITEM:
        return lParam != 0 ? reinterpret_cast<const COMPAREITEMSTRUCT*>(lParam)->hwndItem : NULL;
    case WM_DELETEITEM:
        return lParam != 0 ? reinterpret_cast<const DELETEITEMSTRUCT*>(lParam)->hwndItem : NULL;
    case WM_VKEYTOITEM:
    case WM_CHARTOITEM:
    case WM_HSCROLL:
    case WM_VSCROLL:
    case WM_CTLCOLORBTN:
    case WM_CTLCOLORDLG:
    case WM_CTLCOLOREDIT:
    case WM_CTLCOLORLISTBOX:
    case WM_CTLCOLORMSGBOX:
    case WM_CTLCOLORSCROLLBAR:
    case WM_CTLCOLORSTATIC:
        return reinterpret_cast<HWND>(lParam);
    default:
        return NULL;
    }
}

INT_PTR CALLBACK DialogProc(HWND hDlg, UINT uMsg, WPARAM wParam, LPARAM lParam)
{
    if (uMsg == WM_INITDIALOG) {
        DialogContext* pContext = reinterpret_cast<DialogContext*>(lParam);
        SetWindowLongPtrW(hDlg, DWLP_USER, lParam);
        return OnInitDialog(hDlg, pContext);
    }
    DialogContext* pContext = reinterpret_cast<DialogContext*>(GetWindowLongPtrW(hDlg, DWLP_USER));
    if (pContext == NULL) return FALSE;
    CSelectCertificateDlg& dlg = *pContext->pDlg;
    switch (uMsg) {
    case WM_DESTROY:
        dlg.OnDestroy();
        return FALSE;
    case WM_PAINT:
        OnPaint(hDlg, dlg);
        return TRUE;
    case WM_COMMAND:
        // Escape and the close box arrive as IDCANCEL, Enter as the default button IDOK.
        if (LOWORD(wParam) == IDOK) {
            HWND hList = GetDlgItem(hDlg, IDC_CERTIFICATE_LIST);
            INT_PTR nResult = dlg.OnOK(static_cast<int>(SendMessageW(hList, LB_GETCURSEL, 0, 0)));
            if (nResult != 0) EndDialog(hDlg, nResult);
            return TRUE;
        }
        if (LOWORD(wParam) == IDCANCEL) {
            EndDialog(hDlg, dlg.OnCancel());
            return TRUE;
        }
        break;
    default:
        break;
    }
    HWND hTarget = ReflectionTarget(hDlg, uMsg, wParam, lParam);
    if (hTarget == NULL || !IsWindow(hTarget)) return FALSE;
    LRESULT lResult = SendMessageW(hTarget, OCM__BASE + uMsg, wParam, lParam);
    if (uMsg >= WM_CTLCOLORMSGBOX && uMsg <= WM_CTLCOLORSTATIC) return static_cast<INT_PTR>(lResult);
    SetWindowLongPtrW(hDlg, DWLP_MSGRESULT, lResult);
    return TRUE;
}

class CWin32PickerBackend : public IPickerBackend {
public:
    INT_PTR DoModal(CSelectCertificateDlg& dlg, const SelectDialogParams* pParams) override
    {
        TraceHelper trace("CWin32PickerBackend::DoModal");
        HRESULT hrCom = CoInitialize(NULL);
        INT_PTR nResult = -1;
        {
            GdiplusSession gdiplus;
            DialogContext context = {&dlg, pParams, {}};
            HANDLE hContext = LibraryActivationContext();
            ULONG_PTR cookie = 0;
            bool bActivated = hContext != INVALID_HANDLE_VALUE && ActivateActCtx(hContext, &cookie);
            // The tooltip class comes from the common controls, which must be loaded for it.
            INITCOMMONCONTROLSEX icc = {sizeof(icc), ICC_WIN95_CLASSES};
            InitCommonControlsEx(&icc);
            nResult = DialogBoxParamW(ThisModule(), MAKEINTRESOURCEW(IDD_SELECT_CERTIFICATE), GetActiveWindow(),
                                      DialogProc, reinterpret_cast<LPARAM>(&context));
            DWORD dwError = GetLastError();
            if (bActivated) DeactivateActCtx(0, cookie);
            if (nResult == -1) {
                dlg.SetErrorCode(dwError != 0 ? HResultFromWin32Error(dwError) : E_FAIL);
                TraceStepEx(dlg.GetErrorCode(), TEXT("RunSelectCertificateDialog"), TEXT("DialogBoxParam"));
                SetLastError(dwError);
            }
        }
        if (SUCCEEDED(hrCom)) CoUninitialize();
        return nResult;
    }
};

}  // namespace

std::unique_ptr<IPickerBackend> CreatePickerBackend()
{
    return std::make_unique<CWin32PickerBackend>();
}
