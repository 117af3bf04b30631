// CardOS 5.0: PINs of 6 to 12 characters, control information with a
// long-form template length, the key types an application may use, and
// signing with MSE RESTORE of the key's security environment and an
// extended PSO COMPUTE DIGITAL SIGNATURE, also with RSA-PSS by the card.
#pragma once

#include "smartcard/profiles/SC_Profile_CardOS.h"

class CSC_Profile_CardOS50 : public CSC_Profile_CardOS {
public:
    CardResult SCSignData(const std::string& keyPath, std::uint32_t keyBits,
                          const std::uint8_t* data, std::uint32_t dataLength, Bytes& signature,
                          std::uint32_t algorithm, std::uint8_t keyReference) override;
    // Key type 1 (RSA-PSS) allows usage 1 only; other key types 0 to 3.
    bool IsKeyTypeAllowed(std::int32_t keyType, std::int32_t usage) override;
    void InitPinLengths() override;
    // For RSA-PSS the bare hash (the card encodes it); otherwise the base
    // block of the hash algorithm without the flag.
    CardResult BuildSignBuffer(std::uint32_t hashAlgorithm, std::uint32_t keyBits,
                               const std::uint8_t* hash, std::uint32_t hashLength, Bytes& out,
                               bool pad) override;

protected:
    const char* ProfileName() const override { return "CSC_Profile_CardOS50"; }
    kivo::card::ControlInfoForm ControlInfo() const override {
        return kivo::card::kFcpSize80LongForm;
    }
};
