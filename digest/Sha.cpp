// CSHA: SHA-1, SHA-256, SHA-384 and SHA-512 (FIPS 180-4).
//
// The compression functions below are written out round by round. Whole
// blocks are compressed straight from the caller's buffer; only a trailing
// partial block is copied into m_buffer. When the processor allows it and
// the process has not asked for the portable code, SHA-1 and SHA-256 run on
// the SHA extensions (ShaHardware.cpp), and SHA-384/512 compute the message
// schedule on AVX vectors beside the same scalar rounds, built for BMI2.
#include "digest/Sha.h"

#include <cstring>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

#include "digest/ShaHardware.h"

namespace {

constexpr std::uint32_t kSha1Init[5] = {
    0x67452301U, 0xefcdab89U, 0x98badcfeU, 0x10325476U, 0xc3d2e1f0U,
};

constexpr std::uint32_t kSha256Init[8] = {
    0x6a09e667U, 0xbb67ae85U, 0x3c6ef372U, 0xa54ff53aU,
    0x510e527fU, 0x9b05688cU, 0x1f83d9abU, 0x5be0cd19U,
};

constexpr std::uint64_t kSha384Init[8] = {
    0xcbbb9d5dc1059ed8ULL, 0x629a292a367cd507ULL,
    0x9159015a3070dd17ULL, 0x152fecd8f70e5939ULL,
    0x67332667ffc00b31ULL, 0x8eb44a8768581511ULL,
    0xdb0c2e0d64f98fa7ULL, 0x47b5481dbefa4fa4ULL,
};

constexpr std::uint64_t kSha512Init[8] = {
    0x6a09e667f3bcc908ULL, 0xbb67ae8584caa73bULL,
    0x3c6ef372fe94f82bULL, 0xa54ff53a5f1d36f1ULL,
    0x510e527fade682d1ULL, 0x9b05688c2b3e6c1fULL,
    0x1f83d9abfb41bd6bULL, 0x5be0cd19137e2179ULL,
};

using kivo::sha_detail::kSha256K;

// First 64 bits of the fractional parts of the cube roots of the first 80
// primes (the first 64 of them extend kSha256K).
constexpr std::uint64_t kSha512K[80] = {
    0x428a2f98d728ae22ULL, 0x7137449123ef65cdULL,
    0xb5c0fbcfec4d3b2fULL, 0xe9b5dba58189dbbcULL,
    0x3956c25bf348b538ULL, 0x59f111f1b605d019ULL,
    0x923f82a4af194f9bULL, 0xab1c5ed5da6d8118ULL,
    0xd807aa98a3030242ULL, 0x12835b0145706fbeULL,
    0x243185be4ee4b28cULL, 0x550c7dc3d5ffb4e2ULL,
    0x72be5d74f27b896fULL, 0x80deb1fe3b1696b1ULL,
    0x9bdc06a725c71235ULL, 0xc19bf174cf692694ULL,
    0xe49b69c19ef14ad2ULL, 0xefbe4786384f25e3ULL,
    0x0fc19dc68b8cd5b5ULL, 0x240ca1cc77ac9c65ULL,
    0x2de92c6f592b0275ULL, 0x4a7484aa6ea6e483ULL,
    0x5cb0a9dcbd41fbd4ULL, 0x76f988da831153b5ULL,
    0x983e5152ee66dfabULL, 0xa831c66d2db43210ULL,
    0xb00327c898fb213fULL, 0xbf597fc7beef0ee4ULL,
    0xc6e00bf33da88fc2ULL, 0xd5a79147930aa725ULL,
    0x06ca6351e003826fULL, 0x142929670a0e6e70ULL,
    0x27b70a8546d22ffcULL, 0x2e1b21385c26c926ULL,
    0x4d2c6dfc5ac42aedULL, 0x53380d139d95b3dfULL,
    0x650a73548baf63deULL, 0x766a0abb3c77b2a8ULL,
    0x81c2c92e47edaee6ULL, 0x92722c851482353bULL,
    0xa2bfe8a14cf10364ULL, 0xa81a664bbc423001ULL,
    0xc24b8b70d0f89791ULL, 0xc76c51a30654be30ULL,
    0xd192e819d6ef5218ULL, 0xd69906245565a910ULL,
    0xf40e35855771202aULL, 0x106aa07032bbd1b8ULL,
    0x19a4c116b8d2d0c8ULL, 0x1e376c085141ab53ULL,
    0x2748774cdf8eeb99ULL, 0x34b0bcb5e19b48a8ULL,
    0x391c0cb3c5c95a63ULL, 0x4ed8aa4ae3418acbULL,
    0x5b9cca4f7763e373ULL, 0x682e6ff3d6b2b8a3ULL,
    0x748f82ee5defb2fcULL, 0x78a5636f43172f60ULL,
    0x84c87814a1f0ab72ULL, 0x8cc702081a6439ecULL,
    0x90befffa23631e28ULL, 0xa4506cebde82bde9ULL,
    0xbef9a3f7b2c67915ULL, 0xc67178f2e372532bULL,
    0xca273eceea26619cULL, 0xd186b8c721c0c207ULL,
    0xeada7dd6cde0eb1eULL, 0xf57d4f7fee6ed178ULL,
    0x06f067aa72176fbaULL, 0x0a637dc5a2c898a6ULL,
    0x113f9804bef90daeULL, 0x1b710b35131c471bULL,
    0x28db77f523047d84ULL, 0x32caab7b40c72493ULL,
    0x3c9ebe0a15c9bebcULL, 0x431d67c49c100d4cULL,
    0x4cc5d4becb3e42b6ULL, 0x597f299cfc657e2aULL,
    0x5fcb6fab3ad6faecULL, 0x6c44198c4a475817ULL,
};

inline std::uint32_t Rotl32(std::uint32_t x, int n) { return (x << n) | (x >> (32 - n)); }
inline std::uint32_t Rotr32(std::uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }
inline std::uint64_t Rotr64(std::uint64_t x, int n) { return (x >> n) | (x << (64 - n)); }

inline std::uint32_t LoadBe32(const unsigned char* p) {
    std::uint32_t v;
    std::memcpy(&v, p, sizeof v);
    return __builtin_bswap32(v);
}

inline std::uint64_t LoadBe64(const unsigned char* p) {
    std::uint64_t v;
    std::memcpy(&v, p, sizeof v);
    return __builtin_bswap64(v);
}

inline void StoreBe32(unsigned char* p, std::uint32_t v) {
    v = __builtin_bswap32(v);
    std::memcpy(p, &v, sizeof v);
}

inline void StoreBe64(unsigned char* p, std::uint64_t v) {
    v = __builtin_bswap64(v);
    std::memcpy(p, &v, sizeof v);
}

// ---- SHA-1 ------------------------------------------------------------------
// The message schedule lives in a 16-word ring: word t overwrites word t-16.
// A round adds into e and rotates b; the caller renames the five variables
// from one round to the next instead of moving them.

#define SHA1_CH(b, c, d) ((d) ^ ((b) & ((c) ^ (d))))
#define SHA1_PARITY(b, c, d) ((b) ^ (c) ^ (d))
#define SHA1_MAJ(b, c, d) (((b) & (c)) | ((d) & ((b) | (c))))

#define SHA1_LOAD(t) (w[t] = LoadBe32(p + 4 * (t)))
#define SHA1_NEXT(t)                                                          \
    (w[(t) & 15] = Rotl32(w[((t) + 13) & 15] ^ w[((t) + 8) & 15] ^            \
                              w[((t) + 2) & 15] ^ w[(t) & 15], 1))

#define SHA1_STEP(a, b, c, d, e, f, k, wt)                                    \
    do {                                                                      \
        e += Rotl32(a, 5) + f(b, c, d) + (k) + (wt);                          \
        b = Rotl32(b, 30);                                                    \
    } while (0)

#define SHA1_R0(a, b, c, d, e, t) SHA1_STEP(a, b, c, d, e, SHA1_CH, 0x5a827999U, SHA1_LOAD(t))
#define SHA1_R1(a, b, c, d, e, t) SHA1_STEP(a, b, c, d, e, SHA1_CH, 0x5a827999U, SHA1_NEXT(t))
#define SHA1_R2(a, b, c, d, e, t) SHA1_STEP(a, b, c, d, e, SHA1_PARITY, 0x6ed9eba1U, SHA1_NEXT(t))
#define SHA1_R3(a, b, c, d, e, t) SHA1_STEP(a, b, c, d, e, SHA1_MAJ, 0x8f1bbcdcU, SHA1_NEXT(t))
#define SHA1_R4(a, b, c, d, e, t) SHA1_STEP(a, b, c, d, e, SHA1_PARITY, 0xca62c1d6U, SHA1_NEXT(t))

void Sha1Portable(std::uint32_t* state, const unsigned char* p, std::size_t count) {
    std::uint32_t w[16];
    for (; count != 0; --count, p += 64) {
        std::uint32_t a = state[0], b = state[1], c = state[2], d = state[3], e = state[4];
        SHA1_R0(a, b, c, d, e, 0);
        SHA1_R0(e, a, b, c, d, 1);
        SHA1_R0(d, e, a, b, c, 2);
        SHA1_R0(c, d, e, a, b, 3);
        SHA1_R0(b, c, d, e, a, 4);
        SHA1_R0(a, b, c, d, e, 5);
        SHA1_R0(e, a, b, c, d, 6);
        SHA1_R0(d, e, a, b, c, 7);
        SHA1_R0(c, d, e, a, b, 8);
        SHA1_R0(b, c, d, e, a, 9);
        SHA1_R0(a, b, c, d, e, 10);
        SHA1_R0(e, a, b, c, d, 11);
        SHA1_R0(d, e, a, b, c, 12);
        SHA1_R0(c, d, e, a, b, 13);
        SHA1_R0(b, c, d, e, a, 14);
        SHA1_R0(a, b, c, d, e, 15);
        SHA1_R1(e, a, b, c, d, 16);
        SHA1_R1(d, e, a, b, c, 17);
        SHA1_R1(c, d, e, a, b, 18);
        SHA1_R1(b, c, d, e, a, 19);
        SHA1_R2(a, b, c, d, e, 20);
        SHA1_R2(e, a, b, c, d, 21);
        SHA1_R2(d, e, a, b, c, 22);
        SHA1_R2(c, d, e, a, b, 23);
        SHA1_R2(b, c, d, e, a, 24);
        SHA1_R2(a, b, c, d, e, 25);
        SHA1_R2(e, a, b, c, d, 26);
        SHA1_R2(d, e, a, b, c, 27);
        SHA1_R2(c, d, e, a, b, 28);
        SHA1_R2(b, c, d, e, a, 29);
        SHA1_R2(a, b, c, d, e, 30);
        SHA1_R2(e, a, b, c, d, 31);
        SHA1_R2(d, e, a, b, c, 32);
        SHA1_R2(c, d, e, a, b, 33);
        SHA1_R2(b, c, d, e, a, 34);
        SHA1_R2(a, b, c, d, e, 35);
        SHA1_R2(e, a, b, c, d, 36);
        SHA1_R2(d, e, a, b, c, 37);
        SHA1_R2(c, d, e, a, b, 38);
        SHA1_R2(b, c, d, e, a, 39);
        SHA1_R3(a, b, c, d, e, 40);
        SHA1_R3(e, a, b, c, d, 41);
        SHA1_R3(d, e, a, b, c, 42);
        SHA1_R3(c, d, e, a, b, 43);
        SHA1_R3(b, c, d, e, a, 44);
        SHA1_R3(a, b, c, d, e, 45);
        SHA1_R3(e, a, b, c, d, 46);
        SHA1_R3(d, e, a, b, c, 47);
        SHA1_R3(c, d, e, a, b, 48);
        SHA1_R3(b, c, d, e, a, 49);
        SHA1_R3(a, b, c, d, e, 50);
        SHA1_R3(e, a, b, c, d, 51);
        SHA1_R3(d, e, a, b, c, 52);
        SHA1_R3(c, d, e, a, b, 53);
        SHA1_R3(b, c, d, e, a, 54);
        SHA1_R3(a, b, c, d, e, 55);
        SHA1_R3(e, a, b, c, d, 56);
        SHA1_R3(d, e, a, b, c, 57);
        SHA1_R3(c, d, e, a, b, 58);
        SHA1_R3(b, c, d, e, a, 59);
        SHA1_R4(a, b, c, d, e, 60);
        SHA1_R4(e, a, b, c, d, 61);
        SHA1_R4(d, e, a, b, c, 62);
        SHA1_R4(c, d, e, a, b, 63);
        SHA1_R4(b, c, d, e, a, 64);
        SHA1_R4(a, b, c, d, e, 65);
        SHA1_R4(e, a, b, c, d, 66);
        SHA1_R4(d, e, a, b, c, 67);
        SHA1_R4(c, d, e, a, b, 68);
        SHA1_R4(b, c, d, e, a, 69);
        SHA1_R4(a, b, c, d, e, 70);
        SHA1_R4(e, a, b, c, d, 71);
        SHA1_R4(d, e, a, b, c, 72);
        SHA1_R4(c, d, e, a, b, 73);
        SHA1_R4(b, c, d, e, a, 74);
        SHA1_R4(a, b, c, d, e, 75);
        SHA1_R4(e, a, b, c, d, 76);
        SHA1_R4(d, e, a, b, c, 77);
        SHA1_R4(c, d, e, a, b, 78);
        SHA1_R4(b, c, d, e, a, 79);
        state[0] += a;
        state[1] += b;
        state[2] += c;
        state[3] += d;
        state[4] += e;
    }
}

// ---- SHA-256 ----------------------------------------------------------------

#define SHA256_SIG0(x) (Rotr32(x, 2) ^ Rotr32(x, 13) ^ Rotr32(x, 22))
#define SHA256_SIG1(x) (Rotr32(x, 6) ^ Rotr32(x, 11) ^ Rotr32(x, 25))
#define SHA256_GAMMA0(x) (Rotr32(x, 7) ^ Rotr32(x, 18) ^ ((x) >> 3))
#define SHA256_GAMMA1(x) (Rotr32(x, 17) ^ Rotr32(x, 19) ^ ((x) >> 10))

// Ch(e, f, g). Maj(a, b, c) is computed in the rounds as b ^ ((a ^ b) & (b ^ c)):
// a ^ b of one round is b ^ c of the next, carried in `bc`. The rounds add
// the terms that do not depend on e first, so Sigma1(e) comes last.
#define SHA2_CH(e, f, g) ((g) ^ ((e) & ((f) ^ (g))))

#define SHA256_LOAD(t) (w[t] = LoadBe32(p + 4 * (t)))
#define SHA256_NEXT(t)                                                        \
    (w[(t) & 15] += SHA256_GAMMA1(w[((t) + 14) & 15]) + w[((t) + 9) & 15] +   \
                    SHA256_GAMMA0(w[((t) + 1) & 15]))

#define SHA256_STEP(a, b, c, d, e, f, g, h, t, wt)                            \
    do {                                                                      \
        std::uint32_t t1 = h + kSha256K[t] + (wt) + SHA2_CH(e, f, g);         \
        t1 += SHA256_SIG1(e);                                                 \
        d += t1;                                                              \
        const std::uint32_t ab = a ^ b;                                       \
        h = SHA256_SIG0(a) + (b ^ (ab & bc)) + t1;                            \
        bc = ab;                                                              \
    } while (0)

#define SHA256_R0(a, b, c, d, e, f, g, h, t) SHA256_STEP(a, b, c, d, e, f, g, h, t, SHA256_LOAD(t))
#define SHA256_R1(a, b, c, d, e, f, g, h, t) SHA256_STEP(a, b, c, d, e, f, g, h, t, SHA256_NEXT(t))

void Sha256Portable(std::uint32_t* state, const unsigned char* p, std::size_t count) {
    std::uint32_t w[16];
    for (; count != 0; --count, p += 64) {
        std::uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
        std::uint32_t e = state[4], f = state[5], g = state[6], h = state[7];
        std::uint32_t bc = b ^ c;
        SHA256_R0(a, b, c, d, e, f, g, h, 0);
        SHA256_R0(h, a, b, c, d, e, f, g, 1);
        SHA256_R0(g, h, a, b, c, d, e, f, 2);
        SHA256_R0(f, g, h, a, b, c, d, e, 3);
        SHA256_R0(e, f, g, h, a, b, c, d, 4);
        SHA256_R0(d, e, f, g, h, a, b, c, 5);
        SHA256_R0(c, d, e, f, g, h, a, b, 6);
        SHA256_R0(b, c, d, e, f, g, h, a, 7);
        SHA256_R0(a, b, c, d, e, f, g, h, 8);
        SHA256_R0(h, a, b, c, d, e, f, g, 9);
        SHA256_R0(g, h, a, b, c, d, e, f, 10);
        SHA256_R0(f, g, h, a, b, c, d, e, 11);
        SHA256_R0(e, f, g, h, a, b, c, d, 12);
        SHA256_R0(d, e, f, g, h, a, b, c, 13);
        SHA256_R0(c, d, e, f, g, h, a, b, 14);
        SHA256_R0(b, c, d, e, f, g, h, a, 15);
        SHA256_R1(a, b, c, d, e, f, g, h, 16);
        SHA256_R1(h, a, b, c, d, e, f, g, 17);
        SHA256_R1(g, h, a, b, c, d, e, f, 18);
        SHA256_R1(f, g, h, a, b, c, d, e, 19);
        SHA256_R1(e, f, g, h, a, b, c, d, 20);
        SHA256_R1(d, e, f, g, h, a, b, c, 21);
        SHA256_R1(c, d, e, f, g, h, a, b, 22);
        SHA256_R1(b, c, d, e, f, g, h, a, 23);
        SHA256_R1(a, b, c, d, e, f, g, h, 24);
        SHA256_R1(h, a, b, c, d, e, f, g, 25);
        SHA256_R1(g, h, a, b, c, d, e, f, 26);
        SHA256_R1(f, g, h, a, b, c, d, e, 27);
        SHA256_R1(e, f, g, h, a, b, c, d, 28);
        SHA256_R1(d, e, f, g, h, a, b, c, 29);
        SHA256_R1(c, d, e, f, g, h, a, b, 30);
        SHA256_R1(b, c, d, e, f, g, h, a, 31);
        SHA256_R1(a, b, c, d, e, f, g, h, 32);
        SHA256_R1(h, a, b, c, d, e, f, g, 33);
        SHA256_R1(g, h, a, b, c, d, e, f, 34);
        SHA256_R1(f, g, h, a, b, c, d, e, 35);
        SHA256_R1(e, f, g, h, a, b, c, d, 36);
        SHA256_R1(d, e, f, g, h, a, b, c, 37);
        SHA256_R1(c, d, e, f, g, h, a, b, 38);
        SHA256_R1(b, c, d, e, f, g, h, a, 39);
        SHA256_R1(a, b, c, d, e, f, g, h, 40);
        SHA256_R1(h, a, b, c, d, e, f, g, 41);
        SHA256_R1(g, h, a, b, c, d, e, f, 42);
        SHA256_R1(f, g, h, a, b, c, d, e, 43);
        SHA256_R1(e, f, g, h, a, b, c, d, 44);
        SHA256_R1(d, e, f, g, h, a, b, c, 45);
        SHA256_R1(c, d, e, f, g, h, a, b, 46);
        SHA256_R1(b, c, d, e, f, g, h, a, 47);
        SHA256_R1(a, b, c, d, e, f, g, h, 48);
        SHA256_R1(h, a, b, c, d, e, f, g, 49);
        SHA256_R1(g, h, a, b, c, d, e, f, 50);
        SHA256_R1(f, g, h, a, b, c, d, e, 51);
        SHA256_R1(e, f, g, h, a, b, c, d, 52);
        SHA256_R1(d, e, f, g, h, a, b, c, 53);
        SHA256_R1(c, d, e, f, g, h, a, b, 54);
        SHA256_R1(b, c, d, e, f, g, h, a, 55);
        SHA256_R1(a, b, c, d, e, f, g, h, 56);
        SHA256_R1(h, a, b, c, d, e, f, g, 57);
        SHA256_R1(g, h, a, b, c, d, e, f, 58);
        SHA256_R1(f, g, h, a, b, c, d, e, 59);
        SHA256_R1(e, f, g, h, a, b, c, d, 60);
        SHA256_R1(d, e, f, g, h, a, b, c, 61);
        SHA256_R1(c, d, e, f, g, h, a, b, 62);
        SHA256_R1(b, c, d, e, f, g, h, a, 63);
        state[0] += a;
        state[1] += b;
        state[2] += c;
        state[3] += d;
        state[4] += e;
        state[5] += f;
        state[6] += g;
        state[7] += h;
    }
}

// ---- SHA-384 / SHA-512 ------------------------------------------------------

#define SHA512_SIG0(x) (Rotr64(x, 28) ^ Rotr64(x, 34) ^ Rotr64(x, 39))
#define SHA512_SIG1(x) (Rotr64(x, 14) ^ Rotr64(x, 18) ^ Rotr64(x, 41))
#define SHA512_GAMMA0(x) (Rotr64(x, 1) ^ Rotr64(x, 8) ^ ((x) >> 7))
#define SHA512_GAMMA1(x) (Rotr64(x, 19) ^ Rotr64(x, 61) ^ ((x) >> 6))

#define SHA512_LOAD(t) (w[t] = LoadBe64(p + 8 * (t)))
#define SHA512_NEXT(t)                                                        \
    (w[(t) & 15] += SHA512_GAMMA1(w[((t) + 14) & 15]) + w[((t) + 9) & 15] +   \
                    SHA512_GAMMA0(w[((t) + 1) & 15]))

// One round; kw is K[t] + W[t].
#define SHA512_STEP(a, b, c, d, e, f, g, h, kw)                               \
    do {                                                                      \
        std::uint64_t t1 = h + (kw) + SHA2_CH(e, f, g);                       \
        t1 += SHA512_SIG1(e);                                                 \
        d += t1;                                                              \
        const std::uint64_t ab = a ^ b;                                       \
        h = SHA512_SIG0(a) + (b ^ (ab & bc)) + t1;                            \
        bc = ab;                                                              \
    } while (0)

#define SHA512_R0(a, b, c, d, e, f, g, h, t) SHA512_STEP(a, b, c, d, e, f, g, h, kSha512K[t] + SHA512_LOAD(t))
#define SHA512_R1(a, b, c, d, e, f, g, h, t) SHA512_STEP(a, b, c, d, e, f, g, h, kSha512K[t] + SHA512_NEXT(t))

void Sha512Portable(std::uint64_t* state, const unsigned char* p, std::size_t count) {
    std::uint64_t w[16];
    for (; count != 0; --count, p += 128) {
        std::uint64_t a = state[0], b = state[1], c = state[2], d = state[3];
        std::uint64_t e = state[4], f = state[5], g = state[6], h = state[7];
        std::uint64_t bc = b ^ c;
        SHA512_R0(a, b, c, d, e, f, g, h, 0);
        SHA512_R0(h, a, b, c, d, e, f, g, 1);
        SHA512_R0(g, h, a, b, c, d, e, f, 2);
        SHA512_R0(f, g, h, a, b, c, d, e, 3);
        SHA512_R0(e, f, g, h, a, b, c, d, 4);
        SHA512_R0(d, e, f, g, h, a, b, c, 5);
        SHA512_R0(c, d, e, f, g, h, a, b, 6);
        SHA512_R0(b, c, d, e, f, g, h, a, 7);
        SHA512_R0(a, b, c, d, e, f, g, h, 8);
        SHA512_R0(h, a, b, c, d, e, f, g, 9);
        SHA512_R0(g, h, a, b, c, d, e, f, 10);
        SHA512_R0(f, g, h, a, b, c, d, e, 11);
        SHA512_R0(e, f, g, h, a, b, c, d, 12);
        SHA512_R0(d, e, f, g, h, a, b, c, 13);
        SHA512_R0(c, d, e, f, g, h, a, b, 14);
        SHA512_R0(b, c, d, e, f, g, h, a, 15);
        SHA512_R1(a, b, c, d, e, f, g, h, 16);
        SHA512_R1(h, a, b, c, d, e, f, g, 17);
        SHA512_R1(g, h, a, b, c, d, e, f, 18);
        SHA512_R1(f, g, h, a, b, c, d, e, 19);
        SHA512_R1(e, f, g, h, a, b, c, d, 20);
        SHA512_R1(d, e, f, g, h, a, b, c, 21);
        SHA512_R1(c, d, e, f, g, h, a, b, 22);
        SHA512_R1(b, c, d, e, f, g, h, a, 23);
        SHA512_R1(a, b, c, d, e, f, g, h, 24);
        SHA512_R1(h, a, b, c, d, e, f, g, 25);
        SHA512_R1(g, h, a, b, c, d, e, f, 26);
        SHA512_R1(f, g, h, a, b, c, d, e, 27);
        SHA512_R1(e, f, g, h, a, b, c, d, 28);
        SHA512_R1(d, e, f, g, h, a, b, c, 29);
        SHA512_R1(c, d, e, f, g, h, a, b, 30);
        SHA512_R1(b, c, d, e, f, g, h, a, 31);
        SHA512_R1(a, b, c, d, e, f, g, h, 32);
        SHA512_R1(h, a, b, c, d, e, f, g, 33);
        SHA512_R1(g, h, a, b, c, d, e, f, 34);
        SHA512_R1(f, g, h, a, b, c, d, e, 35);
        SHA512_R1(e, f, g, h, a, b, c, d, 36);
        SHA512_R1(d, e, f, g, h, a, b, c, 37);
        SHA512_R1(c, d, e, f, g, h, a, b, 38);
        SHA512_R1(b, c, d, e, f, g, h, a, 39);
        SHA512_R1(a, b, c, d, e, f, g, h, 40);
        SHA512_R1(h, a, b, c, d, e, f, g, 41);
        SHA512_R1(g, h, a, b, c, d, e, f, 42);
        SHA512_R1(f, g, h, a, b, c, d, e, 43);
        SHA512_R1(e, f, g, h, a, b, c, d, 44);
        SHA512_R1(d, e, f, g, h, a, b, c, 45);
        SHA512_R1(c, d, e, f, g, h, a, b, 46);
        SHA512_R1(b, c, d, e, f, g, h, a, 47);
        SHA512_R1(a, b, c, d, e, f, g, h, 48);
        SHA512_R1(h, a, b, c, d, e, f, g, 49);
        SHA512_R1(g, h, a, b, c, d, e, f, 50);
        SHA512_R1(f, g, h, a, b, c, d, e, 51);
        SHA512_R1(e, f, g, h, a, b, c, d, 52);
        SHA512_R1(d, e, f, g, h, a, b, c, 53);
        SHA512_R1(c, d, e, f, g, h, a, b, 54);
        SHA512_R1(b, c, d, e, f, g, h, a, 55);
        SHA512_R1(a, b, c, d, e, f, g, h, 56);
        SHA512_R1(h, a, b, c, d, e, f, g, 57);
        SHA512_R1(g, h, a, b, c, d, e, f, 58);
        SHA512_R1(f, g, h, a, b, c, d, e, 59);
        SHA512_R1(e, f, g, h, a, b, c, d, 60);
        SHA512_R1(d, e, f, g, h, a, b, c, 61);
        SHA512_R1(c, d, e, f, g, h, a, b, 62);
        SHA512_R1(b, c, d, e, f, g, h, a, 63);
        SHA512_R1(a, b, c, d, e, f, g, h, 64);
        SHA512_R1(h, a, b, c, d, e, f, g, 65);
        SHA512_R1(g, h, a, b, c, d, e, f, 66);
        SHA512_R1(f, g, h, a, b, c, d, e, 67);
        SHA512_R1(e, f, g, h, a, b, c, d, 68);
        SHA512_R1(d, e, f, g, h, a, b, c, 69);
        SHA512_R1(c, d, e, f, g, h, a, b, 70);
        SHA512_R1(b, c, d, e, f, g, h, a, 71);
        SHA512_R1(a, b, c, d, e, f, g, h, 72);
        SHA512_R1(h, a, b, c, d, e, f, g, 73);
        SHA512_R1(g, h, a, b, c, d, e, f, 74);
        SHA512_R1(f, g, h, a, b, c, d, e, 75);
        SHA512_R1(e, f, g, h, a, b, c, d, 76);
        SHA512_R1(d, e, f, g, h, a, b, c, 77);
        SHA512_R1(c, d, e, f, g, h, a, b, 78);
        SHA512_R1(b, c, d, e, f, g, h, a, 79);
        state[0] += a;
        state[1] += b;
        state[2] += c;
        state[3] += d;
        state[4] += e;
        state[5] += f;
        state[6] += g;
        state[7] += h;
    }
}

#if KIVO_SHA_X86
// SHA-384/512 with the message schedule on AVX vectors, two words per
// vector, running beside the scalar rounds of SHA512_STEP (built for BMI2,
// so the rotations become the non-destructive RORX). The schedule keeps
// W[t-16..t-1] in x0..x7 and writes K + W for the next sixteen rounds into
// the ring wk, which the rounds read. Each pair of rounds is followed by the
// schedule step that refills the two ring slots they have just consumed.

// Byte order within each 64-bit lane reversed: big-endian words.
#define SHA512V_SWAP _mm_set_epi64x(0x08090a0b0c0d0e0fLL, 0x0001020304050607LL)

#define SHA512V_ROTR(x, n) _mm_or_si128(_mm_srli_epi64(x, n), _mm_slli_epi64(x, 64 - (n)))
#define SHA512V_GAMMA0(x) \
    _mm_xor_si128(_mm_xor_si128(SHA512V_ROTR(x, 1), SHA512V_ROTR(x, 8)), _mm_srli_epi64(x, 7))
#define SHA512V_GAMMA1(x) \
    _mm_xor_si128(_mm_xor_si128(SHA512V_ROTR(x, 19), SHA512V_ROTR(x, 61)), _mm_srli_epi64(x, 6))

#define SHA512V_LOAD(x, i)                                                    \
    x = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p) + (i)), SHA512V_SWAP); \
    _mm_store_si128(reinterpret_cast<__m128i*>(wk + 2 * (i)),                 \
                    _mm_add_epi64(x, _mm_loadu_si128(reinterpret_cast<const __m128i*>(kSha512K + 2 * (i)))))

