// The revocation check (0x10) of CVerifyMsg::CheckSignDetached with CRLs:
// a directory of "*.crl" files (mode 0x04), OpenSSL's own CRL checking
// through the trust store (mode 0x01), the distribution points (0x02), and
// which mode bit counts.

#include "tests/verify/VerifyTestUtil.h"

namespace kivo::test::verify {
namespace {

constexpr long kSignerSerial = 0x1234;

class CrlTest : public VerifyTest {
protected:
    void SetUp() override {
        m_ca = longLivedCa("/O=Kivo Verify/CN=CRL CA");
        m_signer = signerBy(m_ca, "/O=Kivo Verify/CN=CRL Signer", kSignerSerial)
                       .extension("crlDistributionPoints", "URI:http://crl.example.invalid/ca.crl")
                       .make();
        m_signature = cmsSign(m_signer, m_content);
        m_crlDir = m_dir.folder("crls");
        m_emptyDir = m_dir.folder("empty");
    }

    // Revocation check only, by `mode`, with `source`.
    unsigned int revocation(unsigned int mode, const std::string& source, std::optional<std::time_t> at) {
        Verification call(m_signature);
        call.content(m_content).checks(0x10).crlMode(mode).crlSource(source);
        if (at) call.at(*at);
        return call.run();
    }

    unsigned int directory(std::optional<std::time_t> at) { return revocation(0x04, m_crlDir, at); }

    const Bytes m_content = randomBytes(700, 23);
    Party m_ca, m_signer;
    Bytes m_signature;
    std::string m_crlDir, m_emptyDir;
};

// ---- a directory of CRL files -----------------------------------------------------------

TEST_F(CrlTest, DirectoryCrlRevokingBeforeOrAfterTheVerificationTime) {
    const std::time_t revokedAt = m_now - 5 * kDay;
    const CrlPtr crl = makeCrl(m_ca, {{0x77, m_now - 20 * kDay}, {kSignerSerial, revokedAt}});
    writeCrlDer(m_crlDir + "/ca.crl", crl.get());

    EXPECT_EQ(directory(m_now), kRevoked) << "revoked before the verification time";
    EXPECT_EQ(directory(m_now - 10 * kDay), kValid) << "signed before the revocation";
    EXPECT_EQ(directory(revokedAt), kValid) << "at the very second of the revocation";
    EXPECT_EQ(directory(revokedAt + 1), kRevoked);
    // Without a verification time the current time decides.
    EXPECT_EQ(directory(std::nullopt), kRevoked);
    // Together with the signature and the signer validity.
    EXPECT_EQ(Verification(m_signature).content(m_content).checks(0x19).crlMode(0x04).crlSource(m_crlDir).at(m_now).run(),
              kRevoked);
}

TEST_F(CrlTest, DirectoryCrlRevokingInTheFuture) {
    const CrlPtr crl = makeCrl(m_ca, {{kSignerSerial, m_now + 5 * kDay}});
    writeCrlDer(m_crlDir + "/future.crl", crl.get());
    EXPECT_EQ(directory(std::nullopt), kValid);
    EXPECT_EQ(directory(m_now + 6 * kDay), kRevoked);
}

TEST_F(CrlTest, DirectoryCrlsInPemAndUnderOtherNames) {
    const CrlPtr revoking = makeCrl(m_ca, {{kSignerSerial, m_now - 5 * kDay}});
    // Only "*.crl" files are read.
    appendCrlPem(m_crlDir + "/ca.pem", revoking.get());
    writeCrlDer(m_crlDir + "/ca.crl.bak", revoking.get());
    EXPECT_EQ(directory(m_now), kValid);
    // PEM is read when DER fails; the suffix is matched in any case.
    appendCrlPem(m_crlDir + "/CA.CRL", revoking.get());
    EXPECT_EQ(directory(m_now), kRevoked);
}

TEST_F(CrlTest, DirectoryWithoutAListingCrl) {
    EXPECT_EQ(directory(m_now), kValid) << "empty directory";
    const CrlPtr other = makeCrl(m_ca, {{0x99, m_now - 5 * kDay}});
    writeCrlDer(m_crlDir + "/other.crl", other.get());
    writeText(m_crlDir + "/broken.crl", "neither DER nor PEM");
    fs::create_directories(m_crlDir + "/folder.crl");
    EXPECT_EQ(directory(m_now), kValid);
    // A CRL that does not load does not hide one that does.
    const CrlPtr revoking = makeCrl(m_ca, {{kSignerSerial, m_now - 5 * kDay}});
    writeCrlDer(m_crlDir + "/revoking.crl", revoking.get());
    EXPECT_EQ(directory(m_now), kRevoked);
    // A directory that is not there holds no CRL.
    EXPECT_EQ(revocation(0x04, m_dir.file("no-such-directory"), m_now), kValid);
}

TEST_F(CrlTest, TheLowestModeBitCounts) {
    const CrlPtr revoking = makeCrl(m_ca, {{kSignerSerial, m_now - 5 * kDay}});
    writeCrlDer(m_crlDir + "/ca.crl", revoking.get());
    // 0x04 before 0x08: the directory, not OCSP at a URL that is a path.
    EXPECT_EQ(revocation(0x0C, m_crlDir, m_now), kRevoked);
    // 0x02 before 0x04: the distribution points are read, nothing is checked.
    EXPECT_EQ(revocation(0x06, m_crlDir, m_now), kValid);
    EXPECT_EQ(revocation(0x02, m_crlDir, m_now), kValid);
    // No mode bit: nothing to check.
    EXPECT_EQ(revocation(0x00, m_crlDir, m_now), kValid);
    EXPECT_EQ(revocation(0x30, m_crlDir, m_now), kValid);
    // Without the revocation check bit the mode is not looked at.
    EXPECT_EQ(Verification(m_signature).content(m_content).checks(0x01).crlMode(0x04).crlSource(m_crlDir).at(m_now).run(),
              kValid);
}

// ---- OpenSSL's CRL checking -----------------------------------------------------------

class OpenSslCrlTest : public CrlTest {
protected:
    // A trust store file with the CA and `crl`.
    std::string storeWith(X509_CRL* crl, const std::string& name) {
        const std::string file = pemFile(name, {m_ca.cert.get()});
        if (crl != nullptr) appendCrlPem(file, crl);
        return file;
    }

