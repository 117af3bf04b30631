// CVerifyMsg::CheckSignPKCS1Detached: bare RSA PKCS#1 v1.5 signatures
// made by OpenSSL and by CSignMessage::SignBlobSSLRaw, against the signer
// certificate and the signed data.

#include "tests/verify/VerifyTestUtil.h"

#include "SignMessageSSLM.h"

#include <cstring>

namespace kivo::test::verify {
namespace {

class Pkcs1Test : public VerifyTest {
protected:
    void SetUp() override {
        m_ca = Certify("/O=Kivo Verify/CN=PKCS1 CA").ca().make();
        m_rsa = Certify("/O=Kivo Verify/CN=RSA Signer").issuer(m_ca).serial(2).key(KeyKind::Rsa2048).make();
        m_rsa3072 = Certify("/O=Kivo Verify/CN=RSA 3072 Signer").issuer(m_ca).serial(3).key(KeyKind::Rsa3072).make();
    }

    // EVP_DigestSign: PKCS#1 v1.5 with the DigestInfo of `md`.
    static Bytes sign(const Party& signer, const EVP_MD* md, const Bytes& data) {
        EVP_MD_CTX* context = EVP_MD_CTX_new();
        std::size_t length = 0;
        bool ok = EVP_DigestSignInit(context, nullptr, md, nullptr, signer.key.get()) == 1 &&
                  EVP_DigestSign(context, nullptr, &length, data.data(), data.size()) == 1;
        Bytes signature(length);
        ok = ok && EVP_DigestSign(context, signature.data(), &length, data.data(), data.size()) == 1;
        EVP_MD_CTX_free(context);
        if (!ok) throw std::runtime_error("EVP_DigestSign failed");
        signature.resize(length);
        return signature;
    }

    // PKCS#1 v1.5 padding around `block` as it is (no DigestInfo).
    static Bytes signRaw(const Party& signer, const Bytes& block) {
        EVP_PKEY_CTX* context = EVP_PKEY_CTX_new(signer.key.get(), nullptr);
        std::size_t length = 0;
        bool ok = context != nullptr && EVP_PKEY_sign_init(context) == 1 &&
                  EVP_PKEY_CTX_set_rsa_padding(context, RSA_PKCS1_PADDING) == 1 &&
                  EVP_PKEY_sign(context, nullptr, &length, block.data(), block.size()) == 1;
        Bytes signature(length);
        ok = ok && EVP_PKEY_sign(context, signature.data(), &length, block.data(), block.size()) == 1;
        EVP_PKEY_CTX_free(context);
        if (!ok) throw std::runtime_error("EVP_PKEY_sign failed");
        signature.resize(length);
        return signature;
    }

    static unsigned int check(const Bytes& signature, const Party& signer, const Bytes& data) {
        Bytes sig = signature;
        Bytes cert = signer.der;
        Bytes content = data;
        content.push_back(0);  // a pointer also for empty data
        char errorText[16] = "untouched";
        CVerifyMsg verifier;
        const int result = verifier.CheckSignPKCS1Detached(
            sig.data(), static_cast<unsigned int>(sig.size()), cert.data(), static_cast<unsigned int>(cert.size()),
            content.data(), static_cast<unsigned int>(data.size()), 7, 8, nullptr, errorText, nullptr, 0, 0,
            nullptr, nullptr);
        EXPECT_EQ(errorText[0], '\0') << "the error text is emptied";
        EXPECT_STREQ(errorText + 1, "ntouched") << "and nothing else is written";
        return static_cast<unsigned int>(result);
    }

