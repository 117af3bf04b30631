// SignedData and its parts: EncapsulatedContentInfo and SignerInfo.
#pragma once

#include "asn1/CmsAttributes.h"

#include <memory>
#include <vector>

// EncapsulatedContentInfo: SEQUENCE { eContentType, [0] { eContent } }.
class CAsn1_ContentInfo : public CAsn1Base {
public:
    CAsn1_ContentInfo(const unsigned char* der, std::size_t length);
    // Takes ownership; a null eContent makes a detached signature.
    CAsn1_ContentInfo(std::unique_ptr<CAsn1_Oid> eContentType,
                      std::unique_ptr<CAsn1_OctetString> eContent);

    const CAsn1_Oid* eContentType() const { return m_eContentType.get(); }
    // Null for a detached signature, or when the [0] element holds
    // something other than one primitive OCTET STRING (see eContentOther).
    const CAsn1_OctetString* eContent() const { return m_eContent.get(); }
    // A decoded [0] element that is not one primitive OCTET STRING (BER
    // chunks, other types), kept whole so that encode writes it again.
    const CAsn1_Universal* eContentOther() const { return m_eContentOther.get(); }

    // SEQUENCE { OID [, [0] { content }] }.
    bool decode() override;
    // 30 { eContentType; A0 { eContent } only when present }.
    bool encode() override;

private:
    std::unique_ptr<CAsn1_Oid> m_eContentType;
    std::unique_ptr<CAsn1_OctetString> m_eContent;
    std::unique_ptr<CAsn1_Universal> m_eContentOther;
};

class CAsn1_SignerInfo : public CAsn1Base {
public:
    CAsn1_SignerInfo(const unsigned char* der, std::size_t length);
    // Takes ownership of every part; signedAttrs and unsignedAttrs may be
    // null.
    CAsn1_SignerInfo(std::uint32_t version, std::unique_ptr<CAsn1_IssuerAndSerial> sid,
                     std::unique_ptr<CAsn1_AlgoIdent> digestAlgorithm,
                     std::unique_ptr<CAsn1_AuthAttributes> signedAttrs,
                     std::unique_ptr<CAsn1_AlgoIdent> signatureAlgorithm,
                     std::unique_ptr<CAsn1_OctetString> signature,
                     std::unique_ptr<CAsn1_UnauthAttributes> unsignedAttrs);

    std::uint32_t version() const { return m_version; }
    const CAsn1_IssuerAndSerial* sid() const { return m_sid.get(); }
    const CAsn1_AlgoIdent* digestAlgorithm() const { return m_digestAlgorithm.get(); }
    const CAsn1_AlgoIdent* signatureAlgorithm() const { return m_signatureAlgorithm.get(); }
    const CAsn1_AuthAttributes* signedAttrs() const { return m_signedAttrs.get(); }
    const CAsn1_OctetString* signature() const { return m_signature.get(); }
    // ECDSA signers only: r‖s of the signature (ecdsaRawFromDer), or a copy
    // of a signature that is not an ECDSA-Sig-Value; null otherwise.
    const CAsn1_OctetString* rawSignature() const { return m_rawSignature.get(); }
    const CAsn1_UnauthAttributes* unsignedAttrs() const { return m_unsignedAttrs.get(); }

    // The signature algorithm is ECDSA: an OID below 1.2.840.10045.4, or
    // exactly 0.4.0.127.0.7.1.1.4.1.
    bool isEcSignature() const;
    // Replaces the signature (deleting the old one) and re-encodes; the
    // result of encode. A null signature changes nothing and gives false.
    bool replaceSignature(std::unique_ptr<CAsn1_OctetString> signature);

