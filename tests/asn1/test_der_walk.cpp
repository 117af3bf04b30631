// Lengths, headers and cursor moves of the DER toolkit (asn1/Asn1Der.cpp).

#include <gtest/gtest.h>

#include <string>

#include "tests/asn1/DerTestUtil.h"
#include "asn1/Asn1Der.h"
#include "tests/support/TestSupport.h"

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

TEST(DerWalk, GetLengthOfEachHeaderForm) {
    // A refused element gives length 0 and leaves the offset as it was.
    const struct {
        const char* what;
        Bytes element;
        std::uint32_t offsetOnEntry, length, offset;
    } cases[] = {
        {"short form", tlv(0x04, Bytes(127, 0xAA)), 0, 127, 2},
        {"empty content", hex("05 00"), 0, 0, 2},
        {"one length octet", cat({hex("04 81 80"), Bytes(128, 1)}), 0, 128, 3},
        {"two length octets", cat({hex("04 82 01 00"), Bytes(256, 2)}), 0, 256, 4},
        {"three length octets", cat({hex("04 83 01 00 00"), Bytes(65536, 3)}), 0, 65536, 5},
        {"four, the most, with leading zeros", cat({hex("04 84 00 00 01 00"), Bytes(256, 4)}), 0, 256, 6},
        {"offset advances from its value on entry", hex("02 01 07"), 10, 1, 12},
        {"indefinite: up to the closing pair", hex("30 80 02 01 05 00 00"), 0, 5, 2},
        {"indefinite: later octets do not count", hex("30 80 02 01 05 00 00 02 01 06"), 0, 5, 2},
        {"indefinite: only the closing pair", hex("30 80 00 00"), 0, 2, 2},
        {"indefinite inside indefinite", hex("30 80  30 80 02 01 05 00 00  04 01 AA  00 00"), 0, 12, 2},
        {"definite child holding indefinite ones", hex("30 80  30 06 30 80 05 00 00 00  00 00"), 0, 10, 2},
        {"five length octets", cat({hex("04 85 00 00 00 01 00"), Bytes(256, 5)}), 7, 0, 7},
        {"length octet FF", hex("04 FF 00"), 0, 0, 0},
        {"content beyond the buffer", hex("04 05 01 02 03"), 0, 0, 0},
        {"length octet missing", hex("04 82 01"), 0, 0, 0},
        {"content missing", hex("04 82 01 00 AA"), 0, 0, 0},
        {"identifier only", hex("04"), 0, 0, 0},
        {"high tag number", hex("1F 01 00"), 0, 0, 0},
        {"high tag number, context class", hex("BF 81 01 00"), 0, 0, 0},
        {"indefinite never closed", hex("30 80 02 01 05"), 0, 0, 0},
        {"inner indefinite closed, outer not", hex("30 80 30 80 02 01 05 00 00"), 0, 0, 0},
        {"indefinite with a child past the end", hex("30 80 04 09 01 00 00"), 0, 0, 0},
        {"half a closing pair", hex("30 80 00"), 0, 0, 0},
    };
    for (const auto& c : cases) {
        const LengthRead r = readLength(c.element, c.offsetOnEntry);
        EXPECT_EQ(r.length, c.length) << c.what;
        EXPECT_EQ(r.offset, c.offset) << c.what;
    }
    std::uint32_t offset = 0;
    EXPECT_EQ(Asn1GetLength(nullptr, &offset, 100), 0u);
    const Bytes fine = hex("02 01 07");
    EXPECT_EQ(Asn1GetLength(fine.data(), nullptr, fine.size()), 0u);
    std::uint32_t header = 0, content = 0;
    EXPECT_FALSE(parseHeader(hex("3F 02 01 00").data(), 4, &header, &content));
}

