// The window system behind the certificate picker: one backend per platform (picker/gtk on
// Linux, picker/win32 on Windows) runs dialog 101 and its owner-drawn card list.
#pragma once

#include <windows.h>

#include <memory>

class CSelectCertificateDlg;
struct SelectDialogParams;

class IPickerBackend {
public:
    virtual ~IPickerBackend() = default;

    // Runs dialog 101 modally for dlg, owned by the thread's active window. The backend:
    //  - creates the window with the caption, OK and Cancel texts of the resource module, or
    //    pParams->title / okText / cancelText where those are not null;
    //  - calls dlg.OnInitDialog(pParams, the system's major version) once the window exists;
    //    any result but S_OK (a failure, or 0x20001001 for a store with nothing to list) ends
    //    the dialog at once (modal result 2) with no selection;
    //  - sets up the list: dlg.GetItems() in display order, 80-pixel cards painted with
    //    PaintCard (CardPainter.h) in the state of each (selected, under the mouse, normal),
    //    the images 105 to 107, a tooltip with the display name of the card under the mouse,
    //    a double click on a card opening the certificate viewer for it without closing the
    //    dialog; a failure here is given to dlg.SetErrorCode and ends the dialog the same way;
    //  - sizes the window with AdjustWindowSize (DialogGeometry.h), selects row 0, paints the
    //    header with PaintDialogHeader and dlg.GetHeaderText();
    //  - OK (button 1, Enter): dlg.OnOK(selected row) ends the dialog with what it returns
    //    unless that is 0 (no row selected: the dialog stays open); Cancel, Escape and the close box:
    //    dlg.OnCancel(); when the window goes: dlg.OnDestroy().
    // Returns 1 after OK, 2 after Cancel or a failed initialisation, and -1 when the dialog
    // could not be created at all, with the thread's last error saying why.
    virtual INT_PTR DoModal(CSelectCertificateDlg& dlg, const SelectDialogParams* pParams) = 0;
};

// The platform's backend; null when none can be made (the last error says why).
std::unique_ptr<IPickerBackend> CreatePickerBackend();

// The factory RunSelectCertificateDialog uses; CreatePickerBackend unless replaced (tests
// put a scripted backend there). Returns the previous factory; null restores the default.
typedef std::unique_ptr<IPickerBackend> (*PickerBackendFactory)();
PickerBackendFactory SetPickerBackendFactory(PickerBackendFactory factory);
