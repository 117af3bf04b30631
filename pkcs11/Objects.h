// The objects a card shows through the module: for each certificate of the
// card a certificate object, and for those with a key on the card its
// public key (taken from the certificate) and its private key.
#pragma once

#include "pkcs11/Attributes.h"

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace kivo::p11 {

// What the module needs to know of a card key to offer and run operations.
struct KeyFacts {
    CK_KEY_TYPE type = CKK_RSA;
    CK_ULONG bits = 0;             // modulus length, or the curve's field size
    std::size_t signatureBytes = 0;  // RSA: the modulus; ECDSA: r and s
    bool deciphers = false;        // an RSA key whose certificate allows encipherment
    bool signs = true;             // a key whose certificate allows signatures
};

struct TokenObject {
    AttributeSet attributes;
    bool isPrivate = false;
    // The position of the key's entry among the card's user entries;
    // nothing for objects without a key operation.
    std::optional<std::size_t> keyEntry;
};

// One certificate of the card as the objects it gives.
struct CardCertificate {
    Bytes der;
    std::string label;
    Bytes id;                          // the card's own, empty when it has none
    std::optional<std::size_t> keyEntry;  // set for certificates whose key is on the card
    bool alwaysAuthenticate = false;   // the key needs its PIN before each use
};

// The key facts of a DER certificate; nothing when it cannot be read or
// its key is neither RSA nor EC.
std::optional<KeyFacts> keyFactsOf(const Bytes& certificate);

// The certificate object, and for a certificate with a key the public and
// the private key object, in that order. Nothing for a certificate that
// cannot be read.
std::vector<TokenObject> objectsOf(const CardCertificate& certificate);

}  // namespace kivo::p11
