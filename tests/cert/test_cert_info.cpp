// The CCertInfo object: the viewer's field list and detail lines, fields by
// name, the held certificate, and copies that own what they hold.

#include "tests/cert/CertObjectTestUtil.h"

#include <gtest/gtest.h>

#include <openssl/x509.h>

#include <cstring>
#include <memory>
#include <string>
#include <utility>

using namespace kivo::test::certobject;
using kivo::test::X509Ptr;

namespace {

constexpr const char* kSubject = "C=DE, O=Kivo Test, OU=Signing, CN=Alice Example, E=alice@example.test";
constexpr const char* kIssuer = "C=DE, O=Kivo Test, CN=Kivo CA";

// The text GetCertFieldSSL copies for `name`, or "<untouched>" when it
// writes nothing.
std::string fieldByName(CCertInfo& info, const char* name) {
    char out[2048];
    std::strcpy(out, "<untouched>");
    int length = -1;
    EXPECT_EQ(info.GetCertFieldSSL(name, out, &length), 0);
    if (std::strcmp(out, "<untouched>") != 0) {
        EXPECT_EQ(length, static_cast<int>(std::strlen(out)));
    }
    return out;
}

}  // namespace

TEST(CertInfoObject, FieldListNamesAndDetailCounts) {
    CCertInfo info;
    EXPECT_EQ(info.GetNumberOfFields(), 11);
    const char* names[] = {"Subject",  "Issuer",          "Not After",  "Not Before",
                           "Serial Number", "Signature Algorithm", "Public Key Algorithm",
                           "Fingerprint",   "Public Key",   "CSP",        "Version"};
    for (int field = 0; field < 11; ++field) EXPECT_STREQ(info.GetFieldName(field), names[field]);
    EXPECT_STREQ(info.GetFieldName(11), "");
    EXPECT_STREQ(info.GetFieldName(-1), "");

    EXPECT_EQ(info.GetNumberOfDetails(0), 7);
    EXPECT_EQ(info.GetNumberOfDetails(1), 6);
    EXPECT_EQ(info.GetNumberOfDetails(8), 1);  // empty public-key text
    info.SetSubPubKey(std::string(64, 'A').c_str());
    EXPECT_EQ(info.GetNumberOfDetails(8), 3);
    info.SetSubPubKey(std::string(63, 'A').c_str());
    EXPECT_EQ(info.GetNumberOfDetails(8), 2);
    for (int field : {2, 7, 10, 11, -3}) EXPECT_EQ(info.GetNumberOfDetails(field), 1) << field;
}

TEST(CertInfoObject, DetailLinesOfSubjectIssuerAndWholeFields) {
    CCertInfo info;
    info.SetSubject(kSubject);
    info.SetIssuer(kIssuer);
    EXPECT_STREQ(info.GetDetails(0, 0), "C=DE");
    EXPECT_STREQ(info.GetDetails(0, 4), "OU=Signing");
    EXPECT_STREQ(info.GetDetails(0, 5), "CN=Alice Example");
    EXPECT_STREQ(info.GetDetails(0, 6), "E=alice@example.test");  // up to the end of the text
    EXPECT_STREQ(info.GetDetails(1, 2), "O=Kivo Test");  // the issuer list has no "L="
    // Components that do not occur, and indexes past the lists.
    for (auto [field, index] : {std::pair{0, 1}, {0, 2}, {1, 5}, {0, 7}, {1, 6}, {0, -1}, {11, 0}}) {
        EXPECT_STREQ(info.GetDetails(field, index), "") << field << "," << index;
    }

    // Fields 2 to 10 give their whole text whatever the index.
    int (CCertInfo::*setters[])(const char*) = {&CCertInfo::NotAfter,     &CCertInfo::NotBefore,
                                                &CCertInfo::SetSerialNumber, &CCertInfo::SetSignatureAlg,
                                                &CCertInfo::SetSubPubKeyAlg, &CCertInfo::SetFingerPrint,
                                                &CCertInfo::SetSubPubKey,  nullptr /* CSP */,
                                                &CCertInfo::SetCertVersion};
    for (int field = 2; field <= 10; ++field) {
        const std::string text = field == 9 ? "" : "text of field " + std::to_string(field);
        if (setters[field - 2] != nullptr) {
            EXPECT_EQ((info.*setters[field - 2])(text.c_str()), 0);
        }
        EXPECT_EQ(info.GetDetails(field, 0), text) << field;
        EXPECT_EQ(info.GetDetails(field, 99), text) << field;
    }
    EXPECT_STREQ(info.GetIssuer(), kIssuer);
    EXPECT_STREQ(info.GetSerialNumber(), "text of field 4");
    EXPECT_STREQ(info.GetSignatureAlg(), "text of field 5");
    EXPECT_STREQ(info.GetSubPubKeyAlg(), "text of field 6");
}

