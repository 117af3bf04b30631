// The card side of the key handle. Signing dispatches on the key kind: a
// file key is an OpenSSL EVP_PKEY handled here, a card key is a
// CSCM_Interface object that only the smart-card subsystem knows how to
// open, query, use and close: its operations are installed from the
// start; a test may install others in their place.
#pragma once

class CSCM_Interface;

namespace kivo {

struct CardKeyOperations {
    // Opens the key of card reader `reader` after PACE and PIN
    // verification; null on failure.
    CSCM_Interface* (*open)(const char* pin, int reader, int slot, const char* certId,
                            const char* pacePin, int pinMode);
    // Ends PACE when the card used it and destroys the key object.
    void (*close)(CSCM_Interface* key);
    // The signature scheme of the card's key (0 RSA PKCS#1 v1.5, 1 RSASSA-PSS,
    // 2 ECDSA).
    int (*signatureKind)(CSCM_Interface* key);
    // 0, -88 (the card signs SHA-256 only) or -89 (not this hash code).
    int (*checkHash)(CSCM_Interface* key, int hash);
    // CardSignData: 0 on success, the card's code otherwise.
    int (*sign)(CSCM_Interface* key, const unsigned char* data, unsigned long length,
                unsigned char* out, unsigned long* outLength, int hash, bool dataIsDigest,
                bool padding);
    // CardRSADecrypt: 0 on success, the card's code otherwise.
    int (*decrypt)(CSCM_Interface* key, const unsigned char* in, int inLength, unsigned char* out,
                   unsigned long* outLength);
};

// Installs other card operations (with null: the smart-card subsystem's
// again); the table must outlive every signing call.
void registerCardKeyOperations(const CardKeyOperations* operations);
// The installed table: the smart-card subsystem's unless a test installed
// others. Never null.
const CardKeyOperations* cardKeyOperations();
// The operations on the smart-card subsystem (src/card).
const CardKeyOperations& smartCardKeyOperations();

}  // namespace kivo
