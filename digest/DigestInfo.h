// The DigestInfo of PKCS#1 v1.5 signatures (RFC 8017, 9.2): the digest's
// AlgorithmIdentifier, kept once for every place that builds or reads one.
#pragma once

#include "digest/DigestFactory.h"

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace kivo {

// The contents of the AlgorithmIdentifier SEQUENCE of `algorithm`: its OID
// and NULL parameters.
std::span<const std::uint8_t> digestAlgorithmIdentifier(DigestAlgorithm algorithm);

// The DigestInfo octets in front of a digest of `digestLength` octets:
// the SEQUENCE header, the AlgorithmIdentifier and the OCTET STRING header.
// Short-form lengths only; empty when the whole would need a long form.
std::vector<std::uint8_t> digestInfoPrefix(DigestAlgorithm algorithm, std::size_t digestLength);

}  // namespace kivo
