// Decoding of the CMS structure classes: round trips of our own and of
// OpenSSL's messages, EnvelopedData, and malformed input of every kind.

#include "tests/asn1/CmsTestUtil.h"

#include <openssl/ecdsa.h>
#include <openssl/x509v3.h>

#include <gtest/gtest.h>

#include <typeinfo>

using kivo::test::KeyKind;
using kivo::test::cms::BuildOptions;
using kivo::test::cms::buildMessage;
using kivo::test::cms::Bytes;
using kivo::test::cms::bytesOf;
using kivo::test::cms::fromHex;
using kivo::test::cms::HeapCopy;
using kivo::test::cms::hexOf;
using kivo::test::cms::join;
using kivo::test::cms::locate;
using kivo::test::cms::oidElement;
using kivo::test::cms::opensslSignedData;
using kivo::test::cms::slice;
using kivo::test::cms::TestPki;
using kivo::test::cms::tlv;

namespace {

template <class T>
std::unique_ptr<T> decodeCopy(const Bytes& bytes) {
    const HeapCopy copy(bytes);
    return std::make_unique<T>(copy.data(), copy.size());
}

// Decodes `bytes` as T, encodes again and expects the same octets.
template <class T>
void expectRoundTrip(const Bytes& bytes, const char* what) {
    const auto object = decodeCopy<T>(bytes);
    ASSERT_EQ(object->getError(), 0) << what;
    ASSERT_TRUE(object->encode()) << what;
    EXPECT_EQ(hexOf(bytesOf(*object)), hexOf(bytes)) << what;
    EXPECT_EQ(object->getElementSize(), bytes.size()) << what;
}

// An AlgorithmIdentifier encodes again as it was, except that absent
// parameters come back as NULL.
void expectAlgorithmRoundTrip(const Bytes& bytes, const char* what) {
    const auto object = decodeCopy<CAsn1_AlgoIdent>(bytes);
    ASSERT_EQ(object->getError(), 0) << what;
    ASSERT_TRUE(object->encode()) << what;
    const Bytes oid = slice(bytes, locate(bytes, {0}));
    const bool absent = locate(bytes, {}).header + oid.size() == bytes.size();
    const Bytes expected = absent ? tlv(0x30, join({oid, fromHex("0500")})) : bytes;
    EXPECT_EQ(hexOf(bytesOf(*object)), hexOf(expected)) << what;
}

// Every composite inside a signedData message, decoded on its own and
// encoded again.
void expectEveryPartRoundTrips(const Bytes& message) {
    expectRoundTrip<CAsn1_Pkcs7>(message, "ContentInfo");

    // SignedData is decoded from its [0] wrapper and encodes the SEQUENCE.
    const Bytes wrapper = slice(message, locate(message, {1}));
    const auto sd = decodeCopy<CAsn1_Pkcs7_Sd>(wrapper);
    ASSERT_EQ(sd->getError(), 0);
    ASSERT_TRUE(sd->encode());
    EXPECT_EQ(hexOf(bytesOf(*sd)), hexOf(slice(message, locate(message, {1, 0}))));

    expectAlgorithmRoundTrip(slice(message, locate(message, {1, 0, 1, 0})), "digest AlgorithmIdentifier");
    expectRoundTrip<CAsn1_ContentInfo>(slice(message, locate(message, {1, 0, 2})), "EncapsulatedContentInfo");

    for (std::size_t i = 0; i < sd->signerCount(); ++i) {
        const Bytes signer = bytesOf(*sd->getSignerInfo(i));
        expectRoundTrip<CAsn1_SignerInfo>(signer, "SignerInfo");
        const CAsn1_SignerInfo& info = *sd->getSignerInfo(i);
        expectAlgorithmRoundTrip(bytesOf(*info.digestAlgorithm()), "SignerInfo digestAlgorithm");
        expectAlgorithmRoundTrip(bytesOf(*info.signatureAlgorithm()), "signatureAlgorithm");
        expectRoundTrip<CAsn1_IssuerAndSerial>(bytesOf(*info.sid()), "sid");
        expectRoundTrip<CAsn1_OctetString>(bytesOf(*info.signature()), "signature");
        if (info.signedAttrs() != nullptr) {
            expectRoundTrip<CAsn1_AuthAttributes>(bytesOf(*info.signedAttrs()), "signedAttrs");
            for (std::size_t a = 0; a < info.signedAttrs()->count(); ++a) {
                expectRoundTrip<CAsn1_Attribute>(bytesOf(*info.signedAttrs()->attribute(a)), "Attribute");
            }
        }
        if (info.unsignedAttrs() != nullptr && info.unsignedAttrs()->getCb() != 0) {
            expectRoundTrip<CAsn1_UnauthAttributes>(bytesOf(*info.unsignedAttrs()), "unsignedAttrs");
        }
    }
}

const kivo::test::cms::Party& party(KeyKind kind) { return TestPki::instance().signer(kind); }

Bytes messageFor(KeyKind kind, bool attach, bool extras) {
    BuildOptions options;
    options.attach = attach;
    options.extraCertificates = extras;
    auto message = buildMessage(party(kind).der, options);
    if (message->getError() != 0) throw std::runtime_error("build failed");
    const Bytes signature = kivo::test::randomBytes(kind == KeyKind::EcP256 ? 64 : 256, 9);
    message->setSignerSignature(0, signature.data(), signature.size());
    return bytesOf(*message);
}

// A CRL of the test CA, made by OpenSSL.
X509_CRL* makeCrl() {
    const auto& ca = TestPki::instance().ca();
    X509_CRL* crl = X509_CRL_new();
    X509_CRL_set_version(crl, 1);
    X509_CRL_set_issuer_name(crl, X509_get_subject_name(ca.cert.get()));
    ASN1_TIME* now = ASN1_TIME_set(nullptr, 1770025277);
    X509_CRL_set1_lastUpdate(crl, now);
    X509_CRL_set1_nextUpdate(crl, now);
    ASN1_TIME_free(now);
    X509_CRL_sign(crl, ca.key.get(), EVP_sha256());
    return crl;
}

}  // namespace

