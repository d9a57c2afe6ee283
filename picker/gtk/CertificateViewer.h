// The certificate viewer a double click on a card opens: gcr's certificate widget in a window
// of its own over the picker, which stays open.
#pragma once

#include <windows.h>
#include <wincrypt.h>

#include <gtk/gtk.h>

// Shows the certificate; the window closes with its Close button, Escape or its close box, and
// goes with its parent. Null when the viewer could not be made.
GtkWidget* ShowCertificateViewer(GtkWindow* pParent, PCCERT_CONTEXT pCert);
