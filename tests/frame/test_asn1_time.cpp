// ASN.1 time text to seconds, under time zones set by the test.

#include "tests/support/TestSupport.h"

#include "src/frame/Asn1Time.h"

#include <gtest/gtest.h>
#include <openssl/asn1.h>

#include <ctime>

using kivo::asn1TimeTextToSeconds;
using kivo::test::ScopedTimeZone;

namespace {

// POSIX zone strings need no zone database on the machine.
constexpr const char* kUtc = "UTC0";
constexpr const char* kBerlin = "CET-1CEST,M3.5.0,M10.5.0/3";
constexpr const char* kNewYork = "EST5EDT,M3.2.0,M11.1.0";

int yearOf(std::int64_t seconds) {
    const std::time_t value = static_cast<std::time_t>(seconds);
    std::tm fields{};
    gmtime_r(&value, &fields);
    return fields.tm_year + 1900;
}

std::int64_t secondsOf(const char* text) {
    const auto value = asn1TimeTextToSeconds(text);
    EXPECT_TRUE(value.has_value()) << text;
    return value.value_or(0);
}

}  // namespace

TEST(Asn1Time, UtcAndGeneralizedTimeInUtc) {
    ScopedTimeZone zone(kUtc);
    const std::int64_t noon = 1704110400;  // 2024-01-01 12:00:00
    const std::pair<const char*, std::int64_t> cases[] = {
        {"700101000000Z", 0},
        {"000229120000Z", 951825600},  // leap day of 2000
        {"240101120000Z", noon},
        // A GeneralizedTime drops its century: only the last two digits of
        // the year count.
        {"20240101120000Z", noon},
        {"21240101120000Z", noon},
        // Offsets are subtracted.
        {"240101120000+0100", noon - 3600},
        {"240101120000-0130", noon + 5400},
        {"240101120000+0000", noon},
    };
    for (const auto& [text, seconds] : cases) EXPECT_EQ(secondsOf(text), seconds) << text;
    // Two-digit years pivot at fifty.
    EXPECT_EQ(yearOf(secondsOf("491231235959Z")), 2049);
    EXPECT_EQ(yearOf(secondsOf("500101000000Z")), 1950);
    EXPECT_EQ(yearOf(secondsOf("19990101000000Z")), 1999);
}

TEST(Asn1Time, FieldsAreTakenAsLocalStandardTime) {
    const std::int64_t inUtc = [] {
        ScopedTimeZone zone(kUtc);
        return secondsOf("240101120000Z");
    }();
    {
        ScopedTimeZone zone(kBerlin);
        EXPECT_EQ(secondsOf("240101120000Z"), inUtc - 3600);
        // Summer dates too: daylight saving is switched off for the
        // conversion, so the offset stays one hour.
        const std::int64_t summerUtc = 1719835200;  // 2024-07-01 12:00:00 UTC
        EXPECT_EQ(secondsOf("240701120000Z"), summerUtc - 3600);
    }
    {
        ScopedTimeZone zone(kNewYork);
        EXPECT_EQ(secondsOf("240101120000Z"), inUtc + 5 * 3600);
    }
}

TEST(Asn1Time, MalformedTextGivesNothing) {
    ScopedTimeZone zone(kUtc);
    const char* malformed[] = {
        "",                    // empty
        "2401011200Z",         // no seconds
        "240101120000",        // no zone
        "240101120000X",       // unknown zone marker
        "240101120000+01",     // short offset
        "240101120000+01000",  // long offset
        "240101120000+ab00",   // offset not digits
        "240101120000Z0",      // trailing text
        "2401011200a0Z",       // field not digits
        "241301120000Z",       // month 13
        "240001120000Z",       // month 0
        "240100120000Z",       // day 0
        "240101250000Z",       // hour 25
        "240101126000Z",       // minute 60
        "2024010112000Z",      // 14 characters
        "20240101120000+0100", // GeneralizedTime with offset keeps its century
    };
    for (const char* text : malformed) {
        EXPECT_FALSE(asn1TimeTextToSeconds(text).has_value()) << text;
    }
}

TEST(Asn1Time, ReadsOpenSSLTimeObjects) {
    ScopedTimeZone zone(kUtc);
    ASN1_TIME* utc = ASN1_TIME_new();
    ASN1_TIME* generalized = ASN1_TIME_new();
    ASSERT_EQ(ASN1_TIME_set_string(utc, "240101120000Z"), 1);
    ASSERT_EQ(ASN1_TIME_set_string(generalized, "20240101120000Z"), 1);
    EXPECT_EQ(kivo::asn1TimeToSeconds(utc), 1704110400);
    EXPECT_EQ(kivo::asn1TimeToSeconds(generalized), 1704110400);

    // A time OpenSSL makes from seconds reads back as the same seconds.
    const std::time_t moment = 2000000000;
    ASN1_TIME* fromSeconds = ASN1_TIME_set(nullptr, moment);
    ASSERT_NE(fromSeconds, nullptr);
    EXPECT_EQ(kivo::asn1TimeToSeconds(fromSeconds), moment);

    EXPECT_EQ(kivo::asn1TimeToSeconds(nullptr), 0);
    ASN1_TIME* empty = ASN1_TIME_new();
    EXPECT_EQ(kivo::asn1TimeToSeconds(empty), 0);

    ASN1_TIME_free(utc);
    ASN1_TIME_free(generalized);
    ASN1_TIME_free(fromSeconds);
    ASN1_TIME_free(empty);
}

namespace {

// The as-written reading keeps a GeneralizedTime's century; a UTCTime
// keeps the two-digit rule.
TEST(Asn1Time, AsWrittenKeepsTheCenturyOfGeneralizedTime) {
    ScopedTimeZone utc(kUtc);
    struct Case {
        const char* text;
        bool generalized;
        std::int64_t seconds;
    };
    const Case cases[] = {
        {"20500101000000Z", true, 2524608000},     // read as 1950 by the two-digit rule
        {"99991231235959Z", true, 253402300799},   // RFC 5280's "no expiry"
        {"19490101000000Z", true, -662688000},     // and 2049 by the two-digit rule
        {"20240101120000Z", true, 1704110400},
        {"20240101120000+0100", true, 1704106800},
        {"491231235959Z", false, 2524607999},      // UTCTime: 2049
        {"500101000000Z", false, -631152000},      // UTCTime: 1950
    };
    for (const Case& c : cases) {
        EXPECT_EQ(kivo::asn1TimeTextToSecondsAsWritten(c.text, c.generalized), c.seconds) << c.text;
    }
    EXPECT_EQ(yearOf(secondsOf("20500101000000Z")), 1950) << "the described reading stays";
    for (const char* bad : {"2050010100000Z", "X0500101000000Z", "20501301000000Z", ""}) {
        EXPECT_FALSE(kivo::asn1TimeTextToSecondsAsWritten(bad, true).has_value()) << bad;
    }
}

}  // namespace
