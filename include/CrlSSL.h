// CCrlSSL: CRL retrieval, OCSP check and the HTTP proxy settings.
#pragma once

#include "KivoExport.h"
#include "KivoLogger.h"

#include <string>

namespace kivo::test {
struct CrlSslAccess;
}

class KIVO_API CCrlSSL {
public:
    CCrlSSL();
    CCrlSSL(const CCrlSSL& other);
    CCrlSSL& operator=(const CCrlSSL& other);
    virtual ~CCrlSSL();

    // ---- proxy for OCSP requests -----------------------------------------------
    // Process-wide, read by every CheckOCSP call and written without a lock:
    // set them before checks start and leave them alone while checks run.

    // Send OCSP requests through the proxy (an HTTP CONNECT tunnel).
    static bool proxy_active;
    // Proxy address as "host:port".
    static std::string proxy_url;
    // Basic authentication towards the proxy; an empty user sends none.
    static std::string proxy_user;
    static std::string proxy_password;
    // User-Agent header sent to the proxy; empty sends none.
    static std::string proxy_useragent;
    // An OR of the cProxyOption* bits below.
    static int proxy_options;

    // Shape of the CONNECT request. 0 counts as WithHost | WithPath.
    static constexpr int cProxyOptionDefault = 0;
    static constexpr int cProxyOptionWithHost = 1;   // send a Host header
    static constexpr int cProxyOptionWithPath = 2;   // append the request path to the target
    static constexpr int cProxyOptionKeepAlive = 4;  // not consulted: Keep-Alive is always sent

    // ---- bounds of the caller's buffers ------------------------------------------
    // sslGetCrl never writes more than cMaxCrlLength bytes: a larger CRL is
    // refused with 0x80000080 (ask for the length first with a null `crl`).
    static constexpr unsigned long cMaxCrlLength = 16ul * 1024 * 1024;
    // CheckOCSP never writes more than cMaxOcspResponseLength bytes into
    // either of its buffers; responders may not send more.
    static constexpr unsigned long cMaxOcspResponseLength = 100ul * 1024;

    // Stores the proxy settings as given (no validation).
    static void setProxy(bool active, std::string url, std::string user, std::string password,
                         std::string useragent, int options);

    // The strict verification policy, shared with CVerifyMsg (see
    // CVerifyMsg::SetStrictPolicy): one process-wide switch, default off.
    static void SetStrictPolicy(bool strict);
    static bool GetStrictPolicy();

    // 1 when the CRL lists the certificate (its revocation date is stored
    // through `revocationTime` when that is not null), 0 when it does not,
    // -1 when either buffer does not decode. By default the CRL's signature
    // and update times are not examined; OpenSSL's look-up matches the
    // serial number and the issuer name. An entry marked removeFromCRL
    // counts as not listed. Under the strict policy the CRL is used only
    // when its issuer is the certificate's issuer and its signature verifies
    // with that issuer's key from CCertInfo's trust store; otherwise the
    // result is 0 and CVerifyMsg::GetIgnoredCrls says why. The revocation
    // date is then read with its four-digit year as written.
    static int FindCertInCrl(unsigned char* cert, unsigned int certLen, unsigned char* crl,
                             unsigned int crlLen, __int64* revocationTime);

    // Finds the CRL of the certificate's issuer in the hashed directory
    // `crlDir` (PEM files named <issuer hash>.r<n>), stores its DER length
    // through `crlLen` and, when `crl` and `*crl` are not null, copies the
    // DER into `*crl`, which must hold that many bytes (at most
    // cMaxCrlLength). 0 on success, -56 when the certificate does not decode
    // or the directory cannot be used, 0x80000080 when no CRL is found or it
    // is larger than cMaxCrlLength.
    static int sslGetCrl(unsigned char* cert, unsigned int certLen, unsigned char** crl,
                         unsigned long* crlLen, const char* crlDir);

    // Asks the OCSP responder at `url` for the status of `cert` (DER) issued
    // by `issuer` (DER), directly or through the proxy above. Returns an OR
    // of: 0 good; 0x80000004 revoked (the revocation time is stored through
    // `revocationTime`); 0x80000800 unknown, or a certificate that does not
    // decode (then no request is sent); 0x80080000 no URL or an unusable
    // responder or proxy address; 0x80000200 connection, tunnel, request or
    // response failure, including a responder or proxy that stays silent for
    // 10 seconds. When a status was received, the DER OCSP response is copied
    // into `*response` and, if `responderCert` is not null, the first
    // certificate the response carries into `*responderCert`; each buffer must
    // hold cMaxOcspResponseLength bytes. Null output pointers are skipped.
    static int CheckOCSP(char* url, unsigned char* cert, unsigned int certLen,
                         unsigned char* issuer, unsigned int issuerLen, unsigned char** response,
                         unsigned long* responseLen, __int64* revocationTime,
                         unsigned char** responderCert, unsigned long* responderCertLen);

    // ---- entry points without network code -----------------------------------------
    // CRLs reach the library as files, directory entries or buffers the
    // caller fetched; these log their call and return 0, leaving every
    // output untouched.
    static int LoadCrl(char* url, unsigned char** crl, unsigned long* crlLen, char* server,
                       char* dn, char* filter);
    static int LoadFromHttp(char* url, unsigned char** crl, unsigned long* crlLen);
    static int LoadFromLdap(char* url, unsigned char** crl, unsigned long* crlLen, char* dn,
                            char* filter);
    static void SetDCUrl(char* server, char* dn, char* filter);
    static int GetCrl(char* url, unsigned char** crl, unsigned long* crlLen);
    static int SendCRLRequest(char* url, unsigned char** crl, unsigned long* crlLen);
    static int SendHttpRequest(char* url, unsigned char** response, unsigned long* responseLen);
    // Logs the server, port, base DN and filter, sends nothing and returns
    // `filter`.
    static char* SendLdapRequest(char* server, int port, char* dn, char* filter, char** attributes,
                                 int scope, int timeout, char* user, char* password);

    static kivo::LoggerPtr m_logger;

private:
    friend struct kivo::test::CrlSslAccess;

    // Reads the file named by `url` after its 7-character "file://" prefix,
    // in binary, into `*buffer`, which must hold the whole file (at most
    // cMaxCrlLength bytes), and stores its length; with a null `buffer` or
    // `*buffer` only the length is stored. 0 on success, 0x80000080
    // when the file cannot be opened, is not a regular file or is larger
    // than cMaxCrlLength.
    static int LoadFromFile(char* url, unsigned char** buffer, unsigned long* length);
    // Replaces every "%20" in `url` by a space, in place.
    static void ParseURL(char* url);
};
