// Certificates, public keys, CRLs and issuer/serial identifiers.

#include "asn1/CmsCertificate.h"

#include "asn1/CmsOids.h"

using kivo::asn1::tagNumber;

using kivo::asn1::DerContent;
using kivo::asn1::Field;
using kivo::asn1::Id;

namespace {

struct CurveSize {
    std::string_view dotted;
    std::uint32_t bits;
};

constexpr CurveSize kCurveSizes[] = {
    {"1.3.132.0.9", 160},           {"1.3.132.0.8", 160},
    {"1.3.132.0.30", 160},          {"1.3.36.3.3.2.8.1.1.1", 160},
    {"1.3.36.3.3.2.8.1.1.2", 160},  {"1.3.132.0.31", 192},
    {"1.2.840.10045.3.1.1", 192},   {"1.3.36.3.3.2.8.1.1.3", 192},
    {"1.3.36.3.3.2.8.1.1.4", 192},  {"1.3.132.0.32", 224},
    {"1.3.132.0.33", 224},          {"1.3.36.3.3.2.8.1.1.5", 224},
    {"1.3.36.3.3.2.8.1.1.6", 224},  {"1.3.132.0.10", 256},
    {"1.2.840.10045.3.1.7", 256},   {"1.3.36.3.3.2.8.1.1.7", 256},
    {"1.3.36.3.3.2.8.1.1.8", 256},  {"1.2.250.1.223.101.256.1", 256},
    {"1.3.36.3.3.2.8.1.1.9", 320},  {"1.3.36.3.3.2.8.1.1.10", 320},
    {"1.3.132.0.34", 384},          {"1.3.36.3.3.2.8.1.1.11", 384},
    {"1.3.36.3.3.2.8.1.1.12", 384}, {"1.3.36.3.3.2.8.1.1.13", 512},
    {"1.3.36.3.3.2.8.1.1.14", 512}, {"1.3.132.0.35", 521},
};

// The element `length` octets long at `p` is exactly one element with
// identifier `identifier`.
bool isSingleElement(const unsigned char* p, std::size_t length, Id identifier) {
    return p != nullptr && length >= 2 && p[0] == identifier &&
           kivo::asn1::elementSize(p, length) == length;
}

}  // namespace

std::uint32_t ecCurveBits(std::string_view dotted) {
    if (dotted.empty()) return 0;
    for (const CurveSize& row : kCurveSizes) {
        if (row.dotted == dotted) return row.bits;
    }
    return 0;
}

// ---- RSA public key ------------------------------------------------------------

CAsn1_PublicKeyRSA::CAsn1_PublicKeyRSA(const unsigned char* der, std::size_t length) {
    tag = tagNumber(Id::Sequence);
    if (!guarded([&] { return copyBytes(der, length); })) return;
    decode();
}

CAsn1_PublicKeyRSA::CAsn1_PublicKeyRSA(const CAsn1_BitString& bits)
    : CAsn1_PublicKeyRSA(bits.getPb(), bits.getCb()) {}

bool CAsn1_PublicKeyRSA::decode() {
    return guarded([&] {
        m_modulus.reset();
        m_publicExponent.reset();
        if (!ownElement(Id::BitString, nullptr)) return false;
        resetCursor();
        // Entering a BIT STRING skips its unused-bits octet.
        if (!cursorEnter() || !expect(Id::Sequence) || !cursorAtEnd()) return false;
        if (!cursorEnter() || !expect(Id::Integer)) return false;
        m_modulus = std::make_unique<CAsn1_Int>(cursor.ptr, cursor.size);
        if (!cursorNext() || !expect(Id::Integer)) return false;
        m_publicExponent = std::make_unique<CAsn1_Int>(cursor.ptr, cursor.size);
        return m_modulus->getError() == 0 && m_publicExponent->getError() == 0 && cursorAtEnd();
    });
}

bool CAsn1_PublicKeyRSA::encode() { return true; }

std::uint32_t CAsn1_PublicKeyRSA::modulusBits() const {
    if (!m_modulus) return 0;
    const std::string& hex = m_modulus->text();
    std::size_t octets = hex.size() / 2;
    if (octets > 1 && hex.starts_with("00")) --octets;  // the sign octet
    return static_cast<std::uint32_t>(octets * 8);
}

// ---- EC public key ---------------------------------------------------------------

CAsn1_PublicKeyEC::CAsn1_PublicKeyEC(const unsigned char* der, std::size_t length) {
    tag = tagNumber(Id::Sequence);
    if (!guarded([&] { return copyBytes(der, length); })) return;
    decode();
}

