// StarCos 3.5, StarCos 3.7 and SecCos 5 on a scripted reader: commands
// byte for byte (selects, GET DATA, the PIN length rule, the signing
// sequences with and without MSE SET, PSS, AID select; the PIN commands
// are proven on the virtual card), the PIN answers each maps, the trace of
// a refused signature and the pin-pad structures of the D-Trust card.

#include "tests/support/card/ProfileTestUtil.h"
#include "smartcard/profiles/SC_Profile_SecCos5.h"
#include "smartcard/profiles/SC_Profile_StarCos37.h"
#include "tests/support/card/PcscScript.h"
#include "tests/support/card/VcardSession.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <sstream>

namespace {

using kivo::test::ok;
using kivo::test::repeatHex;
using kivo::test::text;

using kivo::test::Bytes;
using kivo::test::hexText;
using kivo::test::ScriptedPcsc;
namespace card = kivo::card;

constexpr std::uint32_t kPssSha256 = CSC_Profile_StarCos35::cAlgFlagPss | CSC_Profile_Base::cAlgSha256;
const Bytes kHash32(32, 0xAB);
const std::string kHashHex = repeatHex("AB", 32);
const std::string kSha256DigestInfo = "3031300D060960864801650304020105000420" + kHashHex;
const std::string kPkcs1Environment = "002241B6078403800200" "8000";
const std::string kPssEnvironment = "002241B6088403800200" "800105";
const std::string kPkcs1Signature = "002A9E9A33" + kSha256DigestInfo + "00";

enum class Profile { StarCos35, StarCos37Dgn, StarCos37DTrust, SecCos5 };

std::unique_ptr<CSC_Profile_Base> make(Profile which) {
    switch (which) {
        case Profile::StarCos35: return std::make_unique<CSC_Profile_StarCos35>();
        case Profile::SecCos5: return std::make_unique<CSC_Profile_SecCos5>();
        default: break;
    }
    auto profile = std::make_unique<CSC_Profile_StarCos37>();
    profile->SetCardType(which == Profile::StarCos37Dgn ? 19 : 21);
    return profile;
}

class StarCos35Test : public ::testing::Test {
protected:
    std::vector<std::string> sent() const {
        std::vector<std::string> commands;
        for (const auto& call : pcsc.script.transmits) commands.push_back(hexText(call.apdu));
        return commands;
    }
    std::unique_ptr<CSC_Profile_Base> connected(Profile which) {
        auto profile = make(which);
        EXPECT_EQ(profile->Connect("Reader 0", 0x77), 0u);
        pcsc.script.transmits.clear();
        return profile;
    }
    ScriptedPcsc pcsc;
};

struct CommandCase {
    const char* name;
    Profile profile;
    std::vector<Bytes> answers;
    std::function<CardResult(CSC_Profile_Base&)> run;
    CardResult result;
    std::vector<std::string> commands;
};

CardResult sign(CSC_Profile_Base& p, std::uint32_t algorithm, std::uint8_t key = 0x02,
                std::uint32_t length = 32) {
    Bytes signature;
    return p.SCSignData("3f00/3f01/c000", 2048, kHash32.data(), length, signature, algorithm, key);
}

TEST_F(StarCos35Test, CommandsByteForByte) {
    const Bytes signature = ok(Bytes(256, 0x5C));
    const Bytes aid = {0xD2, 0x76, 0x00, 0x00, 0x66, 0x01};
    constexpr auto sha256 = CSC_Profile_Base::cAlgSha256;
    const std::vector<CommandCase> cases = {
        {"select: DF with Le FF", Profile::StarCos35, {ok(), ok(), ok()},
         [](auto& p) { return p.SelectPath("3f00/3f01/c000"); }, card::cOk,
         {"00A40004023F0000", "00A40104023F01FF", "00A4020402C00000"}},
        {"SecCos 5 selects the DF with Le 00", Profile::SecCos5, {ok(), ok(), ok()},
         [](auto& p) { return p.SelectPath("3f00/3f01/c000"); }, card::cOk,
         {"00A40004023F0000", "00A40104023F0100", "00A4020402C00000"}},
        {"GET DATA in class A0", Profile::StarCos37Dgn, {ok({0x4B})},
         [](auto& p) { Bytes out; return p.GetData(0x01, 0x01, out, 0); }, card::cOk, {"A0CA010100"}},
        {"SecCos 5 GET DATA: case 3", Profile::SecCos5, {ok({0x4B})},
         [](auto& p) { Bytes out; return p.GetData(0x01, 0x01, out, 8); }, card::cOk, {"00CA010108"}},
        {"SecCos 5 verify", Profile::SecCos5, {ok()},
         [](auto& p) { return p.SCVerify(0x81, text("123456"), 6); }, card::cOk,
         {"002000810826123456FFFFFFFF"}},
        {"new PIN of 13 digits is not sent", Profile::SecCos5, {},
         [](auto& p) { return p.SCChangeRef(0x81, text("123456"), 6, text("1234567890123"), 13); },
         card::cFailed, {}},
        {"PKCS#1: MSE SET (7 bytes) and CDS of the DigestInfo", Profile::StarCos35,
         {ok(), signature}, [](auto& p) { return sign(p, sha256); }, card::cOk,
         {kPkcs1Environment, kPkcs1Signature}},
        {"PSS: MSE SET (8 bytes) and CDS of the hash", Profile::StarCos37Dgn, {ok(), signature},
         [](auto& p) { return sign(p, kPssSha256); }, card::cOk,
         {kPssEnvironment, "002A9E9A20" + kHashHex + "00"}},
        {"PSS with a hash of the wrong length is not sent", Profile::StarCos35, {},
         [](auto& p) { return sign(p, kPssSha256, 0x02, 20); }, card::cFailed, {}},
        {"second signature with the same key: no MSE SET", Profile::StarCos35,
         {ok(), signature, signature},
         [](auto& p) { sign(p, sha256); return sign(p, sha256); }, card::cOk,
         {kPkcs1Environment, kPkcs1Signature, kPkcs1Signature}},
        {"another key or algorithm sets the environment again", Profile::StarCos35,
         {ok(), signature, ok(), signature, ok(), signature},
         [](auto& p) { sign(p, sha256); sign(p, sha256, 0x03); return sign(p, kPssSha256, 0x03); },
         card::cOk,
         {kPkcs1Environment, kPkcs1Signature, "002241B6078403800300" "8000", kPkcs1Signature,
          "002241B6088403800300" "800105", "002A9E9A20" + kHashHex + "00"}},
        {"a refused signature forgets the environment", Profile::StarCos37DTrust,
         {ok(), {0x69, 0x82}, ok(), signature},
         [](auto& p) { sign(p, sha256); return sign(p, sha256); }, card::cOk,
         {kPkcs1Environment, kPkcs1Signature, kPkcs1Environment, kPkcs1Signature}},
        {"an environment lost by the card is set again once", Profile::StarCos35,
         {ok(), signature, {0x69, 0x85}, ok(), signature},
         [](auto& p) { sign(p, sha256); return sign(p, sha256); }, card::cOk,
         {kPkcs1Environment, kPkcs1Signature, kPkcs1Signature, kPkcs1Environment, kPkcs1Signature}},
        {"a refused MSE SET is sent again next time", Profile::StarCos35,
         {{0x6A, 0x88}, ok(), signature},
         [](auto& p) { sign(p, sha256); return sign(p, sha256); }, card::cOk,
         {kPkcs1Environment, kPkcs1Environment, kPkcs1Signature}},
        {"a DF select forgets the environment", Profile::StarCos35,
         {ok(), signature, ok(), ok(), signature},
         [](auto& p) {
             sign(p, sha256);
             const std::uint8_t df[] = {0x3F, 0x01};
             p.SCSelectDF(df, 2);
             return sign(p, sha256);
         },
         card::cOk,
         {kPkcs1Environment, kPkcs1Signature, "00A40104023F01FF", kPkcs1Environment, kPkcs1Signature}},
        {"StarCos 3.7 sets key and algorithm ahead", Profile::StarCos37Dgn, {ok(), signature},
         [](auto& p) { p.SelectKeyAndAlgorithm(0x02, sha256); return sign(p, sha256); }, card::cOk,
         {kPkcs1Environment, kPkcs1Signature}},
        {"StarCos 3.7 before a PIN: nothing to set", Profile::StarCos37Dgn, {},
         [](auto& p) { return p.SelectKeyAndAlgorithm(0x81, 0); }, card::cOk, {}},
        {"StarCos 3.7 AID select", Profile::StarCos37Dgn, {ok()},
         [&](auto& p) { return p.SCSelectAID(aid.data(), 6); }, card::cOk,
         {"00A4040406D2760000660100"}},
        {"SecCos 5: hash template, DST, PSO HASH, CDS case 3", Profile::SecCos5,
         {ok(), ok(), ok(), signature}, [](auto& p) { return sign(p, sha256); }, card::cOk,
         {"002241AA0489021440", "002241B6058403800200", "002A90A0229020" + kHashHex, "002A9E9A00"}},
        {"SecCos 5: other hashes by AT and INTERNAL AUTHENTICATE", Profile::SecCos5,
         {ok(), signature},
         [](auto& p) {
             Bytes out;
             const Bytes hash(64, 0xAB);
             return p.SCSignData("3f00/3f01/c100", 2048, hash.data(), 64, out,
                                 CSC_Profile_Base::cAlgSha512, 0x03);
         },
         card::cOk,
         {"002241A406840103800112",
          "0088000053" "3051300D060960864801650304020305000440" + repeatHex("AB", 64) + "00"}},
    };
    for (const CommandCase& c : cases) {
        SCOPED_TRACE(c.name);
        auto profile = connected(c.profile);
        pcsc.script.answers.assign(c.answers.begin(), c.answers.end());
        EXPECT_EQ(c.run(*profile), c.result);
        EXPECT_EQ(sent(), c.commands);
    }
}

// The trace of a refused PSS signature on StarCos 3.7: the operation, the
// PSS choice and the card's status word.
TEST_F(StarCos35Test, RefusedSignatureIsTraced) {
    const kivo::test::ScopedTraceFile trace(1);
    auto p = connected(Profile::StarCos37Dgn);
    pcsc.script.answers = {ok(), {0x69, 0x82}};
    EXPECT_EQ(sign(*p, kPssSha256), card::cSecurityStatus);
    // The messages without the time and level each line starts with.
    std::istringstream lines(trace.contents());
    std::string written;
    for (std::string line; std::getline(lines, line);) {
        const auto at = line.find(" : ");
        if (at != std::string::npos) written += line.substr(at + 3) + "\n";
    }
    const std::string expected = "--entering CSC_Profile_StarCos37::SCSignData\n"
                                 "using RSAPSS\n"
                                 "error on sign data: apdu.sw1=105 apdu.sw2=130\n"
                                 "--leaving CSC_Profile_StarCos37::SCSignData\n";
    EXPECT_NE(written.find(expected), std::string::npos) << written;
}

// The answers to a PIN command: StarCos 3.5 and 3.7 as 3.4 (63Cx with the
// tries left, 6982 as 13), SecCos 5 with the base reading.
TEST_F(StarCos35Test, PinAnswersAndTriesLeft) {
    struct Row {
        Profile profile;
        Bytes answer;
        CardResult result;
        int tries;
    };
    const std::vector<Row> rows = {
        {Profile::StarCos35, {0x63, 0xC2}, card::cFailed, 2},
        {Profile::StarCos35, {0x69, 0x82}, card::cSecurityStatus, -1},
        {Profile::StarCos35, {0x69, 0x83}, card::cCounterFailed, -1},
        {Profile::StarCos37DTrust, {0x69, 0x84}, card::cPinWrong, -1},
        {Profile::StarCos37Dgn, {0x69, 0x85}, card::cAuthMethodBlocked, -1},
        {Profile::StarCos37Dgn, {0x63, 0x00}, card::cFailed, -1},
        {Profile::SecCos5, {0x63, 0x00}, card::cPinWrong, -1},
        {Profile::SecCos5, {0x63, 0xC2}, card::cFailed, -1},
        {Profile::SecCos5, {0x69, 0x83}, card::cCounterFailed, -1},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::Message() << static_cast<int>(row.profile) << " " << hexText(row.answer));
        auto p = connected(row.profile);
        pcsc.script.answers = {row.answer};
        EXPECT_EQ(p->SCVerify(0x81, text("123456"), 6), row.result);
        EXPECT_EQ(p->RemainingTries(), row.tries);
    }
}

