// TCOS 2.0, SetCos 4.4.1, SetCos 4.4.2 and Micardo 2.1 on a scripted
// reader: every command byte for byte (selects, PIN commands, GET DATA with
// GET RESPONSE, the signing and deciphering sequences, the SetCos key
// commands), the file size each reads from the FCI, and the pin-pad
// structures with the APDU data the reader fills.

#include "tests/support/card/ProfileTestUtil.h"
#include "smartcard/profiles/SC_Profile_Micardo21.h"
#include "smartcard/profiles/SC_Profile_SetCos442.h"
#include "smartcard/profiles/SC_Profile_TCOS20.h"
#include "tests/support/card/PcscScript.h"
#include "tests/support/card/VcardSession.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>

namespace {

using kivo::test::ok;
using kivo::test::repeatHex;
using kivo::test::text;

using kivo::test::Bytes;
using kivo::test::hexText;
using kivo::test::ScriptedPcsc;
namespace card = kivo::card;
namespace pinpad = kivo::test::pinpad;

enum class Os { Tcos20, SetCos441, SetCos442, Micardo21 };

std::unique_ptr<CSC_Profile_Base> make(Os os) {
    switch (os) {
        case Os::Tcos20: return std::make_unique<CSC_Profile_TCOS20>();
        case Os::SetCos441: return std::make_unique<CSC_Profile_SetCos441>();
        case Os::SetCos442: return std::make_unique<CSC_Profile_SetCos442>();
        case Os::Micardo21: return std::make_unique<CSC_Profile_Micardo21>();
    }
    return nullptr;
}

class FciCardsTest : public ::testing::Test {
protected:
    std::vector<std::string> sent() const {
        std::vector<std::string> commands;
        for (const auto& call : pcsc.script.transmits) commands.push_back(hexText(call.apdu));
        return commands;
    }
    ScriptedPcsc pcsc;
};

struct CommandCase {
    const char* name;
    Os os;
    std::vector<Bytes> answers;
    std::function<CardResult(CSC_Profile_Base&)> run;
    CardResult result;
    std::vector<std::string> commands;
};

const Bytes kHash32(32, 0xAB);
const std::string kDigestInfo =
    "3031300D060960864801650304020105000420" + repeatHex("AB", 32);

CardResult sign(CSC_Profile_Base& p, const char* keyPath, std::uint8_t key) {
    Bytes signature;
    return p.SCSignData(keyPath, 1024, kHash32.data(), 32, signature, CSC_Profile_Base::cAlgSha256, key);
}

CardResult decipher(CSC_Profile_Base& p, std::uint8_t key, std::uint32_t length) {
    const Bytes cryptogram(length, 0x33);
    Bytes plain;
    return p.SCDecipher("3f00/df01/c200", length * 8, cryptogram.data(), length, plain, 0, key);
}

TEST_F(FciCardsTest, CommandsByteForByte) {
    const auto selectPath = [](auto& p) { return p.SelectPath("3f00/df01/c000"); };
    const auto verify = [](auto& p) { return p.SCVerify(0x81, text("123456"), 6); };
    const auto change = [](auto& p) { return p.SCChangeRef(0x81, text("123456"), 6, text("654321"), 6); };
    const auto unblock = [](auto& p) { return p.SCUnblockPin(0x81, text("12345678"), 8, text("654321"), 6); };
    const std::string pins = "313233343536";
    const std::vector<CommandCase> cases = {
        {"TCOS 2.0 selects with Le FF", Os::Tcos20, {ok(), ok(), ok()}, selectPath, card::cOk,
         {"00A40000023F00FF", "00A4010002DF01FF", "00A4020002C000FF"}},
        {"SetCos 4.4.1 selects without Le", Os::SetCos441, {ok(), ok(), ok()}, selectPath, card::cOk,
         {"00A40000023F00", "00A4010002DF01", "00A4020002C000"}},
        {"SetCos 4.4.2 selects by path from the current DF", Os::SetCos442, {ok(), ok(), ok()},
         selectPath, card::cOk, {"00A40000023F00", "00A4090002DF01", "00A4090002C000"}},
        {"Micardo selects the MF with an empty SELECT", Os::Micardo21, {ok(), ok(), ok()}, selectPath,
         card::cOk, {"00A4000000", "00A4010002DF01", "00A4020002C000"}},
        {"TCOS 2.0 VERIFY as typed", Os::Tcos20, {ok()}, verify, card::cOk, {"0020008106" + pins}},
        {"SetCos 4.4.1 VERIFY as typed", Os::SetCos441, {ok()}, verify, card::cOk, {"0020008106" + pins}},
        {"Micardo VERIFY as typed", Os::Micardo21, {ok()}, verify, card::cOk, {"0020008106" + pins}},
        {"SetCos 4.4.2 VERIFY zero-padded", Os::SetCos442, {ok()}, verify, card::cOk,
         {"0020008108" + pins + "0000"}},
        {"SetCos 4.4.2 refuses a PIN of 9", Os::SetCos442, {},
         [](auto& p) { return p.SCVerify(0x81, text("123456789"), 9); }, card::cFailed, {}},
        {"CHANGE REFERENCE DATA", Os::SetCos442, {ok()}, change, card::cOk,
         {"002400810C" + pins + "363534333231"}},
        {"RESET RETRY COUNTER", Os::Micardo21, {ok()}, unblock, card::cOk,
         {"002C00810E3132333435363738363534333231"}},
        {"SetCos 4.4.1 GET DATA with the caller's Le", Os::SetCos441, {ok(Bytes(32, 1))},
         [](auto& p) { Bytes out; return p.GetData(0x00, 0x66, out, 0x20); }, card::cOk, {"00CA006620"}},
        {"SetCos 4.4.2 GET DATA of 300 with GET RESPONSE", Os::SetCos442,
         {{0x61, 0x2C}, ok(Bytes(0x2C, 1))},
         [](auto& p) { Bytes out; return p.GetData(0x00, 0x66, out, 300); }, card::cOk,
         {"00CA006600", "00C000002C"}},
        {"TCOS 2.0 signs after MSE SET C1 B8", Os::Tcos20, {ok(), ok(Bytes(128, 0x5C))},
         [](auto& p) { return sign(p, "3f00/df01/c000", 0x03); }, card::cOk,
         {"0022C1B806800112840103", "002A9E9A33" + kDigestInfo + "00"}},
        {"TCOS 2.0 deciphers with 80 84", Os::Tcos20, {ok(), ok(Bytes(16, 0x11))},
         [](auto& p) { return decipher(p, 0x03, 128); }, card::cOk,
         {"0022C1B80680011A840103", "002A808480" + repeatHex("33", 128) + "00"}},
        {"SetCos signs after MSE SET 41 B6 07", Os::SetCos441, {ok(), ok(Bytes(128, 0x5C))},
         [](auto& p) { return sign(p, "3f00/5015/4b01", 0x01); }, card::cOk,
         {"002241B6078001128402" "0001", "002A9E9A33" + kDigestInfo + "00"}},
        {"SetCos 4.4.2 deciphers 2048 bits extended", Os::SetCos442, {ok(), ok(Bytes(16, 0x11))},
         [](auto& p) { return decipher(p, 0x02, 256); }, card::cOk,
         {"002241B80780011A84020002", "002A8086000100" + repeatHex("33", 256) + "0000"}},
        {"Micardo signature key: B6 and PSO CDS", Os::Micardo21, {ok(), ok(Bytes(128, 0x5C))},
         [](auto& p) { return sign(p, "3f00/df01/c000", 0x02); }, card::cOk,
         {"002241B60584030000" "02", "002A9E9A33" + kDigestInfo + "00"}},
        {"Micardo other keys: A4 and INTERNAL AUTHENTICATE", Os::Micardo21, {ok(), ok(Bytes(128, 0x5C))},
         [](auto& p) { return sign(p, "3f00/df01/c100", 0x03); }, card::cOk,
         {"002241A40584030000" "03", "0088000033" + kDigestInfo + "00"}},
        {"Micardo deciphers after B8", Os::Micardo21, {ok(), {0x69, 0x82}},
         [](auto& p) { return decipher(p, 0x04, 128); }, card::cSecurityStatus,
         {"002241B80584030000" "04", "002A808680" + repeatHex("33", 128) + "00"}},
        {"SetCos erases a file's content", Os::SetCos441, {ok(), ok(), ok(), ok()},
         [](auto& p) { return p.EraseFile("3f00/5015/4401"); }, card::cOk,
         {"00A40000023F00", "00A40100025015", "00A40200024401", "000E0000"}},
        {"SetCos 4.4.1 generates a 1024-bit key pair", Os::SetCos441, {ok(Bytes(140, 0x01))},
         [](auto& p) { return p.GenRSAKeyPair(0x01, 1024); }, card::cOk, {"0046800100"}},
        {"SetCos 4.4.1 does not ask for 2048 bits", Os::SetCos441, {},
         [](auto& p) { return p.GenRSAKeyPair(0x01, 2048); }, card::cFailed, {}},
        {"SetCos reads a public key", Os::SetCos442, {ok(Bytes(140, 0x01))},
         [](auto& p) { Bytes key; return p.GetPubKey(0x01, key); }, card::cOk, {"0046810100"}},
        {"SetCos selects the key's folder before signing", Os::SetCos441, {ok(), ok()},
         [](auto& p) { return p.PreSigning(9, "3F00/5015/4B01"); }, card::cOk,
         {"00A40000023F00", "00A40100025015"}},
    };
    for (const CommandCase& c : cases) {
        SCOPED_TRACE(c.name);
        const auto profile = make(c.os);
        ASSERT_EQ(profile->Connect("Reader 0", 0x77), 0u);
        pcsc.script.transmits.clear();
        pcsc.script.answers.assign(c.answers.begin(), c.answers.end());
        EXPECT_EQ(c.run(*profile), c.result);
        EXPECT_EQ(sent(), c.commands);
    }
}

// The size each family reads from the control information of a SELECT.
TEST_F(FciCardsTest, FileSizeFromTheFci) {
    struct Row {
        Os os;
        Bytes answer;
        std::uint32_t size;
    };
    const std::vector<Row> rows = {
        {Os::Tcos20, {0x6F, 0x0A, 0x81, 0x02, 0x01, 0x00, 0x82, 0x01, 0x01, 0x83, 0x02, 0x43, 0x31}, 256},
        {Os::SetCos442, {0x6F, 0x07, 0x82, 0x01, 0x01, 0x81, 0x02, 0x00, 0x20}, 32},
        {Os::Micardo21, {0x6F, 0x07, 0x85, 0x02, 0x01, 0x2C, 0x82, 0x01, 0x01}, 300},
        {Os::Micardo21, {0x6F, 0x07, 0x81, 0x02, 0x01, 0x2C, 0x82, 0x01, 0x01}, 0},
        {Os::SetCos441, {0x62, 0x07, 0x81, 0x02, 0x01, 0x2C, 0x82, 0x01, 0x01}, 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(hexText(row.answer));
        const auto profile = make(row.os);
        ASSERT_EQ(profile->Connect("Reader 0", 0x77), 0u);
        pcsc.script.answers = {ok(row.answer)};
        ASSERT_EQ(profile->SCSelectEF(Bytes{0x43, 0x31}.data()), card::cOk);
        EXPECT_EQ(profile->GetFileLen(), row.size);
    }
}

// PIN and key lengths each profile reports.
TEST_F(FciCardsTest, PinAndKeyLengths) {
    struct Row {
        Os os;
        int minimum, maximum;
        std::uint32_t keyBits;
    };
    for (const Row& row : std::vector<Row>{{Os::Tcos20, 4, 8, 1024}, {Os::SetCos441, 4, 8, 1024},
                                           {Os::SetCos442, 6, 8, 2048}, {Os::Micardo21, 6, 8, 1024}}) {
        const auto profile = make(row.os);
        profile->InitPinLengths();
        profile->InitKeyLengths();
        EXPECT_EQ(profile->PinMinLength(), row.minimum);
        EXPECT_EQ(profile->PinMaxLength(), row.maximum);
        EXPECT_EQ(profile->RsaKeyLength(), row.keyBits);
        EXPECT_EQ(profile->SecondKeyLength(), row.keyBits);
    }
}

// The start requests the pin pad gets: SetCos 4.4.2 with an 8-byte PIN
// block and empty zero fields after both structures; Micardo's modify
// structure with the new PIN at offset 8, sent only to readers that have
// FEATURE_MODIFY_PIN_START.
TEST_F(FciCardsTest, PinPadStructures) {
    struct Row {
        Os os;
        std::string verify;
        std::string modify;
    };
    const std::string zeros8 = repeatHex("00", 8);
    const std::vector<Row> rows = {
        {Os::SetCos442,
         "1E1E" "02" "08" "00" "0806" "0201" "0000" "00" "000000" "0D000000" "00200000" "08" + zeros8,
         "1E1E" "02" "08" "00" "00" "08" "0806" "030203" "0000" "000102" "000000" "15000000" "00240000"
         "10" + zeros8 + zeros8},
        {Os::Micardo21,
         "1E1E" "02" "00" "00" "0806" "0201" "0000" "00" "000000" "04000000" "00200000",
         "1E1E" "02" "00" "00" "00" "08" "0806" "030203" "0000" "000102" "000000" "15000000" "00240000"
         "10" + zeros8 + zeros8},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(static_cast<int>(row.os));
        pcsc.script.controlAnswers = {{SCARD_S_SUCCESS, pinpad::pinPadFeatures()}};
        const auto p = make(row.os);
        ASSERT_EQ(p->Connect("Reader 0", 0x77), 0u);
        ASSERT_TRUE(p->CheckPinPad());
        pcsc.script.controls.clear();
        pcsc.script.controlAnswers = {{SCARD_S_SUCCESS, {}}, {SCARD_S_SUCCESS, {}}};
        p->ModifyVerifyStruct();
        p->ModifyModifyStruct();
        ASSERT_EQ(p->StartVerifyPinPad(), 0u);
        ASSERT_EQ(p->StartModifyPinPad(), 0u);
        ASSERT_EQ(pcsc.script.controls.size(), 2u);
        EXPECT_EQ(hexText(pcsc.script.controls[0].input), row.verify);
        EXPECT_EQ(hexText(pcsc.script.controls[1].input), row.modify);
    }
    // Micardo changes a PIN on the pin pad only through FEATURE_MODIFY_PIN_START.
    Bytes verifyOnly = pinpad::feature(0x01, pinpad::kVerifyStart);
    const Bytes finish = pinpad::feature(0x02, pinpad::kVerifyFinish);
    verifyOnly.insert(verifyOnly.end(), finish.begin(), finish.end());
    pcsc.script.controlAnswers = {{SCARD_S_SUCCESS, verifyOnly}};
    CSC_Profile_Micardo21 micardo;
    ASSERT_EQ(micardo.Connect("Reader 0", 0x77), 0u);
    ASSERT_TRUE(micardo.CheckPinPad());
    pcsc.script.controls.clear();
    EXPECT_EQ(micardo.StartModifyPinPad(), 1u);
    EXPECT_TRUE(pcsc.script.controls.empty());
}

}  // namespace
