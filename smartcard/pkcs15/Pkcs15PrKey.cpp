#include "smartcard/pkcs15/Pkcs15PrKey.h"

#include "smartcard/pkcs15/Pkcs15Entries.h"

using namespace kivo::pkcs15;

CPkcs15CommKeyAttrib::CPkcs15CommKeyAttrib(const Asn1Cursor& element) {
    Asn1Cursor at = childrenOf(element, Id::Sequence);
    takeHex(at, Id::OctetString, m_id);
    takeBitsHex(at, m_usage);
    takeBool(at, m_native);
    takeBitsHex(at, m_accessFlags);
    takeNumber(at, Id::Integer, m_keyReference);
}

CPkcs15KeyAttrib::CPkcs15KeyAttrib(const Asn1Cursor& element) {
    Asn1Cursor at = childrenOf(element, Id::Sequence);
    takeObject(at, Id::Sequence, m_path);
    takeNumber(at, Id::Integer, m_modulusLength);
}

CPkcs15PrKeyInfo::CPkcs15PrKeyInfo(const Asn1Cursor& element) {
    m_keyAttrib = CPkcs15KeyAttrib(readObjectFrame(element, m_commAttrib, m_commKeyAttrib, &m_subclassAttributes));
}

std::vector<CPkcs15PrKey> CPkcs15PrKey::readDirectory(const std::uint8_t* data, std::size_t length) {
    return readEntries<CPkcs15PrKey>(data, length);
}
