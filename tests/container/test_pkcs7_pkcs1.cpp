// The hash inside RSA PKCS#1 v1.5 signatures: GetHashFromPKCS1Signature on
// signatures OpenSSL made with every hash the library names, and
// GetHashAlgoPkcs1 on raw decrypted blocks.

#include "tests/support/ContainerTestUtil.h"

#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <cstring>

using namespace kivo::test::container;
using kivo::test::KeyKind;
using kivo::test::cms::HeapCopy;

namespace {

struct HashCase {
    const char* name;
    const EVP_MD* (*md)();
    std::size_t length;
    int code;
    const char* signatureOid;
};

const HashCase kHashes[] = {
    {"SHA1", EVP_sha1, 20, 1, "1.2.840.113549.1.1.5"},
    {"SHA256", EVP_sha256, 32, 4, "1.2.840.113549.1.1.11"},
    {"SHA384", EVP_sha384, 48, 5, "1.2.840.113549.1.1.12"},
    {"SHA512", EVP_sha512, 64, 6, "1.2.840.113549.1.1.13"},
    {"RIPEMD160", EVP_ripemd160, 20, 2, "1.3.36.3.3.1.2"},
    {"MD5", EVP_md5, 16, 3, "1.2.840.113549.1.1.4"},
};

// A PKCS#1 v1.5 signature of `hash` (the DigestInfo is built by OpenSSL).
Bytes pkcs1Sign(EVP_PKEY* key, const EVP_MD* md, const Bytes& hash) {
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(key, nullptr);
    std::size_t length = 0;
    bool ok = ctx != nullptr && EVP_PKEY_sign_init(ctx) == 1 &&
              EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PADDING) == 1 &&
              EVP_PKEY_CTX_set_signature_md(ctx, md) == 1 &&
              EVP_PKEY_sign(ctx, nullptr, &length, hash.data(), hash.size()) == 1;
    Bytes signature(length);
    ok = ok && EVP_PKEY_sign(ctx, signature.data(), &length, hash.data(), hash.size()) == 1;
    EVP_PKEY_CTX_free(ctx);
    if (!ok) throw std::runtime_error("EVP_PKEY_sign failed");
    signature.resize(length);
    return signature;
}

// The raw RSA private operation on a whole block (no padding added).
Bytes rawPrivate(EVP_PKEY* key, const Bytes& block) {
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(key, nullptr);
    std::size_t length = 0;
    bool ok = ctx != nullptr && EVP_PKEY_sign_init(ctx) == 1 &&
              EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_NO_PADDING) == 1 &&
              EVP_PKEY_sign(ctx, nullptr, &length, block.data(), block.size()) == 1;
    Bytes out(length);
    ok = ok && EVP_PKEY_sign(ctx, out.data(), &length, block.data(), block.size()) == 1;
    EVP_PKEY_CTX_free(ctx);
    if (!ok) throw std::runtime_error("raw RSA failed");
    out.resize(length);
    return out;
}

// The raw RSA public operation (what a verifier sees before unpadding).
Bytes rawPublic(EVP_PKEY* key, const Bytes& signature) {
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(key, nullptr);
    std::size_t length = 0;
    bool ok = ctx != nullptr && EVP_PKEY_verify_recover_init(ctx) == 1 &&
              EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_NO_PADDING) == 1 &&
              EVP_PKEY_verify_recover(ctx, nullptr, &length, signature.data(), signature.size()) == 1;
    Bytes out(length);
    ok = ok && EVP_PKEY_verify_recover(ctx, out.data(), &length, signature.data(), signature.size()) == 1;
    EVP_PKEY_CTX_free(ctx);
    if (!ok) throw std::runtime_error("raw RSA recover failed");
    out.resize(length);
    return out;
}

class Pkcs7InspectPkcs1 : public testing::TestWithParam<HashCase> {};

