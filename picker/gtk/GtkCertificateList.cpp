// The card list: GTK events in, shared card painting out.
#include "picker/gtk/GtkCertificateList.h"

#include <strsafe.h>

#include <algorithm>

#include "picker/CardPainter.h"
#include "picker/DialogGeometry.h"
#include "picker/gtk/CairoCanvas.h"
#include "picker/gtk/CertificateViewer.h"
#include "resources/resource.h"
#include "trace/Trace.h"

namespace {

// The card images in the order the list loads them, each with the step its load is traced as.
struct CardImage {
    UINT id;
    LPCWSTR step;
};
const CardImage kImages[] = {
    {IDB_SYSTEM_CERTIFICATE, TEXT("LoadImageFromResource (System certificate)")},
    {IDB_KEY_CERTIFICATE, TEXT("LoadImageFromResource (Key certificate)")},
    {IDB_CERTIFICATE_FRAME, TEXT("LoadImageFromResource (Certificate frame)")},
};

// A one-pixel dotted black frame two pixels inside the card, dots on every other pixel.
void DrawFocusRectangle(cairo_t* cr, int nWidth, int nHeight)
{
    const double dash[] = {1.0, 1.0};
    cairo_save(cr);
    cairo_set_antialias(cr, CAIRO_ANTIALIAS_NONE);
    cairo_set_line_width(cr, 1.0);
    cairo_set_dash(cr, dash, 2, 0.0);
    cairo_set_source_rgb(cr, 0, 0, 0);
    cairo_rectangle(cr, 2.5, 2.5, nWidth - 5, nHeight - 5);
    cairo_stroke(cr);
    cairo_restore(cr);
}

}  // namespace

CGtkCertificateList::CGtkCertificateList(const std::vector<CertificateItem>& items, bool bNewerSystem,
                                         HINSTANCE hResourceModule)
    : m_items(items), m_bNewerSystem(bNewerSystem), m_images(hResourceModule), m_pScrolled(NULL), m_pArea(NULL),
      m_pAdjustment(NULL), m_nSelected(items.empty() ? -1 : 0), m_bPointerInside(false), m_nLastHovered(-1), m_pfnActivate(NULL),
      m_pActivateContext(NULL)
{
    m_pScrolled = gtk_scrolled_window_new(NULL, NULL);
    g_object_ref_sink(m_pScrolled);
    gtk_scrolled_window_set_policy(GTK_SCROLLED_WINDOW(m_pScrolled), GTK_POLICY_NEVER, GTK_POLICY_AUTOMATIC);
    gtk_scrolled_window_set_shadow_type(GTK_SCROLLED_WINDOW(m_pScrolled), GTK_SHADOW_IN);
    // Classic scroll bars, always as wide as they look: overlay bars would cover the cards.
    gtk_scrolled_window_set_overlay_scrolling(GTK_SCROLLED_WINDOW(m_pScrolled), FALSE);

    m_pArea = gtk_drawing_area_new();
    // Both widgets outlive the window they are placed in, until this object goes.
    g_object_ref_sink(m_pArea);
    gtk_widget_set_size_request(m_pArea, -1, PICKER_CARD_HEIGHT * static_cast<int>(m_items.size()));
    gtk_widget_set_can_focus(m_pArea, TRUE);
    gtk_widget_add_events(m_pArea, GDK_POINTER_MOTION_MASK | GDK_ENTER_NOTIFY_MASK | GDK_LEAVE_NOTIFY_MASK |
                                       GDK_BUTTON_PRESS_MASK | GDK_KEY_PRESS_MASK | GDK_SCROLL_MASK);
    gtk_widget_set_has_tooltip(m_pArea, TRUE);
    g_signal_connect(m_pArea, "draw", G_CALLBACK(OnDraw), this);
    g_signal_connect(m_pArea, "motion-notify-event", G_CALLBACK(OnMotion), this);
    g_signal_connect(m_pArea, "enter-notify-event", G_CALLBACK(OnCrossing), this);
    g_signal_connect(m_pArea, "leave-notify-event", G_CALLBACK(OnCrossing), this);
    g_signal_connect(m_pArea, "button-press-event", G_CALLBACK(OnButtonPress), this);
    g_signal_connect(m_pArea, "key-press-event", G_CALLBACK(OnKeyPress), this);
    g_signal_connect(m_pArea, "query-tooltip", G_CALLBACK(OnQueryTooltip), this);
    g_signal_connect(m_pArea, "focus-in-event", G_CALLBACK(OnFocusChange), this);
    g_signal_connect(m_pArea, "focus-out-event", G_CALLBACK(OnFocusChange), this);
    gtk_container_add(GTK_CONTAINER(m_pScrolled), m_pArea);
    // The wheel moves the cards under a pointer that stays put: the card beneath it changes.
    m_pAdjustment = gtk_scrolled_window_get_vadjustment(GTK_SCROLLED_WINDOW(m_pScrolled));
    g_object_ref(m_pAdjustment);
    g_signal_connect(m_pAdjustment, "value-changed", G_CALLBACK(OnScrolled), this);
}

