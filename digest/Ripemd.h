// RIPEMD-128 (variant 0) and RIPEMD-160 (any other value, stored as 1).
#pragma once

#include "digest/IMessageDigest.h"
#include "digest/LittleEndianBlocks.h"

class CRIPEMD final : public IMessageDigest {
public:
    explicit CRIPEMD(int variant = 1);

    void Update(const unsigned char* data, std::uint32_t length) override;
    void Final(unsigned char* digest) override;
    void Reset() override;
    void Transform(const unsigned char* block) override;

    int Variant() const { return m_variant; }

private:
    void CompressBlocks(const unsigned char* blocks, std::size_t count);

    int m_variant;                 // 0 RIPEMD-128, 1 RIPEMD-160
    std::uint32_t m_state[5];      // four words used by RIPEMD-128
    kivo::digest::LittleEndianBlocks m_blocks;
};
