#include "smartcard/pkcs15/Pkcs15CommAttrib.h"

using namespace kivo::pkcs15;

CPkcs15Acr::CPkcs15Acr(const Asn1Cursor& element) {
    Asn1Cursor at = childrenOf(element, Id::Sequence);
    takeBitsHex(at, m_accessMode);
    takeHex(at, Id::OctetString, m_authId);
}

CPkcs15CommAttrib::CPkcs15CommAttrib(const Asn1Cursor& element) {
    Asn1Cursor at = childrenOf(element, Id::Sequence);
    takeText(at, Id::Utf8String, m_label);
    takeBitsHex(at, m_flags);
    takeHex(at, Id::OctetString, m_authId);
    skip(at, Id::Integer);
    forEachSequence(childrenOf(at, Id::Sequence),
                    [this](const Asn1Cursor& rule) { m_acrs.emplace_back(rule); });
}
