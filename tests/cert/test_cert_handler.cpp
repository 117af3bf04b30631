// CCertHandler: the texts it renders from an X509, checked against what
// OpenSSL itself prints for the same certificate; filling the object from
// a key store's files, from an X509 and from PKCS#7 and CMS containers.

#include "CertHandlerSSL.h"
#include "tests/cert/CertObjectTestUtil.h"
#include "src/frame/NameText.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <openssl/bn.h>
#include <openssl/cms.h>
#include <openssl/objects.h>
#include <openssl/pkcs7.h>
#include <openssl/x509v3.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

using namespace kivo::test::certobject;
using kivo::test::CertOptions;
using kivo::test::KeyKind;
using kivo::test::ScopedTimeZone;
using kivo::test::X509Ptr;

namespace {

constexpr const char* kCentralEurope = "CET-1CEST,M3.5.0,M10.5.0/3";
// 2024-07-01 12:00:00 UTC (a Monday) and 2030-01-15 08:30:05 UTC (a Tuesday).
constexpr std::time_t kNotBefore = 1719835200;
constexpr std::time_t kNotAfter = 1894696205;

// München and Jürgen in UTF-8; the readable name folds them to Latin-1.
constexpr const char* kUtf8Subject = "/C=DE/ST=Bayern/L=M\xC3\xBCnchen/O=Kivo GmbH/OU=Test/CN=J\xC3\xBCrgen Test";
constexpr const char* kReadableSubject = "C=DE, ST=Bayern, L=M\xFCnchen, O=Kivo GmbH, OU=Test, CN=J\xFCrgen Test";

X509Ptr describedCertificate(KeyKind kind = KeyKind::Rsa2048) {
    auto key = kivo::test::generateKey(kind);
    CertOptions options;
    options.subject = kUtf8Subject;
    options.subjectKey = key.get();
    options.serial = 0x0123456789ABCDEF;
    options.notBefore = kNotBefore;
    options.notAfter = kNotAfter;
    options.extensions = {{"keyUsage", "critical,digitalSignature,nonRepudiation"}};
    return kivo::test::makeCertificate(options);
}

// What X509_NAME_print_ex prints with `flags`.
std::string opensslName(X509_NAME* name, unsigned long flags) {
    BIO* bio = BIO_new(BIO_s_mem());
    X509_NAME_print_ex(bio, name, 0, flags);
    char* data = nullptr;
    const long length = BIO_get_mem_data(bio, &data);
    std::string text(data, static_cast<std::size_t>(length));
    BIO_free(bio);
    return text;
}

std::string opensslSerialHex(X509* cert) {
    BIGNUM* serial = ASN1_INTEGER_to_BN(X509_get0_serialNumber(cert), nullptr);
    char* hex = BN_bn2hex(serial);
    std::string text(hex);
    OPENSSL_free(hex);
    BN_free(serial);
    return text;
}

std::string sha1Fingerprint(X509* cert) {
    const Bytes der = derBytes(cert);
    const auto digest = kivo::test::opensslDigest("SHA1", der.data(), der.size());
    std::string text;
    char octet[4];
    for (unsigned char byte : digest) {
        std::snprintf(octet, sizeof octet, "%02x ", byte);
        text += octet;
    }
    return text;
}

// Runs a helper that writes into a 2048-byte buffer; its text.
template <class Helper>
std::string rendered(Helper helper, X509* cert) {
    char out[2048];
    std::memset(out, '#', sizeof out);
    out[sizeof out - 1] = '\0';
    EXPECT_EQ(helper(cert, out), 0);
    return out;
}

std::string fieldByName(CCertInfo* info, const char* name) {
    char out[2048] = {};
    int length = 0;
    info->GetCertFieldSSL(name, out, &length);
    return out;
}

Bytes pkcs7Signed(const std::vector<std::pair<X509*, EVP_PKEY*>>& signers, int extraFlags = 0) {
    BIO* data = BIO_new_mem_buf("signed content", -1);
    const int flags = PKCS7_BINARY | PKCS7_PARTIAL | extraFlags;
    PKCS7* p7 = PKCS7_sign(nullptr, nullptr, nullptr, nullptr, flags);
    for (const auto& [cert, key] : signers) PKCS7_sign_add_signer(p7, cert, key, EVP_sha256(), flags);
    EXPECT_EQ(PKCS7_final(p7, data, flags), 1);
    unsigned char* der = nullptr;
    const int length = i2d_PKCS7(p7, &der);
    Bytes bytes(der, der + length);
    OPENSSL_free(der);
    PKCS7_free(p7);
    BIO_free(data);
    return bytes;
}

// Serial number of the first signer info as OpenSSL decodes the container.
long firstSignerSerial(const Bytes& der) {
    const unsigned char* cursor = der.data();
    PKCS7* p7 = d2i_PKCS7(nullptr, &cursor, static_cast<long>(der.size()));
    PKCS7_SIGNER_INFO* info = sk_PKCS7_SIGNER_INFO_value(PKCS7_get_signer_info(p7), 0);
    const long serial = ASN1_INTEGER_get(info->issuer_and_serial->serial);
    PKCS7_free(p7);
    return serial;
}

Bytes cmsSigned(X509* cert, EVP_PKEY* key) {
    BIO* data = BIO_new_mem_buf("signed content", -1);
    CMS_ContentInfo* cms = CMS_sign(cert, key, nullptr, data, CMS_BINARY);
    unsigned char* der = nullptr;
    const int length = i2d_CMS_ContentInfo(cms, &der);
    Bytes bytes(der, der + length);
    OPENSSL_free(der);
    CMS_ContentInfo_free(cms);
    BIO_free(data);
    return bytes;
}

}  // namespace

