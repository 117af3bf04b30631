// SHA-1 and SHA-256 compression on the x86 SHA extensions, and the choice
// between them and the portable code.
//
// SHA-1 keeps A..D in one register (A in the top lane) and carries E in the
// top lane of a second one; sha1nexte derives the next E from the A of four
// rounds earlier. SHA-256 keeps the state as ABEF and CDGH, the layout
// sha256rnds2 works on. Each message register holds four schedule words;
// the next groups are derived while the rounds run.
#include "digest/ShaHardware.h"

#include <atomic>
#include <cstdlib>
#include <cstring>

#include "digest/Sha.h"

#if KIVO_SHA_X86
#include <cpuid.h>
#include <immintrin.h>
#endif

namespace kivo::sha_detail {
namespace {

struct CpuFeatures {
    bool shaExtensions = false;  // SHA plus the SSSE3/SSE4.1 shuffles it needs
    bool bmi2 = false;
    bool avx = false;  // AVX with the vector state enabled by the OS
};

CpuFeatures DetectCpu() {
    CpuFeatures features;
#if KIVO_SHA_X86
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    if (!__get_cpuid(1, &eax, &ebx, &ecx, &edx)) return features;
    const bool ssse3 = (ecx & (1U << 9)) != 0;
    const bool sse41 = (ecx & (1U << 19)) != 0;
    const bool osxsave = (ecx & (1U << 27)) != 0;
    const bool avx = (ecx & (1U << 28)) != 0;
    if (osxsave && avx) {
        unsigned xcr0Low = 0, xcr0High = 0;
        __asm__("xgetbv" : "=a"(xcr0Low), "=d"(xcr0High) : "c"(0));
        features.avx = (xcr0Low & 6U) == 6U;  // SSE and AVX state saved
    }
    if (__get_cpuid_max(0, nullptr) < 7) return features;
    __cpuid_count(7, 0, eax, ebx, ecx, edx);
    features.shaExtensions = ssse3 && sse41 && (ebx & (1U << 29)) != 0;
    features.bmi2 = (ebx & (1U << 8)) != 0;
#endif
    return features;
}

const CpuFeatures& Cpu() {
    static const CpuFeatures features = DetectCpu();
    return features;
}

unsigned PathsFor(bool allowed) {
    if (!allowed) return 0;
    const CpuFeatures& cpu = Cpu();
    return (cpu.shaExtensions ? kPathShaExtensions : 0U) |
           (cpu.bmi2 && cpu.avx ? kPathSha512Vector : 0U);
}

bool PortableRequestedByEnvironment() {
    const char* value = std::getenv("KIVO_DIGEST_PORTABLE");
    return value != nullptr && std::strcmp(value, "0") != 0;
}

constexpr unsigned kUnresolved = ~0U;
std::atomic<unsigned> g_paths{kUnresolved};

unsigned Resolve() {
    static const unsigned initial = PathsFor(!PortableRequestedByEnvironment());
    unsigned expected = kUnresolved;
    g_paths.compare_exchange_strong(expected, initial, std::memory_order_relaxed);
    return g_paths.load(std::memory_order_relaxed);
}

}  // namespace

unsigned ActivePaths() {
    const unsigned paths = g_paths.load(std::memory_order_relaxed);
    return paths != kUnresolved ? paths : Resolve();
}

#if KIVO_SHA_X86

// ---- SHA-1 ------------------------------------------------------------------

// Group 0: E comes from the state, added to the first four message words.
#define SHA1_QUAD_FIRST(m)                                                    \
    do {                                                                      \
        e0 = _mm_add_epi32(e0, m);                                            \
        e1 = abcd;                                                            \
        abcd = _mm_sha1rnds4_epu32(abcd, e0, 0);                              \
    } while (0)

// Four rounds: eIn holds the A of four rounds ago and becomes E + W;
// eOut keeps the current A for the next group. f selects the round function
// and constant (one per twenty rounds).
#define SHA1_QUAD(eIn, eOut, m, f)                                            \
    do {                                                                      \
        eIn = _mm_sha1nexte_epu32(eIn, m);                                    \
        eOut = abcd;                                                          \
        abcd = _mm_sha1rnds4_epu32(abcd, eIn, f);                             \
    } while (0)

__attribute__((target("sha,sse4.1"))) void Sha1Extensions(std::uint32_t* state,
                                                         const unsigned char* data,
                                                         std::size_t count) {
    // Reverses all sixteen octets: big-endian words, first word in the top lane.
    const __m128i byteOrder = _mm_set_epi64x(0x0001020304050607LL, 0x08090a0b0c0d0e0fLL);
    __m128i abcd = _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(state)), 0x1b);
    __m128i e0 = _mm_set_epi32(static_cast<int>(state[4]), 0, 0, 0);
    __m128i e1;

    for (; count != 0; --count, data += 64) {
        const __m128i abcdSaved = abcd;
        const __m128i eSaved = e0;
        const __m128i* in = reinterpret_cast<const __m128i*>(data);
        __m128i m0 = _mm_shuffle_epi8(_mm_loadu_si128(in + 0), byteOrder);
        __m128i m1 = _mm_shuffle_epi8(_mm_loadu_si128(in + 1), byteOrder);
        __m128i m2 = _mm_shuffle_epi8(_mm_loadu_si128(in + 2), byteOrder);
        __m128i m3 = _mm_shuffle_epi8(_mm_loadu_si128(in + 3), byteOrder);

        SHA1_QUAD_FIRST(m0);
        SHA1_QUAD(e1, e0, m1, 0);
        m0 = _mm_sha1msg1_epu32(m0, m1);
        SHA1_QUAD(e0, e1, m2, 0);
        m0 = _mm_xor_si128(m0, m2);
        m1 = _mm_sha1msg1_epu32(m1, m2);
        SHA1_QUAD(e1, e0, m3, 0);
        m0 = _mm_sha1msg2_epu32(m0, m3);
        m1 = _mm_xor_si128(m1, m3);
        m2 = _mm_sha1msg1_epu32(m2, m3);
        SHA1_QUAD(e0, e1, m0, 0);
        m1 = _mm_sha1msg2_epu32(m1, m0);
        m2 = _mm_xor_si128(m2, m0);
        m3 = _mm_sha1msg1_epu32(m3, m0);
        SHA1_QUAD(e1, e0, m1, 1);
        m2 = _mm_sha1msg2_epu32(m2, m1);
        m3 = _mm_xor_si128(m3, m1);
        m0 = _mm_sha1msg1_epu32(m0, m1);
        SHA1_QUAD(e0, e1, m2, 1);
        m3 = _mm_sha1msg2_epu32(m3, m2);
        m0 = _mm_xor_si128(m0, m2);
        m1 = _mm_sha1msg1_epu32(m1, m2);
        SHA1_QUAD(e1, e0, m3, 1);
        m0 = _mm_sha1msg2_epu32(m0, m3);
        m1 = _mm_xor_si128(m1, m3);
        m2 = _mm_sha1msg1_epu32(m2, m3);
        SHA1_QUAD(e0, e1, m0, 1);
        m1 = _mm_sha1msg2_epu32(m1, m0);
        m2 = _mm_xor_si128(m2, m0);
        m3 = _mm_sha1msg1_epu32(m3, m0);
        SHA1_QUAD(e1, e0, m1, 1);
        m2 = _mm_sha1msg2_epu32(m2, m1);
        m3 = _mm_xor_si128(m3, m1);
        m0 = _mm_sha1msg1_epu32(m0, m1);
        SHA1_QUAD(e0, e1, m2, 2);
        m3 = _mm_sha1msg2_epu32(m3, m2);
        m0 = _mm_xor_si128(m0, m2);
        m1 = _mm_sha1msg1_epu32(m1, m2);
        SHA1_QUAD(e1, e0, m3, 2);
        m0 = _mm_sha1msg2_epu32(m0, m3);
        m1 = _mm_xor_si128(m1, m3);
        m2 = _mm_sha1msg1_epu32(m2, m3);
        SHA1_QUAD(e0, e1, m0, 2);
        m1 = _mm_sha1msg2_epu32(m1, m0);
        m2 = _mm_xor_si128(m2, m0);
        m3 = _mm_sha1msg1_epu32(m3, m0);
        SHA1_QUAD(e1, e0, m1, 2);
        m2 = _mm_sha1msg2_epu32(m2, m1);
        m3 = _mm_xor_si128(m3, m1);
        m0 = _mm_sha1msg1_epu32(m0, m1);
        SHA1_QUAD(e0, e1, m2, 2);
        m3 = _mm_sha1msg2_epu32(m3, m2);
        m0 = _mm_xor_si128(m0, m2);
        m1 = _mm_sha1msg1_epu32(m1, m2);
        SHA1_QUAD(e1, e0, m3, 3);
        m0 = _mm_sha1msg2_epu32(m0, m3);
        m1 = _mm_xor_si128(m1, m3);
        m2 = _mm_sha1msg1_epu32(m2, m3);
        SHA1_QUAD(e0, e1, m0, 3);
        m1 = _mm_sha1msg2_epu32(m1, m0);
        m2 = _mm_xor_si128(m2, m0);
        m3 = _mm_sha1msg1_epu32(m3, m0);
        SHA1_QUAD(e1, e0, m1, 3);
        m2 = _mm_sha1msg2_epu32(m2, m1);
        m3 = _mm_xor_si128(m3, m1);
        SHA1_QUAD(e0, e1, m2, 3);
        m3 = _mm_sha1msg2_epu32(m3, m2);
        SHA1_QUAD(e1, e0, m3, 3);
        e0 = _mm_sha1nexte_epu32(e0, eSaved);
        abcd = _mm_add_epi32(abcd, abcdSaved);
    }

    abcd = _mm_shuffle_epi32(abcd, 0x1b);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(state), abcd);
    state[4] = static_cast<std::uint32_t>(_mm_extract_epi32(e0, 3));
}

