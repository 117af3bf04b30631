// CRL look-ups of CCrlSSL: a certificate in a CRL buffer, the issuer's CRL
// in a hashed directory, CRL files named by URL, and the strict policy.

#include "tests/revocation/RevocationTestUtil.h"

#include "CertInfoSSL.h"
#include "VerifyMsg.h"

// Reaches CCrlSSL's private helpers.
struct kivo::test::CrlSslAccess {
    static int LoadFromFile(char* url, unsigned char** buffer, unsigned long* length) {
        return CCrlSSL::LoadFromFile(url, buffer, length);
    }
};

using namespace kivo::test;

namespace {

constexpr int kNoCrl = static_cast<int>(0x80000080);

class CrlLookup : public ::testing::Test {
protected:
    static int find(Bytes cert, Bytes crl, __int64* when = nullptr) {
        return CCrlSSL::FindCertInCrl(cert.empty() ? nullptr : cert.data(), cert.size(),
                                      crl.empty() ? nullptr : crl.data(), crl.size(), when);
    }
    Bytes crlOf(EVP_PKEY* key, std::time_t at = kRevokedAt) const {
        return derOf(makeCrl(pki().ca.get(), key, {{0x1002, at}, {0x1003, at + 60, 8 /* removeFromCRL */}}).get());
    }

