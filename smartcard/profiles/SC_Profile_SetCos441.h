// SetCos 4.4.1: selects without Le, 1024-bit keys the card can generate,
// signing with PSO COMPUTE DIGITAL SIGNATURE and deciphering with PSO
// DECIPHER after MSE SET (7 octets of data objects), keys used from the
// folder that holds them, EF contents erased with ERASE BINARY.
#pragma once

#include "smartcard/profiles/SC_Profile_FciCards.h"

class CSC_Profile_SetCos441 : public CSC_Profile_FciCards {
public:
    // Selects the file and erases its whole content (ERASE BINARY from
    // offset 0, 00 0E 00 00).
    CardResult EraseFile(const std::string& path) override;
    // GENERATE ASYMMETRIC KEY PAIR 00 46 80 kk (Le 00; the card answers the
    // public key). 255 without sending for a length the profile does not use.
    CardResult GenRSAKeyPair(std::uint8_t keyReference, std::uint32_t keyBits) override;
    // Keeps profile and key path and selects the folder of the key: the key
    // itself is named by the MSE SET key reference, not selected as an EF.
    CardResult PreSigning(std::int32_t cardProfile, const std::string& keyPath) override;
    // The public key as the card answers 00 46 81 kk (read an existing pair).
    CardResult GetPubKey(std::uint8_t keyReference, Bytes& publicKey) override;
    CardResult SCSignData(const std::string& keyPath, std::uint32_t keyBits,
                          const std::uint8_t* data, std::uint32_t dataLength, Bytes& signature,
                          std::uint32_t algorithm, std::uint8_t keyReference) override;
    CardResult SCDecipher(const std::string& keyPath, std::uint32_t keyBits,
                          const std::uint8_t* data, std::uint32_t dataLength, Bytes& plain,
                          std::uint32_t algorithm, std::uint8_t keyReference) override;
    void InitKeyLengths() override;

protected:
    const char* ProfileName() const override { return "CSC_Profile_SetCos441"; }
};
