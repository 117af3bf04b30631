// OCSP checks through an HTTP proxy's CONNECT tunnel: the request, the Basic
// credentials and the proxy's answer, without a network and through a proxy.

#include "tests/revocation/RevocationTestUtil.h"

#include "src/revocation/ProxyTunnel.h"
#include "tests/support/LogCapture.h"

#include <openssl/evp.h>

using namespace kivo::test;
using kivo::proxy::Verdict;

namespace {

kivo::proxy::Reply judge(const std::string& text) {
    return kivo::proxy::judgeReply(reinterpret_cast<const unsigned char*>(text.data()), text.size());
}

TEST(ProxyRequest, TargetHostAndCredentialsByOption) {
    const std::string both = "CONNECT ocsp.example:8080/status HTTP/1.0\r\nHost: ocsp.example:8080\r\n";
    const std::string hostOnly = "CONNECT ocsp.example:8080 HTTP/1.0\r\nHost: ocsp.example:8080\r\n";
    const std::string pathOnly = "CONNECT ocsp.example:8080/status HTTP/1.0\r\n";
    const std::string neither = "CONNECT ocsp.example:8080 HTTP/1.0\r\n";
    // Keep-Alive (4) is not consulted.
    const std::string byOption[8] = {both, hostOnly, pathOnly, both, neither, hostOnly, pathOnly, both};
    for (int options = 0; options < 8; ++options) {
        EXPECT_EQ(buildProxyRequest("ocsp.example", "8080", "/status", "", "", options, CCrlSSL::m_logger),
                  byOption[options] + "Proxy-Connection: Keep-Alive\r\n\r\n")
            << options;
    }
    EXPECT_EQ(buildProxyRequest("ocsp.example", "8080", "/status", "dXNlcjpwdw==", "Agent/2", 1, CCrlSSL::m_logger),
              hostOnly + "Proxy-Connection: Keep-Alive\r\nProxy-Authorization: Basic dXNlcjpwdw==\r\n"
                         "User-Agent: Agent/2\r\n\r\n");
}

TEST(ProxyCredentials, Base64AndBasicCredentials) {
    using kivo::proxy::base64Encode;
    const std::pair<const char*, const char*> vectors[] = {{"", ""},         {"f", "Zg=="},         {"fo", "Zm8="},
                                                           {"foo", "Zm9v"},  {"foob", "Zm9vYg=="},  {"fooba", "Zm9vYmE="},
                                                           {"foobar", "Zm9vYmFy"}};
    for (const auto& [text, encoded] : vectors) EXPECT_EQ(base64Encode(text), encoded) << text;
    const Bytes bytes = randomBytes(256, 256);  // random octets, as OpenSSL encodes them
    unsigned char expected[4 * 86 + 1];
    EVP_EncodeBlock(expected, bytes.data(), static_cast<int>(bytes.size()));
    EXPECT_EQ(base64Encode(std::string(bytes.begin(), bytes.end())), reinterpret_cast<const char*>(expected));
    EXPECT_EQ(kivo::proxy::basicCredentials("Aladdin", "open sesame"), "QWxhZGRpbjpvcGVuIHNlc2FtZQ==");
    EXPECT_EQ(kivo::proxy::basicCredentials("alice", ""), "YWxpY2U6");
    EXPECT_EQ(kivo::proxy::basicCredentials("", "secret"), "");
    EXPECT_EQ(kivo::proxy::maskCredentials("Basic abc\r\nX: abc", "abc"), "Basic ***\r\nX: ***");
    EXPECT_EQ(kivo::proxy::maskCredentials("Basic abc", ""), "Basic abc");
}

TEST(ProxyReply, VerdictsAndHeaderEnds) {
    const std::string longLine(kivo::proxy::kBufferSize - 1, 'x');
    // headerLength 0: not checked
    struct Case { std::string answer; Verdict verdict; bool complete; std::size_t headerLength; } cases[] = {
        {"HTTP/1.0 200 Connection established\r\n\r\n", Verdict::Established, true, 39},
        {"HTTP/1.1 204 No Content\r\nVia: x\r\n\r\n", Verdict::Established, true, 0},
        {"HTTP/1.0 407 Proxy Authentication Required\r\nA: b\r\n\r\n<html>", Verdict::Refused, true, 52},
        {"HTTP/1.0 500", Verdict::Refused, false, 0},  // the shortest complete status line
        {"HTTP/1.0 2", Verdict::Insufficient, false, 0}, {"", Verdict::Insufficient, false, 0},
        {"HTTP/1.10 200 OK\r\n\r\n", Verdict::Incorrect, true, 0},
        {"HTTP/1.0 200 OK\r\nVia: x\r\n", Verdict::Established, false, 0},
        {"HTTP/1.0 200 OK\n\n", Verdict::Established, true, 0},
        // A line of two characters ends the header too, a longer one does not.
        {"HTTP/1.0 200 OK\r\na\n", Verdict::Established, true, 0},
        {"HTTP/1.0 200 OK\r\nabc\n", Verdict::Established, false, 0},
        // A line of 8191 characters is split like a line reader does: the
        // "\r\n" after it reads as a short line; two characters shorter it does not.
        {"HTTP/1.0 200 OK\r\n" + longLine + "\r\n", Verdict::Established, true, 0},
        {"HTTP/1.0 200 OK\r\n" + longLine.substr(2) + "\r\n", Verdict::Established, false, 0}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.answer.substr(0, 40));
        const auto reply = judge(c.answer);
        EXPECT_EQ(reply.verdict, c.verdict);
        EXPECT_EQ(reply.headerComplete, c.complete);
        if (c.headerLength != 0) {
            EXPECT_EQ(reply.headerLength, c.headerLength);
        }
    }
    EXPECT_EQ(kivo::proxy::judgeReply(nullptr, 50).verdict, Verdict::Insufficient);
}

