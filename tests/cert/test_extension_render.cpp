// CExtensionSSL on the X.509 extensions of certificates made by OpenSSL:
// each extension is located in the certificate's DER and rendered from an
// exact-size copy of its elements (critical flag and extnValue).

#include <gtest/gtest.h>

#include <openssl/x509v3.h>

#include <string>

#include "ExtensionSSL.h"
#include "RenderTestUtil.h"

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
const char* const kCaPolicyUrl = "2.16.840.1.113730.1.8";

// The text of `renderer` for extension `oid` of a fresh certificate made
// with `extensions`.
std::string renderExtension(const Renderer& renderer, const char* oid,
                            std::vector<std::pair<std::string, std::string>> extensions) {
    const Bytes cert = certificateWith(std::move(extensions));
    const Bytes element = extensionElement(cert, oid);
    EXPECT_FALSE(element.empty()) << "extension " << oid << " not found";
    return render(renderer, element);
}

std::string hexOfAsn1(const ASN1_OCTET_STRING* octets) {
    return octets == nullptr ? std::string() : hexOf(Bytes(octets->data, octets->data + octets->length));
}

// DER of CertificatePolicies with the policy OIDs, by OpenSSL's encoder.
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

}  // namespace

// ---- authority information access and CRL distribution points ---------------

TEST(ExtensionRenderAccess, OcspAndCaIssuersJoinedAsTwoUriItems) {
    EXPECT_EQ(renderExtension(CExtensionSSL::getAuthorityInfoAccess, kAia,
                              {{"authorityInfoAccess",
                                "OCSP;URI:http://ocsp.example,caIssuers;URI:http://ca.example/ca.crt"}}),
              "URI={1.3.6.1.5.5.7.48.1=http://ocsp.example}, "
              "URI={1.3.6.1.5.5.7.48.2=http://ca.example/ca.crt}");
}

TEST(ExtensionRenderAccess, SingleOcspEntry) {
    EXPECT_EQ(renderExtension(CExtensionSSL::getAuthorityInfoAccess, kAia,
                              {{"authorityInfoAccess", "OCSP;URI:http://ocsp.example/r"}}),
              "URI={1.3.6.1.5.5.7.48.1=http://ocsp.example/r}");
}

TEST(ExtensionRenderAccess, CriticalAuthorityInfoAccessRendersEmpty) {
    EXPECT_EQ(renderExtension(CExtensionSSL::getAuthorityInfoAccess, kAia,
                              {{"authorityInfoAccess", "critical,OCSP;URI:http://ocsp.example"}}),
              "");
}

TEST(ExtensionRenderAccess, AccessDescriptionWithoutLocationEndsTheText) {
    // The second description has its method but no location.
    const Bytes value = generate("SEQUENCE:aia",
                                 "[aia]\n"
                                 "a = SEQUENCE:ocsp\n"
                                 "b = SEQUENCE:cut\n"
                                 "[ocsp]\n"
                                 "m = OID:1.3.6.1.5.5.7.48.1\n"
                                 "l = IMPLICIT:6,IA5STRING:http://ocsp.example\n"
                                 "[cut]\n"
                                 "m = OID:1.3.6.1.5.5.7.48.2\n");
    EXPECT_EQ(render(CExtensionSSL::getAuthorityInfoAccess, extnValue(value)),
              "URI={1.3.6.1.5.5.7.48.1=http://ocsp.example}");
}

TEST(ExtensionRenderAccess, DistributionPointWithOneUri) {
    EXPECT_EQ(renderExtension(CExtensionSSL::getCRLDistrbutionPoints, kCrlDp,
                              {{"crlDistributionPoints", "URI:http://crl.example/ca.crl"}}),
              "URI={http://crl.example/ca.crl}");
}

TEST(ExtensionRenderAccess, DistributionPointWithTwoUris) {
    EXPECT_EQ(renderExtension(CExtensionSSL::getCRLDistrbutionPoints, kCrlDp,
                              {{"crlDistributionPoints", "URI:http://a.example/1.crl,URI:http://b.example/2.crl"}}),
              "URI={http://a.example/1.crl}, URI={http://b.example/2.crl}");
}

