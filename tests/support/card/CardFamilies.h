// The card families whose detection finds their certificates and whose
// cards vcard emulates, one row each: the card as a description, the entry
// that signs and the scheme it signs with, the entry that deciphers, and
// what opening a key on it takes (PACE's card access number). The card key
// suite signs (through CSignMessage) and deciphers on every row.
#pragma once

#include "smartcard/detect/CardLayouts.h"
#include "tests/support/card/CryptoCheck.h"
#include "tests/support/card/EmulatedPinPad.h"

#include <memory>
#include <string>
#include <vector>

namespace kivo::test {

using SignatureKind = card::layout::SignatureKind;

struct CardFamily {
    const char* family;
    std::string description;
    const char* signingEntry;  // the certificate identifier of the entry that signs
    SignatureKind kind;        // how its signature is checked
    const char* decipheringEntry = nullptr;  // none: the row says why
    const char* cardAccessNumber = "";       // PACE through the reader with it
    bool signsSha256Only = false;            // other hash codes are refused
};

// Every family; the card PIN is 123456.
const std::vector<CardFamily>& cardFamilies();

// The emulated PACE reader a family's card is opened through, null for
// cards without PACE; installed while it lives.
std::unique_ptr<EmulatedPinPad> paceReaderFor(const CardFamily& family);

// Whether `signature`, as the card returns it, signs the SHA-256 `hash`
// under `kind` with the key of the DER `certificate` (PSS: salt of 32).
bool verifiesUnder(SignatureKind kind, const ByteVector& certificate, const ByteVector& hash,
                   const ByteVector& signature);

}  // namespace kivo::test
