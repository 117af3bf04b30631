#include "smartcard/transport/ApduEncoding.h"

#include <cstring>

namespace kivo::card {
namespace {

enum Case : std::uint32_t { kHeaderLc0, kHeader, kHeaderLe, kHeaderLc3, kHeaderLc4, kDataLe, kData, kExtended };

bool carriesData(std::uint32_t apduCase) {
    return apduCase == kDataLe || apduCase == kData || apduCase == kExtended;
}

std::uint8_t low(std::uint16_t value) { return static_cast<std::uint8_t>(value & 0xFF); }
std::uint8_t high(std::uint16_t value) { return static_cast<std::uint8_t>(value >> 8); }

}  // namespace

std::size_t encodedLength(const CommandApdu& command) {
    switch (command.apduCase) {
        case kHeader: return 4;
        case kHeaderLc0: case kHeaderLe: case kHeaderLc3: case kHeaderLc4: return 5;
        case kDataLe: return std::size_t{command.lc} + 6;
        case kData: return std::size_t{command.lc} + 5;
        case kExtended: return std::size_t{command.lc} + 9;
        default: return 0;
    }
}

bool dataMatchesLc(const CommandApdu& command) {
    if (!carriesData(command.apduCase)) return true;
    const bool shortCase = command.apduCase != kExtended;
    return !(shortCase && command.lc > 0xFF) && command.dataLength >= command.lc &&
           (command.lc == 0 || command.data != nullptr);
}

bool encodeApdu(const CommandApdu& command, std::span<std::uint8_t> out) {
    const std::size_t length = encodedLength(command);
    if (length == 0 || !dataMatchesLc(command) || out.size() < length) return false;
    std::uint8_t* p = out.data();
    p[0] = command.cla;
    p[1] = command.ins;
    p[2] = command.p1;
    p[3] = command.p2;
    const std::uint16_t lc = command.lc;
    switch (command.apduCase) {
        case kHeaderLc0: case kHeaderLe: case kHeaderLc3: case kHeaderLc4:
            p[4] = low(lc);
            break;
        case kDataLe: case kData:
            p[4] = low(lc);
            if (lc > 0) std::memcpy(p + 5, command.data, lc);
            if (command.apduCase == kDataLe) p[5 + lc] = low(command.le);
            break;
        case kExtended:
            p[4] = 0x00;
            p[5] = high(lc);
            p[6] = low(lc);
            if (lc > 0) std::memcpy(p + 7, command.data, lc);
            p[7 + lc] = high(command.le);
            p[8 + lc] = low(command.le);
            break;
        default:
            break;
    }
    return true;
}

}  // namespace kivo::card