// DistributionPoint with fullName, reasons and cRLIssuer, made by OpenSSL's
// generator and put into a certificate; OpenSSL must read it back as such.
TEST(ExtensionRenderAccess, DistributionPointWithUriReasonsAndCrlIssuer) {
    const Bytes value = generate("SEQUENCE:points",
                                 "[points]\n"
                                 "p = SEQUENCE:point\n"
                                 "[point]\n"
                                 "name = EXPLICIT:0,IMPLICIT:0,SEQUENCE:full\n"
                                 "reasons = IMPLICIT:1,FORMAT:BITLIST,BITSTRING:1,2\n"
                                 "issuer = IMPLICIT:2,SEQUENCE:issuers\n"
                                 "[full]\n"
                                 "uri = IMPLICIT:6,IA5STRING:http://crl.example/ca.crl\n"
                                 "[issuers]\n"
                                 "dn = EXPLICIT:4,SEQUENCE:name\n"
                                 "[name]\n"
                                 "c = SET:c\n"
                                 "o = SET:o\n"
                                 "[c]\n"
                                 "atv = SEQUENCE:cv\n"
                                 "[cv]\n"
                                 "t = OID:countryName\n"
                                 "v = PRINTABLESTRING:DE\n"
                                 "[o]\n"
                                 "atv = SEQUENCE:ov\n"
                                 "[ov]\n"
                                 "t = OID:organizationName\n"
                                 "v = UTF8String:Kammer\n");
    const Bytes cert = certificateWith({{kCrlDp, "DER:" + hexOf(value)}});
    X509Ptr parsed = parse(cert);
    ASSERT_TRUE(parsed);
    auto* points = static_cast<STACK_OF(DIST_POINT)*>(
        X509_get_ext_d2i(parsed.get(), NID_crl_distribution_points, nullptr, nullptr));
    ASSERT_NE(points, nullptr);
    ASSERT_EQ(sk_DIST_POINT_num(points), 1);
    const DIST_POINT* point = sk_DIST_POINT_value(points, 0);
    EXPECT_NE(point->reasons, nullptr);
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
              "URI={http://crl.example/ca.crl}, reasons={" +
                  std::string(reasons.begin(), reasons.end()) +
                  "}, cRLIssuer={countryName=DE, organizationName=Kammer}");
}

TEST(ExtensionRenderAccess, DirectoryNameInFullNameIsLabelledAsCrlIssuer) {
    const Bytes value = generate("SEQUENCE:points",
                                 "[points]\n"
                                 "p = SEQUENCE:point\n"
                                 "[point]\n"
                                 "name = EXPLICIT:0,IMPLICIT:0,SEQUENCE:full\n"
                                 "[full]\n"
                                 "dn = EXPLICIT:4,SEQUENCE:name\n"
                                 "uri = IMPLICIT:6,IA5STRING:ldap://dir.example/cn=CA\n"
                                 "[name]\n"
                                 "cn = SET:cn\n"
                                 "[cn]\n"
                                 "atv = SEQUENCE:cnv\n"
                                 "[cnv]\n"
                                 "t = OID:commonName\n"
                                 "v = UTF8String:CRL Signer\n");
    EXPECT_EQ(render(CExtensionSSL::getCRLDistrbutionPoints, extnValue(value)),
              "cRLIssuer={commonName=CRL Signer}, URI={ldap://dir.example/cn=CA}");
}

TEST(ExtensionRenderAccess, UnknownGeneralNameEndsTheDistributionPointWalk) {
    // A dNSName [2] ahead of the URI: the walk has no rule for it and stops.
    const Bytes value = generate("SEQUENCE:points",
                                 "[points]\n"
                                 "p = SEQUENCE:point\n"
                                 "q = SEQUENCE:second\n"
                                 "[point]\n"
                                 "name = EXPLICIT:0,IMPLICIT:0,SEQUENCE:full\n"
                                 "[full]\n"
                                 "uri = IMPLICIT:6,IA5STRING:http://first.example\n"
                                 "dns = IMPLICIT:2,IA5STRING:crl.example\n"
                                 "[second]\n"
                                 "name = EXPLICIT:0,IMPLICIT:0,SEQUENCE:full2\n"
                                 "[full2]\n"
                                 "uri = IMPLICIT:6,IA5STRING:http://second.example\n");
    EXPECT_EQ(render(CExtensionSSL::getCRLDistrbutionPoints, extnValue(value)),
              "URI={http://first.example}");
}