CAsn1_PublicKeyEC::CAsn1_PublicKeyEC(const CAsn1_BitString& bits)
    : CAsn1_PublicKeyEC(bits.getPb(), bits.getCb()) {}

bool CAsn1_PublicKeyEC::decode() {
    return guarded([&] {
        m_curve.reset();
        m_nullParams.reset();
        m_point.reset();
        if (!pb || cb == 0) return false;
        if (pb[0] == Id::BitString) {
            m_point = std::make_unique<CAsn1_BitString>(pb.get(), cb);
            return m_point->getError() == 0;
        }
        if (pb[0] == Id::Oid) {
            m_curve = std::make_unique<CAsn1_Oid>(pb.get(), cb);
            return m_curve->getError() == 0;
        }
        m_nullParams = std::make_unique<CAsn1_NullTag>();
        return true;
    });
}

bool CAsn1_PublicKeyEC::encode() { return true; }

// ---- SubjectPublicKeyInfo -----------------------------------------------------

CAsn1_PublicKey::CAsn1_PublicKey(const unsigned char* der, std::size_t length) {
    tag = tagNumber(Id::Sequence);
    if (!guarded([&] { return copyBytes(der, length); })) return;
    decode();
}

bool CAsn1_PublicKey::decode() {
    return guarded([&] {
        m_algorithm.reset();
        m_subjectPublicKey.reset();
        m_rsaKey.reset();
        m_ecKey.reset();
        if (!ownElement(Id::Sequence, nullptr)) return false;
        resetCursor();
        if (!cursorEnter() || !expect(Id::Sequence)) return false;
        m_algorithm = std::make_unique<CAsn1_AlgoIdent>(cursor.ptr, cursor.size);
        if (m_algorithm->getError() != 0) return false;
        if (!cursorNext() || !expect(Id::BitString) || !cursorAtEnd()) return false;
        m_subjectPublicKey = std::make_unique<CAsn1_BitString>(cursor.ptr, cursor.size);
        if (m_subjectPublicKey->getError() != 0) return false;
        if (isRsaKey()) {
            m_rsaKey = std::make_unique<CAsn1_PublicKeyRSA>(*m_subjectPublicKey);
            return m_rsaKey->getError() == 0;
        }
        if (isEcKey()) {
            m_ecKey = std::make_unique<CAsn1_PublicKeyEC>(*m_subjectPublicKey);
            return m_ecKey->getError() == 0;
        }
        return true;
    });
}

bool CAsn1_PublicKey::encode() { return true; }

bool CAsn1_PublicKey::isEcKey() const {
    return m_algorithm && m_algorithm->algorithm() &&
           m_algorithm->algorithm()->is(kivo::cms::oid::kEcPublicKey);
}

bool CAsn1_PublicKey::isRsaKey() const {
    if (!m_algorithm || !m_algorithm->algorithm()) return false;
    const CAsn1_Oid& algorithm = *m_algorithm->algorithm();
    return algorithm.is(kivo::cms::oid::kRsaEncryption) || algorithm.is(kivo::cms::oid::kRsassaPss);
}

std::uint32_t CAsn1_PublicKey::keyBits() const {
    if (m_rsaKey) return m_rsaKey->modulusBits();
    if (isEcKey()) {
        const auto* curve = dynamic_cast<const CAsn1_Oid*>(m_algorithm->parameters());
        return curve != nullptr ? ecCurveBits(curve->dotted()) : 0;
    }
    return 0;
}

// ---- certificate -------------------------------------------------------------

CAsn1_Cert::CAsn1_Cert(const unsigned char* der, std::size_t length) {
    tag = tagNumber(Id::Sequence);
    if (!guarded([&] { return copyBytes(der, length); })) return;
    decode();
}

bool CAsn1_Cert::decode() {
    return guarded([&] {
        if (m_publicKey) return m_publicKey->getError() == 0;  // done before
        if (!ownElement(Id::Sequence, nullptr)) return false;
        Asn1Cursor field;
        if (!kivo::asn1::certField(pb.get(), cb, Field::SubjectPublicKeyInfo, &field) || field.size == 0) {
            return false;
        }
        m_publicKey = std::make_unique<CAsn1_PublicKey>(field.ptr, field.size);
        return m_publicKey->getError() == 0;
    });
}

bool CAsn1_Cert::encode() { return true; }

std::span<const unsigned char> CAsn1_Cert::issuerDer() const {
    Asn1Cursor field;
    if (!pb || !kivo::asn1::certField(pb.get(), cb, Field::Issuer, &field) || field.size == 0) return {};
    return {field.ptr, field.size};
}

