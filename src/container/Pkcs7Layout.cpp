#include "src/container/Pkcs7Layout.h"

#include "asn1/Asn1Der.h"

#include <cstdint>
#include <cstring>
#include <vector>

using kivo::asn1::Id;

namespace kivo::pkcs7 {
namespace {

constexpr unsigned char kSignedDataOid[] = {0x06, 0x09, 0x2A, 0x86, 0x48, 0x86,
                                            0xF7, 0x0D, 0x01, 0x07, 0x02};
// 1.2.840.113549.1.9.16.2.14 (id-aa-timeStampToken).
constexpr unsigned char kTimeStampTokenOid[] = {0x06, 0x0B, 0x2A, 0x86, 0x48, 0x86, 0xF7,
                                                0x0D, 0x01, 0x09, 0x10, 0x02, 0x0E};
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

// An element header "identifier 82 LL LL" at `at` whose content runs to
// exactly `end`.
bool longHeaderEndingAt(std::span<const unsigned char> m, std::size_t at, Id identifier,
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
    const auto next = [&](Id identifier) {
        if (at >= end || m[at] != identifier || !elementAt(m, at, end, &content, &length)) return false;
        at = content + length;
        return true;
    };
    if (!next(Id::Integer) || !next(Id::Sequence) || !next(Id::Sequence)) return false;
    if (at < end && m[at] == Id::Context0 && !next(Id::Context0)) return false;
    if (!next(Id::Sequence) || !next(Id::OctetString)) return false;
    layout->signatureValue = content;
    layout->signatureLength = length;
    layout->hasUnsignedAttributes = at < end && m[at] == Id::Context1;
    if (layout->hasUnsignedAttributes && !next(Id::Context1)) return false;
    return at == end;
}


// ---- time-stamp insertion into any SignedData ----------------------------------------

constexpr unsigned char kIndefiniteLength = 0x80;

// One element of the chain that encloses the end of the message: its
// offset, header size and content length.
struct Enclosing {
    std::size_t start = 0;
    std::size_t header = 0;
    std::size_t content = 0;
    std::size_t contentStart() const { return start + header; }
};

// The element at `at` with `identifier`, in definite-length form, whose
// content ends exactly at `end`.
std::optional<Enclosing> enclosingAt(std::span<const unsigned char> m, std::size_t at, Id identifier,
                                     std::size_t end) {
    std::size_t content = 0;
    std::size_t length = 0;
    if (at + 2 > end || m[at] != identifier || m[at + 1] == kIndefiniteLength) return std::nullopt;
    if (!elementAt(m, at, end, &content, &length) || content + length != end) return std::nullopt;
    return Enclosing{at, content - at, length};
}

// The SignedData fields before the SignerInfos: version, digestAlgorithms,
// encapContentInfo, [0] certificates and [1] crls (both optional); the
// offset of the SignerInfos SET that follows, or nothing.
std::optional<std::size_t> signerInfosAfterFields(std::span<const unsigned char> m, std::size_t at, std::size_t end) {
    std::size_t content = 0;
    std::size_t length = 0;
    const auto skip = [&](Id identifier) {
        if (at + 2 > end || m[at] != identifier || m[at + 1] == kIndefiniteLength ||
            !elementAt(m, at, end, &content, &length)) {
            return false;
        }
        at = content + length;
        return true;
    };
    if (!skip(Id::Integer) || !skip(Id::Set) || !skip(Id::Sequence)) return std::nullopt;
    if (at < end && m[at] == Id::Context0 && !skip(Id::Context0)) return std::nullopt;
    if (at < end && m[at] == Id::Context1 && !skip(Id::Context1)) return std::nullopt;
    return at;
}

// ContentInfo, [0], SignedData, SignerInfos, the only SignerInfo and, when
// present, its [1] unsigned attributes: each the last element of the one
// before, all ending at the end of `m`.
std::optional<std::vector<Enclosing>> enclosingChain(std::span<const unsigned char> m) {
    const std::size_t end = m.size();
    std::vector<Enclosing> chain;
    const auto push = [&](std::size_t at, Id identifier) {
        const auto element = enclosingAt(m, at, identifier, end);
        if (element) chain.push_back(*element);
        return element.has_value();
    };
    if (!push(0, Id::Sequence)) return std::nullopt;
    const std::size_t oid = chain.back().contentStart();
    if (oid + sizeof kSignedDataOid > end || std::memcmp(m.data() + oid, kSignedDataOid, sizeof kSignedDataOid) != 0) {
        return std::nullopt;
    }
    if (!push(oid + sizeof kSignedDataOid, Id::Context0)) return std::nullopt;
    if (!push(chain.back().contentStart(), Id::Sequence)) return std::nullopt;
    const auto signerInfos = signerInfosAfterFields(m, chain.back().contentStart(), end);
    if (!signerInfos || !push(*signerInfos, Id::Set)) return std::nullopt;
    if (!push(chain.back().contentStart(), Id::Sequence)) return std::nullopt;
    BuilderLayout fields;
    const Enclosing& signerInfo = chain.back();
    if (!readSignerInfo(m, signerInfo.contentStart(), end, &fields)) return std::nullopt;
    if (fields.hasUnsignedAttributes) {
        // readSignerInfo checked that the unsigned attributes end the SignerInfo.
        std::size_t at = signerInfo.contentStart();
        std::size_t content = 0;
        std::size_t length = 0;
        while (elementAt(m, at, end, &content, &length) && content + length != end) at = content + length;
        if (!push(at, Id::Context1)) return std::nullopt;
    }
    return chain;
}

// Length octets (after the identifier) that `header` bytes of header hold.
std::size_t lengthOctetsOf(const Enclosing& element) { return element.header - 1; }

// How many length octets a length needs when the element had `current`:
// the current count while the length fits it, else the shortest form.
std::size_t lengthOctetsFor(std::size_t length, std::size_t current) {
    const std::size_t capacityBits = current == 1 ? 7 : 8 * (current - 1);
    if (capacityBits >= 8 * sizeof(std::size_t) || length < (std::size_t{1} << capacityBits)) return current;
    return asn1::lengthOctetCount(static_cast<std::uint32_t>(length));
}

// Writes `length` in `octets` length octets (1: short form) at `out`.
void writeLengthOctets(unsigned char* out, std::size_t length, std::size_t octets) {
    if (octets == 1) {
        out[0] = static_cast<unsigned char>(length);
        return;
    }
    out[0] = static_cast<unsigned char>(0x80 | (octets - 1));
    for (std::size_t i = 1; i < octets; ++i) out[i] = static_cast<unsigned char>(length >> (8 * (octets - 1 - i)));
}

// Identifier and length of an element holding `content` octets: two-octet
// lengths where they fit, as the builder writes them, else the shortest.
std::size_t writeAttributeHeader(unsigned char* out, Id identifier, std::size_t content) {
    const std::size_t octets = content <= kMaxTwoOctetLength ? 3 : asn1::lengthOctetCount(static_cast<std::uint32_t>(content));
    out[0] = asn1::octet(identifier);
    writeLengthOctets(out + 1, content, octets);
    return 1 + octets;
}

std::size_t attributeHeaderSize(std::size_t content) {
    return 1 + (content <= kMaxTwoOctetLength ? 3 : asn1::lengthOctetCount(static_cast<std::uint32_t>(content)));
}

// The elements around a token of `t` octets: the [1] header when the
// SignerInfo has no unsigned attributes yet, the Attribute SEQUENCE with
// its OID, and the SET holding the token.
struct AttributeSizes {
    explicit AttributeSizes(std::size_t t)
        : token(t),
          set(attributeHeaderSize(t) + t),
          attribute(sizeof kTimeStampTokenOid + set),
          sequence(attributeHeaderSize(attribute) + attribute) {}

