// Values as text, hex conversions, UTCTime text and string splitting.

#include <gtest/gtest.h>

#include <barrier>
#include <cstring>
#include <ctime>
#include <string>
#include <thread>

#include "tests/asn1/DerTestUtil.h"
#include "tests/support/TestSupport.h"
#include "asn1/Asn1Der.h"

using namespace kivo::test::der;
using kivo::test::randomBytes;

namespace {

std::string contentHex(const Bytes& element) {
    ExactBuffer b(element);
    return Asn1ContentHex(b.data(), b.size());
}

std::string oidText(const Bytes& element) {
    ExactBuffer b(element);
    return Asn1OidToText(b.data(), b.size(), false);
}

std::string dateText(const Bytes& element) {
    ExactBuffer b(element);
    return Asn1DateText(b.data(), b.size());
}

std::string nameText(const Bytes& element) {
    ExactBuffer b(element);
    return Asn1NameToText(b.data(), b.size());
}

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
const char* kEmail = "1.2.840.113549.1.9.1";

}  // namespace

// ---- hex, strings, numbers ---------------------------------------------------

TEST(DerText, ContentHexIsUpperCaseTwoDigitsPerOctetWithinTheBuffer) {
    EXPECT_EQ(contentHex(hex("02 03 00 FF 1a")), "00FF1A");
    EXPECT_EQ(contentHex(hex("05 00")), "");
    std::string expected;
    for (int i = 0; i < 128; ++i) expected += "0F";
    EXPECT_EQ(contentHex(cat({hex("04 81 80"), Bytes(128, 0x0F)})), expected);
    // 2499 octets make 4998 digits and the zero: the last that fits.
    const std::string fits = contentHex(tlv(0x04, Bytes(2499, 0xAB)));
    EXPECT_EQ(fits.size(), 4998u);
    EXPECT_EQ(fits.substr(0, 4), "ABAB");
    EXPECT_EQ(contentHex(tlv(0x04, Bytes(2500, 0xAB))), "");
    EXPECT_EQ(contentHex(tlv(0x04, Bytes(100000, 0xAB))), "");
    // Malformed, and an element larger than the size given as bound.
    EXPECT_EQ(contentHex(hex("04 05 01 02")), "");
    EXPECT_EQ(contentHex(hex("04")), "");
    EXPECT_STREQ(Asn1ContentHex(nullptr, 10), "");
    const Bytes e = hex("04 03 01 02 03");
    EXPECT_STREQ(Asn1ContentHex(e.data(), 4), "");
    EXPECT_STREQ(Asn1ContentHex(e.data(), 5), "010203");
}

TEST(DerText, BitStringHexDropsTheUnusedBitsOctet) {
    ExactBuffer b(hex("03 04 06 AB CD C0"));
    EXPECT_STREQ(Asn1BitStringHex(b.data(), b.size()), "ABCDC0");
    ExactBuffer empty(hex("03 01 00"));
    EXPECT_STREQ(Asn1BitStringHex(empty.data(), empty.size()), "");
    ExactBuffer none(hex("03 00"));
    EXPECT_STREQ(Asn1BitStringHex(none.data(), none.size()), "");
    ExactBuffer fits(tlv(0x03, Bytes(2500, 0x11)));
    EXPECT_EQ(std::string(Asn1BitStringHex(fits.data(), fits.size())).size(), 4998u);
    ExactBuffer tooLong(tlv(0x03, Bytes(2501, 0x11)));
    EXPECT_STREQ(Asn1BitStringHex(tooLong.data(), tooLong.size()), "");
}

TEST(DerText, ContentStringCopiesAndTerminates) {
    ExactBuffer b(tlv(0x0C, "Hallo Welt"));
    EXPECT_STREQ(Asn1ContentString(b.data(), b.size()), "Hallo Welt");
    ExactBuffer fits(tlv(0x16, std::string(4999, 'x')));
    EXPECT_EQ(std::string(Asn1ContentString(fits.data(), fits.size())), std::string(4999, 'x'));
    ExactBuffer tooLong(tlv(0x16, std::string(5000, 'x')));
    EXPECT_STREQ(Asn1ContentString(tooLong.data(), tooLong.size()), "");
    ExactBuffer cut(hex("0C 05 41 42"));
    EXPECT_STREQ(Asn1ContentString(cut.data(), cut.size()), "");
}

