// IPickerCanvas over cairo and Pango.
#include "picker/gtk/CairoCanvas.h"

#include <algorithm>
#include <cmath>

namespace {

double Channel(BYTE value) { return value / 255.0; }

void AddColourStop(cairo_pattern_t* pattern, double offset, PickerColour colour)
{
    cairo_pattern_add_color_stop_rgb(pattern, offset, Channel(PickerRed(colour)), Channel(PickerGreen(colour)),
                                     Channel(PickerBlue(colour)));
}

void AppendUtf8(std::string& out, unsigned int cp)
{
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

// GDI's cell height includes the internal leading; Pango sizes the em square, which is
// about five sixths of the cell for the fonts used here.
constexpr double kEmPerCell = 0.83;

}  // namespace

std::string PickerUtf8(LPCWSTR pwszText)
{
    std::string out;
    if (pwszText == NULL) return out;
    for (int i = 0; pwszText[i] != 0; ++i) {
        unsigned int c = static_cast<unsigned int>(pwszText[i]) & 0xFFFF;
        if (c >= 0xD800 && c <= 0xDBFF) {
            unsigned int next = static_cast<unsigned int>(pwszText[i + 1]) & 0xFFFF;
            if (next >= 0xDC00 && next <= 0xDFFF) {
                AppendUtf8(out, 0x10000 + ((c - 0xD800) << 10) + (next - 0xDC00));
                ++i;
                continue;
            }
            c = 0xFFFD;
        } else if (c >= 0xDC00 && c <= 0xDFFF) {
            c = 0xFFFD;
        }
        AppendUtf8(out, c);
    }
    return out;
}

std::string CCairoCanvas::FamiliesForFace(LPCWSTR pwszFace)
{
    if (pwszFace == NULL || pwszFace[0] == 0) return "Tahoma, Segoe UI, DejaVu Sans, Noto Sans CJK SC, sans-serif";
    if (lstrcmpiW(pwszFace, TEXT("Microsoft YaHei")) == 0)
        return "Microsoft YaHei, Noto Sans CJK SC, Noto Sans CJK, WenQuanYi Micro Hei, DejaVu Sans, sans-serif";
    if (lstrcmpiW(pwszFace, TEXT("Arial")) == 0)
        return "Arial, Liberation Sans, DejaVu Sans, Noto Sans CJK SC, sans-serif";
    if (lstrcmpiW(pwszFace, TEXT("Segoe UI")) == 0 || lstrcmpiW(pwszFace, TEXT("Tahoma")) == 0 ||
        lstrcmpiW(pwszFace, TEXT("MS Shell Dlg")) == 0 || lstrcmpiW(pwszFace, TEXT("MS Shell Dlg 2")) == 0)
        return PickerUtf8(pwszFace) + ", DejaVu Sans, Noto Sans CJK SC, sans-serif";
    return PickerUtf8(pwszFace) + ", DejaVu Sans, Noto Sans CJK SC, sans-serif";
}

CCairoCanvas::CCairoCanvas(cairo_t* cr, CPickerImages& images)
    : m_cr(cr), m_images(images), m_pango(pango_cairo_create_context(cr)), m_nClipDepth(0)
{
    // Unhinted metrics: a line measures the same as it draws, also under the horizontal
    // scale that gives the asked character width.
    cairo_font_options_t* options = cairo_font_options_create();
    cairo_font_options_set_hint_metrics(options, CAIRO_HINT_METRICS_OFF);
    cairo_font_options_set_hint_style(options, CAIRO_HINT_STYLE_SLIGHT);
    cairo_font_options_set_antialias(options, CAIRO_ANTIALIAS_GRAY);
    pango_cairo_context_set_font_options(m_pango, options);
    cairo_font_options_destroy(options);
}

CCairoCanvas::~CCairoCanvas()
{
    while (m_nClipDepth > 0) PopClip();
    g_object_unref(m_pango);
}

void CCairoCanvas::SetColour(PickerColour colour)
{
    cairo_set_source_rgb(m_cr, Channel(PickerRed(colour)), Channel(PickerGreen(colour)), Channel(PickerBlue(colour)));
}

void CCairoCanvas::FillRect(const PickerRect& rc, PickerColour colour)
{
    if (rc.Width() <= 0 || rc.Height() <= 0) return;
    SetColour(colour);
    cairo_rectangle(m_cr, rc.left, rc.top, rc.Width(), rc.Height());
    cairo_fill(m_cr);
}

void CCairoCanvas::GradientFill(const PickerRect& rc, PickerColour first, PickerColour second,
                                PickerGradient direction)
{
    if (rc.Width() <= 0 || rc.Height() <= 0) return;
    // The first and last rows (or columns) carry the two colours exactly, as GDI's gradient does.
    cairo_pattern_t* pattern =
        direction == PickerGradient::Vertical
            ? cairo_pattern_create_linear(0, rc.top + 0.5, 0, rc.bottom - 0.5)
            : cairo_pattern_create_linear(rc.left + 0.5, 0, rc.right - 0.5, 0);
    AddColourStop(pattern, 0.0, first);
    AddColourStop(pattern, 1.0, second);
    cairo_set_source(m_cr, pattern);
    cairo_rectangle(m_cr, rc.left, rc.top, rc.Width(), rc.Height());
    cairo_fill(m_cr);
    cairo_pattern_destroy(pattern);
}

void CCairoCanvas::FrameRoundRect(const PickerRect& rc, int nEllipseWidth, int nEllipseHeight, PickerColour pen)
{
    if (rc.Width() <= 1 || rc.Height() <= 1) return;
    // The pen runs along the pixel centres of the outermost rows and columns of rc.
    const double x0 = rc.left + 0.5, y0 = rc.top + 0.5;
    const double x1 = rc.right - 0.5, y1 = rc.bottom - 0.5;
    const double rx = std::min(nEllipseWidth / 2.0, (x1 - x0) / 2.0);
    const double ry = std::min(nEllipseHeight / 2.0, (y1 - y0) / 2.0);
    cairo_new_path(m_cr);
    if (rx <= 0 || ry <= 0) {
        cairo_rectangle(m_cr, x0, y0, x1 - x0, y1 - y0);
    } else {
        auto corner = [this](double cx, double cy, double ax, double ay, double from) {
            cairo_save(m_cr);
            cairo_translate(m_cr, cx, cy);
            cairo_scale(m_cr, ax, ay);
            cairo_arc(m_cr, 0, 0, 1, from, from + M_PI / 2);
            cairo_restore(m_cr);
        };
        corner(x1 - rx, y0 + ry, rx, ry, -M_PI / 2);
        corner(x1 - rx, y1 - ry, rx, ry, 0);
        corner(x0 + rx, y1 - ry, rx, ry, M_PI / 2);
        corner(x0 + rx, y0 + ry, rx, ry, M_PI);
        cairo_close_path(m_cr);
    }
    SetColour(pen);
    cairo_set_line_width(m_cr, 1.0);
    cairo_stroke(m_cr);
}

PangoLayout* CCairoCanvas::MakeLayout(const PickerFont& font, LPCWSTR pwszText, double* pdScaleX)
{
    PangoFontDescription* desc = pango_font_description_new();
    pango_font_description_set_family(desc, FamiliesForFace(font.pwszFace).c_str());
    const int nCell = font.nCharHeight != 0 ? std::abs(font.nCharHeight) : 13;
    pango_font_description_set_absolute_size(desc, nCell * kEmPerCell * PANGO_SCALE);
    pango_font_description_set_weight(desc, font.nWeight >= 600 ? PANGO_WEIGHT_BOLD : PANGO_WEIGHT_NORMAL);

    *pdScaleX = 1.0;
    if (font.nCharWidth > 0) {
        PangoFontMetrics* metrics = pango_context_get_metrics(m_pango, desc, NULL);
        const double average = pango_font_metrics_get_approximate_char_width(metrics) / double(PANGO_SCALE);
        pango_font_metrics_unref(metrics);
        // GDI stretches or narrows the face to the asked character width; so do we, within
        // reason, so that a line takes about the room it takes on Windows.
        if (average > 0) *pdScaleX = std::clamp(font.nCharWidth / average, 0.6, 1.4);
    }

    PangoLayout* layout = pango_layout_new(m_pango);
    pango_layout_set_font_description(layout, desc);
    pango_font_description_free(desc);
    const std::string text = PickerUtf8(pwszText);
    pango_layout_set_text(layout, text.c_str(), -1);
    pango_layout_set_single_paragraph_mode(layout, TRUE);
    return layout;
}

PickerSize CCairoCanvas::MeasureText(const PickerFont& font, LPCWSTR pwszText)
{
    double dScaleX = 1.0;
    PangoLayout* layout = MakeLayout(font, pwszText, &dScaleX);
    int cx = 0, cy = 0;
    pango_layout_get_pixel_size(layout, &cx, &cy);
    g_object_unref(layout);
    return PickerSize{static_cast<int>(std::ceil(cx * dScaleX)), cy};
}

void CCairoCanvas::DrawText(const PickerFont& font, LPCWSTR pwszText, const PickerRect& rc, PickerColour colour,
                            PickerTextAlign align, bool bEllipsis)
{
    if (pwszText == NULL || pwszText[0] == 0 || rc.Width() <= 0 || rc.Height() <= 0) return;
    double dScaleX = 1.0;
    PangoLayout* layout = MakeLayout(font, pwszText, &dScaleX);
    if (bEllipsis) {
        pango_layout_set_width(layout, static_cast<int>(rc.Width() / dScaleX * PANGO_SCALE));
        pango_layout_set_ellipsize(layout, PANGO_ELLIPSIZE_END);
    }
    int cx = 0, cy = 0;
    pango_layout_get_pixel_size(layout, &cx, &cy);
    double x = rc.left, y = rc.top;
    if (align == PickerTextAlign::Centre) {
        x += (rc.Width() - cx * dScaleX) / 2.0;
        y += (rc.Height() - cy) / 2.0;
    }

    cairo_save(m_cr);
    cairo_rectangle(m_cr, rc.left, rc.top, rc.Width(), rc.Height());
    cairo_clip(m_cr);
    SetColour(colour);
    cairo_translate(m_cr, x, y);
    cairo_scale(m_cr, dScaleX, 1.0);
    // The layout keeps the metrics it was measured with; the scale only stretches the glyphs.
    pango_cairo_show_layout(m_cr, layout);
    cairo_restore(m_cr);
    g_object_unref(layout);
}

bool CCairoCanvas::DrawImage(UINT uResourceId, const PickerRect& dest)
{
    cairo_surface_t* image = m_images.Get(uResourceId);
    if (image == NULL) return false;
    const int cx = cairo_image_surface_get_width(image);
    const int cy = cairo_image_surface_get_height(image);
    if (cx <= 0 || cy <= 0 || dest.Width() <= 0 || dest.Height() <= 0) return false;
    cairo_save(m_cr);
    cairo_rectangle(m_cr, dest.left, dest.top, dest.Width(), dest.Height());
    cairo_clip(m_cr);
    cairo_translate(m_cr, dest.left, dest.top);
    cairo_scale(m_cr, dest.Width() / double(cx), dest.Height() / double(cy));
    cairo_set_source_surface(m_cr, image, 0, 0);
    cairo_pattern_set_filter(cairo_get_source(m_cr), CAIRO_FILTER_GOOD);
    cairo_paint(m_cr);
    cairo_restore(m_cr);
    return true;
}

bool CCairoCanvas::GetImageSize(UINT uResourceId, PickerSize* pSize)
{
    cairo_surface_t* image = m_images.Get(uResourceId);
    if (image == NULL || pSize == NULL) return false;
    pSize->cx = cairo_image_surface_get_width(image);
    pSize->cy = cairo_image_surface_get_height(image);
    return true;
}

void CCairoCanvas::PushClip(const PickerRect& rc)
{
    cairo_save(m_cr);
    cairo_rectangle(m_cr, rc.left, rc.top, std::max(0, rc.Width()), std::max(0, rc.Height()));
    cairo_clip(m_cr);
    ++m_nClipDepth;
}

void CCairoCanvas::PopClip()
{
    if (m_nClipDepth == 0) return;
    cairo_restore(m_cr);
    --m_nClipDepth;
}
