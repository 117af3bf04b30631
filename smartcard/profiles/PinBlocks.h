// PIN encodings some card operating systems want instead of the PIN's
// characters.
#pragma once

#include <array>
#include <cstdint>
#include <span>

namespace kivo::card {

inline constexpr std::size_t kPinBlockLength = 8;

// Eight octets of PIN data, wiped when they go away.
struct PinBlock {
    PinBlock() = default;
    ~PinBlock();
    PinBlock(const PinBlock&) = delete;
    PinBlock& operator=(const PinBlock&) = delete;
    std::array<std::uint8_t, kPinBlockLength> octets{};
};

// ISO 9564 format 2: 0x20 | length, the digits as BCD, an odd length
// padded with nibble F, the rest FF. False (and the block all FF) for a
// PIN that is empty, longer than 14 digits, or holds a non-digit: such a
// PIN cannot be encoded, and sending something else would cost a try.
bool formatTwoBlock(std::span<const std::uint8_t> pin, PinBlock& block);

// The PIN characters followed by zero bytes up to 8. False (and the block
// all zero) for an empty PIN or one longer than 8.
bool zeroPaddedBlock(std::span<const std::uint8_t> pin, PinBlock& block);

}  // namespace kivo::card
