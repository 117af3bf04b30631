// getTimeFromASN1 (local time, daylight saving subtracted) and RFC 3161 tokens.

#include "tests/support/ContainerTestUtil.h"

#include <gtest/gtest.h>


using namespace kivo::test::container;
using kivo::test::ScopedTimeZone;

namespace {

// An ASN.1 string of `type` holding `text` as it is (OpenSSL does not check it).
__int64 timeOf(int type, const std::string& text) {
    ASN1_STRING* s = ASN1_STRING_type_new(type);
    ASN1_STRING_set(s, text.data(), static_cast<int>(text.size()));
    const __int64 seconds = CPKCS7SSL::getTimeFromASN1(s);
    ASN1_STRING_free(s);
    return seconds;
}

constexpr int kUtc = V_ASN1_UTCTIME;
constexpr int kGen = V_ASN1_GENERALIZEDTIME;
constexpr std::int64_t kFeb2 = 1770025277;  // 2026-02-02 09:41:17 UTC
constexpr std::int64_t kJul2 = 1782985277;  // 2026-07-02 09:41:17 UTC

TEST(Pkcs7InspectTime, TextReadAsLocalTimeWithoutDaylightSaving) {
    const struct { const char* zone; int type; const char* text; std::int64_t seconds; } cases[] = {
        {"UTC0", kUtc, "491231235959Z", 2524607999},         {"UTC0", kUtc, "500101000000Z", -631152000},
        {"UTC0", kGen, "20500101000000Z", 2524608000},       {"UTC0", kUtc, "260202094117-0130", kFeb2 + 5400},
        {"UTC0", kGen, "20260202094117+0100", kFeb2 - 3600}, {"UTC0", kUtc, "2602020941+0100", kFeb2 - 17 - 3600},
        {"UTC0", kGen, "20260202094117.9Z", kFeb2},          {"UTC0", kGen, "202602020941Z", kFeb2 - 17},
        // Central European time: +1 hour in winter; in summer mktime reports
        // daylight saving for the moment, and 3600 more go.
        {"CET-1CEST,M3.5.0,M10.5.0/3", kUtc, "260202094117Z", kFeb2 - 3600},
        {"CET-1CEST,M3.5.0,M10.5.0/3", kGen, "20260702094117Z", kJul2 - 7200},
        {"CET-1CEST,M3.5.0,M10.5.0/3", kUtc, "260702094117+0200", kJul2 - 14400},
    };
    for (const auto& c : cases) {
        ScopedTimeZone zone(c.zone);
        EXPECT_EQ(timeOf(c.type, c.text), c.seconds) << c.text << " in " << c.zone;
    }
}

TEST(Pkcs7InspectTime, MalformedTextGivesZero) {
    ScopedTimeZone zone("UTC0");
    for (const char* text : {"", "2602020941", "260202094117", "260202094117X", "260202094117+01", "2602020941171Z",
                             "261302094117Z", "260202244117Z", "26020209411aZ", "260202094117.5Z", "260202094117+0160"}) {
        EXPECT_EQ(timeOf(kUtc, text), 0) << "UTCTime " << text;
    }
    for (const char* text : {"20260202094117", "20260202094117.Z", "20260202094117,5Z", "2026020209Z", "20260202094117+0100Z"}) {
        EXPECT_EQ(timeOf(kGen, text), 0) << "GeneralizedTime " << text;
    }
    EXPECT_EQ(CPKCS7SSL::getTimeFromASN1(nullptr), 0);
    EXPECT_EQ(timeOf(V_ASN1_OCTET_STRING, "260202094117Z"), 0);
}

TEST(Pkcs7InspectTimeStampToken, ReadAsOpenSslReadsIt) {
    kivo::test::ScopedTimeZone utc("UTC0");
    const Bytes token = timeStampToken(Bytes{'s', 'i', 'g'});
    const Pkcs7Ptr p7 = parsePkcs7(token);
    const Bytes tstInfo = octets(p7->d.sign->contents->d.other->value.octet_string);
    ASSERT_EQ(tstInfo.at(0), 0x30);

    Message m(token), signature(signedBuilderMessage(TestPki::instance().signer(kivo::test::KeyKind::Rsa2048), {}));
    EXPECT_TRUE(CPKCS7SSL::IsTimestamp(m.p(), m.len) && !CPKCS7SSL::IsTimestamp(signature.p(), signature.len));

    Bytes content(token.size(), 0xEE);
    unsigned char* out = content.data();
    unsigned long size = m.len;
    ASSERT_EQ(CPKCS7SSL::GetData(m.p(), m.len, &out, &size), 0);
    EXPECT_EQ(Bytes(content.begin(), content.begin() + static_cast<std::ptrdiff_t>(size)), tstInfo);
    PKCS7_SIGNER_INFO* si = sk_PKCS7_SIGNER_INFO_value(p7->d.sign->signer_info, 0);
    const Bytes messageDigest = octets(PKCS7_get_signed_attribute(si, NID_pkcs9_messageDigest)->value.octet_string);
    EXPECT_EQ(messageDigest, digest(EVP_sha256(), tstInfo));
    EXPECT_TRUE(hashOf(CPKCS7SSL::GetTimestampHash, token) == messageDigest && hashOf(CPKCS7SSL::GetHash, token) == messageDigest);

    EXPECT_EQ(callIndexed(CPKCS7SSL::GetSignerCert, token, 0).written(), kivo::test::derOf(timeStampService().tsaCertificate()));
    EXPECT_EQ(CPKCS7SSL::GetVersion(m.p(), m.len), 3) << "SignedData of another content type than data";
    EXPECT_EQ(CPKCS7SSL::GetSigningTime(m.p(), m.len), utcSeconds(PKCS7_get_signed_attribute(si, NID_pkcs9_signingTime)->value.utctime));

    EXPECT_EQ((Codes{verify(token), verifyCms(token, std::nullopt)}), (Codes{0, 0}));
    const Bytes broken = tamper(token, tstInfo, tstInfo.size() - 1);
    EXPECT_EQ((Codes{verify(broken), verifyCms(broken, std::nullopt)}), (Codes{-22, -22}));
}

}  // namespace
