// Assembly of SignedData by CAsn1_Pkcs7::createSignedData and the
// signature handling around it.

#include "tests/asn1/CmsTestUtil.h"

#include "asn1/EcdsaSignature.h"

#include <gtest/gtest.h>

using namespace kivo::test::cms;
using kivo::test::KeyKind;

namespace {

const Bytes& signerDer(KeyKind kind) { return TestPki::instance().signer(kind).der; }

std::unique_ptr<CAsn1_Pkcs7> build(KeyKind kind) { return buildMessage(signerDer(kind), BuildOptions{}); }

// The message decoded again from its encoding, as a reader sees it.
std::unique_ptr<CAsn1_Pkcs7> reread(const CAsn1_Pkcs7& message) {
    const HeapCopy copy(bytesOf(message));
    return std::make_unique<CAsn1_Pkcs7>(copy.data(), copy.size());
}

std::vector<std::string> attributeTypes(const CAsn1_AuthAttributes& attributes) {
    std::vector<std::string> types;
    for (std::size_t i = 0; i < attributes.count(); ++i) types.push_back(attributes.attribute(i)->attrType()->dotted());
    return types;
}

Bytes contentOf(const CAsn1Base* octets) {
    const auto content = dynamic_cast<const CAsn1_OctetString&>(*octets).content();
    return Bytes(content.begin(), content.end());
}

Bytes messageDigestOf(const CAsn1_Pkcs7& message) {
    return contentOf(message.getSignerSignedAttributes(0)->find("1.2.840.113549.1.9.4")->attrValue());
}

Bytes opensslIssuer(const Party& party) { return opensslDer(X509_get_issuer_name(party.cert.get()), i2d_X509_NAME); }

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
        EXPECT_EQ(hexOf(bytesOf(*message->signedData()->encapContentInfo())), c.encapsulated);
        // The message digest covers the content, attached or not.
        EXPECT_EQ(messageDigestOf(*message), kivo::test::opensslDigest("SHA256", c.content.data(), c.content.size()));
    }
}

TEST(CmsBuild, LayoutSidAndSignedAttributeValuesAreExact) {
    const auto message = build(KeyKind::EcP256);
    const CAsn1_Pkcs7_Sd& sd = *message->signedData();
    EXPECT_EQ(bytesOf(*message), tlv(0x30, join({oidElement("1.2.840.113549.1.7.2"), tlv(0xA0, bytesOf(sd))})));
    const CAsn1_SignerInfo& signer = *sd.getSignerInfo(0);
    // sid: the issuer and the serial 0x8000 with its sign octet.
    const Party& party = TestPki::instance().signer(KeyKind::EcP256);
    const Bytes serial = fromHex("02 03 008003");
    EXPECT_EQ(bytesOf(*signer.sid()), tlv(0x30, join({opensslIssuer(party), serial})));

    const CAsn1_AuthAttributes& attributes = *signer.signedAttrs();
    ASSERT_EQ(attributes.count(), 4u);
    const auto attribute = [](const char* type, const Bytes& value) {
        return tlv(0x30, join({oidElement(type), tlv(0x31, value)}));
    };
    // SigningCertificateV2 { SEQUENCE OF ESSCertIDv2 { sha256, the
    // certificate's hash, IssuerSerial } }.
    const Bytes certHash = kivo::test::opensslDigest("SHA256", party.der.data(), party.der.size());
    const Bytes essCertId = tlv(0x30, join({fromHex("300D06096086480165030402010500"), tlv(0x04, certHash),
                                            tlv(0x30, join({tlv(0x30, tlv(0xA4, opensslIssuer(party))), serial}))}));
    const Bytes content = BuildOptions{}.content;
    const Bytes expected[] = {
        attribute(kContentType, oidElement("1.2.840.113549.1.7.1")),
        attribute(kSigningTime, kivo::test::tlv(0x17, "260202094117Z")),
        attribute(kMessageDigest, tlv(0x04, kivo::test::opensslDigest("SHA256", content.data(), content.size()))),
        attribute(kSigningCertificateV2, tlv(0x30, tlv(0x30, essCertId))),
    };
    for (std::size_t i = 0; i < 4; ++i) EXPECT_EQ(hexOf(bytesOf(*attributes.attribute(i))), hexOf(expected[i])) << i;
}

