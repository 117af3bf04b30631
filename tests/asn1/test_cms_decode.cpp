// Decoding of the CMS structure classes: round trips of our own and of
// OpenSSL's messages, EnvelopedData, and one malformed input per rule
// (arbitrary input is left to the per-class fuzz targets).

#include "tests/asn1/CmsTestUtil.h"

#include <gtest/gtest.h>

#include <type_traits>
#include <typeinfo>

using namespace kivo::test::cms;
using kivo::test::KeyKind;

namespace {

template <class T>
std::unique_ptr<T> decodeCopy(const Bytes& bytes) {
    const HeapCopy copy(bytes);
    return std::make_unique<T>(copy.data(), copy.size());
}

// Decodes `bytes` as T, encodes again and expects the same octets; absent
// AlgorithmIdentifier parameters come back as NULL.
template <class T>
void expectRoundTrip(const Bytes& bytes, const char* what) {
    const auto object = decodeCopy<T>(bytes);
    ASSERT_EQ(object->getError(), 0) << what;
    ASSERT_TRUE(object->encode()) << what;
    Bytes expected = bytes;
    if constexpr (std::is_same_v<T, CAsn1_AlgoIdent>) {
        const Bytes oid = slice(bytes, locate(bytes, {0}));
        if (locate(bytes, {}).header + oid.size() == bytes.size()) expected = tlv(0x30, join({oid, fromHex("0500")}));
    }
    EXPECT_EQ(hexOf(bytesOf(*object)), hexOf(expected)) << what;
}

// Every composite inside a signedData message, decoded on its own and
// encoded again.
void expectEveryPartRoundTrips(const Bytes& message) {
    expectRoundTrip<CAsn1_Pkcs7>(message, "ContentInfo");
    // SignedData is decoded from its [0] wrapper and encodes the SEQUENCE.
    const auto sd = decodeCopy<CAsn1_Pkcs7_Sd>(slice(message, locate(message, {1})));
    ASSERT_TRUE(sd->getError() == 0 && sd->encode());
    EXPECT_EQ(hexOf(bytesOf(*sd)), hexOf(slice(message, locate(message, {1, 0}))));
    expectRoundTrip<CAsn1_AlgoIdent>(slice(message, locate(message, {1, 0, 1, 0})), "digest algorithm");
    expectRoundTrip<CAsn1_ContentInfo>(slice(message, locate(message, {1, 0, 2})), "EncapsulatedContentInfo");
    for (std::size_t i = 0; i < sd->signerCount(); ++i) {
        const CAsn1_SignerInfo& info = *sd->getSignerInfo(i);
        expectRoundTrip<CAsn1_SignerInfo>(bytesOf(info), "SignerInfo");
        expectRoundTrip<CAsn1_IssuerAndSerial>(bytesOf(*info.sid()), "sid");
        for (std::size_t a = 0; info.signedAttrs() != nullptr && a < info.signedAttrs()->count(); ++a) {
            expectRoundTrip<CAsn1_Attribute>(bytesOf(*info.signedAttrs()->attribute(a)), "Attribute");
        }
        if (info.unsignedAttrs() != nullptr && info.unsignedAttrs()->getCb() != 0) {
            expectRoundTrip<CAsn1_UnauthAttributes>(bytesOf(*info.unsignedAttrs()), "unsignedAttrs");
        }
    }
}

const Party& party(KeyKind kind) { return TestPki::instance().signer(kind); }

Bytes messageFor(KeyKind kind, bool attach = true, bool extras = false) {
    BuildOptions options;
    options.attach = attach;
    options.extraCertificates = extras;
    auto message = buildMessage(party(kind).der, options);
    const Bytes signature = kivo::test::randomBytes(kind == KeyKind::EcP256 ? 64 : 256, 9);
    message->setSignerSignature(0, signature.data(), signature.size());
    return bytesOf(*message);
}

// A CRL of the test CA and an unsigned attribute added to an OpenSSL message.
void addCrlAndUnsignedAttribute(CMS_ContentInfo* cms) {
    const auto& ca = TestPki::instance().ca();
    X509_CRL* crl = X509_CRL_new();
    X509_CRL_set_issuer_name(crl, X509_get_subject_name(ca.cert.get()));
    ASN1_TIME* now = ASN1_TIME_set(nullptr, 1770025277);
    X509_CRL_set1_lastUpdate(crl, now);
    ASN1_TIME_free(now);
    X509_CRL_sign(crl, ca.key.get(), EVP_sha256());
    CMS_add1_crl(cms, crl);
    X509_CRL_free(crl);
    CMS_SignerInfo* si = sk_CMS_SignerInfo_value(CMS_get0_SignerInfos(cms), 0);
    CMS_unsigned_add1_attr_by_txt(si, "1.3.6.1.4.1.99999.1", V_ASN1_UTF8STRING, "note", 4);
}

}  // namespace

