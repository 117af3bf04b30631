// Values as text, hex conversions, UTCTime text, string splitting and the
// OID registry.

#include "tests/asn1/DerTestUtil.h"

#include "asn1/Asn1Der.h"
#include "asn1/OidRegistry.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <thread>
#include <type_traits>

using namespace kivo::test::der;

namespace {

// One function of the toolkit on an exact-size copy of `element`; text
// comes back as a string.
template <typename Result>
auto resultOf(Result (*function)(const unsigned char*, std::uint32_t), const Bytes& element) {
    const ExactBuffer b(element);
    const Result result = function(b.data(), static_cast<std::uint32_t>(b.size()));
    if constexpr (std::is_pointer_v<Result>) {
        return std::basic_string<std::remove_cv_t<std::remove_pointer_t<Result>>>(result);
    } else {
        return result;
    }
}

const char* oidText(const unsigned char* p, std::uint32_t n) { return Asn1OidToText(p, n, false); }

const char* kCommonName = "2.5.4.3";
const char* kCountry = "2.5.4.6";
const char* kOrganization = "2.5.4.10";

}  // namespace

TEST(DerText, TextOfEachKindWithinTheTextBuffer) {
    // The text buffer holds 5000 characters with the terminating zero.
    const Bytes directory = seq({rdn(kCountry, 0x13, "DE"), rdn(kCommonName, 0x0C, "CA")});
    const struct {
        const char* (*function)(const unsigned char*, std::uint32_t);
        Bytes element;
        std::string text;
    } cases[] = {
        {Asn1ContentHex, hex("02 03 00 FF 1a"), "00FF1A"},
        {Asn1ContentHex, tlv(0x04, Bytes(2499, 0xAA)), std::string(4998, 'A')},
        {Asn1ContentHex, tlv(0x04, Bytes(2500, 0xAA)), ""}, {Asn1ContentHex, hex("04 05 01 02"), ""},
        {Asn1ContentHex, hex("24 80 04 01 AA 00 00"), "0401AA"},  // BER content as it stands
        {Asn1BitStringHex, hex("03 04 06 AB CD C0"), "ABCDC0"},
        {Asn1BitStringHex, tlv(0x03, Bytes(2500, 0x11)), std::string(4998, '1')},
        {Asn1BitStringHex, tlv(0x03, Bytes(2501, 0x11)), ""}, {Asn1ContentString, tlv(0x16, "Hallo"), "Hallo"},
        // OIDs: the first subidentifier splits into two arcs, the others
        // reach 32 bits, the first 80 more for the arcs 2.x.
        {oidText, hex("06 01 27"), "0.39"}, {oidText, hex("06 01 28"), "1.0"}, {oidText, hex("06 02 81 00"), "2.48"},
        {oidText, hex("06 06 2A 8F FF FF FF 7F"), "1.2.4294967295"}, {oidText, hex("06 06 2A 90 80 80 80 00"), ""},
        {oidText, hex("06 05 90 80 80 80 4F"), "2.4294967295"}, {oidText, hex("06 05 90 80 80 80 50"), ""},
        {oidText, hex("06 00"), ""}, {oidText, hex("06 02 2A 86"), ""},  // empty; ends inside a subidentifier
        {oidText, tlv(0x06, cat({hex("2A"), Bytes(3000, 0x01)})), ""},  // 6003 characters
        // Dates: two-digit years below 50 are 20xx; 15 octets in all mean a
        // UTCTime whatever the identifier.
        {Asn1DateText, tlv(0x17, "491231235959Z"), "31.12.2049"}, {Asn1DateText, tlv(0x17, "500101000000Z"), "01.01.1950"},
        {Asn1DateText, tlv(0x17, "9912310000Z"), "31.12.1999"}, {Asn1DateText, tlv(0x18, "19500101000000.5Z"), "01.01.1950"},
        {Asn1DateText, tlv(0x04, "260202094117Z"), "02.02.2026"}, {Asn1DateText, tlv(0x04, "20260202094117Z"), "02.02.2026"},
        {Asn1DateText, tlv(0x17, "261302094117Z"), ""}, {Asn1DateText, tlv(0x18, "202602"), ""},
        // Names: T61String and UTF-8 copied as they are, BMP folded to
        // Latin-1, a type outside the registry dotted, an empty value.
        {Asn1NameToText,
         seq({rdn("1.2.840.113549.1.9.1", 0x16, "a@b.de"), rdn("2.5.4.7", 0x14, "M\xFC" "nchen"),
              rdn("2.5.4.4", 0x0C, "M\xC3\xBCller"), rdn("2.5.4.42", 0x1E, std::string("\x00J\x00\xFC\x00r\x4E\x2D", 8)),
              rdn("1.2.3.4", 0x13, "x"), rdn("2.5.4.5", 0x13, "")}),
         "emailAddress=a@b.de, localityName=M\xFCnchen, surname=M\xC3\xBCller, givenname=J\xFCr?, 1.2.3.4=x, "
         "serialNumber="},
        {Asn1NameToText, seq({set({seq({oid(kOrganization), tlv(0x0C, "A")}), seq({oid(kCommonName), tlv(0x0C, "B")})}),
                              set({seq({hex("06 02 2A 86"), tlv(0x0C, "w")})})}),
         "organizationName=A, commonName=B, unknownOID=w"},
        // An unsupported value type ends the rendering after its "type=".
        {Asn1NameToText, seq({rdn(kCountry, 0x13, "DE"), rdn(kCommonName, 0x1C, std::string("\0\0\0A", 4)),
                              rdn(kOrganization, 0x0C, "never shown")}),
         "countryName=DE, commonName="},
        {Asn1NameToText, seq({tlv(0x81, "a@b.de"), tlv(0x86, "http://x"), tlv(0xA4, directory),
                              tlv(0xA0, seq({oid("1.2.3"), tlv(0xA0, hex("0C 01 41"))})), tlv(0x82, "www.example")}),
         "a@b.de, http://x, countryName=DE, commonName=CA, www.example"},  // GeneralNames
        {Asn1NameToText, hex("30 80 31 80 30 80 06 03 55 04 03 0C 01 41 00 00 00 00 00 00"), "commonName=A"},
        {Asn1NameToText, seq({set({tlv(0x04, "x")})}), ""},  // an attribute that is no SEQUENCE
        {Asn1NameToText, seq({rdn(kCommonName, 0x1E, std::string("\0A\0", 3))}), ""},  // odd BMPString
        {Asn1NameToText, seq({rdn(kCommonName, 0x0C, std::string(4988, 'v'))}), "commonName=" + std::string(4988, 'v')},
        {Asn1NameToText, seq({rdn(kCommonName, 0x0C, std::string(4989, 'v'))}), ""},
    };
    for (const auto& c : cases) EXPECT_EQ(resultOf(c.function, c.element), c.text) << toHex(c.element).substr(0, 40);
    const Bytes e = hex("04 03 01 02 03");  // an element larger than the size given as bound
    EXPECT_STREQ(Asn1ContentHex(e.data(), 4), "");
    EXPECT_STREQ(Asn1OidToText(hex("2A 86 48").data(), 3, true), "1.2.840");  // content octets alone
    EXPECT_STREQ(Asn1ContentHex(nullptr, 10), "");
    EXPECT_STREQ(Asn1NameToText(nullptr, 10), "");
}

