// What StarCos 3.x and SecCos 5 cards share: ISO selects with P2 04 and an
// FCP answer, the serial number in the general data file, and PINs as ISO
// 9564 format-2 blocks, also on the pin pad (the reader fills the block the
// structure describes). The card operating systems derive from it and add
// their own signing, lengths and status mapping.
#pragma once

#include "smartcard/base/SC_Profile_Base.h"

#include <optional>

class CSC_Profile_Format2Pins : public CSC_Profile_Base {
public:
    std::string GetSerialNumber() override;
    std::uint32_t GetFileLen() override;
    CardResult SCSelectMF() override;
    CardResult SCSelectDF(const std::uint8_t* fid, std::uint32_t length) override;
    CardResult SCSelectEF(const std::uint8_t* fid) override;
    // One format-2 block (Lc 8); no PIN: the bare VERIFY.
    CardResult SCVerify(std::uint8_t reference, const std::uint8_t* pin,
                        std::uint32_t length) override;
    // The old and the new PIN as two blocks (Lc 16), after the length rule.
    CardResult SCChangeRef(std::uint8_t reference, const std::uint8_t* oldPin,
                           std::uint32_t oldLength, const std::uint8_t* newPin,
                           std::uint32_t newLength) override;
    // RESET RETRY COUNTER with the PUK and the new PIN as two blocks (Lc
    // 16). StarCos 3.0 and SecCos 5 too: their PINs and PUKs are stored
    // as format-2 blocks, so the card compares blocks, and a PUK in plain
    // characters would only count down its tries.
    CardResult SCUnblockPin(std::uint8_t reference, const std::uint8_t* puk, std::uint32_t pukLength,
                            const std::uint8_t* newPin, std::uint32_t newLength) override;
    // The structure followed by the APDU data the reader fills: Lc and an
    // empty block (32 bytes) for verify, Lc and two templates (45 bytes)
    // for modify.
    std::uint32_t StartVerifyPinPad() override;
    std::uint32_t StartModifyPinPad() override;
    void ModifyVerifyStruct() override;
    void ModifyModifyStruct() override;
    void CreateModifyStruct() override;
    void CreateVerifyStruct() override;
    // MSE SET for the confidentiality template, then an extended PSO
    // DECIPHER of padding indicator 00 and the cryptogram.
    CardResult SCDecipher(const std::string& keyPath, std::uint32_t keyBits,
                          const std::uint8_t* data, std::uint32_t dataLength, Bytes& plain,
                          std::uint32_t algorithm, std::uint8_t keyReference) override;

protected:
    // MANAGE SECURITY ENVIRONMENT SET (00 22 41 crt) with the key
    // reference (84 03 80 kk 00) or, for the hash template, the algorithm
    // (89 02 14 hh).
    CardResult SetSecurityEnvironment(std::uint8_t crt, std::uint8_t keyReference);
    // The hash template's reference for `algorithm` (SHA-1 10, RIPEMD-160
    // 30, SHA-256 40); none for a hash the card does not know.
    static std::optional<std::uint8_t> HashReference(std::uint32_t algorithm);
    // The format-2 verify structure fields, for profiles that add to them.
    void SetFormatTwoVerifyFields();
    // A PIN command with one format-2 block (Lc 8), or with two (Lc 16)
    // after the length rule for the second, the new PIN. 255 without
    // sending when a PIN cannot be encoded.
    CardResult SendOneBlock(std::uint8_t ins, std::uint8_t p1, std::uint8_t reference,
                            const std::uint8_t* pin, std::uint32_t length);
    CardResult SendTwoBlocks(std::uint8_t ins, std::uint8_t reference, const std::uint8_t* first,
                             std::uint32_t firstLength, const std::uint8_t* newPin,
                             std::uint32_t newLength);
};