// ---- round trips ---------------------------------------------------------------------

TEST(CmsDecode, OwnMessagesRoundTripPartByPart) {
    for (const KeyKind kind : {KeyKind::Rsa2048, KeyKind::EcP256}) {
        for (const bool attach : {true, false}) {
            for (const bool extras : {false, true}) {
                SCOPED_TRACE(std::string(kivo::test::keyKindName(kind)) + (attach ? " attached" : " detached") +
                             (extras ? " with extras" : ""));
                expectEveryPartRoundTrips(messageFor(kind, attach, extras));
            }
        }
    }
}

TEST(CmsDecode, OpenSslMessagesRoundTripWithCrlsAndUnsignedAttributes) {
    const Bytes content{'o', 'p', 'e', 'n', 's', 's', 'l'};
    for (const KeyKind kind : {KeyKind::Rsa2048, KeyKind::EcP384}) {
        SCOPED_TRACE(kivo::test::keyKindName(kind));
        const Bytes message = opensslSignedData(party(kind), content, 0, [](CMS_ContentInfo* cms) {
            X509_CRL* crl = makeCrl();
            CMS_add1_crl(cms, crl);
            X509_CRL_free(crl);
            CMS_SignerInfo* si = sk_CMS_SignerInfo_value(CMS_get0_SignerInfos(cms), 0);
            CMS_unsigned_add1_attr_by_txt(si, "1.3.6.1.4.1.99999.1", V_ASN1_UTF8STRING, "note", 4);
        });
        expectEveryPartRoundTrips(message);

        const auto decoded = decodeCopy<CAsn1_Pkcs7>(message);
        ASSERT_EQ(decoded->getError(), 0);
        const CAsn1_Pkcs7_Sd& sd = *decoded->signedData();
        ASSERT_EQ(sd.crls().size(), 1u);
        EXPECT_EQ(sd.crls()[0]->getError(), 0);
        ASSERT_EQ(sd.certificates().size(), 1u);
        EXPECT_EQ(bytesOf(*sd.certificates()[0]), party(kind).der);
        const CAsn1_SignerInfo& signer = *sd.getSignerInfo(0);
        ASSERT_NE(signer.unsignedAttrs(), nullptr);
        ASSERT_EQ(signer.unsignedAttrs()->count(), 1u);
        EXPECT_EQ(signer.unsignedAttrs()->attribute(0)->valueTag(), CAsn1_Attribute::kOtherValue);
        EXPECT_EQ(signer.unsignedAttrs()->getPb()[0], 0xA1);

        // OpenSSL's own attributes, in OpenSSL's order.
        ASSERT_NE(signer.signedAttrs(), nullptr);
        EXPECT_NE(signer.signedAttrs()->find("1.2.840.113549.1.9.4"), nullptr);
        EXPECT_NE(signer.signedAttrs()->find("1.2.840.113549.1.9.3"), nullptr);
        const auto* contentType = dynamic_cast<const CAsn1_Oid*>(signer.signedAttrs()->find("1.2.840.113549.1.9.3")->attrValue());
        ASSERT_NE(contentType, nullptr);
        EXPECT_EQ(contentType->dotted(), "1.2.840.113549.1.7.1");
        ASSERT_NE(sd.encapContentInfo()->eContent(), nullptr);
        EXPECT_EQ(sd.encapContentInfo()->eContent()->text(), hexOf(content));
    }
}

TEST(CmsDecode, SignerInfoWithoutSignedAttributes) {
    const Bytes message = opensslSignedData(party(KeyKind::Rsa2048), Bytes{'x'}, CMS_NOATTR);
    expectEveryPartRoundTrips(message);
    const auto decoded = decodeCopy<CAsn1_Pkcs7>(message);
    ASSERT_EQ(decoded->getError(), 0);
    EXPECT_EQ(decoded->getSignerSignedAttributes(0), nullptr);
    EXPECT_NE(decoded->getSignerSignature(0, false), nullptr);
}

