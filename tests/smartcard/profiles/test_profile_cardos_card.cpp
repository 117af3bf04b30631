// The CardOS profiles against the virtual cards of
// tests/support/cards/cardos.txt (CardOS 4.x, 2048-bit keys) and
// cardos50.txt (CardOS 5.x, 3072-bit keys), through pcscd when it runs:
// the commands as the card receives them, the card's PIN state, and every
// signature and deciphering checked with OpenSSL.

#include "tests/support/card/ProfileTestUtil.h"
#include "smartcard/profiles/SC_Profile_CardOS44.h"
#include "smartcard/profiles/SC_Profile_CardOS60.h"
#include "tests/support/card/CardUnderTest.h"
#include "tests/support/card/EmulatedPinPad.h"
#include "tests/support/card/PcscScript.h"

#include <cstdlib>
#include <fstream>

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

class CardOS60OverPace : public ProfileOnCard {
protected:
    CardOS60OverPace() : ProfileOnCard("cardos60") {}
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

// PACE at a reader with EXECUTE_PACE, the card refusing its commands
// until the channel stands: the card access number given, taken from the
// PACE_CANCACHE entry of the card's serial number, or typed at the reader;
// a wrong number, a cancel and a time-out fail. The request is the
// reader's byte for byte, the number never reaches the trace, the card
// commands go in plain while the channel stands, and freeing PACE ends it.
TEST_F(CardOS60OverPace, EstablishesPaceAtTheReader) {
    constexpr char kCan[] = "482917";
    const std::string withCan = "020B00020006343832393137" "0000";
    const std::string typedAtReader = "02050002000000" "00";
    struct Row {
        const char* name;
        std::string given;
        std::function<void(EmulatedPinPad&)> atReader;
        bool cached;
        std::string request;
        bool established;
    };
    const auto nothing = [](EmulatedPinPad&) {};
    const Row rows[] = {
        {"given", kCan, nothing, false, withCan, true},
        {"wrong", "482918", nothing, false, "020B00020006343832393138" "0000", false},
        {"cached", "", nothing, true, withCan, true},
        {"typed", "", [&](EmulatedPinPad& pad) { pad.type({kCan}); }, false, typedAtReader, true},
        {"cancelled", "", [](EmulatedPinPad& pad) { pad.cancel(); }, false, typedAtReader, false},
        {"timed out", "", [](EmulatedPinPad& pad) { pad.timeOut(); }, false, typedAtReader, false},
    };
    ScopedTraceFile trace(9);
    const std::string cacheFile = (trace.path().parent_path() / "can-cache.txt").string();
    for (const Row& row : rows) {
        EmulatedPinPad pad({false, false, false, false, false, true}, "PACE reader");
        auto v60 = card.connected<CSC_Profile_CardOS60>(20);
        v60->CheckPinPad();
        std::ofstream(cacheFile) << "other=111111,\n" << v60->GetSerialNumber() << "=" << kCan << "\n";
        ::unsetenv("PACE_CANCACHE");
        if (row.cached) ::setenv("PACE_CANCACHE", cacheFile.c_str(), 1);
        row.atReader(pad);
        EXPECT_EQ(v60->InitPACE(row.given), row.established) << row.name;
        ::unsetenv("PACE_CANCACHE");
        ASSERT_FALSE(pad.paceRequests().empty()) << row.name;
        EXPECT_EQ(hexText(pad.paceRequests().back()), row.request) << row.name;
        EXPECT_EQ(v60->PaceEstablished(), row.established) << row.name;
        card.mark();
        EXPECT_EQ(v60->SCVerify(0x81, text("123456"), 6), row.established ? sc::cOk : sc::cFailed)
            << row.name;
        if (!row.established) continue;
        v60->FreePACE();
        EXPECT_EQ(hexText(pad.paceRequests().back()), "030000") << row.name;
        EXPECT_EQ(VcardSession::sw(card.transmit("0020008100")), 0x6982) << row.name << ": channel ended";
    }
    const std::string traced = trace.contents();
    EXPECT_NE(traced.find("PACE: result 0x00000000, channel established"), std::string::npos);
    EXPECT_NE(traced.find("PACE: result 0xf0046300, refused by the card"), std::string::npos);
    EXPECT_NE(traced.find("PACE: result 0xf0200001, cancelled at the reader"), std::string::npos);
    for (const char* form : {"482917", "34:38:32:39:31:37", "34 38 32 39 31 37", "343832393137"}) {
        EXPECT_EQ(traced.find(form), std::string::npos) << form;
    }
}

}  // namespace
}  // namespace kivo::test