// ---- SHA-256 ----------------------------------------------------------------

// Four rounds on message group g: two sha256rnds2 on the low and the high
// pair of W + K. abef and cdgh swap roles after each pair.
#define SHA256_QUAD_BEGIN(m, g)                                               \
    wk = _mm_add_epi32(m, _mm_loadu_si128(reinterpret_cast<const __m128i*>(kSha256K + 4 * (g)))); \
    cdgh = _mm_sha256rnds2_epu32(cdgh, abef, wk)

#define SHA256_QUAD_END()                                                     \
    wk = _mm_shuffle_epi32(wk, 0x0e);                                         \
    abef = _mm_sha256rnds2_epu32(abef, cdgh, wk)

// Completes the next message group `next` (msg1 was applied two groups
// earlier): adds W[t-7], which spans the two latest groups, then sigma1.
#define SHA256_SCHEDULE(next, latest, previous)                               \
    next = _mm_add_epi32(next, _mm_alignr_epi8(latest, previous, 4));         \
    next = _mm_sha256msg2_epu32(next, latest)

__attribute__((target("sha,sse4.1"))) void Sha256Extensions(std::uint32_t* state,
                                                           const unsigned char* data,
                                                           std::size_t count) {
    // Big-endian words, first word in the low lane.
    const __m128i byteOrder = _mm_set_epi64x(0x0c0d0e0f08090a0bLL, 0x0405060700010203LL);

    // state a..h -> abef = {a, b, e, f} and cdgh = {c, d, g, h}, top lane first.
    __m128i lo = _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(state)), 0xb1);
    __m128i hi = _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(state + 4)), 0x1b);
    __m128i abef = _mm_alignr_epi8(lo, hi, 8);
    __m128i cdgh = _mm_blend_epi16(hi, lo, 0xf0);
    __m128i wk;

    for (; count != 0; --count, data += 64) {
        const __m128i abefSaved = abef;
        const __m128i cdghSaved = cdgh;
        const __m128i* in = reinterpret_cast<const __m128i*>(data);
        __m128i m0 = _mm_shuffle_epi8(_mm_loadu_si128(in + 0), byteOrder);
        __m128i m1 = _mm_shuffle_epi8(_mm_loadu_si128(in + 1), byteOrder);
        __m128i m2 = _mm_shuffle_epi8(_mm_loadu_si128(in + 2), byteOrder);
        __m128i m3 = _mm_shuffle_epi8(_mm_loadu_si128(in + 3), byteOrder);

        SHA256_QUAD_BEGIN(m0, 0);
        SHA256_QUAD_END();
        SHA256_QUAD_BEGIN(m1, 1);
        SHA256_QUAD_END();
        m0 = _mm_sha256msg1_epu32(m0, m1);
        SHA256_QUAD_BEGIN(m2, 2);
        SHA256_QUAD_END();
        m1 = _mm_sha256msg1_epu32(m1, m2);
        SHA256_QUAD_BEGIN(m3, 3);
        SHA256_SCHEDULE(m0, m3, m2);
        SHA256_QUAD_END();
        m2 = _mm_sha256msg1_epu32(m2, m3);
        SHA256_QUAD_BEGIN(m0, 4);
        SHA256_SCHEDULE(m1, m0, m3);
        SHA256_QUAD_END();
        m3 = _mm_sha256msg1_epu32(m3, m0);
        SHA256_QUAD_BEGIN(m1, 5);
        SHA256_SCHEDULE(m2, m1, m0);
        SHA256_QUAD_END();
        m0 = _mm_sha256msg1_epu32(m0, m1);
        SHA256_QUAD_BEGIN(m2, 6);
        SHA256_SCHEDULE(m3, m2, m1);
        SHA256_QUAD_END();
        m1 = _mm_sha256msg1_epu32(m1, m2);
        SHA256_QUAD_BEGIN(m3, 7);
        SHA256_SCHEDULE(m0, m3, m2);
        SHA256_QUAD_END();
        m2 = _mm_sha256msg1_epu32(m2, m3);
        SHA256_QUAD_BEGIN(m0, 8);
        SHA256_SCHEDULE(m1, m0, m3);
        SHA256_QUAD_END();
        m3 = _mm_sha256msg1_epu32(m3, m0);
        SHA256_QUAD_BEGIN(m1, 9);
        SHA256_SCHEDULE(m2, m1, m0);
        SHA256_QUAD_END();
        m0 = _mm_sha256msg1_epu32(m0, m1);
        SHA256_QUAD_BEGIN(m2, 10);
        SHA256_SCHEDULE(m3, m2, m1);
        SHA256_QUAD_END();
        m1 = _mm_sha256msg1_epu32(m1, m2);
        SHA256_QUAD_BEGIN(m3, 11);
        SHA256_SCHEDULE(m0, m3, m2);
        SHA256_QUAD_END();
        m2 = _mm_sha256msg1_epu32(m2, m3);
        SHA256_QUAD_BEGIN(m0, 12);
        SHA256_SCHEDULE(m1, m0, m3);
        SHA256_QUAD_END();
        m3 = _mm_sha256msg1_epu32(m3, m0);
        SHA256_QUAD_BEGIN(m1, 13);
        SHA256_SCHEDULE(m2, m1, m0);
        SHA256_QUAD_END();
        SHA256_QUAD_BEGIN(m2, 14);
        SHA256_SCHEDULE(m3, m2, m1);
        SHA256_QUAD_END();
        SHA256_QUAD_BEGIN(m3, 15);
        SHA256_QUAD_END();
        abef = _mm_add_epi32(abef, abefSaved);
        cdgh = _mm_add_epi32(cdgh, cdghSaved);
    }

    // Back to a..h.
    lo = _mm_shuffle_epi32(abef, 0x1b);
    hi = _mm_shuffle_epi32(cdgh, 0xb1);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(state), _mm_blend_epi16(lo, hi, 0xf0));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(state + 4), _mm_alignr_epi8(hi, lo, 8));
}

#endif  // KIVO_SHA_X86

}  // namespace kivo::sha_detail

namespace kivo {

bool ShaHardwareAvailable() { return sha_detail::Cpu().shaExtensions; }

bool ShaHardwareActive() {
    return (sha_detail::ActivePaths() & sha_detail::kPathShaExtensions) != 0;
}

void SetShaHardwareAllowed(bool allowed) {
    sha_detail::g_paths.store(sha_detail::PathsFor(allowed), std::memory_order_relaxed);
}

}  // namespace kivo
