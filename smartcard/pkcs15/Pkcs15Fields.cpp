#include "smartcard/pkcs15/Pkcs15Fields.h"

namespace kivo::pkcs15 {

namespace {

// Reads a field and moves on when the element at `at` has `id`.
template <class Read>
bool takeIf(Asn1Cursor& at, Id id, Read read) {
    if (!asn1::isAt(at, id)) return false;
    read(at);
    asn1::advance(&at);
    return true;
}

}  // namespace

Asn1Cursor childrenOf(const Asn1Cursor& element, Id id) {
    if (!asn1::isAt(element, id)) return Asn1Cursor{};
    return asn1::firstChild(element);
}

bool takeHex(Asn1Cursor& at, Id id, std::string& out) {
    return takeIf(at, id, [&](const Asn1Cursor& c) { out = Asn1ContentHex(c.ptr, c.size); });
}

bool takeText(Asn1Cursor& at, Id id, std::string& out) {
    return takeIf(at, id, [&](const Asn1Cursor& c) { out = Asn1ContentString(c.ptr, c.size); });
}

bool takeBitsHex(Asn1Cursor& at, std::string& out) {
    return takeIf(at, Id::BitString, [&](const Asn1Cursor& c) { out = Asn1BitStringHex(c.ptr, c.size); });
}

bool takeBitsNumber(Asn1Cursor& at, std::uint32_t& out) {
    std::string hex;
    if (!takeBitsHex(at, hex)) return false;
    // Accumulated like an INTEGER: the last four octets count.
    out = 0;
    for (const char digit : hex) {
        const std::uint32_t nibble = digit <= '9' ? digit - '0' : digit - 'A' + 10;
        out = (out << 4) | nibble;
    }
    return true;
}

bool takeNumber(Asn1Cursor& at, Id id, std::uint32_t& out) {
    return takeIf(at, id, [&](const Asn1Cursor& c) { out = Asn1SmallInt(c.ptr, c.size); });
}

bool takeBool(Asn1Cursor& at, bool& out) {
    return takeIf(at, Id::Boolean, [&](const Asn1Cursor& c) { out = Asn1Bool(c.ptr, c.size); });
}

bool takeFirstOctet(Asn1Cursor& at, Id id, std::uint8_t& out) {
    return takeIf(at, id, [&](const Asn1Cursor& c) {
        std::uint32_t offset = 0;
        const std::uint32_t length = Asn1GetLength(c.ptr, &offset, c.size);
        out = length > 0 ? c.ptr[offset] : 0;
    });
}

bool skip(Asn1Cursor& at, Id id) {
    return takeIf(at, id, [](const Asn1Cursor&) {});
}

void forEachSequence(Asn1Cursor first, const std::function<void(const Asn1Cursor&)>& entry) {
    for (Asn1Cursor at = first; asn1::isAt(at, Id::Sequence); asn1::advance(&at)) entry(at);
}

void forEachSequence(const std::uint8_t* data, std::size_t length,
                     const std::function<void(const Asn1Cursor&)>& entry) {
    forEachSequence(asn1::beginAt(data, length), entry);
}

}  // namespace kivo::pkcs15