TEST(ExtensionRenderAccess, CriticalDistributionPointsRenderEmpty) {
    EXPECT_EQ(renderExtension(CExtensionSSL::getCRLDistrbutionPoints, kCrlDp,
                              {{"crlDistributionPoints", "critical,URI:http://crl.example/ca.crl"}}),
              "");
}

// ---- key identifiers and key usage -----------------------------------------

TEST(ExtensionRenderKeys, SubjectKeyIdentifierMatchesOpenSsl) {
    const Bytes cert = certificateWith({});
    X509Ptr parsed = parse(cert);
    ASSERT_TRUE(parsed);
    const std::string expected = hexOfAsn1(X509_get0_subject_key_id(parsed.get()));
    ASSERT_EQ(expected.size(), 40u);  // SHA-1 of the key
    EXPECT_EQ(render(CExtensionSSL::getSubjectKeyIdent, extensionElement(cert, kSki)), expected);
}

TEST(ExtensionRenderKeys, AuthorityKeyIdentifierIsTheIssuersKeyId) {
    EvpKeyPtr caKey = generateKey(KeyKind::EcP256);
    EvpKeyPtr userKey = generateKey(KeyKind::EcP384);
    CertOptions caSpec;
    caSpec.subject = "/C=DE/O=Kammer/CN=Test CA";
    caSpec.subjectKey = caKey.get();
    caSpec.isCa = true;
    X509Ptr ca = makeCertificate(caSpec);
    CertOptions userSpec;
    userSpec.subject = "/CN=User";
    userSpec.subjectKey = userKey.get();
    userSpec.issuerCert = ca.get();
    userSpec.issuerKey = caKey.get();
    X509Ptr user = makeCertificate(userSpec);

    const std::string caKeyId = hexOfAsn1(X509_get0_subject_key_id(ca.get()));
    ASSERT_FALSE(caKeyId.empty());
    EXPECT_EQ(render(CExtensionSSL::getAuthorityKeyIdent,
                     extensionElement(derOf(user.get()), kAki)),
              caKeyId);
}

TEST(ExtensionRenderKeys, AuthorityKeyIdentifierWithOnlyIssuerAndSerialRendersEmpty) {
    EvpKeyPtr caKey = generateKey(KeyKind::EcP256);
    CertOptions caSpec;
    caSpec.subject = "/CN=Test CA";
    caSpec.subjectKey = caKey.get();
    caSpec.isCa = true;
    X509Ptr ca = makeCertificate(caSpec);
    CertOptions userSpec;
    userSpec.subject = "/CN=User";
    userSpec.subjectKey = caKey.get();
    userSpec.issuerCert = ca.get();
    userSpec.issuerKey = caKey.get();
    // A second authorityKeyIdentifier after the one the test PKI always adds.
    userSpec.extensions = {{"authorityKeyIdentifier", "issuer:always"}};
    X509Ptr user = makeCertificate(userSpec);
    const Bytes cert = derOf(user.get());

    const Bytes element = extensionElement(cert, kAki, 1);
    ASSERT_FALSE(element.empty());
    // It holds [1] authorityCertIssuer and [2] serial, no [0].
    const Bytes inner = contentOf(contentOf(element));
    ASSERT_GE(inner.size(), 1u);
    EXPECT_EQ(inner[0], 0xA1);
    EXPECT_EQ(render(CExtensionSSL::getAuthorityKeyIdent, element), "");
    // The first one, with its keyIdentifier, still renders.
    EXPECT_EQ(render(CExtensionSSL::getAuthorityKeyIdent, extensionElement(cert, kAki, 0)),
              hexOfAsn1(X509_get0_subject_key_id(ca.get())));
}

