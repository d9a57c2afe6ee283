// The picker window's geometry: dialog 101's layout in dialog units (the resource script
// holds the same numbers) and the growth of the window to the number of certificates.
#pragma once

#include "picker/PickerCanvas.h"

#define PICKER_CARD_HEIGHT 80

// Dialog 101, "MS Shell Dlg" 8 point, in dialog units: x, y, width, height.
struct DialogUnitRect {
    int x;
    int y;
    int cx;
    int cy;
};

constexpr DialogUnitRect kPickerDialogUnits = {0, 0, 282, 329};
constexpr DialogUnitRect kPickerOkUnits = {170, 306, 50, 14};       // control 1, default
constexpr DialogUnitRect kPickerCancelUnits = {225, 306, 50, 14};   // control 2
constexpr DialogUnitRect kPickerListUnits = {13, 37, 255, 264};     // control 1001
constexpr DialogUnitRect kPickerSeparatorUnits = {7, 27, 268, 1};   // the line under the header

#define PICKER_IDC_CERTIFICATE_LIST 1001

// The dialog base units of "MS Shell Dlg" 8 point at 96 dots per inch: an average character
// is 6 pixels wide and 13 high. One horizontal unit is a quarter, one vertical an eighth.
#define PICKER_BASE_UNIT_X 6
#define PICKER_BASE_UNIT_Y 13

// Dialog units to pixels, as MapDialogRect does for those base units; a line one unit high
// stays at least one pixel.
PickerRect DialogUnitsToPixels(const DialogUnitRect& du, int nBaseUnitX = PICKER_BASE_UNIT_X,
                               int nBaseUnitY = PICKER_BASE_UNIT_Y);

// The number of cards shown without scrolling: min((screen height - 500) / 80, count), and at
// least one card whenever there is a certificate, so that a small screen still shows one.
int VisibleCardCount(int nScreenHeight, int nCertificates);

struct AdjustWindowInput {
    int nScreenHeight;   // SM_CYSCREEN
    int nFrameHeight;    // SM_CYDLGFRAME
    int nMenuHeight;     // SM_CYMENU
    int nCertificates;
    // Screen coordinates, all read before anything moves.
    PickerRect rcDialog;
    PickerRect rcList;
    PickerRect rcOk;
    PickerRect rcCancel;
};

struct AdjustWindowResult {
    int nVisibleCards;
    int nHeightChange;      // new list height minus the old one
    PickerRect rcDialog;    // screen coordinates: same left and width, centred vertically
    int nListHeight;        // 80 per visible card plus the frame above and below
    PickerRect rcOk;        // the dialog's client coordinates, same size
    PickerRect rcCancel;
};

AdjustWindowResult AdjustWindowSize(const AdjustWindowInput& in);
