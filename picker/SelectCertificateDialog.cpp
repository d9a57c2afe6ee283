// The certificate selection dialog's entry points and its window-free logic.
#include "picker/SelectCertificateDialog.h"

#include <shlwapi.h>
#include <strsafe.h>

#include "agent/ErrorCodes.h"
#include "kernel/CertificateFilters.h"
#include "picker/CertificateCards.h"
#include "picker/PickerBackend.h"
#include "resources/resource.h"
#include "trace/Trace.h"

// The picker found nothing to list; its low word is the "no available certificate" text.
#ifndef NPK_PICKER_NO_CERTIFICATE
#define NPK_PICKER_NO_CERTIFICATE ((HRESULT)0x20001001L)
#endif

namespace {

#ifdef NPK_PICKER_NO_BACKEND
std::unique_ptr<IPickerBackend> NoPickerBackend()
{
    SetLastError(ERROR_NOT_SUPPORTED);
    return nullptr;
}
PickerBackendFactory g_pfnDefaultFactory = NoPickerBackend;
#else
PickerBackendFactory g_pfnDefaultFactory = CreatePickerBackend;
#endif

PickerBackendFactory g_pfnBackendFactory = g_pfnDefaultFactory;

const WCHAR kInitDialog[] = TEXT("CSelectCertificateDlg::OnInitDialog");
const WCHAR kLoadCertificates[] = TEXT("CSelectCertificateDlg::LoadCertificates");
const WCHAR kOnOK[] = TEXT("CSelectCertificateDlg::OnOK");

}  // namespace

PickerBackendFactory SetPickerBackendFactory(PickerBackendFactory factory)
{
    PickerBackendFactory previous = g_pfnBackendFactory;
    g_pfnBackendFactory = factory != NULL ? factory : g_pfnDefaultFactory;
    return previous;
}

PCCERT_CONTEXT CustomCryptUIDlgSelectCertificateFromStore(HCERTSTORE hStore, const SelectCertificateRequest* pRequest)
{
    TraceHelper trace("CustomCryptUIDlgSelectCertificateFromStore");
    if (pRequest == NULL || (pRequest->kind != 0 && pRequest->kind != 1)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return NULL;
    }
    SelectDialogParams params = {};
    params.resourceModule = pRequest->resourceModule;
    params.store = hStore;
    if (pRequest->kind == 1) {
        params.title = pRequest->title;
        params.okText = pRequest->okText;
        params.cancelText = pRequest->cancelText;
    }
    HRESULT hrError = S_OK;
    PCCERT_CONTEXT pSelected = NULL;
    RunSelectCertificateDialog(&hrError, &params, &pSelected);
    SetLastError(static_cast<DWORD>(hrError));
    return pSelected;
}

INT_PTR RunSelectCertificateDialog(HRESULT* phrError, const SelectDialogParams* pParams, PCCERT_CONTEXT* ppSelected)
{
    TraceHelper trace("RunSelectCertificateDialog");
    if (ppSelected != NULL) *ppSelected = NULL;
    if (phrError == NULL || ppSelected == NULL) {
        if (phrError != NULL) *phrError = E_POINTER;
        return -1;
    }
    *phrError = S_OK;

    std::unique_ptr<IPickerBackend> backend = g_pfnBackendFactory();
    if (!backend) {
        *phrError = HResultFromFailedCall();
        TraceStepEx(*phrError, TEXT("RunSelectCertificateDialog"), TEXT("CreatePickerBackend"));
        return -1;
    }

    CSelectCertificateDlg dlg;
    INT_PTR nResult = dlg.DoModal(*backend, pParams);
    HRESULT hrError = dlg.GetErrorCode();
    PCCERT_CONTEXT pSelected = dlg.DetachSelectedCertificate();
    if (pSelected == NULL && hrError == S_OK) {
        // No certificate must never read as success: a window that could not be made says
        // why through the last error, anything else without a choice is a cancel.
        hrError = nResult == -1 ? HResultFromFailedCall() : NPK_PICKER_CANCELLED;
    }
    if (pSelected != NULL && hrError != S_OK) {
        CertFreeCertificateContext(pSelected);
        pSelected = NULL;
    }
    *phrError = hrError;
    *ppSelected = pSelected;
    return nResult;
}

CSelectCertificateDlg::CSelectCertificateDlg()
    : m_hResourceModule(NULL), m_bNewerSystem(false), m_wszHeaderText(), m_hrError(S_OK), m_pSelectedCert(NULL)
{
}

CSelectCertificateDlg::~CSelectCertificateDlg()
{
    OnDestroy();
    if (m_pSelectedCert != NULL) CertFreeCertificateContext(m_pSelectedCert);
}

