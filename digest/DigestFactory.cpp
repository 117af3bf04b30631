#include "digest/DigestFactory.h"

#include "digest/Md5.h"
#include "digest/Ripemd.h"
#include "digest/Sha.h"

#include <algorithm>
#include <cstdint>

namespace kivo {

std::unique_ptr<IMessageDigest> newDigest(DigestAlgorithm algorithm) {
    switch (algorithm) {
        case DigestAlgorithm::Sha1: return std::make_unique<CSHA>(0);
        case DigestAlgorithm::Sha256: return std::make_unique<CSHA>(1);
        case DigestAlgorithm::Sha384: return std::make_unique<CSHA>(2);
        case DigestAlgorithm::Sha512: return std::make_unique<CSHA>(3);
        case DigestAlgorithm::Ripemd160: return std::make_unique<CRIPEMD>(1);
        case DigestAlgorithm::Md5: return std::make_unique<CMD5>();
    }
    return nullptr;
}

std::size_t digestLength(DigestAlgorithm algorithm) {
    switch (algorithm) {
        case DigestAlgorithm::Sha1: return 20;
        case DigestAlgorithm::Sha256: return 32;
        case DigestAlgorithm::Sha384: return 48;
        case DigestAlgorithm::Sha512: return 64;
        case DigestAlgorithm::Ripemd160: return 20;
        case DigestAlgorithm::Md5: return 16;
    }
    return 0;
}

void updateDigest(IMessageDigest& digest, const unsigned char* data, std::size_t length) {
    // Large pieces keep the per-call overhead negligible; a multiple of the
    // largest block size keeps the buffered remainder empty between pieces.
    constexpr std::size_t kPiece = std::size_t{1} << 30;
    while (length > 0) {
        const std::size_t piece = std::min(length, kPiece);
        digest.Update(data, static_cast<std::uint32_t>(piece));
        data += piece;
        length -= piece;
    }
}

}  // namespace kivo
