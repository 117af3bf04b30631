// Field locators for certificates, attribute certificates and ContentInfo,
// and the small finders used on card data.

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "tests/asn1/DerTestUtil.h"
#include "tests/support/TestSupport.h"
#include "asn1/Asn1Der.h"

using namespace kivo::test::der;
using kivo::test::toHex;

namespace {

// Where a locator put its cursor, as octets (empty when it failed).
struct Located {
    bool found = false;
    Bytes element;
};

template <typename Locator>
Located locate(Locator locator, const ExactBuffer& buffer, int id) {
    Asn1Cursor c;
    Located r;
    r.found = locator(buffer.data(), buffer.size(), id, &c);
    if (r.found) {
        EXPECT_GE(c.ptr, buffer.data());
        EXPECT_LE(c.ptr + c.size, buffer.data() + buffer.size());
        EXPECT_LE(c.ptr + c.size, c.limit);
        r.element.assign(c.ptr, c.ptr + c.size);
    }
    return r;
}

Located certField(const ExactBuffer& b, int id) { return locate(CertFieldLocate, b, id); }
Located acField(const ExactBuffer& b, int id) { return locate(AttrCertFieldLocate, b, id); }

}  // namespace

TEST(DerLocate, EveryFieldOfAFullCertificate) {
    const CertParts parts;
    ExactBuffer cert(parts.build());
    const struct {
        int id;
        const Bytes& element;
    } fields[] = {
        {100, parts.version},    {105, parts.serial},    {104, parts.signature},
        {103, parts.issuer},     {106, parts.validity},  {101, parts.subject},
        {112, parts.publicKey},  {113, parts.issuerUid}, {114, parts.subjectUid},
        {111, parts.extensions},
    };
    for (const auto& f : fields) {
        const Located r = certField(cert, f.id);
        EXPECT_TRUE(r.found) << f.id;
        EXPECT_EQ(r.element, f.element) << f.id;
    }
}

TEST(DerLocate, CursorGoesOnWalkingTheCertificate) {
    const CertParts parts;
    ExactBuffer cert(parts.build());
    Asn1Cursor c;
    ASSERT_TRUE(CertFieldLocate(cert.data(), cert.size(), 106, &c));
    ASSERT_TRUE(Asn1Enter(c.ptr, &c));
    EXPECT_STREQ(Asn1DateText(c.ptr, c.size), "01.01.2026");
    ASSERT_TRUE(Asn1Next(c.ptr, &c));
    EXPECT_STREQ(Asn1DateText(c.ptr, c.size), "01.01.2027");
    EXPECT_FALSE(Asn1Next(c.ptr, &c));

    ASSERT_TRUE(CertFieldLocate(cert.data(), cert.size(), 103, &c));
    EXPECT_STREQ(Asn1NameToText(c.ptr, c.size), "countryName=DE, commonName=Test CA");
    ASSERT_TRUE(Asn1Next(c.ptr, &c));  // validity follows the issuer
    EXPECT_EQ(c.size, parts.validity.size());

    ASSERT_TRUE(CertFieldLocate(cert.data(), cert.size(), 105, &c));
    EXPECT_STREQ(Asn1ContentHex(c.ptr, c.size), "00ABCD");
    ASSERT_TRUE(CertFieldLocate(cert.data(), cert.size(), 100, &c));
    ASSERT_TRUE(Asn1Enter(c.ptr, &c));
    EXPECT_EQ(Asn1SmallInt(c.ptr, c.size), 2u);
}

