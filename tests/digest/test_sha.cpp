// Tests of CSHA (SHA-1, SHA-256, SHA-384, SHA-512): published FIPS 180
// vectors, agreement with OpenSSL at block boundaries and on random input,
// piecewise feeding, reuse, the raw block function, and the choice between
// the accelerated code and the portable code. Every digest test runs
// once on each path.
#include <gtest/gtest.h>

#include <openssl/evp.h>
#include <openssl/sha.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "digest/Sha.h"
#include "digest/ShaHardware.h"

namespace {

using Bytes = std::vector<unsigned char>;

enum class ShaPath { Hardware, Portable };

const char* VariantName(int variant) {
    switch (variant) {
    case 1: return "SHA256";
    case 2: return "SHA384";
    case 3: return "SHA512";
    default: return "SHA1";
    }
}

const EVP_MD* EvpFor(int variant) {
    switch (variant) {
    case 1: return EVP_sha256();
    case 2: return EVP_sha384();
    case 3: return EVP_sha512();
    default: return EVP_sha1();
    }
}

std::string ToHex(const Bytes& bytes) {
    static const char kDigits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char b : bytes) {
        out.push_back(kDigits[b >> 4]);
        out.push_back(kDigits[b & 0x0f]);
    }
    return out;
}

Bytes RandomBytes(std::size_t length, std::mt19937& rng) {
    Bytes out(length);
    for (auto& b : out) b = static_cast<unsigned char>(rng());
    return out;
}

Bytes OpenSslDigest(int variant, const unsigned char* data, std::size_t length) {
    Bytes out(EVP_MAX_MD_SIZE);
    unsigned int written = 0;
    if (EVP_Digest(data, length, out.data(), &written, EvpFor(variant), nullptr) != 1) {
        ADD_FAILURE() << "EVP_Digest failed";
        return {};
    }
    out.resize(written);
    return out;
}

Bytes OpenSslDigest(int variant, const Bytes& data) {
    return OpenSslDigest(variant, data.data(), data.size());
}

// Digest of `data` fed to `sha` in one Update (the object is reused as is).
Bytes OneShot(CSHA& sha, const unsigned char* data, std::size_t length) {
    sha.Update(data, static_cast<std::uint32_t>(length));
    Bytes out(sha.DigestLength());
    sha.Final(out.data());
    return out;
}

Bytes OneShot(int variant, const Bytes& data) {
    CSHA sha(variant);
    return OneShot(sha, data.data(), data.size());
}

// Feeds `data` in consecutive pieces of the given sizes (the last piece takes
// whatever is left).
Bytes Pieces(int variant, const Bytes& data, const std::vector<std::size_t>& sizes) {
    CSHA sha(variant);
    std::size_t offset = 0;
    for (std::size_t size : sizes) {
        if (offset >= data.size()) break;
        const std::size_t take = std::min(size, data.size() - offset);
        sha.Update(data.data() + offset, static_cast<std::uint32_t>(take));
        offset += take;
    }
    sha.Update(data.data() + offset, static_cast<std::uint32_t>(data.size() - offset));
    Bytes out(sha.DigestLength());
    sha.Final(out.data());
    return out;
}

// Random cut points, including empty pieces and pieces that span blocks.
std::vector<std::size_t> RandomSplit(std::size_t length, std::mt19937& rng) {
    std::vector<std::size_t> sizes;
    std::size_t used = 0;
    while (used < length) {
        std::size_t piece;
        switch (rng() % 4) {
        case 0: piece = 0; break;
        case 1: piece = rng() % 8; break;
        case 2: piece = rng() % 300; break;
        default: piece = rng() % (length - used + 1); break;
        }
        sizes.push_back(piece);
        used += piece;
    }
    return sizes;
}

// Selects one path for the duration of a test and restores the previous
// choice afterwards.
class ScopedShaPath {
public:
    explicit ScopedShaPath(ShaPath path) : m_saved(kivo::sha_detail::ActivePaths() != 0) {
        kivo::SetShaHardwareAllowed(path == ShaPath::Hardware);
    }
    ~ScopedShaPath() { kivo::SetShaHardwareAllowed(m_saved); }
    ScopedShaPath(const ScopedShaPath&) = delete;
    ScopedShaPath& operator=(const ScopedShaPath&) = delete;

private:
    bool m_saved;
};