TEST(ExtensionRenderKeys, CriticalKeyUsageRendersItsBits) {
    EXPECT_EQ(renderExtension(CExtensionSSL::getKeyUsage, kKeyUsage,
                              {{"keyUsage", "critical,digitalSignature,nonRepudiation"}}),
              "C0");
}

TEST(ExtensionRenderKeys, CaKeyUsageIsKeyCertSignAndCrlSign) {
    EvpKeyPtr key = generateKey(KeyKind::EcP256);
    CertOptions options;
    options.subjectKey = key.get();
    options.isCa = true;  // critical,keyCertSign,cRLSign
    X509Ptr ca = makeCertificate(options);
    const Bytes element = extensionElement(derOf(ca.get()), kKeyUsage);
    ASSERT_EQ(element[0], 0x01) << "the critical flag comes first";
    EXPECT_EQ(render(CExtensionSSL::getKeyUsage, element), "06");
}

TEST(ExtensionRenderKeys, NonCriticalKeyUsageWithTwoOctets) {
    // decipherOnly is bit 8: the BIT STRING has a second octet.
    EXPECT_EQ(renderExtension(CExtensionSSL::getKeyUsage, kKeyUsage,
                              {{"keyUsage", "digitalSignature,keyAgreement,decipherOnly"}}),
              "8880");
}

TEST(ExtensionRenderKeys, CriticalSubjectKeyIdentifierRendersEmpty) {
    // The test PKI adds its own identifier first; this one is the second.
    const Bytes cert = certificateWith({{"subjectKeyIdentifier", "critical,0102030405"}});
    const Bytes element = extensionElement(cert, kSki, 1);
    ASSERT_EQ(element.at(0), 0x01);
    EXPECT_EQ(render(CExtensionSSL::getSubjectKeyIdent, element), "");
    EXPECT_EQ(render(CExtensionSSL::getSubjectKeyIdent, extnValue(contentOf(Bytes(element.begin() + 3, element.end())))),
              "0102030405");
}

// ---- names, policies, purposes and URLs ----------------------------------

TEST(ExtensionRenderNames, SubjectAltNameJoinsTheNames) {
    EXPECT_EQ(renderExtension(CExtensionSSL::getSubjectAltName, kSan,
                              {{"subjectAltName", "email:a@b.example,URI:http://x"}}),
              "a@b.example, http://x");
}

TEST(ExtensionRenderNames, CriticalSubjectAltNameRendersEmpty) {
    EXPECT_EQ(renderExtension(CExtensionSSL::getSubjectAltName, kSan,
                              {{"subjectAltName", "critical,email:a@b.example"}}),
              "");
}

TEST(ExtensionRenderNames, IssuerAltName) {
    EXPECT_EQ(renderExtension(CExtensionSSL::getIssuerAltName, kIan,
                              {{"issuerAltName", "email:ca@ca.example,DNS:ca.example"}}),
              "ca@ca.example, ca.example");
}

TEST(ExtensionRenderNames, DirectoryNameInSubjectAltNameShowsAsDnText) {
    const Bytes value = generate("SEQUENCE:names",
                                 "[names]\n"
                                 "mail = IMPLICIT:1,IA5STRING:x@y.example\n"
                                 "dn = EXPLICIT:4,SEQUENCE:name\n"
                                 "[name]\n"
                                 "cn = SET:cn\n"
                                 "[cn]\n"
                                 "atv = SEQUENCE:cnv\n"
                                 "[cnv]\n"
                                 "t = OID:commonName\n"
                                 "v = UTF8String:Pseudonym\n");
    const Bytes cert = certificateWith({{kSan, "DER:" + hexOf(value)}});
    EXPECT_EQ(render(CExtensionSSL::getSubjectAltName, extensionElement(cert, kSan)),
              "x@y.example, commonName=Pseudonym");
}

