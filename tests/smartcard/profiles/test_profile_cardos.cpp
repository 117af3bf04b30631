// The CardOS profiles on a scripted reader: every command byte for byte
// (selects, serial number, PINs as given, the signing routes by version and
// card profile, deciphering; the CardOS 6.0 AID select and VERIFY are
// proven on the virtual card), the status-word reading they share, file
// sizes, PIN lengths with the pin-pad structures, and the CardOS 5.0 and
// 6.0 additions.

#include "tests/support/card/ProfileTestUtil.h"
#include "smartcard/profiles/SC_Profile_CardOS44.h"
#include "smartcard/profiles/SC_Profile_CardOS60.h"
#include "tests/support/card/PcscScript.h"
#include "tests/support/card/VcardSession.h"

#include <gtest/gtest.h>

#include <cstdlib>
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

std::unique_ptr<CSC_Profile_Base> makeProfile(int version) {
    switch (version) {
        case 43: return std::make_unique<CSC_Profile_CardOS43b>();
        case 44: return std::make_unique<CSC_Profile_CardOS44>();
        case 50: return std::make_unique<CSC_Profile_CardOS50>();
        case 54: return std::make_unique<CSC_Profile_CardOS54>();
        default: return std::make_unique<CSC_Profile_CardOS60>();
    }
}

class CardOSTest : public ::testing::Test {
protected:
    std::unique_ptr<CSC_Profile_Base> connected(int version, std::int32_t cardProfile = 0) {
        auto profile = makeProfile(version);
        EXPECT_EQ(profile->Connect("Reader 0", 0x77), 0u);
        if (cardProfile != 0) profile->SetCardProfile(cardProfile);
        pcsc.script.transmits.clear();
        return profile;
    }
    std::vector<std::string> sent() const {
        std::vector<std::string> commands;
        for (const auto& call : pcsc.script.transmits) commands.push_back(hexText(call.apdu));
        return commands;
    }
    ScriptedPcsc pcsc;
};

struct CommandCase {
    const char* name;
    int version;
    std::int32_t cardProfile;
    std::vector<Bytes> answers;
    std::function<CardResult(CSC_Profile_Base&)> run;
    CardResult result;
    std::vector<std::string> commands;
};

const Bytes kHash(32, 0xAB);
const std::string kHashHex = repeatHex("AB", 32);
const std::string kDigestInfo = "3031300D060960864801650304020105000420" + kHashHex;
// 00, then the PKCS#1 type-1 block of the DigestInfo for a 2048-bit key.
const std::string kLeadingZeroBlock = "000001" + repeatHex("FF", 256 - 3 - 51) + "00" + kDigestInfo;

CardResult sign(CSC_Profile_Base& p, std::uint32_t keyBits, std::uint32_t algorithm, Bytes& out) {
    return p.SCSignData("3f00/5015/4b02", keyBits, kHash.data(), 32, out, algorithm, 0x02);
}

