// The card command base on a scripted reader: PIN entry on a pin pad
// (structures patched with the reference, key loop, cancel, progress
// display), a card pulled during an operation, and status words the
// virtual card does not produce.

#include "tests/support/card/PcscScript.h"
#include "tests/smartcard/base/TestProfile.h"

#include "smartcard/key/ConfigSC.h"
#include "smartcard/pin/PinPrompt.h"

#include <gtest/gtest.h>

namespace {

using kivo::test::Bytes;
using kivo::test::ControlAnswer;
using kivo::test::ScopedTraceFile;
using kivo::test::ScriptedPcsc;
using kivo::test::TestProfile;
namespace card = kivo::card;

using kivo::test::pinpad::kKeyPressed;
using kivo::test::pinpad::kModifyFinish;
using kivo::test::pinpad::kModifyStart;
using kivo::test::pinpad::kVerifyFinish;
using kivo::test::pinpad::kVerifyStart;
using kivo::test::pinpad::pinPadFeatures;

// Counts what the pin-pad progress display was asked to do.
struct ProgressLog {
    int shown = 0;
    int advanced = 0;
    int prompts = 0;
    int closed = 0;
};

class CountingProgress : public kivo::pin::PinPadProgress {
public:
    explicit CountingProgress(ProgressLog& log) : m_log(log) {}
    void show() override { ++m_log.shown; }
    void advance(std::uint8_t) override { ++m_log.advanced; }
    void nextPrompt() override { ++m_log.prompts; }
    void close() override { ++m_log.closed; }

private:
    ProgressLog& m_log;
};

class ProfilePinPadTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(profile.Connect("Reader 0", 0x77), 0u);
        script.controlAnswers.push_back({SCARD_S_SUCCESS, pinPadFeatures(withKeys)});
        ASSERT_TRUE(profile.CheckPinPad());
        script.controls.clear();
        kivo::pin::Dialogs dialogs;
        dialogs.openPinPad = [this](const kivo::pin::PromptTexts&) {
            return std::make_unique<CountingProgress>(progress);
        };
        m_previous = kivo::pin::installDialogs(dialogs);
    }
    void TearDown() override { kivo::pin::installDialogs(m_previous); }

    void keys(std::initializer_list<std::uint8_t> pressed) {
        for (const std::uint8_t key : pressed) script.controlAnswers.push_back({SCARD_S_SUCCESS, {key}});
    }
    std::vector<std::uint32_t> controlCodes() const {
        std::vector<std::uint32_t> codes;
        for (const auto& call : script.controls) codes.push_back(call.code);
        return codes;
    }

    bool withKeys = true;
    ScopedTraceFile trace;
    ScriptedPcsc pcsc;
    kivo::test::PcscScript& script = pcsc.script;
    TestProfile profile;
    ProgressLog progress;

private:
    kivo::pin::Dialogs m_previous;
};

TEST_F(ProfilePinPadTest, VerifyRunsStartKeysAndFinishWithTheReferenceInTheStructure) {
    script.controlAnswers.push_back({SCARD_S_SUCCESS, {}});       // start
    keys({0x00, 0x31, 0x32, 0x00, 0x33, 0x0D});                    // digits, then OK
    script.controlAnswers.push_back({SCARD_S_SUCCESS, {0x90, 0x00}});  // finish

    EXPECT_EQ(profile.Verify("", "", false, 0x81, true, ""), card::cOk);
    EXPECT_FALSE(profile.PinEntryCancelled());

    const std::vector<std::uint32_t> expected = {kVerifyStart, kKeyPressed, kKeyPressed, kKeyPressed,
                                                 kKeyPressed,  kKeyPressed, kKeyPressed, kVerifyFinish};
    EXPECT_EQ(controlCodes(), expected);
    const Bytes& structure = script.controls.front().input;
    ASSERT_EQ(structure.size(), 23u);
    EXPECT_EQ(structure[22], 0x81);
    EXPECT_EQ(Bytes(structure.begin() + 19, structure.end()), (Bytes{0x00, 0x20, 0x00, 0x81}));
    EXPECT_EQ(profile.ModifyStruct().at(27), 0x81);
    EXPECT_EQ(script.controls.back().input, (Bytes{0xFF, 0xFF}));
    EXPECT_TRUE(script.transmits.empty()) << "a pin-pad verify sends no APDU of its own";
    // Three digit keys advance the display; "no key yet" does not.
    EXPECT_EQ(progress.shown, 1);
    EXPECT_EQ(progress.advanced, 3);
    EXPECT_EQ(progress.closed, 1);
}

