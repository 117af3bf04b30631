// Multiple-precision arithmetic on fixed-size numbers: arrays of 32-bit
// digits, least significant digit first. Sized for 1024-bit RSA; numbers
// of more than kMaxDigits digits are refused. All working storage lives on
// the stack, so no operation allocates.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kivo::mp {

using Digit = std::uint32_t;
inline constexpr std::size_t kMaxDigits = 128;

// Clears `digits` and fills them from the big-endian `bytes`, taking the
// last byte first, four bytes per digit; bytes beyond what the digits
// hold (the most significant ones) are dropped. The number of digits
// filled.
std::size_t fromOctets(Digit* digits, std::size_t count, const unsigned char* bytes,
                       std::size_t length);

// Writes the value big-endian into the last bytes of `bytes`, zero-filling
// the rest (the most significant digits are cut when the buffer is too
// short). The number of significant bytes of the value.
std::size_t toOctets(const Digit* digits, std::size_t count, unsigned char* bytes,
                     std::size_t length);

// result = base^exponent mod modulus, all of `count` digits. 0; -1 for a
// count of 0 or above kMaxDigits, or a zero modulus (result cleared).
int modExp(Digit* result, const Digit* base, const Digit* exponent, const Digit* modulus,
           std::size_t count);

}  // namespace kivo::mp
