// CExtensionSSL on the ETSI and Common PKI extensions: QC statements,
// admission, restriction and ICCSN. The values are made by OpenSSL's
// ASN1_generate_nconf, put into certificates made by OpenSSL and located
// there again. The common shape of each renderer is in the corpus of
// RenderCorpus.h (checked in test_render_robustness.cpp); here the cases
// beside it.

#include <gtest/gtest.h>

#include <string>

#include "ExtensionSSL.h"
#include "tests/cert/render/RenderTestUtil.h"

using namespace kivo::test::render;

namespace {

const char* const kQcStatements = "1.3.6.1.5.5.7.1.3";
const char* const kAdmission = "1.3.36.8.3.3";
const char* const kRestriction = "1.3.36.8.3.8";
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

// QCStatements of the statements named in `list` ("s1 = SEQUENCE:compliance\n"
// ...), with generator sections of the statements of a qualified
// certificate: compliance, a limit of 5000 EUR, secure signature creation
// device; `more` adds sections.
Bytes statements(const std::string& list, const std::string& more = "") {
    return generate("SEQUENCE:qcs", "[qcs]\n" + list +
                                        "[compliance]\nid = OID:0.4.0.1862.1.1\n"
                                        "[limit]\nid = OID:0.4.0.1862.1.2\nvalue = SEQUENCE:money\n"
                                        "[money]\ncurrency = PRINTABLESTRING:EUR\namount = INTEGER:5000\n"
                                        "exponent = INTEGER:0\n"
                                        "[sscd]\nid = OID:0.4.0.1862.1.4\n" +
                                        more);
}

// AdmissionSyntax with `authority` (generator sections of a Name called
// dn, or nothing) and "Notar" as the first profession item;
// `admissionsExtra` goes into Admissions ahead of professionInfos.
Bytes admissionSyntax(const std::string& authority, const std::string& admissionsExtra = "",
                      const std::string& item = "UTF8String:Notar") {
    return generate("SEQUENCE:adm",
                    "[adm]\n" + std::string(authority.empty() ? "" : "authority = EXPLICIT:4,SEQUENCE:dn\n") +
                        "contents = SEQUENCE:contents\n[contents]\na = SEQUENCE:admissions\n[admissions]\n" +
                        admissionsExtra +
                        "infos = SEQUENCE:infos\n[infos]\ni = SEQUENCE:info\n[info]\nitems = SEQUENCE:items\n"
                        "[items]\nitem = " + item + "\nother = UTF8String:Anwalt\n"
                        "[naming]\nid = OID:1.2.276.0.76.3.1.1\n" + authority);
}

std::string qcText(const Bytes& element, bool withNames) {
    ExactBuffer input(element);
    return CExtensionSSL::getQCStatements(input.data(), input.size(), withNames);
}

}  // namespace

