// The picker's GTK 3 backend: dialog 101 as a modal GtkDialog laid out in pixels from the
// template's dialog units, with the painted header, the card list, OK and Cancel.
#include <windows.h>

#include <gtk/gtk.h>

#include <memory>
#include <string>

#include "agent/ErrorCodes.h"
#include "picker/CardPainter.h"
#include "picker/DialogGeometry.h"
#include "picker/PickerBackend.h"
#include "picker/SelectCertificateDialog.h"
#include "picker/gtk/CairoCanvas.h"
#include "picker/gtk/DialogTemplate.h"
#include "picker/gtk/GtkCertificateList.h"
#include "plugin/Module.h"
#include "resources/resource.h"
#include "trace/Trace.h"

namespace {

// The system metrics AdjustWindowSize reads, as Windows reports them at 96 dots per inch. The
// frame of this window belongs to the window manager; these only model the Windows layout.
constexpr int kFrameHeight = 3;  // SM_CYDLGFRAME
constexpr int kMenuHeight = 19;  // SM_CYMENU

// A Linux desktop counts as the newer kind of system: the picker uses its "Microsoft YaHei"
// layout, for which the setup installs a CJK stand-in.
constexpr DWORD kSystemMajorVersion = 10;

// Controls 1 and 2 of the template, which are also the modal results and GTK response ids.
constexpr int kIdOk = 1;
constexpr int kIdCancel = 2;

const WCHAR kDoModal[] = TEXT("CGtkPickerBackend::DoModal");
// The list's set-up is a step of the dialog's initialisation, and is traced as one.
const WCHAR kInitDialog[] = TEXT("CSelectCertificateDlg::OnInitDialog");

// Everything the window's callbacks need.
struct PickerWindow {
    CSelectCertificateDlg* pDlg = NULL;
    GtkWidget* pDialog = NULL;
    std::unique_ptr<CGtkCertificateList> list;
    std::unique_ptr<CPickerImages> headerImages;
    PickerRect rcSeparator = {};
};

void PressOk(void* pContext)
{
    PickerWindow* pWindow = static_cast<PickerWindow*>(pContext);
    gtk_dialog_response(GTK_DIALOG(pWindow->pDialog), kIdOk);
}

gboolean OnHeaderDraw(GtkWidget* pWidget, cairo_t* cr, gpointer pContext)
{
    PickerWindow* pWindow = static_cast<PickerWindow*>(pContext);
    const int cx = gtk_widget_get_allocated_width(pWidget);
    const int cy = gtk_widget_get_allocated_height(pWidget);
    CCairoCanvas canvas(cr, *pWindow->headerImages);
    PaintDialogHeader(canvas, pWindow->pDlg->GetHeaderText(), cx, cy, pWindow->pDlg->IsNewerSystem());
    // The etched line under the header: a dark line with a light one beneath.
    PickerRect rc = pWindow->rcSeparator;
    canvas.FillRect(PickerRect{rc.left, rc.top, rc.right, rc.top + 1}, PickerRgb(160, 160, 160));
    canvas.FillRect(PickerRect{rc.left, rc.top + 1, rc.right, rc.top + 2}, PickerRgb(255, 255, 255));
    return FALSE;
}

// The thread's active window, which owns the picker as it would on Windows.
GtkWindow* ActiveWindow()
{
    GtkWindow* pActive = NULL;
    GList* pWindows = gtk_window_list_toplevels();
    for (GList* p = pWindows; p != NULL; p = p->next) {
        if (gtk_window_is_active(GTK_WINDOW(p->data))) {
            pActive = GTK_WINDOW(p->data);
            break;
        }
    }
    g_list_free(pWindows);
    return pActive;
}

int ScreenHeight(GtkWidget* pWidget)
{
    GdkDisplay* pDisplay = gtk_widget_get_display(pWidget);
    GdkMonitor* pMonitor = gdk_display_get_primary_monitor(pDisplay);
    if (pMonitor == NULL) pMonitor = gdk_display_get_monitor(pDisplay, 0);
    if (pMonitor == NULL) return 768;
    GdkRectangle geometry;
    gdk_monitor_get_geometry(pMonitor, &geometry);
    return geometry.height;
}

PickerRect Offset(const PickerRect& rc, int dx, int dy)
{
    return PickerRect{rc.left + dx, rc.top + dy, rc.right + dx, rc.bottom + dy};
}

GtkWidget* MakeButton(const std::basic_string<WCHAR>& text, LPCWSTR pwszOverride, const char* pszFallback)
{
    std::string label = pwszOverride != NULL ? PickerUtf8(pwszOverride)
                        : !text.empty()      ? PickerUtf8(text.c_str())
                                             : std::string(pszFallback);
    // Windows marks access keys with "&"; GTK with "_".
    std::string gtkLabel;
    for (size_t i = 0; i < label.size(); ++i) {
        if (label[i] == '&' && i + 1 < label.size() && label[i + 1] == '&') {
            gtkLabel += '&';
            ++i;
        } else if (label[i] == '&') {
            gtkLabel += '_';
        } else if (label[i] == '_') {
            gtkLabel += "__";
        } else {
            gtkLabel += label[i];
        }
    }
    return gtk_button_new_with_mnemonic(gtkLabel.c_str());
}

// Which button Enter presses and where the keyboard is must show, as on Windows: the default
// button (OK, or the button that has the focus) has a dark blue frame, the focused one a dotted
// frame inside. Without it, Tab, Tab, Enter cancels with nothing on screen saying so.
const char kButtonCss[] =
    "button.default { border-color: #1c5a96; box-shadow: inset 0 0 0 1px #1c5a96; }\n"
    "button:focus { outline-color: #000000; outline-style: dotted; outline-width: 1px; outline-offset: -4px; }\n";

void MarkKeyboardState(GtkWidget* pOk, GtkWidget* pCancel)
{
    GtkCssProvider* pCss = gtk_css_provider_new();
    gtk_css_provider_load_from_data(pCss, kButtonCss, -1, NULL);
    for (GtkWidget* pButton : {pOk, pCancel}) {
        gtk_style_context_add_provider(gtk_widget_get_style_context(pButton), GTK_STYLE_PROVIDER(pCss),
                                       GTK_STYLE_PROVIDER_PRIORITY_APPLICATION);
    }
    g_object_unref(pCss);
}

class CGtkPickerBackend : public IPickerBackend {
public:
    INT_PTR DoModal(CSelectCertificateDlg& dlg, const SelectDialogParams* pParams) override;
};

INT_PTR CGtkPickerBackend::DoModal(CSelectCertificateDlg& dlg, const SelectDialogParams* pParams)
{
    TraceHelper trace("CGtkPickerBackend::DoModal");
    // The dialog is made from the library's own template, as on Windows.
    DialogTemplateTexts texts;
    HRESULT hr = LoadDialogTemplateTexts(g_hModuleInstance, IDD_SELECT_CERTIFICATE, &texts);
    if (FAILED(hr)) {
        TraceStepEx(hr, kDoModal, TEXT("LoadDialogTemplate"));
        dlg.SetErrorCode(hr);
        SetLastError(static_cast<DWORD>(hr));
        return -1;
    }

    PickerWindow window;
    window.pDlg = &dlg;
    window.pDialog = gtk_dialog_new();
    GtkWidget* pDialog = window.pDialog;
    const std::string caption =
        PickerUtf8(pParams != NULL && pParams->title != NULL ? pParams->title : texts.caption.c_str());
    gtk_window_set_title(GTK_WINDOW(pDialog), caption.c_str());
    gtk_window_set_modal(GTK_WINDOW(pDialog), TRUE);
    gtk_window_set_resizable(GTK_WINDOW(pDialog), FALSE);
    GtkWindow* pOwner = ActiveWindow();
    if (pOwner != NULL) gtk_window_set_transient_for(GTK_WINDOW(pDialog), pOwner);
    gtk_window_set_position(GTK_WINDOW(pDialog), pOwner != NULL ? GTK_WIN_POS_CENTER_ON_PARENT : GTK_WIN_POS_CENTER);

    INT_PTR nResult = kIdCancel;
    hr = dlg.OnInitDialog(pParams, kSystemMajorVersion);
    // Only S_OK shows the dialog: an empty store's 0x20001001 is no failure code, yet there is
    // nothing to choose from.
    if (hr == S_OK) {
        window.list = std::make_unique<CGtkCertificateList>(dlg.GetItems(), dlg.IsNewerSystem(), dlg.GetResourceModule());
        hr = window.list->CheckImages();
        if (FAILED(hr)) {
            TraceStepEx(hr, kInitDialog, TEXT("CCertificateList::Initialize"));
            dlg.SetErrorCode(hr);
        }
    }
    if (hr == S_OK) {
        window.headerImages = std::make_unique<CPickerImages>(dlg.GetResourceModule());
        const PickerRect rcClient = DialogUnitsToPixels(kPickerDialogUnits);
        const PickerRect rcList = DialogUnitsToPixels(kPickerListUnits);
        const PickerRect rcOk = DialogUnitsToPixels(kPickerOkUnits);
        const PickerRect rcCancel = DialogUnitsToPixels(kPickerCancelUnits);
        window.rcSeparator = DialogUnitsToPixels(kPickerSeparatorUnits);

        // Windows' arithmetic, in a model where the client area starts at (frame, menu height)
        // of the window: the list grows to the cards the screen holds, the buttons follow.
        AdjustWindowInput in = {};
        in.nScreenHeight = ScreenHeight(pDialog);
        in.nFrameHeight = kFrameHeight;
        in.nMenuHeight = kMenuHeight;
        in.nCertificates = static_cast<int>(dlg.GetItems().size());
        in.rcDialog = PickerRect{0, 0, rcClient.Width() + 2 * kFrameHeight, rcClient.Height() + kMenuHeight + kFrameHeight};
        in.rcList = Offset(rcList, kFrameHeight, kMenuHeight);
        in.rcOk = Offset(rcOk, kFrameHeight, kMenuHeight);
        in.rcCancel = Offset(rcCancel, kFrameHeight, kMenuHeight);
        const AdjustWindowResult out = AdjustWindowSize(in);
        const int nClientHeight = rcClient.Height() + out.nHeightChange;

        GtkWidget* pContent = gtk_dialog_get_content_area(GTK_DIALOG(pDialog));
        gtk_container_set_border_width(GTK_CONTAINER(pContent), 0);
        gtk_box_set_spacing(GTK_BOX(pContent), 0);
        GtkWidget* pFixed = gtk_fixed_new();
        gtk_widget_set_size_request(pFixed, rcClient.Width(), nClientHeight);
        gtk_box_pack_start(GTK_BOX(pContent), pFixed, TRUE, TRUE, 0);

        GtkWidget* pHeader = gtk_drawing_area_new();
        gtk_widget_set_size_request(pHeader, rcClient.Width(), nClientHeight);
        g_signal_connect(pHeader, "draw", G_CALLBACK(OnHeaderDraw), &window);
        gtk_fixed_put(GTK_FIXED(pFixed), pHeader, 0, 0);

        GtkWidget* pList = window.list->Widget();
        gtk_widget_set_size_request(pList, rcList.Width(), out.nListHeight);
        gtk_fixed_put(GTK_FIXED(pFixed), pList, rcList.left, rcList.top);
        window.list->SetActivateHandler(PressOk, &window);

        auto textOf = [&texts](int id) {
            auto found = texts.controlTexts.find(id);
            return found != texts.controlTexts.end() ? found->second : std::basic_string<WCHAR>();
        };
        GtkWidget* pOk = MakeButton(textOf(kIdOk), pParams->okText, "OK");
        GtkWidget* pCancel = MakeButton(textOf(kIdCancel), pParams->cancelText, "Cancel");
        gtk_widget_set_size_request(pOk, out.rcOk.Width(), out.rcOk.Height());
        gtk_widget_set_size_request(pCancel, out.rcCancel.Width(), out.rcCancel.Height());
        gtk_fixed_put(GTK_FIXED(pFixed), pOk, out.rcOk.left, out.rcOk.top);
        gtk_fixed_put(GTK_FIXED(pFixed), pCancel, out.rcCancel.left, out.rcCancel.top);
        g_signal_connect_swapped(pOk, "clicked", G_CALLBACK(PressOk), &window);
        g_signal_connect_swapped(pCancel, "clicked", G_CALLBACK(gtk_window_close), pDialog);
        gtk_widget_set_can_default(pOk, TRUE);
        gtk_widget_set_can_default(pCancel, TRUE);
        MarkKeyboardState(pOk, pCancel);

        gtk_widget_show_all(pDialog);
        gtk_widget_grab_default(pOk);
        // The focus shows from the start, not only after the first Tab.
        gtk_window_set_focus_visible(GTK_WINDOW(pDialog), TRUE);
        window.list->SetSelection(0);
        gtk_widget_grab_focus(window.list->Area());

        const int nResponse = gtk_dialog_run(GTK_DIALOG(pDialog));
        if (nResponse == kIdOk) {
            nResult = dlg.OnOK(window.list->GetSelection());
        } else {
            // Cancel, Escape and the close box.
            nResult = dlg.OnCancel();
        }
        window.list->CloseViewers();
    }
    dlg.OnDestroy();
    gtk_widget_destroy(pDialog);
    window.list.reset();
    // Let the window disappear from the screen before the page goes on.
    while (gtk_events_pending()) gtk_main_iteration_do(FALSE);
    return nResult;
}

}  // namespace

std::unique_ptr<IPickerBackend> CreatePickerBackend()
{
    // The browser's locale is the browser's: GTK must not reset it for the whole process. GTK
    // takes that only before its first initialisation in the process (later it complains), so
    // the second picker, or a browser that runs GTK itself, leaves it alone.
    static bool s_bLocaleKept = false;
    if (!s_bLocaleKept && gdk_display_get_default() == NULL) gtk_disable_setlocale();
    s_bLocaleKept = true;
    // Without a display there is nothing to show the picker on: fail at once, never wait.
    if (!gtk_init_check(NULL, NULL)) {
        TraceStepEx(HRESULT_FROM_WIN32(ERROR_NOT_SUPPORTED), TEXT("CreatePickerBackend"), TEXT("gtk_init_check"));
        SetLastError(ERROR_NOT_SUPPORTED);
        return nullptr;
    }
    return std::make_unique<CGtkPickerBackend>();
}
