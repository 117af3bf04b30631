#include "tests/revocation/RevocationTestUtil.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

extern char** environ;

namespace kivo::test {

namespace {

constexpr int kPollMs = 100;
constexpr int kPeerWaitMs = 5000;

struct BioFree {
    void operator()(BIO* bio) const { BIO_free(bio); }
};

void closeSocket(int socket) {
    if (socket >= 0) ::close(socket);
}

int listenLocal(int& port) {
    const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    if (listener < 0) throw std::runtime_error("socket() failed");
    const int yes = 1;
    ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    socklen_t length = sizeof address;
    if (::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener, 16) != 0 ||
        ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        ::close(listener);
        throw std::runtime_error("cannot listen on 127.0.0.1");
    }
    port = ntohs(address.sin_port);
    return listener;
}

int connectLocal(int port) {
    const int socket = ::socket(AF_INET, SOCK_STREAM, 0);
    if (socket < 0) return -1;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    if (::connect(socket, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(socket);
        return -1;
    }
    return socket;
}

// Waits until `file` contains `marker`; false when `process` ends first or
// after ten seconds.
bool waitForLog(const std::string& file, const std::string& marker, ChildProcess& process) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < end) {
        std::error_code ignored;
        if (std::filesystem::exists(file, ignored) && readText(file).find(marker) != std::string::npos) {
            return true;
        }
        if (!process.running()) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
}

std::string utcTimeText(std::time_t seconds, bool generalized) {
    std::tm broken{};
    gmtime_r(&seconds, &broken);
    char text[32];
    std::strftime(text, sizeof text, generalized ? "%Y%m%d%H%M%SZ" : "%y%m%d%H%M%SZ", &broken);
    return text;
}

std::string serialHex(X509* certificate) {
    BIGNUM* number = ASN1_INTEGER_to_BN(X509_get0_serialNumber(certificate), nullptr);
    char* hex = BN_bn2hex(number);
    std::string text(hex);
    OPENSSL_free(hex);
    BN_free(number);
    if (text.size() % 2 != 0) text.insert(0, "0");
    return text;
}

}  // namespace

// ---- files -------------------------------------------------------------------------

void writeFile(const std::string& path, const std::vector<unsigned char>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (!out) throw std::runtime_error("cannot write " + path);
}

void writeText(const std::string& path, const std::string& text) {
    writeFile(path, std::vector<unsigned char>(text.begin(), text.end()));
}

std::string readText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

namespace {
template <typename Write>
void writeWithBio(const std::string& path, Write write) {
    std::unique_ptr<BIO, BioFree> bio(BIO_new_file(path.c_str(), "wb"));
    if (!bio || write(bio.get()) != 1) throw std::runtime_error("cannot write " + path);
}
}  // namespace

void writePem(const std::string& path, X509* certificate) {
    writeWithBio(path, [&](BIO* bio) { return PEM_write_bio_X509(bio, certificate); });
}

void writePem(const std::string& path, X509_CRL* crl) {
    writeWithBio(path, [&](BIO* bio) { return PEM_write_bio_X509_CRL(bio, crl); });
}

void writeKeyPem(const std::string& path, EVP_PKEY* key) {
    writeWithBio(path, [&](BIO* bio) {
        return PEM_write_bio_PrivateKey(bio, key, nullptr, nullptr, 0, nullptr, nullptr);
    });
}

std::time_t utcSeconds(int year, int month, int day, int hour, int minute, int second) {
    std::tm broken{};
    broken.tm_year = year - 1900;
    broken.tm_mon = month - 1;
    broken.tm_mday = day;
    broken.tm_hour = hour;
    broken.tm_min = minute;
    broken.tm_sec = second;
    return timegm(&broken);
}

// ---- PKI ---------------------------------------------------------------------------

