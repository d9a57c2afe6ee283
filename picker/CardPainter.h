// Painting of one certificate card and of the dialog's header, as calls on a canvas.
#pragma once

#include "picker/CertificateItem.h"
#include "picker/PickerCanvas.h"
#include "resources/resource.h"

enum class CardState {
    Normal,    // white, no border
    Hover,     // under the mouse, not selected
    Selected,  // selected, whether under the mouse or not
};

CardState CardStateFor(bool bSelected, bool bHovered);

struct CardColours {
    PickerColour top;
    PickerColour bottom;
    PickerColour border;
};

// The gradient and border of a highlighted card; false for a normal card, which has none.
bool GetCardColours(CardState state, CardColours* pColours);

// The font families: "Microsoft YaHei" on systems newer than major version 5, else "Arial".
LPCWSTR PickerFontFace(bool bNewerSystem);

// One line of text at (x, y) in the face (null: the default GUI face) with that character
// width and height, weight 400. A positive right limit cuts the text's box there; no ellipsis.
void DrawTextLine(IPickerCanvas& canvas, LPCWSTR pwszFace, LPCWSTR pwszText, int x, int y, int nRightLimit,
                  int nCharWidth, int nCharHeight, PickerColour colour);

// The whole card into (0, 0, width, height) of the canvas.
void PaintCard(IPickerCanvas& canvas, const CertificateItem& item, int nWidth, int nHeight, CardState state,
               bool bNewerSystem);

// The dialog's client area: white, with the header text at the top.
void PaintDialogHeader(IPickerCanvas& canvas, LPCWSTR pwszHeader, int nClientWidth, int nClientHeight,
                       bool bNewerSystem);
