// Digest interface shared by the hash service, the SignedData assembly and
// the card code. The virtual operations keep a fixed slot order:
// destructor, Update, Final, Reset, Transform.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kivo {
// Largest digest any implementation writes (SHA-512).
inline constexpr std::size_t kMaxDigestLength = 64;
}  // namespace kivo

class IMessageDigest {
public:
    virtual ~IMessageDigest() = default;

    // Absorbs `length` octets; may be called any number of times.
    virtual void Update(const unsigned char* data, std::uint32_t length) = 0;

    // Pads, compresses the last block(s) and writes DigestLength() octets
    // to `digest`. The object is reset afterwards and can take a new message.
    virtual void Final(unsigned char* digest) = 0;

    // Restores the initial state of the variant chosen at construction.
    virtual void Reset() = 0;

    // Compresses one block (BlockLength() octets) into the chaining state.
    virtual void Transform(const unsigned char* block) = 0;

    std::size_t DigestLength() const { return m_digestLength; }
    std::size_t BlockLength() const { return m_blockLength; }

protected:
    IMessageDigest(std::size_t digestLength, std::size_t blockLength)
        : m_digestLength(digestLength), m_blockLength(blockLength) {}
    IMessageDigest(const IMessageDigest&) = default;
    IMessageDigest& operator=(const IMessageDigest&) = default;

    std::size_t m_digestLength;
    std::size_t m_blockLength;
};
