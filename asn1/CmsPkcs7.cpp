// The top-level ContentInfo and the SignedData assembly.

#include "asn1/CmsPkcs7.h"

#include "asn1/CmsOids.h"
#include "asn1/EcdsaSignature.h"
#include "digest/DigestFactory.h"

#include <algorithm>
#include <array>
#include <ctime>
#include <string>
#include <vector>

using kivo::asn1::Id;
using kivo::asn1::octet;
using kivo::asn1::tagNumber;

using kivo::asn1::DerContent;
namespace oid = kivo::cms::oid;

namespace {
constexpr std::string_view kUnknownOidName = "unknown OID";

constexpr int kCodeSignedData = 2;
constexpr int kCodeEnvelopedData = 3;

constexpr std::array<std::string_view, 6> kContentTypes{
    oid::kData,          oid::kSignedData,   oid::kEnvelopedData, oid::kSignedAndEnvelopedData,
    oid::kDigestedData, oid::kEncryptedData,
};

// What a hash id stands for in the SignedData.
struct HashChoice {
    std::string_view oid;
    std::string_view name;
    kivo::DigestAlgorithm algorithm;
    // ECDSA signature algorithm for this hash; empty when there is none
    // (the fallback OID is written instead).
    std::string_view ecdsaOid;
    std::string_view ecdsaName;
};

HashChoice hashChoice(int hashId) {
    using kivo::DigestAlgorithm;
    switch (hashId) {
        case 0:
            return {oid::kSha1, "sha-160", DigestAlgorithm::Sha1, oid::kEcdsaWithSha1,
                    "ecdsa-with-SHA1"};
        case 2:
            return {oid::kSha384, "sha-384", DigestAlgorithm::Sha384, oid::kEcdsaWithSha384,
                    "ecdsa-with-SHA384"};
        case 3:
            return {oid::kSha512, "sha-512", DigestAlgorithm::Sha512, oid::kEcdsaWithSha512,
                    "ecdsa-with-SHA512"};
        case 4:
            return {oid::kRipemd160, "ripemd-160", DigestAlgorithm::Ripemd160, {}, {}};
        case 5:
            return {oid::kMd5, "md5", DigestAlgorithm::Md5, {}, {}};
        case 1:
            return {oid::kSha256, "sha-256", DigestAlgorithm::Sha256, oid::kEcdsaWithSha256,
                    "ecdsa-with-SHA256"};
        default:
            // Any other id signs with SHA-256; only id 1 names ECDSA-with-SHA256.
            return {oid::kSha256, "sha-256", DigestAlgorithm::Sha256, {}, {}};
    }
}

std::unique_ptr<CAsn1_AlgoIdent> digestAlgorithm(const HashChoice& hash) {
    return std::make_unique<CAsn1_AlgoIdent>(std::make_unique<CAsn1_Oid>(hash.oid, hash.name));
}

// INTEGER element of `count` zero octets (a placeholder, not minimal DER).
void appendZeroInteger(std::vector<unsigned char>& out, std::size_t count) {
    unsigned char header[6];
    header[0] = octet(Id::Integer);
    const std::uint32_t headerSize =
        1 + kivo::asn1::writeLength(header + 1, static_cast<std::uint32_t>(count));
    out.insert(out.end(), header, header + headerSize);
    out.insert(out.end(), count, 0x00);
}

// A placeholder with the size of the final signature: k zero octets, or
// for ECDSA the largest ECDSA-Sig-Value of a k-octet key,
// 30 L 02 (k+1) 00.. 02 (k+1) 00.., with long-form lengths where needed.
std::vector<unsigned char> placeholderSignature(std::size_t k, bool ecdsa) {
    if (!ecdsa) return std::vector<unsigned char>(k, 0x00);
    std::vector<unsigned char> integers;
    appendZeroInteger(integers, k + 1);
    appendZeroInteger(integers, k + 1);
    std::vector<unsigned char> value(1 + 5);
    value[0] = octet(Id::Sequence);
    const std::uint32_t length =
        kivo::asn1::writeLength(value.data() + 1, static_cast<std::uint32_t>(integers.size()));
    value.resize(1 + length);
    value.insert(value.end(), integers.begin(), integers.end());
    return value;
}

std::string digestHex(const HashChoice& hash, const unsigned char* content, std::size_t length) {
    auto digest = kivo::newDigest(hash.algorithm);
    if (!digest) return {};
    unsigned char value[kivo::kMaxDigestLength];
    digest->Reset();
    if (length != 0) kivo::updateDigest(*digest, content, length);
    digest->Final(value);
    std::string hex;
    BytesToHex(value, digest->DigestLength(), &hex);
    return hex;
}

// The signed attributes the attribute mode admits: contentType,
// signingTime (`signingTime`, else now), messageDigest and
// signing-certificate-v2; null when one cannot be built.
std::unique_ptr<CAsn1_AuthAttributes> signedAttributes(const CAsn1_Cert& signer, int attributeMode,
                                                       const std::int64_t* signingTime,
                                                       const std::string& contentDigest) {
    auto attributes = std::make_unique<CAsn1_AuthAttributes>();
    if (kivo::cms::attributeAdmitted(oid::kContentTypeAttr, attributeMode) &&
        !attributes->addAttribute(std::make_unique<CAsn1_Attribute>(
            oid::kContentTypeAttr, "contentType", oid::kData, tagNumber(Id::Oid)))) {
        return nullptr;
    }
    if (kivo::cms::attributeAdmitted(oid::kSigningTimeAttr, attributeMode)) {
        const std::int64_t when = signingTime != nullptr ? *signingTime : std::time(nullptr);
        if (!attributes->addAttribute(std::make_unique<CAsn1_Attribute>(
                oid::kSigningTimeAttr, "signingTime", std::make_unique<CAsn1_UtcTime>(when)))) {
            return nullptr;
        }
    }
    if (kivo::cms::attributeAdmitted(oid::kMessageDigestAttr, attributeMode) &&
        !attributes->addAttribute(std::make_unique<CAsn1_Attribute>(
            oid::kMessageDigestAttr, "messageDigest", contentDigest, tagNumber(Id::OctetString)))) {
        return nullptr;
    }
    if (kivo::cms::attributeAdmitted(oid::kSigningCertificateV2Attr, attributeMode) &&
        !attributes->addAttribute(std::make_unique<CAsn1_Attribute>(
            oid::kSigningCertificateV2Attr, "id-aa-signingCertificateV2",
            std::make_unique<CAsn1_EssCertIdV2>(signer)))) {
        return nullptr;
    }
    return attributes;
}

// The signatureAlgorithm of the SignerInfo for `scheme`: RSASSA-PSS with
// its parameters, ECDSA with the hash, rsaEncryption for an RSA key, else
// `fallbackOid`.
std::unique_ptr<CAsn1_AlgoIdent> signatureAlgorithmOf(int scheme, const HashChoice& hash, const CAsn1_Cert& signer,
                                                      std::string_view fallbackOid) {
    if (scheme == CAsn1_Pkcs7::kSchemeRsaPss) {
        auto params = std::make_unique<CAsn1_AlgoIdent_Params>(
            std::make_unique<CAsn1_Oid>(hash.oid, hash.name), std::make_unique<CAsn1_Oid>(oid::kMgf1, "mgf1"),
            std::make_unique<CAsn1_Oid>(hash.oid, hash.name),
            std::make_unique<CAsn1_Int>(static_cast<std::int32_t>(kivo::digestLength(hash.algorithm))));
        return std::make_unique<CAsn1_AlgoIdent>(std::make_unique<CAsn1_Oid>(oid::kRsassaPss, "RSASSA-PSS"),
                                                 std::move(params));
    }
    if (scheme == CAsn1_Pkcs7::kSchemeEcdsa) {
        return std::make_unique<CAsn1_AlgoIdent>(
            hash.ecdsaOid.empty() ? std::make_unique<CAsn1_Oid>(fallbackOid, kUnknownOidName)
                                  : std::make_unique<CAsn1_Oid>(hash.ecdsaOid, hash.ecdsaName));
    }
    if (signer.isRsaKey()) {
        return std::make_unique<CAsn1_AlgoIdent>(std::make_unique<CAsn1_Oid>(oid::kRsaEncryption, "rsaEncryption"));
    }
    return std::make_unique<CAsn1_AlgoIdent>(std::make_unique<CAsn1_Oid>(fallbackOid, kUnknownOidName));
}

}  // namespace

