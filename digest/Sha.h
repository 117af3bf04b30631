// SHA-1 and SHA-2 (FIPS 180-4). The constructor argument picks the variant:
// 1 SHA-256, 2 SHA-384, 3 SHA-512, anything else SHA-1.
// SHA-1 and SHA-256 use the processor's SHA extensions when present, and
// SHA-384/512 an AVX message schedule with BMI2 rounds; setting the
// environment variable KIVO_DIGEST_PORTABLE (to anything but "0") before the
// first digest object is used forces the portable code.
#pragma once

#include "digest/IMessageDigest.h"

class CSHA final : public IMessageDigest {
public:
    explicit CSHA(int variant = 0);

    void Update(const unsigned char* data, std::uint32_t length) override;
    void Final(unsigned char* digest) override;
    void Reset() override;
    void Transform(const unsigned char* block) override;

    int Variant() const { return m_variant; }

private:
    void CompressBlocks(const unsigned char* blocks, std::size_t count);

    int m_variant;                    // 0 SHA-1, 1 SHA-256, 2 SHA-384, 3 SHA-512
    union {
        std::uint32_t w32[8];         // SHA-1 (five words), SHA-256
        std::uint64_t w64[8];         // SHA-384, SHA-512
    } m_state;
    std::uint64_t m_bitCountHigh;     // upper half of the 128-bit length (SHA-384/512)
    std::uint64_t m_bitCount;         // message length absorbed so far, in bits
    unsigned char m_buffer[128];      // partial block
    std::size_t m_buffered;           // octets waiting in m_buffer
};

namespace kivo {
// True when the processor has the SHA extensions (with SSSE3/SSE4.1).
bool ShaHardwareAvailable();

// True when SHA-1 and SHA-256 run on the processor's SHA extensions: the
// processor has them, and neither KIVO_DIGEST_PORTABLE (read once per
// process) nor SetShaHardwareAllowed(false) asked for the portable code.
bool ShaHardwareActive();

// Switches the accelerated code on or off for the whole process,
// overriding KIVO_DIGEST_PORTABLE: the SHA extensions for SHA-1/SHA-256 and
// the AVX/BMI2 code of SHA-384/512. Allowing has no effect on features the
// processor lacks. Meant for tests and benchmarks that compare both paths.
void SetShaHardwareAllowed(bool allowed);
}  // namespace kivo
