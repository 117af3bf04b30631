// CExtensionSSL and CRestrictionSSL: each renderer on a common input made by
// OpenSSL, whole, cut and with trailing octets; one case per further rule;
// hostile and oversized input, one per rule (arbitrary octets are left to
// fuzz/fuzz_renderers.cpp), each in a heap block of its exact size so that
// the address sanitizer reports a read past it; the result buffers.

#include <gtest/gtest.h>

#include <openssl/conf.h>

#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "ExtensionSSL.h"
#include "RestrictionSSL.h"
#include "asn1/Asn1Der.h"
#include "tests/support/DerBuild.h"
#include "tests/support/TestSupport.h"
#include "tools/testpki/Pki.h"

using namespace kivo::test;

namespace {

// DER of `root` in OpenSSL's ASN1_generate_nconf syntax with `config`.
inline Bytes generate(const std::string& root, const std::string& config = "") {
    CONF* conf = NCONF_new(nullptr);
    BIO* bio = BIO_new_mem_buf(config.data(), static_cast<int>(config.size()));
    long errorLine = 0;
    ASN1_TYPE* value = NCONF_load_bio(conf, bio, &errorLine) == 1 ? ASN1_generate_nconf(root.c_str(), conf) : nullptr;
    BIO_free(bio);
    NCONF_free(conf);
    unsigned char* der = nullptr;
    const int length = value != nullptr ? i2d_ASN1_TYPE(value, &der) : 0;
    ASN1_TYPE_free(value);
    if (length <= 0) throw std::runtime_error("OpenSSL's generator rejected " + root);
    Bytes out(der, der + length);
    OPENSSL_free(der);
    return out;
}

// Generator sections of the Name "C=DE, O=Kammer", called SEQUENCE:name.
inline const std::string kKammerName =
    "[name]\nc = SET:name_c\no = SET:name_o\n[name_c]\natv = SEQUENCE:name_cv\n"
    "[name_cv]\nt = OID:countryName\nv = PRINTABLESTRING:DE\n[name_o]\natv = SEQUENCE:name_ov\n"
    "[name_ov]\nt = OID:organizationName\nv = UTF8String:Kammer\n";

using Renderer = std::function<char*(unsigned char*, unsigned long)>;

inline char* qcWithNames(unsigned char* e, unsigned long l) { return CExtensionSSL::getQCStatements(e, l, true); }
inline char* qcWithoutNames(unsigned char* e, unsigned long l) { return CExtensionSSL::getQCStatements(e, l, false); }

// The text of `renderer` on an exact-size copy of `bytes`.
inline std::string render(const Renderer& renderer, const Bytes& bytes) {
    ExactBuffer input(bytes);
    const char* text = renderer(input.data(), input.size());
    return text == nullptr ? std::string("<null>") : std::string(text);
}

// DER of a self-signed certificate with the extensions (OpenSSL syntax).
inline Bytes certificateWith(std::vector<std::pair<std::string, std::string>> extensions) {
    EvpKeyPtr key = generateKey(KeyKind::EcP256);
    return derOf(makeCertificate({.subject = "/CN=Renderer", .subjectKey = key.get(), .extensions = std::move(extensions)}).get());
}

// The renderer input of extension `oid` in certificate DER: from the octet
// after extnID to the end of the Extension; empty when not found.
inline Bytes extensionElement(const Bytes& cert, const char* oid) {
    Asn1Cursor c = Asn1Begin(cert.data(), cert.size());
    if (c.size == 0 || !Asn1Enter(c.ptr, &c) || !Asn1Enter(c.ptr, &c)) return {};  // tbsCertificate
    while (c.ptr[0] != 0xA3 && Asn1Next(c.ptr, &c)) {
    }
    if (!Asn1Enter(c.ptr, &c) || !Asn1Enter(c.ptr, &c)) return {};  // Extensions, first Extension
    do {
        Asn1Cursor field = c;
        if (!Asn1Enter(c.ptr, &field) || field.ptr[0] != 0x06) continue;
        if (std::string(Asn1OidToText(field.ptr, field.size, false)) != oid) continue;
        if (!Asn1Next(field.ptr, &field)) return {};
        return Bytes(field.ptr, c.ptr + c.size);
    } while (Asn1Next(c.ptr, &c));
    return {};
}

// The extnValue OCTET STRING around `value`, after a critical flag if asked.
inline Bytes extnValue(const Bytes& v, bool critical = false) { return cat({critical ? hex("01 01 FF") : Bytes{}, tlv(0x04, v)}); }

Bytes value(const std::string& root, const std::string& config = "") { return extnValue(generate(root, config)); }

inline std::vector<Renderer> allRenderers() {
    using E = CExtensionSSL;
    using R = CRestrictionSSL;
    return {E::getAuthorityInfoAccess, E::getAuthorityKeyIdent, E::getCAPolicyURL, E::getCRLDistrbutionPoints, E::getCertBaseURL,
            E::getCertPolicies, E::getExtendedKeyUsage, E::getIdIsismmtAtAsmission, E::getIdIsismmtAtIccsn, E::getIssuerAltName,
            E::getKeyUsage, qcWithNames, qcWithoutNames, E::getRestriction, E::getSubjectAltName, E::getSubjectKeyIdent,
            R::getRestriction, R::getRestrictionAdditional, R::getRestrictionAdmission, R::getRestrictionIdentity,
            R::getRestrictionMajority, R::getRestrictionMonetary, R::getRestrictionProkura};
}

struct Sample { const char* name; Renderer renderer; Bytes bytes; std::string expected; };

inline std::vector<Sample> renderSamples() {
    using E = CExtensionSSL;
    using R = CRestrictionSSL;
    const Bytes cert = certificateWith(
        {{"authorityInfoAccess", "OCSP;URI:http://ocsp.example,caIssuers;URI:http://ca.example/ca.crt"},
         {"crlDistributionPoints", "URI:http://crl.example/ca.crl"}, {"keyUsage", "critical,digitalSignature,nonRepudiation"},
         {"extendedKeyUsage", "OCSPSigning"}, {"subjectAltName", "email:a@b.example,URI:http://x"},
         {"issuerAltName", "DNS:ca.example"}, {"nsBaseUrl", "http://base"}, {"nsCaPolicyUrl", "http://ca.example/policy"}});
    const auto attr = [](const std::string& config) { return generate("SET:v", "[v]\n" + config); };
    const std::string name = kKammerName;
    const std::string admissions =
        "contents = SEQUENCE:contents\n[contents]\na = SEQUENCE:admissions\n[admissions]\ninfos = SEQUENCE:infos\n"
        "[infos]\ni = SEQUENCE:info\n[info]\nitems = SEQUENCE:items\nnumber = PRINTABLESTRING:4711\n"
        "[items]\nitem = UTF8String:Notar\n" + name;
    return {
        {"aia", E::getAuthorityInfoAccess, extensionElement(cert, "1.3.6.1.5.5.7.1.1"),
         "URI={1.3.6.1.5.5.7.48.1=http://ocsp.example}, URI={1.3.6.1.5.5.7.48.2=http://ca.example/ca.crt}"},
        {"crldp", E::getCRLDistrbutionPoints, extensionElement(cert, "2.5.29.31"), "URI={http://crl.example/ca.crl}"},
        {"keyusage", E::getKeyUsage, extensionElement(cert, "2.5.29.15"), "C0"},
        {"eku", E::getExtendedKeyUsage, extensionElement(cert, "2.5.29.37"), "OID={1.3.6.1.5.5.7.3.9=OCSPSigning}"},
        {"san", E::getSubjectAltName, extensionElement(cert, "2.5.29.17"), "a@b.example, http://x"},
        {"ian", E::getIssuerAltName, extensionElement(cert, "2.5.29.18"), "ca.example"},
        {"baseurl", E::getCertBaseURL, extensionElement(cert, "2.16.840.1.113730.1.2"), "URI={http://base}"},
        {"capolicy", E::getCAPolicyURL, extensionElement(cert, "2.16.840.1.113730.1.8"), "URI={http://ca.example/policy}"},
        {"crldp-full", E::getCRLDistrbutionPoints,
         value("SEQUENCE:points", "[points]\np = SEQUENCE:point\n[point]\nname = EXPLICIT:0,IMPLICIT:0,SEQUENCE:full\n"
                                "reasons = IMPLICIT:1,FORMAT:BITLIST,BITSTRING:1,2\nissuer = IMPLICIT:2,SEQUENCE:issuers\n"
                                "[full]\nuri = IMPLICIT:6,IA5STRING:http://crl.example/ca.crl\n"
                                "[issuers]\ndn = EXPLICIT:4,SEQUENCE:name\n" + name),
         "URI={http://crl.example/ca.crl}, reasons={\x05`}, cRLIssuer={countryName=DE, organizationName=Kammer}"},
        {"aki", E::getAuthorityKeyIdent, value("SEQUENCE:a", "[a]\nid = IMPLICIT:0,FORMAT:HEX,OCTETSTRING:A1B2C3\n"), "A1B2C3"},
        {"ski", E::getSubjectKeyIdent, value("FORMAT:HEX,OCTETSTRING:0102030405"), "0102030405"},
        {"policies", E::getCertPolicies, value("SEQUENCE:p", "[p]\np = SEQUENCE:i\n[i]\nid = OID:1.3.6.1.4.1.99.1\n"), "1.3.6.1.4.1.99.1"},
        {"qc", qcWithoutNames,
         extnValue(generate("SEQUENCE:qcs",
                            "[qcs]\ns1 = SEQUENCE:c\ns2 = SEQUENCE:l\ns3 = SEQUENCE:s\ns4 = SEQUENCE:p\n"
                            "s5 = SEQUENCE:t\ns6 = SEQUENCE:r\n[c]\nid = OID:0.4.0.1862.1.1\n"
                            "[l]\nid = OID:0.4.0.1862.1.2\nv = SEQUENCE:m\n"
                            "[m]\nc = PRINTABLESTRING:EUR\na = INTEGER:5000\ne = INTEGER:0\n[s]\nid = OID:0.4.0.1862.1.4\n"
                            "[p]\nid = OID:0.4.0.1862.1.5\nv = SEQUENCE:pl\n[pl]\nen = SEQUENCE:en\n"
                            "[en]\nu = IA5STRING:https://pds.example/en\nl = PRINTABLESTRING:en\n"
                            "[t]\nid = OID:0.4.0.1862.1.6\nv = SEQUENCE:ts\n[ts]\nt = OID:0.4.0.1862.1.6.1\n"
                            "[r]\nid = OID:0.4.0.1862.1.3\ny = INTEGER:10\n"),
                   true),
         "0.4.0.1862.1.1, 0.4.0.1862.1.2 [5000 EUR], 0.4.0.1862.1.4, 0.4.0.1862.1.5 "
         "[URI={https://pds.example/en, en}], 0.4.0.1862.1.6, 0.4.0.1862.1.6.1, 0.4.0.1862.1.3"},
        {"admission", E::getIdIsismmtAtAsmission,
         extnValue(generate("SEQUENCE:adm", "[adm]\nauthority = EXPLICIT:4,SEQUENCE:name\n" + admissions), true),
         "[countryName=DE], [organizationName=Kammer], Notar"},
        {"restriction-ext", E::getRestriction, value("UTF8String:Nur fuer Tests"), "Nur fuer Tests"},
        {"iccsn", E::getIdIsismmtAtIccsn, value("FORMAT:HEX,OCTETSTRING:8949011234567890"), "8949011234567890"},
        {"restriction", R::getRestriction, attr("v = UTF8String:Nur fuer Tests\n"), "Nur fuer Tests"},
        {"additional", R::getRestrictionAdditional, attr("v = UTF8String:Zusatz\n"), "Zusatz"},
        {"monetary", R::getRestrictionMonetary,
         attr("v = SEQUENCE:m\n[m]\nc = PRINTABLESTRING:EUR\na = INTEGER:5000\ne = INTEGER:0\n"), "EUR 5000.00"},
        {"majority", R::getRestrictionMajority,
         attr("a = EXPLICIT:0,INTEGER:18\nb = EXPLICIT:2,GENERALIZEDTIME:19700201000000Z\n"),
         "notYoungerThan=18 dateOfBirth=01.02.1970"},
        {"prokura", R::getRestrictionProkura,
         attr("p = SEQUENCE:p\n[p]\nc = EXPLICIT:1,PRINTABLESTRING:DE\nt = EXPLICIT:2,UTF8String:Prokurist\n"
              "f = EXPLICIT:3,EXPLICIT:4,SEQUENCE:name\n" + name),
         "country=DE, typeOfSubstitution=Prokurist, signingFor={countryName=DE, organizationName=Kammer}"},
        {"identity", R::getRestrictionIdentity,
         attr("a = SEQUENCE:as\n[as]\nd = SEQUENCE:d\np = SEQUENCE:p\n"
              "[d]\nt = OID:1.3.6.1.5.5.7.9.1\nv = SET:dv\n[dv]\nv = GENERALIZEDTIME:19700201000000Z\n"
              "[p]\nt = OID:1.3.6.1.5.5.7.9.2\nv = SET:pv\n[pv]\nv = UTF8String:Berlin\n"),
         "dateOfBirth=01.02.1970, placeOfBirth=Berlin"},
        {"admission-attr", R::getRestrictionAdmission,
         attr("v = SEQUENCE:adm\n[adm]\nauthority = EXPLICIT:4,SEQUENCE:name\n" + admissions),
         "admissionAuthority={countryName=DE, organizationName=Kammer}professionInfos=professionItems={Notar} , "
         "registrationNumber=4711"},
    };
}



using E = CExtensionSSL;

Bytes fromCertificate(const char* oid, const std::string& name, const std::string& value) {
    return extensionElement(certificateWith({{name, value}}), oid);
}


const std::string kCommonName = "[name]\ncn = SET:cn\n[cn]\natv = SEQUENCE:cnv\n[cnv]\nt = OID:commonName\n";


TEST(ExtensionRender, OneCasePerRule) {
    using R = CRestrictionSSL;
    const auto money = [](const std::string& fields) { return generate("SEQUENCE:m", "[m]\n" + fields); };
    const auto majority = [](const std::string& field) { return generate("SET:v", "[v]\nm = " + field + "\n"); };
    const struct { const char* what; Renderer renderer; Bytes element; const char* expected; } cases[] = {
        {"a renderer that does not step over the critical flag renders empty", E::getAuthorityInfoAccess,
         fromCertificate("1.3.6.1.5.5.7.1.1", "authorityInfoAccess", "critical,OCSP;URI:http://ocsp.example"), ""},
        {"a directoryName in fullName is labelled as cRLIssuer", E::getCRLDistrbutionPoints,
         value("SEQUENCE:points", "[points]\np = SEQUENCE:point\n[point]\nname = EXPLICIT:0,IMPLICIT:0,SEQUENCE:full\n"
                                  "[full]\ndn = EXPLICIT:4,SEQUENCE:name\nuri = IMPLICIT:6,IA5STRING:ldap://dir.example/cn=CA\n" +
                                      kCommonName + "v = UTF8String:CRL Signer\n"),
         "cRLIssuer={commonName=CRL Signer}, URI={ldap://dir.example/cn=CA}"},
        {"a dNSName ahead of the URI ends the walk", E::getCRLDistrbutionPoints,
         value("SEQUENCE:points", "[points]\np = SEQUENCE:point\nq = SEQUENCE:point\n"
                                  "[point]\nname = EXPLICIT:0,IMPLICIT:0,SEQUENCE:full\n"
                                  "[full]\nuri = IMPLICIT:6,IA5STRING:http://first.example\ndns = IMPLICIT:2,IA5STRING:crl.example\n"),
         "URI={http://first.example}"},
        {"decipherOnly is bit 8: a second octet", E::getKeyUsage,
         fromCertificate("2.5.29.15", "keyUsage", "digitalSignature,keyAgreement,decipherOnly"), "8880"},
        {"a directoryName in subjectAltName shows as DN text", E::getSubjectAltName,
         value("SEQUENCE:names", "[names]\nmail = IMPLICIT:1,IA5STRING:x@y.example\ndn = EXPLICIT:4,SEQUENCE:name\n" +
                                     kCommonName + "v = UTF8String:Pseudonym\n"),
         "x@y.example, commonName=Pseudonym"},
        {"statements with names", qcWithNames,
         value("SEQUENCE:qcs", "[qcs]\ns1 = SEQUENCE:c\ns2 = SEQUENCE:l\ns3 = SEQUENCE:s\n[c]\nid = OID:0.4.0.1862.1.1\n"
                               "[l]\nid = OID:0.4.0.1862.1.2\nv = SEQUENCE:m\n[m]\nc = PRINTABLESTRING:EUR\na = INTEGER:5000\n"
                               "e = INTEGER:0\n[s]\nid = OID:0.4.0.1862.1.4\n"),
         "0.4.0.1862.1.1 - id-etsi-qcs-QcCompliance, 0.4.0.1862.1.2 - QcEuLimitValue [5000 EUR], "
         "0.4.0.1862.1.4 - id-etsi-qcs-QcSSCD"},
        {"an ICCSN that is no OCTET STRING", E::getIdIsismmtAtIccsn, value("PRINTABLESTRING:8949011234"), ""},
        // Restriction: a UTF8String, in the values SET or on its own.
        {"", R::getRestriction, generate("UTF8String:Nur fuer Testzwecke"), "Nur fuer Testzwecke"},
        {"", R::getRestriction, tlv(0x31, generate("PRINTABLESTRING:Test")), ""},
        // Additional information only inside its SET.
        {"", R::getRestrictionAdditional, generate("UTF8String:Zusatz"), ""},
        // Monetary limit: amount times ten to the exponent; currency first.
        {"", R::getRestrictionMonetary, money("c = PRINTABLESTRING:USD\na = INTEGER:15\ne = INTEGER:2\n"), "USD 1500.00"},
        {"", R::getRestrictionMonetary, money("a = INTEGER:5000\ne = INTEGER:0\n"), ""},
        // Declaration of majority: UTCTime years 50 to 99 in the 1900s.
        {"", R::getRestrictionMajority, majority("EXPLICIT:2,UTCTIME:491231000000Z"), " dateOfBirth=31.12.2049"},
        {"", R::getRestrictionMajority, majority("EXPLICIT:2,UTCTIME:500101000000Z"), " dateOfBirth=01.01.1950"},
        // Procuration: the walk stops at the first universal element.
        {"", R::getRestrictionProkura,
         generate("SEQUENCE:p", "[p]\ntype = EXPLICIT:2,PRINTABLESTRING:Vertreter\nstray = INTEGER:1\n"
                             "country = EXPLICIT:1,PRINTABLESTRING:AT\n"),
         "typeOfSubstitution=Vertreter"},
    };
    for (const auto& c : cases) EXPECT_EQ(render(c.renderer, c.element), c.expected) << c.what << c.expected;
}


// `inner` wrapped `depth` times in elements with `identifier`.
Bytes nested(unsigned char identifier, const Bytes& inner, int depth) {
    Bytes out(inner.rbegin(), inner.rend());  // built back to front
    for (int i = 0; i < depth; ++i) {
        const Bytes header = derHeader(identifier, out.size());
        out.insert(out.end(), header.rbegin(), header.rend());
    }
    return Bytes(out.rbegin(), out.rend());
}


TEST(RenderSamples, EachRendererOnItsSampleWholeCutAndWithTrailingOctets) {
    // A cut value's outer element no longer fits; octets after it are not read.
    const Bytes tail = {0x30, 0x03, 0x06, 0x01, 0x2A, 0x04, 0x84, 0xFF, 0xFF, 0xFF, 0xFF};
    for (const Sample& sample : renderSamples()) {
        SCOPED_TRACE(sample.name);
        ASSERT_FALSE(sample.bytes.empty());
        EXPECT_EQ(render(sample.renderer, sample.bytes), sample.expected);
        EXPECT_EQ(render(sample.renderer, cat({sample.bytes, tail})), sample.expected);
        EXPECT_EQ(render(sample.renderer, Bytes(sample.bytes.begin(), sample.bytes.end() - 1)), "");
    }
}

TEST(RenderMalformed, HostileStructureRendersEmptyInEveryRenderer) {
    const Bytes deep = nested(0x30, tlv(0x86, std::string_view("http://deep.example")), 20000);
    const std::pair<Bytes, const char*> inputs[] = {
        {{}, "empty"}, {{0x04, 0x84, 0xFF, 0xFF, 0xFF, 0xFF, 0x30, 0x00}, "length far beyond the input"},
        {{0x04, 0x04, 0x30, 0x05, 0x06, 0x03}, "child longer than the parent"},
        {{0x04, 0x04, 0x30, 0x02, 0x1F, 0x81}, "high-tag-number identifier"},
        {{0x04, 0x80, 0x30, 0x80, 0x30, 0x80, 0x00, 0x00}, "indefinite, never closed"},
        {{0x31, 0x03, 0x0C, 0x05, 0x41}, "value past its SET"},
        {{0x01, 0x84, 0xFF, 0xFF, 0xFF, 0xFF, 0x04, 0x00}, "critical flag beyond the input"},
    };
    for (const Renderer& renderer : allRenderers()) {
        EXPECT_STREQ(renderer(nullptr, 100), "");
        for (const auto& [input, what] : inputs) EXPECT_EQ(render(renderer, input), "") << what;
        // Nesting is walked without recursion.
        render(renderer, tlv(0x31, deep));
        render(renderer, extnValue(deep));
    }
    // The flat walk reaches the bottom; indefinite lengths are followed.
    EXPECT_EQ(render(CExtensionSSL::getCRLDistrbutionPoints, extnValue(deep)), "URI={http://deep.example}");
    EXPECT_EQ(render(CExtensionSSL::getCRLDistrbutionPoints,
                     {0x04, 0x0B, 0x30, 0x80, 0x30, 0x80, 0x86, 0x01, 0x41, 0x00, 0x00, 0x00, 0x00}),
              "URI={A}");
}

TEST(RenderBuffers, TextsAreCutAt2047AndTheBufferClearedAtEachCall) {
    std::string uris;
    Bytes points;
    for (int i = 0; i < 300; ++i) {
        const std::string one = "http://crl" + std::to_string(i) + ".example/ca.crl";
        points = cat({points, tlv(0x86, one)});
        uris += (i == 0 ? "URI={" : ", URI={") + one + "}";
    }
    EXPECT_EQ(render(CExtensionSSL::getCRLDistrbutionPoints, extnValue(tlv(0x30, tlv(0x30, tlv(0xA0, tlv(0xA0, points)))))),
              uris.substr(0, 2047));
    ExactBuffer longValue(tlv(0x31, tlv(0x0C, std::string(4000, 'r'))));
    const char* first = CRestrictionSSL::getRestriction(longValue.data(), longValue.size());
    EXPECT_EQ(std::string(first), std::string(2047, 'r'));
    // A value of 5000 octets or more is refused by the DER text functions.
    EXPECT_EQ(render(CRestrictionSSL::getRestriction, tlv(0x31, tlv(0x0C, std::string(6000, 'r')))), "");

    ExactBuffer shortValue(tlv(0x0C, std::string_view("kurz")));
    EXPECT_EQ(CRestrictionSSL::getRestriction(shortValue.data(), shortValue.size()), first);
    EXPECT_STREQ(first, "kurz");
    EXPECT_EQ(first[5], '\0') << "the rest of the buffer is cleared";
}

}  // namespace