// ---- texts of one certificate ----------------------------------------------------------

TEST(CertHandlerTexts, MatchWhatOpenSSLPrints) {
    ScopedTimeZone utc("UTC");
    auto cert = describedCertificate();
    X509* x = cert.get();

    const std::string subject = rendered(CCertHandler::GetSubjectSSL, x);
    EXPECT_EQ(subject, kReadableSubject);
    std::string printed = opensslName(X509_get_subject_name(x), 0x20317);
    EXPECT_NE(printed.find("L=M\\C3\\BCnchen"), std::string::npos) << printed;
    kivo::foldEscapedUtf8ToLatin1(printed);
    EXPECT_EQ(subject, printed);
    EXPECT_EQ(rendered(CCertHandler::GetIssuerSSL, x), kReadableSubject);  // self-signed

    EXPECT_EQ(rendered(CCertHandler::GetSerialNumberSSL, x), "0123456789ABCDEF");
    EXPECT_EQ(rendered(CCertHandler::GetSerialNumberSSL, x), opensslSerialHex(x));
    EXPECT_EQ(rendered(CCertHandler::GetSignatureAlgSSL, x), "sha256WithRSAEncryption");
    EXPECT_EQ(rendered(CCertHandler::GetSignatureAlgSSL, x), OBJ_nid2ln(X509_get_signature_nid(x)));
    const std::string fingerprint = rendered(CCertHandler::GetFingerPrintSSL, x);
    EXPECT_EQ(fingerprint.size(), 60u);
    EXPECT_EQ(fingerprint, sha1Fingerprint(x));
    EXPECT_EQ(rendered(CCertHandler::GetSubjectsNameSSL, x), "J\xC3\xBCrgen Test");
    EXPECT_EQ(rendered(CCertHandler::GetKeyUsageSSL, x), std::to_string(KU_DIGITAL_SIGNATURE | KU_NON_REPUDIATION));
    EXPECT_EQ(CCertHandler::GetCertVersionSSL(x), 2u);
    EXPECT_EQ(CCertHandler::GetCertVersionSSL(nullptr), 0u);

    const auto time = [&](int (*helper)(x509_st*, char*, int), int format) {
        char out[2048] = {};
        EXPECT_EQ(helper(x, out, format), 0);
        return std::string(out);
    };
    EXPECT_EQ(time(CCertHandler::GetNotBeforeSSL, 0), "Monday, July 01, 2024, 12h 00min 00sec");
    EXPECT_EQ(time(CCertHandler::GetNotBeforeSSL, 1), "2024.07.01 12:00:00");
    EXPECT_EQ(time(CCertHandler::GetNotAfterSSL, 7), "Tuesday, January 15, 2030, 08h 30min 05sec");
    EXPECT_EQ(time(CCertHandler::GetNotAfterSSL, 1), "2030.01.15 08:30:05");
}

TEST(CertHandlerTexts, TimesFollowTheLocalZone) {
    // The certificate's UTC fields are taken as local standard time and
    // broken down as local time: in summer the daylight hour shows.
    ScopedTimeZone centralEurope(kCentralEurope);
    auto cert = describedCertificate();
    char out[2048] = {};
    ASSERT_EQ(CCertHandler::GetNotBeforeSSL(cert.get(), out, 0), 0);
    EXPECT_STREQ(out, "Monday, July 01, 2024, 13h 00min 00sec");
    ASSERT_EQ(CCertHandler::GetNotAfterSSL(cert.get(), out, 1), 0);
    EXPECT_STREQ(out, "2030.01.15 08:30:05");
}

