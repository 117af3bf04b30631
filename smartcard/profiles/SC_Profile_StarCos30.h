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
    CardResult SCDecipher(const std::string& keyPath, std::uint32_t keyBits,
                          const std::uint8_t* data, std::uint32_t dataLength, Bytes& plain,
                          std::uint32_t algorithm, std::uint8_t keyReference) override;
    void InitPinLengths() override;

protected:
    const char* ProfileName() const override { return "CSC_Profile_StarCos30"; }
    // MANAGE SECURITY ENVIRONMENT SET (00 22 41 crt) with the key
    // reference (84 03 80 kk 00) or, for the hash template, the algorithm
    // (89 02 14 hh).
    CardResult SetSecurityEnvironment(std::uint8_t crt, std::uint8_t keyReference);
    // The hash template's reference for `algorithm` (SHA-1 10, RIPEMD-160
    // 30, SHA-256 40); none for a hash the card does not know.
    static std::optional<std::uint8_t> HashReference(std::uint32_t algorithm);
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