TEST(DerText, BmpToWideSwapsEachPairOfOctets) {
    ExactBuffer ab(hex("1E 04 00 41 00 42"));
    EXPECT_EQ(std::u16string(Asn1BmpToWide(ab.data(), ab.size())), u"AB");
    ExactBuffer wide(hex("1E 06 00 FC 20 AC 4E 2D"));
    EXPECT_EQ(std::u16string(Asn1BmpToWide(wide.data(), wide.size())), u"\u00FC\u20AC\u4E2D");
    ExactBuffer odd(hex("1E 03 00 41 00"));
    EXPECT_EQ(std::u16string(Asn1BmpToWide(odd.data(), odd.size())), u"");
    ExactBuffer fits(tlv(0x1E, Bytes(4998, 0x30)));
    EXPECT_EQ(std::u16string(Asn1BmpToWide(fits.data(), fits.size())).size(), 2499u);
    ExactBuffer tooLong(tlv(0x1E, Bytes(5000, 0x30)));
    EXPECT_EQ(std::u16string(Asn1BmpToWide(tooLong.data(), tooLong.size())), u"");
}

TEST(DerText, BooleanAndSmallInteger) {
    ExactBuffer yes(hex("01 01 FF")), no(hex("01 01 00")), empty(hex("01 00")), cut(hex("01 01"));
    EXPECT_TRUE(Asn1Bool(yes.data(), yes.size()));
    EXPECT_FALSE(Asn1Bool(no.data(), no.size()));
    EXPECT_FALSE(Asn1Bool(empty.data(), empty.size()));
    EXPECT_FALSE(Asn1Bool(cut.data(), cut.size()));

    const struct {
        Bytes element;
        std::uint32_t value;
    } ints[] = {
        {hex("02 01 0A"), 10},
        {hex("02 02 00 C8"), 200},
        {hex("02 03 01 00 01"), 65537},
        {hex("02 04 7F FF FF FF"), 0x7FFFFFFF},
        // Longer contents: only the last four octets count.
        {hex("02 05 01 02 03 04 05"), 0x02030405},
        {hex("02 10 00 11 22 33 44 55 66 77 88 99 AA BB CC DD EE FF"), 0xCCDDEEFF},
        {hex("02 00"), 0},
        {hex("80 01 02"), 2},  // an implicitly tagged INTEGER
        {hex("02 02 01"), 0},  // cut short
    };
    for (const auto& c : ints) {
        ExactBuffer b(c.element);
        EXPECT_EQ(Asn1SmallInt(b.data(), b.size()), c.value);
    }
    EXPECT_EQ(Asn1SmallInt(nullptr, 3), 0u);
}

// ---- OIDs ------------------------------------------------------------------------

TEST(DerText, OidText) {
    const std::pair<Bytes, const char*> cases[] = {
        {hex("06 09 2A 86 48 86 F7 0D 01 07 02"), "1.2.840.113549.1.7.2"},
        {hex("06 03 88 37 01"), "2.999.1"},
        {hex("06 03 55 04 03"), "2.5.4.3"},
        // The first subidentifier splits into two arcs.
        {hex("06 01 00"), "0.0"},
        {hex("06 01 27"), "0.39"},
        {hex("06 01 28"), "1.0"},
        {hex("06 01 4F"), "1.39"},
        {hex("06 01 50"), "2.0"},
        {hex("06 02 81 00"), "2.48"},
        // Arcs up to 32 bits; the first carries 80 more for the arcs 2.x.
        {hex("06 06 2A 8F FF FF FF 7F"), "1.2.4294967295"},
        {hex("06 06 2A 90 80 80 80 00"), ""},
        {hex("06 0B 2A 81 80 80 80 80 80 80 80 80 00"), ""},
        {hex("06 05 90 80 80 80 4F"), "2.4294967295"},
        {hex("06 05 90 80 80 80 50"), ""},
        // Empty, ending inside a subidentifier, cut short.
        {hex("06 00"), ""},
        {hex("06 02 2A 86"), ""},
        {hex("06 05 2A 86 48"), ""},
    };
    for (const auto& [element, text] : cases) EXPECT_EQ(oidText(element), text) << kivo::test::toHex(element);

    // Content octets alone, when asked for.
    ExactBuffer content(hex("2A 86 48 86 F7 0D 01 07 02"));
    EXPECT_STREQ(Asn1OidToText(content.data(), content.size(), true), "1.2.840.113549.1.7.2");
    EXPECT_STREQ(Asn1OidToText(nullptr, 5, true), "");
    EXPECT_STREQ(Asn1OidToText(nullptr, 5, false), "");
    // A long OID of 1 + 2000 arcs of "1" fits; one of 3000 does not.
    Bytes longOid{0x2A};
    longOid.resize(2001, 0x01);
    EXPECT_EQ(oidText(tlv(0x06, longOid)).size(), 3u + 2000u * 2u);
    Bytes tooLong{0x2A};
    tooLong.resize(3001, 0x01);
    EXPECT_EQ(oidText(tlv(0x06, tooLong)), "");
}

