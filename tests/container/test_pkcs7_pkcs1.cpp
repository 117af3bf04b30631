// The hash inside RSA PKCS#1 v1.5 signatures and their decrypted blocks.

#include "tests/support/ContainerTestUtil.h"

#include <gtest/gtest.h>

#include <cstring>

using namespace kivo::test::container;
using kivo::test::KeyKind;

namespace {

// EVP_PKEY_sign (padding 0: none) or EVP_PKEY_verify_recover (raw) of `in`.
Bytes rsaOperation(EVP_PKEY* key, const Bytes& in, int padding, const EVP_MD* md, bool recover) {
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(key, nullptr);
    std::size_t length = 1024;
    Bytes out(length);
    const bool ok = (recover ? EVP_PKEY_verify_recover_init(ctx) : EVP_PKEY_sign_init(ctx)) == 1 &&
                    EVP_PKEY_CTX_set_rsa_padding(ctx, padding) == 1 &&
                    (md == nullptr || EVP_PKEY_CTX_set_signature_md(ctx, md) == 1) &&
                    (recover ? EVP_PKEY_verify_recover(ctx, out.data(), &length, in.data(), in.size())
                             : EVP_PKEY_sign(ctx, out.data(), &length, in.data(), in.size())) == 1;
    EVP_PKEY_CTX_free(ctx);
    out.resize(length);
    return ok ? out : throw std::runtime_error("RSA operation failed");
}

// GetHashFromPKCS1Signature of `signature` with the key of `certificate`.
std::optional<std::pair<Bytes, int>> hashFromSignature(const Bytes& signature, const Bytes& certificate) {
    Message sig(signature), cert(certificate);
    unsigned long length = 555;
    int algo = -1;
    const unsigned char* hash = CPKCS7SSL::GetHashFromPKCS1Signature(sig.p(), sig.len, cert.p(), cert.len, &length, &algo);
    EXPECT_TRUE(hash != nullptr || length == 555u);
    return hash == nullptr ? std::nullopt : std::optional(std::pair{Bytes(hash, hash + length), algo});
}

std::string hashAlgoPkcs1(const Bytes& block) {
    Message copy(block);
    unsigned long length = 77;
    const std::string oid = CPKCS7SSL::GetHashAlgoPkcs1(copy.p(), copy.len, 0, &length);
    EXPECT_EQ(length, oid.size());
    return oid;
}

TEST(Pkcs7InspectPkcs1, HashAndAlgorithmOutOfTheSignature) {
    const struct { const EVP_MD* md; int code; const char* signatureOid; } hashes[] = {
        {EVP_sha1(), 1, "1.2.840.113549.1.1.5"},   {EVP_sha256(), 4, "1.2.840.113549.1.1.11"},
        {EVP_sha384(), 5, "1.2.840.113549.1.1.12"}, {EVP_sha512(), 6, "1.2.840.113549.1.1.13"},
        {EVP_ripemd160(), 2, "1.3.36.3.3.1.2"},     {EVP_md5(), 3, "1.2.840.113549.1.1.4"},
    };
    for (const auto& h : hashes) {
        SCOPED_TRACE(h.signatureOid);
        const Party& signer = TestPki::instance().signer(h.code % 2 == 0 ? KeyKind::Rsa2048 : KeyKind::Rsa3072);
        const Bytes hash = digest(h.md, kivo::test::randomBytes(100, static_cast<std::uint32_t>(h.code)));
        const Bytes signature = rsaOperation(signer.key.get(), hash, RSA_PKCS1_PADDING, h.md, false);
        EXPECT_EQ(hashFromSignature(signature, signer.der), std::pair(hash, h.code));
        EXPECT_EQ(hashAlgoPkcs1(rsaOperation(signer.key.get(), signature, RSA_NO_PADDING, nullptr, true)), h.signatureOid);
    }
}

TEST(Pkcs7InspectPkcs1, BlockShapes) {
    const Party& signer = TestPki::instance().signer(KeyKind::Rsa2048);
    // 00 01 FF .. FF 00 and 20 octets that are no DigestInfo: taken as SHA-1.
    const Bytes tail = kivo::test::randomBytes(20, 99);
    const Bytes block = kivo::test::cms::join({Bytes{0x00, 0x01}, Bytes(256 - 23, 0xFF), Bytes{0x00}, tail});
    EXPECT_EQ(hashFromSignature(rsaOperation(signer.key.get(), block, RSA_NO_PADDING, nullptr, false), signer.der), std::pair(tail, 1));
    EXPECT_EQ(hashAlgoPkcs1(block), "");

    const Bytes sha256Prefix = kivo::test::hex("3031300D060960864801650304020105000420");
    const auto blockWith = [&](unsigned char first, bool separator, std::size_t prefixLength) {
        const Bytes prefix(sha256Prefix.begin(), sha256Prefix.begin() + static_cast<std::ptrdiff_t>(prefixLength));
        return kivo::test::cat({{first, 0x01, 0xFF, 0xFF, 0xFF}, separator ? Bytes{0x00} : Bytes{}, prefix, Bytes(prefixLength == sha256Prefix.size() ? 32 : 0, 0xAB)});
    };
    const std::size_t whole = sha256Prefix.size();
    const std::pair<Bytes, const char*> shapes[] = {
        {blockWith(0x00, true, whole), "1.2.840.113549.1.1.11"}, {blockWith(0x01, true, whole), "1.2.840.113549.1.1.11"},
        {blockWith(0x02, true, whole), "1.2.840.113549.1.1.11"}, {blockWith(0x03, true, whole), ""},
        {blockWith(0x00, false, whole), ""}, {blockWith(0x00, true, 10), ""}, {Bytes{0x00, 0x01}, ""},
    };
    for (const auto& [shape, oid] : shapes) EXPECT_EQ(hashAlgoPkcs1(shape), oid) << kivo::test::toHex(shape);
    unsigned long length = 77;
    EXPECT_TRUE(std::string(CPKCS7SSL::GetHashAlgoPkcs1(nullptr, 100, 0, &length)).empty() && length == 0u);
}

TEST(Pkcs7InspectPkcs1, KeysAndInputsThatGiveNothing) {
    const Party& rsa = TestPki::instance().signer(KeyKind::Rsa2048);
    const Bytes sig = rsaOperation(rsa.key.get(), digest(EVP_sha256(), Bytes{'x'}), RSA_PKCS1_PADDING, EVP_sha256(), false);
    const Bytes ec = TestPki::instance().signer(KeyKind::EcP256).der, pss = TestPki::instance().signer(KeyKind::RsaPss2048).der;
    for (const auto& [s, cert] : {std::pair{sig, ec}, {sig, pss}, {sig, Bytes(rsa.der.begin(), rsa.der.end() - 1)}, {kivo::test::cat({sig, {1}}), rsa.der}, {Bytes{}, rsa.der}}) {
        EXPECT_EQ(hashFromSignature(s, cert), std::nullopt);
    }
}

}  // namespace
