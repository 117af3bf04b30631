// SetCos 4.4.2: as SetCos 4.4.1 with 2048-bit keys, selects by path from
// the current folder (P1 09), GET DATA completed with GET RESPONSE, PINs of
// 6 to 8 characters sent zero-padded to 8 octets, also by the pin pad.
#pragma once

#include "smartcard/profiles/SC_Profile_SetCos441.h"

class CSC_Profile_SetCos442 : public CSC_Profile_SetCos441 {
public:
    // Case 2 with Le (00 for 256 and more); an answer 61xx is fetched with
    // GET RESPONSE 00 C0 00 00 xx.
    CardResult GetData(std::uint8_t p1, std::uint8_t p2, Bytes& out, std::uint16_t le) override;
    // The PIN padded with zero bytes to 8 octets (Lc 8); no PIN: the bare
    // VERIFY. 255 without sending for a PIN longer than 8.
    CardResult SCVerify(std::uint8_t reference, const std::uint8_t* pin,
                        std::uint32_t length) override;
    // The structure followed by Lc and one (verify, 32 bytes) or two
    // (modify, 45 bytes) empty 8-byte PIN fields.
    std::uint32_t StartVerifyPinPad() override;
    std::uint32_t StartModifyPinPad() override;
    // Both PINs in 8-byte fields, as the pin pad's modify form sends them.
    CardResult SCChangeRef(std::uint8_t reference, const std::uint8_t* oldPin,
                           std::uint32_t oldLength, const std::uint8_t* newPin,
                           std::uint32_t newLength) override;
    void ModifyVerifyStruct() override;
    void ModifyModifyStruct() override;
    void CreateModifyStruct() override;
    void CreateVerifyStruct() override;
    void InitPinLengths() override;
    void InitKeyLengths() override;

protected:
    const char* ProfileName() const override { return "CSC_Profile_SetCos442"; }
    kivo::card::SelectForm Selects() const override {
        return {.p2 = kivo::card::kAnswerFci, .pathFromCurrentDf = true};
    }
};
