#include "tests/support/OcspFixture.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace kivo::test {
namespace {

constexpr int kPollMs = 100;
constexpr int kPeerWaitMs = 5000;

int listenLocal(int& port) {
    const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
    socklen_t length = sizeof address;
    if (listener < 0 || ::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener, 16) != 0 || ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        throw std::runtime_error("cannot listen on 127.0.0.1");
    }
    port = ntohs(address.sin_port);
    return listener;
}

template <typename Write> void writeWithBio(const std::string& path, Write write) {
    BIO* bio = BIO_new_file(path.c_str(), "a");
    const bool ok = bio != nullptr && write(bio) == 1;
    BIO_free(bio);
    if (!ok) throw std::runtime_error("cannot write " + path);
}

template <typename T> Bytes encoded(const T* object, int (*encode)(const T*, unsigned char**)) {
    Bytes der(static_cast<std::size_t>(std::max(encode(object, nullptr), 0)));
    unsigned char* out = der.data();
    if (der.empty() || encode(object, &out) <= 0) throw std::runtime_error("cannot encode");
    return der;
}

Bytes responseDer(OCSP_RESPONSE* response) {
    const Bytes der = encoded<OCSP_RESPONSE>(response, i2d_OCSP_RESPONSE);
    OCSP_RESPONSE_free(response);
    return der;
}

bool readMore(int socket, std::string& data, int waitMs) {
    char chunk[4096];
    pollfd ready{socket, POLLIN, 0};
    const ssize_t n = ::poll(&ready, 1, waitMs) > 0 ? ::recv(socket, chunk, sizeof chunk, 0) : 0;
    if (n > 0) data.append(chunk, static_cast<std::size_t>(n));
    return n > 0;
}

}  // namespace

CrlPtr makeCrl(X509* issuer, EVP_PKEY* issuerKey, const std::vector<CrlEntry>& entries, std::time_t nextUpdate) {
    const std::time_t now = std::time(nullptr);
    CrlPtr crl(X509_CRL_new());
    ASN1_TIME* last = ASN1_TIME_set(nullptr, now - 3600);
    ASN1_TIME* next = ASN1_TIME_set(nullptr, nextUpdate != 0 ? nextUpdate : now + 30 * 86400);
    bool ok = crl && X509_CRL_set_version(crl.get(), 1) == 1 &&
              X509_CRL_set_issuer_name(crl.get(), X509_get_subject_name(issuer)) == 1 &&
              X509_CRL_set1_lastUpdate(crl.get(), last) == 1 && X509_CRL_set1_nextUpdate(crl.get(), next) == 1;
    ASN1_TIME_free(last);
    ASN1_TIME_free(next);
    for (const CrlEntry& entry : entries) {
        X509_REVOKED* revoked = X509_REVOKED_new();
        ASN1_INTEGER* serial = ASN1_INTEGER_new();
        ASN1_TIME* at = ASN1_TIME_set(nullptr, entry.revokedAt);
        ASN1_ENUMERATED* reason = ASN1_ENUMERATED_new();
        ok = ok && ASN1_INTEGER_set(serial, entry.serial) == 1 && X509_REVOKED_set_serialNumber(revoked, serial) == 1 &&
             X509_REVOKED_set_revocationDate(revoked, at) == 1 &&
             (entry.reason < 0 || (ASN1_ENUMERATED_set(reason, entry.reason) == 1 &&
                                   X509_REVOKED_add1_ext_i2d(revoked, NID_crl_reason, reason, 0, 0) == 1)) &&
             X509_CRL_add0_revoked(crl.get(), revoked) == 1;
        if (!ok) X509_REVOKED_free(revoked);
        ASN1_INTEGER_free(serial);
        ASN1_TIME_free(at);
        ASN1_ENUMERATED_free(reason);
    }
    if (!ok || X509_CRL_sort(crl.get()) != 1 || X509_CRL_sign(crl.get(), issuerKey, EVP_sha256()) <= 0) {
        throw std::runtime_error("cannot make the CRL");
    }
    return crl;
}

Bytes derOf(X509_CRL* crl) { return encoded<X509_CRL>(crl, i2d_X509_CRL); }

void appendPem(const std::string& path, X509* certificate) {
    writeWithBio(path, [&](BIO* bio) { return PEM_write_bio_X509(bio, certificate); });
}

void appendPem(const std::string& path, X509_CRL* crl) {
    writeWithBio(path, [&](BIO* bio) { return PEM_write_bio_X509_CRL(bio, crl); });
}

int closedPort() {
    int port = 0;
    ::close(listenLocal(port));
    return port;
}

// One connection at a time: the tests have one client.
LocalServer::LocalServer(Handler serve) : m_serve(std::move(serve)) {
    m_listener = listenLocal(m_port);
    m_thread = std::thread([this] {
        while (!m_stopping) {
            pollfd ready{m_listener, POLLIN, 0};
            const int client = ::poll(&ready, 1, kPollMs) > 0 ? ::accept(m_listener, nullptr, nullptr) : -1;
            if (client < 0) continue;
            m_serve(client, m_stopping);
            ::close(client);
        }
    });
}

