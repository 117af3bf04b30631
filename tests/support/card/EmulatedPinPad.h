// An emulated pin-pad reader in front of the installed PC/SC layer: it adds
// the part-10 features, PIN verification and modification (DIRECT or
// START/FINISH with key events) and the reader's system name; all else
// passes through. It builds the command APDU from the PIN structure and the
// scripted entries as a reader does and sends it with the layer below.
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
    bool executePace = false;  // with a card access number the card judges
};

// One entry at the pad: the PINs typed (current, new, new again as the
// structure asks) or a cancel or time-out, and the key events it reports
// (empty: '+' per PIN character and OK 0x0D after each PIN).
struct PinPadEntry {
    enum class End { Confirmed, Cancelled, TimedOut };
    std::vector<std::string> pins;
    End end = End::Confirmed;
    std::vector<std::uint8_t> keys;
};

// The part-10 control codes the pad hands out: 0x42330000 plus the tag.
std::uint32_t pinPadControlCode(std::uint8_t featureTag);

// The command APDU a reader builds from a PIN_VERIFY_STRUCTURE or
// PIN_MODIFY_STRUCTURE with its APDU template and the PINs typed; nothing
// for a malformed structure or a PIN that does not fit its block.
std::optional<PadBytes> pinPadApdu(const PadBytes& structure, bool modify,
                                   const std::vector<std::string>& pins);

// Installed while it lives (one at a time).
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
    // PACE stands in for the protocol: the password (from the request or
    // the next entry) goes to vcard's PACE hook, which judges it; the
    // traffic then reaches the card in plain, as behind a real reader.
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
