// TCOS 2.0: selects with Le FF, 1024-bit keys, one security environment
// (MSE SET C1 B8) for signing and deciphering, deciphering with
// PSO DECIPHER 00 2A 80 84.
#pragma once

#include "smartcard/profiles/SC_Profile_FciCards.h"

class CSC_Profile_TCOS20 : public CSC_Profile_FciCards {
public:
    CardResult SCSignData(const std::string& keyPath, std::uint32_t keyBits,
                          const std::uint8_t* data, std::uint32_t dataLength, Bytes& signature,
                          std::uint32_t algorithm, std::uint8_t keyReference) override;
    CardResult SCDecipher(const std::string& keyPath, std::uint32_t keyBits,
                          const std::uint8_t* data, std::uint32_t dataLength, Bytes& plain,
                          std::uint32_t algorithm, std::uint8_t keyReference) override;
    void InitKeyLengths() override;

protected:
    const char* ProfileName() const override { return "CSC_Profile_TCOS20"; }
    kivo::card::SelectForm Selects() const override {
        return {.p2 = kivo::card::kAnswerFci, .le = 0xFF};
    }
};
