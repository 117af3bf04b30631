// StarCos 3.5, StarCos 3.7 and SecCos 5 against the virtual cards of
// tests/support/cards/starcos35.txt and seccos5.txt (through pcscd when it
// runs): the commands the card receives byte for byte, PIN state at the
// card, signatures checked with OpenSSL under the algorithm asked for, the
// environment set once for consecutive signatures, deciphering, and the
// D-Trust card's 512-byte answers.

#include "tests/support/card/ProfileTestUtil.h"
#include "smartcard/profiles/SC_Profile_SecCos5.h"
#include "smartcard/profiles/SC_Profile_StarCos37.h"
#include "tests/support/card/CardUnderTest.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace kivo::test {
namespace {

namespace sc = kivo::card;
using Exchanges = std::vector<RecordedExchange>;

class StarCos35OnTheCard : public ProfileOnCard {
protected:
    StarCos35OnTheCard() : ProfileOnCard("starcos35") {}
    std::string keyFile() const { return card.keyFile("rsa2048.pem"); }
    // MSE SET commands the card received since the last mark.
    long environmentsSet() const {
        const auto commands = card.commands();
        return std::count_if(commands.begin(), commands.end(),
                             [](const std::string& c) { return c.rfind("002241", 0) == 0; });
    }
};

TEST_F(StarCos35OnTheCard, CommandsAndPinStateAtTheCard) {
    auto v35 = card.connected<CSC_Profile_StarCos35>();
    EXPECT_EQ(v35->GetSerialNumber(), "12345678901234567890");
    card.mark();
    ASSERT_EQ(v35->SelectPath("3F00/3F01", false, false, true), sc::cOk);
    CSC_Profile_Base::Bytes data;
    ASSERT_EQ(v35->GetData(0x01, 0x01, data, 0), sc::cOk);
    EXPECT_EQ(data, (CSC_Profile_Base::Bytes{0x4B, 0x49, 0x56, 0x4F, 0x00, 0x00, 0x00, 0x2A}));
    EXPECT_EQ(card.commands(), (std::vector<std::string>{"00A40004023F0000", "00A40104023F01FF", "A0CA010100"}));

    card.mark();
    EXPECT_EQ(v35->SCVerify(0x81, text("654321"), 6), sc::cFailed);
    EXPECT_EQ(v35->RemainingTries(), 2);
    EXPECT_EQ(v35->SCVerify(0x81, text("123456"), 6), sc::cOk);
    EXPECT_EQ(v35->SCChangeRef(0x81, text("123456"), 6, text("24681357"), 8), sc::cOk);
    EXPECT_EQ(v35->SCVerify(0x81, text("123456"), 6), sc::cFailed);
    EXPECT_EQ(v35->SCUnblockPin2(0x81, text("12345678"), 8), sc::cOk);
    EXPECT_EQ(v35->SCVerify(0x81, text("24681357"), 8), sc::cOk);
    EXPECT_EQ(card.exchanges(), (Exchanges{
                                    {"002000810826654321FFFFFFFF", "63C2"},
                                    {"002000810826123456FFFFFFFF", "9000"},
                                    {"0024008110" "26123456FFFFFFFF" "2824681357FFFFFF", "9000"},
                                    {"002000810826123456FFFFFFFF", "63C2"},
                                    {"002C0181082812345678FFFFFF", "9000"},
                                    {"0020008108" "2824681357FFFFFF", "9000"},
                                }));
}

// PKCS#1 and PSS signatures verify with OpenSSL under the hash asked for;
// the second signature with the same key and algorithm sends no MSE SET,
// another algorithm does.
TEST_F(StarCos35OnTheCard, SignaturesAndDecipheringCheckOut) {
    auto v37 = card.connected<CSC_Profile_StarCos37>(CSC_Profile_StarCos37::cCardTypeDgn);
    ASSERT_EQ(v37->SCVerify(0x81, text("123456"), 6), sc::cOk);
    const ByteVector hash = sha256({'k', 'i', 'v', 'o'});
    CSC_Profile_Base::Bytes signature;
    card.mark();
    for (int round = 0; round < 2; ++round) {
        ASSERT_EQ(v37->SCSignData("3F00/3F01/C000", 2048, hash.data(), 32, signature,
                                  CSC_Profile_Base::cAlgSha256, 0x02),
                  sc::cOk);
        EXPECT_TRUE(verifyRsaSha256(keyFile(), hash, signature)) << "round " << round;
    }
    EXPECT_EQ(environmentsSet(), 1) << "the second signature reuses the environment";

    constexpr std::uint32_t pss = CSC_Profile_StarCos35::cAlgFlagPss | CSC_Profile_Base::cAlgSha256;
    ASSERT_EQ(v37->SCSignData("3F00/3F01/C000", 2048, hash.data(), 32, signature, pss, 0x02), sc::cOk);
    EXPECT_TRUE(verifyRsaPss(keyFile(), hash, signature, "SHA256", 32));
    EXPECT_FALSE(verifyRsaSha256(keyFile(), hash, signature));
    EXPECT_EQ(environmentsSet(), 2);

    const ByteVector secret = {0x5E, 0xC2, 0xE7, 0x01, 0x02, 0x03, 0x04, 0x05};
    const ByteVector cryptogram = rsaEncrypt(keyFile(), secret);
    CSC_Profile_Base::Bytes plain;
    ASSERT_EQ(v37->SCDecipher("3F00/3F01/C200", 2048, cryptogram.data(),
                              static_cast<std::uint32_t>(cryptogram.size()), plain, 0, 0x04),
              sc::cOk);
    EXPECT_EQ(plain, secret);
}

// GET DATA 0102 answers 512 bytes: the D-Trust card receives them all,
// StarCos 3.7 DGN keeps the 510-byte limit of other cards.
TEST_F(StarCos35OnTheCard, OnlyTheDTrustCardReceives512Bytes) {
    const std::uint8_t zero = 0x00;
    auto dtrust = card.connected<CSC_Profile_StarCos37>(CSC_Profile_StarCos37::cCardTypeDTrust);
    dtrust->SetApdu(CSC_Transport::cCaseExtended, 0x00, 0xCA, 0x01, 0x02, 1, 0x0200, &zero, 1);
    ASSERT_TRUE(dtrust->SendToCard());
    EXPECT_EQ(dtrust->StatusWord(), 0x9000);
    ASSERT_EQ(dtrust->ResponseLength(), 512u);
    for (std::uint32_t i = 0; i < 512; ++i) ASSERT_EQ(dtrust->Response()[i], i & 0xFF) << i;

    auto dgn = card.connected<CSC_Profile_StarCos37>(CSC_Profile_StarCos37::cCardTypeDgn);
    dgn->SetApdu(CSC_Transport::cCaseExtended, 0x00, 0xCA, 0x01, 0x02, 1, 0x0200, &zero, 1);
    EXPECT_FALSE(dgn->SendToCard());
}

class SecCos5OnTheCard : public ProfileOnCard {
protected:
    SecCos5OnTheCard() : ProfileOnCard("seccos5") {}
};

// Both signing routes verify with OpenSSL; the PIN answers carry no tries.
TEST_F(SecCos5OnTheCard, PinsSignaturesAndData) {
    auto seccos = card.connected<CSC_Profile_SecCos5>();
    EXPECT_EQ(seccos->SCVerify(0x81, text("654321"), 6), sc::cFailed);
    EXPECT_EQ(seccos->RemainingTries(), -1);
    ASSERT_EQ(seccos->SCVerify(0x81, text("123456"), 6), sc::cOk);
    CSC_Profile_Base::Bytes data;
    card.mark();
    ASSERT_EQ(seccos->GetData(0x01, 0x01, data, 8), sc::cOk);
    EXPECT_EQ(card.commands(), (std::vector<std::string>{"00CA010108"}));

    const std::string key = card.keyFile("rsa2048.pem");
    const ByteVector hash = sha256({'k', 'i', 'v', 'o'});
    CSC_Profile_Base::Bytes signature;
    ASSERT_EQ(seccos->SCSignData("3F00/3F01/C000", 2048, hash.data(), 32, signature,
                                 CSC_Profile_Base::cAlgSha256, 0x02),
              sc::cOk);
    EXPECT_TRUE(verifyRsaSha256(key, hash, signature)) << "PSO HASH + CDS";
    const ByteVector hash512(64, 0x42);
    ASSERT_EQ(seccos->SCSignData("3F00/3F01/C100", 2048, hash512.data(), 64, signature,
                                 CSC_Profile_Base::cAlgSha512, 0x03),
              sc::cOk);
    EXPECT_TRUE(verifyRsaPkcs1(key, hash512, signature, "SHA512")) << "INTERNAL AUTHENTICATE";
}

}  // namespace
}  // namespace kivo::test