TEST_P(Pkcs7InspectPkcs1, HashAndAlgorithmOutOfTheSignature) {
    const HashCase& c = GetParam();
    for (const KeyKind kind : {KeyKind::Rsa2048, KeyKind::Rsa3072}) {
        const Party& signer = TestPki::instance().signer(kind);
        const Bytes hash = digest(c.md(), kivo::test::randomBytes(100, static_cast<std::uint32_t>(c.code)));
        ASSERT_EQ(hash.size(), c.length);
        const Bytes signature = pkcs1Sign(signer.key.get(), c.md(), hash);

        HeapCopy sig(signature);
        HeapCopy cert(signer.der);
        unsigned long hashLen = 0;
        int algo = -1;
        const unsigned char* recovered = CPKCS7SSL::GetHashFromPKCS1Signature(
            mutableData(sig), static_cast<unsigned long>(signature.size()), mutableData(cert),
            static_cast<unsigned long>(signer.der.size()), &hashLen, &algo);
        ASSERT_NE(recovered, nullptr) << c.name;
        EXPECT_EQ(hashLen, c.length);
        EXPECT_EQ(algo, c.code);
        EXPECT_EQ(Bytes(recovered, recovered + hashLen), hash);

        // The block as a verifier sees it names the signature OID.
        Bytes block = rawPublic(signer.key.get(), signature);
        unsigned long oidLen = 0;
        const char* oid = CPKCS7SSL::GetHashAlgoPkcs1(block.data(), static_cast<unsigned long>(block.size()), 0, &oidLen);
        ASSERT_NE(oid, nullptr);
        EXPECT_STREQ(oid, c.signatureOid);
        EXPECT_EQ(oidLen, std::strlen(c.signatureOid));
    }
}

INSTANTIATE_TEST_SUITE_P(Pkcs7InspectHashes, Pkcs7InspectPkcs1, testing::ValuesIn(kHashes),
                         [](const testing::TestParamInfo<HashCase>& info) { return std::string(info.param.name); });

TEST(Pkcs7InspectPkcs1Block, WithoutDigestInfoTheLastTwentyOctetsCountAsSha1) {
    const Party& signer = TestPki::instance().signer(KeyKind::Rsa2048);
    // 00 01 FF .. FF 00, then 20 octets that are no DigestInfo.
    Bytes block(256, 0xFF);
    block[0] = 0x00;
    block[1] = 0x01;
    block[256 - 21] = 0x00;
    const Bytes tail = kivo::test::randomBytes(20, 99);
    std::copy(tail.begin(), tail.end(), block.end() - 20);
    Bytes signature = rawPrivate(signer.key.get(), block);
    HeapCopy cert(signer.der);
    unsigned long hashLen = 0;
    int algo = -1;
    const unsigned char* recovered = CPKCS7SSL::GetHashFromPKCS1Signature(
        signature.data(), static_cast<unsigned long>(signature.size()), mutableData(cert),
        static_cast<unsigned long>(signer.der.size()), &hashLen, &algo);
    ASSERT_NE(recovered, nullptr);
    EXPECT_EQ(hashLen, 20u);
    EXPECT_EQ(algo, 1);
    EXPECT_EQ(Bytes(recovered, recovered + 20), tail);

    unsigned long oidLen = 99;
    EXPECT_STREQ(CPKCS7SSL::GetHashAlgoPkcs1(block.data(), 256, 0, &oidLen), "");
    EXPECT_EQ(oidLen, 0u);
}

