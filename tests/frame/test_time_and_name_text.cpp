// ASN.1 time text to seconds under time zones set by the test; escaped UTF-8 in names folded to Latin-1.

#include "tests/support/TestSupport.h"

#include "src/frame/Asn1Time.h"
#include "src/frame/NameText.h"

#include <gtest/gtest.h>
#include <openssl/asn1.h>

#include <cstdio>
#include <memory>
#include <tuple>

using kivo::test::ScopedTimeZone;

namespace {

// POSIX zone strings need no zone database on the machine.
constexpr const char* kUtc = "UTC0";
constexpr const char* kBerlin = "CET-1CEST,M3.5.0,M10.5.0/3";
constexpr std::int64_t kNoon = 1704110400;  // 2024-01-01 12:00:00 UTC

TEST(Asn1Time, TextToSeconds) {
    const std::tuple<const char*, const char*, std::optional<std::int64_t>> cases[] = {
        {kUtc, "700101000000Z", 0}, {kUtc, "000229120000Z", 951825600}, {kUtc, "240101120000Z", kNoon},
        // A GeneralizedTime drops its century: only the last two digits count.
        {kUtc, "20240101120000Z", kNoon}, {kUtc, "21240101120000Z", kNoon}, {kUtc, "19990101000000Z", 915148800},
        // Two-digit years pivot at fifty.
        {kUtc, "491231235959Z", 2524607999}, {kUtc, "500101000000Z", -631152000}, {kUtc, "20500101000000Z", -631152000},
        {kUtc, "240101120000+0100", kNoon - 3600}, {kUtc, "240101120000-0130", kNoon + 5400}, {kUtc, "240101120000+0000", kNoon},
        // The fields are local standard time: daylight saving stays off in summer.
        {kBerlin, "240101120000Z", kNoon - 3600}, {kBerlin, "240701120000Z", 1719835200 - 3600},
        {"EST5EDT,M3.2.0,M11.1.0", "240101120000Z", kNoon + 5 * 3600},
        // Malformed, one per rule: empty, no seconds, 14 characters, no zone, unknown zone marker, trailing text, short
        // offset, offset or field not digits, month 13 and 0, day 0, hour 25, minute 60, GeneralizedTime with offset.
        {kUtc, "", {}}, {kUtc, "2401011200Z", {}}, {kUtc, "2024010112000Z", {}}, {kUtc, "240101120000", {}},
        {kUtc, "240101120000X", {}}, {kUtc, "240101120000Z0", {}}, {kUtc, "240101120000+01", {}},
        {kUtc, "240101120000+ab00", {}}, {kUtc, "2401011200a0Z", {}}, {kUtc, "241301120000Z", {}},
        {kUtc, "240001120000Z", {}}, {kUtc, "240100120000Z", {}}, {kUtc, "240101250000Z", {}},
        {kUtc, "240101126000Z", {}}, {kUtc, "20240101120000+0100", {}}};
    for (const auto& [zone, text, seconds] : cases) {
        ScopedTimeZone scoped(zone);
        EXPECT_EQ(kivo::asn1TimeTextToSeconds(text), seconds) << text << " in " << zone;
    }
}

// The as-written reading keeps a GeneralizedTime's century; a UTCTime keeps the two-digit rule.
TEST(Asn1Time, AsWrittenKeepsTheCenturyOfGeneralizedTime) {
    ScopedTimeZone utc(kUtc);
    const std::tuple<const char*, bool, std::optional<std::int64_t>> cases[] = {
        {"20500101000000Z", true, 2524608000}, {"99991231235959Z", true, 253402300799},  // RFC 5280's "no expiry"
        {"19490101000000Z", true, -662688000}, {"20240101120000+0100", true, kNoon - 3600},
        {"491231235959Z", false, 2524607999},  {"500101000000Z", false, -631152000},
        {"2050010100000Z", true, {}},  {"X0500101000000Z", true, {}}, {"20501301000000Z", true, {}}, {"", true, {}}};
    for (const auto& [text, generalized, seconds] : cases) {
        EXPECT_EQ(kivo::asn1TimeTextToSecondsAsWritten(text, generalized), seconds) << text;
    }
    // OpenSSL's time objects: the kind comes from the object; nothing readable gives 0.
    const std::unique_ptr<ASN1_TIME, void (*)(ASN1_TIME*)> time(ASN1_TIME_new(), ASN1_TIME_free);
    EXPECT_EQ(kivo::asn1TimeToSeconds(time.get()) + kivo::asn1TimeToSeconds(nullptr), 0);
    ASSERT_EQ(ASN1_TIME_set_string(time.get(), "20500101000000Z"), 1);
    EXPECT_EQ(std::pair(kivo::asn1TimeToSeconds(time.get()), kivo::asn1TimeToSecondsAsWritten(time.get())),
              std::pair(std::int64_t{-631152000}, std::optional<std::int64_t>{2524608000}));
}

std::string folded(std::string text) {
    kivo::foldEscapedUtf8ToLatin1(text);
    return text;
}

TEST(NameLatin1Folding, EscapedU00A0ToU00FFBecomeLatin1) {
    const std::pair<std::string, std::string> cases[] = {
        {"CN=J\\C3\\BCrgen M\\C3\\BCller", "CN=J\xFCrgen M\xFCller"}, {"\\C3\\84\\C3\\96\\C3\\9C", "\xC4\xD6\xDC"},
        {"\\\\C3\\BC", "\\\xFC"}, {std::string("a\\C3\\A4\0\\C3\\B6", 14), std::string("a\xE4\0\xF6", 4)},
        // Unchanged: U+009F, U+0100, the euro sign, no continuation byte, lower-case hex, cut short.
        {"\\C2\\9F", "\\C2\\9F"}, {"\\C4\\80", "\\C4\\80"}, {"\\E2\\82\\AC", "\\E2\\82\\AC"}, {"\\C3\\C0", "\\C3\\C0"},
        {"\\c3\\bc", "\\c3\\bc"}, {"tail \\C3\\B", "tail \\C3\\B"}, {"\\C3", "\\C3"}, {"", ""}};
    for (const auto& [text, expected] : cases) EXPECT_EQ(folded(text), expected) << text;
    for (unsigned code = 0xA0; code <= 0xFF; ++code) {
        char escaped[8];
        std::snprintf(escaped, sizeof escaped, "\\%02X\\%02X", 0xC0 | (code >> 6), 0x80 | (code & 0x3F));
        EXPECT_EQ(folded(escaped), std::string(1, static_cast<char>(code))) << escaped;
    }
    char text[] = "M\\C3\\BCller, \\C3\\A4";  // the C-string form
    kivo::foldEscapedUtf8ToLatin1(text);
    EXPECT_STREQ(text, "M\xFCller, \xE4");
    kivo::foldEscapedUtf8ToLatin1(static_cast<char*>(nullptr));
}

}  // namespace
