// DER walking and value reading for the extension and restriction renderers.

#include "src/cert/render/RenderDer.h"

#include <cmath>
#include <cstdio>

namespace kivo::render {

Asn1Cursor beginAt(const unsigned char* element, unsigned long length) {
    if (element == nullptr || length == 0) return Asn1Cursor{};
    return Asn1Begin(element, static_cast<std::size_t>(length));
}

unsigned identifierAt(const Asn1Cursor& cursor) { return present(cursor) ? cursor.ptr[0] : 0u; }

bool isAt(const Asn1Cursor& cursor, unsigned char identifier) {
    return present(cursor) && cursor.ptr[0] == identifier;
}

bool isContextSpecific(const Asn1Cursor& cursor) {
    return present(cursor) && Asn1TagClass(cursor.ptr) == 0x80;
}

bool isConstructedContext(const Asn1Cursor& cursor) {
    return isContextSpecific(cursor) && (cursor.ptr[0] & 0x20) != 0;
}

bool isUtf8OrPrintable(const Asn1Cursor& cursor) {
    return isAt(cursor, der::kUtf8String) || isAt(cursor, der::kPrintableString);
}

void advance(Asn1Cursor* cursor) {
    if (present(*cursor) && !Asn1Next(cursor->ptr, cursor)) cursor->size = 0;
}

void enter(Asn1Cursor* cursor) {
    if (present(*cursor) && !Asn1Enter(cursor->ptr, cursor)) cursor->size = 0;
}

bool enterIf(Asn1Cursor* cursor, unsigned char identifier) {
    if (!isAt(*cursor, identifier)) return false;
    enter(cursor);
    return true;
}

Asn1Cursor firstChild(const Asn1Cursor& cursor) {
    Asn1Cursor child = cursor;
    enter(&child);
    return child;
}

const char* oidTextAt(const Asn1Cursor& cursor) {
    return isAt(cursor, der::kOid) ? Asn1OidToText(cursor.ptr, cursor.size, false) : "";
}

const char* contentCharsAt(const Asn1Cursor& cursor) {
    return present(cursor) ? Asn1ContentString(cursor.ptr, cursor.size) : "";
}

const char* contentHexAt(const Asn1Cursor& cursor) {
    return present(cursor) ? Asn1ContentHex(cursor.ptr, cursor.size) : "";
}

const char* bitStringHexAt(const Asn1Cursor& cursor) {
    return present(cursor) ? Asn1BitStringHex(cursor.ptr, cursor.size) : "";
}

const char* nameTextAt(const Asn1Cursor& cursor) {
    return present(cursor) ? Asn1NameToText(cursor.ptr, cursor.size) : "";
}

const char* dateTextAt(const Asn1Cursor& cursor) {
    return present(cursor) ? Asn1DateText(cursor.ptr, cursor.size) : "";
}

std::uint32_t smallIntAt(const Asn1Cursor& cursor) {
    return present(cursor) ? Asn1SmallInt(cursor.ptr, cursor.size) : 0u;
}

bool readMonetaryValue(Asn1Cursor fields, MonetaryValue* value) {
    if (!isAt(fields, der::kPrintableString)) return false;
    value->currency = contentCharsAt(fields);
    advance(&fields);
    if (!isAt(fields, der::kInteger)) return false;
    const std::uint32_t first = smallIntAt(fields);
    advance(&fields);
    if (isAt(fields, der::kInteger)) {
        value->amount = first;
        value->exponent = smallIntAt(fields);
    } else {
        value->amount = 0;
        value->exponent = first;
    }
    return true;
}

std::string monetaryAmountText(const MonetaryValue& value, int decimals) {
    // The largest finite double has 309 digits before the point; larger
    // values print as "inf". A zero amount stays 0 whatever the exponent.
    char text[400];
    const double amount =
        value.amount == 0 ? 0.0
                          : static_cast<double>(value.amount) *
                                std::pow(10.0, static_cast<double>(value.exponent));
    const int length = std::snprintf(text, sizeof text, "%.*f", decimals, amount);
    if (length <= 0 || static_cast<std::size_t>(length) >= sizeof text) return {};
    return std::string(text, static_cast<std::size_t>(length));
}

}  // namespace kivo::render
