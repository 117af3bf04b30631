// The StarCos profiles on a scripted reader: every command byte for byte
// (selects, format-2 PIN blocks, the signing sequences, INTERNAL
// AUTHENTICATE, DECIPHER, the unblock variants), the file size and serial
// number they read, the PIN answers with the tries left, and the pin-pad
// structures with the APDU data the reader fills.

#include "tests/support/card/ProfileTestUtil.h"
#include "smartcard/profiles/SC_Profile_StarCos34.h"
#include "tests/support/card/PcscScript.h"
#include "tests/support/card/VcardSession.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>

namespace {

using kivo::test::ok;
using kivo::test::repeatHex;

using kivo::test::Bytes;
using kivo::test::hexText;
using kivo::test::ScriptedPcsc;
namespace card = kivo::card;

class StarCos30Test : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(profile.Connect("Reader 0", 0x77), 0u); }
    std::vector<std::string> sent() const {
        std::vector<std::string> commands;
        for (const auto& call : pcsc.script.transmits) commands.push_back(hexText(call.apdu));
        return commands;
    }
    ScriptedPcsc pcsc;
    CSC_Profile_StarCos30 profile;
};

struct CommandCase {
    const char* name;
    std::vector<Bytes> answers;
    std::function<CardResult(CSC_Profile_StarCos30&)> run;
    CardResult result;
    std::vector<std::string> commands;
};

const Bytes kHash32(32, 0xAB);
const Bytes kHash20(20, 0xAB);

TEST_F(StarCos30Test, CommandsByteForByte) {
    Bytes signature(256, 0x5C);
    Bytes plain;
    const Bytes cryptogram(256, 0x33);
    const std::string hash = repeatHex("AB", 32);
    const std::string sha256DigestInfo = "3031300D060960864801650304020105000420" + hash;
    const std::vector<CommandCase> cases = {
        {"select by path", {ok(), ok(), ok()},
         [](auto& p) { return p.SelectPath("3f00/3f01/c000"); }, card::cOk,
         {"00A40004023F0000", "00A40104023F0100", "00A4020402C00000"}},
        {"a select without an identifier is not sent", {},
         [](auto& p) {
             const CardResult df = p.SCSelectDF(nullptr, 0);
             return df == card::cFailed ? p.SCSelectEF(nullptr) : df;
         },
         card::cFailed, {}},
        {"verify 12345 as a format-2 block", {ok()},
         [](auto& p) { return p.SCVerify(0x81, reinterpret_cast<const std::uint8_t*>("12345"), 5); },
         card::cOk, {"00200081082512345FFFFFFFFF"}},
        {"bare verify asks for the tries", {{0x63, 0xC3}},
         [](auto& p) { return p.SCVerify(0x81, nullptr, 0); }, card::cFailed, {"00200081"}},
        {"a PIN with a non-digit is not sent", {},
         [](auto& p) { return p.SCVerify(0x81, reinterpret_cast<const std::uint8_t*>("12a456"), 6); },
         card::cFailed, {}},
        {"change sends two blocks", {ok()},
         [](auto& p) {
             return p.SCChangeRef(0x81, reinterpret_cast<const std::uint8_t*>("123456"), 6,
                                  reinterpret_cast<const std::uint8_t*>("6543210"), 7);
         },
         card::cOk, {"0024008110" "26123456FFFFFFFF" "276543210FFFFFFF"}},
        {"a new PIN outside 6..8 is not sent", {},
         [](auto& p) {
             return p.SCChangeRef(0x81, reinterpret_cast<const std::uint8_t*>("123456"), 6,
                                  reinterpret_cast<const std::uint8_t*>("12345"), 5);
         },
         card::cFailed, {}},
        {"signature key: hash template, DST, PSO HASH, CDS", {ok(), ok(), ok(), ok(signature)},
         [&](auto& p) {
             return p.SCSignData("3f00/3f01/c000", 2048, kHash32.data(), 32, signature,
                                 CSC_Profile_Base::cAlgSha256, 0x02);
         },
         card::cOk,
         {"002241AA0489021440", "002241B6058403800200",
          "002A90A0229020" + hash, "002A9E9A00"}},
        {"other keys: AT and INTERNAL AUTHENTICATE with the DigestInfo", {ok(), ok(signature)},
         [&](auto& p) {
             return p.SCSignData("3f00/3f01/c100", 2048, kHash32.data(), 32, signature,
                                 CSC_Profile_Base::cAlgSha256, 0x03);
         },
         card::cOk, {"002241A4058403800300", "0088000033" + sha256DigestInfo + "00"}},
        {"decipher: B8 and PSO DECIPHER with the padding indicator", {ok(), ok(Bytes(16, 0x11))},
         [&](auto& p) {
             return p.SCDecipher("3f00/3f01/c200", 2048, cryptogram.data(), 256, plain, 0, 0x04);
         },
         card::cOk, {"002241B8058403800400", "002A808600010100" + repeatHex("33", 256) + "0000"}},
        {"6982 to the operation is 13", {ok(), {0x69, 0x82}},
         [&](auto& p) {
             return p.SCSignData("3f00/3f01/c100", 2048, kHash20.data(), 20, signature,
                                 CSC_Profile_Base::cAlgSha1, 0x03);
         },
         card::cSecurityStatus,
         {"002241A4058403800300", "0088000023" "3021300906052B0E03021A05000414" + repeatHex("AB", 20) + "00"}},
    };
    for (const CommandCase& c : cases) {
        SCOPED_TRACE(c.name);
        CSC_Profile_StarCos30 fresh;
        ASSERT_EQ(fresh.Connect("Reader 0", 0x77), 0u);
        pcsc.script.transmits.clear();
        pcsc.script.answers.assign(c.answers.begin(), c.answers.end());
        EXPECT_EQ(c.run(fresh), c.result);
        EXPECT_EQ(sent(), c.commands);
    }
}

