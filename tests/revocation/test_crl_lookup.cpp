// CRL look-ups of CCrlSSL: a certificate in a CRL buffer, the issuer's CRL
// in a hashed directory, CRL files named by URL, and the entry points that
// carry no network code.

#include "tests/revocation/RevocationTestUtil.h"

#include "CertInfoSSL.h"
#include "VerifyMsg.h"

#include "tests/support/LogCapture.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <openssl/x509.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

using namespace kivo::test;

namespace {

bool contains(const std::vector<std::string>& lines, const std::string& text) {
    return std::find(lines.begin(), lines.end(), text) != lines.end();
}

class CrlLookup : public ::testing::Test {
protected:
    void SetUp() override {
        const TestPki& p = pki();
        certificate = kivo::test::derOf(p.revoked.get());
        other = kivo::test::derOf(p.good.get());
        revokedAt = utcSeconds(2024, 3, 15, 10, 30, 0);
        crl = makeCrl(p.ca.get(), p.caKey.get(),
                      {{0x1002, revokedAt}, {0x1003, revokedAt + 60, 8 /* removeFromCRL */}});
        crlDer = derOf(crl.get());
    }

    ScopedTimeZone utc{"UTC"};
    std::vector<unsigned char> certificate, other, crlDer;
    std::time_t revokedAt = 0;
    CrlPtr crl;
};

}  // namespace

// ---- FindCertInCrl -------------------------------------------------------------------

TEST_F(CrlLookup, FindCertInCrlReportsAListedCertificateWithItsRevocationDate) {
    __int64 when = -1;
    EXPECT_EQ(CCrlSSL::FindCertInCrl(certificate.data(), certificate.size(), crlDer.data(),
                                     crlDer.size(), &when),
              1);
    EXPECT_EQ(when, revokedAt);
    // Without a place for the date the answer is the same.
    EXPECT_EQ(CCrlSSL::FindCertInCrl(certificate.data(), certificate.size(), crlDer.data(),
                                     crlDer.size(), nullptr),
              1);
}

TEST_F(CrlLookup, FindCertInCrlReportsCertificatesThatAreNotListed) {
    __int64 when = -1;
    EXPECT_EQ(CCrlSSL::FindCertInCrl(other.data(), other.size(), crlDer.data(), crlDer.size(), &when),
              0);
    EXPECT_EQ(when, -1);

    // An entry taken back with removeFromCRL does not count as revoked.
    auto unknown = kivo::test::derOf(pki().unknown.get());
    EXPECT_EQ(CCrlSSL::FindCertInCrl(unknown.data(), unknown.size(), crlDer.data(), crlDer.size(),
                                     &when),
              0);

    // OpenSSL's look-up also matches the issuer: the same serial number in
    // another CA's CRL does not list the certificate.
    const auto otherCaKey = generateKey(KeyKind::EcP256);
    CertOptions options;
    options.subject = "/CN=Another CA";
    options.subjectKey = otherCaKey.get();
    options.isCa = true;
    const auto otherCa = makeCertificate(options);
    const auto foreign = derOf(makeCrl(otherCa.get(), otherCaKey.get(), {{0x1002, revokedAt}}).get());
    EXPECT_EQ(CCrlSSL::FindCertInCrl(certificate.data(), certificate.size(),
                                     const_cast<unsigned char*>(foreign.data()), foreign.size(), &when),
              0);
}

TEST_F(CrlLookup, FindCertInCrlRefusesBuffersThatDoNotDecode) {
    __int64 when = -1;
    for (std::size_t cut : {crlDer.size() - 1, crlDer.size() / 2, std::size_t{3}}) {
        std::vector<unsigned char> truncated(crlDer.begin(), crlDer.begin() + cut);
        EXPECT_EQ(CCrlSSL::FindCertInCrl(certificate.data(), certificate.size(), truncated.data(),
                                         truncated.size(), &when),
                  -1)
            << "CRL cut to " << cut << " bytes";
    }
    std::vector<unsigned char> brokenCert(certificate.begin(), certificate.begin() + 40);
    EXPECT_EQ(CCrlSSL::FindCertInCrl(brokenCert.data(), brokenCert.size(), crlDer.data(),
                                     crlDer.size(), &when),
              -1);
    EXPECT_EQ(CCrlSSL::FindCertInCrl(nullptr, 0, crlDer.data(), crlDer.size(), &when), -1);
    EXPECT_EQ(CCrlSSL::FindCertInCrl(certificate.data(), certificate.size(), nullptr, 0, &when), -1);
    // A certificate where the CRL should be.
    EXPECT_EQ(CCrlSSL::FindCertInCrl(certificate.data(), certificate.size(), other.data(),
                                     other.size(), &when),
              -1);
    EXPECT_EQ(when, -1);
}

