// The CCertInfo object: the viewer's detail lines, fields by name, the held
// certificate, and copies that own what they hold.

#include "tests/cert/CertObjectTestUtil.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <utility>

using namespace kivo::test::certobject;

TEST(CertInfoObject, DetailLinesAndFieldsByName) {
    CCertInfo info;
    info.SetSubPubKey(std::string(64, 'A').c_str());  // in lines of 32 characters
    EXPECT_EQ(info.GetNumberOfDetails(8), 3);
    EXPECT_EQ(info.GetNumberOfDetails(0), 7);
    info.SetSubject("C=DE, O=Kivo Test, OU=Signing, CN=Alice Example, E=alice@example.test");
    info.SetIssuer(std::string(3000, 'q').c_str());
    EXPECT_EQ(std::string(info.GetIssuer()), std::string(2047, 'q'));  // cut
    info.SetIssuer("C=DE, O=Kivo Test, CN=Kivo CA");
    info.SetSerialNumber("0A");
    // Subject and issuer components by their place in the fixed list (the
    // issuer list has no "L="); the other fields whole, whatever the index.
    const std::pair<std::pair<int, int>, const char*> details[] = {
        {{0, 0}, "C=DE"}, {{0, 5}, "CN=Alice Example"}, {{0, 6}, "E=alice@example.test"}, {{1, 2}, "O=Kivo Test"},
        {{0, 1}, ""}, {{0, 7}, ""}, {{1, 6}, ""}, {{0, -1}, ""}, {{11, 0}, ""}, {{4, 99}, "0A"}};
    for (const auto& [at, expected] : details) {
        EXPECT_STREQ(info.GetDetails(at.first, at.second), expected) << at.first << "," << at.second;
    }
    // Names are compared with their case; nothing is written for others.
    info.DisplayName("Alice");
    char out[64] = "<untouched>";
    int length = -1;
    for (const char* name : {"version", "KEYUSAGE", static_cast<const char*>(nullptr)}) {
        EXPECT_EQ(info.GetCertFieldSSL(name, out, &length), 0);
    }
    EXPECT_STREQ(out, "<untouched>");
    EXPECT_EQ(info.GetCertFieldSSL("DISPLAYNAME", out, &length), 0);
    EXPECT_STREQ(out, "Alice");
    EXPECT_EQ(length, 5);
}

TEST(CertInfoObject, HeldCertificateAndCopies) {
    auto cert = selfSigned("/CN=Held", 5);
    const Bytes der = derBytes(cert.get());
    Bytes withTail = der;
    withTail.push_back(0x00);
    auto original = std::make_unique<CCertInfo>();
    unsigned char* cursor = withTail.data();
    EXPECT_EQ(original->SetX509Cert(&cursor, withTail.size()), 0);
    EXPECT_EQ(cursor, withTail.data() + der.size());  // advanced past the certificate
    // A truncated certificate: -56 and nothing held, the pointer stays.
    CCertInfo failed;
    Bytes truncated(der.begin(), der.end() - 20);
    cursor = truncated.data();
    EXPECT_EQ(failed.SetX509Cert(&cursor, truncated.size()), -56);
    EXPECT_EQ(cursor, truncated.data());
    EXPECT_EQ(failed.GetX509Cert(), nullptr);
    EXPECT_EQ(failed.SetX509Cert(static_cast<x509_st*>(nullptr)), -56);
    EXPECT_EQ(failed.SetX509Cert(cert.get()), 0);
    EXPECT_NE(failed.GetX509Cert(), cert.get());  // a duplicate of its own
    // Fields of an X509 by name, in any case.
    char out[2048];
    EXPECT_EQ(CCertInfo::GetCertFieldX509(cert.get(), "DisplayName", out, nullptr), 0);
    EXPECT_STREQ(out, "Held");
    EXPECT_EQ(CCertInfo::GetCertFieldX509(nullptr, "VERSION", out, nullptr), -1);

    // Copies own their texts and certificate: changing or destroying the
    // source does not reach them.
    original->SetIssuer("Issuer");
    CCertInfo copy(*original);
    CCertInfo assigned;
    assigned = *original;
    original->SetIssuer("changed");
    original.reset();
    for (CCertInfo* survivor : {&copy, &assigned}) {
        EXPECT_STREQ(survivor->GetIssuer(), "Issuer");
        ASSERT_NE(survivor->GetX509Cert(), nullptr);
        EXPECT_EQ(derBytes(survivor->GetX509Cert()), der);
    }
    CCertInfo& self = assigned;
    assigned = self;
    EXPECT_STREQ(assigned.GetIssuer(), "Issuer");
    assigned = CCertInfo();
    EXPECT_EQ(assigned.GetX509Cert(), nullptr);
}
