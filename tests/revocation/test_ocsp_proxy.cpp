// OCSP checks through an HTTP proxy's CONNECT tunnel: tinyproxy, and a
// fake proxy that shows the request as the proxy receives it and answers
// the way a test needs.

#include "tests/revocation/OcspResponderFixture.h"
#include "tests/revocation/RevocationTestUtil.h"

#include "src/revocation/ProxyTunnel.h"
#include "tests/support/LogCapture.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>

using namespace kivo::test;

namespace {

bool contains(const std::vector<std::string>& lines, const std::string& text) {
    return std::find(lines.begin(), lines.end(), text) != lines.end();
}

bool anyContains(const std::vector<std::string>& lines, const std::string& part) {
    return std::any_of(lines.begin(), lines.end(),
                       [&](const std::string& line) { return line.find(part) != std::string::npos; });
}

constexpr const char* kEstablished = "HTTP/1.0 200 Connection established\r\n\r\n";

class ProxyTest : public OcspResponderFixture {
protected:
    static void useProxy(const std::string& address, const std::string& user = {},
                         const std::string& password = {}, const std::string& agent = {},
                         int options = CCrlSSL::cProxyOptionDefault) {
        CCrlSSL::setProxy(true, address, user, password, agent, options);
    }
    static std::string hostPort() { return "127.0.0.1:" + std::to_string(responder->port()); }
};

class TinyproxyTest : public ProxyTest {
protected:
    void SetUp() override {
        ProxyTest::SetUp();
        if (IsSkipped()) return;
        if (!programAvailable("tinyproxy")) GTEST_SKIP() << "tinyproxy is not installed";
    }
};

}  // namespace

// ---- tinyproxy ------------------------------------------------------------------------------

TEST_F(TinyproxyTest, DirectAndTunnelledChecksGiveTheSameAnswer) {
    Tinyproxy proxy(responder->port());
    for (X509* certificate : {pki().good.get(), pki().revoked.get(), pki().unknown.get()}) {
        resetProxy();
        const auto direct = checkOcsp(responder->url(), certificate, pki().ca.get());
        useProxy(proxy.address());
        const auto tunnelled = checkOcsp(responder->url(), certificate, pki().ca.get());
        EXPECT_EQ(tunnelled.result, direct.result);
        EXPECT_EQ(tunnelled.revocationTime, direct.revocationTime);
        EXPECT_EQ(tunnelled.responderCert, direct.responderCert);
        EXPECT_FALSE(tunnelled.response.empty());
    }
    EXPECT_NE(proxy.log().find("CONNECT 127.0.0.1:" + std::to_string(responder->port())),
              std::string::npos);
}

TEST_F(TinyproxyTest, BasicAuthenticationIsAccepted) {
    Tinyproxy proxy(responder->port(), "alice", "s3cret");
    useProxy(proxy.address(), "alice", "s3cret", "KivoTest/1.0");
    const auto outcome = checkOcsp(responder->url(), pki().revoked.get(), pki().ca.get());
    EXPECT_EQ(outcome.result, kRevoked);
    EXPECT_EQ(outcome.revocationTime, utcSeconds(2024, 3, 15, 10, 30, 0));
}

TEST_F(TinyproxyTest, AProxyDemandingAuthenticationEndsTheCheck) {
    Tinyproxy proxy(responder->port(), "alice", "s3cret");
    // No credentials: 407.
    useProxy(proxy.address());
    {
        LogCapture capture(CCrlSSL::m_logger);
        const auto outcome = checkOcsp(responder->url(), pki().good.get(), pki().ca.get());
        EXPECT_EQ(outcome.result, kCommunication);
        EXPECT_TRUE(outcome.response.empty());
        EXPECT_TRUE(contains(capture.messages(), "HTTP CONNECT failed: 407 Proxy Authentication Required"));
    }
    // Wrong credentials: tinyproxy refuses with 401.
    useProxy(proxy.address(), "alice", "wrong");
    {
        LogCapture capture(CCrlSSL::m_logger);
        const auto outcome = checkOcsp(responder->url(), pki().good.get(), pki().ca.get());
        EXPECT_EQ(outcome.result, kCommunication);
        EXPECT_TRUE(anyContains(capture.messages(), "HTTP CONNECT failed: 4"));
    }
}

