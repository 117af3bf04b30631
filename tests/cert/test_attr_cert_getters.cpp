// The A_ getters on signed attribute certificates of both layouts, with the
// German Common PKI attributes and the extensions attribute certificates
// carry.

#include <gtest/gtest.h>

#include <ctime>
#include <string>
#include <vector>

#include "tests/cert/AttrCertBuilder.h"
#include "tests/cert/CertGetterTestUtil.h"
#include "CertInfoSSL.h"
#include "tests/cert/RendererTable.h"
#include "tools/testpki/Pki.h"
#include "tests/support/TestSupport.h"

using namespace kivo::test::certs;
using kivo::test::KeyKind;
using kivo::test::ScopedTimeZone;

namespace {

constexpr const char* kCentralEurope = "CET-1CEST,M3.5.0,M10.5.0/3";

// 2024-03-01 08:30:00 and 2029-02-28 23:59:59 UTC, the default validity of
// AttrCertContent.
constexpr std::int64_t kNotBefore = 1709281800;
constexpr std::int64_t kNotAfter = 1867017599;

struct Case {
    AttrCertLayout layout;
    KeyKind key;
    const char* name;
};

std::string caseName(const testing::TestParamInfo<Case>& info) { return info.param.name; }

BuiltAttrCert build(AttrCertLayout layout, KeyKind kind, AttrCertContent request = {}) {
    auto key = kivo::test::generateKey(kind);
    request.layout = layout;
    request.key = key.get();
    if (request.attributes.empty()) {
        for (const NamedElement& a : commonPkiAttributes()) request.attributes.push_back(a.element);
    }
    if (request.extensions.empty()) {
        for (const NamedElement& e : attrCertExtensions()) request.extensions.push_back(e.element);
    }
    BuiltAttrCert ac = buildAttrCert(request);
    if (!verifyAttrCert(ac, key.get())) throw std::runtime_error("the attribute certificate does not verify");
    return ac;
}

// Where a renderer's input starts for the entry `entry` (an Attribute or
// Extension SEQUENCE) inside the attribute certificate.
RendererInput inputOf(ExactBuffer& b, const Bytes& entry) {
    const std::size_t offset = find(b.data(), b.size(), entry);
    if (offset == std::string::npos) throw std::runtime_error("entry not found");
    const auto input = afterOid(b.data() + offset, b.size() - offset);
    if (!input) throw std::runtime_error("entry has no value");
    return *input;
}

class AttrCertGettersLayouts : public testing::TestWithParam<Case> {};

}  // namespace

INSTANTIATE_TEST_SUITE_P(
    AttrCertGettersBothLayouts, AttrCertGettersLayouts,
    testing::Values(Case{AttrCertLayout::Rfc3281EntityName, KeyKind::Rsa2048, "Rfc3281EntityNameRsa"},
                    Case{AttrCertLayout::Rfc3281EntityName, KeyKind::EcP256, "Rfc3281EntityNameEc"},
                    Case{AttrCertLayout::Rfc3281BaseCertificateId, KeyKind::Rsa2048, "Rfc3281BaseCertRsa"},
                    Case{AttrCertLayout::Older, KeyKind::Rsa2048, "OlderRsa"},
                    Case{AttrCertLayout::Older, KeyKind::EcP256, "OlderEc"}),
    caseName);

