// kivocrypto verify as a person meets it: each requested check with its
// verdict, the combined code, and the exit code.

#include "tests/verify/VerifyTestUtil.h"

namespace kivo::test::verify {
namespace {

#ifdef KIVO_CLI_FILE
std::string cliPath() { return KIVO_CLI_FILE; }
#else
std::string cliPath() { return {}; }
#endif

class VerifyCliTest : public VerifyTest {
protected:
    void SetUp() override {
        if (cliPath().empty()) GTEST_SKIP() << "built without the kivocrypto program (KIVO_BUILD_TOOLS=OFF)";
        m_ca = longLivedCa("/O=Kivo Verify/CN=CLI CA");
        m_signer = signerBy(m_ca, "/O=Kivo Verify/CN=CLI Signer", 0x4242).make();
        m_caFile = pemFile("ca.pem", {m_ca.cert.get()});
        m_data = m_dir.file("document.bin");
        writeFile(m_data, m_content);
        m_signature = m_dir.file("document.p7s");
        writeFile(m_signature, cmsSign(m_signer, m_content));
    }

    struct Run {
        int status = -1;
        std::string out;  // stdout and stderr
    };
    Run verify(const std::string& arguments) const {
        const auto result = runCommand("'" + cliPath() + "' verify " + arguments + " 2>&1");
        return {result.status, result.output};
    }
    static std::string q(const std::string& path) { return "'" + path + "'"; }

    // 2026-12-05T10:00:00Z as the option takes it, for a moment given in seconds.
    static std::string isoUtc(std::time_t at) {
        std::tm fields{};
        gmtime_r(&at, &fields);
        char text[32];
        std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &fields);
        return text;
    }

