// Every CPKCS7SSL member on input it must refuse, one representative per
// rule: a message cut short, hostile but well-formed DER (lengths beyond the
// input, indefinite lengths, deep nesting, high tag numbers), other content
// types, out-of-range indexes and null pointers; arbitrary octets are left
// to fuzz/fuzz_container.cpp. Inputs are exact-size heap copies, so
// AddressSanitizer builds see any read past them. Also the interface's
// fixed answers (stubs) and the entry log line of every member.

#include "tests/support/ContainerTestUtil.h"

#include "tests/support/LogCapture.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <climits>
#include <functional>
#include <cstring>
#include <set>

using namespace kivo::test::container;
using kivo::test::KeyKind;
using kivo::test::cms::BuildOptions;
using kivo::test::cms::HeapCopy;
using kivo::test::cms::join;
using kivo::test::cms::oidElement;
using kivo::test::cms::tlv;

namespace {

// Calls every member that takes a length on `input` and expects the
// failure value of each; output buffers are as large as the input, and
// must stay untouched.
// `enveloped` is isEnveloped's answer: 0 for input that does not parse,
// -22 for a parsable message of another type.
void expectEveryLengthMemberFails(const Bytes& input, const std::string& what, int enveloped = 0) {
    SCOPED_TRACE(what);
    HeapCopy copy(input);
    unsigned char* der = mutableData(copy);
    const auto len = static_cast<unsigned long>(input.size());

    EXPECT_EQ(CPKCS7SSL::GetSignerCertNum(der, len), 0);
    EXPECT_EQ(CPKCS7SSL::GetNCertNum(der, len), 0);
    for (const CallerBufferMember member : {&CPKCS7SSL::GetSignerCert, &CPKCS7SSL::GetSignerCertEx, &CPKCS7SSL::GetNCert}) {
        const Output out = callIndexed(member, input, 0);
        EXPECT_EQ(out.result, -22);
        EXPECT_TRUE(out.untouched());
    }
    const Output attrCert = callIndexed(CPKCS7SSL::GetSignedAttrCert, input, 0);
    EXPECT_EQ(attrCert.result, 0);
    EXPECT_TRUE(attrCert.untouched());
    EXPECT_EQ(CPKCS7SSL::GetSignedAttrCertNum(der, len), 0);

    Bytes buffer(input.size() + 1, 0xEE);
    unsigned char* out = buffer.data();
    unsigned long outLen = static_cast<unsigned long>(buffer.size());
    EXPECT_EQ(CPKCS7SSL::GetData(der, len, &out, &outLen), -1);
    EXPECT_EQ(outLen, buffer.size());
    unsigned long hashLen = 4711;
    EXPECT_EQ(CPKCS7SSL::GetHash(der, len, &hashLen), nullptr);
    EXPECT_EQ(CPKCS7SSL::GetTimestampHash(der, len, &hashLen), nullptr);
    EXPECT_EQ(CPKCS7SSL::GetHashAlgo(der, len, 0, &hashLen), nullptr);
    EXPECT_EQ(CPKCS7SSL::GetHashFromSignature(der, len, &hashLen), nullptr);
    EXPECT_EQ(hashLen, 4711u);
    EXPECT_EQ(CPKCS7SSL::GetVersion(der, len), 0);
    EXPECT_EQ(CPKCS7SSL::GetSigningTime(der, len), 0);
    EXPECT_FALSE(CPKCS7SSL::IsTimestamp(der, len));
    EXPECT_EQ(CPKCS7SSL::GetCipherCertNum(der, len), 0);
    EXPECT_EQ(CPKCS7SSL::isEnveloped(der, len), enveloped);
    EXPECT_EQ(CPKCS7SSL::Verify(der, len), -22);
    Bytes content = {'c'};
    EXPECT_EQ(CPKCS7SSL::VerifyCMS(der, len, content.data(), 1), -22);
    EXPECT_EQ(CPKCS7SSL::VerifyCMS(der, len, nullptr, 0), -22);
    EXPECT_EQ(buffer, Bytes(input.size() + 1, 0xEE));

    // AddTimeStamp on a copy with room for the token.
    const Bytes token = tlv(0x30, Bytes(300, 0x11));
    Bytes withRoom = join({input, Bytes(token.size() + 25, 0xEE)});
    HeapCopy room(withRoom);
    Bytes tokenCopy = token;
    unsigned long length = len;
    EXPECT_EQ(CPKCS7SSL::AddTimeStamp(mutableData(room), &length, tokenCopy.data(),
                                      static_cast<unsigned long>(tokenCopy.size())),
              -22);
    EXPECT_EQ(length, len);
    EXPECT_EQ(Bytes(room.data(), room.data() + room.size()), withRoom);
}

// The members without a length argument on a message whose outer header
// claims exactly the octets that are there.
void expectEveryHeaderMemberFails(const Bytes& input, const std::string& what) {
    SCOPED_TRACE(what);
    HeapCopy copy(input);
    unsigned char* der = mutableData(copy);
    unsigned long size = 4711;
    EXPECT_EQ(CPKCS7SSL::GetSignatureBlobSize(der, &size, 0, false), -94);
    EXPECT_EQ(CPKCS7SSL::GetSignatureBlobSize(der, &size, 0, true), -94);
    EXPECT_EQ(size, 4711u);
    Bytes out(input.size() + 1, 0xEE);
    EXPECT_EQ(CPKCS7SSL::GetSignatureBlob(der, out.data(), 0, false), -94);
    EXPECT_EQ(CPKCS7SSL::GetSignerRSAKey(der, out.data(), 0), -94);
    EXPECT_EQ(out, Bytes(input.size() + 1, 0xEE));
    EXPECT_EQ(CPKCS7SSL::GetSignerRSAKeySize(der, 0), -1);
    unsigned long offset = 4711;
    EXPECT_EQ(CPKCS7SSL::GetRSAKeySize(der, &offset), -22);
    EXPECT_EQ(offset, 4711u);
}

// ---- hostile DER ----------------------------------------------------------------------------

Bytes contentInfo(const char* type, const Bytes& content) {
    return tlv(0x30, join({oidElement(type), tlv(0xA0, content)}));
}

// SignedData with the given parts (empty ones left out where optional).
Bytes signedData(const Bytes& digestAlgorithms, const Bytes& certificates, const Bytes& signers) {
    Bytes body = join({Bytes{0x02, 0x01, 0x01}, tlv(0x31, digestAlgorithms), tlv(0x30, oidElement("1.2.840.113549.1.7.1"))});
    if (!certificates.empty()) body = join({body, tlv(0xA0, certificates)});
    body = join({body, tlv(0x31, signers)});
    return contentInfo("1.2.840.113549.1.7.2", tlv(0x30, body));
}

TEST(Pkcs7InspectMalformed, WellFormedButEmptyOrContradictory) {
    // signedData without its [0] content.
    expectEveryLengthMemberFails(tlv(0x30, oidElement("1.2.840.113549.1.7.2")), "no content", -22);
    expectEveryHeaderMemberFails(tlv(0x30, join({oidElement("1.2.840.113549.1.7.2"), Bytes(300, 0)})), "zeros");

    // No signers, no certificates: counts 0, the rest fails.
    const Bytes empty = signedData({}, {}, {});
    HeapCopy copy(empty);
    const auto len = static_cast<unsigned long>(empty.size());
    EXPECT_EQ(CPKCS7SSL::GetSignerCertNum(mutableData(copy), len), 0);
    EXPECT_EQ(CPKCS7SSL::GetNCertNum(mutableData(copy), len), 0);
    EXPECT_EQ(CPKCS7SSL::GetVersion(mutableData(copy), len), 1);
    EXPECT_EQ(callIndexed(CPKCS7SSL::GetSignerCert, empty, 0).result, -22);
    EXPECT_EQ(callIndexed(CPKCS7SSL::GetSignerCertEx, empty, 0).result, -22);
    EXPECT_EQ(callIndexed(CPKCS7SSL::GetNCert, empty, 0).result, -22);
    unsigned long n = 0;
    EXPECT_EQ(CPKCS7SSL::GetHash(mutableData(copy), len, &n), nullptr);
    EXPECT_EQ(CPKCS7SSL::GetHashAlgo(mutableData(copy), len, 0, &n), nullptr);
    EXPECT_EQ(CPKCS7SSL::GetSigningTime(mutableData(copy), len), 0);
    EXPECT_EQ(CPKCS7SSL::Verify(mutableData(copy), len), -22);
    Bytes content = {'x'};
    EXPECT_EQ(CPKCS7SSL::VerifyCMS(mutableData(copy), len, content.data(), 1), -22);
    EXPECT_EQ(CPKCS7SSL::GetData(mutableData(copy), len, nullptr, &n), -1);
    EXPECT_NE(CPKCS7SSL::GetHashFromSignature(mutableData(copy), len, &n), nullptr);
    expectEveryHeaderMemberFails(empty, "no signers");
}

TEST(Pkcs7InspectMalformed, SignerWhoseCertificateIsNotInTheMessage) {
    BuildOptions options;
    Bytes der = signedBuilderMessage(TestPki::instance().signer(KeyKind::Rsa2048), options);
    // The last octet of the sid's serial number changed.
    auto sidPath = signerInfoPath(der);
    sidPath.push_back(1);
    auto serialPath = sidPath;
    serialPath.push_back(1);
    Bytes serial = elementAtPath(der, serialPath);
    serial.back() ^= 0x01;
    der = replaceAt(der, serialPath, serial);

    const auto len = static_cast<unsigned long>(der.size());
    HeapCopy copy(der);
    EXPECT_EQ(CPKCS7SSL::GetSignerCertNum(mutableData(copy), len), 1);
    EXPECT_EQ(callIndexed(CPKCS7SSL::GetSignerCert, der, 0).result, -22);
    EXPECT_EQ(callIndexed(CPKCS7SSL::GetSignerCertEx, der, 0).result, -22);
    EXPECT_EQ(CPKCS7SSL::GetSignerRSAKeySize(mutableData(copy), 0), -1);
    Bytes out(der.size(), 0xEE);
    EXPECT_EQ(CPKCS7SSL::GetSignerRSAKey(mutableData(copy), out.data(), 0), -94);
    // The digest is an attribute and needs no certificate.
    unsigned long hashLen = 0;
    EXPECT_NE(CPKCS7SSL::GetHash(mutableData(copy), len, &hashLen), nullptr);
    EXPECT_EQ(CPKCS7SSL::Verify(mutableData(copy), len), -22);
    // The certificate is still in the set.
    EXPECT_EQ(callIndexed(CPKCS7SSL::GetNCert, der, 0).written(), TestPki::instance().signer(KeyKind::Rsa2048).der);
}

// The builder message with its signed attribute `index` (0 contentType,
// 1 signingTime, 2 messageDigest) given `value` as its only value.
Bytes withAttributeValue(const Bytes& der, std::size_t index, const Bytes& value) {
    auto path = signerInfoPath(der);
    path.insert(path.end(), {3, index, 1});
    return replaceAt(der, path, tlv(0x31, value));
}

TEST(Pkcs7InspectMalformed, AttributeValuesOfTheWrongShape) {
    kivo::test::ScopedTimeZone utc("UTC0");
    BuildOptions options;
    const Bytes der = signedBuilderMessage(TestPki::instance().signer(KeyKind::EcP256), options);
    const auto hashOf = [](const Bytes& message) -> std::optional<Bytes> {
        HeapCopy copy(message);
        unsigned long n = 0;
        const unsigned char* hash = CPKCS7SSL::GetHash(mutableData(copy), static_cast<unsigned long>(message.size()), &n);
        if (hash == nullptr) return std::nullopt;
        return Bytes(hash, hash + n);
    };
    const auto timeOf = [](const Bytes& message) {
        HeapCopy copy(message);
        return CPKCS7SSL::GetSigningTime(mutableData(copy), static_cast<unsigned long>(message.size()));
    };
    ASSERT_TRUE(hashOf(der));
    EXPECT_FALSE(hashOf(withAttributeValue(der, 2, Bytes{0x02, 0x01, 0x05}))) << "INTEGER digest";
    EXPECT_FALSE(hashOf(withAttributeValue(der, 2, tlv(0x04, Bytes(300, 0xAB))))) << "300-octet digest";
    EXPECT_EQ(*hashOf(withAttributeValue(der, 2, tlv(0x04, Bytes(200, 0xAB)))), Bytes(200, 0xAB));

    EXPECT_EQ(timeOf(der), options.signingTime);
    EXPECT_EQ(timeOf(withAttributeValue(der, 1, Bytes{0x02, 0x01, 0x05})), 0) << "INTEGER time";
    const std::string generalized = "20260202094117Z";
    EXPECT_EQ(timeOf(withAttributeValue(der, 1, tlv(0x18, Bytes(generalized.begin(), generalized.end())))),
              1770025277);
}

TEST(Pkcs7InspectMalformed, HostileLengthsAndNesting) {
    // A length far beyond the input.
    expectEveryLengthMemberFails(join({Bytes{0x30, 0x84, 0x7F, 0xFF, 0xFF, 0xFF}, oidElement("1.2.840.113549.1.7.2")}),
                                 "2 GB claimed");
    // Indefinite lengths: the header members cannot take the length from it.
    const Bytes indefinite = join({Bytes{0x30, 0x80}, oidElement("1.2.840.113549.1.7.2"), Bytes(300, 0x00)});
    expectEveryLengthMemberFails(indefinite, "indefinite", -22);
    expectEveryHeaderMemberFails(indefinite, "indefinite");
    // Deep nesting of [0] and SEQUENCE.
    Bytes nested = oidElement("1.2.840.113549.1.7.2");
    for (int i = 0; i < 2000; ++i) nested = tlv(i % 2 == 0 ? 0xA0 : 0x30, nested);
    expectEveryLengthMemberFails(nested, "2000 levels");
    expectEveryHeaderMemberFails(nested, "2000 levels");
    // High tag numbers.
    expectEveryHeaderMemberFails(join({Bytes{0x3F, 0x81, 0x80, 0x04}, Bytes(300, 0)}), "high tag number");
}

TEST(Pkcs7InspectMalformed, IndexesOutOfRange) {
    BuildOptions options;
    const Bytes der = signedBuilderMessage(TestPki::instance().signer(KeyKind::Rsa2048), options);
    HeapCopy copy(der);
    const auto len = static_cast<unsigned long>(der.size());
    for (const int index : {-1, 1, 2, INT_MAX, INT_MIN}) {
        SCOPED_TRACE(index);
        for (const CallerBufferMember member : {&CPKCS7SSL::GetSignerCert, &CPKCS7SSL::GetSignerCertEx, &CPKCS7SSL::GetNCert}) {
            const Output out = callIndexed(member, der, index);
            EXPECT_EQ(out.result, -22);
            EXPECT_TRUE(out.untouched());
        }
        unsigned long n = 77;
        EXPECT_EQ(CPKCS7SSL::GetHashAlgo(mutableData(copy), len, index, &n), nullptr);
        EXPECT_EQ(CPKCS7SSL::GetSignatureBlobSize(mutableData(copy), &n, index, false), -94);
        Bytes out(der.size(), 0xEE);
        EXPECT_EQ(CPKCS7SSL::GetSignatureBlob(mutableData(copy), out.data(), index, true), -94);
        EXPECT_EQ(CPKCS7SSL::GetSignerRSAKey(mutableData(copy), out.data(), index), -94);
        EXPECT_EQ(out, Bytes(der.size(), 0xEE));
        EXPECT_EQ(CPKCS7SSL::GetSignerRSAKeySize(mutableData(copy), index), -1);
        EXPECT_EQ(n, 77u);
    }
}

TEST(Pkcs7InspectMalformed, LengthsTheParsersCannotTake) {
    BuildOptions options;
    const Bytes der = signedBuilderMessage(TestPki::instance().signer(KeyKind::Rsa2048), options);
    HeapCopy copy(der);
    // A length beyond what OpenSSL's streams take is refused before anything is read.
    const unsigned long tooLong = 0x80000000UL;
    EXPECT_EQ(CPKCS7SSL::GetSignerCertNum(mutableData(copy), tooLong), 0);
    EXPECT_EQ(CPKCS7SSL::Verify(mutableData(copy), tooLong), -22);
    EXPECT_EQ(CPKCS7SSL::VerifyCMS(mutableData(copy), tooLong, nullptr, 0), -22);
    unsigned long n = 0;
    EXPECT_EQ(CPKCS7SSL::GetHash(mutableData(copy), tooLong, &n), nullptr);
    EXPECT_EQ(CPKCS7SSL::GetVersion(mutableData(copy), 0), 0);
    EXPECT_FALSE(CPKCS7SSL::IsTimestamp(mutableData(copy), 0));
}

TEST(Pkcs7InspectMalformed, NullPointers) {
    expectEveryLengthMemberFails({}, "empty");
    BuildOptions options;
    const Bytes der = signedBuilderMessage(TestPki::instance().signer(KeyKind::Rsa2048), options);
    HeapCopy copy(der);
    unsigned char* p = mutableData(copy);
    const auto len = static_cast<unsigned long>(der.size());
    unsigned long n = 0;
    unsigned char* nullBuffer = nullptr;

    EXPECT_EQ(CPKCS7SSL::GetSignerCertNum(nullptr, len), 0);
    EXPECT_EQ(CPKCS7SSL::Verify(nullptr, len), -22);
    EXPECT_EQ(CPKCS7SSL::VerifyCMS(nullptr, len, nullptr, 0), -22);
    EXPECT_EQ(CPKCS7SSL::GetSignerCert(nullptr, len, 0, &nullBuffer, &n), -22);
    EXPECT_EQ(CPKCS7SSL::GetSignerCert(p, len, 0, nullptr, &n), -22);
    EXPECT_EQ(CPKCS7SSL::GetSignerCert(p, len, 0, &nullBuffer, &n), -22);
    Bytes out(der.size(), 0xEE);
    unsigned char* outPointer = out.data();
    EXPECT_EQ(CPKCS7SSL::GetSignerCert(p, len, 0, &outPointer, nullptr), -22);
    EXPECT_EQ(CPKCS7SSL::GetSignerCertEx(p, len, 0, nullptr, &n), -22);
    EXPECT_EQ(CPKCS7SSL::GetNCert(p, len, 0, &outPointer, nullptr), -22);
    EXPECT_EQ(out, Bytes(der.size(), 0xEE));
    EXPECT_EQ(CPKCS7SSL::GetData(p, len, nullptr, nullptr), -1);
    EXPECT_EQ(CPKCS7SSL::GetHash(p, len, nullptr), nullptr);
    EXPECT_EQ(CPKCS7SSL::GetTimestampHash(nullptr, len, &n), nullptr);
    EXPECT_EQ(CPKCS7SSL::GetSignatureBlobSize(nullptr, &n, 0, false), -94);
    EXPECT_EQ(CPKCS7SSL::GetSignatureBlobSize(p, nullptr, 0, false), -94);
    EXPECT_EQ(CPKCS7SSL::GetSignatureBlob(nullptr, out.data(), 0, false), -94);
    EXPECT_EQ(CPKCS7SSL::GetSignatureBlob(p, nullptr, 0, false), -94);
    EXPECT_EQ(CPKCS7SSL::GetSignerRSAKey(nullptr, out.data(), 0), -94);
    EXPECT_EQ(CPKCS7SSL::GetSignerRSAKey(p, nullptr, 0), -94);
    EXPECT_EQ(CPKCS7SSL::GetSignerRSAKeySize(nullptr, 0), -1);
    EXPECT_EQ(CPKCS7SSL::GetRSAKeySize(nullptr, &n), -22);
    EXPECT_EQ(CPKCS7SSL::isEnveloped(nullptr, len), 0);
    EXPECT_EQ(CPKCS7SSL::GetCipherCertNum(nullptr, len), 0);
    EXPECT_EQ(CPKCS7SSL::GetHashFromSignature(nullptr, len, &n), nullptr);
    // GetSignedAttrCert answers 0 whatever it finds.
    EXPECT_EQ(CPKCS7SSL::GetSignedAttrCert(p, len, 0, nullptr, nullptr), 0);
}

// ---- content types ------------------------------------------------------------------------------

TEST(Pkcs7InspectContentType, EnvelopedAndEncryptedAnswers) {
    const Party& rsa = TestPki::instance().signer(KeyKind::Rsa2048);
    const Bytes content = {'s', 'e', 'c', 'r', 'e', 't'};

    // envelopedData made by PKCS7_encrypt.
    STACK_OF(X509)* recipients = sk_X509_new_null();
    sk_X509_push(recipients, rsa.cert.get());
    BioPtr data = kivo::test::cms::memoryBio(content);
    Pkcs7Ptr enveloped(PKCS7_encrypt(recipients, data.get(), EVP_aes_128_cbc(), PKCS7_BINARY));
    sk_X509_free(recipients);
    ASSERT_TRUE(enveloped);
    const Bytes envelopedDer = derOfPkcs7(enveloped.get());

    // EncryptedContentInfo with an AES-CBC algorithm.
    const Bytes algorithm = tlv(0x30, join({oidElement("2.16.840.1.101.3.4.1.2"), tlv(0x04, Bytes(16, 0x01))}));
    const Bytes encryptedContent =
        tlv(0x30, join({oidElement("1.2.840.113549.1.7.1"), algorithm, tlv(0x80, Bytes(32, 0x5A))}));

    // signedAndEnvelopedData: version 1, no recipients, digest algorithms or signers.
    const Bytes signedAndEnvelopedDer = contentInfo(
        "1.2.840.113549.1.7.4",
        tlv(0x30, join({Bytes{0x02, 0x01, 0x01}, tlv(0x31, {}), tlv(0x31, {}), encryptedContent, tlv(0x31, {})})));
    ASSERT_TRUE(parsePkcs7(signedAndEnvelopedDer));

    // encryptedData: version 0.
    const Bytes encrypted =
        contentInfo("1.2.840.113549.1.7.6", tlv(0x30, join({Bytes{0x02, 0x01, 0x00}, encryptedContent})));
    ASSERT_TRUE(parsePkcs7(encrypted));

    const Bytes plainData = contentInfo("1.2.840.113549.1.7.1", tlv(0x04, content));
    const Bytes signature = cmsSigned(rsa, content, 0);

    const struct {
        const Bytes* der;
        const char* name;
        int enveloped;
        int cipherCerts;
    } cases[] = {
        {&envelopedDer, "envelopedData", -22, 0},
        {&signedAndEnvelopedDer, "signedAndEnvelopedData", 0, 0},
        {&encrypted, "encryptedData", -22, -22},
        {&plainData, "data", -22, 0},
        {&signature, "signedData", -22, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        HeapCopy copy(*c.der);
        const auto len = static_cast<unsigned long>(c.der->size());
        EXPECT_EQ(CPKCS7SSL::isEnveloped(mutableData(copy), len), c.enveloped);
        EXPECT_EQ(CPKCS7SSL::GetCipherCertNum(mutableData(copy), len), c.cipherCerts);
        if (c.der != &signature) {
            // Not signedData: every signedData question fails.
            EXPECT_EQ(CPKCS7SSL::GetSignerCertNum(mutableData(copy), len), 0);
            EXPECT_EQ(CPKCS7SSL::GetVersion(mutableData(copy), len), 0);
            EXPECT_FALSE(CPKCS7SSL::IsTimestamp(mutableData(copy), len));
            unsigned long n = 0;
            EXPECT_EQ(CPKCS7SSL::GetData(mutableData(copy), len, nullptr, &n), -1);
            EXPECT_EQ(CPKCS7SSL::GetHashFromSignature(mutableData(copy), len, &n), nullptr);
            EXPECT_EQ(CPKCS7SSL::Verify(mutableData(copy), len), -22);
            expectEveryHeaderMemberFails(*c.der, c.name);
        }
    }
}

TEST(Pkcs7InspectContentType, AttributeCertificatesAsSignedAttribute) {
    // The first signer carries attribute 2.5.4.58 with two SEQUENCE values
    // and one OCTET STRING value.
    auto& pki = TestPki::instance();
    const Party& signer = pki.signer(KeyKind::Rsa2048);
    const Bytes first = pki.ca().der;
    const Bytes second = pki.signer(KeyKind::EcP256).der;
    const Bytes content = {'a', 'c'};
    // CMS_sign partial, the attribute added before the final signature.
    CmsPtr cms(CMS_sign(signer.cert.get(), signer.key.get(), nullptr, nullptr, CMS_BINARY | CMS_PARTIAL));
    ASSERT_TRUE(cms);
    CMS_SignerInfo* si = sk_CMS_SignerInfo_value(CMS_get0_SignerInfos(cms.get()), 0);
    ASN1_OBJECT* type = OBJ_txt2obj("2.5.4.58", 1);
    X509_ATTRIBUTE* attribute =
        X509_ATTRIBUTE_create_by_OBJ(nullptr, type, V_ASN1_SEQUENCE, first.data(), static_cast<int>(first.size()));
    ASSERT_NE(attribute, nullptr);
    ASSERT_EQ(X509_ATTRIBUTE_set1_data(attribute, V_ASN1_SEQUENCE, second.data(), static_cast<int>(second.size())), 1);
    const Bytes octetValue = {0xAA, 0xBB};
    ASSERT_EQ(X509_ATTRIBUTE_set1_data(attribute, V_ASN1_OCTET_STRING, octetValue.data(), 2), 1);
    ASSERT_EQ(CMS_signed_add1_attr(si, attribute), 1);
    X509_ATTRIBUTE_free(attribute);
    ASN1_OBJECT_free(type);
    BioPtr data = kivo::test::cms::memoryBio(content);
    ASSERT_EQ(CMS_final(cms.get(), data.get(), nullptr, CMS_BINARY), 1);
    BioPtr out(BIO_new(BIO_s_mem()));
    ASSERT_EQ(i2d_CMS_bio(out.get(), cms.get()), 1);
    const Bytes message = kivo::test::cms::bioBytes(out.get());

    // OpenSSL's view: the values in the order the encoding has them.
    CmsPtr parsed = parseCms(message);
    CMS_SignerInfo* parsedSi = sk_CMS_SignerInfo_value(CMS_get0_SignerInfos(parsed.get()), 0);
    ASN1_OBJECT* lookup = OBJ_txt2obj("2.5.4.58", 1);
    X509_ATTRIBUTE* parsedAttribute = CMS_signed_get_attr(parsedSi, CMS_signed_get_attr_by_OBJ(parsedSi, lookup, -1));
    ASN1_OBJECT_free(lookup);
    ASSERT_NE(parsedAttribute, nullptr);
    ASSERT_EQ(X509_ATTRIBUTE_count(parsedAttribute), 3);

    HeapCopy copy(message);
    const auto len = static_cast<unsigned long>(message.size());
    EXPECT_EQ(CPKCS7SSL::GetSignedAttrCertNum(mutableData(copy), len), 3);
    std::set<Bytes> seen;
    for (int i = 0; i < 3; ++i) {
        const ASN1_TYPE* value = X509_ATTRIBUTE_get0_type(parsedAttribute, i);
        const Output got = callIndexed(CPKCS7SSL::GetSignedAttrCert, message, i);
        EXPECT_EQ(got.result, 0);
        if (value->type == V_ASN1_SEQUENCE) {
            EXPECT_EQ(got.written(), octets(value->value.sequence)) << i;
            seen.insert(got.written());
        } else {
            EXPECT_TRUE(got.untouched()) << i;
        }
    }
    EXPECT_EQ(seen, (std::set<Bytes>{first, second}));
    const Output past = callIndexed(CPKCS7SSL::GetSignedAttrCert, message, 3);
    EXPECT_EQ(past.result, 0);
    EXPECT_TRUE(past.untouched());
}

// ---- fixed answers and logging ------------------------------------------------------------------

TEST(Pkcs7InspectInterface, StubsAnswerTheirFixedValues) {
    BuildOptions options;
    const Bytes der = signedBuilderMessage(TestPki::instance().signer(KeyKind::Rsa2048), options);
    HeapCopy copy(der);
    unsigned char* p = mutableData(copy);
    const auto len = static_cast<unsigned long>(der.size());
    Bytes out(16, 0xEE);
    unsigned char* outPointer = out.data();
    unsigned long n = 4711;
    EXPECT_FALSE(CPKCS7SSL::FindQualifiedSC(p, len));
    EXPECT_EQ(CPKCS7SSL::GetAttrCert(p, len, 0, &outPointer, &n), 0);
    EXPECT_EQ(CPKCS7SSL::GetAttrCertNum(p, len), 0);
    EXPECT_EQ(CPKCS7SSL::GetCRL(p, len, 0, &outPointer, &n), 0);
    EXPECT_EQ(CPKCS7SSL::GetCRLNum(p, len), 0);
    EXPECT_EQ(CPKCS7SSL::GetCert(p, len, 0, &outPointer, &n), 0);
    EXPECT_EQ(CPKCS7SSL::GetCertChainSize(p, len), 0);
    EXPECT_EQ(CPKCS7SSL::GetNum(p, len), 0);
    EXPECT_EQ(CPKCS7SSL::GetParam(p, len, 0, &outPointer, &n), 0);
    EXPECT_EQ(CPKCS7SSL::GetCipherCert(p, len, 0, &outPointer, &n), -22);
    EXPECT_EQ(CPKCS7SSL::GetTimestampBlob(p, len, &outPointer, &n), -1);
    EXPECT_EQ(out, Bytes(16, 0xEE));
    EXPECT_EQ(n, 4711u);
    const unsigned char* empty = CPKCS7SSL::GetHashFromSignature(p, len, &n);
    ASSERT_NE(empty, nullptr);
    EXPECT_EQ(empty[0], 0);
    EXPECT_EQ(n, 0u);
    // The stubs answer the same on nothing at all.
    EXPECT_FALSE(CPKCS7SSL::FindQualifiedSC(nullptr, 0));
    EXPECT_EQ(CPKCS7SSL::GetCipherCert(nullptr, 0, 0, nullptr, nullptr), -22);
    EXPECT_EQ(CPKCS7SSL::GetTimestampBlob(nullptr, 0, nullptr, nullptr), -1);
}

TEST(Pkcs7InspectInterface, MembersLogTheirEntry) {
    // One member of each kind: with a length, reading the length from the
    // header, changing the message, converting a time, and a fixed answer.
    BuildOptions options;
    const Bytes der = signedBuilderMessage(TestPki::instance().signer(KeyKind::Rsa2048), options);
    HeapCopy copy(der);
    unsigned char* p = mutableData(copy);
    const auto len = static_cast<unsigned long>(der.size());
    Bytes out(der.size(), 0);
    unsigned char* o = out.data();
    unsigned long n = static_cast<unsigned long>(out.size());
    Bytes token = tlv(0x30, Bytes(300, 0x33));
    Bytes room = join({der, Bytes(token.size() + 25, 0)});
    unsigned long roomLen = len;
    const std::pair<const char*, std::function<void()>> calls[] = {
        {"GetSignerCert", [&] { CPKCS7SSL::GetSignerCert(p, len, 0, &o, &n); }},
        {"GetSignatureBlob", [&] { CPKCS7SSL::GetSignatureBlob(p, o, 0, false); }},
        {"AddTimeStamp", [&] { CPKCS7SSL::AddTimeStamp(room.data(), &roomLen, token.data(), static_cast<unsigned long>(token.size())); }},
        {"getTimeFromASN1", [&] { CPKCS7SSL::getTimeFromASN1(nullptr); }},
        {"GetTimestampBlob", [&] { CPKCS7SSL::GetTimestampBlob(p, len, &o, &n); }},
    };
    for (const auto& [name, call] : calls) {
        kivo::test::LogCapture log(CPKCS7SSL::m_logger);
        call();
        const auto events = log.events();
        ASSERT_FALSE(events.empty()) << name;
        EXPECT_EQ(events[0].level, "DEBUG") << name;
        EXPECT_EQ(events[0].message, std::string("entering ") + name);
        EXPECT_EQ(events[0].logger, "KivoCryptoSSL.CPKCS7SSL");
    }
    EXPECT_EQ(roomLen, len + 25 + token.size()) << "the builder message took the token";
}

}  // namespace
