#include "src/verify/VerifyRevocation.h"

#include "src/cert/IssuerLookup.h"
#include "src/frame/Logging.h"
#include "src/verify/VerifyFileCache.h"
#include "src/verify/VerifyOcsp.h"
#include "src/verify/VerifyPolicy.h"
#include "src/verify/VerifyTrustStore.h"
#include "src/verify/VerifyValidity.h"
#include "src/frame/OpenSSLHandles.h"

#include <openssl/err.h>
#include <openssl/x509v3.h>

#include <memory>
#include <string>

#include <sys/stat.h>

namespace kivo::verify {
namespace {

constexpr unsigned int kSourceOrder[] = {0x01, 0x02, 0x04, 0x08};
constexpr unsigned int kSourceOpenSSL = 0x01;
constexpr unsigned int kSourceDistributionPoints = 0x02;
constexpr unsigned int kSourceDirectory = 0x04;
constexpr unsigned int kSourceOcsp = 0x08;

// A CRL file larger than this is not read: no CRL a verification deals
// with comes near it, and reading it whole would only exhaust memory.
constexpr std::uintmax_t kMaxCrlFileSize = 64u * 1024u * 1024u;

struct DistPointsDeleter {
    void operator()(CRL_DIST_POINTS* points) const { CRL_DIST_POINTS_free(points); }
};

// The CRL in `path` (DER, else PEM) from the file cache; null when it is
// neither.
ParsedFilePtr loadCrl(const CrlListingEntry& file) {
    ParsedFilePtr parsed = crlFile(file);
    if (!parsed) LOG4CXX_WARN(loggers::module, "unable to load CRL " << file.path);
    return parsed;
}

// OpenSSL's CRL checking: the chain is verified again with
// X509_V_FLAG_CRL_CHECK; a revoked certificate is judged by the CRL
// comparison, so that a signature made before the revocation passes.
unsigned int checkWithOpenSSL(X509* certificate, X509_STORE* store, X509_STORE_CTX* context,
                              const struct timeb* verifyTime) {
    X509_STORE_set_flags(store, X509_V_FLAG_CRL_CHECK);
    if (!initialiseContext(context, store, certificate)) return kNoTrustedChain;
    const int verified = X509_verify_cert(context);
    const int error = X509_STORE_CTX_get_error(context);
    ERR_clear_error();
    LOG4CXX_DEBUG(loggers::module, "X509_verify_cert with CRL check: " << verified << ", error " << error);
    if (verified != 1 && error == X509_V_ERR_CERT_REVOKED) {
        X509ObjectPtr object(X509_OBJECT_new());
        if (object && X509_STORE_CTX_get_by_subject(context, X509_LU_CRL, X509_get_issuer_name(certificate),
                                                    object.get()) == 1) {
            return compareWithCrl(X509_OBJECT_get0_X509_CRL(object.get()), verifyTime, certificate);
        }
        ERR_clear_error();
    }
    // A negative value means the context could not be used at all.
    return verified < 0 ? kNoTrustedChain : static_cast<unsigned int>(verified);
}

// The CRL distribution points are read and logged; nothing is fetched.
unsigned int readDistributionPoints(X509* certificate) {
    std::unique_ptr<CRL_DIST_POINTS, DistPointsDeleter> points(static_cast<CRL_DIST_POINTS*>(
        X509_get_ext_d2i(certificate, NID_crl_distribution_points, nullptr, nullptr)));
    ERR_clear_error();
    const int count = points ? sk_DIST_POINT_num(points.get()) : 0;
    for (int i = 0; i < count; ++i) {
        const DIST_POINT* point = sk_DIST_POINT_value(points.get(), i);
        if (point->distpoint == nullptr || point->distpoint->type != 0) continue;
        const GENERAL_NAMES* names = point->distpoint->name.fullname;
        for (int n = 0; n < sk_GENERAL_NAME_num(names); ++n) {
            const GENERAL_NAME* name = sk_GENERAL_NAME_value(names, n);
            if (name->type != GEN_URI) continue;
            const ASN1_IA5STRING* uri = name->d.uniformResourceIdentifier;
            LOG4CXX_DEBUG(loggers::module, "CRL distribution point: "
                                               << std::string(reinterpret_cast<const char*>(ASN1_STRING_get0_data(uri)),
                                                              static_cast<std::size_t>(ASN1_STRING_length(uri))));
        }
    }
    return 0;
}


// The OR of the CRL comparison over the "*.crl" files of `directory`. A
// directory that cannot be read holds no CRL. Under the strict policy a
// CRL counts only when it is the certificate's issuer's and its signature
// verifies with that issuer's key from the trust store; the others are
// noted as ignored.
unsigned int checkDirectory(X509* certificate, X509_STORE_CTX* context, const char* directory,
                            const struct timeb* verifyTime) {
    if (directory == nullptr) return 0;
    const bool strict = strictPolicy();
    const X509Ptr issuer = strict ? issuerInStore(context, certificate) : nullptr;
    const auto listing = crlListing(directory);
    if (!listing) {
        LOG4CXX_WARN(loggers::module, "CRL directory not readable: " << directory);
        return 0;
    }
    unsigned int result = 0;
    for (const CrlListingEntry& file : *listing) {
        if (!file.found || !S_ISREG(file.info.st_mode)) continue;
        const std::string& path = file.path;
        if (static_cast<std::uintmax_t>(file.info.st_size) > kMaxCrlFileSize) {
            LOG4CXX_WARN(loggers::module, "CRL file skipped (unreadable or too large): " << path);
            continue;
        }
        const ParsedFilePtr parsed = loadCrl(file);
        X509_CRL* crl = parsed ? parsed->crls.front().get() : nullptr;
        if (crl != nullptr && strict) {
            const std::string refusal =
                crlRefusal(crl, certificate, issuer.get(), [&](X509* key) { return parsed->crlSignedBy(key); });
            if (!refusal.empty()) {
                LOG4CXX_WARN(loggers::module, "CRL ignored: " << path << ": " << refusal);
                noteIgnoredCrl(path, refusal);
                continue;
            }
        }
        result |= compareWithCrl(crl, verifyTime, certificate);
    }
    return result;
}

// OCSP for `certificate`: the issuer comes from the store; the responder
// is `url`, else the certificate's own.
unsigned int checkWithOcsp(X509* certificate, X509_STORE_CTX* context, const char* url,
                           const struct timeb* verifyTime, int validityModel) {
    const std::string ownUrl = certificateOcspUrl(certificate);
    const X509Ptr issuer = issuerInStore(context, certificate);
    if (!issuer) {
        LOG4CXX_ERROR(loggers::module, "OCSP: the issuer of the signer certificate is not in the trust store");
        return kNoTrustedChain;
    }
    const char* responder = url != nullptr ? url : (ownUrl.empty() ? nullptr : ownUrl.c_str());
    if (responder == nullptr) {
        LOG4CXX_ERROR(loggers::module, "OCSP: no responder URL given and none in the certificate");
        return kOcspNoUrl;
    }
    return ocspQuery(issuer.get(), certificate, responder, verifyTime, validityModel);
}

}  // namespace

unsigned int revocationSource(unsigned int crlMode) {
    for (const unsigned int bit : kSourceOrder) {
        if ((crlMode & bit) != 0) return bit;
    }
    return 0;
}

bool sourceUsesStore(unsigned int source) {
    return source == kSourceOpenSSL || source == kSourceOcsp || (source == kSourceDirectory && strictPolicy());
}

unsigned int compareWithCrl(X509_CRL* crl, const struct timeb* verifyTime, X509* certificate) {
    if (crl == nullptr || certificate == nullptr) return 0;
    X509_REVOKED* entry = nullptr;
    // 1: listed; 0: not listed; 2: listed as removeFromCRL (no longer revoked).
    if (X509_CRL_get0_by_serial(crl, &entry, X509_get0_serialNumber(certificate)) != 1 || entry == nullptr) {
        return 0;
    }
    const auto revokedAt = asn1Moment(X509_REVOKED_get0_revocationDate(entry));
    const auto at = localMoment(referenceSeconds(verifyTime));
    if (!revokedAt || !at) return kRevoked;
    return *at > *revokedAt ? kRevoked : 0;
}

unsigned int Check_CRL(X509* certificate, X509_STORE* store, X509_STORE_CTX* context,
                       unsigned int crlMode, const char* crlSource,
                       const struct timeb* verifyTime, int validityModel) {
    const unsigned int source = revocationSource(crlMode);
    // No certificate (a container without the signer's): no CRL lists it,
    // so by the default rules the CRL modes find nothing; the strict ones
    // count it as no trusted chain. OCSP needs the issuer of a
    // certificate and finds none either way.
    const unsigned int noCertificate = strictPolicy() ? kNoTrustedChain : 0;
    switch (source) {
        case kSourceOpenSSL:
            if (certificate == nullptr) return noCertificate;
            if (store == nullptr || context == nullptr) return kNoTrustedChain;
            return checkWithOpenSSL(certificate, store, context, verifyTime);
        case kSourceDistributionPoints:
            return certificate != nullptr ? readDistributionPoints(certificate) : 0;
        case kSourceDirectory:
            if (certificate == nullptr) return noCertificate;
            return checkDirectory(certificate, context, crlSource, verifyTime);
        case kSourceOcsp:
            if (certificate == nullptr || store == nullptr || context == nullptr) return kNoTrustedChain;
            return checkWithOcsp(certificate, context, crlSource, verifyTime, validityModel);
        default:
            return 0;
    }
}

}  // namespace kivo::verify
