// A command APDU split into header, data field and expected length, for the
// four ISO 7816-4 cases in short and extended form.
#pragma once

#include "tools/vcard/Bytes.h"

#include <optional>

namespace vcard {

struct Apdu {
    std::uint8_t cla = 0;
    std::uint8_t ins = 0;
    std::uint8_t p1 = 0;
    std::uint8_t p2 = 0;
    Bytes data;
    // Expected response length; absent when the command has no Le field.
    // An Le byte of 00 means 256 (65536 in extended form).
    std::optional<std::size_t> le;

    std::size_t expected() const { return le.value_or(0); }
};

// Parses a command of at least four bytes; nothing when the length fields do
// not match the command's size.
std::optional<Apdu> parseApdu(const Bytes& command);

}  // namespace vcard
