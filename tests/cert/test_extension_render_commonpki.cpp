// CExtensionSSL on the ETSI and Common PKI extensions: QC statements,
// admission, restriction and ICCSN. The values are made by OpenSSL's
// ASN1_generate_nconf, put into certificates made by OpenSSL and located
// there again.

#include <gtest/gtest.h>

#include <string>

#include "ExtensionSSL.h"
#include "RestrictionSSL.h"
#include "RenderTestUtil.h"

using namespace kivo::test::render;

namespace {

const char* const kQcStatements = "1.3.6.1.5.5.7.1.3";
const char* const kAdmission = "1.3.36.8.3.3";
const char* const kRestriction = "1.3.36.8.3.8";
const char* const kAdditionalInformation = "1.3.36.8.3.15";
const char* const kIccsn = "1.3.36.8.3.6";

// The elements of extension `oid` with `value` as extnValue content, from
// a certificate made by OpenSSL; `critical` adds the flag.
Bytes inCertificate(const char* oid, const Bytes& value, bool critical = false) {
    EXPECT_TRUE(opensslParses(value));
    const std::string setting = std::string(critical ? "critical," : "") + "DER:" + hexOf(value);
    const Bytes cert = certificateWith({{oid, setting}});
    EXPECT_EQ(opensslExtensionValue(cert, oid), value);
    return extensionElement(cert, oid);
}

// Generator sections of three statements of a qualified certificate:
// compliance, a limit of 5000 EUR, secure signature creation device.
const std::string kStatementSections =
    "[compliance]\n"
    "id = OID:0.4.0.1862.1.1\n"
    "[limit]\n"
    "id = OID:0.4.0.1862.1.2\n"
    "value = SEQUENCE:money\n"
    "[money]\n"
    "currency = PRINTABLESTRING:EUR\n"
    "amount = INTEGER:5000\n"
    "exponent = INTEGER:0\n"
    "[sscd]\n"
    "id = OID:0.4.0.1862.1.4\n";

Bytes exampleStatements() {
    return generate("SEQUENCE:qcs",
                    "[qcs]\n"
                    "s1 = SEQUENCE:compliance\n"
                    "s2 = SEQUENCE:limit\n"
                    "s3 = SEQUENCE:sscd\n" +
                        kStatementSections);
}

std::string qcText(const Bytes& element, bool withNames) {
    ExactBuffer input(element);
    return CExtensionSSL::getQCStatements(input.data(), input.size(), withNames);
}

// AdmissionSyntax with the Kammer as admissionAuthority and "Notar" as the
// first profession item; `admissionsExtra` goes into Admissions ahead of
// professionInfos.
Bytes admissionSyntax(const std::string& admissionsExtra = "", bool withAuthority = true) {
    return generate("SEQUENCE:adm",
                    "[adm]\n" + std::string(withAuthority ? "authority = EXPLICIT:4,SEQUENCE:name\n" : "") +
                        "contents = SEQUENCE:contents\n"
                        "[contents]\n"
                        "a = SEQUENCE:admissions\n"
                        "[admissions]\n" +
                        admissionsExtra +
                        "infos = SEQUENCE:infos\n"
                        "[infos]\n"
                        "i = SEQUENCE:info\n"
                        "[info]\n"
                        "items = SEQUENCE:items\n"
                        "[items]\n"
                        "item = UTF8String:Notar\n"
                        "other = UTF8String:Anwalt\n"
                        "[naming]\n"
                        "id = OID:1.2.276.0.76.3.1.1\n" +
                        kKammerName);
}

}  // namespace

// ---- QC statements -----------------------------------------------------------

TEST(ExtensionRenderQcStatements, ExampleWithNames) {
    const Bytes element = inCertificate(kQcStatements, exampleStatements());
    EXPECT_EQ(qcText(element, true),
              "0.4.0.1862.1.1 - id-etsi-qcs-QcCompliance, 0.4.0.1862.1.2 - QcEuLimitValue "
              "[5000 EUR], 0.4.0.1862.1.4 - id-etsi-qcs-QcSSCD");
}