CGtkCertificateList::~CGtkCertificateList()
{
    CloseViewers();
    // The signals name this object: the widgets must not call back into it after it goes.
    g_signal_handlers_disconnect_by_data(m_pArea, this);
    g_signal_handlers_disconnect_by_data(m_pAdjustment, this);
    g_object_unref(m_pAdjustment);
    gtk_widget_destroy(m_pScrolled);
    g_object_unref(m_pArea);
    g_object_unref(m_pScrolled);
}

HRESULT CGtkCertificateList::CheckImages()
{
    for (const CardImage& image : kImages) {
        HRESULT hr = S_OK;
        if (m_images.Get(image.id) == NULL) {
            hr = m_images.GetFailure(image.id);
            if (SUCCEEDED(hr)) hr = E_FAIL;
        }
        TraceStepEx(hr, TEXT("CCertificateList::Initialize"), image.step);
        if (FAILED(hr)) return hr;
    }
    return S_OK;
}

void CGtkCertificateList::CloseViewers()
{
    std::vector<GtkWidget*> viewers;
    viewers.swap(m_viewers);
    for (GtkWidget* pViewer : viewers) {
        g_signal_handlers_disconnect_by_data(pViewer, this);
        gtk_widget_destroy(pViewer);
    }
}

int CGtkCertificateList::RowAt(double y) const
{
    if (y < 0) return -1;
    const int nRow = static_cast<int>(y) / PICKER_CARD_HEIGHT;
    return nRow < static_cast<int>(m_items.size()) ? nRow : -1;
}

int CGtkCertificateList::HitTestCursor() const
{
    GdkWindow* pWindow = gtk_widget_get_window(m_pArea);
    if (!m_bPointerInside || pWindow == NULL) return -1;
    GdkSeat* pSeat = gdk_display_get_default_seat(gdk_window_get_display(pWindow));
    GdkDevice* pPointer = pSeat != NULL ? gdk_seat_get_pointer(pSeat) : NULL;
    if (pPointer == NULL) return -1;
    int x = 0, y = 0;
    gdk_window_get_device_position(pWindow, pPointer, &x, &y, NULL);
    GtkAllocation alloc;
    gtk_widget_get_allocation(m_pArea, &alloc);
    if (x < 0 || x >= alloc.width) return -1;
    return RowAt(y);
}

void CGtkCertificateList::SetSelection(int nRow)
{
    if (m_items.empty()) return;
    nRow = std::clamp(nRow, 0, static_cast<int>(m_items.size()) - 1);
    m_nSelected = nRow;
    GtkAdjustment* pAdj = gtk_scrolled_window_get_vadjustment(GTK_SCROLLED_WINDOW(m_pScrolled));
    const double top = nRow * PICKER_CARD_HEIGHT;
    const double bottom = top + PICKER_CARD_HEIGHT;
    const double value = gtk_adjustment_get_value(pAdj);
    const double page = gtk_adjustment_get_page_size(pAdj);
    if (top < value) {
        gtk_adjustment_set_value(pAdj, top);
    } else if (page > 0 && bottom > value + page) {
        gtk_adjustment_set_value(pAdj, bottom - page);
    }
    gtk_widget_queue_draw(m_pArea);
}

void CGtkCertificateList::PaintRow(cairo_t* cr, int nRow, int nWidth, int nHovered, bool bFocused)
{
    // The card is composed off-screen and copied in one go, so it never flickers.
    cairo_surface_t* pCard =
        cairo_surface_create_similar_image(cairo_get_target(cr), CAIRO_FORMAT_RGB24, nWidth, PICKER_CARD_HEIGHT);
    if (cairo_surface_status(pCard) == CAIRO_STATUS_SUCCESS) {
        cairo_t* crCard = cairo_create(pCard);
        {
            CCairoCanvas canvas(crCard, m_images);
            PaintCard(canvas, m_items[static_cast<size_t>(nRow)], nWidth, PICKER_CARD_HEIGHT,
                      CardStateFor(nRow == m_nSelected, nRow == nHovered), m_bNewerSystem);
        }
        if (bFocused) DrawFocusRectangle(crCard, nWidth, PICKER_CARD_HEIGHT);
        cairo_destroy(crCard);
        cairo_set_source_surface(cr, pCard, 0, nRow * PICKER_CARD_HEIGHT);
        cairo_rectangle(cr, 0, nRow * PICKER_CARD_HEIGHT, nWidth, PICKER_CARD_HEIGHT);
        cairo_fill(cr);
    }
    cairo_surface_destroy(pCard);
}