// The accelerated path of each variant: SHA extensions for SHA-1 and
// SHA-256, the AVX schedule with BMI2 rounds for SHA-384/512.
unsigned HardwarePathBit(int variant) {
    return variant <= 1 ? kivo::sha_detail::kPathShaExtensions : kivo::sha_detail::kPathSha512Vector;
}

// Parameter: (variant, path).
class ShaDigest : public ::testing::TestWithParam<std::tuple<int, ShaPath>> {
protected:
    void SetUp() override {
        m_variant = std::get<0>(GetParam());
        const ShaPath path = std::get<1>(GetParam());
        m_path = std::make_unique<ScopedShaPath>(path);
        const bool hardware = (kivo::sha_detail::ActivePaths() & HardwarePathBit(m_variant)) != 0;
        if (path == ShaPath::Hardware && !hardware) {
            GTEST_SKIP() << "processor lacks the " << (m_variant <= 1 ? "SHA extensions" : "AVX and BMI2")
                         << " needed for the hardware path of " << VariantName(m_variant)
                         << "; only the portable path is tested here";
        }
        ASSERT_EQ(hardware, path == ShaPath::Hardware);
    }
    void TearDown() override { m_path.reset(); }

    int m_variant = 0;
    std::unique_ptr<ScopedShaPath> m_path;
};

struct PublishedVector {
    const char* message;  // nullptr: one million 'a'
    const char* digests[4];  // SHA-1, SHA-256, SHA-384, SHA-512
};

const PublishedVector kPublished[] = {
    {"",
     {"da39a3ee5e6b4b0d3255bfef95601890afd80709",
      "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855",
      "38b060a751ac96384cd9327eb1b1e36a21fdb71114be07434c0cc7bf63f6e1da274edebfe76f65fbd51ad2f14898b95b",
      "cf83e1357eefb8bdf1542850d66d8007d620e4050b5715dc83f4a921d36ce9ce47d0d13c5d85f2b0ff8318d2877eec2f"
      "63b931bd47417a81a538327af927da3e"}},
    {"abc",
     {"a9993e364706816aba3e25717850c26c9cd0d89d",
      "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad",
      "cb00753f45a35e8bb5a03d699ac65007272c32ab0eded1631a8b605a43ff5bed8086072ba1e7cc2358baeca134c825a7",
      "ddaf35a193617abacc417349ae20413112e6fa4e89a97ea20a9eeee64b55d39a2192992a274fc1a836ba3c23a3feebbd"
      "454d4423643ce80e2a9ac94fa54ca49f"}},
    {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
     {"84983e441c3bd26ebaae4aa1f95129e5e54670f1",
      "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1",
      "3391fdddfc8dc7393707a65b1b4709397cf8b1d162af05abfe8f450de5f36bc6b0455a8520bc4e6f5fe95b1fe3c8452b",
      "204a8fc6dda82f0a0ced7beb8e08a41657c16ef468b228a8279be331a703c33596fd15c13b1b07f9aa1d3bea57789ca0"
      "31ad85c7a71dd70354ec631238ca3445"}},
    {"abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrlmnopqrs"
     "mnopqrstnopqrstu",
     {"a49b2446a02c645bf419f995b67091253a04a259",
      "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1",
      "09330c33f71147e83d192fc782cd1b4753111b173b3b05d22fa08086e3b0f712fcc7c71a557e2db966c3e9fa91746039",
      "8e959b75dae313da8cf4f72814fc143f8f7779c6eb9f7fa17299aeadb6889018501d289e4900f7e4331b99dec4b5433a"
      "c7d329eeb6dd26545e96e55b874be909"}},
    {nullptr,
     {"34aa973cd4c4daa4f61eeb2bdbad27316534016f",
      "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0",
      "9d0e1809716474cb086e834e310a4a1ced149e9c00f248527972cec5704c2a5b07b8b3dc38ecc4ebae97ddd87f3d8985",
      "e718483d0ce769644e2e42c7bc15b4638e1f98b13b2044285632a803afa973ebde0ff244877ea60a4cb0432ce577c31b"
      "eb009c5c2c49aa2e4eadb217ad8cc09b"}},
};

