// The pieces of the proxy handshake without a network: the CONNECT request
// text, the Basic credentials, and the judging of the proxy's answer.

#include "src/revocation/ProxyTunnel.h"

#include "CrlSSL.h"
#include "tests/support/LogCapture.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <openssl/evp.h>

#include <string>

using kivo::proxy::HeaderScanner;
using kivo::proxy::judgeReply;
using kivo::proxy::Verdict;

namespace {

std::string request(int options, const std::string& auth = {}, const std::string& agent = {}) {
    return buildProxyRequest("ocsp.example", "8080", "/status", auth, agent, options,
                             CCrlSSL::m_logger);
}

kivo::proxy::Reply judge(const std::string& text) {
    return judgeReply(reinterpret_cast<const unsigned char*>(text.data()), text.size());
}

}  // namespace

TEST(ProxyRequest, TargetAndHostByOption) {
    const std::string both =
        "CONNECT ocsp.example:8080/status HTTP/1.0\r\nHost: ocsp.example:8080\r\n"
        "Proxy-Connection: Keep-Alive\r\n\r\n";
    const std::string hostOnly =
        "CONNECT ocsp.example:8080 HTTP/1.0\r\nHost: ocsp.example:8080\r\n"
        "Proxy-Connection: Keep-Alive\r\n\r\n";
    const std::string pathOnly =
        "CONNECT ocsp.example:8080/status HTTP/1.0\r\nProxy-Connection: Keep-Alive\r\n\r\n";
    const std::string neither =
        "CONNECT ocsp.example:8080 HTTP/1.0\r\nProxy-Connection: Keep-Alive\r\n\r\n";
    EXPECT_EQ(request(0), both);
    EXPECT_EQ(request(1), hostOnly);
    EXPECT_EQ(request(2), pathOnly);
    EXPECT_EQ(request(3), both);
    // Keep-Alive is not consulted.
    EXPECT_EQ(request(4), neither);
    EXPECT_EQ(request(5), hostOnly);
    EXPECT_EQ(request(6), pathOnly);
    EXPECT_EQ(request(7), both);
}

TEST(ProxyRequest, AuthorizationAndUserAgentComeLast) {
    EXPECT_EQ(request(1, "dXNlcjpwdw==", "Agent/2"),
              "CONNECT ocsp.example:8080 HTTP/1.0\r\nHost: ocsp.example:8080\r\n"
              "Proxy-Connection: Keep-Alive\r\nProxy-Authorization: Basic dXNlcjpwdw==\r\n"
              "User-Agent: Agent/2\r\n\r\n");
    EXPECT_EQ(request(2, "", "Agent/2"),
              "CONNECT ocsp.example:8080/status HTTP/1.0\r\nProxy-Connection: Keep-Alive\r\n"
              "User-Agent: Agent/2\r\n\r\n");
}

TEST(ProxyRequest, LogsTheOptions) {
    kivo::test::LogCapture capture(CCrlSSL::m_logger);
    request(6);
    const auto lines = capture.messages();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0], "buildProxyRequest options: 6");
}

TEST(ProxyCredentials, Base64AsRfc4648) {
    using kivo::proxy::base64Encode;
    EXPECT_EQ(base64Encode(""), "");
    EXPECT_EQ(base64Encode("f"), "Zg==");
    EXPECT_EQ(base64Encode("fo"), "Zm8=");
    EXPECT_EQ(base64Encode("foo"), "Zm9v");
    EXPECT_EQ(base64Encode("foob"), "Zm9vYg==");
    EXPECT_EQ(base64Encode("fooba"), "Zm9vYmE=");
    EXPECT_EQ(base64Encode("foobar"), "Zm9vYmFy");
    // Every byte value, against OpenSSL's encoder.
    for (std::size_t length : {1u, 2u, 3u, 100u, 256u}) {
        const auto bytes = kivo::test::randomBytes(length, static_cast<std::uint32_t>(length));
        std::string expected(4 * ((length + 2) / 3) + 1, '\0');
        const int written = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(expected.data()),
                                            bytes.data(), static_cast<int>(length));
        expected.resize(static_cast<std::size_t>(written));
        EXPECT_EQ(base64Encode(std::string(bytes.begin(), bytes.end())), expected) << length;
    }
}

