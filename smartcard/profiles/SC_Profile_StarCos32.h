// StarCos 3.2: format-2 PINs of 6 to 12 digits whose wrong entries report
// the tries left (63Cx), and signing with MSE SET and PSO COMPUTE DIGITAL SIGNATURE.
#pragma once

#include "smartcard/base/StatusWords.h"
#include "smartcard/profiles/SC_Profile_StarCos30.h"

#include <span>

class CSC_Profile_StarCos32 : public CSC_Profile_StarCos30 {
public:
    // The key's folder, then MANAGE SE RESTORE 00 22 F3 01: signing starts
    // from the card's first stored environment.
    CardResult PreSigning(std::int32_t cardProfile, const std::string& keyPath) override;
    CardResult SCSignData(const std::string& keyPath, std::uint32_t keyBits,
                          const std::uint8_t* data, std::uint32_t dataLength, Bytes& signature,
                          std::uint32_t algorithm, std::uint8_t keyReference) override;
    void InitPinLengths() override;
    // 63Cx is a wrong PIN with x tries left: 255, and the tries are kept.
    CardResult returnResult() override;

protected:
    const char* ProfileName() const override { return "CSC_Profile_StarCos32"; }
    // The status words of PIN commands and their results: StarCos 3.2
    // reads the first four, later versions also 6982.
    static constexpr kivo::card::sw::Mapping cPinResults[] = {
        {kivo::card::sw::kOk, kivo::card::cOk},
        {kivo::card::sw::kConditionsNotSatisfied, kivo::card::cAuthMethodBlocked},
        {kivo::card::sw::kReferenceDataNotUsable, kivo::card::cPinWrong},
        {kivo::card::sw::kAuthMethodBlocked, kivo::card::cCounterFailed},
        {kivo::card::sw::kSecurityStatusNotSatisfied, kivo::card::cSecurityStatus},
    };
    virtual std::span<const kivo::card::sw::Mapping> PinCommandResults() const;
};
