// CCertHandler and the CCertInfo object it fills: the texts rendered from an
// X509, checked against what OpenSSL prints for the same certificate; the
// object filled from an X509, a key store's files and PKCS#7 and CMS
// containers; its detail lines, fields by name, held certificate and copies.

#include <gtest/gtest.h>

#include <openssl/cms.h>
#include <openssl/pkcs7.h>
#include <openssl/x509v3.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "CertHandlerSSL.h"
#include "src/frame/NameText.h"
#include "tests/cert/CertObjectTestUtil.h"

using namespace kivo::test::certobject;
using kivo::test::KeyKind;
using kivo::test::ScopedTimeZone;
using kivo::test::TempDir;

namespace {

// München and Jürgen in UTF-8; the readable name folds them to Latin-1.
constexpr const char* kReadableSubject = "C=DE, ST=Bayern, L=M\xFCnchen, O=Kivo GmbH, OU=Test, CN=J\xFCrgen Test";

// Valid from 2024-07-01 12:00:00 UTC (a Monday) to 2030-01-15 08:30:05 UTC.
kivo::test::X509Ptr describedCertificate() {
    auto key = kivo::test::generateKey(KeyKind::Rsa2048);
    kivo::test::CertOptions options;
    options.subject = "/C=DE/ST=Bayern/L=M\xC3\xBCnchen/O=Kivo GmbH/OU=Test/CN=J\xC3\xBCrgen Test";
    options.subjectKey = key.get();
    options.serial = 0x0123456789ABCDEF;
    options.notBefore = 1719835200;
    options.notAfter = 1894696205;
    options.extensions = {{"keyUsage", "critical,digitalSignature,nonRepudiation"}};
    return kivo::test::makeCertificate(options);
}

std::string opensslName(X509_NAME* name, unsigned long flags) {
    BIO* bio = BIO_new(BIO_s_mem());
    X509_NAME_print_ex(bio, name, 0, flags);
    char* data = nullptr;
    const long length = BIO_get_mem_data(bio, &data);
    std::string text(data, static_cast<std::size_t>(length));
    BIO_free(bio);
    return text;
}

std::string sha1Fingerprint(X509* cert) {
    const Bytes der = derBytes(cert);
    std::string text;
    char octet[4];
    for (unsigned char byte : kivo::test::opensslDigest("SHA1", der.data(), der.size())) {
        std::snprintf(octet, sizeof octet, "%02x ", byte);
        text += octet;
    }
    return text;
}

// The text of a helper that writes into a 2048-byte buffer.
std::string rendered(int (*helper)(x509_st*, char*), X509* cert) {
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

// A PKCS#7 signedData over a short text, signed by `signers`.
Bytes pkcs7Signed(const std::vector<std::pair<X509*, EVP_PKEY*>>& signers, int extraFlags = 0) {
    BIO* data = BIO_new_mem_buf("signed content", -1);
    const int flags = PKCS7_BINARY | PKCS7_PARTIAL | extraFlags;
    PKCS7* p7 = PKCS7_sign(nullptr, nullptr, nullptr, nullptr, flags);
    for (const auto& [cert, key] : signers) PKCS7_sign_add_signer(p7, cert, key, EVP_sha256(), flags);
    PKCS7_final(p7, data, flags);
    unsigned char* der = nullptr;
    const int length = i2d_PKCS7(p7, &der);
    Bytes bytes(der, der + length);
    OPENSSL_free(der);
    PKCS7_free(p7);
    BIO_free(data);
    return bytes;
}

}  // namespace

TEST(CertHandlerTexts, MatchWhatOpenSSLPrints) {
    auto cert = describedCertificate();
    X509* x = cert.get();
    std::string printed = opensslName(X509_get_subject_name(x), 0x20317);
    EXPECT_NE(printed.find("L=M\\C3\\BCnchen"), std::string::npos) << printed;
    kivo::foldEscapedUtf8ToLatin1(printed);
    EXPECT_EQ(printed, kReadableSubject);
    const std::pair<int (*)(x509_st*, char*), std::string> texts[] = {
        {CCertHandler::GetSubjectSSL, printed},
        {CCertHandler::GetIssuerSSL, printed},  // self-signed
        {CCertHandler::GetSerialNumberSSL, "0123456789ABCDEF"},
        {CCertHandler::GetSignatureAlgSSL, OBJ_nid2ln(X509_get_signature_nid(x))},
        {CCertHandler::GetFingerPrintSSL, sha1Fingerprint(x)},
        {CCertHandler::GetSubjectsNameSSL, "J\xC3\xBCrgen Test"},
        {CCertHandler::GetKeyUsageSSL, std::to_string(KU_DIGITAL_SIGNATURE | KU_NON_REPUDIATION)},
    };
    for (const auto& [helper, expected] : texts) EXPECT_EQ(rendered(helper, x), expected);
    EXPECT_EQ(CCertHandler::GetCertVersionSSL(x), 2u);

    // The UTC fields are taken as local standard time and broken down as
    // local time: in summer the daylight hour shows.
    const struct {
        const char* zone;
        int (*helper)(x509_st*, char*, int);
        int format;
        const char* expected;
    } times[] = {
        {"UTC", CCertHandler::GetNotBeforeSSL, 0, "Monday, July 01, 2024, 12h 00min 00sec"},
        {"UTC", CCertHandler::GetNotAfterSSL, 1, "2030.01.15 08:30:05"},
        {"CET-1CEST,M3.5.0,M10.5.0/3", CCertHandler::GetNotBeforeSSL, 1, "2024.07.01 13:00:00"},
    };
    for (const auto& t : times) {
        ScopedTimeZone zone(t.zone);
        char out[2048] = {};
        EXPECT_EQ(t.helper(x, out, t.format), 0);
        EXPECT_STREQ(out, t.expected) << t.zone;
    }

    // The object filled from the X509, which it does not store.
    ScopedTimeZone utc("UTC");
    CCertHandler handler;
    CCertInfo* info = handler.GetEntrySSL(x);
    ASSERT_NE(info, nullptr);
    EXPECT_EQ(info->GetX509Cert(), nullptr);
    for (const auto& [name, expected] : {std::pair<const char*, std::string>{"USER", kReadableSubject},
                                         {"VALIDFROM", "2024.07.01 12:00:00"}, {"FINGERPRINT", sha1Fingerprint(x)}}) {
        EXPECT_EQ(fieldByName(info, name), expected) << name;
    }
}

TEST(CertHandlerTexts, AbsentFieldsNullInputAndCapacity) {
    auto ec = issued("/O=No Common Name", kivo::test::generateKey(KeyKind::EcP256).get(), nullptr, nullptr, 1, false);
    EXPECT_EQ(rendered(CCertHandler::GetKeyUsageSSL, ec.get()), "0");
    EXPECT_EQ(rendered(CCertHandler::GetSubjectsNameSSL, ec.get()), "");
    // The public-key text: 4096 bytes cleared for a key other than RSA.
    std::vector<char> buffer(4096, '#');
    EXPECT_EQ(CCertHandler::GetPubkeySSL(ec.get(), buffer.data()), 0);
    EXPECT_EQ(buffer, std::vector<char>(4096, '\0'));
    auto rsa = describedCertificate();
    char out[2048] = "keep";
    for (auto helper : {CCertHandler::GetFingerPrintSSL, CCertHandler::GetIssuerSSL, CCertHandler::GetSubjectSSL,
                        CCertHandler::GetSubjectsNameSSL, CCertHandler::GetSerialNumberSSL,
                        CCertHandler::GetSignatureAlgSSL, CCertHandler::GetKeyUsageSSL}) {
        EXPECT_EQ(helper(nullptr, out), -1);
        EXPECT_EQ(helper(ec.get(), nullptr), -1);
    }
    EXPECT_EQ(CCertHandler::GetNotBeforeSSL(nullptr, out, 1), -1);
    EXPECT_EQ(CCertHandler::GetPubkeySSL(ec.get(), nullptr), -1);
    EXPECT_EQ(CCertHandler::GetCertVersionSSL(nullptr), 0u);
    EXPECT_STREQ(out, "keep");

    // Too small a buffer: the needed capacity comes back, the buffer stays.
    X509_NAME* name = X509_get_subject_name(rsa.get());
    const std::string printed = opensslName(name, XN_FLAG_RFC2253);
    int capacity = static_cast<int>(printed.size());
    EXPECT_EQ(CCertHandler::X509_NAME_oneline_ex(name, out, &capacity, XN_FLAG_RFC2253), nullptr);
    EXPECT_EQ(capacity, static_cast<int>(printed.size()) + 1);
    EXPECT_STREQ(out, "keep");
    EXPECT_EQ(CCertHandler::X509_NAME_oneline_ex(name, out, &capacity, XN_FLAG_RFC2253), out);
    EXPECT_EQ(out, printed);
    EXPECT_EQ(CCertHandler::X509_NAME_oneline_readable(name, out, 10), nullptr);
    // A subject beyond 199 characters does not fit the readable text.
    const std::string part(60, 'x');
    auto wide = issued("/L=" + part + "/O=" + part + "/OU=" + part + "/CN=" + part,
                       kivo::test::generateKey(KeyKind::EcP256).get(), nullptr, nullptr, 1);
    EXPECT_EQ(CCertHandler::GetSubjectSSL(wide.get(), out), -1);
    EXPECT_STREQ(out, "");
}

TEST(CertHandlerEntry, FromAKeyStoreFolder) {
    Chain chain;
    TempDir dir;
    const std::string path = dir.path().string();
    write(dir, "alice.cert.pem", pemOf(chain.leaf.get()));
    write(dir, "junk.cert.pem", std::string("no certificate here"));
    CCertHandler handler;
    testing::internal::CaptureStdout();
    CCertInfo* info = handler.GetEntrySSL(path.c_str(), "alice", 3, 1);
    // A folder ending in "\" names the same file.
    EXPECT_EQ(handler.GetEntrySSL((path + "\\").c_str(), "alice", 0, 0), info);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), path + "/alice.cert.pem\n" + path + "/alice.cert.pem\n");
    ASSERT_NE(info, nullptr);
    EXPECT_EQ(derBytes(info->GetX509Cert()), derBytes(chain.leaf.get()));
    EXPECT_STREQ(info->GetIssuer(), "C=DE, O=Kivo Test, CN=Kivo Intermediate CA");
    EXPECT_EQ(fieldByName(info, "SERIALNUMBER"), "012C");  // BN_bn2hex: whole octets
    EXPECT_EQ(fieldByName(info, "FINGERPRINT"), "");        // not written from files
    testing::internal::CaptureStdout();
    for (const auto& [folder, user] : {std::pair<const char*, const char*>{path.c_str(), "bob"}, {path.c_str(), "junk"},
                                       {nullptr, "alice"}, {path.c_str(), nullptr}, {"", "alice"}}) {
        EXPECT_EQ(handler.GetEntrySSL(folder, user, 0, 0), nullptr) << (user ? user : "null");
    }
    testing::internal::GetCapturedStdout();
    // The card store name reads no file: an empty object, or the filled one
    // as it stands.
    CCertHandler fresh;
    EXPECT_EQ(fresh.GetEntrySSL("--SCARD--", "alice", 0, 0)->GetX509Cert(), nullptr);
    EXPECT_EQ(handler.GetEntrySSL("--SCARD--", "ignored", 1, 2), info);
}