TEST(ExtensionRenderQcStatements, ExampleWithoutNames) {
    const Bytes element = inCertificate(kQcStatements, exampleStatements());
    EXPECT_EQ(qcText(element, false), "0.4.0.1862.1.1, 0.4.0.1862.1.2 [5000 EUR], 0.4.0.1862.1.4");
}

TEST(ExtensionRenderQcStatements, CriticalFlagIsSkipped) {
    const Bytes element = inCertificate(kQcStatements, exampleStatements(), true);
    ASSERT_EQ(element.at(0), 0x01);
    EXPECT_EQ(qcText(element, false), "0.4.0.1862.1.1, 0.4.0.1862.1.2 [5000 EUR], 0.4.0.1862.1.4");
}

TEST(ExtensionRenderQcStatements, LimitValueIsAmountTimesTenToTheExponent) {
    const Bytes value = generate("SEQUENCE:qcs",
                                 "[qcs]\n"
                                 "s = SEQUENCE:limit\n"
                                 "[limit]\n"
                                 "id = OID:0.4.0.1862.1.2\n"
                                 "value = SEQUENCE:money\n"
                                 "[money]\n"
                                 "currency = PRINTABLESTRING:CHF\n"
                                 "amount = INTEGER:25\n"
                                 "exponent = INTEGER:3\n");
    EXPECT_EQ(qcText(inCertificate(kQcStatements, value), false), "0.4.0.1862.1.2 [25000 CHF]");
}

TEST(ExtensionRenderQcStatements, LimitValueWithNumericCurrencyEndsTheText) {
    // The currency as an ISO 4217 number is not the PrintableString expected.
    const Bytes value = generate("SEQUENCE:qcs",
                                 "[qcs]\n"
                                 "s = SEQUENCE:limit\n"
                                 "t = SEQUENCE:sscd\n"
                                 "[limit]\n"
                                 "id = OID:0.4.0.1862.1.2\n"
                                 "value = SEQUENCE:money\n"
                                 "[money]\n"
                                 "currency = INTEGER:978\n"
                                 "amount = INTEGER:100\n"
                                 "exponent = INTEGER:0\n"
                                 "[sscd]\n"
                                 "id = OID:0.4.0.1862.1.4\n");
    EXPECT_EQ(qcText(inCertificate(kQcStatements, value), false), "0.4.0.1862.1.2");
}

TEST(ExtensionRenderQcStatements, PdsLocationsWithLanguages) {
    const Bytes value = generate("SEQUENCE:qcs",
                                 "[qcs]\n"
                                 "s = SEQUENCE:pds\n"
                                 "[pds]\n"
                                 "id = OID:0.4.0.1862.1.5\n"
                                 "locations = SEQUENCE:locations\n"
                                 "[locations]\n"
                                 "en = SEQUENCE:en\n"
                                 "de = SEQUENCE:de\n"
                                 "[en]\n"
                                 "url = IA5STRING:https://pds.example/en.pdf\n"
                                 "language = PRINTABLESTRING:en\n"
                                 "[de]\n"
                                 "url = IA5STRING:https://pds.example/de.pdf\n");
    const Bytes element = inCertificate(kQcStatements, value);
    EXPECT_EQ(qcText(element, true),
              "0.4.0.1862.1.5 - id-etsi-qcs-QcPDS [URI={https://pds.example/en.pdf, en}, "
              "URI={https://pds.example/de.pdf}]");
}

