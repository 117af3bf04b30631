// Key handles from PKCS#12 files: opening, the key-kind flag, the signature
// key kind, the hash check and closing; RSA decryption refused for them.

#include "tests/signing/SigningTestUtil.h"

#include <gtest/gtest.h>

using namespace kivo::test::signing;
using kivo::test::KeyKind;

namespace {

EVP_PKEY* asKey(unsigned long* handle) { return reinterpret_cast<EVP_PKEY*>(handle); }

class SigningKeyFiles : public ::testing::TestWithParam<KeyKind> {
protected:
    void TearDown() override { CSignMessage::m_isP12 = true; }
};

// Both openers give the private key of the file: it matches the signer
// certificate and can sign. The card arguments of OpenSSLKey do not matter.
TEST_P(SigningKeyFiles, BothOpenersGiveTheFilesKey) {
    const KeyKind kind = GetParam();
    SigningKeys& keys = SigningKeys::get();
    X509* cert = keys.signer(kind).cert.get();
    const std::string file = keys.p12(kind);

    CSignMessage::m_isP12 = false;
    unsigned long* viaP12 = CSignMessage::OpenSSLKey_P12(file.c_str(), kP12Password, "123456", 3, 7, "4711");
    ASSERT_NE(viaP12, nullptr);
    EXPECT_TRUE(CSignMessage::m_isP12);

    CSignMessage::m_isP12 = false;
    unsigned long* viaOpen =
        CSignMessage::OpenSSLKey(file.c_str(), kP12Password, "123456", 5, 2, "cert-01", "654321", 1);
    ASSERT_NE(viaOpen, nullptr);
    EXPECT_TRUE(CSignMessage::m_isP12);

    for (unsigned long* handle : {viaP12, viaOpen}) {
        EXPECT_EQ(EVP_PKEY_eq(asKey(handle), X509_get0_pubkey(cert)), 1);
        const Bytes data = kivo::test::randomBytes(100, 3);
        const Bytes signature = ct::digestSign(asKey(handle), EVP_sha256(), data);
        EXPECT_EQ(digestVerify(cert, EVP_sha256(), signature, data, RSA_PSS_SALTLEN_AUTO), 1);
    }
    CSignMessage::CloseSSLKey(viaP12);
    CSignMessage::CloseSSLKey(viaOpen);
}

TEST_P(SigningKeyFiles, KindAndHashCheck) {
    const KeyKind kind = GetParam();
    unsigned long* key = SigningKeys::get().key(kind);
    const int expected = kind == KeyKind::RsaPss2048                           ? 1
                         : (kind == KeyKind::EcP256 || kind == KeyKind::EcP384) ? 2
                                                                                : 0;
    EXPECT_EQ(CSignMessage::getSignAlgoFromPKey(key), expected);
    EXPECT_EQ(CSignMessage::getSignAlgoFromPKeyP12(asKey(key)), expected);
    for (const int hash : {-1, 0, 1, 2, 3, 4, 5, 6, 7, 100}) {
        EXPECT_EQ(CSignMessage::checkSignHashAlgoPKey(key, hash), 0) << "hash " << hash;
    }
}

INSTANTIATE_TEST_SUITE_P(AllKinds, SigningKeyFiles, ::testing::ValuesIn(kivo::test::allKeyKinds()),
                         [](const auto& info) { return std::string(kivo::test::keyKindName(info.param)); });

TEST(SigningKeyFailures, UnusableFilesGiveNull) {
    TempDir dir;
    const std::string good = SigningKeys::get().p12(KeyKind::EcP256);
    const std::string pem = dir.file("key.pem");
    writeFile(pem, Bytes{'-', '-', '-', '-', '-', 'B', 'E', 'G', 'I', 'N', '\n'});
    const std::string noise = dir.file("noise.p12");
    writeFile(noise, kivo::test::randomBytes(2000, 11));
    const std::string empty = dir.file("empty.p12");
    writeFile(empty, {});

    EXPECT_EQ(CSignMessage::OpenSSLKey_P12(good.c_str(), "wrong password", nullptr, 0, 0, nullptr), nullptr);
    EXPECT_EQ(CSignMessage::OpenSSLKey_P12(good.c_str(), nullptr, nullptr, 0, 0, nullptr), nullptr);
    EXPECT_EQ(CSignMessage::OpenSSLKey(good.c_str(), "wrong password", "123456", 0, 0, nullptr, nullptr, 0),
              nullptr);
    for (const std::string& file : {dir.file("missing.p12"), pem, noise, empty}) {
        EXPECT_EQ(CSignMessage::OpenSSLKey_P12(file.c_str(), kP12Password, nullptr, 0, 0, nullptr), nullptr) << file;
        EXPECT_EQ(CSignMessage::OpenSSLKey(file.c_str(), kP12Password, nullptr, 0, 0, nullptr, nullptr, 0), nullptr)
            << file;
    }
    EXPECT_EQ(CSignMessage::OpenSSLKey_P12(nullptr, kP12Password, nullptr, 0, 0, nullptr), nullptr);
    EXPECT_TRUE(CSignMessage::m_isP12);
    ERR_clear_error();
}

TEST(SigningKeyFailures, NullHandles) {
    CSignMessage::m_isP12 = true;
    EXPECT_EQ(CSignMessage::getSignAlgoFromPKey(nullptr), 0);
    EXPECT_EQ(CSignMessage::getSignAlgoFromPKeyP12(nullptr), 0);
    EXPECT_EQ(CSignMessage::checkSignHashAlgoPKey(nullptr, 1), -37);
    EXPECT_EQ(CSignMessage::checkSignHashAlgoPKey(nullptr, 0), -37);
    CSignMessage::CloseSSLKey(nullptr);
    CSignMessage::m_isP12 = false;  // the card branch ignores null as well
    CSignMessage::CloseSSLKey(nullptr);
    EXPECT_EQ(CSignMessage::getSignAlgoFromPKey(nullptr), 0);
    EXPECT_EQ(CSignMessage::checkSignHashAlgoPKey(nullptr, 1), -37);
    CSignMessage::m_isP12 = true;
}

// A key type the signing calls do not know counts as RSA PKCS#1 v1.5.
TEST(SigningKeyFailures, UnknownKeyTypeCountsAsRsa) {
    EVP_PKEY* ed25519 = EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519");
    ASSERT_NE(ed25519, nullptr);
    EXPECT_EQ(CSignMessage::getSignAlgoFromPKeyP12(ed25519), 0);
    EVP_PKEY_free(ed25519);
}

TEST(SigningKeyFailures, RsaDecryptionWithAFileKeyIsRefused) {
    for (const KeyKind kind : {KeyKind::Rsa2048, KeyKind::EcP256}) {
        unsigned long* key = SigningKeys::get().key(kind);
        Bytes in = kivo::test::randomBytes(256, 5);
        in[0] = 0;
        Bytes out(512, 0xEE);
        unsigned long outLen = 0xDEAD;
        EXPECT_EQ(CSignMessage::RSADecryptBlobSSL(in.data(), static_cast<int>(in.size()), out.data(), &outLen,
                                                  SigningKeys::get().signer(kind).cert.get(), key),
                  -24);
    }
}

}  // namespace
