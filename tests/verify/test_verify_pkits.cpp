// Agreement with an outside path-validation suite: the NIST PKITS signed
// messages (Debian's python3-cryptography-vectors). For the sections that
// need neither policy input nor revocation data, the strict verdict of
// CheckSignDetached (signature and chain, at 2020-01-01) must equal the
// expected PKITS result wherever `openssl cms -verify` with the same trust
// file agrees with PKITS. The counts per section are printed.

#include "tests/verify/VerifyTestUtil.h"

#include <openssl/cms.h>

#include <array>
#include <iostream>
#include <map>

namespace kivo::test::verify {
namespace {

const std::string kPkits = "/usr/lib/python3/dist-packages/cryptography_vectors/x509/PKITS_data";
constexpr std::time_t kAt = 1577836800;  // 2020-01-01T00:00:00Z, inside every PKITS validity period

struct Section {
    const char* name;
    std::vector<const char*> markers;  // a test belongs to the section when its name holds one
};

const std::array<Section, 7> kSections = {{
    {"signature verification", {"Signature", "DSA"}},
    {"name chaining", {"NameChaining", "RFC3280", "UTF8String", "Rollover"}},
    {"self-issued certificates", {"BasicSelfIssued"}},
    {"basic constraints", {"basicConstraints", "cAFalse", "pathLenConstraint"}},
    {"key usage", {"keyUsage"}},
    {"name constraints", {"nameConstraints"}},
    {"private certificate extensions", {"CertificateExtension"}},
}};

const Section* sectionOf(const std::string& test) {
    // CRL tests that mention signatures belong to the revocation sections.
    const bool crlTest = test.find("CRL") != std::string::npos;
    for (const Section& section : kSections) {
        for (const char* marker : section.markers) {
            if (test.find(marker) == std::string::npos) continue;
            if (crlTest && std::string(section.name) == "signature verification") return nullptr;
            return &section;
        }
    }
    return nullptr;
}

// The first MIME part with CRLF line endings, as it was signed.
Bytes canonical(const Bytes& part) {
    Bytes out;
    for (std::size_t i = 0; i < part.size(); ++i) {
        if (part[i] == '\n' && (i == 0 || part[i - 1] != '\r')) out.push_back('\r');
        out.push_back(part[i]);
    }
    return out;
}

struct Message {
    Bytes signature;
    Bytes content;
};

Message readSignedMessage(const std::string& path) {
    BioPtr in(BIO_new_file(path.c_str(), "r"));
    BIO* part = nullptr;
    CmsPtr cms(in ? SMIME_read_CMS(in.get(), &part) : nullptr);
    BioPtr content(part);
    if (!cms || !content) throw std::runtime_error("cannot read " + path);
    Message message;
    BioPtr der(BIO_new(BIO_s_mem()));
    if (i2d_CMS_bio(der.get(), cms.get()) != 1) throw std::runtime_error("cannot encode " + path);
    message.signature = bioBytes(der.get());
    Bytes raw;
    char buffer[4096];
    for (int n; (n = BIO_read(content.get(), buffer, sizeof buffer)) > 0;) raw.insert(raw.end(), buffer, buffer + n);
    message.content = canonical(raw);
    return message;
}

// The trust anchor and every PKITS CA certificate, as one PEM file.
std::string writeTrustFile(const TempDir& dir) {
    const std::string path = dir.file("pkits-cas.pem");
    for (const auto& entry : fs::directory_iterator(kPkits + "/certs")) {
        const std::string name = entry.path().filename().string();
        if (name.size() >= 6 && name.compare(name.size() - 6, 6, "EE.crt") == 0) continue;
        const Bytes der = readFile(entry.path().string());
        const unsigned char* cursor = der.data();
        X509Ptr certificate(d2i_X509(nullptr, &cursor, static_cast<long>(der.size())));
        if (!certificate) throw std::runtime_error("cannot decode " + name);
        appendPem(path, certificate.get());
    }
    return path;
}

TEST(PkitsTest, StrictVerdictsAgreeWithPkitsWhereOpenSslDoes) {
    if (!fs::exists(kPkits + "/smime")) GTEST_SKIP() << "python3-cryptography-vectors is not installed";
    if (!haveOpensslProgram()) GTEST_SKIP() << "the openssl program is not installed";
    ScopedTimeZone utc("UTC");
    TempDir dir;
    const std::string trustFile = writeTrustFile(dir);
    const std::string emptyDir = dir.folder("empty");
    // Per section: tests, OpenSSL agrees, strict agrees, lenient agrees.
    std::map<std::string, std::array<int, 4>> counts;
    for (const auto& entry : fs::directory_iterator(kPkits + "/smime")) {
        const std::string file = entry.path().filename().string();
        const std::string test = file.substr(6, file.size() - 6 - 4);  // "Signed" ... ".eml"
        const Section* section = sectionOf(test);
        if (section == nullptr) continue;
        const bool expected = test.rfind("Valid", 0) == 0;
        const auto openssl = runCommand("openssl cms -verify -in '" + entry.path().string() + "' -CAfile '" + trustFile +
                                        "' -attime " + std::to_string(kAt) + " -out /dev/null 2>&1");
        const Message message = readSignedMessage(entry.path().string());
        auto verdict = [&](bool strict) {
            ScopedStrictPolicy policy(strict);
            return Verification(message.signature).content(message.content).checks(0x05).at(kAt)
                       .trust(trustFile, emptyDir).run() == kValid;
        };
        auto& count = counts[section->name];
        ++count[0];
        if ((openssl.status == 0) != expected) continue;
        ++count[1];
        const bool strict = verdict(true);
        EXPECT_EQ(strict, expected) << test << " (" << section->name << "): OpenSSL error "
                                    << CVerifyMsg::GetLastChainError() << " " << CVerifyMsg::GetLastChainErrorText();
        count[2] += strict == expected;
        count[3] += verdict(false) == expected;
    }
    std::cout << "PKITS section: tests / OpenSSL agrees / strict agrees / lenient agrees\n";
    for (const auto& [name, count] : counts) {
        std::cout << "  " << name << ": " << count[0] << " / " << count[1] << " / " << count[2] << " / " << count[3] << "\n";
    }
    EXPECT_EQ(counts.size(), kSections.size()) << "every section has tests";
}

}  // namespace
}  // namespace kivo::test::verify
