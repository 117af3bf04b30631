// The base of the DER class family and its leaf classes.

#include "tests/asn1/CmsTestUtil.h"

#include "asn1/Asn1Primitives.h"
#include "asn1/CmsAlgorithm.h"
#include "tests/support/LogCapture.h"

#include <gtest/gtest.h>

#include <climits>
#include <random>
#include <type_traits>

using kivo::asn1::Id;
using kivo::test::cms::Bytes;
using kivo::test::cms::bytesOf;
using kivo::test::cms::fromHex;
using kivo::test::cms::HeapCopy;
using kivo::test::cms::hexOf;
using kivo::test::cms::tlv;

namespace {

// Exposes the protected base operations for testing.
class BaseProbe : public CAsn1Base {
public:
    explicit BaseProbe(const Bytes& bytes) { copyBytes(bytes.data(), bytes.size()); }
    bool decode() override { return true; }
    bool encode() override { return true; }

    using CAsn1Base::cursor;
    using CAsn1Base::cursorAt;
    using CAsn1Base::cursorAtEnd;
    using CAsn1Base::cursorContentLength;
    using CAsn1Base::cursorElementSize;
    using CAsn1Base::cursorEnter;
    using CAsn1Base::cursorNext;
    using CAsn1Base::resetCursor;
};

template <class T>
T fromBytes(const Bytes& bytes) {
    const HeapCopy copy(bytes);
    return T(copy.data(), copy.size());
}

}  // namespace

// ---- base ------------------------------------------------------------------------

static_assert(!std::is_copy_constructible_v<CAsn1_Int>);
static_assert(!std::is_copy_assignable_v<CAsn1_Oid>);
static_assert(std::has_virtual_destructor_v<CAsn1Base>);

TEST(Asn1ClassBase, CursorWalksChildrenAndStopsAtTheParentsEnd) {
    // 30 { 02 01 05, 31 { 04 00 }, 05 00 } followed by one octet outside.
    BaseProbe probe(fromHex("30 09 020105 31020400 0500 FF"));
    probe.resetCursor();
    EXPECT_EQ(probe.cursorElementSize(), 11u);
    EXPECT_EQ(probe.cursorContentLength(), 9u);
    ASSERT_TRUE(probe.cursorEnter());
    EXPECT_TRUE(probe.cursorAt(Id::Integer));
    EXPECT_FALSE(probe.cursorAtEnd());
    ASSERT_TRUE(probe.cursorNext());
    EXPECT_TRUE(probe.cursorAt(Id::Set));
    EXPECT_EQ(probe.cursorElementSize(), 4u);
    ASSERT_TRUE(probe.cursorNext());
    EXPECT_TRUE(probe.cursorAt(Id::Null));
    EXPECT_TRUE(probe.cursorAtEnd());
    EXPECT_EQ(probe.getError(), 0);
    // The octet after the SEQUENCE is outside the walk.
    EXPECT_FALSE(probe.cursorNext());
    EXPECT_EQ(probe.getError(), kDerError);
}

TEST(Asn1ClassBase, CursorEntersEmptyElementsAndBitStringsButNoChildPastItsParent) {
    BaseProbe empty(fromHex("30 00"));
    empty.resetCursor();
    ASSERT_TRUE(empty.cursorEnter());
    EXPECT_EQ(empty.cursor.size, 0u);
    EXPECT_TRUE(empty.cursorAtEnd());
    // A BIT STRING is entered past its unused-bits octet.
    BaseProbe bits(fromHex("03 06 00 30 03 020107"));
    bits.resetCursor();
    ASSERT_TRUE(bits.cursorEnter());
    EXPECT_TRUE(bits.cursorAt(Id::Sequence));
    EXPECT_EQ(bits.cursorElementSize(), 5u);
    // The child claims 4 content octets; the parent holds only 3 of them,
    // though the buffer has more.
    BaseProbe overlong(fromHex("30 05 0404 010203 0405"));
    overlong.resetCursor();
    EXPECT_FALSE(overlong.cursorEnter());
    EXPECT_EQ(overlong.getError(), kDerError);
}

// ---- INTEGER -----------------------------------------------------------------------

