// CCrlSSL::CheckOCSP: the request it sends, what it makes of the answers a
// responder may give, and the failures before and around the exchange.

#include "tests/revocation/RevocationTestUtil.h"

#include "tests/support/LogCapture.h"

using namespace kivo::test;

namespace {

// Failures before and around the exchange write none of the outputs.
TEST_F(ResponderTest, EachFailureLeavesTheOutputsAlone) {
    LocalServer silent([](int socket, const std::atomic<bool>& stopping) { stayQuiet(socket, stopping); });
    LocalServer hangUp([](int, const std::atomic<bool>&) {});
    LocalServer serverError([](int socket, const std::atomic<bool>&) {
        if (std::string data; readHeader(socket, data)) sendAll(socket, "HTTP/1.0 500 Internal Server Error\r\nContent-Length: 5\r\n\r\noops!");
    });
    const Bytes cert = derOf(pki().good.get()), issuer = derOf(pki().ca.get());
    const std::string closed = "http://127.0.0.1:" + std::to_string(closedPort()) + "/";
    struct Case { std::optional<std::string> url; Bytes certificate, issuer; int result; const char* logLine; } cases[] = {
        {std::nullopt, cert, issuer, kNoUrl, "leaving CCrlSSL::CheckOCSP: 80080000"},
        {"ftp://127.0.0.1/", cert, issuer, kNoUrl, "WARNING_OCSP_URL_NOT_FOUND"},
        {"http://127.0.0.1:notaport/", cert, issuer, kNoUrl, "OCSP_parse_url:"},
        {closed, Bytes(cert.begin(), cert.begin() + cert.size() / 2), issuer, kUnknown, ""},
        {closed, {}, {}, kUnknown, ""},
        {closed, cert, issuer, kCommunication, "BIO_do_connect:"},
        {"http://" + silent.address() + "/", cert, issuer, kCommunication, "OCSP request Error"},
        {"http://" + hangUp.address() + "/", cert, issuer, kCommunication, ""},
        {"http://" + serverError.address() + "/", cert, issuer, kCommunication, ""}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.url.value_or("no URL"));
        LogCapture capture(CCrlSSL::m_logger);
        const OcspOutcome outcome = checkOcsp(c.url ? c.url->c_str() : nullptr, c.certificate, c.issuer);
        EXPECT_EQ(outcome.result, c.result);
        EXPECT_EQ(std::tie(outcome.responseLen, outcome.responderCertLen, outcome.revocationTime),
                  std::make_tuple(kUntouched, kUntouched, __int64{-1}));
        EXPECT_TRUE(logged(capture.messages(), c.logLine)) << c.logLine;
    }
}

TEST_F(ResponderTest, TheRequestIsAPostWithTheCertificateIdAndAFreshNonce) {
    std::vector<Bytes> nonces;
    bool idMatches = false;
    Bytes sent;
    FakeResponder responder([&](OCSP_REQUEST* request) {
        OCSP_CERTID* expected = OCSP_cert_to_id(EVP_sha1(), pki().good.get(), pki().ca.get());
        idMatches = OCSP_request_onereq_count(request) == 1 &&
                    OCSP_id_cmp(expected, OCSP_onereq_get0_id(OCSP_request_onereq_get0(request, 0))) == 0;
        OCSP_CERTID_free(expected);
        const int at = OCSP_REQUEST_get_ext_by_NID(request, NID_id_pkix_OCSP_Nonce, -1);
        if (at >= 0) {
            const ASN1_OCTET_STRING* value = X509_EXTENSION_get_data(OCSP_REQUEST_get_ext(request, at));
            nonces.emplace_back(ASN1_STRING_get0_data(value), ASN1_STRING_get0_data(value) + ASN1_STRING_length(value));
        }
        return sent = respond(request, V_OCSP_CERTSTATUS_GOOD);
    });
    EXPECT_EQ(checkOcsp(responder.url(), pki().good.get()).response, sent) << "the DER response as it came";
    checkOcsp(responder.url(), pki().good.get());
    EXPECT_TRUE(idMatches);
    ASSERT_EQ(nonces.size(), 2u);
    EXPECT_TRUE(nonces[0].size() >= 16 && nonces[0] != nonces[1]);
    const std::string header = responder.lastHeader();
    EXPECT_EQ(header.rfind("POST /ocsp HTTP/1.", 0), 0u) << header;
    EXPECT_NE(header.find("application/ocsp-request"), std::string::npos) << header;
}