TEST_F(CrlLookup, FindCertInCrlLogsEntryAndResult) {
    LogCapture capture(CCrlSSL::m_logger);
    CCrlSSL::FindCertInCrl(certificate.data(), certificate.size(), crlDer.data(), crlDer.size(),
                           nullptr);
    const auto lines = capture.messages();
    EXPECT_TRUE(contains(lines, "entering FindCertInCrl"));
    EXPECT_TRUE(contains(lines, "leaving FindCertInCrl: 1"));
}

// ---- sslGetCrl ------------------------------------------------------------------------

class HashedCrlDirectory : public CrlLookup {
protected:
    void SetUp() override {
        CrlLookup::SetUp();
        char name[32];
        std::snprintf(name, sizeof name, "%08lx.r0", X509_NAME_hash(X509_get_subject_name(pki().ca.get())));
        writePem(folder.file(name), crl.get());
    }
    int getCrl(const std::vector<unsigned char>& cert, unsigned char** out, unsigned long* length,
               const char* dir) {
        auto copy = cert;
        return CCrlSSL::sslGetCrl(copy.data(), copy.size(), out, length, dir);
    }
    TempDir folder;
};

TEST_F(HashedCrlDirectory, FindsTheIssuersCrlAndCopiesItsDer) {
    std::vector<unsigned char> buffer(crlDer.size() + 64, 0xEE);
    unsigned char* out = buffer.data();
    unsigned long length = 0;
    EXPECT_EQ(getCrl(certificate, &out, &length, folder.path().c_str()), 0);
    ASSERT_EQ(length, crlDer.size());
    EXPECT_TRUE(std::equal(crlDer.begin(), crlDer.end(), buffer.begin()));
    EXPECT_EQ(buffer[length], 0xEE);  // nothing written past the CRL
    // Any certificate of the same issuer finds the same CRL.
    EXPECT_EQ(getCrl(other, &out, &length, folder.path().c_str()), 0);
    EXPECT_EQ(length, crlDer.size());
}

TEST_F(HashedCrlDirectory, OnlyTheLengthWithoutABuffer) {
    unsigned long length = 0;
    EXPECT_EQ(getCrl(certificate, nullptr, &length, folder.path().c_str()), 0);
    EXPECT_EQ(length, crlDer.size());
    unsigned char* none = nullptr;
    length = 0;
    EXPECT_EQ(getCrl(certificate, &none, &length, folder.path().c_str()), 0);
    EXPECT_EQ(length, crlDer.size());
}

TEST_F(HashedCrlDirectory, NoCrlForTheIssuer) {
    TempDir empty;
    unsigned long length = 7;
    EXPECT_EQ(getCrl(certificate, nullptr, &length, empty.path().c_str()), kNoCrl);
    EXPECT_EQ(length, 7u);
    // A certificate of another issuer finds nothing in the folder.
    const auto key = generateKey(KeyKind::EcP256);
    CertOptions options;
    options.subject = "/CN=Unrelated";
    options.subjectKey = key.get();
    const auto unrelated = kivo::test::derOf(makeCertificate(options).get());
    EXPECT_EQ(getCrl(unrelated, nullptr, &length, folder.path().c_str()), kNoCrl);
}

TEST_F(HashedCrlDirectory, SetUpFailures) {
    unsigned long length = 7;
    std::vector<unsigned char> broken(certificate.begin(), certificate.begin() + 30);
    EXPECT_EQ(getCrl(broken, nullptr, &length, folder.path().c_str()), -56);
    EXPECT_EQ(CCrlSSL::sslGetCrl(nullptr, 0, nullptr, &length, folder.path().c_str()), -56);
    EXPECT_EQ(getCrl(certificate, nullptr, &length, nullptr), -56);
    EXPECT_EQ(length, 7u);
}

// ---- LoadFromFile and ParseURL ------------------------------------------------------------

TEST_F(CrlLookup, LoadFromFileReadsTheFileAfterTheSchemeInBinary) {
    TempDir folder;
    // Bytes that text-mode reading would be tempted to translate.
    std::vector<unsigned char> content = crlDer;
    content.insert(content.end(), {'\r', '\n', 0x1A, 0x00, '\n', '\r'});
    const std::string path = folder.file("list.crl");
    writeFile(path, content);

    std::string url = "file://" + path;
    std::vector<unsigned char> buffer(content.size() + 16, 0xEE);
    unsigned char* out = buffer.data();
    unsigned long length = 0;
    EXPECT_EQ(CrlSslAccess::LoadFromFile(url.data(), &out, &length), 0);
    ASSERT_EQ(length, content.size());
    EXPECT_TRUE(std::equal(content.begin(), content.end(), buffer.begin()));
    EXPECT_EQ(buffer[length], 0xEE);

    // Without a buffer only the length.
    unsigned long sizeOnly = 0;
    EXPECT_EQ(CrlSslAccess::LoadFromFile(url.data(), nullptr, &sizeOnly), 0);
    EXPECT_EQ(sizeOnly, content.size());

    // The first seven characters are skipped whatever they are.
    std::string other = "abcdefg" + path;
    EXPECT_EQ(CrlSslAccess::LoadFromFile(other.data(), &out, &length), 0);
    EXPECT_EQ(length, content.size());
}