TEST_F(ProfilePinPadTest, VerifyResultFollowsTheStatusWordOfTheFinish) {
    const std::vector<std::pair<Bytes, CardResult>> cases = {
        {{0x63, 0x00}, card::cPinWrong}, {{0x69, 0x83}, card::cCounterFailed},
        {{0x69, 0x85}, card::cAuthMethodBlocked}, {{0x69, 0x84}, card::cPinWrong},
        {{0x64, 0x01}, card::cFailed}, {{0x63, 0xC2}, card::cFailed}};
    for (const auto& [status, result] : cases) {
        SCOPED_TRACE(testing::PrintToString(status));
        script.controlAnswers.push_back({SCARD_S_SUCCESS, {}});
        keys({0x0D});
        script.controlAnswers.push_back({SCARD_S_SUCCESS, status});
        EXPECT_EQ(profile.Verify("", "", false, 0x82, true, ""), result);
    }
}

TEST_F(ProfilePinPadTest, CancelOnThePinPadSetsTheFlag) {
    script.controlAnswers.push_back({SCARD_S_SUCCESS, {}});
    keys({0x31, 0x1B});
    script.controlAnswers.push_back({SCARD_S_SUCCESS, {0x64, 0x01}});
    EXPECT_EQ(profile.Verify("", "", false, 0x81, true, ""), card::cFailed);
    EXPECT_TRUE(profile.PinEntryCancelled());

    // A time-out is not a cancel.
    script.controlAnswers.push_back({SCARD_S_SUCCESS, {}});
    keys({0x40});
    script.controlAnswers.push_back({SCARD_S_SUCCESS, {0x64, 0x00}});
    EXPECT_EQ(profile.Verify("", "", false, 0x81, true, ""), card::cFailed);
    EXPECT_FALSE(profile.PinEntryCancelled());
}

TEST_F(ProfilePinPadTest, CardPulledDuringTheKeyLoopEndsWith255) {
    // Earlier success must not be mistaken for the verdict.
    script.answers.push_back({0x90, 0x00});
    ASSERT_EQ(profile.SCSelectMF(), card::cOk);
    script.controlAnswers.push_back({SCARD_S_SUCCESS, {}});
    keys({0x31, 0x32});
    // The next key request finds the card gone; every call fails from then on.
    script.controlAnswers.push_back({SCARD_W_REMOVED_CARD, {}});
    EXPECT_EQ(profile.Verify("", "", false, 0x81, true, ""), card::cFailed);
    EXPECT_EQ(script.controls.back().code, kVerifyFinish);
}

TEST_F(ProfilePinPadTest, ReaderWithoutPinPadFeaturesDoesNotPassAnOldStatusOff) {
    script.answers.push_back({0x90, 0x00});
    ASSERT_EQ(profile.SCSelectMF(), card::cOk);
    script.controlAnswers.push_back({SCARD_S_SUCCESS, {}});  // no features at all
    EXPECT_FALSE(profile.CheckPinPad());
    script.controls.clear();
    EXPECT_EQ(profile.Verify("", "", false, 0x81, true, ""), card::cFailed);
    EXPECT_TRUE(script.controls.empty());
}

TEST_F(ProfilePinPadTest, ChangeMovesThroughThreePromptsOnOk) {
    script.answers.push_back({0x90, 0x00});  // SELECT of the PIN's folder
    script.controlAnswers.push_back({SCARD_S_SUCCESS, {}});
    keys({0x31, 0x0D, 0x32, 0x0D, 0x33, 0x34, 0x0D});
    script.controlAnswers.push_back({SCARD_S_SUCCESS, {0x90, 0x00}});

    EXPECT_EQ(profile.ChangeRef("3f00", "", 0x82, true, "", ""), card::cOk);
    const std::vector<std::uint32_t> expected = {kModifyStart, kKeyPressed, kKeyPressed,
                                                 kKeyPressed,  kKeyPressed, kKeyPressed,
                                                 kKeyPressed,  kKeyPressed, kModifyFinish};
    EXPECT_EQ(controlCodes(), expected);
    const Bytes& structure = script.controls.front().input;
    ASSERT_EQ(structure.size(), 28u);
    EXPECT_EQ(Bytes(structure.begin() + 24, structure.end()), (Bytes{0x00, 0x24, 0x00, 0x82}));
    EXPECT_EQ(progress.prompts, 2);
    EXPECT_EQ(progress.advanced, 4);
    EXPECT_EQ(progress.closed, 1);
}