TEST_F(CardOSTest, CommandsByteForByte) {
    Bytes out;
    const Bytes cryptogram(256, 0x33);
    const Bytes signature(256, 0x5C);
    const std::vector<CommandCase> cases = {
        {"select by path: MF without data, DF and EF with P2 04 and Le 00", 43, 0, {ok(), ok(), ok()},
         [](auto& p) { return p.SelectPath("3f00/5015/4401"); }, card::cOk,
         {"00A4000400", "00A40104025015" "00", "00A40204024401" "00"}},
        {"GET DATA 01 81 with P3 00", 50, 0, {ok(Bytes(10, 0x12))},
         [&](auto& p) { return p.GetData(0x01, 0x81, out, 0x10); }, card::cOk, {"00CA018100"}},
        {"VERIFY with the PIN as given", 43, 0, {ok()},
         [](auto& p) { return p.SCVerify(0x81, text("12345678"), 8); }, card::cOk,
         {"002000810831323334353637" "38"}},
        {"CHANGE REFERENCE DATA old and new", 44, 0, {ok()},
         [](auto& p) { return p.SCChangeRef(0x81, text("12345678"), 8, text("87654321"), 8); },
         card::cOk, {"00240081103132333435363738" "3837363534333231"}},
        {"a new PIN shorter than 8 is not sent (4.4, card profile 0)", 44, 0, {},
         [](auto& p) { return p.SCChangeRef(0x81, text("12345678"), 8, text("123456"), 6); },
         card::cFailed, {}},
        {"RESET RETRY COUNTER with PUK and new PIN", 50, 0, {ok()},
         [](auto& p) { return p.SCUnblockPin(0x81, text("12345678"), 8, text("654321"), 6); },
         card::cOk, {"002C00810E3132333435363738" "363534333231"}},
        {"4.3b card profile 22: MSE 01 B6 84, CDS of the DigestInfo", 43, 22, {ok(), ok(signature)},
         [&](auto& p) { return sign(p, 2048, CSC_Profile_Base::cAlgSha256, out); }, card::cOk,
         {"002201B603840102", "002A9E9A33" + kDigestInfo + "00"}},
        {"4.3b card profile 20: MSE 01 B8 83, the block through DECIPHER", 43, 20, {ok(), ok(signature)},
         [&](auto& p) { return sign(p, 2048, CSC_Profile_Base::cAlgSha256, out); }, card::cOk,
         {"002201B803830102", "002A8086000101" + kLeadingZeroBlock + "0100"}},
        {"4.3b card profile 26: the block through DECIPHER", 43, 26, {ok(), ok(signature)},
         [&](auto& p) { return sign(p, 2048, CSC_Profile_Base::cAlgSha256, out); }, card::cOk,
         {"002201B803830102", "002A8086000101" + kLeadingZeroBlock + "0100"}},
        {"4.4: every key signs through DECIPHER", 44, 22, {ok(), ok(signature)},
         [&](auto& p) { return sign(p, 2048, CSC_Profile_Base::cAlgSha256, out); }, card::cOk,
         {"002201B803830102", "002A8086000101" + kLeadingZeroBlock + "0100"}},
        {"5.0: RESTORE, extended CDS with Le 256", 50, 0, {ok(), ok(signature)},
         [&](auto& p) { return sign(p, 2048, CSC_Profile_Base::cAlgSha256, out); }, card::cOk,
         {"0022F302", "002A9E9A000033" + kDigestInfo + "0100"}},
        {"5.4: Le 0 for a 3072-bit key", 54, 0, {ok(), ok(Bytes(384, 0x5C))},
         [&](auto& p) { return sign(p, 3072, CSC_Profile_Base::cAlgSha256, out); }, card::cOk,
         {"0022F302", "002A9E9A000033" + kDigestInfo + "0000"}},
        {"6.0: RSA-PSS sends the bare hash", 60, 0, {ok(), ok(signature)},
         [&](auto& p) {
             return sign(p, 2048, CSC_Profile_Base::cAlgSha256 | CSC_Profile_CardOS50::cAlgFlagPss, out);
         },
         card::cOk, {"0022F302", "002A9E9A000020" + kHashHex + "0100"}},
        {"6982 to the signature is 13", 50, 0, {ok(), {0x69, 0x82}},
         [&](auto& p) { return sign(p, 2048, CSC_Profile_Base::cAlgSha256, out); },
         card::cSecurityStatus, {"0022F302", "002A9E9A000033" + kDigestInfo + "0100"}},
        {"a failed MSE ends the signature", 43, 22, {{0x6A, 0x88}},
         [&](auto& p) { return sign(p, 2048, CSC_Profile_Base::cAlgSha256, out); }, card::cFailed,
         {"002201B603840102"}},
        {"decipher: MSE 41 B8 83, DECIPHER with the padding indicator", 44, 0,
         {ok(), ok(Bytes(16, 0x11))},
         [&](auto& p) { return p.SCDecipher("", 2048, cryptogram.data(), 256, out, 0, 0x03); },
         card::cOk, {"002241B803830103", "002A808600010100" + repeatHex("33", 256) + "0100"}},
    };
    for (const CommandCase& c : cases) {
        SCOPED_TRACE(c.name);
        auto profile = connected(c.version, c.cardProfile);
        pcsc.script.answers.assign(c.answers.begin(), c.answers.end());
        EXPECT_EQ(c.run(*profile), c.result);
        EXPECT_EQ(sent(), c.commands);
    }
}