namespace kivo::cms {

bool attributeAdmitted(std::string_view typeDotted, int attributeMode) {
    if (typeDotted == oid::kContentTypeAttr) return true;
    if (typeDotted == oid::kSigningTimeAttr) {
        return attributeMode != CAsn1_Pkcs7::kAttributesWithoutSigningTime;
    }
    if (typeDotted == oid::kMessageDigestAttr || typeDotted == oid::kSigningCertificateV2Attr) {
        return attributeMode != CAsn1_Pkcs7::kAttributesWithoutDigest;
    }
    return false;
}

std::string contentDigestHex(int hashId, const unsigned char* content, std::size_t length) {
    return digestHex(hashChoice(hashId), content, length);
}

kivo::DigestAlgorithm contentDigestAlgorithm(int hashId) { return hashChoice(hashId).algorithm; }

}  // namespace kivo::cms

CAsn1_Pkcs7::CAsn1_Pkcs7() { tag = tagNumber(Id::Sequence); }

CAsn1_Pkcs7::CAsn1_Pkcs7(const unsigned char* der, std::size_t length) {
    tag = tagNumber(Id::Sequence);
    if (!guarded([&] { return copyBytes(der, length); })) return;
    decode();
}

void CAsn1_Pkcs7::setContentTypeCode(int code) {
    guarded([&] {
        m_contentType.reset();
        if (code == kCodeSignedData) {
            m_contentType = std::make_unique<CAsn1_Oid>(oid::kSignedData, oid::kSignedDataName);
        }
        return true;
    });
}

