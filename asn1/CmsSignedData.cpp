// EncapsulatedContentInfo, SignerInfo and SignedData.

#include "asn1/CmsSignedData.h"

#include "asn1/CmsOids.h"
#include "asn1/EcdsaSignature.h"

using kivo::asn1::Id;
using kivo::asn1::tagNumber;

using kivo::asn1::DerContent;

namespace {

}  // namespace

// ---- EncapsulatedContentInfo --------------------------------------------------------

CAsn1_ContentInfo::CAsn1_ContentInfo(const unsigned char* der, std::size_t length) {
    tag = tagNumber(Id::Sequence);
    if (!guarded([&] { return copyBytes(der, length); })) return;
    decode();
}

CAsn1_ContentInfo::CAsn1_ContentInfo(std::unique_ptr<CAsn1_Oid> eContentType,
                                     std::unique_ptr<CAsn1_OctetString> eContent)
    : m_eContentType(std::move(eContentType)), m_eContent(std::move(eContent)) {
    tag = tagNumber(Id::Sequence);
    encode();
}

bool CAsn1_ContentInfo::decode() {
    return guarded([&] {
        m_eContentType.reset();
        m_eContent.reset();
        m_eContentOther.reset();
        if (!ownElement(Id::Sequence, nullptr)) return false;
        resetCursor();
        if (!cursorEnter() || !expect(Id::Oid)) return false;
        m_eContentType = std::make_unique<CAsn1_Oid>(cursor.ptr, cursor.size);
        if (m_eContentType->getError() != 0) return false;
        if (cursorAtEnd()) return true;  // detached
        if (!cursorNext() || !expect(Id::Context0) || !cursorAtEnd()) return false;
        const Asn1Cursor wrapper = cursor;
        if (!cursorEnter()) return false;
        if (cursorAt(Id::OctetString) && cursorAtEnd()) {
            auto content = std::make_unique<CAsn1_OctetString>(cursor.ptr, cursor.size);
            if (content->getError() == 0) {
                m_eContent = std::move(content);
                return true;
            }
        }
        m_eContentOther = std::make_unique<CAsn1_Universal>(wrapper.ptr, wrapper.size);
        return true;
    });
}

bool CAsn1_ContentInfo::encode() {
    return guarded([&] {
        DerContent content;
        if (!content.add(m_eContentType.get())) return false;
        if (m_eContent) {
            DerContent wrapped;
            if (!wrapped.add(m_eContent.get()) || !content.addElement(Id::Context0, wrapped)) {
                return false;
            }
        } else if (m_eContentOther && !content.add(m_eContentOther.get())) {
            return false;
        }
        return storeElement(Id::Sequence, content.octets());
    });
}

// ---- SignerInfo --------------------------------------------------------------------

CAsn1_SignerInfo::CAsn1_SignerInfo(const unsigned char* der, std::size_t length) {
    tag = tagNumber(Id::Sequence);
    if (!guarded([&] { return copyBytes(der, length); })) return;
    decode();
}

CAsn1_SignerInfo::CAsn1_SignerInfo(std::uint32_t version,
                                   std::unique_ptr<CAsn1_IssuerAndSerial> sid,
                                   std::unique_ptr<CAsn1_AlgoIdent> digestAlgorithm,
                                   std::unique_ptr<CAsn1_AuthAttributes> signedAttrs,
                                   std::unique_ptr<CAsn1_AlgoIdent> signatureAlgorithm,
                                   std::unique_ptr<CAsn1_OctetString> signature,
                                   std::unique_ptr<CAsn1_UnauthAttributes> unsignedAttrs)
    : m_version(version),
      m_sid(std::move(sid)),
      m_digestAlgorithm(std::move(digestAlgorithm)),
      m_signatureAlgorithm(std::move(signatureAlgorithm)),
      m_signedAttrs(std::move(signedAttrs)),
      m_signature(std::move(signature)),
      m_unsignedAttrs(std::move(unsignedAttrs)) {
    tag = tagNumber(Id::Sequence);
    if (!guarded([&] {
            makeRawSignature();
            return true;
        })) {
        return;
    }
    encode();
}

bool CAsn1_SignerInfo::isEcSignature() const {
    if (!m_signatureAlgorithm || !m_signatureAlgorithm->algorithm()) return false;
    const std::string& dotted = m_signatureAlgorithm->algorithm()->dotted();
    const std::string_view arc = kivo::cms::oid::kEcdsaSignatureArc;
    const bool belowArc =
        dotted.starts_with(arc) && (dotted.size() == arc.size() || dotted[arc.size()] == '.');
    return belowArc || dotted == kivo::cms::oid::kEcdsaPlainSignatures;
}