// What the pin pad gets: the D-Trust card enters ASCII digits with the
// VERIFY header and a fifth byte 00 (24 bytes), an SCM SPRx32 reader gets
// the structure as built, and the modify structure goes without templates;
// StarCos 3.7 DGN sends the format-2 forms of StarCos 3.0.
TEST_F(StarCos35Test, PinPadStructures) {
    const std::string dgnVerify =
        "1E1E894704" "0C06" "0201000000000000" "0D000000" "00200000" "08" "20FFFFFFFFFFFFFF";
    const std::string modify =
        "1E1E894704" "0008" "0C05030203000000010200000015000000" "00240000";
    const std::string dgnModify = modify + "10" "2FFFFFFFFFFFFFFF" "2FFFFFFFFFFFFFFF";
    const std::string dtrustVerify = "1E1E020004" "0C06" "0201000000000000";
    struct Row {
        Profile profile;
        std::string reader;
        std::string verify;
        std::string modify;
    };
    const std::vector<Row> rows = {
        {Profile::StarCos37Dgn, "SCM Microsystems Inc. SPRx32 USB", dgnVerify, dgnModify},
        {Profile::SecCos5, "vpcd 0", dgnVerify, dgnModify},
        {Profile::StarCos37DTrust, "vpcd 0", dtrustVerify + "05000000" "00200000" "00", modify},
        {Profile::StarCos37DTrust, "SCM Microsystems Inc. SPRx32 USB",
         dtrustVerify + "04000000" "00200000", modify},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.reader + " " + std::to_string(static_cast<int>(row.profile)));
        pcsc.script.systemName = row.reader;
        pcsc.script.controlAnswers = {{SCARD_S_SUCCESS, kivo::test::pinpad::pinPadFeatures()}};
        auto p = make(row.profile);
        ASSERT_EQ(p->Connect("Reader 0", 0x77), 0u);
        p->InitPinLengths();
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
}

}  // namespace
