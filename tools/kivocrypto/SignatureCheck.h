// A second opinion on a signature container: OpenSSL's own verification of
// the signature and of its RFC 3161 time stamp, independent of the library.
#pragma once

#include <openssl/x509.h>

#include <string>
#include <vector>

namespace kivocrypto {

// Verifies every signer of the DER container over the detached `content`
// with CMS_verify, trusting only `ca`. Empty when valid, else the reason.
std::string checkDetachedSignature(const std::vector<unsigned char>& der,
                                   const std::vector<unsigned char>& content, X509* ca);

struct TimeStampCheck {
    std::string error;  // empty when the token is valid
    std::string time;   // the token's genTime as "YYYY-MM-DD HH:MM:SS UTC"
    std::string imprintCovers;  // what the imprint matched, when valid
};

// Verifies the time-stamp token of the first signer: its signature, trusting
// only `tsaCa`, and its imprint against the signer's signature value (for
// ECDSA the library stamps the r||s form of the value).
TimeStampCheck checkTimeStamp(const std::vector<unsigned char>& der, X509* tsaCa);

}  // namespace kivocrypto
