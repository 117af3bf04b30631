// CAsn1Base: owned encoding, accessors, the decode walk and length writing.

#include "asn1/Asn1Base.h"

#include "asn1/DerCursor.h"

#include <cstring>
#include <limits>

using kivo::asn1::Id;
using kivo::asn1::octet;

namespace {

// Largest element the class family builds: lengths take at most four
// octets, so the whole element must stay addressable by 32-bit sizes.
constexpr std::size_t kMaxElement = std::numeric_limits<std::uint32_t>::max();
constexpr std::size_t kMaxHeader = 1 + 5;

}  // namespace

CAsn1Base::CAsn1Base() { resetCursor(); }

CAsn1Base::~CAsn1Base() = default;

std::int32_t CAsn1Base::getError() const { return error; }
std::uint32_t CAsn1Base::getTag() const { return tag; }
std::uint32_t CAsn1Base::getElementSize() const { return elementSize; }
const unsigned char* CAsn1Base::getPb() const { return pb.get(); }
std::uint32_t CAsn1Base::getCb() const { return cb; }

std::span<const unsigned char> CAsn1Base::bytes() const {
    if (!pb) return {};
    return {pb.get(), cb};
}

void CAsn1Base::resetCursor() { cursor = Asn1Begin(pb.get(), cb); }

bool CAsn1Base::cursorNext() {
    if (cursor.ptr == nullptr || cursor.size == 0) return fail();
    Asn1Cursor moved = cursor;
    if (!Asn1Next(cursor.ptr, &moved)) return fail();
    // Asn1Next keeps the new element inside the enclosing limit; the check
    // is repeated here since every decoder relies on it.
    if (moved.ptr + moved.size > moved.limit) return fail();
    cursor = moved;
    return true;
}

bool CAsn1Base::cursorEnter() {
    if (cursor.ptr == nullptr || cursor.size == 0) return fail();
    Asn1Cursor moved = cursor;
    moved.limit = cursor.ptr + cursor.size;  // children stay inside this element
    if (!Asn1Enter(cursor.ptr, &moved)) return fail();
    cursor = moved;
    return true;
}

std::uint32_t CAsn1Base::cursorContentLength() const {
    std::uint32_t header = 0;
    std::uint32_t content = 0;
    if (cursor.ptr == nullptr || cursor.size == 0 ||
        !kivo::asn1::parseHeader(cursor.ptr, cursor.size, &header, &content)) {
        return 0;
    }
    return content;
}

std::uint32_t CAsn1Base::cursorElementSize() const {
    if (cursor.ptr == nullptr || cursor.size == 0) return 0;
    return kivo::asn1::elementSize(cursor.ptr, cursor.size);
}

bool CAsn1Base::cursorAt(Id id) const { return kivo::asn1::isAt(cursor, id); }

bool CAsn1Base::expect(Id id) const { return kivo::asn1::expectAt(cursor, id, "DER decode"); }

bool CAsn1Base::cursorAtEnd() const {
    if (cursor.ptr == nullptr || cursor.size == 0) return true;
    if (cursor.limit == nullptr) return true;
    const unsigned char* after = cursor.ptr + cursor.size;
    if (after >= cursor.limit) return true;
    const std::size_t left = static_cast<std::size_t>(cursor.limit - after);
    return left == 2 && after[0] == 0 && after[1] == 0;
}

bool CAsn1Base::ownElement(Id id, std::span<const unsigned char>* content) {
    constexpr unsigned char kConstructed = 0x20;
    std::uint32_t header = 0;
    std::uint32_t length = 0;
    if (!pb || cb < 2 || !kivo::asn1::expectAt(Asn1Cursor{cb, pb.get(), pb.get() + cb}, id, "DER element")) {
        return false;
    }
    if ((octet(id) & kConstructed) == 0 && pb[1] == 0x80) return false;  // indefinite primitive
    if (!kivo::asn1::parseHeader(pb.get(), cb, &header, &length)) return false;
    elementSize = header + length;
    if (content != nullptr) *content = {pb.get() + header, length};
    return true;
}

std::uint32_t CAsn1Base::lengthOctetCount(std::uint32_t contentLength) {
    return kivo::asn1::lengthOctetCount(contentLength);
}

std::uint32_t CAsn1Base::writeLength(unsigned char* out, std::uint32_t contentLength) {
    return kivo::asn1::writeLength(out, contentLength);
}

bool CAsn1Base::copyBytes(const unsigned char* data, std::size_t length) {
    if (data == nullptr || length == 0 || length > kMaxElement) return false;
    auto copy = std::make_unique<unsigned char[]>(length);
    std::memcpy(copy.get(), data, length);
    pb = std::move(copy);
    cb = static_cast<std::uint32_t>(length);
    resetCursor();
    return true;
}

bool CAsn1Base::storeElement(Id id, std::span<const unsigned char> content) {
    if (content.size() > kMaxElement - kMaxHeader) return false;
    const auto contentLength = static_cast<std::uint32_t>(content.size());
    const std::size_t total = 1 + lengthOctetCount(contentLength) + content.size();
    auto encoding = std::make_unique<unsigned char[]>(total);
    encoding[0] = octet(id);
    const std::uint32_t header = 1 + writeLength(encoding.get() + 1, contentLength);
    if (!content.empty()) std::memcpy(encoding.get() + header, content.data(), content.size());
    pb = std::move(encoding);
    cb = static_cast<std::uint32_t>(total);
    resetCursor();
    return true;
}

void CAsn1Base::clearBytes() {
    pb.reset();
    cb = 0;
    resetCursor();
}

bool CAsn1Base::fail() {
    error = kDerError;
    return false;
}

namespace kivo::asn1 {

bool hasEncoding(const CAsn1Base* object) {
    return object != nullptr && object->getPb() != nullptr && object->getCb() != 0;
}

bool DerContent::add(const CAsn1Base* child) {
    if (!hasEncoding(child)) return false;
    m_octets.insert(m_octets.end(), child->getPb(), child->getPb() + child->getCb());
    return true;
}

void DerContent::addOptional(const CAsn1Base* child) {
    if (hasEncoding(child)) add(child);
}

void DerContent::addBytes(std::span<const unsigned char> octets) {
    m_octets.insert(m_octets.end(), octets.begin(), octets.end());
}

bool DerContent::addElement(Id id, const DerContent& inner) {
    const std::size_t size = inner.m_octets.size();
    if (size > kMaxElement - kMaxHeader) return false;
    unsigned char header[kMaxHeader];
    header[0] = octet(id);
    const std::uint32_t count = 1 + kivo::asn1::writeLength(header + 1, static_cast<std::uint32_t>(size));
    m_octets.insert(m_octets.end(), header, header + count);
    m_octets.insert(m_octets.end(), inner.m_octets.begin(), inner.m_octets.end());
    return true;
}

}  // namespace kivo::asn1
