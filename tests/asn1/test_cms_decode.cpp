// Decoding of the CMS structure classes: round trips of our own and of
// OpenSSL's messages, and one malformed input per rule
// (arbitrary input is left to the per-class fuzz targets).

#include "tests/asn1/CmsTestUtil.h"

#include <gtest/gtest.h>

using namespace kivo::test::cms;
using kivo::test::KeyKind;

namespace {

template <class T>
std::unique_ptr<T> decodeCopy(const Bytes& bytes) {
    const HeapCopy copy(bytes);
    return std::make_unique<T>(copy.data(), copy.size());
}

// Decodes `bytes` as T, encodes again and expects `expected` (by default
// the same octets).
template <class T>
void expectRoundTrip(const Bytes& bytes, const char* what, const Bytes& expected = {}) {
    const auto object = decodeCopy<T>(bytes);
    ASSERT_EQ(object->getError(), 0) << what;
    ASSERT_TRUE(object->encode()) << what;
    EXPECT_EQ(hexOf(bytesOf(*object)), hexOf(expected.empty() ? bytes : expected)) << what;
}

// The message and its SignerInfo, each decoded on its own and encoded again.
void expectEveryPartRoundTrips(const Bytes& message) {
    expectRoundTrip<CAsn1_Pkcs7>(message, "ContentInfo");
    expectRoundTrip<CAsn1_SignerInfo>(bytesOf(*decodeCopy<CAsn1_Pkcs7>(message)->signedData()->getSignerInfo(0)),
                                      "SignerInfo");
}

const Party& party(KeyKind kind) { return TestPki::instance().signer(kind); }

Bytes messageFor(KeyKind kind, bool attach = true) {
    BuildOptions options;
    options.attach = attach;
    options.extraCertificates = attach;
    auto message = buildMessage(party(kind).der, options);
    const Bytes signature = kivo::test::randomBytes(kind == KeyKind::EcP256 ? 64 : 256, 9);
    message->setSignerSignature(0, signature.data(), signature.size());
    return bytesOf(*message);
}

// A CRL of the test CA and an unsigned attribute added to an OpenSSL message.
void addCrlAndUnsignedAttribute(CMS_ContentInfo* cms) {
    X509_CRL* crl = X509_CRL_new();
    X509_CRL_set_issuer_name(crl, X509_get_subject_name(TestPki::instance().ca().cert.get()));
    ASN1_TIME* now = ASN1_TIME_set(nullptr, 1770025277);
    X509_CRL_set1_lastUpdate(crl, now);
    ASN1_TIME_free(now);
    X509_CRL_sign(crl, TestPki::instance().ca().key.get(), EVP_sha256());
    CMS_add1_crl(cms, crl);
    X509_CRL_free(crl);
    CMS_SignerInfo* si = sk_CMS_SignerInfo_value(CMS_get0_SignerInfos(cms), 0);
    CMS_unsigned_add1_attr_by_txt(si, "1.3.6.1.4.1.99999.1", V_ASN1_UTF8STRING, "note", 4);
}

}  // namespace

TEST(CmsDecode, OwnAndOpenSslMessagesRoundTripPartByPart) {
    for (const Bytes& message : {messageFor(KeyKind::Rsa2048), messageFor(KeyKind::EcP256, false),
                                 opensslSignedData(party(KeyKind::Rsa2048), Bytes{'x'}, CMS_NOATTR),
                                 opensslSignedData(party(KeyKind::EcP384), Bytes{'o'}, 0, addCrlAndUnsignedAttribute)}) {
        expectEveryPartRoundTrips(message);
    }
    const auto decoded = decodeCopy<CAsn1_Pkcs7>(opensslSignedData(party(KeyKind::EcP384), Bytes{'o'}, 0, addCrlAndUnsignedAttribute));
    const CAsn1_Pkcs7_Sd& sd = *decoded->signedData();
    EXPECT_EQ(sd.crls().at(0)->getError(), 0);
    EXPECT_EQ(sd.getSignerInfo(0)->unsignedAttrs()->attribute(0)->valueTag(), CAsn1_Attribute::kOtherValue);
    // Streamed BER: the content in chunks is kept whole rather than read.
    const auto streamed = decodeCopy<CAsn1_Pkcs7>(opensslSignedData(party(KeyKind::Rsa2048), Bytes(3000, 'b'), CMS_STREAM));
    EXPECT_EQ(streamed->signedData()->encapContentInfo()->eContent(), nullptr);
    EXPECT_EQ(streamed->signedData()->encapContentInfo()->eContentOther()->getPb()[0], 0xA0);
}