TEST(Pkcs7InspectPkcs1Block, BlockShapesThatNameNoHash) {
    const Bytes sha256Prefix = {0x30, 0x31, 0x30, 0x0D, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01,
                                0x65, 0x03, 0x04, 0x02, 0x01, 0x05, 0x00, 0x04, 0x20};
    const auto blockWith = [&](unsigned char first, bool separator, std::size_t prefixLength) {
        Bytes block = {first, 0x01, 0xFF, 0xFF, 0xFF};
        if (separator) block.push_back(0x00);
        block.insert(block.end(), sha256Prefix.begin(), sha256Prefix.begin() + static_cast<std::ptrdiff_t>(prefixLength));
        if (prefixLength == sha256Prefix.size()) block.insert(block.end(), 32, 0xAB);
        return block;
    };
    unsigned long len = 0;
    // The well-formed shape names SHA-256; 0, 1 and 2 are accepted first octets.
    for (const unsigned char first : {0x00, 0x01, 0x02}) {
        Bytes block = blockWith(first, true, sha256Prefix.size());
        EXPECT_STREQ(CPKCS7SSL::GetHashAlgoPkcs1(block.data(), static_cast<unsigned long>(block.size()), 0, &len),
                     "1.2.840.113549.1.1.11");
        EXPECT_EQ(len, 21u);
    }
    const std::pair<Bytes, const char*> refused[] = {
        {blockWith(0x03, true, sha256Prefix.size()), "first octet 3"},
        {blockWith(0x00, false, sha256Prefix.size()), "no zero octet after the padding"},
        {blockWith(0x00, true, 10), "prefix cut short"},
        {Bytes{0x00, 0x01}, "two octets"},
    };
    for (const auto& [block, what] : refused) {
        HeapCopy copy(block);
        len = 77;
        EXPECT_STREQ(CPKCS7SSL::GetHashAlgoPkcs1(mutableData(copy), static_cast<unsigned long>(block.size()), 0, &len), "")
            << what;
        EXPECT_EQ(len, 0u) << what;
    }
    len = 77;
    EXPECT_STREQ(CPKCS7SSL::GetHashAlgoPkcs1(nullptr, 100, 0, &len), "");
    EXPECT_EQ(len, 0u);
}

TEST(Pkcs7InspectPkcs1Block, KeysThatAreNotPkcs1RsaGiveNothing) {
    const Bytes hash = digest(EVP_sha256(), Bytes{'x'});
    const Bytes signature = pkcs1Sign(TestPki::instance().signer(KeyKind::Rsa2048).key.get(), EVP_sha256(), hash);
    for (const KeyKind kind : {KeyKind::EcP256, KeyKind::RsaPss2048}) {
        const Party& other = TestPki::instance().signer(kind);
        HeapCopy sig(signature);
        HeapCopy cert(other.der);
        unsigned long hashLen = 555;
        int algo = -1;
        EXPECT_EQ(CPKCS7SSL::GetHashFromPKCS1Signature(mutableData(sig), static_cast<unsigned long>(signature.size()),
                                                       mutableData(cert), static_cast<unsigned long>(other.der.size()),
                                                       &hashLen, &algo),
                  nullptr)
            << kivo::test::keyKindName(kind);
        EXPECT_EQ(hashLen, 555u);
        EXPECT_EQ(algo, 0) << "the algorithm is 0 until set";
    }
    // A certificate that does not parse, a signature longer than the key.
    const Party& rsa = TestPki::instance().signer(KeyKind::Rsa2048);
    Bytes garbage = kivo::test::randomBytes(300, 5);
    Bytes sig = signature;
    unsigned long hashLen = 0;
    int algo = -1;
    EXPECT_EQ(CPKCS7SSL::GetHashFromPKCS1Signature(sig.data(), static_cast<unsigned long>(sig.size()), garbage.data(),
                                                   static_cast<unsigned long>(garbage.size()), &hashLen, &algo),
              nullptr);
    Bytes longSig = kivo::test::cms::join({sig, Bytes{0x01}});
    HeapCopy cert(rsa.der);
    EXPECT_EQ(CPKCS7SSL::GetHashFromPKCS1Signature(longSig.data(), static_cast<unsigned long>(longSig.size()),
                                                   mutableData(cert), static_cast<unsigned long>(rsa.der.size()),
                                                   &hashLen, &algo),
              nullptr);
    // A truncated certificate.
    HeapCopy part(rsa.der.data(), rsa.der.size() - 1);
    EXPECT_EQ(CPKCS7SSL::GetHashFromPKCS1Signature(sig.data(), static_cast<unsigned long>(sig.size()), mutableData(part),
                                                   static_cast<unsigned long>(part.size()), &hashLen, &algo),
              nullptr);
    EXPECT_EQ(CPKCS7SSL::GetHashFromPKCS1Signature(nullptr, 0, mutableData(cert),
                                                   static_cast<unsigned long>(rsa.der.size()), &hashLen, &algo),
              nullptr);
    EXPECT_EQ(CPKCS7SSL::GetHashFromPKCS1Signature(sig.data(), static_cast<unsigned long>(sig.size()), mutableData(cert),
                                                   static_cast<unsigned long>(rsa.der.size()), nullptr, &algo),
              nullptr);
}

}  // namespace