TEST(DerLocate, OptionalFieldsOfACertificate) {
    const CertParts plain;
    CertParts constructed;
    constructed.issuerUid = tlv(0xA1, hex("03 02 00 11"));
    constructed.subjectUid = tlv(0xA2, hex("03 02 00 22"));
    const struct {
        const char* what;
        const CertParts& parts;
        bool version, uids, extensions;
        Bytes trailing;
    } cases[] = {
        {"version 1: none of them", plain, false, false, false, {}},
        {"extensions without unique ids", plain, true, false, true, {}},
        {"constructed unique ids", constructed, true, true, true, {}},
        {"octets after the certificate are ignored", plain, true, true, true, hex("00 00 FF 12 34")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ExactBuffer cert(cat({c.parts.build(c.version, c.uids, c.extensions), c.trailing}));
        const auto expectField = [&](int id, bool present, const Bytes& element) {
            const Located r = certField(cert, id);
            EXPECT_EQ(r.found, present) << id;
            EXPECT_EQ(r.element, present ? element : Bytes{}) << id;
        };
        expectField(100, c.version, c.parts.version);
        expectField(113, c.uids, c.parts.issuerUid);
        expectField(114, c.uids, c.parts.subjectUid);
        expectField(111, c.extensions, c.parts.extensions);
        expectField(105, true, c.parts.serial);
        expectField(112, true, c.parts.publicKey);
    }
}

TEST(DerLocate, FieldOfTheWrongTypeStopsTheWalk) {
    CertParts parts;
    parts.serial = tlv(0x04, hex("01"));
    ExactBuffer cert(parts.build());
    EXPECT_TRUE(certField(cert, 100).found);
    for (int id : {105, 104, 103, 106, 101, 112, 111}) EXPECT_FALSE(certField(cert, id).found) << id;

    ExactBuffer notSequence(seq({tlv(0x31, hex("02 01 01"))}));
    EXPECT_FALSE(certField(notSequence, 105).found);
    ExactBuffer empty(hex("30 02 30 00"));
    EXPECT_FALSE(certField(empty, 105).found);
}

TEST(DerLocate, UnknownIdOrNoInput) {
    const CertParts parts;
    ExactBuffer cert(parts.build());
    for (int id : {0, 99, 102, 107, 109, 110, 115, 200}) EXPECT_FALSE(certField(cert, id).found) << id;
    Asn1Cursor c;
    EXPECT_FALSE(CertFieldLocate(nullptr, 100, 105, &c));
    EXPECT_FALSE(CertFieldLocate(cert.data(), cert.size(), 105, nullptr));
    EXPECT_FALSE(CertFieldLocate(cert.data(), 0, 105, &c));
}

TEST(DerLocate, AttributeCertificateRfc3281Layout) {
    const AttrCertParts parts;
    ExactBuffer ac(parts.rfc3281());
    const struct {
        int id;
        Bytes element;
    } fields[] = {
        {100, parts.version},   {101, parts.entityName()}, {103, parts.v2IssuerNames()},
        {104, parts.signature}, {105, parts.serial},       {106, parts.validity},
        {109, parts.attributes}, {110, parts.issuerUid},   {111, parts.extensions},
    };
    for (const auto& f : fields) {
        const Located r = acField(ac, f.id);
        EXPECT_TRUE(r.found) << f.id;
        EXPECT_EQ(r.element, f.element) << f.id;
    }
    EXPECT_FALSE(acField(ac, 102).found);  // only the older layout has it
    for (int id : {107, 108, 112, 200}) EXPECT_FALSE(acField(ac, id).found) << id;
}

TEST(DerLocate, AttributeCertificateOlderLayout) {
    // Holder [0] IssuerSerial first: the base certificate's issuer and
    // serial stand where the RFC 3281 layout has issuer and holder; a
    // version INTEGER in front is found too.
    const AttrCertParts parts;
    for (const bool withVersion : {false, true}) {
        SCOPED_TRACE(withVersion ? "with version" : "without version");
        ExactBuffer ac(parts.older(withVersion));
        EXPECT_EQ(acField(ac, 100).element, withVersion ? hex("02 01 00") : Bytes{});
        const std::pair<int, Bytes> fields[] = {
            {103, parts.baseIssuer()}, {102, parts.baseSerial()}, {101, parts.olderIssuer()},
            {104, parts.signature},    {105, parts.serial},       {106, parts.validity},
            {109, parts.attributes},   {111, parts.extensions},
        };
        for (const auto& [id, element] : fields) EXPECT_EQ(acField(ac, id).element, element) << id;
        EXPECT_FALSE(acField(ac, 110).found);
        Asn1Cursor c;
        ASSERT_TRUE(AttrCertFieldLocate(ac.data(), ac.size(), 102, &c));
        EXPECT_EQ(Asn1SmallInt(c.ptr, c.size), 0x1234u);
    }
}

TEST(DerLocate, AttributeCertificateOptionalFields) {
    const AttrCertParts parts;
    for (const bool uid : {false, true}) {
        for (const bool extensions : {false, true}) {
            ExactBuffer ac(parts.rfc3281(uid, extensions));
            EXPECT_EQ(acField(ac, 110).element, uid ? parts.issuerUid : Bytes{}) << uid << extensions;
            EXPECT_EQ(acField(ac, 111).element, extensions ? parts.extensions : Bytes{}) << uid << extensions;
            EXPECT_EQ(acField(ac, 109).element, parts.attributes);
        }
    }
}

TEST(DerLocate, AttributeCertificateHolderSearchLooksAtThreeChildren) {
    AttrCertParts parts;
    const Bytes objectDigest = tlv(0xA2, seq({hex("0A 01 00")}));
    const Bytes name = tlv(0xA1, tlv(0xA4, parts.holderName));
    auto build = [&](const Bytes& holder) {
        return seq({seq({parts.version, holder, tlv(0xA0, parts.v2IssuerNames()), parts.signature,
                         parts.serial, parts.validity, parts.attributes}),
                    parts.signature, tlv(0x03, hex("00 01"))});
    };
    ExactBuffer third(build(seq({tlv(0xA0, hex("30 00")), objectDigest, name})));
    EXPECT_EQ(acField(third, 101).element, name);
    ExactBuffer fourth(build(seq({tlv(0xA0, hex("30 00")), objectDigest, objectDigest, name})));
    EXPECT_FALSE(acField(fourth, 101).found);
    EXPECT_EQ(acField(fourth, 105).element, parts.serial);
    ExactBuffer other(build(seq({hex("05 00"), name})));  // neither skipped nor taken
    EXPECT_FALSE(acField(other, 101).found);
}

TEST(DerLocate, AttributeCertificateWithWrongStructure) {
    AttrCertParts parts;
    // The holder is no SEQUENCE.
    ExactBuffer badHolder(seq({seq({parts.version, hex("05 00"), parts.signature, parts.serial})}));
    for (int id : {101, 103, 104, 105}) EXPECT_FALSE(acField(badHolder, id).found) << id;
    EXPECT_TRUE(acField(badHolder, 100).found);
    // The serial is no INTEGER.
    parts.serial = tlv(0x04, hex("01"));
    ExactBuffer badSerial(parts.rfc3281());
    EXPECT_TRUE(acField(badSerial, 104).found);
    for (int id : {105, 106, 109, 110, 111}) EXPECT_FALSE(acField(badSerial, id).found) << id;
    ExactBuffer notSequence(tlv(0x31, hex("30 00")));
    EXPECT_FALSE(acField(notSequence, 100).found);
}

TEST(DerLocate, ContentInfoFirstChild) {
    const Bytes type = oid("1.2.840.113549.1.7.2");
    ExactBuffer contentInfo(seq({type, tlv(0xA0, seq({}))}));
    Asn1Cursor c;
    ASSERT_TRUE(ContentFieldLocate(contentInfo.data(), contentInfo.size(), 200, &c));
    EXPECT_EQ(Bytes(c.ptr, c.ptr + c.size), type);
    EXPECT_STREQ(Asn1OidToText(c.ptr, c.size, false), "1.2.840.113549.1.7.2");
    EXPECT_FALSE(ContentFieldLocate(contentInfo.data(), contentInfo.size(), 201, &c));
    EXPECT_FALSE(ContentFieldLocate(contentInfo.data(), contentInfo.size(), 100, &c));
    ExactBuffer empty(hex("30 00"));
    EXPECT_FALSE(ContentFieldLocate(empty.data(), empty.size(), 200, &c));
    ExactBuffer set(hex("31 03 02 01 01"));
    EXPECT_FALSE(ContentFieldLocate(set.data(), set.size(), 200, &c));
    EXPECT_FALSE(ContentFieldLocate(nullptr, 10, 200, &c));
    EXPECT_FALSE(ContentFieldLocate(contentInfo.data(), contentInfo.size(), 200, nullptr));
}

TEST(DerFinder, Utf8StringInSequence) {
    std::string text = "old";
    ExactBuffer b(hex("30 0A 02 01 01 0C 05 48 61 6C 6C 6F"));
    ASSERT_TRUE(FindUtf8InSequence(b.data(), b.size(), &text));
    EXPECT_EQ(text, "Hallo");
    ExactBuffer emptyValue(hex("30 05 02 01 01 0C 00"));
    ASSERT_TRUE(FindUtf8InSequence(emptyValue.data(), emptyValue.size(), &text));
    EXPECT_EQ(text, "");

    const Bytes refused[] = {
        hex("30 03 02 01 01"),                    // no UTF8String
        hex("30 08 02 81 01 01 0C 02 41 42"),     // child with a long-form length
        hex("30 02 0C 00"),                       // content shorter than 3
        hex("30 81 05 0C 03 41 42 43"),           // long-form SEQUENCE
        hex("30 07 02 01 01 0C 05 41 42"),        // child past the SEQUENCE
        hex("30 09 02 01 01 0C 02 41"),           // SEQUENCE past the buffer
        hex("31 05 0C 03 41 42 43"),              // a SET
        hex("30"),
    };
    for (const Bytes& r : refused) {
        ExactBuffer rb(r);
        text = "old";
        EXPECT_FALSE(FindUtf8InSequence(rb.data(), rb.size(), &text)) << toHex(r.data(), r.size());
        EXPECT_EQ(text, "");
    }
    EXPECT_FALSE(FindUtf8InSequence(nullptr, 10, &text));
    EXPECT_FALSE(FindUtf8InSequence(b.data(), b.size(), nullptr));
}

TEST(DerFinder, OctetStringInSequence) {
    std::vector<unsigned char> octets;
    ExactBuffer b(hex("30 07 02 01 01 04 02 AB CD"));
    ASSERT_TRUE(FindOctetsInSequence(b.data(), b.size(), &octets));
    EXPECT_EQ(octets, hex("AB CD"));

    // Otherwise the 16 octets at offset 28.
    Bytes raw(44);
    for (std::size_t i = 0; i < raw.size(); ++i) raw[i] = static_cast<unsigned char>(i);
    ExactBuffer fixed(raw);
    EXPECT_FALSE(FindOctetsInSequence(fixed.data(), fixed.size(), &octets));
    EXPECT_EQ(octets, Bytes(raw.begin() + 28, raw.end()));
    Bytes sequenceWithout = cat({hex("30 03 02 01 01"), Bytes(39, 0x77)});
    ExactBuffer without(sequenceWithout);
    EXPECT_FALSE(FindOctetsInSequence(without.data(), without.size(), &octets));
    EXPECT_EQ(octets, Bytes(16, 0x77));
    ExactBuffer shortInput(Bytes(43, 0x01));
    EXPECT_FALSE(FindOctetsInSequence(shortInput.data(), shortInput.size(), &octets));
    EXPECT_TRUE(octets.empty());
    EXPECT_FALSE(FindOctetsInSequence(nullptr, 100, &octets));
    EXPECT_TRUE(octets.empty());
}
