// The SignedData builder: assembly through the DER classes, signing of the
// signed attributes and raw signing with a file key or a card key.

#include "src/signing/Pkcs7tool.h"

#include "asn1/CmsPkcs7.h"
#include "src/signing/CardKeyOperations.h"
#include "src/frame/Logging.h"
#include "src/frame/OpenSSLHandles.h"

#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include <algorithm>
#include <vector>

namespace {

constexpr int kSignFailed = -24;
constexpr int kNoCertificate = -300;
constexpr int kNullOutput = -301;
constexpr int kCardFailure = 255;
constexpr unsigned char kSetOfIdentifier = 0x31;
constexpr int kContentTypeSignedData = 2;

// The digest a hash code signs with.
const EVP_MD* digestOfHashCode(int hash) {
    switch (hash) {
        case 0: return EVP_sha1();
        case 2: return EVP_sha384();
        case 3: return EVP_sha512();
        case 4: return EVP_ripemd160();
        case 5: return EVP_md5();
        default: return EVP_sha256();
    }
}

// The digest of that length, for an RSASSA-PSS key signing a digest it is
// handed as it is (PSS needs to know the hash).
const EVP_MD* digestOfLength(int length) {
    switch (length) {
        case 20: return EVP_sha1();
        case 32: return EVP_sha256();
        case 48: return EVP_sha384();
        case 64: return EVP_sha512();
        default: return nullptr;
    }
}


bool isEcKey(const EVP_PKEY* key) { return EVP_PKEY_get_base_id(key) == EVP_PKEY_EC; }
bool isRsaPssKey(const EVP_PKEY* key) { return EVP_PKEY_get_base_id(key) == EVP_PKEY_RSA_PSS; }

// Signs `digest` with `key`: PKCS#1 v1.5 with the DigestInfo of `md` (none
// when `md` is null), RSASSA-PSS with MGF1 of the same digest and a salt of
// the digest length (the parameters the builder writes), or ECDSA (a DER
// ECDSA-Sig-Value). `out` holds at least EVP_PKEY_get_size(key) octets.
bool signDigest(EVP_PKEY* key, const EVP_MD* md, const unsigned char* digest, std::size_t digestLen,
                unsigned char* out, std::size_t* outLen) {
    kivo::KeyContextPtr context(EVP_PKEY_CTX_new(key, nullptr));
    if (!context || EVP_PKEY_sign_init(context.get()) != 1) return false;
    if (md != nullptr && EVP_PKEY_CTX_set_signature_md(context.get(), md) != 1) return false;
    if (isRsaPssKey(key)) {
        if (md == nullptr || EVP_PKEY_CTX_set_rsa_padding(context.get(), RSA_PKCS1_PSS_PADDING) != 1 ||
            EVP_PKEY_CTX_set_rsa_mgf1_md(context.get(), md) != 1 ||
            EVP_PKEY_CTX_set_rsa_pss_saltlen(context.get(), EVP_MD_get_size(md)) != 1) {
            return false;
        }
    }
    const int keySize = EVP_PKEY_get_size(key);
    if (keySize <= 0) return false;
    std::size_t signatureLen = static_cast<std::size_t>(keySize);
    if (EVP_PKEY_sign(context.get(), out, &signatureLen, digest, digestLen) != 1) return false;
    *outLen = signatureLen;
    return true;
}

// Rewrites the DER ECDSA-Sig-Value in `signature` as r‖s, each half as
// long as the key size in octets (the form the container stores as DER).
bool ecdsaDerToRaw(const EVP_PKEY* key, unsigned char* signature, std::size_t* length) {
    const unsigned char* cursor = signature;
    kivo::EcdsaSigPtr parsed(
        d2i_ECDSA_SIG(nullptr, &cursor, static_cast<long>(*length)));
    if (!parsed) return false;
    const int half = (EVP_PKEY_get_bits(key) + 7) / 8;
    // r‖s is never longer than the DER form it replaces.
    if (half <= 0 || static_cast<std::size_t>(2 * half) > static_cast<std::size_t>(EVP_PKEY_get_size(key))) {
        return false;
    }
    if (BN_bn2binpad(ECDSA_SIG_get0_r(parsed.get()), signature, half) != half ||
        BN_bn2binpad(ECDSA_SIG_get0_s(parsed.get()), signature + half, half) != half) {
        return false;
    }
    *length = static_cast<std::size_t>(2 * half);
    return true;
}

// Digests `data` with `md` and signs the digest.
bool signData(EVP_PKEY* key, const EVP_MD* md, const unsigned char* data, std::size_t length,
              unsigned char* out, std::size_t* outLen) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int digestLen = 0;
    if (EVP_Digest(data, length, digest, &digestLen, md, nullptr) != 1) return false;
    return signDigest(key, md, digest, digestLen, out, outLen);
}

