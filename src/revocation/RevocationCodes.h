// The result codes of the revocation checks, shared by CCrlSSL, the OCSP
// exchange and the revocation step of verification.
#pragma once

#include <cstdint>

namespace kivo::revocation {

inline constexpr std::uint32_t kRevoked = 0x80000004;            // listed, or revoked per the responder
inline constexpr std::uint32_t kNoCrl = 0x80000080;              // no CRL could be read
inline constexpr std::uint32_t kOcspCommunication = 0x80000200;  // connection, tunnel, request, response
inline constexpr std::uint32_t kUnknownStatus = 0x80000800;      // status unknown
inline constexpr std::uint32_t kOcspNoUrl = 0x80080000;          // URL or proxy address unusable

}  // namespace kivo::revocation
