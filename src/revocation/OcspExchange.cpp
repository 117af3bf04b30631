// One OCSP exchange over plain HTTP, directly or through a proxy tunnel.
//
// Every network step runs on a non-blocking socket and waits with
// BIO_wait against one deadline, kTimeLimitSeconds after the connection
// starts, so that a responder or proxy that accepts the connection and
// then stays silent ends the exchange with kOcspCommunication.

#include "src/revocation/OcspExchange.h"

#include "src/frame/Asn1Time.h"
#include "src/frame/Logging.h"
#include "src/revocation/ProxyTunnel.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/http.h>
#include <openssl/ocsp.h>
#include <openssl/x509.h>

#include <algorithm>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <pthread.h>

namespace kivo::ocsp {

namespace {

struct OpenSslFree {
    void operator()(char* text) const { OPENSSL_free(text); }
    void operator()(BIO* bio) const { BIO_free_all(bio); }
    void operator()(OCSP_REQUEST* request) const { OCSP_REQUEST_free(request); }
    void operator()(OCSP_RESPONSE* response) const { OCSP_RESPONSE_free(response); }
    void operator()(OCSP_BASICRESP* basic) const { OCSP_BASICRESP_free(basic); }
    void operator()(OCSP_CERTID* id) const { OCSP_CERTID_free(id); }
    void operator()(OSSL_HTTP_REQ_CTX* context) const { OSSL_HTTP_REQ_CTX_free(context); }
};
template <typename T>
using Owned = std::unique_ptr<T, OpenSslFree>;

// Writing to a connection the peer has closed raises SIGPIPE, which would
// end the host process. The signal is held back for this thread while the
// exchange runs; one raised meanwhile is taken off again before the mask is
// restored.
class SigpipeGuard {
public:
    SigpipeGuard() {
        sigset_t pipe;
        sigemptyset(&pipe);
        sigaddset(&pipe, SIGPIPE);
        sigset_t pending;
        sigemptyset(&pending);
        sigpending(&pending);
        m_wasPending = sigismember(&pending, SIGPIPE) == 1;
        m_blocked = pthread_sigmask(SIG_BLOCK, &pipe, &m_saved) == 0;
    }
    ~SigpipeGuard() {
        if (!m_blocked) return;
        if (!m_wasPending) {
            sigset_t pending;
            sigemptyset(&pending);
            sigpending(&pending);
            if (sigismember(&pending, SIGPIPE) == 1) {
                // Pending, so taking it does not wait.
                sigset_t pipe;
                sigemptyset(&pipe);
                sigaddset(&pipe, SIGPIPE);
                int taken = 0;
                sigwait(&pipe, &taken);
            }
        }
        pthread_sigmask(SIG_SETMASK, &m_saved, nullptr);
    }
    SigpipeGuard(const SigpipeGuard&) = delete;
    SigpipeGuard& operator=(const SigpipeGuard&) = delete;

private:
    sigset_t m_saved{};
    bool m_blocked = false;
    bool m_wasPending = false;
};

// Where the connection goes and what it asks for.
struct Route {
    std::string responderHost;
    std::string responderPort;
    std::string responderPath;
    std::string connectHost;  // the responder, or the proxy in proxy mode
    std::string connectPort;  // empty: none parsed
};

std::uint32_t parseRoute(const char* url, const Proxy* proxy, Route& route,
                         const log4cxx::LoggerPtr& logger) {
    char* host = nullptr;
    char* port = nullptr;
    char* path = nullptr;
    int tls = 0;  // ignored: the connection is always plain TCP
    const int parsed = OCSP_parse_url(url, &host, &port, &path, &tls);
    const Owned<char> ownHost(host), ownPort(port), ownPath(path);
    // A URL without a host names no responder either.
    if (parsed != 1 || host == nullptr || *host == '\0') {
        LOG4CXX_ERROR(logger, "WARNING_OCSP_URL_NOT_FOUND");
        openSSL_LogError(logger, "OCSP_parse_url");
        return kOcspNoUrl;
    }
    route.responderHost = host;
    route.responderPort = port != nullptr ? port : "";
    route.responderPath = path != nullptr && *path != '\0' ? path : "/";
    if (proxy == nullptr) {
        route.connectHost = route.responderHost;
        route.connectPort = route.responderPort;
        return 0;
    }

    char* proxyHost = nullptr;
    char* proxyPort = nullptr;
    const int proxyParsed = BIO_parse_hostserv(proxy->address.c_str(), &proxyHost, &proxyPort,
                                               BIO_PARSE_PRIO_HOST);
    const Owned<char> ownProxyHost(proxyHost), ownProxyPort(proxyPort);
    if (proxyParsed != 1 || proxyHost == nullptr || *proxyHost == '\0') {
        LOG4CXX_ERROR(logger, "WARNING_PROXY_URL_NOT_FOUND");
        openSSL_LogError(logger, "BIO_parse_hostserv");
        return kOcspNoUrl;
    }
    route.connectHost = proxyHost;
    route.connectPort = proxyPort != nullptr ? proxyPort : "";
    return 0;
}

// The connect BIO reads its host as "host:port"; an IPv6 address needs
// brackets to stay whole.
std::string connectName(const std::string& host) {
    if (host.find(':') != std::string::npos && host.front() != '[') return "[" + host + "]";
    return host;
}

bool connectBefore(BIO* connection, std::time_t deadline) {
    for (;;) {
        if (BIO_do_connect(connection) > 0) return true;
        if (!BIO_should_retry(connection) || BIO_wait(connection, deadline, 100) <= 0) return false;
    }
}

// Sends the request and collects the response body (at most
// kMaxResponseLength bytes) before `deadline`.
bool sendRequest(BIO* connection, const std::string& path, OCSP_REQUEST* request,
                 std::time_t deadline, std::string& body) {
    Owned<OSSL_HTTP_REQ_CTX> context(OCSP_sendreq_new(connection, path.c_str(), request, -1));
    if (!context) return false;
    OSSL_HTTP_REQ_CTX_set_max_response_length(context.get(), kMaxResponseLength);
    for (;;) {
        const int state = OSSL_HTTP_REQ_CTX_nbio(context.get());
        if (state == 1) break;
        if (state != -1 || BIO_wait(connection, deadline, 100) <= 0) return false;
    }
    BIO* memory = OSSL_HTTP_REQ_CTX_get0_mem_bio(context.get());
    char* data = nullptr;
    const long available = memory != nullptr ? BIO_get_mem_data(memory, &data) : 0;
    if (available <= 0 || data == nullptr) return false;
    std::size_t length = static_cast<std::size_t>(available);
    const std::size_t announced = OSSL_HTTP_REQ_CTX_get_resp_len(context.get());
    if (announced > 0 && announced < length) length = announced;
    if (length > kMaxResponseLength) return false;
    body.assign(data, length);
    return true;
}

std::vector<unsigned char> derOfResponse(OCSP_RESPONSE* response) {
    const int length = i2d_OCSP_RESPONSE(response, nullptr);
    if (length <= 0) return {};
    std::vector<unsigned char> der(static_cast<std::size_t>(length));
    unsigned char* out = der.data();
    if (i2d_OCSP_RESPONSE(response, &out) != length) return {};
    return der;
}

std::vector<unsigned char> derOfCertificate(X509* certificate) {
    const int length = i2d_X509(certificate, nullptr);
    if (length <= 0) return {};
    std::vector<unsigned char> der(static_cast<std::size_t>(length));
    unsigned char* out = der.data();
    if (i2d_X509(certificate, &out) != length) return {};
    return der;
}

void readRevocationTime(const ASN1_GENERALIZEDTIME* time, Answer& answer) {
    answer.hasRevocationTime = true;
    answer.revocationSeconds = asn1TimeToSeconds(time);
    const int length = ASN1_STRING_length(time);
    const unsigned char* data = ASN1_STRING_get0_data(time);
    if (data == nullptr || length <= 0) return;
    // Bounded copy so that the fields are read from a terminated text.
    const std::string text(reinterpret_cast<const char*>(data),
                           static_cast<std::size_t>(std::min(length, 64)));
    int* f = answer.revocation;
    std::sscanf(text.c_str(), "%04d%02d%02d%02d%02d%02dZ", &f[0], &f[1], &f[2], &f[3], &f[4],
                &f[5]);
}

}  // namespace

namespace {

Answer judgeOnce(const unsigned char* der, std::size_t length, OCSP_REQUEST* request,
                 OCSP_CERTID* id, const log4cxx::LoggerPtr& logger) {
    Answer answer;
    if (der == nullptr || length == 0 || length > LONG_MAX) {
        LOG4CXX_ERROR(logger, "OCSP response empty");
        openSSL_LogError(logger, "OCSP request Error");
        return answer;
    }
    const unsigned char* cursor = der;
    const Owned<OCSP_RESPONSE> response(
        d2i_OCSP_RESPONSE(nullptr, &cursor, static_cast<long>(length)));
    if (!response) {
        openSSL_LogError(logger, "OCSP request Error");
        return answer;
    }
    Owned<OCSP_BASICRESP> basic;
    if (OCSP_response_status(response.get()) == OCSP_RESPONSE_STATUS_SUCCESSFUL) {
        basic.reset(OCSP_response_get1_basic(response.get()));
    }
    if (!basic) {
        LOG4CXX_ERROR(logger, "OCSP response status: "
                                  << OCSP_response_status_str(OCSP_response_status(response.get())));
        openSSL_LogError(logger, "OCSP_response_get1_basic");
        return answer;
    }

    int status = -1;
    int reason = -1;
    ASN1_GENERALIZEDTIME* revokedAt = nullptr;
    ASN1_GENERALIZEDTIME* thisUpdate = nullptr;
    ASN1_GENERALIZEDTIME* nextUpdate = nullptr;
    if (id == nullptr || OCSP_resp_find_status(basic.get(), id, &status, &reason, &revokedAt,
                                               &thisUpdate, &nextUpdate) != 1) {
        openSSL_LogError(logger, "OCSP_resp_find_status");
        return answer;
    }

    // The response's signature and its update times are not examined.
    answer.nonceCheck = request != nullptr ? OCSP_check_nonce(request, basic.get()) : -1;
    if (answer.nonceCheck == 0) openSSL_LogError(logger, "OCSP_check_nonce");

    answer.status = status;
    if (status == V_OCSP_CERTSTATUS_REVOKED && revokedAt != nullptr) {
        readRevocationTime(revokedAt, answer);
    }
    const STACK_OF(X509)* carried = OCSP_resp_get0_certs(basic.get());
    if (carried != nullptr && sk_X509_num(carried) > 0) {
        answer.responderCertificate = derOfCertificate(sk_X509_value(carried, 0));
    }
    answer.response = derOfResponse(response.get());
    if (answer.response.empty()) {
        openSSL_LogError(logger, "i2d_OCSP_RESPONSE");
        return Answer{};
    }
    answer.failure = 0;
    return answer;
}

}  // namespace

Answer judgeResponse(const unsigned char* der, std::size_t length, ocsp_request_st* request,
                     ocsp_cert_id_st* id, const log4cxx::LoggerPtr& logger) {
    try {
        return judgeOnce(der, length, request, id, logger);
    } catch (...) {
        return Answer{};
    }
}

namespace {

Answer exchangeOnce(x509_st* issuer, x509_st* certificate, const char* url, const Proxy* proxy,
                    const log4cxx::LoggerPtr& logger) {
    Answer failed;
    if (url == nullptr) {
        failed.failure = kOcspNoUrl;
        return failed;
    }
    ERR_clear_error();
    const SigpipeGuard sigpipe;

    Route route;
    failed.failure = parseRoute(url, proxy, route, logger);
    if (failed.failure != 0) return failed;
    failed.failure = kOcspCommunication;

    const char* commError = proxy != nullptr ? "ERROR_PROXY_COMM_ERROR" : "ERROR_OCSP_COMM_ERROR";
    Owned<BIO> connection(BIO_new_connect(connectName(route.connectHost).c_str()));
    if (!connection) {
        LOG4CXX_ERROR(logger, commError << " host");
        openSSL_LogError(logger, "BIO_new_connect");
        return failed;
    }
    if (!route.connectPort.empty()) BIO_set_conn_port(connection.get(), route.connectPort.c_str());
    BIO_set_nbio(connection.get(), 1);

    const std::time_t deadline = std::time(nullptr) + kTimeLimitSeconds;
    if (!connectBefore(connection.get(), deadline)) {
        LOG4CXX_ERROR(logger, commError << " port");
        openSSL_LogError(logger, "BIO_do_connect");
        return failed;
    }
    ERR_clear_error();

    if (proxy != nullptr &&
        !proxy::openTunnel(connection.get(), route.responderHost, route.responderPort,
                           route.responderPath, *proxy, deadline, logger)) {
        return failed;
    }

    // The request owns the certificate ID once it is added; `id` stays
    // usable for the status look-up while the request lives.
    OCSP_CERTID* id = OCSP_cert_to_id(nullptr, certificate, issuer);
    if (id == nullptr) {
        openSSL_LogError(logger, "OCSP_cert_to_id");
        return failed;
    }
    Owned<OCSP_REQUEST> request(OCSP_REQUEST_new());
    if (!request || OCSP_request_add0_id(request.get(), id) == nullptr) {
        OCSP_CERTID_free(id);
        openSSL_LogError(logger, "OCSP_request_add0_id");
        return failed;
    }
    if (OCSP_request_add1_nonce(request.get(), nullptr, -1) != 1) {
        openSSL_LogError(logger, "OCSP_request_add1_nonce");
        return failed;
    }

    LOG4CXX_DEBUG(logger, "resp = OCSP_sendreq_bio(cbio, path, req); path: " << route.responderPath);
    std::string body;
    const bool received = sendRequest(connection.get(), route.responderPath, request.get(),
                                      deadline, body);
    connection.reset();
    if (!received) {
        openSSL_LogError(logger, "OCSP request Error");
        return failed;
    }
    return judgeResponse(reinterpret_cast<const unsigned char*>(body.data()), body.size(),
                         request.get(), id, logger);
}

}  // namespace

Answer exchange(x509_st* issuer, x509_st* certificate, const char* url, const Proxy* proxy,
                const log4cxx::LoggerPtr& logger) {
    try {
        return exchangeOnce(issuer, certificate, url, proxy, logger);
    } catch (...) {
        // Out of memory for texts or copies: the exchange failed.
        return Answer{};
    }
}

}  // namespace kivo::ocsp