TEST_P(AttrCertGettersLayouts, HolderIssuerSerialAndSignature) {
    const Case c = GetParam();
    const BuiltAttrCert ac = build(c.layout, c.key);
    ExactBuffer b(ac.der);
    const char* holder = "countryName=DE, commonName=Erika Mustermann";
    const char* issuer = "countryName=DE, organizationName=Kammer, commonName=AA 1";
    const char* baseIssuer = "countryName=DE, commonName=Base CA";
    switch (c.layout) {
        case AttrCertLayout::Rfc3281EntityName:
            EXPECT_STREQ(CCertInfo::A_getSubject(b.data(), b.size()), holder);
            EXPECT_STREQ(CCertInfo::A_getSubjectSerial(b.data(), b.size()), "");
            EXPECT_STREQ(CCertInfo::A_getIssuer(b.data(), b.size()), issuer);
            break;
        case AttrCertLayout::Rfc3281BaseCertificateId:
            // The holder has no name of its own, and its base certificate's
            // serial is read in the older layout only.
            EXPECT_STREQ(CCertInfo::A_getSubject(b.data(), b.size()), "");
            EXPECT_STREQ(CCertInfo::A_getSubjectSerial(b.data(), b.size()), "");
            EXPECT_STREQ(CCertInfo::A_getIssuer(b.data(), b.size()), issuer);
            break;
        case AttrCertLayout::Older:
            // The locator answers the subject inside the GeneralNames that
            // follow the holder, and the issuer inside the holder's base
            // certificate identifier.
            EXPECT_STREQ(CCertInfo::A_getSubject(b.data(), b.size()), issuer);
            EXPECT_STREQ(CCertInfo::A_getSubjectSerial(b.data(), b.size()), "A0B0C");
            EXPECT_STREQ(CCertInfo::A_getIssuer(b.data(), b.size()), baseIssuer);
            break;
    }
    EXPECT_STREQ(CCertInfo::A_getSerial(b.data(), b.size()), "1F4");
    EXPECT_STREQ(CCertInfo::A_getSignatureOID(b.data(), b.size()),
                 c.key == KeyKind::EcP256 ? "1.2.840.10045.4.3.2" : "1.2.840.113549.1.1.11");
    // Nothing of a public-key certificate is found in it.
    EXPECT_EQ(CCertInfo::getExtensionNum(b.data(), b.size()), 0);
    EXPECT_STREQ(CCertInfo::getPkOID(b.data(), b.size()), "");
}

TEST_P(AttrCertGettersLayouts, AttributesInOrderWithTheirRenderers) {
    const Case c = GetParam();
    const BuiltAttrCert ac = build(c.layout, c.key);
    ExactBuffer b(ac.der);
    const std::vector<NamedElement> attributes = commonPkiAttributes();
    ASSERT_EQ(CCertInfo::A_getAttributeNum(b.data(), b.size()), static_cast<int>(attributes.size()));
    for (std::size_t i = 0; i < attributes.size(); ++i) {
        const int index = static_cast<int>(i);
        SCOPED_TRACE(attributes[i].oid);
        EXPECT_EQ(CCertInfo::A_getAttributeOID(b.data(), b.size(), index), attributes[i].oid);
        const std::string value = CCertInfo::A_getAttributeValue(b.data(), b.size(), index);
        const DirectRenderer render = attributeRenderer(attributes[i].oid);
        if (render) {
            const RendererInput input = inputOf(b, attributes[i].element);
            EXPECT_EQ(value, render(input.element, input.length));
            // The ICCSN is an OCTET STRING, which its renderer (made for a
            // UTF8String) does not show; every other attribute has a text.
            if (attributes[i].oid != "1.3.36.8.3.6") {
                EXPECT_FALSE(value.empty());
            }
        } else {
            EXPECT_EQ(value, "");  // dateOfCertGen
        }
    }
    EXPECT_STREQ(CCertInfo::A_getAttributeOID(b.data(), b.size(), static_cast<int>(attributes.size())), "");
    EXPECT_STREQ(CCertInfo::A_getAttributeValue(b.data(), b.size(), static_cast<int>(attributes.size())), "");
}

