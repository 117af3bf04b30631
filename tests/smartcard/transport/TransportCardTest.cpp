// The library's own PC/SC layer against the virtual card through real
// pcsc-lite: the reader list and states as CReader sees them, and every
// command layout of CSC_Transport as the card receives it.

#include "tests/support/card/VcardSession.h"

#include "smartcard/transport/Reader.h"
#include "smartcard/transport/SC_Transport.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace kivo::test {
namespace {

// The answer to reset of cards/test_card.txt as CReader writes it.
const std::string kAtrText = "3B:8A:80:01:4B:49:56:4F:56:43:41:52:44:31:63";

int readerIndex(const CReader& readers, const std::string& name) {
    for (int i = 0; i < readers.GetReaderCount(); ++i) {
        if (readers.GetReaderName(i) == name) return i;
    }
    return -1;
}

TEST_F(VcardTest, ReaderListShowsTheVirtualCard) {
    CReader readers;
    ASSERT_TRUE(readers.HasContext());
    ASSERT_EQ(readers.RefreshReaderStates(), SCARD_S_SUCCESS);
    const int index = readerIndex(readers, session.reader());
    ASSERT_GE(index, 0) << session.reader() << " is not listed";
    EXPECT_TRUE(readers.IsCardPresent(index));
    EXPECT_EQ(readers.GetATRText(index), kAtrText);
    EXPECT_FALSE(readers.IsPinPadReader(index)) << "vpcd offers no secure PIN entry";

    // vpcd also shows a slot that scripts/test.sh leaves empty.
    for (int i = 0; i < readers.GetReaderCount(); ++i) {
        if (i == index || readers.IsCardPresent(i)) continue;
        EXPECT_EQ(readers.GetATRText(i), "---") << readers.GetReaderName(i);
    }
    EXPECT_EQ(readers.GetReaderName(readers.GetReaderCount()), "");
    EXPECT_FALSE(readers.IsCardPresent(-1));
}

class TransportCardTest : public VcardTest {
protected:
    void SetUp() override {
        VcardTest::SetUp();
        if (IsSkipped()) return;
        ASSERT_EQ(card.Connect(session.reader().c_str(), 0), 0u);
        session.markRecord();
    }
    // Sends one prepared command and returns what the card received.
    std::string sentAs(std::uint32_t apduCase, std::uint8_t ins, std::uint8_t p1, std::uint8_t p2,
                       std::uint16_t lc, std::uint16_t le, const CardBytes& data) {
        session.markRecord();
        card.SetApdu(apduCase, 0x00, ins, p1, p2, lc, le, data.empty() ? nullptr : data.data(),
                     static_cast<std::uint16_t>(data.size()));
        EXPECT_TRUE(card.SendToCard());
        const auto exchanges = session.recorded();
        return exchanges.size() == 1 ? exchanges[0].command : "(" + std::to_string(exchanges.size()) + " exchanges)";
    }
    CSC_Transport card;
};

TEST_F(TransportCardTest, EveryCommandCaseIsLaidOutByteForByte) {
    const CardBytes fid = {0x01, 0x01};
    EXPECT_EQ(sentAs(1, 0x84, 0x00, 0x00, 0, 0, {}), "00840000");
    for (std::uint32_t headerAndLc : {0u, 3u, 4u}) {
        SCOPED_TRACE(headerAndLc);
        EXPECT_EQ(sentAs(headerAndLc, 0xB0, 0x00, 0x10, 0x20, 0, {}), "00B0001020");
    }
    EXPECT_EQ(sentAs(2, 0x84, 0x00, 0x00, 0, 8, {}), "0084000008");
    EXPECT_EQ(sentAs(5, 0xA4, 0x02, 0x04, 2, 0, fid), "00A4020402010100");
    EXPECT_EQ(card.StatusWord(), 0x9000);
    EXPECT_GT(card.ResponseLength(), 0u) << "the FCP of the selected file";
    EXPECT_EQ(card.Response()[0], 0x62);
    EXPECT_EQ(sentAs(6, 0xA4, 0x02, 0x0C, 2, 0, fid), "00A4020C020101");
    EXPECT_EQ(sentAs(7, 0xCA, 0x01, 0x01, 1, 0x0100, {0x00}), "00CA0101000001000100");
    EXPECT_EQ(card.StatusWord(), 0x9000);
    EXPECT_EQ(hexText(CardBytes(card.Response(), card.Response() + card.ResponseLength())),
              "4B49564F0000002A");
}

TEST_F(TransportCardTest, CommandDataShorterThanLcIsNotSent) {
    const CardBytes one = {0x01};
    card.SetApdu(6, 0x00, 0xD6, 0x00, 0x00, 2, 0, one.data(), 1);
    EXPECT_FALSE(card.SendToCard());
    card.SetApdu(9, 0x00, 0xB0, 0x00, 0x00, 0, 0, nullptr, 0);
    EXPECT_FALSE(card.SendToCard());
    EXPECT_TRUE(session.recorded().empty());
}

TEST_F(TransportCardTest, ExtendedAnswersTakeAtMost510DataBytesUnlessTheCardSends512) {
    // GET DATA 01 02 answers 512 bytes: one status word too many for the
    // 512-byte receive buffer of ordinary cards.
    const CardBytes zero = {0x00};
    card.SetApdu(7, 0x00, 0xCA, 0x01, 0x02, 1, 0x0200, zero.data(), 1);
    EXPECT_FALSE(card.SendToCard());
    EXPECT_EQ(session.recorded().size(), 1u) << "the card did answer";

    struct FullAnswers : CSC_Transport {
        bool ReceivesFull512ByteAnswers() const override { return true; }
    } dtrust;
    ASSERT_EQ(dtrust.Connect(session.reader().c_str(), 0), 0u);
    dtrust.SetApdu(7, 0x00, 0xCA, 0x01, 0x02, 1, 0x0200, zero.data(), 1);
    ASSERT_TRUE(dtrust.SendToCard());
    EXPECT_EQ(dtrust.StatusWord(), 0x9000);
    ASSERT_EQ(dtrust.ResponseLength(), 512u);
    for (std::uint32_t i = 0; i < 512; ++i) ASSERT_EQ(dtrust.Response()[i], i & 0xFF) << i;
}

TEST_F(TransportCardTest, ProtocolFollowsTheCardAndReconnectKeepsTheActiveOne) {
    EXPECT_EQ(sentAs(2, 0x84, 0x00, 0x00, 0, 8, {}), "0084000008");
    EXPECT_EQ(card.UsesT1(), session.protocol() == SCARD_PROTOCOL_T1);
    session.markRecord();
    EXPECT_EQ(card.ReconnectProtocol(session.protocol()), SCARD_S_SUCCESS);
    EXPECT_EQ(sentAs(2, 0x84, 0x00, 0x00, 0, 8, {}), "0084000008");
    EXPECT_EQ(card.StatusWord(), 0x9000);
}

}  // namespace
}  // namespace kivo::test