LocalServer::~LocalServer() {
    m_stopping = true;
    m_thread.join();
    ::close(m_listener);
}

bool sendAll(int socket, const std::string& data) {
    for (std::size_t sent = 0; sent < data.size();) {
        const ssize_t n = ::send(socket, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) return false;
        sent += static_cast<std::size_t>(n);
    }
    return true;
}

bool readHeader(int socket, std::string& data) {
    while (data.find("\r\n\r\n") == std::string::npos) {
        if (!readMore(socket, data, kPeerWaitMs)) return false;
    }
    return true;
}

void stayQuiet(int socket, const std::atomic<bool>& stopping) {
    for (std::string ignored; !stopping; ignored.clear()) {
        pollfd ready{socket, POLLIN, 0};
        if (::poll(&ready, 1, kPollMs) > 0 && !readMore(socket, ignored, 0)) return;
    }
}

void answerOcspRequest(int socket, std::string data, const Respond& respond, std::string& header) {
    if (!readHeader(socket, data)) return;
    const std::size_t headerEnd = data.find("\r\n\r\n") + 4;
    header = data.substr(0, headerEnd);
    const char* field = ::strcasestr(header.c_str(), "content-length:");
    const std::size_t length = field != nullptr ? std::strtoul(field + 15, nullptr, 10) : 0;
    while (data.size() < headerEnd + length) {
        if (!readMore(socket, data, kPeerWaitMs)) return;
    }
    const auto* cursor = reinterpret_cast<const unsigned char*>(data.data() + headerEnd);
    OCSP_REQUEST* request = d2i_OCSP_REQUEST(nullptr, &cursor, static_cast<long>(length));
    if (request == nullptr) return;
    const Bytes answer = respond(request);
    OCSP_REQUEST_free(request);
    sendAll(socket, "HTTP/1.0 200 OK\r\nContent-Type: application/ocsp-response\r\nContent-Length: " +
                        std::to_string(answer.size()) + "\r\n\r\n" + std::string(answer.begin(), answer.end()));
}

FakeResponder::FakeResponder(Respond respond)
    : m_respond(std::move(respond)), m_server([this](int socket, const std::atomic<bool>&) {
          // Noted before the answer leaves, so that a client holding it finds it noted.
          std::string header;
          answerOcspRequest(socket, "", [&](OCSP_REQUEST* request) {
              std::lock_guard<std::mutex> lock(m_mutex);
              m_lastHeader = header;
              return m_respond(request);
          }, header);
      }) {}

std::string FakeResponder::lastHeader() const { std::lock_guard<std::mutex> lock(m_mutex); return m_lastHeader; }

Bytes ocspResponse(OCSP_REQUEST* request, int status, X509* signer, EVP_PKEY* signerKey,
                   const ResponseOptions& options) {
    OCSP_CERTID* id = OCSP_onereq_get0_id(OCSP_request_onereq_get0(request, 0));
    OCSP_BASICRESP* basic = OCSP_BASICRESP_new();
    ASN1_TIME* now = X509_gmtime_adj(nullptr, -60);
    ASN1_GENERALIZEDTIME* revokedAt =
        status == V_OCSP_CERTSTATUS_REVOKED ? ASN1_GENERALIZEDTIME_set(nullptr, options.revokedAt) : nullptr;
    OCSP_basic_add1_status(basic, id, status, OCSP_REVOKED_STATUS_KEYCOMPROMISE, revokedAt, now, nullptr);
    if (!options.nonce) {
        OCSP_copy_nonce(basic, request);
    } else if (!options.nonce->empty()) {
        Bytes nonce = *options.nonce;
        OCSP_basic_add1_nonce(basic, nonce.data(), static_cast<int>(nonce.size()));
    }
    OCSP_basic_sign(basic, signer, signerKey, EVP_sha256(), nullptr, options.includeCertificate ? 0 : OCSP_NOCERTS);
    const Bytes der = responseDer(OCSP_response_create(OCSP_RESPONSE_STATUS_SUCCESSFUL, basic));
    OCSP_BASICRESP_free(basic);
    ASN1_TIME_free(now);
    ASN1_GENERALIZEDTIME_free(revokedAt);
    return der;
}

long requestedSerial(OCSP_REQUEST* request) {
    ASN1_INTEGER* serial = nullptr;
    OCSP_id_get0_info(nullptr, nullptr, nullptr, &serial, OCSP_onereq_get0_id(OCSP_request_onereq_get0(request, 0)));
    return serial != nullptr ? ASN1_INTEGER_get(serial) : -1;
}

Bytes ocspStatusOnly(int responseStatus) { return responseDer(OCSP_response_create(responseStatus, nullptr)); }

}  // namespace kivo::test
