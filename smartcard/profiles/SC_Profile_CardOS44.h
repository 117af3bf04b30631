// CardOS 4.4: as CardOS 4.3b, with its own shortest PINs, and every key
// signs a PKCS#1 block through PSO DECIPHER after MSE SET 01 B8.
#pragma once

#include "smartcard/profiles/SC_Profile_CardOS43b.h"

class CSC_Profile_CardOS44 : public CSC_Profile_CardOS43b {
public:
    CardResult SCSignData(const std::string& keyPath, std::uint32_t keyBits,
                          const std::uint8_t* data, std::uint32_t dataLength, Bytes& signature,
                          std::uint32_t algorithm, std::uint8_t keyReference) override;

protected:
    const char* ProfileName() const override { return "CSC_Profile_CardOS44"; }
    // As CardOS 4.3b, but card profile 41 has the default 8.
    std::uint8_t PinMinimumFor(std::int32_t cardProfile) const override;
};