TEST_F(StarCos30Test, FileSizeAndSerialNumberFromTheCard) {
    // EF.GDO: FCP with size 12, then 5A 0A and the serial number.
    const Bytes fcp = {0x62, 0x08, 0x82, 0x01, 0x01, 0x80, 0x02, 0x00, 0x0C, 0x8A};
    const Bytes gdo = {0x5A, 0x0A, 0x12, 0x34, 0x56, 0x78, 0x90, 0x12, 0x34, 0x56, 0x78, 0x90};
    pcsc.script.answers = {ok(fcp), ok(gdo)};
    EXPECT_EQ(profile.GetSerialNumber(), "12345678901234567890");
    EXPECT_EQ(sent(), (std::vector<std::string>{"00A40204022F0200", "00B000000C"}));
    // Read once: the second call sends nothing.
    pcsc.script.transmits.clear();
    EXPECT_EQ(profile.GetSerialNumber(), "12345678901234567890");
    EXPECT_TRUE(pcsc.script.transmits.empty());
}

// The structures the pin pad gets: format-2 fields, and the APDU data the
// reader fills after them (32 and 45 bytes in all); a KOBIL KAAN Advanced
// reader counts the insertion offsets from 1.
TEST_F(StarCos30Test, PinPadStructures) {
    for (const std::string reader : {"vpcd 0", "KOBIL Systems KAAN Advanced 0"}) {
        SCOPED_TRACE(reader);
        pcsc.script.systemName = reader;
        pcsc.script.controlAnswers = {{SCARD_S_SUCCESS, kivo::test::pinpad::pinPadFeatures()}};
        CSC_Profile_StarCos30 p;
        ASSERT_EQ(p.Connect("Reader 0", 0x77), 0u);
        ASSERT_TRUE(p.CheckPinPad());
        pcsc.script.controls.clear();
        pcsc.script.controlAnswers = {{SCARD_S_SUCCESS, {}}, {SCARD_S_SUCCESS, {}}};
        p.ModifyVerifyStruct();
        p.ModifyModifyStruct();
        ASSERT_EQ(p.StartVerifyPinPad(), 0u);
        ASSERT_EQ(p.StartModifyPinPad(), 0u);
        ASSERT_EQ(pcsc.script.controls.size(), 2u);
        const bool kaan = reader != "vpcd 0";
        EXPECT_EQ(hexText(pcsc.script.controls[0].input),
                  "1E1E89470408060201" "000000000000" "0D000000" "00200000" "08" "20FFFFFFFFFFFFFF");
        EXPECT_EQ(hexText(pcsc.script.controls[1].input),
                  std::string("1E1E894704") + (kaan ? "0109" : "0008") +
                      "0805030203000000010200000015000000" "00240000" "10" "2FFFFFFFFFFFFFFF" "2FFFFFFFFFFFFFFF");
    }
}

