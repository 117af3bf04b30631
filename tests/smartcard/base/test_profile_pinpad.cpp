// The card command base on a scripted reader: PIN entry on a pin pad (structures patched with the reference,
// key loop, cancel, progress display), a card pulled during an operation, and status words the test card does
// not produce.

#include "tests/support/card/PcscScript.h"
#include "tests/support/card/ProfileTestUtil.h"
#include "tests/smartcard/base/TestProfile.h"

#include "smartcard/key/ConfigSC.h"
#include "smartcard/pin/PinPrompt.h"

#include <gtest/gtest.h>

#include <functional>

namespace {

using kivo::test::Bytes;
using kivo::test::ok;
using kivo::test::TestProfile;
namespace card = kivo::card;
namespace pinpad = kivo::test::pinpad;

struct ProgressLog { int shown = 0, advanced = 0, prompts = 0, closed = 0; };

struct CountingProgress : kivo::pin::PinPadProgress {
    explicit CountingProgress(ProgressLog& log) : log(log) {}
    void show() override { ++log.shown; }
    void advance(std::uint8_t) override { ++log.advanced; }
    void nextPrompt() override { ++log.prompts; }
    void close() override { ++log.closed; }
    ProgressLog& log;
};

class ScriptedCardTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(profile.Connect("Reader 0", 0x77), 0u); }
    // Answers in order: control requests (start, keys, finish) and APDUs.
    void answer(std::initializer_list<Bytes> controls) {
        for (const Bytes& output : controls) script.controlAnswers.push_back({SCARD_S_SUCCESS, output});
    }
    std::vector<std::uint32_t> controlCodes() const {
        std::vector<std::uint32_t> codes;
        for (const auto& call : script.controls) codes.push_back(call.code);
        return codes;
    }
    bool withPinPad(bool withKeys) {
        script.controlAnswers = {{SCARD_S_SUCCESS, pinpad::pinPadFeatures(withKeys)}};
        const bool found = profile.CheckPinPad();
        script.controls.clear();
        kivo::pin::Dialogs dialogs;
        dialogs.openPinPad = [this](const kivo::pin::PromptTexts&) { return std::make_unique<CountingProgress>(progress); };
        m_previous = kivo::pin::installDialogs(dialogs);
        return found;
    }
    void TearDown() override { if (m_previous) kivo::pin::installDialogs(std::move(*m_previous)); }

    kivo::test::ScopedTraceFile trace;
    kivo::test::ScriptedPcsc pcsc;
    kivo::test::PcscScript& script = pcsc.script;
    TestProfile profile;
    ProgressLog progress;
    std::optional<kivo::pin::Dialogs> m_previous;
};

// Start with the structure patched with the reference, a key poll per reported key, the finish; digits advance
// the display, "no key yet" (00) does not, OK moves a change to its next prompt.
TEST_F(ScriptedCardTest, PinPadVerifyAndChange) {
    ASSERT_TRUE(withPinPad(true));
    // apdus: the SELECT of the PIN's folder
    const struct { const char* name; std::function<CardResult()> enter; std::vector<Bytes> keys;
        std::uint32_t start, finish; Bytes header; std::size_t structureSize, apdus; int prompts, advanced;
    } rows[] = {
        {"verify", [&] { return profile.Verify("", "", false, 0x81, true, ""); },
         {{0x00}, {0x31}, {0x32}, {0x00}, {0x33}, {0x0D}}, pinpad::kVerifyStart, pinpad::kVerifyFinish,
         {0x00, 0x20, 0x00, 0x81}, 23, 0, 0, 3},
        {"change", [&] { return profile.ChangeRef("3f00", "", 0x82, true, "", ""); },
         {{0x31}, {0x0D}, {0x32}, {0x0D}, {0x33}, {0x34}, {0x0D}}, pinpad::kModifyStart, pinpad::kModifyFinish,
         {0x00, 0x24, 0x00, 0x82}, 28, 1, 2, 4},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        script.controls.clear();
        script.transmits.clear();
        script.answers = {{0x90, 0x00}};
        progress = {};
        answer({{}});
        for (const Bytes& key : row.keys) answer({key});
        answer({{0x90, 0x00}});
        EXPECT_EQ(row.enter(), card::cOk);
        std::vector<std::uint32_t> expected(row.keys.size() + 2, pinpad::kKeyPressed);
        expected.front() = row.start;
        expected.back() = row.finish;
        EXPECT_EQ(controlCodes(), expected);
        const Bytes& structure = script.controls.front().input;
        ASSERT_EQ(structure.size(), row.structureSize);
        EXPECT_EQ(Bytes(structure.end() - 4, structure.end()), row.header);
        EXPECT_EQ(script.controls.back().input, (Bytes{0xFF, 0xFF}));
        EXPECT_EQ(script.transmits.size(), row.apdus) << "the PIN goes in no APDU of the library's own";
        EXPECT_EQ(std::vector<int>({progress.shown, progress.prompts, progress.advanced, progress.closed}),
                  std::vector<int>({1, row.prompts, row.advanced, 1}));
    }
    EXPECT_EQ(profile.ModifyStruct().at(27), 0x82);
}

