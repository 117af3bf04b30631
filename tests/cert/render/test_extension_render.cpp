// CExtensionSSL and CRestrictionSSL beside the common shapes of
// RenderCorpus.h: one case per rule of each renderer, on extensions made by
// OpenSSL (located in the certificate) or values made by OpenSSL's
// generator (attribute values as the values SET or its first value).

#include <gtest/gtest.h>

#include <string>

#include "tests/cert/render/RenderTestUtil.h"

using namespace kivo::test::render;

namespace {

using E = CExtensionSSL;

Bytes fromCertificate(const char* oid, const std::string& name, const std::string& value) {
    return extensionElement(certificateWith({{name, value}}), oid);
}

Bytes value(const std::string& root, const std::string& config = "") { return extnValue(generate(root, config)); }

// QCStatements of the statements in `list`, with generator sections of
// compliance, a limit of 5000 EUR and SSCD; `more` adds sections.
Bytes statements(const std::string& list, const std::string& more = "") {
    return value("SEQUENCE:qcs", "[qcs]\n" + list +
                                     "[compliance]\nid = OID:0.4.0.1862.1.1\n"
                                     "[limit]\nid = OID:0.4.0.1862.1.2\nvalue = SEQUENCE:money\n"
                                     "[money]\ncurrency = PRINTABLESTRING:EUR\namount = INTEGER:5000\nexponent = INTEGER:0\n"
                                     "[sscd]\nid = OID:0.4.0.1862.1.4\n" + more);
}

// A values SET around one value.
Bytes valuesSet(const Bytes& first) { return tlv(0x31, first); }

// AdmissionSyntax of a notary admitted by the Kammer, with `admissionsExtra`
// at the start of the Admissions and `infoExtra` at the end of the
// ProfessionInfo.
Bytes admissionAttribute(const std::string& admissionsExtra, const std::string& infoExtra,
                const std::string& moreSections = "") {
    return generate("SET:values", "[values]\nv = SEQUENCE:adm\n[adm]\nauthority = EXPLICIT:4,SEQUENCE:name\n"
                               "contents = SEQUENCE:contents\n[contents]\na = SEQUENCE:admissions\n[admissions]\n" +
                                   admissionsExtra + "infos = SEQUENCE:infos\n[infos]\ni = SEQUENCE:info\n"
                                   "[info]\nitems = SEQUENCE:items\n" + infoExtra +
                                   "[items]\nitem = UTF8String:Notar\n" + kKammerName + moreSections);
}

const std::string kNamingAuthorityId = "[naming]\nid = OID:1.2.276.0.76.3.1.1\n";

const std::string kCommonName = "[name]\ncn = SET:cn\n[cn]\natv = SEQUENCE:cnv\n[cnv]\nt = OID:commonName\n";

}  // namespace