TEST_F(ResponderTest, WhatTheResponderSendsDecides) {
    const ResponseOptions noNonce{Bytes{}}, otherNonce{Bytes(16, 0x42)}, noCertificate{std::nullopt, false};
    OCSP_REQUEST* other = OCSP_REQUEST_new();
    OCSP_request_add0_id(other, OCSP_cert_to_id(nullptr, pki().unknown.get(), pki().ca.get()));
    const Bytes otherStatus = respond(other, V_OCSP_CERTSTATUS_GOOD, {Bytes{}});
    OCSP_REQUEST_free(other);
    Bytes oversized = {0x30, 0x83, 0x03, 0x0D, 0x40};
    oversized.resize(oversized.size() + 0x030D40, 0x04);
    struct Case { const char* what; Respond respond; int result; bool response, responderCert;
        const char* logLine; X509* certificate = pki().good.get(); } cases[] = {
        {"good", pkiAnswer, 0, true, true, ""},
        {"revoked", pkiAnswer, kRevoked, true, true, "", pki().revoked.get()},
        {"unknown", pkiAnswer, kUnknown, true, true, "", pki().unknown.get()},
        {"no nonce", [&](OCSP_REQUEST* r) { return respond(r, V_OCSP_CERTSTATUS_REVOKED, noNonce); }, kRevoked, true,
         true, "", pki().revoked.get()},
        {"another nonce", [&](OCSP_REQUEST* r) { return respond(r, V_OCSP_CERTSTATUS_GOOD, otherNonce); },
         kCommunication, false, false, "OCSP_check_nonce:"},
        {"no certificates", [&](OCSP_REQUEST* r) { return respond(r, V_OCSP_CERTSTATUS_GOOD, noCertificate); }, 0,
         true, false, ""},
        {"try later", [](OCSP_REQUEST*) { return ocspStatusOnly(OCSP_RESPONSE_STATUS_TRYLATER); }, kCommunication,
         false, false, "OCSP_response_get1_basic"},
        {"another certificate's status", [&](OCSP_REQUEST*) { return otherStatus; }, kCommunication, false, false,
         "OCSP_resp_find_status"},
        {"a SEQUENCE that is no OCSPResponse", [](OCSP_REQUEST*) { return Bytes{0x30, 0x03, 0x0A, 0x01, 0x00}; },
         kCommunication, false, false, ""},
        {"longer than a responder may send", [&](OCSP_REQUEST*) { return oversized; }, kCommunication, false, false,
         ""}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        FakeResponder responder(c.respond);
        LogCapture capture(CCrlSSL::m_logger);
        const OcspOutcome outcome = checkOcsp(responder.url(), c.certificate);
        EXPECT_EQ(outcome.result, c.result);
        EXPECT_EQ(!outcome.response.empty(), c.response);
        EXPECT_EQ(outcome.responderCert == derOf(pki().responder.get()), c.responderCert);
        EXPECT_EQ(outcome.responderCertLen != kUntouched, c.responderCert);
        EXPECT_EQ(outcome.revocationTime, c.result == kRevoked ? kRevokedAt : -1);
        EXPECT_TRUE(logged(capture.messages(), c.logLine)) << c.logLine;
    }
    // Null output pointers are skipped.
    Bytes cert = derOf(pki().good.get()), issuer = derOf(pki().ca.get()), response(CCrlSSL::cMaxOcspResponseLength);
    unsigned char* out = response.data();
    unsigned long length = 0, certLength = kUntouched;
    EXPECT_EQ(CCrlSSL::CheckOCSP(std::string(m_url).data(), cert.data(), cert.size(), issuer.data(), issuer.size(), &out,
                                 &length, nullptr, nullptr, &certLength), 0);
    EXPECT_TRUE(length > 0 && certLength == kUntouched);
}

}  // namespace
