// Helpers shared by the fuzz targets.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

namespace kivo::fuzz {

// The input in a heap block of exactly its size, so that AddressSanitizer
// reports a read one octet past the end.
class ExactCopy {
public:
    ExactCopy(const std::uint8_t* data, std::size_t size)
        : m_bytes(new unsigned char[size == 0 ? 1 : size]), m_size(size) {
        if (size > 0) std::memcpy(m_bytes.get(), data, size);
    }
    unsigned char* data() const { return m_bytes.get(); }
    std::uint32_t size() const { return static_cast<std::uint32_t>(m_size); }

private:
    std::unique_ptr<unsigned char[]> m_bytes;
    std::size_t m_size;
};

}  // namespace kivo::fuzz
