// CSHA (SHA-1, SHA-256, SHA-384, SHA-512), CMD5 and CRIPEMD (RIPEMD-128,
// RIPEMD-160): published vectors, agreement with OpenSSL (whole messages at
// the padding boundaries, random lengths and split points, the bare block
// function), streaming and reuse of an object, variant selection, and the
// choice between the accelerated SHA code and the portable code. Every SHA
// test runs once on each path.
#include <gtest/gtest.h>

#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/x509.h>
#include <openssl/md5.h>
#include <openssl/ripemd.h>
#include <openssl/sha.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "digest/DigestInfo.h"
#include "digest/Md5.h"
#include "digest/Ripemd.h"
#include "digest/Sha.h"
#include "digest/ShaHardware.h"
#include "tests/support/TestSupport.h"

namespace {

using Bytes = std::vector<unsigned char>;

std::string Hex(const Bytes& bytes) {
    std::string out = kivo::test::toHex(bytes);
    std::transform(out.begin(), out.end(), out.begin(), [](char c) { return static_cast<char>(std::tolower(c)); });
    return out;
}

Bytes Finish(IMessageDigest& md) {
    Bytes out(md.DigestLength());
    md.Final(out.data());
    return out;
}

// Digest of `data` fed in consecutive pieces of the given sizes (the last
// piece takes whatever is left); no pieces: one Update.
Bytes Digest(IMessageDigest& md, const Bytes& data, const std::vector<std::size_t>& pieces = {}) {
    md.Reset();
    std::size_t offset = 0;
    for (std::size_t piece : pieces) {
        const std::size_t take = std::min(piece, data.size() - offset);
        md.Update(data.data() + offset, static_cast<std::uint32_t>(take));
        offset += take;
    }
    md.Update(data.data() + offset, static_cast<std::uint32_t>(data.size() - offset));
    return Finish(md);
}

// Random cut points, including empty pieces and pieces that span blocks.
std::vector<std::size_t> RandomSplit(std::size_t length, std::mt19937& rng) {
    std::vector<std::size_t> sizes;
    for (std::size_t used = 0; used < length;) {
        const std::size_t piece = rng() % 4 == 0 ? 0 : rng() % 2 == 0 ? rng() % 300 : rng() % (length - used + 1);
        sizes.push_back(piece);
        used += piece;
    }
    return sizes;
}

// OpenSSL's streaming digest of the same name, the reference.
class OpenSslHash {
public:
    explicit OpenSslHash(const char* name) : m_ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free) {
        EVP_MD* md = EVP_MD_fetch(nullptr, name, nullptr);
        m_ok = md != nullptr && EVP_DigestInit_ex(m_ctx.get(), md, nullptr) == 1;
        EVP_MD_free(md);
    }
    void Update(const unsigned char* data, std::size_t length) {
        m_ok = m_ok && EVP_DigestUpdate(m_ctx.get(), data, length) == 1;
    }
    Bytes Final() {
        Bytes out(EVP_MAX_MD_SIZE);
        unsigned int length = 0;
        m_ok = m_ok && EVP_DigestFinal_ex(m_ctx.get(), out.data(), &length) == 1;
        out.resize(length);
        EXPECT_TRUE(m_ok) << "OpenSSL digest unavailable";
        return out;
    }

private:
    std::unique_ptr<EVP_MD_CTX, void (*)(EVP_MD_CTX*)> m_ctx;
    bool m_ok = false;
};

// OpenSSL's low-level block function: Init, Transform over each block,
// Final. Final on a context whose length count is still zero pads an empty
// message, as CSHA/CMD5/CRIPEMD::Final does after bare Transform calls.
template <class Context, class InitResult, class FinalResult>
Bytes LowLevel(InitResult (*init)(Context*), void (*transform)(Context*, const unsigned char*),
               FinalResult (*final)(unsigned char*, Context*), std::size_t digestLength, const Bytes& blocks,
               std::size_t blockLength) {
    Context context;
    init(&context);
    for (std::size_t at = 0; at < blocks.size(); at += blockLength) transform(&context, blocks.data() + at);
    Bytes out(digestLength);
    final(out.data(), &context);
    return out;
}

enum class ShaPath { None, Hardware, Portable };

