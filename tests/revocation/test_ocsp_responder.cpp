// CCrlSSL::CheckOCSP against a real responder (`openssl ocsp`) on
// 127.0.0.1, and the failures before and around the exchange.

#include "tests/revocation/OcspResponderFixture.h"
#include "tests/revocation/RevocationTestUtil.h"

#include "src/revocation/OcspExchange.h"
#include "tests/support/LogCapture.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <openssl/ocsp.h>
#include <openssl/x509_vfy.h>

#include <algorithm>

using namespace kivo::test;

namespace {

bool contains(const std::vector<std::string>& lines, const std::string& text) {
    return std::find(lines.begin(), lines.end(), text) != lines.end();
}

bool startsWithAny(const std::vector<std::string>& lines, const std::string& prefix) {
    return std::any_of(lines.begin(), lines.end(),
                       [&](const std::string& line) { return line.rfind(prefix, 0) == 0; });
}

// What OpenSSL itself reads from a DER OCSPResponse for `certificate`.
struct Decoded {
    bool signatureVerifies = false;
    int status = -1;
    std::string revocationTime;  // GeneralizedTime text
    std::vector<unsigned char> firstCertificate;
};

Decoded decode(const std::vector<unsigned char>& der, X509* certificate) {
    Decoded decoded;
    const unsigned char* cursor = der.data();
    OCSP_RESPONSE* response = d2i_OCSP_RESPONSE(nullptr, &cursor, static_cast<long>(der.size()));
    if (response == nullptr) return decoded;
    OCSP_BASICRESP* basic = OCSP_response_get1_basic(response);
    if (basic != nullptr) {
        X509_STORE* store = X509_STORE_new();
        X509_STORE_add_cert(store, pki().ca.get());
        decoded.signatureVerifies = OCSP_basic_verify(basic, nullptr, store, 0) == 1;
        X509_STORE_free(store);
        OCSP_CERTID* id = OCSP_cert_to_id(nullptr, certificate, pki().ca.get());
        int reason = 0;
        ASN1_GENERALIZEDTIME *revoked = nullptr, *thisUpdate = nullptr, *nextUpdate = nullptr;
        OCSP_resp_find_status(basic, id, &decoded.status, &reason, &revoked, &thisUpdate, &nextUpdate);
        if (revoked != nullptr) {
            decoded.revocationTime.assign(reinterpret_cast<const char*>(ASN1_STRING_get0_data(revoked)),
                                          static_cast<std::size_t>(ASN1_STRING_length(revoked)));
        }
        const STACK_OF(X509)* certs = OCSP_resp_get0_certs(basic);
        if (sk_X509_num(certs) > 0) decoded.firstCertificate = kivo::test::derOf(sk_X509_value(certs, 0));
        OCSP_CERTID_free(id);
        OCSP_BASICRESP_free(basic);
    }
    OCSP_RESPONSE_free(response);
    return decoded;
}

using OcspResponderTest = OcspResponderFixture;

bool untouched(const OcspOutcome& outcome) {
    return outcome.response.empty() && outcome.responderCert.empty() && outcome.revocationTime == -1 &&
           outcome.responseLen == 0xDEADu && outcome.responderCertLen == 0xDEADu;
}

}  // namespace

TEST_F(OcspResponderTest, GoodCertificate) {
    const auto outcome = checkOcsp(responder->url(), pki().good.get(), pki().ca.get());
    EXPECT_EQ(outcome.result, 0);
    EXPECT_EQ(outcome.revocationTime, -1);
    ASSERT_FALSE(outcome.response.empty());
    const Decoded decoded = decode(outcome.response, pki().good.get());
    EXPECT_TRUE(decoded.signatureVerifies);
    EXPECT_EQ(decoded.status, V_OCSP_CERTSTATUS_GOOD);
    EXPECT_EQ(outcome.responderCert, kivo::test::derOf(pki().responder.get()));
    EXPECT_EQ(outcome.responderCert, decoded.firstCertificate);
}