TEST(CmsDecode, SubjectKeyIdentifierSidIsRefused) {
    const Bytes message = opensslSignedData(party(KeyKind::Rsa2048), Bytes{'x'}, CMS_USE_KEYID);
    const auto decoded = decodeCopy<CAsn1_Pkcs7>(message);
    EXPECT_EQ(decoded->getError(), kDerError);
    const auto signer = decodeCopy<CAsn1_SignerInfo>(slice(message, locate(message, {1, 0, 4, 0})));
    EXPECT_EQ(signer->getError(), kDerError);
}

TEST(CmsDecode, RawSignatureOfOpenSslEcdsaSignatures) {
    for (const KeyKind kind : {KeyKind::EcP256, KeyKind::EcP384}) {
        SCOPED_TRACE(kivo::test::keyKindName(kind));
        const int half = kind == KeyKind::EcP256 ? 32 : 48;
        for (int round = 0; round < 8; ++round) {  // several signatures: some r or s are short
            const Bytes message = opensslSignedData(party(kind), Bytes{'e', 'c', static_cast<unsigned char>(round)}, 0);
            const auto decoded = decodeCopy<CAsn1_Pkcs7>(message);
            ASSERT_EQ(decoded->getError(), 0);
            const CAsn1_OctetString* der = decoded->getSignerSignature(0, false);
            const CAsn1_OctetString* raw = decoded->getSignerSignature(0, true);
            ASSERT_NE(raw, nullptr);

            const unsigned char* p = der->content().data();
            ECDSA_SIG* sig = d2i_ECDSA_SIG(nullptr, &p, static_cast<long>(der->content().size()));
            ASSERT_NE(sig, nullptr);
            Bytes expected(2 * half);
            BN_bn2binpad(ECDSA_SIG_get0_r(sig), expected.data(), half);
            BN_bn2binpad(ECDSA_SIG_get0_s(sig), expected.data() + half, half);
            ECDSA_SIG_free(sig);
            EXPECT_EQ(Bytes(raw->content().begin(), raw->content().end()), expected);
        }
    }
}

TEST(CmsDecode, StreamedBerMessageIsRead) {
    const Bytes content(3000, 'b');
    const Bytes message = opensslSignedData(party(KeyKind::Rsa2048), content, CMS_STREAM);
    ASSERT_EQ(message[1], 0x80);  // indefinite length
    const auto decoded = decodeCopy<CAsn1_Pkcs7>(message);
    ASSERT_EQ(decoded->getError(), 0);
    const CAsn1_Pkcs7_Sd& sd = *decoded->signedData();
    EXPECT_EQ(sd.signerCount(), 1u);
    EXPECT_EQ(sd.certificates().size(), 1u);
    // The content in BER chunks is kept whole rather than read.
    EXPECT_EQ(sd.encapContentInfo()->eContent(), nullptr);
    ASSERT_NE(sd.encapContentInfo()->eContentOther(), nullptr);
    EXPECT_EQ(sd.encapContentInfo()->eContentOther()->getPb()[0], 0xA0);
    EXPECT_NE(sd.getSignerInfo(0)->signedAttrs()->find("1.2.840.113549.1.9.4"), nullptr);
}

TEST(CmsDecode, AlgorithmIdentifierParameters) {
    // Absent parameters decode as NULL and encode with 05 00.
    const auto absent = decodeCopy<CAsn1_AlgoIdent>(tlv(0x30, oidElement("2.16.840.1.101.3.4.2.1")));
    ASSERT_EQ(absent->getError(), 0);
    EXPECT_NE(dynamic_cast<const CAsn1_NullTag*>(absent->parameters()), nullptr);
    ASSERT_TRUE(absent->encode());
    EXPECT_EQ(hexOf(bytesOf(*absent)), "300D06096086480165030402010500");

    const Bytes ec = tlv(0x30, join({oidElement("1.2.840.10045.2.1"), oidElement("1.2.840.10045.3.1.7")}));
    const auto curve = decodeCopy<CAsn1_AlgoIdent>(ec);
    const auto* curveOid = dynamic_cast<const CAsn1_Oid*>(curve->parameters());
    ASSERT_NE(curveOid, nullptr);
    EXPECT_EQ(curveOid->dotted(), "1.2.840.10045.3.1.7");
    expectRoundTrip<CAsn1_AlgoIdent>(ec, "EC key algorithm");

    const Bytes pss = tlv(0x30, join({oidElement("1.2.840.113549.1.1.10"), fromHex("3003 A20102")}));
    const auto other = decodeCopy<CAsn1_AlgoIdent>(pss);
    const auto* kept = dynamic_cast<const CAsn1_Universal*>(other->parameters());
    ASSERT_NE(kept, nullptr);
    EXPECT_EQ(hexOf(bytesOf(*kept)), "3003A20102");
    expectRoundTrip<CAsn1_AlgoIdent>(pss, "PSS parameters");

    EXPECT_EQ(decodeCopy<CAsn1_AlgoIdent>(tlv(0x30, fromHex("0500")))->getError(), kDerError);
    EXPECT_EQ(decodeCopy<CAsn1_AlgoIdent>(tlv(0x30, join({oidElement("1.2.3"), fromHex("0500 0500")})))->getError(),
              kDerError);
    EXPECT_EQ(decodeCopy<CAsn1_AlgoIdent>(tlv(0x31, oidElement("1.2.3")))->getError(), kDerError);
    EXPECT_EQ(decodeCopy<CAsn1_AlgoIdent>(fromHex("3000"))->getError(), kDerError);

    const CAsn1_AlgoIdent noAlgorithm(nullptr);
    EXPECT_EQ(noAlgorithm.getError(), kDerError);
    EXPECT_EQ(noAlgorithm.getPb(), nullptr);
}

