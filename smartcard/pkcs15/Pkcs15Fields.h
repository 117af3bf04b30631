// Reading PKCS#15 objects with the library's DER cursor (asn1/DerCursor.h).
//
// Every object is read the same way: step into its SEQUENCE, then for each
// field it may hold, in the order of the structure, take the element at the
// cursor when it carries the field's identifier and move on; a field that is
// not there stays empty (texts) or zero (numbers). Values come from the DER
// toolkit's text functions: identifiers, paths and bit strings as upper-case
// hex, texts as their characters.
#pragma once

#include "asn1/DerCursor.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace kivo::pkcs15 {

using asn1::Id;
using asn1::constructedContext;
using asn1::primitiveContext;

// The first child of the element at `element` when it has `id`; an ended
// cursor otherwise (every take below then finds nothing).
Asn1Cursor childrenOf(const Asn1Cursor& element, Id id);

// Each take reads the element at `at` when it has the identifier, moves
// `at` to the next sibling and returns true; otherwise it leaves both alone
// and returns false.
bool takeHex(Asn1Cursor& at, Id id, std::string& out);          // content as hex
bool takeText(Asn1Cursor& at, Id id, std::string& out);         // content as characters
bool takeBitsHex(Asn1Cursor& at, std::string& out);             // BIT STRING after its unused-bits octet
bool takeBitsNumber(Asn1Cursor& at, std::uint32_t& out);        // the same read as a hex number
bool takeNumber(Asn1Cursor& at, Id id, std::uint32_t& out);     // big-endian, last four octets
bool takeBool(Asn1Cursor& at, bool& out);                       // BOOLEAN
bool takeFirstOctet(Asn1Cursor& at, Id id, std::uint8_t& out);  // 0 when the content is empty
// Moves past the element when it has `id` (a field the object does not keep).
bool skip(Asn1Cursor& at, Id id);

// Reads the object (a class constructed from a cursor on its element) when
// the element at `at` has `id`, and moves on.
template <class Object>
bool takeObject(Asn1Cursor& at, Id id, Object& out) {
    if (!asn1::isAt(at, id)) return false;
    out = Object(at);
    asn1::advance(&at);
    return true;
}

// Calls `entry` with a cursor on each SEQUENCE from `first` on; the walk
// ends at the first element that is not a SEQUENCE, at padding (00 or FF)
// and at the end of the enclosing element.
void forEachSequence(Asn1Cursor first, const std::function<void(const Asn1Cursor&)>& entry);
// The same from the start of the `length` octets at `data` (a file).
void forEachSequence(const std::uint8_t* data, std::size_t length,
                     const std::function<void(const Asn1Cursor&)>& entry);

}  // namespace kivo::pkcs15
