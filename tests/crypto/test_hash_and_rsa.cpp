// CHashSSL and CCertHandler::HashBlob; raw RSA of CRsa, CRsaSmall and its big numbers; all against OpenSSL.

#include "CertHandlerSSL.h"
#include "HashSSL.h"
#include "Rsa.h"
#include "digest/BigDigits.h"
#include "digest/RsaSmall.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>
#include <openssl/bn.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <memory>
#include <random>
#include <thread>
#include <tuple>

namespace {

using Bytes = std::vector<unsigned char>;
using BnPtr = std::unique_ptr<BIGNUM, void (*)(BIGNUM*)>;
using OpenSslOperation = int (*)(int, const unsigned char*, unsigned char*, RSA*, int);
using namespace kivo::mp;
using namespace kivo::test;
constexpr int kBlock = 128;

// Unknown codes and null data: empty text, cleared binary buffer, length and HashBlob's output left alone.
TEST(HashService, BothNumberingsAgreeWithOpenSsl) {
    auto input = kivo::test::randomBytes(1000, 7);
    // {name code, signing code, name (OpenSSL's too), data}
    const std::tuple<int, int, const char*, unsigned char*> algorithms[] = {
        {1, 0, "SHA1", input.data()},   {2, 5, "RIPEMD160", input.data()}, {3, 4, "MD5", input.data()},
        {4, 1, "SHA256", input.data()}, {5, 2, "SHA384", input.data()},    {6, 3, "SHA512", input.data()},
        {0, 6, nullptr, input.data()},  {7, -1, nullptr, input.data()},    {-1, 1000, nullptr, input.data()},
        {4, 0, nullptr, nullptr}};
    for (const auto& [nameCode, signingCode, name, data] : algorithms) {
        SCOPED_TRACE(nameCode);
        const auto digest = name ? opensslDigest(name, input.data(), input.size()) : std::vector<unsigned char>();
        EXPECT_EQ(CHashSSL::calculateHash(data, input.size(), nameCode), toHex(digest));
        unsigned long length = 0;
        const unsigned char* binary = CHashSSL::calculateHashBin(data, input.size(), nameCode, &length);
        EXPECT_EQ(toHex(binary, length), toHex(digest));
        EXPECT_TRUE(std::all_of(binary + length, binary + 128, [](unsigned char b) { return b == 0; })) << "the rest of the buffer";
        for (const auto hashBlob : {&CHashSSL::HashBlob, &CCertHandler::HashBlob}) {
            std::array<unsigned char, 80> out;
            out.fill(0xEE);
            int outLength = 0;
            EXPECT_EQ(hashBlob(data, input.size(), signingCode, out.data(), &outLength), 0);
            ASSERT_LE(outLength, 64);
            EXPECT_EQ(toHex(out.data(), static_cast<std::size_t>(outLength) + 1), toHex(digest) + "EE");
        }
        if (data) {
            EXPECT_STREQ(CHashSSL::getHashAlgoName(nameCode), name ? name : nameCode == 0 ? "UKNOWN" : "UNKNOWN");
        }
    }
    EXPECT_EQ(CHashSSL::calculateHash(nullptr, 0, 4), toHex(opensslDigest("SHA256", nullptr, 0))) << "nothing to read";
    EXPECT_EQ(toHex(CHashSSL::calculateHashBin(input.data(), 3, 1, nullptr), 20), toHex(opensslDigest("SHA1", input.data(), 3)))
        << "a null length only loses the length";
    int outLength = 77;
    unsigned char out[64];
    EXPECT_EQ((std::vector<int>{CHashSSL::HashBlob(input.data(), 3, 0, nullptr, &outLength), CHashSSL::HashBlob(input.data(), 3, 0, out, nullptr)}), (std::vector<int>{0, 0}));
    EXPECT_EQ(outLength, 77);
}

// One result buffer per thread, which the thread's next call overwrites.
TEST(HashService, EachThreadHasOneResultBuffer) {
    unsigned char abc[] = {'a', 'b', 'c'}, abd[] = {'a', 'b', 'd'};
    const char* first = CHashSSL::calculateHash(abc, 3, 1);
    const char* other = nullptr;
    std::thread([&] { other = CHashSSL::calculateHash(abd, 3, 4); }).join();
    EXPECT_NE(other, first);
    EXPECT_EQ(first, toHex(opensslDigest("SHA1", abc, 3))) << "untouched by the other thread";
    EXPECT_EQ(CHashSSL::calculateHash(abd, 3, 1), first) << "the next call of the thread reuses its buffer";
}

TEST(HashService, HashAlgoFromOid) {
    const std::pair<const char*, int> table[] = {
        {"1.2.840.113549.1.1.5", 1},   {"1.2.840.113549.1.1.11", 4},  {"1.2.840.113549.1.1.12", 5},
        {"1.2.840.113549.1.1.13", 6},  {"1.3.36.3.3.1.2", 2},         {"1.2.840.113549.2.5", 3},
        {"1.2.840.113549.1.1.4", 3},   {"1.3.14.3.2.26", 1},          {"2.16.840.1.101.3.4.2.1", 4},
        {"2.16.840.1.101.3.4.2.2", 5}, {"2.16.840.1.101.3.4.2.3", 6}, {"1.3.36.3.2.1", 2},
        {"1.2.840.113549.1.1.1", 0},   {"1.2.840.113549.1.1.111", 0}, {"1.2.840.113549.1.1.1 ", 0},
        {" 1.3.14.3.2.26", 0},         {"", 0},                       {"sha256", 0}};
    for (const auto& [oid, code] : table) EXPECT_EQ(CHashSSL::getHashAlgo(std::string(oid).data()), code) << "'" << oid << "'";
    EXPECT_EQ(CHashSSL::getHashAlgo(nullptr), 0);
}

// One key for the whole suite (generation is slow).
RSA* testKey() {
    static const std::unique_ptr<EVP_PKEY, void (*)(EVP_PKEY*)> key(EVP_RSA_gen(1024), EVP_PKEY_free);
    return const_cast<RSA*>(EVP_PKEY_get0_RSA(key.get()));
}

Bytes bigEndian(const BIGNUM* n, int width = 0) {
    Bytes out(static_cast<std::size_t>(width > 0 ? width : BN_num_bytes(n)));
    BN_bn2binpad(n, out.data(), static_cast<int>(out.size()));
    return out;
}

// 30 81 89 02 81 81 00 <n> 02 03 <e>: the public-key layout CRsa reads.
Bytes publicKeyBlob() {
    Bytes blob = {0x30, 0x81, 0x89, 0x02, 0x81, 0x81, 0x00};
    const Bytes modulus = bigEndian(RSA_get0_n(testKey()), kBlock), exponent = bigEndian(RSA_get0_e(testKey()));
    blob.insert(blob.end(), modulus.begin(), modulus.end());
    blob.insert(blob.end(), {0x02, static_cast<unsigned char>(exponent.size())});
    blob.insert(blob.end(), exponent.begin(), exponent.end());
    return blob;
}

Bytes blockBelowModulus() { return Bytes(kBlock, 0x5A); }  // the modulus' top octet is 0x80 or more

Bytes opensslRaw(OpenSslOperation operation, const Bytes& in) {
    Bytes out(kBlock);
    EXPECT_EQ(operation(kBlock, in.data(), out.data(), testKey(), RSA_NO_PADDING), kBlock);
    return out;
}

void expectOpenSslResults(CRsa& rsa) {
    const std::pair<int (CRsa::*)(unsigned char*, int, unsigned char*, int), OpenSslOperation> operations[] = {
        {&CRsa::PublicKeyEncrypt, RSA_public_encrypt},   {&CRsa::PublicKeyDecrypt, RSA_public_decrypt},
        {&CRsa::PrivateKeyEncrypt, RSA_private_encrypt}, {&CRsa::PrivateKeyDecrypt, RSA_private_decrypt},
        {&CRsa::RsaDP, RSA_private_decrypt}};
    for (const auto& [ours, theirs] : operations) {
        Bytes in = blockBelowModulus(), out(kBlock);
        EXPECT_EQ((rsa.*ours)(in.data(), kBlock, out.data(), kBlock), 0);
        EXPECT_EQ(out, opensslRaw(theirs, in));
    }
}

// SetPrivateKey reads a fixed relative file name, written here into a temporary working folder.
TEST(CRsa, OperationsEqualOpenSslRawAlsoInCopies) {
    const kivo::test::TempDir folder("kivo-rsa");
    const std::filesystem::path previous = std::filesystem::current_path();
    std::filesystem::current_path(folder.path());
    std::FILE* file = std::fopen("D:\\opensc\\debug_dlls\\temp.key", "w");
    PEM_write_RSAPrivateKey(file, testKey(), nullptr, nullptr, 0, nullptr, nullptr);
    std::fclose(file);
    auto original = std::make_unique<CRsa>();
    EXPECT_EQ(original->SetPublicKey(publicKeyBlob().data(), 0), 0) << "a length of 0 is not given: the layout bounds the read";
    EXPECT_EQ(original->SetPrivateKey(nullptr, 0), 0);
    std::filesystem::current_path(previous);
    CRsa copy(*original), assigned;
    assigned = copy;
    expectOpenSslResults(*original);
    original.reset();  // the copies share the keys and outlive the original
    expectOpenSslResults(copy);
    expectOpenSslResults(assigned);
}

TEST(CRsa, RefusesBlobsAndBlocksItCannotUse) {
    const Bytes blob = publicKeyBlob();
    Bytes wrongLayout = blob, longExponent = blob;
    wrongLayout[3] = 0x04;
    longExponent[136] = 0x05;
    longExponent.insert(longExponent.end(), {0x00, 0x00});
    // The exponent cut by one octet, the modulus cut, a wrong layout, five exponent octets (given or not), a negative length.
    const std::pair<Bytes, int> blobs[] = {{blob, 139}, {blob, 100}, {wrongLayout, 140}, {longExponent, 142}, {longExponent, 0}, {blob, -1}};
    CRsa rsa;
    for (auto [bytes, length] : blobs) EXPECT_EQ(rsa.SetPublicKey(bytes.data(), length), -1) << length;
    EXPECT_EQ(rsa.SetPublicKey(nullptr, 140), -1);
    Bytes in = blockBelowModulus(), out(kBlock, 0xAB), aboveModulus(kBlock, 0xFF);
    EXPECT_EQ(rsa.PublicKeyEncrypt(in.data(), kBlock, out.data(), kBlock), -1) << "no key";
    EXPECT_EQ(rsa.SetPrivateKey(nullptr, 0), 0) << "no key file in the working folder";
    EXPECT_EQ(rsa.PrivateKeyDecrypt(in.data(), kBlock, out.data(), kBlock), 0);
    EXPECT_EQ(out, Bytes(kBlock, 0xAB)) << "output left alone";
    ASSERT_EQ(rsa.SetPublicKey(Bytes(blob).data(), 140), 0);
    EXPECT_EQ(rsa.PublicKeyEncrypt(in.data(), kBlock - 1, out.data(), kBlock), -1);
    EXPECT_EQ(rsa.PublicKeyEncrypt(aboveModulus.data(), kBlock, out.data(), kBlock), -1);
}

TEST(CRsaSmall, OperationsEqualOpenSslRaw) {
    CRsaSmall rsa;
    Bytes in = blockBelowModulus(), out(kBlock);
    EXPECT_EQ(rsa.PublicOp(in.data(), kBlock, out.data(), kBlock), -1) << "no key";
    const Bytes n = bigEndian(RSA_get0_n(testKey())), e = bigEndian(RSA_get0_e(testKey())), d = bigEndian(RSA_get0_d(testKey()));
    rsa.SetModulus(n.data(), static_cast<unsigned short>(n.size()));
    rsa.SetPublicExponent(e.data(), static_cast<unsigned short>(e.size()));
    rsa.SetPrivateExponent(d.data(), static_cast<unsigned short>(d.size()));
    EXPECT_EQ(rsa.PrivateOp(in.data(), kBlock, nullptr, kBlock), -1);
    for (const auto& [operation, theirs] : {std::pair{&CRsaSmall::PublicOp, &RSA_public_encrypt}, {&CRsaSmall::PrivateOp, &RSA_private_decrypt}}) {
        ASSERT_EQ((rsa.*operation)(in.data(), kBlock, out.data(), kBlock), 0);
        EXPECT_EQ(out, opensslRaw(theirs, in));
    }
}

// Moduli of one digit, with the top bit set (no normalising shift), small top digits, all-ones digits, up to kMaxDigits;
// bases above the modulus; in kMaxDigits digits and in exactly the modulus' digits (a carry digit ends each row).
TEST(BigDigits, ModExpAgreesWithOpenSsl) {
    std::mt19937 random(5);
    std::unique_ptr<BN_CTX, void (*)(BN_CTX*)> context(BN_CTX_new(), BN_CTX_free);
    const auto bn = [](const Bytes& b) { return BnPtr(BN_bin2bn(b.data(), static_cast<int>(b.size()), nullptr), BN_free); };
    const std::size_t maxOctets = 4 * kMaxDigits;
    for (int round = 0; round < 90; ++round) {
        const std::size_t modulusOctets = round < 80 ? 1 + random() % (round < 40 ? 128 : maxOctets) : maxOctets - round % 2;
        const std::size_t count = round % 2 == 0 ? kMaxDigits : (modulusOctets + 3) / 4;
        Bytes m = kivo::test::randomBytes(modulusOctets, random()), base = kivo::test::randomBytes(1 + random() % (4 * count), random());
        const Bytes exponent = kivo::test::randomBytes(1 + random() % std::min<std::size_t>(8, 4 * count), random());
        if (round % 3 == 0) m[0] |= 0x80;
        if (round % 3 == 1) m[0] = 0x01;
        if (round >= 80) m.assign(m.size(), 0xFF), base.assign(base.size(), 0xFF);
        m.back() |= 0x01;
        SCOPED_TRACE("round " + std::to_string(round) + ", " + std::to_string(count) + " digits");
        Digit md[kMaxDigits], bd[kMaxDigits], ed[kMaxDigits], rd[kMaxDigits];
        kivo::mp::fromOctets(md, count, m.data(), m.size());
        kivo::mp::fromOctets(bd, count, base.data(), base.size());
        kivo::mp::fromOctets(ed, count, exponent.data(), exponent.size());
        ASSERT_EQ(kivo::mp::modExp(rd, bd, ed, md, count), 0);
        Bytes ours(maxOctets);
        kivo::mp::toOctets(rd, count, ours.data(), ours.size());
        BnPtr expected(BN_new(), BN_free);
        ASSERT_EQ(BN_mod_exp(expected.get(), bn(base).get(), bn(exponent).get(), bn(m).get(), context.get()), 1);
        EXPECT_EQ(ours, bigEndian(expected.get(), static_cast<int>(maxOctets)));
    }
    Digit zero[kMaxDigits] = {}, one[kMaxDigits] = {1}, result[kMaxDigits];
    EXPECT_EQ(kivo::mp::modExp(result, one, one, zero, kMaxDigits), -1) << "zero modulus";
    EXPECT_EQ(kivo::mp::modExp(result, one, one, one, 0), -1);
    EXPECT_EQ(kivo::mp::modExp(result, one, one, one, kMaxDigits + 1), -1);
}

}  // namespace