TEST(CertHandlerTexts, KeyKindsAbsentFieldsAndNullInput) {
    auto ec = issued("/O=No Common Name", kivo::test::generateKey(KeyKind::EcP256).get(), nullptr, nullptr, 1, false);
    auto rsa = describedCertificate(KeyKind::Rsa2048);
    EXPECT_EQ(rendered(CCertHandler::GetKeyUsageSSL, ec.get()), "0");
    EXPECT_EQ(rendered(CCertHandler::GetSubjectsNameSSL, ec.get()), "");
    EXPECT_EQ(rendered(CCertHandler::GetSignatureAlgSSL, ec.get()), "ecdsa-with-SHA256");

    // The public-key text: nothing written for RSA, 4096 bytes cleared otherwise.
    const std::vector<char> untouched(4096, '#');
    const std::vector<char> cleared(4096, '\0');
    for (auto [cert, expected] : {std::pair{rsa.get(), &untouched}, {ec.get(), &cleared}, {nullptr, &cleared}}) {
        std::vector<char> buffer = untouched;
        EXPECT_EQ(CCertHandler::GetPubkeySSL(cert, buffer.data()), 0);
        EXPECT_EQ(buffer, *expected);
    }
    char out[8] = "keep";
    for (auto helper : {CCertHandler::GetFingerPrintSSL, CCertHandler::GetIssuerSSL, CCertHandler::GetSubjectSSL,
                        CCertHandler::GetSubjectsNameSSL, CCertHandler::GetSerialNumberSSL,
                        CCertHandler::GetSignatureAlgSSL, CCertHandler::GetKeyUsageSSL}) {
        EXPECT_EQ(helper(nullptr, out), -1);
        EXPECT_EQ(helper(ec.get(), nullptr), -1);
    }
    EXPECT_EQ(CCertHandler::GetNotBeforeSSL(nullptr, out, 1), -1);
    EXPECT_EQ(CCertHandler::GetNotAfterSSL(ec.get(), nullptr, 1), -1);
    EXPECT_EQ(CCertHandler::GetPubkeySSL(ec.get(), nullptr), -1);
    EXPECT_STREQ(out, "keep");
}

TEST(CertHandlerTexts, OneLineNamesAndTheirCapacity) {
    auto cert = describedCertificate();
    X509_NAME* name = X509_get_subject_name(cert.get());
    const std::string printed = opensslName(name, 0x20317);

    // Too small: the needed capacity comes back, the buffer stays.
    char buffer[300];
    std::memset(buffer, '#', sizeof buffer);
    int capacity = static_cast<int>(printed.size());
    EXPECT_EQ(CCertHandler::X509_NAME_oneline_ex(name, buffer, &capacity, 0x20317), nullptr);
    EXPECT_EQ(capacity, static_cast<int>(printed.size()) + 1);
    EXPECT_EQ(buffer[0], '#');
    // Just large enough: copied, the rest of the capacity cleared.
    EXPECT_EQ(CCertHandler::X509_NAME_oneline_ex(name, buffer, &capacity, 0x20317), buffer);
    EXPECT_EQ(std::string(buffer), printed);
    EXPECT_EQ(buffer[capacity], '#');
    // Other flags are passed through to OpenSSL.
    capacity = sizeof buffer;
    ASSERT_NE(CCertHandler::X509_NAME_oneline_ex(name, buffer, &capacity, XN_FLAG_RFC2253), nullptr);
    EXPECT_EQ(std::string(buffer), opensslName(name, XN_FLAG_RFC2253));
    int asked = 0;
    EXPECT_EQ(CCertHandler::X509_NAME_oneline_ex(name, nullptr, &asked, 0x20317), nullptr);
    EXPECT_EQ(asked, static_cast<int>(printed.size()) + 1);
    EXPECT_EQ(CCertHandler::X509_NAME_oneline_ex(nullptr, buffer, &capacity, 0x20317), nullptr);

    EXPECT_EQ(CCertHandler::X509_NAME_oneline_readable(name, buffer, sizeof buffer), buffer);
    EXPECT_EQ(std::string(buffer), printed);
    EXPECT_EQ(CCertHandler::X509_NAME_oneline_readable(name, buffer, 10), nullptr);

    // A subject beyond 199 characters does not fit the readable text.
    auto wide = issued("/L=" + std::string(60, 'l') + "/O=" + std::string(60, 'o') + "/OU=" + std::string(60, 'u') +
                           "/CN=" + std::string(60, 'c'),
                       kivo::test::generateKey(KeyKind::EcP256).get(), nullptr, nullptr, 1);
    char out[2048] = "stale";
    EXPECT_EQ(CCertHandler::GetSubjectSSL(wide.get(), out), -1);
    EXPECT_STREQ(out, "");
}

