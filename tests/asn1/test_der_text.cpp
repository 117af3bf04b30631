// Values as text, hex conversions, UTCTime text, string splitting and the
// OID registry.

#include "tests/asn1/DerTestUtil.h"

#include "asn1/Asn1Der.h"
#include "asn1/OidRegistry.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <barrier>
#include <ctime>
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

std::int64_t referenceUtc(int year, int month, int day, int hour, int minute, int second) {
    std::tm tm{};
    tm.tm_year = year - 1900;
    tm.tm_mon = month - 1;
    tm.tm_mday = day;
    tm.tm_hour = hour;
    tm.tm_min = minute;
    tm.tm_sec = second;
    return timegm(&tm);
}

const char* kCommonName = "2.5.4.3";
const char* kCountry = "2.5.4.6";
const char* kOrganization = "2.5.4.10";

}  // namespace

TEST(DerText, HexAndStringsWithinTheTextBuffer) {
    // The text buffer holds 5000 characters with the terminating zero.
    const struct {
        const char* (*function)(const unsigned char*, std::uint32_t);
        Bytes element;
        std::string text;
    } cases[] = {
        {Asn1ContentHex, hex("02 03 00 FF 1a"), "00FF1A"},
        {Asn1ContentHex, hex("05 00"), ""},
        {Asn1ContentHex, tlv(0x04, Bytes(2499, 0xAA)), std::string(4998, 'A')},
        {Asn1ContentHex, tlv(0x04, Bytes(2500, 0xAA)), ""},
        {Asn1ContentHex, hex("04 05 01 02"), ""},
        {Asn1ContentHex, hex("24 80 04 01 AA 00 00"), "0401AA"},  // BER content as it stands
        {Asn1BitStringHex, hex("03 04 06 AB CD C0"), "ABCDC0"},
        {Asn1BitStringHex, hex("03 01 00"), ""},
        {Asn1BitStringHex, tlv(0x03, Bytes(2500, 0x11)), std::string(4998, '1')},
        {Asn1BitStringHex, tlv(0x03, Bytes(2501, 0x11)), ""},
        {Asn1ContentString, tlv(0x0C, "Hallo Welt"), "Hallo Welt"},
        {Asn1ContentString, tlv(0x16, std::string(4999, 'x')), std::string(4999, 'x')},
        {Asn1ContentString, tlv(0x16, std::string(5000, 'x')), ""},
    };
    for (const auto& c : cases) EXPECT_EQ(resultOf(c.function, c.element), c.text) << toHex(c.element).substr(0, 20);
    const Bytes e = hex("04 03 01 02 03");  // an element larger than the size given as bound
    EXPECT_STREQ(Asn1ContentHex(e.data(), 4), "");
    EXPECT_STREQ(Asn1ContentHex(e.data(), 5), "010203");
    EXPECT_STREQ(Asn1ContentHex(nullptr, 10), "");
}

TEST(DerText, BmpBooleanSmallIntegerAndSequenceCount) {
    EXPECT_EQ(resultOf(Asn1BmpToWide, hex("1E 06 00 FC 20 AC 4E 2D")), u"\u00FC\u20AC\u4E2D");
    EXPECT_EQ(resultOf(Asn1BmpToWide, hex("1E 03 00 41 00")), u"");
    EXPECT_EQ(resultOf(Asn1BmpToWide, tlv(0x1E, Bytes(4998, 0x30))).size(), 2499u);
    EXPECT_EQ(resultOf(Asn1BmpToWide, tlv(0x1E, Bytes(5000, 0x30))), u"");
    for (const auto& [element, value] : {std::pair{hex("01 01 FF"), true}, std::pair{hex("01 01 00"), false},
                                         std::pair{hex("01 00"), false}, std::pair{hex("01 01"), false}}) {
        const ExactBuffer b(element);
        EXPECT_EQ(Asn1Bool(b.data(), b.size()), value) << toHex(element);
    }
    const std::pair<Bytes, std::uint32_t> ints[] = {
        {hex("02 01 0A"), 10}, {hex("02 02 00 C8"), 200}, {hex("02 04 7F FF FF FF"), 0x7FFFFFFF},
        {hex("02 05 01 02 03 04 05"), 0x02030405},  // only the last four octets count
        {hex("02 00"), 0}, {hex("80 01 02"), 2}, {hex("02 02 01"), 0},
    };
    for (const auto& [element, value] : ints) {
        const ExactBuffer b(element);
        EXPECT_EQ(Asn1SmallInt(b.data(), b.size()), value) << toHex(element);
    }
    EXPECT_EQ(Asn1SmallInt(nullptr, 3), 0u);
    EXPECT_EQ(resultOf(Asn1CountSequences, seq({seq({}), hex("02 01 01"), seq({hex("05 00")}), tlv(0xA0, "")})), 2u);
    EXPECT_EQ(resultOf(Asn1CountSequences, hex("30 06 30 00 30 05 02 01")), 0u);  // the second reaches past
}

