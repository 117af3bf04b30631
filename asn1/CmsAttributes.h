// Attributes of a SignerInfo and the signing-certificate-v2 value.
#pragma once

#include "asn1/CmsCertificate.h"

#include <memory>
#include <string_view>
#include <vector>

// Attribute: SEQUENCE { type OID, SET { value } }. Only the first value of
// a decoded attribute is kept as an object; the encoding keeps them all.
class CAsn1_Attribute : public CAsn1Base {
public:
    // valueTag of a value whose type the class does not model.
    static constexpr std::uint32_t kOtherValue = 0xFF;

    CAsn1_Attribute(const unsigned char* der, std::size_t length);
    // The value built from text by `valueTag`: 4 an OCTET STRING from hex,
    // 6 an OID from dotted text, 23 a UTCTime from UTCTime text. Any other
    // tag leaves the value empty (valueTag 0xFF unless it was 30), so that
    // the encode in the constructor fails.
    CAsn1_Attribute(std::string_view typeDotted, std::string_view typeName,
                    std::string_view valueText, std::uint32_t valueTag);
    // Takes the value object; valueTag is its tag.
    CAsn1_Attribute(std::string_view typeDotted, std::string_view typeName,
                    std::unique_ptr<CAsn1Base> value);

    const CAsn1_Oid* attrType() const { return m_attrType.get(); }
    // CAsn1_OctetString, CAsn1_Oid, CAsn1_UtcTime, CAsn1_BmpString, or a
    // CAsn1_Universal for other types (valueTag 0xFF).
    const CAsn1Base* attrValue() const { return m_attrValue.get(); }
    std::uint32_t valueTag() const { return m_valueTag; }

    bool decode() override;
    // 30 { attrType; 31 { attrValue } }; fails without type or value.
    bool encode() override;

private:
    std::unique_ptr<CAsn1_Oid> m_attrType;
    std::unique_ptr<CAsn1Base> m_attrValue;
    std::uint32_t m_valueTag = 0;
};

// The list shared by signed and unsigned attributes: a SET OF Attribute
// under an implicit context tag, kept in insertion (or received) order.
class CAsn1_AttributeSet : public CAsn1Base {
public:
    std::size_t count() const { return m_attributes.size(); }
    // Null unless index < count().
    const CAsn1_Attribute* attribute(std::size_t index) const;
    // The first attribute of type `dotted`, or null.
    const CAsn1_Attribute* find(std::string_view dotted) const;

protected:
    CAsn1_AttributeSet();
    // Walks the children of the element in pb, whose identifier must be
    // `contextIdentifier` or 0x31; every child must be a SEQUENCE that
    // decodes as an Attribute.
    bool decodeList(kivo::asn1::Id contextIdentifier);

    std::vector<std::unique_ptr<CAsn1_Attribute>> m_attributes;
};

// signedAttrs: [0] IMPLICIT SET OF Attribute. The encoding starts with A0;
// the signature covers it with the first octet changed to 31.
class CAsn1_AuthAttributes : public CAsn1_AttributeSet {
public:
    // The empty list, encoded as A0 00.
    CAsn1_AuthAttributes();
    CAsn1_AuthAttributes(const unsigned char* der, std::size_t length);

    // Appends (takes ownership) and re-encodes; the result of encode.
    // A null attribute changes nothing and gives false.
    bool addAttribute(std::unique_ptr<CAsn1_Attribute> attribute);

    bool decode() override;
    // A0 { the attributes in insertion order, not sorted }.
    bool encode() override;
};

// unsignedAttrs: [1] IMPLICIT SET OF Attribute. A new list has no encoding
// at all and adds nothing to its SignerInfo; a decoded one keeps the octets
// it was decoded from.
class CAsn1_UnauthAttributes : public CAsn1_AttributeSet {
public:
    CAsn1_UnauthAttributes();
    CAsn1_UnauthAttributes(const unsigned char* der, std::size_t length);

    bool decode() override;
    // The library never builds unsigned attributes here (the time stamp
    // is appended to the finished encoding): nothing to rebuild.
    bool encode() override;
};

// The value of the signing-certificate-v2 attribute: SigningCertificateV2
// with one ESSCertIDv2 { SHA-256 AlgorithmIdentifier, the SHA-256 of the
// certificate, IssuerSerial }.
class CAsn1_EssCertIdV2 : public CAsn1Base {
public:
    explicit CAsn1_EssCertIdV2(const CAsn1_Cert& certificate);

    const CAsn1_AlgoIdent* hashAlgorithm() const { return m_hashAlgorithm.get(); }
    const CAsn1_OctetString* certHash() const { return m_certHash.get(); }
    const CAsn1_IssuerSerial* issuerSerial() const { return m_issuerSerial.get(); }

    // Decoding this structure is not supported: false (error -22).
    bool decode() override;
    // 30 { 30 { 30 { hashAlgorithm when present; certHash; issuerSerial } } }.
    bool encode() override;

private:
    std::unique_ptr<CAsn1_AlgoIdent> m_hashAlgorithm;
    std::unique_ptr<CAsn1_OctetString> m_certHash;
    std::unique_ptr<CAsn1_IssuerSerial> m_issuerSerial;
};