// W[t], W[t+1] from W[t-16..t-1]: x0 = (W[t-16], W[t-15]), x1 the next pair,
// x4/x5 hold W[t-8..t-5], x7 = (W[t-2], W[t-1]). The result replaces x0.
#define SHA512V_SCHEDULE(x0, x1, x4, x5, x7, t)                               \
    do {                                                                      \
        const __m128i s0 = SHA512V_GAMMA0(_mm_alignr_epi8(x1, x0, 8));        \
        const __m128i s1 = SHA512V_GAMMA1(x7);                                \
        x0 = _mm_add_epi64(_mm_add_epi64(x0, s0), _mm_add_epi64(_mm_alignr_epi8(x5, x4, 8), s1)); \
        _mm_store_si128(reinterpret_cast<__m128i*>(wk + ((t) & 15)),          \
                        _mm_add_epi64(x0, _mm_loadu_si128(reinterpret_cast<const __m128i*>(kSha512K + (t))))); \
    } while (0)

#define SHA512V_R(a, b, c, d, e, f, g, h, t) SHA512_STEP(a, b, c, d, e, f, g, h, wk[(t) & 15])

__attribute__((target("avx,bmi2"))) void Sha512Vector(std::uint64_t* state, const unsigned char* p,
                                                      std::size_t count) {
    alignas(16) std::uint64_t wk[16];
    for (; count != 0; --count, p += 128) {
        __m128i x0, x1, x2, x3, x4, x5, x6, x7;
        SHA512V_LOAD(x0, 0);
        SHA512V_LOAD(x1, 1);
        SHA512V_LOAD(x2, 2);
        SHA512V_LOAD(x3, 3);
        SHA512V_LOAD(x4, 4);
        SHA512V_LOAD(x5, 5);
        SHA512V_LOAD(x6, 6);
        SHA512V_LOAD(x7, 7);
        std::uint64_t a = state[0], b = state[1], c = state[2], d = state[3];
        std::uint64_t e = state[4], f = state[5], g = state[6], h = state[7];
        std::uint64_t bc = b ^ c;
        SHA512V_R(a, b, c, d, e, f, g, h, 0);
        SHA512V_R(h, a, b, c, d, e, f, g, 1);
        SHA512V_SCHEDULE(x0, x1, x4, x5, x7, 16);
        SHA512V_R(g, h, a, b, c, d, e, f, 2);
        SHA512V_R(f, g, h, a, b, c, d, e, 3);
        SHA512V_SCHEDULE(x1, x2, x5, x6, x0, 18);
        SHA512V_R(e, f, g, h, a, b, c, d, 4);
        SHA512V_R(d, e, f, g, h, a, b, c, 5);
        SHA512V_SCHEDULE(x2, x3, x6, x7, x1, 20);
        SHA512V_R(c, d, e, f, g, h, a, b, 6);
        SHA512V_R(b, c, d, e, f, g, h, a, 7);
        SHA512V_SCHEDULE(x3, x4, x7, x0, x2, 22);
        SHA512V_R(a, b, c, d, e, f, g, h, 8);
        SHA512V_R(h, a, b, c, d, e, f, g, 9);
        SHA512V_SCHEDULE(x4, x5, x0, x1, x3, 24);
        SHA512V_R(g, h, a, b, c, d, e, f, 10);
        SHA512V_R(f, g, h, a, b, c, d, e, 11);
        SHA512V_SCHEDULE(x5, x6, x1, x2, x4, 26);
        SHA512V_R(e, f, g, h, a, b, c, d, 12);
        SHA512V_R(d, e, f, g, h, a, b, c, 13);
        SHA512V_SCHEDULE(x6, x7, x2, x3, x5, 28);
        SHA512V_R(c, d, e, f, g, h, a, b, 14);
        SHA512V_R(b, c, d, e, f, g, h, a, 15);
        SHA512V_SCHEDULE(x7, x0, x3, x4, x6, 30);
        SHA512V_R(a, b, c, d, e, f, g, h, 16);
        SHA512V_R(h, a, b, c, d, e, f, g, 17);
        SHA512V_SCHEDULE(x0, x1, x4, x5, x7, 32);
        SHA512V_R(g, h, a, b, c, d, e, f, 18);
        SHA512V_R(f, g, h, a, b, c, d, e, 19);
        SHA512V_SCHEDULE(x1, x2, x5, x6, x0, 34);
        SHA512V_R(e, f, g, h, a, b, c, d, 20);
        SHA512V_R(d, e, f, g, h, a, b, c, 21);
        SHA512V_SCHEDULE(x2, x3, x6, x7, x1, 36);
        SHA512V_R(c, d, e, f, g, h, a, b, 22);
        SHA512V_R(b, c, d, e, f, g, h, a, 23);
        SHA512V_SCHEDULE(x3, x4, x7, x0, x2, 38);
        SHA512V_R(a, b, c, d, e, f, g, h, 24);
        SHA512V_R(h, a, b, c, d, e, f, g, 25);
        SHA512V_SCHEDULE(x4, x5, x0, x1, x3, 40);
        SHA512V_R(g, h, a, b, c, d, e, f, 26);
        SHA512V_R(f, g, h, a, b, c, d, e, 27);
        SHA512V_SCHEDULE(x5, x6, x1, x2, x4, 42);
        SHA512V_R(e, f, g, h, a, b, c, d, 28);
        SHA512V_R(d, e, f, g, h, a, b, c, 29);
        SHA512V_SCHEDULE(x6, x7, x2, x3, x5, 44);
        SHA512V_R(c, d, e, f, g, h, a, b, 30);
        SHA512V_R(b, c, d, e, f, g, h, a, 31);
        SHA512V_SCHEDULE(x7, x0, x3, x4, x6, 46);
        SHA512V_R(a, b, c, d, e, f, g, h, 32);
        SHA512V_R(h, a, b, c, d, e, f, g, 33);
        SHA512V_SCHEDULE(x0, x1, x4, x5, x7, 48);
        SHA512V_R(g, h, a, b, c, d, e, f, 34);
        SHA512V_R(f, g, h, a, b, c, d, e, 35);
        SHA512V_SCHEDULE(x1, x2, x5, x6, x0, 50);
        SHA512V_R(e, f, g, h, a, b, c, d, 36);
        SHA512V_R(d, e, f, g, h, a, b, c, 37);
        SHA512V_SCHEDULE(x2, x3, x6, x7, x1, 52);
        SHA512V_R(c, d, e, f, g, h, a, b, 38);
        SHA512V_R(b, c, d, e, f, g, h, a, 39);
        SHA512V_SCHEDULE(x3, x4, x7, x0, x2, 54);
        SHA512V_R(a, b, c, d, e, f, g, h, 40);
        SHA512V_R(h, a, b, c, d, e, f, g, 41);
        SHA512V_SCHEDULE(x4, x5, x0, x1, x3, 56);
        SHA512V_R(g, h, a, b, c, d, e, f, 42);
        SHA512V_R(f, g, h, a, b, c, d, e, 43);
        SHA512V_SCHEDULE(x5, x6, x1, x2, x4, 58);
        SHA512V_R(e, f, g, h, a, b, c, d, 44);
        SHA512V_R(d, e, f, g, h, a, b, c, 45);
        SHA512V_SCHEDULE(x6, x7, x2, x3, x5, 60);
        SHA512V_R(c, d, e, f, g, h, a, b, 46);
        SHA512V_R(b, c, d, e, f, g, h, a, 47);
        SHA512V_SCHEDULE(x7, x0, x3, x4, x6, 62);
        SHA512V_R(a, b, c, d, e, f, g, h, 48);
        SHA512V_R(h, a, b, c, d, e, f, g, 49);
        SHA512V_SCHEDULE(x0, x1, x4, x5, x7, 64);
        SHA512V_R(g, h, a, b, c, d, e, f, 50);
        SHA512V_R(f, g, h, a, b, c, d, e, 51);
        SHA512V_SCHEDULE(x1, x2, x5, x6, x0, 66);
        SHA512V_R(e, f, g, h, a, b, c, d, 52);
        SHA512V_R(d, e, f, g, h, a, b, c, 53);
        SHA512V_SCHEDULE(x2, x3, x6, x7, x1, 68);
        SHA512V_R(c, d, e, f, g, h, a, b, 54);
        SHA512V_R(b, c, d, e, f, g, h, a, 55);
        SHA512V_SCHEDULE(x3, x4, x7, x0, x2, 70);
        SHA512V_R(a, b, c, d, e, f, g, h, 56);
        SHA512V_R(h, a, b, c, d, e, f, g, 57);
        SHA512V_SCHEDULE(x4, x5, x0, x1, x3, 72);
        SHA512V_R(g, h, a, b, c, d, e, f, 58);
        SHA512V_R(f, g, h, a, b, c, d, e, 59);
        SHA512V_SCHEDULE(x5, x6, x1, x2, x4, 74);
        SHA512V_R(e, f, g, h, a, b, c, d, 60);
        SHA512V_R(d, e, f, g, h, a, b, c, 61);
        SHA512V_SCHEDULE(x6, x7, x2, x3, x5, 76);
        SHA512V_R(c, d, e, f, g, h, a, b, 62);
        SHA512V_R(b, c, d, e, f, g, h, a, 63);
        SHA512V_SCHEDULE(x7, x0, x3, x4, x6, 78);
        SHA512V_R(a, b, c, d, e, f, g, h, 64);
        SHA512V_R(h, a, b, c, d, e, f, g, 65);
        SHA512V_R(g, h, a, b, c, d, e, f, 66);
        SHA512V_R(f, g, h, a, b, c, d, e, 67);
        SHA512V_R(e, f, g, h, a, b, c, d, 68);
        SHA512V_R(d, e, f, g, h, a, b, c, 69);
        SHA512V_R(c, d, e, f, g, h, a, b, 70);
        SHA512V_R(b, c, d, e, f, g, h, a, 71);
        SHA512V_R(a, b, c, d, e, f, g, h, 72);
        SHA512V_R(h, a, b, c, d, e, f, g, 73);
        SHA512V_R(g, h, a, b, c, d, e, f, 74);
        SHA512V_R(f, g, h, a, b, c, d, e, 75);
        SHA512V_R(e, f, g, h, a, b, c, d, 76);
        SHA512V_R(d, e, f, g, h, a, b, c, 77);
        SHA512V_R(c, d, e, f, g, h, a, b, 78);
        SHA512V_R(b, c, d, e, f, g, h, a, 79);
        state[0] += a;
        state[1] += b;
        state[2] += c;
        state[3] += d;
        state[4] += e;
        state[5] += f;
        state[6] += g;
        state[7] += h;
    }
}
#endif