TEST(CmsDecode, AttributeValuesByType) {
    const auto attribute = [](const Bytes& value) {
        return tlv(0x30, join({oidElement("1.2.3.4"), tlv(0x31, value)}));
    };
    const std::pair<Bytes, std::uint32_t> cases[] = {
        {fromHex("0402ABCD"), 4},
        {oidElement("1.2.840.113549.1.7.1"), 6},
        {tlv(0x17, Bytes{'2', '6', '0', '2', '0', '2', '0', '9', '4', '1', '1', '7', 'Z'}), 23},
        {fromHex("1E020041"), 30},
        {fromHex("0C026869"), CAsn1_Attribute::kOtherValue},
        {fromHex("3003020101"), CAsn1_Attribute::kOtherValue},
    };
    for (const auto& [value, valueTag] : cases) {
        const Bytes der = attribute(value);
        const auto decoded = decodeCopy<CAsn1_Attribute>(der);
        ASSERT_EQ(decoded->getError(), 0) << hexOf(der);
        EXPECT_EQ(decoded->valueTag(), valueTag) << hexOf(der);
        EXPECT_EQ(bytesOf(*decoded->attrValue()), value);
        expectRoundTrip<CAsn1_Attribute>(der, "attribute");
    }
    EXPECT_NE(dynamic_cast<const CAsn1_BmpString*>(decodeCopy<CAsn1_Attribute>(attribute(fromHex("1E020041")))->attrValue()),
              nullptr);

    // Several values: the first is the object, the encoding keeps all.
    const Bytes several = tlv(0x30, join({oidElement("1.2.3.4"), tlv(0x31, fromHex("040101 040102"))}));
    const auto first = decodeCopy<CAsn1_Attribute>(several);
    ASSERT_EQ(first->getError(), 0);
    EXPECT_EQ(hexOf(bytesOf(*first->attrValue())), "040101");
    EXPECT_EQ(bytesOf(*first), several);

    EXPECT_EQ(decodeCopy<CAsn1_Attribute>(tlv(0x30, join({oidElement("1.2.3.4"), fromHex("3100")})))->getError(),
              kDerError);  // no value
    EXPECT_EQ(decodeCopy<CAsn1_Attribute>(tlv(0x30, join({fromHex("0401AA"), fromHex("3103040101")})))->getError(),
              kDerError);  // type is not an OID
    EXPECT_EQ(decodeCopy<CAsn1_Attribute>(tlv(0x30, join({oidElement("1.2.3.4"), fromHex("3003040101")})))->getError(),
              kDerError);  // values not in a SET
}

TEST(CmsDecode, AttributesBuiltFromText) {
    const CAsn1_Attribute digest("1.2.840.113549.1.9.4", "messageDigest", "a1b2", 4);
    ASSERT_EQ(digest.getError(), 0);
    EXPECT_EQ(bytesOf(digest), tlv(0x30, join({oidElement("1.2.840.113549.1.9.4"), tlv(0x31, fromHex("0402A1B2"))})));
    EXPECT_EQ(digest.attrType()->name(), "messageDigest");

    const CAsn1_Attribute type("1.2.840.113549.1.9.3", "contentType", "1.2.840.113549.1.7.1", 6);
    EXPECT_EQ(bytesOf(*type.attrValue()), oidElement("1.2.840.113549.1.7.1"));
    const CAsn1_Attribute time("1.2.840.113549.1.9.5", "signingTime", "260202094117Z", 23);
    EXPECT_EQ(dynamic_cast<const CAsn1_UtcTime*>(time.attrValue())->time(), 1770025277);

    const CAsn1_Attribute bmp("1.2.3.4", "", "AB", 30);
    EXPECT_EQ(bmp.getError(), kDerError);
    EXPECT_EQ(bmp.valueTag(), 30u);
    EXPECT_EQ(bmp.attrValue(), nullptr);
    EXPECT_EQ(bmp.getPb(), nullptr);
    const CAsn1_Attribute utf8("1.2.3.4", "", "AB", 12);
    EXPECT_EQ(utf8.getError(), kDerError);
    EXPECT_EQ(utf8.valueTag(), CAsn1_Attribute::kOtherValue);
    const CAsn1_Attribute badHex("1.2.3.4", "", "ABC", 4);
    EXPECT_EQ(badHex.getError(), kDerError);
    const CAsn1_Attribute badType("1.2", "", "AB", 4);
    EXPECT_EQ(badType.getError(), kDerError);
    const CAsn1_Attribute noValue("1.2.3.4", "", std::unique_ptr<CAsn1Base>());
    EXPECT_EQ(noValue.getError(), kDerError);
}

