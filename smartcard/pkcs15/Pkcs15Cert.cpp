#include "smartcard/pkcs15/Pkcs15Cert.h"

#include "smartcard/pkcs15/Pkcs15Entries.h"

using namespace kivo::pkcs15;

CPkcs15CertAttrib::CPkcs15CertAttrib(const Asn1Cursor& element) {
    Asn1Cursor at = childrenOf(element, Id::Sequence);
    takeHex(at, Id::OctetString, m_id);
    takeBool(at, m_authority);
}

CPkcs15CertInfo::CPkcs15CertInfo(const Asn1Cursor& element) {
    // X509CertificateAttributes ::= SEQUENCE { value Path, ... }
    const Asn1Cursor certificateAttributes = readObjectFrame(element, m_commAttrib, m_certAttrib, nullptr);
    m_path = CPkcs15Path(childrenOf(certificateAttributes, Id::Sequence));
}

std::vector<CPkcs15Cert> CPkcs15Cert::readDirectory(const std::uint8_t* data, std::size_t length) {
    return readEntries<CPkcs15Cert>(data, length);
}