TEST_F(OcspResponderTest, RevokedCertificateWithItsRevocationTime) {
    const auto outcome = checkOcsp(responder->url(), pki().revoked.get(), pki().ca.get());
    EXPECT_EQ(outcome.result, kRevoked);
    EXPECT_EQ(outcome.revocationTime, utcSeconds(2024, 3, 15, 10, 30, 0));
    const Decoded decoded = decode(outcome.response, pki().revoked.get());
    EXPECT_TRUE(decoded.signatureVerifies);
    EXPECT_EQ(decoded.status, V_OCSP_CERTSTATUS_REVOKED);
    EXPECT_EQ(decoded.revocationTime, "20240315103000Z");
    EXPECT_EQ(outcome.responderCert, kivo::test::derOf(pki().responder.get()));
}

TEST_F(OcspResponderTest, UnknownCertificateStillHandsOutTheResponse) {
    const auto outcome = checkOcsp(responder->url(), pki().unknown.get(), pki().ca.get());
    EXPECT_EQ(outcome.result, kUnknown);
    EXPECT_EQ(decode(outcome.response, pki().unknown.get()).status, V_OCSP_CERTSTATUS_UNKNOWN);
    EXPECT_EQ(outcome.responderCert, kivo::test::derOf(pki().responder.get()));
    EXPECT_EQ(outcome.revocationTime, -1);
}

TEST_F(OcspResponderTest, NoResponderCertificateBufferIsFine) {
    auto cert = kivo::test::derOf(pki().good.get());
    auto issuer = kivo::test::derOf(pki().ca.get());
    std::string url = responder->url();
    std::vector<unsigned char> response(CCrlSSL::cMaxOcspResponseLength);
    unsigned char* out = response.data();
    unsigned long length = 0;
    unsigned long certLength = 0xDEAD;
    EXPECT_EQ(CCrlSSL::CheckOCSP(url.data(), cert.data(), cert.size(), issuer.data(), issuer.size(),
                                 &out, &length, nullptr, nullptr, &certLength),
              0);
    EXPECT_GT(length, 0u);
    EXPECT_EQ(certLength, 0xDEADu);
}

TEST_F(OcspResponderTest, LogsEntryExitAndTheRequestPath) {
    LogCapture capture(CCrlSSL::m_logger);
    checkOcsp(responder->url(), pki().revoked.get(), pki().ca.get());
    const auto lines = capture.messages();
    EXPECT_TRUE(contains(lines, "entering CCrlSSL::CheckOCSP"));
    EXPECT_TRUE(contains(lines, "entering ssl_ocsp_check"));
    EXPECT_TRUE(contains(lines, "resp = OCSP_sendreq_bio(cbio, path, req); path: /"));
    EXPECT_TRUE(contains(lines, "leaving CCrlSSL::CheckOCSP: 80000004"));
}

TEST_F(OcspResponderTest, TheExchangeReportsForOtherCallers) {
    auto answer = kivo::ocsp::exchange(pki().ca.get(), pki().revoked.get(), responder->url().c_str(),
                                       nullptr, CCrlSSL::m_logger);
    EXPECT_EQ(answer.failure, 0u);
    EXPECT_EQ(answer.status, V_OCSP_CERTSTATUS_REVOKED);
    EXPECT_EQ(answer.nonceCheck, 1);  // the responder echoes the nonce
    EXPECT_TRUE(answer.hasRevocationTime);
    const int expected[6] = {2024, 3, 15, 10, 30, 0};
    EXPECT_TRUE(std::equal(std::begin(expected), std::end(expected), std::begin(answer.revocation)));
    EXPECT_EQ(answer.revocationSeconds, utcSeconds(2024, 3, 15, 10, 30, 0));
    EXPECT_EQ(answer.responderCertificate, kivo::test::derOf(pki().responder.get()));
    EXPECT_EQ(decode(answer.response, pki().revoked.get()).status, V_OCSP_CERTSTATUS_REVOKED);
}

// ---- failures before the exchange -------------------------------------------------------

TEST_F(OcspResponderTest, NoUrl) {
    LogCapture capture(CCrlSSL::m_logger);
    const auto outcome =
        checkOcsp(nullptr, kivo::test::derOf(pki().good.get()), kivo::test::derOf(pki().ca.get()));
    EXPECT_EQ(outcome.result, kNoUrl);
    EXPECT_TRUE(untouched(outcome));
    EXPECT_TRUE(contains(capture.messages(), "leaving CCrlSSL::CheckOCSP: 80080000"));
}

