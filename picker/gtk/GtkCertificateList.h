// The owner-drawn card list of the picker on GTK: a drawing area in a scrolled window, one
// 80-pixel card per item painted by the shared card painter, with hover, selection by click
// and arrows, a tooltip with the full name and a double click that opens the viewer.
#pragma once

#include <windows.h>

#include <gtk/gtk.h>

#include <vector>

#include "picker/CertificateItem.h"
#include "picker/gtk/PickerImages.h"

class CGtkCertificateList {
public:
    CGtkCertificateList(const std::vector<CertificateItem>& items, bool bNewerSystem, HINSTANCE hResourceModule);
    ~CGtkCertificateList();
    CGtkCertificateList(const CGtkCertificateList&) = delete;
    CGtkCertificateList& operator=(const CGtkCertificateList&) = delete;

    // The list's outer widget, to be placed by the dialog (not owned by the list once placed).
    GtkWidget* Widget() const { return m_pScrolled; }
    GtkWidget* Area() const { return m_pArea; }

    // S_OK when the three images are available; the list is not shown without them.
    HRESULT CheckImages();

    int GetSelection() const { return m_nSelected; }
    // Selects the row (clamped to the list) and scrolls it into view.
    void SetSelection(int nRow);

    // Called on Enter in the list.
    void SetActivateHandler(void (*pfn)(void*), void* pContext)
    {
        m_pfnActivate = pfn;
        m_pActivateContext = pContext;
    }

    // The row under the pointer, or -1 (outside the list, between or past the cards).
    int HitTestCursor() const;
    // The row at a y coordinate of the drawing area, or -1.
    int RowAt(double y) const;

    // Viewer windows still open (for closing them with the dialog).
    void CloseViewers();

private:
    static gboolean OnDraw(GtkWidget* pWidget, cairo_t* cr, gpointer pSelf);
    static gboolean OnMotion(GtkWidget* pWidget, GdkEventMotion* pEvent, gpointer pSelf);
    static gboolean OnCrossing(GtkWidget* pWidget, GdkEventCrossing* pEvent, gpointer pSelf);
    static gboolean OnButtonPress(GtkWidget* pWidget, GdkEventButton* pEvent, gpointer pSelf);
    static gboolean OnKeyPress(GtkWidget* pWidget, GdkEventKey* pEvent, gpointer pSelf);
    static gboolean OnQueryTooltip(GtkWidget* pWidget, gint x, gint y, gboolean bKeyboard, GtkTooltip* pTooltip,
                                   gpointer pSelf);
    static void OnViewerDestroyed(GtkWidget* pViewer, gpointer pSelf);
    static gboolean OnFocusChange(GtkWidget* pWidget, GdkEventFocus* pEvent, gpointer pSelf);
    static void OnScrolled(GtkAdjustment* pAdjustment, gpointer pSelf);

    void PaintRow(cairo_t* cr, int nRow, int nWidth, int nHovered, bool bFocused);
    void OpenViewer(int nRow);

    std::vector<CertificateItem> m_items;
    bool m_bNewerSystem;
    CPickerImages m_images;
    GtkWidget* m_pScrolled;
    GtkWidget* m_pArea;
    GtkAdjustment* m_pAdjustment;  // the vertical scrolling, watched for the hover
    int m_nSelected;
    bool m_bPointerInside;
    int m_nLastHovered;
    std::vector<GtkWidget*> m_viewers;
    void (*m_pfnActivate)(void*);
    void* m_pActivateContext;
};
