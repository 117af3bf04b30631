// What TCOS 2.0, SetCos 4.4.x and Micardo 2.1 cards share: ISO selects
// with P2 00 whose answer is an FCI template (6F) giving the file size in
// tag 81 (Micardo: 85), the serial number in a general data file, GET DATA
// as case 2 with the caller's Le, the base PIN commands and pin-pad
// structures, and MSE SET with ISO 7816-8 data objects before the
// operation on the card.
#pragma once

#include "smartcard/base/SC_Profile_Base.h"

#include <optional>

class CSC_Profile_FciCards : public CSC_Profile_Base {
public:
    std::string GetSerialNumber() override;
    std::uint32_t GetFileLen() override;
    CardResult GetData(std::uint8_t p1, std::uint8_t p2, Bytes& out, std::uint16_t le) override;
    CardResult SCSelectMF() override;
    CardResult SCSelectDF(const std::uint8_t* fid, std::uint32_t length) override;
    CardResult SCSelectEF(const std::uint8_t* fid) override;
    void CreateModifyStruct() override;
    void CreateVerifyStruct() override;

protected:
    // The selects: P2 00 for an FCI, without Le (case 6).
    virtual kivo::card::SelectForm Selects() const { return {.p2 = kivo::card::kAnswerFci}; }
    // The file holding the general data objects with the serial number.
    virtual const char* GeneralDataFile() const { return cGeneralDataFile; }
    // The form of the control information a SELECT answers with.
    virtual kivo::card::ControlInfoForm FileControlForm() const { return kivo::card::kFciSize81; }

    // Algorithm references of MSE SET: RSA with PKCS#1 v1.5 padding done by
    // the card, for signatures (DigestInfo in) and for deciphering.
    static constexpr std::uint8_t cAlgRsaPkcs1Signature = 0x12;
    static constexpr std::uint8_t cAlgRsaPkcs1Decipher = 0x1A;

    // MANAGE SECURITY ENVIRONMENT SET 00 22 p1 crt with `length` octets of
    // data. The data objects are the ISO 7816-8 ones and nothing else:
    // the algorithm reference 80 01 aa (when `algorithm` is given) followed
    // by the private key reference 84 with the key reference right-aligned
    // in the octets left (84 01 kk, 84 02 00 kk, 84 03 00 00 kk). The card
    // families differ only in the length their MSE header carries.
    CardResult SetSecurityEnvironment(std::uint8_t p1, std::uint8_t crt, std::uint8_t length,
                                      std::uint8_t keyReference,
                                      std::optional<std::uint8_t> algorithm);
    // wPINMaxExtraDigit of the verify and modify structures from the PIN
    // lengths, for the profiles whose hooks refresh them.
    void RefreshVerifyPinLengths();
    void RefreshModifyPinLengths();
    // PSO DECIPHER 00 2A 80 p2 with the cryptogram (short, or extended when
    // it is longer than 255 octets).
    CardResult SendCryptogram(std::uint8_t p2, const std::uint8_t* data, std::uint32_t length,
                              Bytes& plain);
    // CHANGE REFERENCE DATA with the old and the new PIN each in an 8-byte
    // field padded with zero bytes (Lc 16): the fields the pin pad fills
    // on the cards whose modify structure places the new PIN at offset 8.
    // The keyboard sends the same fields, since such a card reads the new
    // PIN at that offset whoever typed it. A PIN longer than 8 is refused
    // before anything is sent.
    CardResult ChangeInEightByteFields(std::uint8_t reference, const std::uint8_t* oldPin,
                                       std::uint32_t oldLength, const std::uint8_t* newPin,
                                       std::uint32_t newLength);
};
