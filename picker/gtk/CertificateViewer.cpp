// The gcr certificate viewer in a modal window over the picker.
#include "picker/gtk/CertificateViewer.h"

#define GCR_API_SUBJECT_TO_CHANGE
#include <gcr/gcr-base.h>
#include <ui/gcr-ui.h>

#include <libintl.h>
#include <locale.h>

namespace {

// gcr's translations, which also carry the viewer's title and button.
constexpr char kGcrDomain[] = "gcr";

// The C library's locale for the plug-in's language, so that gcr's texts come in the language
// of the picker and the error texts, not in the browser's. "C.UTF-8" for English.
const char* LocaleForUiLanguage(LANGID language)
{
    switch (PRIMARYLANGID(language)) {
    case LANG_CHINESE:
        return "zh_CN.UTF-8";
    case LANG_KOREAN:
        return "ko_KR.UTF-8";
    default:
        return "C.UTF-8";
    }
}

// Switches the calling thread's messages, character set and dates to the plug-in's language
// while it lives; the process's own locale is left alone. Without that locale on the system
// the thread keeps the one it had.
class CThreadLanguage {
public:
    CThreadLanguage() : m_locale(newlocale(LC_MESSAGES_MASK | LC_CTYPE_MASK | LC_TIME_MASK,
                                           LocaleForUiLanguage(GetThreadUILanguage()), static_cast<locale_t>(0))),
                        m_previous(static_cast<locale_t>(0))
    {
        if (m_locale != static_cast<locale_t>(0)) m_previous = uselocale(m_locale);
    }
    ~CThreadLanguage()
    {
        if (m_locale == static_cast<locale_t>(0)) return;
        uselocale(m_previous);
        freelocale(m_locale);
    }
    CThreadLanguage(const CThreadLanguage&) = delete;
    CThreadLanguage& operator=(const CThreadLanguage&) = delete;

private:
    locale_t m_locale;
    locale_t m_previous;
};

// gcr marks the box around its Details expander "gcr-red" and gives everything inside it a red
// background for the whole screen. Its text view is white underneath, so the box's content
// draws no background of its own; this rule outranks gcr's.
void KeepDetailsUnpainted(GdkScreen* pScreen)
{
    static GtkCssProvider* s_pCss = NULL;
    if (s_pCss == NULL) {
        s_pCss = gtk_css_provider_new();
        gtk_css_provider_load_from_data(s_pCss, ".gcr-red * { background-color: transparent; }", -1, NULL);
    }
    gtk_style_context_add_provider_for_screen(pScreen, GTK_STYLE_PROVIDER(s_pCss),
                                              GTK_STYLE_PROVIDER_PRIORITY_APPLICATION + 1);
}

gboolean OnViewerKey(GtkWidget* pWindow, GdkEventKey* pEvent, gpointer)
{
    if (pEvent->keyval == GDK_KEY_Escape) {
        gtk_window_close(GTK_WINDOW(pWindow));
        return TRUE;
    }
    return FALSE;
}

}  // namespace

GtkWidget* ShowCertificateViewer(GtkWindow* pParent, PCCERT_CONTEXT pCert)
{
    if (pCert == NULL || pCert->pbCertEncoded == NULL || pCert->cbCertEncoded == 0) return NULL;
    // gcr writes its texts while the widget is made: all of it in the plug-in's language.
    CThreadLanguage language;
    GcrCertificate* pGcrCert = gcr_simple_certificate_new(pCert->pbCertEncoded, pCert->cbCertEncoded);
    if (pGcrCert == NULL) return NULL;

    GtkWidget* pWindow = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    KeepDetailsUnpainted(gtk_widget_get_screen(pWindow));
    gtk_window_set_title(GTK_WINDOW(pWindow), dgettext(kGcrDomain, "Certificate"));
    gtk_window_set_type_hint(GTK_WINDOW(pWindow), GDK_WINDOW_TYPE_HINT_DIALOG);
    gtk_window_set_default_size(GTK_WINDOW(pWindow), 520, 560);
    if (pParent != NULL) {
        gtk_window_set_transient_for(GTK_WINDOW(pWindow), pParent);
        gtk_window_set_destroy_with_parent(GTK_WINDOW(pWindow), TRUE);
        gtk_window_set_position(GTK_WINDOW(pWindow), GTK_WIN_POS_CENTER_ON_PARENT);
    }
    // Modal over the picker, as the platform's viewer is; the picker waits beneath it.
    gtk_window_set_modal(GTK_WINDOW(pWindow), TRUE);

    GtkWidget* pBox = gtk_box_new(GTK_ORIENTATION_VERTICAL, 6);
    gtk_container_set_border_width(GTK_CONTAINER(pBox), 6);
    GtkWidget* pScrolled = gtk_scrolled_window_new(NULL, NULL);
    gtk_scrolled_window_set_policy(GTK_SCROLLED_WINDOW(pScrolled), GTK_POLICY_AUTOMATIC, GTK_POLICY_AUTOMATIC);
    GcrCertificateWidget* pDetails = gcr_certificate_widget_new(pGcrCert);
    g_object_unref(pGcrCert);
    gtk_container_add(GTK_CONTAINER(pScrolled), GTK_WIDGET(pDetails));
    gtk_box_pack_start(GTK_BOX(pBox), pScrolled, TRUE, TRUE, 0);

    GtkWidget* pButtons = gtk_button_box_new(GTK_ORIENTATION_HORIZONTAL);
    gtk_button_box_set_layout(GTK_BUTTON_BOX(pButtons), GTK_BUTTONBOX_END);
    GtkWidget* pClose = gtk_button_new_with_mnemonic(dgettext(kGcrDomain, "_OK"));
    g_signal_connect_swapped(pClose, "clicked", G_CALLBACK(gtk_window_close), pWindow);
    gtk_container_add(GTK_CONTAINER(pButtons), pClose);
    gtk_box_pack_start(GTK_BOX(pBox), pButtons, FALSE, FALSE, 0);
    gtk_container_add(GTK_CONTAINER(pWindow), pBox);

    g_signal_connect(pWindow, "key-press-event", G_CALLBACK(OnViewerKey), NULL);
    gtk_widget_show_all(pWindow);
    gtk_widget_grab_focus(pClose);
    return pWindow;
}
