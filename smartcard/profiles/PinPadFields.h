// Offsets of the fields profiles change in the PC/SC PIN verify (23 bytes)
// and PIN modify (28 bytes) structures, and the writer of their 4-byte
// little-endian ulDataLength.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace kivo::card::pinpad {

inline constexpr std::size_t kFormatString = 2;
inline constexpr std::size_t kBlockString = 3;
inline constexpr std::size_t kLengthFormat = 4;
inline constexpr std::size_t kVerifyMaxExtraDigit = 5;
inline constexpr std::size_t kVerifyDataLength = 15;
inline constexpr std::size_t kModifyOffsetOld = 5;
inline constexpr std::size_t kModifyOffsetNew = 6;
inline constexpr std::size_t kModifyMaxExtraDigit = 7;
inline constexpr std::size_t kModifyDataLength = 20;

// Writes `length` as ulDataLength at `at`; nothing when the structure is
// too short.
inline void putDataLength(std::vector<std::uint8_t>& structure, std::size_t at, std::uint8_t length) {
    if (structure.size() < at + 4) return;
    structure[at] = length;
    structure[at + 1] = structure[at + 2] = structure[at + 3] = 0;
}

// wPINMaxExtraDigit (little-endian: maximum, then minimum) at `at`.
inline void putPinLengths(std::vector<std::uint8_t>& structure, std::size_t at, std::uint8_t minimum,
                          std::uint8_t maximum) {
    if (structure.size() < at + 2) return;
    structure[at] = maximum;
    structure[at + 1] = minimum;
}

}  // namespace kivo::card::pinpad
