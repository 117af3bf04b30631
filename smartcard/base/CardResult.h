// Result codes of the card operations (32-bit unsigned).
#pragma once

#include <cstdint>

using CardResult = std::uint32_t;

namespace kivo::card {

constexpr CardResult cOk = 0;
constexpr CardResult cWrongLength = 1;          // 6700
constexpr CardResult cWrongDataLength = 2;      // 6A87
constexpr CardResult cEndOfFile = 3;            // 6282: a successful last chunk
constexpr CardResult cAuthMethodBlocked = 4;    // 6985
constexpr CardResult cPinWrong = 5;             // 6984, 6300
constexpr CardResult cCounterFailed = 6;        // 6983: PIN blocked
constexpr CardResult cPinPadAborted = 7;        // pin-pad entry cancelled or timed out
constexpr CardResult cChallengeRefused = 8;     // 6985, 6800 on GET CHALLENGE
constexpr CardResult cIncompatibleFile = 10;    // 6981
constexpr CardResult cNoCurrentEf = 11;         // 6986
constexpr CardResult cFileNotFound = 12;        // 6A82
constexpr CardResult cSecurityStatus = 13;      // 6982
constexpr CardResult cAuthFailed = 14;
constexpr CardResult cPaceInitFailed = 15;
constexpr CardResult cFailed = 255;             // transport failure or any other status

}  // namespace kivo::card

// The names the card layer's callers know these by.
constexpr CardResult SC_CMD_COUNTERFAILED = kivo::card::cCounterFailed;
constexpr CardResult SC_CMD_AUTH_FAILED = kivo::card::cAuthFailed;
constexpr CardResult SC_CMD_PACE_INIT_FAILED = kivo::card::cPaceInitFailed;
constexpr CardResult SC_CMD_FAILED = kivo::card::cFailed;
