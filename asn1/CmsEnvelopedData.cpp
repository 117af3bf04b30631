// EnvelopedData, OriginatorInfo and RecipientInfo.

#include "asn1/CmsEnvelopedData.h"

using kivo::asn1::kSequence;
using kivo::asn1::kSet;

namespace {

constexpr unsigned char kIntegerElement = 0x02;
constexpr unsigned char kContext0 = 0xA0;
constexpr unsigned char kContext1 = 0xA1;
constexpr unsigned char kContext2 = 0xA2;

}  // namespace

// ---- KeyTransportRecipientInfo ------------------------------------------------------

CAsn1_KeyTransportRecipientInfo::CAsn1_KeyTransportRecipientInfo(const unsigned char* der,
                                                                 std::size_t length) {
    tag = kivo::asn1::kSequenceNumber;
    if (!guarded([&] { return copyBytes(der, length); })) return;
    decode();
}

bool CAsn1_KeyTransportRecipientInfo::decode() {
    return guarded([&] {
        if (!ownElement(kSequence, nullptr)) return false;
        resetCursor();
        if (!cursorEnter() || !cursorAt(kIntegerElement)) return false;
        m_version = Asn1SmallInt(cursor.ptr, cursor.size);
        return true;
    });
}

bool CAsn1_KeyTransportRecipientInfo::encode() { return true; }

// ---- RecipientInfo ---------------------------------------------------------------

CAsn1_RecipientInfo::CAsn1_RecipientInfo(const unsigned char* der, std::size_t length) {
    tag = kivo::asn1::kSequenceNumber;
    if (!guarded([&] { return copyBytes(der, length); })) return;
    decode();
}

bool CAsn1_RecipientInfo::decode() {
    return guarded([&] {
        m_ktri.reset();
        m_kari.reset();
        m_kekri.reset();
        if (!pb || cb == 0) return false;
        const unsigned char identifier = pb[0];
        if (identifier != kSequence && identifier != kContext1 && identifier != kContext2) {
            return false;
        }
        if (!ownElement(identifier, nullptr)) return false;
        if (identifier == kSequence) {
            m_ktri = std::make_unique<CAsn1_KeyTransportRecipientInfo>(pb.get(), elementSize);
            return m_ktri->getError() == 0;
        }
        auto kept = std::make_unique<CAsn1_Universal>(pb.get(), elementSize);
        (identifier == kContext1 ? m_kari : m_kekri) = std::move(kept);
        return true;
    });
}

bool CAsn1_RecipientInfo::encode() { return true; }

// ---- OriginatorInfo -------------------------------------------------------------

CAsn1_OriginatorInfo::CAsn1_OriginatorInfo(const unsigned char* der, std::size_t length) {
    tag = kivo::asn1::kSequenceNumber;
    if (!guarded([&] { return copyBytes(der, length); })) return;
    decode();
}

bool CAsn1_OriginatorInfo::decode() {
    return guarded([&] {
        m_certs.clear();
        m_crls.clear();
        if (!ownElement(kContext0, nullptr)) return false;
        resetCursor();
        if (!cursorEnter()) return false;
        if (cursor.size == 0) return true;
        if (cursorAt(kContext0)) {
            const bool read = cursorForEachChild([&] {
                m_certs.push_back(std::make_unique<CAsn1_Cert>(cursor.ptr, cursor.size));
                return true;
            });
            if (!read) return false;
            if (cursorAtEnd()) return true;
            if (!cursorNext()) return false;
        }
        if (!cursorAt(kContext1) || !cursorAtEnd()) return false;
        return cursorForEachChild([&] {
            m_crls.push_back(std::make_unique<CAsn1_Crl>(cursor.ptr, cursor.size));
            return true;
        });
    });
}

bool CAsn1_OriginatorInfo::encode() { return true; }

// ---- EnvelopedData ---------------------------------------------------------------

CAsn1_Pkcs7_Ed::CAsn1_Pkcs7_Ed(const unsigned char* der, std::size_t length) {
    tag = kivo::asn1::kSequenceNumber;
    if (!guarded([&] { return copyBytes(der, length); })) return;
    decode();
}

bool CAsn1_Pkcs7_Ed::decode() {
    return guarded([&] {
        m_version = 0;
        m_originatorInfo.reset();
        m_recipientInfos.clear();
        m_encryptedContentInfo.reset();
        if (!ownElement(kContext0, nullptr)) return false;
        resetCursor();
        if (!cursorEnter() || !cursorAt(kSequence) || !cursorAtEnd()) return false;

        if (!cursorEnter() || !cursorAt(kIntegerElement)) return false;
        m_version = Asn1SmallInt(cursor.ptr, cursor.size);

        if (!cursorNext()) return false;
        if (cursorAt(kContext0)) {
            m_originatorInfo = std::make_unique<CAsn1_OriginatorInfo>(cursor.ptr, cursor.size);
            if (m_originatorInfo->getError() != 0 || !cursorNext()) return false;
        }

        if (!cursorAt(kSet)) return false;
        const bool recipientsRead = cursorForEachChild([&] {
            m_recipientInfos.push_back(std::make_unique<CAsn1_RecipientInfo>(cursor.ptr, cursor.size));
            return m_recipientInfos.back()->getError() == 0;
        });
        if (!recipientsRead) return false;

        if (!cursorNext() || !cursorAt(kSequence)) return false;
        m_encryptedContentInfo = std::make_unique<CAsn1_Universal>(cursor.ptr, cursor.size);
        if (m_encryptedContentInfo->getError() != 0) return false;
        if (cursorAtEnd()) return true;
        return cursorNext() && cursorAt(kContext1) && cursorAtEnd();
    });
}

bool CAsn1_Pkcs7_Ed::encode() { return true; }