void CAsn1_SignerInfo::makeRawSignature() {
    m_rawSignature.reset();
    if (!m_signature || !isEcSignature()) return;
    std::vector<unsigned char> raw;
    switch (kivo::asn1::ecdsaRawFromDer(m_signature->content(), &raw)) {
        case kivo::asn1::RawSignatureForm::kRaw:
            m_rawSignature = CAsn1_OctetString::fromOctets(raw.data(), raw.size());
            break;
        case kivo::asn1::RawSignatureForm::kCopy: {
            const auto content = m_signature->content();
            m_rawSignature = CAsn1_OctetString::fromOctets(content.data(), content.size());
            break;
        }
        case kivo::asn1::RawSignatureForm::kNone:
            break;
    }
}

bool CAsn1_SignerInfo::replaceSignature(std::unique_ptr<CAsn1_OctetString> signature) {
    if (!signature) return false;
    if (!guarded([&] {
            m_signature = std::move(signature);
            makeRawSignature();
            return true;
        })) {
        return false;
    }
    return encode();
}

bool CAsn1_SignerInfo::decode() {
    return guarded([&] {
        m_version = 0;
        m_sid.reset();
        m_digestAlgorithm.reset();
        m_signatureAlgorithm.reset();
        m_signedAttrs.reset();
        m_signature.reset();
        m_rawSignature.reset();
        m_unsignedAttrs.reset();
        if (!ownElement(Id::Sequence, nullptr)) return false;
        resetCursor();

        if (!cursorEnter() || !expect(Id::Integer)) return false;
        m_version = Asn1SmallInt(cursor.ptr, cursor.size);

        if (!cursorNext() || !expect(Id::Sequence)) return false;  // IssuerAndSerialNumber only
        m_sid = std::make_unique<CAsn1_IssuerAndSerial>(cursor.ptr, cursor.size);
        if (m_sid->getError() != 0) return false;

        if (!cursorNext() || !expect(Id::Sequence)) return false;
        m_digestAlgorithm = std::make_unique<CAsn1_AlgoIdent>(cursor.ptr, cursor.size);
        if (m_digestAlgorithm->getError() != 0) return false;

        if (!cursorNext()) return false;
        if (cursorAt(Id::Context0)) {
            m_signedAttrs = std::make_unique<CAsn1_AuthAttributes>(cursor.ptr, cursor.size);
            if (m_signedAttrs->getError() != 0 || !cursorNext()) return false;
        }

        if (!expect(Id::Sequence)) return false;
        m_signatureAlgorithm = std::make_unique<CAsn1_AlgoIdent>(cursor.ptr, cursor.size);
        if (m_signatureAlgorithm->getError() != 0) return false;

        if (!cursorNext() || !expect(Id::OctetString)) return false;
        m_signature = std::make_unique<CAsn1_OctetString>(cursor.ptr, cursor.size);
        if (m_signature->getError() != 0) return false;
        makeRawSignature();

        if (cursorAtEnd()) return true;
        // Unsigned attributes are kept so that encode writes them again.
        if (!cursorNext() || !expect(Id::Context1) || !cursorAtEnd()) return false;
        m_unsignedAttrs = std::make_unique<CAsn1_UnauthAttributes>(cursor.ptr, cursor.size);
        return m_unsignedAttrs->getError() == 0;
    });
}

bool CAsn1_SignerInfo::encode() {
    return guarded([&] {
        const CAsn1_Int version(1);  // always written as 1: the sid is IssuerAndSerialNumber
        DerContent content;
        if (!content.add(&version) || !content.add(m_sid.get()) ||
            !content.add(m_digestAlgorithm.get())) {
            return false;
        }
        if (m_signedAttrs && !content.add(m_signedAttrs.get())) return false;
        if (!content.add(m_signatureAlgorithm.get()) || !content.add(m_signature.get())) {
            return false;
        }
        content.addOptional(m_unsignedAttrs.get());  // a new, empty list adds nothing
        return storeElement(Id::Sequence, content.octets());
    });
}

// ---- SignedData ----------------------------------------------------------------------

CAsn1_Pkcs7_Sd::CAsn1_Pkcs7_Sd(const unsigned char* der, std::size_t length) {
    tag = tagNumber(Id::Sequence);
    if (!guarded([&] { return copyBytes(der, length); })) return;
    decode();
}

CAsn1_Pkcs7_Sd::CAsn1_Pkcs7_Sd(std::uint32_t version,
                               std::vector<std::unique_ptr<CAsn1_AlgoIdent>> digestAlgorithms,
                               std::unique_ptr<CAsn1_ContentInfo> encapContentInfo,
                               std::vector<std::unique_ptr<CAsn1_Cert>> certificates,
                               std::vector<std::unique_ptr<CAsn1_Crl>> crls,
                               std::vector<std::unique_ptr<CAsn1_SignerInfo>> signerInfos)
    : m_version(version),
      m_digestAlgorithms(std::move(digestAlgorithms)),
      m_encapContentInfo(std::move(encapContentInfo)),
      m_certificates(std::move(certificates)),
      m_crls(std::move(crls)),
      m_signerInfos(std::move(signerInfos)) {
    tag = tagNumber(Id::Sequence);
    encode();
}