TEST(DerText, OidText) {
    const std::pair<Bytes, const char*> cases[] = {
        {hex("06 09 2A 86 48 86 F7 0D 01 07 02"), "1.2.840.113549.1.7.2"},
        // The first subidentifier splits into two arcs.
        {hex("06 01 27"), "0.39"}, {hex("06 01 28"), "1.0"}, {hex("06 01 50"), "2.0"}, {hex("06 02 81 00"), "2.48"},
        // Arcs up to 32 bits; the first carries 80 more for the arcs 2.x.
        {hex("06 06 2A 8F FF FF FF 7F"), "1.2.4294967295"}, {hex("06 06 2A 90 80 80 80 00"), ""},
        {hex("06 05 90 80 80 80 4F"), "2.4294967295"}, {hex("06 05 90 80 80 80 50"), ""},
        // Empty, ending inside a subidentifier, cut short.
        {hex("06 00"), ""}, {hex("06 02 2A 86"), ""}, {hex("06 05 2A 86 48"), ""},
    };
    for (const auto& [element, text] : cases) EXPECT_EQ(resultOf(oidText, element), text) << toHex(element);
    const Bytes content = hex("2A 86 48 86 F7 0D 01 07 02");
    EXPECT_STREQ(Asn1OidToText(content.data(), content.size(), true), "1.2.840.113549.1.7.2");
    EXPECT_STREQ(Asn1OidToText(nullptr, 5, true), "");
    // 1 + 2000 arcs of "1" fit the text buffer; 3000 do not.
    Bytes arcs{0x2A};
    arcs.resize(2001, 0x01);
    EXPECT_EQ(resultOf(oidText, tlv(0x06, arcs)).size(), 3u + 2000u * 2u);
    arcs.resize(3001, 0x01);
    EXPECT_EQ(resultOf(oidText, tlv(0x06, arcs)), "");
}

TEST(DerText, DateText) {
    const std::pair<Bytes, const char*> cases[] = {
        {tlv(0x17, "260202094117Z"), "02.02.2026"}, {tlv(0x17, "491231235959Z"), "31.12.2049"},
        {tlv(0x17, "500101000000Z"), "01.01.1950"}, {tlv(0x17, "9912310000Z"), "31.12.1999"},
        {tlv(0x18, "20491231235959Z"), "31.12.2049"}, {tlv(0x18, "19500101000000.5Z"), "01.01.1950"},
        // Another identifier: 15 octets in all means a UTCTime.
        {tlv(0x04, "260202094117Z"), "02.02.2026"}, {tlv(0x04, "20260202094117Z"), "02.02.2026"},
        {tlv(0x17, "261302094117Z"), ""}, {tlv(0x17, "260200094117Z"), ""}, {tlv(0x17, "2A0202094117Z"), ""},
        {tlv(0x18, "202602"), ""}, {hex("17 0D 32 36"), ""},
    };
    for (const auto& [element, text] : cases) EXPECT_EQ(resultOf(Asn1DateText, element), text) << toHex(element);
}

