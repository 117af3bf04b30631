// CReader through a scripted PC/SC layer: reader list, names, card presence,
// ATR text and pin-pad detection.

#include "tests/support/card/PcscScript.h"

#include "smartcard/transport/Reader.h"

#include <gtest/gtest.h>

namespace {

using kivo::test::Bytes;
using kivo::test::ScopedTraceFile;
using kivo::test::ScriptedPcsc;

class ReaderTest : public ::testing::Test {
protected:
    ScopedTraceFile trace;
    ScriptedPcsc pcsc;
    kivo::test::PcscScript& script = pcsc.script;
};

TEST_F(ReaderTest, ListsReadersByIndex) {
    script.readers = {"Virtual PCD 00 00", "Virtual PCD 00 01"};
    CReader reader;
    EXPECT_TRUE(reader.HasContext());
    ASSERT_EQ(reader.GetReaderCount(), 2);
    EXPECT_EQ(reader.GetReaderName(0), "Virtual PCD 00 00");
    EXPECT_EQ(reader.GetReaderName(1), "Virtual PCD 00 01");
    EXPECT_EQ(reader.GetReaderName(2), "");
    EXPECT_EQ(reader.GetReaderName(-1), "");
}

TEST_F(ReaderTest, NoReadersGivesAnEmptyList) {
    script.listResult = SCARD_E_NO_READERS_AVAILABLE;
    CReader reader;
    EXPECT_EQ(reader.GetReaderCount(), 0);
    EXPECT_EQ(reader.RefreshReaderStates(), -1);
    EXPECT_FALSE(reader.IsCardPresent(0));
    EXPECT_EQ(reader.GetATRText(0), "---");
    EXPECT_FALSE(reader.IsPinPadReader(0));
}

TEST_F(ReaderTest, FailingContextGivesNoReaders) {
    script.establishResult = SCARD_E_NO_SERVICE;
    script.readers = {"Reader"};
    {
        CReader reader;
        EXPECT_FALSE(reader.HasContext());
        EXPECT_EQ(reader.GetReaderCount(), 0);
    }
    EXPECT_EQ(script.releaseCalls, 0);
}

TEST_F(ReaderTest, ListWithoutFinalTerminatorIsBoundedByItsLength) {
    script.useRawList = true;
    script.rawList = std::string("A\0BC", 4);  // second name not terminated
    CReader reader;
    ASSERT_EQ(reader.GetReaderCount(), 2);
    EXPECT_EQ(reader.GetReaderName(0), "A");
    EXPECT_EQ(reader.GetReaderName(1), "BC");
}

TEST_F(ReaderTest, CardPresenceAndAtrText) {
    script.readers = {"with card", "empty"};
    script.atrs["with card"] = {0x3B, 0x8F, 0x80, 0x01, 0x0a};
    CReader reader;
    EXPECT_TRUE(reader.IsCardPresent(0));
    EXPECT_FALSE(reader.IsCardPresent(1));
    EXPECT_EQ(reader.GetATRText(0), "3B:8F:80:01:0A");
    EXPECT_EQ(reader.GetATRText(1), "---");
    EXPECT_EQ(reader.GetATRText(7), "---");
    // Every refresh asks for all readers, unaware of their state, without timeout.
    ASSERT_FALSE(script.statusChangeTimeouts.empty());
    for (DWORD timeout : script.statusChangeTimeouts) EXPECT_EQ(timeout, 0xFFFFFFFFu);
    for (DWORD state : script.statusChangeCurrentStates) EXPECT_EQ(state, SCARD_STATE_UNAWARE);
    EXPECT_EQ(script.statusChangeCurrentStates.size(), 2 * script.statusChangeTimeouts.size());
}

TEST_F(ReaderTest, ReleasesWhatPcscGaveIt) {
    script.readers = {"one"};
    {
        CReader reader;
        EXPECT_EQ(reader.RefreshReaderStates(), SCARD_S_SUCCESS);
    }
    EXPECT_EQ(script.freeCalls, 1);
    EXPECT_EQ(script.releaseCalls, 1);
}

TEST_F(ReaderTest, PinPadReaderIsDetectedAndTheCardLeftInPlace) {
    script.readers = {"pinpad"};
    script.controlAnswers.push_back(
        {SCARD_S_SUCCESS, {0x06, 0x04, 0x42, 0x33, 0x00, 0x06}});
    CReader reader;
    EXPECT_TRUE(reader.IsPinPadReader(0));
    ASSERT_EQ(script.connectedReaders.size(), 1u);
    EXPECT_EQ(script.connectedReaders[0], "pinpad");
    ASSERT_EQ(script.disconnects.size(), 1u);
    EXPECT_EQ(script.disconnects[0].second, static_cast<DWORD>(SCARD_LEAVE_CARD));
}

TEST_F(ReaderTest, ReaderWithoutFeaturesOrCardIsNoPinPad) {
    script.readers = {"plain"};
    script.controlAnswers.push_back({SCARD_E_UNSUPPORTED_FEATURE, {}});
    CReader reader;
    EXPECT_FALSE(reader.IsPinPadReader(0));
    script.connectResult = SCARD_E_NO_SMARTCARD;
    EXPECT_FALSE(reader.IsPinPadReader(0));
    EXPECT_EQ(script.disconnects.size(), 1u);
}

}  // namespace
