#include "src/verify/VerifyPolicy.h"

#include "src/frame/Asn1Time.h"

#include <openssl/err.h>
#include <openssl/x509_vfy.h>

#include <atomic>

namespace kivo::verify {
namespace {

std::atomic<bool> g_strict{false};

}  // namespace

bool strictPolicy() { return g_strict.load(std::memory_order_relaxed); }

void setStrictPolicy(bool strict) { g_strict.store(strict, std::memory_order_relaxed); }

Diagnostics& diagnostics() {
    thread_local Diagnostics perThread;
    return perThread;
}

void resetDiagnostics() { diagnostics() = Diagnostics{}; }

void noteChainError(int error) {
    Diagnostics& current = diagnostics();
    current.chainError = error;
    current.chainErrorText = error != X509_V_OK ? X509_verify_cert_error_string(error) : "";
}

void noteIgnoredCrl(const std::string& crl, const std::string& reason) {
    diagnostics().ignoredCrls += crl + ": " + reason + "\n";
}

bool isValidityPeriodError(int error) {
    switch (error) {
        case X509_V_ERR_CERT_NOT_YET_VALID:
        case X509_V_ERR_CERT_HAS_EXPIRED:
        case X509_V_ERR_ERROR_IN_CERT_NOT_BEFORE_FIELD:
        case X509_V_ERR_ERROR_IN_CERT_NOT_AFTER_FIELD:
            return true;
        default:
            return false;
    }
}

std::optional<std::int64_t> policySeconds(const ASN1_TIME* time) {
    return strictPolicy() ? asn1TimeToSecondsAsWritten(time) : readAsn1Time(time);
}

std::string crlRefusal(X509_CRL* crl, X509* certificate, X509* issuer, const std::function<bool(X509*)>& signedBy) {
    if (X509_NAME_cmp(X509_CRL_get_issuer(crl), X509_get_issuer_name(certificate)) != 0) {
        return "issued by another CA than the certificate";
    }
    if (issuer == nullptr) return "the certificate's issuer is not in the trust store";
    if (signedBy) return signedBy(issuer) ? std::string() : "CRL signature does not verify with the issuer's key";
    EVP_PKEY* key = X509_get0_pubkey(issuer);
    const bool verified = key != nullptr && X509_CRL_verify(crl, key) == 1;
    ERR_clear_error();
    return verified ? std::string() : "CRL signature does not verify with the issuer's key";
}

}  // namespace kivo::verify
