// TransmitControl and the pin-pad operations through a scripted reader:
// output sizes, answers with and without a status word, GET RESPONSE under
// T=0, the feature object and the reader system name.

#include "tests/support/card/PcscScript.h"

#include "smartcard/transport/SC_Transport.h"

#include <gtest/gtest.h>

namespace {

using kivo::test::Bytes;
using kivo::test::ScopedTraceFile;
using kivo::test::ScriptedPcsc;

constexpr std::uint32_t kVerifyDirect = 0x42330006;
constexpr std::uint32_t kVerifyStart = 0x42330001;
constexpr std::uint32_t kVerifyFinish = 0x42330002;
constexpr std::uint32_t kModifyDirect = 0x42330007;
constexpr std::uint32_t kKeyPressed = 0x42330005;

Bytes feature(std::uint8_t tag, std::uint32_t code) {
    return {tag, 0x04, static_cast<std::uint8_t>(code >> 24), static_cast<std::uint8_t>(code >> 16),
            static_cast<std::uint8_t>(code >> 8), static_cast<std::uint8_t>(code)};
}

Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& part : parts) out.insert(out.end(), part.begin(), part.end());
    return out;
}

class ControlTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(card.Connect("Reader 0", 0x77), 0u); }
    // Discovers the given feature list on the card's reader.
    bool discover(const Bytes& list) {
        script.controlAnswers.push_back({SCARD_S_SUCCESS, list});
        const bool pinPad = card.RefreshPinPadFeatures();
        script.controls.clear();
        return pinPad;
    }
    Bytes response() const { return Bytes(card.Response(), card.Response() + card.ResponseLength()); }

    ScopedTraceFile trace;
    ScriptedPcsc pcsc;
    kivo::test::PcscScript& script = pcsc.script;
    CSC_Transport card;
};

TEST_F(ControlTest, OutputSizeFollowsTheResponseCapacity) {
    const std::vector<std::pair<std::uint32_t, DWORD>> sizes = {
        {256, 258}, {0x10002, 0x10000}, {1000, 258}, {0x10003, 258}, {10, 12}, {0, 2}};
    const Bytes input = {0x01};
    for (const auto& [capacity, expected] : sizes) {
        SCOPED_TRACE(capacity);
        script.controls.clear();
        script.controlAnswers.push_back({SCARD_S_SUCCESS, {0x90, 0x00}});
        card.SetResponseCapacity(capacity);
        ASSERT_TRUE(card.TransmitControl(kVerifyDirect, input.data(), 1));
        ASSERT_EQ(script.controls.size(), 1u);
        EXPECT_EQ(script.controls[0].outputSize, expected);
        EXPECT_EQ(script.controls[0].code, kVerifyDirect);
        EXPECT_EQ(script.controls[0].input, input);
    }
}

TEST_F(ControlTest, AnswerWithoutInputIsTakenWhole) {
    script.controlAnswers.push_back({SCARD_S_SUCCESS, {0x90, 0x00}});
    card.SetResponseCapacity(256);
    ASSERT_TRUE(card.TransmitControl(kVerifyDirect, Bytes{1}.data(), 1));
    ASSERT_EQ(card.StatusWord(), 0x9000);

    script.controlAnswers.push_back({SCARD_S_SUCCESS, {0x0D, 0x63, 0xC1}});
    card.SetResponseCapacity(256);
    ASSERT_TRUE(card.TransmitControl(kKeyPressed, nullptr, 0));
    EXPECT_TRUE(script.controls.back().inputIsNull);
    EXPECT_EQ(response(), (Bytes{0x0D, 0x63, 0xC1}));
    EXPECT_EQ(card.StatusWord(), 0x9000);  // no status word taken
}

