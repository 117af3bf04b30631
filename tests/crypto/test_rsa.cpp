// Raw RSA: CRsa against OpenSSL's raw RSA on the same 1024-bit key, and
// CRsaSmall's own arithmetic against OpenSSL's big numbers.

#include "Rsa.h"
#include "digest/BigDigits.h"
#include "digest/RsaSmall.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>
#include <openssl/bn.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <random>
#include <unistd.h>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;
constexpr int kBlock = 128;

struct RsaDeleter {
    void operator()(RSA* key) const { RSA_free(key); }
};
using RsaPtr = std::unique_ptr<RSA, RsaDeleter>;
struct BnDeleter {
    void operator()(BIGNUM* n) const { BN_free(n); }
};
using BnPtr = std::unique_ptr<BIGNUM, BnDeleter>;

// One 1024-bit key for the whole suite (generation is slow).
RSA* testKey() {
    static RsaPtr key = [] {
        RsaPtr generated(RSA_new());
        BnPtr e(BN_new());
        BN_set_word(e.get(), RSA_F4);
        RSA_generate_key_ex(generated.get(), 1024, e.get(), nullptr);
        return generated;
    }();
    return key.get();
}

Bytes bigEndian(const BIGNUM* n, int width) {
    Bytes out(static_cast<std::size_t>(width));
    BN_bn2binpad(n, out.data(), width);
    return out;
}
Bytes bigEndian(const BIGNUM* n) { return bigEndian(n, BN_num_bytes(n)); }

// 30 81 89 02 81 81 00 <n> 02 03 <e>: the public-key layout CRsa reads.
Bytes publicKeyBlob(RSA* key) {
    Bytes blob = {0x30, 0x81, 0x89, 0x02, 0x81, 0x81, 0x00};
    const Bytes modulus = bigEndian(RSA_get0_n(key), kBlock);
    blob.insert(blob.end(), modulus.begin(), modulus.end());
    const Bytes exponent = bigEndian(RSA_get0_e(key));
    blob.push_back(0x02);
    blob.push_back(static_cast<unsigned char>(exponent.size()));
    blob.insert(blob.end(), exponent.begin(), exponent.end());
    return blob;
}

// A random block below the modulus (top octet cleared).
Bytes blockBelowModulus(std::uint32_t seed) {
    Bytes block = kivo::test::randomBytes(kBlock, seed);
    block[0] = 0x00;
    return block;
}

Bytes opensslRaw(int (*operation)(int, const unsigned char*, unsigned char*, RSA*, int),
                 const Bytes& in) {
    Bytes out(kBlock);
    EXPECT_EQ(operation(kBlock, in.data(), out.data(), testKey(), RSA_NO_PADDING), kBlock);
    return out;
}

// Runs the test body in a temporary folder that holds the private-key file
// CRsa::SetPrivateKey reads (its name is a relative file name here).
class CRsaPrivateKeyTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_previous = std::filesystem::current_path();
        m_folder = std::filesystem::temp_directory_path() /
                   ("kivo-rsa-" + std::to_string(::getpid()));
        std::filesystem::create_directories(m_folder);
        std::filesystem::current_path(m_folder);
        std::FILE* file = std::fopen("D:\\opensc\\debug_dlls\\temp.key", "w");
        ASSERT_NE(file, nullptr);
        PEM_write_RSAPrivateKey(file, testKey(), nullptr, nullptr, 0, nullptr, nullptr);
        std::fclose(file);
    }
    void TearDown() override {
        std::filesystem::current_path(m_previous);
        std::filesystem::remove_all(m_folder);
    }
    std::filesystem::path m_previous;
    std::filesystem::path m_folder;
};

