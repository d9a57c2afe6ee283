// Finishing a CMS message that OpenSSL built with CMS_PARTIAL, for the tests that compare our
// envelopes with OpenSSL's.
#pragma once

#include "CertTestSupport.h"

#include <openssl/bio.h>
#include <openssl/cms.h>

namespace certtest {

// The message over `in`, DER; with CMS_STREAM in flags, indefinite-length BER. Empty when
// OpenSSL fails. The caller still owns cms and in.
inline Bytes FinishCms(CMS_ContentInfo* cms, BIO* in, unsigned flags)
{
    Bytes out;
    BIO* mem = BIO_new(BIO_s_mem());
    int ok = (flags & CMS_STREAM) ? i2d_CMS_bio_stream(mem, cms, in, CMS_BINARY | CMS_STREAM)
                                  : (CMS_final(cms, in, nullptr, CMS_BINARY) && i2d_CMS_bio(mem, cms));
    if (ok) {
        char* p = nullptr;
        long n = BIO_get_mem_data(mem, &p);
        out.assign(p, p + n);
    }
    BIO_free(mem);
    return out;
}

}  // namespace certtest
