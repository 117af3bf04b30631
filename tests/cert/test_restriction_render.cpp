// CRestrictionSSL on the German Common PKI attribute values, made by
// OpenSSL's ASN1_generate_nconf as the values SET of an attribute (or its
// first value) and checked to be DER that OpenSSL parses.

#include <gtest/gtest.h>

#include <string>

#include "ExtensionSSL.h"
#include "RestrictionSSL.h"
#include "RenderTestUtil.h"

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

const std::string kMoney =
    "[money]\n"
    "currency = PRINTABLESTRING:EUR\n"
    "amount = INTEGER:5000\n"
    "exponent = INTEGER:0\n";

// AdmissionSyntax of a notary admitted by the Kammer, with `admissionsExtra`
// at the start of the Admissions and `infoExtra` at the end of the
// ProfessionInfo.
Bytes admission(const std::string& admissionsExtra, const std::string& infoExtra,
                const std::string& moreSections = "") {
    return value("SET:values",
                 "[values]\n"
                 "v = SEQUENCE:adm\n"
                 "[adm]\n"
                 "authority = EXPLICIT:4,SEQUENCE:name\n"
                 "contents = SEQUENCE:contents\n"
                 "[contents]\n"
                 "a = SEQUENCE:admissions\n"
                 "[admissions]\n" +
                     admissionsExtra +
                     "infos = SEQUENCE:infos\n"
                     "[infos]\n"
                     "i = SEQUENCE:info\n"
                     "[info]\n"
                     "items = SEQUENCE:items\n" +
                     infoExtra +
                     "[items]\n"
                     "item = UTF8String:Notar\n" +
                     kKammerName + moreSections);
}

const std::string kNamingAuthorityId =
    "[naming]\n"
    "id = OID:1.2.276.0.76.3.1.1\n";

}  // namespace

// ---- restriction, additional information -------------------------------------

TEST(RestrictionRenderText, RestrictionFromTheSetOrDirect) {
    const Bytes text = value("UTF8String:Nur fuer Testzwecke");
    EXPECT_EQ(render(CRestrictionSSL::getRestriction, valuesSet(text)), "Nur fuer Testzwecke");
    EXPECT_EQ(render(CRestrictionSSL::getRestriction, text), "Nur fuer Testzwecke");
}

TEST(RestrictionRenderText, RestrictionWantsAUtf8String) {
    EXPECT_EQ(render(CRestrictionSSL::getRestriction, valuesSet(value("PRINTABLESTRING:Test"))), "");
    EXPECT_EQ(render(CRestrictionSSL::getRestriction, valuesSet(value("INTEGER:3"))), "");
}

TEST(RestrictionRenderText, AdditionalInformationOnlyInsideItsSet) {
    const Bytes text = value("UTF8String:Zusatz");
    EXPECT_EQ(render(CRestrictionSSL::getRestrictionAdditional, valuesSet(text)), "Zusatz");
    EXPECT_EQ(render(CRestrictionSSL::getRestrictionAdditional, text), "");
}

TEST(RestrictionRenderText, NonAsciiUtf8IsCopiedAsItsOctets) {
    const Bytes text = tlv(0x0C, std::string("Gr\xC3\xBC\xC3\x9F" "e"));
    EXPECT_EQ(render(CRestrictionSSL::getRestriction, valuesSet(text)), "Gr\xC3\xBC\xC3\x9F" "e");
}

// ---- monetary limit ------------------------------------------------------------

TEST(RestrictionRenderMonetary, TwoDecimals) {
    EXPECT_EQ(render(CRestrictionSSL::getRestrictionMonetary, value("SET:values", "[values]\nv = SEQUENCE:money\n" + kMoney)),
              "EUR 5000.00");
}

TEST(RestrictionRenderMonetary, SameValueAsTheQcLimitStatement) {
    const Bytes money = value("SEQUENCE:money", kMoney);
    EXPECT_EQ(render(CRestrictionSSL::getRestrictionMonetary, valuesSet(money)), "EUR 5000.00");
    // The same MonetaryValue as statementInfo of a QcEuLimitValue.
    const Bytes statements = tlv(0x30, tlv(0x30, cat({value("OID:0.4.0.1862.1.2"), money})));
    EXPECT_EQ(render([](unsigned char* e, unsigned long l) { return CExtensionSSL::getQCStatements(e, l, true); },
                     extnValue(statements)),
              "0.4.0.1862.1.2 - QcEuLimitValue [5000 EUR]");
}