// The signature input of signed attributes: their DER with the [0]
// IMPLICIT tag replaced by the SET OF tag.
std::vector<unsigned char> signatureInput(const CAsn1Base& signedAttributes) {
    std::vector<unsigned char> input(signedAttributes.getPb(),
                                     signedAttributes.getPb() + signedAttributes.getCb());
    if (!input.empty()) input[0] = kSetOfIdentifier;
    return input;
}

}  // namespace

CPkcs7tool::CPkcs7tool() : m_container(std::make_unique<CAsn1_Pkcs7>()) {}

CPkcs7tool::~CPkcs7tool() = default;

int CPkcs7tool::BuildSignedData(x509_st* signerCert, int hash, const unsigned char* content,
                                unsigned long contentLen, timeb* signingTime, bool embedContent,
                                unsigned long* encodedLen, _ASN1_CERT_BLOB* extraCerts,
                                int extraCount) {
    if (signerCert == nullptr) return kNoCertificate;
    m_hash = hash;
    m_content = content;
    m_contentLen = contentLen;
    m_container->setContentTypeCode(kContentTypeSignedData);
    m_container->setSignatureScheme(m_keyKind);

    unsigned char* certificateDer = nullptr;
    const int certificateLen = i2d_X509(signerCert, &certificateDer);
    if (certificateLen <= 0) return kNoCertificate;
    std::unique_ptr<unsigned char, void (*)(unsigned char*)> certificateOwner(
        certificateDer, [](unsigned char* der) { OPENSSL_free(der); });

    if (extraCount < 0 || (extraCount > 0 && extraCerts == nullptr)) return kNoCertificate;
    std::vector<std::unique_ptr<CAsn1_Cert>> extras;
    std::vector<const CAsn1Base*> extraViews;
    for (int i = 0; i < extraCount; ++i) {
        if (extraCerts[i].pbData == nullptr || extraCerts[i].cbData == 0) return kNoCertificate;
        extras.push_back(std::make_unique<CAsn1_Cert>(extraCerts[i].pbData, extraCerts[i].cbData));
        extraViews.push_back(extras.back().get());
    }

    const std::int64_t seconds = signingTime != nullptr ? signingTime->time : 0;
    if (!m_container->createSignedData(certificateDer, static_cast<std::size_t>(certificateLen), hash,
                                       content, contentLen, signingTime != nullptr ? &seconds : nullptr,
                                       embedContent, m_cadesLevel, m_signatureAlgorithmOid,
                                       extraViews, m_knownContentDigest)) {
        return kNoCertificate;
    }
    if (encodedLen != nullptr) *encodedLen = GetEncodedLength();
    return 0;
}

