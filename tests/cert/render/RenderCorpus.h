// Every renderer of CExtensionSSL and CRestrictionSSL, and one well-formed
// input of the common shape for each with its text: extension elements
// located in a certificate made by OpenSSL, other values made by OpenSSL's
// generator.
#pragma once

#include "tests/cert/render/RenderTestUtil.h"

#include <string>
#include <vector>

namespace kivo::test::render {

inline std::vector<Renderer> allRenderers() {
    using E = CExtensionSSL;
    using R = CRestrictionSSL;
    return {E::getAuthorityInfoAccess, E::getAuthorityKeyIdent, E::getCAPolicyURL, E::getCRLDistrbutionPoints,
            E::getCertBaseURL, E::getCertPolicies, E::getExtendedKeyUsage, E::getIdIsismmtAtAsmission,
            E::getIdIsismmtAtIccsn, E::getIssuerAltName, E::getKeyUsage, qcWithNames, qcWithoutNames,
            E::getRestriction, E::getSubjectAltName, E::getSubjectKeyIdent, R::getRestriction,
            R::getRestrictionAdditional, R::getRestrictionAdmission, R::getRestrictionIdentity,
            R::getRestrictionMajority, R::getRestrictionMonetary, R::getRestrictionProkura};
}

struct Sample {
    const char* name;
    Renderer renderer;
    Bytes bytes;
    std::string expected;
};

inline std::vector<Sample> renderSamples() {
    using E = CExtensionSSL;
    using R = CRestrictionSSL;
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
    const auto ext = [](const std::string& root, const std::string& config = "") {
        return extnValue(generate(root, config));
    };
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
         ext("SEQUENCE:points", "[points]\np = SEQUENCE:point\n[point]\nname = EXPLICIT:0,IMPLICIT:0,SEQUENCE:full\n"
                                "reasons = IMPLICIT:1,FORMAT:BITLIST,BITSTRING:1,2\nissuer = IMPLICIT:2,SEQUENCE:issuers\n"
                                "[full]\nuri = IMPLICIT:6,IA5STRING:http://crl.example/ca.crl\n"
                                "[issuers]\ndn = EXPLICIT:4,SEQUENCE:name\n" + name),
         "URI={http://crl.example/ca.crl}, reasons={\x05`}, cRLIssuer={countryName=DE, organizationName=Kammer}"},
        {"aki", E::getAuthorityKeyIdent, ext("SEQUENCE:aki", "[aki]\nid = IMPLICIT:0,FORMAT:HEX,OCTETSTRING:A1B2C3\n"),
         "A1B2C3"},
        {"ski", E::getSubjectKeyIdent, ext("FORMAT:HEX,OCTETSTRING:0102030405"), "0102030405"},
        {"policies", E::getCertPolicies, ext("SEQUENCE:p", "[p]\np = SEQUENCE:i\n[i]\nid = OID:1.3.6.1.4.1.99.1\n"),
         "1.3.6.1.4.1.99.1"},
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
        {"restriction-ext", E::getRestriction, ext("UTF8String:Nur fuer Tests"), "Nur fuer Tests"},
        {"iccsn", E::getIdIsismmtAtIccsn, ext("FORMAT:HEX,OCTETSTRING:8949011234567890"), "8949011234567890"},
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

}  // namespace kivo::test::render
