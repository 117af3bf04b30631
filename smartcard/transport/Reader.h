// CReader: the process's view of the PC/SC readers for one enumeration:
// the context, the reader names, their states and ATRs, and whether a
// reader has a pin pad.
#pragma once

#include "smartcard/transport/DetectedCard.h"

#include <PCSC/winscard.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class CReader {
public:
    // Establishes a context (user scope) and lists the readers.
    CReader();
    // Releases the reader list and the context.
    ~CReader();
    CReader(const CReader&) = delete;
    CReader& operator=(const CReader&) = delete;

    // True when the context was established.
    bool HasContext() const { return m_hasContext; }
    SCARDCONTEXT Context() const { return m_context; }

    int GetReaderCount() const;
    // The index-th reader name, empty when the index is out of range.
    std::string GetReaderName(int index) const;

    // Queries the state of every reader (current state unaware); returns the
    // PC/SC result, or -1 without a reader list.
    long RefreshReaderStates();
    // Whether a card is in the reader (its ATR is not empty).
    bool IsCardPresent(int index);
    // The ATR as upper-case hex bytes joined by ":", "---" without a card.
    std::string GetATRText(int index);
    // Connects to the reader and asks for its pin-pad features; false when
    // the connection fails or the reader has no pin pad.
    bool IsPinPadReader(int index);

    // Detection (defined with the card layers): the card type of the card in
    // the reader by its ATR, -1 for no card or an unknown ATR.
    std::int32_t GetCardType(int index);
    // The connected card object for the card in the reader, with its card
    // layout object (detection has run); null for no card, an unknown ATR or
    // a card type without a profile. The reader keeps both until they are
    // taken or the reader goes; a second call replaces them.
    CSC_Profile_Base* GetSCProfile(int index);
    // The card layout object of the last GetSCProfile, null without one.
    CSC_Profile* GetCardLayout() const { return m_detected ? m_detected->layout() : nullptr; }
    // Hands the detected card over; the reader forgets it.
    std::unique_ptr<kivo::card::DetectedCard> TakeDetectedCard() { return std::move(m_detected); }

private:
    void FreeStates();
    const SCARD_READERSTATE* StateOf(int index) const;

    SCARDCONTEXT m_context = 0;
    bool m_hasContext = false;
    char* m_readerList = nullptr;  // multi-string allocated by PC/SC
    DWORD m_readerListLength = 0;
    std::vector<std::string> m_names;
    // One state per reader; szReader points into m_stateNames.
    std::vector<SCARD_READERSTATE> m_states;
    std::vector<std::string> m_stateNames;
    std::unique_ptr<kivo::card::DetectedCard> m_detected;
};

namespace kivo::card {

// A reader name as the reader calls itself: without the " 00 00" that
// pcsc-lite appends (reader and slot number, two hexadecimal digits each).
std::string readerNameWithoutSlot(const std::string& name);

}  // namespace kivo::card
