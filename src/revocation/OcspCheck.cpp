// The OCSP check behind CCrlSSL::CheckOCSP: one exchange, judged and
// copied into the caller's buffers.

#include "src/revocation/OcspCheck.h"

#include "CrlSSL.h"
#include "src/frame/Logging.h"
#include "src/revocation/OcspExchange.h"

#include <openssl/ocsp.h>

#include <cstring>
#include <vector>

namespace {

constexpr int kRevoked = static_cast<int>(kivo::revocation::kRevoked);
constexpr int kUnknown = static_cast<int>(kivo::revocation::kUnknownStatus);
constexpr int kNoUrl = static_cast<int>(kivo::revocation::kOcspNoUrl);
constexpr int kCommunication = static_cast<int>(kivo::revocation::kOcspCommunication);

void copyOut(const std::vector<unsigned char>& bytes, unsigned char** buffer,
             unsigned long* length) {
    if (buffer == nullptr || *buffer == nullptr || length == nullptr) return;
    if (!bytes.empty()) std::memcpy(*buffer, bytes.data(), bytes.size());
    *length = static_cast<unsigned long>(bytes.size());
}

int judge(const kivo::ocsp::Answer& answer, __int64* revocationTime, unsigned char** response,
          unsigned long* responseLen, unsigned char** responderCert,
          unsigned long* responderCertLen, const log4cxx::LoggerPtr& logger) {
    if (answer.failure != 0) return static_cast<int>(answer.failure);
    // Only two different nonces fail: a responder that does not echo the
    // nonce is accepted.
    if (answer.nonceCheck == 0) return kCommunication;
    if (answer.response.size() > CCrlSSL::cMaxOcspResponseLength ||
        answer.responderCertificate.size() > CCrlSSL::cMaxOcspResponseLength) {
        LOG4CXX_ERROR(logger, "OCSP response longer than " << CCrlSSL::cMaxOcspResponseLength
                                                           << " bytes");
        return kCommunication;
    }

    int result = 0;
    switch (answer.status) {
    case V_OCSP_CERTSTATUS_GOOD:
        break;
    case V_OCSP_CERTSTATUS_REVOKED:
        if (revocationTime != nullptr) *revocationTime = answer.revocationSeconds;
        result = kRevoked;
        break;
    default:
        result = kUnknown;
        break;
    }
    if (responderCert != nullptr && !answer.responderCertificate.empty()) {
        copyOut(answer.responderCertificate, responderCert, responderCertLen);
    }
    copyOut(answer.response, response, responseLen);
    return result;
}

}  // namespace

int ssl_ocsp_check(x509_st* issuer, x509_st* cert, char* url, __int64* revocationTime,
                   unsigned char** response, unsigned long* responseLen,
                   unsigned char** responderCert, unsigned long* responderCertLen, bool useProxy,
                   std::string proxyUrl, std::string proxyAuth, std::string userAgent,
                   int options, log4cxx::LoggerPtr logger) {
    try {
        LOG4CXX_DEBUG(logger, "entering ssl_ocsp_check");
        if (url == nullptr) return kNoUrl;
        kivo::ocsp::Proxy proxy;
        if (useProxy) {
            proxy.address = std::move(proxyUrl);
            proxy.authorization = std::move(proxyAuth);
            proxy.userAgent = std::move(userAgent);
            proxy.options = options;
        }
        const kivo::ocsp::Answer answer =
            kivo::ocsp::exchange(issuer, cert, url, useProxy ? &proxy : nullptr, logger);
        return judge(answer, revocationTime, response, responseLen, responderCert,
                     responderCertLen, logger);
    } catch (...) {
        // Out of memory while building texts or copies: a failed exchange.
    }
    return kCommunication;
}
