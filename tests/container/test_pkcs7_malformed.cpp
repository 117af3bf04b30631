// CPKCS7SSL on input it must refuse, one representative per rule (arbitrary
// octets: fuzz/fuzz_container.cpp), and other content types.

#include "tests/support/ContainerTestUtil.h"

#include "tests/support/LogCapture.h"

#include <gtest/gtest.h>

#include <climits>

using namespace kivo::test::container;
using kivo::test::KeyKind;
using kivo::test::cms::join;
using kivo::test::cms::oidElement;
using kivo::test::cms::tlv;

namespace {

const char* const kSignedData = "1.2.840.113549.1.7.2";

// The members that take a length fail on `input` and write nothing; `enveloped` is isEnveloped's answer.
void expectLengthMembersFail(const Bytes& input, int enveloped) {
    Message m(input);
    unsigned long n = 4711;
    EXPECT_EQ(CPKCS7SSL::GetSignerCertNum(m.p(), m.len) + CPKCS7SSL::GetNCertNum(m.p(), m.len) + CPKCS7SSL::GetSignedAttrCertNum(m.p(), m.len), 0);
    for (const CallerBufferMember member : {&CPKCS7SSL::GetSignerCert, &CPKCS7SSL::GetSignerCertEx, &CPKCS7SSL::GetNCert, &CPKCS7SSL::GetSignedAttrCert}) {
        EXPECT_TRUE(callIndexed(member, input, 0).untouched());
    }
    EXPECT_EQ(CPKCS7SSL::GetData(m.p(), m.len, nullptr, &n), -1);
    EXPECT_FALSE(hashOf(CPKCS7SSL::GetHash, input) || hashOf(CPKCS7SSL::GetTimestampHash, input));
    EXPECT_TRUE(CPKCS7SSL::GetHashAlgo(m.p(), m.len, 0, &n) == nullptr && CPKCS7SSL::GetHashFromSignature(m.p(), m.len, &n) == nullptr);
    EXPECT_EQ(n, 4711u);
    EXPECT_EQ(CPKCS7SSL::GetVersion(m.p(), m.len) + CPKCS7SSL::GetSigningTime(m.p(), m.len) + CPKCS7SSL::GetCipherCertNum(m.p(), m.len), 0);
    EXPECT_TRUE(!CPKCS7SSL::IsTimestamp(m.p(), m.len) && CPKCS7SSL::isEnveloped(m.p(), m.len) == enveloped);
    EXPECT_EQ((Codes{verify(input), verifyCms(input, Bytes{'c'}), verifyCms(input, std::nullopt)}), (Codes{-22, -22, -22}));
}

// The members without a length, which take it from the outer header.
void expectHeaderMembersFail(const Bytes& input) {
    Message m(input);
    unsigned long size = 4711;
    Bytes out(input.size() + 1, 0xEE);
    EXPECT_EQ((Codes{CPKCS7SSL::GetSignatureBlobSize(m.p(), &size, 0, true), CPKCS7SSL::GetRSAKeySize(m.p(), &size)}), (Codes{-94, -22}));
    EXPECT_EQ((Codes{CPKCS7SSL::GetSignatureBlob(m.p(), out.data(), 0, false), CPKCS7SSL::GetSignerRSAKey(m.p(), out.data(), 0)}), (Codes{-94, -94}));
    EXPECT_TRUE(size == 4711u && out == Bytes(input.size() + 1, 0xEE));
    EXPECT_EQ(CPKCS7SSL::GetSignerRSAKeySize(m.p(), 0), -1);
}

Bytes contentInfo(const char* type, const Bytes& content) { return tlv(0x30, join({oidElement(type), tlv(0xA0, content)})); }

Bytes rsaBuilderMessage() { return signedBuilderMessage(TestPki::instance().signer(KeyKind::Rsa2048), {}); }

TEST(Pkcs7InspectMalformed, HostileDerFailsEveryMember) {
    Bytes nested = oidElement(kSignedData);
    for (int i = 0; i < 2000; ++i) nested = tlv(i % 2 == 0 ? 0xA0 : 0x30, nested);
    const Bytes noSigners = contentInfo(kSignedData, tlv(0x30, kivo::test::hex("020101 3100 300B06092A864886F70D010701 3100")));
    // enveloped: none when the length members are not asked.
    const struct { const char* what; Bytes der; std::optional<int> enveloped; bool headerMembers; } cases[] = {
        {"empty", {}, 0, false},
        {"signedData without content", tlv(0x30, oidElement(kSignedData)), -22, false},
        {"2 GB claimed", join({kivo::test::hex("30847FFFFFFF"), oidElement(kSignedData)}), 0, false},
        {"indefinite length", join({Bytes{0x30, 0x80}, oidElement(kSignedData), Bytes(300, 0x00)}), -22, true},
        {"2000 levels", nested, 0, true},
        {"high tag number", join({kivo::test::hex("3F818004"), Bytes(300, 0)}), std::nullopt, true},
        {"no signers", noSigners, std::nullopt, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.enveloped) expectLengthMembersFail(c.der, *c.enveloped);
        if (c.headerMembers) expectHeaderMembersFail(c.der);
    }
    Message m(noSigners);
    unsigned long n = 0;
    EXPECT_TRUE(CPKCS7SSL::GetVersion(m.p(), m.len) == 1 && CPKCS7SSL::GetHashFromSignature(m.p(), m.len, &n) != nullptr);
    EXPECT_EQ((Codes{callIndexed(CPKCS7SSL::GetSignerCert, noSigners, 0).result, verify(noSigners)}), (Codes{-22, -22}));
    EXPECT_EQ(hashOf(CPKCS7SSL::GetHash, noSigners), std::nullopt);
    Message signature(rsaBuilderMessage());
    EXPECT_EQ((Codes{CPKCS7SSL::GetSignerCertNum(signature.p(), 0x80000000UL), CPKCS7SSL::VerifyCMS(signature.p(), 0x80000000UL, nullptr, 0)}), (Codes{0, -22}))
        << "a length beyond what OpenSSL's streams take is refused before anything is read";
}

// The sid's serial number changed: no signer certificate, but the digest (an attribute) is still read.
TEST(Pkcs7InspectMalformed, SignerWhoseCertificateIsNotInTheMessage) {
    Bytes der = rsaBuilderMessage();
    auto serialPath = signerInfoPath(der, 0, 1);
    serialPath.push_back(1);
    Bytes serial = elementAtPath(der, serialPath);
    serial.back() ^= 0x01;
    der = replaceAt(der, serialPath, serial);
    Message m(der);
    EXPECT_EQ(CPKCS7SSL::GetSignerCertNum(m.p(), m.len), 1);
    EXPECT_EQ((Codes{callIndexed(CPKCS7SSL::GetSignerCert, der, 0).result, verify(der), CPKCS7SSL::GetSignerRSAKeySize(m.p(), 0)}), (Codes{-22, -22, -1}));
    EXPECT_TRUE(hashOf(CPKCS7SSL::GetHash, der));
}

TEST(Pkcs7InspectMalformed, AttributeValuesOfTheWrongShape) {
    kivo::test::ScopedTimeZone utc("UTC0");
    const Bytes der = signedBuilderMessage(TestPki::instance().signer(KeyKind::EcP256), {});
    // Signed attribute `index` (1 signingTime, 2 messageDigest) with `value` as its only value.
    const auto with = [&](std::size_t index, const Bytes& value) {
        auto path = signerInfoPath(der, 0, 3);
        path.insert(path.end(), {index, 1});
        return replaceAt(der, path, tlv(0x31, value));
    };
    const auto timeOf = [](const Bytes& message) { return CPKCS7SSL::GetSigningTime(Message(message).p(), static_cast<unsigned long>(message.size())); };
    EXPECT_FALSE(hashOf(CPKCS7SSL::GetHash, with(2, Bytes{0x02, 0x01, 0x05})) || hashOf(CPKCS7SSL::GetHash, with(2, tlv(0x04, Bytes(300, 0xAB)))))
        << "an INTEGER or a 300-octet digest";
    EXPECT_EQ(hashOf(CPKCS7SSL::GetHash, with(2, tlv(0x04, Bytes(200, 0xAB)))), Bytes(200, 0xAB));
    EXPECT_EQ(timeOf(with(1, Bytes{0x02, 0x01, 0x05})), 0) << "INTEGER time";
    EXPECT_EQ(timeOf(with(1, kivo::test::tlv(0x18, std::string_view("20260202094117Z")))), 1770025277);
}

TEST(Pkcs7InspectMalformed, IndexesOutOfRangeAndNullPointers) {
    const Bytes der = rsaBuilderMessage();
    Message m(der);
    Bytes out(der.size(), 0xEE);
    for (const int index : {-1, 1, INT_MAX, INT_MIN}) {
        SCOPED_TRACE(index);
        for (const CallerBufferMember member : {&CPKCS7SSL::GetSignerCert, &CPKCS7SSL::GetSignerCertEx, &CPKCS7SSL::GetNCert}) {
            const Output output = callIndexed(member, der, index);  // GetSignerCertEx: -1, not found
            EXPECT_TRUE(output.untouched() && output.result == (member == &CPKCS7SSL::GetSignerCertEx ? -1 : -22));
        }
        unsigned long n = 77;
        EXPECT_TRUE(CPKCS7SSL::GetHashAlgo(m.p(), m.len, index, &n) == nullptr && CPKCS7SSL::GetSignerRSAKeySize(m.p(), index) == -1);
        EXPECT_EQ(CPKCS7SSL::GetSignatureBlobSize(m.p(), &n, index, false) + CPKCS7SSL::GetSignatureBlob(m.p(), out.data(), index, true) +
                      CPKCS7SSL::GetSignerRSAKey(m.p(), out.data(), index), -282);
        EXPECT_EQ(n, 77u);
    }
    EXPECT_EQ(out, Bytes(der.size(), 0xEE));
    unsigned long n = 0;
    unsigned char* nullBuffer = nullptr;
    EXPECT_EQ((Codes{CPKCS7SSL::GetSignerCertNum(nullptr, m.len), CPKCS7SSL::Verify(nullptr, m.len), CPKCS7SSL::GetData(m.p(), m.len, nullptr, nullptr)}), (Codes{0, -22, -1}));
    EXPECT_EQ(CPKCS7SSL::GetSignerCert(m.p(), m.len, 0, nullptr, &n) + CPKCS7SSL::GetSignerCert(m.p(), m.len, 0, &nullBuffer, &n) +
                  CPKCS7SSL::GetNCert(m.p(), m.len, 0, &nullBuffer, nullptr) + CPKCS7SSL::GetRSAKeySize(m.p(), nullptr), -88);
    EXPECT_EQ(CPKCS7SSL::GetSignatureBlobSize(m.p(), nullptr, 0, false) + CPKCS7SSL::GetSignatureBlob(m.p(), nullptr, 0, false) +
                  CPKCS7SSL::GetSignerRSAKey(m.p(), nullptr, 0), -282);
    EXPECT_EQ(CPKCS7SSL::GetHash(m.p(), m.len, nullptr), nullptr);
    EXPECT_EQ(CPKCS7SSL::GetSignerRSAKeySize(nullptr, 0), -1);
}

TEST(Pkcs7InspectContentType, EnvelopedAndEncryptedAnswers) {
    STACK_OF(X509)* recipients = sk_X509_new_null();
    sk_X509_push(recipients, TestPki::instance().signer(KeyKind::Rsa2048).cert.get());
    BioPtr data(BIO_new_mem_buf("secret", 6)), envelopedDer(BIO_new(BIO_s_mem()));
    Pkcs7Ptr enveloped(PKCS7_encrypt(recipients, data.get(), EVP_aes_128_cbc(), PKCS7_BINARY));
    sk_X509_free(recipients);
    i2d_PKCS7_bio(envelopedDer.get(), enveloped.get());
    // data, AES-128-CBC with its IV, 32 encrypted octets
    const Bytes encrypted = join({kivo::test::hex("304C 06092A864886F70D010701 301D0609608648016503040102 0410"), Bytes(16, 1),
                                  kivo::test::hex("8020"), Bytes(32, 0x5A)});
    const struct { const char* what; Bytes der; int enveloped; int cipherCerts; } cases[] = {
        {"envelopedData", kivo::test::cms::bioBytes(envelopedDer.get()), -22, 0},
        {"signedAndEnvelopedData", contentInfo("1.2.840.113549.1.7.4", tlv(0x30, join({kivo::test::hex("020101 3100 3100"), encrypted, Bytes{0x31, 0}}))), 0, 0},
        {"encryptedData", contentInfo("1.2.840.113549.1.7.6", tlv(0x30, join({kivo::test::hex("020100"), encrypted}))), -22, -22},
        {"data", contentInfo("1.2.840.113549.1.7.1", tlv(0x04, {'d'})), -22, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_TRUE(parsePkcs7(c.der));
        Message m(c.der);
        EXPECT_EQ(CPKCS7SSL::isEnveloped(m.p(), m.len), c.enveloped);
        EXPECT_EQ(CPKCS7SSL::GetCipherCertNum(m.p(), m.len), c.cipherCerts);
        EXPECT_EQ((Codes{CPKCS7SSL::GetSignerCertNum(m.p(), m.len), CPKCS7SSL::GetVersion(m.p(), m.len), verify(c.der)}), (Codes{0, 0, -22}));
        expectHeaderMembersFail(c.der);
    }
}

// The members log their entry (one representative); GetHashFromSignature answers an empty digest.
TEST(Pkcs7InspectInterface, EntryLoggedAndEmptyHashFromSignature) {
    Message m(rsaBuilderMessage());
    unsigned long n = 4711;
    const unsigned char* empty = CPKCS7SSL::GetHashFromSignature(m.p(), m.len, &n);
    EXPECT_TRUE(empty != nullptr && empty[0] + n == 0u);
    kivo::test::LogCapture log(CPKCS7SSL::m_logger);
    Bytes out(16);
    CPKCS7SSL::GetSignatureBlob(m.p(), out.data(), 1, false);
    ASSERT_FALSE(log.events().empty());
    const auto first = log.events()[0];
    EXPECT_EQ(first.level + " " + first.logger + " " + first.message, "DEBUG KivoCryptoSSL.CPKCS7SSL entering GetSignatureBlob");
}

}  // namespace
