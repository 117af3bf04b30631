// DER headers, lengths and cursor moves.

#include "asn1/Asn1Der.h"

using kivo::asn1::Id;

namespace kivo::asn1 {
namespace {

constexpr unsigned char kIndefiniteLength = 0x80;
constexpr unsigned char kHighTagNumber = 0x1F;
constexpr std::uint32_t kMaxLengthOctets = 4;

bool isEndOfContents(const unsigned char* q, std::size_t available) {
    return available >= 2 && q[0] == 0 && q[1] == 0;
}

// Content length of an indefinite-length element at `p`: the octets from
// the start of its content up to and including the end-of-contents pair
// that closes it. Nested indefinite elements are followed with a counter
// (no recursion); definite elements inside are skipped whole.
bool indefiniteContentLength(const unsigned char* p, std::size_t available,
                             std::uint32_t* contentLength) {
    std::size_t position = 0;
    std::uint32_t depth = 0;
    while (position < available) {
        const unsigned char* q = p + position;
        const std::size_t left = available - position;
        if (isEndOfContents(q, left)) {
            position += 2;
            if (depth == 0) return false;  // an end-of-contents pair before any opening
            if (--depth == 0) {
                *contentLength = static_cast<std::uint32_t>(position - 2);
                return true;
            }
            continue;
        }
        if (left < 2 || (q[0] & kHighTagNumber) == kHighTagNumber) return false;
        if (q[1] == kIndefiniteLength) {
            if (++depth > kMaxIndefiniteDepth) return false;
            position += 2;
            continue;
        }
        std::uint32_t header = 0;
        std::uint32_t content = 0;
        if (!parseHeader(q, left, &header, &content)) return false;
        position += std::size_t{header} + content;
    }
    return false;  // not closed within the available octets
}

}  // namespace

bool parseHeader(const unsigned char* p, std::size_t available, std::uint32_t* headerSize,
                 std::uint32_t* contentLength) {
    if (p == nullptr || available < 2) return false;
    if ((p[0] & kHighTagNumber) == kHighTagNumber) return false;

    const unsigned char first = p[1];
    std::uint32_t header = 2;
    std::uint64_t content = 0;
    if (first < 0x80) {
        content = first;
    } else if (first == kIndefiniteLength) {
        std::uint32_t walked = 0;
        if (!indefiniteContentLength(p, available, &walked)) return false;
        content = walked;
    } else {
        const std::uint32_t count = first & 0x7Fu;
        if (count > kMaxLengthOctets || available < 2u + count) return false;
        for (std::uint32_t i = 0; i < count; ++i) content = (content << 8) | p[2 + i];
        header += count;
    }
    if (header + content > available) return false;
    *headerSize = header;
    *contentLength = static_cast<std::uint32_t>(content);
    return true;
}

std::uint32_t elementSize(const unsigned char* p, std::size_t available) {
    std::uint32_t header = 0;
    std::uint32_t content = 0;
    if (!parseHeader(p, available, &header, &content)) return 0;
    return header + content;
}

std::uint32_t lengthOctetCount(std::uint32_t contentLength) {
    if (contentLength < 0x80) return 1;
    std::uint32_t count = 1;
    while (count < 4 && (contentLength >> (8 * count)) != 0) ++count;
    return count + 1;
}

std::uint32_t writeLength(unsigned char* out, std::uint32_t contentLength) {
    const std::uint32_t total = lengthOctetCount(contentLength);
    if (total == 1) {
        out[0] = static_cast<unsigned char>(contentLength);
        return 1;
    }
    const std::uint32_t count = total - 1;
    out[0] = static_cast<unsigned char>(0x80u | count);
    for (std::uint32_t i = 0; i < count; ++i) {
        out[1 + i] = static_cast<unsigned char>(contentLength >> (8 * (count - 1 - i)));
    }
    return total;
}

}  // namespace kivo::asn1

using kivo::asn1::elementSize;
using kivo::asn1::parseHeader;

std::uint32_t Asn1GetLength(const unsigned char* p, std::uint32_t* offset, std::size_t available) {
    std::uint32_t header = 0;
    std::uint32_t content = 0;
    if (offset == nullptr || !parseHeader(p, available, &header, &content)) return 0;
    *offset += header;
    return content;
}

Asn1Cursor Asn1Begin(const unsigned char* buffer, std::size_t length) {
    Asn1Cursor cursor;
    if (buffer == nullptr) return cursor;
    cursor.ptr = buffer;
    cursor.limit = buffer + length;
    cursor.size = elementSize(buffer, length);
    return cursor;
}

bool Asn1Next(const unsigned char* p, Asn1Cursor* cursor) {
    if (p == nullptr || cursor == nullptr || cursor->limit == nullptr || p >= cursor->limit) {
        return false;
    }
    std::uint32_t header = 0;
    std::uint32_t content = 0;
    if (!parseHeader(p, static_cast<std::size_t>(cursor->limit - p), &header, &content)) return false;
    const std::uint32_t current = header + content;
    if (current > cursor->size) return false;

    const unsigned char* candidate = p + current;
    std::size_t left = static_cast<std::size_t>(cursor->limit - candidate);
    // The closing pair of an indefinite-length parent is stepped over.
    if (content >= 3 && left >= 2 && candidate[0] == 0 && candidate[1] == 0) {
        candidate += 2;
        left -= 2;
    }
    if (left == 0 || candidate[0] == 0x00 || candidate[0] == 0xFF) return false;
    const std::uint32_t next = elementSize(candidate, left);
    if (next == 0) return false;
    cursor->ptr = candidate;
    cursor->size = next;
    return true;
}

bool Asn1Enter(const unsigned char* p, Asn1Cursor* cursor) {
    if (p == nullptr || cursor == nullptr || cursor->limit == nullptr || p >= cursor->limit) {
        return false;
    }
    std::uint32_t header = 0;
    std::uint32_t content = 0;
    if (!parseHeader(p, static_cast<std::size_t>(cursor->limit - p), &header, &content)) return false;

    const unsigned char* start = p + header;
    const unsigned char* end = start + content;
    if (p[0] == Id::BitString && content > 0) ++start;  // unused-bits octet
    const std::size_t left = static_cast<std::size_t>(end - start);
    std::uint32_t childSize = 0;
    const bool noChildren = left == 0 || (left >= 2 && start[0] == 0 && start[1] == 0);
    if (!noChildren) {
        childSize = elementSize(start, left);
        if (childSize == 0) return false;  // the cursor stays where it was
    }
    cursor->ptr = start;
    cursor->limit = end;
    cursor->size = childSize;
    return true;
}

unsigned Asn1Tag(const unsigned char* p) {
    if (p == nullptr) return 0;
    return (p[0] & 0xC0u) == 0 ? (p[0] & 0x1Fu) : p[0];
}

unsigned Asn1TagClass(const unsigned char* p) { return p == nullptr ? 0 : (p[0] & 0xC0u); }

unsigned Asn1TagNumber(const unsigned char* p) { return p == nullptr ? 0 : (p[0] & 0x1Fu); }
