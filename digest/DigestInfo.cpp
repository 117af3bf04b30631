#include "digest/DigestInfo.h"

namespace kivo {
namespace {

constexpr std::uint8_t kMd5[] = {0x06, 0x08, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x02, 0x05, 0x05, 0x00};
constexpr std::uint8_t kSha1[] = {0x06, 0x05, 0x2B, 0x0E, 0x03, 0x02, 0x1A, 0x05, 0x00};
constexpr std::uint8_t kRipemd160[] = {0x06, 0x05, 0x2B, 0x24, 0x03, 0x02, 0x01, 0x05, 0x00};
constexpr std::uint8_t kSha256[] = {0x06, 0x09, 0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02, 0x01, 0x05, 0x00};
constexpr std::uint8_t kSha384[] = {0x06, 0x09, 0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02, 0x02, 0x05, 0x00};
constexpr std::uint8_t kSha512[] = {0x06, 0x09, 0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02, 0x03, 0x05, 0x00};

constexpr std::uint8_t kSequence = 0x30;
constexpr std::uint8_t kOctetString = 0x04;
constexpr std::size_t kMaxShortLength = 0x7F;

}  // namespace

std::span<const std::uint8_t> digestAlgorithmIdentifier(DigestAlgorithm algorithm) {
    switch (algorithm) {
        case DigestAlgorithm::Md5: return kMd5;
        case DigestAlgorithm::Sha1: return kSha1;
        case DigestAlgorithm::Ripemd160: return kRipemd160;
        case DigestAlgorithm::Sha256: return kSha256;
        case DigestAlgorithm::Sha384: return kSha384;
        case DigestAlgorithm::Sha512: return kSha512;
    }
    return kSha256;
}

std::vector<std::uint8_t> digestInfoPrefix(DigestAlgorithm algorithm, std::size_t digestLength) {
    const std::span<const std::uint8_t> identifier = digestAlgorithmIdentifier(algorithm);
    const std::size_t whole = 2 + identifier.size() + 2 + digestLength;
    if (digestLength > kMaxShortLength || whole > kMaxShortLength) return {};
    std::vector<std::uint8_t> prefix = {kSequence, static_cast<std::uint8_t>(whole), kSequence,
                                        static_cast<std::uint8_t>(identifier.size())};
    prefix.insert(prefix.end(), identifier.begin(), identifier.end());
    prefix.push_back(kOctetString);
    prefix.push_back(static_cast<std::uint8_t>(digestLength));
    return prefix;
}

}  // namespace kivo