TEST(CmsBuild, HashIdsAndAttributeModesChooseDigestSignatureAlgorithmAndAttributes) {
    const std::vector<std::string> all{kContentType, kSigningTime, kMessageDigest, kSigningCertificateV2};
    const struct {
        int id, mode;
        const char* oid;
        const char* opensslName;
        const char* ecdsa;  // the EC signature algorithm; other hashes fall back to the key's OID
        std::vector<std::string> attributes;
    } cases[] = {
        {0, 0, "1.3.14.3.2.26", "SHA1", "1.2.840.10045.4.1", all},
        {1, 1, "2.16.840.1.101.3.4.2.1", "SHA256", "1.2.840.10045.4.3.2", {kContentType, kMessageDigest, kSigningCertificateV2}},
        {2, 5, "2.16.840.1.101.3.4.2.2", "SHA384", "1.2.840.10045.4.3.3", {kContentType, kSigningTime}},
        {3, -1, "2.16.840.1.101.3.4.2.3", "SHA512", "1.2.840.10045.4.3.4", all},
        {4, 0, "1.3.36.3.2.1", "RIPEMD160", "1.2.840.10045.2.1", all},
        {5, 0, "1.2.840.113549.2.5", "MD5", "1.2.840.10045.2.1", all},
        {7, 0, "2.16.840.1.101.3.4.2.1", "SHA256", "1.2.840.10045.2.1", all},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.id);
        BuildOptions options;
        options.hashId = c.id;
        options.attributeMode = c.mode;
        const auto message = buildMessage(signerDer(KeyKind::EcP256), options);
        const CAsn1_AlgoIdent& algorithm = *message->signedData()->digestAlgorithms().at(0);
        EXPECT_EQ(bytesOf(algorithm), tlv(0x30, join({oidElement(c.oid), fromHex("0500")})));
        EXPECT_EQ(message->signedData()->getSignerInfo(0)->signatureAlgorithm()->algorithm()->dotted(), c.ecdsa);
        EXPECT_EQ(attributeTypes(*reread(*message)->getSignerSignedAttributes(0)), c.attributes);
        if (c.mode == 5) continue;
        EXPECT_EQ(messageDigestOf(*message), kivo::test::opensslDigest(c.opensslName, options.content.data(), options.content.size()));
    }
}