TEST(CertHandlerEntry, FromTheFirstSignerOfAContainer) {
    Chain chain;
    auto otherKey = kivo::test::generateKey(KeyKind::EcP384);
    auto other = issued("/CN=Second Signer", otherKey.get(), nullptr, nullptr, 900);
    // The signer infos form a SET OF, which DER orders by encoding; the
    // first one is whichever OpenSSL reads first.
    const Bytes pkcs7 = pkcs7Signed({{chain.leaf.get(), chain.leafKey.get()}, {other.get(), otherKey.get()}});
    const unsigned char* cursor = pkcs7.data();
    PKCS7* parsed = d2i_PKCS7(nullptr, &cursor, static_cast<long>(pkcs7.size()));
    X509* first = ASN1_INTEGER_get(sk_PKCS7_SIGNER_INFO_value(PKCS7_get_signer_info(parsed), 0)->issuer_and_serial->serial) == 900
                      ? other.get()
                      : chain.leaf.get();
    PKCS7_free(parsed);
    CCertHandler handler;
    CCertInfo* info = handler.GetCertFromPKCS7(pkcs7.data(), pkcs7.size());
    ASSERT_NE(info, nullptr);
    EXPECT_EQ(derBytes(info->GetX509Cert()), derBytes(first));
    EXPECT_EQ(fieldByName(info, "FINGERPRINT"), sha1Fingerprint(first));

    BIO* data = BIO_new_mem_buf("signed content", -1);
    CMS_ContentInfo* signedData = CMS_sign(other.get(), otherKey.get(), nullptr, data, CMS_BINARY);
    unsigned char* der = nullptr;
    const int length = i2d_CMS_ContentInfo(signedData, &der);
    const Bytes cms(der, der + length);
    OPENSSL_free(der);
    CMS_ContentInfo_free(signedData);
    BIO_free(data);
    info = handler.GetCertFromPKCS7(cms.data(), cms.size());
    ASSERT_NE(info, nullptr);
    EXPECT_EQ(fieldByName(info, "DISPLAYNAME"), "Second Signer");

    // A copy owns its certificate object.
    auto original = std::make_unique<CCertHandler>(handler);
    CCertHandler copy(*original);
    original.reset();
    EXPECT_EQ(derBytes(copy.GetEntrySSL("--SCARD--", "", 0, 0)->GetX509Cert()), derBytes(other.get()));

    // No certificates in the container, a broken one, none, or no container.
    for (const Bytes& bad : {pkcs7Signed({{chain.leaf.get(), chain.leafKey.get()}}, PKCS7_NOCERTS),
                             Bytes(cms.begin(), cms.begin() + static_cast<long>(cms.size() / 2)), derBytes(chain.leaf.get())}) {
        EXPECT_EQ(handler.GetCertFromPKCS7(bad.data(), bad.size()), nullptr);
    }
    EXPECT_EQ(handler.GetCertFromPKCS7(nullptr, 10), nullptr);
}

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