TEST(RestrictionRenderMonetary, ExponentScalesTheAmount) {
    EXPECT_EQ(render(CRestrictionSSL::getRestrictionMonetary,
                     value("SEQUENCE:m", "[m]\nc = PRINTABLESTRING:USD\na = INTEGER:15\ne = INTEGER:2\n")),
              "USD 1500.00");
}

TEST(RestrictionRenderMonetary, MissingAmountCountsAsZero) {
    EXPECT_EQ(render(CRestrictionSSL::getRestrictionMonetary,
                     value("SEQUENCE:m", "[m]\nc = PRINTABLESTRING:EUR\ne = INTEGER:3\n")),
              "EUR 0.00");
}

TEST(RestrictionRenderMonetary, IntegersAreReadAsUnsignedFromTheirLastFourOctets) {
    // 0x0100001388: only 00 00 13 88 = 5000 counts.
    EXPECT_EQ(render(CRestrictionSSL::getRestrictionMonetary,
                     value("SEQUENCE:m", "[m]\nc = PRINTABLESTRING:EUR\na = INTEGER:0x0100001388\ne = INTEGER:0\n")),
              "EUR 5000.00");
    EXPECT_EQ(render(CRestrictionSSL::getRestrictionMonetary,
                     value("SEQUENCE:m", "[m]\nc = PRINTABLESTRING:EUR\na = INTEGER:1\ne = INTEGER:0x0100000002\n")),
              "EUR 100.00");
    // An exponent of -1 is the octet FF, read as 255: a number of some 255
    // digits, not 0.10.
    const std::string text = render(CRestrictionSSL::getRestrictionMonetary,
                                    value("SEQUENCE:m", "[m]\nc = PRINTABLESTRING:EUR\na = INTEGER:1\ne = INTEGER:-1\n"));
    EXPECT_GE(text.size(), 4u + 255u + 3u) << text;
    EXPECT_EQ(text.substr(text.size() - 3), ".00");
}

TEST(RestrictionRenderMonetary, CurrencyMustComeFirst) {
    EXPECT_EQ(render(CRestrictionSSL::getRestrictionMonetary,
                     value("SEQUENCE:m", "[m]\na = INTEGER:5000\ne = INTEGER:0\n")),
              "");
    EXPECT_EQ(render(CRestrictionSSL::getRestrictionMonetary,
                     value("SEQUENCE:m", "[m]\nc = PRINTABLESTRING:EUR\n")),
              "");
}

// ---- declaration of majority ---------------------------------------------------

TEST(RestrictionRenderMajority, NotYoungerThan) {
    EXPECT_EQ(render(CRestrictionSSL::getRestrictionMajority,
                     value("SET:v", "[v]\nm = EXPLICIT:0,INTEGER:18\n")),
              "notYoungerThan=18");
}

TEST(RestrictionRenderMajority, DateOfBirthFromGeneralizedAndUtcTime) {
    EXPECT_EQ(render(CRestrictionSSL::getRestrictionMajority,
                     value("SET:v", "[v]\nm = EXPLICIT:2,GENERALIZEDTIME:19700201000000Z\n")),
              " dateOfBirth=01.02.1970");
    EXPECT_EQ(render(CRestrictionSSL::getRestrictionMajority,
                     value("SET:v", "[v]\nm = EXPLICIT:2,UTCTIME:491231000000Z\n")),
              " dateOfBirth=31.12.2049");
    EXPECT_EQ(render(CRestrictionSSL::getRestrictionMajority,
                     value("SET:v", "[v]\nm = EXPLICIT:2,UTCTIME:500101000000Z\n")),
              " dateOfBirth=01.01.1950");
}

TEST(RestrictionRenderMajority, FullAgeAtCountryIsSkipped) {
    EXPECT_EQ(render(CRestrictionSSL::getRestrictionMajority,
                     value("SET:v", "[v]\nm = EXPLICIT:1,SEQUENCE:country\n[country]\nc = PRINTABLESTRING:DE\n")),
              "");
    // Several values: [1] passed over, [0] and [2] shown.
    const Bytes values = tlv(0x31, cat({value("EXPLICIT:1,SEQUENCE:c", "[c]\nc = PRINTABLESTRING:DE\n"),
                                        value("EXPLICIT:0,INTEGER:21"),
                                        value("EXPLICIT:2,GENERALIZEDTIME:20000229000000Z")}));
    EXPECT_EQ(render(CRestrictionSSL::getRestrictionMajority, values),
              "notYoungerThan=21 dateOfBirth=29.02.2000");
}

TEST(RestrictionRenderMajority, ImplicitlyTaggedValueIsAMismatch) {
    EXPECT_EQ(render(CRestrictionSSL::getRestrictionMajority, value("SET:v", "[v]\nm = IMPLICIT:0,INTEGER:18\n")),
              "");
}

