// CExtensionSSL on the X.509 extensions of certificates made by OpenSSL:
// each extension is located in the certificate's DER and rendered from an
// exact-size copy of its elements (critical flag and extnValue). The common
// shapes of every renderer are in the corpus of RenderCorpus.h (checked in
// test_render_robustness.cpp); here the cases beside them.

#include <gtest/gtest.h>

#include <openssl/x509v3.h>

#include <string>

#include "ExtensionSSL.h"
#include "tests/cert/render/RenderTestUtil.h"

using namespace kivo::test::render;

namespace {

const char* const kAia = "1.3.6.1.5.5.7.1.1";
const char* const kAki = "2.5.29.35";
const char* const kSki = "2.5.29.14";
const char* const kKeyUsage = "2.5.29.15";
const char* const kExtendedKeyUsage = "2.5.29.37";
const char* const kCrlDp = "2.5.29.31";
const char* const kPolicies = "2.5.29.32";
const char* const kSan = "2.5.29.17";
const char* const kIan = "2.5.29.18";
const char* const kBaseUrl = "2.16.840.1.113730.1.2";

// DER of CertificatePolicies with the policy OIDs, by OpenSSL's encoder
// (the test PKI's configuration route has no database for policy sections).
Bytes opensslPolicies(std::initializer_list<const char*> oids) {
    CERTIFICATEPOLICIES* policies = sk_POLICYINFO_new_null();
    for (const char* dotted : oids) {
        POLICYINFO* info = POLICYINFO_new();
        ASN1_OBJECT_free(info->policyid);
        info->policyid = OBJ_txt2obj(dotted, 1);
        sk_POLICYINFO_push(policies, info);
    }
    unsigned char* der = nullptr;
    const int length = i2d_CERTIFICATEPOLICIES(policies, &der);
    CERTIFICATEPOLICIES_free(policies);
    Bytes out;
    if (length > 0) out.assign(der, der + length);
    OPENSSL_free(der);
    return out;
}

X509Ptr parse(const Bytes& der) {
    const unsigned char* p = der.data();
    return X509Ptr(d2i_X509(nullptr, &p, static_cast<long>(der.size())));
}

// Generator sections of a Name with one commonName, referred to as SEQUENCE:name.
const std::string kCommonNameSections =
    "[name]\ncn = SET:cn\n[cn]\natv = SEQUENCE:cnv\n[cnv]\nt = OID:commonName\n";

}  // namespace

TEST(ExtensionRender, ExtensionsMadeByOpenSsl) {
    // A renderer that does not step over the critical flag renders a
    // critical extension empty.
    const struct {
        Renderer renderer;
        const char* oid;
        std::pair<std::string, std::string> extension;
        const char* expected;
    } cases[] = {
        {CExtensionSSL::getAuthorityInfoAccess, kAia, {"authorityInfoAccess", "OCSP;URI:http://ocsp.example/r"},
         "URI={1.3.6.1.5.5.7.48.1=http://ocsp.example/r}"},
        {CExtensionSSL::getAuthorityInfoAccess, kAia, {"authorityInfoAccess", "critical,OCSP;URI:http://ocsp.example"},
         ""},
        {CExtensionSSL::getCRLDistrbutionPoints, kCrlDp,
         {"crlDistributionPoints", "URI:http://a.example/1.crl,URI:http://b.example/2.crl"},
         "URI={http://a.example/1.crl}, URI={http://b.example/2.crl}"},
        {CExtensionSSL::getCRLDistrbutionPoints, kCrlDp,
         {"crlDistributionPoints", "critical,URI:http://crl.example/ca.crl"}, ""},
        // decipherOnly is bit 8: the BIT STRING has a second octet.
        {CExtensionSSL::getKeyUsage, kKeyUsage, {"keyUsage", "digitalSignature,keyAgreement,decipherOnly"}, "8880"},
        {CExtensionSSL::getSubjectAltName, kSan, {"subjectAltName", "critical,email:a@b.example"}, ""},
        {CExtensionSSL::getIssuerAltName, kIan, {"issuerAltName", "email:ca@ca.example,DNS:ca.example"},
         "ca@ca.example, ca.example"},
        // The first key purpose only, named from the OID registry.
        {CExtensionSSL::getExtendedKeyUsage, kExtendedKeyUsage, {"extendedKeyUsage", "OCSPSigning,emailProtection"},
         "OID={1.3.6.1.5.5.7.3.9=OCSPSigning}"},
        {CExtensionSSL::getExtendedKeyUsage, kExtendedKeyUsage, {"extendedKeyUsage", "1.3.6.1.4.1.99.7"},
         "OID={1.3.6.1.4.1.99.7=?}"},
        // The first policy OID only.
        {CExtensionSSL::getCertPolicies, kPolicies,
         {kPolicies, "DER:" + hexOf(opensslPolicies({"1.3.6.1.4.1.99.2", "2.5.29.32.0"}))}, "1.3.6.1.4.1.99.2"},
    };
    for (const auto& c : cases) {
        const Bytes element = extensionElement(certificateWith({c.extension}), c.oid);
        ASSERT_FALSE(element.empty()) << c.extension.second;
        EXPECT_EQ(render(c.renderer, element), c.expected) << c.extension.second;
    }
}

