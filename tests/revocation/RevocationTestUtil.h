// Fixtures of the revocation tests: a small PKI with CRLs, an OCSP
// responder (`openssl ocsp`), tinyproxy, and socket servers on 127.0.0.1
// that play a proxy or a responder the way a test needs.
#pragma once

#include "CrlSSL.h"
#include "tests/support/TestSupport.h"
#include "tools/testpki/Pki.h"

#include <openssl/ocsp.h>
#include <openssl/x509.h>

#include <atomic>
#include <ctime>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace kivo::test {

// Reaches CCrlSSL's private helpers.
struct CrlSslAccess {
    static int LoadFromFile(char* url, unsigned char** buffer, unsigned long* length) {
        return CCrlSSL::LoadFromFile(url, buffer, length);
    }
    static void ParseURL(char* url) { CCrlSSL::ParseURL(url); }
};

inline constexpr int kRevoked = static_cast<int>(0x80000004);
inline constexpr int kUnknown = static_cast<int>(0x80000800);
inline constexpr int kNoUrl = static_cast<int>(0x80080000);
inline constexpr int kCommunication = static_cast<int>(0x80000200);
inline constexpr int kNoCrl = static_cast<int>(0x80000080);

struct CrlDeleter {
    void operator()(X509_CRL* crl) const { X509_CRL_free(crl); }
};
using CrlPtr = std::unique_ptr<X509_CRL, CrlDeleter>;

void writeFile(const std::string& path, const std::vector<unsigned char>& bytes);
void writeText(const std::string& path, const std::string& text);
std::string readText(const std::string& path);
void writePem(const std::string& path, X509* certificate);
void writePem(const std::string& path, X509_CRL* crl);
void writeKeyPem(const std::string& path, EVP_PKEY* key);

// The seconds of a UTC date.
std::time_t utcSeconds(int year, int month, int day, int hour, int minute, int second);

// A CRL of `issuer` listing (serial, revocation time) pairs; entries with a
// reason code get the reasonCode extension.
struct CrlEntry {
    long serial;
    std::time_t revokedAt;
    int reason = -1;
};
CrlPtr makeCrl(X509* issuer, EVP_PKEY* issuerKey, const std::vector<CrlEntry>& entries);
std::vector<unsigned char> derOf(X509_CRL* crl);

// The test PKI: a CA, an OCSP signer and three end-entity certificates,
// of which the responder's index lists one as valid and one as revoked.
struct TestPki {
    TestPki();
    EvpKeyPtr caKey, responderKey, leafKey;
    X509Ptr ca, responder, good, revoked, unknown;
    // The revocation time written into the index (UTC).
    static constexpr int kRevokedYear = 2024, kRevokedMonth = 3, kRevokedDay = 15;
    static constexpr int kRevokedHour = 10, kRevokedMinute = 30, kRevokedSecond = 0;
};
const TestPki& pki();

// A free TCP port on 127.0.0.1 at the time of asking.
int freePort();
// A port nothing listens on (taken and released again).
int closedPort();

// A child process started without a shell; stopped (SIGTERM, then SIGKILL)
// when the object goes.
class ChildProcess {
public:
    ChildProcess(const std::vector<std::string>& arguments, const std::string& logFile);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;
    bool running();

private:
    int m_pid = -1;
};

bool programAvailable(const char* name);

// `openssl ocsp` answering for the test PKI on a free port.
class OcspResponder {
public:
    OcspResponder();
    int port() const { return m_port; }
    std::string url() const { return "http://127.0.0.1:" + std::to_string(m_port) + "/"; }

private:
    TempDir m_folder;
    int m_port = 0;
    std::unique_ptr<ChildProcess> m_process;
};

// tinyproxy on 127.0.0.1 allowing CONNECT to `connectPort`, with Basic
// authentication when `user` is not empty.
class Tinyproxy {
public:
    Tinyproxy(int connectPort, const std::string& user = {}, const std::string& password = {});
    int port() const { return m_port; }
    std::string address() const { return "127.0.0.1:" + std::to_string(m_port); }
    std::string log() const;

private:
    TempDir m_folder;
    int m_port = 0;
    std::unique_ptr<ChildProcess> m_process;
};