std::span<const unsigned char> CAsn1_Cert::serialDer() const {
    Asn1Cursor field;
    if (!pb || !kivo::asn1::certField(pb.get(), cb, Field::SerialNumber, &field) || field.size == 0) {
        return {};
    }
    return {field.ptr, field.size};
}

std::uint32_t CAsn1_Cert::keyBits() const { return m_publicKey ? m_publicKey->keyBits() : 0; }
bool CAsn1_Cert::isEcKey() const { return m_publicKey && m_publicKey->isEcKey(); }
bool CAsn1_Cert::isRsaKey() const { return m_publicKey && m_publicKey->isRsaKey(); }

// ---- CRL -----------------------------------------------------------------------

CAsn1_Crl::CAsn1_Crl(const unsigned char* der, std::size_t length) {
    tag = tagNumber(Id::Sequence);
    if (!guarded([&] { return copyBytes(der, length); })) return;
    decode();
}

bool CAsn1_Crl::decode() {
    return guarded([&] { return ownElement(Id::Sequence, nullptr); });
}

bool CAsn1_Crl::encode() { return true; }

// ---- IssuerAndSerialNumber -------------------------------------------------------

CAsn1_IssuerAndSerial::CAsn1_IssuerAndSerial(const unsigned char* der, std::size_t length) {
    tag = tagNumber(Id::Sequence);
    if (!guarded([&] { return copyBytes(der, length); })) return;
    decode();
}

CAsn1_IssuerAndSerial::CAsn1_IssuerAndSerial(const unsigned char* issuer, std::size_t issuerLength,
                                             const unsigned char* serial,
                                             std::size_t serialLength) {
    tag = tagNumber(Id::Sequence);
    if (!guarded([&] {
            if (!isSingleElement(issuer, issuerLength, Id::Sequence) ||
                !isSingleElement(serial, serialLength, Id::Integer)) {
                return false;
            }
            DerContent content;
            content.addBytes({issuer, issuerLength});
            content.addBytes({serial, serialLength});
            return storeElement(Id::Sequence, content.octets());
        })) {
        return;
    }
    decode();
}

bool CAsn1_IssuerAndSerial::decode() {
    return guarded([&] {
        if (!ownElement(Id::Sequence, nullptr)) return false;
        resetCursor();
        if (!cursorEnter() || !expect(Id::Sequence)) return false;
        const char* issuer = Asn1NameToText(cursor.ptr, cursor.size);
        m_issuerText = issuer != nullptr ? issuer : "";
        if (!cursorNext() || !expect(Id::Integer) || !cursorAtEnd()) return false;
        const std::uint32_t header = cursor.size - cursorContentLength();
        BytesToHex(cursor.ptr + header, cursorContentLength(), &m_serialText);
        return cursorContentLength() > 0;
    });
}

bool CAsn1_IssuerAndSerial::encode() { return true; }

// ---- ESS IssuerSerial --------------------------------------------------------------

CAsn1_IssuerSerial::CAsn1_IssuerSerial(const unsigned char* der, std::size_t length) {
    tag = tagNumber(Id::Sequence);
    if (!guarded([&] { return copyBytes(der, length); })) return;
    decode();
}

CAsn1_IssuerSerial::CAsn1_IssuerSerial(const unsigned char* issuer, std::size_t issuerLength,
                                       const unsigned char* serial, std::size_t serialLength) {
    tag = tagNumber(Id::Sequence);
    guarded([&] {
        if (!isSingleElement(issuer, issuerLength, Id::Sequence) ||
            !isSingleElement(serial, serialLength, Id::Integer)) {
            return false;
        }
        DerContent name;
        name.addBytes({issuer, issuerLength});
        DerContent directoryName;
        if (!directoryName.addElement(Id::Context4, name)) return false;
        DerContent content;
        if (!content.addElement(Id::Sequence, directoryName)) return false;
        content.addBytes({serial, serialLength});
        if (!storeElement(Id::Sequence, content.octets())) return false;
        elementSize = cb;
        return true;
    });
}

bool CAsn1_IssuerSerial::decode() {
    return guarded([&] {
        if (!ownElement(Id::Sequence, nullptr)) return false;
        resetCursor();
        if (!cursorEnter() || !expect(Id::Sequence) || cursorContentLength() == 0) return false;
        if (!cursorNext() || !expect(Id::Integer) || !cursorAtEnd()) return false;
        return cursorContentLength() > 0;
    });
}

bool CAsn1_IssuerSerial::encode() { return true; }
