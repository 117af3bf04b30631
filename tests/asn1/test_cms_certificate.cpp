// Certificates, public keys, CRLs and issuer/serial identifiers as the CMS
// classes read them, checked against OpenSSL's view of the same
// certificates.

#include "tests/asn1/CmsTestUtil.h"
#include "tests/support/SystemCerts.h"

#include <openssl/core_names.h>
#include <openssl/rsa.h>

#include <gtest/gtest.h>

using kivo::test::KeyKind;
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

std::unique_ptr<CAsn1_Cert> certificateOf(const kivo::test::cms::Party& party) {
    const HeapCopy copy(party.der);
    return std::make_unique<CAsn1_Cert>(copy.data(), copy.size());
}

Bytes opensslIssuer(X509* cert) {
    unsigned char* der = nullptr;
    const int length = i2d_X509_NAME(X509_get_issuer_name(cert), &der);
    Bytes out(der, der + length);
    OPENSSL_free(der);
    return out;
}

Bytes opensslSerial(X509* cert) {
    unsigned char* der = nullptr;
    const int length = i2d_ASN1_INTEGER(X509_get_serialNumber(cert), &der);
    Bytes out(der, der + length);
    OPENSSL_free(der);
    return out;
}

Bytes spanBytes(std::span<const unsigned char> span) { return Bytes(span.begin(), span.end()); }

}  // namespace

TEST(CmsCertificate, KeyKindsAndSizesMatchOpenSsl) {
    for (const KeyKind kind : kivo::test::allKeyKinds()) {
        SCOPED_TRACE(kivo::test::keyKindName(kind));
        const auto& party = TestPki::instance().signer(kind);
        const auto cert = certificateOf(party);
        ASSERT_EQ(cert->getError(), 0);
        EXPECT_EQ(cert->keyBits(), static_cast<std::uint32_t>(EVP_PKEY_get_bits(party.key.get())));
        const bool ec = kind == KeyKind::EcP256 || kind == KeyKind::EcP384;
        EXPECT_EQ(cert->isEcKey(), ec);
        EXPECT_EQ(cert->isRsaKey(), !ec);
        EXPECT_EQ(spanBytes(cert->issuerDer()), opensslIssuer(party.cert.get()));
        EXPECT_EQ(spanBytes(cert->serialDer()), opensslSerial(party.cert.get()));
        EXPECT_EQ(bytesOf(*cert), party.der);
        EXPECT_TRUE(cert->encode());
        EXPECT_EQ(bytesOf(*cert), party.der);
    }
    const auto p521 = certificateOf(TestPki::instance().extraSigner("P-521"));
    EXPECT_EQ(p521->keyBits(), 521u);
    EXPECT_TRUE(p521->isEcKey());
    const auto ed25519 = certificateOf(TestPki::instance().extraSigner("ED25519"));
    ASSERT_EQ(ed25519->getError(), 0);
    EXPECT_EQ(ed25519->keyBits(), 0u);
    EXPECT_FALSE(ed25519->isEcKey());
    EXPECT_FALSE(ed25519->isRsaKey());
}

TEST(CmsCertificate, RsaPublicKeyPartsMatchOpenSsl) {
    for (const KeyKind kind : {KeyKind::Rsa2048, KeyKind::Rsa3072, KeyKind::RsaPss2048}) {
        SCOPED_TRACE(kivo::test::keyKindName(kind));
        const auto& party = TestPki::instance().signer(kind);
        const auto cert = certificateOf(party);
        const CAsn1_PublicKey& key = *cert->publicKey();
        ASSERT_NE(key.rsaKey(), nullptr);
        EXPECT_EQ(key.ecKey(), nullptr);

        BIGNUM* n = nullptr;
        BIGNUM* e = nullptr;
        ASSERT_EQ(EVP_PKEY_get_bn_param(party.key.get(), OSSL_PKEY_PARAM_RSA_N, &n), 1);
        ASSERT_EQ(EVP_PKEY_get_bn_param(party.key.get(), OSSL_PKEY_PARAM_RSA_E, &e), 1);
        char* nHex = BN_bn2hex(n);
        char* eHex = BN_bn2hex(e);
        EXPECT_EQ(key.rsaKey()->modulus()->text(), "00" + std::string(nHex));
        EXPECT_EQ(key.rsaKey()->publicExponent()->text(), std::string(eHex));  // 010001
        EXPECT_EQ(key.rsaKey()->publicExponent()->value(), 65537);
        EXPECT_EQ(key.rsaKey()->modulusBits(), static_cast<std::uint32_t>(BN_num_bits(n)));
        OPENSSL_free(nHex);
        OPENSSL_free(eHex);
        BN_free(n);
        BN_free(e);
    }
}

