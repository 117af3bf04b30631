// Tests of CMD5 and CRIPEMD (RIPEMD-128 and RIPEMD-160): published test
// vectors, agreement with OpenSSL's implementations, block-boundary lengths,
// piecewise feeding and reuse of an object.
#include <gtest/gtest.h>

#include <openssl/evp.h>
#include <openssl/md5.h>
#include <openssl/provider.h>
#include <openssl/ripemd.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "digest/Md5.h"
#include "digest/Ripemd.h"

namespace {

using Bytes = std::vector<unsigned char>;

Bytes ToBytes(const std::string& text) { return Bytes(text.begin(), text.end()); }

std::string ToHex(const Bytes& bytes) {
    static const char kDigits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char b : bytes) {
        out.push_back(kDigits[b >> 4]);
        out.push_back(kDigits[b & 0x0f]);
    }
    return out;
}

// Deterministic, non-repeating message content of any length.
Bytes PatternMessage(std::size_t length, std::uint32_t seed = 1) {
    std::mt19937 rng(seed);
    Bytes out(length);
    for (auto& b : out) {
        b = static_cast<unsigned char>(rng());
    }
    return out;
}

Bytes Finish(IMessageDigest& md) {
    Bytes out(md.DigestLength());
    md.Final(out.data());
    return out;
}

Bytes HashWhole(IMessageDigest& md, const Bytes& data) {
    md.Reset();
    md.Update(data.data(), static_cast<std::uint32_t>(data.size()));
    return Finish(md);
}

// Feeds `data` in consecutive pieces of the given sizes (the last piece
// takes whatever is left).
Bytes HashInPieces(IMessageDigest& md, const Bytes& data,
                   const std::vector<std::size_t>& pieces) {
    md.Reset();
    std::size_t pos = 0;
    for (std::size_t piece : pieces) {
        const std::size_t n = std::min(piece, data.size() - pos);
        md.Update(data.data() + pos, static_cast<std::uint32_t>(n));
        pos += n;
    }
    md.Update(data.data() + pos, static_cast<std::uint32_t>(data.size() - pos));
    return Finish(md);
}

Bytes HashInFixedPieces(IMessageDigest& md, const Bytes& data, std::size_t piece) {
    md.Reset();
    for (std::size_t pos = 0; pos < data.size(); pos += piece) {
        const std::size_t n = std::min(piece, data.size() - pos);
        md.Update(data.data() + pos, static_cast<std::uint32_t>(n));
    }
    return Finish(md);
}

// OpenSSL 3 moved RIPEMD-160 between providers across releases; fall back
// to the legacy provider when the default one does not offer it.
EVP_MD* FetchOpenSslDigest(const char* name) {
    EVP_MD* md = EVP_MD_fetch(nullptr, name, nullptr);
    if (md == nullptr) {
        OSSL_PROVIDER_load(nullptr, "legacy");
        OSSL_PROVIDER_load(nullptr, "default");
        md = EVP_MD_fetch(nullptr, name, nullptr);
    }
    return md;
}

struct EvpMdDeleter {
    void operator()(EVP_MD* md) const { EVP_MD_free(md); }
};
struct EvpCtxDeleter {
    void operator()(EVP_MD_CTX* ctx) const { EVP_MD_CTX_free(ctx); }
};

// Streaming OpenSSL digest used as the reference.
class OpenSslHash {
public:
    explicit OpenSslHash(const char* name)
        : m_md(FetchOpenSslDigest(name)), m_ctx(EVP_MD_CTX_new()) {
        if (m_md && m_ctx) {
            m_ok = EVP_DigestInit_ex(m_ctx.get(), m_md.get(), nullptr) == 1;
        }
    }
    bool Ok() const { return m_ok; }
    void Update(const unsigned char* data, std::size_t length) {
        m_ok = m_ok && EVP_DigestUpdate(m_ctx.get(), data, length) == 1;
    }
    Bytes Final() {
        Bytes out(EVP_MAX_MD_SIZE);
        unsigned int len = 0;
        m_ok = m_ok && EVP_DigestFinal_ex(m_ctx.get(), out.data(), &len) == 1;
        out.resize(len);
        return out;
    }

private:
    std::unique_ptr<EVP_MD, EvpMdDeleter> m_md;
    std::unique_ptr<EVP_MD_CTX, EvpCtxDeleter> m_ctx;
    bool m_ok = false;
};