TEST(ExtensionRender, ValuesMadeByTheGenerator) {
    const struct {
        const char* what;
        Renderer renderer;
        Bytes value;
        const char* expected;
    } cases[] = {
        {"an access description without location ends the text", CExtensionSSL::getAuthorityInfoAccess,
         generate("SEQUENCE:aia", "[aia]\na = SEQUENCE:ocsp\nb = SEQUENCE:cut\n"
                                  "[ocsp]\nm = OID:1.3.6.1.5.5.7.48.1\nl = IMPLICIT:6,IA5STRING:http://ocsp.example\n"
                                  "[cut]\nm = OID:1.3.6.1.5.5.7.48.2\n"),
         "URI={1.3.6.1.5.5.7.48.1=http://ocsp.example}"},
        {"a directoryName in fullName is labelled as cRLIssuer", CExtensionSSL::getCRLDistrbutionPoints,
         generate("SEQUENCE:points", "[points]\np = SEQUENCE:point\n[point]\nname = EXPLICIT:0,IMPLICIT:0,SEQUENCE:full\n"
                                     "[full]\ndn = EXPLICIT:4,SEQUENCE:name\n"
                                     "uri = IMPLICIT:6,IA5STRING:ldap://dir.example/cn=CA\n" +
                                         kCommonNameSections + "v = UTF8String:CRL Signer\n"),
         "cRLIssuer={commonName=CRL Signer}, URI={ldap://dir.example/cn=CA}"},
        {"a dNSName ahead of the URI ends the distribution point walk", CExtensionSSL::getCRLDistrbutionPoints,
         generate("SEQUENCE:points", "[points]\np = SEQUENCE:point\nq = SEQUENCE:second\n"
                                     "[point]\nname = EXPLICIT:0,IMPLICIT:0,SEQUENCE:full\n"
                                     "[full]\nuri = IMPLICIT:6,IA5STRING:http://first.example\n"
                                     "dns = IMPLICIT:2,IA5STRING:crl.example\n"
                                     "[second]\nname = EXPLICIT:0,IMPLICIT:0,SEQUENCE:full2\n"
                                     "[full2]\nuri = IMPLICIT:6,IA5STRING:http://second.example\n"),
         "URI={http://first.example}"},
        {"a directoryName in subjectAltName shows as DN text", CExtensionSSL::getSubjectAltName,
         generate("SEQUENCE:names", "[names]\nmail = IMPLICIT:1,IA5STRING:x@y.example\ndn = EXPLICIT:4,SEQUENCE:name\n" +
                                        kCommonNameSections + "v = UTF8String:Pseudonym\n"),
         "x@y.example, commonName=Pseudonym"},
        {"a UTF8String base URL is a mismatch", CExtensionSSL::getCertBaseURL, generate("UTF8String:http://base"), ""},
        {"a UTF8String policy URL is a mismatch", CExtensionSSL::getCAPolicyURL, generate("UTF8String:http://base"),
         ""},
    };
    for (const auto& c : cases) EXPECT_EQ(render(c.renderer, extnValue(c.value)), c.expected) << c.what;
}

