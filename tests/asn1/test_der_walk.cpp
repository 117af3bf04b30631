// Lengths, headers and cursor moves of the DER toolkit (asn1/Asn1Der.cpp).

#include <gtest/gtest.h>

#include <string>

#include "DerTestUtil.h"
#include "asn1/Asn1Der.h"

using namespace kivo::test::der;
using kivo::asn1::elementSize;
using kivo::asn1::kMaxIndefiniteDepth;
using kivo::asn1::lengthOctetCount;
using kivo::asn1::parseHeader;
using kivo::asn1::writeLength;

namespace {

struct LengthRead {
    std::uint32_t length;
    std::uint32_t offset;
};

LengthRead readLength(const Bytes& element, std::uint32_t offsetOnEntry = 0) {
    ExactBuffer buffer(element);
    std::uint32_t offset = offsetOnEntry;
    const std::uint32_t length = Asn1GetLength(buffer.data(), &offset, buffer.size());
    return {length, offset};
}

// `depth` indefinite-length SEQUENCEs around a NULL.
Bytes nestedIndefinite(std::uint32_t depth) {
    Bytes out;
    for (std::uint32_t i = 0; i < depth; ++i) out.insert(out.end(), {0x30, 0x80});
    out.insert(out.end(), {0x05, 0x00});
    for (std::uint32_t i = 0; i < depth; ++i) out.insert(out.end(), {0x00, 0x00});
    return out;
}

}  // namespace

TEST(DerWalk, ShortFormLength) {
    const LengthRead r = readLength(tlv(0x04, Bytes(127, 0xAA)));
    EXPECT_EQ(r.length, 127u);
    EXPECT_EQ(r.offset, 2u);
    EXPECT_EQ(readLength(hex("05 00")).length, 0u);
    EXPECT_EQ(readLength(hex("05 00")).offset, 2u);
}

TEST(DerWalk, LongFormLengths) {
    LengthRead r = readLength(cat({hex("04 81 80"), Bytes(128, 1)}));
    EXPECT_EQ(r.length, 128u);
    EXPECT_EQ(r.offset, 3u);
    r = readLength(cat({hex("04 82 01 00"), Bytes(256, 2)}));
    EXPECT_EQ(r.length, 256u);
    EXPECT_EQ(r.offset, 4u);
    r = readLength(cat({hex("04 83 01 00 00"), Bytes(65536, 3)}));
    EXPECT_EQ(r.length, 65536u);
    EXPECT_EQ(r.offset, 5u);
    // Four length octets are the most there can be; leading zeros are read.
    r = readLength(cat({hex("04 84 00 00 01 00"), Bytes(256, 4)}));
    EXPECT_EQ(r.length, 256u);
    EXPECT_EQ(r.offset, 6u);
}

TEST(DerWalk, OffsetAdvancesFromItsValueOnEntry) {
    const LengthRead r = readLength(hex("02 01 07"), 10);
    EXPECT_EQ(r.length, 1u);
    EXPECT_EQ(r.offset, 12u);
}

TEST(DerWalk, LengthOfFiveOctetsIsRefused) {
    const LengthRead r = readLength(cat({hex("04 85 00 00 00 01 00"), Bytes(256, 5)}), 7);
    EXPECT_EQ(r.length, 0u);
    EXPECT_EQ(r.offset, 7u);
    EXPECT_EQ(readLength(hex("04 FF 00")).length, 0u);
}

TEST(DerWalk, ElementLargerThanTheBufferIsRefused) {
    EXPECT_EQ(readLength(hex("04 05 01 02 03")).length, 0u);
    EXPECT_EQ(readLength(hex("04 82 01")).length, 0u);       // length octet missing
    EXPECT_EQ(readLength(hex("04 82 01 00 AA")).length, 0u);  // content missing
    EXPECT_EQ(readLength(hex("04")).length, 0u);
    std::uint32_t offset = 0;
    EXPECT_EQ(Asn1GetLength(nullptr, &offset, 100), 0u);
    const Bytes fine = hex("02 01 07");
    EXPECT_EQ(Asn1GetLength(fine.data(), nullptr, fine.size()), 0u);
}

