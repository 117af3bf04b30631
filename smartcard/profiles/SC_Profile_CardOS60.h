// CardOS 6.0: as CardOS 5.4, with applications selected by AID, the PIN
// verified as given, and the PACE hooks. PACE runs through the reader
// (PC/SC part 10 EXECUTE_PACE), which the transport does not offer yet:
// InitPACE keeps what the PACE step will need (the reader's PACE feature
// and the entries of the PACE_CANCACHE file) and the commands go in plain,
// since no trusted channel is ever active.
#pragma once

#include "smartcard/profiles/SC_Profile_CardOS54.h"

#include <map>
#include <string>

class CSC_Profile_CardOS60 : public CSC_Profile_CardOS54 {
public:
    ~CSC_Profile_CardOS60() override;

    // Forgets an earlier state, notes whether the reader offers PACE and
    // reads the PACE_CANCACHE entries; true: nothing is established, the
    // card is used in plain.
    bool InitPACE(const std::string& pin) override;
    // Wipes and forgets the PACE state.
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
    std::size_t PaceCacheEntries() const { return m_pace.cache.size(); }

protected:
    const char* ProfileName() const override { return "CSC_Profile_CardOS60"; }

private:
    struct PaceState {
        bool readerHasPace = false;
        // PACE_CANCACHE: "name=value" pairs, several on a line separated by
        // ','. Values may be card access numbers: wiped when forgotten,
        // never traced.
        std::map<std::string, std::string> cache;
    };
    void LoadPaceCache();
    // The "name=value" entries of one line; a name seen before takes the
    // later value.
    void AddPaceCacheEntries(const std::string& line);
    PaceState m_pace;
};
