// An emulated PACE reader in front of the installed PC/SC layer: it offers
// the part-10 feature EXECUTE_PACE and the reader's system name; all else
// passes through. The password (from the request or the next scripted
// entry) goes to vcard's PACE hook, which judges it; the traffic then
// reaches the card in plain, as behind a real reader.
#pragma once

#include "platform/PcscApi.h"

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

namespace kivo::test {

using PadBytes = std::vector<std::uint8_t>;

struct PinPadFeatures {
    bool executePace = false;
};

// One entry at the reader: the password typed, or a cancel or time-out.
struct PinPadEntry {
    enum class End { Confirmed, Cancelled, TimedOut };
    std::vector<std::string> pins;
    End end = End::Confirmed;
};

// Installed while it lives (one at a time).
class EmulatedPinPad {
public:
    EmulatedPinPad(PinPadFeatures features, std::string systemName);
    ~EmulatedPinPad();
    EmulatedPinPad(const EmulatedPinPad&) = delete;
    EmulatedPinPad& operator=(const EmulatedPinPad&) = delete;

    void type(std::vector<std::string> pins) { m_entries.push_back({std::move(pins), PinPadEntry::End::Confirmed}); }
    void cancel() { m_entries.push_back({{}, PinPadEntry::End::Cancelled}); }
    void timeOut() { m_entries.push_back({{}, PinPadEntry::End::TimedOut}); }
    const std::vector<PadBytes>& paceRequests() const { return m_paceRequests; }

    LONG control(SCARDHANDLE card, DWORD code, const PadBytes& input, LPVOID out, DWORD outLength,
                 LPDWORD returned);
    LONG systemName(LPBYTE attribute, LPDWORD length) const;
    const PcscApi& lower() const { return m_lower; }

private:
    PadBytes transmitToCard(SCARDHANDLE card, const PadBytes& apdu);
    PadBytes executePace(SCARDHANDLE card, const PadBytes& input);
    PadBytes establishChannel(SCARDHANDLE card, const PadBytes& input);

    PcscApi m_lower;
    PcscApi m_table;
    PinPadFeatures m_features;
    std::string m_systemName;
    std::deque<PinPadEntry> m_entries;
    std::vector<PadBytes> m_paceRequests;
    const PcscApi* m_previous = nullptr;
};

}  // namespace kivo::test
