// The signing key of a PKCS#12 file: an OpenSSL EVP_PKEY signing with
// PKCS#1 v1.5, RSASSA-PSS or ECDSA.

#include "src/signing/SigningKey.h"

#include "SignMessageSSLM.h"
#include "src/frame/LibraryMain.h"
#include "src/frame/Logging.h"
#include "src/frame/OpenSSLHandles.h"
#include "src/signing/SigningResults.h"

#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>

namespace kivo::signing {
namespace {

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
const EVP_MD* digestOfLength(std::size_t length) {
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
    KeyContextPtr context(EVP_PKEY_CTX_new(key, nullptr));
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
    EcdsaSigPtr parsed(d2i_ECDSA_SIG(nullptr, &cursor, static_cast<long>(*length)));
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

class FileKey final : public SigningKey {
public:
    explicit FileKey(EVP_PKEY* key) : m_key(key) {}

    int signatureKind() const override { return CSignMessage::getSignAlgoFromPKeyP12(m_key); }

    // A file key signs with every hash code.
    int checkHash(int) const override { return 0; }

    std::size_t signatureOctets() const override {
        const int octets = isEcKey(m_key) ? (EVP_PKEY_get_bits(m_key) + 7) / 8 : EVP_PKEY_get_size(m_key);
        return octets > 0 ? static_cast<std::size_t>(octets) : 0;
    }

    void prepare() const override { prepareFileKeySigning(); }

    bool signInput(const unsigned char* input, std::size_t length, int hash, bool ecdsaAsRaw,
                   unsigned char* out, std::size_t* outLength) const override {
        const bool asRaw = ecdsaAsRaw && isEcKey(m_key);
        if (!signData(m_key, digestOfHashCode(hash), input, length, out, outLength) ||
            (asRaw && !ecdsaDerToRaw(m_key, out, outLength))) {
            openSSL_LogError(CSignMessage::m_logger, "");
            return false;
        }
        return true;
    }

    int signRaw(const unsigned char* data, std::size_t length, int hash, bool dataIsDigest, bool,
                unsigned char* out, unsigned long* outLength) const override {
        std::size_t signatureLen = 0;
        bool signedOk = false;
        if (!dataIsDigest) {
            signedOk = signData(m_key, digestOfHashCode(hash), data, length, out, &signatureLen);
        } else {
            // The bytes are signed as they are: no DigestInfo for RSA, the
            // digest as given for ECDSA; RSASSA-PSS takes the hash of that size.
            const EVP_MD* md = isRsaPssKey(m_key) ? digestOfLength(length) : nullptr;
            signedOk = (md != nullptr || !isRsaPssKey(m_key)) &&
                       signDigest(m_key, md, data, length, out, &signatureLen);
        }
        if (!signedOk) {
            openSSL_LogError(CSignMessage::m_logger, "");
            return kSignFailed;
        }
        if (outLength != nullptr) *outLength = signatureLen;
        return 0;
    }

    // Decryption is offered for card keys only.
    int decrypt(const unsigned char*, int, unsigned char*, unsigned long*) const override {
        return kSignFailed;
    }

    void close() const override { EVP_PKEY_free(m_key); }

private:
    EVP_PKEY* m_key;
};

}  // namespace

void prepareFileKeySigning() {
    loadOpenSSLAlgorithms();
    loadOpenSSLErrorStrings();
}

std::unique_ptr<SigningKey> fileKey(evp_pkey_st* key) { return std::make_unique<FileKey>(key); }

}  // namespace kivo::signing