CrlPtr makeCrl(X509* issuer, EVP_PKEY* issuerKey, const std::vector<CrlEntry>& entries) {
    CrlPtr crl(X509_CRL_new());
    if (!crl || X509_CRL_set_version(crl.get(), 1) != 1 ||
        X509_CRL_set_issuer_name(crl.get(), X509_get_subject_name(issuer)) != 1) {
        throw std::runtime_error("cannot start a CRL");
    }
    ASN1_TIME* last = ASN1_TIME_set(nullptr, std::time(nullptr) - 3600);
    ASN1_TIME* next = ASN1_TIME_set(nullptr, std::time(nullptr) + 7 * 86400);
    X509_CRL_set1_lastUpdate(crl.get(), last);
    X509_CRL_set1_nextUpdate(crl.get(), next);
    ASN1_TIME_free(last);
    ASN1_TIME_free(next);
    for (const CrlEntry& entry : entries) {
        X509_REVOKED* revoked = X509_REVOKED_new();
        ASN1_INTEGER* serial = ASN1_INTEGER_new();
        ASN1_INTEGER_set(serial, entry.serial);
        X509_REVOKED_set_serialNumber(revoked, serial);
        ASN1_INTEGER_free(serial);
        ASN1_TIME* at = ASN1_TIME_set(nullptr, entry.revokedAt);
        X509_REVOKED_set_revocationDate(revoked, at);
        ASN1_TIME_free(at);
        if (entry.reason >= 0) {
            ASN1_ENUMERATED* reason = ASN1_ENUMERATED_new();
            ASN1_ENUMERATED_set(reason, entry.reason);
            X509_REVOKED_add1_ext_i2d(revoked, NID_crl_reason, reason, 0, 0);
            ASN1_ENUMERATED_free(reason);
        }
        X509_CRL_add0_revoked(crl.get(), revoked);
    }
    X509_CRL_sort(crl.get());
    if (X509_CRL_sign(crl.get(), issuerKey, EVP_sha256()) <= 0) {
        throw std::runtime_error("cannot sign the CRL");
    }
    return crl;
}

std::vector<unsigned char> derOf(X509_CRL* crl) {
    const int length = i2d_X509_CRL(crl, nullptr);
    if (length <= 0) throw std::runtime_error("cannot encode the CRL");
    std::vector<unsigned char> der(static_cast<std::size_t>(length));
    unsigned char* out = der.data();
    i2d_X509_CRL(crl, &out);
    return der;
}

TestPki::TestPki()
    : caKey(generateKey(KeyKind::Rsa2048)),
      responderKey(generateKey(KeyKind::EcP256)),
      leafKey(generateKey(KeyKind::EcP384)) {
    CertOptions caOptions;
    caOptions.subject = "/C=DE/O=Kivo Test/CN=Revocation Test CA";
    caOptions.subjectKey = caKey.get();
    caOptions.isCa = true;
    caOptions.serial = 1;
    ca = makeCertificate(caOptions);

    CertOptions signer;
    signer.subject = "/C=DE/O=Kivo Test/CN=OCSP Responder";
    signer.subjectKey = responderKey.get();
    signer.issuerCert = ca.get();
    signer.issuerKey = caKey.get();
    signer.serial = 2;
    signer.extensions = {{"extendedKeyUsage", "OCSPSigning"}};
    responder = makeCertificate(signer);

    auto leaf = [&](const char* name, long serial) {
        CertOptions options;
        options.subject = std::string("/C=DE/O=Kivo Test/CN=") + name;
        options.subjectKey = leafKey.get();
        options.issuerCert = ca.get();
        options.issuerKey = caKey.get();
        options.serial = serial;
        return makeCertificate(options);
    };
    good = leaf("Good Signer", 0x1001);
    revoked = leaf("Revoked Signer", 0x1002);
    unknown = leaf("Unknown Signer", 0x1003);
}

const TestPki& pki() {
    static const TestPki instance;
    return instance;
}

// ---- ports and processes ----------------------------------------------------------------