TEST(CmsDecode, OwnAndOpenSslMessagesRoundTripPartByPart) {
    for (const KeyKind kind : {KeyKind::Rsa2048, KeyKind::EcP256}) {
        for (const bool attach : {true, false}) {
            SCOPED_TRACE(std::string(kivo::test::keyKindName(kind)) + (attach ? " attached" : " detached"));
            expectEveryPartRoundTrips(messageFor(kind, attach, attach));
        }
    }
    for (const KeyKind kind : {KeyKind::Rsa2048, KeyKind::EcP384}) {
        SCOPED_TRACE(std::string("OpenSSL ") + kivo::test::keyKindName(kind));
        const Bytes message = opensslSignedData(party(kind), Bytes{'o'}, 0, addCrlAndUnsignedAttribute);
        expectEveryPartRoundTrips(message);
        const auto decoded = decodeCopy<CAsn1_Pkcs7>(message);
        const CAsn1_Pkcs7_Sd& sd = *decoded->signedData();
        EXPECT_EQ(sd.crls().at(0)->getError(), 0);
        EXPECT_EQ(bytesOf(*sd.certificates().at(0)), party(kind).der);
        EXPECT_EQ(sd.encapContentInfo()->eContent()->text(), "6F");
        EXPECT_EQ(sd.getSignerInfo(0)->unsignedAttrs()->attribute(0)->valueTag(), CAsn1_Attribute::kOtherValue);
    }
    const Bytes noAttributes = opensslSignedData(party(KeyKind::Rsa2048), Bytes{'x'}, CMS_NOATTR);
    expectEveryPartRoundTrips(noAttributes);
    EXPECT_EQ(decodeCopy<CAsn1_Pkcs7>(noAttributes)->getSignerSignedAttributes(0), nullptr);
}

TEST(CmsDecode, StreamedBerMessageKeepsItsChunkedContentWhole) {
    const Bytes message = opensslSignedData(party(KeyKind::Rsa2048), Bytes(3000, 'b'), CMS_STREAM);
    ASSERT_EQ(message[1], 0x80);  // indefinite length
    const auto decoded = decodeCopy<CAsn1_Pkcs7>(message);
    ASSERT_EQ(decoded->getError(), 0);
    const CAsn1_Pkcs7_Sd& sd = *decoded->signedData();
    EXPECT_EQ(sd.certificates().size(), 1u);
    EXPECT_EQ(sd.encapContentInfo()->eContent(), nullptr);
    EXPECT_EQ(sd.encapContentInfo()->eContentOther()->getPb()[0], 0xA0);
    EXPECT_NE(sd.getSignerInfo(0)->signedAttrs()->find("1.2.840.113549.1.9.4"), nullptr);
}

TEST(CmsDecode, AlgorithmParametersAndAttributeValuesByType) {
    const std::pair<Bytes, const char*> algorithms[] = {
        {tlv(0x30, oidElement("2.16.840.1.101.3.4.2.1")), "05 00"},  // absent: NULL
        {tlv(0x30, join({oidElement("1.2.840.10045.2.1"), oidElement("1.2.840.10045.3.1.7")})), "06082A8648CE3D030107"},
        {tlv(0x30, join({oidElement("1.2.840.113549.1.1.10"), fromHex("3003 A20102")})), "3003A20102"},
    };
    for (const auto& [der, parameters] : algorithms) {
        expectRoundTrip<CAsn1_AlgoIdent>(der, parameters);
        EXPECT_EQ(bytesOf(*decodeCopy<CAsn1_AlgoIdent>(der)->parameters()), fromHex(parameters));
    }
    const auto attribute = [](const Bytes& values) { return tlv(0x30, join({oidElement("1.2.3.4"), tlv(0x31, values)})); };
    const std::pair<Bytes, std::uint32_t> values[] = {
        {fromHex("0402ABCD"), 4},
        {oidElement("1.2.840.113549.1.7.1"), 6},
        {tlv(0x17, "260202094117Z"), 23},
        {fromHex("1E020041"), 30},
        {fromHex("0C026869"), CAsn1_Attribute::kOtherValue},
        {fromHex("040101 040102"), 4},  // several values: the first is the object, the encoding keeps all
    };
    for (const auto& [value, valueTag] : values) {
        const auto decoded = decodeCopy<CAsn1_Attribute>(attribute(value));
        ASSERT_EQ(decoded->getError(), 0) << hexOf(value);
        EXPECT_EQ(decoded->valueTag(), valueTag) << hexOf(value);
        EXPECT_EQ(bytesOf(*decoded->attrValue()), slice(value, locate(value, {})));
        EXPECT_EQ(bytesOf(*decoded), attribute(value));
    }
}

