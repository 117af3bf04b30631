#include "asn1/DerCursor.h"

#include <log4cxx/logger.h>

#include <cstdio>

using kivo::asn1::Id;

namespace kivo::asn1 {
namespace {

const log4cxx::LoggerPtr& decodeLogger() {
    static const log4cxx::LoggerPtr logger = log4cxx::Logger::getLogger("KivoCryptoSSL.Asn1");
    return logger;
}

}  // namespace

const char* identifierName(unsigned char identifier) {
    switch (identifier) {
        case octet(Id::Boolean): return "BOOLEAN";
        case octet(Id::Integer): return "INTEGER";
        case octet(Id::BitString): return "BIT STRING";
        case octet(Id::OctetString): return "OCTET STRING";
        case octet(Id::Null): return "NULL";
        case octet(Id::Oid): return "OBJECT IDENTIFIER";
        case octet(Id::Enumerated): return "ENUMERATED";
        case octet(Id::Utf8String): return "UTF8String";
        case octet(Id::PrintableString): return "PrintableString";
        case octet(Id::T61String): return "T61String";
        case octet(Id::Ia5String): return "IA5String";
        case octet(Id::UtcTime): return "UTCTime";
        case octet(Id::GeneralizedTime): return "GeneralizedTime";
        case octet(Id::BmpString): return "BMPString";
        case octet(Id::Sequence): return "SEQUENCE";
        case octet(Id::Set): return "SET";
        default: break;
    }
    static thread_local char text[24];
    if ((identifier & 0xC0u) == 0x80u) {
        std::snprintf(text, sizeof text, "[%u] %s", identifier & 0x1Fu,
                      (identifier & 0x20u) != 0 ? "constructed" : "primitive");
    } else {
        std::snprintf(text, sizeof text, "0x%02X", identifier);
    }
    return text;
}

Asn1Cursor beginAt(const unsigned char* element, std::size_t length) {
    if (element == nullptr || length == 0) return Asn1Cursor{};
    return Asn1Begin(element, length);
}

bool advance(Asn1Cursor* cursor) {
    if (present(*cursor) && Asn1Next(cursor->ptr, cursor)) return true;
    cursor->size = 0;
    return false;
}

bool enter(Asn1Cursor* cursor) {
    if (present(*cursor) && Asn1Enter(cursor->ptr, cursor) && cursor->size != 0) return true;
    cursor->size = 0;
    return false;
}

bool enterIf(Asn1Cursor* cursor, Id id) {
    if (!isAt(*cursor, id)) return false;
    enter(cursor);
    return true;
}

Asn1Cursor firstChild(const Asn1Cursor& cursor) {
    Asn1Cursor child = cursor;
    enter(&child);
    return child;
}

bool expectAt(const Asn1Cursor& cursor, Id id, const char* what) {
    if (isAt(cursor, id)) return true;
    if (decodeLogger()->isDebugEnabled()) {
        const char* found = present(cursor) ? identifierName(cursor.ptr[0]) : "no element";
        LOG4CXX_DEBUG(decodeLogger(), what << ": expected " << identifierName(octet(id)) << ", found " << found);
    }
    return false;
}

}  // namespace kivo::asn1
