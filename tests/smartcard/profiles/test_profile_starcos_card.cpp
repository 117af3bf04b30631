// The StarCos profiles against the virtual card of
// tests/support/cards/starcos.txt (through pcscd when it runs): the PIN commands
// change the card's counters and PINs as a StarCos card would, and every
// signature and deciphering the card makes is checked with OpenSSL.

#include "tests/support/card/ProfileTestUtil.h"
#include "smartcard/profiles/SC_Profile_StarCos34.h"
#include "tests/support/card/CardUnderTest.h"

#include <gtest/gtest.h>

#include <memory>

namespace kivo::test {
namespace {

namespace sc = kivo::card;

class StarCosOnTheCard : public ProfileOnCard {
protected:
    StarCosOnTheCard() : ProfileOnCard("starcos") {}
    std::string keyFile() const { return card.keyFile("rsa2048.pem"); }
};

// Wrong and right PINs, the tries the card reports, a change and both
// unblock forms, each as the card counts them.
TEST_F(StarCosOnTheCard, PinCommandsChangeTheCardsState) {
    auto v32 = card.connected<CSC_Profile_StarCos32>();
    EXPECT_EQ(v32->SCVerify(0x81, text("654321"), 6), sc::cFailed);
    EXPECT_EQ(v32->RemainingTries(), 2);
    EXPECT_EQ(v32->SCVerify(0x81, text("123456"), 6), sc::cOk);
    EXPECT_EQ(VcardSession::sw(card.transmit("0020008100")), 0x9000) << "verified, counter full";

    EXPECT_EQ(v32->ChangeRef("", "", 0x81, false, "123456", "24681357"), sc::cOk);
    EXPECT_EQ(v32->SCVerify(0x81, text("24681357"), 8), sc::cOk);

    for (int i = 0; i < 3; ++i) v32->SCVerify(0x81, text("000000"), 6);
    EXPECT_EQ(v32->SCVerify(0x81, text("24681357"), 8), sc::cCounterFailed);
    EXPECT_EQ(v32->UnblockRef("", "", 0x81, "12345678", "123456"), sc::cOk);
    EXPECT_EQ(v32->SCVerify(0x81, text("123456"), 6), sc::cOk);

    // StarCos 3.4 unblocks with the PUK alone: the PIN stays what it was.
    auto v34 = card.connected<CSC_Profile_StarCos34>();
    for (int i = 0; i < 3; ++i) v34->SCVerify(0x81, text("000000"), 6);
    EXPECT_EQ(v34->UnblockRef("", "", 0x81, "12345678", ""), sc::cOk);
    EXPECT_EQ(v34->SCVerify(0x81, text("123456"), 6), sc::cOk);
}

// Signatures of every signing path verify with the key's public part; the
// deciphered block is what was encrypted.
TEST_F(StarCosOnTheCard, WhatTheCardSignsAndDeciphersChecksOut) {
    const ByteVector hash = sha256({'k', 'i', 'v', 'o'});
    auto v30 = card.connected<CSC_Profile_StarCos30>();
    ASSERT_EQ(v30->SCVerify(0x81, text("123456"), 6), sc::cOk);
    CSC_Profile_Base::Bytes signature;
    ASSERT_EQ(v30->SCSignData("3F00/3F01/C000", 2048, hash.data(), 32, signature,
                              CSC_Profile_Base::cAlgSha256, 0x02),
              sc::cOk);
    EXPECT_TRUE(verifyRsaSha256(keyFile(), hash, signature)) << "PSO HASH + CDS";
    ASSERT_EQ(v30->SCSignData("3F00/3F01/C100", 2048, hash.data(), 32, signature,
                              CSC_Profile_Base::cAlgSha256, 0x03),
              sc::cOk);
    EXPECT_TRUE(verifyRsaSha256(keyFile(), hash, signature)) << "INTERNAL AUTHENTICATE";

    auto v32 = card.connected<CSC_Profile_StarCos32>();
    ASSERT_EQ(v32->SCSignData("3F00/3F01/C000", 2048, hash.data(), 32, signature,
                              CSC_Profile_Base::cAlgSha256, 0x02),
              sc::cOk);
    EXPECT_TRUE(verifyRsaSha256(keyFile(), hash, signature)) << "PSO CDS of the DigestInfo";

    const ByteVector secret = {0x5E, 0xC2, 0xE7, 0x01, 0x02, 0x03, 0x04, 0x05};
    const ByteVector cryptogram = rsaEncrypt(keyFile(), secret);
    CSC_Profile_Base::Bytes plain;
    ASSERT_EQ(v32->SCDecipher("3F00/3F01/C200", 2048, cryptogram.data(),
                              static_cast<std::uint32_t>(cryptogram.size()), plain, 0, 0x04),
              sc::cOk);
    EXPECT_EQ(plain, secret);
}

}  // namespace
}  // namespace kivo::test