// What each version makes of the answers to a PIN command: StarCos 3.0
// keeps the base reading, 3.2 reads 63Cx as a wrong PIN with tries left,
// 3.4 also reads 6982.
TEST_F(StarCos30Test, PinAnswersAndTriesLeft) {
    struct Row {
        int version;
        Bytes answer;
        CardResult result;
        int tries;
    };
    const std::vector<Row> rows = {
        {30, {0x63, 0xC2}, card::cFailed, -1}, {30, {0x63, 0x00}, card::cPinWrong, -1},
        {32, {0x63, 0xC2}, card::cFailed, 2},  {32, {0x63, 0xC0}, card::cFailed, 0},
        {32, {0x69, 0x83}, card::cCounterFailed, -1}, {32, {0x69, 0x84}, card::cPinWrong, -1},
        {32, {0x69, 0x85}, card::cAuthMethodBlocked, -1}, {32, {0x69, 0x82}, card::cFailed, -1},
        {32, {0x63, 0x00}, card::cFailed, -1}, {34, {0x69, 0x82}, card::cSecurityStatus, -1},
        {34, {0x63, 0xC1}, card::cFailed, 1},  {34, {0x90, 0x00}, card::cOk, -1},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::Message() << "StarCos " << row.version << " " << hexText(row.answer));
        std::unique_ptr<CSC_Profile_StarCos30> p;
        if (row.version == 30) p = std::make_unique<CSC_Profile_StarCos30>();
        if (row.version == 32) p = std::make_unique<CSC_Profile_StarCos32>();
        if (row.version == 34) p = std::make_unique<CSC_Profile_StarCos34>();
        ASSERT_EQ(p->Connect("Reader 0", 0x77), 0u);
        pcsc.script.answers = {row.answer};
        EXPECT_EQ(p->SCVerify(0x81, reinterpret_cast<const std::uint8_t*>("123456"), 6), row.result);
        EXPECT_EQ(p->RemainingTries(), row.tries);
    }
}

// Unblocking: 3.2 sends PUK and new PIN as two blocks; 3.4 unblocks with
// the PUK alone (P1 01), which UnblockRef then chooses without asking for
// a new PIN. StarCos 3.2 signs with MSE SET and PSO CDS of the DigestInfo.
TEST_F(StarCos30Test, UnblockAndSignFromStarCos32On) {
    const std::string puk = "12345678";
    CSC_Profile_StarCos32 v32;
    ASSERT_EQ(v32.Connect("Reader 0", 0x77), 0u);
    pcsc.script.answers = {ok()};
    EXPECT_EQ(v32.UnblockRef("", "", 0x81, puk, "654321"), card::cOk);
    Bytes signature;
    pcsc.script.answers = {ok(), ok(Bytes(256, 0x5C))};
    EXPECT_EQ(v32.SCSignData("3f00/c000", 2048, kHash20.data(), 20, signature,
                             CSC_Profile_Base::cAlgSha1, 0x02),
              card::cOk);
    EXPECT_EQ(signature, Bytes(256, 0x5C));

    CSC_Profile_StarCos34 v34;
    ASSERT_EQ(v34.Connect("Reader 0", 0x77), 0u);
    pcsc.script.answers = {ok()};
    EXPECT_EQ(v34.UnblockRef("", "", 0x81, puk, ""), card::cOk);
    EXPECT_EQ(sent(), (std::vector<std::string>{
                          "002C008110" "2812345678FFFFFF" "26654321FFFFFFFF",
                          "002241B606840102800112",
                          "002A9E9A23" "3021300906052B0E03021A05000414" + repeatHex("AB", 20) + "00",
                          "002C018108" "2812345678FFFFFF"}));
}

}  // namespace