struct Algorithm {
    const char* name;          // as in the published-vector table
    const char* opensslName;   // nullptr: OpenSSL has no such digest
    ShaPath path;
    std::function<std::unique_ptr<IMessageDigest>()> make;
    std::function<Bytes(const Bytes& blocks, std::size_t blockLength)> blockFunction;
};

std::vector<Algorithm> Algorithms() {
    std::vector<Algorithm> all;
    const struct {
        const char* name;
        int variant;
        std::function<Bytes(const Bytes&, std::size_t)> blockFunction;
    } sha[] = {
        {"SHA1", 0, [](const Bytes& b, std::size_t n) { return LowLevel(SHA1_Init, SHA1_Transform, SHA1_Final, 20, b, n); }},
        {"SHA256", 1, [](const Bytes& b, std::size_t n) { return LowLevel(SHA256_Init, SHA256_Transform, SHA256_Final, 32, b, n); }},
        {"SHA384", 2, [](const Bytes& b, std::size_t n) { return LowLevel(SHA384_Init, SHA512_Transform, SHA384_Final, 48, b, n); }},
        {"SHA512", 3, [](const Bytes& b, std::size_t n) { return LowLevel(SHA512_Init, SHA512_Transform, SHA512_Final, 64, b, n); }},
    };
    for (const auto& s : sha) {
        for (const ShaPath path : {ShaPath::Hardware, ShaPath::Portable}) {
            const int variant = s.variant;
            all.push_back({s.name, s.name, path, [variant] { return std::make_unique<CSHA>(variant); }, s.blockFunction});
        }
    }
    all.push_back({"MD5", "MD5", ShaPath::None, [] { return std::make_unique<CMD5>(); },
                   [](const Bytes& b, std::size_t n) { return LowLevel(MD5_Init, MD5_Transform, MD5_Final, 16, b, n); }});
    all.push_back({"RIPEMD128", nullptr, ShaPath::None, [] { return std::make_unique<CRIPEMD>(0); }, nullptr});
    all.push_back({"RIPEMD160", "RIPEMD160", ShaPath::None, [] { return std::make_unique<CRIPEMD>(1); },
                   [](const Bytes& b, std::size_t n) {
                       return LowLevel(RIPEMD160_Init, RIPEMD160_Transform, RIPEMD160_Final, 20, b, n);
                   }});
    return all;
}

std::unique_ptr<IMessageDigest> CopyOf(const IMessageDigest& md) {
    if (const auto* sha = dynamic_cast<const CSHA*>(&md)) return std::make_unique<CSHA>(*sha);
    if (const auto* md5 = dynamic_cast<const CMD5*>(&md)) return std::make_unique<CMD5>(*md5);
    return std::make_unique<CRIPEMD>(dynamic_cast<const CRIPEMD&>(md));
}

// Selects one SHA path for the duration of a test and restores the
// previous choice afterwards.
class ScopedShaPath {
public:
    explicit ScopedShaPath(bool hardware) : m_saved(kivo::sha_detail::ActivePaths() != 0) {
        kivo::SetShaHardwareAllowed(hardware);
    }
    ~ScopedShaPath() { kivo::SetShaHardwareAllowed(m_saved); }
    ScopedShaPath(const ScopedShaPath&) = delete;
    ScopedShaPath& operator=(const ScopedShaPath&) = delete;

private:
    bool m_saved;
};

class DigestTest : public ::testing::TestWithParam<Algorithm> {
protected:
    void SetUp() override {
        const Algorithm& a = GetParam();
        if (a.path == ShaPath::None) return;
        m_path.emplace(a.path == ShaPath::Hardware);
        // The accelerated path of each variant: SHA extensions for SHA-1
        // and SHA-256, the AVX schedule with BMI2 rounds for SHA-384/512.
        const bool small = std::string(a.name) == "SHA1" || std::string(a.name) == "SHA256";
        const unsigned bit = small ? kivo::sha_detail::kPathShaExtensions : kivo::sha_detail::kPathSha512Vector;
        const bool hardware = (kivo::sha_detail::ActivePaths() & bit) != 0;
        if (a.path == ShaPath::Hardware && !hardware) {
            GTEST_SKIP() << "processor lacks the features of the hardware path of " << a.name;
        }
        ASSERT_EQ(hardware, a.path == ShaPath::Hardware);
    }
    void TearDown() override { m_path.reset(); }