// ---- procuration ------------------------------------------------------------

TEST(RestrictionRenderProcuration, CountrySubstitutionAndSigningFor) {
    EXPECT_EQ(render(CRestrictionSSL::getRestrictionProkura,
                     value("SET:v",
                           "[v]\n"
                           "p = SEQUENCE:procuration\n"
                           "[procuration]\n"
                           "country = EXPLICIT:1,PRINTABLESTRING:DE\n"
                           "type = EXPLICIT:2,UTF8String:Prokurist\n"
                           "for = EXPLICIT:3,EXPLICIT:4,SEQUENCE:name\n" +
                               kKammerName)),
              "country=DE, typeOfSubstitution=Prokurist, signingFor={countryName=DE, organizationName=Kammer}");
}

TEST(RestrictionRenderProcuration, WalkStopsAtTheFirstUniversalElement) {
    EXPECT_EQ(render(CRestrictionSSL::getRestrictionProkura,
                     value("SEQUENCE:procuration",
                           "[procuration]\n"
                           "type = EXPLICIT:2,PRINTABLESTRING:Vertreter\n"
                           "stray = INTEGER:1\n"
                           "country = EXPLICIT:1,PRINTABLESTRING:AT\n")),
              "typeOfSubstitution=Vertreter");
}

TEST(RestrictionRenderProcuration, CertRefInSigningForShowsNothing) {
    // signingFor as certRef (IssuerSerial) instead of a directoryName.
    EXPECT_EQ(render(CRestrictionSSL::getRestrictionProkura,
                     value("SEQUENCE:procuration",
                           "[procuration]\n"
                           "country = EXPLICIT:1,PRINTABLESTRING:DE\n"
                           "for = EXPLICIT:3,SEQUENCE:ref\n"
                           "[ref]\n"
                           "serial = INTEGER:7\n")),
              "country=DE");
}

// ---- subject directory attributes -----------------------------------------------

TEST(RestrictionRenderIdentity, DateAndPlaceOfBirth) {
    EXPECT_EQ(render(CRestrictionSSL::getRestrictionIdentity,
                     value("SET:v",
                           "[v]\n"
                           "a = SEQUENCE:attributes\n"
                           "[attributes]\n"
                           "dob = SEQUENCE:dob\n"
                           "pob = SEQUENCE:pob\n"
                           "[dob]\n"
                           "t = OID:1.3.6.1.5.5.7.9.1\n"
                           "v = SET:dobv\n"
                           "[dobv]\n"
                           "v = GENERALIZEDTIME:19700201120000Z\n"
                           "[pob]\n"
                           "t = OID:1.3.6.1.5.5.7.9.2\n"
                           "v = SET:pobv\n"
                           "[pobv]\n"
                           "v = UTF8String:Berlin\n")),
              "dateOfBirth=01.02.1970, placeOfBirth=Berlin");
}

TEST(RestrictionRenderIdentity, UnnamedTypesStringSequencesAndOtherValues) {
    EXPECT_EQ(render(CRestrictionSSL::getRestrictionIdentity,
                     value("SEQUENCE:attributes",
                           "[attributes]\n"
                           "a1 = SEQUENCE:a1\n"
                           "a2 = SEQUENCE:a2\n"
                           "a3 = SEQUENCE:a3\n"
                           "a4 = SEQUENCE:a4\n"
                           "[a1]\n"
                           "t = OID:1.3.6.1.4.1.99.30\n"
                           "v = SET:a1v\n"
                           "[a1v]\n"
                           "v = PRINTABLESTRING:DE\n"
                           "[a2]\n"
                           "t = OID:2.5.4.16\n"
                           "v = SET:a2v\n"
                           "[a2v]\n"
                           "v = SEQUENCE:lines\n"
                           "[lines]\n"
                           "l1 = UTF8String:Hauptstr. 1\n"
                           "l2 = UTF8String:10115 Berlin\n"
                           "[a3]\n"
                           "t = INTEGER:5\n"
                           "v = SET:a3v\n"
                           "[a3v]\n"
                           "v = UTF8String:x\n"
                           "[a4]\n"
                           "t = OID:1.3.6.1.4.1.99.31\n"
                           "v = SET:a4v\n"
                           "[a4v]\n"
                           "v = INTEGER:4\n")),
              "1.3.6.1.4.1.99.30=DE, postalAddress=Hauptstr. 1,10115 Berlin, unknownOID=x, "
              "1.3.6.1.4.1.99.31=");
}

