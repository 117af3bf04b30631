// Malformed DER: every function refuses it with its failure value and never
// reads outside the buffer it was given. Inputs are exact-size heap copies,
// so the sanitizer build reports any read past their end.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "DerTestUtil.h"
#include "asn1/Asn1Der.h"

using namespace kivo::test::der;

namespace {

const int kCertIds[] = {100, 101, 103, 104, 105, 106, 111, 112, 113, 114};
const int kAttrCertIds[] = {100, 101, 102, 103, 104, 105, 106, 109, 110, 111};

// A small certificate with every optional field, made by hand.
Bytes handMadeCertificate() {
    const Bytes algorithm = seq({oid("1.2.840.113549.1.1.11"), hex("05 00")});
    const Bytes name = seq({rdn("2.5.4.6", 0x13, "DE"), rdn("2.5.4.3", 0x1E, std::string("\0A\0B", 4))});
    const Bytes tbs = seq({tlv(0xA0, hex("02 01 02")), hex("02 02 00 80"), algorithm, name,
                           seq({tlv(0x17, "260101000000Z"), tlv(0x18, "20510101000000Z")}), name,
                           seq({seq({oid("1.2.840.10045.2.1"), oid("1.2.840.10045.3.1.7")}),
                                tlv(0x03, hex("00 04 01 02"))}),
                           tlv(0x81, hex("00 11")), tlv(0x82, hex("00 22")),
                           tlv(0xA3, seq({seq({oid("2.5.29.19"), tlv(0x04, hex("30 00"))})}))});
    return seq({tbs, algorithm, tlv(0x03, hex("00 AA"))});
}

// Every text function and walker on a region that holds no complete
// element: all must fail.
void expectEverythingFails(const ExactBuffer& b, const std::string& what) {
    SCOPED_TRACE(what);
    const unsigned char* p = b.data();
    const std::uint32_t n = b.size();
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

// Runs every locator on `b` and the text functions on what they find;
// whatever is found must lie inside the buffer.
void walkEverything(const ExactBuffer& b) {
    const unsigned char* begin = b.data();
    const unsigned char* end = b.data() + b.size();
    auto inside = [&](const Asn1Cursor& c) {
        return c.ptr >= begin && c.ptr + c.size <= end && c.limit <= end && c.ptr + c.size <= c.limit;
    };
    for (int id : kCertIds) {
        Asn1Cursor c;
        if (!CertFieldLocate(b.data(), b.size(), id, &c)) continue;
        ASSERT_TRUE(inside(c)) << id;
        EXPECT_LT(std::strlen(Asn1NameToText(c.ptr, c.size)), kivo::asn1::kTextBufferSize);
        EXPECT_LT(std::strlen(Asn1ContentHex(c.ptr, c.size)), kivo::asn1::kTextBufferSize);
        Asn1CountSequences(c.ptr, c.size);
        Asn1Cursor child = c;
        if (Asn1Enter(c.ptr, &child) && child.size != 0) {
            ASSERT_TRUE(inside(child)) << id;
            do {
                ASSERT_TRUE(inside(child)) << id;
                Asn1DateText(child.ptr, child.size);
                Asn1OidToText(child.ptr, child.size, false);
                Asn1SmallInt(child.ptr, child.size);
                Asn1BitStringHex(child.ptr, child.size);
            } while (Asn1Next(child.ptr, &child));
        }
    }
    for (int id : kAttrCertIds) {
        Asn1Cursor c;
        if (AttrCertFieldLocate(b.data(), b.size(), id, &c)) {
            ASSERT_TRUE(inside(c)) << id;
        }
    }
}

}  // namespace

TEST(DerMalformed, EveryCutOfARealCertificateFails) {
    const Bytes cert = firstSystemCertificate();
    ASSERT_GT(cert.size(), 300u) << "no certificate in /etc/ssl/certs (package ca-certificates)";
    for (std::size_t cut = 0; cut < cert.size(); ++cut) {
        expectEverythingFails(ExactBuffer(cert.data(), cut), "cut at " + std::to_string(cut));
    }
    // The whole certificate is fine.
    ExactBuffer whole(cert);
    Asn1Cursor c;
    EXPECT_TRUE(CertFieldLocate(whole.data(), whole.size(), 105, &c));
}

TEST(DerMalformed, EveryCutOfAHandMadeCertificateFails) {
    const Bytes cert = handMadeCertificate();
    for (std::size_t cut = 0; cut < cert.size(); ++cut) {
        expectEverythingFails(ExactBuffer(cert.data(), cut), "cut at " + std::to_string(cut));
    }
}

TEST(DerMalformed, EveryCutOfEachLocatedFieldFails) {
    const Bytes cert = handMadeCertificate();
    ExactBuffer whole(cert);
    for (int id : kCertIds) {
        Asn1Cursor c;
        ASSERT_TRUE(CertFieldLocate(whole.data(), whole.size(), id, &c)) << id;
        const Bytes field(c.ptr, c.ptr + c.size);
        for (std::size_t cut = 0; cut < field.size(); ++cut) {
            expectEverythingFails(ExactBuffer(field.data(), cut),
                                  "field " + std::to_string(id) + " cut at " + std::to_string(cut));
        }
    }
}

TEST(DerMalformed, CorruptedCertificatesStayInBounds) {
    const Bytes original = firstSystemCertificate();
    ASSERT_FALSE(original.empty());
    const unsigned char replacements[] = {0x00, 0xFF, 0x80, 0x81, 0x84, 0x85, 0x1F, 0x30, 0xA0};
    for (std::size_t position = 0; position < original.size(); ++position) {
        for (unsigned char value : replacements) {
            Bytes corrupted = original;
            corrupted[position] = value;
            walkEverything(ExactBuffer(corrupted));
        }
        Bytes flipped = original;
        flipped[position] ^= 0x01;
        walkEverything(ExactBuffer(flipped));
    }
}

TEST(DerMalformed, CorruptedAttributeCertificatesStayInBounds) {
    const Bytes name = seq({rdn("2.5.4.3", 0x0C, "AC")});
    const Bytes algorithm = seq({oid("1.2.840.113549.1.1.11")});
    const Bytes ac = seq({seq({hex("02 01 01"), seq({tlv(0xA0, cat({seq({tlv(0xA4, name)}), hex("02 01 07")})),
                                                      tlv(0xA1, tlv(0xA4, name))}),
                               tlv(0xA0, seq({tlv(0xA4, name)})), algorithm, hex("02 01 05"),
                               seq({tlv(0x18, "20260101000000Z"), tlv(0x18, "20270101000000Z")}),
                               seq({}), tlv(0x03, hex("00 01")), seq({seq({oid("2.5.29.35")})})}),
                          algorithm, tlv(0x03, hex("00 01"))});
    for (std::size_t cut = 0; cut < ac.size(); ++cut) {
        expectEverythingFails(ExactBuffer(ac.data(), cut), "cut at " + std::to_string(cut));
    }
    for (std::size_t position = 0; position < ac.size(); ++position) {
        for (unsigned char value : {0x00, 0xFF, 0x80, 0x30, 0xA0, 0x02}) {
            Bytes corrupted = ac;
            corrupted[position] = value;
            walkEverything(ExactBuffer(corrupted));
        }
    }
}

TEST(DerMalformed, LengthsOfFiveOctets) {
    ExactBuffer element(hex("30 85 00 00 00 00 03 02 01 01"));
    expectEverythingFails(element, "five length octets");
    // Inside a Name and inside a certificate's serial.
    ExactBuffer name(cat({hex("30 0B 31 09 30 85 00 00 00 00 02"), hex("05 00")}));
    EXPECT_STREQ(Asn1NameToText(name.data(), name.size()), "");
    Bytes cert = handMadeCertificate();
    const Bytes serial = hex("02 02 00 80");
    const auto at = std::search(cert.begin(), cert.end(), serial.begin(), serial.end());
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
    Bytes tbsContent = cat({hex("02 01 01"), algorithm, name, seq({tlv(0x17, "260101000000Z"),
                            tlv(0x17, "270101000000Z")}), name, seq({algorithm, tlv(0x03, hex("00 01"))}),
                            extensions});
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
}

TEST(DerMalformed, IndefiniteLengthNamesAreRead) {
    // BER with indefinite lengths is walked, including a Name.
    ExactBuffer name(hex("30 80 31 80 30 80 06 03 55 04 03 0C 01 41 00 00 00 00 00 00"));
    EXPECT_STREQ(Asn1NameToText(name.data(), name.size()), "commonName=A");
    ExactBuffer hexValue(hex("24 80 04 01 AA 00 00"));
    EXPECT_STREQ(Asn1ContentHex(hexValue.data(), hexValue.size()), "0401AA");
}
