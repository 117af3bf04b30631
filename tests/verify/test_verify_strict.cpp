// The strict verification policy against the library's default rules:
// chains OpenSSL rejects, certificates valid past 2049, and CRLs from the
// wrong issuer or with a bad signature, each judged under both.

#include "tests/verify/VerifyTestUtil.h"

#include <functional>

namespace kivo::test::verify {
namespace {

// A certificate whose signature no longer verifies: the last octet of its
// signature value flipped.
Party withBrokenSignature(const Party& party) {
    Bytes der = party.der;
    der.back() ^= 0x01;
    const unsigned char* cursor = der.data();
    Party broken;
    broken.cert.reset(d2i_X509(nullptr, &cursor, static_cast<long>(der.size())));
    if (!broken.cert) throw std::runtime_error("cannot decode the altered certificate");
    broken.key.reset(party.key.get());
    EVP_PKEY_up_ref(party.key.get());
    broken.der = der;
    return broken;
}

constexpr std::time_t k2050 = 2537049600;        // 2050-05-25T00:00:00Z
constexpr std::time_t kNoExpiry = 253402300799;  // 9999-12-31T23:59:59Z

// What one scenario gives under each rule set.
struct Scenario {
    const char* name;
    // Builds the signer's certificate (and the CA file) for the test.
    std::function<void(class StrictPolicyTest&)> build;
    unsigned int checks;
    unsigned int lenient;
    unsigned int strict;
    int opensslError;  // the chain error reported under either rule set (0: none)
};

void PrintTo(const Scenario& scenario, std::ostream* out) { *out << scenario.name; }

class StrictPolicyTest : public VerifyTest, public ::testing::WithParamInterface<Scenario> {
public:
    using VerifyTest::m_now;
    using VerifyTest::signerBy;

    void SetUp() override {
        m_root = longLivedCa("/O=Kivo Strict/CN=Root");
        m_rootFile = pemFile("root.pem", {m_root.cert.get()});
    }

    unsigned int run(bool strict) {
        ScopedStrictPolicy policy(strict);
        const Bytes signature = cmsSign(m_signer, m_content);
        return Verification(signature)
            .content(m_content)
            .checks(GetParam().checks)
            .at(m_now)
            .caFile(m_caFile)
            .caPath(m_dir.folder("empty"))
            .run();
    }

    // Signer under `issuer`, with the CA file holding the root and `cas`.
    void signedBy(const Party& issuer, std::vector<X509*> cas, Certify signer) {
        cas.insert(cas.begin(), m_root.cert.get());
        m_caFile = pemFile("cas.pem", cas);
        m_signer = signer.issuer(issuer).make();
    }

    Certify intermediate(const std::string& name) const {
        return Certify("/O=Kivo Strict/CN=" + name).issuer(m_root).serial(2).validity(m_now - 300 * kDay, m_now + 3000 * kDay);
    }

