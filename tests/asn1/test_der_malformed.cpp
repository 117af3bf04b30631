// Malformed DER: one representative input per rule that makes the toolkit
// refuse it (element beyond the buffer, five length octets, high tag
// number, child past its parent, indefinite nesting beyond the limit), with
// the failure value of every function. Arbitrary shapes are left to the
// fuzz targets in fuzz/. Inputs are exact-size heap copies, so the
// sanitizer build reports any read past them.

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "tests/asn1/DerTestUtil.h"
#include "asn1/Asn1Der.h"

using namespace kivo::test::der;

namespace {

const int kCertIds[] = {100, 101, 103, 104, 105, 106, 111, 112, 113, 114};
const int kAttrCertIds[] = {100, 101, 102, 103, 104, 105, 106, 109, 110, 111};

// Every text function and walker on a region that holds no complete
// element: all must fail.
void expectEverythingFails(const ExactBuffer& b, const std::string& what) {
    SCOPED_TRACE(what);
    const unsigned char* p = b.data();
    const std::uint32_t n = static_cast<std::uint32_t>(b.size());
    EXPECT_EQ(Asn1Begin(p, n).size, 0u);
    std::uint32_t offset = 0;
    EXPECT_EQ(Asn1GetLength(p, &offset, n), 0u);
    EXPECT_EQ(offset, 0u);
    Asn1Cursor c = Asn1Begin(p, n);
    EXPECT_FALSE(Asn1Enter(p, &c));
    c = Asn1Begin(p, n);
    c.size = n;
    EXPECT_FALSE(Asn1Next(p, &c));
    EXPECT_STREQ(Asn1ContentHex(p, n), "");
    EXPECT_STREQ(Asn1BitStringHex(p, n), "");
    EXPECT_STREQ(Asn1ContentString(p, n), "");
    EXPECT_EQ(Asn1BmpToWide(p, n)[0], u'\0');
    EXPECT_FALSE(Asn1Bool(p, n));
    EXPECT_EQ(Asn1SmallInt(p, n), 0u);
    EXPECT_STREQ(Asn1OidToText(p, n, false), "");
    EXPECT_STREQ(Asn1DateText(p, n), "");
    EXPECT_STREQ(Asn1NameToText(p, n), "");
    EXPECT_EQ(Asn1CountSequences(p, n), 0u);
    for (int id : kCertIds) EXPECT_FALSE(CertFieldLocate(p, n, id, &c)) << id;
    for (int id : kAttrCertIds) EXPECT_FALSE(AttrCertFieldLocate(p, n, id, &c)) << id;
    EXPECT_FALSE(ContentFieldLocate(p, n, 200, &c));
}

}  // namespace

TEST(DerMalformed, EveryCutOfACertificateFails) {
    const struct {
        Bytes der;
        bool (*locate)(const unsigned char*, std::uint32_t, int, Asn1Cursor*);
    } wholes[] = {{CertParts{}.build(), CertFieldLocate}, {AttrCertParts{}.rfc3281(), AttrCertFieldLocate}};
    for (const auto& whole : wholes) {
        for (std::size_t cut = 0; cut < whole.der.size(); ++cut) {
            expectEverythingFails(ExactBuffer(whole.der.data(), cut), "cut at " + std::to_string(cut));
        }
        // Uncut, the fields are found.
        ExactBuffer b(whole.der);
        Asn1Cursor c;
        EXPECT_TRUE(whole.locate(b.data(), static_cast<std::uint32_t>(b.size()), 105, &c));
        EXPECT_TRUE(whole.locate(b.data(), static_cast<std::uint32_t>(b.size()), 111, &c));
    }
}

TEST(DerMalformed, LengthsOfFiveOctets) {
    expectEverythingFails(ExactBuffer(hex("30 85 00 00 00 00 03 02 01 01")), "five length octets");
    // Inside a Name, and as a certificate's serial: the walk stops there.
    ExactBuffer name(cat({hex("30 0B 31 09 30 85 00 00 00 00 02"), hex("05 00")}));
    EXPECT_STREQ(Asn1NameToText(name.data(), name.size()), "");
    const CertParts parts;
    Bytes cert = parts.build();
    const auto at = std::search(cert.begin(), cert.end(), parts.serial.begin(), parts.serial.end());
    ASSERT_NE(at, cert.end());
    at[1] = 0x85;
    ExactBuffer broken(cert);
    Asn1Cursor c;
    EXPECT_TRUE(CertFieldLocate(broken.data(), broken.size(), 100, &c));
    for (int id : {105, 104, 103, 106, 101, 112, 111}) {
        EXPECT_FALSE(CertFieldLocate(broken.data(), broken.size(), id, &c)) << id;
    }
}