// DistributionPoint with fullName, reasons and cRLIssuer, made by OpenSSL's
// generator and put into a certificate; OpenSSL must read it back as such.
TEST(ExtensionRender, DistributionPointWithUriReasonsAndCrlIssuer) {
    const Bytes value = generate("SEQUENCE:points",
                                 "[points]\np = SEQUENCE:point\n[point]\n"
                                 "name = EXPLICIT:0,IMPLICIT:0,SEQUENCE:full\n"
                                 "reasons = IMPLICIT:1,FORMAT:BITLIST,BITSTRING:1,2\n"
                                 "issuer = IMPLICIT:2,SEQUENCE:issuers\n"
                                 "[full]\nuri = IMPLICIT:6,IA5STRING:http://crl.example/ca.crl\n"
                                 "[issuers]\ndn = EXPLICIT:4,SEQUENCE:name\n" +
                                     kKammerName);
    const Bytes cert = certificateWith({{kCrlDp, "DER:" + hexOf(value)}});
    X509Ptr parsed = parse(cert);
    ASSERT_TRUE(parsed);
    auto* points = static_cast<STACK_OF(DIST_POINT)*>(
        X509_get_ext_d2i(parsed.get(), NID_crl_distribution_points, nullptr, nullptr));
    ASSERT_NE(points, nullptr);
    ASSERT_EQ(sk_DIST_POINT_num(points), 1);
    const DIST_POINT* point = sk_DIST_POINT_value(points, 0);
    EXPECT_NE(point->CRLissuer, nullptr);
    // The reasons as characters: the BIT STRING content as OpenSSL encodes
    // it (keyCompromise and cACompromise: unused-bits octet 05, bits 60).
    unsigned char* der = nullptr;
    const int derLength = i2d_ASN1_BIT_STRING(point->reasons, &der);
    ASSERT_GT(derLength, 0);
    const Bytes reasons = contentOf(Bytes(der, der + derLength));
    OPENSSL_free(der);
    sk_DIST_POINT_pop_free(points, DIST_POINT_free);
    EXPECT_EQ(hexOf(reasons), "0560");
    EXPECT_EQ(render(CExtensionSSL::getCRLDistrbutionPoints, extensionElement(cert, kCrlDp)),
              "URI={http://crl.example/ca.crl}, reasons={" + std::string(reasons.begin(), reasons.end()) +
                  "}, cRLIssuer={countryName=DE, organizationName=Kammer}");
}

TEST(ExtensionRender, PolicyQualifiersAreNotShown) {
    const Bytes value = generate("SEQUENCE:policies",
                                 "[policies]\np = SEQUENCE:policy\n"
                                 "[policy]\nid = OID:1.3.6.1.4.1.99.5\nq = SEQUENCE:qualifiers\n"
                                 "[qualifiers]\ncps = SEQUENCE:cps\n"
                                 "[cps]\nid = OID:1.3.6.1.5.5.7.2.1\nuri = IA5STRING:http://cps.example\n");
    const Bytes cert = certificateWith({{"certificatePolicies", "DER:" + hexOf(value)}});
    X509Ptr parsed = parse(cert);
    ASSERT_TRUE(parsed);
    auto* policies = static_cast<CERTIFICATEPOLICIES*>(
        X509_get_ext_d2i(parsed.get(), NID_certificate_policies, nullptr, nullptr));
    ASSERT_NE(policies, nullptr);
    EXPECT_EQ(sk_POLICYQUALINFO_num(sk_POLICYINFO_value(policies, 0)->qualifiers), 1);
    CERTIFICATEPOLICIES_free(policies);
    EXPECT_EQ(render(CExtensionSSL::getCertPolicies, extensionElement(cert, kPolicies)), "1.3.6.1.4.1.99.5");
}