TEST_F(CrlLookup, LoadFromFileFailures) {
    TempDir folder;
    unsigned char byte = 0;
    unsigned char* out = &byte;
    unsigned long length = 7;
    std::string missing = "file://" + folder.file("missing.crl");
    EXPECT_EQ(CrlSslAccess::LoadFromFile(missing.data(), &out, &length), kNoCrl);
    std::string directory = "file://" + folder.path().string();
    EXPECT_EQ(CrlSslAccess::LoadFromFile(directory.data(), &out, &length), kNoCrl);
    // A file larger than any CRL the library hands out.
    const std::string huge = folder.file("huge.crl");
    writeFile(huge, {});
    std::filesystem::resize_file(huge, CCrlSSL::cMaxCrlLength + 1);
    std::string hugeUrl = "file://" + huge;
    EXPECT_EQ(CrlSslAccess::LoadFromFile(hugeUrl.data(), &out, &length), kNoCrl);
    std::string shortUrl = "file:/";
    EXPECT_EQ(CrlSslAccess::LoadFromFile(shortUrl.data(), &out, &length), kNoCrl);
    EXPECT_EQ(CrlSslAccess::LoadFromFile(nullptr, &out, &length), kNoCrl);
    EXPECT_EQ(length, 7u);
    EXPECT_EQ(byte, 0);
}

TEST(CrlUrl, ParseUrlTurnsEachPercent20IntoASpace) {
    char url[] = "file:///tmp/my%20crl%20files/list.crl";
    const std::size_t before = std::strlen(url);
    CrlSslAccess::ParseURL(url);
    EXPECT_STREQ(url, "file:///tmp/my crl files/list.crl");
    EXPECT_EQ(std::strlen(url), before - 4);

    char adjacent[] = "%20%20x%2";
    CrlSslAccess::ParseURL(adjacent);
    EXPECT_STREQ(adjacent, "  x%2");
    char plain[] = "no escapes %21";
    CrlSslAccess::ParseURL(plain);
    EXPECT_STREQ(plain, "no escapes %21");
    CrlSslAccess::ParseURL(nullptr);
}

// ---- entry points without network code and the proxy settings ------------------------------

TEST(CrlEntryPoints, FetchingEntryPointsReturnZeroAndLeaveTheOutputAlone) {
    char url[] = "http://crl.example/ca.crl";
    char text[] = "x";
    unsigned char byte = 0x5A;
    unsigned char* out = &byte;
    unsigned long length = 77;
    LogCapture capture(CCrlSSL::m_logger);
    EXPECT_EQ(CCrlSSL::LoadCrl(url, &out, &length, text, text, text), 0);
    EXPECT_EQ(CCrlSSL::LoadFromHttp(url, &out, &length), 0);
    EXPECT_EQ(CCrlSSL::LoadFromLdap(url, &out, &length, text, text), 0);
    EXPECT_EQ(CCrlSSL::GetCrl(url, &out, &length), 0);
    EXPECT_EQ(CCrlSSL::SendCRLRequest(url, &out, &length), 0);
    EXPECT_EQ(CCrlSSL::SendHttpRequest(url, &out, &length), 0);
    CCrlSSL::SetDCUrl(text, text, text);
    EXPECT_EQ(byte, 0x5A);
    EXPECT_EQ(out, &byte);
    EXPECT_EQ(length, 77u);
    const auto lines = capture.messages();
    for (const char* method : {"LoadCrl", "LoadFromHttp", "LoadFromLdap", "GetCrl",
                               "SendCRLRequest", "SendHttpRequest"}) {
        EXPECT_TRUE(contains(lines, std::string("entering ") + method)) << method;
        EXPECT_TRUE(contains(lines, std::string("leaving ") + method + ": 0")) << method;
    }
    EXPECT_TRUE(contains(lines, "entering SetDCUrl"));
}