TEST(CmsDecode, AttributeLists) {
    CAsn1_AuthAttributes signedAttrs;
    EXPECT_EQ(hexOf(bytesOf(signedAttrs)), "A000");
    EXPECT_EQ(signedAttrs.getTag(), 17u);
    EXPECT_FALSE(signedAttrs.addAttribute(nullptr));
    ASSERT_TRUE(signedAttrs.addAttribute(std::make_unique<CAsn1_Attribute>("1.2.3.4", "", "01", 4)));
    ASSERT_TRUE(signedAttrs.addAttribute(std::make_unique<CAsn1_Attribute>("1.2.3.1", "", "02", 4)));
    // Insertion order, not sorted.
    const Bytes first = tlv(0x30, join({oidElement("1.2.3.4"), tlv(0x31, fromHex("040101"))}));
    const Bytes second = tlv(0x30, join({oidElement("1.2.3.1"), tlv(0x31, fromHex("040102"))}));
    EXPECT_EQ(bytesOf(signedAttrs), tlv(0xA0, join({first, second})));
    EXPECT_EQ(signedAttrs.find("1.2.3.1"), signedAttrs.attribute(1));
    EXPECT_EQ(signedAttrs.find("1.2.3.9"), nullptr);
    EXPECT_EQ(signedAttrs.attribute(2), nullptr);

    // A failed attribute makes the list refuse to encode.
    EXPECT_FALSE(signedAttrs.addAttribute(std::make_unique<CAsn1_Attribute>("1.2.3.4", "", "AB", 12)));
    EXPECT_EQ(signedAttrs.getError(), kDerError);

    // The signature input form (31) decodes too.
    const auto asSet = decodeCopy<CAsn1_AuthAttributes>(tlv(0x31, join({first, second})));
    ASSERT_EQ(asSet->getError(), 0);
    EXPECT_EQ(asSet->count(), 2u);
    EXPECT_EQ(decodeCopy<CAsn1_AuthAttributes>(fromHex("A000"))->count(), 0u);
    EXPECT_EQ(decodeCopy<CAsn1_AuthAttributes>(tlv(0xA0, join({first, fromHex("0401AA")})))->getError(), kDerError);
    EXPECT_EQ(decodeCopy<CAsn1_AuthAttributes>(tlv(0xA1, first))->getError(), kDerError);

    CAsn1_UnauthAttributes unsignedAttrs;
    EXPECT_EQ(unsignedAttrs.getPb(), nullptr);
    EXPECT_TRUE(unsignedAttrs.encode());
    EXPECT_EQ(unsignedAttrs.getError(), 0);
    const auto decoded = decodeCopy<CAsn1_UnauthAttributes>(tlv(0xA1, first));
    ASSERT_EQ(decoded->getError(), 0);
    EXPECT_EQ(decoded->count(), 1u);
}

TEST(CmsDecode, SignerInfoPartsAreRequired) {
    const Bytes message = messageFor(KeyKind::Rsa2048, true, false);
    const auto decoded = decodeCopy<CAsn1_Pkcs7>(message);
    const CAsn1_SignerInfo& model = *decoded->signedData()->getSignerInfo(0);
    const auto copyOf = [](const CAsn1_AlgoIdent* algorithm) {
        const Bytes bytes = bytesOf(*algorithm);
        return std::make_unique<CAsn1_AlgoIdent>(bytes.data(), bytes.size());
    };
    const Bytes sidBytes = bytesOf(*model.sid());
    const CAsn1_SignerInfo noSignature(1, std::make_unique<CAsn1_IssuerAndSerial>(sidBytes.data(), sidBytes.size()),
                                       copyOf(model.digestAlgorithm()), nullptr, copyOf(model.signatureAlgorithm()),
                                       nullptr, nullptr);
    EXPECT_EQ(noSignature.getError(), kDerError);
    EXPECT_EQ(noSignature.getPb(), nullptr);

    CAsn1_SignerInfo withoutAttributes(7, std::make_unique<CAsn1_IssuerAndSerial>(sidBytes.data(), sidBytes.size()),
                                       copyOf(model.digestAlgorithm()), nullptr, copyOf(model.signatureAlgorithm()),
                                       CAsn1_OctetString::fromOctets(nullptr, 0), nullptr);
    ASSERT_EQ(withoutAttributes.getError(), 0);
    EXPECT_EQ(withoutAttributes.version(), 7u);
    const Bytes encoded = bytesOf(withoutAttributes);
    EXPECT_EQ(hexOf(slice(encoded, locate(encoded, {0}))), "020101");  // always written as 1
    EXPECT_FALSE(withoutAttributes.replaceSignature(nullptr));
    const Bytes signature{1, 2, 3};
    ASSERT_TRUE(withoutAttributes.replaceSignature(CAsn1_OctetString::fromOctets(signature.data(), 3)));
    EXPECT_EQ(hexOf(bytesOf(*withoutAttributes.signature())), "0403010203");
}