TEST(Asn1ClassPrimitives, IntegerEncodesTheShortestTwosComplement) {
    const std::pair<std::int32_t, const char*> cases[] = {
        {0, "020100"},           {10, "02010A"},          {127, "02017F"},
        {128, "02020080"},       {200, "020200C8"},       {255, "020200FF"},
        {256, "02020100"},       {32767, "02027FFF"},     {32768, "0203008000"},
        {-1, "0201FF"},          {-128, "020180"},        {-129, "0202FF7F"},
        {-32768, "02028000"},    {-32769, "0203FF7FFF"},  {INT32_MAX, "02047FFFFFFF"},
        {INT32_MIN, "020480000000"},
    };
    for (const auto& [value, expected] : cases) {
        const CAsn1_Int integer(value);
        EXPECT_EQ(integer.getError(), 0) << value;
        EXPECT_EQ(hexOf(bytesOf(integer)), expected) << value;
        EXPECT_EQ(integer.value(), value);
        EXPECT_EQ(integer.getTag(), 2u);
        EXPECT_EQ(integer.text(), std::string(expected).substr(4)) << value;
    }
}

TEST(Asn1ClassPrimitives, IntegerDecodesWhatItEncodes) {
    std::mt19937 generator(7);
    std::vector<std::int32_t> values{0, 1, -1, 127, 128, -128, -129, INT32_MAX, INT32_MIN};
    for (int i = 0; i < 500; ++i) values.push_back(static_cast<std::int32_t>(generator()));
    for (const std::int32_t value : values) {
        const CAsn1_Int encoded(value);
        const auto decoded = fromBytes<CAsn1_Int>(bytesOf(encoded));
        ASSERT_EQ(decoded.getError(), 0) << value;
        EXPECT_EQ(decoded.value(), value);
        EXPECT_EQ(decoded.text(), encoded.text());
    }
}

TEST(Asn1ClassPrimitives, IntegerDecodeKeepsLongValuesAsText) {
    const auto small = fromBytes<CAsn1_Int>(fromHex("02 01 0A"));
    EXPECT_EQ(small.value(), 10);
    EXPECT_EQ(small.text(), "0A");

    // 2^32 - 1 needs five octets with its sign octet: no 32-bit value.
    const auto unsignedMax = fromBytes<CAsn1_Int>(fromHex("02 05 00FFFFFFFF"));
    EXPECT_EQ(unsignedMax.getError(), 0);
    EXPECT_EQ(unsignedMax.value(), 0);
    EXPECT_EQ(unsignedMax.text(), "00FFFFFFFF");

    // A redundant sign octet still gives the value.
    const auto padded = fromBytes<CAsn1_Int>(fromHex("02 03 FFFF7F"));
    EXPECT_EQ(padded.value(), -129);

    const auto modulus = fromBytes<CAsn1_Int>(tlv(0x02, Bytes(257, 0xC3)));
    EXPECT_EQ(modulus.getError(), 0);
    EXPECT_EQ(modulus.text().size(), 514u);
}

TEST(Asn1ClassPrimitives, IntegerRefusesMalformedInput) {
    {
        // A wrong element keeps the result code and says at DEBUG what was
        // expected and what was found, for a primitive and inside a composite.
        kivo::test::LogCapture log(log4cxx::Logger::getLogger("KivoCryptoSSL.Asn1"));
        EXPECT_EQ(fromBytes<CAsn1_Int>(fromHex("04 01 00")).getError(), kDerError);
        EXPECT_EQ(fromBytes<CAsn1_AlgoIdent>(fromHex("30 03 A1 01 00")).getError(), kDerError);
        EXPECT_EQ(log.messages(), (std::vector<std::string>{
                                      "DER element: expected INTEGER, found OCTET STRING",
                                      "DER decode: expected OBJECT IDENTIFIER, found [1] constructed"}));
    }
    EXPECT_EQ(fromBytes<CAsn1_Int>(fromHex("02 00")).getError(), kDerError);     // no content
    EXPECT_EQ(fromBytes<CAsn1_Int>(fromHex("02 02 00")).getError(), kDerError);  // truncated
    EXPECT_EQ(fromBytes<CAsn1_Int>(fromHex("02 80 01 00 00")).getError(), kDerError);
    EXPECT_EQ(fromBytes<CAsn1_Int>(fromHex("02")).getError(), kDerError);

    const CAsn1_Int null(nullptr, 3);
    EXPECT_EQ(null.getError(), kDerError);
    EXPECT_EQ(null.getPb(), nullptr);
    EXPECT_EQ(null.getCb(), 0u);
    const unsigned char one = 2;
    EXPECT_EQ(CAsn1_Int(&one, 0).getError(), kDerError);
}

