// StarCos 3.4: as StarCos 3.2, with unblocking by the PUK alone (RESET
// RETRY COUNTER with P1 01) and 6982 read as "security status not
// satisfied".
#pragma once

#include "smartcard/profiles/SC_Profile_StarCos32.h"

class CSC_Profile_StarCos34 : public CSC_Profile_StarCos32 {
public:
    CardResult SCUnblockPin2(std::uint8_t reference, const std::uint8_t* puk,
                             std::uint32_t pukLength) override;
    void InitUnblockMode() override;

protected:
    const char* ProfileName() const override { return "CSC_Profile_StarCos34"; }
    std::span<const kivo::card::sw::Mapping> PinCommandResults() const override;
};