int freePort() {
    int port = 0;
    closeSocket(listenLocal(port));
    return port;
}

int closedPort() { return freePort(); }

ChildProcess::ChildProcess(const std::vector<std::string>& arguments, const std::string& logFile) {
    std::vector<char*> argv;
    for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, logFile.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    pid_t pid = -1;
    const int status = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (status != 0) throw std::runtime_error("cannot start " + arguments[0]);
    m_pid = pid;
}

ChildProcess::~ChildProcess() {
    if (m_pid <= 0) return;
    ::kill(m_pid, SIGTERM);
    for (int i = 0; i < 40; ++i) {
        if (::waitpid(m_pid, nullptr, WNOHANG) == m_pid) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ::kill(m_pid, SIGKILL);
    ::waitpid(m_pid, nullptr, 0);
}

bool ChildProcess::running() {
    if (m_pid <= 0) return false;
    if (::waitpid(m_pid, nullptr, WNOHANG) == m_pid) {
        m_pid = -1;
        return false;
    }
    return true;
}

bool programAvailable(const char* name) {
    const char* path = std::getenv("PATH");
    std::istringstream folders(path != nullptr ? path : "/usr/bin:/bin");
    for (std::string folder; std::getline(folders, folder, ':');) {
        if (!folder.empty() && ::access((folder + "/" + name).c_str(), X_OK) == 0) return true;
    }
    return false;
}

OcspResponder::OcspResponder() {
    const TestPki& p = pki();
    writePem(m_folder.file("ca.pem"), p.ca.get());
    writePem(m_folder.file("responder.pem"), p.responder.get());
    writeKeyPem(m_folder.file("responder.key"), p.responderKey.get());
    const std::time_t revokedAt =
        utcSeconds(TestPki::kRevokedYear, TestPki::kRevokedMonth, TestPki::kRevokedDay,
                   TestPki::kRevokedHour, TestPki::kRevokedMinute, TestPki::kRevokedSecond);
    // One line per certificate: status, expiry, revocation time, serial,
    // file name, subject.
    writeText(m_folder.file("index.txt"),
              "V\t491231235959Z\t\t" + serialHex(p.good.get()) + "\tunknown\t/CN=Good Signer\n" +
                  "R\t491231235959Z\t" + utcTimeText(revokedAt, false) + "\t" +
                  serialHex(p.revoked.get()) + "\tunknown\t/CN=Revoked Signer\n");

    for (int attempt = 0; attempt < 5 && !m_process; ++attempt) {
        const int port = freePort();
        const std::string log = m_folder.file("responder-" + std::to_string(attempt) + ".log");
        auto process = std::make_unique<ChildProcess>(
            std::vector<std::string>{"openssl", "ocsp", "-port", std::to_string(port), "-index",
                                     m_folder.file("index.txt"), "-rsigner",
                                     m_folder.file("responder.pem"), "-rkey",
                                     m_folder.file("responder.key"), "-CA", m_folder.file("ca.pem"),
                                     "-nmin", "5"},
            log);
        if (waitForLog(log, "waiting for OCSP client connections", *process)) {
            m_port = port;
            m_process = std::move(process);
        }
    }
    if (!m_process) throw std::runtime_error("the OCSP responder did not start");
}

Tinyproxy::Tinyproxy(int connectPort, const std::string& user, const std::string& password) {
    for (int attempt = 0; attempt < 5 && !m_process; ++attempt) {
        const int port = freePort();
        const std::string log = m_folder.file("tinyproxy-" + std::to_string(attempt) + ".log");
        std::string config = "Port " + std::to_string(port) +
                             "\nListen 127.0.0.1\nTimeout 30\nMaxClients 20\nAllow 127.0.0.1\n"
                             "ConnectPort " + std::to_string(connectPort) + "\nLogFile \"" + log +
                             "\"\nLogLevel Info\n";
        if (!user.empty()) config += "BasicAuth " + user + " " + password + "\n";
        const std::string configFile = m_folder.file("tinyproxy.conf");
        writeText(configFile, config);
        auto process = std::make_unique<ChildProcess>(
            std::vector<std::string>{"tinyproxy", "-d", "-c", configFile},
            m_folder.file("tinyproxy-" + std::to_string(attempt) + ".out"));
        if (waitForLog(log, "Accepting connections", *process)) {
            m_port = port;
            m_process = std::move(process);
        }
    }
    if (!m_process) throw std::runtime_error("tinyproxy did not start");
}

std::string Tinyproxy::log() const {
    std::string all;
    for (const auto& entry : std::filesystem::directory_iterator(m_folder.path())) {
        if (entry.path().extension() == ".log") all += readText(entry.path().string());
    }
    return all;
}

// ---- socket servers --------------------------------------------------------------------

LocalServer::LocalServer(Handler serve) : m_serve(std::move(serve)) {
    m_listener = listenLocal(m_port);
    m_thread = std::thread([this] { run(); });
}

LocalServer::~LocalServer() {
    m_stopping = true;
    if (m_thread.joinable()) m_thread.join();
    std::vector<std::thread> workers;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        workers.swap(m_workers);
    }
    for (std::thread& worker : workers) worker.join();
    closeSocket(m_listener);
}