TEST(DerWalk, IndefiniteNestingIsLimited) {
    const Bytes deepest = nestedIndefinite(kMaxIndefiniteDepth);
    EXPECT_EQ(readLength(deepest).length, deepest.size() - 2);
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

TEST(DerWalk, WrittenLengthsAreMinimalAndReadBack) {
    const struct {
        std::uint32_t length;
        Bytes octets;
    } cases[] = {
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
    for (const auto& c : cases) {
        unsigned char out[8] = {};
        EXPECT_EQ(lengthOctetCount(c.length), c.octets.size()) << c.length;
        ASSERT_EQ(writeLength(out, c.length), c.octets.size()) << c.length;
        EXPECT_EQ(Bytes(out, out + c.octets.size()), c.octets) << c.length;
        if (c.length > 70000) continue;
        // The reader takes back what the writer wrote.
        Bytes element = cat({Bytes{0x04}, c.octets});
        element.resize(element.size() + c.length, 0x5A);
        const LengthRead r = readLength(element);
        EXPECT_EQ(r.length, c.length);
        EXPECT_EQ(r.offset, 1 + c.octets.size());
    }
}

TEST(DerWalk, BeginStandsOnTheFirstElement) {
    const Bytes data = hex("30 03 02 01 05 FF FF");
    Asn1Cursor c = Asn1Begin(data.data(), data.size());
    EXPECT_EQ(c.ptr, data.data());
    EXPECT_EQ(c.size, 5u);
    EXPECT_EQ(c.limit, data.data() + data.size());
    EXPECT_EQ(Asn1Begin(data.data(), 4).size, 0u);  // the SEQUENCE does not fit
    c = Asn1Begin(nullptr, 10);
    EXPECT_EQ(c.ptr, nullptr);
    EXPECT_EQ(c.size, 0u);
}

TEST(DerWalk, EnterAndNextWalkTheChildrenInsideTheParent) {
    // The octets after the SEQUENCE are not its children.
    const Bytes data = cat({seq({hex("02 01 01"), hex("02 02 01 00"), tlv(0x04, "ab"), tlv(0xA0, hex("05 00"))}),
                            hex("02 01 02")});
    ExactBuffer b(data);
    Asn1Cursor c = Asn1Begin(b.data(), b.size());
    ASSERT_TRUE(Asn1Enter(c.ptr, &c));
    EXPECT_EQ(c.ptr, b.data() + 2);
    EXPECT_EQ(c.limit, b.data() + data.size() - 3);
    std::vector<unsigned> tags;
    std::vector<std::uint32_t> sizes;
    do {
        tags.push_back(Asn1Tag(c.ptr));
        sizes.push_back(c.size);
    } while (Asn1Next(c.ptr, &c));
    EXPECT_EQ(tags, (std::vector<unsigned>{2, 2, 4, 0xA0}));
    EXPECT_EQ(sizes, (std::vector<std::uint32_t>{3, 4, 4, 4}));

    // The current element larger than the cursor says, or nothing at all.
    ExactBuffer two(hex("30 06 02 01 01 02 01 02"));
    c = Asn1Begin(two.data(), two.size());
    ASSERT_TRUE(Asn1Enter(c.ptr, &c));
    c.size = 2;
    EXPECT_FALSE(Asn1Next(c.ptr, &c));
    EXPECT_FALSE(Asn1Next(nullptr, &c));
    EXPECT_FALSE(Asn1Next(two.data(), nullptr));
}

TEST(DerWalk, EnterRefusesMalformedChildrenAndNextMalformedSiblings) {
    const struct {
        const char* what;
        Bytes data;
        bool enters;  // when it does, the step to the second child must fail
    } cases[] = {
        {"second child claims five octets where one is left", hex("30 06 02 01 01 04 05 AA"), true},
        {"high-tag-number sibling", hex("30 06 02 01 01 1F 01 00"), true},
        {"identifier 00 ends the walk", hex("30 05 02 01 01 00 00"), true},
        {"identifier FF ends the walk", hex("30 05 02 01 01 FF 00"), true},
        {"child past its parent while the buffer goes on", hex("30 03 02 05 00 00 00 00 00"), false},
        {"content that is no DER", hex("04 02 FF FF"), false},
    };
    for (const auto& c : cases) {
        ExactBuffer b(c.data);
        Asn1Cursor cursor = Asn1Begin(b.data(), b.size());
        ASSERT_EQ(Asn1Enter(cursor.ptr, &cursor), c.enters) << c.what;
        if (c.enters) {
            EXPECT_FALSE(Asn1Next(cursor.ptr, &cursor)) << c.what;
        }
    }
    // The element itself reaches past the buffer, or there is no bound.
    ExactBuffer cut(hex("30 05 02 01 05"));
    Asn1Cursor c = Asn1Begin(cut.data(), cut.size());
    EXPECT_FALSE(Asn1Enter(cut.data(), &c));
    EXPECT_FALSE(Asn1Enter(nullptr, &c));
    Asn1Cursor unbounded{3, cut.data(), nullptr};
    EXPECT_FALSE(Asn1Enter(cut.data(), &unbounded));
}

TEST(DerWalk, EnterEmptyElementsAndBitStrings) {
    for (const Bytes& empty : {hex("30 00"), hex("30 80 00 00"), hex("03 01 00")}) {
        ExactBuffer b(empty);
        Asn1Cursor c = Asn1Begin(b.data(), b.size());
        ASSERT_TRUE(Asn1Enter(c.ptr, &c)) << kivo::test::toHex(empty);
        EXPECT_EQ(c.size, 0u);
    }
    // A BIT STRING is entered past its unused-bits octet.
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

TEST(DerWalk, NextSkipsTheClosingPairOfAnIndefiniteParent) {
    // Entered normally, the parent's content ends at the pair.
    ExactBuffer b(hex("30 80 04 03 01 02 03 00 00  02 01 07"));
    Asn1Cursor c = Asn1Begin(b.data(), b.size());
    EXPECT_EQ(c.size, 9u);
    ASSERT_TRUE(Asn1Enter(c.ptr, &c));
    EXPECT_EQ(c.ptr, b.data() + 2);
    EXPECT_EQ(c.size, 5u);
    EXPECT_FALSE(Asn1Next(c.ptr, &c));

    // Walking flat through a buffer, the pair is stepped over: what follows
    // is the next element, or the end when its identifier is 00 or FF or
    // when nothing follows.
    Asn1Cursor flat{5, b.data() + 2, b.data() + b.size()};
    ASSERT_TRUE(Asn1Next(flat.ptr, &flat));
    EXPECT_EQ(flat.ptr, b.data() + 9);
    EXPECT_EQ(flat.size, 3u);
    for (const Bytes& tail : {hex("00 00"), hex("FF 00"), Bytes{}}) {
        ExactBuffer e(cat({hex("30 80 04 03 01 02 03 00 00"), tail}));
        Asn1Cursor f{5, e.data() + 2, e.data() + e.size()};
        EXPECT_FALSE(Asn1Next(f.ptr, &f)) << kivo::test::toHex(tail);
    }
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
