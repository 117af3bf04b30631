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

#include <memory>

namespace kivo::card {

// The findings kept for the card `card` is connected to, when it is the
// card they were found on; null otherwise.
std::shared_ptr<const CSC_Profile::Findings> keptDetection(const CSC_Profile_Base& card);

// Keeps `findings` for the card `card` is connected to (replacing what was
// kept for its reader).
void keepDetection(const CSC_Profile_Base& card, std::shared_ptr<const CSC_Profile::Findings> findings);

// Drops everything kept and releases the handles the cache holds.
void forgetDetections();

}  // namespace kivo::card
