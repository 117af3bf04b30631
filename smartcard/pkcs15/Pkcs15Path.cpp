#include "smartcard/pkcs15/Pkcs15Path.h"

using namespace kivo::pkcs15;

CPkcs15Path::CPkcs15Path(const Asn1Cursor& element) {
    Asn1Cursor at = childrenOf(element, Id::Sequence);
    takeHex(at, Id::OctetString, m_efidOrPath);
    takeNumber(at, Id::Integer, m_index);
    takeNumber(at, primitiveContext(0), m_length);
}