// ---- filling the certificate object --------------------------------------------------------

TEST(CertHandlerEntry, FromAnX509) {
    ScopedTimeZone utc("UTC");
    auto cert = describedCertificate();
    CCertHandler handler;
    CCertInfo* info = handler.GetEntrySSL(cert.get());
    ASSERT_NE(info, nullptr);
    EXPECT_EQ(fieldByName(info, "VERSION"), "2");
    EXPECT_EQ(fieldByName(info, "SERIALNUMBER"), "0123456789ABCDEF");
    EXPECT_EQ(fieldByName(info, "VALIDFROM"), "2024.07.01 12:00:00");
    EXPECT_EQ(fieldByName(info, "VALIDUNTIL"), "2030.01.15 08:30:05");
    EXPECT_EQ(fieldByName(info, "USER"), kReadableSubject);
    EXPECT_EQ(fieldByName(info, "ISSUER"), kReadableSubject);
    EXPECT_EQ(fieldByName(info, "DISPLAYNAME"), "J\xC3\xBCrgen Test");
    EXPECT_EQ(fieldByName(info, "FINGERPRINT"), sha1Fingerprint(cert.get()));
    EXPECT_STREQ(info->GetSignatureAlg(), "sha256WithRSAEncryption");
    EXPECT_STREQ(info->GetDetails(2, 0), "Tuesday, January 15, 2030, 08h 30min 05sec");
    EXPECT_STREQ(info->GetDetails(3, 0), "Monday, July 01, 2024, 12h 00min 00sec");
    EXPECT_STREQ(info->GetDetails(0, 5), "CN=J\xFCrgen Test");
    EXPECT_STREQ(info->GetDetails(0, 2), "L=M\xFCnchen");
    // This variant describes the certificate but does not store it.
    EXPECT_EQ(info->GetX509Cert(), nullptr);
    EXPECT_EQ(handler.GetEntrySSL(nullptr), nullptr);
}

TEST(CertHandlerEntry, FromAKeyStoreFolder) {
    Chain chain;
    ScratchDir dir;
    dir.write("alice.cert.pem", pemOf(chain.leaf.get()));
    dir.write("junk.cert.pem", std::string("no certificate here"));

    CCertHandler handler;
    testing::internal::CaptureStdout();
    CCertInfo* info = handler.GetEntrySSL(dir.path().c_str(), "alice", 3, 1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), dir.path() + "/alice.cert.pem\n");
    ASSERT_NE(info, nullptr);
    ASSERT_NE(info->GetX509Cert(), nullptr);
    EXPECT_EQ(X509_cmp(info->GetX509Cert(), chain.leaf.get()), 0);
    EXPECT_STREQ(info->GetIssuer(), "C=DE, O=Kivo Test, CN=Kivo Intermediate CA");
    EXPECT_EQ(fieldByName(info, "USER"), "C=DE, O=Kivo Test, CN=Kivo Signer");
    EXPECT_EQ(fieldByName(info, "DISPLAYNAME"), "Kivo Signer");
    EXPECT_EQ(fieldByName(info, "SERIALNUMBER"), "012C");  // BN_bn2hex: whole octets
    // Filling from files writes no fingerprint.
    EXPECT_EQ(fieldByName(info, "FINGERPRINT"), "");

    // A folder ending in "/" or "\" names the same file.
    for (const std::string& folder : {dir.path() + "/", dir.path() + "\\"}) {
        testing::internal::CaptureStdout();
        EXPECT_EQ(handler.GetEntrySSL(folder.c_str(), "alice", 0, 0), info);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), dir.path() + "/alice.cert.pem\n");
    }

    testing::internal::CaptureStdout();
    EXPECT_EQ(handler.GetEntrySSL(dir.path().c_str(), "bob", 0, 0), nullptr);
    EXPECT_EQ(handler.GetEntrySSL(dir.path().c_str(), "junk", 0, 0), nullptr);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(handler.GetEntrySSL(nullptr, "alice", 0, 0), nullptr);
    EXPECT_EQ(handler.GetEntrySSL(dir.path().c_str(), nullptr, 0, 0), nullptr);
    EXPECT_EQ(handler.GetEntrySSL("", "alice", 0, 0), nullptr);
}

