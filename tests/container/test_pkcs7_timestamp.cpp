// RFC 3161 time-stamp tokens made by OpenSSL's TSA code: recognised as
// tokens, their digest read from the messageDigest over the TSTInfo.

#include "tests/support/ContainerTestUtil.h"

#include <gtest/gtest.h>

#include <openssl/ts.h>

#include <cstdlib>

using namespace kivo::test::container;

namespace {

TEST(Pkcs7InspectTimeStampToken, ReadAsOpenSslReadsIt) {
    kivo::test::ScopedTimeZone utc("UTC0");
    const Bytes token = timeStampToken(Bytes{'s', 'i', 'g'});
    const Pkcs7Ptr p7 = parsePkcs7(token);
    TS_TST_INFO* info = PKCS7_to_TS_TST_INFO(p7.get());
    ASSERT_NE(info, nullptr);
    unsigned char* infoDer = nullptr;
    const int infoLength = i2d_TS_TST_INFO(info, &infoDer);
    const Bytes tstInfo(infoDer, infoDer + infoLength);
    OPENSSL_free(infoDer);
    const std::int64_t genTime = utcSeconds(TS_TST_INFO_get_time(info));
    TS_TST_INFO_free(info);

    Message m(token);
    EXPECT_TRUE(CPKCS7SSL::IsTimestamp(m.p(), m.len));
    Message signature(signedBuilderMessage(TestPki::instance().signer(kivo::test::KeyKind::Rsa2048), {}));
    EXPECT_FALSE(CPKCS7SSL::IsTimestamp(signature.p(), signature.len));

    Bytes content(token.size(), 0xEE);
    unsigned char* out = content.data();
    unsigned long size = m.len;
    ASSERT_EQ(CPKCS7SSL::GetData(m.p(), m.len, &out, &size), 0);
    content.resize(size);
    EXPECT_EQ(content, tstInfo);
    PKCS7_SIGNER_INFO* si = sk_PKCS7_SIGNER_INFO_value(p7->d.sign->signer_info, 0);
    EXPECT_EQ(octets(PKCS7_get_signed_attribute(si, NID_pkcs9_messageDigest)->value.octet_string), digest(EVP_sha256(), tstInfo));
    EXPECT_EQ(hashOf(CPKCS7SSL::GetTimestampHash, token), digest(EVP_sha256(), tstInfo));
    EXPECT_EQ(hashOf(CPKCS7SSL::GetHash, token), digest(EVP_sha256(), tstInfo));

    EXPECT_EQ(callIndexed(CPKCS7SSL::GetSignerCert, token, 0).written(), kivo::test::derOf(timeStampService().tsaCertificate()));
    EXPECT_EQ(CPKCS7SSL::GetVersion(m.p(), m.len), 3) << "SignedData of another content type than data";
    EXPECT_EQ(CPKCS7SSL::GetSigningTime(m.p(), m.len), utcSeconds(PKCS7_get_signed_attribute(si, NID_pkcs9_signingTime)->value.utctime));
    EXPECT_LE(std::llabs(CPKCS7SSL::GetSigningTime(m.p(), m.len) - genTime), 5);

    EXPECT_EQ(verify(token), 0);
    EXPECT_EQ(verifyCms(token, std::nullopt), 0);
    EXPECT_EQ(verify(tamper(token, tstInfo, tstInfo.size() - 1)), -22);
    EXPECT_EQ(verifyCms(tamper(token, tstInfo, tstInfo.size() - 1), std::nullopt), -22);
}

}  // namespace
