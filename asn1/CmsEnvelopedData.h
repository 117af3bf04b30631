// EnvelopedData as far as the library reads it: version, originator
// certificates, recipients and the encrypted content kept whole.
#pragma once

#include "asn1/CmsCertificate.h"

#include <memory>
#include <vector>

class CAsn1_KeyTransportRecipientInfo : public CAsn1Base {
public:
    static constexpr std::uint32_t kNotDecoded = 0xFFFFFFFF;

    CAsn1_KeyTransportRecipientInfo(const unsigned char* der, std::size_t length);

    // kNotDecoded until a decode succeeded.
    std::uint32_t version() const { return m_version; }

    // SEQUENCE whose first child is the version INTEGER; nothing else is read.
    bool decode() override;
    // Read-only: nothing to rebuild.
    bool encode() override;

private:
    std::uint32_t m_version = kNotDecoded;
};

// RecipientInfo CHOICE: a SEQUENCE is a key-transport recipient; [1]
// (key agreement) and [2] (KEK) are kept whole. Other choices fail.
class CAsn1_RecipientInfo : public CAsn1Base {
public:
    CAsn1_RecipientInfo(const unsigned char* der, std::size_t length);

    const CAsn1_KeyTransportRecipientInfo* ktri() const { return m_ktri.get(); }
    const CAsn1_Universal* kari() const { return m_kari.get(); }
    const CAsn1_Universal* kekri() const { return m_kekri.get(); }

    bool decode() override;
    // Read-only: nothing to rebuild.
    bool encode() override;

private:
    std::unique_ptr<CAsn1_KeyTransportRecipientInfo> m_ktri;
    std::unique_ptr<CAsn1_Universal> m_kari;
    std::unique_ptr<CAsn1_Universal> m_kekri;
};

// OriginatorInfo: [0] { [0] certificates OPTIONAL, [1] crls OPTIONAL }.
class CAsn1_OriginatorInfo : public CAsn1Base {
public:
    CAsn1_OriginatorInfo(const unsigned char* der, std::size_t length);

    const std::vector<std::unique_ptr<CAsn1_Cert>>& certs() const { return m_certs; }
    const std::vector<std::unique_ptr<CAsn1_Crl>>& crls() const { return m_crls; }

    bool decode() override;
    // Read-only: nothing to rebuild.
    bool encode() override;

private:
    std::vector<std::unique_ptr<CAsn1_Cert>> m_certs;
    std::vector<std::unique_ptr<CAsn1_Crl>> m_crls;
};

// EnvelopedData, decoded from the [0] element that wraps it in a ContentInfo.
class CAsn1_Pkcs7_Ed : public CAsn1Base {
public:
    CAsn1_Pkcs7_Ed(const unsigned char* der, std::size_t length);

    std::uint32_t version() const { return m_version; }
    const CAsn1_OriginatorInfo* originatorInfo() const { return m_originatorInfo.get(); }
    const std::vector<std::unique_ptr<CAsn1_RecipientInfo>>& recipientInfos() const {
        return m_recipientInfos;
    }
    const CAsn1_Universal* encryptedContentInfo() const { return m_encryptedContentInfo.get(); }

    // [0] { SEQUENCE { version, [0] originatorInfo OPTIONAL,
    // SET recipientInfos, encryptedContentInfo, [1] unprotectedAttrs
    // OPTIONAL (not read) } }.
    bool decode() override;
    // Read-only: nothing to rebuild (the held encoding is the [0] element).
    bool encode() override;

private:
    std::uint32_t m_version = 0;
    std::unique_ptr<CAsn1_OriginatorInfo> m_originatorInfo;
    std::vector<std::unique_ptr<CAsn1_RecipientInfo>> m_recipientInfos;
    std::unique_ptr<CAsn1_Universal> m_encryptedContentInfo;
};
