// The shared certificate and store lists.
#pragma once

#include <windows.h>
#include <wincrypt.h>
#include <vector>

// Ordered; each entry holds its own reference; duplicates are kept.
typedef std::vector<PCCERT_CONTEXT> CertificateList;
// Ordered open store handles.
typedef std::vector<HCERTSTORE> StoreList;

void ReleaseCertificateList(CertificateList& list);
void CloseStoreList(StoreList& list);