TEST_F(TinyproxyTest, AProxyRefusingThePortEndsTheCheck) {
    Tinyproxy proxy(responder->port() == 1 ? 2 : 1);  // CONNECT allowed to another port only
    useProxy(proxy.address());
    const auto outcome = checkOcsp(responder->url(), pki().good.get(), pki().ca.get());
    EXPECT_EQ(outcome.result, kCommunication);
    EXPECT_TRUE(outcome.response.empty());
}

// ---- the CONNECT request as the proxy receives it ----------------------------------------------

TEST_F(ProxyTest, EachOptionFormOfTheConnectRequest) {
    const std::string target = hostPort();
    struct Form {
        int options;
        std::string expected;
    };
    const std::vector<Form> forms = {
        {CCrlSSL::cProxyOptionDefault, "CONNECT " + target + "/ HTTP/1.0\r\nHost: " + target +
                                           "\r\nProxy-Connection: Keep-Alive\r\n\r\n"},
        {CCrlSSL::cProxyOptionWithHost,
         "CONNECT " + target + " HTTP/1.0\r\nHost: " + target + "\r\nProxy-Connection: Keep-Alive\r\n\r\n"},
        {CCrlSSL::cProxyOptionWithPath,
         "CONNECT " + target + "/ HTTP/1.0\r\nProxy-Connection: Keep-Alive\r\n\r\n"},
        {CCrlSSL::cProxyOptionKeepAlive,
         "CONNECT " + target + " HTTP/1.0\r\nProxy-Connection: Keep-Alive\r\n\r\n"},
    };
    for (const Form& form : forms) {
        FakeProxy proxy(kEstablished, responder->port());
        useProxy(proxy.address(), "", "", "", form.options);
        const auto outcome = checkOcsp(responder->url(), pki().good.get(), pki().ca.get());
        EXPECT_EQ(outcome.result, 0) << "options " << form.options;
        const auto requests = proxy.requests();
        ASSERT_EQ(requests.size(), 1u) << "options " << form.options;
        EXPECT_EQ(requests[0], form.expected) << "options " << form.options;
    }
}

TEST_F(ProxyTest, CredentialsAndUserAgentReachTheProxyButNotTheLog) {
    FakeProxy proxy(kEstablished, responder->port());
    useProxy(proxy.address(), "alice", "s3cret", "KivoTest/1.0",
             CCrlSSL::cProxyOptionWithHost | CCrlSSL::cProxyOptionWithPath);
    LogCapture capture(CCrlSSL::m_logger);
    const std::string url = "http://" + hostPort() + "/status/ocsp";
    // The responder answers on any path.
    const auto outcome = checkOcsp(url, pki().revoked.get(), pki().ca.get());
    EXPECT_EQ(outcome.result, kRevoked);
    const std::string target = hostPort();
    ASSERT_EQ(proxy.requests().size(), 1u);
    // Base64 of "alice:s3cret".
    EXPECT_EQ(proxy.requests()[0], "CONNECT " + target + "/status/ocsp HTTP/1.0\r\nHost: " + target +
                                       "\r\nProxy-Connection: Keep-Alive\r\n"
                                       "Proxy-Authorization: Basic YWxpY2U6czNjcmV0\r\n"
                                       "User-Agent: KivoTest/1.0\r\n\r\n");
    const auto lines = capture.messages();
    EXPECT_TRUE(contains(lines, "buildProxyRequest options: 3"));
    EXPECT_TRUE(anyContains(lines, "request to proxy:\r\nCONNECT " + target));
    EXPECT_TRUE(anyContains(lines, "Proxy-Authorization: Basic ****************\r\n"));
    EXPECT_FALSE(anyContains(lines, "YWxpY2U6czNjcmV0"));
    EXPECT_TRUE(anyContains(lines, "response from proxy:\r\nHTTP/1.0 200 Connection established"));
}