// A TCP server on 127.0.0.1 that hands each connection to `serve` on its
// own thread. `serve` gets the socket and a flag that turns true when the
// server stops.
class LocalServer {
public:
    using Handler = std::function<void(int socket, const std::atomic<bool>& stopping)>;
    explicit LocalServer(Handler serve);
    ~LocalServer();
    LocalServer(const LocalServer&) = delete;
    LocalServer& operator=(const LocalServer&) = delete;
    int port() const { return m_port; }
    std::string address() const { return "127.0.0.1:" + std::to_string(m_port); }
    int connections() const { return m_connections.load(); }

private:
    void run();
    Handler m_serve;
    int m_listener = -1;
    int m_port = 0;
    std::atomic<bool> m_stopping{false};
    std::atomic<int> m_connections{0};
    std::mutex m_mutex;
    std::vector<std::thread> m_workers;
    std::thread m_thread;
};

// Socket helpers for the handlers (each waits at most a few seconds).
bool sendAll(int socket, const std::string& data);
// Reads until the bytes end with an HTTP header ("\r\n\r\n").
std::optional<std::string> readHeader(int socket);
// Holds the connection open, reading and dropping whatever comes, until
// the server stops or the peer closes.
void stayQuiet(int socket, const std::atomic<bool>& stopping);

// A proxy that records the CONNECT request, answers with `answer`, and,
// when the answer is a 2xx, relays the connection to 127.0.0.1:`target`.
// An answer given in pieces is sent piece by piece, 100 ms apart.
class FakeProxy {
public:
    FakeProxy(std::string answer, int target);
    FakeProxy(std::vector<std::string> pieces, int target);
    std::string address() const { return m_server->address(); }
    std::vector<std::string> requests() const;

private:
    void serve(int socket, const std::atomic<bool>& stopping);
    std::vector<std::string> m_pieces;
    int m_target;
    mutable std::mutex m_mutex;
    std::vector<std::string> m_requests;
    std::unique_ptr<LocalServer> m_server;
};

// A responder that answers each DER OCSPRequest with the DER body that
// `respond` makes from it (HTTP 200).
class FakeResponder {
public:
    using Respond = std::function<std::vector<unsigned char>(OCSP_REQUEST* request)>;
    explicit FakeResponder(Respond respond);
    std::string url() const { return "http://" + m_server->address() + "/ocsp"; }
    std::string lastHeader() const;

private:
    void serve(int socket);
    Respond m_respond;
    mutable std::mutex m_mutex;
    std::string m_lastHeader;
    std::unique_ptr<LocalServer> m_server;
};

// An OCSPResponse signed by the test responder for the first certificate
// ID of `request`, with `status`; the request's nonce is copied unless
// `nonce` says otherwise (empty optional: copy; empty vector: none).
std::vector<unsigned char> makeOcspResponse(
    OCSP_REQUEST* request, int status,
    const std::optional<std::vector<unsigned char>>& nonce = std::nullopt,
    bool includeCertificate = true);
// A response of the given (unsuccessful) status without response bytes.
std::vector<unsigned char> makeOcspStatusOnly(int responseStatus);

// Result and outputs of one CCrlSSL::CheckOCSP call with ample buffers.
struct OcspOutcome {
    int result = 0;
    std::vector<unsigned char> response;
    std::vector<unsigned char> responderCert;
    __int64 revocationTime = -1;
    unsigned long responseLen = 0;
    unsigned long responderCertLen = 0;
};
OcspOutcome checkOcsp(const std::string& url, X509* certificate, X509* issuer);
OcspOutcome checkOcsp(const char* url, const std::vector<unsigned char>& certificate,
                      const std::vector<unsigned char>& issuer);

// Resets the proxy settings to their start values.
void resetProxy();

}  // namespace kivo::test
