// CardOS 4.3b: PIN lengths by the card profile, and signing by the card
// profile's key layout: keys set in the confidentiality template sign a
// PKCS#1 block through PSO DECIPHER, the others sign the DigestInfo with
// PSO COMPUTE DIGITAL SIGNATURE.
#pragma once

#include "smartcard/profiles/SC_Profile_CardOS.h"

class CSC_Profile_CardOS43b : public CSC_Profile_CardOS {
public:
    CardResult SCSignData(const std::string& keyPath, std::uint32_t keyBits,
                          const std::uint8_t* data, std::uint32_t dataLength, Bytes& signature,
                          std::uint32_t algorithm, std::uint8_t keyReference) override;
    void InitPinLengths() override;
    // The key's folder or file selected as the base does, within the
    // profile's own traces.
    CardResult PreSigning(std::int32_t cardProfile, const std::string& keyPath) override;

protected:
    const char* ProfileName() const override { return "CSC_Profile_CardOS43b"; }
    // Whether the card profile's keys sign through PSO DECIPHER.
    static bool SignsByDecipher(std::int32_t cardProfile);
    // The shortest PIN of a card profile (the longest is 15 for all).
    virtual std::uint8_t PinMinimumFor(std::int32_t cardProfile) const;
};
