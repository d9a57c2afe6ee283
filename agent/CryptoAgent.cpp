// CCryptoAgent: construction and destruction of the agent's state.
#include "agent/CryptoAgent.h"

#include "agent/ErrorCodes.h"

CCryptoAgent::CCryptoAgent()
    : m_hrLastError(S_OK), m_pSignatureCert(NULL)
{
}

CCryptoAgent::~CCryptoAgent()
{
    ReleaseCertificateList(m_vecSignCerts);
    ReleaseCertificateList(m_vecEncryptCerts);
    CloseStoreList(m_vecDecryptStores);
    if (m_pSignatureCert != NULL) {
        CertFreeCertificateContext(m_pSignatureCert);
        m_pSignatureCert = NULL;
    }
}