std::size_t DigestLengthOf(int variant) {
    switch (variant) {
    case 1: return 32;
    case 2: return 48;
    case 3: return 64;
    default: return 20;
    }
}

std::size_t BlockLengthOf(int variant) { return (variant == 2 || variant == 3) ? 128 : 64; }

}  // namespace

CSHA::CSHA(int variant)
    : IMessageDigest(DigestLengthOf(variant), BlockLengthOf(variant)),
      m_variant((variant >= 1 && variant <= 3) ? variant : 0) {
    Reset();
}

void CSHA::Reset() {
    switch (m_variant) {
    case 1: std::memcpy(m_state.w32, kSha256Init, sizeof kSha256Init); break;
    case 2: std::memcpy(m_state.w64, kSha384Init, sizeof kSha384Init); break;
    case 3: std::memcpy(m_state.w64, kSha512Init, sizeof kSha512Init); break;
    default:
        std::memset(m_state.w32, 0, sizeof m_state.w32);
        std::memcpy(m_state.w32, kSha1Init, sizeof kSha1Init);
        break;
    }
    m_bitCountHigh = 0;
    m_bitCount = 0;
    m_buffered = 0;
    std::memset(m_buffer, 0, sizeof m_buffer);
}

void CSHA::CompressBlocks(const unsigned char* blocks, std::size_t count) {
    using namespace kivo::sha_detail;
    [[maybe_unused]] const unsigned paths = ActivePaths();
    switch (m_variant) {
    case 0:
#if KIVO_SHA_X86
        if (paths & kPathShaExtensions) {
            Sha1Extensions(m_state.w32, blocks, count);
            return;
        }
#endif
        Sha1Portable(m_state.w32, blocks, count);
        return;
    case 1:
#if KIVO_SHA_X86
        if (paths & kPathShaExtensions) {
            Sha256Extensions(m_state.w32, blocks, count);
            return;
        }
#endif
        Sha256Portable(m_state.w32, blocks, count);
        return;
    default:
#if KIVO_SHA_X86
        if (paths & kPathSha512Vector) {
            Sha512Vector(m_state.w64, blocks, count);
            return;
        }
#endif
        Sha512Portable(m_state.w64, blocks, count);
        return;
    }
}

