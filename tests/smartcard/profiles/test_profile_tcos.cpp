// The TCOS 3.0 profiles on a scripted reader: every command byte for byte
// (selects with Le FF, the AID select of 3.0v2, PINs as given, MSE SET and
// PSO DECIPHER with the reversed input and the padding indicator, the two
// authentication commands), the serial number and file size they read, the
// fixed PIN lengths of the 3.0v2 verify structure, and the session keys the
// device authentication derives.

#include "tests/support/card/ProfileTestUtil.h"
#include "smartcard/profiles/SC_Profile_TCOS30V2.h"
#include "tests/support/card/PcscScript.h"
#include "tests/support/card/VcardSession.h"

#include <gtest/gtest.h>
#include <openssl/sha.h>

#include <algorithm>
#include <functional>

namespace {

using kivo::test::ok;
using kivo::test::repeatHex;
using kivo::test::text;

using kivo::test::Bytes;
using kivo::test::hexBytes;
using kivo::test::hexText;
using kivo::test::ScriptedPcsc;
namespace card = kivo::card;

struct CommandCase {
    const char* name;
    std::vector<Bytes> answers;
    std::function<CardResult(CSC_Profile_TCOS30V2&)> run;
    CardResult result;
    std::vector<std::string> commands;
};

class TcosTest : public ::testing::Test {
protected:
    std::vector<std::string> sent() const {
        std::vector<std::string> commands;
        for (const auto& call : pcsc.script.transmits) commands.push_back(hexText(call.apdu));
        return commands;
    }
    ScriptedPcsc pcsc;
};

TEST_F(TcosTest, CommandsByteForByte) {
    const Bytes hash(32, 0xAB);
    const Bytes cryptogram(128, 0x33);
    Bytes out;
    // The 1024-bit PKCS#1 type-1 block of the SHA-256 DigestInfo, as the
    // card gets it: least significant byte first.
    const std::string digestInfo = "3031300D060960864801650304020105000420" + repeatHex("AB", 32);
    Bytes block = hexBytes("0001" + repeatHex("FF", 128 - 3 - 51) + "00" + digestInfo);
    std::reverse(block.begin(), block.end());
    const Bytes sixteen(16, 0x16);
    const Bytes blockOf128(128, 0x80);
    const std::vector<CommandCase> cases = {
        {"select by path", {ok(), ok(), ok()},
         [](auto& p) { return p.SelectPath("3f00/df01/c000"); }, card::cOk,
         {"00A40004023F00FF", "00A4010402DF01FF", "00A4020402C000FF"}},
        {"select by AID (3.0v2)", {ok()},
         [](auto& p) { return p.SCSelectAID(hexBytes("D2760000030102").data(), 7); }, card::cOk,
         {"00A4040407D2760000030102FF"}},
        {"verify sends the PIN as given", {ok()},
         [](auto& p) { return p.SCVerify(0x81, text("123456"), 6); }, card::cOk,
         {"0020008106313233343536"}},
        {"change sends old and new PIN", {ok()},
         [](auto& p) { return p.SCChangeRef(0x81, text("123456"), 6, text("654321"), 6); },
         card::cOk, {"002400810C313233343536363534333231"}},
        {"reset retry counter sends PUK and new PIN", {ok()},
         [](auto& p) { return p.SCUnblockPin(0x81, text("12345678"), 8, text("1234"), 4); },
         card::cOk, {"002C00810C313233343536373831323334"}},
        {"GET DATA with the caller's Le", {ok({0x01})},
         [&](auto& p) { return p.GetData(0x01, 0x81, out, 0); }, card::cOk, {"00CA018100"}},
        {"sign with key 83: indicator 01 and the reversed block", {ok(), ok(Bytes(128, 0x5C))},
         [&](auto& p) {
             return p.SCSignData("3F00DF01C000", 1024, hash.data(), 32, out,
                                 CSC_Profile_Base::cAlgSha256, 0x83);
         },
         card::cOk, {"002241B80680010A840183", "002A8086000081" "01" + hexText(block) + "0000"}},
        {"decipher with key 84: indicator 00", {ok(), ok(Bytes(8, 0x11))},
         [&](auto& p) { return p.SCDecipher("3F00DF01C100", 1024, cryptogram.data(), 128, out, 0, 0x84); },
         card::cOk, {"002241B80680010A840184", "002A8086000081" "00" + repeatHex("33", 128) + "0000"}},
        {"6982 to the operation is 13", {ok(), {0x69, 0x82}},
         [&](auto& p) { return p.SCDecipher("3F00DF01C100", 1024, cryptogram.data(), 128, out, 0, 0x84); },
         card::cSecurityStatus, {"002241B80680010A840184", "002A8086000081" "00" + repeatHex("33", 128) + "0000"}},
        {"internal authenticate", {ok(Bytes(128, 0x01))},
         [&](auto& p) { return p.InternalAuthenticate(sixteen.data(), 16, out); }, card::cOk,
         {"0088000010" + repeatHex("16", 16) + "00"}},
        {"external authenticate", {{0x63, 0x00}},
         [&](auto& p) { return p.ExternalAuthenticate(blockOf128.data(), 128); }, card::cFailed,
         {"0082000080" + repeatHex("80", 128)}},
        {"no device authentication outside the signature application", {},
         [](auto& p) {
             p.PreSigning(20, "3F00DF02C000");
             return p.InitSM();
         },
         card::cOk, {}},
        {"device authentication without card keys fails unsent", {},
         [](auto& p) {
             p.PreSigning(20, "3f00df015344");
             return p.InitSM();
         },
         card::cFailed, {}},
    };
    for (const CommandCase& c : cases) {
        SCOPED_TRACE(c.name);
        CSC_Profile_TCOS30V2 fresh;
        ASSERT_EQ(fresh.Connect("Reader 0", 0x77), 0u);
        pcsc.script.transmits.clear();
        pcsc.script.answers.assign(c.answers.begin(), c.answers.end());
        EXPECT_EQ(c.run(fresh), c.result);
        EXPECT_EQ(sent(), c.commands);
        EXPECT_FALSE(fresh.IsSMActive());
    }
}

TEST_F(TcosTest, FileSizeAndSerialNumberFromTheCard) {
    CSC_Profile_TCOS30 profile;
    ASSERT_EQ(profile.Connect("Reader 0", 0x77), 0u);
    const Bytes fcp = {0x62, 0x08, 0x82, 0x01, 0x01, 0x80, 0x02, 0x00, 0x0C, 0x8A};
    const Bytes gdo = {0x5A, 0x0A, 0x12, 0x34, 0x56, 0x78, 0x90, 0x12, 0x34, 0x56, 0x78, 0x90};
    pcsc.script.answers = {ok(fcp), ok(gdo)};
    EXPECT_EQ(profile.GetSerialNumber(), "12345678901234567890");
    EXPECT_EQ(sent(), (std::vector<std::string>{"00A40204022F02FF", "00B000000C"}));
}

// TCOS 3.0 keeps the base structure with the PIN lengths 4 to 8; 3.0v2
// asks the pin pad for 5 to 15 digits whatever the lengths.
TEST_F(TcosTest, VerifyStructurePinLengths) {
    CSC_Profile_TCOS30 v30;
    CSC_Profile_TCOS30V2 v2;
    v30.CreateVerifyStruct();
    v2.CreateVerifyStruct();
    ASSERT_EQ(v30.VerifyStruct().size(), 23u);
    ASSERT_EQ(v2.VerifyStruct().size(), 23u);
    EXPECT_EQ(hexText(Bytes(v30.VerifyStruct().begin() + 5, v30.VerifyStruct().begin() + 7)), "0804");
    EXPECT_EQ(hexText(Bytes(v2.VerifyStruct().begin() + 5, v2.VerifyStruct().begin() + 7)), "0F05");
}

// The session: keys from SHA-1 over K.ICC xor K.IFD with the counters 1
// and 2, the send sequence counter from the challenges' last halves.
TEST(TcosSession, KeysAndCounterFromTheShares) {
    Bytes cardShare(32), terminalShare(32), shared(32);
    for (int i = 0; i < 32; ++i) {
        cardShare[i] = static_cast<std::uint8_t>(i * 7);
        terminalShare[i] = static_cast<std::uint8_t>(0xA5 + i);
        shared[i] = cardShare[i] ^ terminalShare[i];
    }
    const Bytes cardChallenge = hexBytes("0102030405060708");
    const Bytes terminalChallenge = hexBytes("1112131415161718");
    card::SmSession session = card::deriveSmSession(cardShare.data(), terminalShare.data(),
                                                    cardChallenge.data(), terminalChallenge.data());
    for (std::uint8_t counter : {1, 2}) {
        Bytes input = shared;
        input.insert(input.end(), {0, 0, 0, counter});
        Bytes digest(20);
        SHA1(input.data(), input.size(), digest.data());
        const auto& key = counter == 1 ? session.encryptionKey : session.macKey;
        EXPECT_EQ(hexText(Bytes(key.begin(), key.end())), hexText(Bytes(digest.begin(), digest.begin() + 16)));
    }
    const auto& ssc = session.sendSequenceCounter;
    EXPECT_EQ(hexText(Bytes(ssc.begin(), ssc.end())), "0506070815161718");
    session.sendSequenceCounter.fill(0xFF);
    session.sendSequenceCounter[0] = 0x00;
    session.incrementCounter();
    EXPECT_EQ(hexText(Bytes(ssc.begin(), ssc.end())), "0100000000000000");
}

}  // namespace
