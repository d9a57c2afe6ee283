// The subject text of a selection.
#include "agent/SubjectText.h"

#include <memory>

#include "kernel/CertificateQueries.h"

HRESULT SetSubjectText(CAgentFrame& frame, PCCERT_CONTEXT pCert)
{
    LPWSTR pwszSubject = NULL;
    HRESULT hr = frame.Step(QueryCertContextInfo(pCert, SubjectDN, &pwszSubject, NULL),
                            TEXT("QueryCertContextInfo (Kernel) FAILED."));
    std::unique_ptr<WCHAR[]> subject(pwszSubject);
    if (SUCCEEDED(hr)) frame.SetResultText(subject.get());
    return hr;
}
