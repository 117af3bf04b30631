// Every renderer of CExtensionSSL and CRestrictionSSL in one table, and a
// corpus of well-formed inputs for them (extension elements located in
// certificates made by OpenSSL, attribute values made by OpenSSL's
// generator), for the tests that run every renderer on every input and on
// damaged copies of it.
#pragma once

#include "ExtensionSSL.h"
#include "tests/cert/render/RenderTestUtil.h"
#include "RestrictionSSL.h"

#include <string>
#include <vector>

namespace kivo::test::render {

struct NamedRenderer {
    const char* name;
    Renderer function;
};

inline std::vector<NamedRenderer> allRenderers() {
    using E = CExtensionSSL;
    using R = CRestrictionSSL;
    return {
        {"getAuthorityInfoAccess", E::getAuthorityInfoAccess},
        {"getAuthorityKeyIdent", E::getAuthorityKeyIdent},
        {"getCAPolicyURL", E::getCAPolicyURL},
        {"getCRLDistrbutionPoints", E::getCRLDistrbutionPoints},
        {"getCertBaseURL", E::getCertBaseURL},
        {"getCertPolicies", E::getCertPolicies},
        {"getExtendedKeyUsage", E::getExtendedKeyUsage},
        {"getIdIsismmtAtAsmission", E::getIdIsismmtAtAsmission},
        {"getIdIsismmtAtIccsn", E::getIdIsismmtAtIccsn},
        {"getIssuerAltName", E::getIssuerAltName},
        {"getKeyUsage", E::getKeyUsage},
        {"getQCStatements(names)", [](unsigned char* e, unsigned long l) { return E::getQCStatements(e, l, true); }},
        {"getQCStatements", [](unsigned char* e, unsigned long l) { return E::getQCStatements(e, l, false); }},
        {"CExtensionSSL::getRestriction", E::getRestriction},
        {"getSubjectAltName", E::getSubjectAltName},
        {"getSubjectKeyIdent", E::getSubjectKeyIdent},
        {"CRestrictionSSL::getRestriction", R::getRestriction},
        {"getRestrictionAdditional", R::getRestrictionAdditional},
        {"getRestrictionAdmission", R::getRestrictionAdmission},
        {"getRestrictionIdentity", R::getRestrictionIdentity},
        {"getRestrictionMajority", R::getRestrictionMajority},
        {"getRestrictionMonetary", R::getRestrictionMonetary},
        {"getRestrictionProkura", R::getRestrictionProkura},
    };
}

struct Sample {
    std::string name;
    Bytes bytes;
    // The renderer meant for it and its text, to show that the sample is
    // one the renderers understand.
    std::string renderer;
    std::string expected;
};

inline std::vector<Sample> renderSamples() {
    std::vector<Sample> samples;
    const Bytes cert = certificateWith({
        {"authorityInfoAccess", "OCSP;URI:http://ocsp.example,caIssuers;URI:http://ca.example/ca.crt"},
        {"crlDistributionPoints", "URI:http://crl.example/ca.crl"},
        {"keyUsage", "critical,digitalSignature,nonRepudiation"},
        {"extendedKeyUsage", "OCSPSigning"},
        {"subjectAltName", "email:a@b.example,URI:http://x"},
        {"issuerAltName", "DNS:ca.example"},
        {"nsBaseUrl", "http://base"},
        {"nsCaPolicyUrl", "http://ca.example/policy"},
    });
    auto fromCert = [&](const char* name, const char* oid, const char* renderer, const char* expected) {
        samples.push_back({name, extensionElement(cert, oid), renderer, expected});
    };
    fromCert("aia", "1.3.6.1.5.5.7.1.1", "getAuthorityInfoAccess",
             "URI={1.3.6.1.5.5.7.48.1=http://ocsp.example}, URI={1.3.6.1.5.5.7.48.2=http://ca.example/ca.crt}");
    fromCert("crldp", "2.5.29.31", "getCRLDistrbutionPoints", "URI={http://crl.example/ca.crl}");
    fromCert("keyusage", "2.5.29.15", "getKeyUsage", "C0");
    fromCert("eku", "2.5.29.37", "getExtendedKeyUsage", "OID={1.3.6.1.5.5.7.3.9=OCSPSigning}");
    fromCert("san", "2.5.29.17", "getSubjectAltName", "a@b.example, http://x");
    fromCert("ian", "2.5.29.18", "getIssuerAltName", "ca.example");
    fromCert("baseurl", "2.16.840.1.113730.1.2", "getCertBaseURL", "URI={http://base}");
    fromCert("capolicy", "2.16.840.1.113730.1.8", "getCAPolicyURL", "URI={http://ca.example/policy}");

    const std::string name = kKammerName;
    samples.push_back({"crldp-full",
                       extnValue(generate("SEQUENCE:points",
                                          "[points]\np = SEQUENCE:point\n[point]\n"
                                          "name = EXPLICIT:0,IMPLICIT:0,SEQUENCE:full\n"
                                          "reasons = IMPLICIT:1,FORMAT:BITLIST,BITSTRING:1,2\n"
                                          "issuer = IMPLICIT:2,SEQUENCE:issuers\n"
                                          "[full]\nuri = IMPLICIT:6,IA5STRING:http://crl.example/ca.crl\n"
                                          "[issuers]\ndn = EXPLICIT:4,SEQUENCE:name\n" + name)),
                       "getCRLDistrbutionPoints",
                       "URI={http://crl.example/ca.crl}, reasons={\x05`}, cRLIssuer={countryName=DE, organizationName=Kammer}"});
    samples.push_back({"aki", extnValue(generate("SEQUENCE:aki", "[aki]\nid = IMPLICIT:0,FORMAT:HEX,OCTETSTRING:A1B2C3\n")),
                       "getAuthorityKeyIdent", "A1B2C3"});
    samples.push_back({"ski", extnValue(generate("FORMAT:HEX,OCTETSTRING:0102030405")), "getSubjectKeyIdent",
                       "0102030405"});
    samples.push_back({"policies",
                       extnValue(generate("SEQUENCE:p", "[p]\np = SEQUENCE:i\n[i]\nid = OID:1.3.6.1.4.1.99.1\n")),
                       "getCertPolicies", "1.3.6.1.4.1.99.1"});
    samples.push_back({"qc",
                       extnValue(generate("SEQUENCE:qcs",
                                          "[qcs]\ns1 = SEQUENCE:c\ns2 = SEQUENCE:l\ns3 = SEQUENCE:s\ns4 = SEQUENCE:p\n"
                                          "s5 = SEQUENCE:t\ns6 = SEQUENCE:r\n"
                                          "[c]\nid = OID:0.4.0.1862.1.1\n"
                                          "[l]\nid = OID:0.4.0.1862.1.2\nv = SEQUENCE:m\n"
                                          "[m]\nc = PRINTABLESTRING:EUR\na = INTEGER:5000\ne = INTEGER:0\n"
                                          "[s]\nid = OID:0.4.0.1862.1.4\n"
                                          "[p]\nid = OID:0.4.0.1862.1.5\nv = SEQUENCE:pl\n[pl]\nen = SEQUENCE:en\n"
                                          "[en]\nu = IA5STRING:https://pds.example/en\nl = PRINTABLESTRING:en\n"
                                          "[t]\nid = OID:0.4.0.1862.1.6\nv = SEQUENCE:ts\n[ts]\nt = OID:0.4.0.1862.1.6.1\n"
                                          "[r]\nid = OID:0.4.0.1862.1.3\ny = INTEGER:10\n"),
                                 true),
                       "getQCStatements",
                       "0.4.0.1862.1.1, 0.4.0.1862.1.2 [5000 EUR], 0.4.0.1862.1.4, 0.4.0.1862.1.5 "
                       "[URI={https://pds.example/en, en}], 0.4.0.1862.1.6, 0.4.0.1862.1.6.1, 0.4.0.1862.1.3"});
    const std::string admissions =
        "[contents]\na = SEQUENCE:admissions\n[admissions]\ninfos = SEQUENCE:infos\n"
        "[infos]\ni = SEQUENCE:info\n[info]\nitems = SEQUENCE:items\nnumber = PRINTABLESTRING:4711\n"
        "[items]\nitem = UTF8String:Notar\n";
    samples.push_back({"admission",
                       extnValue(generate("SEQUENCE:adm", "[adm]\nauthority = EXPLICIT:4,SEQUENCE:name\n"
                                                          "contents = SEQUENCE:contents\n" +
                                                              admissions + name),
                                 true),
                       "getIdIsismmtAtAsmission", "[countryName=DE], [organizationName=Kammer], Notar"});
    samples.push_back({"restriction-ext", extnValue(generate("UTF8String:Nur fuer Tests")),
                       "CExtensionSSL::getRestriction", "Nur fuer Tests"});
    samples.push_back({"iccsn", extnValue(generate("FORMAT:HEX,OCTETSTRING:8949011234567890")),
                       "getIdIsismmtAtIccsn", "8949011234567890"});

    samples.push_back({"restriction", generate("SET:v", "[v]\nv = UTF8String:Nur fuer Tests\n"),
                       "CRestrictionSSL::getRestriction", "Nur fuer Tests"});
    samples.push_back({"additional", generate("SET:v", "[v]\nv = UTF8String:Zusatz\n"), "getRestrictionAdditional",
                       "Zusatz"});
    samples.push_back({"monetary",
                       generate("SET:v", "[v]\nv = SEQUENCE:m\n[m]\nc = PRINTABLESTRING:EUR\na = INTEGER:5000\n"
                                         "e = INTEGER:0\n"),
                       "getRestrictionMonetary", "EUR 5000.00"});
    samples.push_back({"majority",
                       generate("SET:v", "[v]\na = EXPLICIT:0,INTEGER:18\nb = EXPLICIT:2,GENERALIZEDTIME:19700201000000Z\n"),
                       "getRestrictionMajority", "notYoungerThan=18 dateOfBirth=01.02.1970"});
    samples.push_back({"prokura",
                       generate("SET:v", "[v]\np = SEQUENCE:p\n[p]\nc = EXPLICIT:1,PRINTABLESTRING:DE\n"
                                         "t = EXPLICIT:2,UTF8String:Prokurist\nf = EXPLICIT:3,EXPLICIT:4,SEQUENCE:name\n" +
                                             name),
                       "getRestrictionProkura",
                       "country=DE, typeOfSubstitution=Prokurist, signingFor={countryName=DE, organizationName=Kammer}"});
    samples.push_back({"identity",
                       generate("SET:v", "[v]\na = SEQUENCE:as\n[as]\nd = SEQUENCE:d\np = SEQUENCE:p\n"
                                         "[d]\nt = OID:1.3.6.1.5.5.7.9.1\nv = SET:dv\n[dv]\nv = GENERALIZEDTIME:19700201000000Z\n"
                                         "[p]\nt = OID:1.3.6.1.5.5.7.9.2\nv = SET:pv\n[pv]\nv = UTF8String:Berlin\n"),
                       "getRestrictionIdentity", "dateOfBirth=01.02.1970, placeOfBirth=Berlin"});
    samples.push_back({"admission-attr",
                       generate("SET:v", "[v]\nv = SEQUENCE:adm\n[adm]\nauthority = EXPLICIT:4,SEQUENCE:name\n"
                                         "contents = SEQUENCE:contents\n" +
                                             admissions + name),
                       "getRestrictionAdmission",
                       "admissionAuthority={countryName=DE, organizationName=Kammer}professionInfos=professionItems={Notar} , "
                       "registrationNumber=4711"});
    return samples;
}

}  // namespace kivo::test::render