TEST_F(ControlTest, AnswerWithInputIsSplitIntoDataAndStatusWord) {
    script.controlAnswers.push_back({SCARD_S_SUCCESS, {0xAA, 0xBB, 0x63, 0xC2}});
    card.SetResponseCapacity(256);
    ASSERT_TRUE(card.TransmitControl(kVerifyDirect, Bytes{1, 2, 3}.data(), 3));
    EXPECT_EQ(response(), (Bytes{0xAA, 0xBB}));
    EXPECT_EQ(card.StatusWord(), 0x63C2);

    // One byte leaves the status word.
    script.controlAnswers.push_back({SCARD_S_SUCCESS, {0x90}});
    ASSERT_TRUE(card.TransmitControl(kVerifyDirect, Bytes{1}.data(), 1));
    EXPECT_EQ(card.StatusWord(), 0x63C2);
}

TEST_F(ControlTest, T0MoreDataAfterAPinPadRequestIsFetched) {
    script.protocol = SCARD_PROTOCOL_T0;
    script.controlAnswers.push_back({SCARD_S_SUCCESS, {0x61, 0x02}});
    script.answers.push_back({0x12, 0x34, 0x90, 0x00});
    card.SetResponseCapacity(256);
    ASSERT_TRUE(card.TransmitControl(kVerifyDirect, Bytes{9}.data(), 1));
    ASSERT_EQ(script.transmits.size(), 1u);
    EXPECT_EQ(script.transmits[0].apdu, (Bytes{0x00, 0xC0, 0x00, 0x00, 0x02}));
    EXPECT_EQ(response(), (Bytes{0x12, 0x34}));
    EXPECT_EQ(card.StatusWord(), 0x9000);
}

TEST_F(ControlTest, FailingRequestReturnsFalseAndKeepsTheStatusWord) {
    script.controlAnswers.push_back({SCARD_S_SUCCESS, {0x90, 0x00}});
    ASSERT_TRUE(card.TransmitControl(kVerifyDirect, Bytes{1}.data(), 1));
    script.controlAnswers.push_back({SCARD_E_NOT_TRANSACTED, {}});
    EXPECT_FALSE(card.TransmitControl(kVerifyDirect, Bytes{1}.data(), 1));
    EXPECT_EQ(card.StatusWord(), 0x9000);
}

TEST_F(ControlTest, FeatureObjectAndReaderSystemName) {
    EXPECT_EQ(card.PinPadFeatures(), nullptr);
    EXPECT_TRUE(discover(concat({feature(0x06, kVerifyDirect), feature(0x20, 0x42330020)})));
    ASSERT_NE(card.PinPadFeatures(), nullptr);
    EXPECT_EQ(card.PinPadFeatures()->handle(), card.Handle());
    EXPECT_TRUE(card.IsPaceAvailable());
    EXPECT_EQ(card.ReaderSystemName(), "vpcd 0");

    script.attribResult = SCARD_E_UNSUPPORTED_FEATURE;
    EXPECT_FALSE(discover({}));
    EXPECT_FALSE(card.IsPaceAvailable());
    EXPECT_EQ(card.ReaderSystemName(), "UNKNOWN");
}

TEST_F(ControlTest, VerifyUsesStartBeforeDirect) {
    card.SetVerifyStruct(Bytes(23, 0x1E));
    ASSERT_TRUE(discover(concat({feature(0x06, kVerifyDirect), feature(0x01, kVerifyStart),
                                 feature(0x02, kVerifyFinish)})));
    script.controlAnswers.push_back({SCARD_S_SUCCESS, {}});
    EXPECT_EQ(card.StartVerifyPinPad(), 0u);
    ASSERT_EQ(script.controls.size(), 1u);
    EXPECT_EQ(script.controls[0].code, kVerifyStart);
    EXPECT_EQ(script.controls[0].input, Bytes(23, 0x1E));
    EXPECT_EQ(script.controls[0].outputSize, 258u);

    script.controlAnswers.push_back({SCARD_S_SUCCESS, {0x90, 0x00}});
    EXPECT_TRUE(card.FinishVerifyPinPad());
    ASSERT_EQ(script.controls.size(), 2u);
    EXPECT_EQ(script.controls[1].code, kVerifyFinish);
    EXPECT_EQ(script.controls[1].input, (Bytes{0xFF, 0xFF}));
    EXPECT_EQ(card.StatusWord(), 0x9000);
}