void LocalServer::run() {
    while (!m_stopping) {
        pollfd ready{m_listener, POLLIN, 0};
        if (::poll(&ready, 1, kPollMs) <= 0) continue;
        const int client = ::accept(m_listener, nullptr, nullptr);
        if (client < 0) continue;
        ++m_connections;
        std::lock_guard<std::mutex> lock(m_mutex);
        m_workers.emplace_back([this, client] {
            m_serve(client, m_stopping);
            ::close(client);
        });
    }
}

bool sendAll(int socket, const std::string& data) {
    std::size_t sent = 0;
    while (sent < data.size()) {
        const ssize_t n = ::send(socket, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) return false;
        sent += static_cast<std::size_t>(n);
    }
    return true;
}

std::optional<std::string> readHeader(int socket) {
    std::string data;
    char chunk[4096];
    while (data.find("\r\n\r\n") == std::string::npos) {
        pollfd ready{socket, POLLIN, 0};
        if (::poll(&ready, 1, kPeerWaitMs) <= 0) return std::nullopt;
        const ssize_t n = ::recv(socket, chunk, sizeof chunk, 0);
        if (n <= 0) return std::nullopt;
        data.append(chunk, static_cast<std::size_t>(n));
    }
    return data;
}

void stayQuiet(int socket, const std::atomic<bool>& stopping) {
    char chunk[4096];
    while (!stopping) {
        pollfd ready{socket, POLLIN, 0};
        if (::poll(&ready, 1, kPollMs) <= 0) continue;
        if (::recv(socket, chunk, sizeof chunk, 0) <= 0) return;
    }
}

FakeProxy::FakeProxy(std::string answer, int target)
    : FakeProxy(std::vector<std::string>{std::move(answer)}, target) {}

FakeProxy::FakeProxy(std::vector<std::string> pieces, int target)
    : m_pieces(std::move(pieces)), m_target(target) {
    m_server = std::make_unique<LocalServer>(
        [this](int socket, const std::atomic<bool>& stopping) { serve(socket, stopping); });
}

std::vector<std::string> FakeProxy::requests() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_requests;
}

