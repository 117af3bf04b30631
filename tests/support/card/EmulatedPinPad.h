// An emulated PACE reader in front of the installed PC/SC layer: it offers the part-10 feature EXECUTE_PACE and
// the reader's system name; all else passes through. The card access number (from the request or typed at the
// reader) goes to vcard's PACE hook, which judges it; the traffic then reaches the card in plain, as behind a
// real reader.
#pragma once

#include "platform/PcscApi.h"

#include <cstdint>
#include <deque>
#include <string>
#include <utility>
#include <vector>

namespace kivo::test {

using PadBytes = std::vector<std::uint8_t>;

struct PinPadFeatures { bool executePace = false; };

// Installed while it lives (one at a time).
class EmulatedPinPad {
public:
    EmulatedPinPad(PinPadFeatures features, std::string systemName);
    ~EmulatedPinPad();
    EmulatedPinPad(const EmulatedPinPad&) = delete;
    EmulatedPinPad& operator=(const EmulatedPinPad&) = delete;

    // The next entry at the reader: a number typed, a cancel, a time-out.
    void type(const std::vector<std::string>& pins) { m_entries.emplace_back(kOk, pins.at(0)); }
    void cancel() { m_entries.emplace_back(kCancelled, ""); }
    void timeOut() { m_entries.emplace_back(kTimedOut, ""); }
    const std::vector<PadBytes>& paceRequests() const { return m_paceRequests; }

    LONG control(SCARDHANDLE card, DWORD code, const PadBytes& input, LPVOID out, DWORD outLength, LPDWORD returned);
    LONG systemName(LPBYTE attribute, LPDWORD length) const;
    const PcscApi& lower() const { return m_lower; }

private:
    // Reader results: success, the user's cancel and time-out.
    static constexpr std::uint32_t kOk = 0, kCancelled = 0xF0200001, kTimedOut = 0xF0200002;

    PadBytes transmitToCard(SCARDHANDLE card, const PadBytes& apdu);
    PadBytes executePace(SCARDHANDLE card, const PadBytes& input);

    PcscApi m_lower;
    PcscApi m_table;
    PinPadFeatures m_features;
    std::string m_systemName;
    std::deque<std::pair<std::uint32_t, std::string>> m_entries;
    std::vector<PadBytes> m_paceRequests;
    const PcscApi* m_previous = nullptr;
};

}  // namespace kivo::test