TEST_P(ShaDigest, PublishedVectors) {
    for (const PublishedVector& vector : kPublished) {
        const Bytes message = vector.message != nullptr
                                  ? Bytes(vector.message, vector.message + std::strlen(vector.message))
                                  : Bytes(1000000, 'a');
        SCOPED_TRACE(vector.message != nullptr ? std::string("\"") + vector.message + "\""
                                               : std::string("one million 'a'"));
        EXPECT_EQ(ToHex(OneShot(m_variant, message)), vector.digests[m_variant]);
    }
    // The million 'a' also in the 1000-octet pieces of the usual test harness.
    CSHA sha(m_variant);
    const Bytes thousand(1000, 'a');
    for (int i = 0; i < 1000; ++i) sha.Update(thousand.data(), 1000);
    Bytes out(sha.DigestLength());
    sha.Final(out.data());
    EXPECT_EQ(ToHex(out), kPublished[4].digests[m_variant]);
}

TEST_P(ShaDigest, BlockBoundaryLengthsMatchOpenSsl) {
    // Around the points where the padding spills into an extra block
    // (55/56 and 111/112 octets for 64-octet blocks, 111/112 and 239/240
    // for 128-octet blocks) and at whole blocks.
    std::mt19937 rng(20240601);
    for (std::size_t length : {0, 1, 55, 56, 57, 63, 64, 65, 111, 112, 113, 119, 120, 127, 128, 129,
                               191, 192, 239, 240, 255, 256, 257}) {
        SCOPED_TRACE("length " + std::to_string(length));
        const Bytes message = RandomBytes(length, rng);
        EXPECT_EQ(ToHex(OneShot(m_variant, message)), ToHex(OpenSslDigest(m_variant, message)));
    }
}

TEST_P(ShaDigest, PiecewiseEqualsSingleUpdate) {
    std::mt19937 rng(77);
    for (std::size_t length : {0, 1, 64, 127, 128, 200, 1000, 4097}) {
        const Bytes message = RandomBytes(length, rng);
        const std::string whole = ToHex(OneShot(m_variant, message));
        EXPECT_EQ(whole, ToHex(OpenSslDigest(m_variant, message)));
        for (std::size_t piece : {1, 63, 64, 65, 127, 128, 129}) {
            SCOPED_TRACE("length " + std::to_string(length) + ", pieces of " + std::to_string(piece));
            EXPECT_EQ(ToHex(Pieces(m_variant, message, std::vector<std::size_t>(length + 1, piece))), whole);
        }
        for (int round = 0; round < 20; ++round) {
            const std::vector<std::size_t> split = RandomSplit(length, rng);
            SCOPED_TRACE("length " + std::to_string(length) + ", random split " + std::to_string(round));
            EXPECT_EQ(ToHex(Pieces(m_variant, message, split)), whole);
        }
    }
}

TEST_P(ShaDigest, ReuseAfterFinalAndReset) {
    std::mt19937 rng(5);
    const Bytes first = RandomBytes(300, rng);
    const Bytes second = RandomBytes(77, rng);
    CSHA sha(m_variant);

    // Final leaves the object ready for the next message.
    EXPECT_EQ(ToHex(OneShot(sha, first.data(), first.size())), ToHex(OpenSslDigest(m_variant, first)));
    EXPECT_EQ(ToHex(OneShot(sha, second.data(), second.size())), ToHex(OpenSslDigest(m_variant, second)));
    EXPECT_EQ(ToHex(OneShot(sha, nullptr, 0)), ToHex(OpenSslDigest(m_variant, nullptr, 0)));

    // Reset discards a half-fed message, buffered octets included.
    sha.Update(first.data(), 150);
    sha.Reset();
    EXPECT_EQ(ToHex(OneShot(sha, second.data(), second.size())), ToHex(OpenSslDigest(m_variant, second)));
    sha.Update(first.data(), 150);
    sha.Final(nullptr);  // nothing written, but the object is reset
    sha.Reset();
    EXPECT_EQ(ToHex(OneShot(sha, first.data(), first.size())), ToHex(OpenSslDigest(m_variant, first)));

    // A copy taken mid-message continues independently of the original.
    sha.Update(first.data(), 100);
    CSHA copy(sha);
    sha.Update(first.data() + 100, 200);
    copy.Update(second.data(), 77);
    Bytes expectedCopy(first.begin(), first.begin() + 100);
    expectedCopy.insert(expectedCopy.end(), second.begin(), second.end());
    Bytes out(sha.DigestLength());
    sha.Final(out.data());
    EXPECT_EQ(ToHex(out), ToHex(OpenSslDigest(m_variant, first)));
    copy.Final(out.data());
    EXPECT_EQ(ToHex(out), ToHex(OpenSslDigest(m_variant, expectedCopy)));
}