TEST(DerMalformed, HighTagNumberIdentifiers) {
    expectEverythingFails(ExactBuffer(hex("1F 81 00 00")), "high tag");
    expectEverythingFails(ExactBuffer(hex("3F 02 02 01 01")), "constructed high tag");
    // As a child: the walk stops at it.
    ExactBuffer list(hex("30 08 30 00 3F 03 02 01 01"));
    EXPECT_EQ(Asn1CountSequences(list.data(), list.size()), 0u);
    ExactBuffer name(seq({rdn("2.5.4.6", 0x13, "DE"), hex("1F 05 00")}));
    EXPECT_STREQ(Asn1NameToText(name.data(), name.size()), "");
    ExactBuffer value(seq({set({seq({oid("2.5.4.3"), hex("1F 0C 01 41")})})}));
    EXPECT_STREQ(Asn1NameToText(value.data(), value.size()), "");
}

TEST(DerMalformed, ElementsReachingPastTheirParent) {
    // The extensions [3] claim three octets more than the TBSCertificate
    // holds; the octets exist (the signature algorithm follows), but they
    // are not the TBSCertificate's.
    const Bytes algorithm = seq({oid("1.2.840.113549.1.1.11"), hex("05 00")});
    const Bytes name = seq({rdn("2.5.4.3", 0x0C, "X")});
    const Bytes extensions = tlv(0xA3, seq({}));
    Bytes tbsContent = cat({hex("02 01 01"), algorithm, name,
                            seq({tlv(0x17, "260101000000Z"), tlv(0x17, "270101000000Z")}), name,
                            seq({algorithm, tlv(0x03, hex("00 01"))}), extensions});
    tbsContent[tbsContent.size() - extensions.size() + 1] += 3;
    ExactBuffer cert(seq({tlv(0x30, tbsContent), algorithm, tlv(0x03, hex("00 AA BB CC"))}));
    Asn1Cursor c;
    EXPECT_TRUE(CertFieldLocate(cert.data(), cert.size(), 112, &c));
    EXPECT_FALSE(CertFieldLocate(cert.data(), cert.size(), 111, &c));

    // A value past its SET within a Name that goes on.
    ExactBuffer nameText(seq({tlv(0x31, cat({hex("30 07"), oid("2.5.4.3"), hex("0C 04 41")})),
                              rdn("2.5.4.6", 0x13, "DE")}));
    EXPECT_STREQ(Asn1NameToText(nameText.data(), nameText.size()), "");
    // A SEQUENCE child that reaches past the list being counted.
    ExactBuffer list(hex("30 04 30 00 30 03 30 00"));
    EXPECT_EQ(Asn1CountSequences(list.data(), list.size()), 0u);
}

TEST(DerMalformed, IndefiniteNestingBeyondTheLimit) {
    const std::uint32_t depth = kivo::asn1::kMaxIndefiniteDepth + 1;
    Bytes deep;
    for (std::uint32_t i = 0; i < depth; ++i) deep.insert(deep.end(), {0x30, 0x80});
    deep.insert(deep.end(), {0x05, 0x00});
    for (std::uint32_t i = 0; i < depth; ++i) deep.insert(deep.end(), {0x00, 0x00});
    expectEverythingFails(ExactBuffer(deep), "deep indefinite nesting");
    // Just within the limit, the same structure is walked.
    const Bytes fine(deep.begin() + 2, deep.end() - 2);
    ExactBuffer ok(fine);
    EXPECT_EQ(Asn1Begin(ok.data(), ok.size()).size, fine.size());
    EXPECT_EQ(Asn1CountSequences(ok.data(), ok.size()), 1u);
    // BER with indefinite lengths is read, a Name included.
    ExactBuffer name(hex("30 80 31 80 30 80 06 03 55 04 03 0C 01 41 00 00 00 00 00 00"));
    EXPECT_STREQ(Asn1NameToText(name.data(), name.size()), "commonName=A");
    ExactBuffer hexValue(hex("24 80 04 01 AA 00 00"));
    EXPECT_STREQ(Asn1ContentHex(hexValue.data(), hexValue.size()), "0401AA");
}
