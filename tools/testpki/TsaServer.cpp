#include "tools/testpki/TsaServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/bio.h>
#include <openssl/objects.h>
#include <openssl/ts.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <utility>

namespace kivo::test {
namespace {

constexpr int kPollMs = 100;          // how often the listener checks for stop
constexpr int kReadWaitMs = 3000;     // longest wait for more request bytes
constexpr size_t kMaxRequest = 1 << 20;
constexpr const char* kPolicyOid = "1.3.6.1.4.1.99999.1.1";

struct TsRespCtxDeleter {
    void operator()(TS_RESP_CTX* ctx) const { TS_RESP_CTX_free(ctx); }
};
struct TsRespDeleter {
    void operator()(TS_RESP* resp) const { TS_RESP_free(resp); }
};
struct BioDeleter {
    void operator()(BIO* bio) const { BIO_free(bio); }
};
struct ObjectDeleter {
    void operator()(ASN1_OBJECT* object) const { ASN1_OBJECT_free(object); }
};

bool sendAll(int fd, const std::string& data) {
    size_t sent = 0;
    while (sent < data.size()) {
        const ssize_t n = ::send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) {
            return false;
        }
        sent += static_cast<size_t>(n);
    }
    return true;
}

void sendResponse(int fd, const char* status, const char* contentType, const std::string& body) {
    std::string reply = std::string("HTTP/1.1 ") + status + "\r\nContent-Type: " + contentType +
                        "\r\nContent-Length: " + std::to_string(body.size()) +
                        "\r\nConnection: close\r\n\r\n" + body;
    sendAll(fd, reply);
}

// Reads until `done` says the bytes so far are complete, the peer closes,
// or no data arrives for kReadWaitMs.
template <typename Done>
bool readUntil(int fd, std::string& data, Done done) {
    char buffer[4096];
    while (!done(data)) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, kReadWaitMs) <= 0) {
            return false;
        }
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0 || data.size() + static_cast<size_t>(n) > kMaxRequest) {
            return false;
        }
        data.append(buffer, static_cast<size_t>(n));
    }
    return true;
}

size_t contentLength(const std::string& headers) {
    std::string lower(headers);
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    const size_t at = lower.find("\ncontent-length:");
    if (at == std::string::npos) {
        return 0;
    }
    size_t pos = at + std::strlen("\ncontent-length:");
    while (pos < lower.size() && lower[pos] == ' ') {
        ++pos;
    }
    size_t value = 0;
    while (pos < lower.size() && std::isdigit(static_cast<unsigned char>(lower[pos])) &&
           value < kMaxRequest) {
        value = value * 10 + static_cast<size_t>(lower[pos] - '0');
        ++pos;
    }
    return std::min(value, kMaxRequest);
}

}  // namespace

TsaServer::TsaServer(Mode mode) : m_mode(mode) {
    m_caKey = generateKey(KeyKind::EcP256);
    CertOptions ca;
    ca.subject = "/C=DE/O=Kivo Test/CN=Kivo Test TSA CA";
    ca.subjectKey = m_caKey.get();
    ca.isCa = true;
    m_caCert = makeCertificate(ca);

    m_tsaKey = generateKey(KeyKind::Rsa2048);
    CertOptions tsa;
    tsa.subject = "/C=DE/O=Kivo Test/CN=Kivo Test TSA";
    tsa.subjectKey = m_tsaKey.get();
    tsa.issuerCert = m_caCert.get();
    tsa.issuerKey = m_caKey.get();
    tsa.serial = 2;
    tsa.extensions = {{"extendedKeyUsage", "critical,timeStamping"},
                      {"keyUsage", "critical,digitalSignature"}};
    m_tsaCert = makeCertificate(tsa);

    m_listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (m_listener < 0) {
        throw std::runtime_error("TsaServer: socket failed");
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    socklen_t size = sizeof address;
    if (::bind(m_listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(m_listener, 16) != 0 ||
        ::getsockname(m_listener, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
        ::close(m_listener);
        throw std::runtime_error("TsaServer: cannot listen on 127.0.0.1");
    }
    m_port = ntohs(address.sin_port);
    m_thread = std::thread([this] { run(); });
}

TsaServer::~TsaServer() {
    m_stop.store(true);
    if (m_thread.joinable()) {
        m_thread.join();
    }
    for (int fd : m_silent) {
        ::close(fd);
    }
    ::close(m_listener);
}

std::string TsaServer::url() const { return "http://127.0.0.1:" + std::to_string(m_port) + "/tsa"; }

std::vector<unsigned char> TsaServer::lastRequestBody() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_lastBody;
}

std::string TsaServer::lastRequestHeaders() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_lastHeaders;
}

void TsaServer::setCustomBody(std::vector<unsigned char> body) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_customBody = std::move(body);
}