TEST(CRsa, PublicOperationsEqualOpenSSLRaw) {
    Bytes blob = publicKeyBlob(testKey());
    ASSERT_EQ(blob.size(), 140u);
    CRsa rsa;
    ASSERT_EQ(rsa.SetPublicKey(blob.data(), static_cast<int>(blob.size())), 0);
    for (std::uint32_t seed = 1; seed <= 4; ++seed) {
        Bytes in = blockBelowModulus(seed);
        Bytes out(kBlock);
        EXPECT_EQ(rsa.PublicKeyEncrypt(in.data(), kBlock, out.data(), kBlock), 0);
        EXPECT_EQ(out, opensslRaw(RSA_public_encrypt, in));
        EXPECT_EQ(rsa.PublicKeyDecrypt(in.data(), kBlock, out.data(), kBlock), 0);
        EXPECT_EQ(out, opensslRaw(RSA_public_decrypt, in));
    }
}

TEST(CRsa, PublicKeyEncryptRefusesOtherLengthsAndMissingKey) {
    Bytes blob = publicKeyBlob(testKey());
    CRsa rsa;
    Bytes in = blockBelowModulus(7);
    Bytes out(kBlock);
    EXPECT_EQ(rsa.PublicKeyEncrypt(in.data(), kBlock, out.data(), kBlock), -1);  // no key yet
    ASSERT_EQ(rsa.SetPublicKey(blob.data(), static_cast<int>(blob.size())), 0);
    EXPECT_EQ(rsa.PublicKeyEncrypt(in.data(), kBlock - 1, out.data(), kBlock), -1);
    Bytes aboveModulus(kBlock, 0xFF);
    EXPECT_EQ(rsa.PublicKeyEncrypt(aboveModulus.data(), kBlock, out.data(), kBlock), -1);
}

TEST(CRsa, SetPublicKeyRefusesBlobsItCannotReadWithinTheirLength) {
    Bytes blob = publicKeyBlob(testKey());
    CRsa rsa;
    EXPECT_EQ(rsa.SetPublicKey(nullptr, 140), -1);
    EXPECT_EQ(rsa.SetPublicKey(blob.data(), 139), -1);  // exponent cut
    EXPECT_EQ(rsa.SetPublicKey(blob.data(), 100), -1);
    Bytes wrongLayout = blob;
    wrongLayout[3] = 0x04;
    EXPECT_EQ(rsa.SetPublicKey(wrongLayout.data(), 140), -1);
    Bytes longExponent = blob;
    longExponent[136] = 0x05;  // five exponent octets: more than the layout allows
    longExponent.insert(longExponent.end(), {0x00, 0x00});
    EXPECT_EQ(rsa.SetPublicKey(longExponent.data(), static_cast<int>(longExponent.size())), -1);
}

TEST(CRsa, CopiesShareTheKeyAndAreDestroyedIndependently) {
    Bytes blob = publicKeyBlob(testKey());
    Bytes in = blockBelowModulus(11);
    Bytes expected = opensslRaw(RSA_public_encrypt, in);
    auto original = std::make_unique<CRsa>();
    ASSERT_EQ(original->SetPublicKey(blob.data(), 140), 0);
    CRsa copy(*original);
    CRsa assigned;
    assigned = copy;
    original.reset();
    Bytes out(kBlock);
    EXPECT_EQ(copy.PublicKeyEncrypt(in.data(), kBlock, out.data(), kBlock), 0);
    EXPECT_EQ(out, expected);
    EXPECT_EQ(assigned.PublicKeyEncrypt(in.data(), kBlock, out.data(), kBlock), 0);
    EXPECT_EQ(out, expected);
}

TEST_F(CRsaPrivateKeyTest, PrivateOperationsEqualOpenSSLRaw) {
    CRsa rsa;
    EXPECT_EQ(rsa.SetPrivateKey(nullptr, 0), 0);
    Bytes in = blockBelowModulus(21);
    Bytes out(kBlock);
    EXPECT_EQ(rsa.PrivateKeyEncrypt(in.data(), kBlock, out.data(), kBlock), 0);
    EXPECT_EQ(out, opensslRaw(RSA_private_encrypt, in));
    EXPECT_EQ(rsa.PrivateKeyDecrypt(in.data(), kBlock, out.data(), kBlock), 0);
    EXPECT_EQ(out, opensslRaw(RSA_private_decrypt, in));
    EXPECT_EQ(rsa.RsaDP(in.data(), kBlock, out.data(), kBlock), 0);
    EXPECT_EQ(out, opensslRaw(RSA_private_decrypt, in));
}

