// Value reading for the extension and restriction renderers.

#include "src/cert/render/RenderDer.h"

#include <cmath>
#include <cstdio>

namespace kivo::render {

bool isContextSpecific(const Asn1Cursor& cursor) {
    return present(cursor) && Asn1TagClass(cursor.ptr) == 0x80;
}

bool isConstructedContext(const Asn1Cursor& cursor) {
    return isContextSpecific(cursor) && (cursor.ptr[0] & 0x20) != 0;
}

bool isUtf8OrPrintable(const Asn1Cursor& cursor) {
    return isAt(cursor, Id::Utf8String) || isAt(cursor, Id::PrintableString);
}

const char* oidTextAt(const Asn1Cursor& cursor) {
    return isAt(cursor, Id::Oid) ? Asn1OidToText(cursor.ptr, cursor.size, false) : "";
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
    if (!isAt(fields, Id::PrintableString)) return false;
    value->currency = contentCharsAt(fields);
    advance(&fields);
    if (!isAt(fields, Id::Integer)) return false;
    const std::uint32_t first = smallIntAt(fields);
    advance(&fields);
    if (isAt(fields, Id::Integer)) {
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
