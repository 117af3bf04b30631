// Value reading for the extension and restriction renderers, on the
// library's DER cursor (asn1/DerCursor.h).
#pragma once

#include "asn1/DerCursor.h"

#include <cstdint>
#include <string>

namespace kivo::render {

// The walk is the library's DER cursor.
using asn1::advance;
using asn1::beginAt;
using asn1::enter;
using asn1::enterIf;
using asn1::firstChild;
using asn1::Id;
using asn1::identifierAt;
using asn1::isAt;
using asn1::present;
using asn1::primitiveContext;
using asn1::constructedContext;

// A context-specific element, primitive or constructed.
bool isContextSpecific(const Asn1Cursor& cursor);
bool isConstructedContext(const Asn1Cursor& cursor);
// A UTF8String or a PrintableString.
bool isUtf8OrPrintable(const Asn1Cursor& cursor);

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
