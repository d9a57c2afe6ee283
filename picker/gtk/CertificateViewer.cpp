// The gcr certificate viewer in a modal window over the picker.
#include "picker/gtk/CertificateViewer.h"

#define GCR_API_SUBJECT_TO_CHANGE
#include <gcr/gcr-base.h>
#include <ui/gcr-ui.h>

namespace {

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
    GcrCertificate* pGcrCert = gcr_simple_certificate_new(pCert->pbCertEncoded, pCert->cbCertEncoded);
    if (pGcrCert == NULL) return NULL;

    GtkWidget* pWindow = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    gtk_window_set_title(GTK_WINDOW(pWindow), "Certificate");
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
    GtkWidget* pClose = gtk_button_new_with_label("OK");
    g_signal_connect_swapped(pClose, "clicked", G_CALLBACK(gtk_window_close), pWindow);
    gtk_container_add(GTK_CONTAINER(pButtons), pClose);
    gtk_box_pack_start(GTK_BOX(pBox), pButtons, FALSE, FALSE, 0);
    gtk_container_add(GTK_CONTAINER(pWindow), pBox);

    g_signal_connect(pWindow, "key-press-event", G_CALLBACK(OnViewerKey), NULL);
    gtk_widget_show_all(pWindow);
    gtk_widget_grab_focus(pClose);
    return pWindow;
}