// ---- OBJECT IDENTIFIER ---------------------------------------------------------------

TEST(Asn1ClassPrimitives, OidDecodesToDottedTextAndRegistryName) {
    const struct {
        Bytes element;
        const char* dotted;  // nullptr: refused
        const char* name;
    } cases[] = {
        {fromHex("06 09 2A864886F70D010702"), "1.2.840.113549.1.7.2", ""},  // not in the registry
        {kivo::test::cms::oidElement("1.2.840.113549.1.1.1"), "1.2.840.113549.1.1.1", "rsaEncryption"},
        {fromHex("06 03 883701"), "2.999.1", ""},
        {fromHex("06 00"), nullptr, ""},
        {fromHex("06 02 2A86"), nullptr, ""},            // open subidentifier
        {fromHex("06 05 2A8648"), nullptr, ""},          // truncated
        {fromHex("04 03 2A8648"), nullptr, ""},          // wrong tag
        {fromHex("06 07 2A 9080808000"), nullptr, ""},   // an arc beyond 32 bits
    };
    for (const auto& c : cases) {
        const auto decoded = fromBytes<CAsn1_Oid>(c.element);
        if (c.dotted == nullptr) {
            EXPECT_EQ(decoded.getError(), kDerError) << hexOf(c.element);
            continue;
        }
        ASSERT_EQ(decoded.getError(), 0) << hexOf(c.element);
        EXPECT_EQ(decoded.dotted(), c.dotted);
        EXPECT_EQ(decoded.name(), c.name);
        EXPECT_EQ(decoded.getElementSize(), c.element.size() - 2);  // an OID counts its content
    }
    // Encoded, with the name it is given.
    const CAsn1_Oid oid("1.2.840.113549.1.7.2", "signedData");
    ASSERT_EQ(oid.getError(), 0);
    EXPECT_EQ(hexOf(bytesOf(oid)), "06092A864886F70D010702");
    EXPECT_EQ(oid.name(), "signedData");
    EXPECT_EQ(oid.getTag(), 6u);
}

TEST(Asn1ClassPrimitives, OidEncodeRefusesWhatItCannotWrite) {
    const char* refused[] = {
        "2.5",               // two arcs
        "3.1.1",             // first arc above 2
        "1.40.1",            // second arc 40
        "2.999.1",           // second arc above 39
        "1.2.x",             // not a number
        "1..2",              // empty arc
        "1.2.",              // empty last arc
        "-1.2.3",            // sign
        " 1.2.3",            // blank
        "1.2.+3",            // sign
        "1.2.4294967296",    // beyond 32 bits
        "1.2.99999999999999999999",
        "",
    };
    for (const char* dotted : refused) {
        const CAsn1_Oid oid(dotted, "name");
        EXPECT_EQ(oid.getError(), kDerError) << dotted;
        EXPECT_EQ(oid.getPb(), nullptr) << dotted;  // the encoding stays empty
        EXPECT_EQ(oid.getCb(), 0u) << dotted;
    }
    const CAsn1_Oid largest("1.39.4294967295", "");
    ASSERT_EQ(largest.getError(), 0);
    EXPECT_EQ(hexOf(bytesOf(largest)), "06064F8FFFFFFF7F");
}

TEST(Asn1ClassPrimitives, OidContentIsLimitedTo127Octets) {
    // "1.2" gives one content octet, each further arc "1" one more.
    std::string dotted = "1.2";
    for (int i = 0; i < 126; ++i) dotted += ".1";
    const CAsn1_Oid longest(dotted, "");
    ASSERT_EQ(longest.getError(), 0);
    EXPECT_EQ(longest.getCb(), 129u);
    EXPECT_EQ(longest.getPb()[1], 127);

    const CAsn1_Oid tooLong(dotted + ".1", "");
    EXPECT_EQ(tooLong.getError(), kDerError);
    EXPECT_EQ(tooLong.getPb(), nullptr);
}

