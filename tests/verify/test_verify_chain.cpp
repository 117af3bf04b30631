// The chain check (0x04) with the validity models, and the signer validity
// check (0x08), of CVerifyMsg::CheckSignDetached.

#include "tests/verify/VerifyTestUtil.h"

namespace kivo::test::verify {
namespace {

// Root, intermediate and end entity, all valid now unless a test says
// otherwise, and a detached signature by the end entity.
class ChainTest : public VerifyTest {
protected:
    void SetUp() override {
        m_root = longLivedCa("/O=Kivo Verify/CN=Root");
        m_intermediate = Certify("/O=Kivo Verify/CN=Intermediate")
                             .issuer(m_root)
                             .serial(2)
                             .ca()
                             .validity(m_now - 300 * kDay, m_now + 3000 * kDay)
                             .make();
        m_leaf = Certify("/O=Kivo Verify/CN=Signer").issuer(m_intermediate).serial(3).make();
        m_signature = cmsSign(m_leaf, m_content);
        m_rootFile = pemFile("root.pem", {m_root.cert.get()});
        m_bothFile = pemFile("root-and-intermediate.pem", {m_root.cert.get(), m_intermediate.cert.get()});
        m_emptyDir = m_dir.folder("empty");
    }

    // The chain check of `signature` against `caFile` (and an empty hashed
    // directory, so that only the file counts).
    unsigned int chain(const Bytes& signature, const std::string& caFile, std::optional<std::time_t> at = {},
                       int model = 0) {
        Verification call(signature);
        call.content(m_content).checks(0x04).model(model).caFile(caFile).caPath(m_emptyDir);
        if (at) call.at(*at);
        return call.run();
    }

