// One HTTP request on libcurl, for the library's internal use (time-stamp
// requests). Not the exported CCrlSSL::SendHttpRequest.
#pragma once

#include <log4cxx/logger.h>

#include <string>

namespace kivo {

// Size of the receive buffer the caller passes in `*out`.
inline constexpr unsigned long kHttpReceiveBufferSize = 64000;
// Size of one read of the response body.
inline constexpr unsigned long kHttpReadChunkSize = 1000;
// Longest silence while waiting for response data.
inline constexpr long kHttpReceiveTimeoutMs = 5000;

// Result codes.
inline constexpr int kHttpOk = 0;
inline constexpr int kHttpOpenFailed = -264;        // no session handle
inline constexpr int kHttpConnectFailed = -265;     // connection handle not set up
inline constexpr int kHttpRequestFailed = -272;     // request could not be prepared
inline constexpr int kHttpBadUrl = -273;            // URL cannot be split
inline constexpr int kHttpClientCertNeeded = -276;  // server asked for a client certificate
inline constexpr int kHttpCloseFailed = -277;       // session could not be closed

// The helper's logger, "KivoCryptoSSL::CHttp".
const log4cxx::LoggerPtr& httpLogger();

// Sends `method` to `url` with `body` and the header lines in `headers`
// (separated by "\n"; `headersLen` -1 means NUL-terminated). The response
// body is kept when its first 1000 bytes start a DER SEQUENCE with a
// long-form length, or contain both "BEGIN" and "CRL"; it is copied to
// `*out`, which must hold kHttpReceiveBufferSize bytes, and `*outLen`
// receives its length (0 when nothing is kept, also when the body is
// longer than the buffer). A failed transfer (no connection, time-out)
// keeps nothing but is not an error: callers judge the empty response.
// Never throws.
int SendHttpRequest(std::string url, const char* method, unsigned char* body,
                    unsigned long bodyLen, const char* headers, int headersLen,
                    unsigned char** out, unsigned long* outLen);

}  // namespace kivo
