// The digest algorithms the library computes itself, and their classes.
#pragma once

#include "digest/IMessageDigest.h"

#include <cstddef>
#include <memory>

namespace kivo {

enum class DigestAlgorithm { Sha1, Sha256, Sha384, Sha512, Ripemd160, Md5 };

// A fresh digest object for `algorithm` (CSHA 0..3, CRIPEMD 1, CMD5).
std::unique_ptr<IMessageDigest> newDigest(DigestAlgorithm algorithm);

// Output length of `algorithm` in octets.
std::size_t digestLength(DigestAlgorithm algorithm);

// Feeds `length` octets to `digest`, in pieces that fit its 32-bit Update.
void updateDigest(IMessageDigest& digest, const unsigned char* data, std::size_t length);

}  // namespace kivo