TEST_P(AttrCertGettersLayouts, ExtensionsOfFiveKindsAreRendered) {
    const Case c = GetParam();
    const BuiltAttrCert ac = build(c.layout, c.key);
    ExactBuffer b(ac.der);
    const std::vector<NamedElement> extensions = attrCertExtensions();
    ASSERT_EQ(CCertInfo::A_getExtensionNum(b.data(), b.size()), static_cast<int>(extensions.size()));
    int rendered = 0;
    for (std::size_t i = 0; i < extensions.size(); ++i) {
        const int index = static_cast<int>(i);
        SCOPED_TRACE(extensions[i].oid);
        EXPECT_EQ(CCertInfo::A_getExtensionOID(b.data(), b.size(), index), extensions[i].oid);
        const std::string value = CCertInfo::A_getExtensionValue(b.data(), b.size(), index);
        const DirectRenderer render = attrCertExtensionRenderer(extensions[i].oid);
        if (render) {
            const RendererInput input = inputOf(b, extensions[i].element);
            EXPECT_EQ(value, render(input.element, input.length));
            EXPECT_FALSE(value.empty());
            ++rendered;
        } else {
            EXPECT_EQ(value, "");  // subjectKeyIdentifier, noRevAvail
        }
    }
    EXPECT_EQ(rendered, 5);
}

TEST_P(AttrCertGettersLayouts, ValidityOnlyWithoutLeadingVersion) {
    const Case c = GetParam();
    const BuiltAttrCert ac = build(c.layout, c.key);
    ExactBuffer b(ac.der);
    ScopedTimeZone cet(kCentralEurope);
    // The fields are local time, with the daylight-saving flag of today.
    const std::int64_t offset = 3600 + (daylightSavingNow() ? 3600 : 0);
    if (c.layout == AttrCertLayout::Older) {
        EXPECT_EQ(CCertInfo::A_getNotBefore(b.data(), b.size()), kNotBefore - offset);
        EXPECT_EQ(CCertInfo::A_getNotAfter(b.data(), b.size()), kNotAfter - offset);
    } else {
        // The version INTEGER shifts the fields: the signature algorithm
        // stands where the validity would be.
        EXPECT_EQ(CCertInfo::A_getNotBefore(b.data(), b.size()), 0);
        EXPECT_EQ(CCertInfo::A_getNotAfter(b.data(), b.size()), 0);
    }
}

TEST(AttrCertGettersValues, RenderedTexts) {
    const BuiltAttrCert ac = build(AttrCertLayout::Rfc3281EntityName, KeyKind::Rsa2048);
    ExactBuffer b(ac.der);
    auto attribute = [&](const char* oid) {
        const std::vector<NamedElement> all = commonPkiAttributes();
        for (std::size_t i = 0; i < all.size(); ++i) {
            if (all[i].oid == oid) return std::string(CCertInfo::A_getAttributeValue(b.data(), b.size(), static_cast<int>(i)));
        }
        return std::string("<missing>");
    };
    EXPECT_EQ(attribute("1.3.36.8.3.8"), "Nur fuer Testzwecke");
    EXPECT_EQ(attribute("1.3.36.8.3.15"), "Zusatzinformation");
    EXPECT_EQ(attribute("1.3.36.8.3.4"), "EUR 5000.00");
    EXPECT_EQ(attribute("1.3.36.8.3.5"), "notYoungerThan=18");
    EXPECT_EQ(attribute("1.3.36.8.3.1"), "");

    // qcStatements of an attribute certificate come without names.
    const std::vector<NamedElement> extensions = attrCertExtensions();
    for (std::size_t i = 0; i < extensions.size(); ++i) {
        if (extensions[i].oid != "1.3.6.1.5.5.7.1.3") continue;
        const std::string value = CCertInfo::A_getExtensionValue(b.data(), b.size(), static_cast<int>(i));
        EXPECT_EQ(value.find(" - "), std::string::npos) << value;
        EXPECT_NE(value.find("0.4.0.1862.1.1"), std::string::npos) << value;
        EXPECT_NE(value.find("[5000 EUR]"), std::string::npos) << value;
    }
}

