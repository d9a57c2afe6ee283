// The certificate selection dialog: the store-based entry point the agent calls, the modal
// run, and the dialog's state and decisions. The window itself is the backend's.
#pragma once

#include <windows.h>
#include <wincrypt.h>

#include <vector>

#include "kernel/CertificateLists.h"
#include "picker/CertificateItem.h"

class IPickerBackend;

// The dialog's result after a cancel; its low word is the "User canceled operation." text.
#ifndef NPK_PICKER_CANCELLED
#define NPK_PICKER_CANCELLED ((HRESULT)0x20001002L)
#endif

#define PICKER_HEADER_CHARS 128

// The caller's request: kind 0 uses resourceModule only, kind 1 every field.
struct SelectCertificateRequest {
    DWORD kind;
    HINSTANCE resourceModule;  // carries strings 203 and 205 to 207
    LPCWSTR title;
    LPCWSTR okText;
    LPCWSTR cancelText;
};

// The dialog's initialisation parameter.
struct SelectDialogParams {
    HINSTANCE resourceModule;
    HCERTSTORE store;
    LPCWSTR title;
    LPCWSTR headerText;  // at most 127 characters, or null for string 203
    DWORD reserved;
    LPCWSTR okText;
    LPCWSTR cancelText;
};

// The chosen certificate, owned by the caller (CertFreeCertificateContext), or null with the
// reason in the thread's last error: NPK_PICKER_CANCELLED after a cancel, 87 for a null
// request or an unknown kind.
PCCERT_CONTEXT CustomCryptUIDlgSelectCertificateFromStore(HCERTSTORE hStore, const SelectCertificateRequest* pRequest);

// 1 after OK, 2 after Cancel, -1 when the dialog could not be created (the error code then
// says why). *ppSelected receives the chosen certificate's own reference, or null.
INT_PTR RunSelectCertificateDialog(HRESULT* phrError, const SelectDialogParams* pParams, PCCERT_CONTEXT* ppSelected);

class CSelectCertificateDlg {
public:
    CSelectCertificateDlg();
    ~CSelectCertificateDlg();
    CSelectCertificateDlg(const CSelectCertificateDlg&) = delete;
    CSelectCertificateDlg& operator=(const CSelectCertificateDlg&) = delete;

    // Runs the dialog modally through the backend (see PickerBackend.h).
    INT_PTR DoModal(IPickerBackend& backend, const SelectDialogParams* pParams);

    // The window-free part of the dialog's initialisation, once its window exists: the
    // resource module, the header text (string 203 unless given), the newer-system flag from
    // the operating system's major version, and the cards of the store. The result becomes
    // the error code; on failure the backend ends the dialog at once.
    HRESULT OnInitDialog(const SelectDialogParams* pParams, DWORD dwMajorVersion);
    // Every certificate of the store as a card, sorted for display.
    HRESULT LoadCertificates(HCERTSTORE hStore);
    // The card in that row becomes the selection (a new reference); returns the modal result 1.
    // With no card in that row (nothing selected) it returns 0 and the dialog stays open.
    INT_PTR OnOK(int nSelectedRow);
    // Cancel, Escape and the close box; returns the modal result 2.
    INT_PTR OnCancel();
    // The window is going: the cards and the list go, the selection stays.
    void OnDestroy();

    // A failure of the backend's own initialisation steps (the list control, the window).
    void SetErrorCode(HRESULT hr) { m_hrError = hr; }
    HRESULT GetErrorCode() const { return m_hrError; }
    PCCERT_CONTEXT GetSelectedCertificate() const { return m_pSelectedCert; }
    // Hands the selection's reference to the caller; the dialog no longer frees it.
    PCCERT_CONTEXT DetachSelectedCertificate();

    HINSTANCE GetResourceModule() const { return m_hResourceModule; }
    bool IsNewerSystem() const { return m_bNewerSystem; }
    LPCWSTR GetHeaderText() const { return m_wszHeaderText; }
    const std::vector<CertificateItem>& GetItems() const { return m_items; }

private:
    HINSTANCE m_hResourceModule;
    bool m_bNewerSystem;
    WCHAR m_wszHeaderText[PICKER_HEADER_CHARS];
    CertificateList m_certificates;
    std::vector<CertificateItem> m_items;
    HRESULT m_hrError;
    PCCERT_CONTEXT m_pSelectedCert;
};
