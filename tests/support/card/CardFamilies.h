// The card families vcard emulates (support/cards/family-*.txt, PIN 123456), their entries and schemes.
#pragma once

#include "smartcard/detect/CardLayouts.h"
#include "tests/support/card/CryptoCheck.h"
#include "tests/support/card/EmulatedPinPad.h"

#include <memory>
#include <vector>

namespace kivo::test {

using SignatureKind = card::layout::SignatureKind;

struct CardFamily {
    const char* card;          // the description file's name
    const char* signingEntry;  // its certificate identifier
    SignatureKind kind;
    const char* decipheringEntry = nullptr;
    const char* cardAccessNumber = "";
    bool signsSha256Only = false;  // other hash codes are refused
};

const std::vector<CardFamily>& cardFamilies();

// The emulated PACE reader a family's card is opened through while it lives, or null.
std::unique_ptr<EmulatedPinPad> paceReaderFor(const CardFamily& family);

// Whether `signature` signs the SHA-256 `hash` under `kind` with the DER `certificate`'s key (PSS: salt 32).
bool verifiesUnder(SignatureKind kind, const ByteVector& certificate, const ByteVector& hash,
                   const ByteVector& signature);

}  // namespace kivo::test
