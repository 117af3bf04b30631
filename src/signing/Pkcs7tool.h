// CPkcs7tool: the SignedData builder behind every signing call. A call
// creates one, builds the container with a placeholder signature, signs
// the signed attributes with the key and reads the encoding; the tool is
// not reused.
#pragma once

#include "SignMessageSSLM.h"

#include <memory>
#include <string>

class CAsn1_Pkcs7;
namespace kivo::signing {
class SigningKey;
}

class CPkcs7tool {
public:
    CPkcs7tool();
    virtual ~CPkcs7tool();
    CPkcs7tool(const CPkcs7tool&) = delete;
    CPkcs7tool& operator=(const CPkcs7tool&) = delete;

    // The whole container for one signer with a placeholder signature of
    // the final size; its length goes to *encodedLen when not null.
    // 0, or -300 for a null or unencodable certificate or an unusable
    // extra certificate or content.
    int BuildSignedData(x509_st* signerCert, int hash, const unsigned char* content,
                        unsigned long contentLen, timeb* signingTime, bool embedContent,
                        unsigned long* encodedLen, _ASN1_CERT_BLOB* extraCerts, int extraCount);
    // Signs signer `signerIndex`'s signed attributes (as a SET OF) with
    // `key` and stores the signature. `sigBuffer` is scratch room of
    // `sigRoom` octets for one signature. 0 or -24 (also for a null key).
    int SignAttributes(int signerIndex, const kivo::signing::SigningKey* key,
                       unsigned char* sigBuffer, std::size_t sigRoom);
    // A bare signature of `data` (its digest by `hash`, or the bytes as
    // given when `dataIsDigest`). 0; -24 failure; 255 the card failed.
    int SignRaw(const unsigned char* data, int len, const kivo::signing::SigningKey* key,
                unsigned char* out, unsigned long* outLen, int hash, bool dataIsDigest,
                bool cardFlag);

    const unsigned char* GetEncoded() const;
    unsigned long GetEncodedLength() const;

    void setCadesLevel(int level) { m_cadesLevel = level; }
    void setKeyKind(int kind) { m_keyKind = kind; }
    // The signing key's size in octets (SigningKey::signatureOctets), so
    // that the placeholder holds its signature; 0: the certificate's.
    void setSigningKeyOctets(std::size_t octets) { m_signingKeyOctets = octets; }
    int keyKind() const { return m_keyKind; }
    void setSignatureAlgorithmOid(std::string dotted) { m_signatureAlgorithmOid = std::move(dotted); }
    const std::string& signatureAlgorithmOid() const { return m_signatureAlgorithmOid; }
    // The content digest (upper-case hex, as the container writes it) when
    // the caller already computed it for this content and hash code.
    void setKnownContentDigest(std::string hex) { m_knownContentDigest = std::move(hex); }

private:
    bool signerHasEcdsaAlgorithm(int signerIndex) const;

    std::unique_ptr<CAsn1_Pkcs7> m_container;
    int m_hash = 1;
    const unsigned char* m_content = nullptr;
    unsigned long m_contentLen = 0;
    int m_cadesLevel = 0;
    std::string m_signatureAlgorithmOid = "1.2.840.113549.1.1.1";
    int m_keyKind = 0;
    std::size_t m_signingKeyOctets = 0;
    std::string m_knownContentDigest;
};
