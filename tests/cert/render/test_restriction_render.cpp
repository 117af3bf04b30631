// CRestrictionSSL on the German Common PKI attribute values, made by
// OpenSSL's ASN1_generate_nconf as the values SET of an attribute (or its
// first value) and checked to be DER that OpenSSL parses. The common shape
// of each renderer is in the corpus of RenderCorpus.h (checked in
// test_render_robustness.cpp); here the cases beside it.

#include <gtest/gtest.h>

#include <string>

#include "ExtensionSSL.h"
#include "RestrictionSSL.h"
#include "tests/cert/render/RenderTestUtil.h"

using namespace kivo::test::render;

namespace {

// `root` generated with `config`, checked to parse.
Bytes value(const std::string& root, const std::string& config = "") {
    Bytes bytes = generate(root, config);
    EXPECT_TRUE(opensslParses(bytes)) << hexOf(bytes);
    return bytes;
}

// A values SET around one value.
Bytes valuesSet(const Bytes& first) { return tlv(0x31, first); }

const std::string kMoney = "[money]\ncurrency = PRINTABLESTRING:EUR\namount = INTEGER:5000\nexponent = INTEGER:0\n";

// AdmissionSyntax of a notary admitted by the Kammer, with `admissionsExtra`
// at the start of the Admissions and `infoExtra` at the end of the
// ProfessionInfo.
Bytes admission(const std::string& admissionsExtra, const std::string& infoExtra,
                const std::string& moreSections = "") {
    return value("SET:values", "[values]\nv = SEQUENCE:adm\n[adm]\nauthority = EXPLICIT:4,SEQUENCE:name\n"
                               "contents = SEQUENCE:contents\n[contents]\na = SEQUENCE:admissions\n[admissions]\n" +
                                   admissionsExtra + "infos = SEQUENCE:infos\n[infos]\ni = SEQUENCE:info\n"
                                   "[info]\nitems = SEQUENCE:items\n" + infoExtra +
                                   "[items]\nitem = UTF8String:Notar\n" + kKammerName + moreSections);
}

const std::string kNamingAuthorityId = "[naming]\nid = OID:1.2.276.0.76.3.1.1\n";

}  // namespace

using R = CRestrictionSSL;