// Every version reads PIN answers alike: 6300 is a wrong PIN without a
// count, 6401 to 6403 an aborted pin-pad entry.
TEST_F(CardOSTest, PinAnswers) {
    const std::vector<std::pair<Bytes, CardResult>> rows = {
        {{0x90, 0x00}, card::cOk},           {{0x63, 0x00}, card::cAuthFailed},
        {{0x69, 0x83}, card::cCounterFailed}, {{0x64, 0x01}, card::cPinPadAborted},
        {{0x64, 0x02}, card::cPinPadAborted}, {{0x64, 0x03}, card::cPinPadAborted},
        {{0x63, 0xC2}, card::cFailed},       {{0x69, 0x84}, card::cFailed},
        {{0x69, 0x85}, card::cFailed},       {{0x64, 0x00}, card::cFailed},
    };
    for (int version : {43, 44, 50, 54, 60}) {
        for (const auto& [answer, result] : rows) {
            SCOPED_TRACE(testing::Message() << "CardOS " << version << " " << hexText(answer));
            auto profile = connected(version);
            pcsc.script.answers = {answer};
            EXPECT_EQ(profile->SCVerify(0x81, text("12345678"), 8), result);
            EXPECT_EQ(profile->RemainingTries(), -1);
        }
    }
}

// PIN lengths by version and card profile; the pin-pad structures carry
// them in wPINMaxExtraDigit (maximum low, minimum high) and nothing else
// of the base structures changes; a pin-pad entry the reader reports
// cancelled (6401) is 7.
TEST_F(CardOSTest, PinLengthsAndPinPadStructures) {
    struct Row {
        int version;
        std::int32_t cardProfile;
        int minimum;
        int maximum;
    };
    const std::vector<Row> rows = {
        {43, 21, 6, 15}, {43, 29, 6, 15}, {43, 40, 5, 15}, {43, 41, 5, 15}, {43, 22, 8, 15},
        {44, 24, 6, 15}, {44, 40, 5, 15}, {44, 41, 8, 15}, {50, 21, 6, 12}, {54, 0, 6, 12},
        {60, 40, 6, 12},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::Message() << "CardOS " << row.version << " profile " << row.cardProfile);
        pcsc.script.controlAnswers = {{SCARD_S_SUCCESS, kivo::test::pinpad::pinPadFeatures()}};
        auto profile = connected(row.version);
        ASSERT_TRUE(profile->CheckPinPad());
        profile->SetCardProfile(row.cardProfile);
        EXPECT_EQ(profile->PinMinLength(), row.minimum);
        EXPECT_EQ(profile->PinMaxLength(), row.maximum);
        Bytes verify = profile->BaseVerifyStruct();
        Bytes modify = profile->BaseModifyStruct();
        verify[5] = modify[7] = static_cast<std::uint8_t>(row.maximum);
        verify[6] = modify[8] = static_cast<std::uint8_t>(row.minimum);
        verify[22] = modify[27] = 0x81;
        // A pin-pad verify: start, OK, and the reader's 6401 (cancelled): 7.
        pcsc.script.controls.clear();
        pcsc.script.controlAnswers = {{SCARD_S_SUCCESS, {}}, {SCARD_S_SUCCESS, {0x0D}},
                                      {SCARD_S_SUCCESS, {0x64, 0x01}}};
        EXPECT_EQ(profile->Verify("", "", false, 0x81, true, ""), card::cPinPadAborted);
        ASSERT_FALSE(pcsc.script.controls.empty());
        EXPECT_EQ(hexText(pcsc.script.controls.front().input), hexText(verify));
        profile->ModifyModifyStruct();
        EXPECT_EQ(hexText(profile->ModifyStruct()), hexText(modify));
    }
}

