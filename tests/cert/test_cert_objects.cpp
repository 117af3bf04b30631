// The certificate objects: CCertHandler's texts compared with what OpenSSL
// prints; the CCertInfo object filled from an X509, a key store's files and
// PKCS#7 and CMS containers; the process-wide trust store and its issuer
// walk; and CDirHelp's search.

#include <gtest/gtest.h>

#include <openssl/pem.h>
#include <openssl/pkcs7.h>
#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "CertHandlerSSL.h"
#include "CertInfoSSL.h"
#include "src/cert/DirHelp.h"
#include "src/frame/NameText.h"
#include "tests/support/TestSupport.h"
#include "tools/testpki/Pki.h"

using namespace kivo::test;

namespace {

using Bytes = std::vector<unsigned char>;

// Writes `content` to `name` below `dir`, making the folders on the way.
template <class Content> void write(const TempDir& dir, const std::string& name, const Content& content) {
    std::filesystem::create_directories(std::filesystem::path(dir.file(name)).parent_path());
    std::ofstream(dir.file(name), std::ios::binary).write(reinterpret_cast<const char*>(content.data()), std::ssize(content));
}

// What OpenSSL wrote into a memory BIO, which is freed.
std::string textOf(BIO* bio) {
    char* data = nullptr;
    const long length = BIO_get_mem_data(bio, &data);
    std::string text(data, static_cast<std::size_t>(length));
    BIO_free(bio);
    return text;
}

std::string pemOf(X509* cert) {
    BIO* bio = BIO_new(BIO_s_mem());
    PEM_write_bio_X509(bio, cert);
    return textOf(bio);
}

// A certificate signed under `issuer`, self-signed when that is null.
X509Ptr issued(const std::string& subject, EVP_PKEY* subjectKey, X509* issuer, EVP_PKEY* issuerKey, long serial,
               bool isCa = true) {
    return makeCertificate({.subject = subject, .subjectKey = subjectKey, .issuerCert = issuer, .issuerKey = issuerKey,
                            .serial = serial, .isCa = isCa});
}

X509Ptr selfSigned(const std::string& subject, long serial) {
    return issued(subject, generateKey(KeyKind::EcP256).get(), nullptr, nullptr, serial);
}

// Root (EC P-384), intermediate (EC P-256) and end entity (RSA 2048).
struct Chain {
    EvpKeyPtr rootKey = generateKey(KeyKind::EcP384);
    EvpKeyPtr intermediateKey = generateKey(KeyKind::EcP256);
    EvpKeyPtr leafKey = generateKey(KeyKind::Rsa2048);
    X509Ptr root = issued("/C=DE/O=Kivo Test/CN=Kivo Root CA", rootKey.get(), nullptr, nullptr, 100);
    X509Ptr intermediate = issued("/C=DE/O=Kivo Test/CN=Kivo Intermediate CA", intermediateKey.get(), root.get(), rootKey.get(), 200);
    X509Ptr leaf = issued("/C=DE/O=Kivo Test/CN=Kivo Signer", leafKey.get(), intermediate.get(), intermediateKey.get(), 300, false);
};


// München and Jürgen in UTF-8; the readable name folds them to Latin-1.
constexpr const char* kReadableSubject = "C=DE, ST=Bayern, L=M\xFCnchen, O=Kivo GmbH, OU=Test, CN=J\xFCrgen Test";

// Valid from 2024-07-01 12:00:00 UTC (a Monday) to 2030-01-15 08:30:05 UTC.
kivo::test::X509Ptr describedCertificate() {
    auto key = generateKey(KeyKind::Rsa2048);
    return makeCertificate({.subject = "/C=DE/ST=Bayern/L=M\xC3\xBCnchen/O=Kivo GmbH/OU=Test/CN=J\xC3\xBCrgen Test",
                            .subjectKey = key.get(), .serial = 0x0123456789ABCDEF, .notBefore = 1719835200,
                            .notAfter = 1894696205, .extensions = {{"keyUsage", "critical,digitalSignature,nonRepudiation"}}});
}

std::string opensslName(X509_NAME* name, unsigned long flags) {
    BIO* bio = BIO_new(BIO_s_mem());
    X509_NAME_print_ex(bio, name, 0, flags);
    return textOf(bio);
}

std::string sha1Fingerprint(X509* cert) {
    const Bytes der = derOf(cert);
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
    std::string out(2047, '#');
    EXPECT_EQ(helper(cert, out.data()), 0);
    return out.c_str();
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


TEST(CertHandlerTexts, MatchWhatOpenSSLPrints) {
    auto cert = describedCertificate();
    X509* x = cert.get();
    std::string printed = opensslName(X509_get_subject_name(x), 0x20317);
    kivo::foldEscapedUtf8ToLatin1(printed);
    EXPECT_EQ(printed, kReadableSubject);
    const std::pair<int (*)(x509_st*, char*), std::string> texts[] = {
        {CCertHandler::GetSubjectSSL, printed}, {CCertHandler::GetIssuerSSL, printed},  // self-signed
        {CCertHandler::GetSerialNumberSSL, "0123456789ABCDEF"}, {CCertHandler::GetFingerPrintSSL, sha1Fingerprint(x)},
        {CCertHandler::GetSignatureAlgSSL, OBJ_nid2ln(X509_get_signature_nid(x))},
        {CCertHandler::GetSubjectsNameSSL, "J\xC3\xBCrgen Test"},
        {CCertHandler::GetKeyUsageSSL, std::to_string(KU_DIGITAL_SIGNATURE | KU_NON_REPUDIATION)}};
    for (const auto& [helper, expected] : texts) EXPECT_EQ(rendered(helper, x), expected);
    EXPECT_EQ(CCertHandler::GetCertVersionSSL(x), 2u);

    // UTC fields read as local standard time, shown as local time.
    const struct { const char* zone; int (*helper)(x509_st*, char*, int); int format; const char* expected; } times[] = {
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
    // No key usage and no common name give "0" and "".
    auto ec = issued("/O=No Common Name", kivo::test::generateKey(KeyKind::EcP256).get(), nullptr, nullptr, 1, false);
    EXPECT_EQ(rendered(CCertHandler::GetKeyUsageSSL, ec.get()) + rendered(CCertHandler::GetSubjectsNameSSL, ec.get()), "0");
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
    X509_NAME* name = X509_get_subject_name(ec.get());
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
    EXPECT_EQ(derOf(info->GetX509Cert()), derOf(chain.leaf.get()));
    EXPECT_STREQ(info->GetIssuer(), "C=DE, O=Kivo Test, CN=Kivo Intermediate CA");
    EXPECT_EQ(fieldByName(info, "SERIALNUMBER"), "012C");  // BN_bn2hex: whole octets
    EXPECT_EQ(fieldByName(info, "FINGERPRINT"), "");        // not written from files
    testing::internal::CaptureStdout();
    for (const auto& [folder, user] : {std::pair<const char*, const char*>{path.c_str(), "bob"}, {path.c_str(), "junk"},
                                       {nullptr, "alice"}, {path.c_str(), nullptr}, {"", "alice"}}) {
        EXPECT_EQ(handler.GetEntrySSL(folder, user, 0, 0), nullptr) << (user ? user : "null");
    }
    testing::internal::GetCapturedStdout();
    // The card store name reads no file: an empty object, or the filled one.
    CCertHandler fresh;
    EXPECT_EQ(fresh.GetEntrySSL("--SCARD--", "alice", 0, 0)->GetX509Cert(), nullptr);
    EXPECT_EQ(handler.GetEntrySSL("--SCARD--", "ignored", 1, 2), info);
}

TEST(CertHandlerEntry, FromTheFirstSignerOfAContainer) {
    Chain chain;
    auto otherKey = kivo::test::generateKey(KeyKind::EcP384);
    auto other = issued("/CN=Second Signer", otherKey.get(), nullptr, nullptr, 900);
    // DER orders the SET OF signer infos: the first is the one OpenSSL reads first.
    const Bytes pkcs7 = pkcs7Signed({{chain.leaf.get(), chain.leafKey.get()}, {other.get(), otherKey.get()}});
    const unsigned char* cursor = pkcs7.data();
    PKCS7* parsed = d2i_PKCS7(nullptr, &cursor, static_cast<long>(pkcs7.size()));
    X509* first = ASN1_INTEGER_get(sk_PKCS7_SIGNER_INFO_value(PKCS7_get_signer_info(parsed), 0)->issuer_and_serial->serial) == 900
                      ? other.get() : chain.leaf.get();
    PKCS7_free(parsed);
    CCertHandler handler;
    CCertInfo* info = handler.GetCertFromPKCS7(pkcs7.data(), pkcs7.size());
    ASSERT_NE(info, nullptr);
    EXPECT_EQ(derOf(info->GetX509Cert()), derOf(first));
    EXPECT_EQ(fieldByName(info, "FINGERPRINT"), sha1Fingerprint(first));

    const Bytes cms = pkcs7Signed({{other.get(), otherKey.get()}});
    info = handler.GetCertFromPKCS7(cms.data(), cms.size());
    ASSERT_NE(info, nullptr);
    EXPECT_EQ(fieldByName(info, "DISPLAYNAME"), "Second Signer");


    // No certificates in the container, a broken one, none, or no container.
    for (const Bytes& bad : {pkcs7Signed({{chain.leaf.get(), chain.leafKey.get()}}, PKCS7_NOCERTS),
                             Bytes(cms.begin(), cms.begin() + static_cast<long>(cms.size() / 2)), derOf(chain.leaf.get())}) {
        EXPECT_EQ(handler.GetCertFromPKCS7(bad.data(), bad.size()), nullptr);
    }
    EXPECT_EQ(handler.GetCertFromPKCS7(nullptr, 10), nullptr);
}

TEST(CertInfoObject, DetailLinesAndFieldsByName) {
    CCertInfo info;
    info.SetSubject("C=DE, O=Kivo Test, OU=Signing, CN=Alice Example, E=alice@example.test");
    info.SetIssuer(std::string(3000, 'q').c_str());
    EXPECT_EQ(std::string(info.GetIssuer()), std::string(2047, 'q'));  // cut
    info.SetIssuer("C=DE, O=Kivo Test, CN=Kivo CA");
    info.SetSerialNumber("0A");
    // Components by their place in the fixed list (no "L=" for the issuer);
    // the other fields whole.
    const std::pair<std::pair<int, int>, const char*> details[] = {
        {{0, 0}, "C=DE"}, {{0, 5}, "CN=Alice Example"}, {{0, 6}, "E=alice@example.test"}, {{1, 2}, "O=Kivo Test"},
        {{0, 1}, ""}, {{0, 7}, ""}, {{1, 6}, ""}, {{0, -1}, ""}, {{11, 0}, ""}, {{4, 99}, "0A"}, {{4, -1}, "0A"}};
    for (const auto& [at, expected] : details) EXPECT_STREQ(info.GetDetails(at.first, at.second), expected);
    // Names are compared with their case.
    info.DisplayName("Alice");
    char out[64] = "<untouched>";
    int length = -1;
    EXPECT_EQ(info.GetCertFieldSSL("displayname", out, &length), 0);
    EXPECT_STREQ(out, "<untouched>");
    EXPECT_EQ(info.GetCertFieldSSL("DISPLAYNAME", out, &length), 0);
    EXPECT_EQ(std::string(out) + "/" + std::to_string(length), "Alice/5");
}


constexpr int kChainEnd = static_cast<int>(0x80010000u);

std::size_t storedCount() {
    return CCertInfo::m_store ? static_cast<std::size_t>(sk_X509_OBJECT_num(X509_STORE_get0_objects(CCertInfo::m_store))) : 0;
}

bool storeHolds(X509* cert) {
    STACK_OF(X509_OBJECT)* objects = CCertInfo::m_store ? X509_STORE_get0_objects(CCertInfo::m_store) : nullptr;
    for (int i = 0; i < (objects ? sk_X509_OBJECT_num(objects) : 0); ++i) {
        if (X509_cmp(X509_OBJECT_get0_X509(sk_X509_OBJECT_value(objects, i)), cert) == 0) return true;
    }
    return false;
}

bool addToStore(X509* cert) {
    Bytes der = derOf(cert);
    return CCertInfo::AddCertToSSL_CAStore(der.data(), der.size());
}

int chainSize(X509* cert, const char* storePath) {
    Bytes der = derOf(cert);
    return CCertInfo::sslGetChainSize(der.data(), der.size(), storePath);
}

// The result of sslGetNextChainCert and the issuer it copied out.
std::pair<int, Bytes> nextChainCert(Bytes cert, const char* storePath) {
    Bytes buffer(CCertInfo::kMaxChainCertLength, 0xAA);
    unsigned char* out = buffer.data();
    unsigned long outLength = 0;
    const int result = CCertInfo::sslGetNextChainCert(cert.data(), cert.size(), &out, &outLength, storePath);
    buffer.resize(std::min<std::size_t>(outLength, buffer.size()));
    return {result, buffer};
}

struct TrustStoreTest : ::testing::Test {
    void SetUp() override { CCertInfo::CleanUpSSL_CAStore(); }
    void TearDown() override { CCertInfo::CleanUpSSL_CAStore(); }
};


TEST_F(TrustStoreTest, LoadingADirectory) {
    TempDir dir;
    const std::string path = dir.path().string();
    std::vector<X509Ptr> certs;
    for (long serial = 1; serial <= 7; ++serial) certs.push_back(selfSigned("/CN=File " + std::to_string(serial), serial));
    const auto der = [&](std::size_t i) { const Bytes d = derOf(certs[i].get()); return std::string(d.begin(), d.end()); };
    // Four extensions count, the content decides the format, a certificate
    // twice is taken once; hidden files and subfolders not.
    for (const auto& [name, content] : std::initializer_list<std::pair<const char*, std::string>>{
             {"a.crt", pemOf(certs[0].get())}, {"b.der", pemOf(certs[1].get())}, {"c.pem", der(2)}, {"d.cer", der(2)},
             {"e.txt", pemOf(certs[3].get())}, {".hidden.pem", pemOf(certs[4].get())}, {"sub/f.pem", pemOf(certs[5].get())},
             {"junk.pem", "-----BEGIN CERTIFICATE-----\nnot base64\n"}, {"empty.cer", ""}}) {
        write(dir, name, content);
    }
    EXPECT_EQ(CCertInfo::InitSSL_CAStore(path.c_str(), false), 3);
    EXPECT_EQ(CCertInfo::m_storePath, path);
    EXPECT_EQ(storedCount(), 3u);
    for (std::size_t i = 0; i < 4; ++i) EXPECT_EQ(storeHolds(certs[i].get()), i < 3) << i;
    EXPECT_EQ(CCertInfo::ReadX509_PEM_Cert(dir.file("c.pem")), nullptr);
    EXPECT_EQ(CCertInfo::ReadX509(dir.file("junk.pem"), false), nullptr);

    // The same path is not read again until a clean-up; written differently
    // it is another path; a null path changes nothing.
    write(dir, "later.pem", pemOf(certs[6].get()));
    EXPECT_EQ(CCertInfo::InitSSL_CAStore(path.c_str(), false), 0);
    EXPECT_FALSE(storeHolds(certs[6].get()));
    EXPECT_EQ(CCertInfo::InitSSL_CAStore(nullptr, false), 0);
    EXPECT_EQ(CCertInfo::InitSSL_CAStore((path + "/").c_str(), false), 4);
    EXPECT_TRUE(storeHolds(certs[6].get()));
    CCertInfo::CleanUpSSL_CAStore();
    EXPECT_EQ(CCertInfo::m_store, nullptr);
    EXPECT_EQ(CCertInfo::m_storePath, "unset");
    EXPECT_EQ(CCertInfo::InitSSL_CAStore(path.c_str(), false), 4);
}

TEST_F(TrustStoreTest, AddModeAndCertificatesFromMemory) {
    // The add mode counts "*.crt" files without adding them and adds the
    // others to a store (before any store exists it only counts).
    TempDir dir;
    auto crt = selfSigned("/CN=Counted only", 32), pem = selfSigned("/CN=Added", 33);
    write(dir, "counted.crt", pemOf(crt.get()));
    write(dir, "added.pem", pemOf(pem.get()));
    EXPECT_EQ(CCertInfo::InitSSL_CAStore(dir.path().c_str(), true), 1);
    EXPECT_EQ(CCertInfo::m_store, nullptr);
    ASSERT_TRUE(addToStore(selfSigned("/CN=From memory", 51).get()));  // makes a store
    EXPECT_EQ(CCertInfo::m_storePath, "set");
    EXPECT_EQ(CCertInfo::InitSSL_CAStore(dir.path().c_str(), true), 2);
    EXPECT_EQ(CCertInfo::InitSSL_CAStore(dir.path().c_str(), true), 1);  // added already
    EXPECT_TRUE(storeHolds(pem.get()));
    EXPECT_FALSE(storeHolds(crt.get()));
    EXPECT_FALSE(addToStore(pem.get()));  // held already
    Bytes der = derOf(crt.get());
    EXPECT_FALSE(CCertInfo::AddCertToSSL_CAStore(der.data(), 40));
    EXPECT_FALSE(CCertInfo::AddCertToSSL_CAStore(nullptr, 10));
    EXPECT_EQ(storedCount(), 2u);
}

TEST_F(TrustStoreTest, IssuerWalkAndItsBounds) {
    Chain chain;
    TempDir dir;
    write(dir, "root.pem", pemOf(chain.root.get()));
    write(dir, "intermediate.der", derOf(chain.intermediate.get()));
    const std::string path = dir.path().string();
    const Bytes leaf = derOf(chain.leaf.get()), intermediate = derOf(chain.intermediate.get()),
                root = derOf(chain.root.get());
    EXPECT_EQ(nextChainCert(leaf, nullptr).first, kChainEnd);  // nothing loaded
    EXPECT_EQ(chainSize(chain.leaf.get(), path.c_str()), 2);
    EXPECT_EQ(chainSize(chain.root.get(), path.c_str()), 0);
    EXPECT_EQ(chainSize(chain.leaf.get(), nullptr), 2);  // the store as loaded
    // A self-signed root ends the chain and is copied out itself.
    EXPECT_EQ(nextChainCert(leaf, nullptr), std::make_pair(0, intermediate));
    EXPECT_EQ(nextChainCert(intermediate, nullptr), std::make_pair(0, root));
    EXPECT_EQ(nextChainCert(root, nullptr), std::make_pair(kChainEnd, root));
    EXPECT_EQ(nextChainCert({0x30, 0x03, 0x02, 0x01, 0x01}, nullptr).first, -56);
    EXPECT_EQ(CCertInfo::sslGetChainSize(nullptr, 100, nullptr), 0);

    // A is issued by B and B by A: the walk stops when it meets A again.
    auto keyA = kivo::test::generateKey(KeyKind::EcP256);
    auto keyB = kivo::test::generateKey(KeyKind::EcP384);
    auto seedB = issued("/CN=Cross B", keyB.get(), nullptr, nullptr, 70);
    auto certA = issued("/CN=Cross A", keyA.get(), seedB.get(), keyB.get(), 71);
    auto certB = issued("/CN=Cross B", keyB.get(), certA.get(), keyA.get(), 72);
    ASSERT_TRUE(addToStore(certA.get()) && addToStore(certB.get()));
    EXPECT_EQ(chainSize(issued("/CN=Cross Leaf", keyB.get(), certA.get(), keyA.get(), 73, false).get(), nullptr), 2);

    // An issuer beyond the copy-out bound: refused, the needed length told.
    auto bigRoot = makeCertificate(
        {.subject = "/CN=Big Root", .subjectKey = keyA.get(), .isCa = true, .extensions = {{"nsComment", std::string(12000, 'x')}}});
    ASSERT_TRUE(addToStore(bigRoot.get()));
    auto underBig = issued("/CN=Under Big Root", keyB.get(), bigRoot.get(), keyA.get(), 2, false);
    const auto [result, copied] = nextChainCert(derOf(underBig.get()), nullptr);
    EXPECT_EQ(result, -56);
    EXPECT_EQ(copied.size(), CCertInfo::kMaxChainCertLength);
    EXPECT_EQ(copied, Bytes(CCertInfo::kMaxChainCertLength, 0xAA));
    EXPECT_EQ(chainSize(bigRoot.get(), nullptr), 0);
}

TEST_F(TrustStoreTest, SignatureCheck) {
    Chain chain;
    const Bytes leaf = derOf(chain.leaf.get()), intermediate = derOf(chain.intermediate.get()),
                root = derOf(chain.root.get()), junk = {0x30, 0x03, 0x02, 0x01, 0x01};
    Bytes tampered = leaf;
    tampered[tampered.size() - 5] ^= 0x01;  // in the signature value
    const struct { Bytes cert, issuer; int result; } rows[] = {{leaf, intermediate, 0}, {intermediate, root, 0},
        {root, root, 0}, {leaf, root, 1}, {tampered, intermediate, 1}, {junk, intermediate, -56}, {leaf, junk, -56}};
    for (auto [cert, issuer, result] : rows) {
        EXPECT_EQ(CCertInfo::sslCheckCertSignature(cert.data(), cert.size(), issuer.data(), issuer.size(), "unused"), result);
    }
}


// The names the walker hands out, in hand-out order, relative to `dir`.
std::vector<std::string> found(const TempDir& dir, const std::string& start, const char* pattern,
                               const char* excluded, int recursive, int maximum) {
    CDirHelp walker(start, pattern, excluded, recursive, maximum);
    std::vector<std::string> names;
    CDirHelp::Entry entry;
    while (walker.NextEntry(entry) == 0) {
        EXPECT_FALSE(entry.isDirectory);
        names.push_back(entry.path.substr(dir.path().string().size() + 1));
    }
    EXPECT_EQ(walker.NextEntry(entry), -1);
    return names;
}

using Names = std::vector<std::string>;


TEST(DirHelp, WhatASearchCollectsAndInWhichOrder) {
    TempDir dir;
    for (const char* name : {"b.pem", "A2.PEM", ".hidden.pem", "notes.txt", "b.pem.bak", "plain", "skip.xxx",
                             "part.uploading", "part.pem-uploading1", "keep.XXX", "sub/inner.pem"}) {
        write(dir, name, std::string("x"));
    }
    ::mkfifo(dir.file("pipe.pem").c_str(), 0600);
    dir.folder("folder.pem");
    const std::string path = dir.path().string();
    // Found in byte order, handed out from the back; patterns ignore case and
    // "*.*" matches names without a dot; the excluded extension is compared
    // exactly; an extension containing "uploading" never comes.
    EXPECT_EQ(found(dir, path, "*.pem", "xxx", 0, 100), (Names{"b.pem", "A2.PEM"}));
    EXPECT_EQ(found(dir, path, "*.*", "xxx", 0, 100),
              (Names{"plain", "notes.txt", "keep.XXX", "b.pem.bak", "b.pem", "A2.PEM"}));
    EXPECT_EQ(found(dir, path, "*.*", "", 0, 100).size(), 7u);
    EXPECT_EQ(found(dir, path, "b.?e?", "", 0, 100), (Names{"b.pem"}));
    EXPECT_EQ(found(dir, path, "*.*", "xxx", 0, 2), (Names{"b.pem", "A2.PEM"}));  // the first two found
    EXPECT_EQ(found(dir, path + "/", "b.pem", "xxx", 0, 10), (Names{"b.pem"}));  // no second separator
    EXPECT_TRUE(found(dir, path, "*.pem", "xxx", 0, 0).empty());
    EXPECT_TRUE(found(dir, dir.file("no-such-folder"), "*.pem", "xxx", 0, 100).empty());
}

TEST(DirHelp, RecursiveModeSkipsLockedFolders) {
    TempDir dir;
    // A folder whose companion ".lock" is itself a folder is not locked.
    for (const char* name : {"top.pem", "open/a.pem", "busy/b.pem", "busy.lock", "open/deeper/c.pem", "odd/d.pem"}) {
        write(dir, name, std::string("x"));
    }
    dir.folder("odd.lock");
    EXPECT_EQ(found(dir, dir.path().string(), "*.pem", "xxx", 0, 100), (Names{"top.pem"}));
    Names all = found(dir, dir.path().string(), "*.pem", "xxx", 1, 100);
    std::sort(all.begin(), all.end());
    EXPECT_EQ(all, (Names{"odd/d.pem", "open/a.pem", "open/deeper/c.pem", "top.pem"}));
}

}  // namespace
