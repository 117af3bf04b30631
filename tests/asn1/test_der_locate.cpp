// Field locators for certificates, attribute certificates and ContentInfo,
// and the small finders used on card data.

#include "tests/asn1/DerTestUtil.h"

#include "asn1/Asn1Der.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <string>

using namespace kivo::test::der;

namespace {

using Locator = bool (*)(const unsigned char*, std::uint32_t, int, Asn1Cursor*);

// The element a locator put its cursor on (empty when it failed), checked
// to lie within the buffer.
Bytes located(Locator locator, const Bytes& der, int id) {
    const ExactBuffer b(der);
    Asn1Cursor c;
    if (!locator(b.data(), b.size(), id, &c)) return {};
    EXPECT_TRUE(c.ptr >= b.data() && c.ptr + c.size <= b.data() + b.size() && c.ptr + c.size <= c.limit) << id;
    return Bytes(c.ptr, c.ptr + c.size);
}

// Every field in `expected` located as given (an empty element: not found).
void expectFields(Locator locator, const Bytes& der, const std::vector<std::pair<int, Bytes>>& expected) {
    for (const auto& [id, element] : expected) EXPECT_EQ(located(locator, der, id), element) << id;
}

}  // namespace

TEST(DerLocate, CertificateFieldsWithAndWithoutTheOptionalOnes) {
    const CertParts plain;
    const struct {
        const char* what;
        const CertParts& parts;
        bool version, uids, extensions;
        Bytes trailing;
    } cases[] = {
        {"all fields", plain, true, true, true, {}},
        {"version 1: none of the optional ones", plain, false, false, false, {}},
        {"extensions without unique ids", plain, true, false, true, {}},
        {"octets after the certificate are ignored", plain, true, true, true, hex("00 00 FF 12 34")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const CertParts& p = c.parts;
        expectFields(CertFieldLocate, cat({p.build(c.version, c.uids, c.extensions), c.trailing}),
                     {{100, c.version ? p.version : Bytes{}}, {105, p.serial}, {104, p.signature}, {103, p.issuer},
                      {106, p.validity}, {101, p.subject}, {112, p.publicKey}, {113, c.uids ? p.issuerUid : Bytes{}},
                      {114, c.uids ? p.subjectUid : Bytes{}}, {111, c.extensions ? p.extensions : Bytes{}}});
    }
}

TEST(DerLocate, CertificateFieldOfTheWrongTypeUnknownIdOrNoInput) {
    CertParts parts;
    parts.serial = tlv(0x04, hex("01"));
    expectFields(CertFieldLocate, parts.build(), {{100, parts.version}, {105, {}}, {103, {}}, {112, {}}, {111, {}}});
    const Bytes cert = CertParts{}.build();
    expectFields(CertFieldLocate, cert, {{0, {}}, {99, {}}, {102, {}}, {110, {}}, {115, {}}, {200, {}}});
    Asn1Cursor c;
    EXPECT_FALSE(CertFieldLocate(nullptr, 100, 105, &c) || CertFieldLocate(cert.data(), cert.size(), 105, nullptr));
}

TEST(DerLocate, AttributeCertificateLayouts) {
    const AttrCertParts p;
    for (const bool uid : {false, true}) {
        for (const bool extensions : {false, true}) {
            SCOPED_TRACE(std::string("RFC 3281 layout") + (uid ? ", uid" : "") + (extensions ? ", extensions" : ""));
            expectFields(AttrCertFieldLocate, p.rfc3281(uid, extensions),
                         {{100, p.version}, {101, p.entityName()}, {102, {}}, {103, p.v2IssuerNames()},
                          {104, p.signature}, {105, p.serial}, {106, p.validity}, {109, p.attributes},
                          {110, uid ? p.issuerUid : Bytes{}}, {111, extensions ? p.extensions : Bytes{}},
                          {107, {}}, {112, {}}});
        }
    }
    // Holder [0] IssuerSerial first: the base certificate's issuer and
    // serial stand where the RFC 3281 layout has issuer and holder; a
    // version INTEGER in front is found too.
    for (const bool withVersion : {false, true}) {
        SCOPED_TRACE(withVersion ? "older layout with version" : "older layout");
        expectFields(AttrCertFieldLocate, p.older(withVersion),
                     {{100, withVersion ? hex("02 01 00") : Bytes{}}, {103, tlv(0xA4, p.baseIssuerName)},
                      {102, p.baseSerial}, {101, tlv(0xA4, p.issuerName)}, {104, p.signature}, {105, p.serial}, {106, p.validity},
                      {109, p.attributes}, {110, {}}, {111, p.extensions}});
    }
}

TEST(DerLocate, AttributeCertificateHolderSearchLooksAtThreeChildren) {
    const AttrCertParts parts;
    const Bytes objectDigest = tlv(0xA2, seq({hex("0A 01 00")}));
    const Bytes name = tlv(0xA1, tlv(0xA4, parts.holderName));
    const auto build = [&](const Bytes& holder) {
        return seq({seq({parts.version, holder, tlv(0xA0, parts.v2IssuerNames()), parts.signature, parts.serial,
                         parts.validity, parts.attributes}),
                    parts.signature, tlv(0x03, hex("00 01"))});
    };
    // The entity name is looked for among the first three children.
    expectFields(AttrCertFieldLocate, build(seq({tlv(0xA0, hex("30 00")), objectDigest, name})), {{101, name}});
    expectFields(AttrCertFieldLocate, build(seq({tlv(0xA0, hex("30 00")), objectDigest, objectDigest, name})), {{101, {}}});
    expectFields(AttrCertFieldLocate, build(seq({hex("05 00"), name})), {{101, {}}});  // neither skipped nor taken
}

TEST(DerLocate, ContentInfoFirstChildAndTheCardDataFinders) {
    const Bytes type = oid("1.2.840.113549.1.7.2");
    expectFields(ContentFieldLocate, seq({type, tlv(0xA0, seq({}))}), {{200, type}, {201, {}}, {100, {}}});
    // The UTF8String in a short SEQUENCE; nothing but an emptied text otherwise.
    const std::pair<Bytes, const char*> texts[] = {
        {hex("30 0A 02 01 01 0C 05 48 61 6C 6C 6F"), "Hallo"}, {hex("30 03 02 01 01"), nullptr},
        {hex("30 81 05 0C 03 41 42 43"), nullptr},     // long-form SEQUENCE
        {hex("30 07 02 01 01 0C 05 41 42"), nullptr},  // child past the SEQUENCE
    };
    for (const auto& [der, text] : texts) {
        const ExactBuffer b(der);
        std::string found = "old";
        EXPECT_EQ(FindUtf8InSequence(b.data(), b.size(), &found), text != nullptr) << toHex(der);
        EXPECT_EQ(found, text != nullptr ? text : "");
    }
    // The OCTET STRING in a SEQUENCE, otherwise the 16 octets at offset 28.
    std::vector<unsigned char> octets;
    const ExactBuffer found(hex("30 07 02 01 01 04 02 AB CD"));
    EXPECT_TRUE(FindOctetsInSequence(found.data(), found.size(), &octets));
    EXPECT_EQ(octets, hex("AB CD"));
    const ExactBuffer without(cat({hex("30 03 02 01 01"), Bytes(23, 0x77), Bytes(16, 0x55)}));
    EXPECT_FALSE(FindOctetsInSequence(without.data(), without.size(), &octets));
    EXPECT_EQ(octets, Bytes(16, 0x55));
}