TEST(CmsDecode, ContentTypesOtherThanSignedData) {
    const Bytes data = tlv(0x30, join({oidElement("1.2.840.113549.1.7.1"), tlv(0xA0, fromHex("0403616263"))}));
    expectRoundTrip<CAsn1_Pkcs7>(data, "data");
    const auto decoded = decodeCopy<CAsn1_Pkcs7>(data);
    EXPECT_EQ(decoded->getContentTypeCode(), 1);
    ASSERT_NE(decoded->data(), nullptr);
    EXPECT_EQ(decoded->signedData(), nullptr);
    EXPECT_EQ(decoded->getSignerSignedAttributes(0), nullptr);

    // No content at all, and an unknown type: nothing to encode.
    const auto bare = decodeCopy<CAsn1_Pkcs7>(tlv(0x30, oidElement("1.2.840.113549.1.7.2")));
    EXPECT_EQ(bare->getError(), 0);
    EXPECT_EQ(bare->signedData(), nullptr);
    EXPECT_FALSE(bare->encode());
    const auto unknown = decodeCopy<CAsn1_Pkcs7>(tlv(0x30, join({oidElement("1.2.3.4"), tlv(0xA0, fromHex("0500"))})));
    EXPECT_EQ(unknown->getError(), 0);
    EXPECT_EQ(unknown->getContentTypeCode(), 0);
    EXPECT_FALSE(unknown->encode());
}

// ---- EnvelopedData ---------------------------------------------------------------

TEST(CmsDecode, EnvelopedDataFromOpenSsl) {
    const Bytes content{'s', 'e', 'c', 'r', 'e', 't'};
    const auto encrypt = [&](KeyKind kind) {
        STACK_OF(X509)* recipients = sk_X509_new_null();
        sk_X509_push(recipients, party(kind).cert.get());
        auto data = kivo::test::cms::memoryBio(content);
        kivo::test::cms::CmsPtr cms(CMS_encrypt(recipients, data.get(), EVP_aes_128_cbc(), CMS_BINARY));
        sk_X509_free(recipients);
        if (!cms) throw std::runtime_error("CMS_encrypt failed");
        kivo::test::cms::BioPtr out(BIO_new(BIO_s_mem()));
        i2d_CMS_bio(out.get(), cms.get());
        return kivo::test::cms::bioBytes(out.get());
    };

    const Bytes rsaMessage = encrypt(KeyKind::Rsa2048);
    const auto rsa = decodeCopy<CAsn1_Pkcs7>(rsaMessage);
    ASSERT_EQ(rsa->getError(), 0);
    EXPECT_EQ(rsa->getContentTypeCode(), 3);
    const CAsn1_Pkcs7_Ed& ed = *rsa->envelopedData();
    EXPECT_EQ(ed.version(), 0u);
    EXPECT_EQ(ed.originatorInfo(), nullptr);
    ASSERT_EQ(ed.recipientInfos().size(), 1u);
    ASSERT_NE(ed.recipientInfos()[0]->ktri(), nullptr);
    EXPECT_EQ(ed.recipientInfos()[0]->ktri()->version(), 0u);
    ASSERT_NE(ed.encryptedContentInfo(), nullptr);
    EXPECT_EQ(ed.encryptedContentInfo()->getPb()[0], 0x30);
    // Not rebuilt, but written again as it was.
    ASSERT_TRUE(rsa->encode());
    EXPECT_EQ(bytesOf(*rsa), rsaMessage);

    const auto ec = decodeCopy<CAsn1_Pkcs7>(encrypt(KeyKind::EcP256));
    ASSERT_EQ(ec->getError(), 0);
    const CAsn1_Pkcs7_Ed& agreed = *ec->envelopedData();
    EXPECT_EQ(agreed.version(), 2u);
    ASSERT_EQ(agreed.recipientInfos().size(), 1u);
    EXPECT_EQ(agreed.recipientInfos()[0]->ktri(), nullptr);
    ASSERT_NE(agreed.recipientInfos()[0]->kari(), nullptr);
    EXPECT_EQ(agreed.recipientInfos()[0]->kari()->getPb()[0], 0xA1);
}

