// RFC 3161 time-stamp tokens made by OpenSSL's TSA code: recognised as
// tokens, their digest read from the TSTInfo's messageDigest attribute.

#include "tests/support/ContainerTestUtil.h"

#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <cstdlib>

using namespace kivo::test::container;
using kivo::test::cms::HeapCopy;

namespace {

class Pkcs7InspectTimeStampToken : public testing::Test {
protected:
    void SetUp() override {
        token_ = timeStampToken(Bytes{'s', 'i', 'g', 'n', 'a', 't', 'u', 'r', 'e'});
        p7_ = parsePkcs7(token_);
        ASSERT_TRUE(p7_);
        tstInfo_ = PKCS7_to_TS_TST_INFO(p7_.get());
        ASSERT_NE(tstInfo_, nullptr);
    }
    void TearDown() override { TS_TST_INFO_free(tstInfo_); }

    unsigned char* input() { return copy_.emplace(token_), mutableData(*copy_); }
    unsigned long length() const { return static_cast<unsigned long>(token_.size()); }

    Bytes tstInfoDer() const {
        unsigned char* der = nullptr;
        const int length = i2d_TS_TST_INFO(tstInfo_, &der);
        Bytes out(der, der + (length > 0 ? length : 0));
        OPENSSL_free(der);
        return out;
    }

    Bytes token_;
    Pkcs7Ptr p7_;
    TS_TST_INFO* tstInfo_ = nullptr;
    std::optional<HeapCopy> copy_;
};

TEST_F(Pkcs7InspectTimeStampToken, IsATokenWhileASignatureIsNot) {
    EXPECT_TRUE(CPKCS7SSL::IsTimestamp(input(), length()));
    const Bytes signature = signedBuilderMessage(TestPki::instance().signer(kivo::test::KeyKind::Rsa2048), {});
    HeapCopy copy(signature);
    EXPECT_FALSE(CPKCS7SSL::IsTimestamp(mutableData(copy), static_cast<unsigned long>(signature.size())));
    // The eContentType in the message is the TSTInfo OID.
    EXPECT_EQ(dotted(p7_->d.sign->contents->type), "1.2.840.113549.1.9.16.1.4");
}

TEST_F(Pkcs7InspectTimeStampToken, HashIsTheDigestOfTheTstInfo) {
    const Bytes tstInfo = tstInfoDer();
    ASSERT_FALSE(tstInfo.empty());

    // The content the token carries is the TSTInfo itself.
    Bytes content(token_.size(), 0xEE);
    unsigned char* out = content.data();
    unsigned long size = static_cast<unsigned long>(content.size());
    ASSERT_EQ(CPKCS7SSL::GetData(input(), length(), &out, &size), 0);
    content.resize(size);
    EXPECT_EQ(content, tstInfo);

    unsigned long hashLen = 0;
    const unsigned char* hash = CPKCS7SSL::GetTimestampHash(input(), length(), &hashLen);
    ASSERT_NE(hash, nullptr);
    EXPECT_EQ(Bytes(hash, hash + hashLen), digest(EVP_sha256(), tstInfo));

    // The first signer's messageDigest attribute, as OpenSSL reads it.
    PKCS7_SIGNER_INFO* si = sk_PKCS7_SIGNER_INFO_value(p7_->d.sign->signer_info, 0);
    ASN1_TYPE* attribute = PKCS7_get_signed_attribute(si, NID_pkcs9_messageDigest);
    ASSERT_NE(attribute, nullptr);
    EXPECT_EQ(Bytes(hash, hash + hashLen), octets(attribute->value.octet_string));

    unsigned long plainLen = 0;
    const unsigned char* plain = CPKCS7SSL::GetHash(input(), length(), &plainLen);
    ASSERT_NE(plain, nullptr);
    EXPECT_EQ(Bytes(plain, plain + plainLen), Bytes(hash, hash + hashLen));
}

TEST_F(Pkcs7InspectTimeStampToken, SignerVersionAndTime) {
    kivo::test::ScopedTimeZone utc("UTC0");
    const Output cert = callIndexed(CPKCS7SSL::GetSignerCert, token_, 0);
    ASSERT_EQ(cert.result, 0);
    EXPECT_EQ(cert.written(), tsa().der);
    EXPECT_EQ(CPKCS7SSL::GetNCertNum(input(), length()), 1);
    // SignedData of a content type other than data has version 3.
    EXPECT_EQ(CPKCS7SSL::GetVersion(input(), length()), 3);

    PKCS7_SIGNER_INFO* si = sk_PKCS7_SIGNER_INFO_value(p7_->d.sign->signer_info, 0);
    ASN1_TYPE* time = PKCS7_get_signed_attribute(si, NID_pkcs9_signingTime);
    ASSERT_NE(time, nullptr);
    EXPECT_EQ(CPKCS7SSL::GetSigningTime(input(), length()), utcSeconds(time->value.utctime));
    // Close to the token's own time.
    const std::int64_t genTime = utcSeconds(TS_TST_INFO_get_time(tstInfo_));
    EXPECT_LE(std::llabs(CPKCS7SSL::GetSigningTime(input(), length()) - genTime), 5);
}

TEST_F(Pkcs7InspectTimeStampToken, TokenSignatureVerifies) {
    EXPECT_EQ(CPKCS7SSL::Verify(input(), length()), 0);
    EXPECT_EQ(CPKCS7SSL::VerifyCMS(input(), length(), nullptr, 0), 0);
    // The TSTInfo changed: the messageDigest no longer matches.
    const Bytes tstInfo = tstInfoDer();
    Bytes tampered = token_;
    const auto at = std::search(tampered.begin(), tampered.end(), tstInfo.begin(), tstInfo.end());
    ASSERT_NE(at, tampered.end());
    at[static_cast<std::ptrdiff_t>(tstInfo.size()) - 1] ^= 0x01;
    HeapCopy bad(tampered);
    EXPECT_EQ(CPKCS7SSL::Verify(mutableData(bad), length()), -22);
    EXPECT_EQ(CPKCS7SSL::VerifyCMS(mutableData(bad), length(), nullptr, 0), -22);
}

}  // namespace