void FakeProxy::serve(int socket, const std::atomic<bool>& stopping) {
    const auto request = readHeader(socket);
    if (!request) return;
    const std::size_t headerEnd = request->find("\r\n\r\n") + 4;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_requests.push_back(request->substr(0, headerEnd));
    }
    std::string answer;
    for (std::size_t i = 0; i < m_pieces.size(); ++i) {
        if (i > 0) std::this_thread::sleep_for(std::chrono::milliseconds(100));
        if (!sendAll(socket, m_pieces[i])) return;
        answer += m_pieces[i];
    }
    if (answer.compare(0, 5, "HTTP/") != 0 || answer.size() < 10 || answer[9] != '2' ||
        m_target <= 0) {
        stayQuiet(socket, stopping);
        return;
    }
    const int upstream = connectLocal(m_target);
    if (upstream < 0) return;
    if (request->size() > headerEnd) sendAll(upstream, request->substr(headerEnd));
    // Relay both ways until one side closes.
    char chunk[4096];
    bool open = true;
    while (open && !stopping) {
        pollfd ends[2] = {{socket, POLLIN, 0}, {upstream, POLLIN, 0}};
        if (::poll(ends, 2, kPollMs) <= 0) continue;
        for (int i = 0; i < 2 && open; ++i) {
            if ((ends[i].revents & (POLLIN | POLLHUP | POLLERR)) == 0) continue;
            const ssize_t n = ::recv(ends[i].fd, chunk, sizeof chunk, 0);
            open = n > 0 && sendAll(ends[1 - i].fd, std::string(chunk, static_cast<std::size_t>(n)));
        }
    }
    ::close(upstream);
}

FakeResponder::FakeResponder(Respond respond) : m_respond(std::move(respond)) {
    m_server = std::make_unique<LocalServer>(
        [this](int socket, const std::atomic<bool>&) { serve(socket); });
}

std::string FakeResponder::lastHeader() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_lastHeader;
}

void FakeResponder::serve(int socket) {
    auto data = readHeader(socket);
    if (!data) return;
    const std::size_t headerEnd = data->find("\r\n\r\n") + 4;
    std::string header = data->substr(0, headerEnd);
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_lastHeader = header;
    }
    std::string lower = header;
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    const std::size_t at = lower.find("content-length:");
    if (at == std::string::npos) return;
    const std::size_t bodyLength = std::strtoul(header.c_str() + at + 15, nullptr, 10);
    std::string body = data->substr(headerEnd);
    char chunk[4096];
    while (body.size() < bodyLength) {
        pollfd ready{socket, POLLIN, 0};
        if (::poll(&ready, 1, kPeerWaitMs) <= 0) return;
        const ssize_t n = ::recv(socket, chunk, sizeof chunk, 0);
        if (n <= 0) return;
        body.append(chunk, static_cast<std::size_t>(n));
    }
    const auto* cursor = reinterpret_cast<const unsigned char*>(body.data());
    OCSP_REQUEST* request = d2i_OCSP_REQUEST(nullptr, &cursor, static_cast<long>(body.size()));
    if (request == nullptr) return;
    const std::vector<unsigned char> answer = m_respond(request);
    OCSP_REQUEST_free(request);
    sendAll(socket, "HTTP/1.0 200 OK\r\nContent-Type: application/ocsp-response\r\nContent-Length: " +
                        std::to_string(answer.size()) + "\r\n\r\n" +
                        std::string(answer.begin(), answer.end()));
}

// ---- OCSP responses ------------------------------------------------------------------------