TEST(ExtensionRender, OneCasePerRule) {
    using R = CRestrictionSSL;
    const auto money = [](const std::string& fields) { return generate("SEQUENCE:m", "[m]\n" + fields); };
    const auto majority = [](const std::string& field) { return generate("SET:v", "[v]\nm = " + field + "\n"); };
    const struct {
        const char* what;
        Renderer renderer;
        Bytes element;
        const char* expected;
    } cases[] = {
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
        {"a UTF8String URL is a mismatch", E::getCertBaseURL, value("UTF8String:http://base"), ""},
        {"an authority key identifier without [0] renders empty", E::getAuthorityKeyIdent,
         value("SEQUENCE:aki", "[aki]\nserial = IMPLICIT:2,INTEGER:5\n"), ""},
        {"statements with names", qcWithNames, statements("s1 = SEQUENCE:compliance\ns2 = SEQUENCE:limit\ns3 = SEQUENCE:sscd\n"),
         "0.4.0.1862.1.1 - id-etsi-qcs-QcCompliance, 0.4.0.1862.1.2 - QcEuLimitValue [5000 EUR], "
         "0.4.0.1862.1.4 - id-etsi-qcs-QcSSCD"},
        {"the limit is amount times ten to the exponent", qcWithoutNames,
         value("SEQUENCE:qcs", "[qcs]\ns = SEQUENCE:limit\n[limit]\nid = OID:0.4.0.1862.1.2\nvalue = SEQUENCE:money\n"
                               "[money]\ncurrency = PRINTABLESTRING:CHF\namount = INTEGER:25\nexponent = INTEGER:3\n"),
         "0.4.0.1862.1.2 [25000 CHF]"},
        {"admission without authority: only the item", E::getIdIsismmtAtAsmission,
         value("SEQUENCE:adm", "[adm]\ncontents = SEQUENCE:contents\n[contents]\na = SEQUENCE:admissions\n"
                               "[admissions]\ninfos = SEQUENCE:infos\n[infos]\ni = SEQUENCE:info\n[info]\nitems = SEQUENCE:items\n"
                               "[items]\nitem = UTF8String:Notar\nother = UTF8String:Anwalt\n"),
         "Notar"},
        {"an ICCSN that is no OCTET STRING", E::getIdIsismmtAtIccsn, value("PRINTABLESTRING:8949011234"), ""},
        // Restriction: a UTF8String, inside the values SET or on its own;
        // other string types are a mismatch; octets copied as they are.
        {"", R::getRestriction, generate("UTF8String:Nur fuer Testzwecke"), "Nur fuer Testzwecke"},
        {"", R::getRestriction, valuesSet(generate("PRINTABLESTRING:Test")), ""},
        // Additional information only inside its SET.
        {"", R::getRestrictionAdditional, generate("UTF8String:Zusatz"), ""},
        // Monetary limit: amount times ten to the exponent, two decimals;
        // the currency must come first.
        {"", R::getRestrictionMonetary, money("c = PRINTABLESTRING:USD\na = INTEGER:15\ne = INTEGER:2\n"), "USD 1500.00"},
        {"", R::getRestrictionMonetary, money("a = INTEGER:5000\ne = INTEGER:0\n"), ""},
        // Integers are read as unsigned from their last four octets:
        // 0x0100001388 counts as 00 00 13 88 = 5000.
        {"", R::getRestrictionMonetary, money("c = PRINTABLESTRING:EUR\na = INTEGER:0x0100001388\ne = INTEGER:0\n"),
         "EUR 5000.00"},
        // Declaration of majority: [0] age, [2] date of birth (GeneralizedTime
        // or UTCTime), [1] full age at country passed over.
        {"", R::getRestrictionMajority, majority("EXPLICIT:2,UTCTIME:491231000000Z"), " dateOfBirth=31.12.2049"},
        {"", R::getRestrictionMajority, majority("EXPLICIT:2,UTCTIME:500101000000Z"), " dateOfBirth=01.01.1950"},
        {"", R::getRestrictionMajority,
         tlv(0x31, cat({generate("EXPLICIT:1,SEQUENCE:c", "[c]\nc = PRINTABLESTRING:DE\n"), generate("EXPLICIT:0,INTEGER:21"),
                        generate("EXPLICIT:2,GENERALIZEDTIME:20000229000000Z")})),
         "notYoungerThan=21 dateOfBirth=29.02.2000"},
        // Procuration: the walk stops at the first universal element.
        {"", R::getRestrictionProkura,
         generate("SEQUENCE:p", "[p]\ntype = EXPLICIT:2,PRINTABLESTRING:Vertreter\nstray = INTEGER:1\n"
                             "country = EXPLICIT:1,PRINTABLESTRING:AT\n"),
         "typeOfSubstitution=Vertreter"},
        // Subject directory attributes: types outside the registry dotted,
        // a SEQUENCE of strings joined, a type that is no OID unknown, other
        // value types not shown.
        {"", R::getRestrictionIdentity,
         generate("SEQUENCE:attributes",
               "[attributes]\na1 = SEQUENCE:a1\na2 = SEQUENCE:a2\na3 = SEQUENCE:a3\na4 = SEQUENCE:a4\n"
               "[a1]\nt = OID:1.3.6.1.4.1.99.30\nv = SET:a1v\n[a1v]\nv = PRINTABLESTRING:DE\n"
               "[a2]\nt = OID:2.5.4.16\nv = SET:a2v\n[a2v]\nv = SEQUENCE:lines\n"
               "[lines]\nl1 = UTF8String:Hauptstr. 1\nl2 = UTF8String:10115 Berlin\n"
               "[a3]\nt = INTEGER:5\nv = SET:a3v\n[a3v]\nv = UTF8String:x\n"
               "[a4]\nt = OID:1.3.6.1.4.1.99.31\nv = SET:a4v\n[a4v]\nv = INTEGER:4\n"),
         "1.3.6.1.4.1.99.30=DE, postalAddress=Hauptstr. 1,10115 Berlin, unknownOID=x, 1.3.6.1.4.1.99.31="},
        // Admission of a notary by the Kammer with a naming authority.
        {"", R::getRestrictionAdmission,
         admissionAttribute("naming = EXPLICIT:1,SEQUENCE:fullnaming\n", "",
                   "[fullnaming]\nid = OID:1.2.276.0.76.3.1.1\nurl = IA5STRING:http://www.bnotk.de\n"
                   "text = UTF8String:Bundesnotarkammer\n"),
         "admissionAuthority={countryName=DE, organizationName=Kammer}namingAuthority={1.2.276.0.76.3.1.1, "
         "http://www.bnotk.de, Bundesnotarkammer}, professionInfos=professionItems={Notar} "},
        // Items (UTF8Strings only), OIDs and registration number.
        {"", R::getRestrictionAdmission,
         generate("SEQUENCE:adm",
               "[adm]\ncontents = SEQUENCE:contents\n[contents]\na = SEQUENCE:admissions\n"
               "[admissions]\ninfos = SEQUENCE:infos\n[infos]\ni = SEQUENCE:info\n"
               "[info]\nnaming = EXPLICIT:0,SEQUENCE:naming\nitems = SEQUENCE:items\noids = SEQUENCE:oids\n"
               "number = PRINTABLESTRING:DE-123\n"
               "[items]\ni1 = UTF8String:Notar\nskipped = PRINTABLESTRING:Notary\ni2 = UTF8String:Notarin\n"
               "[oids]\no1 = OID:1.2.276.0.76.4.1\no2 = OID:1.2.276.0.76.4.2\n" +
                   kNamingAuthorityId),
         "professionInfos=professionItems={Notar, Notarin} , professionOIDs={1.2.276.0.76.4.1, 1.2.276.0.76.4.2} , "
         "registrationNumber=DE-123"},
    };
    for (const auto& c : cases) EXPECT_EQ(render(c.renderer, c.element), c.expected) << c.what << c.expected;
}