TEST(ExtensionRenderQcStatements, QcTypesRenderLikeFurtherStatements) {
    const Bytes value = generate("SEQUENCE:qcs",
                                 "[qcs]\n"
                                 "s1 = SEQUENCE:compliance\n"
                                 "s2 = SEQUENCE:type\n"
                                 "[type]\n"
                                 "id = OID:0.4.0.1862.1.6\n"
                                 "types = SEQUENCE:types\n"
                                 "[types]\n"
                                 "t1 = OID:0.4.0.1862.1.6.1\n"
                                 "t2 = OID:1.3.6.1.4.1.99.6\n" +
                                     kStatementSections);
    const Bytes element = inCertificate(kQcStatements, value);
    EXPECT_EQ(qcText(element, true),
              "0.4.0.1862.1.1 - id-etsi-qcs-QcCompliance, 0.4.0.1862.1.6 - id-etsi-qcs-QcType, "
              "0.4.0.1862.1.6.1 - id-etsi-qct-esign, 1.3.6.1.4.1.99.6");
    EXPECT_EQ(qcText(element, false), "0.4.0.1862.1.1, 0.4.0.1862.1.6, 0.4.0.1862.1.6.1, 1.3.6.1.4.1.99.6");
}

TEST(ExtensionRenderQcStatements, RetentionPeriodEndsTheText) {
    const Bytes value = generate("SEQUENCE:qcs",
                                 "[qcs]\n"
                                 "s1 = SEQUENCE:compliance\n"
                                 "s2 = SEQUENCE:retention\n"
                                 "s3 = SEQUENCE:sscd\n"
                                 "[retention]\n"
                                 "id = OID:0.4.0.1862.1.3\n"
                                 "years = INTEGER:10\n" +
                                     kStatementSections);
    EXPECT_EQ(qcText(inCertificate(kQcStatements, value), true),
              "0.4.0.1862.1.1 - id-etsi-qcs-QcCompliance, 0.4.0.1862.1.3 - id-etsi-qcs-QcRetentionPeriod");
}

TEST(ExtensionRenderQcStatements, SequenceOfSequencesWithOidIsNotShown) {
    // A statementInfo of SEQUENCEs that begin with an OID: nothing of it is
    // shown, and the next statement follows.
    const Bytes value = generate("SEQUENCE:qcs",
                                 "[qcs]\n"
                                 "s1 = SEQUENCE:semantics\n"
                                 "s2 = SEQUENCE:sscd\n"
                                 "[semantics]\n"
                                 "id = OID:1.3.6.1.4.1.99.11\n"
                                 "info = SEQUENCE:outer\n"
                                 "[outer]\n"
                                 "inner = SEQUENCE:inner\n"
                                 "[inner]\n"
                                 "id = OID:0.4.0.194121.1.1\n" +
                                     kStatementSections);
    EXPECT_EQ(qcText(inCertificate(kQcStatements, value), true),
              "1.3.6.1.4.1.99.11, 0.4.0.1862.1.4 - id-etsi-qcs-QcSSCD");
}

TEST(ExtensionRenderQcStatements, StatementWithoutOidEndsTheText) {
    const Bytes value = generate("SEQUENCE:qcs",
                                 "[qcs]\n"
                                 "s1 = SEQUENCE:compliance\n"
                                 "s2 = SEQUENCE:broken\n"
                                 "s3 = SEQUENCE:sscd\n"
                                 "[broken]\n"
                                 "x = INTEGER:1\n" +
                                     kStatementSections);
    EXPECT_EQ(qcText(inCertificate(kQcStatements, value), false), "0.4.0.1862.1.1");
}

// ---- admission --------------------------------------------------------------

TEST(ExtensionRenderAdmission, AuthorityAttributesThenFirstProfessionItem) {
    EXPECT_EQ(render(CExtensionSSL::getIdIsismmtAtAsmission, inCertificate(kAdmission, admissionSyntax())),
              "[countryName=DE], [organizationName=Kammer], Notar");
}

TEST(ExtensionRenderAdmission, CriticalFlagIsSkipped) {
    EXPECT_EQ(render(CExtensionSSL::getIdIsismmtAtAsmission,
                     inCertificate(kAdmission, admissionSyntax(), true)),
              "[countryName=DE], [organizationName=Kammer], Notar");
}