std::vector<unsigned char> makeOcspResponse(OCSP_REQUEST* request, int status,
                                            const std::optional<std::vector<unsigned char>>& nonce,
                                            bool includeCertificate) {
    const TestPki& p = pki();
    OCSP_CERTID* id = OCSP_onereq_get0_id(OCSP_request_onereq_get0(request, 0));
    OCSP_BASICRESP* basic = OCSP_BASICRESP_new();
    ASN1_TIME* now = X509_gmtime_adj(nullptr, 0);
    ASN1_GENERALIZEDTIME* revokedAt = nullptr;
    if (status == V_OCSP_CERTSTATUS_REVOKED) {
        revokedAt = ASN1_GENERALIZEDTIME_set(
            nullptr, utcSeconds(TestPki::kRevokedYear, TestPki::kRevokedMonth, TestPki::kRevokedDay,
                                TestPki::kRevokedHour, TestPki::kRevokedMinute, TestPki::kRevokedSecond));
    }
    OCSP_basic_add1_status(basic, id, status, OCSP_REVOKED_STATUS_KEYCOMPROMISE, revokedAt, now,
                           nullptr);
    if (!nonce) {
        OCSP_copy_nonce(basic, request);
    } else if (!nonce->empty()) {
        OCSP_basic_add1_nonce(basic, const_cast<unsigned char*>(nonce->data()),
                              static_cast<int>(nonce->size()));
    }
    OCSP_basic_sign(basic, p.responder.get(), p.responderKey.get(), EVP_sha256(), nullptr,
                    includeCertificate ? 0 : OCSP_NOCERTS);
    OCSP_RESPONSE* response = OCSP_response_create(OCSP_RESPONSE_STATUS_SUCCESSFUL, basic);
    std::vector<unsigned char> der(static_cast<std::size_t>(i2d_OCSP_RESPONSE(response, nullptr)));
    unsigned char* out = der.data();
    i2d_OCSP_RESPONSE(response, &out);
    OCSP_RESPONSE_free(response);
    OCSP_BASICRESP_free(basic);
    ASN1_TIME_free(now);
    ASN1_GENERALIZEDTIME_free(revokedAt);
    return der;
}

std::vector<unsigned char> makeOcspStatusOnly(int responseStatus) {
    OCSP_RESPONSE* response = OCSP_response_create(responseStatus, nullptr);
    std::vector<unsigned char> der(static_cast<std::size_t>(i2d_OCSP_RESPONSE(response, nullptr)));
    unsigned char* out = der.data();
    i2d_OCSP_RESPONSE(response, &out);
    OCSP_RESPONSE_free(response);
    return der;
}

// ---- calls -----------------------------------------------------------------------------------

OcspOutcome checkOcsp(const char* url, const std::vector<unsigned char>& certificate,
                      const std::vector<unsigned char>& issuer) {
    constexpr unsigned long kUntouched = 0xDEADu;
    OcspOutcome outcome;
    outcome.responseLen = kUntouched;
    outcome.responderCertLen = kUntouched;
    std::vector<unsigned char> response(CCrlSSL::cMaxOcspResponseLength, 0xEE);
    std::vector<unsigned char> responderCert(CCrlSSL::cMaxOcspResponseLength, 0xEE);
    unsigned char* responseBuffer = response.data();
    unsigned char* responderCertBuffer = responderCert.data();
    std::string urlCopy = url != nullptr ? url : "";
    std::vector<unsigned char> certificateCopy = certificate;
    std::vector<unsigned char> issuerCopy = issuer;
    outcome.result = CCrlSSL::CheckOCSP(
        url != nullptr ? urlCopy.data() : nullptr, certificateCopy.data(),
        static_cast<unsigned int>(certificateCopy.size()), issuerCopy.data(),
        static_cast<unsigned int>(issuerCopy.size()), &responseBuffer, &outcome.responseLen,
        &outcome.revocationTime, &responderCertBuffer, &outcome.responderCertLen);
    if (outcome.responseLen != kUntouched && outcome.responseLen <= response.size()) {
        outcome.response.assign(response.begin(), response.begin() + outcome.responseLen);
    }
    if (outcome.responderCertLen != kUntouched && outcome.responderCertLen <= responderCert.size()) {
        outcome.responderCert.assign(responderCert.begin(),
                                     responderCert.begin() + outcome.responderCertLen);
    }
    return outcome;
}

OcspOutcome checkOcsp(const std::string& url, X509* certificate, X509* issuer) {
    return checkOcsp(url.c_str(), kivo::test::derOf(certificate), kivo::test::derOf(issuer));
}

void resetProxy() { CCrlSSL::setProxy(false, "", "", "", "", CCrlSSL::cProxyOptionDefault); }

}  // namespace kivo::test