gboolean CGtkCertificateList::OnDraw(GtkWidget* pWidget, cairo_t* cr, gpointer pSelf)
{
    CGtkCertificateList* self = static_cast<CGtkCertificateList*>(pSelf);
    const int nWidth = gtk_widget_get_allocated_width(pWidget);
    double x0 = 0, y0 = 0, x1 = 0, y1 = 0;
    cairo_clip_extents(cr, &x0, &y0, &x1, &y1);
    // The highlight follows the pointer as it is now, also after scrolling.
    const int nHovered = self->HitTestCursor();
    const int nCount = static_cast<int>(self->m_items.size());
    const int nFirst = std::max(0, static_cast<int>(y0) / PICKER_CARD_HEIGHT);
    const int nLast = std::min(nCount - 1, static_cast<int>(y1) / PICKER_CARD_HEIGHT);
    // Where the keyboard is, as a list box shows it: a dotted frame inside the selected card.
    const bool bHasFocus = gtk_widget_has_focus(pWidget);
    for (int nRow = nFirst; nRow <= nLast; ++nRow)
        self->PaintRow(cr, nRow, nWidth, nHovered, bHasFocus && nRow == self->m_nSelected);
    // Below the last card the list is white.
    const int nCardsBottom = nCount * PICKER_CARD_HEIGHT;
    if (y1 > nCardsBottom) {
        cairo_set_source_rgb(cr, 1, 1, 1);
        cairo_rectangle(cr, 0, nCardsBottom, nWidth, y1 - nCardsBottom);
        cairo_fill(cr);
    }
    return TRUE;
}

gboolean CGtkCertificateList::OnMotion(GtkWidget* pWidget, GdkEventMotion* pEvent, gpointer pSelf)
{
    CGtkCertificateList* self = static_cast<CGtkCertificateList*>(pSelf);
    self->m_bPointerInside = true;
    const int nHovered = self->RowAt(pEvent->y);
    if (nHovered != self->m_nLastHovered) {
        // A new card under the pointer: its tooltip text replaces the old one.
        self->m_nLastHovered = nHovered;
        gtk_widget_trigger_tooltip_query(pWidget);
    }
    gtk_widget_queue_draw(pWidget);
    return FALSE;
}

gboolean CGtkCertificateList::OnCrossing(GtkWidget* pWidget, GdkEventCrossing* pEvent, gpointer pSelf)
{
    CGtkCertificateList* self = static_cast<CGtkCertificateList*>(pSelf);
    self->m_bPointerInside = pEvent->type == GDK_ENTER_NOTIFY;
    if (!self->m_bPointerInside) self->m_nLastHovered = -1;
    gtk_widget_queue_draw(pWidget);
    return FALSE;
}

gboolean CGtkCertificateList::OnButtonPress(GtkWidget* pWidget, GdkEventButton* pEvent, gpointer pSelf)
{
    CGtkCertificateList* self = static_cast<CGtkCertificateList*>(pSelf);
    if (pEvent->button != GDK_BUTTON_PRIMARY) return FALSE;
    gtk_widget_grab_focus(pWidget);
    const int nRow = self->RowAt(pEvent->y);
    if (pEvent->type == GDK_2BUTTON_PRESS) {
        TraceHelper trace("CCertificateList::OnLButtonDblClk");
        if (TraceIsOn(TRACE_INFORMATION)) {
            WCHAR wszStep[64];
            StringCchPrintfW(wszStep, ARRAYSIZE(wszStep), TEXT("HitTestCursor (%d)"), nRow);
            TraceStepEx(S_OK, TEXT("CCertificateList::OnLButtonDblClk"), wszStep);
        }
        // Between or past the cards there is nothing to show.
        if (nRow >= 0) self->OpenViewer(nRow);
        return TRUE;
    }
    if (pEvent->type == GDK_BUTTON_PRESS && nRow >= 0) self->SetSelection(nRow);
    return TRUE;
}

