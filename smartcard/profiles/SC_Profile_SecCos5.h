// SecCos 5: format-2 PINs of 6 to 12 digits read with the base status
// mapping, GET DATA as a case 3 command, and the command set of StarCos
// 3.0 for signing and deciphering: a hash the card knows is signed after
// hash template and DST with PSO HASH and PSO COMPUTE DIGITAL SIGNATURE
// (case 3); any other is signed by INTERNAL AUTHENTICATE after an
// authentication template that names the key and PKCS#1 padding.
#pragma once

#include "smartcard/profiles/SC_Profile_StarCos30.h"

class CSC_Profile_SecCos5 : public CSC_Profile_StarCos30 {
public:
    // 00 CA P1 P2 with `le` as the fifth byte.
    CardResult GetData(std::uint8_t p1, std::uint8_t p2, Bytes& out, std::uint16_t le) override;
    CardResult SCSignData(const std::string& keyPath, std::uint32_t keyBits,
                          const std::uint8_t* data, std::uint32_t dataLength, Bytes& signature,
                          std::uint32_t algorithm, std::uint8_t keyReference) override;
    void InitPinLengths() override;

protected:
    const char* ProfileName() const override { return "CSC_Profile_SecCos5"; }
};