int TsaServer::requestCount() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_requests;
}

void TsaServer::run() {
    while (!m_stop.load()) {
        pollfd p{m_listener, POLLIN, 0};
        if (::poll(&p, 1, kPollMs) <= 0) {
            continue;
        }
        const int client = ::accept4(m_listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0) {
            continue;
        }
        if (m_mode.load() == Mode::NeverAnswer) {
            m_silent.push_back(client);  // closed by the destructor
            continue;
        }
        serve(client);
        ::close(client);
    }
}

void TsaServer::serve(int client) {
    std::string data;
    if (!readUntil(client, data, [](const std::string& d) { return d.find("\r\n\r\n") != std::string::npos; })) {
        return;
    }
    const size_t headerEnd = data.find("\r\n\r\n") + 4;
    const std::string headers = data.substr(0, headerEnd);
    const size_t length = contentLength(headers);
    if (!readUntil(client, data, [&](const std::string& d) { return d.size() >= headerEnd + length; })) {
        return;
    }
    std::vector<unsigned char> body(data.begin() + static_cast<long>(headerEnd),
                                    data.begin() + static_cast<long>(headerEnd + length));
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_lastBody = body;
        m_lastHeaders = headers;
        ++m_requests;
    }

    const Mode mode = m_mode.load();
    switch (mode) {
    case Mode::HttpError:
        sendResponse(client, "500 Internal Server Error", "text/plain", "time-stamp service failed");
        return;
    case Mode::NotDer:
        sendResponse(client, "200 OK", "application/timestamp-reply", "this is not a time-stamp reply");
        return;
    case Mode::Custom: {
        std::lock_guard<std::mutex> lock(m_mutex);
        sendResponse(client, "200 OK", "application/timestamp-reply",
                     std::string(m_customBody.begin(), m_customBody.end()));
        return;
    }
    case Mode::Oversized: {
        std::string big(70000, '\x01');
        big[0] = '\x30';
        big[1] = '\x83';
        sendResponse(client, "200 OK", "application/timestamp-reply", big);
        return;
    }
    default:
        break;
    }
    const std::vector<unsigned char> reply = respond(body, mode == Mode::GrantedWithMods);
    if (reply.empty()) {
        sendResponse(client, "400 Bad Request", "text/plain", "bad time-stamp request");
        return;
    }
    sendResponse(client, "200 OK", "application/timestamp-reply",
                 std::string(reply.begin(), reply.end()));
}

std::vector<unsigned char> TsaServer::respond(const std::vector<unsigned char>& request,
                                              bool grantedWithMods) const {
    std::unique_ptr<TS_RESP_CTX, TsRespCtxDeleter> ctx(TS_RESP_CTX_new());
    std::unique_ptr<ASN1_OBJECT, ObjectDeleter> policy(OBJ_txt2obj(kPolicyOid, 1));
    if (!ctx || !policy || TS_RESP_CTX_set_signer_cert(ctx.get(), m_tsaCert.get()) != 1 ||
        TS_RESP_CTX_set_signer_key(ctx.get(), m_tsaKey.get()) != 1 ||
        TS_RESP_CTX_set_def_policy(ctx.get(), policy.get()) != 1 ||
        TS_RESP_CTX_add_md(ctx.get(), EVP_sha1()) != 1 ||
        TS_RESP_CTX_add_md(ctx.get(), EVP_sha256()) != 1 ||
        TS_RESP_CTX_add_md(ctx.get(), EVP_sha384()) != 1 ||
        TS_RESP_CTX_add_md(ctx.get(), EVP_sha512()) != 1) {
        return {};
    }
    std::unique_ptr<BIO, BioDeleter> in(BIO_new_mem_buf(request.data(), static_cast<int>(request.size())));
    if (!in) {
        return {};
    }
    std::unique_ptr<TS_RESP, TsRespDeleter> response(TS_RESP_create_response(ctx.get(), in.get()));
    if (!response) {
        return {};
    }
    if (grantedWithMods) {
        // Same token, status changed to grantedWithMods (1).
        auto* status = const_cast<ASN1_INTEGER*>(
            TS_STATUS_INFO_get0_status(TS_RESP_get_status_info(response.get())));
        if (ASN1_INTEGER_set(status, TS_STATUS_GRANTED_WITH_MODS) != 1) {
            return {};
        }
    }
    unsigned char* der = nullptr;
    const int length = i2d_TS_RESP(response.get(), &der);
    if (length <= 0) {
        return {};
    }
    std::vector<unsigned char> result(der, der + length);
    OPENSSL_free(der);
    return result;
}

}  // namespace kivo::test