// The serial number is the first 8 bytes of GET DATA 01 81, read once; a
// shorter answer gives none. File sizes: tag 80 in the FCP; the long-form
// template length only from CardOS 5.0 on.
TEST_F(CardOSTest, SerialNumberAndFileSize) {
    auto v43 = connected(43);
    pcsc.script.answers = {ok({0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF, 0x11, 0x22})};
    EXPECT_EQ(v43->GetSerialNumber(), "0123456789abcdef");
    EXPECT_EQ(v43->GetSerialNumber(), "0123456789abcdef");
    EXPECT_EQ(sent(), std::vector<std::string>{"00CA018100"});
    auto v50 = connected(50);
    pcsc.script.answers = {ok({0x01, 0x02, 0x03})};
    EXPECT_EQ(v50->GetSerialNumber(), "");

    const Bytes shortForm = {0x62, 0x08, 0x82, 0x01, 0x01, 0x80, 0x02, 0x01, 0x2C, 0x8A};
    Bytes longForm = {0x62, 0x81, 0x08, 0x82, 0x01, 0x01, 0x80, 0x02, 0x01, 0x2C, 0x8A};
    for (int version : {43, 44, 50, 54, 60}) {
        SCOPED_TRACE(version);
        auto profile = connected(version);
        pcsc.script.answers = {ok(shortForm), ok(longForm)};
        ASSERT_EQ(profile->SCSelectEF(text("\x44\x01")), card::cOk);
        EXPECT_EQ(profile->GetFileLen(), 300u);
        ASSERT_EQ(profile->SCSelectEF(text("\x44\x01")), card::cOk);
        EXPECT_EQ(profile->GetFileLen(), version >= 50 ? 300u : 0u);
    }
}

// CardOS 5.0 key types; the CardOS 6.0 PACE hooks, which read the
// PACE_CANCACHE entries and never report a trusted channel.
TEST_F(CardOSTest, KeyTypesAndPaceHooks) {
    CSC_Profile_CardOS50 v50;
    EXPECT_TRUE(v50.IsKeyTypeAllowed(1, 1));
    EXPECT_FALSE(v50.IsKeyTypeAllowed(1, 0));
    EXPECT_TRUE(v50.IsKeyTypeAllowed(0, 3));
    EXPECT_FALSE(v50.IsKeyTypeAllowed(2, 4));
    EXPECT_FALSE(v50.IsKeyTypeAllowed(0, -1));
    CSC_Profile_CardOS43b v43;
    EXPECT_TRUE(v43.IsKeyTypeAllowed(1, 0)) << "only 5.0 on restricts key types";

    auto v60 = connected(60);
    auto& cardos60 = static_cast<CSC_Profile_CardOS60&>(*v60);
    EXPECT_EQ(cardos60.GetPaceMode(), 2);
    EXPECT_EQ(cardos60.GetTrustedChannelCla(), 0x0C);
    EXPECT_FALSE(cardos60.IsPaceReader("vpcd 0")) << "the scripted reader lists no EXECUTE_PACE";
    EXPECT_TRUE(cardos60.InitPACE("482917")) << "without a PACE reader the card is used in plain";
    EXPECT_FALSE(cardos60.PaceEstablished());
    EXPECT_FALSE(cardos60.IsTrustedChannelActive());
    Bytes wrapped = {0x01};
    EXPECT_FALSE(cardos60.EncryptTrustedChannelData(text("abc"), 3, wrapped));
    EXPECT_TRUE(wrapped.empty());
    EXPECT_EQ(v50.GetPaceMode(), -1);
}

}  // namespace
