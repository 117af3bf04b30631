// OpenSSL checks of what the card returns: signatures verified against the
// public part of a key file, and encryption for the decipher round trip.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kivo::test {

using ByteVector = std::vector<std::uint8_t>;

// The SHA-256 DigestInfo of `data`, as a host sends it for PKCS#1 signing.
ByteVector sha256DigestInfo(const ByteVector& data);
ByteVector sha256(const ByteVector& data);

// RSA PKCS#1 v1.5 signature over a SHA-256 hash, checked with the key in
// `pemFile` (a private key file; its public part is used).
bool verifyRsaSha256(const std::string& pemFile, const ByteVector& hash, const ByteVector& signature);
// ECDSA signature in plain r || s form over `hash`.
bool verifyEcdsaPlain(const std::string& pemFile, const ByteVector& hash, const ByteVector& signature);
// RSA PKCS#1 v1.5 encryption with the public part of the key in `pemFile`.
ByteVector rsaEncrypt(const std::string& pemFile, const ByteVector& plain);

// Writes a fresh key to `pemFile`: "rsa2048" or "ec256".
bool writeKey(const std::string& pemFile, const std::string& kind);

}  // namespace kivo::test