// ---- dates ---------------------------------------------------------------------

TEST(DerText, DateText) {
    const std::pair<Bytes, const char*> cases[] = {
        {tlv(0x17, "260202094117Z"), "02.02.2026"},
        {tlv(0x17, "491231235959Z"), "31.12.2049"},
        {tlv(0x17, "500101000000Z"), "01.01.1950"},
        {tlv(0x17, "9912310000Z"), "31.12.1999"},  // no seconds
        {tlv(0x18, "20260202094117Z"), "02.02.2026"},
        {tlv(0x18, "20491231235959Z"), "31.12.2049"},
        {tlv(0x18, "19500101000000.5Z"), "01.01.1950"},
        // Another identifier: 15 octets in all means a UTCTime.
        {tlv(0x04, "260202094117Z"), "02.02.2026"},
        {tlv(0x04, "20260202094117Z"), "02.02.2026"},
        {tlv(0x17, "261302094117Z"), ""},  // month 13
        {tlv(0x17, "260200094117Z"), ""},  // day 0
        {tlv(0x17, "2A0202094117Z"), ""},
        {tlv(0x17, "2602"), ""},
        {tlv(0x18, "202602"), ""},
        {hex("17 0D 32 36"), ""},  // cut short
    };
    for (const auto& [element, text] : cases) EXPECT_EQ(dateText(element), text) << kivo::test::toHex(element);
}

// ---- names -----------------------------------------------------------------------