TEST(Asn1ClassPrimitives, OidCopyEncodesTheSameOidWithItsName) {
    const CAsn1_Oid original("1.3.14.3.2.26", "sha-160");
    const CAsn1_Oid copy(original);
    EXPECT_EQ(copy.getError(), 0);
    EXPECT_EQ(bytesOf(copy), bytesOf(original));
    EXPECT_EQ(copy.dotted(), "1.3.14.3.2.26");
    EXPECT_EQ(copy.name(), "sha-160");
    EXPECT_TRUE(copy.is("1.3.14.3.2.26"));
}

// ---- OCTET STRING --------------------------------------------------------------------

TEST(Asn1ClassPrimitives, OctetStringFromHexText) {
    const CAsn1_OctetString octets("01 02:ab");
    ASSERT_EQ(octets.getError(), 0);
    EXPECT_EQ(hexOf(bytesOf(octets)), "04030102AB");
    EXPECT_EQ(octets.text(), "0102AB");
    EXPECT_EQ(octets.getTag(), 4u);
    EXPECT_EQ(hexOf(Bytes(octets.content().begin(), octets.content().end())), "0102AB");

    const CAsn1_OctetString empty("");
    ASSERT_EQ(empty.getError(), 0);
    EXPECT_EQ(hexOf(bytesOf(empty)), "0400");

    EXPECT_EQ(CAsn1_OctetString("ABC").getError(), kDerError);  // odd length
    EXPECT_EQ(CAsn1_OctetString("GG").getError(), kDerError);   // not hex
}

TEST(Asn1ClassPrimitives, OctetStringUsesLongFormLengths) {
    const Bytes content(200, 0x5A);
    const auto octets = CAsn1_OctetString::fromOctets(content.data(), content.size());
    ASSERT_TRUE(octets);
    ASSERT_EQ(octets->getError(), 0);
    EXPECT_EQ(bytesOf(*octets), tlv(0x04, content));
    EXPECT_EQ(hexOf(bytesOf(*octets)).substr(0, 6), "0481C8");

    const CAsn1_OctetString fromText(hexOf(content));
    EXPECT_EQ(bytesOf(fromText), bytesOf(*octets));
    EXPECT_EQ(fromText.text(), octets->text());

    const auto decoded = fromBytes<CAsn1_OctetString>(bytesOf(*octets));
    EXPECT_EQ(decoded.text(), hexOf(content));

    EXPECT_EQ(CAsn1_OctetString::fromOctets(nullptr, 3)->getError(), kDerError);
    EXPECT_EQ(hexOf(bytesOf(*CAsn1_OctetString::fromOctets(nullptr, 0))), "0400");
}

TEST(Asn1ClassPrimitives, OctetStringRefusesMalformedInput) {
    EXPECT_EQ(fromBytes<CAsn1_OctetString>(fromHex("03 01 00")).getError(), kDerError);
    EXPECT_EQ(fromBytes<CAsn1_OctetString>(fromHex("04 81 05 0102")).getError(), kDerError);
    EXPECT_EQ(fromBytes<CAsn1_OctetString>(fromHex("04 80 0101 0000")).getError(), kDerError);
}

// ---- BIT STRING and BMPString ------------------------------------------------------------

TEST(Asn1ClassPrimitives, BitStringDropsTheUnusedBitsOctet) {
    const auto bits = fromBytes<CAsn1_BitString>(fromHex("03 03 00 ABCD"));
    ASSERT_EQ(bits.getError(), 0);
    EXPECT_EQ(bits.text(), "ABCD");
    EXPECT_TRUE(const_cast<CAsn1_BitString&>(bits).encode());
    EXPECT_EQ(hexOf(bytesOf(bits)), "030300ABCD");

    EXPECT_EQ(fromBytes<CAsn1_BitString>(fromHex("03 00")).getError(), kDerError);
    EXPECT_EQ(fromBytes<CAsn1_BitString>(fromHex("04 02 00 01")).getError(), kDerError);
}