INT_PTR CSelectCertificateDlg::DoModal(IPickerBackend& backend, const SelectDialogParams* pParams)
{
    return backend.DoModal(*this, pParams);
}

HRESULT CSelectCertificateDlg::OnInitDialog(const SelectDialogParams* pParams, DWORD dwMajorVersion)
{
    TraceHelper trace("CSelectCertificateDlg::OnInitDialog");
    HRESULT hr = S_OK;
    if (pParams == NULL) {
        hr = E_INVALIDARG;
        TraceStepEx(hr, kInitDialog, TEXT("Check lParam passed to InitalDialog"));
        m_hrError = hr;
        return hr;
    }
    if (pParams->resourceModule != NULL) m_hResourceModule = pParams->resourceModule;
    if (pParams->headerText != NULL) {
        // The header holds 127 characters; a longer text is cut rather than overrun.
        StringCchCopyNW(m_wszHeaderText, ARRAYSIZE(m_wszHeaderText), pParams->headerText, ARRAYSIZE(m_wszHeaderText) - 1);
    }
    if (m_wszHeaderText[0] == 0) {
        if (LoadStringW(m_hResourceModule, IDS_SELECT_CERTIFICATE_HEADER, m_wszHeaderText,
                        static_cast<int>(ARRAYSIZE(m_wszHeaderText))) <= 0) {
            hr = HResultFromFailedCall();
            TraceStepEx(hr, kInitDialog, TEXT("LoadString"));
            m_hrError = hr;
            return hr;
        }
    }
    m_bNewerSystem = dwMajorVersion > 5;

    hr = LoadCertificates(pParams->store);
    if (FAILED(hr)) {
        TraceStepEx(hr, kInitDialog, TEXT("LoadCertificates"));
    } else if (m_items.empty()) {
        // An empty list would leave nothing to choose: say so instead of showing it.
        hr = NPK_PICKER_NO_CERTIFICATE;
        TraceStepEx(hr, kInitDialog, TEXT("Check certificate count"));
    }
    m_hrError = hr;
    return hr;
}

HRESULT CSelectCertificateDlg::LoadCertificates(HCERTSTORE hStore)
{
    TraceHelper trace("CSelectCertificateDlg::LoadCertificates");
    ReleaseCertificateList(m_certificates);
    m_items.clear();

    HRESULT hr = ExtractCertificatesFromStore(hStore, m_certificates);
    if (FAILED(hr)) {
        TraceStepEx(hr, kLoadCertificates, TEXT("ExtractCertificatesFromStore"));
        return hr;
    }
    m_items.reserve(m_certificates.size());
    for (PCCERT_CONTEXT pCert : m_certificates) {
        CertificateItem item;
        LPCWSTR pwszStep = NULL;
        hr = BuildCertificateItem(pCert, m_hResourceModule, &item, &pwszStep);
        if (FAILED(hr)) {
            TraceStepEx(hr, kLoadCertificates, pwszStep != NULL ? pwszStep : TEXT("BuildCertificateItem"));
            ReleaseCertificateList(m_certificates);
            m_items.clear();
            return hr;
        }
        m_items.push_back(item);
    }
    SortCertificateItems(m_items);
    return S_OK;
}

INT_PTR CSelectCertificateDlg::OnOK(int nSelectedRow)
{
    TraceHelper trace("CSelectCertificateDlg::OnOK");
    if (nSelectedRow < 0 || static_cast<size_t>(nSelectedRow) >= m_items.size()) {
        // Nothing chosen yet: the dialog stays open.
        TraceStepEx(E_INVALIDARG, kOnOK, TEXT("Check selected row"));
        return 0;
    }
    if (m_pSelectedCert != NULL) {
        CertFreeCertificateContext(m_pSelectedCert);
        m_pSelectedCert = NULL;
    }
    m_pSelectedCert = CertDuplicateCertificateContext(m_items[nSelectedRow].pCertContext);
    if (m_pSelectedCert == NULL) {
        m_hrError = HResultFromFailedCall();
        TraceStepEx(m_hrError, kOnOK, TEXT("CertDuplicateCertificateContext"));
    } else {
        m_hrError = S_OK;
    }
    return 1;
}

INT_PTR CSelectCertificateDlg::OnCancel()
{
    m_hrError = NPK_PICKER_CANCELLED;
    return 2;
}

void CSelectCertificateDlg::OnDestroy()
{
    ReleaseCertificateList(m_certificates);
    m_items.clear();
}

PCCERT_CONTEXT CSelectCertificateDlg::DetachSelectedCertificate()
{
    PCCERT_CONTEXT pCert = m_pSelectedCert;
    m_pSelectedCert = NULL;
    return pCert;
}