    // SEQUENCE { version, IssuerAndSerialNumber, digestAlgorithm,
    // [0] signedAttrs OPTIONAL, signatureAlgorithm, signature,
    // [1] unsignedAttrs OPTIONAL }. The subjectKeyIdentifier sid is not
    // supported.
    bool decode() override;
    // 30 { INTEGER 1; sid; digestAlgorithm; signedAttrs; signatureAlgorithm;
    // signature; unsignedAttrs as they stand }; fails without sid, an
    // algorithm or the signature.
    bool encode() override;

private:
    void makeRawSignature();

    std::uint32_t m_version = 0;
    std::unique_ptr<CAsn1_IssuerAndSerial> m_sid;
    std::unique_ptr<CAsn1_AlgoIdent> m_digestAlgorithm;
    std::unique_ptr<CAsn1_AlgoIdent> m_signatureAlgorithm;
    std::unique_ptr<CAsn1_AuthAttributes> m_signedAttrs;
    std::unique_ptr<CAsn1_OctetString> m_signature;
    std::unique_ptr<CAsn1_OctetString> m_rawSignature;
    std::unique_ptr<CAsn1_UnauthAttributes> m_unsignedAttrs;
};

// SignedData. Decoded from the [0] element that wraps it in a ContentInfo;
// encode writes the SignedData SEQUENCE itself (CAsn1_Pkcs7 adds the [0]).
class CAsn1_Pkcs7_Sd : public CAsn1Base {
public:
    CAsn1_Pkcs7_Sd(const unsigned char* der, std::size_t length);
    CAsn1_Pkcs7_Sd(std::uint32_t version,
                   std::vector<std::unique_ptr<CAsn1_AlgoIdent>> digestAlgorithms,
                   std::unique_ptr<CAsn1_ContentInfo> encapContentInfo,
                   std::vector<std::unique_ptr<CAsn1_Cert>> certificates,
                   std::vector<std::unique_ptr<CAsn1_Crl>> crls,
                   std::vector<std::unique_ptr<CAsn1_SignerInfo>> signerInfos);

    std::uint32_t version() const { return m_version; }
    const std::vector<std::unique_ptr<CAsn1_AlgoIdent>>& digestAlgorithms() const {
        return m_digestAlgorithms;
    }
    const CAsn1_ContentInfo* encapContentInfo() const { return m_encapContentInfo.get(); }
    // Every element of the [0] certificates field, in order. Entries that are
    // not X.509 certificates report their own decode error and are written
    // again as they were.
    const std::vector<std::unique_ptr<CAsn1_Cert>>& certificates() const { return m_certificates; }
    const std::vector<std::unique_ptr<CAsn1_Crl>>& crls() const { return m_crls; }
    std::size_t signerCount() const { return m_signerInfos.size(); }

    // Null unless index < signerCount().
    CAsn1_SignerInfo* getSignerInfo(std::size_t index);
    const CAsn1_SignerInfo* getSignerInfo(std::size_t index) const;
    // Replaces signer `index`'s signature and re-encodes the signer and the
    // SignedData; false (nothing changed) for an index out of range or a
    // null signature.
    bool setSignerSignature(std::size_t index, std::unique_ptr<CAsn1_OctetString> signature);

    // [0] { SEQUENCE { version, SET digestAlgorithms, encapContentInfo,
    // [0] certificates OPTIONAL, [1] crls OPTIONAL, SET signerInfos } }.
    bool decode() override;
    // 30 { INTEGER version; 31 { digest algorithms }; encapContentInfo;
    // A0 { certificates } when any; A1 { crls } when any; 31 { signers } };
    // fails without a digest algorithm, encapContentInfo or a signer.
    bool encode() override;

private:
    std::uint32_t m_version = 0;
    std::vector<std::unique_ptr<CAsn1_AlgoIdent>> m_digestAlgorithms;
    std::unique_ptr<CAsn1_ContentInfo> m_encapContentInfo;
    std::vector<std::unique_ptr<CAsn1_Cert>> m_certificates;
    std::vector<std::unique_ptr<CAsn1_Crl>> m_crls;
    std::vector<std::unique_ptr<CAsn1_SignerInfo>> m_signerInfos;
};
