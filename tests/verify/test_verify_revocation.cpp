// The revocation check (0x10) of CVerifyMsg::CheckSignDetached: "*.crl" files
// of a directory (mode 0x04), OpenSSL's CRL checking (0x01), OCSP (0x08), which
// mode bit counts, and which CRLs the strict rules accept.

#include "tests/verify/VerifyTestUtil.h"

#include "src/verify/VerifyOcsp.h"

namespace kivo::test::verify {
namespace {

constexpr long kSerial = 0x1234;

class RevocationTest : public VerifyTest {
protected:
    unsigned int check(const Bytes& signature, unsigned int checks, unsigned int mode, std::optional<std::string> source,
                       std::optional<std::time_t> at, std::optional<std::string> caFile) const {
        return Verification(signature).content(m_content).checks(checks).crl(mode, std::move(source)).at(at)
            .trust(std::move(caFile), m_empty).run();
    }
    // The folder `name` with the CRL file `file` listing `entries`.
    std::string crlFolder(const std::string& name, const std::string& file, const std::vector<CrlEntry>& entries) const {
        const std::string folder = m_dir.folder(name);
        writeBytes(folder + "/" + file, derOf(crlOf(m_ca, entries).get()));
        return folder;
    }
    CrlPtr crlOf(const Party& issuer, const std::vector<CrlEntry>& entries, std::time_t nextUpdate = 0) const {
        return makeCrl(issuer.cert.get(), issuer.key.get(), entries, nextUpdate);
    }