TEST(CmsDecode, AttributeListsKeepTheirOrderAndRefuseFailedAttributes) {
    CAsn1_AuthAttributes signedAttrs;
    EXPECT_EQ(hexOf(bytesOf(signedAttrs)), "A000");
    EXPECT_FALSE(signedAttrs.addAttribute(nullptr));
    ASSERT_TRUE(signedAttrs.addAttribute(std::make_unique<CAsn1_Attribute>("1.2.3.4", "", "01", 4)));
    ASSERT_TRUE(signedAttrs.addAttribute(std::make_unique<CAsn1_Attribute>("1.2.3.1", "", "02", 4)));
    const Bytes first = tlv(0x30, join({oidElement("1.2.3.4"), tlv(0x31, fromHex("040101"))}));
    const Bytes second = tlv(0x30, join({oidElement("1.2.3.1"), tlv(0x31, fromHex("040102"))}));
    EXPECT_EQ(bytesOf(signedAttrs), tlv(0xA0, join({first, second})));  // insertion order, not sorted
    EXPECT_EQ(signedAttrs.find("1.2.3.1"), signedAttrs.attribute(1));
    EXPECT_FALSE(signedAttrs.addAttribute(std::make_unique<CAsn1_Attribute>("1.2.3.4", "", "AB", 12)));
    EXPECT_EQ(signedAttrs.getError(), kDerError);
    // The signature input form (31) decodes too; unsigned attributes are [1].
    EXPECT_EQ(decodeCopy<CAsn1_AuthAttributes>(tlv(0x31, join({first, second})))->count(), 2u);
    EXPECT_EQ(decodeCopy<CAsn1_UnauthAttributes>(tlv(0xA1, first))->count(), 1u);
}

TEST(CmsDecode, OtherContentTypesAndEnvelopedData) {
    const Bytes data = tlv(0x30, join({oidElement("1.2.840.113549.1.7.1"), tlv(0xA0, fromHex("0403616263"))}));
    expectRoundTrip<CAsn1_Pkcs7>(data, "data");
    EXPECT_EQ(decodeCopy<CAsn1_Pkcs7>(data)->getContentTypeCode(), 1);
    // No content at all, and an unknown type: nothing to encode.
    EXPECT_FALSE(decodeCopy<CAsn1_Pkcs7>(tlv(0x30, oidElement("1.2.840.113549.1.7.2")))->encode());
    EXPECT_FALSE(decodeCopy<CAsn1_Pkcs7>(tlv(0x30, join({oidElement("1.2.3.4"), tlv(0xA0, "")})))->encode());

    // Key transport (RSA) and key agreement (EC) recipients from OpenSSL.
    for (const KeyKind kind : {KeyKind::Rsa2048, KeyKind::EcP256}) {
        STACK_OF(X509)* recipients = sk_X509_new_null();
        sk_X509_push(recipients, party(kind).cert.get());
        auto content = memoryBio(Bytes{'s', 'e', 'c', 'r', 'e', 't'});
        CmsPtr cms(CMS_encrypt(recipients, content.get(), EVP_aes_128_cbc(), CMS_BINARY));
        sk_X509_free(recipients);
        BioPtr out(BIO_new(BIO_s_mem()));
        ASSERT_EQ(i2d_CMS_bio(out.get(), cms.get()), 1);
        const Bytes message = bioBytes(out.get());
        const auto decoded = decodeCopy<CAsn1_Pkcs7>(message);
        ASSERT_EQ(decoded->getContentTypeCode(), 3);
        const CAsn1_Pkcs7_Ed& ed = *decoded->envelopedData();
        const bool rsa = kind == KeyKind::Rsa2048;
        EXPECT_EQ(ed.version(), rsa ? 0u : 2u);
        EXPECT_EQ(ed.recipientInfos().at(0)->ktri() != nullptr, rsa);
        EXPECT_EQ(ed.recipientInfos().at(0)->kari() != nullptr, !rsa);
        EXPECT_EQ(ed.encryptedContentInfo()->getPb()[0], 0x30);
        ASSERT_TRUE(decoded->encode());  // not rebuilt, but written again as it was
        EXPECT_EQ(bytesOf(*decoded), message);
    }
}