TEST_F(ProfilePinPadTest, ChangeCancelledOnTheSecondPrompt) {
    script.answers.push_back({0x90, 0x00});
    script.controlAnswers.push_back({SCARD_S_SUCCESS, {}});
    keys({0x0D, 0x1B});
    script.controlAnswers.push_back({SCARD_S_SUCCESS, {0x64, 0x01}});
    EXPECT_EQ(profile.ChangeRef("3f00", "", 0x82, true, "", ""), card::cFailed);
    EXPECT_TRUE(profile.PinEntryCancelled());
}

class ProfilePinPadWithoutKeysTest : public ProfilePinPadTest {
protected:
    ProfilePinPadWithoutKeysTest() { withKeys = false; }
};

TEST_F(ProfilePinPadWithoutKeysTest, VerifySkipsTheKeyLoop) {
    script.controlAnswers.push_back({SCARD_S_SUCCESS, {}});
    script.controlAnswers.push_back({SCARD_S_SUCCESS, {0x90, 0x00}});
    EXPECT_EQ(profile.Verify("", "", false, 0x81, true, ""), card::cOk);
    const std::vector<std::uint32_t> expected = {kVerifyStart, kVerifyFinish};
    EXPECT_EQ(controlCodes(), expected);
    EXPECT_NE(trace.contents().find("m_pcsc->getKeyIoctl() == 0"), std::string::npos);
}

// Status words and transport failures the virtual card does not give.
class ProfileScriptedCardTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(profile.Connect("Reader 0", 0x77), 0u); }
    ScopedTraceFile trace;
    ScriptedPcsc pcsc;
    kivo::test::PcscScript& script = pcsc.script;
    TestProfile profile;
};

TEST_F(ProfileScriptedCardTest, SelectIsSentUpToThreeTimes) {
    script.answers = {{0x6A, 0x82}, {0x6A, 0x82}, {0x6A, 0x82}, {0x6A, 0x82}};
    EXPECT_EQ(profile.SCSelectMF(), card::cFileNotFound);
    EXPECT_EQ(script.transmits.size(), 3u);

    // A retry has room for the whole control information again.
    script.transmits.clear();
    Bytes fcp = {0x62, 0x04, 0x80, 0x02, 0x01, 0x00};
    fcp.insert(fcp.end(), {0x90, 0x00});
    script.answers = {{0x6A, 0x87}, fcp};
    EXPECT_EQ(profile.SCSelectMF(), card::cOk);
    ASSERT_EQ(script.transmits.size(), 2u);
    EXPECT_EQ(script.transmits[1].receiveLength, script.transmits[0].receiveLength);
    EXPECT_EQ(profile.ResponseLength(), 6u);

    script.transmits.clear();
    script.answers = {{0x67, 0x00}};
    script.transmitsBeforeRemoval = 1;
    EXPECT_EQ(profile.SCSelectMF(), card::cFailed) << "a transport failure ends at once";
    EXPECT_EQ(script.transmits.size(), 1u);
}

TEST_F(ProfileScriptedCardTest, FailedDirectoryStepLeavesNoCachedFile) {
    script.answers = {{0x90, 0x00}};  // EF 0101 under the MF
    ASSERT_EQ(profile.SelectPath("3f00/0101"), card::cOk);
    ASSERT_EQ(profile.GetCurrFilePath(), "3f000101");
    // A relative path whose directory is missing: three SELECTs, all refused.
    script.answers = {{0x6A, 0x82}, {0x6A, 0x82}, {0x6A, 0x82}};
    EXPECT_EQ(profile.SelectPath("5015/c000"), card::cFailed);
    EXPECT_EQ(profile.GetCurrFilePath(), "3f00") << "the card no longer has EF 0101 selected";

    // Selecting 0101 again must therefore reach the card.
    script.transmits.clear();
    script.answers = {{0x90, 0x00}};
    EXPECT_EQ(profile.SelectPath("3f00/0101"), card::cOk);
    EXPECT_EQ(script.transmits.size(), 1u);
}

