// The strict verification policy of CVerifyMsg and CCrlSSL, and what a
// verification on this thread learned on the way (OpenSSL's chain error,
// the CRLs it did not use).
//
// The default rules are the library's long-standing ones, which hosts rely
// on: the chain fails only when an issuer is missing, a GeneralizedTime
// year is read by the two-digit rule, and a CRL is matched by serial number
// alone. Under the strict policy every chain error but a validity-period
// one fails the chain, years are read as written, and a CRL counts for a
// certificate only when its issuer issued the certificate and its
// signature verifies with that issuer's key.
#pragma once

#include <openssl/x509.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace kivo::verify {

// Process-wide, default off; safe to read and set from any thread.
bool strictPolicy();
void setStrictPolicy(bool strict);

// What the calls of one thread report besides their result code.
struct Diagnostics {
    int chainError = 0;            // X509_V_ERR_* of the last chain verification, 0 when it passed
    std::string chainErrorText;    // OpenSSL's text for it
    std::string ignoredCrls;       // one "CRL: reason" line per CRL that was not used
};

// This thread's diagnostics; reset at the start of each verification.
Diagnostics& diagnostics();
void resetDiagnostics();
void noteChainError(int error);
void noteIgnoredCrl(const std::string& crl, const std::string& reason);

// Errors about a certificate's validity period, which the validity steps
// judge by their own model.
bool isValidityPeriodError(int error);

// An ASN.1 time as seconds under the policy in force: the four-digit year
// of a GeneralizedTime as written when strict (kBeyondTimeRange past
// time_t), by the two-digit rule otherwise. Nothing for a malformed time.
std::optional<std::int64_t> policySeconds(const ASN1_TIME* time);

// Why `crl` may not be used to judge `certificate` under the strict
// policy: it comes from another issuer, or its signature does not verify
// with the key of `issuer` (null: the issuer is not in the trust store).
// Empty when the CRL may be used. `signedBy`, when given, answers the
// signature question (a cached answer); otherwise the signature is
// verified here.
std::string crlRefusal(X509_CRL* crl, X509* certificate, X509* issuer,
                       const std::function<bool(X509*)>& signedBy = {});

}  // namespace kivo::verify
