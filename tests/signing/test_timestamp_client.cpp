// CTimeStampSSL against the RFC 3161 service of the test support: request
// layout, a real exchange verified by OpenSSL, and every failure path.

#include "TimeStampSSL.h"
#include "tests/signing/TimeStampTestUtil.h"
#include "tests/support/LogCapture.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>
#include <openssl/objects.h>
#include <openssl/pkcs7.h>
#include <openssl/ts.h>
#include <openssl/x509_vfy.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

using kivo::test::TsaServer;

namespace {

struct AlgorithmCase {
    int code;          // hash code given to CTimeStampSSL
    const char* name;  // digest the request must carry
    int nid;
    std::vector<unsigned char> oid;  // OID content bytes
};

void PrintTo(const AlgorithmCase& c, std::ostream* os) { *os << "code " << c.code << " (" << c.name << ")"; }

std::vector<AlgorithmCase> algorithmCases() {
    const std::vector<unsigned char> sha2 = {0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02};
    auto sha2Oid = [&](unsigned char last) {
        auto oid = sha2;
        oid.push_back(last);
        return oid;
    };
    return {
        {0, "SHA1", NID_sha1, {0x2B, 0x0E, 0x03, 0x02, 0x1A}},
        {1, "SHA256", NID_sha256, sha2Oid(0x01)},
        {2, "SHA384", NID_sha384, sha2Oid(0x02)},
        {3, "SHA512", NID_sha512, sha2Oid(0x03)},
        {7, "SHA1", NID_sha1, {0x2B, 0x0E, 0x03, 0x02, 0x1A}},  // unknown code → SHA-1
    };
}

struct TsReqDeleter {
    void operator()(TS_REQ* req) const { TS_REQ_free(req); }
};
struct Pkcs7Deleter {
    void operator()(PKCS7* p7) const { PKCS7_free(p7); }
};
struct TsRespDeleter {
    void operator()(TS_RESP* resp) const { TS_RESP_free(resp); }
};
struct VerifyCtxDeleter {
    void operator()(TS_VERIFY_CTX* ctx) const { TS_VERIFY_CTX_free(ctx); }
};
struct TstInfoDeleter {
    void operator()(TS_TST_INFO* info) const { TS_TST_INFO_free(info); }
};

std::unique_ptr<TS_REQ, TsReqDeleter> parseRequest(const std::vector<unsigned char>& der) {
    const unsigned char* p = der.data();
    std::unique_ptr<TS_REQ, TsReqDeleter> req(d2i_TS_REQ(nullptr, &p, static_cast<long>(der.size())));
    if (req && p != der.data() + der.size()) {
        req.reset();  // trailing bytes
    }
    return req;
}

std::vector<unsigned char> messageDigest(const char* name, const std::string& text) {
    return kivo::test::opensslDigest(name, reinterpret_cast<const unsigned char*>(text.data()),
                                     text.size());
}

class TimeStampClient : public ::testing::Test {
protected:
    void SetUp() override { kivo::test::bypassProxyForLoopback(); }
};

class TimeStampRequest : public ::testing::TestWithParam<AlgorithmCase> {
protected:
    void SetUp() override { kivo::test::bypassProxyForLoopback(); }
};

// The request as sent: byte layout and OpenSSL's reading of it.
TEST_P(TimeStampRequest, BytesFollowTheLayoutAndParse) {
    const AlgorithmCase& c = GetParam();
    TsaServer server;
    auto digest = messageDigest(c.name, "time-stamp me");
    CTimeStampSSL client(server.url(), digest.data(), static_cast<unsigned char>(digest.size()), c.code);
    client.sendRequest();
    ASSERT_EQ(client.getError(), 0);

    const std::vector<unsigned char> request = server.lastRequestBody();
    const size_t h = digest.size();
    const size_t o = c.oid.size();
    ASSERT_EQ(request.size(), h + o + 28);
    std::vector<unsigned char> expected = {
        0x30, static_cast<unsigned char>(h + o + 26), 0x02, 0x01, 0x01,
        0x30, static_cast<unsigned char>(h + o + 8),
        0x30, static_cast<unsigned char>(o + 4),
        0x06, static_cast<unsigned char>(o)};
    expected.insert(expected.end(), c.oid.begin(), c.oid.end());
    expected.insert(expected.end(), {0x05, 0x00, 0x04, static_cast<unsigned char>(h)});
    expected.insert(expected.end(), digest.begin(), digest.end());
    expected.insert(expected.end(), {0x02, 0x08});
    ASSERT_TRUE(std::equal(expected.begin(), expected.end(), request.begin()))
        << kivo::test::toHex(request);
    // 8 nonce bytes, then certReq TRUE.
    EXPECT_EQ(kivo::test::toHex(request.data() + 25 + o + h, 3), "0101FF");

    auto req = parseRequest(request);
    ASSERT_TRUE(req) << "OpenSSL does not read the request";
    EXPECT_EQ(TS_REQ_get_version(req.get()), 1);
    EXPECT_EQ(TS_REQ_get_cert_req(req.get()), 1);
    EXPECT_EQ(TS_REQ_get_policy_id(req.get()), nullptr);
    EXPECT_EQ(TS_REQ_get_exts(req.get()), nullptr);
    ASSERT_NE(TS_REQ_get_nonce(req.get()), nullptr);
    TS_MSG_IMPRINT* imprint = TS_REQ_get_msg_imprint(req.get());
    const X509_ALGOR* algorithm = TS_MSG_IMPRINT_get_algo(imprint);
    const ASN1_OBJECT* oid = nullptr;
    X509_ALGOR_get0(&oid, nullptr, nullptr, algorithm);
    EXPECT_EQ(OBJ_obj2nid(oid), c.nid);
    ASN1_OCTET_STRING* hashed = TS_MSG_IMPRINT_get_msg(imprint);
    ASSERT_EQ(static_cast<size_t>(ASN1_STRING_length(hashed)), h);
    EXPECT_TRUE(std::equal(digest.begin(), digest.end(), ASN1_STRING_get0_data(hashed)));

    const std::string headers = server.lastRequestHeaders();
    EXPECT_EQ(headers.rfind("POST /tsa HTTP/1.1\r\n", 0), 0u) << headers;
    EXPECT_NE(headers.find("Content-Type: application/timestamp-query\r\n"), std::string::npos) << headers;
    EXPECT_NE(headers.find("Content-Length:" + std::to_string(request.size()) + "\r\n"), std::string::npos)
        << headers;
    EXPECT_NE(headers.find("User-Agent: KivoSSL\r\n"), std::string::npos) << headers;
}

// A real exchange: the token is the service's signed TSTInfo for this
// request, and OpenSSL verifies it against the service's CA.
TEST_P(TimeStampRequest, TokenVerifiesAgainstTheServiceCa) {
    const AlgorithmCase& c = GetParam();
    TsaServer server;
    auto digest = messageDigest(c.name, "signature value");
    CTimeStampSSL client(server.url(), digest.data(), static_cast<unsigned char>(digest.size()), c.code);
    client.sendRequest();
    ASSERT_EQ(client.getError(), 0);
    EXPECT_FALSE(client.hasErrors());
    ASSERT_NE(client.getTimeStamp(), nullptr);
    ASSERT_NE(client.getResponse(), nullptr);

    // The response is the whole TimeStampResp; the token is what follows
    // the PKIStatusInfo.
    const unsigned char* response = client.getResponse();
    const unsigned long responseLen = client.getResponseLen();
    {
        const unsigned char* p = response;
        std::unique_ptr<TS_RESP, TsRespDeleter> parsed(d2i_TS_RESP(nullptr, &p, static_cast<long>(responseLen)));
        ASSERT_TRUE(parsed);
        EXPECT_EQ(ASN1_INTEGER_get(TS_STATUS_INFO_get0_status(TS_RESP_get_status_info(parsed.get()))), 0);
    }
    ASSERT_EQ(client.getTimeStampLen(), responseLen - (response[5] + 6u));
    EXPECT_TRUE(std::equal(client.getTimeStamp(), client.getTimeStamp() + client.getTimeStampLen(),
                           response + response[5] + 6));

    const unsigned char* p = client.getTimeStamp();
    std::unique_ptr<PKCS7, Pkcs7Deleter> token(d2i_PKCS7(nullptr, &p, static_cast<long>(client.getTimeStampLen())));
    ASSERT_TRUE(token) << "the token is no PKCS#7";
    EXPECT_EQ(p, client.getTimeStamp() + client.getTimeStampLen());

    // Verify signature, imprint, nonce and version against the request sent.
    auto req = parseRequest(server.lastRequestBody());
    ASSERT_TRUE(req);
    std::unique_ptr<TS_VERIFY_CTX, VerifyCtxDeleter> verify(TS_REQ_to_TS_VERIFY_CTX(req.get(), nullptr));
    ASSERT_TRUE(verify);
    X509_STORE* store = X509_STORE_new();
    ASSERT_NE(store, nullptr);
    ASSERT_EQ(X509_STORE_add_cert(store, server.caCertificate()), 1);
    TS_VERIFY_CTX_set_store(verify.get(), store);  // the context owns the store now
    TS_VERIFY_CTX_add_flags(verify.get(), TS_VFY_SIGNATURE);
    EXPECT_EQ(TS_RESP_verify_token(verify.get(), token.get()), 1);

    std::unique_ptr<TS_TST_INFO, TstInfoDeleter> info(PKCS7_to_TS_TST_INFO(token.get()));
    ASSERT_TRUE(info);
    const ASN1_OBJECT* oid = nullptr;
    X509_ALGOR_get0(&oid, nullptr, nullptr, TS_MSG_IMPRINT_get_algo(TS_TST_INFO_get_msg_imprint(info.get())));
    EXPECT_EQ(OBJ_obj2nid(oid), c.nid);
}

INSTANTIATE_TEST_SUITE_P(EachAlgorithm, TimeStampRequest, ::testing::ValuesIn(algorithmCases()),
                         [](const ::testing::TestParamInfo<AlgorithmCase>& info) {
                             return "Code" + std::to_string(info.param.code);
                         });

TEST_F(TimeStampClient, Sha256AndSha1RequestsStartAsDocumented) {
    TsaServer server;
    auto sha256 = messageDigest("SHA256", "abc");
    CTimeStampSSL a(server.url(), sha256.data(), 32, 1);
    a.sendRequest();
    ASSERT_EQ(a.getError(), 0);
    auto request = server.lastRequestBody();
    ASSERT_EQ(request.size(), 69u);
    EXPECT_EQ(kivo::test::toHex(request.data(), 24),
              "30430201013031300D060960864801650304020105000420");

    auto sha1 = messageDigest("SHA1", "abc");
    CTimeStampSSL b(server.url(), sha1.data(), 20, 0);
    b.sendRequest();
    ASSERT_EQ(b.getError(), 0);
    request = server.lastRequestBody();
    ASSERT_EQ(request.size(), 53u);
    EXPECT_EQ(kivo::test::toHex(request.data(), 20), "30330201013021300906052B0E03021A05000414");
    EXPECT_EQ(kivo::test::toHex(request.data() + 50, 3), "0101FF");
}

// A hash shorter or longer than the algorithm's digest still gives a
// request of the algorithm's layout: cut, or padded with zero bytes.
TEST_F(TimeStampClient, MismatchedHashLengthKeepsTheLayout) {
    TsaServer server;
    std::vector<unsigned char> md5(16, 0xAB);  // code 4 (MD5) is sent as SHA-1
    CTimeStampSSL shortHash(server.url(), md5.data(), 16, 4);
    shortHash.sendRequest();
    ASSERT_EQ(shortHash.getError(), 0);
    auto request = server.lastRequestBody();
    ASSERT_EQ(request.size(), 53u);
    auto req = parseRequest(request);
    ASSERT_TRUE(req);
    ASN1_OCTET_STRING* hashed = TS_MSG_IMPRINT_get_msg(TS_REQ_get_msg_imprint(req.get()));
    EXPECT_EQ(kivo::test::toHex(ASN1_STRING_get0_data(hashed), 20),
              "ABABABABABABABABABABABABABABABAB00000000");

    std::vector<unsigned char> longHash(64, 0x11);
    CTimeStampSSL cut(server.url(), longHash.data(), 64, 1);
    cut.sendRequest();
    ASSERT_EQ(cut.getError(), 0);
    EXPECT_EQ(server.lastRequestBody().size(), 69u);

    CTimeStampSSL noHash(server.url(), nullptr, 32, 1);
    noHash.sendRequest();
    ASSERT_EQ(noHash.getError(), 0);
    request = server.lastRequestBody();
    ASSERT_EQ(request.size(), 69u);
    EXPECT_TRUE(std::all_of(request.begin() + 24, request.begin() + 56, [](unsigned char b) { return b == 0; }));
}

TEST_F(TimeStampClient, CodesOutsideTheByteAreSentAsSha1) {
    TsaServer server;
    auto digest = messageDigest("SHA1", "wide");
    for (int code : {257, -1, 1 << 20}) {
        CTimeStampSSL client(server.url(), digest.data(), 20, code);
        client.sendRequest();
        ASSERT_EQ(client.getError(), 0) << code;
        auto req = parseRequest(server.lastRequestBody());
        ASSERT_TRUE(req) << code;
        const ASN1_OBJECT* oid = nullptr;
        X509_ALGOR_get0(&oid, nullptr, nullptr, TS_MSG_IMPRINT_get_algo(TS_REQ_get_msg_imprint(req.get())));
        EXPECT_EQ(OBJ_obj2nid(oid), NID_sha1) << code;
    }
}

TEST_F(TimeStampClient, NoncesDiffer) {
    TsaServer server;
    auto digest = messageDigest("SHA256", "n");
    std::vector<std::vector<unsigned char>> nonces;
    for (int i = 0; i < 3; ++i) {
        CTimeStampSSL client(server.url(), digest.data(), 32, 1);
        client.sendRequest();
        ASSERT_EQ(client.getError(), 0);
        auto request = server.lastRequestBody();
        nonces.emplace_back(request.begin() + 58, request.begin() + 66);
    }
    EXPECT_NE(nonces[0], nonces[1]);
    EXPECT_NE(nonces[1], nonces[2]);
}

void expectFailure(CTimeStampSSL& client, int code) {
    EXPECT_EQ(client.getError(), code);
    EXPECT_TRUE(client.hasErrors());
    EXPECT_EQ(client.getTimeStamp(), nullptr);
    EXPECT_EQ(client.getTimeStampLen(), 0u);
    EXPECT_EQ(client.getResponse(), nullptr);
    EXPECT_EQ(client.getResponseLen(), 0u);
}

TEST_F(TimeStampClient, HttpErrorGivesNoToken) {
    TsaServer server(TsaServer::Mode::HttpError);
    auto digest = messageDigest("SHA256", "x");
    CTimeStampSSL client(server.url(), digest.data(), 32, 1);
    kivo::test::LogCapture capture(CTimeStampSSL::m_logger);
    client.sendRequest();
    expectFailure(client, -92);
    EXPECT_EQ(server.requestCount(), 1);
    auto messages = capture.messages();
    EXPECT_NE(std::find(messages.begin(), messages.end(), "timestamp returnLen: 0"), messages.end());
    EXPECT_NE(std::find(messages.begin(), messages.end(), "invalid Timestamp response"), messages.end());
    EXPECT_NE(std::find(messages.begin(), messages.end(), "error while extractTimestamp"), messages.end());
}

TEST_F(TimeStampClient, GrantedWithModificationsIsRefused) {
    TsaServer server(TsaServer::Mode::GrantedWithMods);
    auto digest = messageDigest("SHA256", "x");
    CTimeStampSSL client(server.url(), digest.data(), 32, 1);
    client.sendRequest();
    expectFailure(client, -92);
    EXPECT_EQ(server.requestCount(), 1);
    // What the service sent: a complete response in the expected layout,
    // refused only for its status byte.
    const auto reply = server.respond(server.lastRequestBody(), true);
    ASSERT_GT(reply.size(), 256u);
    EXPECT_EQ(kivo::test::toHex(reply.data(), 2), "3082");
    EXPECT_EQ(kivo::test::toHex(reply.data() + 6, 3), "020101");
}

TEST_F(TimeStampClient, NonDerBodyGivesNoToken) {
    TsaServer server(TsaServer::Mode::NotDer);
    auto digest = messageDigest("SHA1", "x");
    CTimeStampSSL client(server.url(), digest.data(), 20, 0);
    client.sendRequest();
    expectFailure(client, -92);
}

TEST_F(TimeStampClient, BodyBeyondTheReceiveBufferIsRefused) {
    TsaServer server(TsaServer::Mode::Oversized);
    auto digest = messageDigest("SHA1", "x");
    CTimeStampSSL client(server.url(), digest.data(), 20, 0);
    client.sendRequest();
    expectFailure(client, -92);
}

TEST_F(TimeStampClient, ShortOrTokenlessResponsesAreRefused) {
    TsaServer server(TsaServer::Mode::Custom);
    auto digest = messageDigest("SHA1", "x");
    // Long-form SEQUENCE header, but shorter than 9 bytes.
    server.setCustomBody({0x30, 0x82, 0x00, 0x03, 0x30});
    CTimeStampSSL shortReply(server.url(), digest.data(), 20, 0);
    shortReply.sendRequest();
    expectFailure(shortReply, -92);

    // Granted, but nothing behind the PKIStatusInfo.
    server.setCustomBody({0x30, 0x82, 0x00, 0x05, 0x30, 0x03, 0x02, 0x01, 0x00});
    CTimeStampSSL noToken(server.url(), digest.data(), 20, 0);
    noToken.sendRequest();
    expectFailure(noToken, -92);

    // A status info length that points past the end.
    server.setCustomBody({0x30, 0x82, 0x00, 0x07, 0x30, 0xF0, 0x02, 0x01, 0x00, 0x01, 0x02});
    CTimeStampSSL pastEnd(server.url(), digest.data(), 20, 0);
    pastEnd.sendRequest();
    expectFailure(pastEnd, -92);

    // Granted with one byte behind: taken as it is (no further checks).
    server.setCustomBody({0x30, 0x82, 0x00, 0x06, 0x30, 0x03, 0x02, 0x01, 0x00, 0x42});
    CTimeStampSSL oneByte(server.url(), digest.data(), 20, 0);
    oneByte.sendRequest();
    ASSERT_EQ(oneByte.getError(), 0);
    ASSERT_EQ(oneByte.getTimeStampLen(), 1u);
    EXPECT_EQ(oneByte.getTimeStamp()[0], 0x42);
    EXPECT_EQ(oneByte.getResponseLen(), 10u);
}

TEST_F(TimeStampClient, SilentServerTimesOut) {
    TsaServer server(TsaServer::Mode::NeverAnswer);
    auto digest = messageDigest("SHA256", "x");
    CTimeStampSSL client(server.url(), digest.data(), 32, 1);
    const auto start = std::chrono::steady_clock::now();
    client.sendRequest();
    const auto elapsed = std::chrono::steady_clock::now() - start;
    expectFailure(client, -92);
    EXPECT_LT(elapsed, std::chrono::seconds(15));
}

TEST_F(TimeStampClient, NoServerGivesNoToken) {
    int port = 0;
    {
        TsaServer gone;
        port = gone.port();
    }
    auto digest = messageDigest("SHA256", "x");
    CTimeStampSSL client("http://127.0.0.1:" + std::to_string(port) + "/tsa", digest.data(), 32, 1);
    client.sendRequest();
    expectFailure(client, -92);
}

TEST_F(TimeStampClient, UnusableUrlIsAnHttpFailure) {
    auto digest = messageDigest("SHA256", "x");
    for (const char* url : {"", "not a url", "ftp://127.0.0.1/tsa", "http://"}) {
        CTimeStampSSL client(url, digest.data(), 32, 1);
        kivo::test::LogCapture capture(CTimeStampSSL::m_logger);
        client.sendRequest();
        expectFailure(client, -91);
        auto messages = capture.messages();
        EXPECT_NE(std::find(messages.begin(), messages.end(), "error while SendHttpRequest"), messages.end())
            << url;
    }
}

TEST_F(TimeStampClient, FreshObjectHasNoErrorAndCopiesAreDeep) {
    TsaServer server;
    auto digest = messageDigest("SHA384", "copy");
    CTimeStampSSL client(server.url(), digest.data(), 48, 2);
    EXPECT_FALSE(client.hasErrors());
    EXPECT_EQ(client.getTimeStamp(), nullptr);
    {
        kivo::test::LogCapture capture(CTimeStampSSL::m_logger);
        client.sendRequest();
        auto messages = capture.messages();
        EXPECT_NE(std::find(messages.begin(), messages.end(),
                            "timestamp returnLen: " + std::to_string(client.getResponseLen())),
                  messages.end());
        EXPECT_NE(std::find(messages.begin(), messages.end(),
                            "m_ulTimeStampLen: " + std::to_string(client.getTimeStampLen())),
                  messages.end());
    }
    ASSERT_EQ(client.getError(), 0);
    CTimeStampSSL copy(client);
    ASSERT_EQ(copy.getTimeStampLen(), client.getTimeStampLen());
    EXPECT_NE(copy.getTimeStamp(), client.getTimeStamp());
    EXPECT_TRUE(std::equal(copy.getTimeStamp(), copy.getTimeStamp() + copy.getTimeStampLen(),
                           client.getTimeStamp()));
    CTimeStampSSL assigned;
    assigned = copy;
    EXPECT_EQ(assigned.getResponseLen(), client.getResponseLen());
}

}  // namespace
