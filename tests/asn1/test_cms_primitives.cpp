// The leaf classes of the DER class family, and certificates, public keys
// and issuer/serial identifiers as the CMS classes read them, checked
// against OpenSSL's view of the same certificates.

#include "tests/asn1/CmsTestUtil.h"

#include "asn1/Asn1Primitives.h"
#include "tests/support/LogCapture.h"
#include "tests/support/SystemCerts.h"

#include <openssl/core_names.h>

#include <gtest/gtest.h>

#include <climits>

using namespace kivo::test::cms;
using kivo::test::KeyKind;

namespace {

template <class T>
T fromBytes(const Bytes& bytes) {
    const HeapCopy copy(bytes);
    return T(copy.data(), copy.size());
}

}  // namespace

TEST(Asn1ClassPrimitives, IntegerEncodesTheShortestTwosComplementAndDecodesIt) {
    const std::pair<std::int32_t, const char*> cases[] = {
        {0, "020100"},          {10, "02010A"},         {127, "02017F"},        {128, "02020080"},
        {256, "02020100"},      {32768, "0203008000"},  {-1, "0201FF"},         {-128, "020180"},
        {-129, "0202FF7F"},     {-32769, "0203FF7FFF"}, {INT32_MAX, "02047FFFFFFF"}, {INT32_MIN, "020480000000"},
    };
    for (const auto& [value, expected] : cases) {
        EXPECT_EQ(hexOf(bytesOf(CAsn1_Int(value))), expected) << value;
        EXPECT_EQ(fromBytes<CAsn1_Int>(fromHex(expected)).value(), value);
        EXPECT_EQ(fromBytes<CAsn1_Int>(fromHex(expected)).text(), std::string(expected).substr(4)) << value;
    }
    EXPECT_EQ(fromBytes<CAsn1_Int>(fromHex("02 05 00FFFFFFFF")).value(), 0);  // beyond 32 bits only the text
}

TEST(Asn1ClassPrimitives, OidDecodesEncodesAndRefusesWhatItCannotWrite) {
    const auto decoded = fromBytes<CAsn1_Oid>(oidElement("1.2.840.113549.1.1.1"));
    EXPECT_EQ(decoded.dotted() + " " + decoded.name(), "1.2.840.113549.1.1.1 rsaEncryption");
    EXPECT_EQ(decoded.getElementSize(), 9u);  // an OID counts its content
    const CAsn1_Oid oid("1.2.840.113549.1.7.2", "signedData");
    EXPECT_EQ(hexOf(bytesOf(CAsn1_Oid(oid))) + CAsn1_Oid(oid).name(), "06092A864886F70D010702signedData");  // a copy
    EXPECT_EQ(hexOf(bytesOf(CAsn1_Oid("1.39.4294967295", ""))), "06064F8FFFFFFF7F");
    // "1.2" gives one content octet, each further arc "1" one more: 127 at most.
    std::string dotted = "1.2";
    for (int i = 0; i < 126; ++i) dotted += ".1";
    EXPECT_EQ(CAsn1_Oid(dotted, "").getCb(), 129u);
    const std::string tooLong = dotted + ".1";
    const char* refused[] = {"2.5", "3.1.1", "1.40.1", "2.999.1", "1.2.x", "1..2", "1.2.", "-1.2.3", " 1.2.3",
                             "1.2.+3", "1.2.4294967296", "", tooLong.c_str()};
    for (const char* text : refused) {
        const CAsn1_Oid refusedOid(text, "name");
        EXPECT_EQ(refusedOid.getError(), kDerError) << text;
        EXPECT_EQ(refusedOid.getPb(), nullptr) << text;
    }
}

TEST(Asn1ClassPrimitives, StringsTimesAndTheirText) {
    EXPECT_EQ(hexOf(bytesOf(CAsn1_OctetString("01 02:ab"))), "04030102AB");
    const Bytes content(200, 0x5A);  // long-form length
    EXPECT_EQ(bytesOf(*CAsn1_OctetString::fromOctets(content.data(), content.size())), tlv(0x04, content));
    EXPECT_EQ(fromBytes<CAsn1_OctetString>(tlv(0x04, content)).text(), hexOf(content));
    EXPECT_EQ(fromBytes<CAsn1_BitString>(fromHex("03 03 00 ABCD")).text(), "ABCD");
    // U+00E4 stays one Latin-1 octet, U+20AC has none.
    EXPECT_EQ(fromBytes<CAsn1_BmpString>(fromHex("1E 04 00E4 20AC")).text(), "\xE4?");

    kivo::test::ScopedTimeZone zone("CET-1CEST,M3.5.0,M10.5.0/3");
    const CAsn1_UtcTime time(std::int64_t{1770025277});  // 2026-02-02 09:41:17 UTC
    EXPECT_EQ(bytesOf(time), kivo::test::tlv(0x17, "260202094117Z"));
    EXPECT_EQ(bytesOf(CAsn1_UtcTime(std::string_view("260202094117Z"))), bytesOf(time));
    // Two-digit years: 49 is 2049, 50 is 1950, so 2051 reads back as 1951.
    EXPECT_EQ(fromBytes<CAsn1_UtcTime>(kivo::test::tlv(0x17, "491231235959Z")).time(), 2524607999);
    EXPECT_EQ(fromBytes<CAsn1_UtcTime>(bytesOf(CAsn1_UtcTime(std::int64_t{2556144000}))).time(), -599616000);
}

