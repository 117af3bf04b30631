// The CardOS profiles against the virtual cards of
// tests/support/cards/cardos.txt (CardOS 4.x, 2048-bit keys) and
// cardos50.txt (CardOS 5.x, 3072-bit keys), through pcscd when it runs:
// the commands as the card receives them, the card's PIN state, and every
// signature and deciphering checked with OpenSSL.

#include "tests/support/card/ProfileTestUtil.h"
#include "smartcard/profiles/SC_Profile_CardOS44.h"
#include "smartcard/profiles/SC_Profile_CardOS60.h"
#include "tests/support/card/CardUnderTest.h"

#include <gtest/gtest.h>

namespace kivo::test {
namespace {

namespace sc = kivo::card;

class CardOS4OnTheCard : public ProfileOnCard {
protected:
    CardOS4OnTheCard() : ProfileOnCard("cardos") {}
    std::string keyFile() const { return card.keyFile("rsa2048.pem"); }
};

class CardOS5OnTheCard : public ProfileOnCard {
protected:
    CardOS5OnTheCard() : ProfileOnCard("cardos50") {}
    std::string keyFile() const { return card.keyFile("rsa3072.pem"); }
};

// Select, serial number, a wrong PIN (6300: 14, and the card counted it),
// VERIFY, CHANGE REFERENCE DATA, a blocked PIN and RESET RETRY COUNTER, as
// the card receives them (the PIN's file is already selected: no SELECT).
TEST_F(CardOS4OnTheCard, SelectSerialAndPinCommands) {
    auto v43 = card.connected<CSC_Profile_CardOS43b>(4);
    ASSERT_EQ(v43->SelectPath("3f00/5015/4401"), sc::cOk);
    EXPECT_EQ(v43->GetFileLen(), 300u);
    EXPECT_EQ(v43->GetSerialNumber(), "0123456789abcdef");
    EXPECT_EQ(v43->SCVerify(0x81, text("11111111"), 8), sc::cAuthFailed);
    EXPECT_EQ(VcardSession::sw(card.transmit("0020008100")), 0x63C2) << "the try was counted";
    EXPECT_EQ(v43->SCVerify(0x81, text("12345678"), 8), sc::cOk);
    EXPECT_EQ(v43->ChangeRef("3f00/5015/4401", "", 0x81, false, "12345678", "24681357"), sc::cOk);
    for (int i = 0; i < 3; ++i) v43->SCVerify(0x81, text("00000000"), 8);
    EXPECT_EQ(v43->SCVerify(0x81, text("24681357"), 8), sc::cCounterFailed);
    EXPECT_EQ(v43->UnblockRef("3f00/5015/4401", "", 0x81, "87654321", "12345678"), sc::cOk);
    EXPECT_EQ(v43->SCVerify(0x81, text("12345678"), 8), sc::cOk);
    const std::vector<std::string> expected = {
        "00A4000400", "00A4010402501500", "00A4020402440100", "00CA018100",
        "002000810831313131313131" "31", "0020008100", "002000810831323334353637" "38",
        "00240081103132333435363738" "3234363831333537",
        "002000810830303030303030" "30", "002000810830303030303030" "30",
        "002000810830303030303030" "30", "002000810832343638313335" "37",
        "002C0081103837363534333231" "3132333435363738",
        "002000810831323334353637" "38"};
    EXPECT_EQ(card.commands(), expected);
}

// CardOS 4.3b signs by PSO CDS (card profile 22) or a PKCS#1 block through
// PSO DECIPHER (card profile 26), CardOS 4.4 always through DECIPHER; the
// card deciphers what OpenSSL encrypted.
TEST_F(CardOS4OnTheCard, WhatTheCardSignsAndDeciphersChecksOut) {
    const ByteVector hash = sha256({'c', 'a', 'r', 'd', 'o', 's'});
    CSC_Profile_Base::Bytes signature;
    auto v43 = card.connected<CSC_Profile_CardOS43b>(4);
    ASSERT_EQ(v43->SCVerify(0x81, text("12345678"), 8), sc::cOk);
    for (std::int32_t cardProfile : {22, 26}) {
        SCOPED_TRACE(cardProfile);
        v43->SetCardProfile(cardProfile);
        ASSERT_EQ(v43->SCSignData("", 2048, hash.data(), 32, signature,
                                  CSC_Profile_Base::cAlgSha256, 0x02),
                  sc::cOk);
        EXPECT_TRUE(verifyRsaSha256(keyFile(), hash, signature));
    }
    auto v44 = card.connected<CSC_Profile_CardOS44>(11);
    ASSERT_EQ(v44->SCVerify(0x81, text("12345678"), 8), sc::cOk);
    ASSERT_EQ(v44->SCSignData("", 2048, hash.data(), 32, signature, CSC_Profile_Base::cAlgSha256, 0x02),
              sc::cOk);
    EXPECT_TRUE(verifyRsaSha256(keyFile(), hash, signature)) << "4.4 through DECIPHER";

    const ByteVector secret = {0x5E, 0xC2, 0xE7, 0x01, 0x02, 0x03};
    const ByteVector cryptogram = rsaEncrypt(keyFile(), secret);
    CSC_Profile_Base::Bytes plain;
    ASSERT_EQ(v44->SCDecipher("", 2048, cryptogram.data(), static_cast<std::uint32_t>(cryptogram.size()),
                              plain, 0, 0x03),
              sc::cOk);
    EXPECT_EQ(plain, secret);
}

// CardOS 5.4 with a 3072-bit key: RESTORE of the key's environment, the
// extended CDS with Le 0 and the 384-byte signature; an extended DECIPHER.
TEST_F(CardOS5OnTheCard, ThreeThousandBitKeyWithExtendedLengths) {
    const ByteVector hash = sha256({'c', 'a', 'r', 'd', 'o', 's', '5'});
    auto v54 = card.connected<CSC_Profile_CardOS54>(16);
    EXPECT_EQ(v54->SCVerify(0x81, text("654321"), 6), sc::cAuthFailed);
    ASSERT_EQ(v54->SCVerify(0x81, text("123456"), 6), sc::cOk);
    card.mark();
    CSC_Profile_Base::Bytes signature;
    ASSERT_EQ(v54->SCSignData("", 3072, hash.data(), 32, signature, CSC_Profile_Base::cAlgSha256, 0x02),
              sc::cOk);
    EXPECT_EQ(signature.size(), 384u);
    EXPECT_TRUE(verifyRsaSha256(keyFile(), hash, signature));
    EXPECT_EQ(card.commands(),
              (std::vector<std::string>{"0022F302", "002A9E9A000033" + hexText(sha256DigestInfo({'c', 'a', 'r', 'd', 'o', 's', '5'})) + "0000"}));
    // RSA-PSS: the card is given the bare hash and encodes it itself.
    ASSERT_EQ(v54->SCSignData("", 3072, hash.data(), 32, signature,
                              CSC_Profile_Base::cAlgSha256 | CSC_Profile_CardOS50::cAlgFlagPss, 0x02),
              sc::cOk);
    EXPECT_TRUE(verifyRsaPss(keyFile(), hash, signature, "SHA256", 32));

    const ByteVector secret(100, 0x42);
    const ByteVector cryptogram = rsaEncrypt(keyFile(), secret);
    CSC_Profile_Base::Bytes plain;
    ASSERT_EQ(v54->SCDecipher("", 3072, cryptogram.data(), static_cast<std::uint32_t>(cryptogram.size()),
                              plain, 0, 0x03),
              sc::cOk);
    EXPECT_EQ(plain, secret);
}

// CardOS 6.0 selects the application by its AID and verifies the PIN as
// given, in plain.
TEST_F(CardOS5OnTheCard, CardOS60SelectsByAidAndVerifiesInPlain) {
    auto v60 = card.connected<CSC_Profile_CardOS60>(20);
    ASSERT_EQ(v60->SelectPath("A000000063504B43532D3135", false, false, false, true), sc::cOk);
    EXPECT_EQ(v60->SCVerify(0x81, text("123456"), 6), sc::cOk);
    EXPECT_EQ(card.commands(), (std::vector<std::string>{"00A404040CA000000063504B43532D313500",
                                                         "0020008106313233343536"}));
}

}  // namespace
}  // namespace kivo::test
