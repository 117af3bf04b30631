// What detection found, kept per reader for as long as the same card stays
// in it untouched: detection runs once per card insertion, however many
// exported calls ask for the card. A card counts as the same while the
// reader name, the ATR and pcsc-lite's event counter of the reader (the
// high 16 bits of dwEventState) are those of the detection, and a handle
// the cache keeps connected to it reports neither a reset nor a removal
// (SCardStatus answers SCARD_W_RESET_CARD or SCARD_W_REMOVED_CARD once any
// program reset the card or it left the reader). Anything else drops what
// was kept for the reader at once.
//
// Only the system's PC/SC is trusted for this: with a replacement table
// installed (a scripted reader) nothing is kept.
#pragma once

#include "smartcard/detect/SC_Profile.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

namespace kivo::card {

// What tells one card insertion from another: the ATR and the reader's
// event counter.
struct CardIdentity {
    std::vector<std::uint8_t> atr;
    std::uint32_t eventCounter = 0;
    bool operator==(const CardIdentity&) const = default;
};

// The identity of the card `card` is connected to; nothing when PC/SC
// cannot tell or is not the system's (then nothing is kept either).
std::optional<CardIdentity> identityOf(const CSC_Profile_Base& card);

// The findings kept for the card `card` is connected to, when `identity`
// is that of the card they were found on; null otherwise.
std::shared_ptr<const CSC_Profile::Findings> keptDetection(const CSC_Profile_Base& card,
                                                           const CardIdentity& identity);

// Keeps `findings` for the card `card` is connected to (replacing what was
// kept for its reader), under the identity the card had when detection
// began: a reset or removal while it ran makes the next look-up miss.
void keepDetection(const CSC_Profile_Base& card, const CardIdentity& identity,
                   std::shared_ptr<const CSC_Profile::Findings> findings);

// Drops everything kept and releases the handles the cache holds.
void forgetDetections();

}  // namespace kivo::card