TEST(DerWalk, HighTagNumberIdentifierIsRefused) {
    EXPECT_EQ(readLength(hex("1F 01 00")).length, 0u);
    EXPECT_EQ(readLength(hex("BF 81 01 00")).length, 0u);
    const Bytes e = hex("3F 02 01 00");
    std::uint32_t header = 0, content = 0;
    EXPECT_FALSE(parseHeader(e.data(), e.size(), &header, &content));
}

TEST(DerWalk, IndefiniteLengthCountsUpToTheClosingPair) {
    const LengthRead r = readLength(hex("30 80 02 01 05 00 00"));
    EXPECT_EQ(r.length, 5u);
    EXPECT_EQ(r.offset, 2u);
    // Octets after the element do not count.
    EXPECT_EQ(readLength(hex("30 80 02 01 05 00 00 02 01 06")).length, 5u);
    // Empty content: just the closing pair.
    EXPECT_EQ(readLength(hex("30 80 00 00")).length, 2u);
}

TEST(DerWalk, NestedIndefiniteLengths) {
    // Inner indefinite SEQUENCE (7 octets), an OCTET STRING (3), the pair (2).
    const LengthRead r = readLength(hex("30 80  30 80 02 01 05 00 00  04 01 AA  00 00"));
    EXPECT_EQ(r.length, 12u);
    EXPECT_EQ(r.offset, 2u);
    // A definite element inside holding indefinite ones is skipped whole.
    EXPECT_EQ(readLength(hex("30 80  30 06 30 80 05 00 00 00  00 00")).length, 10u);
}

TEST(DerWalk, UnclosedIndefiniteLengthIsRefused) {
    EXPECT_EQ(readLength(hex("30 80 02 01 05")).length, 0u);
    EXPECT_EQ(readLength(hex("30 80 30 80 02 01 05 00 00")).length, 0u);
    EXPECT_EQ(readLength(hex("30 80 04 09 01 00 00")).length, 0u);  // child runs past the end
    EXPECT_EQ(readLength(hex("30 80 00")).length, 0u);
}

TEST(DerWalk, IndefiniteNestingIsLimited) {
    const Bytes deepest = nestedIndefinite(kMaxIndefiniteDepth);
    const LengthRead r = readLength(deepest);
    EXPECT_EQ(r.length, deepest.size() - 2);
    EXPECT_EQ(readLength(nestedIndefinite(kMaxIndefiniteDepth + 1)).length, 0u);
    EXPECT_EQ(readLength(nestedIndefinite(1000)).length, 0u);
}

TEST(DerWalk, ElementSizeIsHeaderPlusContent) {
    const Bytes e = cat({hex("04 82 01 00"), Bytes(256, 0)});
    EXPECT_EQ(elementSize(e.data(), e.size()), 260u);
    EXPECT_EQ(elementSize(e.data(), e.size() - 1), 0u);
    EXPECT_EQ(elementSize(e.data(), 1), 0u);
    EXPECT_EQ(elementSize(nullptr, 100), 0u);
    const Bytes indefinite = hex("24 80 04 01 AA 00 00");
    EXPECT_EQ(elementSize(indefinite.data(), indefinite.size()), 7u);
}

TEST(DerWalk, WriteLengthOctets) {
    struct Case {
        std::uint32_t length;
        Bytes octets;
    };
    const Case cases[] = {
        {0, hex("00")},
        {127, hex("7F")},
        {128, hex("81 80")},
        {255, hex("81 FF")},
        {256, hex("82 01 00")},
        {65535, hex("82 FF FF")},
        {65536, hex("83 01 00 00")},
        {16777215, hex("83 FF FF FF")},
        {16777216, hex("84 01 00 00 00")},
        {0xFFFFFFFFu, hex("84 FF FF FF FF")},
    };
    for (const Case& c : cases) {
        unsigned char out[8] = {};
        EXPECT_EQ(lengthOctetCount(c.length), c.octets.size()) << c.length;
        ASSERT_EQ(writeLength(out, c.length), c.octets.size()) << c.length;
        EXPECT_EQ(Bytes(out, out + c.octets.size()), c.octets) << c.length;
    }
}