    const Bytes m_content = randomBytes(900, 17);
    Party m_root, m_intermediate, m_leaf;
    Bytes m_signature;
    std::string m_rootFile, m_bothFile, m_emptyDir;
};

TEST_F(ChainTest, ChainToTheTrustedRoot) {
    EXPECT_EQ(chain(m_signature, m_bothFile), kValid);
    EXPECT_EQ(chain(m_signature, m_bothFile, m_now), kValid);
    // The hashed directory finds both CA certificates as well; the default
    // certificate file stands in for the missing caFile.
    const std::string hashed = m_dir.folder("hashed");
    writeHashedDirectory(hashed, {m_root.cert.get(), m_intermediate.cert.get()});
    EXPECT_EQ(Verification(m_signature).content(m_content).checks(0x04).caPath(hashed).run(), kValid);
    // Together with the signature.
    EXPECT_EQ(Verification(m_signature).content(m_content).checks(0x05).caFile(m_bothFile).caPath(m_emptyDir).run(),
              kValid);
}

TEST_F(ChainTest, MissingIntermediateBreaksTheChain) {
    // OpenSSL error 20: the intermediate (the signer's issuer) is unknown.
    EXPECT_EQ(chain(m_signature, m_rootFile), kNoTrustedChain);
    EXPECT_EQ(chain(m_signature, m_rootFile, m_now), kNoTrustedChain);
    // Certificates carried in the container do not take part in the chain.
    const Bytes carrying = cmsSign(m_leaf, m_content, CmsOptions().carry(m_intermediate.cert.get()));
    EXPECT_EQ(chain(carrying, m_rootFile), kNoTrustedChain);
    EXPECT_EQ(chain(carrying, m_bothFile), kValid);
    // The signature itself is still fine; only the chain bit is set.
    EXPECT_EQ(Verification(carrying).content(m_content).checks(0x05).caFile(m_rootFile).caPath(m_emptyDir).run(),
              kNoTrustedChain);
}

TEST_F(ChainTest, MissingRootBreaksTheChain) {
    // OpenSSL error 2: the intermediate is there but not its issuer.
    const std::string intermediateOnly = pemFile("intermediate.pem", {m_intermediate.cert.get()});
    EXPECT_EQ(chain(m_signature, intermediateOnly, m_now), kNoTrustedChain);
}

TEST_F(ChainTest, TrustStoreThatCannotBeBuilt) {
    EXPECT_EQ(chain(m_signature, m_dir.file("no-such-file.pem")), kNoTrustedChain);
    const std::string notPem = m_dir.file("not-pem.pem");
    writeText(notPem, "this is not a certificate\n");
    EXPECT_EQ(chain(m_signature, notPem), kNoTrustedChain);
    // With the signature check as well, the signature still verifies.
    EXPECT_EQ(Verification(m_signature).content(m_content).checks(0x05).caFile(notPem).run(), kNoTrustedChain);
}

// The CA expired after it issued the end-entity certificate.
TEST_F(ChainTest, ExpiredCaUnderShellAndChainModel) {
    const Party root = Certify("/O=Kivo Verify/CN=Old Root").serial(10).ca().validity(m_now - 500 * kDay, m_now + 4000 * kDay).make();
    const Party expiredCa = Certify("/O=Kivo Verify/CN=Expired CA")
                                .issuer(root)
                                .serial(11)
                                .ca()
                                .validity(m_now - 400 * kDay, m_now - 10 * kDay)
                                .make();
    const Party leaf = Certify("/O=Kivo Verify/CN=Long-lived Signer")
                           .issuer(expiredCa)
                           .serial(12)
                           .validity(m_now - 100 * kDay, m_now + 300 * kDay)
                           .make();
    const Bytes signature = cmsSign(leaf, m_content);
    const std::string caFile = pemFile("old-chain.pem", {root.cert.get(), expiredCa.cert.get()});

    // OpenSSL's expiry complaint about the CA is not a missing issuer.
    EXPECT_EQ(chain(signature, caFile, m_now, 1), kValid) << "chain model";
    EXPECT_EQ(chain(signature, caFile, m_now, 0), kChainNotValid) << "shell model";
    EXPECT_EQ(chain(signature, caFile, m_now, 2), kChainNotValid) << "any other model is the shell model";
    // Before the CA expired both models agree.
    EXPECT_EQ(chain(signature, caFile, m_now - 20 * kDay, 0), kValid);
    EXPECT_EQ(chain(signature, caFile, m_now - 20 * kDay, 1), kValid);
}

TEST_F(ChainTest, ChainModelStillNeedsEachIssuerValidWhenItsSubjectBegan) {
    const Party root = Certify("/O=Kivo Verify/CN=Young Root").serial(20).ca().validity(m_now - 50 * kDay, m_now + 4000 * kDay).make();
    const Party ca = Certify("/O=Kivo Verify/CN=Older CA")
                         .issuer(root)
                         .serial(21)
                         .ca()
                         .validity(m_now - 100 * kDay, m_now + 1000 * kDay)
                         .make();
    const Party leaf = Certify("/O=Kivo Verify/CN=Signer").issuer(ca).serial(22).validity(m_now - 10 * kDay, m_now + 100 * kDay).make();
    const Bytes signature = cmsSign(leaf, m_content);
    const std::string caFile = pemFile("young-root.pem", {root.cert.get(), ca.cert.get()});
    // Shell model at now: every certificate is valid now.
    EXPECT_EQ(chain(signature, caFile, m_now, 0), kValid);
    // Chain model: the CA began 100 days ago, when the root was not yet valid.
    EXPECT_EQ(chain(signature, caFile, m_now, 1), kChainNotValid);
}

TEST_F(ChainTest, ExpiredSignerWithAVerificationTimeInsideItsValidity) {
    const Party leaf = Certify("/O=Kivo Verify/CN=Expired Signer")
                           .issuer(m_intermediate)
                           .serial(30)
                           .validity(m_now - 60 * kDay, m_now - 30 * kDay)
                           .make();
    const Bytes signature = cmsSign(leaf, m_content);
    EXPECT_EQ(chain(signature, m_bothFile, m_now - 45 * kDay), kValid);
    EXPECT_EQ(chain(signature, m_bothFile, m_now - 45 * kDay, 1), kValid);
    EXPECT_EQ(chain(signature, m_bothFile, m_now), kChainNotValid);
    EXPECT_EQ(chain(signature, m_bothFile, m_now - 61 * kDay), kChainNotValid);
}

TEST_F(ChainTest, ValidityEndsAreInclusive) {
    const std::time_t notBefore = m_now - 10 * kDay;
    const std::time_t notAfter = m_now + 10 * kDay;
    const Party leaf = Certify("/O=Kivo Verify/CN=Exact Signer").issuer(m_intermediate).serial(31).validity(notBefore, notAfter).make();
    const Bytes signature = cmsSign(leaf, m_content);
    EXPECT_EQ(chain(signature, m_bothFile, notBefore), kValid);
    EXPECT_EQ(chain(signature, m_bothFile, notAfter), kValid);
    EXPECT_EQ(chain(signature, m_bothFile, notBefore - 1), kChainNotValid);
    EXPECT_EQ(chain(signature, m_bothFile, notAfter + 1), kChainNotValid);
}

// Without a verification time the chain is judged at the signing time.
TEST_F(ChainTest, SigningTimeIsTheReferenceWithoutVerificationTime) {
    const Party leaf = Certify("/O=Kivo Verify/CN=Past Signer")
                           .issuer(m_intermediate)
                           .serial(40)
                           .validity(m_now - 60 * kDay, m_now - 30 * kDay)
                           .make();
    using Kind = CmsOptions::TimeKind;
    // Signed while the certificate was valid: passes although it has expired.
    const Bytes signedThen = cmsSign(leaf, m_content, CmsOptions().signingTime(Kind::UtcTime, m_now - 45 * kDay));
    EXPECT_EQ(chain(signedThen, m_bothFile), kValid);
    // Signed after it expired.
    const Bytes signedLate = cmsSign(leaf, m_content, CmsOptions().signingTime(Kind::UtcTime, m_now - 20 * kDay));
    EXPECT_EQ(chain(signedLate, m_bothFile), kChainNotValid);
    // A verification time takes precedence over the signing time.
    EXPECT_EQ(chain(signedLate, m_bothFile, m_now - 45 * kDay), kValid);
}

TEST_F(ChainTest, WithoutSignedAttributesTheValidityIsNotJudged) {
    const Party leaf = Certify("/O=Kivo Verify/CN=Expired Signer")
                           .issuer(m_intermediate)
                           .serial(41)
                           .validity(m_now - 60 * kDay, m_now - 30 * kDay)
                           .make();
    const Bytes signature = cmsSign(leaf, m_content, CmsOptions().noAttributes());
    EXPECT_EQ(chain(signature, m_bothFile), kValid);
    EXPECT_EQ(chain(signature, m_bothFile, m_now), kChainNotValid) << "with a verification time it is";
    // The missing issuer is still found.
    EXPECT_EQ(chain(signature, m_rootFile), kNoTrustedChain);
    EXPECT_EQ(Verification(signature).content(m_content).checks(0x01).run(), kValid);
}

// Signed attributes without any UTCTime (here the signing time is written
// as GeneralizedTime, as it must be from 2050 on): the current time is the
// reference.
TEST_F(ChainTest, SignedAttributesWithoutUtcTimeUseTheCurrentTime) {
    using Kind = CmsOptions::TimeKind;
    const Party expired = Certify("/O=Kivo Verify/CN=Expired Signer")
                              .issuer(m_intermediate)
                              .serial(42)
                              .validity(m_now - 60 * kDay, m_now - 30 * kDay)
                              .make();
    const std::time_t whileValid = m_now - 45 * kDay;
    const Bytes asUtcTime = cmsSign(expired, m_content, CmsOptions().signingTime(Kind::UtcTime, whileValid));
    const Bytes asGeneralized = cmsSign(expired, m_content, CmsOptions().signingTime(Kind::GeneralizedTime, whileValid));
    EXPECT_EQ(chain(asUtcTime, m_bothFile), kValid);
    EXPECT_EQ(chain(asGeneralized, m_bothFile), kChainNotValid) << "judged now, not at the signing time";

    // The other way round: valid now, not at the GeneralizedTime.
    const Bytes oldTime = cmsSign(m_leaf, m_content, CmsOptions().signingTime(Kind::GeneralizedTime, m_now - 200 * kDay));
    EXPECT_EQ(chain(oldTime, m_bothFile), kValid);
    EXPECT_EQ(Verification(oldTime).content(m_content).checks(0x01).run(), kValid);
}

TEST_F(ChainTest, SignerValidityAtTheVerificationTime) {
    const std::time_t notBefore = m_now - 10 * kDay;
    const std::time_t notAfter = m_now + 10 * kDay;
    const Party leaf = Certify("/O=Kivo Verify/CN=Dated Signer").issuer(m_intermediate).serial(50).validity(notBefore, notAfter).make();
    const Bytes signature = cmsSign(leaf, m_content);
    auto signerValidity = [&](std::optional<std::time_t> at) {
        Verification call(signature);
        call.content(m_content).checks(0x08);
        if (at) call.at(*at);
        return call.run();
    };
    EXPECT_EQ(signerValidity(m_now), kValid);
    EXPECT_EQ(signerValidity(notAfter), kValid);
    EXPECT_EQ(signerValidity(notBefore), kValid);
    EXPECT_EQ(signerValidity(notAfter + 1), kSignerNotValid);
    EXPECT_EQ(signerValidity(notAfter + 400 * kDay), kSignerNotValid);
    EXPECT_EQ(signerValidity(notBefore - 1), kSignerNotValid);
    EXPECT_EQ(signerValidity(std::nullopt), kValid) << "without a verification time the check does not run";
    // No trust store is needed for it.
    EXPECT_EQ(Verification(signature).content(m_content).checks(0x08).at(notAfter + 1).caFile(m_dir.file("none.pem")).run(),
              kSignerNotValid);
}

TEST_F(ChainTest, FailingChecksAreCombined) {
    const Party leaf = Certify("/O=Kivo Verify/CN=Expired Signer")
                           .issuer(m_intermediate)
                           .serial(60)
                           .validity(m_now - 60 * kDay, m_now - 30 * kDay)
                           .make();
    const Bytes signature = cmsSign(leaf, m_content);
    const Bytes changed = randomBytes(900, 18);
    EXPECT_EQ(Verification(signature).content(changed).checks(0x0D).at(m_now).caFile(m_bothFile).caPath(m_emptyDir).run(),
              kBadSignature | kChainNotValid | kSignerNotValid);
    EXPECT_EQ(Verification(signature).content(changed).checks(0x0D).at(m_now).caFile(m_rootFile).caPath(m_emptyDir).run(),
              kBadSignature | kNoTrustedChain | kSignerNotValid)
        << "a broken chain skips the chain validity";
    EXPECT_EQ(Verification(signature).content(m_content).checks(0x0D).at(m_now - 40 * kDay).caFile(m_bothFile).caPath(m_emptyDir).run(),
              kValid);
}

}  // namespace
}  // namespace kivo::test::verify
