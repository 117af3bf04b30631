// The A_ getters on attribute certificates of both layouts, with the
// German Common PKI attributes and the extensions attribute certificates
// carry; each value compared with its renderer on the same element.

#include <gtest/gtest.h>

#include <ctime>
#include <string>
#include <vector>

#include "CertInfoSSL.h"
#include "tests/cert/AttrCertBuilder.h"
#include "tests/cert/CertGetterTestUtil.h"
#include "tests/cert/RendererTable.h"
#include "tests/support/TestSupport.h"

using namespace kivo::test::certs;
using kivo::test::ScopedTimeZone;

namespace {

Bytes build(AttrCertLayout layout, bool ecdsa, AttrCertContent request = {}) {
    request.layout = layout;
    request.ecdsa = ecdsa;
    for (const NamedElement& a : commonPkiAttributes()) request.attributes.push_back(a.element);
    for (const NamedElement& e : attrCertExtensions()) request.extensions.push_back(e.element);
    return buildAttrCert(request);
}

// Each entry's OID and its value as `renderer` gives it on the same element
// (empty without renderer); past the list nothing.
void checkEntries(ExactBuffer& b, const std::vector<NamedElement>& entries, Getter (*renderer)(const std::string&),
                  char* (*oidAt)(unsigned char*, unsigned long, int), char* (*valueAt)(unsigned char*, unsigned long, int)) {
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const int index = static_cast<int>(i);
        SCOPED_TRACE(entries[i].oid);
        EXPECT_EQ(oidAt(b.data(), b.size(), index), entries[i].oid);
        const Getter render = renderer(entries[i].oid);
        const RendererInput input = locate(b, entries[i].element);
        EXPECT_EQ(valueAt(b.data(), b.size(), index), render ? render(input.element, input.length) : std::string());
    }
    EXPECT_STREQ(oidAt(b.data(), b.size(), static_cast<int>(entries.size())), "");
    EXPECT_STREQ(valueAt(b.data(), b.size(), static_cast<int>(entries.size())), "");
}

}  // namespace

TEST(AttrCertGetters, BothLayoutsWithEveryAttributeAndExtension) {
    const char* holder = "countryName=DE, commonName=Erika Mustermann";
    const char* issuer = "countryName=DE, organizationName=Kammer, commonName=AA 1";
    // Holder, holder serial and issuer as the locator finds them: in the
    // older layout the subject inside the GeneralNames that follow the
    // holder, the issuer inside the holder's base certificate identifier;
    // a base certificate identifier in the RFC 3281 layout gives no name.
    const struct {
        AttrCertLayout layout;
        bool ecdsa;
        const char *subject, *subjectSerial, *issuer;
    } cases[] = {
        {AttrCertLayout::Rfc3281EntityName, false, holder, "", issuer},
        {AttrCertLayout::Rfc3281EntityName, true, holder, "", issuer},
        {AttrCertLayout::Rfc3281BaseCertificateId, false, "", "", issuer},
        {AttrCertLayout::Older, false, issuer, "A0B0C", "countryName=DE, commonName=Base CA"},
        {AttrCertLayout::Older, true, issuer, "A0B0C", "countryName=DE, commonName=Base CA"},
    };
    ScopedTimeZone cet("CET-1CEST,M3.5.0,M10.5.0/3");
    // 2024-03-01 08:30:00 and 2029-02-28 23:59:59 UTC as local time with
    // the daylight-saving flag of today.
    const std::time_t now = std::time(nullptr);
    std::tm today{};
    localtime_r(&now, &today);
    const std::int64_t offset = 3600 + (today.tm_isdst > 0 ? 3600 : 0);
    const Getter fields = joined({getter(CCertInfo::A_getSubject), getter(CCertInfo::A_getSubjectSerial),
                                  getter(CCertInfo::A_getIssuer), getter(CCertInfo::A_getSerial),
                                  getter(CCertInfo::A_getSignatureOID), getter(CCertInfo::getExtensionNum),
                                  getter(CCertInfo::getPkOID)});
    for (const auto& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.layout));
        ExactBuffer b(build(c.layout, c.ecdsa));
        // Nothing of a public-key certificate is found in it.
        EXPECT_EQ(fields(b.data(), b.size()), std::string(c.subject) + "|" + c.subjectSerial + "|" + c.issuer + "|1F4|" +
                                                  (c.ecdsa ? "1.2.840.10045.4.3.2" : "1.2.840.113549.1.1.11") + "|0|");

        ASSERT_EQ(CCertInfo::A_getAttributeNum(b.data(), b.size()), static_cast<int>(commonPkiAttributes().size()));
        checkEntries(b, commonPkiAttributes(), attributeRenderer, CCertInfo::A_getAttributeOID,
                     CCertInfo::A_getAttributeValue);
        ASSERT_EQ(CCertInfo::A_getExtensionNum(b.data(), b.size()), static_cast<int>(attrCertExtensions().size()));
        checkEntries(b, attrCertExtensions(), attrCertExtensionRenderer, CCertInfo::A_getExtensionOID,
                     CCertInfo::A_getExtensionValue);

        // The version INTEGER shifts the fields: where the validity would
        // be stands the signature algorithm.
        const bool older = c.layout == AttrCertLayout::Older;
        EXPECT_EQ(CCertInfo::A_getNotBefore(b.data(), b.size()), older ? 1709281800 - offset : 0);
        EXPECT_EQ(CCertInfo::A_getNotAfter(b.data(), b.size()), older ? 1867017599 - offset : 0);
    }
}

TEST(AttrCertGetters, SerialsDatesAndMissingParts) {
    AttrCertContent request;
    request.serial = integer(hex("01 02 03 04 05 06 07 08"));  // only the last four octets count
    request.baseSerial = integer(hex("00 AB CD EF 01 23"));
    request.notBefore = tlv(0x17, "500101000000Z");
    request.notAfter = tlv(0x17, "491231235959Z");
    ExactBuffer b(build(AttrCertLayout::Older, true, request));
    EXPECT_STREQ(CCertInfo::A_getSerial(b.data(), b.size()), "5060708");
    EXPECT_STREQ(CCertInfo::A_getSubjectSerial(b.data(), b.size()), "CDEF0123");
    {
        ScopedTimeZone utc("UTC0");
        EXPECT_EQ(CCertInfo::A_getNotBefore(b.data(), b.size()), -631152000);
        EXPECT_EQ(CCertInfo::A_getNotAfter(b.data(), b.size()), 2524607999);
    }

    // No extensions field; an attribute without values and one without type.
    const std::vector<NamedElement> attributes = {{"1.3.36.8.3.8", seq({oid("1.3.36.8.3.8")})},
                                                  {"", seq({utf8("no type"), set({utf8("x")})})},
                                                  {"1.3.36.8.3.8", attribute("1.3.36.8.3.8", {utf8("third")})}};
    AttrCertContent bare;
    bare.serial = integer(hex("00"));
    for (const NamedElement& a : attributes) bare.attributes.push_back(a.element);
    ExactBuffer m(buildAttrCert(bare));
    EXPECT_STREQ(CCertInfo::A_getSerial(m.data(), m.size()), "0");
    EXPECT_EQ(CCertInfo::A_getExtensionNum(m.data(), m.size()), 0);
    EXPECT_STREQ(CCertInfo::A_getExtensionOID(m.data(), m.size(), 0), "");
    EXPECT_EQ(CCertInfo::A_getAttributeNum(m.data(), m.size()), 3);
    checkEntries(m, attributes, attributeRenderer, CCertInfo::A_getAttributeOID, CCertInfo::A_getAttributeValue);
}