TEST(DerWalk, WrittenLengthsReadBack) {
    for (std::uint32_t length : {0u, 1u, 100u, 127u, 128u, 200u, 255u, 256u, 1000u, 65535u, 65536u, 70000u}) {
        Bytes element{0x04};
        unsigned char octets[8];
        const std::uint32_t count = writeLength(octets, length);
        element.insert(element.end(), octets, octets + count);
        element.resize(element.size() + length, 0x5A);
        const LengthRead r = readLength(element);
        EXPECT_EQ(r.length, length);
        EXPECT_EQ(r.offset, 1 + count);
    }
}

TEST(DerWalk, BeginStandsOnTheFirstElement) {
    const Bytes data = hex("30 03 02 01 05 FF FF");
    Asn1Cursor c = Asn1Begin(data.data(), data.size());
    EXPECT_EQ(c.ptr, data.data());
    EXPECT_EQ(c.size, 5u);
    EXPECT_EQ(c.limit, data.data() + data.size());

    c = Asn1Begin(data.data(), 4);  // the SEQUENCE does not fit
    EXPECT_EQ(c.size, 0u);
    c = Asn1Begin(nullptr, 10);
    EXPECT_EQ(c.ptr, nullptr);
    EXPECT_EQ(c.size, 0u);
}

TEST(DerWalk, NextVisitsSiblingsAndStopsAtTheEnd) {
    const Bytes data = seq({hex("02 01 01"), hex("02 02 01 00"), tlv(0x04, "ab"), tlv(0xA0, hex("05 00"))});
    ExactBuffer b(data);
    Asn1Cursor c = Asn1Begin(b.data(), b.size());
    ASSERT_TRUE(Asn1Enter(c.ptr, &c));
    std::vector<unsigned> tags;
    std::vector<std::uint32_t> sizes;
    do {
        tags.push_back(Asn1Tag(c.ptr));
        sizes.push_back(c.size);
    } while (Asn1Next(c.ptr, &c));
    EXPECT_EQ(tags, (std::vector<unsigned>{2, 2, 4, 0xA0}));
    EXPECT_EQ(sizes, (std::vector<std::uint32_t>{3, 4, 4, 4}));
}

TEST(DerWalk, NextStaysInsideTheParent) {
    // The octets after the SEQUENCE are not its children.
    const Bytes data = hex("30 03 02 01 01  02 01 02");
    ExactBuffer b(data);
    Asn1Cursor c = Asn1Begin(b.data(), b.size());
    ASSERT_TRUE(Asn1Enter(c.ptr, &c));
    EXPECT_EQ(c.limit, b.data() + 5);
    EXPECT_FALSE(Asn1Next(c.ptr, &c));
}

TEST(DerWalk, NextRefusesMalformedSiblings) {
    // Second child claims five octets where one is left.
    ExactBuffer pastParent(hex("30 06 02 01 01 04 05 AA"));
    Asn1Cursor c = Asn1Begin(pastParent.data(), pastParent.size());
    ASSERT_TRUE(Asn1Enter(c.ptr, &c));
    EXPECT_FALSE(Asn1Next(c.ptr, &c));
    // High-tag-number sibling.
    ExactBuffer highTag(hex("30 06 02 01 01 1F 01 00"));
    c = Asn1Begin(highTag.data(), highTag.size());
    ASSERT_TRUE(Asn1Enter(c.ptr, &c));
    EXPECT_FALSE(Asn1Next(c.ptr, &c));
    // The current element is larger than the cursor says.
    ExactBuffer two(hex("30 06 02 01 01 02 01 02"));
    c = Asn1Begin(two.data(), two.size());
    ASSERT_TRUE(Asn1Enter(c.ptr, &c));
    c.size = 2;
    EXPECT_FALSE(Asn1Next(c.ptr, &c));
    EXPECT_FALSE(Asn1Next(nullptr, &c));
    EXPECT_FALSE(Asn1Next(two.data(), nullptr));
}