TEST_F(ProxyTest, AProxyAnswerWithHeadersAndBodyIsDrained) {
    // A 200 with further header lines.
    FakeProxy chatty("HTTP/1.1 200 OK\r\nVia: test\r\nX-Long: " + std::string(3000, 'x') + "\r\n\r\n",
                     responder->port());
    useProxy(chatty.address());
    EXPECT_EQ(checkOcsp(responder->url(), pki().good.get(), pki().ca.get()).result, 0);

    // The same arriving in pieces: the status line split, then each header
    // line on its own.
    FakeProxy slow({"HTTP/1.0 20", "0 Connection established\r\n", "Via: test\r\n", "\r\n"},
                   responder->port());
    useProxy(slow.address());
    EXPECT_EQ(checkOcsp(responder->url(), pki().revoked.get(), pki().ca.get()).result, kRevoked);

    // A refusal with headers and a body: the header is read to its end and
    // the check fails.
    FakeProxy refusing(
        "HTTP/1.0 407 Proxy Authentication Required\r\nProxy-Authenticate: Basic realm=\"x\"\r\n"
        "Content-Length: 4\r\n\r\nnope",
        0);
    useProxy(refusing.address());
    LogCapture capture(CCrlSSL::m_logger);
    const auto outcome = checkOcsp(responder->url(), pki().good.get(), pki().ca.get());
    EXPECT_EQ(outcome.result, kCommunication);
    EXPECT_TRUE(outcome.response.empty());
    EXPECT_TRUE(contains(capture.messages(), "HTTP CONNECT failed: 407 Proxy Authentication Required"));
}

TEST_F(ProxyTest, MalformedProxyAnswers) {
    struct Case {
        std::string answer;
        std::string logLine;
    };
    const std::vector<Case> cases = {
        {"HTTP/1.10 200 OK\r\n\r\n", "HTTP CONNECT failed, incorrect response from proxy"},
        {"HTTP/1.0\r\n\r\n", "HTTP CONNECT failed, incorrect response from proxy"},
        {"OK\r\n\r\n", "HTTP CONNECT failed, insufficient response from proxy"},
        {"XXXXXXXX 302 Found\r\nLocation: /\r\n\r\n", "HTTP CONNECT failed: 302 Found"},
    };
    for (const Case& c : cases) {
        FakeProxy proxy(c.answer, 0);
        useProxy(proxy.address());
        LogCapture capture(CCrlSSL::m_logger);
        const auto outcome = checkOcsp(responder->url(), pki().good.get(), pki().ca.get());
        EXPECT_EQ(outcome.result, kCommunication) << c.answer;
        EXPECT_TRUE(contains(capture.messages(), c.logLine)) << c.answer;
    }
}

TEST_F(ProxyTest, AProxyThatClosesAtOnceOrNeverAnswers) {
    LocalServer closing([](int, const std::atomic<bool>&) {});
    useProxy(closing.address());
    {
        LogCapture capture(CCrlSSL::m_logger);
        EXPECT_EQ(checkOcsp(responder->url(), pki().good.get(), pki().ca.get()).result, kCommunication);
        EXPECT_TRUE(contains(capture.messages(), "empty response from proxy!"));
    }

    LocalServer silent([](int socket, const std::atomic<bool>& stopping) { stayQuiet(socket, stopping); });
    useProxy(silent.address());
    const auto outcome = checkOcsp(responder->url(), pki().good.get(), pki().ca.get());
    EXPECT_EQ(outcome.result, kCommunication);
    EXPECT_TRUE(outcome.response.empty());
}

TEST_F(ProxyTest, UnusableProxyAddresses) {
    useProxy("");
    LogCapture capture(CCrlSSL::m_logger);
    auto outcome = checkOcsp(responder->url(), pki().good.get(), pki().ca.get());
    EXPECT_EQ(outcome.result, kNoUrl);
    EXPECT_TRUE(contains(capture.messages(), "WARNING_PROXY_URL_NOT_FOUND"));

    capture.clear();
    useProxy("127.0.0.1:" + std::to_string(closedPort()));
    outcome = checkOcsp(responder->url(), pki().good.get(), pki().ca.get());
    EXPECT_EQ(outcome.result, kCommunication);
    EXPECT_TRUE(contains(capture.messages(), "ERROR_PROXY_COMM_ERROR port"));

    // The responder URL is judged before the proxy address.
    capture.clear();
    useProxy("127.0.0.1:3128");
    outcome = checkOcsp("ftp://127.0.0.1/", kivo::test::derOf(pki().good.get()),
                        kivo::test::derOf(pki().ca.get()));
    EXPECT_EQ(outcome.result, kNoUrl);
    EXPECT_TRUE(contains(capture.messages(), "WARNING_OCSP_URL_NOT_FOUND"));
}

TEST_F(ProxyTest, AnInactiveProxyIsNotUsed) {
    FakeProxy proxy(kEstablished, responder->port());
    CCrlSSL::setProxy(false, proxy.address(), "", "", "", 0);
    EXPECT_EQ(checkOcsp(responder->url(), pki().good.get(), pki().ca.get()).result, 0);
    EXPECT_TRUE(proxy.requests().empty());
}
