// CCrlSSL: CRL look-ups on DER buffers, files and hashed directories, the
// OCSP check, and the process-wide proxy settings.

#include "CrlSSL.h"

#include "src/frame/Asn1Time.h"
#include "src/frame/Guarded.h"
#include "src/frame/Logging.h"
#include "src/cert/IssuerLookup.h"
#include "src/revocation/RevocationCodes.h"
#include "src/revocation/OcspCheck.h"
#include "src/revocation/ProxyTunnel.h"
#include "src/verify/VerifyPolicy.h"
#include "CertInfoSSL.h"

#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <utility>
#include <sys/stat.h>

namespace {

constexpr int kSetUpFailed = -56;
constexpr int kNoCrl = static_cast<int>(kivo::revocation::kNoCrl);
constexpr int kUnknownStatus = static_cast<int>(kivo::revocation::kUnknownStatus);
constexpr std::size_t kFileSchemeLength = 7;  // "file://"

struct OpenSslFree {
    void operator()(X509* certificate) const { X509_free(certificate); }
    void operator()(X509_CRL* crl) const { X509_CRL_free(crl); }
    void operator()(X509_STORE* store) const { X509_STORE_free(store); }
    void operator()(X509_STORE_CTX* context) const { X509_STORE_CTX_free(context); }
    void operator()(X509_OBJECT* object) const { X509_OBJECT_free(object); }
};
template <typename T>
using Owned = std::unique_ptr<T, OpenSslFree>;

struct FileClose {
    void operator()(std::FILE* file) const { std::fclose(file); }
};

// The exception barrier with the failure value of the body's own type.
template <typename Body>
auto guarded(decltype(std::declval<Body>()()) failure, Body body,
             kivo::logging::Caller where = kivo::logging::Caller::current()) noexcept {
    return kivo::guarded(failure, body, where);
}

const char* text(const char* value) { return value != nullptr ? value : "(null)"; }

X509* decodeCertificate(const unsigned char* der, unsigned int length) {
    if (der == nullptr || length == 0) return nullptr;
    const unsigned char* cursor = der;
    return d2i_X509(nullptr, &cursor, static_cast<long>(length));
}

X509_CRL* decodeCrl(const unsigned char* der, unsigned int length) {
    if (der == nullptr || length == 0) return nullptr;
    const unsigned char* cursor = der;
    return d2i_X509_CRL(nullptr, &cursor, static_cast<long>(length));
}

// Strict policy: the CRL judges the certificate only when the
// certificate's issuer issued it and signed it; otherwise it is noted as
// ignored and the certificate counts as not listed.
bool usableForCertificate(X509_CRL* crl, X509* certificate) {
    // The issuer from the library-wide trust store of CCertInfo.
    const kivo::X509Ptr issuer = kivo::issuerInStore(CCertInfo::m_store, certificate);
    const std::string refusal = kivo::verify::crlRefusal(crl, certificate, issuer.get());
    if (refusal.empty()) return true;
    LOG4CXX_WARN(CCrlSSL::m_logger, "FindCertInCrl: CRL ignored: " << refusal);
    char issuerName[256] = {};
    X509_NAME_oneline(X509_CRL_get_issuer(crl), issuerName, sizeof issuerName);
    kivo::verify::noteIgnoredCrl(std::string("CRL of ") + issuerName, refusal);
    return false;
}

int findCertInCrl(unsigned char* cert, unsigned int certLen, unsigned char* crl,
                  unsigned int crlLen, __int64* revocationTime) {
    kivo::verify::resetDiagnostics();
    ERR_clear_error();
    const Owned<X509> certificate(decodeCertificate(cert, certLen));
    if (!certificate) return -1;
    ERR_clear_error();
    const Owned<X509_CRL> list(decodeCrl(crl, crlLen));
    if (!list) return -1;

    if (kivo::verify::strictPolicy() && !usableForCertificate(list.get(), certificate.get())) return 0;

    // 1: listed; 2: listed as removeFromCRL, i.e. no longer revoked.
    X509_REVOKED* entry = nullptr;
    if (X509_CRL_get0_by_cert(list.get(), &entry, certificate.get()) != 1 || entry == nullptr) {
        return 0;
    }
    const ASN1_TIME* date = X509_REVOKED_get0_revocationDate(entry);
    if (date == nullptr) return 0;
    if (revocationTime != nullptr) {
        const auto seconds = kivo::verify::policySeconds(date);
        *revocationTime = seconds.value_or(0);
    }
    return 1;
}

int getCrl(unsigned char* cert, unsigned int certLen, unsigned char** crl,
           unsigned long* crlLen, const char* crlDir) {
    ERR_clear_error();
    const Owned<X509> certificate(decodeCertificate(cert, certLen));
    if (!certificate) return kSetUpFailed;

    const Owned<X509_STORE_CTX> context(X509_STORE_CTX_new());
    const Owned<X509_STORE> store(X509_STORE_new());
    if (!context || !store) return kSetUpFailed;
    // The store owns the look-up and frees it with itself.
    X509_LOOKUP* lookup = X509_STORE_add_lookup(store.get(), X509_LOOKUP_hash_dir());
    if (lookup == nullptr || crlDir == nullptr ||
        X509_LOOKUP_ctrl(lookup, X509_L_ADD_DIR, crlDir, X509_FILETYPE_PEM, nullptr) != 1) {
        return kSetUpFailed;
    }
    ERR_clear_error();
    X509_STORE_set_flags(store.get(), 0);
    if (X509_STORE_CTX_init(context.get(), store.get(), certificate.get(), nullptr) != 1) {
        return kSetUpFailed;
    }

    const Owned<X509_OBJECT> found(X509_OBJECT_new());
    if (!found ||
        X509_STORE_CTX_get_by_subject(context.get(), X509_LU_CRL,
                                      X509_get_issuer_name(certificate.get()), found.get()) != 1) {
        return kNoCrl;
    }
    X509_CRL* list = X509_OBJECT_get0_X509_CRL(found.get());
    const int length = list != nullptr ? i2d_X509_CRL(list, nullptr) : -1;
    if (length <= 0 || static_cast<unsigned long>(length) > CCrlSSL::cMaxCrlLength) {
        return kNoCrl;
    }
    if (crl != nullptr && *crl != nullptr) {
        unsigned char* out = *crl;
        if (i2d_X509_CRL(list, &out) != length) return kNoCrl;
    }
    if (crlLen != nullptr) *crlLen = static_cast<unsigned long>(length);
    return 0;
}

int loadFromFile(const char* url, unsigned char** buffer, unsigned long* length) {
    if (url == nullptr || std::strlen(url) < kFileSchemeLength) return kNoCrl;
    const std::unique_ptr<std::FILE, FileClose> file(std::fopen(url + kFileSchemeLength, "rb"));
    if (!file) return kNoCrl;
    struct stat status {};
    if (fstat(fileno(file.get()), &status) != 0 || !S_ISREG(status.st_mode) ||
        status.st_size < 0 ||
        static_cast<unsigned long long>(status.st_size) > CCrlSSL::cMaxCrlLength) {
        return kNoCrl;
    }
    std::size_t size = static_cast<std::size_t>(status.st_size);
    if (buffer != nullptr && *buffer != nullptr) {
        // A file that shrank meanwhile gives what could still be read.
        size = std::fread(*buffer, 1, size, file.get());
    }
    if (length != nullptr) *length = static_cast<unsigned long>(size);
    return 0;
}

int checkOcsp(char* url, unsigned char* cert, unsigned int certLen, unsigned char* issuer,
              unsigned int issuerLen, unsigned char** response, unsigned long* responseLen,
              __int64* revocationTime, unsigned char** responderCert,
              unsigned long* responderCertLen) {
    int result = 0;
    ERR_clear_error();
    const Owned<X509> certificate(decodeCertificate(cert, certLen));
    if (!certificate) result |= kUnknownStatus;
    const Owned<X509> issuerCertificate(decodeCertificate(issuer, issuerLen));
    if (!issuerCertificate) result |= kUnknownStatus;
    // A certificate that cannot be named cannot be asked about.
    if (result != 0) {
        ERR_clear_error();
        return result;
    }

    std::string credentials =
        kivo::proxy::basicCredentials(CCrlSSL::proxy_user, CCrlSSL::proxy_password);
    result |= ssl_ocsp_check(issuerCertificate.get(), certificate.get(), url, revocationTime,
                             response, responseLen, responderCert, responderCertLen,
                             CCrlSSL::proxy_active, CCrlSSL::proxy_url, credentials,
                             CCrlSSL::proxy_useragent, CCrlSSL::proxy_options, CCrlSSL::m_logger);
    OPENSSL_cleanse(credentials.data(), credentials.size());
    return result;
}

}  // namespace

