// MD5 as defined in RFC 1321: 64-octet blocks, four rounds of sixteen
// steps, little-endian words and length.
#include "digest/Md5.h"

#include "digest/LittleEndianBlocks.h"

#include <algorithm>
#include <bit>
#include <cstring>

namespace {

using kivo::digest::LoadLe32;
using kivo::digest::StoreLe32;

constexpr std::uint32_t kMd5Init[4] = {0x67452301u, 0xefcdab89u, 0x98badcfeu,
                                       0x10325476u};

// One step: a = b + ((a + f(b, c, d) + X[i] + t) <<< s), where X[i] is
// message word i of the block at p. Words are read where they are used, so
// the loads become memory operands of the additions and the registers stay
// free for the chaining variables.
// b is the word written by the previous step, so each round function is
// arranged to touch b as late as possible; everything that depends only
// on a, c, d, the message word and t is computed while the previous step
// finishes.
//   F(b,c,d) = (b & c) | (~b & d), computed as d ^ (b & (c ^ d)).
//   G(b,c,d) = (b & d) | (c & ~d); the two halves never share a set bit,
//            so the OR is an addition and (c & ~d) joins the early sum.
//   H(b,c,d) = b ^ c ^ d.
//   I(b,c,d) = c ^ (b | ~d).
#define MD5_X(i) LoadLe32(p + 4 * (i))
#define MD5_F(a, b, c, d, i, s, t)                          \
    a += MD5_X(i) + (t) + ((d) ^ ((b) & ((c) ^ (d))));      \
    a = std::rotl(a, s) + (b)
#define MD5_G(a, b, c, d, i, s, t)                          \
    a += MD5_X(i) + (t) + ((c) & ~(d));                     \
    a += (b) & (d);                                         \
    a = std::rotl(a, s) + (b)
#define MD5_H(a, b, c, d, i, s, t)                          \
    a += MD5_X(i) + (t) + ((b) ^ (c) ^ (d));                \
    a = std::rotl(a, s) + (b)
#define MD5_I(a, b, c, d, i, s, t)                          \
    a += MD5_X(i) + (t) + ((c) ^ ((b) | ~(d)));             \
    a = std::rotl(a, s) + (b)

void Md5Compress(std::uint32_t state[4], const unsigned char* p) {
    std::uint32_t a = state[0], b = state[1], c = state[2], d = state[3];

    // Round 1
    MD5_F(a, b, c, d,  0,  7, 0xd76aa478u);
    MD5_F(d, a, b, c,  1, 12, 0xe8c7b756u);
    MD5_F(c, d, a, b,  2, 17, 0x242070dbu);
    MD5_F(b, c, d, a,  3, 22, 0xc1bdceeeu);
    MD5_F(a, b, c, d,  4,  7, 0xf57c0fafu);
    MD5_F(d, a, b, c,  5, 12, 0x4787c62au);
    MD5_F(c, d, a, b,  6, 17, 0xa8304613u);
    MD5_F(b, c, d, a,  7, 22, 0xfd469501u);
    MD5_F(a, b, c, d,  8,  7, 0x698098d8u);
    MD5_F(d, a, b, c,  9, 12, 0x8b44f7afu);
    MD5_F(c, d, a, b, 10, 17, 0xffff5bb1u);
    MD5_F(b, c, d, a, 11, 22, 0x895cd7beu);
    MD5_F(a, b, c, d, 12,  7, 0x6b901122u);
    MD5_F(d, a, b, c, 13, 12, 0xfd987193u);
    MD5_F(c, d, a, b, 14, 17, 0xa679438eu);
    MD5_F(b, c, d, a, 15, 22, 0x49b40821u);
    // Round 2
    MD5_G(a, b, c, d,  1,  5, 0xf61e2562u);
    MD5_G(d, a, b, c,  6,  9, 0xc040b340u);
    MD5_G(c, d, a, b, 11, 14, 0x265e5a51u);
    MD5_G(b, c, d, a,  0, 20, 0xe9b6c7aau);
    MD5_G(a, b, c, d,  5,  5, 0xd62f105du);
    MD5_G(d, a, b, c, 10,  9, 0x02441453u);
    MD5_G(c, d, a, b, 15, 14, 0xd8a1e681u);
    MD5_G(b, c, d, a,  4, 20, 0xe7d3fbc8u);
    MD5_G(a, b, c, d,  9,  5, 0x21e1cde6u);
    MD5_G(d, a, b, c, 14,  9, 0xc33707d6u);
    MD5_G(c, d, a, b,  3, 14, 0xf4d50d87u);
    MD5_G(b, c, d, a,  8, 20, 0x455a14edu);
    MD5_G(a, b, c, d, 13,  5, 0xa9e3e905u);
    MD5_G(d, a, b, c,  2,  9, 0xfcefa3f8u);
    MD5_G(c, d, a, b,  7, 14, 0x676f02d9u);
    MD5_G(b, c, d, a, 12, 20, 0x8d2a4c8au);
    // Round 3
    MD5_H(a, b, c, d,  5,  4, 0xfffa3942u);
    MD5_H(d, a, b, c,  8, 11, 0x8771f681u);
    MD5_H(c, d, a, b, 11, 16, 0x6d9d6122u);
    MD5_H(b, c, d, a, 14, 23, 0xfde5380cu);
    MD5_H(a, b, c, d,  1,  4, 0xa4beea44u);
    MD5_H(d, a, b, c,  4, 11, 0x4bdecfa9u);
    MD5_H(c, d, a, b,  7, 16, 0xf6bb4b60u);
    MD5_H(b, c, d, a, 10, 23, 0xbebfbc70u);
    MD5_H(a, b, c, d, 13,  4, 0x289b7ec6u);
    MD5_H(d, a, b, c,  0, 11, 0xeaa127fau);
    MD5_H(c, d, a, b,  3, 16, 0xd4ef3085u);
    MD5_H(b, c, d, a,  6, 23, 0x04881d05u);
    MD5_H(a, b, c, d,  9,  4, 0xd9d4d039u);
    MD5_H(d, a, b, c, 12, 11, 0xe6db99e5u);
    MD5_H(c, d, a, b, 15, 16, 0x1fa27cf8u);
    MD5_H(b, c, d, a,  2, 23, 0xc4ac5665u);
    // Round 4
    MD5_I(a, b, c, d,  0,  6, 0xf4292244u);
    MD5_I(d, a, b, c,  7, 10, 0x432aff97u);
    MD5_I(c, d, a, b, 14, 15, 0xab9423a7u);
    MD5_I(b, c, d, a,  5, 21, 0xfc93a039u);
    MD5_I(a, b, c, d, 12,  6, 0x655b59c3u);
    MD5_I(d, a, b, c,  3, 10, 0x8f0ccc92u);
    MD5_I(c, d, a, b, 10, 15, 0xffeff47du);
    MD5_I(b, c, d, a,  1, 21, 0x85845dd1u);
    MD5_I(a, b, c, d,  8,  6, 0x6fa87e4fu);
    MD5_I(d, a, b, c, 15, 10, 0xfe2ce6e0u);
    MD5_I(c, d, a, b,  6, 15, 0xa3014314u);
    MD5_I(b, c, d, a, 13, 21, 0x4e0811a1u);
    MD5_I(a, b, c, d,  4,  6, 0xf7537e82u);
    MD5_I(d, a, b, c, 11, 10, 0xbd3af235u);
    MD5_I(c, d, a, b,  2, 15, 0x2ad7d2bbu);
    MD5_I(b, c, d, a,  9, 21, 0xeb86d391u);

    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
}

#undef MD5_F
#undef MD5_G
#undef MD5_H
#undef MD5_I
#undef MD5_X

}  // namespace

CMD5::CMD5() : IMessageDigest(16, 64) { Reset(); }

void CMD5::Reset() {
    std::memcpy(m_state, kMd5Init, sizeof m_state);
    m_blocks.reset();
}

void CMD5::CompressBlocks(const unsigned char* blocks, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
        Md5Compress(m_state, blocks + 64 * i);
    }
}

void CMD5::Transform(const unsigned char* block) {
    if (block != nullptr) {
        CompressBlocks(block, 1);
    }
}

void CMD5::Update(const unsigned char* data, std::uint32_t length) {
    m_blocks.update(data, length, [this](const unsigned char* blocks, std::size_t count) { CompressBlocks(blocks, count); });
}

void CMD5::Final(unsigned char* digest) {
    m_blocks.finish([this](const unsigned char* blocks, std::size_t count) { CompressBlocks(blocks, count); });
    if (digest != nullptr) {
        for (int i = 0; i < 4; ++i) {
            StoreLe32(digest + 4 * i, m_state[i]);
        }
    }
    Reset();
}