TEST(DerText, NameText) {
    const Bytes directory = seq({rdn(kCountry, 0x13, "DE"), rdn(kCommonName, 0x0C, "CA")});
    const std::pair<Bytes, std::string> cases[] = {
        {seq({rdn(kCountry, 0x13, "DE"), rdn(kOrganization, 0x0C, "Kivo GmbH"), rdn(kCommonName, 0x0C, "Signer 1")}),
         "countryName=DE, organizationName=Kivo GmbH, commonName=Signer 1"},
        // T61String and UTF-8 copied as they are, BMP folded to Latin-1,
        // a type outside the registry dotted, an empty value.
        {seq({rdn(kEmail, 0x16, "a@b.de"), rdn("2.5.4.7", 0x14, "M\xFC" "nchen"), rdn("2.5.4.4", 0x0C, "M\xC3\xBCller"),
              rdn("2.5.4.42", 0x1E, std::string("\x00J\x00\xFC\x00r\x4E\x2D", 8)), rdn("1.2.3.4", 0x13, "x"),
              rdn("2.5.4.5", 0x13, "")}),
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
        {hex("30 00"), ""},
        {hex("30 02 31 00"), ""},
        // Malformed: an attribute that is no SEQUENCE, a value running past
        // its SET, an odd-length BMPString, an RDN without parts.
        {seq({set({tlv(0x04, "x")})}), ""},
        {seq({tlv(0x31, cat({hex("30 09"), oid(kCommonName), hex("0C 05 41")}))}), ""},
        {seq({rdn(kCommonName, 0x1E, std::string("\0A\0", 3))}), ""},
        {seq({set({hex("30 00")})}), ""},
    };
    for (const auto& [name, text] : cases) EXPECT_EQ(nameText(name), text) << kivo::test::toHex(name);
    EXPECT_STREQ(Asn1NameToText(nullptr, 10), "");
}

TEST(DerText, NameValueLimits) {
    // "commonName=" takes 11 octets; the line holds 4999 in all.
    const std::string fits(4999 - 11, 'v');
    EXPECT_EQ(nameText(seq({rdn(kCommonName, 0x0C, fits)})), "commonName=" + fits);
    EXPECT_EQ(nameText(seq({rdn(kCommonName, 0x0C, fits + "v")})), "");
    EXPECT_EQ(nameText(seq({rdn(kCommonName, 0x0C, std::string(5000, 'v'))})), "");
    // Many short attributes that together exceed the line.
    Bytes many;
    for (int i = 0; i < 400; ++i) many = cat({many, rdn(kCommonName, 0x0C, "0123456789")});
    EXPECT_EQ(nameText(tlv(0x30, many)), "");
    // BMP values count their characters.
    Bytes bmp;
    for (int i = 0; i < 4988; ++i) bmp.insert(bmp.end(), {0x00, 'b'});
    EXPECT_EQ(nameText(seq({rdn(kCommonName, 0x1E, std::string(bmp.begin(), bmp.end()))})), "");
}

// ---- counting ------------------------------------------------------------------

TEST(DerText, CountSequences) {
    const Bytes list = seq({seq({}), hex("02 01 01"), seq({hex("05 00")}), tlv(0xA0, ""), seq({})});
    ExactBuffer b(list);
    EXPECT_EQ(Asn1CountSequences(b.data(), b.size()), 3u);
    ExactBuffer empty(hex("30 00"));
    EXPECT_EQ(Asn1CountSequences(empty.data(), empty.size()), 0u);
    ExactBuffer malformed(hex("30 06 30 00 30 05 02 01"));
    EXPECT_EQ(Asn1CountSequences(malformed.data(), malformed.size()), 0u);
    EXPECT_EQ(Asn1CountSequences(nullptr, 4), 0u);
}

// ---- per-thread buffers ----------------------------------------------------------

TEST(DerText, ResultLivesUntilTheNextCallOfTheSameFunction) {
    ExactBuffer one(hex("04 01 11")), two(hex("04 01 22")), name(seq({rdn(kCountry, 0x13, "DE")}));
    const char* first = Asn1ContentHex(one.data(), one.size());
    const char* text = Asn1NameToText(name.data(), name.size());
    EXPECT_STREQ(first, "11");  // another function leaves it alone
    const char* second = Asn1ContentHex(two.data(), two.size());
    EXPECT_EQ(first, second);
    EXPECT_STREQ(first, "22");
    EXPECT_STREQ(text, "countryName=DE");
}

TEST(DerText, BuffersArePerThread) {
    constexpr int kRounds = 20000;
    std::barrier sync(2);
    const char* pointers[2] = {};
    bool stable[2] = {true, true};
    auto work = [&](int index) {
        const Bytes element = index == 0 ? hex("04 02 AA BB") : hex("04 03 01 02 03");
        const char* expected = index == 0 ? "AABB" : "010203";
        const Bytes name = seq({rdn(kCommonName, 0x0C, index == 0 ? "zero" : "one")});
        const std::string expectedName = index == 0 ? "commonName=zero" : "commonName=one";
        ExactBuffer b(element), n(name);
        pointers[index] = Asn1ContentHex(b.data(), b.size());
        sync.arrive_and_wait();
        for (int i = 0; i < kRounds; ++i) {
            const char* hexText = Asn1ContentHex(b.data(), b.size());
            const char* nameLine = Asn1NameToText(n.data(), n.size());
            if (std::strcmp(hexText, expected) != 0 || expectedName != nameLine) stable[index] = false;
        }
        sync.arrive_and_wait();
    };
    std::thread a(work, 0), b(work, 1);
    a.join();
    b.join();
    EXPECT_NE(pointers[0], pointers[1]);
    EXPECT_TRUE(stable[0]);
    EXPECT_TRUE(stable[1]);
}

// ---- conversions -----------------------------------------------------------------

TEST(DerConvert, HexToBytes) {
    std::vector<unsigned char> out;
    ASSERT_TRUE(HexToBytes("0a:Bc 1F\t00", &out));
    EXPECT_EQ(out, hex("0A BC 1F 00"));
    ASSERT_TRUE(HexToBytes("", &out));
    EXPECT_TRUE(out.empty());
    EXPECT_FALSE(HexToBytes("ABC", &out));
    EXPECT_TRUE(out.empty());
    EXPECT_FALSE(HexToBytes("A B C", &out));
    EXPECT_FALSE(HexToBytes("zz", &out));
    EXPECT_FALSE(HexToBytes("0x12", &out));
    EXPECT_TRUE(HexToBytes("1234", nullptr));
    EXPECT_FALSE(HexToBytes("123", nullptr));
}

TEST(DerConvert, BytesToHexRoundTrips) {
    std::string text;
    const Bytes octets = randomBytes(300, 7);
    BytesToHex(octets.data(), octets.size(), &text);
    EXPECT_EQ(text.size(), 600u);
    EXPECT_EQ(text.find_first_not_of("0123456789ABCDEF"), std::string::npos);
    std::vector<unsigned char> back;
    ASSERT_TRUE(HexToBytes(text, &back));
    EXPECT_EQ(back, octets);
    BytesToHex(hex("00 AB").data(), 2, &text);
    EXPECT_EQ(text, "00AB");
    BytesToHex(nullptr, 5, &text);
    EXPECT_EQ(text, "");
}

TEST(DerConvert, ParseUtcTimeText) {
    const std::int64_t feb2 = referenceUtc(2026, 2, 2, 9, 41, 17);
    const std::pair<const char*, std::int64_t> cases[] = {
        {"260202094117Z", feb2},
        {"491231235959Z", referenceUtc(2049, 12, 31, 23, 59, 59)},
        {"500101000000Z", referenceUtc(1950, 1, 1, 0, 0, 0)},
        {"2602020941Z", feb2 - 17},
        {"000229120000Z", referenceUtc(2000, 2, 29, 12, 0, 0)},
        {"700101000001Z", 1},
        {"2602021041+0100", feb2 - 17},
        {"2602020811-0130", feb2 - 17},
        {"260202104100+0100", feb2 - 17},
    };
    for (const auto& [text, seconds] : cases) EXPECT_EQ(ParseUtcTimeText(text), seconds) << text;
    for (const char* text : {"", "2602020941", "26020209411Z", "260202094117", "260202094117ZZ",
                             "261302094117Z", "260230094117Z", "260002094117Z", "260202244117Z",
                             "260202096017Z", "260202094160Z", "2602020941+01", "2602020941+2400",
                             "2602020941*0100", "2A0202094117Z", "20260202094117Z",
                             "260202094117Z12345678"}) {
        EXPECT_EQ(ParseUtcTimeText(text), 0) << text;
    }
    // Independent of the local zone.
    kivo::test::ScopedTimeZone berlin("Europe/Berlin");
    EXPECT_EQ(ParseUtcTimeText("260202094117Z"), feb2);
    kivo::test::ScopedTimeZone newYork("America/New_York");
    EXPECT_EQ(ParseUtcTimeText("260202094117Z"), feb2);
}

TEST(DerConvert, ParseUtcTimeTextAgreesWithTimegm) {
    std::uint32_t x = 12345;
    for (int i = 0; i < 5000; ++i) {
        x = x * 1664525u + 1013904223u;
        const int yy = static_cast<int>(x % 100);
        const int month = 1 + static_cast<int>((x >> 8) % 12);
        const int day = 1 + static_cast<int>((x >> 12) % 28);
        const int hour = static_cast<int>((x >> 17) % 24);
        const int minute = static_cast<int>((x >> 22) % 60);
        const int second = static_cast<int>((x >> 26) % 60);
        char text[16];
        std::snprintf(text, sizeof text, "%02d%02d%02d%02d%02d%02dZ", yy, month, day, hour, minute, second);
        const int year = yy > 49 ? 1900 + yy : 2000 + yy;
        ASSERT_EQ(ParseUtcTimeText(text), referenceUtc(year, month, day, hour, minute, second)) << text;
    }
}

TEST(DerConvert, SplitStringKeepsEmptyPieces) {
    EXPECT_EQ(SplitString("1.2.840", "."), (std::vector<std::string>{"1", "2", "840"}));
    EXPECT_EQ(SplitString("1..2", "."), (std::vector<std::string>{"1", "", "2"}));
    EXPECT_EQ(SplitString(".1.", "."), (std::vector<std::string>{"", "1", ""}));
    EXPECT_EQ(SplitString("a,b;c", ",;"), (std::vector<std::string>{"a", "b", "c"}));
    EXPECT_EQ(SplitString("", "."), (std::vector<std::string>{""}));
    EXPECT_EQ(SplitString("abc", ""), (std::vector<std::string>{"abc"}));
}