gboolean CGtkCertificateList::OnKeyPress(GtkWidget*, GdkEventKey* pEvent, gpointer pSelf)
{
    CGtkCertificateList* self = static_cast<CGtkCertificateList*>(pSelf);
    const int nCount = static_cast<int>(self->m_items.size());
    GtkAdjustment* pAdj = gtk_scrolled_window_get_vadjustment(GTK_SCROLLED_WINDOW(self->m_pScrolled));
    const int nPage = std::max(1, static_cast<int>(gtk_adjustment_get_page_size(pAdj)) / PICKER_CARD_HEIGHT);
    switch (pEvent->keyval) {
    case GDK_KEY_Up:
    case GDK_KEY_KP_Up:
        self->SetSelection(self->m_nSelected - 1);
        return TRUE;
    case GDK_KEY_Down:
    case GDK_KEY_KP_Down:
        self->SetSelection(self->m_nSelected + 1);
        return TRUE;
    case GDK_KEY_Home:
        self->SetSelection(0);
        return TRUE;
    case GDK_KEY_End:
        self->SetSelection(nCount - 1);
        return TRUE;
    case GDK_KEY_Page_Up:
        self->SetSelection(self->m_nSelected - nPage);
        return TRUE;
    case GDK_KEY_Page_Down:
        self->SetSelection(self->m_nSelected + nPage);
        return TRUE;
    case GDK_KEY_Return:
    case GDK_KEY_KP_Enter:
    case GDK_KEY_ISO_Enter:
        if (self->m_pfnActivate != NULL) self->m_pfnActivate(self->m_pActivateContext);
        return TRUE;
    default:
        return FALSE;
    }
}

gboolean CGtkCertificateList::OnQueryTooltip(GtkWidget*, gint, gint y, gboolean bKeyboard, GtkTooltip* pTooltip,
                                             gpointer pSelf)
{
    CGtkCertificateList* self = static_cast<CGtkCertificateList*>(pSelf);
    const int nRow = bKeyboard ? self->m_nSelected : self->RowAt(y);
    if (nRow < 0) return FALSE;
    const std::string name = PickerUtf8(self->m_items[static_cast<size_t>(nRow)].wszDisplayName);
    if (name.empty()) return FALSE;
    gtk_tooltip_set_text(pTooltip, name.c_str());
    // The tip belongs to the whole card, so moving within it keeps the same tip.
    GtkAllocation alloc;
    gtk_widget_get_allocation(self->m_pArea, &alloc);
    GdkRectangle area = {0, nRow * PICKER_CARD_HEIGHT, alloc.width, PICKER_CARD_HEIGHT};
    gtk_tooltip_set_tip_area(pTooltip, &area);
    return TRUE;
}

void CGtkCertificateList::OpenViewer(int nRow)
{
    GtkWidget* pTop = gtk_widget_get_toplevel(m_pArea);
    GtkWindow* pParent = GTK_IS_WINDOW(pTop) ? GTK_WINDOW(pTop) : NULL;
    GtkWidget* pViewer = ShowCertificateViewer(pParent, m_items[static_cast<size_t>(nRow)].pCertContext);
    if (pViewer == NULL) return;
    m_viewers.push_back(pViewer);
    g_signal_connect(pViewer, "destroy", G_CALLBACK(OnViewerDestroyed), this);
}

void CGtkCertificateList::OnViewerDestroyed(GtkWidget* pViewer, gpointer pSelf)
{
    CGtkCertificateList* self = static_cast<CGtkCertificateList*>(pSelf);
    self->m_viewers.erase(std::remove(self->m_viewers.begin(), self->m_viewers.end(), pViewer), self->m_viewers.end());
}

gboolean CGtkCertificateList::OnFocusChange(GtkWidget* pWidget, GdkEventFocus*, gpointer)
{
    gtk_widget_queue_draw(pWidget);
    return FALSE;
}

void CGtkCertificateList::OnScrolled(GtkAdjustment*, gpointer pSelf)
{
    CGtkCertificateList* self = static_cast<CGtkCertificateList*>(pSelf);
    // The scrolled pixels carry the old highlight along: paint every card again for the card
    // now under the pointer, and let its name be the tooltip.
    const int nHovered = self->HitTestCursor();
    if (nHovered != self->m_nLastHovered) {
        self->m_nLastHovered = nHovered;
        gtk_widget_trigger_tooltip_query(self->m_pArea);
    }
    gtk_widget_queue_draw(self->m_pArea);
}