TEST(CmsCertificate, EcPublicKeyPartsMatchOpenSsl) {
    for (const KeyKind kind : {KeyKind::EcP256, KeyKind::EcP384}) {
        SCOPED_TRACE(kivo::test::keyKindName(kind));
        const auto& party = TestPki::instance().signer(kind);
        const auto cert = certificateOf(party);
        const CAsn1_PublicKey& key = *cert->publicKey();
        EXPECT_EQ(key.rsaKey(), nullptr);
        ASSERT_NE(key.ecKey(), nullptr);
        ASSERT_NE(key.ecKey()->point(), nullptr);
        EXPECT_EQ(key.ecKey()->curve(), nullptr);

        unsigned char point[200];
        std::size_t pointLength = 0;
        ASSERT_EQ(EVP_PKEY_get_octet_string_param(party.key.get(), OSSL_PKEY_PARAM_PUB_KEY, point, sizeof point,
                                                  &pointLength),
                  1);
        EXPECT_EQ(key.ecKey()->point()->text(), hexOf(Bytes(point, point + pointLength)));
        EXPECT_EQ(key.subjectPublicKey()->text(), key.ecKey()->point()->text());
        const auto* curve = dynamic_cast<const CAsn1_Oid*>(key.algorithm()->parameters());
        ASSERT_NE(curve, nullptr);
        EXPECT_EQ(curve->dotted(), kind == KeyKind::EcP256 ? "1.2.840.10045.3.1.7" : "1.3.132.0.34");
    }
    const Bytes curve = oidElement("1.3.132.0.34");
    const CAsn1_PublicKeyEC fromCurve(curve.data(), curve.size());
    ASSERT_NE(fromCurve.curve(), nullptr);
    EXPECT_EQ(fromCurve.curve()->dotted(), "1.3.132.0.34");
    const Bytes null = fromHex("0500");
    const CAsn1_PublicKeyEC fromNull(null.data(), null.size());
    EXPECT_NE(fromNull.nullParams(), nullptr);
    EXPECT_EQ(fromNull.point(), nullptr);
}

TEST(CmsCertificate, ModulusBitsLeaveOutTheSignOctet) {
    const auto rsaKey = [](const Bytes& modulus) {
        const Bytes bits = tlv(0x03, join({fromHex("00"), tlv(0x30, join({tlv(0x02, modulus), fromHex("020103")}))}));
        return std::make_unique<CAsn1_PublicKeyRSA>(bits.data(), bits.size());
    };
    EXPECT_EQ(rsaKey(fromHex("00C1"))->modulusBits(), 8u);
    EXPECT_EQ(rsaKey(fromHex("4101"))->modulusBits(), 16u);
    EXPECT_EQ(rsaKey(fromHex("00C1"))->publicExponent()->value(), 3);

    // Not an RSAPublicKey.
    const Bytes wrong = tlv(0x03, join({fromHex("00"), tlv(0x30, fromHex("0201C1"))}));
    EXPECT_EQ(CAsn1_PublicKeyRSA(wrong.data(), wrong.size()).getError(), kDerError);
    const Bytes trailing = tlv(0x03, join({fromHex("00"), tlv(0x30, fromHex("020141 020103")), fromHex("0500")}));
    EXPECT_EQ(CAsn1_PublicKeyRSA(trailing.data(), trailing.size()).getError(), kDerError);
    const Bytes notBits = tlv(0x04, join({fromHex("00"), tlv(0x30, fromHex("020141 020103"))}));
    EXPECT_EQ(CAsn1_PublicKeyRSA(notBits.data(), notBits.size()).getError(), kDerError);
}

