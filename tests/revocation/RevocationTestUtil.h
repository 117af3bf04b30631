// The revocation suite's set-up: a CA with an OCSP signer and three end
// entities, a responder for them, the CheckOCSP call with ample buffers, and
// a proxy that answers as a test says.
#pragma once

#include "CrlSSL.h"
#include "tests/support/OcspFixture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>

namespace kivo::test {

inline constexpr int kRevoked = static_cast<int>(0x80000004), kUnknown = static_cast<int>(0x80000800);
inline constexpr int kNoUrl = static_cast<int>(0x80080000), kCommunication = static_cast<int>(0x80000200);
inline constexpr std::time_t kRevokedAt = 1710498600;  // 2024-03-15T10:30:00Z

struct TestPki {
    EvpKeyPtr caKey = generateKey(KeyKind::Rsa2048), responderKey = generateKey(KeyKind::EcP256);
    EvpKeyPtr leafKey = generateKey(KeyKind::EcP384);
    X509Ptr ca = issue("Revocation Test CA", 1, caKey.get(), true);
    X509Ptr responder = issue("OCSP Responder", 2, responderKey.get());
    X509Ptr good = issue("Good Signer", 0x1001, leafKey.get()), revoked = issue("Revoked Signer", 0x1002, leafKey.get());
    X509Ptr unknown = issue("Unknown Signer", 0x1003, leafKey.get());

    X509Ptr issue(const std::string& name, long serial, EVP_PKEY* key, bool isCa = false) const {
        using Extensions = std::vector<std::pair<std::string, std::string>>;  // the responder's: OCSPSigning
        return makeCertificate({.subject = "/C=DE/O=Kivo Test/CN=" + name, .subjectKey = key,
                                .issuerCert = isCa ? nullptr : ca.get(), .issuerKey = isCa ? nullptr : caKey.get(),
                                .serial = serial, .isCa = isCa,
                                .extensions = Extensions(serial == 2, {"extendedKeyUsage", "OCSPSigning"})});
    }
};

inline const TestPki& pki() { static const TestPki instance; return instance; }

inline Bytes respond(OCSP_REQUEST* request, int status, ResponseOptions options = {}) {
    options.revokedAt = kRevokedAt;
    return ocspResponse(request, status, pki().responder.get(), pki().responderKey.get(), options);
}

// The test PKI's responder: the good signer valid, the revoked one revoked, any other unknown.
inline Bytes pkiAnswer(OCSP_REQUEST* request) {
    const long serial = requestedSerial(request);
    return respond(request, serial == 0x1001   ? V_OCSP_CERTSTATUS_GOOD
                            : serial == 0x1002 ? V_OCSP_CERTSTATUS_REVOKED
                                               : V_OCSP_CERTSTATUS_UNKNOWN);
}

// One CCrlSSL::CheckOCSP call with ample buffers; a length that was not
// written stays kUntouched and its buffer empty.
inline constexpr unsigned long kUntouched = 0xDEADu;
struct OcspOutcome {
    int result = 0;
    Bytes response = Bytes(CCrlSSL::cMaxOcspResponseLength), responderCert = response;
    __int64 revocationTime = -1;
    unsigned long responseLen = kUntouched, responderCertLen = kUntouched;
};

inline OcspOutcome checkOcsp(const char* url, Bytes certificate, Bytes issuer) {
    OcspOutcome out;
    unsigned char* response = out.response.data();
    unsigned char* responderCert = out.responderCert.data();
    std::string urlCopy = url != nullptr ? url : "";
    out.result = CCrlSSL::CheckOCSP(url != nullptr ? urlCopy.data() : nullptr, certificate.data(), certificate.size(),
                                    issuer.data(), issuer.size(), &response, &out.responseLen, &out.revocationTime,
                                    &responderCert, &out.responderCertLen);
    for (auto [buffer, length] : {std::pair{&out.response, out.responseLen}, {&out.responderCert, out.responderCertLen}}) {
        buffer->resize(length != kUntouched ? std::min(length, CCrlSSL::cMaxOcspResponseLength) : 0);
    }
    return out;
}

inline OcspOutcome checkOcsp(const std::string& url, X509* certificate) {
    return checkOcsp(url.c_str(), derOf(certificate), derOf(pki().ca.get()));
}

// Whether a line of `lines` holds `part` (empty: yes).
inline bool logged(const std::vector<std::string>& lines, const std::string& part) {
    return part.empty() || std::any_of(lines.begin(), lines.end(), [&](auto& line) { return line.find(part) != line.npos; });
}

inline void resetProxy() { CCrlSSL::setProxy(false, "", "", "", "", CCrlSSL::cProxyOptionDefault); }

// The test PKI's responder running; TZ=UTC and the proxy settings at their start values.
class ResponderTest : public ::testing::Test {
protected:
    void SetUp() override { resetProxy(); }
    void TearDown() override { resetProxy(); }

    ScopedTimeZone m_utc{"UTC"};
    FakeResponder m_responder{pkiAnswer};
    const std::string m_url = m_responder.url();
};

// A proxy that records each CONNECT request and answers with `pieces` (100
// ms apart); after a 2xx it answers the tunnelled OCSP request as the test
// PKI's responder.
class FakeProxy {
public:
    explicit FakeProxy(std::vector<std::string> pieces)
        : m_pieces(std::move(pieces)), m_server([this](int socket, const std::atomic<bool>& stopping) {
              std::string data, answer, header;
              if (!readHeader(socket, data)) return;
              const std::size_t headerEnd = data.find("\r\n\r\n") + 4;
              std::unique_lock<std::mutex> lock(m_mutex);
              m_requests.push_back(data.substr(0, headerEnd));
              lock.unlock();
              for (const std::string& piece : m_pieces) {
                  if (!answer.empty()) std::this_thread::sleep_for(std::chrono::milliseconds(100));
                  if (!sendAll(socket, piece)) return;
                  answer += piece;
              }
              if (answer.rfind("HTTP/", 0) != 0 || answer.size() < 10 || answer[9] != '2') return stayQuiet(socket, stopping);
              answerOcspRequest(socket, data.substr(headerEnd), pkiAnswer, header);
          }) {}
    std::string address() const { return m_server.address(); }
    std::vector<std::string> requests() const { std::lock_guard<std::mutex> lock(m_mutex); return m_requests; }

private:
    std::vector<std::string> m_pieces;
    mutable std::mutex m_mutex;
    std::vector<std::string> m_requests;
    LocalServer m_server;
};

}  // namespace kivo::test