void CAsn1_Pkcs7::setSignatureScheme(int scheme) { m_signatureScheme = scheme; }

int CAsn1_Pkcs7::getContentTypeCode() const {
    if (!m_contentType) return 0;
    for (std::size_t i = 0; i < kContentTypes.size(); ++i) {
        if (m_contentType->is(kContentTypes[i])) return static_cast<int>(i) + 1;
    }
    return 0;
}

const CAsn1Base* CAsn1_Pkcs7::contentMember(int code) const {
    switch (code) {
        case 1: return m_data.get();
        case 2: return m_signedData.get();
        case 3: return m_envelopedData.get();
        case 4: return m_signedAndEnvelopedData.get();
        case 5: return m_digestedData.get();
        case 6: return m_encryptedData.get();
        default: return nullptr;
    }
}

bool CAsn1_Pkcs7::decode() {
    return guarded([&] {
        m_contentType.reset();
        m_data.reset();
        m_signedData.reset();
        m_envelopedData.reset();
        m_signedAndEnvelopedData.reset();
        m_digestedData.reset();
        m_encryptedData.reset();
        if (!ownElement(Id::Sequence, nullptr)) return false;
        resetCursor();
        if (!cursorEnter() || !expect(Id::Oid)) return false;
        m_contentType = std::make_unique<CAsn1_Oid>(cursor.ptr, cursor.size);
        if (m_contentType->getError() != 0) return false;
        if (cursorAtEnd()) return true;  // content is optional
        if (!cursorNext() || !expect(Id::Context0) || !cursorAtEnd()) return false;

        switch (getContentTypeCode()) {
            case kCodeSignedData:
                m_signedData = std::make_unique<CAsn1_Pkcs7_Sd>(cursor.ptr, cursor.size);
                return m_signedData->getError() == 0;
            case kCodeEnvelopedData:
                m_envelopedData = std::make_unique<CAsn1_Pkcs7_Ed>(cursor.ptr, cursor.size);
                return m_envelopedData->getError() == 0;
            case 1: m_data = std::make_unique<CAsn1_Universal>(cursor.ptr, cursor.size); break;
            case 4:
                m_signedAndEnvelopedData = std::make_unique<CAsn1_Universal>(cursor.ptr, cursor.size);
                break;
            case 5: m_digestedData = std::make_unique<CAsn1_Universal>(cursor.ptr, cursor.size); break;
            case 6: m_encryptedData = std::make_unique<CAsn1_Universal>(cursor.ptr, cursor.size); break;
            default: break;  // an unknown type keeps no content
        }
        return true;
    });
}

