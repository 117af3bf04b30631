// DER walking for the extension and restriction renderers.
//
// The moves are the toolkit's Asn1Enter and Asn1Next. A cursor whose move
// fails ends (its size becomes 0) instead of staying where it was, so that a
// walk can test every step with isAt() and never looks at a position that
// holds no element. Every bound comes from the cursor: the walk stays inside
// the element that was entered, and that inside the caller's octets.
#pragma once

#include "asn1/Asn1Der.h"

#include <cstdint>
#include <string>

namespace kivo::render {

// Identifier octets the renderers test for.
namespace der {
inline constexpr unsigned char kBoolean = 0x01;
inline constexpr unsigned char kInteger = 0x02;
inline constexpr unsigned char kBitString = 0x03;
inline constexpr unsigned char kOctetString = 0x04;
inline constexpr unsigned char kOid = 0x06;
inline constexpr unsigned char kUtf8String = 0x0C;
inline constexpr unsigned char kPrintableString = 0x13;
inline constexpr unsigned char kIa5String = 0x16;
inline constexpr unsigned char kUtcTime = 0x17;
inline constexpr unsigned char kGeneralizedTime = 0x18;
inline constexpr unsigned char kSequence = 0x30;
inline constexpr unsigned char kSet = 0x31;
// Context-specific identifiers: 0x80 | n primitive, 0xA0 | n constructed.
constexpr unsigned char primitiveContext(unsigned n) { return static_cast<unsigned char>(0x80 | n); }
constexpr unsigned char constructedContext(unsigned n) { return static_cast<unsigned char>(0xA0 | n); }
}  // namespace der

// A cursor on the first element of the `length` octets at `element`
// (ended when they do not start with a well-formed element).
Asn1Cursor beginAt(const unsigned char* element, unsigned long length);

inline bool present(const Asn1Cursor& cursor) { return cursor.ptr != nullptr && cursor.size > 0; }
// Identifier octet of the element at the cursor; 0 when the cursor ended.
unsigned identifierAt(const Asn1Cursor& cursor);
bool isAt(const Asn1Cursor& cursor, unsigned char identifier);
// A context-specific element, primitive or constructed.
bool isContextSpecific(const Asn1Cursor& cursor);
bool isConstructedContext(const Asn1Cursor& cursor);
// A UTF8String or a PrintableString.
bool isUtf8OrPrintable(const Asn1Cursor& cursor);

// To the next sibling; the cursor ends at the end of the enclosing element.
void advance(Asn1Cursor* cursor);
// To the first child of the element; the cursor ends when there is none.
void enter(Asn1Cursor* cursor);
// Enters the element when it has `identifier`; true when it did.
bool enterIf(Asn1Cursor* cursor, unsigned char identifier);
// A cursor on the first child of the element at `cursor`.
Asn1Cursor firstChild(const Asn1Cursor& cursor);

// Texts of the element at the cursor, from the toolkit's text functions
// (per-thread buffers, valid until the next call of the same function);
// empty when the cursor ended or the element does not fit.
const char* oidTextAt(const Asn1Cursor& cursor);        // dotted; empty unless an OID
const char* contentCharsAt(const Asn1Cursor& cursor);   // content up to its first zero octet
const char* contentHexAt(const Asn1Cursor& cursor);     // content in upper-case hex
const char* bitStringHexAt(const Asn1Cursor& cursor);   // content after the unused-bits octet
const char* nameTextAt(const Asn1Cursor& cursor);       // Name or GeneralNames as DN text
const char* dateTextAt(const Asn1Cursor& cursor);       // DD.MM.YYYY of a time
// INTEGER content read big-endian into 32 bits (the last four octets count).
std::uint32_t smallIntAt(const Asn1Cursor& cursor);

// MonetaryValue (Common PKI and ETSI QC statements): currency, amount,
// exponent; the value is amount x 10^exponent, both read as unsigned.
struct MonetaryValue {
    std::string currency;
    std::uint32_t amount = 0;
    std::uint32_t exponent = 0;
};
// Reads the fields starting at `fields` (the first child of the SEQUENCE):
// a PrintableString currency, then an optional amount INTEGER (0 when only
// one INTEGER follows) and the exponent INTEGER. False when they do not match.
bool readMonetaryValue(Asn1Cursor fields, MonetaryValue* value);
// amount x 10^exponent printed fixed with `decimals` places.
std::string monetaryAmountText(const MonetaryValue& value, int decimals);

}  // namespace kivo::render
