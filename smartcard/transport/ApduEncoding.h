// The command APDU of each case CSC_Transport knows, laid out on its own
// so that the layout can be tested and fuzzed without a reader.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace kivo::card {

// The fields of one command ("header" is CLA INS P1 P2). Cases:
// 0, 3, 4 header + low byte of Lc; 1 header only; 2 header + low byte of Le
// (the transport copies Le into Lc first); 5 header, Lc, data, Le; 6
// header, Lc, data; 7 header, 00, Lc (2), data, Le (2).
struct CommandApdu {
    std::uint32_t apduCase = 0;
    std::uint8_t cla = 0;
    std::uint8_t ins = 0;
    std::uint8_t p1 = 0;
    std::uint8_t p2 = 0;
    std::uint16_t lc = 0;
    std::uint16_t le = 0;
    const std::uint8_t* data = nullptr;
    std::uint32_t dataLength = 0;
};

// Octets the command takes for its case; 0 for an unknown case.
std::size_t encodedLength(const CommandApdu& command);

// Whether the data cover what the case sends: at least Lc bytes (present
// when Lc is not 0), and an Lc that fits one byte in the short cases.
bool dataMatchesLc(const CommandApdu& command);

// Writes the command into `out`; false, writing nothing, when the case is
// unknown, the data do not match Lc, or `out` is shorter than the command.
bool encodeApdu(const CommandApdu& command, std::span<std::uint8_t> out);

}  // namespace kivo::card
