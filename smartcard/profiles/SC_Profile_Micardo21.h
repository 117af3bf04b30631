// Micardo 2.1 (a T=0 card): the MF selected by an empty SELECT, the file
// size in tag 85 of the FCI, the serial number in 3F00/5015/5032, PINs of
// 6 to 8 characters, 1024-bit keys; the signature key signs with PSO
// COMPUTE DIGITAL SIGNATURE, other keys with INTERNAL AUTHENTICATE.
#pragma once

#include "smartcard/profiles/SC_Profile_FciCards.h"

class CSC_Profile_Micardo21 : public CSC_Profile_FciCards {
public:
    CardResult SCSignData(const std::string& keyPath, std::uint32_t keyBits,
                          const std::uint8_t* data, std::uint32_t dataLength, Bytes& signature,
                          std::uint32_t algorithm, std::uint8_t keyReference) override;
    CardResult SCDecipher(const std::string& keyPath, std::uint32_t keyBits,
                          const std::uint8_t* data, std::uint32_t dataLength, Bytes& plain,
                          std::uint32_t algorithm, std::uint8_t keyReference) override;
    // Only readers with FEATURE_MODIFY_PIN_START: the structure followed by
    // Lc 16 and two empty 8-byte PIN fields (45 bytes).
    std::uint32_t StartModifyPinPad() override;
    // Both PINs in 8-byte fields, as the pin pad's modify form sends them.
    CardResult SCChangeRef(std::uint8_t reference, const std::uint8_t* oldPin,
                           std::uint32_t oldLength, const std::uint8_t* newPin,
                           std::uint32_t newLength) override;
    void ModifyVerifyStruct() override;
    void ModifyModifyStruct() override;
    // The base structure with the new PIN at offset 8 and ulDataLength 21.
    void CreateModifyStruct() override;
    void InitPinLengths() override;
    void InitKeyLengths() override;

protected:
    const char* ProfileName() const override { return "CSC_Profile_Micardo21"; }
    kivo::card::SelectForm Selects() const override {
        return {.p2 = kivo::card::kAnswerFci, .mfByIdentifier = false};
    }
    const char* GeneralDataFile() const override { return "3f0050155032"; }
    kivo::card::ControlInfoForm FileControlForm() const override { return kivo::card::kFciSize85; }
};