TEST_F(ProfileScriptedCardTest, ReadBinaryStatusMapping) {
    const std::vector<std::pair<Bytes, CardResult>> cases = {
        {{0x90, 0x00}, card::cOk},        {{0x67, 0x00}, card::cWrongLength},
        {{0x69, 0x81}, card::cIncompatibleFile}, {{0x69, 0x86}, card::cNoCurrentEf},
        {{0x6A, 0x87}, card::cWrongDataLength},  {{0x62, 0x82}, card::cEndOfFile},
        {{0x6A, 0x82}, card::cFailed},    {{0x6B, 0x00}, card::cFailed}};
    CSC_Profile_Base::Bytes out;
    for (const auto& [status, result] : cases) {
        SCOPED_TRACE(testing::PrintToString(status));
        script.answers.push_back(status);
        EXPECT_EQ(profile.SCReadBinary(out, 0x1234, 16), result);
    }
    // Offset bits 8-14 in P1, the low byte in P2, the length in P3.
    EXPECT_EQ(script.transmits.back().apdu, (Bytes{0x00, 0xB0, 0x12, 0x34, 0x10}));
    // 256 bytes are asked for with P3 = 00; offsets beyond 15 bits and
    // longer reads are refused unsent.
    script.answers.push_back({0x90, 0x00});
    profile.SCReadBinary(out, 0, 256);
    EXPECT_EQ(script.transmits.back().apdu, (Bytes{0x00, 0xB0, 0x00, 0x00, 0x00}));
    const std::size_t sent = script.transmits.size();
    EXPECT_EQ(profile.SCReadBinary(out, 0x8000, 16), card::cFailed);
    EXPECT_EQ(profile.SCReadBinary(out, 0, 257), card::cFailed);
    EXPECT_EQ(script.transmits.size(), sent);
}

TEST_F(ProfileScriptedCardTest, ReadsStopWhenTheCardIsPulled) {
    profile.claimedFileLength = 1000;
    script.answers.push_back(Bytes(242, 0x11));
    script.answers.back()[240] = 0x90;
    script.answers.back()[241] = 0x00;
    script.transmitsBeforeRemoval = 1;
    CSC_Profile_Base::Bytes out;
    EXPECT_EQ(profile.ReadFile(out), card::cFailed);
    EXPECT_EQ(profile.ReadFilePart(out, 500), card::cFailed);
    EXPECT_EQ(profile.ReadAllRecords(out), card::cFailed);
    std::uint8_t challenge[8];
    EXPECT_EQ(profile.GetChallange(challenge, sizeof challenge), card::cFailed);
}

TEST_F(ProfileScriptedCardTest, CardAnsweringWithoutDataDoesNotLoopForever) {
    profile.claimedFileLength = 500;
    script.answers = {{0x90, 0x00}};
    CSC_Profile_Base::Bytes out;
    EXPECT_EQ(profile.ReadFile(out), card::cOk);
    EXPECT_TRUE(out.empty());
    EXPECT_EQ(script.transmits.size(), 1u);

    script.answers = {{0x90, 0x00}};
    std::uint8_t challenge[8];
    EXPECT_EQ(profile.GetChallange(challenge, sizeof challenge), card::cFailed);
}

TEST_F(ProfileScriptedCardTest, LongerAnswerThanAskedIsCutToTheRequest) {
    profile.claimedFileLength = 20;
    profile.SetBlockSize(10);
    Bytes answer(30, 0x5A);
    answer.push_back(0x90);
    answer.push_back(0x00);
    script.answers = {answer, answer};
    CSC_Profile_Base::Bytes out;
    EXPECT_EQ(profile.ReadFile(out), card::cOk);
    EXPECT_EQ(out, Bytes(20, 0x5A));
    ASSERT_EQ(script.transmits.size(), 2u);
    EXPECT_EQ(script.transmits[1].apdu, (Bytes{0x00, 0xB0, 0x00, 0x0A, 0x0A}));
}

TEST_F(ProfileScriptedCardTest, ChallengeRefusals) {
    std::uint8_t challenge[8];
    script.answers = {{0x69, 0x85}};
    EXPECT_EQ(profile.GetChallange(challenge, 8), card::cChallengeRefused);
    script.answers = {{0x68, 0x00}};
    EXPECT_EQ(profile.GetChallange(challenge, 8), card::cChallengeRefused);
    script.answers = {{0x6D, 0x00}};
    EXPECT_EQ(profile.GetChallange(challenge, 8), card::cFailed);
}

