// CVerifyMsg::CheckSignPKCS1Detached: bare RSA PKCS#1 v1.5 signatures made
// by OpenSSL and by CSignMessage::SignBlobSSLRaw, against the signer
// certificate and the signed data.

#include "tests/verify/VerifyTestUtil.h"

#include "SignMessageSSLM.h"

namespace kivo::test::verify {
namespace {

// EVP_DigestSign with the DigestInfo of `md`; without one, PKCS#1 v1.5
// padding around `data` as it is.
Bytes sign(const Party& signer, const EVP_MD* md, const Bytes& data) {
    EVP_MD_CTX* digest = EVP_MD_CTX_new();
    EVP_PKEY_CTX* raw = EVP_PKEY_CTX_new(signer.key.get(), nullptr);
    std::size_t length = 1024;
    Bytes signature(length);
    const bool ok = md != nullptr ? EVP_DigestSignInit(digest, nullptr, md, nullptr, signer.key.get()) == 1 &&
                                        EVP_DigestSign(digest, signature.data(), &length, data.data(), data.size()) == 1
                                  : EVP_PKEY_sign_init(raw) == 1 && EVP_PKEY_CTX_set_rsa_padding(raw, RSA_PKCS1_PADDING) == 1 &&
                                        EVP_PKEY_sign(raw, signature.data(), &length, data.data(), data.size()) == 1;
    EVP_MD_CTX_free(digest);
    EVP_PKEY_CTX_free(raw);
    if (!ok) throw std::runtime_error("cannot sign");
    signature.resize(length);
    return signature;
}

// The call with null pointers where `signature`, `certificate` or `data` is missing.
unsigned int check(std::optional<Bytes> signature, std::optional<Bytes> certificate, std::optional<Bytes> data,
                   unsigned int dataLength) {
    char errorText[16] = "untouched";
    CVerifyMsg verifier;
    const int result = verifier.CheckSignPKCS1Detached(
        signature ? signature->data() : nullptr, signature ? signature->size() : 256,
        certificate ? certificate->data() : nullptr, certificate ? certificate->size() : 500,
        data ? data->data() : nullptr, dataLength, 7, 8, nullptr, errorText, nullptr, 0, 0, nullptr, nullptr);
    EXPECT_EQ(errorText[0], '\0') << "the error text is emptied";
    EXPECT_STREQ(errorText + 1, "ntouched") << "and nothing else is written";
    return static_cast<unsigned int>(result);
}

unsigned int check(const Bytes& signature, const Party& signer, Bytes data) {
    const auto length = static_cast<unsigned int>(data.size());
    data.push_back(0);  // a pointer also for empty data
    return check(signature, signer.der, data, length);
}

TEST(Pkcs1Test, SignaturesAndKeys) {
    const Party ca = Certify("/CN=PKCS1 CA").ca().make();
    const Party rsa = Certify("/CN=RSA Signer").issuer(ca).serial(2).key(KeyKind::Rsa2048).make();
    const Party rsa3072 = Certify("/CN=RSA 3072 Signer").issuer(ca).serial(3).key(KeyKind::Rsa3072).make();
    const Party ec = Certify("/CN=EC Signer").issuer(ca).serial(4).make();
    const Party pss = Certify("/CN=PSS Signer").issuer(ca).serial(5).key(KeyKind::RsaPss2048).make();
    const Bytes data = randomBytes(1500, 37), changed = randomBytes(1500, 38);
    for (const EVP_MD* md : {EVP_sha1(), EVP_sha256(), EVP_sha384(), EVP_sha512(), EVP_md5(), EVP_ripemd160()}) {
        for (const Party* signer : {&rsa, &rsa3072}) {
            SCOPED_TRACE(std::string(EVP_MD_get0_name(md)) + ", " + std::to_string(EVP_PKEY_get_bits(signer->key.get())));
            const Bytes signature = sign(*signer, md, data);
            EXPECT_EQ(check(signature, *signer, data), kValid);
            EXPECT_EQ(check(signature, *signer, changed), kBadSignature);
        }
    }
    const Bytes signature = sign(rsa, EVP_sha256(), data);
    const Bytes emptySigned = sign(rsa, EVP_sha256(), {});
    Bytes flipped = signature, longer = signature;
    flipped[flipped.size() / 2] ^= 0x01;
    longer.push_back(0);
    Party garbage;
    garbage.der = randomBytes(300, 2);
    struct Case {
        const char* what;
        Bytes signature;
        const Party& signer;
        Bytes data;
        unsigned int expected;
    } cases[] = {
        {"empty data", emptySigned, rsa, {}, kValid},
        {"empty data signed, one octet given", emptySigned, rsa, {0}, kBadSignature},
        // A block without DigestInfo is read as a SHA-1 hash, and only as one.
        {"bare SHA-1", sign(rsa, nullptr, opensslDigest("SHA1", data.data(), data.size())), rsa, data, kValid},
        {"bare SHA-256", sign(rsa, nullptr, opensslDigest("SHA256", data.data(), data.size())), rsa, data, kBadSignature},
        {"another RSA key", signature, rsa3072, data, kBadSignature},
        {"not an RSA key", signature, ec, data, kBadSignature},
        {"an RSASSA-PSS key", sign(pss, EVP_sha256(), data), pss, data, kBadSignature},
        {"a byte flipped", flipped, rsa, data, kBadSignature},
        {"an octet short", Bytes(signature.begin(), signature.end() - 1), rsa, data, kBadSignature},
        {"an octet long", longer, rsa, data, kBadSignature},
        {"not a certificate", signature, garbage, data, kBadSignature},
    };
    for (const Case& c : cases) EXPECT_EQ(check(c.signature, c.signer, c.data), c.expected) << c.what;
    EXPECT_EQ(check(emptySigned, rsa.der, std::nullopt, 0), kValid) << "a null data pointer with length 0";
    EXPECT_EQ(check(emptySigned, rsa.der, std::nullopt, 5), kBadSignature) << "a null data pointer with a length";
    EXPECT_EQ(check(std::nullopt, rsa.der, data, data.size()), kBadSignature) << "no signature";
    EXPECT_EQ(check(signature, std::nullopt, data, data.size()), kBadSignature) << "no certificate";

    // Signatures of SignBlobSSLRaw: codes 0 SHA-1, 1 SHA-256, 2 SHA-384,
    // 3 SHA-512, 4 RIPEMD-160, 5 MD5.
    TempDir dir;
    writePkcs12(dir.file("signer.p12"), rsa.key.get(), rsa.cert.get(), "pkcs1-test");
    unsigned long* key = CSignMessage::OpenSSLKey_P12(dir.file("signer.p12").c_str(), "pkcs1-test", nullptr, 0, 0, nullptr);
    ASSERT_NE(key, nullptr);
    for (int hash = 0; hash <= 5; ++hash) {
        Bytes input = data, raw(1024);
        unsigned long length = 0;
        ASSERT_EQ(CSignMessage::SignBlobSSLRaw(input.data(), static_cast<int>(input.size()), raw.data(), &length, nullptr,
                                               rsa.cert.get(), key, hash, false, false, false), 0);
        raw.resize(length);
        EXPECT_EQ(check(raw, rsa, data), kValid) << hash;
        EXPECT_EQ(check(raw, rsa, changed), kBadSignature) << hash;
    }
    CSignMessage::CloseSSLKey(key);
}

}  // namespace
}  // namespace kivo::test::verify
