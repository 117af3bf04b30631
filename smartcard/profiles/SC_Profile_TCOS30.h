// TCOS 3.0: ISO selects with P2 04 and Le FF and an FCP answer, PINs as
// given (base), the serial number in the general data file, signing and
// deciphering through PSO DECIPHER with the input in reversed byte order.
// The keys of the signature application, which the card uses only under
// secure messaging, are refused.
#pragma once

#include "smartcard/base/SC_Profile_Base.h"
#include "smartcard/profiles/TcosDeviceAuthentication.h"

class CSC_Profile_TCOS30 : public CSC_Profile_Base {
public:
    std::string GetSerialNumber() override;
    std::uint32_t GetFileLen() override;
    CardResult GetData(std::uint8_t p1, std::uint8_t p2, Bytes& out, std::uint16_t le) override;
    CardResult SCSelectMF() override;
    CardResult SCSelectDF(const std::uint8_t* fid, std::uint32_t length) override;
    CardResult SCSelectEF(const std::uint8_t* fid) override;
    // The PKCS#1 type-1 block of the hash, reversed, deciphered by the card.
    CardResult SCSignData(const std::string& keyPath, std::uint32_t keyBits,
                          const std::uint8_t* data, std::uint32_t dataLength, Bytes& signature,
                          std::uint32_t algorithm, std::uint8_t keyReference) override;
    CardResult SCDecipher(const std::string& keyPath, std::uint32_t keyBits,
                          const std::uint8_t* data, std::uint32_t dataLength, Bytes& plain,
                          std::uint32_t algorithm, std::uint8_t keyReference) override;
    // 255 for key paths under 3F00DF01C000 and 3F00DF015344 (the key path
    // PreSigning stored), which need secure messaging; 0 for others.
    CardResult InitSM() override;
    // 00 88 00 00 10 data 00: the card's 128-byte answer.
    CardResult InternalAuthenticate(const std::uint8_t* data, std::uint32_t length,
                                    Bytes& answer) override;
    // 00 82 00 00 80 data.
    CardResult ExternalAuthenticate(const std::uint8_t* data, std::uint32_t length) override;
    void CreateModifyStruct() override;
    void CreateVerifyStruct() override;

protected:
    const char* ProfileName() const override { return "CSC_Profile_TCOS30"; }

private:
    CardResult SetSecurityEnvironment(std::uint8_t keyReference);
    CardResult DecipherReversed(const Bytes& input, std::uint8_t keyReference, Bytes& out);

    // The session keys: secure messaging needs them kept with the card.
};
