// EnvelopedData, OriginatorInfo and RecipientInfo.

#include "asn1/CmsEnvelopedData.h"

using kivo::asn1::Id;
using kivo::asn1::tagNumber;


namespace {

}  // namespace

// ---- KeyTransportRecipientInfo ------------------------------------------------------

CAsn1_KeyTransportRecipientInfo::CAsn1_KeyTransportRecipientInfo(const unsigned char* der,
                                                                 std::size_t length) {
    tag = tagNumber(Id::Sequence);
    if (!guarded([&] { return copyBytes(der, length); })) return;
    decode();
}

bool CAsn1_KeyTransportRecipientInfo::decode() {
    return guarded([&] {
        if (!ownElement(Id::Sequence, nullptr)) return false;
        resetCursor();
        if (!cursorEnter() || !expect(Id::Integer)) return false;
        m_version = Asn1SmallInt(cursor.ptr, cursor.size);
        return true;
    });
}

bool CAsn1_KeyTransportRecipientInfo::encode() { return true; }

// ---- RecipientInfo ---------------------------------------------------------------

CAsn1_RecipientInfo::CAsn1_RecipientInfo(const unsigned char* der, std::size_t length) {
    tag = tagNumber(Id::Sequence);
    if (!guarded([&] { return copyBytes(der, length); })) return;
    decode();
}

bool CAsn1_RecipientInfo::decode() {
    return guarded([&] {
        m_ktri.reset();
        m_kari.reset();
        m_kekri.reset();
        if (!pb || cb == 0) return false;
        const Id identifier = static_cast<Id>(pb[0]);
        if (identifier != Id::Sequence && identifier != Id::Context1 && identifier != Id::Context2) {
            return false;
        }
        if (!ownElement(identifier, nullptr)) return false;
        if (identifier == Id::Sequence) {
            m_ktri = std::make_unique<CAsn1_KeyTransportRecipientInfo>(pb.get(), elementSize);
            return m_ktri->getError() == 0;
        }
        auto kept = std::make_unique<CAsn1_Universal>(pb.get(), elementSize);
        (identifier == Id::Context1 ? m_kari : m_kekri) = std::move(kept);
        return true;
    });
}

bool CAsn1_RecipientInfo::encode() { return true; }

// ---- OriginatorInfo -------------------------------------------------------------

CAsn1_OriginatorInfo::CAsn1_OriginatorInfo(const unsigned char* der, std::size_t length) {
    tag = tagNumber(Id::Sequence);
    if (!guarded([&] { return copyBytes(der, length); })) return;
    decode();
}

bool CAsn1_OriginatorInfo::decode() {
    return guarded([&] {
        m_certs.clear();
        m_crls.clear();
        if (!ownElement(Id::Context0, nullptr)) return false;
        resetCursor();
        if (!cursorEnter()) return false;
        if (cursor.size == 0) return true;
        if (cursorAt(Id::Context0)) {
            const bool read = cursorForEachChild([&] {
                m_certs.push_back(std::make_unique<CAsn1_Cert>(cursor.ptr, cursor.size));
                return true;
            });
            if (!read) return false;
            if (cursorAtEnd()) return true;
            if (!cursorNext()) return false;
        }
        if (!expect(Id::Context1) || !cursorAtEnd()) return false;
        return cursorForEachChild([&] {
            m_crls.push_back(std::make_unique<CAsn1_Crl>(cursor.ptr, cursor.size));
            return true;
        });
    });
}

bool CAsn1_OriginatorInfo::encode() { return true; }

// ---- EnvelopedData ---------------------------------------------------------------

CAsn1_Pkcs7_Ed::CAsn1_Pkcs7_Ed(const unsigned char* der, std::size_t length) {
    tag = tagNumber(Id::Sequence);
    if (!guarded([&] { return copyBytes(der, length); })) return;
    decode();
}

bool CAsn1_Pkcs7_Ed::decode() {
    return guarded([&] {
        m_version = 0;
        m_originatorInfo.reset();
        m_recipientInfos.clear();
        m_encryptedContentInfo.reset();
        if (!ownElement(Id::Context0, nullptr)) return false;
        resetCursor();
        if (!cursorEnter() || !expect(Id::Sequence) || !cursorAtEnd()) return false;

        if (!cursorEnter() || !expect(Id::Integer)) return false;
        m_version = Asn1SmallInt(cursor.ptr, cursor.size);

        if (!cursorNext()) return false;
        if (cursorAt(Id::Context0)) {
            m_originatorInfo = std::make_unique<CAsn1_OriginatorInfo>(cursor.ptr, cursor.size);
            if (m_originatorInfo->getError() != 0 || !cursorNext()) return false;
        }

        if (!expect(Id::Set)) return false;
        const bool recipientsRead = cursorForEachChild([&] {
            m_recipientInfos.push_back(std::make_unique<CAsn1_RecipientInfo>(cursor.ptr, cursor.size));
            return m_recipientInfos.back()->getError() == 0;
        });
        if (!recipientsRead) return false;

        if (!cursorNext() || !expect(Id::Sequence)) return false;
        m_encryptedContentInfo = std::make_unique<CAsn1_Universal>(cursor.ptr, cursor.size);
        if (m_encryptedContentInfo->getError() != 0) return false;
        if (cursorAtEnd()) return true;
        return cursorNext() && expect(Id::Context1) && cursorAtEnd();
    });
}

bool CAsn1_Pkcs7_Ed::encode() { return true; }
