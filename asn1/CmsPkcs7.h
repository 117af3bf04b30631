// ContentInfo at the top of a PKCS#7/CMS message, and the assembly of a
// SignedData with one signer for the PKCS#7 builder.
//
// A message for signing goes through: created empty → setContentTypeCode(2)
// → setSignatureScheme → createSignedData (encoded with a placeholder
// signature of the final size) → getSignerSignedAttributes (the builder
// signs their DER with the first octet changed from A0 to 31) →
// setSignerSignature (final encoding). getPb/getCb always give the current
// message.
#pragma once

#include "asn1/CmsEnvelopedData.h"
#include "asn1/CmsSignedData.h"
#include "digest/DigestFactory.h"

#include <memory>
#include <span>
#include <string>
#include <string_view>

class CAsn1_Pkcs7 : public CAsn1Base {
public:
    // Signature schemes of setSignatureScheme.
    static constexpr int kSchemeByKey = 0;
    static constexpr int kSchemeRsaPss = 1;
    static constexpr int kSchemeEcdsa = 2;

    // Attribute modes of createSignedData: 1 leaves out signingTime, 5 the
    // messageDigest and signing-certificate-v2; any other value keeps all.
    static constexpr int kAttributesWithoutSigningTime = 1;
    static constexpr int kAttributesWithoutDigest = 5;

    // Empty: no content type, no encoding.
    CAsn1_Pkcs7();
    CAsn1_Pkcs7(const unsigned char* der, std::size_t length);

    // Code 2 sets contentType to signedData (1.2.840.113549.1.7.2); any
    // other code leaves it null.
    void setContentTypeCode(int code);
    // 1 RSASSA-PSS, 2 ECDSA, anything else: chosen by the signer's key.
    void setSignatureScheme(int scheme);
    int getSignatureScheme() const { return m_signatureScheme; }
    // The signing key's size in octets when it may differ from the signer
    // certificate's (a key other than the certified one, or a certificate
    // key whose size the DER classes do not know): the placeholder then
    // holds any signature of the larger of the two. 0: the certificate's.
    void setSigningKeyOctets(std::size_t octets) { m_signingKeyOctets = octets; }
    // 1..6 for data, signedData, envelopedData, signedAndEnvelopedData,
    // digestedData, encryptedData; 0 for any other type or none.
    int getContentTypeCode() const;

    // Builds signedData for one signer and encodes the whole message.
    //  - signerCertificate: DER of the signer's X.509 certificate;
    //  - hashId: 0 SHA-1, 1 SHA-256, 2 SHA-384, 3 SHA-512, 4 RIPEMD-160,
    //    5 MD5; any other value SHA-256;
    //  - content: the data signed (null only with length 0);
    //  - signingTime: seconds since 1970 UTC, or null for now;
    //  - attachContent: eContent carries the content, else detached;
    //  - attributeMode: see the constants above;
    //  - fallbackSignatureOid: the signature algorithm written (named
    //    "unknown OID") when neither the scheme nor the key gives one;
    //  - extraCertificates: written after the signer certificate, in order;
    //  - knownContentDigest: the content digest as contentDigestHex gives
    //    it, when the caller already has it (a signing call builds the
    //    message twice but hashes a large content once); empty: hashed here.
    // The signature is a placeholder of the final size (ECDSA: the largest
    // ECDSA-Sig-Value for the key size). False (error -22) when the content
    // type is not signedData or a certificate or the fallback OID is unusable.
    bool createSignedData(const unsigned char* signerCertificate, std::size_t signerCertificateLength,
                          int hashId, const unsigned char* content, std::size_t contentLength,
                          const std::int64_t* signingTime, bool attachContent, int attributeMode,
                          std::string_view fallbackSignatureOid,
                          std::span<const CAsn1Base* const> extraCertificates = {},
                          std::string_view knownContentDigest = {});

    // Signer `index`'s signed attributes (their encoding starts with A0);
    // null unless the message is signedData and the index is in range.
    const CAsn1_AuthAttributes* getSignerSignedAttributes(std::size_t index) const;
    // Signer `index`'s signature; with `raw` set, an ECDSA signer's r‖s
    // (CAsn1_SignerInfo::rawSignature). Null like above.
    const CAsn1_OctetString* getSignerSignature(std::size_t index, bool raw) const;
    // Stores a signature for signer `index` and re-encodes the message; the
    // result of the final encode. For an ECDSA signer `signature` is r‖s of
    // two equal halves and is stored as the DER ECDSA-Sig-Value; otherwise
    // the octets are stored as they are. False (nothing changed) unless the
    // message is signedData, the index is in range and the value is usable.
    bool setSignerSignature(std::size_t index, const unsigned char* signature, std::size_t length);

    const CAsn1_Oid* contentType() const { return m_contentType.get(); }
    CAsn1_Pkcs7_Sd* signedData() { return m_signedData.get(); }
    const CAsn1_Pkcs7_Sd* signedData() const { return m_signedData.get(); }
    const CAsn1_Pkcs7_Ed* envelopedData() const { return m_envelopedData.get(); }
    // The [0] element of the other content types, kept as it is.
    const CAsn1_Universal* data() const { return m_data.get(); }
    const CAsn1_Universal* signedAndEnvelopedData() const { return m_signedAndEnvelopedData.get(); }
    const CAsn1_Universal* digestedData() const { return m_digestedData.get(); }
    const CAsn1_Universal* encryptedData() const { return m_encryptedData.get(); }

    // SEQUENCE { contentType OID, [0] content OPTIONAL }: signedData and
    // envelopedData are decoded; the other types are kept as they are.
    // Fails when the content object reports an error.
    bool decode() override;
    // 30 { contentType; A0 { the member matching contentType } }; fails
    // without contentType or that member.
    bool encode() override;

private:
    // The member that holds the content of `code`, or null.
    const CAsn1Base* contentMember(int code) const;
    bool buildSignedData(const unsigned char* signerCertificate, std::size_t signerCertificateLength,
                         int hashId, const unsigned char* content, std::size_t contentLength,
                         const std::int64_t* signingTime, bool attachContent, int attributeMode,
                         std::string_view fallbackSignatureOid,
                         std::span<const CAsn1Base* const> extraCertificates,
                         std::string_view knownContentDigest);

    std::unique_ptr<CAsn1_Oid> m_contentType;
    std::unique_ptr<CAsn1_Universal> m_data;
    std::unique_ptr<CAsn1_Pkcs7_Sd> m_signedData;
    std::unique_ptr<CAsn1_Pkcs7_Ed> m_envelopedData;
    std::unique_ptr<CAsn1_Universal> m_signedAndEnvelopedData;
    std::unique_ptr<CAsn1_Universal> m_digestedData;
    std::unique_ptr<CAsn1_Universal> m_encryptedData;
    int m_signatureScheme = kSchemeByKey;
    std::size_t m_signingKeyOctets = 0;
};

namespace kivo::cms {

// Whether createSignedData writes the signed attribute `typeDotted` in
// `attributeMode`: contentType always, signingTime unless the mode is 1,
// messageDigest and signing-certificate-v2 unless it is 5, nothing else.
bool attributeAdmitted(std::string_view typeDotted, int attributeMode);

// Upper-case hex of the digest of `content` that createSignedData writes
// for `hashId`; empty when the digest is not available.
std::string contentDigestHex(int hashId, const unsigned char* content, std::size_t length);
// The digest createSignedData uses for `hashId`, for callers that hash
// the content in pieces (the hex form is then BytesToHex of the value).
kivo::DigestAlgorithm contentDigestAlgorithm(int hashId);

}  // namespace kivo::cms
