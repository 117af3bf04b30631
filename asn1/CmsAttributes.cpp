// Attributes, attribute lists and the signing-certificate-v2 value.

#include "asn1/CmsAttributes.h"

#include "asn1/CmsOids.h"
#include "digest/DigestFactory.h"

using kivo::asn1::Id;
using kivo::asn1::octet;
using kivo::asn1::tagNumber;

using kivo::asn1::DerContent;

namespace {

}  // namespace

// ---- Attribute -------------------------------------------------------------------

CAsn1_Attribute::CAsn1_Attribute(const unsigned char* der, std::size_t length) {
    tag = tagNumber(Id::Sequence);
    if (!guarded([&] { return copyBytes(der, length); })) return;
    decode();
}

CAsn1_Attribute::CAsn1_Attribute(std::string_view typeDotted, std::string_view typeName,
                                 std::string_view valueText, std::uint32_t valueTag)
    : m_valueTag(valueTag) {
    tag = tagNumber(Id::Sequence);
    if (!guarded([&] {
            m_attrType = std::make_unique<CAsn1_Oid>(typeDotted, typeName);
            switch (valueTag) {
                case tagNumber(Id::OctetString):
                    m_attrValue = std::make_unique<CAsn1_OctetString>(valueText);
                    break;
                case tagNumber(Id::Oid):
                    m_attrValue = std::make_unique<CAsn1_Oid>(valueText, "");
                    break;
                case tagNumber(Id::UtcTime):
                    m_attrValue = std::make_unique<CAsn1_UtcTime>(valueText);
                    break;
                default:
                    if (valueTag != tagNumber(Id::BmpString)) m_valueTag = kOtherValue;
                    break;
            }
            return true;
        })) {
        return;
    }
    encode();
}

CAsn1_Attribute::CAsn1_Attribute(std::string_view typeDotted, std::string_view typeName,
                                 std::unique_ptr<CAsn1Base> value)
    : m_attrValue(std::move(value)) {
    tag = tagNumber(Id::Sequence);
    if (!guarded([&] {
            m_attrType = std::make_unique<CAsn1_Oid>(typeDotted, typeName);
            m_valueTag = m_attrValue ? m_attrValue->getTag() : kOtherValue;
            return true;
        })) {
        return;
    }
    encode();
}

bool CAsn1_Attribute::decode() {
    return guarded([&] {
        m_attrType.reset();
        m_attrValue.reset();
        m_valueTag = 0;
        if (!ownElement(Id::Sequence, nullptr)) return false;
        resetCursor();
        if (!cursorEnter() || !expect(Id::Oid)) return false;
        m_attrType = std::make_unique<CAsn1_Oid>(cursor.ptr, cursor.size);
        if (m_attrType->getError() != 0) return false;
        if (!cursorNext() || !expect(Id::Set) || !cursorAtEnd()) return false;
        if (!cursorEnter() || cursor.size == 0) return false;  // at least one value
        switch (cursor.ptr[0]) {
            case octet(Id::OctetString):
                m_attrValue = std::make_unique<CAsn1_OctetString>(cursor.ptr, cursor.size);
                m_valueTag = tagNumber(Id::OctetString);
                break;
            case octet(Id::Oid):
                m_attrValue = std::make_unique<CAsn1_Oid>(cursor.ptr, cursor.size);
                m_valueTag = tagNumber(Id::Oid);
                break;
            case octet(Id::UtcTime):
                m_attrValue = std::make_unique<CAsn1_UtcTime>(cursor.ptr, cursor.size);
                m_valueTag = tagNumber(Id::UtcTime);
                break;
            case octet(Id::BmpString):
                m_attrValue = std::make_unique<CAsn1_BmpString>(cursor.ptr, cursor.size);
                m_valueTag = tagNumber(Id::BmpString);
                break;
            default:
                m_attrValue = std::make_unique<CAsn1_Universal>(cursor.ptr, cursor.size);
                m_valueTag = kOtherValue;
                break;
        }
        // Further values stay in the encoding; each must still be well formed.
        while (!cursorAtEnd()) {
            if (!cursorNext()) return false;
        }
        return true;
    });
}

bool CAsn1_Attribute::encode() {
    return guarded([&] {
        DerContent values;
        if (!values.add(m_attrValue.get())) return false;
        DerContent content;
        if (!content.add(m_attrType.get()) || !content.addElement(Id::Set, values)) return false;
        return storeElement(Id::Sequence, content.octets());
    });
}

// ---- attribute lists -------------------------------------------------------------

CAsn1_AttributeSet::CAsn1_AttributeSet() { tag = tagNumber(Id::Set); }

