// CCryptoAgent: choosing certificates from the current user's stores. The candidates that pass
// the subject, issuer and key-usage filters are counted: one is taken at once, several go to
// the picker, none is a failure that leaves the previous choice alone.
#include "agent/CryptoAgent.h"

#include <cstring>
#include <memory>

#include "agent/AgentFrame.h"
#include "agent/ErrorCodes.h"
#include "agent/HandleGuards.h"
#include "agent/SubjectText.h"
#include "kernel/CertificateFilters.h"
#include "kernel/CertificateQueries.h"
#include "picker/SelectCertificateDialog.h"
#include "plugin/Module.h"

namespace {

constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

constexpr int kUsageSign = 1;
constexpr int kUsageEncrypt = 2;
constexpr int kUsageDecrypt = 3;

constexpr DWORD kKeyUsageSign = 0x80;     // digital signature
constexpr DWORD kKeyUsageEncrypt = 0x30;  // key encipherment, data encipherment

bool SameEncoding(PCCERT_CONTEXT a, PCCERT_CONTEXT b)
{
    return a->cbCertEncoded == b->cbCertEncoded &&
           memcmp(a->pbCertEncoded, b->pbCertEncoded, a->cbCertEncoded) == 0;
}

// Appends to the personal list each certificate of the other list that it does not already
// hold, byte for byte, so that a certificate kept in both stores is offered once.
HRESULT MergeCertificates(const CAgentFrame& frame, CertificateList& personal, const CertificateList& others)
{
    for (PCCERT_CONTEXT pOther : others) {
        bool present = false;
        for (PCCERT_CONTEXT pMine : personal) {
            if (SameEncoding(pMine, pOther)) {
                present = true;
                break;
            }
        }
        if (present) continue;
        PCCERT_CONTEXT pCopy = CertDuplicateCertificateContext(pOther);
        if (pCopy == NULL) return frame.Step(HResultFromFailedCall(), TEXT("CertDuplicateCertificateContext"));
        personal.push_back(pCopy);
    }
    return S_OK;
}

// One candidate is taken as it is; several are shown in the picker. S_OK with no certificate
// means the picker gave none back without naming a reason: nothing is chosen.
HRESULT ChooseCandidate(const CAgentFrame& frame, const CertificateList& candidates, CertGuard& chosen)
{
    if (candidates.empty()) return frame.Step(NPK_E_NO_AVAILABLE_CERT, TEXT("Check certificate count"));
    if (candidates.size() == 1) {
        chosen.pCert = CertDuplicateCertificateContext(candidates[0]);
        if (chosen.pCert == NULL)
            return frame.Step(HResultFromFailedCall(), TEXT("CertDuplicateCertificateContext"));
        return S_OK;
    }

    StoreGuard store;
    store.hStore = CertOpenStore(CERT_STORE_PROV_MEMORY, kEncoding, 0, 0, NULL);
    if (store.hStore == NULL) return frame.Step(HResultFromFailedCall(), TEXT("CertOpenStore"));
    for (PCCERT_CONTEXT pCandidate : candidates) {
        if (!CertAddCertificateContextToStore(store.hStore, pCandidate, CERT_STORE_ADD_USE_EXISTING, NULL))
            return frame.Step(HResultFromFailedCall(), TEXT("CertAddCertificateContextToStore"));
    }

    SelectCertificateRequest request = {};
    request.kind = 0;
    request.resourceModule = g_hModuleInstance;
    chosen.pCert = CustomCryptUIDlgSelectCertificateFromStore(store.hStore, &request);
    if (chosen.pCert == NULL)
        return frame.Step(HResultFromLastError(), TEXT("CustomCryptUIDlgSelectCertificateFromStore"));
    return S_OK;
}

}  // namespace

