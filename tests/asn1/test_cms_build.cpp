// Assembly of SignedData by CAsn1_Pkcs7::createSignedData and the
// signature handling around it.

#include "tests/asn1/CmsTestUtil.h"

#include "asn1/CmsOids.h"
#include "asn1/EcdsaSignature.h"

#include <gtest/gtest.h>

#include <ctime>

using kivo::test::KeyKind;
using kivo::test::cms::BuildOptions;
using kivo::test::cms::buildMessage;
using kivo::test::cms::Bytes;
using kivo::test::cms::bytesOf;
using kivo::test::cms::fromHex;
using kivo::test::cms::HeapCopy;
using kivo::test::cms::hexOf;
using kivo::test::cms::join;
using kivo::test::cms::oidElement;
using kivo::test::cms::TestPki;
using kivo::test::cms::tlv;

namespace {

const Bytes& signerDer(KeyKind kind) { return TestPki::instance().signer(kind).der; }

// The message decoded again from its encoding, as a reader sees it.
std::unique_ptr<CAsn1_Pkcs7> reread(const CAsn1_Pkcs7& message) {
    const HeapCopy copy(bytesOf(message));
    return std::make_unique<CAsn1_Pkcs7>(copy.data(), copy.size());
}

const CAsn1_SignerInfo& signerOf(const CAsn1_Pkcs7& message) {
    const CAsn1_SignerInfo* signer = message.signedData()->getSignerInfo(0);
    if (signer == nullptr) throw std::runtime_error("no signer");
    return *signer;
}

std::vector<std::string> attributeTypes(const CAsn1_AuthAttributes& attributes) {
    std::vector<std::string> types;
    for (std::size_t i = 0; i < attributes.count(); ++i) types.push_back(attributes.attribute(i)->attrType()->dotted());
    return types;
}

Bytes contentOf(const CAsn1_OctetString& octets) { return Bytes(octets.content().begin(), octets.content().end()); }

constexpr const char* kContentType = "1.2.840.113549.1.9.3";
constexpr const char* kSigningTime = "1.2.840.113549.1.9.5";
constexpr const char* kMessageDigest = "1.2.840.113549.1.9.4";
constexpr const char* kSigningCertificateV2 = "1.2.840.113549.1.9.16.2.47";

}  // namespace

TEST(CmsBuild, ContentAttachedInAnExplicitOctetStringOrLeftOut) {
    const struct {
        bool attach;
        Bytes content;
        const char* encapsulated;
    } cases[] = {
        {false, BuildOptions{}.content, "300B06092A864886F70D010701"},
        {true, {}, "300F06092A864886F70D010701A0020400"},
        {true, BuildOptions{}.content, "301B06092A864886F70D010701A00E040C4B69766F20636F6E74656E74"},
    };
    for (const auto& c : cases) {
        BuildOptions options;
        options.attach = c.attach;
        options.content = c.content;
        const auto message = buildMessage(signerDer(KeyKind::Rsa2048), options);
        ASSERT_EQ(message->getError(), 0);
        const CAsn1_ContentInfo& encap = *message->signedData()->encapContentInfo();
        EXPECT_EQ(hexOf(bytesOf(encap)), c.encapsulated);
        EXPECT_EQ(encap.eContentType()->name(), "data");
        // The message digest covers the content, attached or not.
        const auto* digest = dynamic_cast<const CAsn1_OctetString*>(
            message->getSignerSignedAttributes(0)->find(kMessageDigest)->attrValue());
        ASSERT_NE(digest, nullptr);
        EXPECT_EQ(contentOf(*digest), kivo::test::opensslDigest("SHA256", c.content.data(), c.content.size()));
        const auto decoded = reread(*message);
        ASSERT_EQ(decoded->getError(), 0);
        const CAsn1_OctetString* content = decoded->signedData()->encapContentInfo()->eContent();
        ASSERT_EQ(content != nullptr, c.attach);
        if (content != nullptr) {
            EXPECT_EQ(contentOf(*content), c.content);
        }
    }
}

