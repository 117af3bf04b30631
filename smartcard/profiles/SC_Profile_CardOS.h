// What the CardOS versions share: ISO selects with P2 04 and Le 00 (the MF
// by a select without data), the FCP answer, the serial number by GET DATA
// 01 81, PIN characters as given, the pin-pad structures of the base with
// the PIN lengths refreshed, their own reading of PIN answers (6300 is a
// wrong PIN without a count), and deciphering with MSE SET for the
// confidentiality template and an extended PSO DECIPHER. The versions add
// their PIN lengths and their way of signing.
//
// MSE SET data objects: the key reference is the ISO 7816-8 control
// reference 83 01 kk (confidentiality template B8) or 84 01 kk (digital
// signature template B6), kk being the key reference the caller names; no
// algorithm reference is sent, the card's key carries its algorithm. MSE
// RESTORE (CardOS 5.0 on) restores the card's security environment numbered
// like the key reference.
#pragma once

#include "smartcard/base/SC_Profile_Base.h"
#include "smartcard/base/StatusWords.h"

class CSC_Profile_CardOS : public CSC_Profile_Base {
public:
    // GET DATA 01 81 once; the first 8 bytes of the answer.
    std::string GetSerialNumber() override;
    std::uint32_t GetFileLen() override;
    // 00 CA p1 p2 with P3 00 (case 4); `le` is not sent, the card answers
    // what it has.
    CardResult GetData(std::uint8_t p1, std::uint8_t p2, Bytes& out, std::uint16_t le) override;
    CardResult SCSelectMF() override;
    CardResult SCSelectDF(const std::uint8_t* fid, std::uint32_t length) override;
    CardResult SCSelectEF(const std::uint8_t* fid) override;
    CardResult SCDecipher(const std::string& keyPath, std::uint32_t keyBits,
                          const std::uint8_t* data, std::uint32_t dataLength, Bytes& plain,
                          std::uint32_t algorithm, std::uint8_t keyReference) override;
    void ModifyVerifyStruct() override;
    void ModifyModifyStruct() override;
    void CreateModifyStruct() override;
    void CreateVerifyStruct() override;
    CardResult returnResult() override;
    // CardOS has no command that hands out a key's public half in this
    // library's use: the public key comes from the key's certificate. The
    // card is not asked, and the answer is the base's refusal.
    CardResult GetPubKey(std::uint8_t keyReference, Bytes& publicKey) override;

protected:
    static constexpr std::uint8_t cMseSetSign = 0x01;      // P1 of the 4.x signing MSE SET
    static constexpr std::uint8_t cMseSetDecipher = 0x41;  // P1: computation, decipherment
    static constexpr std::uint8_t cSignatureTemplate = 0xB6;
    static constexpr std::uint8_t cConfidentialityTemplate = 0xB8;
    static constexpr std::uint8_t cKeyReferenceTag83 = 0x83;
    static constexpr std::uint8_t cKeyReferenceTag84 = 0x84;

    static constexpr kivo::card::sw::Mapping cPinResults[] = {
        {kivo::card::sw::kOk, kivo::card::cOk},
        {kivo::card::sw::kVerificationFailed, kivo::card::cAuthFailed},
        {kivo::card::sw::kAuthMethodBlocked, kivo::card::cCounterFailed},
        {kivo::card::sw::kPinPadCancelled, kivo::card::cPinPadAborted},
        {kivo::card::sw::kPinPadPinsDiffer, kivo::card::cPinPadAborted},
        {kivo::card::sw::kPinPadLengthError, kivo::card::cPinPadAborted},
    };

    // The control information form of the select answers.
    virtual kivo::card::ControlInfoForm ControlInfo() const { return kivo::card::kFcpSize80; }
    // The extended Le of an operation whose answer is as long as the key:
    // 256 up to 2048-bit keys, 0 (65536) for longer ones, whose answer
    // does not fit 256.
    static std::uint16_t ExtendedLe(std::uint32_t keyBits);
    // MSE SET 00 22 p1 crt 03 tag 01 kk.
    CardResult SetKeyEnvironment(std::uint8_t p1, std::uint8_t crt, std::uint8_t tag,
                                 std::uint8_t keyReference);
    // Signing through PSO DECIPHER: the PKCS#1 type-1 block of the hash
    // with a leading 00, extended, Le 256 (the card applies its key to the
    // block as it stands).
    CardResult SignByDecipher(std::uint32_t keyBits, const std::uint8_t* hash,
                              std::uint32_t hashLength, std::uint32_t algorithm, Bytes& signature);
    // PSO COMPUTE DIGITAL SIGNATURE with `input`: case 4 with Le 00, or
    // extended with the Le of the key length.
    CardResult ComputeSignature(const Bytes& input, bool extended, std::uint32_t keyBits,
                                Bytes& signature);
};
