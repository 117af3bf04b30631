// The identifier octets and certificate field identifiers the library
// reads and writes, declared once.
#pragma once

#include <cstdint>

namespace kivo::asn1 {

// An identifier octet: class, constructed bit and tag number in one.
enum class Id : unsigned char {
    Boolean = 0x01,
    Integer = 0x02,
    BitString = 0x03,
    OctetString = 0x04,
    Null = 0x05,
    Oid = 0x06,
    Enumerated = 0x0A,
    Utf8String = 0x0C,
    PrintableString = 0x13,
    T61String = 0x14,
    Ia5String = 0x16,
    UtcTime = 0x17,
    GeneralizedTime = 0x18,
    BmpString = 0x1E,
    Sequence = 0x30,
    Set = 0x31,
    Context0 = 0xA0,  // [0] constructed
    Context1 = 0xA1,
    Context2 = 0xA2,
    Context3 = 0xA3,
    Context4 = 0xA4,  // also GeneralName's directoryName
};

constexpr unsigned char octet(Id id) { return static_cast<unsigned char>(id); }
constexpr bool operator==(unsigned char identifier, Id id) { return identifier == octet(id); }
// Only an identifier octet compares with an Id: a tag number or any other
// integer must go through octet() or tagNumber() first.
template <class T>
bool operator==(T, Id) = delete;

// Context-specific identifiers: 0x80 | n primitive, 0xA0 | n constructed.
constexpr Id primitiveContext(unsigned n) { return static_cast<Id>(0x80 | (n & 0x1F)); }
constexpr Id constructedContext(unsigned n) { return static_cast<Id>(0xA0 | (n & 0x1F)); }

// The identifier in words for diagnostics ("SEQUENCE", "[1] constructed",
// "0x5F").
const char* identifierName(unsigned char identifier);

// The fields CertFieldLocate, AttrCertFieldLocate and ContentFieldLocate
// find, by the numbers those functions take.
enum class Field : int {
    Version = 100,
    Subject = 101,  // attribute certificate: the holder's name
    HolderSerial = 102,
    Issuer = 103,
    Signature = 104,
    SerialNumber = 105,
    Validity = 106,
    Attributes = 109,
    AttrCertIssuerUniqueId = 110,
    Extensions = 111,
    SubjectPublicKeyInfo = 112,
    IssuerUniqueId = 113,
    SubjectUniqueId = 114,
    ContentFirstChild = 200,
};

constexpr int fieldNumber(Field field) { return static_cast<int>(field); }

}  // namespace kivo::asn1