HRESULT CCryptoAgent::SelectCertificate(int nUsage, BSTR bstrSubjectDNFilter, BSTR bstrIssuerDNFilter,
                                        BSTR* pbstrResult)
{
    CAgentFrame frame(m_hrLastError, NPK_AGENT_OPERATION("SelectCertificate"), pbstrResult);

    if (nUsage == kUsageDecrypt) {
        // No certificate is chosen: decryption looks for its key among the whole store.
        HCERTSTORE hStore = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, kEncoding, 0,
                                          CERT_SYSTEM_STORE_CURRENT_USER | CERT_STORE_READONLY_FLAG, TEXT("MY"));
        if (hStore == NULL) return frame.Finish(frame.Step(HResultFromFailedCall(), TEXT("CertOpenStore")));
        CloseStoreList(m_vecDecryptStores);
        m_vecDecryptStores.push_back(hStore);
        return frame.Finish(S_OK);
    }
    if (nUsage != kUsageSign && nUsage != kUsageEncrypt) return frame.Finish(S_OK);

    CertificateFilter filter = {};
    filter.subjectFilter = bstrSubjectDNFilter;
    filter.issuerFilter = bstrIssuerDNFilter;
    filter.keyUsage = nUsage == kUsageSign ? kKeyUsageSign : kKeyUsageEncrypt;
    filter.requirePrivateKey = nUsage == kUsageSign ? 1 : 0;

    ListGuard personal;
    HRESULT hr = S_OK;
    if (nUsage == kUsageSign) {
        hr = frame.Step(ExtractCertificatesFromLocalStore(TEXT("MY"), personal.list),
                        TEXT("ExtractCertificatesFromLocalStore"));
        if (FAILED(hr)) return frame.Finish(hr);
    } else {
        hr = frame.Step(ExtractCertificatesFromLocalStore(TEXT("MY"), personal.list),
                        TEXT("ExtractCertificatesFromLocalStore (Kernel)"));
        if (FAILED(hr)) return frame.Finish(hr);
        ListGuard addressBook;
        hr = frame.Step(ExtractCertificatesFromLocalStore(TEXT("ADDRESSBOOK"), addressBook.list),
                        TEXT("ExtractCertificatesFromLocalStore (Kernel)"));
        if (FAILED(hr)) return frame.Finish(hr);
        hr = MergeCertificates(frame, personal.list, addressBook.list);
        if (FAILED(hr)) return frame.Finish(hr);
    }

    ListGuard candidates;
    hr = frame.Step(FilterCertificates(&filter, candidates.list, personal.list), TEXT("FilterCertificates"));
    if (FAILED(hr)) return frame.Finish(hr);

    CertGuard chosen;
    hr = ChooseCandidate(frame, candidates.list, chosen);
    if (FAILED(hr) || chosen.pCert == NULL) return frame.Finish(hr);

    hr = SetSubjectText(frame, chosen.pCert);
    if (FAILED(hr)) return frame.Finish(hr);

    CertificateList& selection = nUsage == kUsageSign ? m_vecSignCerts : m_vecEncryptCerts;
    ReleaseCertificateList(selection);
    selection.push_back(chosen.Release());
    return frame.Finish(S_OK);
}

HRESULT CCryptoAgent::SelectSignCertificate(BSTR bstrSubjectDNFilter, BSTR bstrIssuerDNFilter, BSTR* pbstrResult)
{
    CAgentFrame frame(m_hrLastError, NPK_AGENT_OPERATION("SelectSignCertificate"), pbstrResult);
    HRESULT hr = SelectCertificate(kUsageSign, bstrSubjectDNFilter, bstrIssuerDNFilter, pbstrResult);
    if (FAILED(hr)) frame.Step(hr, TEXT("SelectCertificate (R) FAILED."));
    return frame.Finish(hr);
}

HRESULT CCryptoAgent::SelectEncryptCertificate(BSTR bstrSubjectDNFilter, BSTR bstrIssuerDNFilter, BSTR* pbstrResult)
{
    CAgentFrame frame(m_hrLastError, NPK_AGENT_OPERATION("SelectEncryptCertificate"), pbstrResult);
    HRESULT hr = SelectCertificate(kUsageEncrypt, bstrSubjectDNFilter, bstrIssuerDNFilter, pbstrResult);
    if (FAILED(hr)) frame.Step(hr, TEXT("SelectCertificate (R) FAILED."));
    return frame.Finish(hr);
}

HRESULT CCryptoAgent::SelectDecryptCertificates(BSTR* pbstrResult)
{
    CAgentFrame frame(m_hrLastError, NPK_AGENT_OPERATION("SelectDecryptCertificates"), pbstrResult);
    HRESULT hr = SelectCertificate(kUsageDecrypt, NULL, NULL, pbstrResult);
    if (FAILED(hr)) frame.Step(hr, TEXT("SelectCertificate (R) FAILED."));
    return frame.Finish(hr);
}