bool CAsn1_Pkcs7::encode() {
    return guarded([&] {
        const CAsn1Base* member = contentMember(getContentTypeCode());
        if (!kivo::asn1::hasEncoding(member)) return false;
        DerContent content;
        if (!content.add(m_contentType.get())) return false;
        if (member->getPb()[0] == Id::Context0) {
            // Still the [0] element it was decoded from.
            content.add(member);
        } else {
            DerContent wrapped;
            wrapped.add(member);
            if (!content.addElement(Id::Context0, wrapped)) return false;
        }
        return storeElement(Id::Sequence, content.octets());
    });
}

bool CAsn1_Pkcs7::createSignedData(const unsigned char* signerCertificate,
                                   std::size_t signerCertificateLength, int hashId,
                                   const unsigned char* content, std::size_t contentLength,
                                   const std::int64_t* signingTime, bool attachContent,
                                   int attributeMode, std::string_view fallbackSignatureOid,
                                   std::span<const CAsn1Base* const> extraCertificates,
                                   std::string_view knownContentDigest) {
    return guarded([&] {
        return buildSignedData(signerCertificate, signerCertificateLength, hashId, content,
                               contentLength, signingTime, attachContent, attributeMode,
                               fallbackSignatureOid, extraCertificates, knownContentDigest);
    });
}

bool CAsn1_Pkcs7::buildSignedData(const unsigned char* signerCertificate,
                                  std::size_t signerCertificateLength, int hashId,
                                  const unsigned char* content, std::size_t contentLength,
                                  const std::int64_t* signingTime, bool attachContent,
                                  int attributeMode, std::string_view fallbackSignatureOid,
                                  std::span<const CAsn1Base* const> extraCertificates,
                                  std::string_view knownContentDigest) {
    if (getContentTypeCode() != kCodeSignedData) return false;
    if (content == nullptr && contentLength != 0) return false;

    // 1. the digest algorithm, for digestAlgorithms and for the signer
    const HashChoice hash = hashChoice(hashId);
    std::vector<std::unique_ptr<CAsn1_AlgoIdent>> digestAlgorithms;
    digestAlgorithms.push_back(digestAlgorithm(hash));
    auto signerDigestAlgorithm = digestAlgorithm(hash);

    // 2. the content digest
    const std::string contentDigest = knownContentDigest.empty()
                                          ? digestHex(hash, content, contentLength)
                                          : std::string(knownContentDigest);
    if (contentDigest.empty()) return false;

    // 3. the encapsulated content
    auto eContent = attachContent ? CAsn1_OctetString::fromOctets(content, contentLength) : nullptr;
    if (attachContent && !kivo::asn1::hasEncoding(eContent.get())) return false;
    auto encapContentInfo = std::make_unique<CAsn1_ContentInfo>(
        std::make_unique<CAsn1_Oid>(oid::kData, oid::kDataName), std::move(eContent));

    // 4. certificates: the signer's first, then the others in their order
    std::vector<std::unique_ptr<CAsn1_Cert>> certificates;
    certificates.push_back(std::make_unique<CAsn1_Cert>(signerCertificate, signerCertificateLength));
    const CAsn1_Cert& signer = *certificates.front();
    if (signer.getError() != 0) return false;
    for (const CAsn1Base* extra : extraCertificates) {
        if (!kivo::asn1::hasEncoding(extra)) return false;
        certificates.push_back(std::make_unique<CAsn1_Cert>(extra->getPb(), extra->getCb()));
        if (certificates.back()->getError() != 0) return false;
    }

    // 5. sid
    const auto issuer = signer.issuerDer();
    const auto serial = signer.serialDer();
    auto sid = std::make_unique<CAsn1_IssuerAndSerial>(issuer.data(), issuer.size(), serial.data(),
                                                       serial.size());
    if (sid->getError() != 0) return false;

    // 6. signed attributes, each when the attribute mode admits it
    auto signedAttrs = signedAttributes(signer, attributeMode, signingTime, contentDigest);
    if (!signedAttrs) return false;

    // 7. signature algorithm; a signer with an EC key fixes the scheme
    if (m_signatureScheme != kSchemeRsaPss && signer.isEcKey()) m_signatureScheme = kSchemeEcdsa;
    auto signatureAlgorithm = signatureAlgorithmOf(m_signatureScheme, hash, signer, fallbackSignatureOid);
    if (signatureAlgorithm->getError() != 0) return false;

    // 8. placeholder signature of the final size: whole octets (a P-521 r
    // and s take 66), widened to a signing key larger than the certificate's.
    const std::size_t keyOctets = std::max((std::size_t{signer.keyBits()} + 7) / 8, m_signingKeyOctets);
    const std::vector<unsigned char> placeholder =
        placeholderSignature(keyOctets, m_signatureScheme == kSchemeEcdsa);
    auto signature = CAsn1_OctetString::fromOctets(placeholder.data(), placeholder.size());
    if (!kivo::asn1::hasEncoding(signature.get())) return false;

    // 9. SignerInfo, SignedData, the whole message
    std::vector<std::unique_ptr<CAsn1_SignerInfo>> signerInfos;
    signerInfos.push_back(std::make_unique<CAsn1_SignerInfo>(
        1, std::move(sid), std::move(signerDigestAlgorithm), std::move(signedAttrs),
        std::move(signatureAlgorithm), std::move(signature), std::make_unique<CAsn1_UnauthAttributes>()));
    if (signerInfos.front()->getError() != 0) return false;

    auto signedData = std::make_unique<CAsn1_Pkcs7_Sd>(1, std::move(digestAlgorithms),
                                                       std::move(encapContentInfo), std::move(certificates),
                                                       std::vector<std::unique_ptr<CAsn1_Crl>>{},
                                                       std::move(signerInfos));
    if (signedData->getError() != 0) return false;
    m_signedData = std::move(signedData);
    return encode();
}