    Bytes Reference(const Bytes& data) const {
        OpenSslHash reference(GetParam().opensslName);
        reference.Update(data.data(), data.size());
        return reference.Final();
    }

    std::optional<ScopedShaPath> m_path;
};

const std::string k448Bits = "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";
const std::string k896Bits =
    "abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrlmnopqrsmnopqrstnopqrstu";
const std::string kAlphabet = "abcdefghijklmnopqrstuvwxyz";
const std::string kAlnum = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
const std::string kDigits80 =
    "12345678901234567890123456789012345678901234567890123456789012345678901234567890";
const std::string kMillionA(1000000, 'a');

struct PublishedVector {
    const char* algorithm;
    const std::string* message;  // nullptr: the empty message
    const char* text;            // message given as text, when message is nullptr
    const char* digest;
};

// FIPS 180 (SHA), RFC 1321 (MD5) and the RIPEMD authors' vectors.
const PublishedVector kPublished[] = {
    {"SHA1", nullptr, "", "da39a3ee5e6b4b0d3255bfef95601890afd80709"},
    {"SHA1", nullptr, "abc", "a9993e364706816aba3e25717850c26c9cd0d89d"},
    {"SHA1", &k448Bits, nullptr, "84983e441c3bd26ebaae4aa1f95129e5e54670f1"},
    {"SHA1", &k896Bits, nullptr, "a49b2446a02c645bf419f995b67091253a04a259"},
    {"SHA1", &kMillionA, nullptr, "34aa973cd4c4daa4f61eeb2bdbad27316534016f"},
    {"SHA256", nullptr, "", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
    {"SHA256", nullptr, "abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
    {"SHA256", &k448Bits, nullptr, "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
    {"SHA256", &k896Bits, nullptr, "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1"},
    {"SHA256", &kMillionA, nullptr, "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    {"SHA384", nullptr, "",
     "38b060a751ac96384cd9327eb1b1e36a21fdb71114be07434c0cc7bf63f6e1da274edebfe76f65fbd51ad2f14898b95b"},
    {"SHA384", nullptr, "abc",
     "cb00753f45a35e8bb5a03d699ac65007272c32ab0eded1631a8b605a43ff5bed8086072ba1e7cc2358baeca134c825a7"},
    {"SHA384", &k448Bits, nullptr,
     "3391fdddfc8dc7393707a65b1b4709397cf8b1d162af05abfe8f450de5f36bc6b0455a8520bc4e6f5fe95b1fe3c8452b"},
    {"SHA384", &k896Bits, nullptr,
     "09330c33f71147e83d192fc782cd1b4753111b173b3b05d22fa08086e3b0f712fcc7c71a557e2db966c3e9fa91746039"},
    {"SHA384", &kMillionA, nullptr,
     "9d0e1809716474cb086e834e310a4a1ced149e9c00f248527972cec5704c2a5b07b8b3dc38ecc4ebae97ddd87f3d8985"},
    {"SHA512", nullptr, "",
     "cf83e1357eefb8bdf1542850d66d8007d620e4050b5715dc83f4a921d36ce9ce47d0d13c5d85f2b0ff8318d2877eec2f"
     "63b931bd47417a81a538327af927da3e"},
    {"SHA512", nullptr, "abc",
     "ddaf35a193617abacc417349ae20413112e6fa4e89a97ea20a9eeee64b55d39a2192992a274fc1a836ba3c23a3feebbd"
     "454d4423643ce80e2a9ac94fa54ca49f"},
    {"SHA512", &k448Bits, nullptr,
     "204a8fc6dda82f0a0ced7beb8e08a41657c16ef468b228a8279be331a703c33596fd15c13b1b07f9aa1d3bea57789ca0"
     "31ad85c7a71dd70354ec631238ca3445"},
    {"SHA512", &k896Bits, nullptr,
     "8e959b75dae313da8cf4f72814fc143f8f7779c6eb9f7fa17299aeadb6889018501d289e4900f7e4331b99dec4b5433a"
     "c7d329eeb6dd26545e96e55b874be909"},
    {"SHA512", &kMillionA, nullptr,
     "e718483d0ce769644e2e42c7bc15b4638e1f98b13b2044285632a803afa973ebde0ff244877ea60a4cb0432ce577c31b"
     "eb009c5c2c49aa2e4eadb217ad8cc09b"},
    {"MD5", nullptr, "", "d41d8cd98f00b204e9800998ecf8427e"},
    {"MD5", nullptr, "a", "0cc175b9c0f1b6a831c399e269772661"},
    {"MD5", nullptr, "abc", "900150983cd24fb0d6963f7d28e17f72"},
    {"MD5", nullptr, "message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
    {"MD5", &kAlphabet, nullptr, "c3fcd3d76192e4007dfb496cca67e13b"},
    {"MD5", &kAlnum, nullptr, "d174ab98d277d9f5a5611c2c9f419d9f"},
    {"MD5", &kDigits80, nullptr, "57edf4a22be3c955ac49da2e2107b67a"},
    {"RIPEMD128", nullptr, "", "cdf26213a150dc3ecb610f18f6b38b46"},
    {"RIPEMD128", nullptr, "a", "86be7afa339d0fc7cfc785e72f578d33"},
    {"RIPEMD128", nullptr, "abc", "c14a12199c66e4ba84636b0f69144c77"},
    {"RIPEMD128", nullptr, "message digest", "9e327b3d6e523062afc1132d7df9d1b8"},
    {"RIPEMD128", &kAlphabet, nullptr, "fd2aa607f71dc8f510714922b371834e"},
    {"RIPEMD128", &k448Bits, nullptr, "a1aa0689d0fafa2ddc22e88b49133a06"},
    {"RIPEMD128", &kAlnum, nullptr, "d1e959eb179c911faea4624c60c5c702"},
    {"RIPEMD128", &kDigits80, nullptr, "3f45ef194732c2dbb2c4a2c769795fa3"},
    {"RIPEMD128", &kMillionA, nullptr, "4a7f5723f954eba1216c9d8f6320431f"},
    {"RIPEMD160", nullptr, "", "9c1185a5c5e9fc54612808977ee8f548b2258d31"},
    {"RIPEMD160", nullptr, "a", "0bdc9d2d256b3ee9daae347be6f4dc835a467ffe"},
    {"RIPEMD160", nullptr, "abc", "8eb208f7e05d987a9b044a8e98c6b087f15a0bfc"},
    {"RIPEMD160", nullptr, "message digest", "5d0689ef49d2fae572b881b123a85ffa21595f36"},
    {"RIPEMD160", &kAlphabet, nullptr, "f71c27109c692c1b56bbdceb5b9d2865b3708dbc"},
    {"RIPEMD160", &k448Bits, nullptr, "12a053384a9c0c88e405a06c27dcf49ada62eb2b"},
    {"RIPEMD160", &kAlnum, nullptr, "b0e20b6e3116640286ed3a87a5713079b21f5189"},
    {"RIPEMD160", &kDigits80, nullptr, "9b752e45573d4b39f4dbd3323cab82bf63326bfb"},
    {"RIPEMD160", &kMillionA, nullptr, "52783243c1697bdbe16d37f97f68f08325dc1528"},
};

Bytes MessageOf(const PublishedVector& v) {
    const std::string text = v.message != nullptr ? *v.message : std::string(v.text);
    return Bytes(text.begin(), text.end());
}

const char* AbcDigest(const char* algorithm) {
    for (const PublishedVector& v : kPublished) {
        if (std::string(v.algorithm) == algorithm && v.text != nullptr && std::string(v.text) == "abc") return v.digest;
    }
    return "";
}

TEST_P(DigestTest, PublishedVectors) {
    auto md = GetParam().make();
    int checked = 0;
    for (const PublishedVector& v : kPublished) {
        if (std::string(v.algorithm) != GetParam().name) continue;
        const Bytes message = MessageOf(v);
        SCOPED_TRACE("message of " + std::to_string(message.size()) + " octets");
        EXPECT_EQ(Hex(Digest(*md, message)), v.digest);
        // In the 1000-octet pieces of the usual test harness, too.
        EXPECT_EQ(Hex(Digest(*md, message, std::vector<std::size_t>(message.size() / 1000, 1000))), v.digest);
        ++checked;
    }
    EXPECT_GE(checked, 5);
}

TEST_P(DigestTest, PiecewiseFeedingAgreesWithOpenSsl) {
    // Around the points where the padding spills into an extra block
    // (55/56 and 111/112 octets for 64-octet blocks, 111/112 and 239/240
    // for 128-octet blocks), at whole blocks, and at random lengths up to
    // 100,000 octets; each fed whole, in fixed pieces and in random pieces.
    auto md = GetParam().make();
    std::mt19937 rng(20240601);
    std::vector<std::size_t> lengths = {0,   1,   54,  55,  56,  57,  63,  64,  65,  111, 112, 113,
                                        119, 120, 127, 128, 129, 191, 192, 239, 240, 255, 256, 257, 1000, 4097};
    for (int round = 0; round < 60; ++round) lengths.push_back(round % 3 == 0 ? rng() % 600 : rng() % 100001);
    for (const std::size_t length : lengths) {
        const Bytes message = kivo::test::randomBytes(length, static_cast<std::uint32_t>(length));
        const std::string whole = Hex(Digest(*md, message));
        SCOPED_TRACE("length " + std::to_string(length));
        if (GetParam().opensslName != nullptr) {
            ASSERT_EQ(whole, Hex(Reference(message)));
        }
        for (const std::size_t piece : {1, 63, 64, 65, 127, 128, 129}) {
            if (length > 5000 && piece < 63) continue;
            ASSERT_EQ(Hex(Digest(*md, message, std::vector<std::size_t>(length / piece + 1, piece))), whole)
                << "pieces of " << piece;
        }
        ASSERT_EQ(Hex(Digest(*md, message, RandomSplit(length, rng))), whole) << "random pieces";
    }
}

TEST_P(DigestTest, ReuseResetCopyAndNullInput) {
    auto md = GetParam().make();
    const Bytes first = kivo::test::randomBytes(300, 5);
    const Bytes second = kivo::test::randomBytes(77, 6);
    const Bytes firstDigest = Digest(*GetParam().make(), first);
    const Bytes secondDigest = Digest(*GetParam().make(), second);
    const Bytes emptyDigest = Digest(*GetParam().make(), {});

    // Final leaves the object ready for the next message, without Reset.
    md->Update(first.data(), 300);
    EXPECT_EQ(Hex(Finish(*md)), Hex(firstDigest));
    md->Update(second.data(), 77);
    EXPECT_EQ(Hex(Finish(*md)), Hex(secondDigest));
    EXPECT_EQ(Hex(Finish(*md)), Hex(emptyDigest));

    // Reset discards a half-fed message, buffered octets included; a null
    // pointer is ignored, with any length.
    md->Update(first.data(), 150);
    md->Reset();
    md->Reset();
    md->Update(nullptr, 0);
    md->Update(second.data(), 40);
    md->Update(nullptr, 1000);
    md->Transform(nullptr);
    md->Update(second.data() + 40, 37);
    EXPECT_EQ(Hex(Finish(*md)), Hex(secondDigest));
    md->Update(first.data(), 150);
    md->Final(nullptr);  // nothing written, but the object is reset
    md->Update(second.data(), 77);
    EXPECT_EQ(Hex(Finish(*md)), Hex(secondDigest));

    // A copy taken mid-message continues independently of the original.
    md->Update(first.data(), 100);
    auto copy = CopyOf(*md);
    md->Update(first.data() + 100, 200);
    copy->Update(second.data(), 77);
    Bytes joined(first.begin(), first.begin() + 100);
    joined.insert(joined.end(), second.begin(), second.end());
    EXPECT_EQ(Hex(Finish(*md)), Hex(firstDigest));
    EXPECT_EQ(Hex(Finish(*copy)), Hex(Digest(*GetParam().make(), joined)));

    // Whole blocks are read straight from the caller's buffer, which need
    // not be aligned; Final writes exactly DigestLength() octets.
    for (std::size_t offset = 1; offset < 8; ++offset) {
        Bytes shifted(offset, 0);
        shifted.insert(shifted.end(), first.begin(), first.end());
        md->Update(shifted.data() + offset, 300);
        Bytes out(md->DigestLength() + 8, 0xA5);
        md->Final(out.data());
        EXPECT_EQ(Hex(Bytes(out.begin(), out.begin() + static_cast<long>(md->DigestLength()))), Hex(firstDigest));
        EXPECT_EQ(Bytes(out.end() - 8, out.end()), Bytes(8, 0xA5)) << "offset " << offset;
    }
}

// The digests for which OpenSSL has a low-level block function (all but
// RIPEMD-128).
class DigestBlockTest : public DigestTest {};

TEST_P(DigestBlockTest, TransformIsTheBareBlockFunction) {
    auto md = GetParam().make();
    const Bytes blocks = kivo::test::randomBytes(2 * md->BlockLength(), 31);
    md->Transform(blocks.data());
    md->Transform(blocks.data() + md->BlockLength());
    EXPECT_EQ(Hex(Finish(*md)), Hex(GetParam().blockFunction(blocks, md->BlockLength())));
}

// MD5 and RIPEMD-160 with a bit count beyond 32 bits.
class DigestLongTest : public DigestTest {};

TEST_P(DigestLongTest, BitCountBeyond32Bits) {
    // 512 MiB + 100 octets: the bit count no longer fits in 32 bits.
    auto md = GetParam().make();
    const Bytes chunk = kivo::test::randomBytes(1 << 20, 11);
    OpenSslHash reference(GetParam().opensslName);
    for (int i = 0; i < 512; ++i) {
        md->Update(chunk.data(), static_cast<std::uint32_t>(chunk.size()));
        reference.Update(chunk.data(), chunk.size());
    }
    md->Update(chunk.data(), 100);
    reference.Update(chunk.data(), 100);
    EXPECT_EQ(Hex(Finish(*md)), Hex(reference.Final()));
}

std::string ParamName(const ::testing::TestParamInfo<Algorithm>& info) {
    const ShaPath path = info.param.path;
    return std::string(info.param.name) +
           (path == ShaPath::Hardware ? "_Hardware" : path == ShaPath::Portable ? "_Portable" : "");
}

std::vector<Algorithm> Selected(bool (*keep)(const Algorithm&)) {
    std::vector<Algorithm> all = Algorithms();
    all.erase(std::remove_if(all.begin(), all.end(), [keep](const Algorithm& a) { return !keep(a); }), all.end());
    return all;
}

INSTANTIATE_TEST_SUITE_P(Digests, DigestTest, ::testing::ValuesIn(Algorithms()), ParamName);
INSTANTIATE_TEST_SUITE_P(Digests, DigestBlockTest,
                         ::testing::ValuesIn(Selected([](const Algorithm& a) { return bool(a.blockFunction); })),
                         ParamName);
INSTANTIATE_TEST_SUITE_P(Digests, DigestLongTest, ::testing::ValuesIn(Selected([](const Algorithm& a) {
                             return a.path == ShaPath::None && a.opensslName != nullptr;
                         })),
                         ParamName);

TEST(DigestVariant, ConstructorArgumentSelectsAlgorithm) {
    // Out-of-range arguments fall back to SHA-1 and RIPEMD-160.
    const struct {
        std::function<std::unique_ptr<IMessageDigest>()> make;
        const char* label;
        int variant;
        std::size_t digestLength;
        const char* algorithm;
    } table[] = {
        {[] { return std::make_unique<CSHA>(0); }, "CSHA(0)", 0, 20, "SHA1"},
        {[] { return std::make_unique<CSHA>(1); }, "CSHA(1)", 1, 32, "SHA256"},
        {[] { return std::make_unique<CSHA>(2); }, "CSHA(2)", 2, 48, "SHA384"},
        {[] { return std::make_unique<CSHA>(3); }, "CSHA(3)", 3, 64, "SHA512"},
        {[] { return std::make_unique<CSHA>(4); }, "CSHA(4)", 0, 20, "SHA1"},
        {[] { return std::make_unique<CSHA>(-1); }, "CSHA(-1)", 0, 20, "SHA1"},
        {[] { return std::make_unique<CSHA>(); }, "CSHA()", 0, 20, "SHA1"},
        {[] { return std::make_unique<CMD5>(); }, "CMD5()", -1, 16, "MD5"},
        {[] { return std::make_unique<CRIPEMD>(0); }, "CRIPEMD(0)", 0, 16, "RIPEMD128"},
        {[] { return std::make_unique<CRIPEMD>(); }, "CRIPEMD()", 1, 20, "RIPEMD160"},
        {[] { return std::make_unique<CRIPEMD>(7); }, "CRIPEMD(7)", 1, 20, "RIPEMD160"},
        {[] { return std::make_unique<CRIPEMD>(-3); }, "CRIPEMD(-3)", 1, 20, "RIPEMD160"},
    };
    const Bytes abc = {'a', 'b', 'c'};
    for (const auto& e : table) {
        SCOPED_TRACE(e.label);
        auto md = e.make();
        if (const auto* sha = dynamic_cast<const CSHA*>(md.get())) {
            EXPECT_EQ(sha->Variant(), e.variant);
        }
        if (const auto* rmd = dynamic_cast<const CRIPEMD*>(md.get())) {
            EXPECT_EQ(rmd->Variant(), e.variant);
        }
        EXPECT_EQ(md->DigestLength(), e.digestLength);
        EXPECT_EQ(md->BlockLength(), e.digestLength >= 48 ? 128u : 64u);
        EXPECT_EQ(Hex(Digest(*md, abc)), AbcDigest(e.algorithm));
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
// fresh child process that starts from the environment set here. The child
// hashes "abc" with SHA-256 and exits with 0 on the portable path, 1 on the
// hardware path, 2 for a wrong digest.
void HashAndReport() {
    CSHA sha(1);
    if (Hex(Digest(sha, Bytes{'a', 'b', 'c'})) != AbcDigest("SHA256")) std::_Exit(2);
    std::_Exit(kivo::ShaHardwareActive() ? 1 : 0);
}

TEST(ShaPathDeathTest, EnvironmentChoosesThePath) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const int hardware = kivo::ShaHardwareAvailable() ? 1 : 0;
    const std::pair<const char*, int> cases[] = {{"1", 0}, {"yes", 0}, {"", 0}, {"0", hardware}, {nullptr, hardware}};
    for (const auto& [value, expected] : cases) {
        SCOPED_TRACE(value == nullptr ? "unset" : value);
        if (value != nullptr) {
            setenv("KIVO_DIGEST_PORTABLE", value, 1);
        } else {
            unsetenv("KIVO_DIGEST_PORTABLE");
        }
        EXPECT_EXIT(HashAndReport(), ::testing::ExitedWithCode(expected), "");
    }
    unsetenv("KIVO_DIGEST_PORTABLE");
}

}  // namespace

// The DigestInfo prefix followed by a digest is the DigestInfo OpenSSL
// encodes for the same algorithm, for every digest the library knows.
TEST(DigestInfo, PrefixAndDigestAreOpenSslsEncoding) {
    const struct {
        kivo::DigestAlgorithm algorithm;
        const char* name;
    } cases[] = {
        {kivo::DigestAlgorithm::Md5, "MD5"},       {kivo::DigestAlgorithm::Sha1, "SHA1"},
        {kivo::DigestAlgorithm::Ripemd160, "RIPEMD160"}, {kivo::DigestAlgorithm::Sha256, "SHA256"},
        {kivo::DigestAlgorithm::Sha384, "SHA384"}, {kivo::DigestAlgorithm::Sha512, "SHA512"},
    };
    for (const auto& test : cases) {
        SCOPED_TRACE(test.name);
        const EVP_MD* md = EVP_get_digestbyname(test.name);
        ASSERT_NE(md, nullptr);
        const std::vector<unsigned char> digest(static_cast<std::size_t>(EVP_MD_get_size(md)), 0xA5);
        X509_SIG* info = X509_SIG_new();
        X509_ALGOR* algorithm = nullptr;
        ASN1_OCTET_STRING* value = nullptr;
        X509_SIG_getm(info, &algorithm, &value);
        X509_ALGOR_set0(algorithm, OBJ_nid2obj(EVP_MD_get_type(md)), V_ASN1_NULL, nullptr);
        ASN1_OCTET_STRING_set(value, digest.data(), static_cast<int>(digest.size()));
        unsigned char* der = nullptr;
        const int length = i2d_X509_SIG(info, &der);
        ASSERT_GT(length, 0);
        const std::vector<unsigned char> expected(der, der + length);
        OPENSSL_free(der);
        X509_SIG_free(info);

        std::vector<unsigned char> ours = kivo::digestInfoPrefix(test.algorithm, digest.size());
        ours.insert(ours.end(), digest.begin(), digest.end());
        EXPECT_EQ(kivo::test::toHex(ours), kivo::test::toHex(expected));
    }
    EXPECT_TRUE(kivo::digestInfoPrefix(kivo::DigestAlgorithm::Sha512, 128).empty()) << "long-form lengths refused";
}
