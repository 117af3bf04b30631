// How CheckOCSP and the exchange judge what a responder sends: nonces,
// missing certificates, unsuccessful and foreign responses, bodies that are
// no OCSP response, and the judging of DER bytes without a network.

#include "tests/revocation/RevocationTestUtil.h"

#include "src/revocation/OcspExchange.h"
#include "tests/support/LogCapture.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <openssl/ocsp.h>

#include <algorithm>

using namespace kivo::test;

namespace {

bool startsWithAny(const std::vector<std::string>& lines, const std::string& prefix) {
    return std::any_of(lines.begin(), lines.end(),
                       [&](const std::string& line) { return line.rfind(prefix, 0) == 0; });
}

class FakeResponderTest : public ::testing::Test {
protected:
    void SetUp() override { resetProxy(); }
    ScopedTimeZone utc{"UTC"};
};

}  // namespace

TEST_F(FakeResponderTest, TheRequestIsAnHttpPostOnTheUrlPath) {
    std::vector<unsigned char> sent;
    FakeResponder responder([&](OCSP_REQUEST* request) {
        sent = makeOcspResponse(request, V_OCSP_CERTSTATUS_GOOD);
        return sent;
    });
    const auto outcome = checkOcsp(responder.url(), pki().good.get(), pki().ca.get());
    EXPECT_EQ(outcome.result, 0);
    // A DER response comes out as it went in.
    EXPECT_EQ(outcome.response, sent);
    const std::string header = responder.lastHeader();
    EXPECT_EQ(header.rfind("POST /ocsp HTTP/1.", 0), 0u) << header;
    EXPECT_NE(header.find("application/ocsp-request"), std::string::npos) << header;
}

TEST_F(FakeResponderTest, TheRequestCarriesTheCertificateIdAndAFreshNonce) {
    std::vector<std::vector<unsigned char>> nonces;
    bool idMatches = false;
    FakeResponder responder([&](OCSP_REQUEST* request) {
        OCSP_CERTID* expected = OCSP_cert_to_id(EVP_sha1(), pki().good.get(), pki().ca.get());
        OCSP_CERTID* asked = OCSP_onereq_get0_id(OCSP_request_onereq_get0(request, 0));
        idMatches = OCSP_request_onereq_count(request) == 1 && OCSP_id_cmp(expected, asked) == 0;
        OCSP_CERTID_free(expected);
        const int at = OCSP_REQUEST_get_ext_by_NID(request, NID_id_pkix_OCSP_Nonce, -1);
        if (at >= 0) {
            const ASN1_OCTET_STRING* value =
                X509_EXTENSION_get_data(OCSP_REQUEST_get_ext(request, at));
            nonces.emplace_back(ASN1_STRING_get0_data(value),
                                ASN1_STRING_get0_data(value) + ASN1_STRING_length(value));
        }
        return makeOcspResponse(request, V_OCSP_CERTSTATUS_GOOD);
    });
    checkOcsp(responder.url(), pki().good.get(), pki().ca.get());
    checkOcsp(responder.url(), pki().good.get(), pki().ca.get());
    EXPECT_TRUE(idMatches);
    ASSERT_EQ(nonces.size(), 2u);
    EXPECT_GE(nonces[0].size(), 16u);
    EXPECT_NE(nonces[0], nonces[1]);
}

TEST_F(FakeResponderTest, AResponseWithoutNonceIsAccepted) {
    FakeResponder responder([](OCSP_REQUEST* request) {
        return makeOcspResponse(request, V_OCSP_CERTSTATUS_REVOKED, std::vector<unsigned char>{});
    });
    const auto outcome = checkOcsp(responder.url(), pki().revoked.get(), pki().ca.get());
    EXPECT_EQ(outcome.result, kRevoked);
    EXPECT_EQ(outcome.revocationTime, utcSeconds(2024, 3, 15, 10, 30, 0));
    EXPECT_FALSE(outcome.response.empty());
}

