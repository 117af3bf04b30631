// kivocrypto verify as a person meets it: each requested check with its
// verdict, the combined code, and the exit code.

#include "tests/verify/VerifyTestUtil.h"

namespace kivo::test::verify {
namespace {

#ifdef KIVO_CLI_FILE
const std::string kCli = KIVO_CLI_FILE;
#else
const std::string kCli;
#endif

std::string q(const std::string& path) { return " '" + path + "'"; }

std::string isoUtc(std::time_t at) {
    char text[32];
    return std::string(text, std::strftime(text, sizeof text, " --at %Y-%m-%dT%H:%M:%SZ", std::gmtime(&at)));
}

using VerifyCli = VerifyTest;

TEST_F(VerifyCli, ChecksVerdictsAndExitCodes) {
    if (kCli.empty()) GTEST_SKIP() << "built without the kivocrypto program (KIVO_BUILD_TOOLS=OFF)";
    const Bytes content = randomBytes(800, 41);
    const Party ca = longLivedCa("/CN=CLI CA"), signer = signerBy(ca, "/CN=CLI Signer", 0x4242).make();
    auto file = [&](const std::string& name, const Bytes& bytes) {
        return writeBytes(m_dir.file(name), bytes), m_dir.file(name);
    };
    const std::string data = file("document.bin", content), changed = file("changed.bin", randomBytes(800, 42));
    const std::string signature = file("document.p7s", cmsSign(signer, content));
    const std::string selfMade = file("self.p7s", cmsSign(Certify("/CN=Self-made Signer").make(), content));
    const std::string garbage = file("garbage.p7s", randomBytes(100, 1));
    const std::string caFile = pemFile("ca.pem", {ca.cert.get()}), caAndCrl = pemFile("ca-crl.pem", {ca.cert.get()});
    const std::string otherCa = pemFile("other.pem", {Certify("/CN=Other CA").ca().make().cert.get()});
    appendPem(caAndCrl, makeCrl(ca.cert.get(), ca.key.get(), {{0x77, m_now - 5 * kDay}}).get());
    const std::string crls = m_dir.folder("crls");
    writeBytes(crls + "/ca.crl", derOf(makeCrl(ca.cert.get(), ca.key.get(), {{0x4242, m_now - 5 * kDay}}).get()));
    const std::string signed_ = q(signature) + " --data" + q(data) + " --ca-file" + q(caFile);
    const std::string self = q(selfMade) + " --data" + q(data) + " --ca-file" + q(caFile);
    struct Case { std::string arguments; int status; std::vector<std::string> shown; } cases[] = {
        {signed_ + isoUtc(m_now), 0, {"signature:", "valid", "chain:", "signer validity:", "0x00000000"}},
        {q(signature) + " --data" + q(changed), 1,
         {"does not verify", "0x80000001", "kivocrypto: verify: failed: signature"}},
        {q(signature) + " --data" + q(data) + " --ca-file" + q(otherCa) + isoUtc(m_now + 400 * kDay), 1,
         {"not trusted: issuer certificate missing from the trust store", "0x80014000"}},
        {signed_ + " --crl-dir" + q(crls) + isoUtc(m_now), 1, {"revoked", "0x80000004"}},
        {signed_ + " --crl-dir" + q(crls) + isoUtc(m_now - 10 * kDay), 0, {"0x00000000"}},
        {q(signature) + " --data" + q(data) + " --ca-file" + q(caAndCrl) + " --openssl-crl", 0,
         {"library code 0x00000001", "result:                      0x00000000"}},
        {signed_ + " --openssl-crl", 1, {"not confirmed", "result:                      0x80010000"}},
        {signed_ + " --ocsp", 1, {"0x80080000"}},
        {self, 1, {"not trusted: self-signed certificate not in the trust store (OpenSSL error 18)",
                   "rules:                       strict", "0x80010000"}},
        {self + " --lenient", 0, {"trusted; every certificate valid at the signing time (shell model); OpenSSL "
                                  "rejects it: self-signed certificate not in the trust store (OpenSSL error 18)"}},
        {"", 2, {}},
        {q(signature) + " --at 2026-12-05", 2, {}},
        {q(signature) + " --at 2026-02-30T10:00:00Z", 2, {}},  // a day February does not have
        {q(signature) + " --crl-dir" + q(crls) + " --openssl-crl", 2, {}},
        {q(m_dir.file("missing.p7s")), 1, {"kivocrypto: "}},
        // Input that is no signed container is named as such, not judged.
        {q(garbage) + " --data" + q(data), 1, {garbage + ": not a signed CMS/PKCS#7 container"}}};
    for (const Case& c : cases) {
        const auto run = runCommand("'" + kCli + "' verify " + c.arguments + " 2>&1");
        EXPECT_EQ(run.status, c.status) << c.arguments << "\n" << run.output;
        for (const std::string& text : c.shown) EXPECT_NE(run.output.find(text), std::string::npos) << text << "\n" << run.output;
        if (c.status == 1 && c.shown.size() == 1 && c.shown[0].find("container") != std::string::npos) {
            EXPECT_EQ(run.output.find("does not verify"), std::string::npos) << run.output;
        }
    }
}

}  // namespace
}  // namespace kivo::test::verify