    const Bytes m_data = randomBytes(1500, 37);
    Party m_ca, m_rsa, m_rsa3072;
};

TEST_F(Pkcs1Test, EveryDigestTheDigestInfoCanName) {
    const std::pair<const char*, const EVP_MD*> digests[] = {
        {"SHA-1", EVP_sha1()},    {"SHA-256", EVP_sha256()}, {"SHA-384", EVP_sha384()},
        {"SHA-512", EVP_sha512()}, {"MD5", EVP_md5()},        {"RIPEMD-160", EVP_ripemd160()},
    };
    for (const auto& [name, md] : digests) {
        for (const Party* signer : {&m_rsa, &m_rsa3072}) {
            SCOPED_TRACE(std::string(name) + ", " + std::to_string(EVP_PKEY_get_bits(signer->key.get())) + " bits");
            const Bytes signature = sign(*signer, md, m_data);
            EXPECT_EQ(check(signature, *signer, m_data), kValid);
            Bytes changed = m_data;
            changed[0] ^= 0x80;
            EXPECT_EQ(check(signature, *signer, changed), kBadSignature);
        }
    }
}

TEST_F(Pkcs1Test, EmptyData) {
    const Bytes empty;
    const Bytes signature = sign(m_rsa, EVP_sha256(), empty);
    EXPECT_EQ(check(signature, m_rsa, empty), kValid);
    EXPECT_EQ(check(signature, m_rsa, Bytes{0}), kBadSignature);
    // A null data pointer with length 0 is empty data as well.
    Bytes sig = signature;
    Bytes cert = m_rsa.der;
    CVerifyMsg verifier;
    EXPECT_EQ(static_cast<unsigned int>(verifier.CheckSignPKCS1Detached(
                  sig.data(), static_cast<unsigned int>(sig.size()), cert.data(), static_cast<unsigned int>(cert.size()),
                  nullptr, 0, 0, 0, nullptr, nullptr, nullptr, 0, 0, nullptr, nullptr)),
              kValid);
    EXPECT_EQ(static_cast<unsigned int>(verifier.CheckSignPKCS1Detached(
                  sig.data(), static_cast<unsigned int>(sig.size()), cert.data(), static_cast<unsigned int>(cert.size()),
                  nullptr, 5, 0, 0, nullptr, nullptr, nullptr, 0, 0, nullptr, nullptr)),
              kBadSignature)
        << "a null pointer with a length";
}

// A block without DigestInfo is read as a SHA-1 hash.
TEST_F(Pkcs1Test, BlockWithoutDigestInfoIsSha1) {
    const Bytes sha1 = opensslDigest("SHA1", m_data.data(), m_data.size());
    EXPECT_EQ(check(signRaw(m_rsa, sha1), m_rsa, m_data), kValid);
    // A bare SHA-256 hash is not a SHA-1 hash, however its last 20 bytes look.
    const Bytes sha256 = opensslDigest("SHA256", m_data.data(), m_data.size());
    EXPECT_EQ(check(signRaw(m_rsa, sha256), m_rsa, m_data), kBadSignature);
}

TEST_F(Pkcs1Test, SignaturesOfSignBlobSSLRaw) {
    TempDir dir;
    const std::string p12 = dir.file("signer.p12");
    writePkcs12(p12, m_rsa.key.get(), m_rsa.cert.get(), "pkcs1-test");
    unsigned long* key = CSignMessage::OpenSSLKey_P12(p12.c_str(), "pkcs1-test", nullptr, 0, 0, nullptr);
    ASSERT_NE(key, nullptr);
    // Signing codes 0 SHA-1, 1 SHA-256, 2 SHA-384, 3 SHA-512, 4 RIPEMD-160, 5 MD5.
    for (int hash = 0; hash <= 5; ++hash) {
        SCOPED_TRACE("hash code " + std::to_string(hash));
        Bytes data = m_data;
        Bytes signature(1024);
        unsigned long length = 0;
        ASSERT_EQ(CSignMessage::SignBlobSSLRaw(data.data(), static_cast<int>(data.size()), signature.data(), &length,
                                               nullptr, m_rsa.cert.get(), key, hash, false, false, false),
                  0);
        signature.resize(length);
        EXPECT_EQ(check(signature, m_rsa, m_data), kValid);
        EXPECT_EQ(check(signature, m_rsa, randomBytes(1500, 38)), kBadSignature);
    }
    CSignMessage::CloseSSLKey(key);
}

TEST_F(Pkcs1Test, WrongKeysAndBrokenInput) {
    const Bytes signature = sign(m_rsa, EVP_sha256(), m_data);
    EXPECT_EQ(check(signature, m_rsa3072, m_data), kBadSignature) << "another RSA key";
    const Party ec = Certify("/O=Kivo Verify/CN=EC Signer").issuer(m_ca).serial(4).make();
    EXPECT_EQ(check(signature, ec, m_data), kBadSignature) << "not an RSA key";
    const Party pss = Certify("/O=Kivo Verify/CN=PSS Signer").issuer(m_ca).serial(5).key(KeyKind::RsaPss2048).make();
    EXPECT_EQ(check(sign(pss, EVP_sha256(), m_data), pss, m_data), kBadSignature)
        << "an RSASSA-PSS key makes no PKCS#1 v1.5 signatures";

    Bytes flipped = signature;
    flipped[flipped.size() / 2] ^= 0x01;
    EXPECT_EQ(check(flipped, m_rsa, m_data), kBadSignature);
    Bytes shorter(signature.begin(), signature.end() - 1);
    EXPECT_EQ(check(shorter, m_rsa, m_data), kBadSignature);
    Bytes longer = signature;
    longer.push_back(0);
    EXPECT_EQ(check(longer, m_rsa, m_data), kBadSignature);

    Party garbage;
    garbage.der = randomBytes(300, 2);
    EXPECT_EQ(check(signature, garbage, m_data), kBadSignature) << "not a certificate";

    CVerifyMsg verifier;
    Bytes cert = m_rsa.der;
    Bytes sig = signature;
    Bytes data = m_data;
    EXPECT_EQ(static_cast<unsigned int>(verifier.CheckSignPKCS1Detached(
                  nullptr, 256, cert.data(), static_cast<unsigned int>(cert.size()), data.data(),
                  static_cast<unsigned int>(data.size()), 0, 0, nullptr, nullptr, nullptr, 0, 0, nullptr, nullptr)),
              kBadSignature);
    EXPECT_EQ(static_cast<unsigned int>(verifier.CheckSignPKCS1Detached(
                  sig.data(), static_cast<unsigned int>(sig.size()), nullptr, 500, data.data(),
                  static_cast<unsigned int>(data.size()), 0, 0, nullptr, nullptr, nullptr, 0, 0, nullptr, nullptr)),
              kBadSignature);
}

}  // namespace
}  // namespace kivo::test::verify