TEST(CmsBuild, MessageLayoutFollowsSignedData) {
    BuildOptions options;
    const auto message = buildMessage(signerDer(KeyKind::EcP256), options);
    ASSERT_EQ(message->getError(), 0);
    EXPECT_EQ(message->getContentTypeCode(), 2);
    EXPECT_EQ(message->contentType()->name(), "signedData");

    const CAsn1_Pkcs7_Sd& sd = *message->signedData();
    EXPECT_EQ(sd.version(), 1u);
    ASSERT_EQ(sd.digestAlgorithms().size(), 1u);
    EXPECT_EQ(hexOf(bytesOf(*sd.digestAlgorithms()[0])), "300D06096086480165030402010500");
    ASSERT_EQ(sd.certificates().size(), 1u);
    EXPECT_EQ(bytesOf(*sd.certificates()[0]), signerDer(KeyKind::EcP256));
    EXPECT_TRUE(sd.crls().empty());
    ASSERT_EQ(sd.signerCount(), 1u);

    // 30 { OID signedData; A0 { 30 { 02 01 01; 31 {...}; ... } } }
    const Bytes whole = bytesOf(*message);
    const Bytes expected = tlv(0x30, join({oidElement("1.2.840.113549.1.7.2"), tlv(0xA0, bytesOf(sd))}));
    EXPECT_EQ(whole, expected);
    EXPECT_EQ(sd.getPb()[0], 0x30);  // the SignedData SEQUENCE; the [0] is the message's

    const CAsn1_SignerInfo& signer = signerOf(*message);
    EXPECT_EQ(signer.version(), 1u);
    EXPECT_EQ(bytesOf(*signer.digestAlgorithm()), bytesOf(*sd.digestAlgorithms()[0]));
    ASSERT_NE(signer.unsignedAttrs(), nullptr);
    EXPECT_EQ(signer.unsignedAttrs()->getCb(), 0u);  // adds nothing to the encoding
}

TEST(CmsBuild, SidNamesTheSignerByIssuerAndSerial) {
    const auto message = buildMessage(signerDer(KeyKind::Rsa2048), BuildOptions{});
    const auto& party = TestPki::instance().signer(KeyKind::Rsa2048);

    unsigned char* issuer = nullptr;
    const int issuerLength = i2d_X509_NAME(X509_get_issuer_name(party.cert.get()), &issuer);
    unsigned char* serial = nullptr;
    const int serialLength = i2d_ASN1_INTEGER(X509_get_serialNumber(party.cert.get()), &serial);
    const Bytes expected = tlv(0x30, join({Bytes(issuer, issuer + issuerLength), Bytes(serial, serial + serialLength)}));
    OPENSSL_free(issuer);
    OPENSSL_free(serial);

    const CAsn1_IssuerAndSerial& sid = *signerOf(*message).sid();
    EXPECT_EQ(bytesOf(sid), expected);
    EXPECT_EQ(sid.serialText(), "008000");  // serial 0x8000 with its sign octet
    EXPECT_NE(sid.issuerText().find("Kivo Test CA"), std::string::npos);
    EXPECT_EQ(sid.keyIdText(), "");
}

TEST(CmsBuild, AttributeModesFilterTheSignedAttributes) {
    const std::pair<int, std::vector<std::string>> cases[] = {
        {0, {kContentType, kSigningTime, kMessageDigest, kSigningCertificateV2}},
        {1, {kContentType, kMessageDigest, kSigningCertificateV2}},
        {5, {kContentType, kSigningTime}},
        {3, {kContentType, kSigningTime, kMessageDigest, kSigningCertificateV2}},
        {-1, {kContentType, kSigningTime, kMessageDigest, kSigningCertificateV2}},
    };
    for (const auto& [mode, expected] : cases) {
        BuildOptions options;
        options.attributeMode = mode;
        const auto message = buildMessage(signerDer(KeyKind::Rsa2048), options);
        ASSERT_EQ(message->getError(), 0) << mode;
        EXPECT_EQ(attributeTypes(*message->getSignerSignedAttributes(0)), expected) << mode;
        // The same order after decoding.
        EXPECT_EQ(attributeTypes(*reread(*message)->getSignerSignedAttributes(0)), expected) << mode;
    }
    EXPECT_TRUE(kivo::cms::attributeAdmitted(kContentType, 5));
    EXPECT_FALSE(kivo::cms::attributeAdmitted("1.2.840.113549.1.9.16.2.14", 0));  // a time stamp token
}