Bytes OpenSslDigest(const char* name, const Bytes& data) {
    OpenSslHash h(name);
    h.Update(data.data(), data.size());
    Bytes out = h.Final();
    EXPECT_TRUE(h.Ok()) << "OpenSSL digest " << name << " unavailable";
    return out;
}

struct Vector {
    std::string message;
    const char* hex;
};

const std::string kAlphabet = "abcdefghijklmnopqrstuvwxyz";
const std::string k448Bits = "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";
const std::string k896Bits =
    "abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmno"
    "ijklmnopjklmnopqklmnopqrlmnopqrsmnopqrstnopqrstu";
const std::string kAlnum =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
std::string EightTimes1234567890() {
    std::string s;
    for (int i = 0; i < 8; ++i) {
        s += "1234567890";
    }
    return s;
}
const std::string kMillionA(1000000, 'a');

void CheckVectors(IMessageDigest& md, const std::vector<Vector>& vectors) {
    for (const auto& v : vectors) {
        SCOPED_TRACE("message of " + std::to_string(v.message.size()) + " octets: " +
                     v.message.substr(0, 64));
        EXPECT_EQ(ToHex(HashWhole(md, ToBytes(v.message))), v.hex);
    }
}

// The lengths around the padding boundaries: 55 is the longest message
// whose padding fits in one block, 56..63 need a second block, and the
// same pattern repeats one block later.
const std::size_t kBoundaryLengths[] = {0,  1,  54, 55,  56,  57,  63,  64,  65,
                                        111, 112, 113, 119, 120, 127, 128, 129, 191, 192};

// ---------------------------------------------------------------------------
// MD5
// ---------------------------------------------------------------------------