TEST_P(ShaDigest, IgnoresNullInput) {
    std::mt19937 rng(9);
    const Bytes message = RandomBytes(90, rng);
    CSHA sha(m_variant);
    sha.Update(message.data(), 40);
    sha.Update(nullptr, 0);
    sha.Update(nullptr, 1000);
    sha.Transform(nullptr);
    sha.Update(message.data() + 40, 50);
    Bytes out(sha.DigestLength());
    sha.Final(out.data());
    EXPECT_EQ(ToHex(out), ToHex(OpenSslDigest(m_variant, message)));
}

// Transform is the bare block function: compared with OpenSSL's block
// function on the same chaining state. Final after two Transforms pads an
// empty message (0x80, zeros, length 0), so OpenSSL is given that block too.
TEST_P(ShaDigest, TransformMatchesOpenSslBlockFunction) {
    std::mt19937 rng(31);
    CSHA sha(m_variant);
    const std::size_t blockLength = sha.BlockLength();
    const Bytes blocks = RandomBytes(2 * blockLength, rng);
    Bytes padding(blockLength, 0);
    padding[0] = 0x80;

    sha.Transform(blocks.data());
    sha.Transform(blocks.data() + blockLength);
    Bytes ours(sha.DigestLength());
    sha.Final(ours.data());

    Bytes expected;
    if (m_variant == 0) {
        SHA_CTX ctx;
        SHA1_Init(&ctx);
        SHA1_Transform(&ctx, blocks.data());
        SHA1_Transform(&ctx, blocks.data() + 64);
        SHA1_Transform(&ctx, padding.data());
        for (std::uint32_t word : {ctx.h0, ctx.h1, ctx.h2, ctx.h3, ctx.h4})
            for (int shift = 24; shift >= 0; shift -= 8) expected.push_back(static_cast<unsigned char>(word >> shift));
    } else if (m_variant == 1) {
        SHA256_CTX ctx;
        SHA256_Init(&ctx);
        SHA256_Transform(&ctx, blocks.data());
        SHA256_Transform(&ctx, blocks.data() + 64);
        SHA256_Transform(&ctx, padding.data());
        for (std::uint32_t word : ctx.h)
            for (int shift = 24; shift >= 0; shift -= 8) expected.push_back(static_cast<unsigned char>(word >> shift));
    } else {
        SHA512_CTX ctx;
        if (m_variant == 2) SHA384_Init(&ctx); else SHA512_Init(&ctx);
        SHA512_Transform(&ctx, blocks.data());
        SHA512_Transform(&ctx, blocks.data() + 128);
        SHA512_Transform(&ctx, padding.data());
        for (std::uint64_t word : ctx.h)
            for (int shift = 56; shift >= 0; shift -= 8) expected.push_back(static_cast<unsigned char>(word >> shift));
        expected.resize(m_variant == 2 ? 48 : 64);
    }
    EXPECT_EQ(ToHex(ours), ToHex(expected));
}

