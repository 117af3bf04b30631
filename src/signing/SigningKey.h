// A signing key as the signing calls use it: the private key of a PKCS#12
// file (an OpenSSL EVP_PKEY) or a key on a signature card (a CSCM_Interface
// that the card subsystem operates through CardKeyOperations).
//
// The exported key handle does not say which of the two it points to; the
// process-wide key-kind flag (CSignMessage::m_isP12) does. Only the exported
// calls read that flag: they turn the handle into one of these objects with
// keyOfHandle, and everything below them (the SignedData builder included)
// asks the object, so the kind is decided once per call.
#pragma once

#include <cstddef>
#include <memory>

class CSCM_Interface;
struct evp_pkey_st;

namespace kivo::signing {

class SigningKey {
public:
    virtual ~SigningKey() = default;

    // The signature key kind: 0 RSA PKCS#1 v1.5, 1 RSASSA-PSS, 2 ECDSA.
    virtual int signatureKind() const = 0;
    // 0 when the key signs with hash code `hash`; a card key may refuse
    // with -88 (it signs SHA-256) or -89.
    virtual int checkHash(int hash) const = 0;
    // The key's size in octets as a signature placeholder counts it: the
    // RSA modulus, the EC field, for other keys (DSA) the largest DER
    // signature. 0 when only the certificate can tell (a card key).
    virtual std::size_t signatureOctets() const { return 0; }
    // Readies what signing with this kind of key needs (a file key runs
    // OpenSSL's algorithm and error-string loading again).
    virtual void prepare() const {}
    // Signs `input` (digested with hash code `hash`) into `out`, which
    // holds one signature; `*outLength` is its room on entry, the
    // signature's length on return. `ecdsaAsRaw`: an ECDSA signature goes out as
    // r‖s instead of DER (the container's ECDSA algorithm stores it so).
    virtual bool signInput(const unsigned char* input, std::size_t length, int hash,
                           bool ecdsaAsRaw, unsigned char* out, std::size_t* outLength) const = 0;
    // A bare signature of `data`: digested with `hash`, or signed as given
    // when `dataIsDigest`. `cardOption` true asks a card not to pad.
    // 0; -24 failure; 255 the card failed.
    virtual int signRaw(const unsigned char* data, std::size_t length, int hash, bool dataIsDigest,
                        bool cardOption, unsigned char* out, unsigned long* outLength) const = 0;
    // RSA decryption. 0; -24 (always for a file key); -301 null `out`;
    // 255 the card failed.
    virtual int decrypt(const unsigned char* in, int inLength, unsigned char* out,
                        unsigned long* outLength) const = 0;
    // Releases the key behind the handle (the object is a view of it).
    virtual void close() const = 0;
};

std::unique_ptr<SigningKey> fileKey(evp_pkey_st* key);
// What a file key's prepare() runs: OpenSSL's algorithm and error-string
// loading.
void prepareFileKeySigning();
std::unique_ptr<SigningKey> cardKey(CSCM_Interface* key);

// The key behind an exported handle; null for a null handle.
inline std::unique_ptr<SigningKey> keyOfHandle(unsigned long* handle, bool isFileKey) {
    if (handle == nullptr) return nullptr;
    return isFileKey ? fileKey(reinterpret_cast<evp_pkey_st*>(handle))
                     : cardKey(reinterpret_cast<CSCM_Interface*>(handle));
}

}  // namespace kivo::signing
