// SecCos 5: format-2 PINs of 6 to 12 digits read with the base status
// mapping, GET DATA as a case 3 command, deciphering as the format-2 cards, and
// signing after three MSE SET commands (the key and its PKCS#1 padding in
// the authentication template, the hash in the hash template, the
// signature template without data) with PSO COMPUTE DIGITAL SIGNATURE of
// the bare hash as a case 3 command. A format-2 card of its own, beside the
// StarCos family. Hashes the hash template cannot name
// (SHA-384, SHA-512, MD5) are refused.
#pragma once

#include "smartcard/profiles/SC_Profile_Format2Pins.h"

class CSC_Profile_SecCos5 : public CSC_Profile_Format2Pins {
public:
    // 00 CA P1 P2 with `le` as the fifth byte.
    CardResult GetData(std::uint8_t p1, std::uint8_t p2, Bytes& out, std::uint16_t le) override;
    CardResult SCSignData(const std::string& keyPath, std::uint32_t keyBits,
                          const std::uint8_t* data, std::uint32_t dataLength, Bytes& signature,
                          std::uint32_t algorithm, std::uint8_t keyReference) override;
    void InitPinLengths() override;
    // The bare hash of a hash the hash template names; 255 otherwise.
    CardResult BuildSignBuffer(std::uint32_t hashAlgorithm, std::uint32_t keyBits, const std::uint8_t* hash,
                               std::uint32_t hashLength, Bytes& out, bool pad) override;

protected:
    const char* ProfileName() const override { return "CSC_Profile_SecCos5"; }
};
