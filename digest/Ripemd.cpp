// RIPEMD-128 and RIPEMD-160 (Dobbertin, Bosselaers, Preneel): two parallel
// lines of rounds over each 64-octet block, little-endian words and length.
// RIPEMD-160 runs five rounds per line on a five-word state; RIPEMD-128
// runs four rounds per line on a four-word state.
#include "digest/Ripemd.h"

#include "digest/LittleEndianBlocks.h"

#include <algorithm>
#include <bit>
#include <cstring>

namespace {

using kivo::digest::LoadLe32;
using kivo::digest::StoreLe32;

constexpr std::uint32_t kRipemdInit[5] = {0x67452301u, 0xefcdab89u, 0x98badcfeu,
                                          0x10325476u, 0xc3d2e1f0u};

// The five boolean functions. In every step x is the word written by the
// previous step, so each is arranged to use x last. F4 is an OR of two
// terms that never share a set bit and is written as a sum, which lets the
// (y & ~z) half be added ahead of time.
inline std::uint32_t F1(std::uint32_t x, std::uint32_t y, std::uint32_t z) {
    return x ^ y ^ z;
}
inline std::uint32_t F2(std::uint32_t x, std::uint32_t y, std::uint32_t z) {
    return z ^ (x & (y ^ z));  // (x & y) | (~x & z)
}
inline std::uint32_t F3(std::uint32_t x, std::uint32_t y, std::uint32_t z) {
    return (x | ~y) ^ z;
}
inline std::uint32_t F4Early(std::uint32_t y, std::uint32_t z) { return y & ~z; }
inline std::uint32_t F4Late(std::uint32_t x, std::uint32_t z) { return x & z; }
inline std::uint32_t F5(std::uint32_t x, std::uint32_t y, std::uint32_t z) {
    return x ^ (y | ~z);
}

// a += f(b, c, d) + X[i] + k, where X[i] is message word i of the block at
// p. Words are read where they are used so that the loads become memory
// operands and the registers stay free for the chaining variables.
#define RMD_X(i) LoadLe32(p + 4 * (i))
#define RMD_F(f, a, b, c, d, i, k) RMD_F_##f(a, b, c, d, RMD_X(i), k)
#define RMD_F_F1(a, b, c, d, x, k) a += (x) + (k) + F1(b, c, d)
#define RMD_F_F2(a, b, c, d, x, k) a += (x) + (k) + F2(b, c, d)
#define RMD_F_F3(a, b, c, d, x, k) a += (x) + (k) + F3(b, c, d)
#define RMD_F_F4(a, b, c, d, x, k) \
    a += (x) + (k) + F4Early(c, d); \
    a += F4Late(b, d)
#define RMD_F_F5(a, b, c, d, x, k) a += (x) + (k) + F5(b, c, d)

// RIPEMD-160 step: a = ((a + f(b, c, d) + X[i] + k) <<< s) + e; c = c <<< 10.
// The caller rotates the register names instead of moving values.
#define RMD160_STEP(f, a, b, c, d, e, i, s, k) \
    RMD_F(f, a, b, c, d, i, k);                \
    a = std::rotl(a, s) + (e);                 \
    c = std::rotl(c, 10)

// RIPEMD-128 step: a = (a + f(b, c, d) + X[i] + k) <<< s.
#define RMD128_STEP(f, a, b, c, d, i, s, k) \
    RMD_F(f, a, b, c, d, i, k);             \
    a = std::rotl(a, s)

// The left and right lines are independent until the final combination;
// their steps are interleaved so the processor can run both at once.
void Ripemd160Compress(std::uint32_t state[5], const unsigned char* p) {
    std::uint32_t la = state[0], lb = state[1], lc = state[2], ld = state[3],
                  le = state[4];
    std::uint32_t ra = la, rb = lb, rc = lc, rd = ld, re = le;

    // Round 1: left line uses F1, right line F5
    RMD160_STEP(F1, la, lb, lc, ld, le,  0, 11, 0x00000000u);
    RMD160_STEP(F5, ra, rb, rc, rd, re,  5,  8, 0x50a28be6u);
    RMD160_STEP(F1, le, la, lb, lc, ld,  1, 14, 0x00000000u);
    RMD160_STEP(F5, re, ra, rb, rc, rd, 14,  9, 0x50a28be6u);
    RMD160_STEP(F1, ld, le, la, lb, lc,  2, 15, 0x00000000u);
    RMD160_STEP(F5, rd, re, ra, rb, rc,  7,  9, 0x50a28be6u);
    RMD160_STEP(F1, lc, ld, le, la, lb,  3, 12, 0x00000000u);
    RMD160_STEP(F5, rc, rd, re, ra, rb,  0, 11, 0x50a28be6u);
    RMD160_STEP(F1, lb, lc, ld, le, la,  4,  5, 0x00000000u);
    RMD160_STEP(F5, rb, rc, rd, re, ra,  9, 13, 0x50a28be6u);
    RMD160_STEP(F1, la, lb, lc, ld, le,  5,  8, 0x00000000u);
    RMD160_STEP(F5, ra, rb, rc, rd, re,  2, 15, 0x50a28be6u);
    RMD160_STEP(F1, le, la, lb, lc, ld,  6,  7, 0x00000000u);
    RMD160_STEP(F5, re, ra, rb, rc, rd, 11, 15, 0x50a28be6u);
    RMD160_STEP(F1, ld, le, la, lb, lc,  7,  9, 0x00000000u);
    RMD160_STEP(F5, rd, re, ra, rb, rc,  4,  5, 0x50a28be6u);
    RMD160_STEP(F1, lc, ld, le, la, lb,  8, 11, 0x00000000u);
    RMD160_STEP(F5, rc, rd, re, ra, rb, 13,  7, 0x50a28be6u);
    RMD160_STEP(F1, lb, lc, ld, le, la,  9, 13, 0x00000000u);
    RMD160_STEP(F5, rb, rc, rd, re, ra,  6,  7, 0x50a28be6u);
    RMD160_STEP(F1, la, lb, lc, ld, le, 10, 14, 0x00000000u);
    RMD160_STEP(F5, ra, rb, rc, rd, re, 15,  8, 0x50a28be6u);
    RMD160_STEP(F1, le, la, lb, lc, ld, 11, 15, 0x00000000u);
    RMD160_STEP(F5, re, ra, rb, rc, rd,  8, 11, 0x50a28be6u);
    RMD160_STEP(F1, ld, le, la, lb, lc, 12,  6, 0x00000000u);
    RMD160_STEP(F5, rd, re, ra, rb, rc,  1, 14, 0x50a28be6u);
    RMD160_STEP(F1, lc, ld, le, la, lb, 13,  7, 0x00000000u);
    RMD160_STEP(F5, rc, rd, re, ra, rb, 10, 14, 0x50a28be6u);
    RMD160_STEP(F1, lb, lc, ld, le, la, 14,  9, 0x00000000u);
    RMD160_STEP(F5, rb, rc, rd, re, ra,  3, 12, 0x50a28be6u);
    RMD160_STEP(F1, la, lb, lc, ld, le, 15,  8, 0x00000000u);
    RMD160_STEP(F5, ra, rb, rc, rd, re, 12,  6, 0x50a28be6u);
    // Round 2: left line uses F2, right line F4
    RMD160_STEP(F2, le, la, lb, lc, ld,  7,  7, 0x5a827999u);
    RMD160_STEP(F4, re, ra, rb, rc, rd,  6,  9, 0x5c4dd124u);
    RMD160_STEP(F2, ld, le, la, lb, lc,  4,  6, 0x5a827999u);
    RMD160_STEP(F4, rd, re, ra, rb, rc, 11, 13, 0x5c4dd124u);
    RMD160_STEP(F2, lc, ld, le, la, lb, 13,  8, 0x5a827999u);
    RMD160_STEP(F4, rc, rd, re, ra, rb,  3, 15, 0x5c4dd124u);
    RMD160_STEP(F2, lb, lc, ld, le, la,  1, 13, 0x5a827999u);
    RMD160_STEP(F4, rb, rc, rd, re, ra,  7,  7, 0x5c4dd124u);
    RMD160_STEP(F2, la, lb, lc, ld, le, 10, 11, 0x5a827999u);
    RMD160_STEP(F4, ra, rb, rc, rd, re,  0, 12, 0x5c4dd124u);
    RMD160_STEP(F2, le, la, lb, lc, ld,  6,  9, 0x5a827999u);
    RMD160_STEP(F4, re, ra, rb, rc, rd, 13,  8, 0x5c4dd124u);
    RMD160_STEP(F2, ld, le, la, lb, lc, 15,  7, 0x5a827999u);
    RMD160_STEP(F4, rd, re, ra, rb, rc,  5,  9, 0x5c4dd124u);
    RMD160_STEP(F2, lc, ld, le, la, lb,  3, 15, 0x5a827999u);
    RMD160_STEP(F4, rc, rd, re, ra, rb, 10, 11, 0x5c4dd124u);
    RMD160_STEP(F2, lb, lc, ld, le, la, 12,  7, 0x5a827999u);
    RMD160_STEP(F4, rb, rc, rd, re, ra, 14,  7, 0x5c4dd124u);
    RMD160_STEP(F2, la, lb, lc, ld, le,  0, 12, 0x5a827999u);
    RMD160_STEP(F4, ra, rb, rc, rd, re, 15,  7, 0x5c4dd124u);
    RMD160_STEP(F2, le, la, lb, lc, ld,  9, 15, 0x5a827999u);
    RMD160_STEP(F4, re, ra, rb, rc, rd,  8, 12, 0x5c4dd124u);
    RMD160_STEP(F2, ld, le, la, lb, lc,  5,  9, 0x5a827999u);
    RMD160_STEP(F4, rd, re, ra, rb, rc, 12,  7, 0x5c4dd124u);
    RMD160_STEP(F2, lc, ld, le, la, lb,  2, 11, 0x5a827999u);
    RMD160_STEP(F4, rc, rd, re, ra, rb,  4,  6, 0x5c4dd124u);
    RMD160_STEP(F2, lb, lc, ld, le, la, 14,  7, 0x5a827999u);
    RMD160_STEP(F4, rb, rc, rd, re, ra,  9, 15, 0x5c4dd124u);
    RMD160_STEP(F2, la, lb, lc, ld, le, 11, 13, 0x5a827999u);
    RMD160_STEP(F4, ra, rb, rc, rd, re,  1, 13, 0x5c4dd124u);
    RMD160_STEP(F2, le, la, lb, lc, ld,  8, 12, 0x5a827999u);
    RMD160_STEP(F4, re, ra, rb, rc, rd,  2, 11, 0x5c4dd124u);
    // Round 3: left line uses F3, right line F3
    RMD160_STEP(F3, ld, le, la, lb, lc,  3, 11, 0x6ed9eba1u);
    RMD160_STEP(F3, rd, re, ra, rb, rc, 15,  9, 0x6d703ef3u);
    RMD160_STEP(F3, lc, ld, le, la, lb, 10, 13, 0x6ed9eba1u);
    RMD160_STEP(F3, rc, rd, re, ra, rb,  5,  7, 0x6d703ef3u);
    RMD160_STEP(F3, lb, lc, ld, le, la, 14,  6, 0x6ed9eba1u);
    RMD160_STEP(F3, rb, rc, rd, re, ra,  1, 15, 0x6d703ef3u);
    RMD160_STEP(F3, la, lb, lc, ld, le,  4,  7, 0x6ed9eba1u);
    RMD160_STEP(F3, ra, rb, rc, rd, re,  3, 11, 0x6d703ef3u);
    RMD160_STEP(F3, le, la, lb, lc, ld,  9, 14, 0x6ed9eba1u);
    RMD160_STEP(F3, re, ra, rb, rc, rd,  7,  8, 0x6d703ef3u);
    RMD160_STEP(F3, ld, le, la, lb, lc, 15,  9, 0x6ed9eba1u);
    RMD160_STEP(F3, rd, re, ra, rb, rc, 14,  6, 0x6d703ef3u);
    RMD160_STEP(F3, lc, ld, le, la, lb,  8, 13, 0x6ed9eba1u);
    RMD160_STEP(F3, rc, rd, re, ra, rb,  6,  6, 0x6d703ef3u);
    RMD160_STEP(F3, lb, lc, ld, le, la,  1, 15, 0x6ed9eba1u);
    RMD160_STEP(F3, rb, rc, rd, re, ra,  9, 14, 0x6d703ef3u);
    RMD160_STEP(F3, la, lb, lc, ld, le,  2, 14, 0x6ed9eba1u);
    RMD160_STEP(F3, ra, rb, rc, rd, re, 11, 12, 0x6d703ef3u);
    RMD160_STEP(F3, le, la, lb, lc, ld,  7,  8, 0x6ed9eba1u);
    RMD160_STEP(F3, re, ra, rb, rc, rd,  8, 13, 0x6d703ef3u);
    RMD160_STEP(F3, ld, le, la, lb, lc,  0, 13, 0x6ed9eba1u);
    RMD160_STEP(F3, rd, re, ra, rb, rc, 12,  5, 0x6d703ef3u);
    RMD160_STEP(F3, lc, ld, le, la, lb,  6,  6, 0x6ed9eba1u);
    RMD160_STEP(F3, rc, rd, re, ra, rb,  2, 14, 0x6d703ef3u);
    RMD160_STEP(F3, lb, lc, ld, le, la, 13,  5, 0x6ed9eba1u);
    RMD160_STEP(F3, rb, rc, rd, re, ra, 10, 13, 0x6d703ef3u);
    RMD160_STEP(F3, la, lb, lc, ld, le, 11, 12, 0x6ed9eba1u);
    RMD160_STEP(F3, ra, rb, rc, rd, re,  0, 13, 0x6d703ef3u);
    RMD160_STEP(F3, le, la, lb, lc, ld,  5,  7, 0x6ed9eba1u);
    RMD160_STEP(F3, re, ra, rb, rc, rd,  4,  7, 0x6d703ef3u);
    RMD160_STEP(F3, ld, le, la, lb, lc, 12,  5, 0x6ed9eba1u);
    RMD160_STEP(F3, rd, re, ra, rb, rc, 13,  5, 0x6d703ef3u);
    // Round 4: left line uses F4, right line F2
    RMD160_STEP(F4, lc, ld, le, la, lb,  1, 11, 0x8f1bbcdcu);
    RMD160_STEP(F2, rc, rd, re, ra, rb,  8, 15, 0x7a6d76e9u);
    RMD160_STEP(F4, lb, lc, ld, le, la,  9, 12, 0x8f1bbcdcu);
    RMD160_STEP(F2, rb, rc, rd, re, ra,  6,  5, 0x7a6d76e9u);
    RMD160_STEP(F4, la, lb, lc, ld, le, 11, 14, 0x8f1bbcdcu);
    RMD160_STEP(F2, ra, rb, rc, rd, re,  4,  8, 0x7a6d76e9u);
    RMD160_STEP(F4, le, la, lb, lc, ld, 10, 15, 0x8f1bbcdcu);
    RMD160_STEP(F2, re, ra, rb, rc, rd,  1, 11, 0x7a6d76e9u);
    RMD160_STEP(F4, ld, le, la, lb, lc,  0, 14, 0x8f1bbcdcu);
    RMD160_STEP(F2, rd, re, ra, rb, rc,  3, 14, 0x7a6d76e9u);
    RMD160_STEP(F4, lc, ld, le, la, lb,  8, 15, 0x8f1bbcdcu);
    RMD160_STEP(F2, rc, rd, re, ra, rb, 11, 14, 0x7a6d76e9u);
    RMD160_STEP(F4, lb, lc, ld, le, la, 12,  9, 0x8f1bbcdcu);
    RMD160_STEP(F2, rb, rc, rd, re, ra, 15,  6, 0x7a6d76e9u);
    RMD160_STEP(F4, la, lb, lc, ld, le,  4,  8, 0x8f1bbcdcu);
    RMD160_STEP(F2, ra, rb, rc, rd, re,  0, 14, 0x7a6d76e9u);
    RMD160_STEP(F4, le, la, lb, lc, ld, 13,  9, 0x8f1bbcdcu);
    RMD160_STEP(F2, re, ra, rb, rc, rd,  5,  6, 0x7a6d76e9u);
    RMD160_STEP(F4, ld, le, la, lb, lc,  3, 14, 0x8f1bbcdcu);
    RMD160_STEP(F2, rd, re, ra, rb, rc, 12,  9, 0x7a6d76e9u);
    RMD160_STEP(F4, lc, ld, le, la, lb,  7,  5, 0x8f1bbcdcu);
    RMD160_STEP(F2, rc, rd, re, ra, rb,  2, 12, 0x7a6d76e9u);
    RMD160_STEP(F4, lb, lc, ld, le, la, 15,  6, 0x8f1bbcdcu);
    RMD160_STEP(F2, rb, rc, rd, re, ra, 13,  9, 0x7a6d76e9u);
    RMD160_STEP(F4, la, lb, lc, ld, le, 14,  8, 0x8f1bbcdcu);
    RMD160_STEP(F2, ra, rb, rc, rd, re,  9, 12, 0x7a6d76e9u);
    RMD160_STEP(F4, le, la, lb, lc, ld,  5,  6, 0x8f1bbcdcu);
    RMD160_STEP(F2, re, ra, rb, rc, rd,  7,  5, 0x7a6d76e9u);
    RMD160_STEP(F4, ld, le, la, lb, lc,  6,  5, 0x8f1bbcdcu);
    RMD160_STEP(F2, rd, re, ra, rb, rc, 10, 15, 0x7a6d76e9u);
    RMD160_STEP(F4, lc, ld, le, la, lb,  2, 12, 0x8f1bbcdcu);
    RMD160_STEP(F2, rc, rd, re, ra, rb, 14,  8, 0x7a6d76e9u);
    // Round 5: left line uses F5, right line F1
    RMD160_STEP(F5, lb, lc, ld, le, la,  4,  9, 0xa953fd4eu);
    RMD160_STEP(F1, rb, rc, rd, re, ra, 12,  8, 0x00000000u);
    RMD160_STEP(F5, la, lb, lc, ld, le,  0, 15, 0xa953fd4eu);
    RMD160_STEP(F1, ra, rb, rc, rd, re, 15,  5, 0x00000000u);
    RMD160_STEP(F5, le, la, lb, lc, ld,  5,  5, 0xa953fd4eu);
    RMD160_STEP(F1, re, ra, rb, rc, rd, 10, 12, 0x00000000u);
    RMD160_STEP(F5, ld, le, la, lb, lc,  9, 11, 0xa953fd4eu);
    RMD160_STEP(F1, rd, re, ra, rb, rc,  4,  9, 0x00000000u);
    RMD160_STEP(F5, lc, ld, le, la, lb,  7,  6, 0xa953fd4eu);
    RMD160_STEP(F1, rc, rd, re, ra, rb,  1, 12, 0x00000000u);
    RMD160_STEP(F5, lb, lc, ld, le, la, 12,  8, 0xa953fd4eu);
    RMD160_STEP(F1, rb, rc, rd, re, ra,  5,  5, 0x00000000u);
    RMD160_STEP(F5, la, lb, lc, ld, le,  2, 13, 0xa953fd4eu);
    RMD160_STEP(F1, ra, rb, rc, rd, re,  8, 14, 0x00000000u);
    RMD160_STEP(F5, le, la, lb, lc, ld, 10, 12, 0xa953fd4eu);
    RMD160_STEP(F1, re, ra, rb, rc, rd,  7,  6, 0x00000000u);
    RMD160_STEP(F5, ld, le, la, lb, lc, 14,  5, 0xa953fd4eu);
    RMD160_STEP(F1, rd, re, ra, rb, rc,  6,  8, 0x00000000u);
    RMD160_STEP(F5, lc, ld, le, la, lb,  1, 12, 0xa953fd4eu);
    RMD160_STEP(F1, rc, rd, re, ra, rb,  2, 13, 0x00000000u);
    RMD160_STEP(F5, lb, lc, ld, le, la,  3, 13, 0xa953fd4eu);
    RMD160_STEP(F1, rb, rc, rd, re, ra, 13,  6, 0x00000000u);
    RMD160_STEP(F5, la, lb, lc, ld, le,  8, 14, 0xa953fd4eu);
    RMD160_STEP(F1, ra, rb, rc, rd, re, 14,  5, 0x00000000u);
    RMD160_STEP(F5, le, la, lb, lc, ld, 11, 11, 0xa953fd4eu);
    RMD160_STEP(F1, re, ra, rb, rc, rd,  0, 15, 0x00000000u);
    RMD160_STEP(F5, ld, le, la, lb, lc,  6,  8, 0xa953fd4eu);
    RMD160_STEP(F1, rd, re, ra, rb, rc,  3, 13, 0x00000000u);
    RMD160_STEP(F5, lc, ld, le, la, lb, 15,  5, 0xa953fd4eu);
    RMD160_STEP(F1, rc, rd, re, ra, rb,  9, 11, 0x00000000u);
    RMD160_STEP(F5, lb, lc, ld, le, la, 13,  6, 0xa953fd4eu);
    RMD160_STEP(F1, rb, rc, rd, re, ra, 11, 11, 0x00000000u);

    // Combine both lines with the chaining value.
    const std::uint32_t t = state[1] + lc + rd;
    state[1] = state[2] + ld + re;
    state[2] = state[3] + le + ra;
    state[3] = state[4] + la + rb;
    state[4] = state[0] + lb + rc;
    state[0] = t;
}

void Ripemd128Compress(std::uint32_t state[4], const unsigned char* p) {
    std::uint32_t la = state[0], lb = state[1], lc = state[2], ld = state[3];
    std::uint32_t ra = la, rb = lb, rc = lc, rd = ld;

    // Round 1: left line uses F1, right line F4
    RMD128_STEP(F1, la, lb, lc, ld,  0, 11, 0x00000000u);
    RMD128_STEP(F4, ra, rb, rc, rd,  5,  8, 0x50a28be6u);
    RMD128_STEP(F1, ld, la, lb, lc,  1, 14, 0x00000000u);
    RMD128_STEP(F4, rd, ra, rb, rc, 14,  9, 0x50a28be6u);
    RMD128_STEP(F1, lc, ld, la, lb,  2, 15, 0x00000000u);
    RMD128_STEP(F4, rc, rd, ra, rb,  7,  9, 0x50a28be6u);
    RMD128_STEP(F1, lb, lc, ld, la,  3, 12, 0x00000000u);
    RMD128_STEP(F4, rb, rc, rd, ra,  0, 11, 0x50a28be6u);
    RMD128_STEP(F1, la, lb, lc, ld,  4,  5, 0x00000000u);
    RMD128_STEP(F4, ra, rb, rc, rd,  9, 13, 0x50a28be6u);
    RMD128_STEP(F1, ld, la, lb, lc,  5,  8, 0x00000000u);
    RMD128_STEP(F4, rd, ra, rb, rc,  2, 15, 0x50a28be6u);
    RMD128_STEP(F1, lc, ld, la, lb,  6,  7, 0x00000000u);
    RMD128_STEP(F4, rc, rd, ra, rb, 11, 15, 0x50a28be6u);
    RMD128_STEP(F1, lb, lc, ld, la,  7,  9, 0x00000000u);
    RMD128_STEP(F4, rb, rc, rd, ra,  4,  5, 0x50a28be6u);
    RMD128_STEP(F1, la, lb, lc, ld,  8, 11, 0x00000000u);
    RMD128_STEP(F4, ra, rb, rc, rd, 13,  7, 0x50a28be6u);
    RMD128_STEP(F1, ld, la, lb, lc,  9, 13, 0x00000000u);
    RMD128_STEP(F4, rd, ra, rb, rc,  6,  7, 0x50a28be6u);
    RMD128_STEP(F1, lc, ld, la, lb, 10, 14, 0x00000000u);
    RMD128_STEP(F4, rc, rd, ra, rb, 15,  8, 0x50a28be6u);
    RMD128_STEP(F1, lb, lc, ld, la, 11, 15, 0x00000000u);
    RMD128_STEP(F4, rb, rc, rd, ra,  8, 11, 0x50a28be6u);
    RMD128_STEP(F1, la, lb, lc, ld, 12,  6, 0x00000000u);
    RMD128_STEP(F4, ra, rb, rc, rd,  1, 14, 0x50a28be6u);
    RMD128_STEP(F1, ld, la, lb, lc, 13,  7, 0x00000000u);
    RMD128_STEP(F4, rd, ra, rb, rc, 10, 14, 0x50a28be6u);
    RMD128_STEP(F1, lc, ld, la, lb, 14,  9, 0x00000000u);
    RMD128_STEP(F4, rc, rd, ra, rb,  3, 12, 0x50a28be6u);
    RMD128_STEP(F1, lb, lc, ld, la, 15,  8, 0x00000000u);
    RMD128_STEP(F4, rb, rc, rd, ra, 12,  6, 0x50a28be6u);
    // Round 2: left line uses F2, right line F3
    RMD128_STEP(F2, la, lb, lc, ld,  7,  7, 0x5a827999u);
    RMD128_STEP(F3, ra, rb, rc, rd,  6,  9, 0x5c4dd124u);
    RMD128_STEP(F2, ld, la, lb, lc,  4,  6, 0x5a827999u);
    RMD128_STEP(F3, rd, ra, rb, rc, 11, 13, 0x5c4dd124u);
    RMD128_STEP(F2, lc, ld, la, lb, 13,  8, 0x5a827999u);
    RMD128_STEP(F3, rc, rd, ra, rb,  3, 15, 0x5c4dd124u);
    RMD128_STEP(F2, lb, lc, ld, la,  1, 13, 0x5a827999u);
    RMD128_STEP(F3, rb, rc, rd, ra,  7,  7, 0x5c4dd124u);
    RMD128_STEP(F2, la, lb, lc, ld, 10, 11, 0x5a827999u);
    RMD128_STEP(F3, ra, rb, rc, rd,  0, 12, 0x5c4dd124u);
    RMD128_STEP(F2, ld, la, lb, lc,  6,  9, 0x5a827999u);
    RMD128_STEP(F3, rd, ra, rb, rc, 13,  8, 0x5c4dd124u);
    RMD128_STEP(F2, lc, ld, la, lb, 15,  7, 0x5a827999u);
    RMD128_STEP(F3, rc, rd, ra, rb,  5,  9, 0x5c4dd124u);
    RMD128_STEP(F2, lb, lc, ld, la,  3, 15, 0x5a827999u);
    RMD128_STEP(F3, rb, rc, rd, ra, 10, 11, 0x5c4dd124u);
    RMD128_STEP(F2, la, lb, lc, ld, 12,  7, 0x5a827999u);
    RMD128_STEP(F3, ra, rb, rc, rd, 14,  7, 0x5c4dd124u);
    RMD128_STEP(F2, ld, la, lb, lc,  0, 12, 0x5a827999u);
    RMD128_STEP(F3, rd, ra, rb, rc, 15,  7, 0x5c4dd124u);
    RMD128_STEP(F2, lc, ld, la, lb,  9, 15, 0x5a827999u);
    RMD128_STEP(F3, rc, rd, ra, rb,  8, 12, 0x5c4dd124u);
    RMD128_STEP(F2, lb, lc, ld, la,  5,  9, 0x5a827999u);
    RMD128_STEP(F3, rb, rc, rd, ra, 12,  7, 0x5c4dd124u);
    RMD128_STEP(F2, la, lb, lc, ld,  2, 11, 0x5a827999u);
    RMD128_STEP(F3, ra, rb, rc, rd,  4,  6, 0x5c4dd124u);
    RMD128_STEP(F2, ld, la, lb, lc, 14,  7, 0x5a827999u);
    RMD128_STEP(F3, rd, ra, rb, rc,  9, 15, 0x5c4dd124u);
    RMD128_STEP(F2, lc, ld, la, lb, 11, 13, 0x5a827999u);
    RMD128_STEP(F3, rc, rd, ra, rb,  1, 13, 0x5c4dd124u);
    RMD128_STEP(F2, lb, lc, ld, la,  8, 12, 0x5a827999u);
    RMD128_STEP(F3, rb, rc, rd, ra,  2, 11, 0x5c4dd124u);
    // Round 3: left line uses F3, right line F2
    RMD128_STEP(F3, la, lb, lc, ld,  3, 11, 0x6ed9eba1u);
    RMD128_STEP(F2, ra, rb, rc, rd, 15,  9, 0x6d703ef3u);
    RMD128_STEP(F3, ld, la, lb, lc, 10, 13, 0x6ed9eba1u);
    RMD128_STEP(F2, rd, ra, rb, rc,  5,  7, 0x6d703ef3u);
    RMD128_STEP(F3, lc, ld, la, lb, 14,  6, 0x6ed9eba1u);
    RMD128_STEP(F2, rc, rd, ra, rb,  1, 15, 0x6d703ef3u);
    RMD128_STEP(F3, lb, lc, ld, la,  4,  7, 0x6ed9eba1u);
    RMD128_STEP(F2, rb, rc, rd, ra,  3, 11, 0x6d703ef3u);
    RMD128_STEP(F3, la, lb, lc, ld,  9, 14, 0x6ed9eba1u);
    RMD128_STEP(F2, ra, rb, rc, rd,  7,  8, 0x6d703ef3u);
    RMD128_STEP(F3, ld, la, lb, lc, 15,  9, 0x6ed9eba1u);
    RMD128_STEP(F2, rd, ra, rb, rc, 14,  6, 0x6d703ef3u);
    RMD128_STEP(F3, lc, ld, la, lb,  8, 13, 0x6ed9eba1u);
    RMD128_STEP(F2, rc, rd, ra, rb,  6,  6, 0x6d703ef3u);
    RMD128_STEP(F3, lb, lc, ld, la,  1, 15, 0x6ed9eba1u);
    RMD128_STEP(F2, rb, rc, rd, ra,  9, 14, 0x6d703ef3u);
    RMD128_STEP(F3, la, lb, lc, ld,  2, 14, 0x6ed9eba1u);
    RMD128_STEP(F2, ra, rb, rc, rd, 11, 12, 0x6d703ef3u);
    RMD128_STEP(F3, ld, la, lb, lc,  7,  8, 0x6ed9eba1u);
    RMD128_STEP(F2, rd, ra, rb, rc,  8, 13, 0x6d703ef3u);
    RMD128_STEP(F3, lc, ld, la, lb,  0, 13, 0x6ed9eba1u);
    RMD128_STEP(F2, rc, rd, ra, rb, 12,  5, 0x6d703ef3u);
    RMD128_STEP(F3, lb, lc, ld, la,  6,  6, 0x6ed9eba1u);
    RMD128_STEP(F2, rb, rc, rd, ra,  2, 14, 0x6d703ef3u);
    RMD128_STEP(F3, la, lb, lc, ld, 13,  5, 0x6ed9eba1u);
    RMD128_STEP(F2, ra, rb, rc, rd, 10, 13, 0x6d703ef3u);
    RMD128_STEP(F3, ld, la, lb, lc, 11, 12, 0x6ed9eba1u);
    RMD128_STEP(F2, rd, ra, rb, rc,  0, 13, 0x6d703ef3u);
    RMD128_STEP(F3, lc, ld, la, lb,  5,  7, 0x6ed9eba1u);
    RMD128_STEP(F2, rc, rd, ra, rb,  4,  7, 0x6d703ef3u);
    RMD128_STEP(F3, lb, lc, ld, la, 12,  5, 0x6ed9eba1u);
    RMD128_STEP(F2, rb, rc, rd, ra, 13,  5, 0x6d703ef3u);
    // Round 4: left line uses F4, right line F1
    RMD128_STEP(F4, la, lb, lc, ld,  1, 11, 0x8f1bbcdcu);
    RMD128_STEP(F1, ra, rb, rc, rd,  8, 15, 0x00000000u);
    RMD128_STEP(F4, ld, la, lb, lc,  9, 12, 0x8f1bbcdcu);
    RMD128_STEP(F1, rd, ra, rb, rc,  6,  5, 0x00000000u);
    RMD128_STEP(F4, lc, ld, la, lb, 11, 14, 0x8f1bbcdcu);
    RMD128_STEP(F1, rc, rd, ra, rb,  4,  8, 0x00000000u);
    RMD128_STEP(F4, lb, lc, ld, la, 10, 15, 0x8f1bbcdcu);
    RMD128_STEP(F1, rb, rc, rd, ra,  1, 11, 0x00000000u);
    RMD128_STEP(F4, la, lb, lc, ld,  0, 14, 0x8f1bbcdcu);
    RMD128_STEP(F1, ra, rb, rc, rd,  3, 14, 0x00000000u);
    RMD128_STEP(F4, ld, la, lb, lc,  8, 15, 0x8f1bbcdcu);
    RMD128_STEP(F1, rd, ra, rb, rc, 11, 14, 0x00000000u);
    RMD128_STEP(F4, lc, ld, la, lb, 12,  9, 0x8f1bbcdcu);
    RMD128_STEP(F1, rc, rd, ra, rb, 15,  6, 0x00000000u);
    RMD128_STEP(F4, lb, lc, ld, la,  4,  8, 0x8f1bbcdcu);
    RMD128_STEP(F1, rb, rc, rd, ra,  0, 14, 0x00000000u);
    RMD128_STEP(F4, la, lb, lc, ld, 13,  9, 0x8f1bbcdcu);
    RMD128_STEP(F1, ra, rb, rc, rd,  5,  6, 0x00000000u);
    RMD128_STEP(F4, ld, la, lb, lc,  3, 14, 0x8f1bbcdcu);
    RMD128_STEP(F1, rd, ra, rb, rc, 12,  9, 0x00000000u);
    RMD128_STEP(F4, lc, ld, la, lb,  7,  5, 0x8f1bbcdcu);
    RMD128_STEP(F1, rc, rd, ra, rb,  2, 12, 0x00000000u);
    RMD128_STEP(F4, lb, lc, ld, la, 15,  6, 0x8f1bbcdcu);
    RMD128_STEP(F1, rb, rc, rd, ra, 13,  9, 0x00000000u);
    RMD128_STEP(F4, la, lb, lc, ld, 14,  8, 0x8f1bbcdcu);
    RMD128_STEP(F1, ra, rb, rc, rd,  9, 12, 0x00000000u);
    RMD128_STEP(F4, ld, la, lb, lc,  5,  6, 0x8f1bbcdcu);
    RMD128_STEP(F1, rd, ra, rb, rc,  7,  5, 0x00000000u);
    RMD128_STEP(F4, lc, ld, la, lb,  6,  5, 0x8f1bbcdcu);
    RMD128_STEP(F1, rc, rd, ra, rb, 10, 15, 0x00000000u);
    RMD128_STEP(F4, lb, lc, ld, la,  2, 12, 0x8f1bbcdcu);
    RMD128_STEP(F1, rb, rc, rd, ra, 14,  8, 0x00000000u);

    // Combine both lines with the chaining value.
    const std::uint32_t t = state[1] + lc + rd;
    state[1] = state[2] + ld + ra;
    state[2] = state[3] + la + rb;
    state[3] = state[0] + lb + rc;
    state[0] = t;
}

#undef RMD128_STEP
#undef RMD160_STEP
#undef RMD_F_F5
#undef RMD_F_F4
#undef RMD_F_F3
#undef RMD_F_F2
#undef RMD_F_F1
#undef RMD_F
#undef RMD_X

}  // namespace

