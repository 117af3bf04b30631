// Pin-pad feature discovery (CSC_Pcsc) through a scripted reader.

#include "tests/support/card/PcscScript.h"

#include "smartcard/transport/SC_Pcsc.h"

#include <gtest/gtest.h>

namespace {

using kivo::test::Bytes;
using kivo::test::ScopedTraceFile;
using kivo::test::ScriptedPcsc;

class FeatureTest : public ::testing::Test {
protected:
    ScopedTraceFile trace;
    ScriptedPcsc pcsc;
    kivo::test::PcscScript& script = pcsc.script;
};

TEST_F(FeatureTest, VerifyModifyKeyPressedAndPace) {
    script.controlAnswers.push_back({SCARD_S_SUCCESS,
                                     {0x06, 0x04, 0x42, 0x33, 0x00, 0x06,   //
                                      0x07, 0x04, 0x42, 0x33, 0x00, 0x07,   //
                                      0x05, 0x04, 0x42, 0x33, 0x00, 0x05,   //
                                      0x20, 0x04, 0x42, 0x33, 0x00, 0x20}});
    const CSC_Pcsc features(0x99);
    // The request: feature request code, no input, 256 bytes of room.
    ASSERT_EQ(script.controls.size(), 1u);
    EXPECT_EQ(script.controls[0].code, static_cast<DWORD>(CM_IOCTL_GET_FEATURE_REQUEST));
    EXPECT_EQ(CSC_Pcsc::featureRequestCode(), 0x42000000u + 3400u);
    EXPECT_TRUE(script.controls[0].input.empty());
    EXPECT_EQ(script.controls[0].outputSize, 256u);

    EXPECT_EQ(features.handle(), 0x99);
    EXPECT_TRUE(features.isPinPad());
    EXPECT_TRUE(features.isPace());
    EXPECT_EQ(features.featureCount(), 4u);
    // Control codes are big-endian in the answer.
    EXPECT_EQ(features.verifyPinDirect(), 0x42330006u);
    EXPECT_EQ(features.modifyPinDirect(), 0x42330007u);
    EXPECT_EQ(features.getKeyPressed(), 0x42330005u);
    EXPECT_EQ(features.executePace(), 0x42330020u);
    EXPECT_EQ(features.verifyPinStart(), 0u);
    EXPECT_EQ(features.verifyPinFinish(), 0u);
    EXPECT_EQ(features.modifyPinStart(), 0u);
    EXPECT_EQ(features.modifyPinFinish(), 0u);
    EXPECT_EQ(features.controlCode(CSC_Pcsc::cFeatureExecutePace), 0x42330020u);
    EXPECT_EQ(features.rawAnswer()[0], 0x06);
}

TEST_F(FeatureTest, ThirteenByteAnswerGivesNoFeatures) {
    Bytes answer = {0x06, 0x04, 0x42, 0x33, 0x00, 0x06, 0x07, 0x04, 0x42, 0x33, 0x00, 0x07, 0x05};
    script.controlAnswers.push_back({SCARD_S_SUCCESS, answer});
    const CSC_Pcsc features(1);
    EXPECT_FALSE(features.isPinPad());
    EXPECT_FALSE(features.isPace());
    EXPECT_EQ(features.featureCount(), 0u);
    EXPECT_EQ(features.verifyPinDirect(), 0u);
    EXPECT_EQ(features.modifyPinDirect(), 0u);
}

TEST_F(FeatureTest, FailingRequestGivesNoFeatures) {
    script.controlAnswers.push_back({SCARD_E_UNSUPPORTED_FEATURE, {}});
    const CSC_Pcsc features(1);
    EXPECT_FALSE(features.isPinPad());
    EXPECT_FALSE(features.isPace());
    EXPECT_EQ(features.featureCount(), 0u);
}

TEST_F(FeatureTest, EmptyAnswerGivesNoFeatures) {
    script.controlAnswers.push_back({SCARD_S_SUCCESS, {}});
    const CSC_Pcsc features(1);
    EXPECT_FALSE(features.isPinPad());
    EXPECT_EQ(features.featureCount(), 0u);
}

TEST_F(FeatureTest, StartFeaturesMakeAPinPadFinishAndKeyAloneDoNot) {
    script.controlAnswers.push_back({SCARD_S_SUCCESS,
                                     {0x02, 0x04, 0x00, 0x00, 0x00, 0x02,   //
                                      0x05, 0x04, 0x00, 0x00, 0x00, 0x05,   //
                                      0x12, 0x04, 0x00, 0x00, 0x00, 0x12}});
    const CSC_Pcsc finishOnly(1);
    EXPECT_FALSE(finishOnly.isPinPad());
    EXPECT_EQ(finishOnly.verifyPinFinish(), 2u);
    EXPECT_EQ(finishOnly.featureCount(), 3u);
    // Unknown tags are skipped.
    EXPECT_EQ(finishOnly.controlCode(0x12), 0u);

    script.controlAnswers.push_back({SCARD_S_SUCCESS,
                                     {0x01, 0x04, 0x00, 0x31, 0x35, 0x01,   //
                                      0x03, 0x04, 0x00, 0x31, 0x35, 0x03}});
    const CSC_Pcsc start(1);
    EXPECT_TRUE(start.isPinPad());
    EXPECT_FALSE(start.isPace());
    EXPECT_EQ(start.verifyPinStart(), 0x00313501u);
    EXPECT_EQ(start.modifyPinStart(), 0x00313503u);
}

}  // namespace
