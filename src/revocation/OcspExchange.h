// One OCSP exchange (RFC 6960 over HTTP): the request for one certificate
// with a fresh nonce, sent directly or through an HTTP proxy's CONNECT
// tunnel, and what the responder said. The two callers judge the answer
// differently (CCrlSSL::CheckOCSP and the revocation check of CVerifyMsg),
// so this layer only reports.
#pragma once

#include "KivoLogger.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "src/revocation/ProxyTunnel.h"
#include "src/revocation/RevocationCodes.h"

struct x509_st;
struct ocsp_request_st;
struct ocsp_cert_id_st;

namespace kivo::ocsp {

using revocation::kOcspNoUrl;
using revocation::kOcspCommunication;

// Time allowed for one whole exchange: connecting, the proxy handshake,
// sending the request and receiving the response. It is checked in whole
// seconds, so the bound is met to within one second. Name resolution cannot
// be interrupted; it is bounded by the system resolver's own time-outs.
inline constexpr int kTimeLimitSeconds = 10;
// Longest response body accepted from a responder (OpenSSL's default).
inline constexpr unsigned long kMaxResponseLength = 100ul * 1024;

using proxy::Proxy;

struct Answer {
    // 0 when the exchange produced a status for the certificate, else
    // kOcspNoUrl or kOcspCommunication (and the fields below are not set).
    std::uint32_t failure = kOcspCommunication;
    int status = -1;                     // V_OCSP_CERTSTATUS_GOOD / _REVOKED / _UNKNOWN
    int nonceCheck = 0;                  // OCSP_check_nonce's result
    bool hasRevocationTime = false;
    int revocation[6] = {};              // year, month, day, hour, minute, second (as they stand)
    std::int64_t revocationSeconds = 0;  // the library's ASN.1 time conversion of the same time
    std::vector<unsigned char> response;             // DER OCSPResponse
    std::vector<unsigned char> responderCertificate; // first certificate of the basic response
};

// Asks the responder at `url` for the status of `certificate` (issued by
// `issuer`), through `proxy` when it is not null. Returns within a bounded
// time even when the responder or proxy stops answering; never throws.
Answer exchange(x509_st* issuer, x509_st* certificate, const char* url, const Proxy* proxy,
                const log4cxx::LoggerPtr& logger);

// The judging part of the exchange: decodes `length` bytes of a DER
// OCSPResponse, requires a successful response with a basic response that
// holds a status for `id`, and reports that status, the nonce check against
// `request`, the revocation time, the first certificate carried and the
// response re-encoded. Anything else gives kOcspCommunication. Logs OpenSSL's
// errors under the name of the failed call; never throws.
Answer judgeResponse(const unsigned char* der, std::size_t length, ocsp_request_st* request,
                     ocsp_cert_id_st* id, const log4cxx::LoggerPtr& logger);

}  // namespace kivo::ocsp