TEST(RestrictionRender, AttributeValues) {
    const auto money = [](const std::string& fields) { return value("SEQUENCE:m", "[m]\n" + fields); };
    const auto majority = [](const std::string& field) { return value("SET:v", "[v]\nm = " + field + "\n"); };
    const struct {
        Renderer renderer;
        Bytes value;
        std::string expected;
    } cases[] = {
        // Restriction: a UTF8String, inside the values SET or on its own;
        // other string types are a mismatch; octets copied as they are.
        {R::getRestriction, value("UTF8String:Nur fuer Testzwecke"), "Nur fuer Testzwecke"},
        {R::getRestriction, valuesSet(value("PRINTABLESTRING:Test")), ""},
        {R::getRestriction, valuesSet(value("INTEGER:3")), ""},
        {R::getRestriction, valuesSet(tlv(0x0C, std::string("Gr\xC3\xBC\xC3\x9F" "e"))), "Gr\xC3\xBC\xC3\x9F" "e"},
        // Additional information only inside its SET.
        {R::getRestrictionAdditional, value("UTF8String:Zusatz"), ""},
        // Monetary limit: amount times ten to the exponent, two decimals;
        // a missing amount counts as zero; the currency must come first.
        {R::getRestrictionMonetary, money("c = PRINTABLESTRING:USD\na = INTEGER:15\ne = INTEGER:2\n"), "USD 1500.00"},
        {R::getRestrictionMonetary, money("c = PRINTABLESTRING:EUR\ne = INTEGER:3\n"), "EUR 0.00"},
        {R::getRestrictionMonetary, money("a = INTEGER:5000\ne = INTEGER:0\n"), ""},
        {R::getRestrictionMonetary, money("c = PRINTABLESTRING:EUR\n"), ""},
        // Integers are read as unsigned from their last four octets:
        // 0x0100001388 counts as 00 00 13 88 = 5000.
        {R::getRestrictionMonetary, money("c = PRINTABLESTRING:EUR\na = INTEGER:0x0100001388\ne = INTEGER:0\n"),
         "EUR 5000.00"},
        {R::getRestrictionMonetary, money("c = PRINTABLESTRING:EUR\na = INTEGER:1\ne = INTEGER:0x0100000002\n"),
         "EUR 100.00"},
        // Declaration of majority: [0] age, [2] date of birth (GeneralizedTime
        // or UTCTime), [1] full age at country passed over; an implicitly
        // tagged value is a mismatch.
        {R::getRestrictionMajority, majority("EXPLICIT:0,INTEGER:18"), "notYoungerThan=18"},
        {R::getRestrictionMajority, majority("EXPLICIT:2,GENERALIZEDTIME:19700201000000Z"), " dateOfBirth=01.02.1970"},
        {R::getRestrictionMajority, majority("EXPLICIT:2,UTCTIME:491231000000Z"), " dateOfBirth=31.12.2049"},
        {R::getRestrictionMajority, majority("EXPLICIT:2,UTCTIME:500101000000Z"), " dateOfBirth=01.01.1950"},
        {R::getRestrictionMajority, value("SET:v", "[v]\nm = EXPLICIT:1,SEQUENCE:country\n[country]\nc = PRINTABLESTRING:DE\n"),
         ""},
        {R::getRestrictionMajority,
         tlv(0x31, cat({value("EXPLICIT:1,SEQUENCE:c", "[c]\nc = PRINTABLESTRING:DE\n"), value("EXPLICIT:0,INTEGER:21"),
                        value("EXPLICIT:2,GENERALIZEDTIME:20000229000000Z")})),
         "notYoungerThan=21 dateOfBirth=29.02.2000"},
        {R::getRestrictionMajority, majority("IMPLICIT:0,INTEGER:18"), ""},
        // Procuration: the walk stops at the first universal element; a
        // certRef in signingFor shows nothing.
        {R::getRestrictionProkura,
         value("SEQUENCE:p", "[p]\ntype = EXPLICIT:2,PRINTABLESTRING:Vertreter\nstray = INTEGER:1\n"
                             "country = EXPLICIT:1,PRINTABLESTRING:AT\n"),
         "typeOfSubstitution=Vertreter"},
        {R::getRestrictionProkura,
         value("SEQUENCE:p", "[p]\ncountry = EXPLICIT:1,PRINTABLESTRING:DE\nfor = EXPLICIT:3,SEQUENCE:ref\n"
                             "[ref]\nserial = INTEGER:7\n"),
         "country=DE"},
        // Subject directory attributes: types outside the registry dotted,
        // a SEQUENCE of strings joined, a type that is no OID unknown, other
        // value types not shown.
        {R::getRestrictionIdentity,
         value("SEQUENCE:attributes",
               "[attributes]\na1 = SEQUENCE:a1\na2 = SEQUENCE:a2\na3 = SEQUENCE:a3\na4 = SEQUENCE:a4\n"
               "[a1]\nt = OID:1.3.6.1.4.1.99.30\nv = SET:a1v\n[a1v]\nv = PRINTABLESTRING:DE\n"
               "[a2]\nt = OID:2.5.4.16\nv = SET:a2v\n[a2v]\nv = SEQUENCE:lines\n"
               "[lines]\nl1 = UTF8String:Hauptstr. 1\nl2 = UTF8String:10115 Berlin\n"
               "[a3]\nt = INTEGER:5\nv = SET:a3v\n[a3v]\nv = UTF8String:x\n"
               "[a4]\nt = OID:1.3.6.1.4.1.99.31\nv = SET:a4v\n[a4v]\nv = INTEGER:4\n"),
         "1.3.6.1.4.1.99.30=DE, postalAddress=Hauptstr. 1,10115 Berlin, unknownOID=x, 1.3.6.1.4.1.99.31="},
        // Admission of a notary by the Kammer.
        {R::getRestrictionAdmission,
         admission("naming = EXPLICIT:1,SEQUENCE:naming\n", "number = PRINTABLESTRING:4711\n", kNamingAuthorityId),
         "admissionAuthority={countryName=DE, organizationName=Kammer}namingAuthority={1.2.276.0.76.3.1.1}, "
         "professionInfos=professionItems={Notar} , registrationNumber=4711"},
        {R::getRestrictionAdmission, admission("", ""),
         "admissionAuthority={countryName=DE, organizationName=Kammer}professionInfos=professionItems={Notar} "},
        // An own authority counts as preceding text.
        {R::getRestrictionAdmission, admission("own = EXPLICIT:0,EXPLICIT:4,SEQUENCE:name\n", ""),
         "admissionAuthority={countryName=DE, organizationName=Kammer}, professionInfos=professionItems={Notar} "},
        {R::getRestrictionAdmission,
         admission("naming = EXPLICIT:1,SEQUENCE:fullnaming\n", "",
                   "[fullnaming]\nid = OID:1.2.276.0.76.3.1.1\nurl = IA5STRING:http://www.bnotk.de\n"
                   "text = UTF8String:Bundesnotarkammer\n"),
         "admissionAuthority={countryName=DE, organizationName=Kammer}namingAuthority={1.2.276.0.76.3.1.1, "
         "http://www.bnotk.de, Bundesnotarkammer}, professionInfos=professionItems={Notar} "},
        {R::getRestrictionAdmission,
         admission("naming = EXPLICIT:1,SEQUENCE:textnaming\n", "", "[textnaming]\ntext = UTF8String:Kammer\n"),
         "admissionAuthority={countryName=DE, organizationName=Kammer}namingAuthority={Kammer}, "
         "professionInfos=professionItems={Notar} "},
        // Items (UTF8Strings only), OIDs and registration number.
        {R::getRestrictionAdmission,
         value("SEQUENCE:adm",
               "[adm]\ncontents = SEQUENCE:contents\n[contents]\na = SEQUENCE:admissions\n"
               "[admissions]\ninfos = SEQUENCE:infos\n[infos]\ni = SEQUENCE:info\n"
               "[info]\nnaming = EXPLICIT:0,SEQUENCE:naming\nitems = SEQUENCE:items\noids = SEQUENCE:oids\n"
               "number = PRINTABLESTRING:DE-123\n"
               "[items]\ni1 = UTF8String:Notar\nskipped = PRINTABLESTRING:Notary\ni2 = UTF8String:Notarin\n"
               "[oids]\no1 = OID:1.2.276.0.76.4.1\no2 = OID:1.2.276.0.76.4.2\n" +
                   kNamingAuthorityId),
         "professionInfos=professionItems={Notar, Notarin} , professionOIDs={1.2.276.0.76.4.1, 1.2.276.0.76.4.2} , "
         "registrationNumber=DE-123"},
        // No professionInfos: the text ends after the authority.
        {R::getRestrictionAdmission,
         value("SEQUENCE:adm", "[adm]\nauthority = EXPLICIT:4,SEQUENCE:name\ncontents = SEQUENCE:contents\n"
                               "[contents]\na = SEQUENCE:admissions\n[admissions]\nstray = INTEGER:1\n" +
                                   kKammerName),
         "admissionAuthority={countryName=DE, organizationName=Kammer}"},
    };
    for (const auto& c : cases) EXPECT_EQ(render(c.renderer, c.value), c.expected) << hexOf(c.value);
}

TEST(RestrictionRender, MonetaryValueAgreesWithTheQcLimitStatement) {
    const Bytes money = value("SEQUENCE:money", kMoney);
    EXPECT_EQ(render(R::getRestrictionMonetary, valuesSet(money)), "EUR 5000.00");
    // The same MonetaryValue as statementInfo of a QcEuLimitValue.
    const Bytes statements = tlv(0x30, tlv(0x30, cat({value("OID:0.4.0.1862.1.2"), money})));
    EXPECT_EQ(render([](unsigned char* e, unsigned long l) { return CExtensionSSL::getQCStatements(e, l, true); },
                     extnValue(statements)),
              "0.4.0.1862.1.2 - QcEuLimitValue [5000 EUR]");
    // An exponent of -1 is the octet FF, read as 255: a number of some 255
    // digits, not 0.10.
    const std::string text =
        render(R::getRestrictionMonetary, value("SEQUENCE:m", "[m]\nc = PRINTABLESTRING:EUR\na = INTEGER:1\ne = INTEGER:-1\n"));
    EXPECT_GE(text.size(), 4u + 255u + 3u) << text;
    EXPECT_EQ(text.substr(text.size() - 3), ".00");
}