TEST(DerText, BmpBooleanSmallIntegerAndSequenceCount) {
    EXPECT_EQ(resultOf(Asn1BmpToWide, hex("1E 06 00 FC 20 AC 4E 2D")), u"\u00FC\u20AC\u4E2D");
    EXPECT_EQ(resultOf(Asn1BmpToWide, hex("1E 03 00 41 00")), u"");  // odd length
    EXPECT_EQ(resultOf(Asn1BmpToWide, tlv(0x1E, Bytes(5000, 0x30))), u"");  // beyond the text buffer
    const auto boolean = +[](const unsigned char* p, std::uint32_t n) { return std::uint32_t(Asn1Bool(p, n)); };
    const struct {
        std::uint32_t (*function)(const unsigned char*, std::uint32_t);
        Bytes element;
        std::uint32_t value;
    } cases[] = {
        {boolean, hex("01 01 FF"), 1}, {boolean, hex("01 01 00"), 0}, {boolean, hex("01 01"), 0},
        {Asn1SmallInt, hex("02 02 00 C8"), 200}, {Asn1SmallInt, hex("02 04 7F FF FF FF"), 0x7FFFFFFF},
        {Asn1SmallInt, hex("02 05 01 02 03 04 05"), 0x02030405},  // only the last four octets count
        {Asn1SmallInt, hex("80 01 02"), 2}, {Asn1SmallInt, hex("02 02 01"), 0},
        {Asn1CountSequences, seq({seq({}), hex("02 01 01"), seq({hex("05 00")}), tlv(0xA0, "")}), 2},
        {Asn1CountSequences, hex("30 06 30 00 30 05 02 01"), 0},  // the second reaches past
    };
    for (const auto& c : cases) EXPECT_EQ(resultOf(c.function, c.element), c.value) << toHex(c.element);
}