TEST(CRsa, PrivateOperationsWithoutKeyFileLeaveOutputAndReturnZero) {
    CRsa rsa;
    EXPECT_EQ(rsa.SetPrivateKey(nullptr, 0), 0);  // no key file in the working folder
    Bytes in = blockBelowModulus(22);
    Bytes out(kBlock, 0xAB);
    EXPECT_EQ(rsa.PrivateKeyDecrypt(in.data(), kBlock, out.data(), kBlock), 0);
    EXPECT_EQ(out, Bytes(kBlock, 0xAB));
}

// ---- CRsaSmall and its arithmetic -------------------------------------------

void setKey(CRsaSmall& rsa, RSA* key) {
    const Bytes n = bigEndian(RSA_get0_n(key));
    const Bytes e = bigEndian(RSA_get0_e(key));
    const Bytes d = bigEndian(RSA_get0_d(key));
    rsa.SetModulus(n.data(), static_cast<unsigned short>(n.size()));
    rsa.SetPublicExponent(e.data(), static_cast<unsigned short>(e.size()));
    rsa.SetPrivateExponent(d.data(), static_cast<unsigned short>(d.size()));
}

TEST(CRsaSmall, OperationsEqualOpenSSLAndInvertEachOther) {
    CRsaSmall rsa;
    setKey(rsa, testKey());
    for (std::uint32_t seed = 31; seed <= 33; ++seed) {
        const Bytes in = blockBelowModulus(seed);
        Bytes encrypted(kBlock);
        Bytes decrypted(kBlock);
        ASSERT_EQ(rsa.PublicOp(in.data(), kBlock, encrypted.data(), kBlock), 0);
        EXPECT_EQ(encrypted, opensslRaw(RSA_public_encrypt, in));
        ASSERT_EQ(rsa.PrivateOp(encrypted.data(), kBlock, decrypted.data(), kBlock), 0);
        EXPECT_EQ(decrypted, in);
        ASSERT_EQ(rsa.PrivateOp(in.data(), kBlock, decrypted.data(), kBlock), 0);
        EXPECT_EQ(decrypted, opensslRaw(RSA_private_decrypt, in));
    }
}

TEST(CRsaSmall, OutputIsRightAlignedWithLeadingZeros) {
    CRsaSmall rsa;
    setKey(rsa, testKey());
    const Bytes in = blockBelowModulus(41);
    Bytes wide(130, 0xEE);
    ASSERT_EQ(rsa.PublicOp(in.data(), kBlock, wide.data(), static_cast<unsigned>(wide.size())), 0);
    EXPECT_EQ(wide[0], 0x00);
    EXPECT_EQ(wide[1], 0x00);
    EXPECT_EQ(Bytes(wide.begin() + 2, wide.end()), opensslRaw(RSA_public_encrypt, in));
}

TEST(CRsaSmall, MissingComponentsOrBuffersFail) {
    CRsaSmall rsa;
    Bytes block(kBlock, 1);
    Bytes out(kBlock);
    EXPECT_EQ(rsa.PublicOp(block.data(), kBlock, out.data(), kBlock), -1);
    setKey(rsa, testKey());
    EXPECT_EQ(rsa.PublicOp(nullptr, kBlock, out.data(), kBlock), -1);
    EXPECT_EQ(rsa.PrivateOp(block.data(), kBlock, nullptr, kBlock), -1);
}