TEST(CmsDecode, WrongIdentifiersFail) {
    // One element of each class the message is made of.
    const Bytes message = messageFor(KeyKind::Rsa2048);
    const std::pair<std::vector<std::size_t>, unsigned char> cases[] = {
        {{}, 0x31},             {{1}, 0xA1},             {{1, 0}, 0x31},          {{1, 0, 1}, 0x30},
        {{1, 0, 1, 0, 0}, 0x04}, {{1, 0, 2, 1}, 0xA2},   {{1, 0, 3}, 0xA2},       {{1, 0, 4, 0}, 0x31},
        {{1, 0, 4, 0, 1, 1}, 0x04}, {{1, 0, 4, 0, 3}, 0xA2}, {{1, 0, 4, 0, 3, 0, 1}, 0x30}, {{1, 0, 4, 0, 5}, 0x03},
    };
    for (const auto& [path, identifier] : cases) {
        Bytes mutated = message;
        mutated[locate(message, path).offset] = identifier;
        EXPECT_EQ(decodeCopy<CAsn1_Pkcs7>(mutated)->getError(), kDerError) << hexOf(mutated).substr(0, 8) << int(identifier);
    }
    // A certificate entry that is not X.509 reports its own error; the
    // message decodes and encodes again unchanged.
    Bytes otherCertificate = message;
    otherCertificate[locate(message, {1, 0, 3, 0}).offset] = 0xA1;  // an [1] attribute certificate entry
    const auto decoded = decodeCopy<CAsn1_Pkcs7>(otherCertificate);
    ASSERT_EQ(decoded->getError(), 0);
    EXPECT_EQ(decoded->signedData()->certificates().at(0)->getError(), kDerError);
    ASSERT_TRUE(decoded->encode());
    EXPECT_EQ(bytesOf(*decoded), otherCertificate);
}