TEST(ExtensionRenderQcStatements, StatementsWithAndWithoutNames) {
    const struct {
        const char* what;
        Bytes value;
        bool withNames;
        const char* expected;
    } cases[] = {
        {"compliance, limit, SSCD", statements("s1 = SEQUENCE:compliance\ns2 = SEQUENCE:limit\ns3 = SEQUENCE:sscd\n"),
         true,
         "0.4.0.1862.1.1 - id-etsi-qcs-QcCompliance, 0.4.0.1862.1.2 - QcEuLimitValue [5000 EUR], "
         "0.4.0.1862.1.4 - id-etsi-qcs-QcSSCD"},
        {"the limit is amount times ten to the exponent",
         generate("SEQUENCE:qcs", "[qcs]\ns = SEQUENCE:limit\n[limit]\nid = OID:0.4.0.1862.1.2\nvalue = SEQUENCE:money\n"
                                  "[money]\ncurrency = PRINTABLESTRING:CHF\namount = INTEGER:25\nexponent = INTEGER:3\n"),
         false, "0.4.0.1862.1.2 [25000 CHF]"},
        {"a numeric currency ends the text",
         generate("SEQUENCE:qcs", "[qcs]\ns = SEQUENCE:limit\nt = SEQUENCE:sscd\n"
                                  "[limit]\nid = OID:0.4.0.1862.1.2\nvalue = SEQUENCE:money\n"
                                  "[money]\ncurrency = INTEGER:978\namount = INTEGER:100\nexponent = INTEGER:0\n"
                                  "[sscd]\nid = OID:0.4.0.1862.1.4\n"),
         false, "0.4.0.1862.1.2"},
        {"PDS locations with and without language",
         generate("SEQUENCE:qcs", "[qcs]\ns = SEQUENCE:pds\n[pds]\nid = OID:0.4.0.1862.1.5\nlocations = SEQUENCE:locations\n"
                                  "[locations]\nen = SEQUENCE:en\nde = SEQUENCE:de\n"
                                  "[en]\nurl = IA5STRING:https://pds.example/en.pdf\nlanguage = PRINTABLESTRING:en\n"
                                  "[de]\nurl = IA5STRING:https://pds.example/de.pdf\n"),
         true,
         "0.4.0.1862.1.5 - id-etsi-qcs-QcPDS [URI={https://pds.example/en.pdf, en}, URI={https://pds.example/de.pdf}]"},
        {"QC types render like further statements",
         statements("s1 = SEQUENCE:compliance\ns2 = SEQUENCE:type\n",
                    "[type]\nid = OID:0.4.0.1862.1.6\ntypes = SEQUENCE:types\n"
                    "[types]\nt1 = OID:0.4.0.1862.1.6.1\nt2 = OID:1.3.6.1.4.1.99.6\n"),
         true,
         "0.4.0.1862.1.1 - id-etsi-qcs-QcCompliance, 0.4.0.1862.1.6 - id-etsi-qcs-QcType, "
         "0.4.0.1862.1.6.1 - id-etsi-qct-esign, 1.3.6.1.4.1.99.6"},
        {"a retention period ends the text",
         statements("s1 = SEQUENCE:compliance\ns2 = SEQUENCE:retention\ns3 = SEQUENCE:sscd\n",
                    "[retention]\nid = OID:0.4.0.1862.1.3\nyears = INTEGER:10\n"),
         true, "0.4.0.1862.1.1 - id-etsi-qcs-QcCompliance, 0.4.0.1862.1.3 - id-etsi-qcs-QcRetentionPeriod"},
        {"statementInfo of SEQUENCEs that begin with an OID is not shown",
         statements("s1 = SEQUENCE:semantics\ns2 = SEQUENCE:sscd\n",
                    "[semantics]\nid = OID:1.3.6.1.4.1.99.11\ninfo = SEQUENCE:outer\n[outer]\ninner = SEQUENCE:inner\n"
                    "[inner]\nid = OID:0.4.0.194121.1.1\n"),
         true, "1.3.6.1.4.1.99.11, 0.4.0.1862.1.4 - id-etsi-qcs-QcSSCD"},
        {"a statement without OID ends the text",
         statements("s1 = SEQUENCE:compliance\ns2 = SEQUENCE:broken\ns3 = SEQUENCE:sscd\n", "[broken]\nx = INTEGER:1\n"),
         false, "0.4.0.1862.1.1"},
    };
    for (const auto& c : cases) EXPECT_EQ(qcText(inCertificate(kQcStatements, c.value), c.withNames), c.expected) << c.what;
}

TEST(ExtensionRenderCommonPki, AdmissionRestrictionAndIccsn) {
    const std::string unregistered = "[dn]\nr = SET:r\n[r]\na = SEQUENCE:a\n[a]\nt = OID:1.3.6.1.4.1.99.20\n"
                                     "v = IA5STRING:not shown\n";
    const std::string kammer = "[dn]\nc = SET:name_c\no = SET:name_o\n" + kKammerName.substr(kKammerName.find("[name_c]"));
    const struct {
        const char* what;
        Renderer renderer;
        Bytes element;
        const char* expected;
    } cases[] = {
        {"admission without authority: only the item", CExtensionSSL::getIdIsismmtAtAsmission,
         inCertificate(kAdmission, admissionSyntax("")), "Notar"},
        // The walk expects professionInfos right at the start of Admissions.
        {"a naming authority in Admissions is a mismatch", CExtensionSSL::getIdIsismmtAtAsmission,
         inCertificate(kAdmission, admissionSyntax(kammer, "naming = EXPLICIT:1,SEQUENCE:naming\n")),
         "[countryName=DE], [organizationName=Kammer]"},
        // An IA5String value is not shown; the brackets are.
        {"attribute types outside the registry show dotted", CExtensionSSL::getIdIsismmtAtAsmission,
         inCertificate(kAdmission, admissionSyntax(unregistered, "", "PRINTABLESTRING:Steuerberater")),
         "[1.3.6.1.4.1.99.20=], Steuerberater"},
        {"a critical restriction renders empty", CExtensionSSL::getRestriction,
         inCertificate(kRestriction, generate("UTF8String:Nur fuer Tests"), true), ""},
        {"an ICCSN that is no OCTET STRING renders empty", CExtensionSSL::getIdIsismmtAtIccsn,
         inCertificate(kIccsn, generate("PRINTABLESTRING:8949011234")), ""},
    };
    for (const auto& c : cases) EXPECT_EQ(render(c.renderer, c.element), c.expected) << c.what;
}
