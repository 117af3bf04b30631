// The chain check (0x04) with the validity models, the signer validity
// check (0x08), and the strict policy against the default rules: chains
// OpenSSL rejects and certificates valid past 2049.

#include "tests/verify/VerifyTestUtil.h"

namespace kivo::test::verify {
namespace {

constexpr std::time_t k2050 = 2537049600;        // 2050-05-25T00:00:00Z

// Root, intermediate and end entity, all valid now.
class ChainTest : public VerifyTest {
protected:
    // A signature by a new end entity under `issuer` valid from `notBefore` to `notAfter`.
    Bytes signedBy(const Party& issuer, std::time_t notBefore, std::time_t notAfter, const CmsOptions& options = {}) {
        const long serial = ++m_serial;
        const Party leaf = Certify("/O=Kivo Verify/CN=Signer " + std::to_string(serial))
                               .issuer(issuer).serial(serial).validity(notBefore, notAfter).make();
        return cmsSign(leaf, m_content, options);
    }
    static CmsOptions signedAt(std::time_t at, bool utc = true) { return {.signingTime = at, .generalizedTime = !utc}; }

    long m_serial = 100;
    const Bytes m_content = randomBytes(900, 17);
    const Party m_root = longLivedCa("/O=Kivo Verify/CN=Root");
    const Party m_intermediate = Certify("/O=Kivo Verify/CN=Intermediate").issuer(m_root).serial(2).ca()
                                     .validity(m_now - 300 * kDay, m_now + 3000 * kDay).make();
    const Party m_leaf = Certify("/O=Kivo Verify/CN=Signer").issuer(m_intermediate).serial(3).make();
    const Bytes m_signature = cmsSign(m_leaf, m_content);
    const std::string m_rootFile = pemFile("root.pem", {m_root.cert.get()});
    const std::string m_bothFile = pemFile("both.pem", {m_root.cert.get(), m_intermediate.cert.get()});
};

TEST_F(ChainTest, ChainAndSignerValidity) {
    const std::string hashed = m_dir.folder("hashed");
    for (X509* certificate : {m_root.cert.get(), m_intermediate.cert.get()}) {
        char name[32];
        std::snprintf(name, sizeof name, "%08lx.0", X509_subject_name_hash(certificate));
        appendPem(hashed + "/" + name, certificate);
    }
    const std::string notPem = m_dir.file("not.pem");
    writeBytes(notPem, {'n', 'o'});
    const Bytes carried = cmsSign(m_leaf, m_content, {.carry = {m_intermediate.cert.get()}});
    // The CA expired after it issued the end entity.
    const Party expiredCa = Certify("/CN=Expired CA").issuer(m_root).serial(11).ca()
                                .validity(m_now - 400 * kDay, m_now - 10 * kDay).make();
    const Bytes underExpired = signedBy(expiredCa, m_now - 100 * kDay, m_now + 300 * kDay);
    const std::string expiredFile = pemFile("expired.pem", {m_root.cert.get(), expiredCa.cert.get()});
    // A CA older than its root: under the chain model the root must have
    // been valid when the CA began.
    const Party youngRoot = Certify("/CN=Young Root").ca().validity(m_now - 50 * kDay, m_now + 4000 * kDay).make();
    const Party olderCa = Certify("/CN=Older CA").issuer(youngRoot).serial(21).ca()
                              .validity(m_now - 100 * kDay, m_now + 1000 * kDay).make();
    const Bytes underOlder = signedBy(olderCa, m_now - 10 * kDay, m_now + 100 * kDay);
    const std::string youngFile = pemFile("young.pem", {youngRoot.cert.get(), olderCa.cert.get()});
    const std::time_t from = m_now - 60 * kDay, to = m_now - 30 * kDay, then = m_now - 45 * kDay;
    const Bytes expired = signedBy(m_intermediate, from, to);
    const CmsOptions noAttributes{.noAttributes = true};
    const std::time_t start = m_now - 10 * kDay, end = m_now + 10 * kDay;
    const Bytes dated = signedBy(m_intermediate, start, end);
    const Bytes changed = randomBytes(900, 18);

    struct Case { const char* what; Bytes signature; std::optional<std::string> caFile; unsigned int checks;
        std::optional<std::time_t> at; int model; unsigned int expected; const Bytes* content = nullptr; } cases[] = {
        {"to the trusted root, now, with the signature", m_signature, m_bothFile, 0x05, m_now, 0, kValid},
        {"intermediate missing", m_signature, m_rootFile, 0x04, m_now, 0, kNoTrustedChain},
        {"carried certificates do not take part", carried, m_rootFile, 0x05, std::nullopt, 0, kNoTrustedChain},
        {"root missing", m_signature, pemFile("ca.pem", {m_intermediate.cert.get()}), 0x04, m_now, 0, kNoTrustedChain},
        {"no trust store file", m_signature, m_dir.file("missing.pem"), 0x04, std::nullopt, 0, kNoTrustedChain},
        {"trust store not PEM, signature fine", m_signature, notPem, 0x05, std::nullopt, 0, kNoTrustedChain},
        {"expired CA, chain model", underExpired, expiredFile, 0x04, m_now, 1, kValid},
        {"expired CA, shell model", underExpired, expiredFile, 0x04, m_now, 0, kChainNotValid},
        {"expired CA, another model is the shell model", underExpired, expiredFile, 0x04, m_now, 2, kChainNotValid},
        {"CA older than its root, shell model", underOlder, youngFile, 0x04, m_now, 0, kValid},
        {"CA older than its root, chain model", underOlder, youngFile, 0x04, m_now, 1, kChainNotValid},
        {"expired signer, now", expired, m_bothFile, 0x04, m_now, 0, kChainNotValid},
        {"first second", dated, m_bothFile, 0x04, start, 0, kValid},
        {"last second", dated, m_bothFile, 0x04, end, 0, kValid},
        {"a second early", dated, m_bothFile, 0x04, start - 1, 0, kChainNotValid},
        {"a second late", dated, m_bothFile, 0x04, end + 1, 0, kChainNotValid},
        {"signing time while valid", signedBy(m_intermediate, from, to, signedAt(then)), m_bothFile, 0x04,
         std::nullopt, 0, kValid},
        {"signing time after expiry", signedBy(m_intermediate, from, to, signedAt(m_now - 20 * kDay)), m_bothFile,
         0x04, std::nullopt, 0, kChainNotValid},
        {"no signed attributes: not judged", signedBy(m_intermediate, from, to, noAttributes), m_bothFile, 0x04,
         std::nullopt, 0, kValid},
        {"no signed attributes, verification time", signedBy(m_intermediate, from, to, noAttributes), m_bothFile,
         0x04, m_now, 0, kChainNotValid},
        // No UTCTime among the signed attributes: the current time decides.
        {"GeneralizedTime signing time", signedBy(m_intermediate, from, to, signedAt(then, false)), m_bothFile, 0x04,
         std::nullopt, 0, kChainNotValid},
        {"hashed directory", m_signature, std::nullopt, 0x04, std::nullopt, 0, kValid},
        {"signer validity, a second late", dated, std::nullopt, 0x08, end + 1, 0, kSignerNotValid},
        {"signer validity without a time: not run", dated, std::nullopt, 0x08, std::nullopt, 0, kValid},
        {"all failing", expired, m_bothFile, 0x0D, m_now, 0, kBadSignature | kChainNotValid | kSignerNotValid, &changed},
        {"all failing, broken chain skips its validity", expired, m_rootFile, 0x0D, m_now, 0,
         kBadSignature | kNoTrustedChain | kSignerNotValid, &changed}};
    for (const Case& c : cases) {
        Verification call(c.signature);
        call.content(c.content != nullptr ? *c.content : m_content).checks(c.checks).at(c.at).model(c.model);
        call.trust(c.caFile, c.caFile ? m_empty : hashed);
        EXPECT_EQ(call.run(), c.expected) << c.what;
    }
}

// A certificate whose signature no longer verifies.
Party withBrokenSignature(Party party) {
    party.der.back() ^= 0x01;
    const unsigned char* cursor = party.der.data();
    party.cert.reset(d2i_X509(nullptr, &cursor, static_cast<long>(party.der.size())));
    return party;
}

TEST_F(ChainTest, StrictPolicyAgainstTheDefaultRules) {
    const Party pathLenRoot = Certify("/CN=Root pathlen 0").validity(m_now - 400 * kDay, m_now + 4000 * kDay)
                                  .extension("basicConstraints", "critical,CA:TRUE,pathlen:0")
                                  .extension("keyUsage", "critical,keyCertSign,cRLSign").make();
    const Party notCa = signerBy(m_root, "/CN=Not a CA", 2).make();
    const Party belowPathLen = signerBy(pathLenRoot, "/CN=Below pathlen 0", 2).ca().make();
    const Party noCertSign = signerBy(m_root, "/CN=No keyCertSign", 4).extension("basicConstraints", "critical,CA:TRUE")
                                 .extension("keyUsage", "critical,digitalSignature").make();
    const Party expiredCa = signerBy(m_root, "/CN=Expired CA", 5).ca().validity(m_now - 300 * kDay, m_now - kDay).make();
    const std::string caFile = pemFile("strict.pem", {m_root.cert.get(), pathLenRoot.cert.get(), notCa.cert.get(),
                                                      belowPathLen.cert.get(), noCertSign.cert.get(), expiredCa.cert.get()});
    // opensslError: under either rule set
    struct Case { const char* what; Party signer; unsigned int checks, lenient, strict; int opensslError; } cases[] = {
        {"self-signed signer outside the store", Certify("/CN=Self-made").make(), 0x04, kValid, kNoTrustedChain,
         X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT},
        {"signer certificate signature broken", withBrokenSignature(signerBy(m_root, "/CN=Forged", 3).make()), 0x04,
         kValid, kNoTrustedChain, X509_V_ERR_CERT_SIGNATURE_FAILURE},
        {"intermediate without CA flag", signerBy(notCa, "/CN=S", 3).make(), 0x04, kValid, kNoTrustedChain,
         X509_V_ERR_INVALID_CA},
        {"path length exceeded", signerBy(belowPathLen, "/CN=S", 3).make(), 0x04, kValid, kNoTrustedChain,
         X509_V_ERR_PATH_LENGTH_EXCEEDED},
        {"intermediate without keyCertSign", signerBy(noCertSign, "/CN=S", 3).make(), 0x04, kValid, kNoTrustedChain,
         X509_V_ERR_KEYUSAGE_NO_CERTSIGN},
        {"expired intermediate: the validity step judges", signerBy(expiredCa, "/CN=S", 3).make(), 0x04,
         kChainNotValid, kChainNotValid, 0},
        {"signer valid until 2050", signerBy(m_root, "/CN=S", 3).validity(m_now - kDay, k2050).make(), 0x0C,
         kChainNotValid | kSignerNotValid, kValid, 0}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const Bytes signature = cmsSign(c.signer, m_content);
        for (const bool strict : {false, true}) {
            ScopedStrictPolicy policy(strict);
            EXPECT_EQ(Verification(signature).content(m_content).checks(c.checks).at(m_now).trust(caFile, m_empty).run(),
                      strict ? c.strict : c.lenient) << (strict ? "strict" : "lenient");
            EXPECT_EQ(CVerifyMsg::GetLastChainError(), c.opensslError);
            EXPECT_TRUE(c.opensslError == 0 || !CVerifyMsg::GetLastChainErrorText().empty());
        }
    }
}

}  // namespace
}  // namespace kivo::test::verify
