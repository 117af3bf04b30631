// Agreement with an outside path-validation suite, the NIST PKITS signed
// messages (Debian's python3-cryptography-vectors): in the sections that need
// neither policy input nor revocation data, the strict verdict of
// CheckSignDetached at 2020-01-01 must be PKITS' verdict wherever
// `openssl cms -verify` with the same trust file gives PKITS' verdict too.

#include "tests/verify/VerifyTestUtil.h"

#include <regex>

namespace kivo::test::verify {
namespace {

const std::string kPkits = "/usr/lib/python3/dist-packages/cryptography_vectors/x509/PKITS_data";

// The signed message and its first MIME part with CRLF line endings, as signed.
std::pair<Bytes, Bytes> readSignedMessage(const std::string& path) {
    BioPtr in(BIO_new_file(path.c_str(), "r"));
    BIO* part = nullptr;
    CmsPtr cms(in ? SMIME_read_CMS(in.get(), &part) : nullptr);
    BioPtr content(part);
    Bytes text;
    char buffer[4096];
    for (int n; content && (n = BIO_read(content.get(), buffer, sizeof buffer)) > 0;) {
        for (int i = 0; i < n; ++i) {
            if (buffer[i] == '\n' && (text.empty() || text.back() != '\r')) text.push_back('\r');
            text.push_back(static_cast<unsigned char>(buffer[i]));
        }
    }
    return {cms ? derOf(cms.get()) : Bytes{}, text};
}

TEST(PkitsTest, StrictVerdictsAgreeWithPkitsWhereOpenSslDoes) {
    if (!fs::exists(kPkits + "/smime")) GTEST_SKIP() << "python3-cryptography-vectors is not installed";
    constexpr std::time_t kAt = 1577836800;  // inside every PKITS validity period
    ScopedTimeZone utc("UTC");
    TempDir dir;
    const std::string trustFile = dir.file("pkits-cas.pem"), emptyDir = dir.folder("empty");
    for (const auto& entry : fs::directory_iterator(kPkits + "/certs")) {
        if (entry.path().filename().string().find("EE.crt") != std::string::npos) continue;
        const Bytes der = readBytes(entry.path().string());
        const unsigned char* cursor = der.data();
        X509Ptr certificate(d2i_X509(nullptr, &cursor, static_cast<long>(der.size())));
        ASSERT_TRUE(certificate) << entry.path();
        appendPem(trustFile, certificate.get());
    }
    // Signature, name chaining, self-issued, basic constraints, key usage, name constraints, private extensions.
    const std::regex sections("Signature|DSA|NameChaining|RFC3280|UTF8String|Rollover|BasicSelfIssued|"
                              "basicConstraints|cAFalse|pathLenConstraint|keyUsage|nameConstraints|CertificateExtension");
    int compared = 0;
    for (const auto& entry : fs::directory_iterator(kPkits + "/smime")) {
        const std::string test = entry.path().stem().string().substr(6);  // after "Signed"
        if (!std::regex_search(test, sections) || test.find("CRL") != std::string::npos) continue;
        const bool expected = test.rfind("Valid", 0) == 0;
        const auto openssl = runCommand("openssl cms -verify -in '" + entry.path().string() + "' -CAfile '" + trustFile +
                                        "' -attime " + std::to_string(kAt) + " -out /dev/null 2>&1");
        if ((openssl.status == 0) != expected) continue;
        const auto [signature, content] = readSignedMessage(entry.path().string());
        ScopedStrictPolicy strict(true);
        const unsigned int verdict = Verification(signature).content(content).checks(0x05).at(kAt).trust(trustFile, emptyDir).run();
        EXPECT_EQ(verdict == kValid, expected) << test << ": " << CVerifyMsg::GetLastChainErrorText();
        ++compared;
    }
    EXPECT_GE(compared, 79) << "messages compared";
}

}  // namespace
}  // namespace kivo::test::verify
