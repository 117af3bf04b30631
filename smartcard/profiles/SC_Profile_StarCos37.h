// StarCos 3.7 (card types 19, "Starcos 3.7 DGN", and 21, "Starcos 3.7
// D-Trust"): as StarCos 3.5, plus application selection by AID, the
// signature environment set ahead of a signature, and, on the D-Trust
// card, a pin pad that enters the PIN as ASCII digits and answers of 512
// data bytes to extended commands.
#pragma once

#include "smartcard/profiles/SC_Profile_StarCos35.h"
#include "smartcard/base/CardNumbers.h"

class CSC_Profile_StarCos37 : public CSC_Profile_StarCos35 {
public:
    static constexpr std::int32_t cCardTypeDgn = kivo::card::type::cStarCos37Dgn;
    static constexpr std::int32_t cCardTypeDTrust = kivo::card::type::cStarCos37DTrust;

    // With an algorithm: MSE SET for key `keyReference` and that signature
    // algorithm (as SCSignData would send it, so that the signature itself
    // sends none). Without one (0, as before a PIN verification) there is
    // nothing to set: 0.
    CardResult SelectKeyAndAlgorithm(std::uint8_t keyReference, std::uint32_t algorithm) override;
    // SELECT 00 A4 04 04 Lc AID 00; the card drops its security environment.
    CardResult SCSelectAID(const std::uint8_t* aid, std::uint32_t length) override;
    // D-Trust: ASCII PIN without a block (ulDataLength 4); the reader
    // sends VERIFY with a fifth header byte 00 (24 bytes) except the SCM
    // SPRx32 readers, which get the structure as built (23 bytes). The
    // modify structure goes as built too. Card type 19: as StarCos 3.0.
    void ModifyVerifyStruct() override;
    std::uint32_t StartVerifyPinPad() override;
    std::uint32_t StartModifyPinPad() override;

protected:
    const char* ProfileName() const override { return "CSC_Profile_StarCos37"; }
    bool ReceivesFull512ByteAnswers() const override { return IsDTrust(); }
    void SignatureRefused() override;

private:
    bool IsDTrust() const { return CardTypeNumber() == cCardTypeDTrust; }
};
