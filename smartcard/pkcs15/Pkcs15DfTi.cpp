#include "smartcard/pkcs15/Pkcs15DfTi.h"

#include "smartcard/pkcs15/Pkcs15Fields.h"

using namespace kivo::pkcs15;

CPkcs15DfTi::CPkcs15DfTi(const std::uint8_t* data, std::size_t length) {
    const Asn1Cursor file = kivo::asn1::beginAt(data, length);
    if (!kivo::asn1::isAt(file, Id::Sequence)) {
        m_error = 1;
        return;
    }
    Asn1Cursor at = childrenOf(file, Id::Sequence);
    takeNumber(at, Id::Integer, m_version);
    takeHex(at, Id::OctetString, m_serialNumber);
    takeText(at, Id::Utf8String, m_manufacturerId);
    takeText(at, primitiveContext(0), m_label);
    takeBitsNumber(at, m_tokenFlags);
}