TEST_F(ScriptedCardTest, PinPadEndings) {
    ASSERT_TRUE(withPinPad(true));
    const struct { const char* name; Bytes key, status; CardResult result; bool cancelled; } rows[] = {
        {"63 00", {0x0D}, {0x63, 0x00}, card::cPinWrong, false},
        {"69 83", {0x0D}, {0x69, 0x83}, card::cCounterFailed, false},
        {"69 85", {0x0D}, {0x69, 0x85}, card::cAuthMethodBlocked, false},
        {"69 84", {0x0D}, {0x69, 0x84}, card::cPinWrong, false},
        {"63 C2", {0x0D}, {0x63, 0xC2}, card::cFailed, false},
        {"cancel", {0x1B}, {0x64, 0x01}, card::cFailed, true},
        {"time-out", {0x40}, {0x64, 0x00}, card::cFailed, false},
    };
    for (const auto& row : rows) {
        answer({{}, row.key, row.status});
        EXPECT_EQ(profile.Verify("", "", false, 0x82, true, ""), row.result) << row.name;
        EXPECT_EQ(profile.PinEntryCancelled(), row.cancelled) << row.name;
    }
    script.answers = {{0x90, 0x00}};
    answer({{}, {0x0D}, {0x1B}, {0x64, 0x01}});
    EXPECT_EQ(profile.ChangeRef("3f00", "", 0x82, true, "", ""), card::cFailed);
    EXPECT_TRUE(profile.PinEntryCancelled()) << "cancelled on the second prompt";

    // Earlier success must not be taken for the verdict of a pulled card.
    script.answers = {{0x90, 0x00}};
    ASSERT_EQ(profile.SCSelectMF(), card::cOk);
    answer({{}, {0x31}});
    script.controlAnswers.push_back({SCARD_W_REMOVED_CARD, {}});
    EXPECT_EQ(profile.Verify("", "", false, 0x81, true, ""), card::cFailed);
    EXPECT_EQ(script.controls.back().code, pinpad::kVerifyFinish);
}

TEST_F(ScriptedCardTest, PinPadWithoutKeysOrFeatures) {
    ASSERT_TRUE(withPinPad(false));
    answer({{}, {0x90, 0x00}});
    EXPECT_EQ(profile.Verify("", "", false, 0x81, true, ""), card::cOk);
    EXPECT_EQ(controlCodes(), (std::vector<std::uint32_t>{pinpad::kVerifyStart, pinpad::kVerifyFinish}));
    EXPECT_NE(trace.contents().find("m_pcsc->getKeyIoctl() == 0"), std::string::npos);

    script.controlAnswers = {{SCARD_S_SUCCESS, {}}};
    EXPECT_FALSE(profile.CheckPinPad());
    script.controls.clear();
    EXPECT_EQ(profile.Verify("", "", false, 0x81, true, ""), card::cFailed);
    EXPECT_TRUE(script.controls.empty());
}

TEST_F(ScriptedCardTest, SelectRetriesAndTheCache) {
    script.answers = {{0x6A, 0x87}, {0x62, 0x04, 0x80, 0x02, 0x01, 0x00, 0x90, 0x00}};
    EXPECT_EQ(profile.SCSelectMF(), card::cOk);
    ASSERT_EQ(script.transmits.size(), 2u);
    EXPECT_EQ(script.transmits[1].receiveLength, script.transmits[0].receiveLength);
    EXPECT_EQ(profile.ResponseLength(), 6u);

    EXPECT_EQ(profile.SelectPath(""), card::cOk) << "no EF current: the empty path";
    script.answers = {{0x90, 0x00}};
    ASSERT_EQ(profile.SelectPath("3f00/0101"), card::cOk);
    EXPECT_EQ(profile.SelectPath(""), card::cFailed);
    script.answers = {{0x6A, 0x82}, {0x6A, 0x82}, {0x6A, 0x82}};
    EXPECT_EQ(profile.SelectPath("3f00", true), card::cFailed);
    EXPECT_EQ(profile.GetCurrFilePath(), "");
    script.transmits.clear();
    script.answers = {{0x90, 0x00}, {0x90, 0x00}};
    EXPECT_EQ(profile.SelectPath("3f00/0101"), card::cOk);
    ASSERT_EQ(script.transmits.size(), 2u) << "from the MF on";

    script.transmits.clear();
    script.answers = {{0x67, 0x00}};
    script.transmitsBeforeRemoval = 1;
    EXPECT_EQ(profile.SCSelectMF(), card::cFailed) << "a transport failure ends at once";
    EXPECT_EQ(script.transmits.size(), 1u);
}

