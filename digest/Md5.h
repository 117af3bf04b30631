// MD5 (RFC 1321).
#pragma once

#include "digest/IMessageDigest.h"
#include "digest/LittleEndianBlocks.h"

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
    kivo::digest::LittleEndianBlocks m_blocks;
};