TEST(ProxyCredentials, BasicCredentialsOnlyWithAUser) {
    EXPECT_EQ(kivo::proxy::basicCredentials("Aladdin", "open sesame"), "QWxhZGRpbjpvcGVuIHNlc2FtZQ==");
    EXPECT_EQ(kivo::proxy::basicCredentials("alice", ""), "YWxpY2U6");
    EXPECT_EQ(kivo::proxy::basicCredentials("", "secret"), "");
    EXPECT_EQ(kivo::proxy::maskCredentials("Basic abc\r\nX: abc", "abc"), "Basic ***\r\nX: ***");
    EXPECT_EQ(kivo::proxy::maskCredentials("Basic abc", ""), "Basic abc");
}

TEST(ProxyReply, StatusLineVerdicts) {
    auto reply = judge("HTTP/1.0 200 Connection established\r\n\r\n");
    EXPECT_EQ(reply.verdict, Verdict::Established);
    EXPECT_EQ(reply.statusText, "200 Connection established");
    EXPECT_TRUE(reply.headerComplete);
    EXPECT_EQ(reply.headerLength, 39u);

    reply = judge("HTTP/1.1 204 No Content\r\nVia: x\r\n\r\n");
    EXPECT_EQ(reply.verdict, Verdict::Established);

    reply = judge("HTTP/1.0 407 Proxy Authentication Required\r\nA: b\r\n\r\n<html>");
    EXPECT_EQ(reply.verdict, Verdict::Refused);
    EXPECT_EQ(reply.statusText, "407 Proxy Authentication Required");
    EXPECT_TRUE(reply.headerComplete);
    EXPECT_EQ(reply.headerLength, 52u);  // the body is not part of the header

    EXPECT_EQ(judge("HTTP/1.0 2").verdict, Verdict::Insufficient);
    EXPECT_EQ(judge("").verdict, Verdict::Insufficient);
    EXPECT_EQ(judge("HTTP/1.10 200 OK\r\n\r\n").verdict, Verdict::Incorrect);
    EXPECT_EQ(judge("HTTP/1.0 500").verdict, Verdict::Refused);
    EXPECT_EQ(judge("HTTP/1.0 500").statusText, "500");
    EXPECT_EQ(judgeReply(nullptr, 50).verdict, Verdict::Insufficient);
}

TEST(ProxyReply, TheHeaderEndsWithAShortLine) {
    EXPECT_FALSE(judge("HTTP/1.0 200 OK\r\nVia: x\r\n").headerComplete);
    EXPECT_FALSE(judge("HTTP/1.0 200 OK\r\n").headerComplete);
    // A bare "\n" also ends it, as does a line of two characters.
    EXPECT_TRUE(judge("HTTP/1.0 200 OK\n\n").headerComplete);
    EXPECT_TRUE(judge("HTTP/1.0 200 OK\r\na\n").headerComplete);
    EXPECT_FALSE(judge("HTTP/1.0 200 OK\r\nabc\n").headerComplete);
}

TEST(ProxyReply, ScannerGivesTheSameEndInPieces) {
    const std::string answer = "HTTP/1.0 200 OK\r\nVia: 1.1 proxy\r\nX: y\r\n\r\nrest";
    const std::size_t whole = judge(answer).headerLength;
    ASSERT_EQ(whole, answer.size() - 4);
    HeaderScanner scanner;
    std::size_t used = 0;
    for (char c : answer) {
        if (scanner.complete()) break;
        used += scanner.feed(reinterpret_cast<const unsigned char*>(&c), 1);
    }
    EXPECT_TRUE(scanner.complete());
    EXPECT_EQ(used, whole);
    // Nothing more is taken once the header has ended.
    EXPECT_EQ(scanner.feed(reinterpret_cast<const unsigned char*>("abc"), 3), 0u);
}

TEST(ProxyReply, OverlongLinesAreSplitLikeALineReader) {
    // A header line of 8191 characters counts as one line, so the "\r\n"
    // that follows it reads as a short line and ends the header.
    const std::string longLine(kivo::proxy::kBufferSize - 1, 'x');
    const auto reply = judge("HTTP/1.0 200 OK\r\n" + longLine + "\r\n");
    EXPECT_TRUE(reply.headerComplete);
    // Two characters shorter, the "\r\n" ends that line instead.
    const auto shorter = judge("HTTP/1.0 200 OK\r\n" + longLine.substr(2) + "\r\n");
    EXPECT_FALSE(shorter.headerComplete);
}