TEST(CmsBuild, SignedAttributeValuesAreExact) {
    BuildOptions options;
    const auto message = buildMessage(signerDer(KeyKind::EcP256), options);
    const CAsn1_AuthAttributes& attributes = *message->getSignerSignedAttributes(0);
    ASSERT_EQ(attributes.count(), 4u);
    EXPECT_EQ(attributes.getPb()[0], 0xA0);

    EXPECT_EQ(bytesOf(*attributes.attribute(0)),
              tlv(0x30, join({oidElement(kContentType), tlv(0x31, oidElement("1.2.840.113549.1.7.1"))})));
    const std::string time = "260202094117Z";
    EXPECT_EQ(bytesOf(*attributes.attribute(1)),
              tlv(0x30, join({oidElement(kSigningTime), tlv(0x31, tlv(0x17, Bytes(time.begin(), time.end())))})));
    const Bytes digest = kivo::test::opensslDigest("SHA256", options.content.data(), options.content.size());
    EXPECT_EQ(bytesOf(*attributes.attribute(2)),
              tlv(0x30, join({oidElement(kMessageDigest), tlv(0x31, tlv(0x04, digest))})));

    // SigningCertificateV2 { SEQUENCE OF ESSCertIDv2 { sha256 with NULL,
    // the certificate's SHA-256, IssuerSerial } }.
    const auto& party = TestPki::instance().signer(KeyKind::EcP256);
    const Bytes certHash = kivo::test::opensslDigest("SHA256", party.der.data(), party.der.size());
    unsigned char* issuer = nullptr;
    const int issuerLength = i2d_X509_NAME(X509_get_issuer_name(party.cert.get()), &issuer);
    const Bytes issuerName(issuer, issuer + issuerLength);
    OPENSSL_free(issuer);
    const Bytes issuerSerial =
        tlv(0x30, join({tlv(0x30, tlv(0xA4, issuerName)), fromHex("02 03 008003")}));
    const Bytes essCertId = tlv(0x30, join({fromHex("300D06096086480165030402010500"), tlv(0x04, certHash), issuerSerial}));
    EXPECT_EQ(bytesOf(*attributes.attribute(3)),
              tlv(0x30, join({oidElement(kSigningCertificateV2), tlv(0x31, tlv(0x30, tlv(0x30, essCertId)))})));
    EXPECT_EQ(attributes.attribute(3)->attrType()->name(), "id-aa-signingCertificateV2");
}

TEST(CmsBuild, SigningTimeDefaultsToNow) {
    BuildOptions options;
    options.useSigningTime = false;
    const std::int64_t before = std::time(nullptr);
    const auto message = buildMessage(signerDer(KeyKind::Rsa2048), options);
    const std::int64_t after = std::time(nullptr);
    const auto* attribute = message->getSignerSignedAttributes(0)->find(kSigningTime);
    ASSERT_NE(attribute, nullptr);
    const auto* time = dynamic_cast<const CAsn1_UtcTime*>(attribute->attrValue());
    ASSERT_NE(time, nullptr);
    EXPECT_GE(time->time(), before);
    EXPECT_LE(time->time(), after);
}