TEST_F(OcspResponderTest, UrlsThatDoNotParse) {
    for (const char* url : {"ftp://127.0.0.1/", "http://127.0.0.1:notaport/", "http://"}) {
        LogCapture capture(CCrlSSL::m_logger);
        const auto outcome =
            checkOcsp(url, kivo::test::derOf(pki().good.get()), kivo::test::derOf(pki().ca.get()));
        EXPECT_EQ(outcome.result, kNoUrl) << url;
        EXPECT_TRUE(untouched(outcome)) << url;
        const auto lines = capture.messages();
        EXPECT_TRUE(contains(lines, "WARNING_OCSP_URL_NOT_FOUND")) << url;
        EXPECT_TRUE(startsWithAny(lines, "OCSP_parse_url:")) << url;
    }
}

TEST_F(OcspResponderTest, CertificatesThatDoNotDecode) {
    auto cert = kivo::test::derOf(pki().good.get());
    auto issuer = kivo::test::derOf(pki().ca.get());
    std::vector<unsigned char> brokenCert(cert.begin(), cert.begin() + cert.size() / 2);
    std::vector<unsigned char> garbage = randomBytes(300, 7);

    auto outcome = checkOcsp(responder->url().c_str(), brokenCert, issuer);
    EXPECT_EQ(outcome.result & kUnknown, kUnknown);
    EXPECT_TRUE(untouched(outcome));
    outcome = checkOcsp(responder->url().c_str(), cert, garbage);
    EXPECT_EQ(outcome.result & kUnknown, kUnknown);
    EXPECT_TRUE(untouched(outcome));
    outcome = checkOcsp(responder->url().c_str(), std::vector<unsigned char>{},
                        std::vector<unsigned char>{});
    EXPECT_EQ(outcome.result & kUnknown, kUnknown);
    // Nothing is asked about a certificate that cannot be named.
    EXPECT_EQ(outcome.result, kUnknown);
    EXPECT_TRUE(untouched(outcome));
}

// ---- communication failures -----------------------------------------------------------

TEST_F(OcspResponderTest, NothingListensOnThePort) {
    LogCapture capture(CCrlSSL::m_logger);
    const std::string url = "http://127.0.0.1:" + std::to_string(closedPort()) + "/";
    const auto outcome = checkOcsp(url, pki().good.get(), pki().ca.get());
    EXPECT_EQ(outcome.result, kCommunication);
    EXPECT_TRUE(untouched(outcome));
    const auto lines = capture.messages();
    EXPECT_TRUE(contains(lines, "ERROR_OCSP_COMM_ERROR port"));
    EXPECT_TRUE(startsWithAny(lines, "BIO_do_connect:"));
}

TEST_F(OcspResponderTest, AResponderThatNeverAnswersEndsTheCheck) {
    LocalServer silent([](int socket, const std::atomic<bool>& stopping) { stayQuiet(socket, stopping); });
    LogCapture capture(CCrlSSL::m_logger);
    const auto outcome = checkOcsp("http://" + silent.address() + "/", pki().good.get(), pki().ca.get());
    EXPECT_EQ(outcome.result, kCommunication);
    EXPECT_TRUE(untouched(outcome));
    EXPECT_TRUE(startsWithAny(capture.messages(), "OCSP request Error"));
}

TEST_F(OcspResponderTest, AResponderThatHangsUpOrAnswersWithAnHttpError) {
    LocalServer hangUp([](int, const std::atomic<bool>&) {});
    auto outcome = checkOcsp("http://" + hangUp.address() + "/", pki().good.get(), pki().ca.get());
    EXPECT_EQ(outcome.result, kCommunication);
    EXPECT_TRUE(untouched(outcome));

    LocalServer serverError([](int socket, const std::atomic<bool>&) {
        if (readHeader(socket)) {
            sendAll(socket, "HTTP/1.0 500 Internal Server Error\r\nContent-Length: 5\r\n\r\noops!");
        }
    });
    outcome = checkOcsp("http://" + serverError.address() + "/", pki().good.get(), pki().ca.get());
    EXPECT_EQ(outcome.result, kCommunication);
    EXPECT_TRUE(untouched(outcome));
}