CCrlSSL::CCrlSSL() = default;
CCrlSSL::CCrlSSL(const CCrlSSL&) = default;
CCrlSSL& CCrlSSL::operator=(const CCrlSSL&) = default;
CCrlSSL::~CCrlSSL() = default;

bool CCrlSSL::proxy_active = false;
std::string CCrlSSL::proxy_url;
std::string CCrlSSL::proxy_user;
std::string CCrlSSL::proxy_password;
std::string CCrlSSL::proxy_useragent;
int CCrlSSL::proxy_options = CCrlSSL::cProxyOptionDefault;

void CCrlSSL::setProxy(bool active, std::string url, std::string user, std::string password,
                       std::string useragent, int options) {
    guarded(0, [&] {
        KIVO_LOG_ENTER(m_logger, "setProxy");
        proxy_active = active;
        proxy_url = std::move(url);
        proxy_user = std::move(user);
        proxy_password = std::move(password);
        proxy_useragent = std::move(useragent);
        proxy_options = options;
        KIVO_LOG_LEAVE(m_logger, "setProxy", "OK");
        return 0;
    });
}

void CCrlSSL::SetStrictPolicy(bool strict) { kivo::verify::setStrictPolicy(strict); }
bool CCrlSSL::GetStrictPolicy() { return kivo::verify::strictPolicy(); }