const CAsn1_AuthAttributes* CAsn1_Pkcs7::getSignerSignedAttributes(std::size_t index) const {
    if (getContentTypeCode() != kCodeSignedData || !m_signedData) return nullptr;
    const CAsn1_SignerInfo* signer = m_signedData->getSignerInfo(index);
    return signer != nullptr ? signer->signedAttrs() : nullptr;
}

const CAsn1_OctetString* CAsn1_Pkcs7::getSignerSignature(std::size_t index, bool raw) const {
    if (getContentTypeCode() != kCodeSignedData || !m_signedData) return nullptr;
    const CAsn1_SignerInfo* signer = m_signedData->getSignerInfo(index);
    if (signer == nullptr) return nullptr;
    return raw && signer->isEcSignature() ? signer->rawSignature() : signer->signature();
}

bool CAsn1_Pkcs7::setSignerSignature(std::size_t index, const unsigned char* signature,
                                     std::size_t length) {
    if (getContentTypeCode() != kCodeSignedData || !m_signedData) return false;
    const CAsn1_SignerInfo* signer = m_signedData->getSignerInfo(index);
    if (signer == nullptr || signature == nullptr || length == 0) return false;

    std::unique_ptr<CAsn1_OctetString> value;
    try {
        if (signer->isEcSignature()) {
            const std::vector<unsigned char> der =
                kivo::asn1::ecdsaDerFromRaw(std::span<const unsigned char>(signature, length));
            if (der.empty()) return false;
            value = CAsn1_OctetString::fromOctets(der.data(), der.size());
        } else {
            value = CAsn1_OctetString::fromOctets(signature, length);
        }
    } catch (...) {
        return false;
    }
    if (!kivo::asn1::hasEncoding(value.get())) return false;
    if (!m_signedData->setSignerSignature(index, std::move(value))) return fail();
    return encode();
}