TEST_P(ShaDigest, RandomizedAgainstOpenSsl) {
    // Reproducible: the seed depends only on the variant.
    std::mt19937 rng(1000 + static_cast<unsigned>(m_variant));
    for (int round = 0; round < 100; ++round) {
        std::size_t length = rng() % 100001;
        if (round % 4 == 0) length = rng() % 600;  // keep short messages frequent
        const Bytes message = RandomBytes(length, rng);
        const std::vector<std::size_t> split = RandomSplit(length, rng);
        SCOPED_TRACE("round " + std::to_string(round) + ", length " + std::to_string(length) + ", " +
                     std::to_string(split.size()) + " pieces");
        ASSERT_EQ(ToHex(Pieces(m_variant, message, split)), ToHex(OpenSslDigest(m_variant, message)));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Sha, ShaDigest,
    ::testing::Combine(::testing::Values(0, 1, 2, 3), ::testing::Values(ShaPath::Hardware, ShaPath::Portable)),
    [](const ::testing::TestParamInfo<ShaDigest::ParamType>& info) {
        return std::string(VariantName(std::get<0>(info.param))) +
               (std::get<1>(info.param) == ShaPath::Hardware ? "_Hardware" : "_Portable");
    });

TEST(ShaVariant, ConstructorArgumentSelectsAlgorithm) {
    struct Expected {
        int argument;
        int variant;
        std::size_t digestLength;
        std::size_t blockLength;
    };
    const Expected table[] = {
        {0, 0, 20, 64}, {1, 1, 32, 64}, {2, 2, 48, 128}, {3, 3, 64, 128},
        {7, 0, 20, 64}, {4, 0, 20, 64}, {-1, 0, 20, 64},
    };
    const Bytes abc = {'a', 'b', 'c'};
    for (const Expected& e : table) {
        SCOPED_TRACE("CSHA(" + std::to_string(e.argument) + ")");
        CSHA sha(e.argument);
        EXPECT_EQ(sha.Variant(), e.variant);
        EXPECT_EQ(sha.DigestLength(), e.digestLength);
        EXPECT_EQ(sha.BlockLength(), e.blockLength);
        EXPECT_EQ(ToHex(OneShot(sha, abc.data(), abc.size())), kPublished[1].digests[e.variant]);
    }
}

TEST(ShaVariant, UsableThroughTheInterface) {
    const Bytes abc = {'a', 'b', 'c'};
    for (int variant = 0; variant < 4; ++variant) {
        SCOPED_TRACE(VariantName(variant));
        std::unique_ptr<IMessageDigest> digest = std::make_unique<CSHA>(variant);
        digest->Reset();
        digest->Update(abc.data(), 3);
        Bytes out(digest->DigestLength());
        digest->Final(out.data());
        EXPECT_EQ(ToHex(out), kPublished[1].digests[variant]);
    }
}

TEST(ShaDispatch, SwitchSelectsPath) {
    const bool saved = kivo::sha_detail::ActivePaths() != 0;
    kivo::SetShaHardwareAllowed(false);
    EXPECT_FALSE(kivo::ShaHardwareActive());
    EXPECT_EQ(kivo::sha_detail::ActivePaths(), 0U);
    kivo::SetShaHardwareAllowed(true);
    EXPECT_EQ(kivo::ShaHardwareActive(), kivo::ShaHardwareAvailable());
    kivo::SetShaHardwareAllowed(saved);
}

// KIVO_DIGEST_PORTABLE is read once per process, so each case runs in a
// fresh child process that starts from the environment set here.
class ShaPathDeathTest : public ::testing::Test {
protected:
    void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
    void TearDown() override { unsetenv("KIVO_DIGEST_PORTABLE"); }

    // Exit code of a child that hashes "abc" with SHA-256 and reports:
    // 0 portable path, 1 hardware path, 2 wrong digest.
    static void HashAndReport() {
        CSHA sha(1);
        const unsigned char abc[] = {'a', 'b', 'c'};
        sha.Update(abc, 3);
        Bytes out(32);
        sha.Final(out.data());
        if (ToHex(out) != kPublished[1].digests[1]) std::_Exit(2);
        std::_Exit(kivo::ShaHardwareActive() ? 1 : 0);
    }
};

TEST_F(ShaPathDeathTest, EnvironmentForcesPortable) {
    for (const char* value : {"1", "yes", ""}) {
        SCOPED_TRACE(std::string("KIVO_DIGEST_PORTABLE=\"") + value + "\"");
        setenv("KIVO_DIGEST_PORTABLE", value, 1);
        EXPECT_EXIT(HashAndReport(), ::testing::ExitedWithCode(0), "");
    }
}

TEST_F(ShaPathDeathTest, ZeroOrUnsetKeepsHardware) {
    const int expected = kivo::ShaHardwareAvailable() ? 1 : 0;
    setenv("KIVO_DIGEST_PORTABLE", "0", 1);
    EXPECT_EXIT(HashAndReport(), ::testing::ExitedWithCode(expected), "");
    unsetenv("KIVO_DIGEST_PORTABLE");
    EXPECT_EXIT(HashAndReport(), ::testing::ExitedWithCode(expected), "");
}

}  // namespace
