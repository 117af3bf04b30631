#include "src/container/Pkcs1DigestInfo.h"

#include <algorithm>
#include <array>
#include <cstdint>

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

// DigestInfo up to and including the OCTET STRING header of the hash, in
// the order they are compared.
struct Prefix {
    Index hash;
    std::array<std::uint8_t, 19> octets;
    std::size_t size;
};
constexpr Prefix kPrefixes[] = {
    {kSha1, {0x30, 0x21, 0x30, 0x09, 0x06, 0x05, 0x2B, 0x0E, 0x03, 0x02, 0x1A, 0x05, 0x00, 0x04, 0x14}, 15},
    {kSha256, {0x30, 0x31, 0x30, 0x0D, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02, 0x01,
               0x05, 0x00, 0x04, 0x20}, 19},
    {kSha384, {0x30, 0x41, 0x30, 0x0D, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02, 0x02,
               0x05, 0x00, 0x04, 0x30}, 19},
    {kSha512, {0x30, 0x51, 0x30, 0x0D, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02, 0x03,
               0x05, 0x00, 0x04, 0x40}, 19},
    {kRipemd160, {0x30, 0x21, 0x30, 0x09, 0x06, 0x05, 0x2B, 0x24, 0x03, 0x02, 0x01, 0x05, 0x00, 0x04, 0x14}, 15},
    {kMd5, {0x30, 0x20, 0x30, 0x0C, 0x06, 0x08, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x02, 0x05, 0x05, 0x00,
            0x04, 0x10}, 18},
};

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
    for (const Prefix& prefix : kPrefixes) {
        if (digestInfo.size() >= prefix.size &&
            std::equal(prefix.octets.begin(), prefix.octets.begin() + prefix.size, digestInfo.begin())) {
            return &kHashes[prefix.hash];
        }
    }
    return nullptr;
}

const HashKind& hashOrSha1(const HashKind* kind) { return kind != nullptr ? *kind : kHashes[kSha1]; }

}  // namespace kivo::pkcs1