TEST(CertInfoObject, SettersCopyAndCutTexts) {
    CCertInfo info;
    std::string source = "Temporary Issuer";
    EXPECT_EQ(info.SetIssuer(source.c_str()), 0);
    source.assign(source.size(), '#');
    EXPECT_STREQ(info.GetIssuer(), "Temporary Issuer");

    const std::string longText(3000, 'q');
    EXPECT_EQ(info.SetIssuer(longText.c_str()), 0);
    EXPECT_EQ(std::string(info.GetIssuer()), longText.substr(0, 2047));
    EXPECT_EQ(info.SetIssuer(nullptr), 0);
    EXPECT_STREQ(info.GetIssuer(), "");
}

TEST(CertInfoObject, FieldsByNameAreCaseSensitive) {
    CCertInfo info;
    const std::pair<const char*, int (CCertInfo::*)(const char*)> named[] = {
        {"VERSION", &CCertInfo::SetCertVersion}, {"SERIALNUMBER", &CCertInfo::SetSerialNumber},
        {"VALIDFROM", &CCertInfo::NotBeforeRaw}, {"VALIDUNTIL", &CCertInfo::NotAfterRaw},
        {"USER", &CCertInfo::SetSubject},        {"ISSUER", &CCertInfo::SetIssuer},
        {"DISPLAYNAME", &CCertInfo::DisplayName}, {"CERTID", &CCertInfo::SetCertID},
        {"FINGERPRINT", &CCertInfo::SetFingerPrint}};
    for (const auto& [name, setter] : named) (info.*setter)((std::string("value of ") + name).c_str());
    info.NotBefore("long form");  // not reachable by name

    for (const auto& [name, setter] : named) EXPECT_EQ(fieldByName(info, name), std::string("value of ") + name);
    for (const char* name : {"version", "User", "KEYUSAGE", ""}) EXPECT_EQ(fieldByName(info, name), "<untouched>");

    char out[16] = "keep";
    int length = 7;
    EXPECT_EQ(info.GetCertFieldSSL(nullptr, out, &length), 0);
    EXPECT_EQ(info.GetCertFieldSSL("VERSION", nullptr, &length), 0);
    EXPECT_EQ(info.GetCertFieldSSL("VERSION", out, nullptr), 0);
    EXPECT_STREQ(out, "keep");
    EXPECT_EQ(length, 7);
}

TEST(CertInfoObject, HeldCertificateFromDerOrX509) {
    auto cert = selfSigned("/CN=Held", 5);
    Bytes der = derBytes(cert.get());
    Bytes withTail = der;
    withTail.push_back(0x00);

    CCertInfo info;
    EXPECT_EQ(info.GetX509Cert(), nullptr);
    unsigned char* cursor = withTail.data();
    EXPECT_EQ(info.SetX509Cert(&cursor, withTail.size()), 0);
    EXPECT_EQ(cursor, withTail.data() + der.size());  // advanced past the certificate
    ASSERT_NE(info.GetX509Cert(), nullptr);
    EXPECT_EQ(X509_cmp(info.GetX509Cert(), cert.get()), 0);

    // A truncated certificate: -56 and nothing held, the pointer stays.
    Bytes truncated(der.begin(), der.end() - 20);
    cursor = truncated.data();
    EXPECT_EQ(info.SetX509Cert(&cursor, truncated.size()), -56);
    EXPECT_EQ(cursor, truncated.data());
    EXPECT_EQ(info.GetX509Cert(), nullptr);
    unsigned char* none = nullptr;
    EXPECT_EQ(info.SetX509Cert(&none, 100), -56);
    EXPECT_EQ(info.SetX509Cert(nullptr, 100), -56);

    // From an X509: the object keeps a duplicate of its own.
    {
        auto other = selfSigned("/CN=Duplicated", 6);
        EXPECT_EQ(info.SetX509Cert(other.get()), 0);
        EXPECT_NE(info.GetX509Cert(), other.get());
        EXPECT_EQ(X509_cmp(info.GetX509Cert(), other.get()), 0);
    }
    X509_NAME* subject = X509_get_subject_name(info.GetX509Cert());
    char cn[64] = {};
    X509_NAME_get_text_by_NID(subject, NID_commonName, cn, sizeof cn);
    EXPECT_STREQ(cn, "Duplicated");
    EXPECT_EQ(info.SetX509Cert(static_cast<x509_st*>(nullptr)), -56);
    EXPECT_EQ(info.GetX509Cert(), nullptr);
}