constexpr const char* kEstablished = "HTTP/1.0 200 Connection established\r\n\r\n";

class ProxyTest : public ResponderTest {
protected:
    static void useProxy(const std::string& address, const std::string& user = {}, const std::string& password = {},
                         const std::string& agent = {}, int options = CCrlSSL::cProxyOptionDefault) {
        CCrlSSL::setProxy(true, address, user, password, agent, options);
    }
    std::string target() const { return m_url.substr(7, m_url.rfind('/') - 7); }  // http://<target>/ocsp
};

TEST_F(ProxyTest, CredentialsAndUserAgentReachTheProxyButNotTheLog) {
    FakeProxy proxy({kEstablished});
    useProxy(proxy.address(), "alice", "s3cret", "KivoTest/1.0",
             CCrlSSL::cProxyOptionWithHost | CCrlSSL::cProxyOptionWithPath);
    LogCapture capture(CCrlSSL::m_logger);
    EXPECT_EQ(checkOcsp("http://" + target() + "/status/ocsp", pki().revoked.get()).result, kRevoked);
    ASSERT_EQ(proxy.requests().size(), 1u);
    EXPECT_EQ(proxy.requests()[0], "CONNECT " + target() + "/status/ocsp HTTP/1.0\r\nHost: " + target() +
                                       "\r\nProxy-Connection: Keep-Alive\r\n"
                                       "Proxy-Authorization: Basic YWxpY2U6czNjcmV0\r\n"  // alice:s3cret
                                       "User-Agent: KivoTest/1.0\r\n\r\n");
    const auto lines = capture.messages();
    EXPECT_TRUE(logged(lines, "buildProxyRequest options: 3"));
    EXPECT_TRUE(logged(lines, "Proxy-Authorization: Basic ****************\r\n"));
    EXPECT_FALSE(logged(lines, "YWxpY2U6czNjcmV0"));
    EXPECT_FALSE(logged(lines, "s3cret"));
    EXPECT_TRUE(logged(lines, "response from proxy:\r\nHTTP/1.0 200 Connection established"));
}

TEST_F(ProxyTest, TheProxyAnswerDecides) {
    LocalServer closing([](int, const std::atomic<bool>&) {});
    LocalServer silent([](int socket, const std::atomic<bool>& stopping) { stayQuiet(socket, stopping); });
    // pieces: of a fake proxy's answer; none: `proxy` is used
    struct Case { std::vector<std::string> pieces; std::string proxy; int result; const char* logLine;
        std::string url = ""; } cases[] = {
        // Header lines after the status line, arriving in pieces, are read to their end.
        {{"HTTP/1.0 20", "0 OK\r\n", "X-Long: " + std::string(3000, 'x') + "\r\n", "\r\n"}, "", kRevoked, ""},
        {{"HTTP/1.0 407 Proxy Authentication Required\r\nProxy-Authenticate: Basic\r\nContent-Length: 4\r\n\r\nnope"},
         "", kCommunication, "HTTP CONNECT failed: 407 Proxy Authentication Required\r\nProxy-Authenticate: Basic\r\nContent-Length: 4\r\n\r\nnope"},
        {{"HTTP/1.10 200 OK\r\n\r\n"}, "", kCommunication, "HTTP CONNECT failed, incorrect response from proxy"},
        {{"OK\r\n\r\n"}, "", kCommunication, "HTTP CONNECT failed, insufficient response from proxy"},
        {{"XXXXXXXX 302 Found\r\nLocation: /\r\n\r\n"}, "", kCommunication, "HTTP CONNECT failed: 302 Found\r\nLocation: /\r\n\r\n"},
        {{}, closing.address(), kCommunication, "empty response from proxy!"},
        {{}, silent.address(), kCommunication, ""},
        {{}, "", kNoUrl, "WARNING_PROXY_URL_NOT_FOUND"},
        {{}, "127.0.0.1:" + std::to_string(closedPort()), kCommunication, "ERROR_PROXY_COMM_ERROR port"},
        {{}, "127.0.0.1:3128", kNoUrl, "WARNING_OCSP_URL_NOT_FOUND", "ftp://127.0.0.1/"},  // the URL is judged first
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pieces.empty() ? c.proxy : c.pieces[0].substr(0, 30));
        const auto proxy = c.pieces.empty() ? nullptr : std::make_unique<FakeProxy>(c.pieces);
        useProxy(proxy ? proxy->address() : c.proxy);
        LogCapture capture(CCrlSSL::m_logger);
        const OcspOutcome outcome = checkOcsp(c.url.empty() ? m_url : c.url, pki().revoked.get());
        EXPECT_EQ(outcome.result, c.result);
        EXPECT_EQ(outcome.response.empty(), c.result != kRevoked);
        EXPECT_TRUE(logged(capture.messages(), c.logLine));
    }
    FakeProxy inactive({kEstablished});
    CCrlSSL::setProxy(false, inactive.address(), "", "", "", 0);
    EXPECT_EQ(checkOcsp(m_url, pki().good.get()).result, 0);
    EXPECT_TRUE(inactive.requests().empty()) << "an inactive proxy is not used";
}

}  // namespace
