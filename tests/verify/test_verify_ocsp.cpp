// The revocation check (0x10) of CVerifyMsg::CheckSignDetached by OCSP
// (mode 0x08): against OpenSSL's responder (`openssl ocsp`) started as a
// child process, against a responder made here that answers with a chosen
// nonce, and the verdict on answers as the exchange reports them.

#include "tests/verify/VerifyTestUtil.h"

#include "src/verify/VerifyOcsp.h"

#include <openssl/ocsp.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

extern char** environ;

namespace kivo::test::verify {
namespace {

// ---- sockets ------------------------------------------------------------------------------

class Socket {
public:
    explicit Socket(int fd = -1) : m_fd(fd) {}
    ~Socket() {
        if (m_fd >= 0) ::close(m_fd);
    }
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;
    int fd() const { return m_fd; }

private:
    int m_fd;
};

sockaddr_in loopback(int port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

// A port nothing listens on right now (the kernel's pick for 127.0.0.1:0).
int unusedPort() {
    Socket probe(::socket(AF_INET, SOCK_STREAM, 0));
    sockaddr_in address = loopback(0);
    socklen_t length = sizeof address;
    if (probe.fd() < 0 || ::bind(probe.fd(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::getsockname(probe.fd(), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        throw std::runtime_error("cannot find a free port");
    }
    return ntohs(address.sin_port);
}

std::string urlFor(int port) { return "http://127.0.0.1:" + std::to_string(port) + "/"; }

// ---- OpenSSL's responder ------------------------------------------------------------------

// `openssl ocsp` answering from an index file, signing with the CA. OpenSSL
// 3.0's responder takes a port number only and listens on every address;
// the tests reach it at 127.0.0.1.
class OpensslResponder {
public:
    OpensslResponder(const TempDir& dir, int port, const std::string& index, const std::string& caPem,
                     const std::string& caKey)
        : m_port(port), m_log(dir.file("responder.log")) {
        const std::vector<std::string> arguments = {"openssl", "ocsp", "-index", index, "-port", std::to_string(port),
                                                    "-rsigner", caPem, "-rkey", caKey, "-CA", caPem, "-ignore_err"};
        std::vector<char*> argv;
        for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, m_log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
        const int spawned = posix_spawnp(&m_pid, "openssl", &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        if (spawned != 0) {
            m_pid = -1;
            throw std::runtime_error("cannot start openssl ocsp");
        }
        // Ready when it says so: it listens before it writes this line. A
        // trial connection would not do, since OpenSSL 3.0's responder
        // stops answering after a client that closes without a request.
        // Give up when it ended or after 10 s.
        for (int attempt = 0; attempt < 200; ++attempt) {
            if (logText().find("waiting for OCSP client connections") != std::string::npos) return;
            int status = 0;
            if (::waitpid(m_pid, &status, WNOHANG) == m_pid) {
                m_pid = -1;
                throw std::runtime_error("openssl ocsp ended: " + logText());
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        stop();
        throw std::runtime_error("openssl ocsp does not accept connections: " + logText());
    }
    ~OpensslResponder() { stop(); }
    OpensslResponder(const OpensslResponder&) = delete;
    OpensslResponder& operator=(const OpensslResponder&) = delete;

    std::string url() const { return urlFor(m_port); }
    std::string logText() const {
        std::ifstream in(m_log);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }

private:
    void stop() {
        if (m_pid <= 0) return;
        ::kill(m_pid, SIGTERM);
        int status = 0;
        ::waitpid(m_pid, &status, 0);
        m_pid = -1;
    }

    pid_t m_pid = -1;
    int m_port;
    std::string m_log;
};

// A UTCTime text as OpenSSL's index file holds it.
std::string indexTime(std::time_t at) {
    std::tm fields{};
    gmtime_r(&at, &fields);
    char text[16];
    std::strftime(text, sizeof text, "%y%m%d%H%M%SZ", &fields);
    return text;
}

std::string subjectText(X509* certificate) {
    char text[256] = {};
    X509_NAME_oneline(X509_get_subject_name(certificate), text, sizeof text);
    return text;
}

// ---- the PKI -----------------------------------------------------------------------------

constexpr long kGoodSerial = 0x2001;
constexpr long kRevokedSerial = 0x2002;
constexpr long kUnknownSerial = 0x2003;
constexpr long kNoUrlSerial = 0x2004;

class OcspTest : public VerifyTest {
protected:
    void SetUp() override {
        m_port = unusedPort();
        m_ca = longLivedCa("/O=Kivo Verify/CN=OCSP CA");
        const std::string aia = "OCSP;URI:" + urlFor(m_port);
        m_good = signer("Good", kGoodSerial, aia);
        m_revoked = signer("Revoked", kRevokedSerial, aia);
        m_unknown = signer("Unknown", kUnknownSerial, aia);
        m_noUrl = signer("Without URL", kNoUrlSerial, "");
        m_caFile = pemFile("ca.pem", {m_ca.cert.get()});
        m_caKey = m_dir.file("ca.key");
        writePemKey(m_caKey, m_ca.key.get());
        m_emptyDir = m_dir.folder("empty");
    }

    Party signer(const std::string& name, long serial, const std::string& aia) {
        Certify request = signerBy(m_ca, "/O=Kivo Verify/CN=OCSP " + name, serial);
        if (!aia.empty()) request.extension("authorityInfoAccess", aia);
        return request.make();
    }

    // The index: good and revoked entries, the "unknown" certificate left out.
    std::string writeIndex() {
        const std::string index = m_dir.file("index.txt");
        std::string text;
        auto entry = [&](char flag, const Party& party, const std::string& revoked) {
            char serial[32];
            std::snprintf(serial, sizeof serial, "%lX", ASN1_INTEGER_get(X509_get0_serialNumber(party.cert.get())));
            text += std::string(1, flag) + "\t" + indexTime(m_now + 300 * kDay) + "\t" + revoked + "\t" + serial +
                    "\tunknown\t" + subjectText(party.cert.get()) + "\n";
        };
        entry('V', m_good, "");
        entry('R', m_revoked, indexTime(m_revokedAt));
        entry('V', m_noUrl, "");
        writeText(index, text);
        return index;
    }

    unsigned int ocsp(const Party& party, std::optional<std::string> url, std::optional<std::time_t> at,
                      unsigned int checks = 0x10) {
        m_signatures.push_back(cmsSign(party, m_content));
        Verification call(m_signatures.back());
        call.content(m_content).checks(checks).crlMode(0x08).caFile(m_caFile).caPath(m_emptyDir);
        if (url) call.crlSource(*url);
        if (at) call.at(*at);
        return call.run();
    }

    const Bytes m_content = randomBytes(600, 29);
    const std::time_t m_revokedAt = m_now - 5 * kDay;
    int m_port = 0;
    Party m_ca, m_good, m_revoked, m_unknown, m_noUrl;
    std::string m_caFile, m_caKey, m_emptyDir;
    std::vector<Bytes> m_signatures;
};

// ---- against openssl ocsp ----------------------------------------------------------------

class OpensslOcspTest : public OcspTest {
protected:
    void SetUp() override {
        if (!haveOpensslProgram()) GTEST_SKIP() << "the openssl program is not installed; the OCSP responder needs it";
        OcspTest::SetUp();
        m_responder = std::make_unique<OpensslResponder>(m_dir, m_port, writeIndex(), m_caFile, m_caKey);
    }

    std::unique_ptr<OpensslResponder> m_responder;
};

TEST_F(OpensslOcspTest, GoodCertificate) {
    EXPECT_EQ(ocsp(m_good, m_responder->url(), m_now), kValid) << m_responder->logText();
    // The certificate's own URL when no responder is given.
    EXPECT_EQ(ocsp(m_good, std::nullopt, m_now), kValid);
    // With the chain check and the signature; without a verification time.
    EXPECT_EQ(ocsp(m_good, std::nullopt, std::nullopt, 0x15), kValid);
}

TEST_F(OpensslOcspTest, RevokedCertificate) {
    EXPECT_EQ(ocsp(m_revoked, m_responder->url(), m_now), kRevoked) << m_responder->logText();
    EXPECT_EQ(ocsp(m_revoked, std::nullopt, m_now), kRevoked);
    EXPECT_EQ(ocsp(m_revoked, std::nullopt, std::nullopt), kRevoked) << "the current time without a verification time";
    // Signed before the revocation; and at its very second.
    EXPECT_EQ(ocsp(m_revoked, std::nullopt, m_now - 10 * kDay), kValid);
    EXPECT_EQ(ocsp(m_revoked, std::nullopt, m_revokedAt), kValid);
    EXPECT_EQ(ocsp(m_revoked, std::nullopt, m_revokedAt + 1), kRevoked);
    EXPECT_EQ(ocsp(m_revoked, std::nullopt, m_now, 0x1D), kRevoked);
}

TEST_F(OpensslOcspTest, UnknownCertificateCountsAsNotRevoked) {
    EXPECT_EQ(ocsp(m_unknown, m_responder->url(), m_now), kValid) << m_responder->logText();
    EXPECT_EQ(ocsp(m_unknown, std::nullopt, std::nullopt), kValid);
}

TEST_F(OpensslOcspTest, NoResponderUrl) {
    EXPECT_EQ(ocsp(m_noUrl, std::nullopt, m_now), kOcspNoUrl);
    // The certificate is known to the responder; a given URL reaches it.
    EXPECT_EQ(ocsp(m_noUrl, m_responder->url(), m_now), kValid);
    // URLs OpenSSL's parser refuses: another scheme, a port that is no number.
    EXPECT_EQ(ocsp(m_good, std::string("ftp://127.0.0.1/"), m_now), kOcspNoUrl);
    EXPECT_EQ(ocsp(m_good, std::string("http://127.0.0.1:port/"), m_now), kOcspNoUrl);
}

TEST_F(OpensslOcspTest, IssuerMustBeInTheTrustStore) {
    const Party other = Certify("/O=Kivo Verify/CN=Other CA").serial(5).ca().make();
    const std::string otherFile = pemFile("other.pem", {other.cert.get()});
    const Bytes signature = cmsSign(m_good, m_content);
    EXPECT_EQ(Verification(signature)
                  .content(m_content)
                  .checks(0x10)
                  .crlMode(0x08)
                  .crlSource(m_responder->url())
                  .at(m_now)
                  .caFile(otherFile)
                  .caPath(m_emptyDir)
                  .run(),
              kNoTrustedChain);
    // Before the URL is looked at.
    const Bytes noUrl = cmsSign(m_noUrl, m_content);
    EXPECT_EQ(Verification(noUrl).content(m_content).checks(0x10).crlMode(0x08).at(m_now).caFile(otherFile).caPath(m_emptyDir).run(),
              kNoTrustedChain);
    EXPECT_EQ(Verification(signature).content(m_content).checks(0x10).crlMode(0x08).caFile(m_dir.file("missing.pem")).run(),
              kNoTrustedChain)
        << "no trust store at all";
}

TEST(OcspUnreachable, ClosedPortIsACommunicationFailure) {
    ScopedTimeZone utc("UTC");
    const std::time_t now = std::time(nullptr);
    const Party ca = Certify("/O=Kivo Verify/CN=Lonely CA").serial(1).ca().make();
    const Party leaf = Certify("/O=Kivo Verify/CN=Lonely Signer").issuer(ca).serial(7).make();
    TempDir dir;
    const std::string caFile = dir.file("ca.pem");
    appendPem(caFile, {ca.cert.get()});
    const Bytes content = randomBytes(100, 3);
    const Bytes signature = cmsSign(leaf, content);
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(Verification(signature)
                  .content(content)
                  .checks(0x10)
                  .crlMode(0x08)
                  .crlSource(urlFor(unusedPort()))
                  .at(now)
                  .caFile(caFile)
                  .caPath(dir.folder("empty"))
                  .run(),
              kOcspCommunication);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
}

// ---- a responder with a chosen nonce ----------------------------------------------------------

// Answers OCSP requests over HTTP on 127.0.0.1 with a response signed by
// `ca`: status good, and the nonce echoed, left out or replaced.
class CraftedResponder {
public:
    enum class Nonce { Echo, Omit, Wrong };

    CraftedResponder(const Party& ca, Nonce nonce) : m_ca(ca), m_nonce(nonce), m_listener(::socket(AF_INET, SOCK_STREAM, 0)) {
        sockaddr_in address = loopback(0);
        socklen_t length = sizeof address;
        if (m_listener.fd() < 0 || ::bind(m_listener.fd(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            ::listen(m_listener.fd(), 4) != 0 ||
            ::getsockname(m_listener.fd(), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
            throw std::runtime_error("cannot listen on 127.0.0.1");
        }
        m_port = ntohs(address.sin_port);
        m_thread = std::thread([this] { serve(); });
    }
    ~CraftedResponder() {
        m_stop = true;
        m_thread.join();
    }
    CraftedResponder(const CraftedResponder&) = delete;
    CraftedResponder& operator=(const CraftedResponder&) = delete;

    std::string url() const { return urlFor(m_port); }
    int answered() const { return m_answered; }

private:
    void serve() {
        while (!m_stop) {
            pollfd waiting{m_listener.fd(), POLLIN, 0};
            if (::poll(&waiting, 1, 50) <= 0) continue;
            Socket client(::accept(m_listener.fd(), nullptr, nullptr));
            if (client.fd() < 0) continue;
            const timeval limit{5, 0};
            ::setsockopt(client.fd(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
            const std::string body = readRequestBody(client.fd());
            const Bytes response = respond(body);
            // Counted before the answer leaves, so that a client holding the
            // answer always finds it counted.
            ++m_answered;
            const std::string header = "HTTP/1.0 200 OK\r\nContent-Type: application/ocsp-response\r\nContent-Length: " +
                                       std::to_string(response.size()) + "\r\n\r\n";
            ::send(client.fd(), header.data(), header.size(), MSG_NOSIGNAL);
            ::send(client.fd(), response.data(), response.size(), MSG_NOSIGNAL);
        }
    }

    static std::string readRequestBody(int fd) {
        std::string received;
        char chunk[4096];
        std::size_t bodyStart = std::string::npos;
        std::size_t contentLength = 0;
        for (;;) {
            const ssize_t got = ::recv(fd, chunk, sizeof chunk, 0);
            if (got <= 0) break;
            received.append(chunk, static_cast<std::size_t>(got));
            if (bodyStart == std::string::npos) {
                const std::size_t end = received.find("\r\n\r\n");
                if (end == std::string::npos) continue;
                bodyStart = end + 4;
                std::string head = received.substr(0, end);
                std::transform(head.begin(), head.end(), head.begin(), [](unsigned char c) { return std::tolower(c); });
                const std::size_t field = head.find("content-length:");
                if (field != std::string::npos) contentLength = std::stoul(head.substr(field + 15));
            }
            if (received.size() >= bodyStart + contentLength) break;
        }
        return bodyStart == std::string::npos ? std::string() : received.substr(bodyStart, contentLength);
    }

    Bytes respond(const std::string& body) const {
        const unsigned char* cursor = reinterpret_cast<const unsigned char*>(body.data());
        std::unique_ptr<OCSP_REQUEST, decltype(&OCSP_REQUEST_free)> request(
            d2i_OCSP_REQUEST(nullptr, &cursor, static_cast<long>(body.size())), &OCSP_REQUEST_free);
        if (!request || OCSP_request_onereq_count(request.get()) < 1) return {};
        OCSP_CERTID* id = OCSP_onereq_get0_id(OCSP_request_onereq_get0(request.get(), 0));
        std::unique_ptr<OCSP_BASICRESP, decltype(&OCSP_BASICRESP_free)> basic(OCSP_BASICRESP_new(), &OCSP_BASICRESP_free);
        ASN1_TIME* thisUpdate = ASN1_TIME_set(nullptr, std::time(nullptr) - 60);
        bool ok = OCSP_basic_add1_status(basic.get(), id, V_OCSP_CERTSTATUS_GOOD, 0, nullptr, thisUpdate, nullptr) != nullptr;
        ASN1_TIME_free(thisUpdate);
        if (m_nonce == Nonce::Echo) ok = ok && OCSP_copy_nonce(basic.get(), request.get()) == 1;
        if (m_nonce == Nonce::Wrong) {
            unsigned char other[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
            ok = ok && OCSP_basic_add1_nonce(basic.get(), other, sizeof other) == 1;
        }
        ok = ok && OCSP_basic_sign(basic.get(), m_ca.cert.get(), m_ca.key.get(), EVP_sha256(), nullptr, 0) == 1;
        if (!ok) return {};
        std::unique_ptr<OCSP_RESPONSE, decltype(&OCSP_RESPONSE_free)> response(
            OCSP_response_create(OCSP_RESPONSE_STATUS_SUCCESSFUL, basic.get()), &OCSP_RESPONSE_free);
        unsigned char* der = nullptr;
        const int length = response ? i2d_OCSP_RESPONSE(response.get(), &der) : 0;
        Bytes out(der, der + (length > 0 ? length : 0));
        OPENSSL_free(der);
        return out;
    }

    const Party& m_ca;
    Nonce m_nonce;
    Socket m_listener;
    int m_port = 0;
    std::atomic<bool> m_stop{false};
    std::atomic<int> m_answered{0};
    std::thread m_thread;
};

TEST_F(OcspTest, ResponderMustEchoTheNonce) {
    {
        CraftedResponder echoing(m_ca, CraftedResponder::Nonce::Echo);
        EXPECT_EQ(ocsp(m_good, echoing.url(), m_now), kValid);
        EXPECT_EQ(echoing.answered(), 1);
    }
    {
        CraftedResponder silent(m_ca, CraftedResponder::Nonce::Omit);
        EXPECT_EQ(ocsp(m_good, silent.url(), m_now), kOcspCommunication);
        EXPECT_EQ(silent.answered(), 1);
    }
    {
        CraftedResponder wrong(m_ca, CraftedResponder::Nonce::Wrong);
        EXPECT_EQ(ocsp(m_good, wrong.url(), m_now), kOcspCommunication);
        EXPECT_EQ(wrong.answered(), 1);
    }
}

// ---- the verdict on an answer ------------------------------------------------------------------

kivo::ocsp::Answer answer(int status, int nonceCheck) {
    kivo::ocsp::Answer result;
    result.failure = 0;
    result.status = status;
    result.nonceCheck = nonceCheck;
    return result;
}

TEST(OcspVerdict, NonceCheckMustBeAtLeastOne) {
    // OCSP_check_nonce: 1 equal, 2 neither present, 3 only in the response,
    // -1 only in the request, 0 different.
    for (const int check : {1, 2, 3}) {
        EXPECT_EQ(kivo::verify::judgeOcspAnswer(answer(V_OCSP_CERTSTATUS_GOOD, check), nullptr), 0u) << check;
    }
    for (const int check : {0, -1}) {
        EXPECT_EQ(kivo::verify::judgeOcspAnswer(answer(V_OCSP_CERTSTATUS_GOOD, check), nullptr), kOcspCommunication)
            << check;
    }
}

TEST(OcspVerdict, FailedExchangesKeepTheirCode) {
    kivo::ocsp::Answer failed;
    failed.failure = kivo::ocsp::kOcspNoUrl;
    EXPECT_EQ(kivo::verify::judgeOcspAnswer(failed, nullptr), kOcspNoUrl);
    failed.failure = kivo::ocsp::kOcspCommunication;
    EXPECT_EQ(kivo::verify::judgeOcspAnswer(failed, nullptr), kOcspCommunication);
    EXPECT_EQ(kivo::verify::judgeOcspAnswer(answer(V_OCSP_CERTSTATUS_UNKNOWN, 1), nullptr), 0u);
    EXPECT_EQ(kivo::verify::judgeOcspAnswer(answer(7, 1), nullptr), kOcspCommunication) << "no status";
}

// The revocation time fields as the response states them against the
// local broken-down verification time.
TEST(OcspVerdict, RevocationTimeComparedFieldByField) {
    ScopedTimeZone zone("UTC");
    kivo::ocsp::Answer revoked = answer(V_OCSP_CERTSTATUS_REVOKED, 1);
    revoked.hasRevocationTime = true;
    const int fields[6] = {2026, 3, 14, 15, 9, 26};
    std::copy(std::begin(fields), std::end(fields), revoked.revocation);
    const std::time_t at = 1773500966;  // 2026-03-14T15:09:26Z
    timeb when{};
    when.time = at;
    EXPECT_EQ(kivo::verify::judgeOcspAnswer(revoked, &when), 0u) << "the same second";
    when.time = at + 1;
    EXPECT_EQ(kivo::verify::judgeOcspAnswer(revoked, &when), kRevoked);
    when.time = at - 1;
    EXPECT_EQ(kivo::verify::judgeOcspAnswer(revoked, &when), 0u);
    EXPECT_EQ(kivo::verify::judgeOcspAnswer(revoked, nullptr), kRevoked) << "now is after 2026-03-14";
    {
        // Local time: in Berlin (UTC+1 in March) the same instant reads
        // 16:09:26, later than the fields.
        ScopedTimeZone berlin("Europe/Berlin");
        when.time = at;
        EXPECT_EQ(kivo::verify::judgeOcspAnswer(revoked, &when), kRevoked);
    }
    revoked.hasRevocationTime = false;
    EXPECT_EQ(kivo::verify::judgeOcspAnswer(revoked, &when), kRevoked) << "revoked at an unknown time";
}

TEST(OcspUrl, CertificateOcspUrl) {
    const Party ca = Certify("/CN=AIA CA").ca().make();
    const Party both = Certify("/CN=Both")
                           .issuer(ca)
                           .serial(2)
                           .extension("authorityInfoAccess",
                                      "caIssuers;URI:http://ca.example.invalid/ca.cer,OCSP;URI:http://ocsp.example.invalid:8080/x,"
                                      "OCSP;URI:http://second.example.invalid/")
                           .make();
    EXPECT_EQ(kivo::verify::certificateOcspUrl(both.cert.get()), "http://ocsp.example.invalid:8080/x");
    const Party issuersOnly =
        Certify("/CN=Issuers").issuer(ca).serial(3).extension("authorityInfoAccess", "caIssuers;URI:http://ca.example.invalid/").make();
    EXPECT_EQ(kivo::verify::certificateOcspUrl(issuersOnly.cert.get()), "");
    EXPECT_EQ(kivo::verify::certificateOcspUrl(ca.cert.get()), "");
    EXPECT_EQ(kivo::verify::certificateOcspUrl(nullptr), "");
}

}  // namespace
}  // namespace kivo::test::verify