TEST(Asn1ClassPrimitives, BmpStringFoldsToOneOctetPerCharacter) {
    EXPECT_EQ(fromBytes<CAsn1_BmpString>(fromHex("1E 04 0041 0042")).text(), "AB");
    // U+00E4 stays one Latin-1 octet, U+20AC has none.
    EXPECT_EQ(fromBytes<CAsn1_BmpString>(fromHex("1E 04 00E4 20AC")).text(), "\xE4?");
    EXPECT_EQ(fromBytes<CAsn1_BmpString>(fromHex("1E 03 004100")).getError(), kDerError);
    EXPECT_EQ(fromBytes<CAsn1_BmpString>(fromHex("0C 02 4142")).getError(), kDerError);
}

// ---- UTCTime --------------------------------------------------------------------

TEST(Asn1ClassPrimitives, UtcTimeWritesThirteenCharactersInUtc) {
    kivo::test::ScopedTimeZone zone("CET-1CEST,M3.5.0,M10.5.0/3");
    const CAsn1_UtcTime time(std::int64_t{1770025277});  // 2026-02-02 09:41:17 UTC
    ASSERT_EQ(time.getError(), 0);
    EXPECT_EQ(hexOf(bytesOf(time)), "170D" + hexOf(Bytes{'2', '6', '0', '2', '0', '2', '0', '9', '4', '1', '1', '7', 'Z'}));
    EXPECT_EQ(time.getCb(), 15u);
    EXPECT_EQ(time.time(), 1770025277);
    EXPECT_EQ(time.getTag(), 23u);

    const std::int64_t seconds = 1770025277;
    EXPECT_EQ(bytesOf(CAsn1_UtcTime(&seconds)), bytesOf(time));
    EXPECT_EQ(bytesOf(CAsn1_UtcTime(std::string_view("260202094117Z"))), bytesOf(time));
    EXPECT_EQ(CAsn1_UtcTime(static_cast<const std::int64_t*>(nullptr)).getError(), kDerError);
}

TEST(Asn1ClassPrimitives, UtcTimeReadsTwoDigitYearsAroundTheCentury) {
    const auto utc = [](const char* text) {
        return fromBytes<CAsn1_UtcTime>(tlv(0x17, Bytes(text, text + std::strlen(text))));
    };
    EXPECT_EQ(utc("491231235959Z").time(), 2524607999);  // 2049
    EXPECT_EQ(utc("500101000000Z").time(), -631152000);  // 1950
    EXPECT_EQ(utc("2602020941Z").time(), 1770025260);    // no seconds
    EXPECT_EQ(utc("700101000000Z").getError(), 0);        // the epoch itself
    EXPECT_EQ(utc("700101000000Z").time(), 0);
    EXPECT_EQ(utc("garbage").getError(), kDerError);
    // A GeneralizedTime is refused.
    EXPECT_EQ(fromBytes<CAsn1_UtcTime>(tlv(0x18, fromHex("3230323630323032303934313137 5A"))).getError(),
              kDerError);

    // From 2050 on the two-digit year reads back as 19xx.
    const CAsn1_UtcTime late(std::int64_t{2556144000});  // 2051-01-01 00:00:00 UTC
    ASSERT_EQ(late.getError(), 0);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(late.getPb()) + 2, 13), "510101000000Z");
    EXPECT_EQ(late.time(), -599616000);  // 1951-01-01
}

// ---- NULL and the opaque holder ---------------------------------------------------

TEST(Asn1ClassPrimitives, NullTagIsTwoOctets) {
    CAsn1_NullTag null;
    EXPECT_EQ(hexOf(bytesOf(null)), "0500");
    EXPECT_EQ(null.getTag(), 5u);
    EXPECT_TRUE(null.decode());
    EXPECT_TRUE(null.encode());
    EXPECT_EQ(null.text(), "");
    EXPECT_EQ(null.getError(), 0);
}

TEST(Asn1ClassPrimitives, UniversalKeepsAnyOctetsAsGiven) {
    const Bytes element = fromHex("A3 03 020101");
    CAsn1_Universal kept(element.data(), element.size());
    EXPECT_EQ(bytesOf(kept), element);
    EXPECT_TRUE(kept.decode());
    EXPECT_TRUE(kept.encode());
    EXPECT_EQ(bytesOf(kept), element);
    EXPECT_EQ(kept.getTag(), 16u);
    EXPECT_EQ(CAsn1_Universal(nullptr, 0).getError(), kDerError);
}
