// The input of a pin-pad start request for cards that take the PIN as
// characters padded with zero bytes: the structure, then the APDU data the
// reader fills (Lc and `blocks` empty 8-byte PIN fields).
#pragma once

#include "smartcard/profiles/PinBlocks.h"

#include <cstdint>
#include <vector>

namespace kivo::card::pinpad {

inline std::vector<std::uint8_t> withZeroPinFields(std::vector<std::uint8_t> structure, int blocks) {
    structure.push_back(static_cast<std::uint8_t>(blocks * kPinBlockLength));
    structure.insert(structure.end(), blocks * kPinBlockLength, 0x00);
    return structure;
}

}  // namespace kivo::card::pinpad