TEST(DerText, ResultBufferIsPerFunctionAndPerThread) {
    ExactBuffer one(hex("04 01 11")), two(hex("04 01 22")), name(seq({rdn(kCountry, 0x13, "DE")}));
    const char* first = Asn1ContentHex(one.data(), one.size());
    const char* text = Asn1NameToText(name.data(), name.size());
    EXPECT_EQ(Asn1ContentHex(two.data(), two.size()), first);  // the next call of the same function reuses it
    EXPECT_STREQ(text, "countryName=DE");                      // another function leaves it alone
    const char* otherThread = nullptr;
    std::thread([&] { otherThread = Asn1ContentHex(one.data(), one.size()); }).join();
    EXPECT_NE(otherThread, first);  // and another thread has its own
}

TEST(DerConvert, HexBytesAndSplitString) {
    std::vector<unsigned char> out;
    ASSERT_TRUE(HexToBytes("0a:Bc 1F\t00", &out));
    std::string text;
    BytesToHex(out.data(), out.size(), &text);
    EXPECT_EQ(text, "0ABC1F00");
    for (const char* refused : {"ABC", "A B C", "zz", "0x12"}) EXPECT_FALSE(HexToBytes(refused, &out)) << refused;
    EXPECT_TRUE(out.empty());
    using Pieces = std::vector<std::string>;
    EXPECT_EQ(SplitString("1..2", "."), (Pieces{"1", "", "2"}));
    EXPECT_EQ(SplitString(".1.", "."), (Pieces{"", "1", ""}));
    EXPECT_EQ(SplitString("a,b;c", ",;"), (Pieces{"a", "b", "c"}));
    EXPECT_EQ(SplitString("", "."), (Pieces{""}));
}

TEST(DerConvert, ParseUtcTimeTextInUtcWhateverTheLocalZone) {
    kivo::test::ScopedTimeZone zone("America/New_York");
    const std::int64_t feb2 = 1770025277;  // 2026-02-02 09:41:17 UTC
    const std::pair<const char*, std::int64_t> cases[] = {
        {"260202094117Z", feb2},       {"2602020941Z", feb2 - 17},       {"000229120000Z", 951825600},
        {"491231235959Z", 2524607999}, {"500101000000Z", -631152000},    {"2602021041+0100", feb2 - 17},
        {"2602020811-0130", feb2 - 17}, {"260202104100+0100", feb2 - 17},
    };
    for (const auto& [text, seconds] : cases) EXPECT_EQ(ParseUtcTimeText(text), seconds) << text;
    for (const char* text : {"", "26020209411Z", "260202094117", "260202094117ZZ", "261302094117Z", "260230094117Z",
                             "260202244117Z", "260202094160Z", "2602020941+2400", "2602020941*0100", "20260202094117Z"}) {
        EXPECT_EQ(ParseUtcTimeText(text), 0) << text;
    }
}

TEST(OidRegistry, EncodingsNamesShadowedEntriesAndClasses) {
    std::set<std::string> seen;
    for (const auto& entry : kivo::asn1::oidRegistry()) {
        SCOPED_TRACE(entry.dotted);
        ASSERT_LE(entry.derLength, entry.der.size());
        const Bytes der(entry.der.begin(), entry.der.begin() + entry.derLength);
        EXPECT_EQ(der, oid(entry.dotted));  // OpenSSL's encoding
        EXPECT_EQ(resultOf(oidText, der), entry.dotted);
        // Lookup gives the first entry of a dotted text.
        if (seen.insert(entry.dotted).second) {
            EXPECT_EQ(OidToName(entry.dotted), entry.name);
        } else {
            EXPECT_STRNE(OidToName(entry.dotted), entry.name);
        }
    }
    EXPECT_STREQ(OidToNameOrSelf("1.2.840.113549.1.1.1 "), "1.2.840.113549.1.1.1 ");  // exact comparison
    // Attribute and extension OIDs the certificate texts treat apart.
    EXPECT_EQ(ClassifyAttributeOid("1.3.36.8.3.15"), 8);
    EXPECT_EQ(ClassifyExtensionOid("1.3.36.8.3.15"), 10);
    EXPECT_EQ((std::vector<int>{ClassifyAttributeOid("1.3.36.8.3.1.1"), ClassifyExtensionOid("2.5.29.355"), ClassifyAttributeOid(nullptr)}), (std::vector<int>{0, 0, 0}));
}