TEST_F(FakeResponderTest, AnotherNonceFailsAndLeavesTheBuffersAlone) {
    FakeResponder responder([](OCSP_REQUEST* request) {
        return makeOcspResponse(request, V_OCSP_CERTSTATUS_GOOD,
                                std::vector<unsigned char>(16, 0x42));
    });
    LogCapture capture(CCrlSSL::m_logger);
    const auto outcome = checkOcsp(responder.url(), pki().good.get(), pki().ca.get());
    EXPECT_EQ(outcome.result, kCommunication);
    EXPECT_TRUE(outcome.response.empty());
    EXPECT_TRUE(outcome.responderCert.empty());
    EXPECT_TRUE(startsWithAny(capture.messages(), "OCSP_check_nonce:"));
}

TEST_F(FakeResponderTest, AResponseWithoutCertificatesLeavesTheResponderBufferAlone) {
    FakeResponder responder([](OCSP_REQUEST* request) {
        return makeOcspResponse(request, V_OCSP_CERTSTATUS_GOOD, std::nullopt, false);
    });
    const auto outcome = checkOcsp(responder.url(), pki().good.get(), pki().ca.get());
    EXPECT_EQ(outcome.result, 0);
    EXPECT_FALSE(outcome.response.empty());
    EXPECT_EQ(outcome.responderCertLen, 0xDEADu);
}

TEST_F(FakeResponderTest, UnsuccessfulAndForeignResponsesFail) {
    for (int status : {OCSP_RESPONSE_STATUS_TRYLATER, OCSP_RESPONSE_STATUS_UNAUTHORIZED,
                       OCSP_RESPONSE_STATUS_INTERNALERROR}) {
        FakeResponder responder([status](OCSP_REQUEST*) { return makeOcspStatusOnly(status); });
        LogCapture capture(CCrlSSL::m_logger);
        const auto outcome = checkOcsp(responder.url(), pki().good.get(), pki().ca.get());
        EXPECT_EQ(outcome.result, kCommunication) << status;
        EXPECT_TRUE(outcome.response.empty());
        EXPECT_TRUE(startsWithAny(capture.messages(), "OCSP_response_get1_basic")) << status;
    }

    // A status for another certificate than the one asked about.
    FakeResponder foreign([](OCSP_REQUEST*) {
        OCSP_REQUEST* other = OCSP_REQUEST_new();
        OCSP_request_add0_id(other, OCSP_cert_to_id(nullptr, pki().unknown.get(), pki().ca.get()));
        auto der = makeOcspResponse(other, V_OCSP_CERTSTATUS_GOOD, std::vector<unsigned char>{});
        OCSP_REQUEST_free(other);
        return der;
    });
    LogCapture capture(CCrlSSL::m_logger);
    const auto outcome = checkOcsp(foreign.url(), pki().good.get(), pki().ca.get());
    EXPECT_EQ(outcome.result, kCommunication);
    EXPECT_TRUE(startsWithAny(capture.messages(), "OCSP_resp_find_status"));
}

TEST_F(FakeResponderTest, BodiesThatAreNoOcspResponse) {
    const std::vector<std::vector<unsigned char>> bodies = {
        {},
        {'n', 'o', 't', ' ', 'D', 'E', 'R'},
        {0x30, 0x03, 0x0A, 0x01, 0x00},  // a SEQUENCE that is no OCSPResponse
        // A long-form length beyond what a responder may send.
        [] {
            std::vector<unsigned char> big = {0x30, 0x83, 0x03, 0x0D, 0x40};
            big.resize(big.size() + 0x030D40, 0x04);
            return big;
        }(),
    };
    for (const auto& body : bodies) {
        FakeResponder responder([&](OCSP_REQUEST*) { return body; });
        const auto outcome = checkOcsp(responder.url(), pki().good.get(), pki().ca.get());
        EXPECT_EQ(outcome.result, kCommunication) << body.size() << " bytes";
        EXPECT_TRUE(outcome.response.empty());
    }
}

