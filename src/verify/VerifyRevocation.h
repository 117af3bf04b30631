// The revocation check of CVerifyMsg (Check_CRL) with its sources:
// OpenSSL's CRL checking in the trust store, the CRL distribution points,
// a directory of CRL files and OCSP; and the CRL comparison they share.
#pragma once

#include "src/revocation/RevocationCodes.h"

#include <openssl/x509.h>
#include <openssl/x509_vfy.h>

struct timeb;

namespace kivo::verify {

using revocation::kRevoked;
inline constexpr unsigned int kNoTrustedChain = 0x80010000;

// The source `crlMode` selects: the lowest of the bits 0x01, 0x02, 0x04,
// 0x08 that is set, or 0 when none is.
unsigned int revocationSource(unsigned int crlMode);

// True for the sources that work through the trust store and its context
// (OpenSSL's CRL checking, and OCSP and the strict CRL directory mode,
// which take the issuer from the store).
bool sourceUsesStore(unsigned int source);

// kRevoked when `crl` lists the certificate's serial number with a
// revocation date before the local broken-down verification time (the
// current time when `verifyTime` is null), else 0. A signature made before
// the revocation stays valid. The CRL's issuer, signature and update times
// are not examined. An entry whose date cannot be read counts as revoked.
unsigned int compareWithCrl(X509_CRL* crl, const struct timeb* verifyTime, X509* certificate);

// The revocation check of `certificate` by the source `crlMode` selects:
//  0x01  OpenSSL's chain verification with CRL checking through `store`
//        (the context is initialised again); its return value (1 passed,
//        0 failed), or for a revoked certificate the CRL comparison with
//        the CRL the store holds for the issuer
//  0x02  the distribution points are read and logged; 0
//  0x04  the OR of the CRL comparison over every "*.crl" file (DER or PEM)
//        in the directory `crlSource`; files that do not load count 0
//  0x08  OCSP at `crlSource`, else at the certificate's own OCSP URL; the
//        issuer must be in `store` (kNoTrustedChain otherwise)
// Without a certificate, and in the modes 0x01 and 0x08 without a store
// and context, the result is kNoTrustedChain. No mode bit: 0.
unsigned int Check_CRL(X509* certificate, X509_STORE* store, X509_STORE_CTX* context,
                       unsigned int crlMode, const char* crlSource,
                       const struct timeb* verifyTime, int validityModel);

}  // namespace kivo::verify
