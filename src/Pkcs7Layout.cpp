#include "src/Pkcs7Layout.h"

#include "asn1/Asn1Der.h"

#include <cstdint>
#include <cstring>

namespace kivo::pkcs7 {
namespace {

constexpr unsigned char kSignedDataOid[] = {0x06, 0x09, 0x2A, 0x86, 0x48, 0x86,
                                            0xF7, 0x0D, 0x01, 0x07, 0x02};
// 1.2.840.113549.1.9.16.2.14 (id-aa-timeStampToken).
constexpr unsigned char kTimeStampTokenOid[] = {0x06, 0x0B, 0x2A, 0x86, 0x48, 0x86, 0xF7,
                                                0x0D, 0x01, 0x09, 0x10, 0x02, 0x0E};

constexpr unsigned char kInteger = 0x02;
constexpr unsigned char kOctetString = 0x04;
constexpr unsigned char kSequence = 0x30;
constexpr unsigned char kSet = 0x31;
constexpr unsigned char kContext0 = 0xA0;
constexpr unsigned char kContext1 = 0xA1;
constexpr unsigned char kTwoLengthOctets = 0x82;
constexpr std::size_t kMaxTwoOctetLength = 0xFFFF;

// Fixed offsets of the layout.
constexpr std::size_t kContentWrapper = 15;
constexpr std::size_t kSignedData = 19;
constexpr std::size_t kVersion = 23;
constexpr std::size_t kDigestAlgorithms = 26;

std::size_t readLength16(std::span<const unsigned char> m, std::size_t at) {
    return static_cast<std::size_t>(m[at]) << 8 | m[at + 1];
}

void writeLength16(unsigned char* p, std::size_t at, std::size_t value) {
    p[at] = static_cast<unsigned char>(value >> 8);
    p[at + 1] = static_cast<unsigned char>(value);
}

// An element header "identifier 82 LL LL" at `at` whose content runs to
// exactly `end`.
bool longHeaderEndingAt(std::span<const unsigned char> m, std::size_t at, unsigned char identifier,
                        std::size_t end) {
    if (at + 4 > m.size() || m[at] != identifier || m[at + 1] != kTwoLengthOctets) return false;
    return at + 4 + readLength16(m, at + 2) == end;
}

// True when the octets [begin, end) are a run of whole DER elements.
bool wholeElements(std::span<const unsigned char> m, std::size_t begin, std::size_t end) {
    while (begin < end) {
        const std::uint32_t size = asn1::elementSize(m.data() + begin, end - begin);
        if (size == 0) return false;
        begin += size;
    }
    return begin == end;
}

// Header of the element at `at` within [at, end): its content offset and
// length; false when malformed or it does not fit.
bool elementAt(std::span<const unsigned char> m, std::size_t at, std::size_t end,
               std::size_t* contentOffset, std::size_t* contentLength) {
    std::uint32_t header = 0;
    std::uint32_t content = 0;
    if (at >= end || !asn1::parseHeader(m.data() + at, end - at, &header, &content)) return false;
    *contentOffset = at + header;
    *contentLength = content;
    return true;
}

// The SignerInfo's fields in order: version, sid, digestAlgorithm,
// [0] signedAttrs (optional), signatureAlgorithm, signature, [1]
// unsignedAttrs (optional), nothing after.
bool readSignerInfo(std::span<const unsigned char> m, std::size_t begin, std::size_t end,
                    BuilderLayout* layout) {
    std::size_t at = begin;
    std::size_t content = 0;
    std::size_t length = 0;
    const auto next = [&](unsigned char identifier) {
        if (at >= end || m[at] != identifier || !elementAt(m, at, end, &content, &length)) return false;
        at = content + length;
        return true;
    };
    if (!next(kInteger) || !next(kSequence) || !next(kSequence)) return false;
    if (at < end && m[at] == kContext0 && !next(kContext0)) return false;
    if (!next(kSequence) || !next(kOctetString)) return false;
    layout->signatureValue = content;
    layout->signatureLength = length;
    layout->hasUnsignedAttributes = at < end && m[at] == kContext1;
    if (layout->hasUnsignedAttributes && !next(kContext1)) return false;
    return at == end;
}

}  // namespace

std::optional<BuilderLayout> readBuilderLayout(std::span<const unsigned char> m) {
    const std::size_t length = m.size();
    if (length < kDigestAlgorithms + 2 || length > kMaxTwoOctetLength + 4) return std::nullopt;

    // The three outer headers all end where the message ends.
    if (!longHeaderEndingAt(m, 0, kSequence, length)) return std::nullopt;
    if (std::memcmp(m.data() + 4, kSignedDataOid, sizeof kSignedDataOid) != 0) return std::nullopt;
    if (!longHeaderEndingAt(m, kContentWrapper, kContext0, length)) return std::nullopt;
    if (!longHeaderEndingAt(m, kSignedData, kSequence, length)) return std::nullopt;
    if (m[kVersion] != kInteger || m[kVersion + 1] != 0x01) return std::nullopt;

    // digestAlgorithms and EncapsulatedContentInfo, each with a one-octet length.
    if (m[kDigestAlgorithms] != kSet || m[kDigestAlgorithms + 1] >= 0x80) return std::nullopt;
    const std::size_t contentInfo = kDigestAlgorithms + 2 + m[kDigestAlgorithms + 1];
    if (!wholeElements(m, kDigestAlgorithms + 2, contentInfo)) return std::nullopt;
    if (contentInfo + 2 > length || m[contentInfo] != kSequence || m[contentInfo + 1] >= 0x80) {
        return std::nullopt;
    }
    const std::size_t certificates = contentInfo + 2 + m[contentInfo + 1];
    if (!wholeElements(m, contentInfo + 2, certificates)) return std::nullopt;

    // Certificates [0] with a two-octet length; the SignerInfos follow directly.
    if (certificates + 4 > length || m[certificates] != kContext0 ||
        m[certificates + 1] != kTwoLengthOctets) {
        return std::nullopt;
    }
    const std::size_t c = certificates + readLength16(m, certificates + 2);
    BuilderLayout layout;
    layout.signerInfos = c + 4;
    layout.signerInfo = c + 8;
    if (layout.signerInfos > length || !wholeElements(m, certificates + 4, layout.signerInfos)) {
        return std::nullopt;
    }
    if (!longHeaderEndingAt(m, layout.signerInfos, kSet, length) ||
        !longHeaderEndingAt(m, layout.signerInfo, kSequence, length)) {
        return std::nullopt;
    }
    if (!readSignerInfo(m, layout.signerInfo + 4, length, &layout)) return std::nullopt;
    return layout;
}

bool appendTimeStampToken(unsigned char* der, std::size_t length,
                          std::span<const unsigned char> token, std::size_t* newLength) {
    if (der == nullptr || token.data() == nullptr || token.empty() || newLength == nullptr) return false;
    const std::span<const unsigned char> message(der, length);
    const auto layout = readBuilderLayout(message);
    if (!layout || layout->hasUnsignedAttributes) return false;
    if (asn1::elementSize(token.data(), token.size()) != token.size()) return false;

    const std::size_t t = token.size();
    const std::size_t n = length + kTimeStampAttributeHeader + t;
    if (n - 4 > kMaxTwoOctetLength) return false;

    // The token first, so that a token the caller keeps right behind the
    // message is moved before the header overwrites it.
    std::memmove(der + length + kTimeStampAttributeHeader, token.data(), t);
    unsigned char* p = der + length;
    p[0] = kContext1;
    p[1] = kTwoLengthOctets;
    writeLength16(p, 2, t + 21);
    p[4] = kSequence;
    p[5] = kTwoLengthOctets;
    writeLength16(p, 6, t + 17);
    std::memcpy(p + 8, kTimeStampTokenOid, sizeof kTimeStampTokenOid);
    p[21] = kSet;
    p[22] = kTwoLengthOctets;
    writeLength16(p, 23, t);

    writeLength16(der, 2, n - 4);
    writeLength16(der, kContentWrapper + 2, n - kContentWrapper - 4);
    writeLength16(der, kSignedData + 2, n - kSignedData - 4);
    writeLength16(der, layout->signerInfos + 2, n - layout->signerInfos - 4);
    writeLength16(der, layout->signerInfo + 2, n - layout->signerInfo - 4);
    *newLength = n;
    return true;
}

}  // namespace kivo::pkcs7
