// What MD5 and RIPEMD share around their compression functions: little-
// endian words, and the buffering of 64-octet blocks with the 64-bit
// little-endian bit count that ends the padding.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace kivo::digest {

inline std::uint32_t LoadLe32(const unsigned char* p) {
    std::uint32_t v;
    std::memcpy(&v, p, sizeof v);
    if constexpr (std::endian::native == std::endian::big) {
        v = __builtin_bswap32(v);
    }
    return v;
}

inline void StoreLe32(unsigned char* p, std::uint32_t v) {
    if constexpr (std::endian::native == std::endian::big) {
        v = __builtin_bswap32(v);
    }
    std::memcpy(p, &v, sizeof v);
}

// The message so far, as far as it does not fill a whole block. `compress`
// is called as compress(blocks, count) with `count` consecutive 64-octet
// blocks; whole blocks go to it straight from the caller's memory.
class LittleEndianBlocks {
public:
    static constexpr std::size_t kBlockSize = 64;

    void reset() {
        m_bitCount = 0;
        m_buffered = 0;
        std::memset(m_buffer, 0, sizeof m_buffer);
    }

    template <class Compress>
    void update(const unsigned char* data, std::uint32_t length, Compress compress) {
        if (data == nullptr || length == 0) return;
        // The length field holds the message length in bits modulo 2^64.
        m_bitCount += static_cast<std::uint64_t>(length) << 3;
        std::size_t remaining = length;

        // Complete a partly filled block first.
        if (m_buffered != 0) {
            const std::size_t take = std::min(kBlockSize - m_buffered, remaining);
            std::memcpy(m_buffer + m_buffered, data, take);
            m_buffered += take;
            data += take;
            remaining -= take;
            if (m_buffered < kBlockSize) return;
            compress(m_buffer, 1);
            m_buffered = 0;
        }

        const std::size_t blocks = remaining / kBlockSize;
        if (blocks != 0) {
            compress(data, blocks);
            data += blocks * kBlockSize;
            remaining -= blocks * kBlockSize;
        }
        if (remaining != 0) {
            std::memcpy(m_buffer, data, remaining);
            m_buffered = remaining;
        }
    }

    // Padding: one 0x80 octet, zeros up to 56 mod 64, then the bit count;
    // the buffer is wiped afterwards.
    template <class Compress>
    void finish(Compress compress) {
        const std::uint64_t bitCount = m_bitCount;
        m_buffer[m_buffered++] = 0x80;
        if (m_buffered > kLengthOffset) {
            std::memset(m_buffer + m_buffered, 0, kBlockSize - m_buffered);
            compress(m_buffer, 1);
            m_buffered = 0;
        }
        std::memset(m_buffer + m_buffered, 0, kLengthOffset - m_buffered);
        StoreLe32(m_buffer + kLengthOffset, static_cast<std::uint32_t>(bitCount));
        StoreLe32(m_buffer + kLengthOffset + 4, static_cast<std::uint32_t>(bitCount >> 32));
        compress(m_buffer, 1);
        std::memset(m_buffer, 0, sizeof m_buffer);
    }

private:
    static constexpr std::size_t kLengthOffset = 56;

    std::uint64_t m_bitCount = 0;
    unsigned char m_buffer[kBlockSize] = {};
    std::size_t m_buffered = 0;  // always below kBlockSize between calls
};

}  // namespace kivo::digest
