// CSC_Profile_Base against the virtual card through pcsc-lite: file
// selection with the cache of the current file, chunked reading and
// writing, record files, and the read/write primitives. Every test checks
// the commands as the card received them.

#include "tests/smartcard/base/TestProfile.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace kivo::test {
namespace {

using Bytes = CSC_Profile_Base::Bytes;
using Commands = std::vector<std::string>;
using apdu::kSelectMf;
using apdu::selectDf;
using apdu::selectEf;

constexpr CardResult kOk = kivo::card::cOk;
constexpr CardResult kFailed = kivo::card::cFailed;

const std::string kPkcs15Aid = "A000000063504B43532D3135";
const std::string kDirRecord1 = "61164F0CA000000063504B43532D31355006504B43533135";
const std::string kDirRecord2 = "610C4F08D2760000850101005000";

std::string hexOf(const Bytes& bytes) { return hexText(bytes); }

// ---- chunked reading ----------------------------------------------------

TEST_F(ProfileCardTest, ReadFileReadsFiveHundredBytesAs240Plus240Plus20) {
    // A new card object takes the MF as current: only the EF is selected.
    ASSERT_EQ(profile.SelectPath("3f00/0101"), kOk);
    EXPECT_EQ(sent(), (Commands{selectEf("0101")}));
    session.markRecord();

    Bytes out;
    ASSERT_EQ(profile.ReadFile(out), kOk);
    EXPECT_EQ(out, sequenceBytes(0, 500));
    EXPECT_EQ(sent(), (Commands{"00B00000F0", "00B000F0F0", "00B001E014"}));
}

TEST_F(ProfileCardTest, BlockSizeSetsTheChunksThroughItsLowByte) {
    ASSERT_EQ(profile.SelectPath("3f00/0101"), kOk);
    Bytes out;

    profile.SetBlockSize(100);
    session.markRecord();
    ASSERT_EQ(profile.SelectPath("3f00/0101", false, true), kOk);  // fresh control information
    ASSERT_EQ(profile.ReadFile(out), kOk);
    EXPECT_EQ(out, sequenceBytes(0, 500));
    EXPECT_EQ(sent(), (Commands{selectEf("0101"), "00B0000064", "00B0006464", "00B000C864",
                                "00B0012C64", "00B0019064"}));

    // 0x0180: only the low byte (128) counts.
    profile.SetBlockSize(0x0180);
    session.markRecord();
    ASSERT_EQ(profile.SelectPath("3f00/0101", false, true), kOk);
    ASSERT_EQ(profile.ReadFile(out), kOk);
    EXPECT_EQ(out, sequenceBytes(0, 500));
    EXPECT_EQ(sent(), (Commands{selectEf("0101"), "00B0000080", "00B0008080", "00B0010080",
                                "00B0018074"}));
}

TEST_F(ProfileCardTest, ReadFilePartAndReadFileOffsetStopAtTheRequestedLength) {
    ASSERT_EQ(profile.SelectPath("3f00/0101"), kOk);
    Bytes out;

    session.markRecord();
    ASSERT_EQ(profile.ReadFilePart(out, 300), kOk);
    EXPECT_EQ(out, sequenceBytes(0, 300));
    EXPECT_EQ(sent(), (Commands{"00B00000F0", "00B000F03C"}));

    // Asking for more than the file holds reads the file.
    ASSERT_EQ(profile.SelectPath("3f00/0101", false, true), kOk);
    session.markRecord();
    ASSERT_EQ(profile.ReadFilePart(out, 1000), kOk);
    EXPECT_EQ(out, sequenceBytes(0, 500));
    EXPECT_EQ(sent(), (Commands{"00B00000F0", "00B000F0F0", "00B001E014"}));

    ASSERT_EQ(profile.SelectPath("3f00/0101", false, true), kOk);
    session.markRecord();
    ASSERT_EQ(profile.ReadFileOffset(out, 100, 300), kOk);
    EXPECT_EQ(out, sequenceBytes(100, 300));
    EXPECT_EQ(sent(), (Commands{"00B00064F0", "00B001543C"}));

    // From offset 480 only 20 bytes are left.
    ASSERT_EQ(profile.SelectPath("3f00/0101", false, true), kOk);
    session.markRecord();
    ASSERT_EQ(profile.ReadFileOffset(out, 480, 100), kOk);
    EXPECT_EQ(out, sequenceBytes(480, 20));
    EXPECT_EQ(sent(), (Commands{"00B001E014"}));
}

TEST_F(ProfileCardTest, ReadEndingWithEndOfFileKeepsTheBytesReceived) {
    // The control information claims 100 bytes; the file has 5.
    ASSERT_EQ(profile.SelectPath("3f00/5015/c001"), kOk);
    profile.claimedFileLength = 100;
    Bytes out;

    session.markRecord();
    ASSERT_EQ(profile.ReadFile(out), kOk);
    EXPECT_EQ(hexOf(out), "0102030405");
    auto exchanges = session.recorded();
    ASSERT_EQ(exchanges.size(), 1u);
    EXPECT_EQ(exchanges[0], (RecordedExchange{"00B0000064", "01020304056282"}));

    session.markRecord();
    ASSERT_EQ(profile.ReadFilePart(out, 50), kOk);
    EXPECT_EQ(hexOf(out), "0102030405");
    EXPECT_EQ(sent(), (Commands{"00B0000032"}));

    session.markRecord();
    ASSERT_EQ(profile.ReadFileOffset(out, 2, 50), kOk);
    EXPECT_EQ(hexOf(out), "030405");
    EXPECT_EQ(sent(), (Commands{"00B0000232"}));

    // 600 claimed for the 500-byte file: the third chunk (120 of the
    // claimed rest) meets the end and ends the loop.
    ASSERT_EQ(profile.SelectPath("3f00/0101"), kOk);
    profile.claimedFileLength = 600;
    session.markRecord();
    ASSERT_EQ(profile.ReadFile(out), kOk);
    EXPECT_EQ(out, sequenceBytes(0, 500));
    exchanges = session.recorded();
    ASSERT_EQ(exchanges.size(), 3u);
    EXPECT_EQ(exchanges[2].command, "00B001E078");
    EXPECT_EQ(exchanges[2].response, hexText(sequenceBytes(480, 20)) + "6282");
}

TEST_F(ProfileCardTest, NoCurrentEfSelectsTheEfAgainAndRetriesTheChunkOnce) {
    ASSERT_EQ(profile.SelectPath("3f00/0101"), kOk);
    // Another application selects the MF: the card has no current EF any
    // more, while the profile still holds 0101 as its current file.
    ASSERT_EQ(session.send("00A4000C023F00"), 0x9000);
    session.markRecord();

    Bytes out;
    ASSERT_EQ(profile.ReadFile(out), kOk);
    EXPECT_EQ(out, sequenceBytes(0, 500));
    auto exchanges = session.recorded();
    ASSERT_EQ(exchanges.size(), 5u);
    EXPECT_EQ(exchanges[0], (RecordedExchange{"00B00000F0", "6986"}));
    EXPECT_EQ(exchanges[1].command, selectEf("0101"));
    EXPECT_EQ(exchanges[2].command, "00B00000F0");
    EXPECT_EQ(exchanges[3].command, "00B000F0F0");
    EXPECT_EQ(exchanges[4].command, "00B001E014");
}

TEST_F(ProfileCardTest, ReadErrorIsReturnedByReadFileAndIs255ForThePartialReads) {
    // EF.DIR is a record file: its control information gives 38 bytes, and
    // READ BINARY is refused with 6981.
    Bytes out;
    ASSERT_EQ(profile.SelectPath("3f00/2f00"), kOk);
    session.markRecord();
    EXPECT_EQ(profile.ReadFile(out), kivo::card::cIncompatibleFile);
    EXPECT_EQ(sent(), (Commands{"00B0000026"}));

    ASSERT_EQ(profile.SelectPath("3f00/2f00", false, true), kOk);
    EXPECT_EQ(profile.ReadFilePart(out, 10), kFailed);
    ASSERT_EQ(profile.SelectPath("3f00/2f00", false, true), kOk);
    EXPECT_EQ(profile.ReadFileOffset(out, 4, 10), kFailed);
    EXPECT_EQ(sent(), (Commands{"00B0000026", selectEf("2F00"), "00B000000A", selectEf("2F00"),
                                "00B000040A"}));
}

// ---- record files ---------------------------------------------------------

TEST_F(ProfileCardTest, ReadAllRecordsDropsTwoBytesPerRecordAndFailsWithoutARecordOne) {
    ASSERT_EQ(profile.SelectPath("3f00/2f00"), kOk);
    EXPECT_EQ(sent(), (Commands{selectEf("2F00")}));
    session.markRecord();

    Bytes out;
    ASSERT_EQ(profile.ReadAllRecords(out), kOk);
    EXPECT_EQ(hexOf(out), kDirRecord1.substr(4) + kDirRecord2.substr(4));
    EXPECT_EQ(sent(), (Commands{"00B2010400", "00B2020400", "00B2030400"}));

    session.markRecord();
    ASSERT_EQ(profile.ReadRecord(2, out), kOk);
    EXPECT_EQ(hexOf(out), kDirRecord2);
    EXPECT_EQ(sent(), (Commands{"00B2020400"}));

    // A transparent file has no record 1.
    ASSERT_EQ(profile.SelectPath("3f00/0101"), kOk);
    session.markRecord();
    EXPECT_EQ(profile.ReadAllRecords(out), kFailed);
    EXPECT_EQ(sent(), (Commands{"00B2010400"}));
}

// ---- writing ----------------------------------------------------------------

TEST_F(ProfileCardTest, UpdateFileWritesChunksAtIncreasingOffsets) {
    restoreWriteFileAtEnd = true;
    ASSERT_EQ(profile.SelectPath("3f00/5015/0102"), kOk);
    Bytes data(64);
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(0xC0 ^ (3 * i));

    profile.SetBlockSize(16);
    session.markRecord();
    ASSERT_EQ(profile.UpdateFile(data.data(), 64), kOk);
    EXPECT_EQ(sent(), (Commands{"00D6000010" + hexOf(Bytes(data.begin(), data.begin() + 16)),
                                "00D6001010" + hexOf(Bytes(data.begin() + 16, data.begin() + 32)),
                                "00D6002010" + hexOf(Bytes(data.begin() + 32, data.begin() + 48)),
                                "00D6003010" + hexOf(Bytes(data.begin() + 48, data.end()))}));

    // Read back through the card.
    EXPECT_EQ(hexText(session.transmit(hexBytes("00B0000040"))), hexOf(data) + "9000");

    // 70 bytes do not fit into the 64-byte file: the last chunk is refused.
    Bytes longer = sequenceBytes(0x40, 70);
    profile.SetBlockSize(32);
    session.markRecord();
    EXPECT_EQ(profile.UpdateFile(longer.data(), 70), kFailed);
    auto exchanges = session.recorded();
    ASSERT_EQ(exchanges.size(), 3u);
    EXPECT_EQ(exchanges[2], (RecordedExchange{"00D6004006" + hexOf(Bytes(longer.begin() + 64, longer.end())),
                                              "6A84"}));

    // The described contents back, in one chunk.
    profile.SetBlockSize(240);
    session.markRecord();
    const Bytes original = sequenceBytes(0, 64);
    ASSERT_EQ(profile.UpdateFile(original.data(), 64), kOk);
    EXPECT_EQ(sent(), (Commands{"00D6000040" + hexOf(original)}));
}

TEST_F(ProfileCardTest, ReadWriteAndSelectPrimitivesMapTheStatusWords) {
    restoreWriteFileAtEnd = true;
    Bytes out;
    ASSERT_EQ(profile.SelectPath("3f00/0101"), kOk);
    session.markRecord();
    EXPECT_EQ(profile.SCReadBinary(out, 0x0123, 0x10), kOk);
    EXPECT_EQ(out, sequenceBytes(0x123, 16));
    EXPECT_EQ(profile.SCReadBinary(out, 490, 20), kivo::card::cEndOfFile);   // 6282
    EXPECT_EQ(profile.SCReadBinary(out, 501, 1), kFailed);                   // 6B00
    EXPECT_EQ(profile.SCReadRecord(1, out), kFailed);                        // 6981
    EXPECT_EQ(sent(), (Commands{"00B0012310", "00B001EA14", "00B001F501", "00B2010400"}));

    ASSERT_EQ(profile.SelectPath("3f00/2f00"), kOk);
    session.markRecord();
    EXPECT_EQ(profile.SCReadBinary(out, 0, 4), kivo::card::cIncompatibleFile);  // 6981
    EXPECT_EQ(profile.SCReadRecord(1, out), kOk);
    EXPECT_EQ(hexOf(out), kDirRecord1);
    EXPECT_EQ(profile.SCReadRecord(3, out), kFailed);  // 6A83
    EXPECT_EQ(sent(), (Commands{"00B0000004", "00B2010400", "00B2030400"}));

    ASSERT_EQ(session.send("00A4000C023F00"), 0x9000);  // no current EF
    EXPECT_EQ(profile.SCReadBinary(out, 0, 4), kivo::card::cNoCurrentEf);

    ASSERT_EQ(profile.SelectPath("3f00/5015/0102"), kOk);
    session.markRecord();
    const Bytes word = {0xCA, 0xFE, 0xBA, 0xBE};
    EXPECT_EQ(profile.SCWriteBinary(word.data(), 0x10, 4), kOk);
    EXPECT_EQ(profile.SCWriteBinary(word.data(), 62, 4), kFailed);  // 6A84: beyond the end
    EXPECT_EQ(sent(), (Commands{"00D6001004CAFEBABE", "00D6003E04CAFEBABE"}));
    EXPECT_EQ(hexText(session.transmit(hexBytes("00B0000E08"))), "0E0FCAFEBABE14159000");

    // A SELECT answered 6A82 is sent three times and gives 12.
    session.markRecord();
    const std::uint8_t missing[2] = {0x47, 0x11};
    EXPECT_EQ(profile.SCSelectEF(missing), kivo::card::cFileNotFound);
    EXPECT_EQ(sent(), (Commands(3, selectEf("4711"))));
}

// ---- the selection cache ------------------------------------------------------

TEST_F(ProfileCardTest, SelectPathSendsOnlyWhatTheCacheLacks) {
    ASSERT_EQ(profile.SelectPath("3f00/5015/c001"), kOk);
    EXPECT_EQ(sent(), (Commands{kSelectMf, selectDf("5015"), selectEf("C001")}));
    EXPECT_EQ(profile.GetCurrFilePath(), "3f005015c001");

    // A sibling in the same DF: one EF select.
    session.markRecord();
    ASSERT_EQ(profile.SelectPath("3f00/5015/c000"), kOk);
    EXPECT_EQ(sent(), (Commands{selectEf("C000")}));
    EXPECT_EQ(profile.GetCurrFilePath(), "3f005015c000");
    // ... and the card really is there: 300 bytes from its control information.
    Bytes out;
    ASSERT_EQ(profile.ReadFile(out), kOk);
    EXPECT_EQ(out, sequenceBytes(0, 300));

    // The same path again, with or without separators: nothing sent.
    session.markRecord();
    ASSERT_EQ(profile.SelectPath("3f00/5015/c000"), kOk);
    ASSERT_EQ(profile.SelectPath("3f005015c000"), kOk);
    ASSERT_EQ(profile.SelectPath("/3f00//5015/c000/"), kOk);
    EXPECT_TRUE(sent().empty()) << ::testing::PrintToString(sent());

    // With reselect: one SELECT of the last identifier.
    ASSERT_EQ(profile.SelectPath("3f005015c000", false, true), kOk);
    EXPECT_EQ(sent(), (Commands{selectEf("C000")}));
    EXPECT_EQ(profile.GetCurrFilePath(), "3f005015c000");

    // Another directory: from the MF on.
    session.markRecord();
    ASSERT_EQ(profile.SelectPath("3f00/0101"), kOk);
    EXPECT_EQ(sent(), (Commands{kSelectMf, selectEf("0101")}));
    EXPECT_EQ(profile.GetCurrFilePath(), "3f000101");

    // The MF alone.
    session.markRecord();
    ASSERT_EQ(profile.SelectPath("3f00"), kOk);
    EXPECT_EQ(sent(), (Commands{kSelectMf}));
    EXPECT_EQ(profile.GetCurrFilePath(), "3f00");
}

TEST_F(ProfileCardTest, ForceStartsWithTheMfAndEndsAtTheRequestedFile) {
    ASSERT_EQ(profile.SelectPath("3f00/5015/c001"), kOk);
    for (bool reselect : {false, true}) {
        SCOPED_TRACE(reselect ? "reselect" : "no reselect");
        session.markRecord();
        ASSERT_EQ(profile.SelectPath("3f00/5015/c001", true, reselect), kOk);
        Commands commands = sent();
        ASSERT_FALSE(commands.empty());
        EXPECT_EQ(commands.front(), kSelectMf);
        EXPECT_EQ(commands.back(), selectEf("C001"));
        EXPECT_EQ(profile.GetCurrFilePath(), "3f005015c001");
        // The card holds the file the cache names.
        Bytes out;
        ASSERT_EQ(profile.ReadFile(out), kOk);
        EXPECT_EQ(hexOf(out), "0102030405");
    }
}

TEST_F(ProfileCardTest, LastIsDfSelectsTheLastIdentifierAsDirectory) {
    ASSERT_EQ(profile.SelectPath("3f00/5015", false, false, true), kOk);
    EXPECT_EQ(sent(), (Commands{kSelectMf, selectDf("5015")}));
    EXPECT_EQ(profile.GetCurrFilePath(), "3f005015");

    session.markRecord();
    ASSERT_EQ(profile.SelectPath("3f00/5015", false, false, true), kOk);
    EXPECT_TRUE(sent().empty()) << ::testing::PrintToString(sent());

    // An EF in the DF: one select.
    ASSERT_EQ(profile.SelectPath("3f00/5015/c001"), kOk);
    EXPECT_EQ(sent(), (Commands{selectEf("C001")}));

    // Back to the DF: the cache drops the EF, so the EF is selected again next.
    session.markRecord();
    ASSERT_EQ(profile.SelectPath("3f00/5015", false, false, true), kOk);
    EXPECT_TRUE(sent().empty()) << ::testing::PrintToString(sent());
    EXPECT_EQ(profile.GetCurrFilePath(), "3f005015");
    ASSERT_EQ(profile.SelectPath("3f00/5015/c001"), kOk);
    EXPECT_EQ(sent(), (Commands{selectEf("C001")}));

    // The same identifiers without lastIsDF name an EF, which 5015 is not.
    session.markRecord();
    EXPECT_EQ(profile.SelectPath("3f00/5015"), kFailed);
    EXPECT_EQ(sent(), (Commands{kSelectMf, selectEf("5015"), selectEf("5015"), selectEf("5015")}));
    EXPECT_EQ(profile.GetCurrFilePath(), "3f00");
}

TEST_F(ProfileCardTest, PopCurrentFileReturnsToTheSavedFile) {
    ASSERT_EQ(profile.SelectPath("3f00/5015/c001"), kOk);
    profile.PushCurrentFile("");
    EXPECT_EQ(profile.FileStackDepth(), 1u);
    ASSERT_EQ(profile.SelectPath("3f00/0101"), kOk);

    session.markRecord();
    profile.PopCurrentFile();
    EXPECT_EQ(profile.FileStackDepth(), 0u);
    EXPECT_EQ(sent(), (Commands{kSelectMf, selectDf("5015"), selectEf("C001")}));
    EXPECT_EQ(profile.GetCurrFilePath(), "3f005015c001");
    Bytes out;
    ASSERT_EQ(profile.ReadFile(out), kOk);
    EXPECT_EQ(hexOf(out), "0102030405");

    // Popping the file that is current selects it once more (reselect).
    profile.PushCurrentFile("");
    session.markRecord();
    profile.PopCurrentFile();
    EXPECT_EQ(sent(), (Commands{selectEf("C001")}));

    // A path given to the push; an empty stack sends nothing.
    profile.PushCurrentFile("3f00/5015/c000");
    session.markRecord();
    profile.PopCurrentFile();
    EXPECT_EQ(sent(), (Commands{selectEf("C000")}));
    EXPECT_EQ(profile.GetCurrFilePath(), "3f005015c000");
    session.markRecord();
    profile.PopCurrentFile();
    EXPECT_TRUE(sent().empty()) << ::testing::PrintToString(sent());
    EXPECT_EQ(profile.FileStackDepth(), 0u);

    // The card left the DF behind the profile's back: the select of the
    // saved file fails, and the second try starts from the MF.
    profile.PushCurrentFile("3f00/5015/c001");
    ASSERT_EQ(session.send("00A4000C023F00"), 0x9000);
    session.markRecord();
    profile.PopCurrentFile();
    Commands commands = sent();
    ASSERT_GE(commands.size(), 5u);
    EXPECT_EQ(Commands(commands.begin(), commands.begin() + 4),
              (Commands{selectEf("C001"), selectEf("C001"), selectEf("C001"), kSelectMf}));
    EXPECT_EQ(commands.back(), selectEf("C001"));
    EXPECT_EQ(profile.GetCurrFilePath(), "3f005015c001");
    ASSERT_EQ(profile.ReadFile(out), kOk);
    EXPECT_EQ(hexOf(out), "0102030405");
}

TEST_F(ProfileCardTest, SelectByAidIsCachedUntilForcedWithReselect) {
    const std::string selectAid = "00A404040C" + kPkcs15Aid + "00";
    ASSERT_EQ(profile.SelectPath(kPkcs15Aid, false, false, false, true), kOk);
    EXPECT_EQ(sent(), (Commands{selectAid}));
    EXPECT_EQ(profile.GetCurrFilePath(), "a000000063504b43532d3135");

    // The same AID: nothing, unless both force and reselect are set.
    session.markRecord();
    ASSERT_EQ(profile.SelectPath(kPkcs15Aid, false, false, false, true), kOk);
    ASSERT_EQ(profile.SelectPath(kPkcs15Aid, false, true, false, true), kOk);
    ASSERT_EQ(profile.SelectPath(kPkcs15Aid, true, false, false, true), kOk);
    EXPECT_TRUE(sent().empty()) << ::testing::PrintToString(sent());
    ASSERT_EQ(profile.SelectPath(kPkcs15Aid, true, true, false, true), kOk);
    EXPECT_EQ(sent(), (Commands{kSelectMf, selectAid}));

    // A path after the AID starts from the MF.
    session.markRecord();
    ASSERT_EQ(profile.SelectPath("3f00/5015/c001"), kOk);
    EXPECT_EQ(sent(), (Commands{kSelectMf, selectDf("5015"), selectEf("C001")}));
}

TEST_F(ProfileCardTest, MissingFileFailsAndTheCacheDoesNotClaimIt) {
    ASSERT_EQ(profile.SelectPath("3f00/5015/c001"), kOk);

    // A missing EF in the current DF.
    session.markRecord();
    EXPECT_EQ(profile.SelectPath("3f00/5015/4711"), kFailed);
    EXPECT_EQ(sent(), (Commands(3, selectEf("4711"))));
    EXPECT_EQ(profile.GetCurrFilePath(), "3f005015");
    session.markRecord();
    ASSERT_EQ(profile.SelectPath("3f00/5015/c000"), kOk);
    EXPECT_EQ(sent(), (Commands{selectEf("C000")}));

    // A missing DF on the way.
    session.markRecord();
    EXPECT_EQ(profile.SelectPath("3f00/4711/c000"), kFailed);
    EXPECT_EQ(sent(), (Commands{kSelectMf, selectDf("4711"), selectDf("4711"), selectDf("4711")}));
    EXPECT_EQ(profile.GetCurrFilePath(), "3f00");
    session.markRecord();
    ASSERT_EQ(profile.SelectPath("3f00/0101"), kOk);
    EXPECT_EQ(sent(), (Commands{selectEf("0101")}));
}

}  // namespace
}  // namespace kivo::test