// CertificatePolicies encoded by OpenSSL's own types (the test PKI's
// configuration route has no database for policy sections).
TEST(ExtensionRenderPolicies, FirstPolicyOidOnly) {
    EXPECT_EQ(renderExtension(CExtensionSSL::getCertPolicies, kPolicies,
                              {{kPolicies, "DER:" + hexOf(opensslPolicies({"1.3.6.1.4.1.99.1"}))}}),
              "1.3.6.1.4.1.99.1");
    EXPECT_EQ(renderExtension(CExtensionSSL::getCertPolicies, kPolicies,
                              {{kPolicies, "DER:" + hexOf(opensslPolicies({"1.3.6.1.4.1.99.2", "2.5.29.32.0"}))}}),
              "1.3.6.1.4.1.99.2");
}

TEST(ExtensionRenderPolicies, QualifiersAreNotShown) {
    const Bytes value = generate("SEQUENCE:policies",
                                 "[policies]\n"
                                 "p = SEQUENCE:policy\n"
                                 "[policy]\n"
                                 "id = OID:1.3.6.1.4.1.99.5\n"
                                 "q = SEQUENCE:qualifiers\n"
                                 "[qualifiers]\n"
                                 "cps = SEQUENCE:cps\n"
                                 "[cps]\n"
                                 "id = OID:1.3.6.1.5.5.7.2.1\n"
                                 "uri = IA5STRING:http://cps.example\n");
    const Bytes cert = certificateWith({{"certificatePolicies", "DER:" + hexOf(value)}});
    X509Ptr parsed = parse(cert);
    ASSERT_TRUE(parsed);
    auto* policies = static_cast<CERTIFICATEPOLICIES*>(
        X509_get_ext_d2i(parsed.get(), NID_certificate_policies, nullptr, nullptr));
    ASSERT_NE(policies, nullptr);
    EXPECT_EQ(sk_POLICYQUALINFO_num(sk_POLICYINFO_value(policies, 0)->qualifiers), 1);
    CERTIFICATEPOLICIES_free(policies);
    EXPECT_EQ(render(CExtensionSSL::getCertPolicies, extensionElement(cert, kPolicies)),
              "1.3.6.1.4.1.99.5");
}

TEST(ExtensionRenderPolicies, FirstKeyPurposeWithItsName) {
    EXPECT_EQ(renderExtension(CExtensionSSL::getExtendedKeyUsage, kExtendedKeyUsage,
                              {{"extendedKeyUsage", "OCSPSigning"}}),
              "OID={1.3.6.1.5.5.7.3.9=OCSPSigning}");
    EXPECT_EQ(renderExtension(CExtensionSSL::getExtendedKeyUsage, kExtendedKeyUsage,
                              {{"extendedKeyUsage", "OCSPSigning,emailProtection"}}),
              "OID={1.3.6.1.5.5.7.3.9=OCSPSigning}");
}

TEST(ExtensionRenderPolicies, KeyPurposeUnknownToTheRegistryShowsQuestionMark) {
    EXPECT_EQ(renderExtension(CExtensionSSL::getExtendedKeyUsage, kExtendedKeyUsage,
                              {{"extendedKeyUsage", "1.3.6.1.4.1.99.7"}}),
              "OID={1.3.6.1.4.1.99.7=?}");
}

TEST(ExtensionRenderPolicies, NetscapeUrls) {
    EXPECT_EQ(renderExtension(CExtensionSSL::getCertBaseURL, kBaseUrl, {{"nsBaseUrl", "http://base"}}),
              "URI={http://base}");
    EXPECT_EQ(renderExtension(CExtensionSSL::getCAPolicyURL, kCaPolicyUrl,
                              {{"nsCaPolicyUrl", "http://ca.example/policy.html"}}),
              "URI={http://ca.example/policy.html}");
}

TEST(ExtensionRenderPolicies, UrlRenderersWantAnIa5String) {
    // A UTF8String URL is a mismatch.
    const Bytes value = generate("UTF8String:http://base");
    EXPECT_EQ(render(CExtensionSSL::getCertBaseURL, extnValue(value)), "");
    EXPECT_EQ(render(CExtensionSSL::getCAPolicyURL, extnValue(value)), "");
}

// Each renderer given the extension meant for another gives an empty text
// or the text of its own rule, never the other's.
TEST(ExtensionRenderPolicies, RendererOnTheWrongExtensionIsEmpty) {
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