// A block size whose low byte is 0 reads 256 bytes per READ BINARY (P3 00);
// writes stay within a short Lc (255).
TEST_F(ProfileScriptedCardTest, BlockSizeWithZeroLowByteReadsWholeBlocks) {
    profile.claimedFileLength = 300;
    profile.SetBlockSize(256);
    Bytes first(256, 0x11);
    first.insert(first.end(), {0x90, 0x00});
    Bytes second(44, 0x22);
    second.insert(second.end(), {0x90, 0x00});
    script.answers = {first, second};
    CSC_Profile_Base::Bytes out;
    EXPECT_EQ(profile.ReadFile(out), card::cOk);
    EXPECT_EQ(out.size(), 300u);
    ASSERT_EQ(script.transmits.size(), 2u);
    EXPECT_EQ(script.transmits[0].apdu, (Bytes{0x00, 0xB0, 0x00, 0x00, 0x00}));
    EXPECT_EQ(script.transmits[1].apdu, (Bytes{0x00, 0xB0, 0x01, 0x00, 0x2C}));

    script.transmits.clear();
    script.answers = {{0x90, 0x00}, {0x90, 0x00}};
    const Bytes data(300, 0x33);
    EXPECT_EQ(profile.UpdateFile(data.data(), 300), card::cOk);
    ASSERT_EQ(script.transmits.size(), 2u);
    EXPECT_EQ(script.transmits[0].apdu[4], 0xFF);
    EXPECT_EQ(script.transmits[1].apdu[4], 0x2D);
}

// The cache claims only what the card confirmed: an empty path is "no
// file" (selected when no EF is current), and an MF select that fails with
// any status leaves the cache unknown, so the next path starts at the MF.
TEST_F(ProfileScriptedCardTest, SelectionCacheClaimsOnlyWhatWasSelected) {
    EXPECT_EQ(profile.SelectPath(""), card::cOk);
    script.answers = {{0x90, 0x00}};
    ASSERT_EQ(profile.SelectPath("3f00/0101"), card::cOk);
    EXPECT_EQ(profile.SelectPath(""), card::cFailed);
    EXPECT_EQ(script.transmits.size(), 1u);

    script.transmits.clear();
    script.answers = {{0x6A, 0x82}, {0x6A, 0x82}, {0x6A, 0x82}};
    EXPECT_EQ(profile.SelectPath("3f00", true), card::cFailed);
    EXPECT_EQ(profile.GetCurrFilePath(), "");
    script.transmits.clear();
    script.answers = {{0x90, 0x00}, {0x90, 0x00}};
    EXPECT_EQ(profile.SelectPath("3f00/0101"), card::cOk);
    ASSERT_EQ(script.transmits.size(), 2u);
    EXPECT_EQ(script.transmits[0].apdu[1], 0xA4);
    EXPECT_EQ(profile.GetCurrFilePath(), "3f000101");
}

// PIN commands without a PIN: the bare VERIFY asks for the tries left; a
// change with only one of its PINs sends nothing; in service mode nothing
// is asked and nothing counts as cancelled.
TEST_F(ProfileScriptedCardTest, PinCommandsWithoutPins) {
    script.answers = {{0x63, 0xC2}};
    EXPECT_EQ(profile.SCVerify(0x81, nullptr, 0), card::cFailed);
    ASSERT_EQ(script.transmits.size(), 1u);
    EXPECT_EQ(script.transmits[0].apdu, (Bytes{0x00, 0x20, 0x00, 0x81}));
    EXPECT_EQ(profile.RemainingTries(), -1) << "the base does not read 63Cx";

    script.transmits.clear();
    EXPECT_EQ(profile.ChangeRef("", "", 0x81, false, "123456", ""), card::cFailed);
    EXPECT_EQ(profile.ChangeRef("", "", 0x81, false, "", "654321"), card::cFailed);
    auto& settings = kivo::cardSettings().m_settings;
    settings.m_isService = true;
    EXPECT_EQ(profile.ChangeRef("", "", 0x81, false, "", ""), card::cFailed);
    EXPECT_FALSE(profile.PinEntryCancelled());
    EXPECT_EQ(profile.UnblockRef("", "", 0x81, "", "", {}), card::cFailed);
    EXPECT_FALSE(profile.PinEntryCancelled());
    settings.m_isService = false;
    EXPECT_TRUE(script.transmits.empty());
}

}  // namespace