TEST(DerText, NameText) {
    const Bytes directory = seq({rdn(kCountry, 0x13, "DE"), rdn(kCommonName, 0x0C, "CA")});
    const std::pair<Bytes, std::string> cases[] = {
        // T61String and UTF-8 copied as they are, BMP folded to Latin-1,
        // a type outside the registry dotted, an empty value.
        {seq({rdn("1.2.840.113549.1.9.1", 0x16, "a@b.de"), rdn("2.5.4.7", 0x14, "M\xFC" "nchen"),
              rdn("2.5.4.4", 0x0C, "M\xC3\xBCller"), rdn("2.5.4.42", 0x1E, std::string("\x00J\x00\xFC\x00r\x4E\x2D", 8)),
              rdn("1.2.3.4", 0x13, "x"), rdn("2.5.4.5", 0x13, "")}),
         "emailAddress=a@b.de, localityName=M\xFCnchen, surname=M\xC3\xBCller, givenname=J\xFCr?, 1.2.3.4=x, "
         "serialNumber="},
        {seq({set({seq({oid(kOrganization), tlv(0x0C, "A")}), seq({oid(kCommonName), tlv(0x0C, "B")})}),
              rdn("1.3.36.8.3.14", 0x0C, "Alt")}),
         "organizationName=A, commonName=B, id-isismtt-at-nameAtBirth=Alt"},
        // An unsupported value type ends the rendering after its "type=".
        {seq({rdn(kCountry, 0x13, "DE"), rdn(kCommonName, 0x1C, std::string("\0\0\0A", 4)),
              rdn(kOrganization, 0x0C, "never shown")}),
         "countryName=DE, commonName="},
        {seq({set({seq({tlv(0x04, "xy"), tlv(0x0C, "v")})}), set({seq({hex("06 02 2A 86"), tlv(0x0C, "w")})})}),
         "unknownOID=v, unknownOID=w"},
        // GeneralNames, and a single GeneralName.
        {seq({tlv(0x81, "a@b.de"), tlv(0x86, "http://crl.example/ca.crl"), tlv(0xA4, directory),
              tlv(0xA0, seq({oid("1.2.3"), tlv(0xA0, hex("0C 01 41"))})), tlv(0x82, "www.example")}),
         "a@b.de, http://crl.example/ca.crl, countryName=DE, commonName=CA, www.example"},
        {tlv(0x86, "http://x"), "http://x"},
        {hex("30 80 31 80 30 80 06 03 55 04 03 0C 01 41 00 00 00 00 00 00"), "commonName=A"},  // BER
        {hex("30 02 31 00"), ""},
        // Malformed: an attribute that is no SEQUENCE, an odd-length
        // BMPString, a high-tag-number value.
        {seq({set({tlv(0x04, "x")})}), ""},
        {seq({rdn(kCommonName, 0x1E, std::string("\0A\0", 3))}), ""},
        {seq({set({seq({oid(kCommonName), hex("1F 0C 01 41")})})}), ""},
        // "commonName=" takes 11 characters; the buffer holds 4999 in all.
        {seq({rdn(kCommonName, 0x0C, std::string(4988, 'v'))}), "commonName=" + std::string(4988, 'v')},
        {seq({rdn(kCommonName, 0x0C, std::string(4989, 'v'))}), ""},
    };
    for (const auto& [name, text] : cases) EXPECT_EQ(resultOf(Asn1NameToText, name), text) << toHex(name).substr(0, 40);
    EXPECT_STREQ(Asn1NameToText(nullptr, 10), "");
}

TEST(DerText, ResultBufferIsPerFunctionAndPerThread) {
    ExactBuffer one(hex("04 01 11")), two(hex("04 01 22")), name(seq({rdn(kCountry, 0x13, "DE")}));
    const char* first = Asn1ContentHex(one.data(), one.size());
    const char* text = Asn1NameToText(name.data(), name.size());
    EXPECT_EQ(Asn1ContentHex(two.data(), two.size()), first);
    EXPECT_STREQ(first, "22");
    EXPECT_STREQ(text, "countryName=DE");  // another function leaves it alone

    std::barrier sync(2);
    const char* pointers[2] = {};
    bool stable[2] = {true, true};
    auto work = [&](int index) {
        const ExactBuffer& mine = index == 0 ? one : two;
        const std::string expected = index == 0 ? "11" : "22";
        pointers[index] = Asn1ContentHex(mine.data(), 3);
        sync.arrive_and_wait();
        for (int i = 0; i < 20000; ++i) stable[index] &= expected == Asn1ContentHex(mine.data(), 3);
    };
    std::thread a(work, 0), b(work, 1);
    a.join();
    b.join();
    EXPECT_NE(pointers[0], pointers[1]);
    EXPECT_TRUE(stable[0] && stable[1]);
}

TEST(DerConvert, HexBytesAndSplitString) {
    std::vector<unsigned char> out;
    ASSERT_TRUE(HexToBytes("0a:Bc 1F\t00", &out));
    EXPECT_EQ(out, hex("0A BC 1F 00"));
    for (const char* refused : {"ABC", "A B C", "zz", "0x12"}) EXPECT_FALSE(HexToBytes(refused, &out)) << refused;
    EXPECT_TRUE(out.empty());
    EXPECT_TRUE(HexToBytes("1234", nullptr));
    std::string text;
    const Bytes octets = randomBytes(300, 7);
    BytesToHex(octets.data(), octets.size(), &text);
    EXPECT_EQ(text, toHex(octets));
    BytesToHex(nullptr, 5, &text);
    EXPECT_EQ(text, "");

    using Pieces = std::vector<std::string>;
    EXPECT_EQ(SplitString("1..2", "."), (Pieces{"1", "", "2"}));
    EXPECT_EQ(SplitString(".1.", "."), (Pieces{"", "1", ""}));
    EXPECT_EQ(SplitString("a,b;c", ",;"), (Pieces{"a", "b", "c"}));
    EXPECT_EQ(SplitString("", "."), (Pieces{""}));
    EXPECT_EQ(SplitString("abc", ""), (Pieces{"abc"}));
}