    unsigned int openssl(unsigned int checks, const std::string& caFile, std::optional<std::time_t> at,
                         const std::string& caPath = "") {
        Verification call(m_signature);
        call.content(m_content).checks(checks).crlMode(0x01).caFile(caFile).caPath(caPath.empty() ? m_emptyDir : caPath);
        if (at) call.at(*at);
        return call.run();
    }
};

TEST_F(OpenSslCrlTest, PassingChainVerificationIsOredInAsOne) {
    const CrlPtr crl = makeCrl(m_ca, {{0x77, m_now - 5 * kDay}});
    const std::string caFile = storeWith(crl.get(), "ca-and-crl.pem");
    EXPECT_EQ(openssl(0x14, caFile, m_now), 1u);
    EXPECT_EQ(openssl(0x15, caFile, std::nullopt), 1u);
    // Without the chain check the revocation check makes its own store.
    EXPECT_EQ(openssl(0x10, caFile, m_now), 1u);
    // The CRL found in the hashed directory (as <issuer hash>.r0).
    const std::string hashed = m_dir.folder("hashed");
    writeHashedDirectory(hashed, {m_ca.cert.get()});
    char name[32];
    std::snprintf(name, sizeof name, "%08lx.r0", X509_NAME_hash(X509_CRL_get_issuer(crl.get())));
    appendCrlPem(hashed + "/" + name, crl.get());
    const std::string caOnly = storeWith(nullptr, "ca-only.pem");
    EXPECT_EQ(openssl(0x14, caOnly, m_now, hashed), 1u);
}

TEST_F(OpenSslCrlTest, RevokedSignerIsJudgedByTheRevocationDate) {
    const std::time_t revokedAt = m_now - 5 * kDay;
    const CrlPtr crl = makeCrl(m_ca, {{kSignerSerial, revokedAt}});
    const std::string caFile = storeWith(crl.get(), "ca-and-revoking-crl.pem");
    EXPECT_EQ(openssl(0x14, caFile, m_now), kRevoked);
    EXPECT_EQ(openssl(0x10, caFile, m_now), kRevoked);
    EXPECT_EQ(openssl(0x14, caFile, m_now - 10 * kDay), kValid) << "signed before the revocation";
    EXPECT_EQ(openssl(0x10, caFile, std::nullopt), kRevoked) << "the current time without a verification time";
}

TEST_F(OpenSslCrlTest, FailingChainVerificationContributesZero) {
    // No CRL for the issuer: OpenSSL cannot get one and the verification fails.
    EXPECT_EQ(openssl(0x14, storeWith(nullptr, "ca-only.pem"), m_now), kValid);
    // An expired CRL.
    CrlPtr stale(X509_CRL_dup(makeCrl(m_ca, {}).get()));
    ASN1_TIME* past = ASN1_TIME_set(nullptr, m_now - 2 * kDay);
    ASSERT_EQ(X509_CRL_set1_nextUpdate(stale.get(), past), 1);
    ASN1_TIME_free(past);
    ASSERT_GT(X509_CRL_sign(stale.get(), m_ca.key.get(), EVP_sha256()), 0);
    EXPECT_EQ(openssl(0x14, storeWith(stale.get(), "ca-and-stale-crl.pem"), m_now), kValid);
}

TEST_F(OpenSslCrlTest, TrustStoreThatCannotBeBuilt) {
    EXPECT_EQ(openssl(0x10, m_dir.file("missing.pem"), m_now), kNoTrustedChain);
    EXPECT_EQ(openssl(0x14, m_dir.file("missing.pem"), m_now), kNoTrustedChain);
}

}  // namespace
}  // namespace kivo::test::verify