    const Bytes m_content = randomBytes(800, 41);
    Party m_ca, m_signer;
    std::string m_caFile, m_data, m_signature;
};

TEST_F(VerifyCliTest, ValidDetachedSignatureWithChain) {
    const Run run = verify(q(m_signature) + " --data " + q(m_data) + " --ca-file " + q(m_caFile) + " --at " + isoUtc(m_now));
    EXPECT_EQ(run.status, 0) << run.out;
    EXPECT_NE(run.out.find("signature:"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("valid"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("chain:"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("signer validity:"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("0x00000000"), std::string::npos) << run.out;
}

TEST_F(VerifyCliTest, FailuresAreNamedAndCombined) {
    const std::string changed = m_dir.file("changed.bin");
    writeFile(changed, randomBytes(800, 42));
    Run run = verify(q(m_signature) + " --data " + q(changed));
    EXPECT_EQ(run.status, 1) << run.out;
    EXPECT_NE(run.out.find("does not verify"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("0x80000001"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("kivocrypto: verify: failed: signature"), std::string::npos) << run.out;

    // An empty trust store file: no chain; a time after the signer's end.
    const std::string otherCa = pemFile("other.pem", {Certify("/CN=Other CA").ca().make().cert.get()});
    run = verify(q(m_signature) + " --data " + q(m_data) + " --ca-file " + q(otherCa) + " --at " +
                 isoUtc(m_now + 400 * kDay));
    EXPECT_EQ(run.status, 1) << run.out;
    EXPECT_NE(run.out.find("not trusted: issuer certificate missing from the trust store"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("0x80014000"), std::string::npos) << run.out;
}

TEST_F(VerifyCliTest, RevocationSources) {
    const std::string crlDir = m_dir.folder("crls");
    const CrlPtr crl = makeCrl(m_ca, {{0x4242, m_now - 5 * kDay}});
    writeCrlDer(crlDir + "/ca.crl", crl.get());
    const std::string withCrls = q(m_signature) + " --data " + q(m_data) + " --ca-file " + q(m_caFile) + " --crl-dir " + q(crlDir);
    Run run = verify(withCrls + " --at " + isoUtc(m_now));
    EXPECT_EQ(run.status, 1) << run.out;
    EXPECT_NE(run.out.find("revoked"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("0x80000004"), std::string::npos) << run.out;
    run = verify(withCrls + " --at " + isoUtc(m_now - 10 * kDay));
    EXPECT_EQ(run.status, 0) << run.out;
    // The strict rules use only CRLs of the signer's issuer; the lenient
    // ones match the serial number in any CRL.
    const CrlPtr foreign = makeCrl(longLivedCa("/CN=Other CA"), {{0x4242, m_now - 5 * kDay}});
    writeCrlDer(crlDir + "/ca.crl", foreign.get());
    run = verify(withCrls + " --at " + isoUtc(m_now));
    EXPECT_EQ(run.status, 0) << run.out;
    EXPECT_NE(run.out.find("ignored " + crlDir + "/ca.crl: issued by another CA"), std::string::npos) << run.out;
    run = verify(withCrls + " --at " + isoUtc(m_now) + " --lenient");
    EXPECT_EQ(run.status, 1) << run.out;
    EXPECT_NE(run.out.find("0x80000004"), std::string::npos) << run.out;

    // OpenSSL's CRL checking with a CRL that lists someone else.
    const std::string caAndCrl = pemFile("ca-and-crl.pem", {m_ca.cert.get()});
    appendCrlPem(caAndCrl, makeCrl(m_ca, {{0x77, m_now - 5 * kDay}}).get());
    run = verify(q(m_signature) + " --data " + q(m_data) + " --ca-file " + q(caAndCrl) + " --openssl-crl");
    EXPECT_EQ(run.status, 0) << run.out;
    EXPECT_NE(run.out.find("library code 0x00000001"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("result:                      0x00000000"), std::string::npos) << "a pass shows as a pass\n" << run.out;
    // Without a CRL OpenSSL cannot confirm.
    run = verify(q(m_signature) + " --data " + q(m_data) + " --ca-file " + q(m_caFile) + " --openssl-crl");
    EXPECT_EQ(run.status, 1) << run.out;
    EXPECT_NE(run.out.find("not confirmed"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("result:                      0x80010000"), std::string::npos) << run.out;

    // OCSP: a responder URL nobody answers at; the signer has no URL of its own.
    run = verify(q(m_signature) + " --data " + q(m_data) + " --ca-file " + q(m_caFile) + " --ocsp http://127.0.0.1:1/");
    EXPECT_EQ(run.status, 1) << run.out;
    EXPECT_NE(run.out.find("0x80000200"), std::string::npos) << run.out;
    run = verify(q(m_signature) + " --data " + q(m_data) + " --ca-file " + q(m_caFile) + " --ocsp");
    EXPECT_EQ(run.status, 1) << run.out;
    EXPECT_NE(run.out.find("0x80080000"), std::string::npos) << run.out;
}

// Strict by default: a chain OpenSSL rejects is not trusted, with the
// reason in words; the lenient rules pass it and say what OpenSSL found.
TEST_F(VerifyCliTest, StrictByDefaultLenientOnRequest) {
    const Party selfMade = Certify("/CN=Self-made Signer").make();
    const std::string signature = m_dir.file("self.p7s");
    writeFile(signature, cmsSign(selfMade, m_content));
    const std::string arguments = q(signature) + " --data " + q(m_data) + " --ca-file " + q(m_caFile);
    Run run = verify(arguments);
    EXPECT_EQ(run.status, 1) << run.out;
    EXPECT_NE(run.out.find("not trusted: self-signed certificate not in the trust store (OpenSSL error 18)"),
              std::string::npos) << run.out;
    EXPECT_NE(run.out.find("rules:                       strict"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("0x80010000"), std::string::npos) << run.out;
    run = verify(arguments + " --lenient");
    EXPECT_EQ(run.status, 0) << run.out;
    EXPECT_NE(run.out.find("trusted; every certificate valid at the signing time (shell model); OpenSSL rejects it: "
                           "self-signed certificate not in the trust store (OpenSSL error 18)"),
              std::string::npos) << run.out;
    EXPECT_NE(run.out.find("result:                      0x00000000"), std::string::npos) << run.out;
}

TEST_F(VerifyCliTest, AttachedPemContainer) {
    const Bytes der = cmsSign(m_signer, m_content, CmsOptions().attached());
    BioPtr in(BIO_new_mem_buf(der.data(), static_cast<int>(der.size())));
    std::unique_ptr<CMS_ContentInfo, CmsDeleter> cms(d2i_CMS_bio(in.get(), nullptr));
    ASSERT_TRUE(cms);
    const std::string pem = m_dir.file("attached.pem");
    BioPtr out(BIO_new_file(pem.c_str(), "w"));
    ASSERT_EQ(PEM_write_bio_CMS_stream(out.get(), cms.get(), nullptr, 0), 1);
    out.reset();
    const Run run = verify(q(pem));
    EXPECT_EQ(run.status, 0) << run.out;
    EXPECT_NE(run.out.find("0x00000000"), std::string::npos) << run.out;
}

TEST_F(VerifyCliTest, UsageAndInputErrors) {
    EXPECT_EQ(verify("--help").status, 0);
    EXPECT_NE(verify("--help").out.find("--chain-model"), std::string::npos);
    EXPECT_EQ(verify("").status, 2);
    EXPECT_EQ(verify(q(m_signature) + " --at 2026-12-05").status, 2);
    EXPECT_EQ(verify(q(m_signature) + " --at 2026-02-30T10:00:00Z").status, 2);
    EXPECT_EQ(verify(q(m_signature) + " --crl-dir " + q(m_dir.folder("c")) + " --openssl-crl").status, 2);
    EXPECT_EQ(verify(q(m_signature) + " --frobnicate").status, 2);
    EXPECT_EQ(verify(q(m_signature) + " " + q(m_signature)).status, 2);
    const Run missing = verify(q(m_dir.file("missing.p7s")));
    EXPECT_EQ(missing.status, 1);
    EXPECT_NE(missing.out.find("kivocrypto: "), std::string::npos) << missing.out;
    EXPECT_EQ(verify(q(m_signature) + " --data " + q(m_dir.file("missing.bin"))).status, 1);
    EXPECT_EQ(verify(q(m_signature) + " --data " + q(m_data) + " --crl-dir " + q(m_dir.file("none"))).status, 1);
    // Input that is no signed container is named as such, not judged.
    const std::string garbage = m_dir.file("garbage.p7s");
    writeFile(garbage, randomBytes(100, 1));
    for (const std::string& notAContainer : {garbage, m_caFile}) {
        const Run bad = verify(q(notAContainer) + " --data " + q(m_data));
        EXPECT_EQ(bad.status, 1) << bad.out;
        EXPECT_NE(bad.out.find(notAContainer + ": not a signed CMS/PKCS#7 container"), std::string::npos) << bad.out;
        EXPECT_EQ(bad.out.find("does not verify"), std::string::npos) << bad.out;
    }
}

}  // namespace
}  // namespace kivo::test::verify