// modExp against BN_mod_exp for moduli of every shape the division meets:
// one digit, a top digit with its high bit set (no normalising shift),
// small top digits, and bases above the modulus.
TEST(BigDigits, ModExpAgreesWithOpenSSL) {
    using kivo::mp::Digit;
    std::mt19937 random(5);
    BnPtr expected(BN_new());
    std::unique_ptr<BN_CTX, void (*)(BN_CTX*)> context(BN_CTX_new(), BN_CTX_free);
    for (int round = 0; round < 60; ++round) {
        const int modulusBytes = 1 + static_cast<int>(random() % 128);
        Bytes m = kivo::test::randomBytes(static_cast<std::size_t>(modulusBytes), random());
        if (round % 3 == 0) m[0] |= 0x80;
        if (round % 3 == 1) m[0] = 0x01;
        m.back() |= 0x01;
        const Bytes base = kivo::test::randomBytes(1 + random() % 128, random());
        const Bytes exponent = kivo::test::randomBytes(1 + random() % 8, random());

        Digit md[kivo::mp::kMaxDigits], bd[kivo::mp::kMaxDigits], ed[kivo::mp::kMaxDigits],
            rd[kivo::mp::kMaxDigits];
        kivo::mp::fromOctets(md, kivo::mp::kMaxDigits, m.data(), m.size());
        kivo::mp::fromOctets(bd, kivo::mp::kMaxDigits, base.data(), base.size());
        kivo::mp::fromOctets(ed, kivo::mp::kMaxDigits, exponent.data(), exponent.size());
        ASSERT_EQ(kivo::mp::modExp(rd, bd, ed, md, kivo::mp::kMaxDigits), 0);
        Bytes ours(kBlock);
        kivo::mp::toOctets(rd, kivo::mp::kMaxDigits, ours.data(), ours.size());

        BnPtr bm(BN_bin2bn(m.data(), static_cast<int>(m.size()), nullptr));
        BnPtr bb(BN_bin2bn(base.data(), static_cast<int>(base.size()), nullptr));
        BnPtr be(BN_bin2bn(exponent.data(), static_cast<int>(exponent.size()), nullptr));
        ASSERT_EQ(BN_mod_exp(expected.get(), bb.get(), be.get(), bm.get(), context.get()), 1);
        EXPECT_EQ(ours, bigEndian(expected.get(), kBlock)) << "round " << round;
    }
}

TEST(BigDigits, RefusesZeroModulusAndBadDigitCounts) {
    using kivo::mp::Digit;
    Digit zero[kivo::mp::kMaxDigits] = {};
    Digit one[kivo::mp::kMaxDigits] = {1};
    Digit result[kivo::mp::kMaxDigits];
    EXPECT_EQ(kivo::mp::modExp(result, one, one, zero, kivo::mp::kMaxDigits), -1);
    EXPECT_EQ(kivo::mp::modExp(result, one, one, one, 0), -1);
    EXPECT_EQ(kivo::mp::modExp(result, one, one, one, kivo::mp::kMaxDigits + 1), -1);
    // Anything mod 1 is 0.
    ASSERT_EQ(kivo::mp::modExp(result, one, one, one, kivo::mp::kMaxDigits), 0);
    EXPECT_EQ(result[0], 0u);
}

TEST(BigDigits, OctetConversionsRoundTripAndCount) {
    using kivo::mp::Digit;
    const Bytes value = {0x01, 0x02, 0x03, 0x04, 0x05};
    Digit digits[4];
    EXPECT_EQ(kivo::mp::fromOctets(digits, 4, value.data(), value.size()), 2u);
    EXPECT_EQ(digits[0], 0x02030405u);
    EXPECT_EQ(digits[1], 0x01u);
    EXPECT_EQ(digits[2], 0u);
    Bytes out(8, 0xFF);
    EXPECT_EQ(kivo::mp::toOctets(digits, 4, out.data(), out.size()), 5u);
    EXPECT_EQ(out, (Bytes{0, 0, 0, 0x01, 0x02, 0x03, 0x04, 0x05}));
}

}  // namespace
