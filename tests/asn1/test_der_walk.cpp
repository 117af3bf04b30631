// Lengths, headers and cursor moves of the DER toolkit, and the failure
// value of every function on input it must refuse. Inputs are exact-size
// heap copies, so the sanitizer build reports any read past them;
// arbitrary shapes are left to the fuzz targets.

#include "tests/asn1/DerTestUtil.h"

#include "asn1/Asn1Der.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

using namespace kivo::test::der;
using kivo::asn1::kMaxIndefiniteDepth;

namespace {

// `depth` indefinite-length SEQUENCEs around a NULL.
Bytes nestedIndefinite(std::uint32_t depth) {
    Bytes out;
    for (std::uint32_t i = 0; i < depth; ++i) out.insert(out.end(), {0x30, 0x80});
    out.insert(out.end(), {0x05, 0x00});
    out.resize(out.size() + 2 * depth, 0x00);
    return out;
}

}  // namespace

TEST(DerWalk, LengthOfEachHeaderFormReadAndWritten) {
    // A refused element gives length 0 and leaves the offset as it was.
    const struct {
        const char* what;
        Bytes element;
        std::uint32_t offsetOnEntry, length, offset;
    } cases[] = {
        {"short form", tlv(0x04, Bytes(127, 0xAA)), 0, 127, 2},
        {"four length octets, the most, with leading zeros", cat({hex("04 84 00 00 01 00"), Bytes(256, 4)}), 0, 256, 6},
        {"offset advances from its value on entry", hex("02 01 07"), 10, 1, 12},
        {"indefinite: up to the closing pair only", hex("30 80 02 01 05 00 00 02 01 06"), 0, 5, 2},
        {"definite child holding indefinite ones", hex("30 80  30 06 30 80 05 00 00 00  00 00"), 0, 10, 2},
        {"indefinite nesting at the limit", nestedIndefinite(kMaxIndefiniteDepth), 0, 4 * kMaxIndefiniteDepth, 2},
        {"indefinite nesting beyond the limit", nestedIndefinite(kMaxIndefiniteDepth + 1), 0, 0, 0},
        {"five length octets", cat({hex("04 85 00 00 00 01 00"), Bytes(256, 5)}), 7, 0, 7},
        {"content one octet beyond the buffer", hex("04 04 01 02 03"), 0, 0, 0},
        {"high tag number", hex("BF 81 01 00"), 0, 0, 0},
        {"indefinite with a child past the end", hex("30 80 04 09 01 00 00"), 0, 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ExactBuffer b(c.element);
        std::uint32_t offset = c.offsetOnEntry;
        EXPECT_EQ(Asn1GetLength(b.data(), &offset, b.size()), c.length);
        EXPECT_EQ(offset, c.offset);
        const bool accepted = c.offset != c.offsetOnEntry;
        EXPECT_EQ(kivo::asn1::elementSize(b.data(), b.size()), accepted ? c.offset - c.offsetOnEntry + c.length : 0);
    }
    // Written lengths are minimal.
    for (const std::uint32_t length : {0u, 127u, 128u, 255u, 256u, 65535u, 65536u, 16777216u, 0xFFFFFFFFu}) {
        unsigned char out[8] = {};
        const Bytes header = kivo::test::derHeader(0x04, length);  // worked out apart from the library
        const Bytes expected(header.begin() + 1, header.end());
        ASSERT_EQ(kivo::asn1::writeLength(out, length), expected.size()) << length;
        EXPECT_EQ(kivo::asn1::lengthOctetCount(length), expected.size()) << length;
        EXPECT_EQ(Bytes(out, out + expected.size()), expected) << length;
    }
}

TEST(DerWalk, EnterAndNextWalkTheChildrenInsideTheParentOnly) {
    // The INTEGER after the SEQUENCE is not its child; a BIT STRING is
    // entered past its unused-bits octet.
    ExactBuffer b(cat({seq({hex("02 01 01"), tlv(0x03, cat({hex("00"), seq({})})), tlv(0xA0, hex("05 00"))}), hex("02 01 02")}));
    Asn1Cursor c = Asn1Begin(b.data(), b.size());
    ASSERT_TRUE(Asn1Enter(c.ptr, &c));
    std::vector<std::uint32_t> sizes;
    do sizes.push_back(c.size);
    while (Asn1Next(c.ptr, &c));
    EXPECT_EQ(sizes, (std::vector<std::uint32_t>{3, 5, 4}));
    c = Asn1Begin(b.data() + 5, 5);
    ASSERT_TRUE(Asn1Enter(c.ptr, &c));
    EXPECT_EQ(c.ptr, b.data() + 8);
    // One malformed input per rule: Enter refuses it, or Next the second child.
    const std::pair<Bytes, bool> cases[] = {
        {hex("30 06 02 01 01 04 05 AA"), true},      // the second child claims more than is left
        {hex("30 05 02 01 01 00 00"), true},         // identifier 00 ends the walk
        {hex("30 03 02 05 00 00 00 00 00"), false},  // a child past its parent while the buffer goes on
        {hex("30 05 02 01 05"), false},              // the element reaches past the buffer
    };
    for (const auto& [data, enters] : cases) {
        ExactBuffer e(data);
        Asn1Cursor cursor = Asn1Begin(e.data(), e.size());
        ASSERT_EQ(Asn1Enter(e.data(), &cursor), enters) << toHex(data);
        EXPECT_FALSE(enters && Asn1Next(cursor.ptr, &cursor)) << toHex(data);
    }
    // Walking flat through a buffer, the closing pair of an indefinite
    // parent is stepped over to what follows, unless that is 00 or nothing.
    for (const Bytes& tail : {hex("02 01 07"), hex("00 00"), Bytes{}}) {
        ExactBuffer e(cat({hex("30 80 04 03 01 02 03 00 00"), tail}));
        Asn1Cursor flat{5, e.data() + 2, e.data() + e.size()};
        EXPECT_EQ(Asn1Next(flat.ptr, &flat), tail.size() == 3) << toHex(tail);
    }
}

TEST(DerMalformed, EveryFunctionFailsOnOneInputPerRule) {
    const Bytes cert = CertParts{}.build();
    const std::pair<const char*, Bytes> cases[] = {
        {"certificate one octet short", Bytes(cert.begin(), cert.end() - 1)},
        {"five length octets", hex("30 85 00 00 00 00 03 02 01 01")},
        {"high tag number", hex("3F 02 02 01 01")},
        {"indefinite nesting beyond the limit", nestedIndefinite(kMaxIndefiniteDepth + 1)},
    };
    for (const auto& [what, input] : cases) {
        SCOPED_TRACE(what);
        const ExactBuffer b(input);
        const unsigned char* p = b.data();
        const auto n = static_cast<std::uint32_t>(b.size());
        Asn1Cursor c{n, p, p + n};
        EXPECT_FALSE(Asn1Next(p, &c) || Asn1Enter(p, &c));
        for (const char* text : {Asn1ContentHex(p, n), Asn1BitStringHex(p, n), Asn1ContentString(p, n),
                                 Asn1OidToText(p, n, false), Asn1DateText(p, n), Asn1NameToText(p, n)}) {
            EXPECT_STREQ(text, "");
        }
        EXPECT_EQ(Asn1BmpToWide(p, n)[0], u'\0');
        EXPECT_EQ(Asn1Bool(p, n) + Asn1SmallInt(p, n) + Asn1CountSequences(p, n), 0u);
        for (int id : {100, 101, 103, 104, 105, 106, 111, 112, 113, 114}) EXPECT_FALSE(CertFieldLocate(p, n, id, &c));
        for (int id : {100, 101, 102, 103, 104, 105, 106, 109, 110, 111}) EXPECT_FALSE(AttrCertFieldLocate(p, n, id, &c));
        EXPECT_FALSE(ContentFieldLocate(p, n, 200, &c));
    }
}
