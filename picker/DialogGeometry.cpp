// The picker window's geometry.
#include "picker/DialogGeometry.h"

#include <algorithm>

namespace {

// MulDiv's rounding, for the small positive values of a dialog layout.
int ScaleRounded(int value, int numerator, int denominator)
{
    long long product = static_cast<long long>(value) * numerator;
    long long half = denominator / 2;
    return static_cast<int>(product >= 0 ? (product + half) / denominator : (product - half) / denominator);
}

PickerRect MovedControl(const PickerRect& rcControl, const AdjustWindowInput& in, int d)
{
    int x = rcControl.left - in.rcDialog.left - in.nFrameHeight;
    int y = rcControl.top + d - in.rcDialog.top - in.nMenuHeight;
    return PickerRect{x, y, x + rcControl.Width(), y + rcControl.Height()};
}

}  // namespace

PickerRect DialogUnitsToPixels(const DialogUnitRect& du, int nBaseUnitX, int nBaseUnitY)
{
    PickerRect rc;
    rc.left = ScaleRounded(du.x, nBaseUnitX, 4);
    rc.top = ScaleRounded(du.y, nBaseUnitY, 8);
    rc.right = ScaleRounded(du.x + du.cx, nBaseUnitX, 4);
    rc.bottom = ScaleRounded(du.y + du.cy, nBaseUnitY, 8);
    if (du.cx > 0 && rc.right <= rc.left) rc.right = rc.left + 1;
    if (du.cy > 0 && rc.bottom <= rc.top) rc.bottom = rc.top + 1;
    return rc;
}

int VisibleCardCount(int nScreenHeight, int nCertificates)
{
    if (nCertificates <= 0) return 0;
    // 500 pixels are kept for the header, the buttons and the desktop around the window.
    int nFit = (nScreenHeight - 500) / PICKER_CARD_HEIGHT;
    return std::max(1, std::min(nFit, nCertificates));
}

AdjustWindowResult AdjustWindowSize(const AdjustWindowInput& in)
{
    AdjustWindowResult out = {};
    out.nVisibleCards = VisibleCardCount(in.nScreenHeight, in.nCertificates);
    out.nListHeight = PICKER_CARD_HEIGHT * out.nVisibleCards + 2 * in.nFrameHeight;
    int d = out.nListHeight - in.rcList.Height();
    out.nHeightChange = d;

    int nNewHeight = in.rcDialog.Height() + d;
    out.rcDialog.left = in.rcDialog.left;
    out.rcDialog.right = in.rcDialog.right;
    out.rcDialog.top = (in.nScreenHeight - nNewHeight) / 2;
    out.rcDialog.bottom = out.rcDialog.top + nNewHeight;

    out.rcOk = MovedControl(in.rcOk, in, d);
    out.rcCancel = MovedControl(in.rcCancel, in, d);
    return out;
}