    Party m_root, m_signer;
    std::string m_rootFile, m_caFile;
    const Bytes m_content = randomBytes(300, 5);
};

TEST_P(StrictPolicyTest, ChainAndValidity) {
    GetParam().build(*this);
    EXPECT_EQ(run(false), GetParam().lenient) << "lenient rules";
    EXPECT_EQ(CVerifyMsg::GetLastChainError(), GetParam().opensslError);
    EXPECT_EQ(run(true), GetParam().strict) << "strict rules";
    EXPECT_EQ(CVerifyMsg::GetLastChainError(), GetParam().opensslError);
    if (GetParam().opensslError != 0) {
        EXPECT_FALSE(CVerifyMsg::GetLastChainErrorText().empty());
    }
}

const unsigned int kChain = 0x04;
const unsigned int kChainAndSigner = 0x0C;

INSTANTIATE_TEST_SUITE_P(
    Scenarios, StrictPolicyTest,
    ::testing::Values(
        Scenario{"ValidChain",
                 [](StrictPolicyTest& t) { t.signedBy(t.m_root, {}, t.signerBy(t.m_root, "/CN=Signer", 3)); },
                 kChainAndSigner, kValid, kValid, 0},
        Scenario{"SelfSignedSignerOutsideTheStore",
                 [](StrictPolicyTest& t) {
                     t.m_caFile = t.m_rootFile;
                     t.m_signer = Certify("/CN=Self-made Signer").make();
                 },
                 kChain, kValid, kNoTrustedChain, X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT},
        Scenario{"SignerCertificateSignatureBroken",
                 [](StrictPolicyTest& t) {
                     t.m_caFile = t.m_rootFile;
                     t.m_signer = withBrokenSignature(t.signerBy(t.m_root, "/CN=Forged Signer", 3).make());
                 },
                 kChain, kValid, kNoTrustedChain, X509_V_ERR_CERT_SIGNATURE_FAILURE},
        Scenario{"IntermediateWithoutCaFlag",
                 [](StrictPolicyTest& t) {
                     const Party ca = t.intermediate("Not a CA").make();
                     t.signedBy(ca, {ca.cert.get()}, t.signerBy(ca, "/CN=Signer", 3));
                 },
                 kChain, kValid, kNoTrustedChain, X509_V_ERR_INVALID_CA},
        Scenario{"PathLengthExceeded",
                 [](StrictPolicyTest& t) {
                     t.m_root = Certify("/O=Kivo Strict/CN=Root pathlen 0")
                                    .validity(t.m_now - 400 * kDay, t.m_now + 4000 * kDay)
                                    .extension("basicConstraints", "critical,CA:TRUE,pathlen:0")
                                    .extension("keyUsage", "critical,keyCertSign,cRLSign")
                                    .make();
                     const Party ca = t.intermediate("Below pathlen 0").ca().make();
                     t.signedBy(ca, {ca.cert.get()}, t.signerBy(ca, "/CN=Signer", 3));
                 },
                 kChain, kValid, kNoTrustedChain, X509_V_ERR_PATH_LENGTH_EXCEEDED},
        Scenario{"IntermediateWithoutKeyCertSign",
                 [](StrictPolicyTest& t) {
                     const Party ca = t.intermediate("No keyCertSign")
                                          .extension("basicConstraints", "critical,CA:TRUE")
                                          .extension("keyUsage", "critical,digitalSignature")
                                          .make();
                     t.signedBy(ca, {ca.cert.get()}, t.signerBy(ca, "/CN=Signer", 3));
                 },
                 kChain, kValid, kNoTrustedChain, X509_V_ERR_KEYUSAGE_NO_CERTSIGN},
        Scenario{"ExpiredIntermediateJudgedByTheValidityStep",
                 [](StrictPolicyTest& t) {
                     const Party ca = t.intermediate("Expired CA").ca().validity(t.m_now - 300 * kDay, t.m_now - kDay).make();
                     t.signedBy(ca, {ca.cert.get()}, t.signerBy(ca, "/CN=Signer", 3));
                 },
                 kChain, kChainNotValid, kChainNotValid, 0},
        Scenario{"SignerValidUntil2050",
                 [](StrictPolicyTest& t) {
                     t.signedBy(t.m_root, {}, t.signerBy(t.m_root, "/CN=Signer 2050", 3).validity(t.m_now - kDay, k2050));
                 },
                 kChainAndSigner, kChainNotValid | kSignerNotValid, kValid, 0},
        Scenario{"SignerWithoutExpiry",
                 [](StrictPolicyTest& t) {
                     t.signedBy(t.m_root, {}, t.signerBy(t.m_root, "/CN=Signer 9999", 3).validity(t.m_now - kDay, kNoExpiry));
                 },
                 kChainAndSigner, kChainNotValid | kSignerNotValid, kValid, 0}),
    [](const ::testing::TestParamInfo<Scenario>& info) { return std::string(info.param.name); });

// The CRL directory mode: which CRLs may judge the signer.
class StrictCrlTest : public VerifyTest {
protected:
    void SetUp() override {
        m_ca = longLivedCa("/O=Kivo Strict/CN=CRL CA");
        m_signer = signerBy(m_ca, "/O=Kivo Strict/CN=CRL Signer", kSerial).make();
        m_signature = cmsSign(m_signer, m_content);
        m_caFile = pemFile("ca.pem", {m_ca.cert.get()});
    }

    // The revocation check over a directory holding `crl` alone.
    unsigned int revocation(X509_CRL* crl, bool strict) {
        const std::string directory = m_dir.folder("crls-" + std::to_string(++m_directories));
        writeCrlDer(directory + "/list.crl", crl);
        ScopedStrictPolicy policy(strict);
        return Verification(m_signature).content(m_content).crlDirectory(directory).at(m_now).caFile(m_caFile).run();
    }

    static constexpr long kSerial = 0x5151;
    const Bytes m_content = randomBytes(200, 9);
    Party m_ca, m_signer;
    Bytes m_signature;
    std::string m_caFile;
    int m_directories = 0;
};

TEST_F(StrictCrlTest, OnlyTheIssuersSignedCrlJudges) {
    const Revocation revoked{kSerial, m_now - 5 * kDay};
    const Party otherCa = longLivedCa("/O=Kivo Strict/CN=Another CA");
    // Another CA that signs with a different key under the signer's CA name.
    const Party impostor = longLivedCa("/O=Kivo Strict/CN=CRL CA");
    struct Case {
        const char* what;
        CrlPtr crl;
        unsigned int lenient, strict;
        const char* reason;  // in GetIgnoredCrls under the strict rules
    };
    Case cases[] = {
        {"the issuer's own CRL", makeCrl(m_ca, {revoked}), kRevoked, kRevoked, nullptr},
        {"another CA's CRL with the same serial", makeCrl(otherCa, {revoked}), kRevoked, kValid, "another CA"},
        {"a CRL under the issuer's name with a bad signature", makeCrl(impostor, {revoked}), kRevoked, kValid,
         "signature does not verify"},
    };
    for (Case& c : cases) {
        EXPECT_EQ(revocation(c.crl.get(), false), c.lenient) << c.what;
        EXPECT_EQ(CVerifyMsg::GetIgnoredCrls(), "") << c.what;
        EXPECT_EQ(revocation(c.crl.get(), true), c.strict) << c.what;
        const std::string ignored = CVerifyMsg::GetIgnoredCrls();
        if (c.reason == nullptr) {
            EXPECT_EQ(ignored, "") << c.what;
        } else {
            EXPECT_NE(ignored.find("list.crl: "), std::string::npos) << ignored;
            EXPECT_NE(ignored.find(c.reason), std::string::npos) << ignored;
        }
    }
}

}  // namespace
}  // namespace kivo::test::verify