TEST(CmsDecode, EnvelopedDataWithOriginatorInfoAndKekRecipient) {
    const Bytes& certificate = party(KeyKind::EcP256).der;
    const Bytes crl = fromHex("3003 020101");
    const Bytes originator = tlv(0xA0, join({tlv(0xA0, certificate), tlv(0xA1, crl)}));
    const Bytes kekri = fromHex("A2 03 020104");
    const Bytes ktri = fromHex("30 03 020100");
    const Bytes encrypted = tlv(0x30, join({oidElement("1.2.840.113549.1.7.1"), fromHex("3000")}));
    const Bytes ed = tlv(0xA0, tlv(0x30, join({fromHex("020102"), originator, tlv(0x31, join({kekri, ktri})), encrypted})));
    const Bytes message = tlv(0x30, join({oidElement("1.2.840.113549.1.7.3"), ed}));

    const auto decoded = decodeCopy<CAsn1_Pkcs7>(message);
    ASSERT_EQ(decoded->getError(), 0);
    const CAsn1_Pkcs7_Ed& enveloped = *decoded->envelopedData();
    EXPECT_EQ(enveloped.version(), 2u);
    ASSERT_NE(enveloped.originatorInfo(), nullptr);
    ASSERT_EQ(enveloped.originatorInfo()->certs().size(), 1u);
    EXPECT_EQ(enveloped.originatorInfo()->certs()[0]->keyBits(), 256u);
    ASSERT_EQ(enveloped.originatorInfo()->crls().size(), 1u);
    ASSERT_EQ(enveloped.recipientInfos().size(), 2u);
    EXPECT_EQ(bytesOf(*enveloped.recipientInfos()[0]->kekri()), kekri);
    EXPECT_EQ(enveloped.recipientInfos()[1]->ktri()->version(), 0u);
    EXPECT_EQ(bytesOf(*enveloped.encryptedContentInfo()), encrypted);
    ASSERT_TRUE(decoded->encode());
    EXPECT_EQ(bytesOf(*decoded), message);

    // Password and other recipient choices are not read.
    const Bytes password = tlv(0xA0, tlv(0x30, join({fromHex("020100"), tlv(0x31, fromHex("A3 03 020100")), encrypted})));
    EXPECT_EQ(decodeCopy<CAsn1_Pkcs7_Ed>(password)->getError(), kDerError);
    EXPECT_EQ(decodeCopy<CAsn1_RecipientInfo>(fromHex("A3 03 020100"))->getError(), kDerError);
    // Nothing but unprotectedAttrs may follow the encrypted content.
    const Bytes trailing = tlv(0xA0, tlv(0x30, join({fromHex("020100"), tlv(0x31, ktri), encrypted, fromHex("0500")})));
    EXPECT_EQ(decodeCopy<CAsn1_Pkcs7_Ed>(trailing)->getError(), kDerError);
    const Bytes unprotected = tlv(0xA0, tlv(0x30, join({fromHex("020100"), tlv(0x31, ktri), encrypted, fromHex("A100")})));
    EXPECT_EQ(decodeCopy<CAsn1_Pkcs7_Ed>(unprotected)->getError(), 0);

    const auto undecoded = decodeCopy<CAsn1_KeyTransportRecipientInfo>(fromHex("3003 040100"));
    EXPECT_EQ(undecoded->getError(), kDerError);
    EXPECT_EQ(undecoded->version(), CAsn1_KeyTransportRecipientInfo::kNotDecoded);
}

// ---- malformed input -------------------------------------------------------------

TEST(CmsDecode, EveryTruncationOfAMessageFails) {
    const Bytes message = messageFor(KeyKind::EcP256, true, true);
    for (std::size_t cut = 0; cut < message.size(); ++cut) {
        const HeapCopy prefix(message.data(), cut);
        ASSERT_EQ(CAsn1_Pkcs7(prefix.data(), prefix.size()).getError(), kDerError) << "cut at " << cut;
    }
}

TEST(CmsDecode, WrongIdentifiersFail) {
    // One element of each class the message is made of.
    const Bytes message = messageFor(KeyKind::Rsa2048, true, false);
    const std::pair<std::vector<std::size_t>, unsigned char> cases[] = {
        {{}, 0x31},                    // ContentInfo SEQUENCE
        {{1}, 0xA1},                   // [0] content
        {{1, 0}, 0x31},                // SignedData SEQUENCE
        {{1, 0, 1}, 0x30},             // digestAlgorithms SET
        {{1, 0, 1, 0, 0}, 0x04},       // an AlgorithmIdentifier's OID
        {{1, 0, 2, 1}, 0xA2},          // [0] eContent
        {{1, 0, 3}, 0xA2},             // certificates
        {{1, 0, 4, 0}, 0x31},          // SignerInfo
        {{1, 0, 4, 0, 1, 1}, 0x04},    // sid serial
        {{1, 0, 4, 0, 3}, 0xA2},       // signedAttrs
        {{1, 0, 4, 0, 3, 0, 1}, 0x30}, // an Attribute's values
        {{1, 0, 4, 0, 5}, 0x03},       // signature
    };
    for (const auto& [path, identifier] : cases) {
        Bytes mutated = message;
        const auto where = locate(message, path);
        mutated[where.offset] = identifier;
        EXPECT_EQ(decodeCopy<CAsn1_Pkcs7>(mutated)->getError(), kDerError)
            << "element at " << where.offset << " as " << int(identifier);
    }
}