void CSHA::Transform(const unsigned char* block) {
    if (block != nullptr) CompressBlocks(block, 1);
}

void CSHA::Update(const unsigned char* data, std::uint32_t length) {
    if (length == 0 || data == nullptr) return;

    // 128-bit length counter; SHA-1/SHA-256 encode its low 64 bits.
    const std::uint64_t bits = static_cast<std::uint64_t>(length) << 3;
    m_bitCount += bits;
    if (m_bitCount < bits) ++m_bitCountHigh;

    const std::size_t block = m_blockLength;
    std::size_t left = length;
    if (m_buffered != 0) {
        const std::size_t room = block - m_buffered;
        const std::size_t take = left < room ? left : room;
        std::memcpy(m_buffer + m_buffered, data, take);
        m_buffered += take;
        data += take;
        left -= take;
        if (m_buffered < block) return;
        CompressBlocks(m_buffer, 1);
        m_buffered = 0;
    }
    const std::size_t whole = left / block;
    if (whole != 0) {
        CompressBlocks(data, whole);
        data += whole * block;
        left -= whole * block;
    }
    if (left != 0) {
        std::memcpy(m_buffer, data, left);
        m_buffered = left;
    }
}

void CSHA::Final(unsigned char* digest) {
    // Padding: 0x80, zeros, then the length in bits as a big-endian number of
    // 8 octets (64-octet blocks) or 16 octets (128-octet blocks).
    const std::size_t block = m_blockLength;
    const std::size_t lengthField = block == 128 ? 16 : 8;
    m_buffer[m_buffered++] = 0x80;
    if (m_buffered > block - lengthField) {
        std::memset(m_buffer + m_buffered, 0, block - m_buffered);
        CompressBlocks(m_buffer, 1);
        m_buffered = 0;
    }
    std::memset(m_buffer + m_buffered, 0, block - 8 - m_buffered);
    if (lengthField == 16) StoreBe64(m_buffer + block - 16, m_bitCountHigh);
    StoreBe64(m_buffer + block - 8, m_bitCount);
    CompressBlocks(m_buffer, 1);

    if (digest != nullptr) {
        if (m_variant <= 1) {
            for (std::size_t i = 0; i < m_digestLength / 4; ++i) StoreBe32(digest + 4 * i, m_state.w32[i]);
        } else {
            for (std::size_t i = 0; i < m_digestLength / 8; ++i) StoreBe64(digest + 8 * i, m_state.w64[i]);
        }
    }
    Reset();
}