// ---- admission ----------------------------------------------------------------

TEST(RestrictionRenderAdmission, NotaryWithNamingAuthorityAndRegistrationNumber) {
    EXPECT_EQ(render(CRestrictionSSL::getRestrictionAdmission,
                     admission("naming = EXPLICIT:1,SEQUENCE:naming\n",
                               "number = PRINTABLESTRING:4711\n", kNamingAuthorityId)),
              "admissionAuthority={countryName=DE, organizationName=Kammer}namingAuthority={1.2.276.0.76.3.1.1}, "
              "professionInfos=professionItems={Notar} , registrationNumber=4711");
}

TEST(RestrictionRenderAdmission, WithoutNamingAuthority) {
    EXPECT_EQ(render(CRestrictionSSL::getRestrictionAdmission, admission("", "")),
              "admissionAuthority={countryName=DE, organizationName=Kammer}professionInfos=professionItems={Notar} ");
}

TEST(RestrictionRenderAdmission, OwnAuthorityCountsAsPrecedingText) {
    EXPECT_EQ(render(CRestrictionSSL::getRestrictionAdmission,
                     admission("own = EXPLICIT:0,EXPLICIT:4,SEQUENCE:name\n", "")),
              "admissionAuthority={countryName=DE, organizationName=Kammer}, professionInfos=professionItems={Notar} ");
}

TEST(RestrictionRenderAdmission, NamingAuthorityWithAllParts) {
    EXPECT_EQ(render(CRestrictionSSL::getRestrictionAdmission,
                     admission("naming = EXPLICIT:1,SEQUENCE:fullnaming\n", "",
                               "[fullnaming]\n"
                               "id = OID:1.2.276.0.76.3.1.1\n"
                               "url = IA5STRING:http://www.bnotk.de\n"
                               "text = UTF8String:Bundesnotarkammer\n")),
              "admissionAuthority={countryName=DE, organizationName=Kammer}namingAuthority={1.2.276.0.76.3.1.1, "
              "http://www.bnotk.de, Bundesnotarkammer}, professionInfos=professionItems={Notar} ");
    EXPECT_EQ(render(CRestrictionSSL::getRestrictionAdmission,
                     admission("naming = EXPLICIT:1,SEQUENCE:textnaming\n", "",
                               "[textnaming]\n"
                               "text = UTF8String:Kammer\n")),
              "admissionAuthority={countryName=DE, organizationName=Kammer}namingAuthority={Kammer}, "
              "professionInfos=professionItems={Notar} ");
}

TEST(RestrictionRenderAdmission, ItemsOidsAndRegistrationNumber) {
    const Bytes values = value("SEQUENCE:adm",
                               "[adm]\n"
                               "contents = SEQUENCE:contents\n"
                               "[contents]\n"
                               "a = SEQUENCE:admissions\n"
                               "[admissions]\n"
                               "infos = SEQUENCE:infos\n"
                               "[infos]\n"
                               "i = SEQUENCE:info\n"
                               "[info]\n"
                               "naming = EXPLICIT:0,SEQUENCE:naming\n"
                               "items = SEQUENCE:items\n"
                               "oids = SEQUENCE:oids\n"
                               "number = PRINTABLESTRING:DE-123\n"
                               "[items]\n"
                               "i1 = UTF8String:Notar\n"
                               "skipped = PRINTABLESTRING:Notary\n"
                               "i2 = UTF8String:Notarin\n"
                               "[oids]\n"
                               "o1 = OID:1.2.276.0.76.4.1\n"
                               "o2 = OID:1.2.276.0.76.4.2\n" +
                                   kNamingAuthorityId);
    EXPECT_EQ(render(CRestrictionSSL::getRestrictionAdmission, values),
              "professionInfos=professionItems={Notar, Notarin} , professionOIDs={1.2.276.0.76.4.1, "
              "1.2.276.0.76.4.2} , registrationNumber=DE-123");
}

TEST(RestrictionRenderAdmission, NoProfessionInfosEndsAfterTheAuthority) {
    const Bytes values = value("SEQUENCE:adm",
                               "[adm]\n"
                               "authority = EXPLICIT:4,SEQUENCE:name\n"
                               "contents = SEQUENCE:contents\n"
                               "[contents]\n"
                               "a = SEQUENCE:admissions\n"
                               "[admissions]\n"
                               "stray = INTEGER:1\n" +
                                   kKammerName);
    EXPECT_EQ(render(CRestrictionSSL::getRestrictionAdmission, values),
              "admissionAuthority={countryName=DE, organizationName=Kammer}");
}