TEST(CmsCertificate, EcCurveSizes) {
    const std::pair<const char*, std::uint32_t> table[] = {
        {"1.3.132.0.9", 160},           {"1.3.132.0.8", 160},           {"1.3.132.0.30", 160},
        {"1.3.36.3.3.2.8.1.1.1", 160},  {"1.3.36.3.3.2.8.1.1.2", 160},  {"1.3.132.0.31", 192},
        {"1.2.840.10045.3.1.1", 192},   {"1.3.36.3.3.2.8.1.1.3", 192},  {"1.3.36.3.3.2.8.1.1.4", 192},
        {"1.3.132.0.32", 224},          {"1.3.132.0.33", 224},          {"1.3.36.3.3.2.8.1.1.5", 224},
        {"1.3.36.3.3.2.8.1.1.6", 224},  {"1.3.132.0.10", 256},          {"1.2.840.10045.3.1.7", 256},
        {"1.3.36.3.3.2.8.1.1.7", 256},  {"1.3.36.3.3.2.8.1.1.8", 256},  {"1.2.250.1.223.101.256.1", 256},
        {"1.3.36.3.3.2.8.1.1.9", 320},  {"1.3.36.3.3.2.8.1.1.10", 320}, {"1.3.132.0.34", 384},
        {"1.3.36.3.3.2.8.1.1.11", 384}, {"1.3.36.3.3.2.8.1.1.12", 384}, {"1.3.36.3.3.2.8.1.1.13", 512},
        {"1.3.36.3.3.2.8.1.1.14", 512}, {"1.3.132.0.35", 521},
        {"1.2.840.10045.3.1.2", 0},     {"1.3.36.3.3.2.8.1.1", 0},      {"", 0},
    };
    for (const auto& [dotted, bits] : table) EXPECT_EQ(ecCurveBits(dotted), bits) << dotted;

    // The size comes from the curve OID in the algorithm parameters.
    const Bytes brainpool = tlv(0x30, join({tlv(0x30, join({oidElement("1.2.840.10045.2.1"),
                                                             oidElement("1.3.36.3.3.2.8.1.1.11")})),
                                            tlv(0x03, join({fromHex("00 04"), Bytes(96, 0x11)}))}));
    const CAsn1_PublicKey key(brainpool.data(), brainpool.size());
    ASSERT_EQ(key.getError(), 0);
    EXPECT_EQ(key.keyBits(), 384u);
    // NULL parameters (implicit curve) give no size.
    const Bytes implicit = tlv(0x30, join({tlv(0x30, join({oidElement("1.2.840.10045.2.1"), fromHex("0500")})),
                                           tlv(0x03, join({fromHex("00 04"), Bytes(64, 0x11)}))}));
    EXPECT_EQ(CAsn1_PublicKey(implicit.data(), implicit.size()).keyBits(), 0u);
}

TEST(CmsCertificate, SubjectPublicKeyInfoShape) {
    const Bytes algorithm = tlv(0x30, join({oidElement("1.2.840.10045.2.1"), oidElement("1.2.840.10045.3.1.7")}));
    const Bytes bits = tlv(0x03, fromHex("00 04 0102"));
    const Bytes good = tlv(0x30, join({algorithm, bits}));
    EXPECT_EQ(CAsn1_PublicKey(good.data(), good.size()).getError(), 0);
    const Bytes noBits = tlv(0x30, join({algorithm, fromHex("0403 000401")}));
    EXPECT_EQ(CAsn1_PublicKey(noBits.data(), noBits.size()).getError(), kDerError);
    const Bytes extra = tlv(0x30, join({algorithm, bits, fromHex("0500")}));
    EXPECT_EQ(CAsn1_PublicKey(extra.data(), extra.size()).getError(), kDerError);
    const Bytes noAlgorithm = tlv(0x30, bits);
    EXPECT_EQ(CAsn1_PublicKey(noAlgorithm.data(), noAlgorithm.size()).getError(), kDerError);
}

TEST(CmsCertificate, MalformedCertificatesFail) {
    const Bytes& der = TestPki::instance().signer(KeyKind::EcP256).der;
    Bytes notSequence = der;
    notSequence[0] = 0x31;
    EXPECT_EQ(CAsn1_Cert(notSequence.data(), notSequence.size()).getError(), kDerError);
    const Bytes small = fromHex("3003 020101");
    const CAsn1_Cert tiny(small.data(), small.size());
    EXPECT_EQ(tiny.getError(), kDerError);
    EXPECT_TRUE(tiny.issuerDer().empty());
    EXPECT_TRUE(tiny.serialDer().empty());
    EXPECT_EQ(tiny.keyBits(), 0u);
    EXPECT_FALSE(tiny.isEcKey());
}

TEST(CmsCertificate, IssuerAndSerialFromParts) {
    const auto& party = TestPki::instance().signer(KeyKind::Rsa2048);
    const Bytes issuer = opensslIssuer(party.cert.get());
    const Bytes serial = opensslSerial(party.cert.get());
    const CAsn1_IssuerAndSerial sid(issuer.data(), issuer.size(), serial.data(), serial.size());
    ASSERT_EQ(sid.getError(), 0);
    EXPECT_EQ(bytesOf(sid), tlv(0x30, join({issuer, serial})));
    EXPECT_EQ(sid.issuerText(), "countryName=DE, organizationName=Kivo Test, commonName=Kivo Test CA");
    EXPECT_EQ(sid.serialText(), "008000");
    EXPECT_EQ(sid.getTag(), 16u);

    // Each part must be exactly one element of the right kind.
    EXPECT_EQ(CAsn1_IssuerAndSerial(serial.data(), serial.size(), serial.data(), serial.size()).getError(), kDerError);
    EXPECT_EQ(CAsn1_IssuerAndSerial(issuer.data(), issuer.size(), issuer.data(), issuer.size()).getError(), kDerError);
    EXPECT_EQ(CAsn1_IssuerAndSerial(issuer.data(), issuer.size() - 1, serial.data(), serial.size()).getError(),
              kDerError);
    EXPECT_EQ(CAsn1_IssuerAndSerial(issuer.data(), issuer.size(), nullptr, 0).getError(), kDerError);
    const Bytes padded = join({serial, fromHex("00")});
    EXPECT_EQ(CAsn1_IssuerAndSerial(issuer.data(), issuer.size(), padded.data(), padded.size()).getError(), kDerError);
}