TEST(CmsBuild, SignatureAlgorithmAndPlaceholderFollowKeySchemeAndHash) {
    // The placeholder signature value has the largest size the key can
    // give, so that the final value never makes the message grow.
    auto& pki = TestPki::instance();
    const auto withNull = [](const char* dotted) { return tlv(0x30, join({oidElement(dotted), fromHex("0500")})); };
    // ECDSA-Sig-Value of two zero INTEGERs of `half` + 1 octets.
    const auto zeroEcdsa = [](const char* header, const char* integerHeader, std::size_t half) {
        const Bytes integer = join({fromHex(integerHeader), Bytes(half + 1, 0)});
        return join({fromHex(header), integer, integer});
    };
    const struct {
        const char* what;
        const Bytes& signer;
        int scheme, hashId;
        Bytes algorithm, placeholder;
        int schemeAfter;
    } cases[] = {
        {"RSA 3072", signerDer(KeyKind::Rsa3072), 0, 1, withNull("1.2.840.113549.1.1.1"), Bytes(384, 0), 0},
        {"PSS with an RSA key", signerDer(KeyKind::Rsa2048), 1, 2, {}, Bytes(256, 0), 1},  // OpenSSL checks the parameters
        {"P-384", signerDer(KeyKind::EcP384), 0, 2, withNull("1.2.840.10045.4.3.3"), zeroEcdsa("3066", "0231", 48), 2},
        // 66-octet halves: long-form lengths throughout.
        {"P-521", pki.extraSigner("P-521").der, 0, 3, withNull("1.2.840.10045.4.3.4"), zeroEcdsa("30818A", "0243", 66), 2},
        // A key type of its own gets the fallback OID (by default the EC
        // key's) and, with no key size known, an empty value.
        {"Ed25519", pki.extraSigner("ED25519").der, 0, 1, withNull("1.2.840.10045.2.1"), Bytes{}, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        BuildOptions options;
        options.scheme = c.scheme;
        options.hashId = c.hashId;
        const auto message = buildMessage(c.signer, options);
        ASSERT_EQ(message->getError(), 0);
        const CAsn1_SignerInfo& signer = (*message->signedData()->getSignerInfo(0));
        EXPECT_TRUE(c.algorithm.empty() || bytesOf(*signer.signatureAlgorithm()) == c.algorithm);
        EXPECT_EQ(hexOf(contentOf(signer.signature())), hexOf(c.placeholder));
        EXPECT_EQ(message->getSignatureScheme(), c.schemeAfter);
        EXPECT_EQ(signer.rawSignature() != nullptr, c.schemeAfter == 2);
    }
}

TEST(CmsBuild, RefusesUnusableInputAndSignersOutOfRange) {
    const Bytes& der = signerDer(KeyKind::Rsa2048);
    const Bytes garbage = fromHex("30 03 020101");
    const CAsn1_Universal notACertificate(garbage.data(), garbage.size());
    const CAsn1Base* extras[] = {&notACertificate};
    for (const auto& [cert, extra] : {std::pair{garbage, false}, std::pair{Bytes(der.begin(), der.end() - 1), false},
                                      std::pair{der, true}}) {
        CAsn1_Pkcs7 message;
        message.setContentTypeCode(2);
        const HeapCopy copy(cert);
        EXPECT_FALSE(message.createSignedData(copy.data(), copy.size(), 1, garbage.data(), 3, nullptr, true, 0, "1.2.3",
                                              extra ? std::span<const CAsn1Base* const>(extras) : std::span<const CAsn1Base* const>()));
        EXPECT_EQ(message.getError(), kDerError);
    }
    const auto message = build(KeyKind::Rsa2048);
    EXPECT_FALSE(message->setSignerSignature(1, garbage.data(), garbage.size()));
    EXPECT_FALSE(message->setSignerSignature(0, garbage.data(), 0) || message->setSignerSignature(0, nullptr, 256));
}

TEST(CmsBuild, SignaturesAreStoredRsaAsGivenEcdsaAsDerWithSignOctets) {
    const struct {
        const char* what;
        std::unique_ptr<CAsn1_Pkcs7> message;
        Bytes raw, der;
    } cases[] = {
        {"RSA", build(KeyKind::Rsa2048), kivo::test::randomBytes(256, 11), {}},
        // r starts with 0x80 and gets a zero octet in front; s loses its two leading zeros.
        {"P-256", build(KeyKind::EcP256), join({fromHex("80"), Bytes(31, 0x11), fromHex("0000"), Bytes(30, 0x22)}),
         tlv(0x30, join({tlv(0x02, join({fromHex("0080"), Bytes(31, 0x11)})), tlv(0x02, Bytes(30, 0x22))}))},
        // A 521-bit r, an s one octet shorter starting with F0: long-form lengths.
        {"P-521", buildMessage(TestPki::instance().extraSigner("P-521").der, BuildOptions{}),
         join({fromHex("01"), Bytes(65, 0x33), fromHex("00F0"), Bytes(64, 0x44)}),
         tlv(0x30, join({tlv(0x02, join({fromHex("01"), Bytes(65, 0x33)})), tlv(0x02, join({fromHex("00F0"), Bytes(64, 0x44)}))}))},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const std::size_t placeholderLength = c.message->getCb();
        ASSERT_TRUE(c.message->setSignerSignature(0, c.raw.data(), c.raw.size()));
        EXPECT_LE(c.message->getCb(), placeholderLength);
        EXPECT_EQ(hexOf(contentOf(c.message->getSignerSignature(0, false))), hexOf(c.der.empty() ? c.raw : c.der));
        EXPECT_EQ(contentOf(c.message->getSignerSignature(0, true)), c.raw);  // raw means nothing for RSA
        EXPECT_EQ(contentOf(reread(*c.message)->getSignerSignature(0, true)), c.raw);
    }
    EXPECT_FALSE(cases[1].message->setSignerSignature(0, cases[1].raw.data(), 63));  // no two halves
    // A short half is padded to the size of the other; what is no
    // ECDSA-Sig-Value is used as it is, a broken one gives nothing.
    Bytes raw;
    EXPECT_EQ(kivo::asn1::ecdsaRawFromDer(fromHex("3006 020105 020106"), &raw), kivo::asn1::RawSignatureForm::kRaw);
    EXPECT_EQ(raw, join({Bytes(31, 0), fromHex("05"), Bytes(31, 0), fromHex("06")}));
    EXPECT_EQ(kivo::asn1::ecdsaRawFromDer(fromHex("3003 040100"), &raw), kivo::asn1::RawSignatureForm::kCopy);
    EXPECT_EQ(kivo::asn1::ecdsaRawFromDer(fromHex("3006 020105 040106"), &raw), kivo::asn1::RawSignatureForm::kNone);
}
