// Every CPKCS7SSL member on input it must refuse, one representative per
// rule (arbitrary octets are left to fuzz/fuzz_container.cpp); inputs are
// exact-size heap copies, so AddressSanitizer builds see any read past
// them. Also other content types, the interface's fixed answers and the
// entry log line.

#include "tests/support/ContainerTestUtil.h"

#include "tests/support/LogCapture.h"

#include <gtest/gtest.h>

#include <climits>
#include <functional>
#include <set>

using namespace kivo::test::container;
using kivo::test::KeyKind;
using kivo::test::cms::BuildOptions;
using kivo::test::cms::join;
using kivo::test::cms::oidElement;
using kivo::test::cms::tlv;

namespace {

const char* const kSignedData = "1.2.840.113549.1.7.2";

// Every member that takes a length fails on `input`, writing nothing;
// `enveloped` is isEnveloped's answer (-22 for a parsable other message).
void expectEveryLengthMemberFails(const Bytes& input, int enveloped) {
    Message m(input);
    EXPECT_EQ(CPKCS7SSL::GetSignerCertNum(m.p(), m.len), 0);
    EXPECT_EQ(CPKCS7SSL::GetNCertNum(m.p(), m.len), 0);
    for (const CallerBufferMember member : {&CPKCS7SSL::GetSignerCert, &CPKCS7SSL::GetSignerCertEx, &CPKCS7SSL::GetNCert}) {
        const Output out = callIndexed(member, input, 0);
        EXPECT_EQ(out.result, -22);
        EXPECT_TRUE(out.untouched());
    }
    EXPECT_TRUE(callIndexed(CPKCS7SSL::GetSignedAttrCert, input, 0).untouched());
    EXPECT_EQ(CPKCS7SSL::GetSignedAttrCertNum(m.p(), m.len), 0);
    unsigned long n = 4711;
    EXPECT_EQ(CPKCS7SSL::GetData(m.p(), m.len, nullptr, &n), -1);
    EXPECT_EQ(CPKCS7SSL::GetHash(m.p(), m.len, &n), nullptr);
    EXPECT_EQ(CPKCS7SSL::GetTimestampHash(m.p(), m.len, &n), nullptr);
    EXPECT_EQ(CPKCS7SSL::GetHashAlgo(m.p(), m.len, 0, &n), nullptr);
    EXPECT_EQ(CPKCS7SSL::GetHashFromSignature(m.p(), m.len, &n), nullptr);
    EXPECT_EQ(n, 4711u);
    EXPECT_EQ(CPKCS7SSL::GetVersion(m.p(), m.len), 0);
    EXPECT_EQ(CPKCS7SSL::GetSigningTime(m.p(), m.len), 0);
    EXPECT_FALSE(CPKCS7SSL::IsTimestamp(m.p(), m.len));
    EXPECT_EQ(CPKCS7SSL::GetCipherCertNum(m.p(), m.len), 0);
    EXPECT_EQ(CPKCS7SSL::isEnveloped(m.p(), m.len), enveloped);
    EXPECT_EQ(CPKCS7SSL::Verify(m.p(), m.len), -22);
    Bytes content = {'c'};
    EXPECT_EQ(CPKCS7SSL::VerifyCMS(m.p(), m.len, content.data(), 1), -22);
    EXPECT_EQ(CPKCS7SSL::VerifyCMS(m.p(), m.len, nullptr, 0), -22);

    Bytes token = tlv(0x30, Bytes(300, 0x11));
    const Bytes withRoom = join({input, Bytes(token.size() + 25, 0xEE)});
    HeapCopy room(withRoom);
    unsigned long length = m.len;
    EXPECT_EQ(CPKCS7SSL::AddTimeStamp(room.data(), &length, token.data(), static_cast<unsigned long>(token.size())), -22);
    EXPECT_EQ(length, m.len);
    EXPECT_EQ(Bytes(room.data(), room.data() + room.size()), withRoom);
}

// The members without a length, which take it from the outer header.
void expectEveryHeaderMemberFails(const Bytes& input) {
    Message m(input);
    unsigned long size = 4711;
    EXPECT_EQ(CPKCS7SSL::GetSignatureBlobSize(m.p(), &size, 0, false), -94);
    EXPECT_EQ(CPKCS7SSL::GetSignatureBlobSize(m.p(), &size, 0, true), -94);
    EXPECT_EQ(size, 4711u);
    Bytes out(input.size() + 1, 0xEE);
    EXPECT_EQ(CPKCS7SSL::GetSignatureBlob(m.p(), out.data(), 0, false), -94);
    EXPECT_EQ(CPKCS7SSL::GetSignerRSAKey(m.p(), out.data(), 0), -94);
    EXPECT_EQ(out, Bytes(input.size() + 1, 0xEE));
    EXPECT_EQ(CPKCS7SSL::GetSignerRSAKeySize(m.p(), 0), -1);
    EXPECT_EQ(CPKCS7SSL::GetRSAKeySize(m.p(), &size), -22);
    EXPECT_EQ(size, 4711u);
}

Bytes contentInfo(const char* type, const Bytes& content) { return tlv(0x30, join({oidElement(type), tlv(0xA0, content)})); }

Bytes rsaBuilderMessage() { return signedBuilderMessage(TestPki::instance().signer(KeyKind::Rsa2048), BuildOptions{}); }

TEST(Pkcs7InspectMalformed, HostileDerFailsEveryMember) {
    Bytes nested = oidElement(kSignedData);
    for (int i = 0; i < 2000; ++i) nested = tlv(i % 2 == 0 ? 0xA0 : 0x30, nested);
    const Bytes noSigners = contentInfo(kSignedData, tlv(0x30, join({Bytes{0x02, 0x01, 0x01}, tlv(0x31, {}),
                                                                     tlv(0x30, oidElement("1.2.840.113549.1.7.1")), tlv(0x31, {})})));
    const struct {
        const char* what;
        Bytes der;
        std::optional<int> enveloped;  // none: the length members are not asked
        bool headerMembers;
    } cases[] = {
        {"empty", {}, 0, false},
        {"signedData without content", tlv(0x30, oidElement(kSignedData)), -22, false},
        {"zeros after the type", tlv(0x30, join({oidElement(kSignedData), Bytes(300, 0)})), std::nullopt, true},
        {"2 GB claimed", join({Bytes{0x30, 0x84, 0x7F, 0xFF, 0xFF, 0xFF}, oidElement(kSignedData)}), 0, false},
        {"indefinite length", join({Bytes{0x30, 0x80}, oidElement(kSignedData), Bytes(300, 0x00)}), -22, true},
        {"2000 levels", nested, 0, true},
        {"high tag number", join({Bytes{0x3F, 0x81, 0x80, 0x04}, Bytes(300, 0)}), std::nullopt, true},
        {"no signers", noSigners, std::nullopt, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.enveloped) expectEveryLengthMemberFails(c.der, *c.enveloped);
        if (c.headerMembers) expectEveryHeaderMemberFails(c.der);
    }

    // Without signers the counts are 0, the version is read, the rest fails.
    Message m(noSigners);
    unsigned long n = 0;
    EXPECT_EQ(CPKCS7SSL::GetSignerCertNum(m.p(), m.len), 0);
    EXPECT_EQ(CPKCS7SSL::GetVersion(m.p(), m.len), 1);
    EXPECT_EQ(callIndexed(CPKCS7SSL::GetSignerCert, noSigners, 0).result, -22);
    EXPECT_EQ(CPKCS7SSL::GetHash(m.p(), m.len, &n), nullptr);
    EXPECT_EQ(CPKCS7SSL::GetHashAlgo(m.p(), m.len, 0, &n), nullptr);
    EXPECT_EQ(CPKCS7SSL::Verify(m.p(), m.len), -22);
    EXPECT_NE(CPKCS7SSL::GetHashFromSignature(m.p(), m.len, &n), nullptr);
}

TEST(Pkcs7InspectMalformed, SignerWhoseCertificateIsNotInTheMessage) {
    Bytes der = rsaBuilderMessage();
    auto serialPath = signerInfoPath(der, 0, 1);
    serialPath.push_back(1);
    Bytes serial = elementAtPath(der, serialPath);
    serial.back() ^= 0x01;
    der = replaceAt(der, serialPath, serial);
    Message m(der);
    EXPECT_EQ(CPKCS7SSL::GetSignerCertNum(m.p(), m.len), 1);
    EXPECT_EQ(callIndexed(CPKCS7SSL::GetSignerCert, der, 0).result, -22);
    EXPECT_EQ(callIndexed(CPKCS7SSL::GetSignerCertEx, der, 0).result, -22);
    EXPECT_EQ(CPKCS7SSL::GetSignerRSAKeySize(m.p(), 0), -1);
    Bytes out(der.size(), 0xEE);
    EXPECT_EQ(CPKCS7SSL::GetSignerRSAKey(m.p(), out.data(), 0), -94);
    EXPECT_TRUE(hashOf(CPKCS7SSL::GetHash, der)) << "the digest is an attribute and needs no certificate";
    EXPECT_EQ(CPKCS7SSL::Verify(m.p(), m.len), -22);
    EXPECT_EQ(callIndexed(CPKCS7SSL::GetNCert, der, 0).written(), TestPki::instance().signer(KeyKind::Rsa2048).der);
}

TEST(Pkcs7InspectMalformed, AttributeValuesOfTheWrongShape) {
    kivo::test::ScopedTimeZone utc("UTC0");
    const Bytes der = signedBuilderMessage(TestPki::instance().signer(KeyKind::EcP256), BuildOptions{});
    // Signed attribute `index` (1 signingTime, 2 messageDigest) with `value` as its only value.
    const auto with = [&](std::size_t index, const Bytes& value) {
        auto path = signerInfoPath(der, 0, 3);
        path.insert(path.end(), {index, 1});
        return replaceAt(der, path, tlv(0x31, value));
    };
    const auto timeOf = [](const Bytes& message) { Message m(message); return CPKCS7SSL::GetSigningTime(m.p(), m.len); };
    EXPECT_EQ(hashOf(CPKCS7SSL::GetHash, with(2, Bytes{0x02, 0x01, 0x05})), std::nullopt) << "INTEGER digest";
    EXPECT_EQ(hashOf(CPKCS7SSL::GetHash, with(2, tlv(0x04, Bytes(300, 0xAB)))), std::nullopt) << "300-octet digest";
    EXPECT_EQ(hashOf(CPKCS7SSL::GetHash, with(2, tlv(0x04, Bytes(200, 0xAB)))), Bytes(200, 0xAB));
    EXPECT_EQ(timeOf(der), BuildOptions{}.signingTime);
    EXPECT_EQ(timeOf(with(1, Bytes{0x02, 0x01, 0x05})), 0) << "INTEGER time";
    EXPECT_EQ(timeOf(with(1, kivo::test::tlv(0x18, std::string_view("20260202094117Z")))), 1770025277);
}

TEST(Pkcs7InspectMalformed, IndexesOutOfRangeAndLengthsTooLong) {
    const Bytes der = rsaBuilderMessage();
    Message m(der);
    for (const int index : {-1, 1, INT_MAX, INT_MIN}) {
        SCOPED_TRACE(index);
        for (const CallerBufferMember member : {&CPKCS7SSL::GetSignerCert, &CPKCS7SSL::GetSignerCertEx, &CPKCS7SSL::GetNCert}) {
            EXPECT_TRUE(callIndexed(member, der, index).untouched());
        }
        unsigned long n = 77;
        EXPECT_EQ(CPKCS7SSL::GetHashAlgo(m.p(), m.len, index, &n), nullptr);
        EXPECT_EQ(CPKCS7SSL::GetSignatureBlobSize(m.p(), &n, index, false), -94);
        EXPECT_EQ(n, 77u);
        Bytes out(der.size(), 0xEE);
        EXPECT_EQ(CPKCS7SSL::GetSignatureBlob(m.p(), out.data(), index, true), -94);
        EXPECT_EQ(CPKCS7SSL::GetSignerRSAKey(m.p(), out.data(), index), -94);
        EXPECT_EQ(out, Bytes(der.size(), 0xEE));
        EXPECT_EQ(CPKCS7SSL::GetSignerRSAKeySize(m.p(), index), -1);
    }
    // A length beyond what OpenSSL's streams take is refused before anything is read.
    unsigned long n = 0;
    EXPECT_EQ(CPKCS7SSL::GetSignerCertNum(m.p(), 0x80000000UL), 0);
    EXPECT_EQ(CPKCS7SSL::VerifyCMS(m.p(), 0x80000000UL, nullptr, 0), -22);
    EXPECT_EQ(CPKCS7SSL::GetHash(m.p(), 0x80000000UL, &n), nullptr);
}

TEST(Pkcs7InspectMalformed, NullPointers) {
    const Bytes der = rsaBuilderMessage();
    Message m(der);
    unsigned long n = 0;
    unsigned char* nullBuffer = nullptr;
    EXPECT_EQ(CPKCS7SSL::GetSignerCertNum(nullptr, m.len), 0);
    EXPECT_EQ(CPKCS7SSL::Verify(nullptr, m.len), -22);
    EXPECT_EQ(CPKCS7SSL::GetSignerCert(m.p(), m.len, 0, nullptr, &n), -22);
    EXPECT_EQ(CPKCS7SSL::GetSignerCert(m.p(), m.len, 0, &nullBuffer, &n), -22);
    EXPECT_EQ(CPKCS7SSL::GetNCert(m.p(), m.len, 0, &nullBuffer, nullptr), -22);
    EXPECT_EQ(CPKCS7SSL::GetData(m.p(), m.len, nullptr, nullptr), -1);
    EXPECT_EQ(CPKCS7SSL::GetHash(m.p(), m.len, nullptr), nullptr);
    EXPECT_EQ(CPKCS7SSL::GetSignatureBlobSize(m.p(), nullptr, 0, false), -94);
    EXPECT_EQ(CPKCS7SSL::GetSignatureBlob(m.p(), nullptr, 0, false), -94);
    EXPECT_EQ(CPKCS7SSL::GetSignerRSAKey(m.p(), nullptr, 0), -94);
    EXPECT_EQ(CPKCS7SSL::GetSignerRSAKeySize(nullptr, 0), -1);
    EXPECT_EQ(CPKCS7SSL::GetRSAKeySize(m.p(), nullptr), -22);
    EXPECT_EQ(CPKCS7SSL::GetSignedAttrCert(m.p(), m.len, 0, nullptr, nullptr), 0);
}

TEST(Pkcs7InspectContentType, EnvelopedAndEncryptedAnswers) {
    const Party& rsa = TestPki::instance().signer(KeyKind::Rsa2048);
    const Bytes content = {'s', 'e', 'c', 'r', 'e', 't'};
    STACK_OF(X509)* recipients = sk_X509_new_null();
    sk_X509_push(recipients, rsa.cert.get());
    BioPtr data = kivo::test::cms::memoryBio(content);
    Pkcs7Ptr enveloped(PKCS7_encrypt(recipients, data.get(), EVP_aes_128_cbc(), PKCS7_BINARY));
    sk_X509_free(recipients);
    ASSERT_TRUE(enveloped);
    const Bytes algorithm = tlv(0x30, join({oidElement("2.16.840.1.101.3.4.1.2"), tlv(0x04, Bytes(16, 0x01))}));
    const Bytes encryptedContent = tlv(0x30, join({oidElement("1.2.840.113549.1.7.1"), algorithm, tlv(0x80, Bytes(32, 0x5A))}));
    const struct {
        const char* what;
        Bytes der;
        int enveloped;
        int cipherCerts;
    } cases[] = {
        {"envelopedData", derOfPkcs7(enveloped.get()), -22, 0},
        {"signedAndEnvelopedData",
         contentInfo("1.2.840.113549.1.7.4",
                     tlv(0x30, join({Bytes{0x02, 0x01, 0x01}, tlv(0x31, {}), tlv(0x31, {}), encryptedContent, tlv(0x31, {})}))),
         0, 0},
        {"encryptedData", contentInfo("1.2.840.113549.1.7.6", tlv(0x30, join({Bytes{0x02, 0x01, 0x00}, encryptedContent}))), -22, -22},
        {"data", contentInfo("1.2.840.113549.1.7.1", tlv(0x04, content)), -22, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_TRUE(parsePkcs7(c.der));
        Message m(c.der);
        EXPECT_EQ(CPKCS7SSL::isEnveloped(m.p(), m.len), c.enveloped);
        EXPECT_EQ(CPKCS7SSL::GetCipherCertNum(m.p(), m.len), c.cipherCerts);
        EXPECT_EQ(CPKCS7SSL::GetSignerCertNum(m.p(), m.len), 0);
        EXPECT_EQ(CPKCS7SSL::GetVersion(m.p(), m.len), 0);
        unsigned long n = 0;
        EXPECT_EQ(CPKCS7SSL::GetData(m.p(), m.len, nullptr, &n), -1);
        EXPECT_EQ(CPKCS7SSL::Verify(m.p(), m.len), -22);
        expectEveryHeaderMemberFails(c.der);
    }
}

// Attribute 2.5.4.58 with two SEQUENCE values and one OCTET STRING value:
// the SEQUENCEs are handed out in the encoding's order, the other not.
TEST(Pkcs7InspectContentType, AttributeCertificatesAsSignedAttribute) {
    auto& pki = TestPki::instance();
    const Bytes first = pki.ca().der;
    const Bytes second = pki.signer(KeyKind::EcP256).der;
    const Bytes der = kivo::test::cms::opensslSignedData(pki.signer(KeyKind::Rsa2048), {'a'}, 0, [&](CMS_ContentInfo* c) {
        X509_ATTRIBUTE* attribute = X509_ATTRIBUTE_create_by_txt(nullptr, "2.5.4.58", V_ASN1_SEQUENCE, first.data(), static_cast<int>(first.size()));
        X509_ATTRIBUTE_set1_data(attribute, V_ASN1_SEQUENCE, second.data(), static_cast<int>(second.size()));
        X509_ATTRIBUTE_set1_data(attribute, V_ASN1_OCTET_STRING, first.data(), 2);
        CMS_signed_add1_attr(sk_CMS_SignerInfo_value(CMS_get0_SignerInfos(c), 0), attribute);
        X509_ATTRIBUTE_free(attribute);
    });
    const CmsPtr parsed = parseCms(der);
    CMS_SignerInfo* si = sk_CMS_SignerInfo_value(CMS_get0_SignerInfos(parsed.get()), 0);
    X509_ATTRIBUTE* attribute = CMS_signed_get_attr(si, CMS_signed_get_attr_count(si) - 1);
    ASSERT_EQ(X509_ATTRIBUTE_count(attribute), 3);
    Message m(der);
    EXPECT_EQ(CPKCS7SSL::GetSignedAttrCertNum(m.p(), m.len), 3);
    std::set<Bytes> seen;
    for (int i = 0; i < 4; ++i) {
        const ASN1_TYPE* value = X509_ATTRIBUTE_get0_type(attribute, i);
        const Output got = callIndexed(CPKCS7SSL::GetSignedAttrCert, der, i);
        EXPECT_EQ(got.result, 0);
        const bool sequence = value != nullptr && value->type == V_ASN1_SEQUENCE;
        EXPECT_EQ(got.untouched(), !sequence) << i;
        if (sequence) { EXPECT_EQ(*seen.insert(got.written()).first, octets(value->value.sequence)) << i; }
    }
    EXPECT_EQ(seen, (std::set<Bytes>{first, second}));
}

TEST(Pkcs7InspectInterface, StubsAnswerTheirFixedValuesAndMembersLogTheirEntry) {
    const Bytes der = rsaBuilderMessage();
    Message m(der);
    Bytes out(16, 0xEE);
    unsigned char* o = out.data();
    unsigned long n = 4711;
    EXPECT_FALSE(CPKCS7SSL::FindQualifiedSC(m.p(), m.len));
    EXPECT_EQ(CPKCS7SSL::GetAttrCert(m.p(), m.len, 0, &o, &n), 0);
    EXPECT_EQ(CPKCS7SSL::GetAttrCertNum(m.p(), m.len), 0);
    EXPECT_EQ(CPKCS7SSL::GetCRL(m.p(), m.len, 0, &o, &n), 0);
    EXPECT_EQ(CPKCS7SSL::GetCRLNum(m.p(), m.len), 0);
    EXPECT_EQ(CPKCS7SSL::GetCert(m.p(), m.len, 0, &o, &n), 0);
    EXPECT_EQ(CPKCS7SSL::GetCertChainSize(m.p(), m.len), 0);
    EXPECT_EQ(CPKCS7SSL::GetNum(m.p(), m.len), 0);
    EXPECT_EQ(CPKCS7SSL::GetParam(m.p(), m.len, 0, &o, &n), 0);
    EXPECT_EQ(CPKCS7SSL::GetCipherCert(m.p(), m.len, 0, &o, &n), -22);
    EXPECT_EQ(CPKCS7SSL::GetTimestampBlob(m.p(), m.len, &o, &n), -1);
    EXPECT_EQ(out, Bytes(16, 0xEE));
    EXPECT_EQ(n, 4711u);
    const unsigned char* empty = CPKCS7SSL::GetHashFromSignature(m.p(), m.len, &n);
    ASSERT_NE(empty, nullptr);
    EXPECT_EQ(empty[0], 0);
    EXPECT_EQ(n, 0u);

    // One member of each kind: with a length, from the header, converting a time.
    const std::pair<const char*, std::function<void()>> calls[] = {
        {"GetSignerCert", [&] { CPKCS7SSL::GetSignerCert(m.p(), m.len, 1, &o, &n); }},
        {"GetSignatureBlob", [&] { CPKCS7SSL::GetSignatureBlob(m.p(), o, 1, false); }},
        {"getTimeFromASN1", [&] { CPKCS7SSL::getTimeFromASN1(nullptr); }},
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
}

}  // namespace