TEST(DerWalk, NextEndsAtZeroOrFFIdentifier) {
    for (unsigned char end : {0x00, 0xFF}) {
        Bytes data = hex("02 01 01");
        data.push_back(end);
        data.push_back(0x00);
        ExactBuffer b(data);
        Asn1Cursor c = Asn1Begin(b.data(), b.size());
        EXPECT_FALSE(Asn1Next(c.ptr, &c)) << int(end);
    }
}

TEST(DerWalk, NextSkipsTheClosingPairOfAnIndefiniteParent) {
    // Entered normally, the parent's content ends after the pair.
    ExactBuffer b(hex("30 80 04 03 01 02 03 00 00  02 01 07"));
    Asn1Cursor c = Asn1Begin(b.data(), b.size());
    EXPECT_EQ(c.size, 9u);
    ASSERT_TRUE(Asn1Enter(c.ptr, &c));
    EXPECT_EQ(c.ptr, b.data() + 2);
    EXPECT_EQ(c.size, 5u);
    EXPECT_FALSE(Asn1Next(c.ptr, &c));

    // Walking flat through a buffer, the pair is stepped over: what follows
    // is the next element, or the end when its identifier is 00 or FF.
    Asn1Cursor flat{5, b.data() + 2, b.data() + b.size()};
    ASSERT_TRUE(Asn1Next(flat.ptr, &flat));
    EXPECT_EQ(flat.ptr, b.data() + 9);
    EXPECT_EQ(flat.size, 3u);
    for (unsigned char end : {0x00, 0xFF}) {
        Bytes data = hex("30 80 04 03 01 02 03 00 00");
        data.push_back(end);
        data.push_back(0x00);
        ExactBuffer e(data);
        Asn1Cursor f{5, e.data() + 2, e.data() + e.size()};
        EXPECT_FALSE(Asn1Next(f.ptr, &f)) << int(end);
    }
    // Nothing at all after the pair.
    ExactBuffer tail(hex("30 80 04 03 01 02 03 00 00"));
    Asn1Cursor t{5, tail.data() + 2, tail.data() + tail.size()};
    EXPECT_FALSE(Asn1Next(t.ptr, &t));
}

TEST(DerWalk, EnterLandsOnTheFirstChild) {
    ExactBuffer b(hex("30 06 02 01 05 04 01 AA"));
    Asn1Cursor c = Asn1Begin(b.data(), b.size());
    ASSERT_TRUE(Asn1Enter(c.ptr, &c));
    EXPECT_EQ(c.ptr, b.data() + 2);
    EXPECT_EQ(c.size, 3u);
    EXPECT_EQ(c.limit, b.data() + 8);
}

TEST(DerWalk, EnterBitStringSkipsTheUnusedBitsOctet) {
    ExactBuffer b(hex("03 0A 00 30 07 02 01 01 02 02 00 FF"));
    Asn1Cursor c = Asn1Begin(b.data(), b.size());
    ASSERT_TRUE(Asn1Enter(c.ptr, &c));
    EXPECT_EQ(c.ptr, b.data() + 3);
    EXPECT_EQ(c.size, 9u);
    ASSERT_TRUE(Asn1Enter(c.ptr, &c));
    EXPECT_EQ(Asn1SmallInt(c.ptr, c.size), 1u);
    ASSERT_TRUE(Asn1Next(c.ptr, &c));
    EXPECT_EQ(Asn1SmallInt(c.ptr, c.size), 0xFFu);
}

