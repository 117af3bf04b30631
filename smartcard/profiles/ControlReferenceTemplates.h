// The control reference templates of MANAGE SECURITY ENVIRONMENT (ISO
// 7816-4, in P2 of MSE SET): which operation the key set for is meant for.
#pragma once

#include <cstdint>

namespace kivo::card::crt {

inline constexpr std::uint8_t kAuthentication = 0xA4;
inline constexpr std::uint8_t kHash = 0xAA;
inline constexpr std::uint8_t kDigitalSignature = 0xB6;
inline constexpr std::uint8_t kConfidentiality = 0xB8;

}  // namespace kivo::card::crt
