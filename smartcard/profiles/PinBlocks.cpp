#include "smartcard/profiles/PinBlocks.h"

#include <openssl/crypto.h>

#include <algorithm>

namespace kivo::card {

PinBlock::~PinBlock() { OPENSSL_cleanse(octets.data(), octets.size()); }

bool formatTwoBlock(std::span<const std::uint8_t> pin, PinBlock& block) {
    constexpr std::size_t kMaxDigits = 14;
    block.octets.fill(0xFF);
    const bool digitsOnly =
        std::all_of(pin.begin(), pin.end(), [](std::uint8_t c) { return c >= '0' && c <= '9'; });
    if (pin.empty() || pin.size() > kMaxDigits || !digitsOnly) return false;
    block.octets[0] = static_cast<std::uint8_t>(0x20 | pin.size());
    for (std::size_t i = 0; i < pin.size(); ++i) {
        const std::uint8_t digit = static_cast<std::uint8_t>(pin[i] - '0');
        std::uint8_t& octet = block.octets[1 + i / 2];
        octet = i % 2 == 0 ? static_cast<std::uint8_t>((digit << 4) | 0x0F)
                           : static_cast<std::uint8_t>((octet & 0xF0) | digit);
    }
    return true;
}

bool zeroPaddedBlock(std::span<const std::uint8_t> pin, PinBlock& block) {
    block.octets.fill(0x00);
    if (pin.empty() || pin.size() > kPinBlockLength) return false;
    std::copy(pin.begin(), pin.end(), block.octets.begin());
    return true;
}

}  // namespace kivo::card
