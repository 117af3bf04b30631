// StarCos 3.0: format-2 PINs of 6 to 8 digits; the signature key signs a
// hash the card is handed with PSO HASH, other keys authenticate with
// INTERNAL AUTHENTICATE.
#pragma once

#include <optional>

#include "smartcard/profiles/SC_Profile_Format2Pins.h"

class CSC_Profile_StarCos30 : public CSC_Profile_Format2Pins {
public:
    CardResult GetData(std::uint8_t p1, std::uint8_t p2, Bytes& out, std::uint16_t le) override;
    CardResult SCSignData(const std::string& keyPath, std::uint32_t keyBits,
                          const std::uint8_t* data, std::uint32_t dataLength, Bytes& signature,
                          std::uint32_t algorithm, std::uint8_t keyReference) override;
    void InitPinLengths() override;

protected:
    const char* ProfileName() const override { return "CSC_Profile_StarCos30"; }
    // DST (B6), hash template (AA), DST again, PSO HASH, then PSO COMPUTE DIGITAL
    // SIGNATURE of the hash the card now holds (00 2A 9E 9A 00).
    CardResult SignWithPsoHash(const std::uint8_t* hash, std::uint32_t length,
                               std::uint32_t algorithm, std::uint8_t keyReference,
                               Bytes& signature);

private:
    CardResult AuthenticateInternally(std::uint32_t keyBits, const std::uint8_t* hash,
                                      std::uint32_t length, std::uint32_t algorithm,
                                      std::uint8_t keyReference, Bytes& signature);
};