TEST(CmsDecode, AlgorithmParametersAttributeValuesAndAttributeLists) {
    // Absent parameters come back as NULL; others are kept.
    const Bytes sha256 = oidElement("2.16.840.1.101.3.4.2.1");
    expectRoundTrip<CAsn1_AlgoIdent>(tlv(0x30, sha256), "absent", tlv(0x30, join({sha256, fromHex("0500")})));
    expectRoundTrip<CAsn1_AlgoIdent>(tlv(0x30, join({oidElement("1.2.840.113549.1.1.10"), fromHex("3003 A20102")})), "PSS");
    const std::pair<Bytes, std::uint32_t> values[] = {
        {fromHex("0402ABCD"), 4}, {oidElement("1.2.840.113549.1.7.1"), 6}, {kivo::test::tlv(0x17, "260202094117Z"), 23},
        {fromHex("1E020041"), 30}, {fromHex("0C026869"), CAsn1_Attribute::kOtherValue},
        {fromHex("040101 040102"), 4},  // several values: the first is the object, the encoding keeps all
    };
    for (const auto& [value, valueTag] : values) {
        const Bytes attribute = tlv(0x30, join({oidElement("1.2.3.4"), tlv(0x31, value)}));
        const auto decoded = decodeCopy<CAsn1_Attribute>(attribute);
        EXPECT_EQ(decoded->valueTag(), valueTag) << hexOf(value);
        EXPECT_EQ(bytesOf(*decoded->attrValue()), slice(value, locate(value, {})));
        EXPECT_EQ(bytesOf(*decoded), attribute);
    }
    // Attribute lists keep the insertion order, not sorted; a failed
    // attribute makes the list refuse to encode.
    CAsn1_AuthAttributes signedAttrs;
    ASSERT_TRUE(signedAttrs.addAttribute(std::make_unique<CAsn1_Attribute>("1.2.3.4", "", "01", 4)));
    ASSERT_TRUE(signedAttrs.addAttribute(std::make_unique<CAsn1_Attribute>("1.2.3.1", "", "02", 4)));
    EXPECT_EQ(signedAttrs.attribute(1)->attrType()->dotted(), "1.2.3.1");
    EXPECT_FALSE(signedAttrs.addAttribute(std::make_unique<CAsn1_Attribute>("1.2.3.4", "", "AB", 12)));
    EXPECT_EQ(signedAttrs.getError(), kDerError);
}

TEST(CmsDecode, OneMalformedInputPerRuleFails) {
    // A wrong identifier for one element of each class the message is made of.
    const Bytes message = messageFor(KeyKind::Rsa2048, false);
    const std::pair<std::vector<std::size_t>, unsigned char> identifiers[] = {
        {{}, 0x31}, {{1}, 0xA1}, {{1, 0, 1}, 0x30}, {{1, 0, 1, 0, 0}, 0x04}, {{1, 0, 2}, 0x31}, {{1, 0, 4, 0}, 0x31},
        {{1, 0, 4, 0, 1, 1}, 0x04}, {{1, 0, 4, 0, 3}, 0xA2}, {{1, 0, 4, 0, 3, 0, 1}, 0x30}, {{1, 0, 4, 0, 5}, 0x03},
    };
    for (const auto& [path, identifier] : identifiers) {
        Bytes mutated = message;
        mutated[locate(message, path).offset] = identifier;
        EXPECT_EQ(decodeCopy<CAsn1_Pkcs7>(mutated)->getError(), kDerError) << locate(message, path).offset;
    }
    // The signature one octet longer inside an unchanged SignerInfo: the
    // octet exists after it, but only the parent's bound counts.
    const Bytes ec = messageFor(KeyKind::EcP256, false);
    Bytes longer = ec;
    ++longer[locate(ec, {1, 0, 4, 0, 5}).offset + 1];
    longer.push_back(0);
    const Bytes encrypted = tlv(0x30, join({oidElement("1.2.840.113549.1.7.1"), fromHex("3000")}));
    const std::pair<const char*, int> cases[] = {
        {"message cut short", decodeCopy<CAsn1_Pkcs7>(Bytes(message.begin(), message.end() - 1))->getError()},
        {"signature past its parents", decodeCopy<CAsn1_Pkcs7>(longer)->getError()},
        {"sid by subject key identifier",
         decodeCopy<CAsn1_Pkcs7>(opensslSignedData(party(KeyKind::Rsa2048), Bytes{'x'}, CMS_USE_KEYID))->getError()},
        {"attribute without value",
         decodeCopy<CAsn1_Attribute>(tlv(0x30, join({oidElement("1.2.3.4"), fromHex("3100")})))->getError()},
        {"attribute of a type it cannot build", CAsn1_Attribute("1.2.3.4", "", "AB", 30).getError()},
        {"more after the encrypted content",
         decodeCopy<CAsn1_Pkcs7_Ed>(tlv(0xA0, tlv(0x30, join({fromHex("020100"), tlv(0x31, fromHex("3003020100")),
                                                              encrypted, fromHex("0500")}))))->getError()},
        {"RSA key of one INTEGER",
         decodeCopy<CAsn1_PublicKeyRSA>(tlv(0x03, join({fromHex("00"), tlv(0x30, fromHex("0201C1"))})))->getError()},
    };
    for (const auto& [what, error] : cases) EXPECT_EQ(error, kDerError) << what;
    // A certificate entry that is not X.509 reports its own error; the
    // message decodes and encodes again unchanged.
    Bytes otherCertificate = message;
    otherCertificate[locate(message, {1, 0, 3, 0}).offset] = 0xA1;  // an [1] attribute certificate entry
    const auto decoded = decodeCopy<CAsn1_Pkcs7>(otherCertificate);
    EXPECT_EQ(decoded->signedData()->certificates().at(0)->getError(), kDerError);
    ASSERT_TRUE(decoded->encode());
    EXPECT_EQ(bytesOf(*decoded), otherCertificate);
}