    // The octets written in front of the token.
    std::size_t prefix(bool withUnsignedAttributes) const {
        return sequence - token + (withUnsignedAttributes ? attributeHeaderSize(sequence) : 0);
    }

    void writePrefix(unsigned char* out, bool withUnsignedAttributes) const {
        if (withUnsignedAttributes) out += writeAttributeHeader(out, Id::Context1, sequence);
        out += writeAttributeHeader(out, Id::Sequence, attribute);
        std::memcpy(out, kTimeStampTokenOid, sizeof kTimeStampTokenOid);
        writeAttributeHeader(out + sizeof kTimeStampTokenOid, Id::Set, token);
    }

    std::size_t token, set, attribute, sequence;
};

// What appending a token of `t` octets does to the chain.
struct Insertion {
    std::vector<Enclosing> chain;
    std::vector<std::size_t> newLengthOctets;  // per chain element
    std::vector<std::size_t> shift;            // how far each element's content moves
    bool newUnsignedAttributes = false;
    std::size_t prefix = 0;                    // octets written in front of the token
    std::size_t newLength = 0;
};

std::optional<Insertion> planInsertion(std::span<const unsigned char> m, std::size_t t) {
    auto chain = enclosingChain(m);
    if (!chain) return std::nullopt;
    Insertion plan;
    plan.chain = std::move(*chain);
    // The chain has five elements, six with existing unsigned attributes.
    plan.newUnsignedAttributes = plan.chain.size() == 5;
    plan.prefix = AttributeSizes(t).prefix(plan.newUnsignedAttributes);
    const std::size_t count = plan.chain.size();
    plan.newLengthOctets.resize(count);
    plan.shift.resize(count);
    // Innermost first: each element grows by what is appended plus the
    // growth of the headers inside it.
    std::size_t added = plan.prefix + t;
    std::vector<std::size_t> growth(count);
    for (std::size_t i = count; i-- > 0;) {
        const Enclosing& element = plan.chain[i];
        const std::size_t newContent = element.content + added;
        if (newContent > 0xFFFFFFFFu) return std::nullopt;
        plan.newLengthOctets[i] = lengthOctetsFor(newContent, lengthOctetsOf(element));
        growth[i] = plan.newLengthOctets[i] - lengthOctetsOf(element);
        added += growth[i];
    }
    std::size_t shift = 0;
    for (std::size_t i = 0; i < count; ++i) {
        shift += growth[i];
        plan.shift[i] = shift;
    }
    plan.newLength = m.size() + added;
    return plan;
}

}  // namespace

std::optional<BuilderLayout> readBuilderLayout(std::span<const unsigned char> m) {
    const std::size_t length = m.size();
    if (length < kDigestAlgorithms + 2 || length > kMaxTwoOctetLength + 4) return std::nullopt;

    // The three outer headers all end where the message ends.
    if (!longHeaderEndingAt(m, 0, Id::Sequence, length)) return std::nullopt;
    if (std::memcmp(m.data() + 4, kSignedDataOid, sizeof kSignedDataOid) != 0) return std::nullopt;
    if (!longHeaderEndingAt(m, kContentWrapper, Id::Context0, length)) return std::nullopt;
    if (!longHeaderEndingAt(m, kSignedData, Id::Sequence, length)) return std::nullopt;
    if (m[kVersion] != Id::Integer || m[kVersion + 1] != 0x01) return std::nullopt;

    // digestAlgorithms and EncapsulatedContentInfo, each with a one-octet length.
    if (m[kDigestAlgorithms] != Id::Set || m[kDigestAlgorithms + 1] >= 0x80) return std::nullopt;
    const std::size_t contentInfo = kDigestAlgorithms + 2 + m[kDigestAlgorithms + 1];
    if (!wholeElements(m, kDigestAlgorithms + 2, contentInfo)) return std::nullopt;
    if (contentInfo + 2 > length || m[contentInfo] != Id::Sequence || m[contentInfo + 1] >= 0x80) {
        return std::nullopt;
    }
    const std::size_t certificates = contentInfo + 2 + m[contentInfo + 1];
    if (!wholeElements(m, contentInfo + 2, certificates)) return std::nullopt;

    // Certificates [0] with a two-octet length; the SignerInfos follow directly.
    if (certificates + 4 > length || m[certificates] != Id::Context0 ||
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
    if (!longHeaderEndingAt(m, layout.signerInfos, Id::Set, length) ||
        !longHeaderEndingAt(m, layout.signerInfo, Id::Sequence, length)) {
        return std::nullopt;
    }
    if (!readSignerInfo(m, layout.signerInfo + 4, length, &layout)) return std::nullopt;
    return layout;
}

std::optional<std::size_t> timeStampedLength(std::span<const unsigned char> message, std::size_t tokenLength) {
    const auto plan = planInsertion(message, tokenLength);
    if (!plan) return std::nullopt;
    return plan->newLength;
}

bool appendTimeStampToken(unsigned char* der, std::size_t length, std::size_t capacity,
                          std::span<const unsigned char> token, std::size_t* newLength) {
    if (der == nullptr || token.data() == nullptr || token.empty() || newLength == nullptr) return false;
    if (length > capacity || asn1::elementSize(token.data(), token.size()) != token.size()) return false;
    const auto plan = planInsertion({der, length}, token.size());
    if (!plan || plan->newLength > capacity) return false;

    // A token inside the caller's buffer could be overwritten by the moves.
    std::vector<unsigned char> ownCopy;
    if (token.data() < der + capacity && der < token.data() + token.size()) {
        ownCopy.assign(token.begin(), token.end());
        token = ownCopy;
    }

    // Innermost first, each element's content (up to the next element of the
    // chain, or the end) moves right by its shift, then its header is
    // rewritten in front of it. Everything moves right, so moving the last
    // part first never overwrites what has still to move.
    const std::size_t count = plan->chain.size();
    for (std::size_t i = count; i-- > 0;) {
        const Enclosing& element = plan->chain[i];
        const std::size_t partEnd = i + 1 < count ? plan->chain[i + 1].start : length;
        const std::size_t partStart = element.contentStart();
        const unsigned char identifier = der[element.start];
        std::memmove(der + partStart + plan->shift[i], der + partStart, partEnd - partStart);
        const std::size_t headerAt = element.start + (i > 0 ? plan->shift[i - 1] : 0);
        const std::size_t newContent = plan->newLength - (partStart + plan->shift[i]);
        der[headerAt] = identifier;
        writeLengthOctets(der + headerAt + 1, newContent, plan->newLengthOctets[i]);
    }
    unsigned char* attribute = der + length + plan->shift[count - 1];
    AttributeSizes(token.size()).writePrefix(attribute, plan->newUnsignedAttributes);
    std::memcpy(attribute + plan->prefix, token.data(), token.size());
    *newLength = plan->newLength;
    return true;
}

}  // namespace kivo::pkcs7
