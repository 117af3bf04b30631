// SignBlobSSLRaw with file keys: bare signature values, checked by OpenSSL.

#include "tests/signing/SigningTestUtil.h"

#include <gtest/gtest.h>
#include <openssl/rsa.h>

using namespace kivo::test::signing;
using kivo::test::KeyKind;

namespace {

struct RawResult {
    int result = 1;
    Bytes signature;
};

// The certificate, signing time and embed flag are not used: they are
// passed as null and false.
RawResult signRaw(KeyKind kind, Bytes data, int hash, bool dataIsDigest) {
    RawResult r;
    Bytes out(1024, 0xEE);
    unsigned long length = 0;
    r.result = CSignMessage::SignBlobSSLRaw(data.data(), static_cast<int>(data.size()), out.data(), &length, nullptr,
                                            nullptr, SigningKeys::get().key(kind), hash, false, dataIsDigest, false);
    out.resize(std::min<std::size_t>(length, out.size()));
    r.signature = std::move(out);
    return r;
}

X509* certOf(KeyKind kind) { return SigningKeys::get().signer(kind).cert.get(); }

struct RawCase {
    KeyKind kind;
    int hash;
};

class SigningRaw : public ::testing::TestWithParam<RawCase> {};

// The data is digested with the hash code's digest and signed; RSA-PSS
// signatures are accepted with any salt length.
TEST_P(SigningRaw, SignatureOverTheDigestOfTheData) {
    const RawCase& c = GetParam();
    const Bytes data = kivo::test::randomBytes(777, 21);
    const RawResult r = signRaw(c.kind, data, c.hash, false);
    ASSERT_EQ(r.result, 0);
    const EVP_MD* md = ct::mdForHashId(c.hash);
    EXPECT_EQ(digestVerify(certOf(c.kind), md, r.signature, data, RSA_PSS_SALTLEN_AUTO), 1);
    Bytes other = data;
    other[0] ^= 0x80;
    EXPECT_NE(digestVerify(certOf(c.kind), md, r.signature, other, RSA_PSS_SALTLEN_AUTO), 1);
}

std::vector<RawCase> rawCases() {
    std::vector<RawCase> cases;
    for (const KeyKind kind : kivo::test::allKeyKinds()) {
        for (const int hash : {0, 1, 2, 3, 4, 5, 7}) cases.push_back({kind, hash});
    }
    return cases;
}

INSTANTIATE_TEST_SUITE_P(Matrix, SigningRaw, ::testing::ValuesIn(rawCases()), [](const auto& info) {
    return std::string(kivo::test::keyKindName(info.param.kind)) + "_hash" + std::to_string(info.param.hash);
});

// With dataIsDigest the bytes are signed as they are: an RSA PKCS#1 v1.5
// signature recovers exactly them, whatever the hash code says.
TEST(SigningRawDigest, RsaSignsTheBytesAsGiven) {
    for (const KeyKind kind : {KeyKind::Rsa2048, KeyKind::Rsa3072}) {
        for (const std::size_t size : {std::size_t{20}, std::size_t{32}, std::size_t{51}}) {
            const Bytes digest = kivo::test::randomBytes(size, 31);
            const RawResult r = signRaw(kind, digest, 3, true);
            ASSERT_EQ(r.result, 0);
            ASSERT_EQ(r.signature.size(), static_cast<std::size_t>(kivo::test::keyBits(kind) / 8));
            EVP_PKEY_CTX* context = EVP_PKEY_CTX_new(X509_get0_pubkey(certOf(kind)), nullptr);
            Bytes recovered(r.signature.size());
            std::size_t length = recovered.size();
            EXPECT_EQ(EVP_PKEY_verify_recover_init(context), 1);
            EXPECT_EQ(EVP_PKEY_CTX_set_rsa_padding(context, RSA_PKCS1_PADDING), 1);
            EXPECT_EQ(EVP_PKEY_verify_recover(context, recovered.data(), &length, r.signature.data(),
                                              r.signature.size()),
                      1);
            EVP_PKEY_CTX_free(context);
            recovered.resize(length);
            EXPECT_EQ(recovered, digest) << kivo::test::keyKindName(kind) << " size " << size;
        }
    }
}

TEST(SigningRawDigest, EcdsaSignsTheBytesAsGiven) {
    for (const KeyKind kind : {KeyKind::EcP256, KeyKind::EcP384}) {
        const Bytes digest = kivo::test::randomBytes(static_cast<std::size_t>(kivo::test::keyBits(kind) / 8), 41);
        const RawResult r = signRaw(kind, digest, 1, true);
        ASSERT_EQ(r.result, 0);
        EVP_PKEY_CTX* context = EVP_PKEY_CTX_new(X509_get0_pubkey(certOf(kind)), nullptr);
        EXPECT_EQ(EVP_PKEY_verify_init(context), 1);
        EXPECT_EQ(EVP_PKEY_verify(context, r.signature.data(), r.signature.size(), digest.data(), digest.size()), 1)
            << kivo::test::keyKindName(kind);
        EVP_PKEY_CTX_free(context);
        ERR_clear_error();
    }
}

// An RSASSA-PSS key takes the bytes as the message hash; the hash is the
// one of that length (PSS needs to know it for the encoding).
TEST(SigningRawDigest, RsaPssSignsTheBytesAsTheMessageHash) {
    for (const EVP_MD* md : {EVP_sha1(), EVP_sha256(), EVP_sha384(), EVP_sha512()}) {
        const Bytes digest = kivo::test::randomBytes(static_cast<std::size_t>(EVP_MD_get_size(md)), 45);
        const RawResult r = signRaw(KeyKind::RsaPss2048, digest, 1, true);
        ASSERT_EQ(r.result, 0) << EVP_MD_get0_name(md);
        EVP_PKEY_CTX* context = EVP_PKEY_CTX_new(X509_get0_pubkey(certOf(KeyKind::RsaPss2048)), nullptr);
        EXPECT_EQ(EVP_PKEY_verify_init(context), 1);
        EXPECT_EQ(EVP_PKEY_CTX_set_signature_md(context, md), 1);
        EXPECT_TRUE(usePss(context, md, RSA_PSS_SALTLEN_AUTO));
        EXPECT_EQ(EVP_PKEY_verify(context, r.signature.data(), r.signature.size(), digest.data(), digest.size()), 1)
            << EVP_MD_get0_name(md);
        EVP_PKEY_CTX_free(context);
        ERR_clear_error();
    }
}

TEST(SigningRawDigest, NullOutputOrKey) {
    Bytes data = kivo::test::randomBytes(32, 51);
    Bytes out(1024);
    unsigned long length = 0xDEAD;
    unsigned long* key = SigningKeys::get().key(KeyKind::Rsa2048);
    EXPECT_EQ(CSignMessage::SignBlobSSLRaw(data.data(), 32, nullptr, &length, nullptr, nullptr, key, 1, false, false,
                                           false),
              -301);
    EXPECT_EQ(CSignMessage::SignBlobSSLRaw(data.data(), 32, nullptr, &length, nullptr, nullptr, nullptr, 1, false,
                                           true, false),
              -301);
    EXPECT_EQ(length, 0xDEADu);
    EXPECT_EQ(CSignMessage::SignBlobSSLRaw(data.data(), 32, out.data(), &length, nullptr, nullptr, nullptr, 1, false,
                                           false, false),
              -37);
}

}  // namespace
