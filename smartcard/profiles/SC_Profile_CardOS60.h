// CardOS 6.0: as CardOS 5.4, with applications selected by AID, the PIN
// verified as given, and PACE. PACE is a reader function (PC/SC part 10
// EXECUTE_PACE): the reader runs it with the card and then protects the
// card traffic itself, so no trusted channel is ever active in the library
// and the commands go in plain. A reader without EXECUTE_PACE leaves the
// card to be used without PACE, as through a contact interface.
#pragma once

#include "smartcard/profiles/SC_Profile_CardOS54.h"

#include <map>
#include <string>

class CSC_Profile_CardOS60 : public CSC_Profile_CardOS54 {
public:
    ~CSC_Profile_CardOS60() override;

    // Ends an earlier channel; on a reader with EXECUTE_PACE establishes
    // one with the card access number: the one given, else the
    // PACE_CANCACHE entry named by the card's serial number, else the one
    // the reader asks for on its keypad. True when the channel stands, or
    // when the reader has no PACE (the card is then used in plain).
    bool InitPACE(const std::string& pin) override;
    // Ends the channel at the reader, wipes and forgets the PACE state.
    void FreePACE() override;
    std::int32_t GetPaceMode() override { return 2; }
    // Whether the connected reader offers EXECUTE_PACE.
    bool IsPaceReader(const std::string& readerName) override;
    void HasPaceReader() override;
    std::uint8_t GetTrustedChannelCla() override { return 0x0C; }
    // No trusted channel is established: nothing to wrap or unwrap (false,
    // `out` empty).
    bool EncryptTrustedChannelData(const std::uint8_t* data, std::uint32_t length,
                                   Bytes& out) override;
    bool DecryptTrustedChannelData(const std::uint8_t* data, std::uint32_t length,
                                   Bytes& out) override;
    // SELECT 00 A4 04 04 Lc AID 00.
    CardResult SCSelectAID(const std::uint8_t* aid, std::uint32_t length) override;
    // VERIFY 00 20 00 ref with the PIN as given (the bare VERIFY without).
    CardResult SCVerify(std::uint8_t reference, const std::uint8_t* pin,
                        std::uint32_t length) override;

    bool PaceReaderFound() const { return m_pace.readerHasPace; }
    bool PaceEstablished() const { return m_pace.established; }

protected:
    const char* ProfileName() const override { return "CSC_Profile_CardOS60"; }

private:
    struct PaceState {
        bool readerHasPace = false;
        bool established = false;
        // PACE_CANCACHE: "serial number=card access number" pairs, several
        // on a line separated by ','. The values are wiped when forgotten
        // and never traced.
        std::map<std::string, std::string> cache;
    };
    // The card access number for the channel: `given` when not empty, else
    // the cache entry of this card, else empty (the reader asks).
    std::string CardAccessNumber(const std::string& given);
    bool EstablishChannel(const std::string& cardAccessNumber);
    void LoadPaceCache();
    // The "name=value" entries of one line; a name seen before takes the
    // later value.
    void AddPaceCacheEntries(const std::string& line);
    PaceState m_pace;
};