const CAsn1_Attribute* CAsn1_AttributeSet::attribute(std::size_t index) const {
    return index < m_attributes.size() ? m_attributes[index].get() : nullptr;
}

const CAsn1_Attribute* CAsn1_AttributeSet::find(std::string_view dotted) const {
    for (const auto& attribute : m_attributes) {
        if (attribute->attrType() != nullptr && attribute->attrType()->is(dotted)) {
            return attribute.get();
        }
    }
    return nullptr;
}

bool CAsn1_AttributeSet::decodeList(Id contextIdentifier) {
    return guarded([&] {
        m_attributes.clear();
        if (!pb || cb == 0 || (pb[0] != contextIdentifier && pb[0] != Id::Set)) return false;
        if (!ownElement(pb[0] == Id::Set ? Id::Set : contextIdentifier, nullptr)) return false;
        resetCursor();
        if (!cursorEnter()) return false;
        if (cursor.size == 0) return true;  // empty list
        for (;;) {
            if (!expect(Id::Sequence)) return false;
            m_attributes.push_back(std::make_unique<CAsn1_Attribute>(cursor.ptr, cursor.size));
            if (m_attributes.back()->getError() != 0) return false;
            if (cursorAtEnd()) return true;
            if (!cursorNext()) return false;
        }
    });
}

CAsn1_AuthAttributes::CAsn1_AuthAttributes() { encode(); }

CAsn1_AuthAttributes::CAsn1_AuthAttributes(const unsigned char* der, std::size_t length) {
    if (!guarded([&] { return copyBytes(der, length); })) return;
    decode();
}

bool CAsn1_AuthAttributes::addAttribute(std::unique_ptr<CAsn1_Attribute> attribute) {
    if (!attribute) return false;
    if (!guarded([&] {
            m_attributes.push_back(std::move(attribute));
            return true;
        })) {
        return false;
    }
    return encode();
}

bool CAsn1_AuthAttributes::decode() { return decodeList(Id::Context0); }

bool CAsn1_AuthAttributes::encode() {
    return guarded([&] {
        DerContent content;
        for (const auto& attribute : m_attributes) {
            if (!content.add(attribute.get())) return false;
        }
        return storeElement(Id::Context0, content.octets());
    });
}

CAsn1_UnauthAttributes::CAsn1_UnauthAttributes() = default;

CAsn1_UnauthAttributes::CAsn1_UnauthAttributes(const unsigned char* der, std::size_t length) {
    if (!guarded([&] { return copyBytes(der, length); })) return;
    decode();
}

bool CAsn1_UnauthAttributes::decode() { return decodeList(Id::Context1); }

bool CAsn1_UnauthAttributes::encode() { return true; }

// ---- signing-certificate-v2 --------------------------------------------------------

CAsn1_EssCertIdV2::CAsn1_EssCertIdV2(const CAsn1_Cert& certificate) {
    tag = tagNumber(Id::Sequence);
    if (!guarded([&] {
            if (!kivo::asn1::hasEncoding(&certificate)) return false;
            m_hashAlgorithm = std::make_unique<CAsn1_AlgoIdent>(
                std::make_unique<CAsn1_Oid>(kivo::cms::oid::kSha256, "sha-256"));

            auto digest = kivo::newDigest(kivo::DigestAlgorithm::Sha256);
            if (!digest) return false;
            unsigned char hash[kivo::kMaxDigestLength];
            digest->Reset();
            kivo::updateDigest(*digest, certificate.getPb(), certificate.getCb());
            digest->Final(hash);
            m_certHash = CAsn1_OctetString::fromOctets(hash, digest->DigestLength());

            const auto issuer = certificate.issuerDer();
            const auto serial = certificate.serialDer();
            m_issuerSerial = std::make_unique<CAsn1_IssuerSerial>(issuer.data(), issuer.size(),
                                                                  serial.data(), serial.size());
            return m_certHash != nullptr;
        })) {
        return;
    }
    encode();
}

bool CAsn1_EssCertIdV2::decode() { return fail(); }

bool CAsn1_EssCertIdV2::encode() {
    return guarded([&] {
        DerContent certId;
        certId.addOptional(m_hashAlgorithm.get());
        if (!certId.add(m_certHash.get()) || !certId.add(m_issuerSerial.get())) return false;
        DerContent certs;
        if (!certs.addElement(Id::Sequence, certId)) return false;
        DerContent signingCertificate;
        if (!signingCertificate.addElement(Id::Sequence, certs)) return false;
        return storeElement(Id::Sequence, signingCertificate.octets());
    });
}
