// Byte strings and their hexadecimal text form, shared by every part of vcard.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vcard {

using Bytes = std::vector<std::uint8_t>;

// Upper-case hex, two digits per byte, no separator.
std::string toHex(const Bytes& bytes);

// Hex text in either case; blanks and ':' are ignored. Empty on odd length or
// a non-hex character, with `ok` set to false.
Bytes fromHex(std::string_view text, bool* ok = nullptr);

// Two status bytes appended to `data`.
Bytes withStatus(Bytes data, std::uint16_t sw);
inline Bytes status(std::uint16_t sw) { return withStatus({}, sw); }

}  // namespace vcard