    const Bytes m_content = randomBytes(700, 23);
    const std::time_t m_revokedAt = m_now - 5 * kDay;
    const Party m_ca = longLivedCa("/O=Kivo Verify/CN=Revocation CA");
};

TEST_F(RevocationTest, CrlsAndOcsp) {
    const Bytes signature = cmsSign(signerBy(m_ca, "/CN=CRL Signer", kSerial).make(), m_content);
    // An OCSP responder signing with the CA: serial 0x2002 revoked, any other
    // good; signers with its URL, one without.
    FakeResponder responder([&](OCSP_REQUEST* request) {
        const int status = requestedSerial(request) == 0x2002 ? V_OCSP_CERTSTATUS_REVOKED : V_OCSP_CERTSTATUS_GOOD;
        return ocspResponse(request, status, m_ca.cert.get(), m_ca.key.get(), {std::nullopt, true, m_revokedAt});
    });
    const std::string url = responder.url();
    auto ocspSigned = [&](long serial, bool withUrl) {
        Certify request = signerBy(m_ca, "/CN=OCSP " + std::to_string(serial), serial);
        // The first OCSP URL counts, whatever comes before or after it.
        const std::string access = "caIssuers;URI:http://ca.invalid/,OCSP;URI:" + url + ",OCSP;URI:http://second.invalid/";
        if (withUrl) request.extension("authorityInfoAccess", access);
        return cmsSign(request.make(), m_content);
    };
    const Bytes good = ocspSigned(0x2001, true), revoked = ocspSigned(0x2002, true), noUrl = ocspSigned(0x2004, false);
    const std::string revoking = crlFolder("revoking", "ca.crl", {{0x77, m_now - 20 * kDay}, {kSerial, m_revokedAt}});
    // Only "*.crl" files are read, in any case; PEM when DER fails.
    const std::string otherNames = crlFolder("names", "ca.crl.bak", {{kSerial, m_revokedAt}});
    appendPem(otherNames + "/ca.pem", crlOf(m_ca, {{kSerial, m_revokedAt}}).get());
    const std::string upperCase = m_dir.folder("upper");
    appendPem(upperCase + "/CA.CRL", crlOf(m_ca, {{kSerial, m_revokedAt}}).get());
    const std::string unlisted = crlFolder("unlisted", "other.crl", {{0x99, m_revokedAt}});
    writeBytes(unlisted + "/broken.crl", {'n', 'o'});
    fs::create_directories(unlisted + "/folder.crl");
    const std::string mixed = m_dir.folder("mixed");
    fs::copy(unlisted, mixed, fs::copy_options::recursive);
    writeBytes(mixed + "/revoking.crl", derOf(crlOf(m_ca, {{kSerial, m_revokedAt}}).get()));
    // Trust stores with the CA and a CRL for OpenSSL's checking.
    const std::string caOnly = pemFile("ca.pem", {m_ca.cert.get()});
    auto storeWith = [&](const std::string& name, const CrlPtr& crl) {
        return appendPem(m_dir.file(name), crl.get()), pemFile(name, {m_ca.cert.get()});
    };
    const std::string otherListed = storeWith("other.pem", crlOf(m_ca, {{0x77, m_revokedAt}}));
    const std::string signerListed = storeWith("listed.pem", crlOf(m_ca, {{kSerial, m_revokedAt}}));
    const std::string stale = storeWith("stale.pem", crlOf(m_ca, {}, m_now - 2 * kDay));
    const std::string missing = m_dir.file("missing.pem"), otherCa = pemFile("foreign.pem", {longLivedCa("/CN=Other").cert.get()});
    const std::optional<std::time_t> now = m_now, none;
    const std::optional<std::string> no;
    struct Case { const char* what; unsigned int checks, mode; std::optional<std::string> source, caFile;
        std::optional<std::time_t> at; unsigned int expected; const Bytes* ocspSignature = nullptr; } cases[] = {
        {"revoked before the time", 0x10, 0x04, revoking, no, now, kRevoked},
        {"signed before the revocation", 0x10, 0x04, revoking, no, m_now - 10 * kDay, kValid},
        {"at the very second", 0x10, 0x04, revoking, no, m_revokedAt, kValid},
        {"a second after", 0x10, 0x04, revoking, no, m_revokedAt + 1, kRevoked},
        {"no time: now", 0x10, 0x04, revoking, no, none, kRevoked},
        {"other file names only", 0x10, 0x04, otherNames, no, now, kValid},
        {"upper-case suffix, PEM", 0x10, 0x04, upperCase, no, now, kRevoked},
        {"no listing CRL, broken files", 0x10, 0x04, unlisted, no, now, kValid},
        {"broken files hide no listing CRL", 0x10, 0x04, mixed, no, now, kRevoked},
        {"no such directory", 0x10, 0x04, m_dir.file("none"), no, now, kValid},
        {"0x04 before 0x08", 0x10, 0x0C, revoking, no, now, kRevoked},
        {"0x02 before 0x04: nothing checked", 0x10, 0x06, revoking, no, now, kValid},
        {"no mode bit", 0x10, 0x30, revoking, no, now, kValid},
        {"no revocation check bit", 0x01, 0x04, revoking, no, now, kValid},
        // OpenSSL's CRL checking: a pass is ORed in as 1, a failure as 0.
        {"OpenSSL, passing with the chain", 0x14, 0x01, no, otherListed, now, 1},
        {"OpenSSL, passing, own store", 0x10, 0x01, no, otherListed, now, 1},
        {"OpenSSL, revoked", 0x14, 0x01, no, signerListed, now, kRevoked},
        {"OpenSSL, stale CRL", 0x14, 0x01, no, stale, now, kValid},
        {"OpenSSL, no trust store", 0x10, 0x01, no, missing, now, kNoTrustedChain},
        {"OCSP, good", 0x10, 0x08, url, caOnly, now, kValid, &good},
        {"OCSP, good, the certificate's URL", 0x10, 0x08, no, caOnly, now, kValid, &good},
        {"OCSP, revoked, no time: now", 0x10, 0x08, no, caOnly, none, kRevoked, &revoked},
        {"OCSP, revoked, at the very second", 0x10, 0x08, no, caOnly, m_revokedAt, kValid, &revoked},
        {"OCSP, revoked, a second after", 0x10, 0x08, no, caOnly, m_revokedAt + 1, kRevoked, &revoked},
        {"OCSP, no URL", 0x10, 0x08, no, caOnly, now, kOcspNoUrl, &noUrl},
        {"OCSP, no URL, one given", 0x10, 0x08, url, caOnly, now, kValid, &noUrl},
        {"OCSP, issuer not trusted", 0x10, 0x08, url, otherCa, now, kNoTrustedChain, &good},
        {"OCSP, issuer not trusted, before the URL", 0x10, 0x08, no, otherCa, now, kNoTrustedChain, &noUrl},
        {"OCSP, nobody listens", 0x10, 0x08, "http://127.0.0.1:" + std::to_string(closedPort()) + "/", caOnly, now,
         kOcspCommunication, &good}};
    for (const Case& c : cases) {
        EXPECT_EQ(check(c.ocspSignature ? *c.ocspSignature : signature, c.checks, c.mode, c.source, c.at, c.caFile),
                  c.expected) << c.what;
    }
}

TEST_F(RevocationTest, StrictRulesTakeOnlyTheIssuersSignedCrl) {
    const Party signer = signerBy(m_ca, "/O=Kivo Verify/CN=Strict Signer", kSerial).make();
    const Bytes signature = cmsSign(signer, m_content);
    const std::string caFile = pemFile("ca.pem", {m_ca.cert.get()});
    const CrlEntry revoked{kSerial, m_revokedAt};
    struct Case { const char* what; CrlPtr crl; unsigned int strict; const char* reason; } cases[] = {
        {"the issuer's own CRL", crlOf(m_ca, {revoked}), kRevoked, nullptr},
        {"another CA's CRL", crlOf(longLivedCa("/CN=Another CA"), {revoked}), kValid, "issued by another CA"},
        {"under the issuer's name, another key", crlOf(longLivedCa("/O=Kivo Verify/CN=Revocation CA"), {revoked}),
         kValid, "CRL signature does not verify"}};
    int folders = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string folder = m_dir.folder("crls-" + std::to_string(++folders));
        writeBytes(folder + "/list.crl", derOf(c.crl.get()));
        for (const bool strict : {false, true}) {
            ScopedStrictPolicy policy(strict);
            EXPECT_EQ(check(signature, 0x10, 0x04, folder, m_now, caFile), strict ? c.strict : kRevoked);
            const std::string ignored = CVerifyMsg::GetIgnoredCrls();
            EXPECT_EQ(ignored.empty(), !strict || c.reason == nullptr) << ignored;
            if (strict && c.reason != nullptr) {
                EXPECT_NE(ignored.find(std::string("list.crl: ") + c.reason), std::string::npos) << ignored;
            }
        }
    }
}

kivo::ocsp::Answer answer(int status, int nonceCheck, std::uint32_t failure = 0) {
    kivo::ocsp::Answer result;
    return result.failure = failure, result.status = status, result.nonceCheck = nonceCheck, result;
}

TEST(OcspVerdict, AnswersAsTheExchangeReportsThem) {
    // OCSP_check_nonce: 1 equal, 2 neither present, 3 only in the response,
    // -1 only in the request, 0 different.
    const int good = V_OCSP_CERTSTATUS_GOOD;
    const std::pair<kivo::ocsp::Answer, unsigned int> cases[] = {
        {answer(good, 1), 0}, {answer(good, 2), 0}, {answer(good, 3), 0}, {answer(good, 0), kOcspCommunication},
        {answer(good, -1), kOcspCommunication}, {answer(V_OCSP_CERTSTATUS_UNKNOWN, 1), 0},
        {answer(7, 1), kOcspCommunication}, {answer(0, 0, kivo::ocsp::kOcspNoUrl), kOcspNoUrl},
        {answer(0, 0, kivo::ocsp::kOcspCommunication), kOcspCommunication}};
    for (const auto& [given, expected] : cases) {
        EXPECT_EQ(kivo::verify::judgeOcspAnswer(given, nullptr), expected) << given.status << " " << given.nonceCheck;
    }
}

// The revocation time fields as the response states them, against the
// local broken-down verification time.
TEST(OcspVerdict, RevocationTimeComparedFieldByField) {
    kivo::ocsp::Answer revoked = answer(V_OCSP_CERTSTATUS_REVOKED, 1);
    revoked.hasRevocationTime = true;
    const int fields[6] = {2026, 3, 14, 15, 9, 26};
    std::copy(std::begin(fields), std::end(fields), revoked.revocation);
    timeb moment{};
    moment.time = 1773500966;  // 2026-03-14T15:09:26Z
    ScopedTimeZone utc("UTC");
    EXPECT_EQ(kivo::verify::judgeOcspAnswer(revoked, &moment), 0u) << "the same second";
    ScopedTimeZone berlin("Europe/Berlin");  // the same instant reads 16:09:26
    EXPECT_EQ(kivo::verify::judgeOcspAnswer(revoked, &moment), kRevoked);
    revoked.hasRevocationTime = false;
    EXPECT_EQ(kivo::verify::judgeOcspAnswer(revoked, &moment), kRevoked) << "revoked at an unknown time";
}

}  // namespace
}  // namespace kivo::test::verify
