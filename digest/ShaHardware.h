// Internal to the digest code: selection between the portable SHA code and
// the accelerated code, and SHA-1/SHA-256 on the x86 SHA extensions.
#pragma once

#include <cstddef>
#include <cstdint>

#if defined(__x86_64__) || defined(__i386__)
#define KIVO_SHA_X86 1
#else
#define KIVO_SHA_X86 0
#endif

namespace kivo::sha_detail {

// Bits returned by ActivePaths().
inline constexpr unsigned kPathShaExtensions = 1;  // SHA-1/SHA-256 on SHA-NI
inline constexpr unsigned kPathSha512Vector = 2;   // SHA-384/512: AVX schedule, BMI2 rounds

// Accelerated paths currently in use. The first call reads
// KIVO_DIGEST_PORTABLE and the CPUID flags; later calls are one atomic load.
unsigned ActivePaths();

// First 32 bits of the fractional parts of the cube roots of the first 64
// primes.
inline constexpr std::uint32_t kSha256K[64] = {
    0x428a2f98U, 0x71374491U, 0xb5c0fbcfU, 0xe9b5dba5U,
    0x3956c25bU, 0x59f111f1U, 0x923f82a4U, 0xab1c5ed5U,
    0xd807aa98U, 0x12835b01U, 0x243185beU, 0x550c7dc3U,
    0x72be5d74U, 0x80deb1feU, 0x9bdc06a7U, 0xc19bf174U,
    0xe49b69c1U, 0xefbe4786U, 0x0fc19dc6U, 0x240ca1ccU,
    0x2de92c6fU, 0x4a7484aaU, 0x5cb0a9dcU, 0x76f988daU,
    0x983e5152U, 0xa831c66dU, 0xb00327c8U, 0xbf597fc7U,
    0xc6e00bf3U, 0xd5a79147U, 0x06ca6351U, 0x14292967U,
    0x27b70a85U, 0x2e1b2138U, 0x4d2c6dfcU, 0x53380d13U,
    0x650a7354U, 0x766a0abbU, 0x81c2c92eU, 0x92722c85U,
    0xa2bfe8a1U, 0xa81a664bU, 0xc24b8b70U, 0xc76c51a3U,
    0xd192e819U, 0xd6990624U, 0xf40e3585U, 0x106aa070U,
    0x19a4c116U, 0x1e376c08U, 0x2748774cU, 0x34b0bcb5U,
    0x391c0cb3U, 0x4ed8aa4aU, 0x5b9cca4fU, 0x682e6ff3U,
    0x748f82eeU, 0x78a5636fU, 0x84c87814U, 0x8cc70208U,
    0x90befffaU, 0xa4506cebU, 0xbef9a3f7U, 0xc67178f2U,
};

#if KIVO_SHA_X86
// Compress `count` 64-octet blocks. Only call when ActivePaths() has
// kPathShaExtensions set.
void Sha1Extensions(std::uint32_t* state, const unsigned char* data, std::size_t count);
void Sha256Extensions(std::uint32_t* state, const unsigned char* data, std::size_t count);
#endif

}  // namespace kivo::sha_detail
