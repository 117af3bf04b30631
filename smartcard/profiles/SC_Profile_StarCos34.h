// StarCos 3.4: as StarCos 3.2, with unblocking by the PUK alone (RESET
// RETRY COUNTER with P1 01), 6982 read as "security status not
// satisfied", and signing after an MSE SET that names the key as 84 03 80
// kk 00 and the algorithm (80 00: the key's own PKCS#1 v1.5 on a
// DigestInfo; 80 01 05: RSASSA-PSS, which the card computes from the plain
// hash).
#pragma once

#include "smartcard/profiles/SC_Profile_StarCos32.h"

class CSC_Profile_StarCos34 : public CSC_Profile_StarCos32 {
public:
    CardResult SCUnblockPin2(std::uint8_t reference, const std::uint8_t* puk,
                             std::uint32_t pukLength) override;
    void InitUnblockMode() override;
    CardResult SCSignData(const std::string& keyPath, std::uint32_t keyBits,
                          const std::uint8_t* data, std::uint32_t dataLength, Bytes& signature,
                          std::uint32_t algorithm, std::uint8_t keyReference) override;
    // PSS: the plain hash, checked against the hash's length (the card
    // encodes it); anything else as the base builds it.
    CardResult BuildSignBuffer(std::uint32_t hashAlgorithm, std::uint32_t keyBits,
                               const std::uint8_t* hash, std::uint32_t hashLength, Bytes& out,
                               bool pad) override;

protected:
    const char* ProfileName() const override { return "CSC_Profile_StarCos34"; }
    std::span<const kivo::card::sw::Mapping> PinCommandResults() const override;
    // MSE SET of the digital signature template for `keyReference` and
    // `algorithm` (the data of SignatureEnvironment).
    virtual CardResult SetSignatureEnvironment(std::uint8_t keyReference, std::uint32_t algorithm);
    static Bytes SignatureEnvironment(std::uint8_t keyReference, std::uint32_t algorithm);
    // Called with the status word in SW1/SW2 when the card refused to sign.
    virtual void SignatureRefused() {}

private:
    // MSE SET, then PSO COMPUTE DIGITAL SIGNATURE of `block`.
    CardResult SignWithEnvironment(const Bytes& block, std::uint8_t keyReference,
                                   std::uint32_t algorithm, Bytes& signature);
};