TEST(CmsCertificate, EssIssuerSerialShape) {
    const auto& party = TestPki::instance().signer(KeyKind::EcP384);
    const Bytes issuer = opensslIssuer(party.cert.get());
    const Bytes serial = opensslSerial(party.cert.get());
    const CAsn1_IssuerSerial built(issuer.data(), issuer.size(), serial.data(), serial.size());
    ASSERT_EQ(built.getError(), 0);
    const Bytes expected = tlv(0x30, join({tlv(0x30, tlv(0xA4, issuer)), serial}));
    EXPECT_EQ(bytesOf(built), expected);

    const CAsn1_IssuerSerial decoded(expected.data(), expected.size());
    EXPECT_EQ(decoded.getError(), 0);
    const Bytes noNames = tlv(0x30, join({fromHex("3000"), serial}));
    EXPECT_EQ(CAsn1_IssuerSerial(noNames.data(), noNames.size()).getError(), kDerError);
    const Bytes noSerial = tlv(0x30, tlv(0x30, tlv(0xA4, issuer)));
    EXPECT_EQ(CAsn1_IssuerSerial(noSerial.data(), noSerial.size()).getError(), kDerError);
    EXPECT_EQ(CAsn1_IssuerSerial(serial.data(), serial.size(), serial.data(), serial.size()).getError(), kDerError);
}

TEST(CmsCertificate, SigningCertificateV2CannotBeDecoded) {
    const auto cert = certificateOf(TestPki::instance().signer(KeyKind::EcP256));
    CAsn1_EssCertIdV2 value(*cert);
    ASSERT_EQ(value.getError(), 0);
    ASSERT_NE(value.hashAlgorithm(), nullptr);
    EXPECT_EQ(value.hashAlgorithm()->algorithm()->dotted(), "2.16.840.1.101.3.4.2.1");
    const auto& der = TestPki::instance().signer(KeyKind::EcP256).der;
    EXPECT_EQ(value.certHash()->text(), hexOf(kivo::test::opensslDigest("SHA256", der.data(), der.size())));
    EXPECT_FALSE(value.decode());
    EXPECT_EQ(value.getError(), kDerError);

    const Bytes small = fromHex("3003 020101");
    const CAsn1_Cert broken(small.data(), small.size());
    EXPECT_EQ(CAsn1_EssCertIdV2(broken).getError(), kDerError);
}

TEST(CmsCertificate, CrlsAreCarriedAsTheyAre) {
    const Bytes list = fromHex("3005 3003 020101");
    CAsn1_Crl crl(list.data(), list.size());
    EXPECT_EQ(crl.getError(), 0);
    EXPECT_EQ(bytesOf(crl), list);
    EXPECT_TRUE(crl.encode());
    const Bytes wrong = fromHex("0403 020101");
    EXPECT_EQ(CAsn1_Crl(wrong.data(), wrong.size()).getError(), kDerError);
}

TEST(CmsCertificate, KeySizeOfEverySystemCaCertificate) {
    const auto& certificates = kivo::test::systemCertificates();
    ASSERT_GE(certificates.size(), kivo::test::kMinimumSystemCertificates) << "is ca-certificates installed?";
    for (const auto& system : certificates) {
        SCOPED_TRACE(system.file);
        const HeapCopy copy(system.der);
        const CAsn1_Cert cert(copy.data(), copy.size());
        ASSERT_EQ(cert.getError(), 0);
        EVP_PKEY* key = X509_get0_pubkey(system.x509.get());
        ASSERT_NE(key, nullptr);
        EXPECT_EQ(cert.keyBits(), static_cast<std::uint32_t>(EVP_PKEY_get_bits(key)));
        EXPECT_EQ(cert.isRsaKey(), EVP_PKEY_get_base_id(key) == EVP_PKEY_RSA);
        EXPECT_EQ(cert.isEcKey(), EVP_PKEY_get_base_id(key) == EVP_PKEY_EC);
    }
}
