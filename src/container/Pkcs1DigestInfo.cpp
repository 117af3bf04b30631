#include "src/container/Pkcs1DigestInfo.h"

#include "digest/DigestInfo.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <iterator>
#include <vector>

namespace kivo::pkcs1 {
namespace {

enum Index { kSha1, kSha256, kSha384, kSha512, kRipemd160, kMd5 };

constexpr std::array<HashKind, 6> kHashes = {{
    {"1.3.14.3.2.26", "1.2.840.113549.1.1.5", 20, 1},
    {"2.16.840.1.101.3.4.2.1", "1.2.840.113549.1.1.11", 32, 4},
    {"2.16.840.1.101.3.4.2.2", "1.2.840.113549.1.1.12", 48, 5},
    {"2.16.840.1.101.3.4.2.3", "1.2.840.113549.1.1.13", 64, 6},
    {"1.3.36.3.2.1", "1.3.36.3.3.1.2", 20, 2},
    {"1.2.840.113549.2.5", "1.2.840.113549.1.1.4", 16, 3},
}};

constexpr DigestAlgorithm kAlgorithms[] = {DigestAlgorithm::Sha1,   DigestAlgorithm::Sha256,
                                           DigestAlgorithm::Sha384, DigestAlgorithm::Sha512,
                                           DigestAlgorithm::Ripemd160, DigestAlgorithm::Md5};
static_assert(std::size(kAlgorithms) == kHashes.size());

// DigestInfo up to and including the OCTET STRING header of the hash, by
// Index, in the order they are compared.
const std::vector<std::vector<std::uint8_t>>& digestInfoPrefixes() {
    static const std::vector<std::vector<std::uint8_t>> prefixes = [] {
        std::vector<std::vector<std::uint8_t>> made;
        for (std::size_t i = 0; i < kHashes.size(); ++i) {
            made.push_back(digestInfoPrefix(kAlgorithms[i], kHashes[i].length));
        }
        return made;
    }();
    return prefixes;
}

}  // namespace

const HashKind* hashByDigestOid(std::string_view dotted) {
    for (const HashKind& kind : kHashes) {
        if (kind.digestOid == dotted) return &kind;
    }
    return nullptr;
}

const HashKind* hashOfPkcs1Block(std::span<const unsigned char> block) {
    if (block.size() < 3 || block[0] > 2) return nullptr;
    std::size_t at = 2;
    while (at < block.size() && block[at] != 0) ++at;
    if (at >= block.size()) return nullptr;
    const auto digestInfo = block.subspan(at + 1);
    const auto& prefixes = digestInfoPrefixes();
    for (std::size_t i = 0; i < prefixes.size(); ++i) {
        const std::vector<std::uint8_t>& prefix = prefixes[i];
        if (digestInfo.size() >= prefix.size() && std::equal(prefix.begin(), prefix.end(), digestInfo.begin())) {
            return &kHashes[i];
        }
    }
    return nullptr;
}

const HashKind& hashOrSha1(const HashKind* kind) { return kind != nullptr ? *kind : kHashes[kSha1]; }

}  // namespace kivo::pkcs1