TEST(ExtensionRenderAdmission, WithoutAuthorityOnlyTheItem) {
    EXPECT_EQ(render(CExtensionSSL::getIdIsismmtAtAsmission,
                     inCertificate(kAdmission, admissionSyntax("", false))),
              "Notar");
}

TEST(ExtensionRenderAdmission, NamingAuthorityInAdmissionsIsAMismatch) {
    // The walk expects professionInfos right at the start of Admissions.
    EXPECT_EQ(render(CExtensionSSL::getIdIsismmtAtAsmission,
                     inCertificate(kAdmission, admissionSyntax("naming = EXPLICIT:1,SEQUENCE:naming\n"))),
              "[countryName=DE], [organizationName=Kammer]");
}

TEST(ExtensionRenderAdmission, AttributeTypesOutsideTheRegistryShowDotted) {
    const Bytes value = generate("SEQUENCE:adm",
                                 "[adm]\n"
                                 "authority = EXPLICIT:4,SEQUENCE:dn\n"
                                 "contents = SEQUENCE:contents\n"
                                 "[dn]\n"
                                 "r = SET:r\n"
                                 "[r]\n"
                                 "a = SEQUENCE:a\n"
                                 "[a]\n"
                                 "t = OID:1.3.6.1.4.1.99.20\n"
                                 "v = IA5STRING:not shown\n"
                                 "[contents]\n"
                                 "a = SEQUENCE:admissions\n"
                                 "[admissions]\n"
                                 "infos = SEQUENCE:infos\n"
                                 "[infos]\n"
                                 "i = SEQUENCE:info\n"
                                 "[info]\n"
                                 "items = SEQUENCE:items\n"
                                 "[items]\n"
                                 "item = PRINTABLESTRING:Steuerberater\n");
    // An IA5String value is not shown; the brackets are.
    EXPECT_EQ(render(CExtensionSSL::getIdIsismmtAtAsmission, inCertificate(kAdmission, value)),
              "[1.3.6.1.4.1.99.20=], Steuerberater");
}

// ---- restriction, ICCSN ------------------------------------------------------

TEST(ExtensionRenderCommonPki, RestrictionIsTheAttributeRenderersText) {
    const Bytes value = generate("UTF8String:Nur fuer Testzwecke");
    const Bytes element = inCertificate(kRestriction, value);
    EXPECT_EQ(render(CExtensionSSL::getRestriction, element), "Nur fuer Testzwecke");
    EXPECT_EQ(render(CExtensionSSL::getRestriction, inCertificate(kAdditionalInformation, value)),
              "Nur fuer Testzwecke");
    // Its own buffer: a later call of the attribute renderer leaves it alone.
    ExactBuffer input(element);
    const char* text = CExtensionSSL::getRestriction(input.data(), input.size());
    const Bytes other = generate("UTF8String:anders");
    ExactBuffer otherInput(other);
    EXPECT_STREQ(CRestrictionSSL::getRestriction(otherInput.data(), otherInput.size()), "anders");
    EXPECT_STREQ(text, "Nur fuer Testzwecke");
}

TEST(ExtensionRenderCommonPki, CriticalRestrictionRendersEmpty) {
    EXPECT_EQ(render(CExtensionSSL::getRestriction,
                     inCertificate(kRestriction, generate("UTF8String:Nur fuer Tests"), true)),
              "");
}

TEST(ExtensionRenderCommonPki, IccsnInHex) {
    const Bytes value = generate("FORMAT:HEX,OCTETSTRING:8949011234567890ABCD");
    EXPECT_EQ(render(CExtensionSSL::getIdIsismmtAtIccsn, inCertificate(kIccsn, value)),
              "8949011234567890ABCD");
}

TEST(ExtensionRenderCommonPki, IccsnThatIsNoOctetStringRendersEmpty) {
    EXPECT_EQ(render(CExtensionSSL::getIdIsismmtAtIccsn,
                     inCertificate(kIccsn, generate("PRINTABLESTRING:8949011234"))),
              "");
}