TEST(CmsBuild, HashIdsChooseDigestAlgorithmAndMessageDigest) {
    struct Case {
        int id;
        const char* oid;
        const char* name;
        const char* opensslName;
    };
    const Case cases[] = {
        {0, "1.3.14.3.2.26", "sha-160", "SHA1"},
        {1, "2.16.840.1.101.3.4.2.1", "sha-256", "SHA256"},
        {2, "2.16.840.1.101.3.4.2.2", "sha-384", "SHA384"},
        {3, "2.16.840.1.101.3.4.2.3", "sha-512", "SHA512"},
        {4, "1.3.36.3.2.1", "ripemd-160", "RIPEMD160"},
        {5, "1.2.840.113549.2.5", "md5", "MD5"},
        {7, "2.16.840.1.101.3.4.2.1", "sha-256", "SHA256"},
        {-3, "2.16.840.1.101.3.4.2.1", "sha-256", "SHA256"},
    };
    for (const Case& c : cases) {
        BuildOptions options;
        options.hashId = c.id;
        const auto message = buildMessage(signerDer(KeyKind::Rsa2048), options);
        ASSERT_EQ(message->getError(), 0) << c.id;
        const CAsn1_AlgoIdent& algorithm = *message->signedData()->digestAlgorithms()[0];
        EXPECT_EQ(algorithm.algorithm()->dotted(), c.oid) << c.id;
        EXPECT_EQ(algorithm.algorithm()->name(), c.name) << c.id;
        EXPECT_NE(dynamic_cast<const CAsn1_NullTag*>(algorithm.parameters()), nullptr);
        EXPECT_EQ(bytesOf(*signerOf(*message).digestAlgorithm()), bytesOf(algorithm));

        const auto* digest = dynamic_cast<const CAsn1_OctetString*>(
            message->getSignerSignedAttributes(0)->find(kMessageDigest)->attrValue());
        ASSERT_NE(digest, nullptr);
        EXPECT_EQ(contentOf(*digest),
                  kivo::test::opensslDigest(c.opensslName, options.content.data(), options.content.size()))
            << c.id;
    }
}