TEST(AttrCertGettersSerial, OnlyTheLastFourOctetsOfALongSerial) {
    AttrCertContent request;
    request.serial = integer(hex("01 02 03 04 05 06 07 08"));
    request.baseSerial = integer(hex("00 AB CD EF 01 23"));
    const BuiltAttrCert ac = build(AttrCertLayout::Older, KeyKind::EcP256, request);
    ExactBuffer b(ac.der);
    EXPECT_STREQ(CCertInfo::A_getSerial(b.data(), b.size()), "5060708");
    EXPECT_STREQ(CCertInfo::A_getSubjectSerial(b.data(), b.size()), "CDEF0123");

    request.serial = integer(hex("00"));
    const BuiltAttrCert zero = build(AttrCertLayout::Rfc3281EntityName, KeyKind::EcP256, request);
    ExactBuffer z(zero.der);
    EXPECT_STREQ(CCertInfo::A_getSerial(z.data(), z.size()), "0");
}

TEST(AttrCertGettersDates, UtcTimeYearsAndDaylightSavingFlag) {
    AttrCertContent request;
    request.notBefore = tlv(0x17, "500101000000Z");
    request.notAfter = tlv(0x17, "491231235959Z");
    const BuiltAttrCert ac = build(AttrCertLayout::Older, KeyKind::EcP256, request);
    ExactBuffer b(ac.der);
    {
        ScopedTimeZone utc("UTC0");
        EXPECT_EQ(CCertInfo::A_getNotBefore(b.data(), b.size()), -631152000);
        EXPECT_EQ(CCertInfo::A_getNotAfter(b.data(), b.size()), 2524607999);
    }
    {
        ScopedTimeZone cet(kCentralEurope);
        std::tm before{};
        before.tm_year = 50;
        before.tm_mday = 1;
        EXPECT_EQ(CCertInfo::A_getNotBefore(b.data(), b.size()), localRule(before, false));
    }
}

TEST(AttrCertGettersStructure, NoExtensionsField) {
    AttrCertContent request;
    auto key = kivo::test::generateKey(KeyKind::EcP256);
    request.key = key.get();
    request.attributes = {commonPkiAttributes()[1].element};
    const BuiltAttrCert ac = buildAttrCert(request);
    ExactBuffer b(ac.der);
    EXPECT_EQ(CCertInfo::A_getAttributeNum(b.data(), b.size()), 1);
    EXPECT_EQ(CCertInfo::A_getExtensionNum(b.data(), b.size()), 0);
    EXPECT_STREQ(CCertInfo::A_getExtensionOID(b.data(), b.size(), 0), "");
    EXPECT_STREQ(CCertInfo::A_getExtensionValue(b.data(), b.size(), 0), "");
}

TEST(AttrCertGettersStructure, AttributeWithoutValueOrType) {
    AttrCertContent request;
    auto key = kivo::test::generateKey(KeyKind::EcP256);
    request.key = key.get();
    request.attributes = {
        seq({oid("1.3.36.8.3.8")}),                  // no values SET
        seq({utf8("no type"), set({utf8("x")})}),    // no OID first
        attribute("1.3.36.8.3.8", {utf8("third")}),  // fine
    };
    const BuiltAttrCert ac = buildAttrCert(request);
    ExactBuffer b(ac.der);
    EXPECT_EQ(CCertInfo::A_getAttributeNum(b.data(), b.size()), 3);
    EXPECT_STREQ(CCertInfo::A_getAttributeOID(b.data(), b.size(), 0), "1.3.36.8.3.8");
    EXPECT_STREQ(CCertInfo::A_getAttributeValue(b.data(), b.size(), 0), "");
    EXPECT_STREQ(CCertInfo::A_getAttributeOID(b.data(), b.size(), 1), "");
    EXPECT_STREQ(CCertInfo::A_getAttributeValue(b.data(), b.size(), 1), "");
    EXPECT_STREQ(CCertInfo::A_getAttributeOID(b.data(), b.size(), 2), "1.3.36.8.3.8");
    EXPECT_STREQ(CCertInfo::A_getAttributeValue(b.data(), b.size(), 2), "third");
}