CRIPEMD::CRIPEMD(int variant)
    : IMessageDigest(variant == 0 ? 16 : 20, 64), m_variant(variant == 0 ? 0 : 1) {
    Reset();
}

void CRIPEMD::Reset() {
    // RIPEMD-128 starts from the first four words of the same values.
    std::memcpy(m_state, kRipemdInit, sizeof m_state);
    m_blocks.reset();
}

void CRIPEMD::CompressBlocks(const unsigned char* blocks, std::size_t count) {
    if (m_variant == 0) {
        for (std::size_t i = 0; i < count; ++i) {
            Ripemd128Compress(m_state, blocks + 64 * i);
        }
    } else {
        for (std::size_t i = 0; i < count; ++i) {
            Ripemd160Compress(m_state, blocks + 64 * i);
        }
    }
}

void CRIPEMD::Transform(const unsigned char* block) {
    if (block != nullptr) {
        CompressBlocks(block, 1);
    }
}

void CRIPEMD::Update(const unsigned char* data, std::uint32_t length) {
    m_blocks.update(data, length, [this](const unsigned char* blocks, std::size_t count) { CompressBlocks(blocks, count); });
}

void CRIPEMD::Final(unsigned char* digest) {
    m_blocks.finish([this](const unsigned char* blocks, std::size_t count) { CompressBlocks(blocks, count); });
    if (digest != nullptr) {
        const int words = m_variant == 0 ? 4 : 5;
        for (int i = 0; i < words; ++i) {
            StoreLe32(digest + 4 * i, m_state[i]);
        }
    }
    Reset();
}