CAsn1_SignerInfo* CAsn1_Pkcs7_Sd::getSignerInfo(std::size_t index) {
    return index < m_signerInfos.size() ? m_signerInfos[index].get() : nullptr;
}

const CAsn1_SignerInfo* CAsn1_Pkcs7_Sd::getSignerInfo(std::size_t index) const {
    return index < m_signerInfos.size() ? m_signerInfos[index].get() : nullptr;
}

bool CAsn1_Pkcs7_Sd::setSignerSignature(std::size_t index,
                                        std::unique_ptr<CAsn1_OctetString> signature) {
    CAsn1_SignerInfo* signer = getSignerInfo(index);
    if (signer == nullptr || !signature) return false;
    if (!signer->replaceSignature(std::move(signature))) return false;
    return encode();
}

bool CAsn1_Pkcs7_Sd::decode() {
    return guarded([&] {
        m_version = 0;
        m_digestAlgorithms.clear();
        m_encapContentInfo.reset();
        m_certificates.clear();
        m_crls.clear();
        m_signerInfos.clear();
        if (!ownElement(Id::Context0, nullptr)) return false;
        resetCursor();
        if (!cursorEnter() || !expect(Id::Sequence) || !cursorAtEnd()) return false;

        if (!cursorEnter() || !expect(Id::Integer)) return false;
        m_version = Asn1SmallInt(cursor.ptr, cursor.size);

        if (!cursorNext() || !expect(Id::Set)) return false;
        const bool digestsRead = cursorForEachChild([&] {
            if (!expect(Id::Sequence)) return false;
            m_digestAlgorithms.push_back(std::make_unique<CAsn1_AlgoIdent>(cursor.ptr, cursor.size));
            return m_digestAlgorithms.back()->getError() == 0;
        });
        if (!digestsRead) return false;

        if (!cursorNext() || !expect(Id::Sequence)) return false;
        m_encapContentInfo = std::make_unique<CAsn1_ContentInfo>(cursor.ptr, cursor.size);
        if (m_encapContentInfo->getError() != 0) return false;

        if (!cursorNext()) return false;
        if (cursorAt(Id::Context0)) {
            // Certificates are carried, not read: one that does not decode
            // as X.509 keeps its own error and its octets.
            const bool certificatesRead = cursorForEachChild([&] {
                m_certificates.push_back(std::make_unique<CAsn1_Cert>(cursor.ptr, cursor.size));
                return true;
            });
            if (!certificatesRead || !cursorNext()) return false;
        }
        if (cursorAt(Id::Context1)) {
            const bool crlsRead = cursorForEachChild([&] {
                m_crls.push_back(std::make_unique<CAsn1_Crl>(cursor.ptr, cursor.size));
                return true;
            });
            if (!crlsRead || !cursorNext()) return false;
        }

        if (!expect(Id::Set) || !cursorAtEnd()) return false;
        return cursorForEachChild([&] {
            if (!expect(Id::Sequence)) return false;
            m_signerInfos.push_back(std::make_unique<CAsn1_SignerInfo>(cursor.ptr, cursor.size));
            return m_signerInfos.back()->getError() == 0;
        });
    });
}

bool CAsn1_Pkcs7_Sd::encode() {
    return guarded([&] {
        if (m_digestAlgorithms.empty() || !m_encapContentInfo || m_signerInfos.empty()) return false;
        const CAsn1_Int version(static_cast<std::int32_t>(m_version));
        DerContent content;
        if (!content.add(&version)) return false;

        DerContent digests;
        for (const auto& algorithm : m_digestAlgorithms) {
            if (!digests.add(algorithm.get())) return false;
        }
        if (!content.addElement(Id::Set, digests) || !content.add(m_encapContentInfo.get())) {
            return false;
        }

        if (!m_certificates.empty()) {
            DerContent certificates;
            for (const auto& certificate : m_certificates) {
                if (!certificates.add(certificate.get())) return false;
            }
            if (!content.addElement(Id::Context0, certificates)) return false;
        }
        if (!m_crls.empty()) {
            DerContent crls;
            for (const auto& crl : m_crls) {
                if (!crls.add(crl.get())) return false;
            }
            if (!content.addElement(Id::Context1, crls)) return false;
        }

        DerContent signers;
        for (const auto& signer : m_signerInfos) {
            if (!signers.add(signer.get())) return false;
        }
        if (!content.addElement(Id::Set, signers)) return false;
        return storeElement(Id::Sequence, content.octets());
    });
}
