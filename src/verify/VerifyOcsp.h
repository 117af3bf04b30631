// OCSP as CVerifyMsg's revocation check uses it: the responder URL a
// certificate names, the query through the shared OCSP exchange, and how
// the answer is judged.
#pragma once

#include "src/revocation/OcspExchange.h"

#include <openssl/x509.h>

#include <string>

struct timeb;

namespace kivo::verify {

using revocation::kOcspCommunication;
using revocation::kOcspNoUrl;

// The value of the first "OCSP - URI" entry of the first
// authorityInfoAccess extension that OpenSSL can decode, as OpenSSL lists
// the extension's entries; empty when there is none.
std::string certificateOcspUrl(X509* certificate);

// The verdict on a responder's answer:
//  - the exchange failed: its code (kOcspNoUrl or kOcspCommunication);
//  - the nonce check gave less than 1 (the responder did not echo the
//    request's nonce, or echoed another): kOcspCommunication;
//  - good and unknown: 0;
//  - revoked: 0x80000004 when the local broken-down verification time
//    (the current time without `verifyTime`) is later than the revocation
//    time taken field by field as the response states it, else 0; a
//    revoked answer without a readable time counts as revoked.
// The responder's signature and its update times are not examined.
unsigned int judgeOcspAnswer(const kivo::ocsp::Answer& answer, const struct timeb* verifyTime);

// Asks the responder at `url` (directly, never through the proxy of
// CCrlSSL) for the status of `certificate` issued by `issuer`, and judges
// the answer. `validityModel` is not used.
unsigned int ocspQuery(X509* issuer, X509* certificate, const char* url,
                       const struct timeb* verifyTime, int validityModel);

}  // namespace kivo::verify
