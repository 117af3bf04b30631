// The ISO 7816-4 status words the card layer reads, and how the base maps
// the PIN-command ones to card results. Card operating systems that answer
// differently override the mapping, not these values.
#pragma once

#include "smartcard/base/CardResult.h"

#include <cstdint>
#include <span>

namespace kivo::card::sw {

inline constexpr std::uint16_t kOk = 0x9000;
inline constexpr std::uint16_t kEndOfFile = 0x6282;              // end reached before Le bytes
inline constexpr std::uint16_t kVerificationFailed = 0x6300;     // no further information
inline constexpr std::uint16_t kWrongLength = 0x6700;
inline constexpr std::uint16_t kClaFunctionNotSupported = 0x6800;
inline constexpr std::uint16_t kIncompatibleFile = 0x6981;
inline constexpr std::uint16_t kSecurityStatusNotSatisfied = 0x6982;
inline constexpr std::uint16_t kAuthMethodBlocked = 0x6983;
inline constexpr std::uint16_t kReferenceDataNotUsable = 0x6984;
inline constexpr std::uint16_t kConditionsNotSatisfied = 0x6985;
inline constexpr std::uint16_t kNoCurrentEf = 0x6986;
inline constexpr std::uint16_t kFileNotFound = 0x6A82;
inline constexpr std::uint16_t kLcInconsistentWithP1P2 = 0x6A87;
// Pin-pad readers (PC/SC part 10) end an entry with these.
inline constexpr std::uint16_t kPinPadCancelled = 0x6401;
inline constexpr std::uint16_t kPinPadPinsDiffer = 0x6402;
inline constexpr std::uint16_t kPinPadLengthError = 0x6403;

// SW1 values that carry a count in SW2.
inline constexpr std::uint8_t kSw1MoreData = 0x61;  // SW2 bytes wait for GET RESPONSE

struct Mapping {
    std::uint16_t statusWord;
    CardResult result;
};

// The base's reading of an answer to VERIFY, CHANGE REFERENCE DATA and
// RESET RETRY COUNTER; any other status word is cFailed.
inline constexpr Mapping kPinCommandResults[] = {
    {kOk, cOk},
    {kConditionsNotSatisfied, cAuthMethodBlocked},
    {kReferenceDataNotUsable, cPinWrong},
    {kAuthMethodBlocked, cCounterFailed},
    {kVerificationFailed, cPinWrong},
};

// The result `mappings` give `statusWord`; cFailed when none does.
inline CardResult mapStatus(std::span<const Mapping> mappings, std::uint16_t statusWord) {
    for (const Mapping& mapping : mappings) {
        if (mapping.statusWord == statusWord) return mapping.result;
    }
    return cFailed;
}

}  // namespace kivo::card::sw