TEST(ExtensionRender, AuthorityKeyIdentifierWithOnlyIssuerAndSerialRendersEmpty) {
    EvpKeyPtr caKey = generateKey(KeyKind::EcP256);
    CertOptions caOptions;
    caOptions.subject = "/CN=Test CA";
    caOptions.subjectKey = caKey.get();
    caOptions.isCa = true;
    X509Ptr ca = makeCertificate(caOptions);
    CertOptions userOptions;
    userOptions.subject = "/CN=User";
    userOptions.subjectKey = caKey.get();
    userOptions.issuerCert = ca.get();
    userOptions.issuerKey = caKey.get();
    // A second authorityKeyIdentifier after the one the test PKI always adds.
    userOptions.extensions = {{"authorityKeyIdentifier", "issuer:always"}};
    X509Ptr user = makeCertificate(userOptions);
    const Bytes element = extensionElement(derOf(user.get()), kAki, 1);
    ASSERT_FALSE(element.empty());
    // It holds [1] authorityCertIssuer and [2] serial, no [0].
    const Bytes inner = contentOf(contentOf(element));
    ASSERT_GE(inner.size(), 1u);
    EXPECT_EQ(inner[0], 0xA1);
    EXPECT_EQ(render(CExtensionSSL::getAuthorityKeyIdent, element), "");
}

TEST(ExtensionRender, CaKeyUsageIsKeyCertSignAndCrlSign) {
    EvpKeyPtr key = generateKey(KeyKind::EcP256);
    CertOptions options;
    options.subjectKey = key.get();
    options.isCa = true;  // critical,keyCertSign,cRLSign
    X509Ptr ca = makeCertificate(options);
    const Bytes element = extensionElement(derOf(ca.get()), kKeyUsage);
    ASSERT_EQ(element[0], 0x01) << "the critical flag comes first";
    EXPECT_EQ(render(CExtensionSSL::getKeyUsage, element), "06");
}

TEST(ExtensionRender, CriticalSubjectKeyIdentifierRendersEmpty) {
    // The test PKI adds its own identifier first; this one is the second.
    const Bytes cert = certificateWith({{"subjectKeyIdentifier", "critical,0102030405"}});
    const Bytes element = extensionElement(cert, kSki, 1);
    ASSERT_EQ(element.at(0), 0x01);
    EXPECT_EQ(render(CExtensionSSL::getSubjectKeyIdent, element), "");
    EXPECT_EQ(render(CExtensionSSL::getSubjectKeyIdent, extnValue(contentOf(Bytes(element.begin() + 3, element.end())))),
              "0102030405");
}

// Each renderer given the extension meant for another gives an empty text,
// never the other's.
TEST(ExtensionRender, RendererOnTheWrongExtensionIsEmpty) {
    const Bytes cert = certificateWith({{"keyUsage", "digitalSignature"},
                                        {"extendedKeyUsage", "OCSPSigning"},
                                        {"nsBaseUrl", "http://base"}});
    const Bytes keyUsage = extensionElement(cert, kKeyUsage);
    const Bytes purposes = extensionElement(cert, kExtendedKeyUsage);
    const Bytes url = extensionElement(cert, kBaseUrl);
    EXPECT_EQ(render(CExtensionSSL::getExtendedKeyUsage, keyUsage), "");
    EXPECT_EQ(render(CExtensionSSL::getCertBaseURL, keyUsage), "");
    EXPECT_EQ(render(CExtensionSSL::getKeyUsage, purposes), "");
    EXPECT_EQ(render(CExtensionSSL::getAuthorityInfoAccess, url), "");
    EXPECT_EQ(render(CExtensionSSL::getSubjectKeyIdent, url), "");
}