TEST(CertInfoObject, CopiesOwnTheirTextsAndCertificate) {
    auto cert = selfSigned("/CN=Copied", 7);
    auto original = std::make_unique<CCertInfo>();
    original->SetIssuer(kIssuer);
    original->SetSubject(kSubject);
    original->SetX509Cert(cert.get());

    CCertInfo copy(*original);
    CCertInfo assigned;
    assigned.SetIssuer("to be replaced");
    assigned = *original;
    ASSERT_NE(copy.GetX509Cert(), nullptr);
    EXPECT_NE(copy.GetX509Cert(), original->GetX509Cert());
    EXPECT_NE(copy.GetIssuer(), original->GetIssuer());

    // Changing the source does not reach the copies; destroying it leaves
    // them whole.
    original->SetIssuer("changed");
    original.reset();
    for (CCertInfo* survivor : {&copy, &assigned}) {
        EXPECT_STREQ(survivor->GetIssuer(), kIssuer);
        EXPECT_STREQ(survivor->GetDetails(0, 5), "CN=Alice Example");
        ASSERT_NE(survivor->GetX509Cert(), nullptr);
        EXPECT_EQ(derBytes(survivor->GetX509Cert()), derBytes(cert.get()));
    }

    CCertInfo& self = assigned;
    assigned = self;
    EXPECT_STREQ(assigned.GetIssuer(), kIssuer);
    EXPECT_NE(assigned.GetX509Cert(), nullptr);

    // Copying an object without a certificate gives none.
    CCertInfo empty;
    assigned = empty;
    EXPECT_EQ(assigned.GetX509Cert(), nullptr);
    EXPECT_STREQ(assigned.GetIssuer(), "");
}

TEST(CertInfoObject, FieldsRenderedFromAnX509ByName) {
    Chain chain;
    X509* leaf = chain.leaf.get();
    char out[2048];
    const auto field = [&](X509* cert, const char* name) {
        std::strcpy(out, "<untouched>");
        EXPECT_EQ(CCertInfo::GetCertFieldX509(cert, name, out, nullptr), cert != nullptr ? 0 : -1) << name;
        return std::string(out);
    };
    // Names compared without regard to case.
    EXPECT_EQ(field(leaf, "version"), "2");
    EXPECT_EQ(field(leaf, "SerialNumber"), "012C");  // 300, as BN_bn2hex writes it
    EXPECT_EQ(field(leaf, "user"), "C=DE, O=Kivo Test, CN=Kivo Signer");
    EXPECT_EQ(field(leaf, "Issuer"), "C=DE, O=Kivo Test, CN=Kivo Intermediate CA");
    EXPECT_EQ(field(leaf, "displayname"), "Kivo Signer");
    EXPECT_EQ(field(leaf, "KeyUsage"), "0");
    EXPECT_EQ(field(leaf, "fingerprint").size(), 60u);
    EXPECT_EQ(field(leaf, "ValidFrom").size(), 19u);  // "%Y.%m.%d %H:%M:%S"
    EXPECT_EQ(field(leaf, "validuntil").size(), 19u);
    EXPECT_EQ(field(leaf, "CERTID"), "<untouched>");
    EXPECT_EQ(field(nullptr, "VERSION"), "<untouched>");
    EXPECT_EQ(CCertInfo::GetCertFieldX509(leaf, nullptr, out, nullptr), -1);
    EXPECT_EQ(CCertInfo::GetCertFieldX509(leaf, "VERSION", nullptr, nullptr), -1);
}

TEST(CertInfoObject, EntryPointsKeptForTheInterfaceGiveZero) {
    Chain chain;
    Bytes leaf = derBytes(chain.leaf.get());
    Bytes issuer = derBytes(chain.intermediate.get());
    unsigned char* out = nullptr;
    unsigned long outLength = 123;
    CCertInfo info;
    info.SetX509Cert(chain.leaf.get());
    EXPECT_EQ(CCertInfo::CheckCertSignature(leaf.data(), leaf.size(), issuer.data(), issuer.size()), 0);
    EXPECT_EQ(CCertInfo::GetChainSize(leaf.data(), leaf.size()), 0);
    EXPECT_EQ(CCertInfo::GetNextChainCert(leaf.data(), leaf.size(), &out, &outLength), 0);
    EXPECT_EQ(outLength, 123u);
    EXPECT_EQ(info.GetCertRaw(), nullptr);
    EXPECT_EQ(info.GetCertRawLength(), 0u);
}