TEST(DerConvert, ParseUtcTimeText) {
    const std::int64_t feb2 = referenceUtc(2026, 2, 2, 9, 41, 17);
    const std::pair<const char*, std::int64_t> cases[] = {
        {"260202094117Z", feb2}, {"2602020941Z", feb2 - 17}, {"000229120000Z", referenceUtc(2000, 2, 29, 12, 0, 0)},
        {"2602021041+0100", feb2 - 17}, {"2602020811-0130", feb2 - 17}, {"260202104100+0100", feb2 - 17},
    };
    for (const auto& [text, seconds] : cases) EXPECT_EQ(ParseUtcTimeText(text), seconds) << text;
    for (const char* text : {"", "2602020941", "26020209411Z", "260202094117", "260202094117ZZ", "261302094117Z",
                             "260230094117Z", "260002094117Z", "260202244117Z", "260202096017Z", "260202094160Z",
                             "2602020941+01", "2602020941+2400", "2602020941*0100", "2A0202094117Z",
                             "20260202094117Z"}) {
        EXPECT_EQ(ParseUtcTimeText(text), 0) << text;
    }
    // Independent of the local zone, and in agreement with timegm (two-digit
    // years from 50 are 19xx).
    kivo::test::ScopedTimeZone zone("America/New_York");
    std::uint32_t x = 12345;
    for (int i = 0; i < 5000; ++i) {
        x = x * 1664525u + 1013904223u;
        const int yy = static_cast<int>(x % 100), month = 1 + static_cast<int>((x >> 8) % 12);
        const int day = 1 + static_cast<int>((x >> 12) % 28), hour = static_cast<int>((x >> 17) % 24);
        const int minute = static_cast<int>((x >> 22) % 60), second = static_cast<int>((x >> 26) % 60);
        char text[16];
        std::snprintf(text, sizeof text, "%02d%02d%02d%02d%02d%02dZ", yy, month, day, hour, minute, second);
        const int year = yy > 49 ? 1900 + yy : 2000 + yy;
        ASSERT_EQ(ParseUtcTimeText(text), referenceUtc(year, month, day, hour, minute, second)) << text;
    }
}

TEST(OidRegistry, EncodingsNamesAndShadowedEntries) {
    ASSERT_EQ(kivo::asn1::oidRegistry().size(), 88u);
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
    EXPECT_EQ(seen.size(), 86u);
    EXPECT_STREQ(OidToName("1.3.36.8.3.14"), "id-isismtt-at-nameAtBirth");  // not the later "nameAtBirth"
    for (const char* unknown : {"1.2.840.113549.1.7.2", "1.2.840.113549.1.1", "1.2.840.113549.1.1.1 ", ""}) {
        EXPECT_EQ(OidToName(unknown), nullptr) << unknown;
        EXPECT_EQ(OidToNameOrSelf(unknown), unknown);
    }
    EXPECT_STREQ(OidToNameOrSelf("2.5.4.42"), "givenname");
    EXPECT_EQ(OidToName(nullptr), nullptr);
    EXPECT_EQ(OidToNameOrSelf(nullptr), nullptr);
}

TEST(OidRegistry, ClassifiesAttributeAndExtensionOids) {
    const std::pair<const char*, int> attributes[] = {
        {"1.3.36.8.3.1", 1}, {"0.4.0.1862.1.2", 2}, {"1.3.36.8.3.5", 5}, {"1.3.36.8.3.6", 7},
        {"1.3.36.8.3.15", 8}, {"2.5.29.9", 9},      {"1.3.36.8.3.7", 0}, {"1.3.36.8.3.1.1", 0},
    };
    for (const auto& [dotted, code] : attributes) EXPECT_EQ(ClassifyAttributeOid(dotted), code) << dotted;
    const std::pair<const char*, int> extensions[] = {
        {"2.5.29.35", 1},  {"1.3.6.1.5.5.7.1.3", 7}, {"1.3.36.8.3.15", 10}, {"1.3.6.1.5.5.7.48.1.5", 16},
        {"2.5.29.37", 19}, {"1.3.36.8.3.6", 21},     {"2.5.29.19", 0},      {"2.5.29.355", 0},
    };
    for (const auto& [dotted, code] : extensions) EXPECT_EQ(ClassifyExtensionOid(dotted), code) << dotted;
    EXPECT_EQ(ClassifyAttributeOid(nullptr) + ClassifyExtensionOid(nullptr), 0);
}
