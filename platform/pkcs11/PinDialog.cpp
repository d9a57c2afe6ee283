// A small GTK dialog: the token's label, what is known of the tries left, a hidden entry,
// OK and Cancel. The PIN never leaves the entry except into the caller's string.
#include "pkcs11/PinDialog.h"

#include "pkcs11/TokenErrors.h"

#include <gtk/gtk.h>

#include <cstring>

namespace npk::pkcs11 {

std::string TriesText(PinTries tries)
{
    switch (tries) {
    case PinTries::Final: return "1 try left: a wrong PIN now locks the token.";
    case PinTries::Low: return "A wrong PIN was entered before: few tries are left.";
    default: return std::string();
    }
}

HRESULT AskTokenPin(const std::string& tokenLabel, PinTries tries, std::string* pin)
{
    pin->clear();
    // The host's locale belongs to the host: GTK must not reset it.
    gtk_disable_setlocale();
    if (!gtk_init_check(nullptr, nullptr)) return HRESULT_FROM_WIN32(ERROR_NOT_SUPPORTED);

    GtkWidget* dialog = gtk_dialog_new_with_buttons("Windows Security", nullptr, GTK_DIALOG_MODAL, "_Cancel",
                                                    GTK_RESPONSE_CANCEL, "_OK", GTK_RESPONSE_OK, nullptr);
    gtk_window_set_resizable(GTK_WINDOW(dialog), FALSE);
    gtk_window_set_keep_above(GTK_WINDOW(dialog), TRUE);
    gtk_dialog_set_default_response(GTK_DIALOG(dialog), GTK_RESPONSE_OK);
    GtkWidget* area = gtk_dialog_get_content_area(GTK_DIALOG(dialog));
    gtk_container_set_border_width(GTK_CONTAINER(area), 12);
    gtk_box_set_spacing(GTK_BOX(area), 8);

    std::string prompt = "Enter the PIN of the smart card \"" + tokenLabel + "\".";
    GtkWidget* label = gtk_label_new(prompt.c_str());
    gtk_label_set_xalign(GTK_LABEL(label), 0);
    gtk_box_pack_start(GTK_BOX(area), label, FALSE, FALSE, 0);
    std::string triesText = TriesText(tries);
    if (!triesText.empty()) {
        GtkWidget* warning = gtk_label_new(triesText.c_str());
        gtk_label_set_xalign(GTK_LABEL(warning), 0);
        gtk_widget_set_name(warning, "tries");
        gtk_box_pack_start(GTK_BOX(area), warning, FALSE, FALSE, 0);
    }
    GtkWidget* entry = gtk_entry_new();
    gtk_entry_set_visibility(GTK_ENTRY(entry), FALSE);
    gtk_entry_set_input_purpose(GTK_ENTRY(entry), GTK_INPUT_PURPOSE_PIN);
    gtk_entry_set_activates_default(GTK_ENTRY(entry), TRUE);
    gtk_box_pack_start(GTK_BOX(area), entry, FALSE, FALSE, 0);
    gtk_widget_show_all(dialog);
    gtk_widget_grab_focus(entry);
    gtk_window_present(GTK_WINDOW(dialog));

    gint response = gtk_dialog_run(GTK_DIALOG(dialog));
    HRESULT hr = SCARD_W_CANCELLED_BY_USER;
    if (response == GTK_RESPONSE_OK) {
        const char* text = gtk_entry_get_text(GTK_ENTRY(entry));
        pin->assign(text != nullptr ? text : "");
        hr = S_OK;
    }
    // Empty the entry before it is destroyed, so its buffer holds the PIN no longer.
    gtk_entry_set_text(GTK_ENTRY(entry), "");
    gtk_widget_destroy(dialog);
    while (gtk_events_pending()) gtk_main_iteration_do(FALSE);
    return hr;
}

}  // namespace npk::pkcs11
