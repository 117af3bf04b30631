// getTimeFromASN1: UTCTime and GeneralizedTime text read as local time
// (daylight saving subtracted), offsets applied, malformed text refused.

#include "tests/support/ContainerTestUtil.h"

#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

using namespace kivo::test::container;
using kivo::test::ScopedTimeZone;

namespace {

struct Asn1StringDeleter {
    void operator()(ASN1_STRING* s) const { ASN1_STRING_free(s); }
};

// An ASN.1 string of `type` holding `text` as it is (OpenSSL does not check it).
__int64 timeOf(int type, const std::string& text) {
    std::unique_ptr<ASN1_STRING, Asn1StringDeleter> s(ASN1_STRING_type_new(type));
    if (!s || ASN1_STRING_set(s.get(), text.data(), static_cast<int>(text.size())) != 1) {
        throw std::runtime_error("ASN1_STRING_set failed");
    }
    return CPKCS7SSL::getTimeFromASN1(s.get());
}

__int64 utc(const std::string& text) { return timeOf(V_ASN1_UTCTIME, text); }
__int64 generalized(const std::string& text) { return timeOf(V_ASN1_GENERALIZEDTIME, text); }

constexpr std::int64_t kFeb2 = 1770025277;  // 2026-02-02 09:41:17 UTC

TEST(Pkcs7InspectTime, UtcAndGeneralizedTimeInUtc) {
    ScopedTimeZone zone("UTC0");
    const struct {
        int type;
        const char* text;
        std::int64_t seconds;
    } cases[] = {
        // Two-digit years around the century window.
        {V_ASN1_UTCTIME, "491231235959Z", utcSeconds(2049, 12, 31, 23, 59, 59)},
        {V_ASN1_UTCTIME, "500101000000Z", utcSeconds(1950, 1, 1, 0, 0, 0)},
        {V_ASN1_UTCTIME, "000101000000Z", utcSeconds(2000, 1, 1, 0, 0, 0)},
        {V_ASN1_UTCTIME, "991231235959Z", utcSeconds(1999, 12, 31, 23, 59, 59)},
        {V_ASN1_UTCTIME, "260202094117Z", kFeb2},
        {V_ASN1_GENERALIZEDTIME, "20260202094117Z", kFeb2},
        {V_ASN1_GENERALIZEDTIME, "19500101000000Z", utcSeconds(1950, 1, 1, 0, 0, 0)},
        {V_ASN1_GENERALIZEDTIME, "20500101000000Z", utcSeconds(2050, 1, 1, 0, 0, 0)},
        // Offsets subtracted or added.
        {V_ASN1_UTCTIME, "260202094117+0100", kFeb2 - 3600},
        {V_ASN1_UTCTIME, "260202094117-0130", kFeb2 + 5400},
        {V_ASN1_GENERALIZEDTIME, "20260202094117+0100", kFeb2 - 3600},
        {V_ASN1_GENERALIZEDTIME, "20260202094117.25-0000", kFeb2},
        {V_ASN1_UTCTIME, "2602020941+0100", kFeb2 - 17 - 3600},
        // Fractions ignored, missing seconds zero.
        {V_ASN1_GENERALIZEDTIME, "20260202094117.123Z", kFeb2},
        {V_ASN1_GENERALIZEDTIME, "20260202094117.9Z", kFeb2},
        {V_ASN1_GENERALIZEDTIME, "202602020941Z", kFeb2 - 17},
        {V_ASN1_UTCTIME, "2602020941Z", kFeb2 - 17},
    };
    for (const auto& c : cases) EXPECT_EQ(timeOf(c.type, c.text), c.seconds) << c.text;
}

TEST(Pkcs7InspectTime, FieldsAreReadAsLocalTimeWithoutDaylightSaving) {
    // Central European time: +1 hour in winter, +2 hours in summer.
    ScopedTimeZone zone("CET-1CEST,M3.5.0,M10.5.0/3");
    EXPECT_EQ(utc("260202094117Z"), kFeb2 - 3600);
    EXPECT_EQ(generalized("20260202094117Z"), kFeb2 - 3600);
    // In summer mktime reports daylight saving for the moment; 3600 more go.
    EXPECT_EQ(utc("260702094117Z"), utcSeconds(2026, 7, 2, 9, 41, 17) - 7200);
    EXPECT_EQ(utc("260702094117+0200"), utcSeconds(2026, 7, 2, 9, 41, 17) - 7200 - 7200);
}

TEST(Pkcs7InspectTime, MalformedTextGivesZero) {
    ScopedTimeZone zone("UTC0");
    for (const char* text : {"", "Z", "2602020941", "26020209411Z", "260202094117", "260202094117X",
                             "260202094117+01", "260202094117*0100", "2602020941171Z", "260202094117Z0",
                             "261302094117Z", "260200094117Z", "260202244117Z", "260202096017Z",
                             "26020209411aZ", "260202094117.5Z", "260202094117+0160", "260202094117+2400"}) {
        EXPECT_EQ(utc(text), 0) << "UTCTime " << text;
    }
    for (const char* text : {"2026020209411Z", "20260202094117", "20260202094117.Z", "20260202094117.12",
                             "20260202094117,5Z", "2026020209411.5Z", "202602020941+01", "2026020209Z",
                             "2026-02-02 09:41:17Z", "20260202094117Z ", "20260202094117+0100Z"}) {
        EXPECT_EQ(generalized(text), 0) << "GeneralizedTime " << text;
    }
    EXPECT_EQ(CPKCS7SSL::getTimeFromASN1(nullptr), 0);
    EXPECT_EQ(timeOf(V_ASN1_OCTET_STRING, "260202094117Z"), 0);
    EXPECT_EQ(timeOf(V_ASN1_IA5STRING, "20260202094117Z"), 0);
}

TEST(Pkcs7InspectTime, OpenSslTimesReadBack) {
    ScopedTimeZone zone("UTC0");
    for (const std::int64_t seconds : {std::int64_t{0}, std::int64_t{951782400}, kFeb2, std::int64_t{2524607999}}) {
        ASN1_TIME* time = ASN1_TIME_set(nullptr, static_cast<time_t>(seconds));
        ASSERT_NE(time, nullptr);
        EXPECT_EQ(CPKCS7SSL::getTimeFromASN1(time), seconds);
        ASN1_TIME_free(time);
        ASN1_GENERALIZEDTIME* g = ASN1_GENERALIZEDTIME_set(nullptr, static_cast<time_t>(seconds));
        EXPECT_EQ(CPKCS7SSL::getTimeFromASN1(g), seconds);
        ASN1_GENERALIZEDTIME_free(g);
    }
}

}  // namespace