TEST(CertHandlerEntry, CardStoreNameReadsNoFile) {
    CCertHandler fresh;
    CCertInfo* empty = fresh.GetEntrySSL("--SCARD--", "alice", 0, 0);
    ASSERT_NE(empty, nullptr);
    EXPECT_EQ(empty->GetX509Cert(), nullptr);
    EXPECT_STREQ(empty->GetIssuer(), "");

    // A filled object is handed back as it stands.
    Chain chain;
    CCertHandler filled;
    ASSERT_NE(filled.GetEntrySSL(chain.leaf.get()), nullptr);
    CCertInfo* same = filled.GetEntrySSL("--SCARD--", "ignored", 1, 2);
    ASSERT_NE(same, nullptr);
    EXPECT_STREQ(same->GetIssuer(), "C=DE, O=Kivo Test, CN=Kivo Intermediate CA");
}

TEST(CertHandlerEntry, FromTheFirstSignerOfAContainer) {
    Chain chain;
    auto other = selfSigned("/CN=Second Signer", 900, KeyKind::EcP384);
    auto otherKey = kivo::test::generateKey(KeyKind::EcP384);

    // The signer infos form a SET OF, which DER orders by encoding; the
    // first one is whichever OpenSSL reads first.
    const Bytes pkcs7 = pkcs7Signed({{chain.leaf.get(), chain.leafKey.get()}, {other.get(), otherKey.get()}});
    X509* first = firstSignerSerial(pkcs7) == ASN1_INTEGER_get(X509_get0_serialNumber(other.get()))
                      ? other.get()
                      : chain.leaf.get();
    CCertHandler handler;
    CCertInfo* info = handler.GetCertFromPKCS7(pkcs7.data(), pkcs7.size());
    ASSERT_NE(info, nullptr);
    ASSERT_NE(info->GetX509Cert(), nullptr);
    EXPECT_EQ(X509_cmp(info->GetX509Cert(), first), 0);
    char subject[2048] = {};
    CCertHandler::GetSubjectSSL(first, subject);
    EXPECT_EQ(fieldByName(info, "USER"), subject);
    EXPECT_EQ(fieldByName(info, "FINGERPRINT"), sha1Fingerprint(first));

    const Bytes cms = cmsSigned(other.get(), otherKey.get());
    info = handler.GetCertFromPKCS7(cms.data(), cms.size());
    ASSERT_NE(info, nullptr);
    EXPECT_EQ(X509_cmp(info->GetX509Cert(), other.get()), 0);
    EXPECT_EQ(fieldByName(info, "DISPLAYNAME"), "Second Signer");

    // No certificates in the container, no container, or a broken one.
    const Bytes bare = pkcs7Signed({{chain.leaf.get(), chain.leafKey.get()}}, PKCS7_NOCERTS);
    EXPECT_EQ(handler.GetCertFromPKCS7(bare.data(), bare.size()), nullptr);
    Bytes truncated(cms.begin(), cms.begin() + static_cast<long>(cms.size() / 2));
    EXPECT_EQ(handler.GetCertFromPKCS7(truncated.data(), truncated.size()), nullptr);
    EXPECT_EQ(handler.GetCertFromPKCS7(nullptr, 10), nullptr);
    const Bytes certificate = derBytes(chain.leaf.get());
    EXPECT_EQ(handler.GetCertFromPKCS7(certificate.data(), certificate.size()), nullptr);
}

TEST(CertHandlerEntry, CopiesOwnTheirCertificateObject) {
    Chain chain;
    const Bytes pkcs7 = pkcs7Signed({{chain.leaf.get(), chain.leafKey.get()}});
    auto original = std::make_unique<CCertHandler>();
    ASSERT_NE(original->GetCertFromPKCS7(pkcs7.data(), pkcs7.size()), nullptr);

    CCertHandler copy(*original);
    CCertHandler assigned;
    assigned = *original;
    original.reset();
    for (CCertHandler* survivor : {&copy, &assigned}) {
        // The card store name hands back the object as it stands.
        CCertInfo* info = survivor->GetEntrySSL("--SCARD--", "", 0, 0);
        ASSERT_NE(info, nullptr);
        EXPECT_STREQ(info->GetIssuer(), "C=DE, O=Kivo Test, CN=Kivo Intermediate CA");
        ASSERT_NE(info->GetX509Cert(), nullptr);
        EXPECT_EQ(derBytes(info->GetX509Cert()), derBytes(chain.leaf.get()));
    }
}
