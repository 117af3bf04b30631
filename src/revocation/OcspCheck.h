// The OCSP check behind CCrlSSL::CheckOCSP.
#pragma once

#include "KivoExport.h"

#include <log4cxx/logger.h>

#include <string>

// Asks the responder at `url` for the status of `cert` (issued by
// `issuer`), through the proxy at `proxyUrl` when `useProxy` is set, and
// copies what it said into the caller's buffers (each at most
// CCrlSSL::cMaxOcspResponseLength bytes; null pointers are skipped).
// Returns 0 good, 0x80000004 revoked (time stored), 0x80000800 unknown,
// 0x80080000 no or unusable URL or proxy address, 0x80000200 communication
// failure or nonce mismatch. Never throws.
int ssl_ocsp_check(x509_st* issuer, x509_st* cert, char* url, __int64* revocationTime,
                   unsigned char** response, unsigned long* responseLen,
                   unsigned char** responderCert, unsigned long* responderCertLen, bool useProxy,
                   std::string proxyUrl, std::string proxyAuth, std::string userAgent,
                   int options, log4cxx::LoggerPtr logger);