// ---- judging DER without a network -------------------------------------------------------

class JudgeResponse : public ::testing::Test {
protected:
    JudgeResponse() {
        request = OCSP_REQUEST_new();
        id = OCSP_cert_to_id(nullptr, pki().revoked.get(), pki().ca.get());
        OCSP_request_add0_id(request, id);
        OCSP_request_add1_nonce(request, nullptr, -1);
    }
    ~JudgeResponse() override { OCSP_REQUEST_free(request); }

    kivo::ocsp::Answer judge(const std::vector<unsigned char>& der) {
        return kivo::ocsp::judgeResponse(der.data(), der.size(), request, id, CCrlSSL::m_logger);
    }

    ScopedTimeZone utc{"UTC"};
    OCSP_REQUEST* request = nullptr;
    OCSP_CERTID* id = nullptr;  // owned by the request
};

TEST_F(JudgeResponse, ReportsStatusTimeNonceAndCertificate) {
    const auto der = makeOcspResponse(request, V_OCSP_CERTSTATUS_REVOKED);
    const auto answer = judge(der);
    EXPECT_EQ(answer.failure, 0u);
    EXPECT_EQ(answer.status, V_OCSP_CERTSTATUS_REVOKED);
    EXPECT_EQ(answer.nonceCheck, 1);
    EXPECT_TRUE(answer.hasRevocationTime);
    const int expected[6] = {2024, 3, 15, 10, 30, 0};
    EXPECT_TRUE(std::equal(std::begin(expected), std::end(expected), std::begin(answer.revocation)));
    EXPECT_EQ(answer.revocationSeconds, utcSeconds(2024, 3, 15, 10, 30, 0));
    EXPECT_EQ(answer.response, der);
    EXPECT_EQ(answer.responderCertificate, kivo::test::derOf(pki().responder.get()));
}

TEST_F(JudgeResponse, NonceResultsAsOpenSslGivesThem) {
    EXPECT_EQ(judge(makeOcspResponse(request, V_OCSP_CERTSTATUS_GOOD, std::vector<unsigned char>{}))
                  .nonceCheck,
              -1);
    EXPECT_EQ(judge(makeOcspResponse(request, V_OCSP_CERTSTATUS_GOOD,
                                     std::vector<unsigned char>(16, 1)))
                  .nonceCheck,
              0);
    // The answer is still reported: each caller decides what a nonce result means.
    const auto mismatch = judge(makeOcspResponse(request, V_OCSP_CERTSTATUS_GOOD,
                                                 std::vector<unsigned char>(16, 1)));
    EXPECT_EQ(mismatch.failure, 0u);
    EXPECT_EQ(mismatch.status, V_OCSP_CERTSTATUS_GOOD);

    const auto der = makeOcspResponse(request, V_OCSP_CERTSTATUS_GOOD, std::vector<unsigned char>{});
    EXPECT_EQ(kivo::ocsp::judgeResponse(der.data(), der.size(), nullptr, id, CCrlSSL::m_logger).nonceCheck,
              -1);
}

TEST_F(JudgeResponse, EveryTruncationFailsCleanly) {
    const auto der = makeOcspResponse(request, V_OCSP_CERTSTATUS_REVOKED);
    for (std::size_t length = 0; length < der.size(); length += 7) {
        std::vector<unsigned char> cut(der.begin(), der.begin() + length);
        const auto answer = judge(cut);
        EXPECT_EQ(answer.failure, kivo::ocsp::kOcspCommunication) << length;
        EXPECT_TRUE(answer.response.empty()) << length;
    }
    EXPECT_EQ(kivo::ocsp::judgeResponse(nullptr, 10, request, id, CCrlSSL::m_logger).failure,
              kivo::ocsp::kOcspCommunication);
    EXPECT_EQ(kivo::ocsp::judgeResponse(der.data(), der.size(), request, nullptr, CCrlSSL::m_logger).failure,
              kivo::ocsp::kOcspCommunication);
}
