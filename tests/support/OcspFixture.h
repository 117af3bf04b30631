// Revocation set-up shared by the revocation and verification suites: CRLs,
// OCSP responses, and servers on 127.0.0.1 that play a responder or a proxy.
#pragma once

#include "tests/support/TestSupport.h"
#include "tools/testpki/Pki.h"

#include <openssl/ocsp.h>

#include <atomic>
#include <ctime>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>

namespace kivo::test {

using Bytes = std::vector<unsigned char>;

struct CrlDeleter { void operator()(X509_CRL* crl) const { X509_CRL_free(crl); } };
using CrlPtr = std::unique_ptr<X509_CRL, CrlDeleter>;

// One listed certificate; a reason >= 0 adds the reasonCode extension.
struct CrlEntry { long serial; std::time_t revokedAt; int reason = -1; };
// A CRL of `issuer` valid from an hour ago until `nextUpdate` (0: 30 days on).
CrlPtr makeCrl(X509* issuer, EVP_PKEY* issuerKey, const std::vector<CrlEntry>& entries, std::time_t nextUpdate = 0);
Bytes derOf(X509_CRL* crl);

void appendPem(const std::string& path, X509* certificate);
void appendPem(const std::string& path, X509_CRL* crl);
// A port nothing listens on (taken and released again).
int closedPort();

// A TCP server on 127.0.0.1 that hands each connection to `serve`, with a
// flag that turns true when the server stops.
class LocalServer {
public:
    using Handler = std::function<void(int socket, const std::atomic<bool>& stopping)>;
    explicit LocalServer(Handler serve);
    ~LocalServer();
    std::string address() const { return "127.0.0.1:" + std::to_string(m_port); }

private:
    Handler m_serve;
    int m_listener = -1, m_port = 0;
    std::atomic<bool> m_stopping{false};
    std::thread m_thread;
};

bool sendAll(int socket, const std::string& data);
// Reads onto `data` until it holds an HTTP header; false after five quiet
// seconds or when the peer closes.
bool readHeader(int socket, std::string& data);
// Reads and drops whatever comes until the server stops or the peer closes.
void stayQuiet(int socket, const std::atomic<bool>& stopping);

// Answers one DER OCSPRequest posted over `socket` (`data`: what arrived
// already) with what `respond` makes of it; `header` gets the request header.
using Respond = std::function<Bytes(OCSP_REQUEST* request)>;
void answerOcspRequest(int socket, std::string data, const Respond& respond, std::string& header);

class FakeResponder {
public:
    explicit FakeResponder(Respond respond);
    std::string url() const { return "http://" + m_server.address() + "/ocsp"; }
    std::string lastHeader() const;

private:
    Respond m_respond;
    mutable std::mutex m_mutex;
    std::string m_lastHeader;
    LocalServer m_server;
};

// How ocspResponse signs: the nonce copied from the request (nullopt), left
// out (empty) or replaced; the signer certificate included or not.
struct ResponseOptions { std::optional<Bytes> nonce; bool includeCertificate = true; std::time_t revokedAt = 0; };
// A successful OCSPResponse by `signer` for the first certificate ID of `request`.
Bytes ocspResponse(OCSP_REQUEST* request, int status, X509* signer, EVP_PKEY* signerKey,
                   const ResponseOptions& options = {});
// The serial number of the first certificate ID `request` asks about.
long requestedSerial(OCSP_REQUEST* request);
// An unsuccessful OCSPResponse without response bytes.
Bytes ocspStatusOnly(int responseStatus);

}  // namespace kivo::test