int CCrlSSL::FindCertInCrl(unsigned char* cert, unsigned int certLen, unsigned char* crl,
                           unsigned int crlLen, __int64* revocationTime) {
    return guarded(-1, [&] {
        KIVO_LOG_ENTER(m_logger, "FindCertInCrl");
        const int result = findCertInCrl(cert, certLen, crl, crlLen, revocationTime);
        KIVO_LOG_LEAVE(m_logger, "FindCertInCrl", result);
        return result;
    });
}

int CCrlSSL::sslGetCrl(unsigned char* cert, unsigned int certLen, unsigned char** crl,
                       unsigned long* crlLen, const char* crlDir) {
    return guarded(kSetUpFailed, [&] {
        KIVO_LOG_ENTER(m_logger, "sslGetCrl");
        const int result = getCrl(cert, certLen, crl, crlLen, crlDir);
        KIVO_LOG_LEAVE(m_logger, "sslGetCrl", result);
        return result;
    });
}

int CCrlSSL::LoadFromFile(char* url, unsigned char** buffer, unsigned long* length) {
    return guarded(kNoCrl, [&] {
        KIVO_LOG_ENTER(m_logger, "LoadFromFile");
        const int result = loadFromFile(url, buffer, length);
        KIVO_LOG_LEAVE(m_logger, "LoadFromFile", result);
        return result;
    });
}

void CCrlSSL::ParseURL(char* url) {
    guarded(0, [&] {
        KIVO_LOG_ENTER(m_logger, "ParseURL");
        if (url != nullptr) {
            // A replacement cannot form a new "%20" before it, so the search
            // goes on after the space just written.
            for (char* at = std::strstr(url, "%20"); at != nullptr; at = std::strstr(at + 1, "%20")) {
                *at = ' ';
                std::memmove(at + 1, at + 3, std::strlen(at + 3) + 1);
            }
        }
        KIVO_LOG_LEAVE(m_logger, "ParseURL", text(url));
        return 0;
    });
}

