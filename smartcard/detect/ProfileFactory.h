// The card object of a card operating system: one profile class per card
// type number of the ATR table.
#pragma once

#include "smartcard/base/SC_Profile_Base.h"

#include <cstdint>
#include <memory>

namespace kivo::card {

// The profile object for a card type; nothing for types the library
// recognises but does not serve (CardOS 4.01a, 17, 18), -1 and unknown types.
std::unique_ptr<CSC_Profile_Base> createProfile(std::int32_t cardType);

}  // namespace kivo::card
