// The fixed table of OIDs the library names in text output.
//
// Each entry carries the DER encoding of its OID (identifier 06, one length
// octet, content), the dotted text and the name. The encodings are computed
// from the dotted text when the library is compiled, so the two can never
// disagree. Lookups compare dotted text only, front to back; the first match
// wins, so a later entry with the same dotted text is never returned.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace kivo::asn1 {

inline constexpr std::size_t kOidRegistryDerCapacity = 16;

struct OidRegistryEntry {
    std::uint32_t derLength;  // identifier and length octets included
    std::array<unsigned char, kOidRegistryDerCapacity> der;
    const char* dotted;
    const char* name;
};

// All entries in table order.
std::span<const OidRegistryEntry> oidRegistry();

}  // namespace kivo::asn1