int CCrlSSL::CheckOCSP(char* url, unsigned char* cert, unsigned int certLen,
                       unsigned char* issuer, unsigned int issuerLen, unsigned char** response,
                       unsigned long* responseLen, __int64* revocationTime,
                       unsigned char** responderCert, unsigned long* responderCertLen) {
    return guarded(static_cast<int>(0x80000200), [&] {
        KIVO_LOG_ENTER(m_logger, "CCrlSSL::CheckOCSP");
        const int result = checkOcsp(url, cert, certLen, issuer, issuerLen, response, responseLen,
                                     revocationTime, responderCert, responderCertLen);
        char hex[16];
        std::snprintf(hex, sizeof hex, "%x", static_cast<unsigned int>(result));
        KIVO_LOG_LEAVE(m_logger, "CCrlSSL::CheckOCSP", hex);
        return result;
    });
}

int CCrlSSL::LoadCrl(char* url, unsigned char**, unsigned long*, char*, char*, char*) {
    return guarded(0, [&] {
        KIVO_LOG_ENTER(m_logger, "LoadCrl");
        LOG4CXX_DEBUG(m_logger, "url : " << text(url));
        KIVO_LOG_LEAVE(m_logger, "LoadCrl", 0);
        return 0;
    });
}

int CCrlSSL::LoadFromHttp(char* url, unsigned char**, unsigned long*) {
    return guarded(0, [&] {
        KIVO_LOG_ENTER(m_logger, "LoadFromHttp");
        LOG4CXX_DEBUG(m_logger, "url : " << text(url));
        KIVO_LOG_LEAVE(m_logger, "LoadFromHttp", 0);
        return 0;
    });
}

int CCrlSSL::LoadFromLdap(char* url, unsigned char**, unsigned long*, char*, char*) {
    return guarded(0, [&] {
        KIVO_LOG_ENTER(m_logger, "LoadFromLdap");
        LOG4CXX_DEBUG(m_logger, "url : " << text(url));
        KIVO_LOG_LEAVE(m_logger, "LoadFromLdap", 0);
        return 0;
    });
}

void CCrlSSL::SetDCUrl(char*, char*, char*) {
    guarded(0, [&] {
        KIVO_LOG_ENTER(m_logger, "SetDCUrl");
        KIVO_LOG_LEAVE(m_logger, "SetDCUrl", "OK");
        return 0;
    });
}

int CCrlSSL::GetCrl(char*, unsigned char**, unsigned long*) {
    return guarded(0, [&] {
        KIVO_LOG_ENTER(m_logger, "GetCrl");
        KIVO_LOG_LEAVE(m_logger, "GetCrl", 0);
        return 0;
    });
}

int CCrlSSL::SendCRLRequest(char*, unsigned char**, unsigned long*) {
    return guarded(0, [&] {
        KIVO_LOG_ENTER(m_logger, "SendCRLRequest");
        KIVO_LOG_LEAVE(m_logger, "SendCRLRequest", 0);
        return 0;
    });
}

int CCrlSSL::SendHttpRequest(char*, unsigned char**, unsigned long*) {
    return guarded(0, [&] {
        KIVO_LOG_ENTER(m_logger, "SendHttpRequest");
        KIVO_LOG_LEAVE(m_logger, "SendHttpRequest", 0);
        return 0;
    });
}

char* CCrlSSL::SendLdapRequest(char* server, int port, char* dn, char* filter, char**, int, int,
                               char*, char*) {
    return guarded(filter, [&] {
        KIVO_LOG_ENTER(m_logger, "SendLdapRequest");
        LOG4CXX_DEBUG(m_logger, "IP : " << text(server));
        LOG4CXX_DEBUG(m_logger, "Port : " << port);
        LOG4CXX_DEBUG(m_logger, "DN : " << text(dn));
        LOG4CXX_DEBUG(m_logger, "filter : " << text(filter));
        KIVO_LOG_LEAVE(m_logger, "SendLdapRequest", text(filter));
        return filter;
    });
}
