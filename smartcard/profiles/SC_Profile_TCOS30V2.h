// TCOS 3.0v2: as TCOS 3.0, plus application selection by AID, a verify
// structure with fixed PIN lengths 5 to 15, and signature blocks that are
// always padded to the key size.
#pragma once

#include "smartcard/profiles/SC_Profile_TCOS30.h"

class CSC_Profile_TCOS30V2 : public CSC_Profile_TCOS30 {
public:
    // 00 A4 04 04 Lc AID FF.
    CardResult SCSelectAID(const std::uint8_t* aid, std::uint32_t length) override;
    void CreateVerifyStruct() override;
    // The card signs by a raw private operation (PSO DECIPHER): a block
    // that is not the PKCS#1 type-1 block of the key size would give a
    // signature no verifier accepts, so the block is padded whatever `pad`
    // says.
    CardResult BuildSignBuffer(std::uint32_t hashAlgorithm, std::uint32_t keyBits,
                               const std::uint8_t* hash, std::uint32_t hashLength, Bytes& out,
                               bool pad) override;

protected:
    const char* ProfileName() const override { return "CSC_Profile_TCOS30V2"; }
};