TEST(Asn1ClassPrimitives, MalformedInputKeepsTheResultCodeAndSaysWhatWasExpected) {
    {
        kivo::test::LogCapture log(log4cxx::Logger::getLogger("KivoCryptoSSL.Asn1"));
        EXPECT_EQ(fromBytes<CAsn1_Int>(fromHex("04 01 00")).getError(), kDerError);
        EXPECT_EQ(fromBytes<CAsn1_AlgoIdent>(fromHex("30 03 A1 01 00")).getError(), kDerError);
        EXPECT_EQ(log.messages(), (std::vector<std::string>{
                                      "DER element: expected INTEGER, found OCTET STRING",
                                      "DER decode: expected OBJECT IDENTIFIER, found [1] constructed"}));
    }
    const std::pair<const char*, int> cases[] = {
        {"INTEGER without content", fromBytes<CAsn1_Int>(fromHex("02 00")).getError()},
        {"OID ending inside an arc", fromBytes<CAsn1_Oid>(fromHex("06 02 2A86")).getError()},
        {"OCTET STRING in indefinite form", fromBytes<CAsn1_OctetString>(fromHex("04 80 0101 0000")).getError()},
        {"octets from odd hex text", CAsn1_OctetString("ABC").getError()},
        {"octets from nothing", CAsn1_OctetString::fromOctets(nullptr, 3)->getError()},
        {"BIT STRING without the unused-bits octet", fromBytes<CAsn1_BitString>(fromHex("03 00")).getError()},
        {"BMPString of odd length", fromBytes<CAsn1_BmpString>(fromHex("1E 03 004100")).getError()},
        {"GeneralizedTime as UTCTime", fromBytes<CAsn1_UtcTime>(kivo::test::tlv(0x18, "20260202094117Z")).getError()},
        {"no time", CAsn1_UtcTime(static_cast<const std::int64_t*>(nullptr)).getError()},
    };
    for (const auto& [what, error] : cases) EXPECT_EQ(error, kDerError) << what;
}

TEST(CmsCertificate, KeysSerialsAndIssuersMatchOpenSslForTestAndSystemCertificates) {
    auto& pki = TestPki::instance();
    std::vector<std::pair<X509*, Bytes>> certificates;
    for (const Party* party : {&pki.extraSigner("P-521"), &pki.extraSigner("ED25519")}) {
        certificates.emplace_back(party->cert.get(), party->der);
    }
    for (const KeyKind kind : kivo::test::allKeyKinds()) certificates.emplace_back(pki.signer(kind).cert.get(), pki.signer(kind).der);
    ASSERT_GE(kivo::test::systemCertificates().size(), kivo::test::kMinimumSystemCertificates) << "ca-certificates?";
    for (const auto& system : kivo::test::systemCertificates()) certificates.emplace_back(system.x509.get(), system.der);
    for (const auto& [x509, der] : certificates) {
        EVP_PKEY* key = X509_get0_pubkey(x509);
        SCOPED_TRACE(EVP_PKEY_get0_type_name(key) + (" " + hexOf(der).substr(30, 40)));
        const auto cert = fromBytes<CAsn1_Cert>(der);
        ASSERT_EQ(cert.getError(), 0);
        const bool rsa = EVP_PKEY_is_a(key, "RSA") || EVP_PKEY_is_a(key, "RSA-PSS");
        EXPECT_EQ(cert.keyBits(), EVP_PKEY_is_a(key, "ED25519") ? 0u : std::uint32_t(EVP_PKEY_get_bits(key)));
        EXPECT_EQ(cert.isEcKey(), EVP_PKEY_is_a(key, "EC"));
        EXPECT_EQ(cert.isRsaKey(), rsa);
        EXPECT_EQ(Bytes(cert.issuerDer().begin(), cert.issuerDer().end()), opensslDer(X509_get_issuer_name(x509), i2d_X509_NAME));
        EXPECT_EQ(Bytes(cert.serialDer().begin(), cert.serialDer().end()),
                  opensslDer(X509_get_serialNumber(x509), i2d_ASN1_INTEGER));
        EXPECT_EQ(rsa ? cert.publicKey()->rsaKey()->modulusBits() : cert.keyBits(), cert.keyBits());
        if (!cert.isEcKey()) continue;
        unsigned char point[200];
        std::size_t length = 0;
        EVP_PKEY_get_octet_string_param(key, OSSL_PKEY_PARAM_PUB_KEY, point, sizeof point, &length);
        EXPECT_EQ(cert.publicKey()->ecKey()->point()->text(), hexOf(Bytes(point, point + length)));
    }
}
