// An emulated pin-pad reader in front of any PC/SC layer. Every call passes
// through to the table that was installed when the pad was made (pcsc-lite
// with pcscd, vpcd and vcard, or the scripted layer with vcard's model),
// except what vpcd cannot do: the part-10 feature list, PIN verification
// and modification (DIRECT, or START/FINISH with key events), and the
// reader's system name. The PINs come from entries the test scripts; the
// pad builds the command APDU from the PIN structure as a reader does and
// sends it to the card with SCardTransmit of the layer below.
#pragma once

#include "platform/PcscApi.h"

#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <vector>

namespace kivo::test {

using PadBytes = std::vector<std::uint8_t>;

// The part-10 features the pad offers.
struct PinPadFeatures {
    bool verifyDirect = false;
    bool verifyStartFinish = false;
    bool modifyDirect = false;
    bool modifyStartFinish = false;
    bool keyPressed = false;
    // EstablishPACEChannel and DestroyPACEChannel with a card access
    // number, which the card judges (vcard's pace-can).
    bool executePace = false;
};

// One entry at the pad: the PINs typed in order (current, new, new again
// as the structure asks), or a cancel or time-out instead.
struct PinPadEntry {
    enum class End { Confirmed, Cancelled, TimedOut };
    std::vector<std::string> pins;
    End end = End::Confirmed;
    // The key events the reader reports for a confirmed entry; empty: one
    // digit key ('+') per PIN character and OK (0x0D) after each PIN.
    // Scripted keys tell corrections too (0x08 or 0x0A: input cleared).
    std::vector<std::uint8_t> keys;
};

// The part-10 control codes the pad hands out: 0x42330000 plus the tag.
std::uint32_t pinPadControlCode(std::uint8_t featureTag);

// The command APDU a reader builds from a PIN_VERIFY_STRUCTURE (modify
// false) or PIN_MODIFY_STRUCTURE (modify true), followed by its APDU
// template, and the PINs typed (verify: one; modify: the current PIN when
// bConfirmPIN asks for it, then the new one). Nothing for a structure that
// is malformed or a PIN that does not fit its block.
std::optional<PadBytes> pinPadApdu(const PadBytes& structure, bool modify,
                                   const std::vector<std::string>& pins);

// Installed while it lives (one at a time); the table it was made over is
// installed again when it goes.
class EmulatedPinPad {
public:
    EmulatedPinPad(PinPadFeatures features, std::string systemName);
    ~EmulatedPinPad();
    EmulatedPinPad(const EmulatedPinPad&) = delete;
    EmulatedPinPad& operator=(const EmulatedPinPad&) = delete;

    // Scripts the next entry; `keys` as PinPadEntry::keys.
    void type(std::vector<std::string> pins, std::vector<std::uint8_t> keys = {});
    void cancel();
    void timeOut();

    // The control requests the pad refused (malformed input, nothing pending).
    int refusals() const { return m_refusals; }

    // PACE: the reader runs the protocol with the card and then protects
    // the card traffic itself, so the commands reach vcard in plain. The
    // emulation stands in for the protocol: it hands the password (from
    // the request, or the next typed entry when the request carries none)
    // to vcard's PACE hook, and the card judges it against its card access
    // number (vcard's pace-can).
    // Every EXECUTE_PACE request received, in order.
    const std::vector<PadBytes>& paceRequests() const { return m_paceRequests; }
    bool channelEstablished() const { return m_channel; }

    // The handlers of the emulated table.
    LONG control(SCARDHANDLE card, DWORD code, const PadBytes& input, LPVOID out, DWORD outLength,
                 LPDWORD returned);
    LONG systemName(LPBYTE attribute, LPDWORD length) const;
    const PcscApi& lower() const { return m_lower; }

private:
    struct Pending {
        bool modify = false;
        PinPadEntry::End end = PinPadEntry::End::Confirmed;
        PadBytes apdu;
        std::uint16_t refusal = 0;  // a reader status word instead of the APDU
        std::deque<std::uint8_t> keys;
    };

    PadBytes featureList() const;
    std::optional<Pending> startEntry(const PadBytes& structure, bool modify);
    PadBytes finishEntry(SCARDHANDLE card, Pending& entry);
    PadBytes transmitToCard(SCARDHANDLE card, const PadBytes& apdu);
    LONG answer(const PadBytes& output, LPVOID out, DWORD outLength, LPDWORD returned);
    LONG refuse();
    PadBytes executePace(SCARDHANDLE card, const PadBytes& input);
    PadBytes establishChannel(SCARDHANDLE card, const PadBytes& input);

    PcscApi m_lower;
    PcscApi m_table;
    PinPadFeatures m_features;
    std::string m_systemName;
    std::deque<PinPadEntry> m_entries;
    std::optional<Pending> m_pending;
    int m_refusals = 0;
    std::vector<PadBytes> m_paceRequests;
    bool m_channel = false;
    const PcscApi* m_previous = nullptr;
};

}  // namespace kivo::test
