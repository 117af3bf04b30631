#include "smartcard/pkcs15/Pkcs15Auth.h"

#include "smartcard/pkcs15/Pkcs15Entries.h"

using namespace kivo::pkcs15;

CPkcs15AuthAttrib::CPkcs15AuthAttrib(const Asn1Cursor& element) {
    Asn1Cursor at = childrenOf(element, Id::Sequence);
    takeHex(at, Id::OctetString, m_authId);
}

CPkcs15Pin::CPkcs15Pin(const Asn1Cursor& element) {
    Asn1Cursor at = childrenOf(element, Id::Sequence);
    takeBitsNumber(at, m_flags);
    takeNumber(at, Id::Enumerated, m_pinType);
    takeNumber(at, Id::Integer, m_minLength);
    takeNumber(at, Id::Integer, m_storedLength);
    takeNumber(at, Id::Integer, m_maxLength);
    takeNumber(at, primitiveContext(0), m_pinReference);
    takeFirstOctet(at, Id::OctetString, m_padChar);
    takeText(at, Id::GeneralizedTime, m_lastPinChange);
    takeObject(at, Id::Sequence, m_path);
}

CPkcs15AuthInfo::CPkcs15AuthInfo(const Asn1Cursor& element) {
    m_pin = CPkcs15Pin(readObjectFrame(element, m_commAttrib, m_authAttrib, nullptr));
}

std::vector<CPkcs15Auth> CPkcs15Auth::readDirectory(const std::uint8_t* data, std::size_t length) {
    return readEntries<CPkcs15Auth>(data, length);
}