TEST(Md5Vectors, Rfc1321TestSuite) {
    CMD5 md;
    CheckVectors(md, {
        {"", "d41d8cd98f00b204e9800998ecf8427e"},
        {"a", "0cc175b9c0f1b6a831c399e269772661"},
        {"abc", "900150983cd24fb0d6963f7d28e17f72"},
        {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
        {kAlphabet, "c3fcd3d76192e4007dfb496cca67e13b"},
        {kAlnum, "d174ab98d277d9f5a5611c2c9f419d9f"},
        {EightTimes1234567890(), "57edf4a22be3c955ac49da2e2107b67a"},
    });
}

TEST(Md5Vectors, Lengths) {
    CMD5 md;
    EXPECT_EQ(md.DigestLength(), 16u);
    EXPECT_EQ(md.BlockLength(), 64u);
}

TEST(Md5VsOpenSsl, LongPublishedMessages) {
    CMD5 md;
    for (const std::string& msg : {k448Bits, k896Bits, kMillionA}) {
        SCOPED_TRACE("length " + std::to_string(msg.size()));
        const Bytes data = ToBytes(msg);
        EXPECT_EQ(ToHex(HashWhole(md, data)), ToHex(OpenSslDigest("MD5", data)));
    }
}

TEST(Md5VsOpenSsl, PaddingBoundaryLengths) {
    CMD5 md;
    for (std::size_t len : kBoundaryLengths) {
        SCOPED_TRACE("length " + std::to_string(len));
        const Bytes data = PatternMessage(len, static_cast<std::uint32_t>(len));
        EXPECT_EQ(ToHex(HashWhole(md, data)), ToHex(OpenSslDigest("MD5", data)));
    }
}

TEST(Md5VsOpenSsl, TransformCompressesOneBlock) {
    // Transform alone does not count the block into the message length, so
    // Transform + Final equals OpenSSL's MD5_Transform + MD5_Final.
    const Bytes block = PatternMessage(64, 77);
    CMD5 md;
    md.Transform(block.data());
    const Bytes ours = Finish(md);

    MD5_CTX ctx;
    MD5_Init(&ctx);
    MD5_Transform(&ctx, block.data());
    Bytes ref(16);
    MD5_Final(ref.data(), &ctx);
    EXPECT_EQ(ToHex(ours), ToHex(ref));
}

// ---------------------------------------------------------------------------
// RIPEMD-160
// ---------------------------------------------------------------------------

TEST(Ripemd160Vectors, PublishedVectors) {
    CRIPEMD md(1);
    CheckVectors(md, {
        {"", "9c1185a5c5e9fc54612808977ee8f548b2258d31"},
        {"a", "0bdc9d2d256b3ee9daae347be6f4dc835a467ffe"},
        {"abc", "8eb208f7e05d987a9b044a8e98c6b087f15a0bfc"},
        {"message digest", "5d0689ef49d2fae572b881b123a85ffa21595f36"},
        {kAlphabet, "f71c27109c692c1b56bbdceb5b9d2865b3708dbc"},
        {k448Bits, "12a053384a9c0c88e405a06c27dcf49ada62eb2b"},
        {kAlnum, "b0e20b6e3116640286ed3a87a5713079b21f5189"},
        {EightTimes1234567890(), "9b752e45573d4b39f4dbd3323cab82bf63326bfb"},
        {kMillionA, "52783243c1697bdbe16d37f97f68f08325dc1528"},
    });
}

TEST(Ripemd160Vectors, VariantSelection) {
    CRIPEMD byDefault;
    CRIPEMD one(1);
    CRIPEMD seven(7);
    CRIPEMD negative(-3);
    for (CRIPEMD* md : {&byDefault, &one, &seven, &negative}) {
        EXPECT_EQ(md->Variant(), 1);
        EXPECT_EQ(md->DigestLength(), 20u);
        EXPECT_EQ(md->BlockLength(), 64u);
        EXPECT_EQ(ToHex(HashWhole(*md, ToBytes("abc"))),
                  "8eb208f7e05d987a9b044a8e98c6b087f15a0bfc");
    }
}

TEST(Ripemd160VsOpenSsl, LongPublishedMessages) {
    CRIPEMD md(1);
    for (const std::string& msg : {k448Bits, k896Bits, kMillionA}) {
        SCOPED_TRACE("length " + std::to_string(msg.size()));
        const Bytes data = ToBytes(msg);
        EXPECT_EQ(ToHex(HashWhole(md, data)), ToHex(OpenSslDigest("RIPEMD160", data)));
    }
}

TEST(Ripemd160VsOpenSsl, PaddingBoundaryLengths) {
    CRIPEMD md(1);
    for (std::size_t len : kBoundaryLengths) {
        SCOPED_TRACE("length " + std::to_string(len));
        const Bytes data = PatternMessage(len, static_cast<std::uint32_t>(len) + 1000);
        EXPECT_EQ(ToHex(HashWhole(md, data)), ToHex(OpenSslDigest("RIPEMD160", data)));
    }
}

TEST(Ripemd160VsOpenSsl, TransformCompressesOneBlock) {
    const Bytes block = PatternMessage(64, 78);
    CRIPEMD md(1);
    md.Transform(block.data());
    const Bytes ours = Finish(md);

    RIPEMD160_CTX ctx;
    RIPEMD160_Init(&ctx);
    RIPEMD160_Transform(&ctx, block.data());
    Bytes ref(20);
    RIPEMD160_Final(ref.data(), &ctx);
    EXPECT_EQ(ToHex(ours), ToHex(ref));
}

// ---------------------------------------------------------------------------
// RIPEMD-128 (not offered by OpenSSL: published vectors and self-consistency)
// ---------------------------------------------------------------------------

TEST(Ripemd128Vectors, PublishedVectors) {
    CRIPEMD md(0);
    CheckVectors(md, {
        {"", "cdf26213a150dc3ecb610f18f6b38b46"},
        {"a", "86be7afa339d0fc7cfc785e72f578d33"},
        {"abc", "c14a12199c66e4ba84636b0f69144c77"},
        {"message digest", "9e327b3d6e523062afc1132d7df9d1b8"},
        {kAlphabet, "fd2aa607f71dc8f510714922b371834e"},
        {k448Bits, "a1aa0689d0fafa2ddc22e88b49133a06"},
        {kAlnum, "d1e959eb179c911faea4624c60c5c702"},
        {EightTimes1234567890(), "3f45ef194732c2dbb2c4a2c769795fa3"},
        {kMillionA, "4a7f5723f954eba1216c9d8f6320431f"},
    });
}

TEST(Ripemd128Vectors, VariantSelection) {
    CRIPEMD md(0);
    EXPECT_EQ(md.Variant(), 0);
    EXPECT_EQ(md.DigestLength(), 16u);
    EXPECT_EQ(md.BlockLength(), 64u);
}

TEST(Ripemd128Vectors, DigestWritesExactlySixteenOctets) {
    // The caller's buffer only has to hold 16 octets; nothing beyond may change.
    CRIPEMD md(0);
    md.Update(reinterpret_cast<const unsigned char*>("abc"), 3);
    unsigned char out[24];
    std::fill(std::begin(out), std::end(out), 0xa5);
    md.Final(out);
    for (std::size_t i = 16; i < sizeof out; ++i) {
        EXPECT_EQ(out[i], 0xa5) << "octet " << i;
    }
    EXPECT_EQ(ToHex(Bytes(out, out + 16)), "c14a12199c66e4ba84636b0f69144c77");
}

// ---------------------------------------------------------------------------
// Streaming behaviour, shared by all three digests
// ---------------------------------------------------------------------------

struct DigestCase {
    const char* name;
    std::unique_ptr<IMessageDigest> (*make)();
};

std::unique_ptr<IMessageDigest> MakeMd5() { return std::make_unique<CMD5>(); }
std::unique_ptr<IMessageDigest> MakeRipemd128() { return std::make_unique<CRIPEMD>(0); }
std::unique_ptr<IMessageDigest> MakeRipemd160() { return std::make_unique<CRIPEMD>(1); }

void PrintTo(const DigestCase& c, std::ostream* os) { *os << c.name; }

const DigestCase kAllDigests[] = {
    {"MD5", MakeMd5}, {"RIPEMD-128", MakeRipemd128}, {"RIPEMD-160", MakeRipemd160}};

class Md5RipemdStreaming : public ::testing::TestWithParam<DigestCase> {};

TEST_P(Md5RipemdStreaming, FixedPieceSizesEqualOneUpdate) {
    auto md = GetParam().make();
    for (std::size_t len : {0u, 1u, 55u, 63u, 64u, 65u, 127u, 128u, 129u, 1000u, 4097u}) {
        const Bytes data = PatternMessage(len, 5);
        const Bytes whole = HashWhole(*md, data);
        for (std::size_t piece : {1u, 63u, 64u, 65u}) {
            SCOPED_TRACE("length " + std::to_string(len) + ", pieces of " +
                         std::to_string(piece));
            EXPECT_EQ(ToHex(HashInFixedPieces(*md, data, piece)), ToHex(whole));
        }
    }
}

TEST_P(Md5RipemdStreaming, RandomSplitPointsEqualOneUpdate) {
    auto md = GetParam().make();
    std::mt19937 rng(20240611);
    for (int round = 0; round < 200; ++round) {
        const std::size_t len = rng() % 3000;
        const Bytes data = PatternMessage(len, static_cast<std::uint32_t>(round));
        std::vector<std::size_t> pieces(rng() % 10);
        for (auto& p : pieces) {
            p = rng() % 200;  // zero-length pieces included
        }
        SCOPED_TRACE("round " + std::to_string(round));
        EXPECT_EQ(ToHex(HashInPieces(*md, data, pieces)), ToHex(HashWhole(*md, data)));
    }
}

TEST_P(Md5RipemdStreaming, EmptyUpdatesChangeNothing) {
    auto md = GetParam().make();
    const Bytes data = ToBytes("abc");
    const Bytes expected = HashWhole(*md, data);
    md->Reset();
    md->Update(nullptr, 0);
    md->Update(data.data(), 0);
    md->Update(data.data(), 1);
    md->Update(data.data() + 1, 0);
    md->Update(data.data() + 1, 2);
    md->Update(nullptr, 0);
    EXPECT_EQ(ToHex(Finish(*md)), ToHex(expected));
}

TEST_P(Md5RipemdStreaming, FinalLeavesObjectReset) {
    auto md = GetParam().make();
    const Bytes first = PatternMessage(100, 1);
    const Bytes second = ToBytes("abc");
    const Bytes expectedSecond = HashWhole(*md, second);

    md->Update(first.data(), static_cast<std::uint32_t>(first.size()));
    Finish(*md);
    // No Reset: Final already restored the initial state.
    md->Update(second.data(), static_cast<std::uint32_t>(second.size()));
    EXPECT_EQ(ToHex(Finish(*md)), ToHex(expectedSecond));

    // Final of nothing after a Final is the digest of the empty message.
    const Bytes empty = HashWhole(*md, {});
    md->Update(first.data(), 10);
    Finish(*md);
    EXPECT_EQ(ToHex(Finish(*md)), ToHex(empty));
}

TEST_P(Md5RipemdStreaming, ResetDiscardsPartialInput) {
    auto md = GetParam().make();
    const Bytes junk = PatternMessage(150, 9);  // two whole blocks and a partial one
    const Bytes msg = PatternMessage(70, 10);
    const Bytes expected = HashWhole(*md, msg);

    md->Update(junk.data(), static_cast<std::uint32_t>(junk.size()));
    md->Reset();
    md->Update(msg.data(), static_cast<std::uint32_t>(msg.size()));
    EXPECT_EQ(ToHex(Finish(*md)), ToHex(expected));

    // Reset after a Final and repeated Resets are harmless.
    md->Update(junk.data(), 5);
    Finish(*md);
    md->Reset();
    md->Reset();
    md->Update(msg.data(), static_cast<std::uint32_t>(msg.size()));
    EXPECT_EQ(ToHex(Finish(*md)), ToHex(expected));
}

TEST_P(Md5RipemdStreaming, UnalignedInputBuffers) {
    // Whole blocks are read straight from the caller's buffer, which need
    // not be aligned.
    auto md = GetParam().make();
    const Bytes data = PatternMessage(1000, 3);
    const Bytes expected = HashWhole(*md, data);
    for (std::size_t offset = 1; offset < 8; ++offset) {
        Bytes shifted(offset + data.size());
        std::copy(data.begin(), data.end(), shifted.begin() + offset);
        md->Reset();
        md->Update(shifted.data() + offset, static_cast<std::uint32_t>(data.size()));
        EXPECT_EQ(ToHex(Finish(*md)), ToHex(expected)) << "offset " << offset;
    }
}

TEST_P(Md5RipemdStreaming, SingleBitChangesDigest) {
    auto md = GetParam().make();
    const Bytes data = PatternMessage(200, 4);
    const Bytes base = HashWhole(*md, data);
    for (std::size_t pos : {0u, 63u, 64u, 127u, 199u}) {
        Bytes flipped = data;
        flipped[pos] ^= 0x01;
        EXPECT_NE(ToHex(HashWhole(*md, flipped)), ToHex(base)) << "octet " << pos;
    }
    // A trailing zero octet is part of the message, not padding.
    Bytes longer = data;
    longer.push_back(0);
    EXPECT_NE(ToHex(HashWhole(*md, longer)), ToHex(base));
}

TEST_P(Md5RipemdStreaming, CopiedObjectContinuesIndependently) {
    auto md = GetParam().make();
    const Bytes data = PatternMessage(300, 6);
    const Bytes expected = HashWhole(*md, data);
    md->Reset();
    md->Update(data.data(), 100);
    auto* md5 = dynamic_cast<CMD5*>(md.get());
    auto* rmd = dynamic_cast<CRIPEMD*>(md.get());
    std::unique_ptr<IMessageDigest> copy =
        md5 ? std::unique_ptr<IMessageDigest>(new CMD5(*md5))
            : std::unique_ptr<IMessageDigest>(new CRIPEMD(*rmd));
    md->Update(data.data() + 100, 200);
    copy->Update(data.data() + 100, 200);
    EXPECT_EQ(ToHex(Finish(*md)), ToHex(expected));
    EXPECT_EQ(ToHex(Finish(*copy)), ToHex(expected));
}

INSTANTIATE_TEST_SUITE_P(Md5Ripemd, Md5RipemdStreaming, ::testing::ValuesIn(kAllDigests),
                         [](const ::testing::TestParamInfo<DigestCase>& info) {
                             std::string name = info.param.name;
                             name.erase(std::remove(name.begin(), name.end(), '-'),
                                        name.end());
                             return name;
                         });

// ---------------------------------------------------------------------------
// Randomized comparison with OpenSSL
// ---------------------------------------------------------------------------

struct OpenSslCase {
    const char* name;     // OpenSSL digest name
    std::unique_ptr<IMessageDigest> (*make)();
};

void PrintTo(const OpenSslCase& c, std::ostream* os) { *os << c.name; }

class Md5RipemdVsOpenSsl : public ::testing::TestWithParam<OpenSslCase> {};

TEST_P(Md5RipemdVsOpenSsl, RandomLengthsAndSplitPoints) {
    auto md = GetParam().make();
    std::mt19937_64 rng(0x6b69766f);  // fixed seed: failures are reproducible
    Bytes buffer = PatternMessage(100000, 42);
    for (int round = 0; round < 300; ++round) {
        // Half the cases are short messages, where the padding paths matter.
        const std::size_t len = (round % 2 == 0) ? rng() % 300 : rng() % 100001;
        const std::size_t start = rng() % (buffer.size() - len + 1);
        const unsigned char* data = buffer.data() + start;

        OpenSslHash ref(GetParam().name);
        ref.Update(data, len);
        const Bytes expected = ref.Final();
        ASSERT_TRUE(ref.Ok()) << GetParam().name;

        md->Reset();
        std::size_t pos = 0;
        while (pos < len) {
            const std::size_t piece = std::min<std::size_t>(len - pos, rng() % (len + 1));
            md->Update(data + pos, static_cast<std::uint32_t>(piece));
            pos += piece;
        }
        ASSERT_EQ(ToHex(Finish(*md)), ToHex(expected))
            << "round " << round << ", length " << len << ", start " << start;
    }
}

TEST_P(Md5RipemdVsOpenSsl, BitCountBeyond32Bits) {
    // 512 MiB + 100 octets: the bit count no longer fits in 32 bits.
    auto md = GetParam().make();
    const Bytes chunk = PatternMessage(1 << 20, 11);
    OpenSslHash ref(GetParam().name);
    md->Reset();
    for (int i = 0; i < 512; ++i) {
        md->Update(chunk.data(), static_cast<std::uint32_t>(chunk.size()));
        ref.Update(chunk.data(), chunk.size());
    }
    md->Update(chunk.data(), 100);
    ref.Update(chunk.data(), 100);
    const Bytes expected = ref.Final();
    ASSERT_TRUE(ref.Ok());
    EXPECT_EQ(ToHex(Finish(*md)), ToHex(expected));
}

INSTANTIATE_TEST_SUITE_P(Md5Ripemd, Md5RipemdVsOpenSsl,
                         ::testing::Values(OpenSslCase{"MD5", MakeMd5},
                                           OpenSslCase{"RIPEMD160", MakeRipemd160}),
                         [](const ::testing::TestParamInfo<OpenSslCase>& info) {
                             return std::string(info.param.name);
                         });

}  // namespace
