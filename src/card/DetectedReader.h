// Card detection on one reader, on a reader list of its own: where the card
// queries of CSignMessage, the card keys of signing and CSCUtils start.
#pragma once

#include "smartcard/key/SCM_Interface.h"
#include "smartcard/transport/Reader.h"

#include <memory>
#include <string>

namespace kivo {

// The index-th reader's name, "---not connected---" when there is no such
// reader.
std::string readerNameOrNotConnected(const CReader& readers, int index);

class DetectedReader {
public:
    // Lists the readers and runs detection on the index-th one.
    explicit DetectedReader(int index);

    // The card layout object of the reader's card; null for a negative
    // index, no card or a card of no known type.
    CSC_Profile* layout() const { return m_layout; }
    bool cardPresent();
    // The card key over the detected card (which it takes), named after the
    // reader and given the library's module handle; null without a layout.
    std::unique_ptr<CSCM_Interface> takeCardKey(int slot, const std::string& certId);

private:
    CReader m_readers;
    int m_reader;
    CSC_Profile* m_layout = nullptr;
};

}  // namespace kivo