TEST(CrlEntryPoints, SendLdapRequestLogsItsArgumentsAndReturnsTheFilter) {
    char server[] = "ldap.example";
    char dn[] = "cn=CA,o=Example";
    char filter[] = "(objectClass=*)";
    LogCapture capture(CCrlSSL::m_logger);
    EXPECT_EQ(CCrlSSL::SendLdapRequest(server, 389, dn, filter, nullptr, 2, 30, nullptr, nullptr),
              filter);
    const auto lines = capture.messages();
    EXPECT_TRUE(contains(lines, "IP : ldap.example"));
    EXPECT_TRUE(contains(lines, "Port : 389"));
    EXPECT_TRUE(contains(lines, "DN : cn=CA,o=Example"));
    EXPECT_TRUE(contains(lines, "filter : (objectClass=*)"));
    EXPECT_EQ(CCrlSSL::SendLdapRequest(nullptr, 0, nullptr, nullptr, nullptr, 0, 0, nullptr, nullptr),
              nullptr);
}

TEST(CrlProxySettings, SetProxyStoresTheValuesAsGiven) {
    EXPECT_FALSE(CCrlSSL::proxy_active);
    EXPECT_EQ(CCrlSSL::proxy_options, CCrlSSL::cProxyOptionDefault);
    CCrlSSL::setProxy(true, "proxy.example:3128", "alice", "s3cret", "Kivo/1.0",
                      CCrlSSL::cProxyOptionWithHost | CCrlSSL::cProxyOptionKeepAlive);
    EXPECT_TRUE(CCrlSSL::proxy_active);
    EXPECT_EQ(CCrlSSL::proxy_url, "proxy.example:3128");
    EXPECT_EQ(CCrlSSL::proxy_user, "alice");
    EXPECT_EQ(CCrlSSL::proxy_password, "s3cret");
    EXPECT_EQ(CCrlSSL::proxy_useragent, "Kivo/1.0");
    EXPECT_EQ(CCrlSSL::proxy_options, 5);
    // No validation: anything is kept.
    CCrlSSL::setProxy(false, "not a proxy", "", "", "", -1);
    EXPECT_EQ(CCrlSSL::proxy_url, "not a proxy");
    EXPECT_EQ(CCrlSSL::proxy_options, -1);
    resetProxy();
    EXPECT_TRUE(CCrlSSL::proxy_url.empty());
    EXPECT_EQ(CCrlSSL::cProxyOptionWithHost, 1);
    EXPECT_EQ(CCrlSSL::cProxyOptionWithPath, 2);
    EXPECT_EQ(CCrlSSL::cProxyOptionKeepAlive, 4);
}

// Under the strict policy a CRL lists a certificate only when the
// certificate's issuer (from CCertInfo's trust store) signed it, and a
// revocation date keeps the four-digit year it was written with.
TEST_F(CrlLookup, FindCertInCrlUnderTheStrictPolicy) {
    const TestPki& p = pki();
    const auto impostorKey = generateKey(KeyKind::EcP256);
    const auto impostor = derOf(makeCrl(p.ca.get(), impostorKey.get(), {{0x1002, revokedAt}}).get());
    const std::time_t in2050 = utcSeconds(2050, 5, 25, 0, 0, 0);
    const auto late = derOf(makeCrl(p.ca.get(), p.caKey.get(), {{0x1002, in2050}}).get());
    auto find = [&](const std::vector<unsigned char>& list, __int64* when = nullptr) {
        auto copy = list;
        return CCrlSSL::FindCertInCrl(certificate.data(), certificate.size(), copy.data(), copy.size(), when);
    };

    CCertInfo::CleanUpSSL_CAStore();
    const bool before = CCrlSSL::GetStrictPolicy();
    CCrlSSL::SetStrictPolicy(true);
    EXPECT_TRUE(CVerifyMsg::GetStrictPolicy()) << "one policy for both classes";
    EXPECT_EQ(find(crlDer), 0) << "issuer not in the trust store";
    EXPECT_NE(CVerifyMsg::GetIgnoredCrls().find("not in the trust store"), std::string::npos);

    auto caDer = kivo::test::derOf(p.ca.get());
    ASSERT_TRUE(CCertInfo::AddCertToSSL_CAStore(caDer.data(), caDer.size()));
    __int64 when = -1;
    EXPECT_EQ(find(crlDer, &when), 1);
    EXPECT_EQ(when, revokedAt);
    EXPECT_EQ(CVerifyMsg::GetIgnoredCrls(), "");
    EXPECT_EQ(find(impostor), 0);
    EXPECT_NE(CVerifyMsg::GetIgnoredCrls().find("signature does not verify"), std::string::npos);
    EXPECT_EQ(find(late, &when), 1);
    EXPECT_EQ(when, in2050);

    CCrlSSL::SetStrictPolicy(false);
    EXPECT_EQ(find(impostor), 1) << "the default rules match the serial number alone";
    EXPECT_EQ(find(late, &when), 1);
    EXPECT_EQ(when, utcSeconds(1950, 5, 25, 0, 0, 0)) << "the default rules read the year by its last two digits";
    CCrlSSL::SetStrictPolicy(before);
    CCertInfo::CleanUpSSL_CAStore();
}
