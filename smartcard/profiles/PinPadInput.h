// The input of a pin-pad start request: the structure, then the APDU data
// the reader fills: Lc and `blocks` 8-byte PIN fields, each its `lead` byte
// followed by `fill` (zero bytes for cards that take the PIN as characters,
// a format-2 block template 2x FF..FF for the format-2 cards).
#pragma once

#include "smartcard/profiles/PinBlocks.h"

#include <cstdint>
#include <utility>
#include <vector>

namespace kivo::card::pinpad {

inline std::vector<std::uint8_t> withPinFields(std::vector<std::uint8_t> structure, int blocks,
                                               std::uint8_t lead, std::uint8_t fill) {
    structure.push_back(static_cast<std::uint8_t>(blocks * kPinBlockLength));
    for (int block = 0; block < blocks; ++block) {
        structure.push_back(lead);
        structure.insert(structure.end(), kPinBlockLength - 1, fill);
    }
    return structure;
}

inline std::vector<std::uint8_t> withZeroPinFields(std::vector<std::uint8_t> structure, int blocks) {
    return withPinFields(std::move(structure), blocks, 0x00, 0x00);
}

}  // namespace kivo::card::pinpad
