// CSignMessage::addTimestamp on builder messages, against the RFC 3161
// service of the test support.

#include "SignMessageSSLM.h"
#include "tests/signing/TimeStampTestUtil.h"
#include "tests/support/ContainerTestUtil.h"

#include <gtest/gtest.h>
#include <openssl/pkcs7.h>
#include <openssl/ts.h>
#include <openssl/x509_vfy.h>

#include <string>
#include <vector>

using kivo::test::TsaServer;
namespace ct = kivo::test::container;

namespace {

constexpr const char* kTimeStampTokenOid = "1.2.840.113549.1.9.16.2.14";

class TimeStampContainer : public ::testing::Test {
protected:
    void SetUp() override {
        kivo::test::bypassProxyForLoopback();
        savedUrl_ = CSignMessage::m_tsURL;
        message_ = ct::signedBuilderMessage(ct::TestPki::instance().signer(kivo::test::KeyKind::Rsa2048), {});
    }
    void TearDown() override { CSignMessage::m_tsURL = savedUrl_; }

    std::string savedUrl_;
    ct::Bytes message_;
};

TEST_F(TimeStampContainer, TokenOverTheSignatureValueIsAdded) {
    TsaServer server;
    CSignMessage::setTSUrl(server.url());
    EXPECT_EQ(CSignMessage::m_tsURL, server.url());
    std::vector<unsigned char> buffer(message_.size() + 8000, 0xEE);
    std::copy(message_.begin(), message_.end(), buffer.begin());
    unsigned long capacity = static_cast<unsigned long>(buffer.size());
    ASSERT_EQ(CSignMessage::addTimestamp(buffer.data(), static_cast<unsigned long>(message_.size()), &capacity, 1, 0), 0);
    ASSERT_GT(capacity, message_.size());
    ASSERT_LE(capacity, buffer.size());
    buffer.resize(capacity);

    // OpenSSL reads the grown message; the signer carries the token as
    // id-aa-timeStampToken, and the token stamps SHA-256 of the signature.
    auto p7 = ct::parsePkcs7(buffer);
    ASSERT_TRUE(p7);
    PKCS7_SIGNER_INFO* si = sk_PKCS7_SIGNER_INFO_value(p7->d.sign->signer_info, 0);
    ASSERT_NE(si, nullptr);
    ASSERT_EQ(OBJ_txt2nid(kTimeStampTokenOid), NID_id_smime_aa_timeStampToken);
    ASN1_TYPE* attribute = PKCS7_get_attribute(si, NID_id_smime_aa_timeStampToken);
    ASSERT_NE(attribute, nullptr);
    ASSERT_EQ(attribute->type, V_ASN1_SEQUENCE);
    const unsigned char* p = attribute->value.sequence->data;
    ct::Pkcs7Ptr token(d2i_PKCS7(nullptr, &p, attribute->value.sequence->length));
    ASSERT_TRUE(token);

    const ct::Bytes signature = ct::octets(si->enc_digest);
    const ct::Bytes expected = ct::digest(EVP_sha256(), signature);
    TS_TST_INFO* info = PKCS7_to_TS_TST_INFO(token.get());
    ASSERT_NE(info, nullptr);
    ASN1_OCTET_STRING* imprint = TS_MSG_IMPRINT_get_msg(TS_TST_INFO_get_msg_imprint(info));
    EXPECT_EQ(ct::Bytes(ASN1_STRING_get0_data(imprint), ASN1_STRING_get0_data(imprint) + ASN1_STRING_length(imprint)),
              expected);
    TS_TST_INFO_free(info);

    TS_VERIFY_CTX* verify = TS_VERIFY_CTX_new();
    ASSERT_NE(verify, nullptr);
    X509_STORE* store = X509_STORE_new();
    X509_STORE_add_cert(store, server.caCertificate());
    TS_VERIFY_CTX_set_store(verify, store);
    ct::Bytes imprintCopy = expected;
    unsigned char* owned = static_cast<unsigned char*>(OPENSSL_memdup(imprintCopy.data(), imprintCopy.size()));
    TS_VERIFY_CTX_set_imprint(verify, owned, static_cast<long>(imprintCopy.size()));
    TS_VERIFY_CTX_set_flags(verify, TS_VFY_SIGNATURE | TS_VFY_IMPRINT | TS_VFY_VERSION);
    EXPECT_EQ(TS_RESP_verify_token(verify, token.get()), 1);
    TS_VERIFY_CTX_free(verify);
}

TEST_F(TimeStampContainer, NoRoomLeavesTheContainerAlone) {
    TsaServer server;
    CSignMessage::setTSUrl(server.url());
    ct::Bytes buffer = message_;
    unsigned long capacity = static_cast<unsigned long>(buffer.size());
    EXPECT_EQ(CSignMessage::addTimestamp(buffer.data(), static_cast<unsigned long>(buffer.size()), &capacity, 1, 0), -93);
    EXPECT_EQ(capacity, message_.size());
    EXPECT_EQ(buffer, message_);
    EXPECT_EQ(server.requestCount(), 1);
}

TEST_F(TimeStampContainer, FailuresGiveTheirCodes) {
    ct::Bytes buffer = message_;
    buffer.resize(message_.size() + 8000);
    unsigned long capacity = static_cast<unsigned long>(buffer.size());
    const auto len = static_cast<unsigned long>(message_.size());
    EXPECT_EQ(CSignMessage::addTimestamp(nullptr, len, &capacity, 1, 0), -24);
    EXPECT_EQ(CSignMessage::addTimestamp(buffer.data(), len, nullptr, 1, 0), -24);

    // No such signer; no container at all; a header claiming more than the buffer.
    CSignMessage::setTSUrl("http://127.0.0.1:1/tsa");
    EXPECT_EQ(CSignMessage::addTimestamp(buffer.data(), len, &capacity, 1, 3), -94);
    ct::Bytes junk(64, 0x41);
    unsigned long junkCapacity = junk.size();
    EXPECT_EQ(CSignMessage::addTimestamp(junk.data(), 64, &junkCapacity, 1, 0), -94);
    ct::Bytes claims = {0x30, 0x82, 0x7F, 0xFF, 0x30, 0x00};
    unsigned long claimsCapacity = claims.size();
    EXPECT_EQ(CSignMessage::addTimestamp(claims.data(), 6, &claimsCapacity, 1, 0), -94);

    // No usable service.
    CSignMessage::setTSUrl("");
    EXPECT_EQ(CSignMessage::addTimestamp(buffer.data(), len, &capacity, 1, 0), -91);
    TsaServer refusing(TsaServer::Mode::GrantedWithMods);
    CSignMessage::setTSUrl(refusing.url());
    EXPECT_EQ(CSignMessage::addTimestamp(buffer.data(), len, &capacity, 1, 0), -92);
    EXPECT_EQ(capacity, buffer.size());
    EXPECT_TRUE(std::equal(message_.begin(), message_.end(), buffer.begin()));
}

TEST_F(TimeStampContainer, CadesLevelIsStored) {
    const int saved = CSignMessage::m_cadesLevel;
    CSignMessage::setCAdES_Level(5);
    EXPECT_EQ(CSignMessage::m_cadesLevel, 5);
    CSignMessage::setCAdES_Level(-7);
    EXPECT_EQ(CSignMessage::m_cadesLevel, -7);
    CSignMessage::setCAdES_Level(saved);
}

}  // namespace