TEST(DerWalk, EnterEmptyElement) {
    ExactBuffer empty(hex("30 00"));
    Asn1Cursor c = Asn1Begin(empty.data(), empty.size());
    ASSERT_TRUE(Asn1Enter(c.ptr, &c));
    EXPECT_EQ(c.size, 0u);
    ExactBuffer indefinite(hex("30 80 00 00"));
    c = Asn1Begin(indefinite.data(), indefinite.size());
    ASSERT_TRUE(Asn1Enter(c.ptr, &c));
    EXPECT_EQ(c.size, 0u);
    ExactBuffer bitString(hex("03 01 00"));
    c = Asn1Begin(bitString.data(), bitString.size());
    ASSERT_TRUE(Asn1Enter(c.ptr, &c));
    EXPECT_EQ(c.size, 0u);
}

TEST(DerWalk, EnterRefusesMalformedChildren) {
    // The child claims five octets of a three-octet content, while the
    // buffer goes on.
    ExactBuffer pastParent(hex("30 03 02 05 00 00 00 00 00"));
    Asn1Cursor c = Asn1Begin(pastParent.data(), pastParent.size());
    EXPECT_FALSE(Asn1Enter(c.ptr, &c));
    // Content that is no DER.
    ExactBuffer octets(hex("04 02 FF FF"));
    c = Asn1Begin(octets.data(), octets.size());
    EXPECT_FALSE(Asn1Enter(c.ptr, &c));
    // The element itself reaches past the buffer.
    ExactBuffer cut(hex("30 05 02 01 05"));
    c = Asn1Begin(cut.data(), cut.size());
    EXPECT_FALSE(Asn1Enter(cut.data(), &c));
    EXPECT_FALSE(Asn1Enter(nullptr, &c));
    Asn1Cursor unbounded{3, cut.data(), nullptr};
    EXPECT_FALSE(Asn1Enter(cut.data(), &unbounded));
}

TEST(DerWalk, TagsOfIdentifierOctets) {
    const struct {
        unsigned char identifier;
        unsigned tag, tagClass, number;
    } cases[] = {
        {0x02, 2, 0x00, 2},    {0x30, 16, 0x00, 16},  {0x31, 17, 0x00, 17}, {0x17, 23, 0x00, 23},
        {0xA0, 0xA0, 0x80, 0}, {0xA3, 0xA3, 0x80, 3}, {0x80, 0x80, 0x80, 0}, {0x86, 0x86, 0x80, 6},
        {0x41, 0x41, 0x40, 1}, {0xE5, 0xE5, 0xC0, 5},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Asn1Tag(&c.identifier), c.tag) << int(c.identifier);
        EXPECT_EQ(Asn1TagClass(&c.identifier), c.tagClass) << int(c.identifier);
        EXPECT_EQ(Asn1TagNumber(&c.identifier), c.number) << int(c.identifier);
    }
    EXPECT_EQ(Asn1Tag(nullptr), 0u);
    EXPECT_EQ(Asn1TagClass(nullptr), 0u);
    EXPECT_EQ(Asn1TagNumber(nullptr), 0u);
}

TEST(DerWalk, WalksADeepDefiniteStructure) {
    // 200 nested SEQUENCEs around an INTEGER: entering all the way down.
    Bytes element = hex("02 01 2A");
    for (int i = 0; i < 200; ++i) element = tlv(0x30, element);
    ExactBuffer b(element);
    Asn1Cursor c = Asn1Begin(b.data(), b.size());
    int depth = 0;
    while (c.ptr[0] == 0x30) {
        ASSERT_TRUE(Asn1Enter(c.ptr, &c));
        ++depth;
    }
    EXPECT_EQ(depth, 200);
    EXPECT_EQ(Asn1SmallInt(c.ptr, c.size), 42u);
    EXPECT_EQ(c.ptr + c.size, b.data() + b.size());
}