TEST_F(ControlTest, DirectVerifyLeavesTheCardStatusAndFinishSendsNothing) {
    card.SetVerifyStruct(Bytes(23, 0x00));
    ASSERT_TRUE(discover(feature(0x06, kVerifyDirect)));
    script.controlAnswers.push_back({SCARD_S_SUCCESS, {0x63, 0xC2}});
    EXPECT_EQ(card.StartVerifyPinPad(), 0u);
    EXPECT_EQ(script.controls.at(0).code, kVerifyDirect);
    EXPECT_EQ(card.StatusWord(), 0x63C2);
    EXPECT_TRUE(card.FinishVerifyPinPad());
    EXPECT_TRUE(card.FinishModifyPinPad());
    EXPECT_EQ(script.controls.size(), 1u);

    script.controlAnswers.push_back({SCARD_E_TIMEOUT, {}});
    EXPECT_EQ(card.StartVerifyPinPad(), 1u);
}

TEST_F(ControlTest, PinPadOperationsWithoutFeaturesFail) {
    card.SetVerifyStruct(Bytes(23, 0x00));
    card.SetModifyStruct(Bytes(28, 0x00));
    EXPECT_EQ(card.StartVerifyPinPad(), 1u);  // no feature object yet
    ASSERT_FALSE(discover(feature(0x05, kKeyPressed)));
    EXPECT_EQ(card.StartVerifyPinPad(), 1u);
    EXPECT_EQ(card.StartModifyPinPad(), 1u);
    EXPECT_TRUE(script.controls.empty());

    // A modify feature without a modify structure is refused as well.
    card.SetModifyStruct({});
    ASSERT_TRUE(discover(feature(0x07, kModifyDirect)));
    EXPECT_EQ(card.StartModifyPinPad(), 1u);
    EXPECT_TRUE(script.controls.empty());
}

TEST_F(ControlTest, ModifyUsesDirectWhenStartIsMissing) {
    card.SetModifyStruct(Bytes(28, 0x03));
    ASSERT_TRUE(discover(feature(0x07, kModifyDirect)));
    script.controlAnswers.push_back({SCARD_S_SUCCESS, {0x90, 0x00}});
    EXPECT_EQ(card.StartModifyPinPad(), 0u);
    EXPECT_EQ(script.controls.at(0).code, kModifyDirect);
    EXPECT_EQ(script.controls.at(0).input, Bytes(28, 0x03));
}

TEST_F(ControlTest, KeyPressed) {
    EXPECT_EQ(card.GetKeyPressed(), 1);  // no feature object
    ASSERT_TRUE(discover(concat({feature(0x06, kVerifyDirect), feature(0x05, kKeyPressed)})));
    script.controlAnswers.push_back({SCARD_S_SUCCESS, {0x0D}});
    EXPECT_EQ(card.GetKeyPressed(), 0x0D);
    EXPECT_EQ(script.controls.back().code, kKeyPressed);
    EXPECT_TRUE(script.controls.back().inputIsNull);
    script.controlAnswers.push_back({SCARD_S_SUCCESS, {0x0D, 0x00}});
    EXPECT_EQ(card.GetKeyPressed(), 0);
    script.controlAnswers.push_back({SCARD_E_NOT_TRANSACTED, {}});
    EXPECT_EQ(card.GetKeyPressed(), 0);

    ASSERT_TRUE(discover(feature(0x06, kVerifyDirect)));
    EXPECT_EQ(card.GetKeyPressed(), 1);
    EXPECT_TRUE(script.controls.empty());
}

}  // namespace