TEST(CmsBuild, SignatureAlgorithmAndPlaceholderFollowKeySchemeAndHash) {
    // The placeholder signature value has the largest size the key can
    // give, so that the final value never makes the message grow.
    auto& pki = TestPki::instance();
    const Bytes sha384 = oidElement("2.16.840.1.101.3.4.2.2");
    const Bytes pss = tlv(0x30, join({oidElement("1.2.840.113549.1.1.10"),
                                      tlv(0x30, join({tlv(0xA0, tlv(0x30, sha384)),
                                                      tlv(0xA1, tlv(0x30, join({oidElement("1.2.840.113549.1.1.8"),
                                                                                tlv(0x30, sha384)}))),
                                                      tlv(0xA2, fromHex("02 01 30"))}))}));
    const auto withNull = [](const char* dotted) { return tlv(0x30, join({oidElement(dotted), fromHex("0500")})); };
    // ECDSA-Sig-Value of two zero INTEGERs of `half` + 1 octets.
    const auto zeroEcdsa = [](const Bytes& header, const Bytes& integerHeader, std::size_t half) {
        return join({header, integerHeader, Bytes(half + 1, 0), integerHeader, Bytes(half + 1, 0)});
    };
    const struct {
        const char* what;
        const Bytes& signer;
        int scheme, hashId;
        Bytes algorithm;
        const char* name;
        Bytes placeholder;
        int schemeAfter;
    } cases[] = {
        {"RSA 2048", signerDer(KeyKind::Rsa2048), 0, 1, withNull("1.2.840.113549.1.1.1"), "rsaEncryption", Bytes(256, 0), 0},
        {"RSA 3072", signerDer(KeyKind::Rsa3072), 0, 1, withNull("1.2.840.113549.1.1.1"), "rsaEncryption", Bytes(384, 0), 0},
        {"PSS with an RSA key", signerDer(KeyKind::Rsa2048), 1, 2, pss, "RSASSA-PSS", Bytes(256, 0), 1},
        {"PSS with a PSS key", signerDer(KeyKind::RsaPss2048), 1, 2, pss, "RSASSA-PSS", Bytes(256, 0), 1},
        {"P-256", signerDer(KeyKind::EcP256), 0, 1, withNull("1.2.840.10045.4.3.2"), "ecdsa-with-SHA256",
         zeroEcdsa(fromHex("3046"), fromHex("0221"), 32), 2},
        {"P-384", signerDer(KeyKind::EcP384), 0, 2, withNull("1.2.840.10045.4.3.3"), "ecdsa-with-SHA384",
         zeroEcdsa(fromHex("3066"), fromHex("0231"), 48), 2},
        // 66-octet halves: long-form lengths throughout.
        {"P-521", pki.extraSigner("P-521").der, 0, 3, withNull("1.2.840.10045.4.3.4"), "ecdsa-with-SHA512",
         zeroEcdsa(fromHex("30818A"), fromHex("0243"), 66), 2},
        // The ECDSA scheme on an RSA key takes ECDSA shapes of the key size.
        {"ECDSA scheme, RSA key", signerDer(KeyKind::Rsa2048), 2, 1, withNull("1.2.840.10045.4.3.2"),
         "ecdsa-with-SHA256", zeroEcdsa(fromHex("3082020A"), fromHex("02820101"), 256), 2},
        // A key type of its own gets the fallback OID and, with no key size
        // known, an empty value.
        {"Ed25519", pki.extraSigner("ED25519").der, 0, 1, withNull("1.3.101.112"), "unknown OID", Bytes{}, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        BuildOptions options;
        options.scheme = c.scheme;
        options.hashId = c.hashId;
        options.fallbackOid = "1.3.101.112";
        const auto message = buildMessage(c.signer, options);
        ASSERT_EQ(message->getError(), 0);
        const CAsn1_SignerInfo& signer = signerOf(*message);
        EXPECT_EQ(hexOf(bytesOf(*signer.signatureAlgorithm())), hexOf(c.algorithm));
        EXPECT_EQ(signer.signatureAlgorithm()->algorithm()->name(), c.name);
        EXPECT_EQ(hexOf(contentOf(*signer.signature())), hexOf(c.placeholder));
        EXPECT_EQ(message->getSignatureScheme(), c.schemeAfter);
        EXPECT_EQ(signer.isEcSignature(), c.schemeAfter == 2);
        EXPECT_EQ(signer.rawSignature() != nullptr, c.schemeAfter == 2);
    }
    BuildOptions options;
    options.fallbackOid = "not an oid";
    const auto refused = buildMessage(pki.extraSigner("ED25519").der, options);
    EXPECT_EQ(refused->getError(), kDerError);
    EXPECT_EQ(refused->getPb(), nullptr);
}

TEST(CmsBuild, EcdsaOidFollowsTheHashAndFallsBackForOthers) {
    const std::pair<int, const char*> cases[] = {
        {0, "1.2.840.10045.4.1"},   {1, "1.2.840.10045.4.3.2"}, {2, "1.2.840.10045.4.3.3"},
        {3, "1.2.840.10045.4.3.4"}, {4, "1.2.840.10045.2.1"},   {5, "1.2.840.10045.2.1"},
        {7, "1.2.840.10045.2.1"},
    };
    for (const auto& [id, oid] : cases) {
        BuildOptions options;
        options.hashId = id;
        const auto message = buildMessage(signerDer(KeyKind::EcP256), options);
        ASSERT_EQ(message->getError(), 0) << id;
        const CAsn1_Oid& algorithm = *signerOf(*message).signatureAlgorithm()->algorithm();
        EXPECT_EQ(algorithm.dotted(), oid) << id;
        if (id > 3) {
            EXPECT_EQ(algorithm.name(), "unknown OID");
        }
    }
}

TEST(CmsBuild, RefusesUnusableInput) {
    const Bytes& der = signerDer(KeyKind::Rsa2048);
    const unsigned char content[] = {1, 2, 3};
    const std::int64_t when = 1770025277;

    CAsn1_Pkcs7 noType;  // content type never set
    EXPECT_FALSE(noType.createSignedData(der.data(), der.size(), 1, content, 3, &when, true, 0, "1.2.3"));
    EXPECT_EQ(noType.getError(), kDerError);

    const auto refuse = [&](const unsigned char* cert, std::size_t certLength, const unsigned char* data,
                            std::size_t dataLength, std::span<const CAsn1Base* const> extras) {
        CAsn1_Pkcs7 message;
        message.setContentTypeCode(2);
        EXPECT_FALSE(message.createSignedData(cert, certLength, 1, data, dataLength, &when, true, 0, "1.2.3", extras));
        EXPECT_EQ(message.getError(), kDerError);
        EXPECT_EQ(message.signedData(), nullptr);
    };
    refuse(nullptr, 0, content, 3, {});
    const Bytes garbage = fromHex("30 03 020101");
    refuse(garbage.data(), garbage.size(), content, 3, {});
    refuse(der.data(), der.size() - 1, content, 3, {});
    refuse(der.data(), der.size(), nullptr, 3, {});

    const CAsn1_Universal notACertificate(garbage.data(), garbage.size());
    const CAsn1Base* extras[] = {&notACertificate};
    refuse(der.data(), der.size(), content, 3, extras);
    const CAsn1_Universal empty(nullptr, 0);
    const CAsn1Base* emptyExtras[] = {&empty};
    refuse(der.data(), der.size(), content, 3, emptyExtras);
}

TEST(CmsBuild, ContentTypeCodes) {
    CAsn1_Pkcs7 message;
    EXPECT_EQ(message.getContentTypeCode(), 0);
    message.setContentTypeCode(2);
    EXPECT_EQ(message.getContentTypeCode(), 2);
    message.setContentTypeCode(3);  // only signedData can be set
    EXPECT_EQ(message.contentType(), nullptr);
    EXPECT_EQ(message.getContentTypeCode(), 0);
    EXPECT_FALSE(message.encode());

    for (int code = 1; code <= 6; ++code) {
        const std::string dotted = "1.2.840.113549.1.7." + std::to_string(code);
        const Bytes der = tlv(0x30, join({oidElement(dotted.c_str()), tlv(0xA0, fromHex("30 03 020100"))}));
        const HeapCopy copy(der);
        const CAsn1_Pkcs7 decoded(copy.data(), copy.size());
        EXPECT_EQ(decoded.getContentTypeCode(), code) << dotted;
    }
    const Bytes unknown = tlv(0x30, oidElement("1.2.840.113549.1.7.9"));
    EXPECT_EQ(CAsn1_Pkcs7(unknown.data(), unknown.size()).getContentTypeCode(), 0);
}

TEST(CmsBuild, AccessorsRefuseOutOfRangeSigners) {
    const auto message = buildMessage(signerDer(KeyKind::Rsa2048), BuildOptions{});
    EXPECT_NE(message->getSignerSignedAttributes(0), nullptr);
    EXPECT_EQ(message->getSignerSignedAttributes(1), nullptr);
    EXPECT_EQ(message->getSignerSignature(1, false), nullptr);
    EXPECT_EQ(message->signedData()->getSignerInfo(1), nullptr);  // index equal to the count
    const Bytes before = bytesOf(*message);
    const unsigned char signature[256] = {1};
    EXPECT_FALSE(message->setSignerSignature(1, signature, sizeof signature));
    EXPECT_FALSE(message->signedData()->setSignerSignature(1, CAsn1_OctetString::fromOctets(signature, 4)));
    EXPECT_EQ(bytesOf(*message), before);
    EXPECT_EQ(message->getError(), 0);

    CAsn1_Pkcs7 empty;
    EXPECT_EQ(empty.getSignerSignedAttributes(0), nullptr);
    EXPECT_EQ(empty.getSignerSignature(0, true), nullptr);
    EXPECT_FALSE(empty.setSignerSignature(0, signature, sizeof signature));
}

TEST(CmsBuild, RsaSignatureIsStoredAsGivenAndKeepsTheLength) {
    const auto message = buildMessage(signerDer(KeyKind::Rsa2048), BuildOptions{});
    const std::size_t placeholderLength = message->getCb();
    const Bytes signature = kivo::test::randomBytes(256, 11);
    ASSERT_TRUE(message->setSignerSignature(0, signature.data(), signature.size()));
    EXPECT_EQ(message->getCb(), placeholderLength);
    EXPECT_EQ(contentOf(*message->getSignerSignature(0, false)), signature);
    EXPECT_EQ(contentOf(*message->getSignerSignature(0, true)), signature);  // raw means nothing for RSA

    const auto decoded = reread(*message);
    EXPECT_EQ(contentOf(*decoded->getSignerSignature(0, false)), signature);
    EXPECT_FALSE(message->setSignerSignature(0, signature.data(), 0));
    EXPECT_FALSE(message->setSignerSignature(0, nullptr, 256));
}

TEST(CmsBuild, EcdsaSignatureBecomesDerWithSignOctets) {
    const auto message = buildMessage(signerDer(KeyKind::EcP256), BuildOptions{});
    const std::size_t placeholderLength = message->getCb();

    // r starts with 0x80: INTEGER r gets a zero octet in front.
    Bytes r(32, 0x11);
    r[0] = 0x80;
    // s starts with two zero octets: they are dropped.
    Bytes s(32, 0x22);
    s[0] = 0x00;
    s[1] = 0x00;
    const Bytes raw = join({r, s});
    ASSERT_TRUE(message->setSignerSignature(0, raw.data(), raw.size()));
    const Bytes expected = tlv(0x30, join({tlv(0x02, join({fromHex("00"), r})), tlv(0x02, Bytes(s.begin() + 2, s.end()))}));
    EXPECT_EQ(contentOf(*message->getSignerSignature(0, false)), expected);
    EXPECT_EQ(hexOf(expected).substr(0, 10), "3043022100");
    EXPECT_EQ(contentOf(*message->getSignerSignature(0, true)), raw);
    EXPECT_LE(message->getCb(), placeholderLength);

    // The decoded message gives the same raw form back.
    const auto decoded = reread(*message);
    ASSERT_EQ(decoded->getError(), 0);
    EXPECT_EQ(contentOf(*decoded->getSignerSignature(0, true)), raw);

    const Bytes odd(63, 0x01);
    EXPECT_FALSE(message->setSignerSignature(0, odd.data(), odd.size()));
    EXPECT_EQ(contentOf(*message->getSignerSignature(0, true)), raw);
}

TEST(CmsBuild, P521SignatureTakesLongFormLengths) {
    BuildOptions options;
    options.hashId = 3;
    const auto message = buildMessage(TestPki::instance().extraSigner("P-521").der, options);
    ASSERT_EQ(message->getError(), 0);
    const std::size_t placeholderLength = message->getCb();
    Bytes raw = kivo::test::randomBytes(132, 5);
    raw[0] = 0x01;   // a 521-bit r
    raw[66] = 0x00;  // s one octet shorter
    raw[67] = 0xF0;
    ASSERT_TRUE(message->setSignerSignature(0, raw.data(), raw.size()));
    const Bytes der = contentOf(*message->getSignerSignature(0, false));
    const Bytes expected = tlv(0x30, join({tlv(0x02, Bytes(raw.begin(), raw.begin() + 66)),
                                           tlv(0x02, join({fromHex("00"), Bytes(raw.begin() + 67, raw.end())}))}));
    EXPECT_EQ(der, expected);
    EXPECT_EQ(der[1], 0x81);
    EXPECT_EQ(contentOf(*message->getSignerSignature(0, true)), raw);
    EXPECT_LE(message->getCb(), placeholderLength);
}

TEST(CmsBuild, EcdsaConversionsInBothDirections) {
    using kivo::asn1::ecdsaDerFromRaw;
    using kivo::asn1::ecdsaRawFromDer;
    using kivo::asn1::RawSignatureForm;
    EXPECT_TRUE(ecdsaDerFromRaw({}).empty());
    EXPECT_EQ(hexOf(ecdsaDerFromRaw(Bytes(2, 0))), "3006020100020100");
    EXPECT_EQ(hexOf(ecdsaDerFromRaw(fromHex("0080 7F01"))), "30080202008002027F01");

    Bytes raw;
    // Short halves are padded to 32 octets.
    ASSERT_EQ(ecdsaRawFromDer(fromHex("3006 020105 020106"), &raw), RawSignatureForm::kRaw);
    Bytes expected(64, 0);
    expected[31] = 5;
    expected[63] = 6;
    EXPECT_EQ(raw, expected);
    // 48-octet halves (P-384) stay 48.
    const Bytes r48 = kivo::test::randomBytes(48, 3);
    const Bytes s48 = kivo::test::randomBytes(48, 4);
    const Bytes raw384 = join({r48, s48});
    ASSERT_EQ(ecdsaRawFromDer(ecdsaDerFromRaw(raw384), &raw), RawSignatureForm::kRaw);
    EXPECT_EQ(raw, raw384);

    // Not an ECDSA-Sig-Value: used as it is.
    EXPECT_EQ(ecdsaRawFromDer(fromHex("0102 0304"), &raw), RawSignatureForm::kCopy);
    EXPECT_EQ(ecdsaRawFromDer(fromHex("3003 040100"), &raw), RawSignatureForm::kCopy);
    // Broken ECDSA-Sig-Values and values too long for any curve: nothing.
    EXPECT_EQ(ecdsaRawFromDer(fromHex("3003 020105"), &raw), RawSignatureForm::kNone);
    EXPECT_EQ(ecdsaRawFromDer(fromHex("3008 020105 020106 0500"), &raw), RawSignatureForm::kNone);
    EXPECT_EQ(ecdsaRawFromDer(fromHex("3006 020105 040106"), &raw), RawSignatureForm::kNone);
    EXPECT_EQ(ecdsaRawFromDer(tlv(0x30, join({tlv(0x02, Bytes(67, 0x11)), fromHex("020101")})), &raw),
              RawSignatureForm::kNone);
}

TEST(CmsBuild, EcSignatureTestFollowsTheSignatureAlgorithm) {
    const auto signerWith = [](const char* algorithm, const Bytes& signature) {
        const Bytes& der = signerDer(KeyKind::Rsa2048);
        const HeapCopy copy(der);
        const CAsn1_Cert cert(copy.data(), copy.size());
        const auto issuer = cert.issuerDer();
        const auto serial = cert.serialDer();
        return std::make_unique<CAsn1_SignerInfo>(
            1, std::make_unique<CAsn1_IssuerAndSerial>(issuer.data(), issuer.size(), serial.data(), serial.size()),
            std::make_unique<CAsn1_AlgoIdent>(std::make_unique<CAsn1_Oid>("2.16.840.1.101.3.4.2.1", "sha-256")),
            std::make_unique<CAsn1_AuthAttributes>(),
            std::make_unique<CAsn1_AlgoIdent>(std::make_unique<CAsn1_Oid>(algorithm, "")),
            CAsn1_OctetString::fromOctets(signature.data(), signature.size()), nullptr);
    };
    const Bytes der = fromHex("3006 020101 020102");
    const Bytes plain = kivo::test::randomBytes(64, 21);
    const std::pair<const char*, bool> cases[] = {
        {"1.2.840.10045.4.1", true},        {"1.2.840.10045.4.3.2", true},     {"1.2.840.10045.4.3.4", true},
        {"0.4.0.127.0.7.1.1.4.1", true},    {"0.4.0.127.0.7.1.1.4.1.3", false}, {"1.2.840.10045.2.1", false},
        {"1.2.840.10045.40.1", false},      {"1.2.840.113549.1.1.1", false},
    };
    for (const auto& [algorithm, ec] : cases) {
        const auto signer = signerWith(algorithm, der);
        ASSERT_EQ(signer->getError(), 0) << algorithm;
        EXPECT_EQ(signer->isEcSignature(), ec) << algorithm;
        EXPECT_EQ(signer->rawSignature() != nullptr, ec) << algorithm;
    }
    // A plain r‖s value (BSI plain-ECDSA) is its own raw form.
    const auto plainSigner = signerWith("0.4.0.127.0.7.1.1.4.1", plain);
    ASSERT_NE(plainSigner->rawSignature(), nullptr);
    EXPECT_EQ(contentOf(*plainSigner->rawSignature()), plain);
    // An ECDSA-Sig-Value that cannot be made raw gives none.
    const auto broken = signerWith("1.2.840.10045.4.3.2", fromHex("3003 020101"));
    EXPECT_EQ(broken->rawSignature(), nullptr);
    EXPECT_NE(broken->signature(), nullptr);
}