TEST_F(ScriptedCardTest, ReadStatusWordsAndOddAnswers) {
    const std::pair<Bytes, CardResult> statuses[] = {
        {{0x90, 0x00}, card::cOk},          {{0x67, 0x00}, card::cWrongLength},     {{0x69, 0x81}, card::cIncompatibleFile},
        {{0x69, 0x86}, card::cNoCurrentEf}, {{0x6A, 0x87}, card::cWrongDataLength}, {{0x62, 0x82}, card::cEndOfFile},
        {{0x6A, 0x82}, card::cFailed},      {{0x6B, 0x00}, card::cFailed}};
    CSC_Profile_Base::Bytes out;
    for (const auto& [status, result] : statuses) {
        script.answers = {status};
        EXPECT_EQ(profile.SCReadBinary(out, 0x1234, 16), result) << ::testing::PrintToString(status);
        EXPECT_EQ(script.transmits.back().apdu, (Bytes{0x00, 0xB0, 0x12, 0x34, 0x10}));
    }
    script.answers = {{0x90, 0x00}};
    profile.SCReadBinary(out, 0, 256);
    EXPECT_EQ(script.transmits.back().apdu, (Bytes{0x00, 0xB0, 0x00, 0x00, 0x00}));
    const std::size_t sent = script.transmits.size();
    EXPECT_EQ(profile.SCReadBinary(out, 0x8000, 16), card::cFailed);
    EXPECT_EQ(profile.SCReadBinary(out, 0, 257), card::cFailed);
    EXPECT_EQ(script.transmits.size(), sent);

    std::uint8_t challenge[8];
    const std::pair<Bytes, CardResult> refusals[] = {
        {{0x69, 0x85}, card::cChallengeRefused}, {{0x68, 0x00}, card::cChallengeRefused},
        {{0x6D, 0x00}, card::cFailed}, {{0x90, 0x00}, card::cFailed}};
    for (const auto& [status, result] : refusals) {
        script.answers = {status};
        EXPECT_EQ(profile.GetChallange(challenge, 8), result) << ::testing::PrintToString(status);
    }

    // No data at all ends the loop; a longer answer is cut to the request.
    script.transmits.clear();
    profile.claimedFileLength = 500;
    script.answers = {{0x90, 0x00}};
    EXPECT_EQ(profile.ReadFile(out), card::cOk);
    EXPECT_TRUE(out.empty());
    EXPECT_EQ(script.transmits.size(), 1u);
    profile.claimedFileLength = 20;
    profile.SetBlockSize(10);
    script.answers = {ok(Bytes(30, 0x5A)), ok(Bytes(30, 0x5A))};
    EXPECT_EQ(profile.ReadFile(out), card::cOk);
    EXPECT_EQ(out, Bytes(20, 0x5A));
    EXPECT_EQ(script.transmits.back().apdu, (Bytes{0x00, 0xB0, 0x00, 0x0A, 0x0A}));

    // A block size of 256 writes at most 255 octets per UPDATE BINARY.
    profile.claimedFileLength = 300;
    profile.SetBlockSize(256);
    script.transmits.clear();
    script.answers = {{0x90, 0x00}, {0x90, 0x00}};
    const Bytes data(300, 0x33);
    EXPECT_EQ(profile.UpdateFile(data.data(), 300), card::cOk);
    ASSERT_EQ(script.transmits.size(), 2u);
    EXPECT_EQ((Bytes{script.transmits[0].apdu[4], script.transmits[1].apdu[4]}), (Bytes{0xFF, 0x2D}));

    // A pulled card ends every read.
    profile.claimedFileLength = 1000;
    script.answers = {ok(Bytes(240, 0x11))};
    script.transmitsBeforeRemoval = 1;
    EXPECT_EQ(profile.ReadFile(out), card::cFailed);
    EXPECT_EQ(profile.ReadAllRecords(out), card::cFailed);
    EXPECT_EQ(profile.GetChallange(challenge, 8), card::cFailed);
}

// A bare VERIFY asks for the tries left; a change with one of its PINs sends nothing; in service mode nothing
// is asked or cancelled.
TEST_F(ScriptedCardTest, PinCommandsWithoutPins) {
    script.answers = {{0x63, 0xC2}};
    EXPECT_EQ(profile.SCVerify(0x81, nullptr, 0), card::cFailed);
    ASSERT_EQ(script.transmits.size(), 1u);
    EXPECT_EQ(script.transmits[0].apdu, (Bytes{0x00, 0x20, 0x00, 0x81}));
    EXPECT_EQ(profile.RemainingTries(), -1) << "the base does not read 63Cx";
    EXPECT_EQ(profile.ChangeRef("", "", 0x81, false, "123456", ""), card::cFailed);
    EXPECT_EQ(profile.ChangeRef("", "", 0x81, false, "", "654321"), card::cFailed);
    auto& settings = kivo::cardSettings().m_settings;
    settings.m_isService = true;
    EXPECT_EQ(profile.ChangeRef("", "", 0x81, false, "", ""), card::cFailed);
    EXPECT_FALSE(profile.PinEntryCancelled());
    EXPECT_EQ(profile.UnblockRef("", "", 0x81, "", "", {}), card::cFailed);
    EXPECT_FALSE(profile.PinEntryCancelled());
    settings.m_isService = false;
    EXPECT_EQ(script.transmits.size(), 1u);
}

}  // namespace