TEST(CmsDecode, CarriedCertificatesMayBeOfAnyKind) {
    // A certificate entry that is not X.509 reports its own error; the
    // message decodes and encodes again unchanged.
    const Bytes message = messageFor(KeyKind::Rsa2048, true, false);
    Bytes mutated = message;
    mutated[locate(message, {1, 0, 3, 0}).offset] = 0xA1;  // an [1] attribute certificate entry
    const auto decoded = decodeCopy<CAsn1_Pkcs7>(mutated);
    ASSERT_EQ(decoded->getError(), 0);
    ASSERT_EQ(decoded->signedData()->certificates().size(), 1u);
    EXPECT_EQ(decoded->signedData()->certificates()[0]->getError(), kDerError);
    ASSERT_TRUE(decoded->encode());
    EXPECT_EQ(bytesOf(*decoded), mutated);
}

TEST(CmsDecode, ElementsReachingPastTheirParentFail) {
    // Lengthens one element by `extra` octets inside an unchanged parent;
    // the buffer has that many octets after the parent, so only the
    // parent's bound stops the read.
    const auto lengthen = [](const Bytes& der, std::initializer_list<std::size_t> path, unsigned char extra) {
        const auto where = locate(der, path);
        Bytes mutated = der;
        if (where.header != 2) throw std::runtime_error("short form expected");
        mutated[where.offset + 1] = static_cast<unsigned char>(mutated[where.offset + 1] + extra);
        mutated.insert(mutated.end(), extra, 0x00);
        return mutated;
    };
    const Bytes message = messageFor(KeyKind::EcP256, true, false);
    const Bytes signer = slice(message, locate(message, {1, 0, 4, 0}));
    EXPECT_EQ(decodeCopy<CAsn1_SignerInfo>(lengthen(signer, {5}, 2))->getError(), kDerError);   // signature
    EXPECT_EQ(decodeCopy<CAsn1_AlgoIdent>(lengthen(fromHex("300D06096086480165030402010500"), {1}, 1))->getError(),
              kDerError);  // NULL parameters
    const Bytes attribute = slice(message, locate(message, {1, 0, 4, 0, 3, 2}));
    EXPECT_EQ(decodeCopy<CAsn1_Attribute>(lengthen(attribute, {1, 0}, 3))->getError(), kDerError);
    EXPECT_EQ(decodeCopy<CAsn1_Pkcs7>(lengthen(message, {1, 0, 4, 0, 5}, 1))->getError(), kDerError);
}

TEST(CmsDecode, SingleOctetChangesNeverBreakTheDecoder) {
    const Bytes message = messageFor(KeyKind::EcP256, true, false);
    int accepted = 0;
    for (std::size_t i = 0; i < message.size(); ++i) {
        for (const unsigned char mask : {0x01, 0x80, 0xFF}) {
            Bytes mutated = message;
            mutated[i] ^= mask;
            const auto decoded = decodeCopy<CAsn1_Pkcs7>(mutated);
            const int error = decoded->getError();
            ASSERT_TRUE(error == 0 || error == kDerError);
            if (error != 0) continue;
            ++accepted;
            // What decodes encodes again, and that encoding decodes; only an
            // unknown content type leaves nothing to encode.
            if (decoded->getContentTypeCode() == 0) {
                EXPECT_FALSE(decoded->encode());
                continue;
            }
            ASSERT_TRUE(decoded->encode()) << "offset " << i;
            const auto again = decodeCopy<CAsn1_Pkcs7>(bytesOf(*decoded));
            ASSERT_EQ(again->getError(), 0) << "offset " << i;
        }
    }
    // Changes inside values (hashes, keys, signatures) are not structural.
    EXPECT_GT(accepted, 0);
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
    const unsigned char octet = 0x30;
    EXPECT_EQ(CAsn1_Pkcs7(nullptr, 10).getError(), kDerError);
    EXPECT_EQ(CAsn1_Pkcs7(&octet, 0).getError(), kDerError);
    for (std::size_t n = 1; n <= 3; ++n) {
        const HeapCopy tiny(fromHex("30 80 00").data(), n);
        EXPECT_EQ(CAsn1_Pkcs7(tiny.data(), tiny.size()).getError(), kDerError) << n;
    }
}