TEST(CmsDecode, OneMalformedInputPerRuleFails) {
    // Lengthens one element by `extra` octets inside an unchanged parent;
    // the buffer has that many octets after the parent, so only the
    // parent's bound stops the read.
    const auto lengthen = [](const Bytes& der, std::vector<std::size_t> path, unsigned char extra) {
        Bytes mutated = der;
        mutated[locate(der, path).offset + 1] += extra;
        mutated.insert(mutated.end(), extra, 0x00);
        return mutated;
    };
    const Bytes message = messageFor(KeyKind::EcP256, true, true);
    const Bytes signer = slice(message, locate(message, {1, 0, 4, 0}));
    const Bytes& cert = party(KeyKind::EcP256).der;
    const Bytes algorithm = tlv(0x30, join({oidElement("1.2.840.10045.2.1"), oidElement("1.2.840.10045.3.1.7")}));
    const Bytes bits = tlv(0x03, fromHex("00 04 0102"));
    const Bytes encrypted = tlv(0x30, join({oidElement("1.2.840.113549.1.7.1"), fromHex("3000")}));
    const std::pair<const char*, int> cases[] = {
        {"message cut short", decodeCopy<CAsn1_Pkcs7>(Bytes(message.begin(), message.end() - 1))->getError()},
        {"signature past its SignerInfo", decodeCopy<CAsn1_SignerInfo>(lengthen(signer, {5}, 2))->getError()},
        {"signature past the message", decodeCopy<CAsn1_Pkcs7>(lengthen(message, {1, 0, 4, 0, 5}, 1))->getError()},
        {"sid by subject key identifier", decodeCopy<CAsn1_Pkcs7>(opensslSignedData(party(KeyKind::Rsa2048),
                                                                    Bytes{'x'}, CMS_USE_KEYID))->getError()},
        {"AlgorithmIdentifier with two parameters",
         decodeCopy<CAsn1_AlgoIdent>(tlv(0x30, join({oidElement("1.2.3"), fromHex("0500 0500")})))->getError()},
        {"attribute without value", decodeCopy<CAsn1_Attribute>(tlv(0x30, join({oidElement("1.2.3.4"),
                                                                     fromHex("3100")})))->getError()},
        {"attribute values not in a SET", decodeCopy<CAsn1_Attribute>(tlv(0x30, join({oidElement("1.2.3.4"),
                                                                           fromHex("3003040101")})))->getError()},
        {"attribute of a type it cannot build", CAsn1_Attribute("1.2.3.4", "", "AB", 30).getError()},
        {"signed attributes as [1]", decodeCopy<CAsn1_AuthAttributes>(fromHex("A100"))->getError()},
        {"password recipient", decodeCopy<CAsn1_RecipientInfo>(fromHex("A3 03 020100"))->getError()},
        {"key transport recipient without version",
         decodeCopy<CAsn1_KeyTransportRecipientInfo>(fromHex("3003 040100"))->getError()},
        {"more after the encrypted content", decodeCopy<CAsn1_Pkcs7_Ed>(tlv(0xA0, tlv(0x30, join({fromHex("020100"),
                                                 tlv(0x31, fromHex("3003020100")), encrypted, fromHex("0500")}))))->getError()},
        {"certificate as SET", decodeCopy<CAsn1_Cert>(join({fromHex("31"), Bytes(cert.begin() + 1, cert.end())}))->getError()},
        {"key bits not a BIT STRING", decodeCopy<CAsn1_PublicKey>(tlv(0x30, join({algorithm, fromHex("0403000401")})))->getError()},
        {"more after the key bits", decodeCopy<CAsn1_PublicKey>(tlv(0x30, join({algorithm, bits, fromHex("0500")})))->getError()},
        {"RSA key of one INTEGER",
         decodeCopy<CAsn1_PublicKeyRSA>(tlv(0x03, join({fromHex("00"), tlv(0x30, fromHex("0201C1"))})))->getError()},
        {"CRL that is no SEQUENCE", decodeCopy<CAsn1_Crl>(fromHex("0403 020101"))->getError()},
    };
    for (const auto& [what, error] : cases) EXPECT_EQ(error, kDerError) << what;
    // The signing-certificate-v2 value is only ever built.
    const auto certificate = decodeCopy<CAsn1_Cert>(cert);
    CAsn1_EssCertIdV2 ess(*certificate);
    EXPECT_FALSE(ess.decode());
    EXPECT_EQ(CAsn1_EssCertIdV2(*decodeCopy<CAsn1_Cert>(fromHex("3003 020101"))).getError(), kDerError);
}

namespace {

template <class... Classes>
void expectNullInputFails() {
    const int errors[] = {Classes(nullptr, 0).getError()...};
    const char* names[] = {typeid(Classes).name()...};
    for (std::size_t i = 0; i < sizeof...(Classes); ++i) EXPECT_EQ(errors[i], kDerError) << names[i];
}

}  // namespace

TEST(CmsDecode, NullAndEmptyInputFail) {
    expectNullInputFails<CAsn1_Pkcs7, CAsn1_Pkcs7_Sd, CAsn1_SignerInfo, CAsn1_ContentInfo, CAsn1_AlgoIdent,
                         CAsn1_Attribute, CAsn1_AuthAttributes, CAsn1_UnauthAttributes, CAsn1_IssuerAndSerial,
                         CAsn1_IssuerSerial, CAsn1_Cert, CAsn1_Crl, CAsn1_PublicKey, CAsn1_PublicKeyRSA,
                         CAsn1_PublicKeyEC, CAsn1_Pkcs7_Ed, CAsn1_OriginatorInfo, CAsn1_RecipientInfo,
                         CAsn1_KeyTransportRecipientInfo>();
    EXPECT_EQ(CAsn1_Pkcs7(nullptr, 10).getError(), kDerError);
    EXPECT_EQ(decodeCopy<CAsn1_Pkcs7>(fromHex("30 80 00"))->getError(), kDerError);
}