int CPkcs7tool::SignAttributes(int signerIndex, unsigned long* key, unsigned char* sigBuffer,
                               bool fileKey) {
    if (key == nullptr || sigBuffer == nullptr || signerIndex < 0) return kSignFailed;
    const CAsn1_AuthAttributes* attributes =
        m_container->getSignerSignedAttributes(static_cast<std::size_t>(signerIndex));
    if (attributes == nullptr || attributes->getPb() == nullptr || attributes->getCb() == 0) {
        return kSignFailed;
    }
    const std::vector<unsigned char> input = signatureInput(*attributes);

    std::size_t signatureLen = 0;
    if (fileKey) {
        auto* pkey = reinterpret_cast<EVP_PKEY*>(key);
        // An ECDSA signature algorithm makes the container store r‖s as
        // DER; under any other (the key's own OID) the DER goes in as it is.
        const bool storedAsRaw = isEcKey(pkey) && signerHasEcdsaAlgorithm(signerIndex);
        if (!signData(pkey, digestOfHashCode(m_hash), input.data(), input.size(), sigBuffer,
                      &signatureLen) ||
            (storedAsRaw && !ecdsaDerToRaw(pkey, sigBuffer, &signatureLen))) {
            openSSL_LogError(CSignMessage::m_logger, "");
            return kSignFailed;
        }
    } else {
        const kivo::CardKeyOperations* card = kivo::cardKeyOperations();
        unsigned long cardLen = 0;
        if (card == nullptr ||
            card->sign(reinterpret_cast<CSCM_Interface*>(key), input.data(), input.size(), sigBuffer,
                       &cardLen, m_hash, false, false) != 0) {
            return kSignFailed;
        }
        signatureLen = cardLen;
    }
    if (!m_container->setSignerSignature(static_cast<std::size_t>(signerIndex), sigBuffer,
                                         signatureLen)) {
        return kSignFailed;
    }
    return 0;
}

int CPkcs7tool::SignRaw(const unsigned char* data, int len, unsigned long* key, unsigned char* out,
                        unsigned long* outLen, int hash, bool dataIsDigest, bool cardFlag,
                        bool fileKey) {
    if (key == nullptr || out == nullptr || len < 0 || (data == nullptr && len != 0)) {
        return kSignFailed;
    }
    const auto length = static_cast<std::size_t>(len);
    if (!fileKey) {
        const kivo::CardKeyOperations* card = kivo::cardKeyOperations();
        if (card == nullptr || data == nullptr) return kSignFailed;
        unsigned long cardLen = 0;
        const int result = card->sign(reinterpret_cast<CSCM_Interface*>(key), data, length, out,
                                      &cardLen, hash, dataIsDigest, !cardFlag);
        if (outLen != nullptr) *outLen = cardLen;
        return result == 0 ? 0 : kCardFailure;
    }

    auto* pkey = reinterpret_cast<EVP_PKEY*>(key);
    std::size_t signatureLen = 0;
    bool signedOk = false;
    if (!dataIsDigest) {
        signedOk = signData(pkey, digestOfHashCode(hash), data, length, out, &signatureLen);
    } else {
        // The bytes are signed as they are: no DigestInfo for RSA, the
        // digest as given for ECDSA; RSASSA-PSS takes the hash of that size.
        const EVP_MD* md = isRsaPssKey(pkey) ? digestOfLength(len) : nullptr;
        signedOk = (md != nullptr || !isRsaPssKey(pkey)) &&
                   signDigest(pkey, md, data, length, out, &signatureLen);
    }
    if (!signedOk) {
        openSSL_LogError(CSignMessage::m_logger, "");
        return kSignFailed;
    }
    if (outLen != nullptr) *outLen = signatureLen;
    return 0;
}

int CPkcs7tool::DecryptCard(const unsigned char* in, int inLen, unsigned long* key,
                            unsigned char* out, unsigned long* outLen) {
    if (out == nullptr) return kNullOutput;
    if (in == nullptr || key == nullptr || inLen < 0) return kSignFailed;
    const kivo::CardKeyOperations* card = kivo::cardKeyOperations();
    if (card == nullptr) return kSignFailed;
    unsigned long length = 0;
    const int result = card->decrypt(reinterpret_cast<CSCM_Interface*>(key), in, inLen, out, &length);
    if (outLen != nullptr) *outLen = length;
    return result == 0 ? 0 : kCardFailure;
}

bool CPkcs7tool::signerHasEcdsaAlgorithm(int signerIndex) const {
    const CAsn1_Pkcs7_Sd* signedData = m_container->signedData();
    const CAsn1_SignerInfo* signer =
        signedData != nullptr ? signedData->getSignerInfo(static_cast<std::size_t>(signerIndex)) : nullptr;
    return signer != nullptr && signer->isEcSignature();
}

const unsigned char* CPkcs7tool::GetEncoded() const { return m_container->getPb(); }

unsigned long CPkcs7tool::GetEncodedLength() const { return m_container->getCb(); }
