// MD5 (RFC 1321).
#pragma once

#include "digest/IMessageDigest.h"

class CMD5 final : public IMessageDigest {
public:
    CMD5();

    void Update(const unsigned char* data, std::uint32_t length) override;
    void Final(unsigned char* digest) override;
    void Reset() override;
    void Transform(const unsigned char* block) override;

private:
    void CompressBlocks(const unsigned char* blocks, std::size_t count);

    std::uint32_t m_state[4];
    std::uint64_t m_bitCount;
    unsigned char m_buffer[64];
    std::size_t m_buffered;
};