    ScopedTimeZone m_utc{"UTC"};
    const Bytes m_revoked = derOf(pki().revoked.get());
    const Bytes m_crl = crlOf(pki().caKey.get());
};

TEST_F(CrlLookup, FindCertInCrl) {
    const Bytes foreign = derOf(makeCrl(pki().responder.get(), pki().responderKey.get(), {{0x1002, kRevokedAt}}).get());
    const Bytes good = derOf(pki().good.get());
    struct Case { const char* what; Bytes certificate, crl; int expected; } cases[] = {
        {"listed", m_revoked, m_crl, 1}, {"not listed", good, m_crl, 0},
        {"taken back with removeFromCRL", derOf(pki().unknown.get()), m_crl, 0},
        {"same serial in another CA's CRL", m_revoked, foreign, 0},
        {"CRL cut short", m_revoked, Bytes(m_crl.begin(), m_crl.end() - 1), -1},
        {"certificate cut short", Bytes(m_revoked.begin(), m_revoked.begin() + 40), m_crl, -1},
        {"a certificate where the CRL should be", m_revoked, good, -1}};
    for (const Case& c : cases) {
        __int64 when = -1;
        EXPECT_EQ(find(c.certificate, c.crl, &when), c.expected) << c.what;
        EXPECT_EQ(when, c.expected == 1 ? kRevokedAt : -1) << c.what;
    }
    EXPECT_EQ(find(m_revoked, m_crl), 1) << "without a place for the date";
}

// Under the strict policy a CRL lists a certificate only when its issuer
// (from CCertInfo's trust store) signed it, and a revocation date keeps its
// four-digit year.
TEST_F(CrlLookup, FindCertInCrlUnderTheStrictPolicy) {
    const Bytes impostor = crlOf(pki().responderKey.get());
    const Bytes late = crlOf(pki().caKey.get(), 2537049600);  // 2050-05-25
    CCertInfo::CleanUpSSL_CAStore();
    const bool before = CCrlSSL::GetStrictPolicy();
    CCrlSSL::SetStrictPolicy(true);
    EXPECT_TRUE(CVerifyMsg::GetStrictPolicy()) << "one policy for both classes";
    EXPECT_EQ(find(m_revoked, m_crl), 0) << "issuer not in the trust store";
    EXPECT_NE(CVerifyMsg::GetIgnoredCrls().find("not in the trust store"), std::string::npos);
    Bytes ca = derOf(pki().ca.get());
    ASSERT_TRUE(CCertInfo::AddCertToSSL_CAStore(ca.data(), ca.size()));
    __int64 when = -1;
    EXPECT_EQ(find(m_revoked, m_crl), 1);
    EXPECT_EQ(CVerifyMsg::GetIgnoredCrls(), "");
    EXPECT_EQ(find(m_revoked, impostor), 0);
    EXPECT_NE(CVerifyMsg::GetIgnoredCrls().find("signature does not verify"), std::string::npos);
    EXPECT_EQ(find(m_revoked, late, &when), 1);
    EXPECT_EQ(when, 2537049600);
    CCrlSSL::SetStrictPolicy(false);
    EXPECT_EQ(find(m_revoked, impostor), 1) << "the default rules match the serial number alone";
    EXPECT_EQ(find(m_revoked, late, &when), 1);
    EXPECT_EQ(when, -618710400) << "the default rules read the year by its last two digits (1950)";
    CCrlSSL::SetStrictPolicy(before);
    CCertInfo::CleanUpSSL_CAStore();
}

// The issuer's CRL from a hashed directory; the DER copied whole and no
// further, or only its length without a buffer.
TEST_F(CrlLookup, SslGetCrlFromAHashedDirectory) {
    TempDir folder, empty;
    char name[32];
    std::snprintf(name, sizeof name, "%08lx.r0", X509_NAME_hash(X509_get_subject_name(pki().ca.get())));
    const CrlPtr crl = makeCrl(pki().ca.get(), pki().caKey.get(), {{0x1002, kRevokedAt}});
    appendPem(folder.file(name), crl.get());
    const std::string dir = folder.path().string(), emptyDir = empty.path().string();
    Bytes expected = derOf(crl.get()), buffer(expected.size() + 1, 0xEE), good = derOf(pki().good.get());
    unsigned char* out = buffer.data();
    unsigned long length = 0;
    EXPECT_EQ(CCrlSSL::sslGetCrl(good.data(), good.size(), &out, &length, dir.c_str()), 0) << "any certificate of the issuer";
    expected.push_back(0xEE);
    EXPECT_EQ(std::make_pair(length + 1, buffer), std::make_pair(expected.size(), expected));
    const struct { Bytes certificate; const char* dir; int result; unsigned long length; } cases[] = {
        {m_revoked, dir.c_str(), 0, expected.size() - 1}, {m_revoked, emptyDir.c_str(), kNoCrl, 7},
        {Bytes(m_revoked.begin(), m_revoked.begin() + 30), dir.c_str(), -56, 7}, {{}, dir.c_str(), -56, 7},
        {m_revoked, nullptr, -56, 7}};
    for (auto c : cases) {
        length = 7;
        unsigned char* certificate = c.certificate.empty() ? nullptr : c.certificate.data();
        EXPECT_EQ(CCrlSSL::sslGetCrl(certificate, c.certificate.size(), nullptr, &length, c.dir), c.result) << c.length;
        EXPECT_EQ(length, c.length);
    }
}

// A CRL file named by URL: the text after the first seven characters is the
// path, the file read in binary whole; missing, a folder or too large: no CRL.
TEST_F(CrlLookup, LoadFromFile) {
    TempDir folder;
    Bytes content = m_crl;
    content.insert(content.end(), {'\r', '\n', 0x1A, 0x00, '\n', '\r'});  // what text mode would translate
    writeBytes(folder.file("list.crl"), content);
    writeBytes(folder.file("huge.crl"), {});
    std::filesystem::resize_file(folder.file("huge.crl"), CCrlSSL::cMaxCrlLength + 1);
    const std::pair<std::string, int> cases[] = {
        {"file://" + folder.file("list.crl"), 0}, {"abcdefg" + folder.file("list.crl"), 0},
        {"file://" + folder.file("missing.crl"), kNoCrl}, {"file://" + folder.path().string(), kNoCrl},
        {"file://" + folder.file("huge.crl"), kNoCrl}, {"file:/", kNoCrl}, {"", kNoCrl}};
    for (auto [url, result] : cases) {
        Bytes buffer(content.size() + 1, 0xEE), expected = result == 0 ? content : Bytes(content.size(), 0xEE);
        expected.push_back(0xEE);
        unsigned char* out = buffer.data();
        unsigned long length = 7;
        EXPECT_EQ(CrlSslAccess::LoadFromFile(url.empty() ? nullptr : url.data(), &out, &length), result) << url;
        EXPECT_EQ(std::make_pair(length, buffer), std::make_pair(result == 0 ? content.size() : 7ul, expected)) << url;
    }
}

}  // namespace
