// SendToCard, Connect and ReconnectProtocol through a scripted card: the
// APDU of every case byte for byte as PC/SC receives it, receive sizes,
// T=0 GET RESPONSE, T=1 pass-through, short answers, failures and removal.

#include "tests/support/card/PcscScript.h"

#include "smartcard/transport/SC_Transport.h"

#include <gtest/gtest.h>

#include <chrono>

namespace {

using kivo::test::Bytes;
using kivo::test::ScopedTraceFile;
using kivo::test::ScriptedPcsc;

class Transport : public CSC_Transport {
public:
    bool fullAnswers = false;

protected:
    bool ReceivesFull512ByteAnswers() const override { return fullAnswers; }
};

class TransmitTest : public ::testing::Test {
protected:
    void SetUp() override {
        script.readers = {"Reader 0"};
        ASSERT_EQ(card.Connect("Reader 0", 0x77), 0u);
    }
    Bytes response() const {
        return Bytes(card.Response(), card.Response() + card.ResponseLength());
    }

    ScopedTraceFile trace;
    ScriptedPcsc pcsc;
    kivo::test::PcscScript& script = pcsc.script;
    Transport card;
};

struct CaseLayout {
    std::uint32_t apduCase;
    std::uint16_t lc;
    std::uint16_t le;
    Bytes data;
    Bytes expected;
};

TEST_F(TransmitTest, EveryCaseIsLaidOutByteForByte) {
    const Bytes three = {0xA1, 0xA2, 0xA3};
    const std::vector<CaseLayout> cases = {
        {1, 0, 0, {}, {0x00, 0xA4, 0x01, 0x02}},
        {2, 0x33, 0x10, {}, {0x00, 0xA4, 0x01, 0x02, 0x10}},  // Le, not Lc
        {0, 0, 0, {}, {0x00, 0xA4, 0x01, 0x02, 0x00}},
        {3, 0, 0, {}, {0x00, 0xA4, 0x01, 0x02, 0x00}},
        {4, 0x08, 0, {}, {0x00, 0xA4, 0x01, 0x02, 0x08}},
        {5, 3, 0x20, three, {0x00, 0xA4, 0x01, 0x02, 0x03, 0xA1, 0xA2, 0xA3, 0x20}},
        {6, 3, 0x20, three, {0x00, 0xA4, 0x01, 0x02, 0x03, 0xA1, 0xA2, 0xA3}},
        {7, 3, 0x0102, three,
         {0x00, 0xA4, 0x01, 0x02, 0x00, 0x00, 0x03, 0xA1, 0xA2, 0xA3, 0x01, 0x02}},
    };
    for (const CaseLayout& c : cases) {
        SCOPED_TRACE("case " + std::to_string(c.apduCase));
        script.transmits.clear();
        script.answers.push_back({0x90, 0x00});
        card.SetApdu(c.apduCase, 0x00, 0xA4, 0x01, 0x02, c.lc, c.le,
                     c.data.empty() ? nullptr : c.data.data(),
                     static_cast<std::uint16_t>(c.data.size()));
        ASSERT_TRUE(card.SendToCard());
        ASSERT_EQ(script.transmits.size(), 1u);
        EXPECT_EQ(script.transmits[0].apdu, c.expected);
        EXPECT_EQ(script.transmits[0].protocol, static_cast<DWORD>(SCARD_PROTOCOL_T1));
        EXPECT_EQ(card.StatusWord(), 0x9000);
    }
}

TEST_F(TransmitTest, ExtendedCaseCarriesLongData) {
    Bytes data(300);
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i);
    script.answers.push_back({0x90, 0x00});
    card.SetApdu(7, 0x00, 0x2A, 0x9E, 0x9A, 300, 0x200, data.data(), 300);
    ASSERT_TRUE(card.SendToCard());
    const Bytes& sent = script.transmits.at(0).apdu;
    ASSERT_EQ(sent.size(), 309u);
    EXPECT_EQ(Bytes(sent.begin(), sent.begin() + 7), (Bytes{0x00, 0x2A, 0x9E, 0x9A, 0x00, 0x01, 0x2C}));
    EXPECT_EQ(Bytes(sent.begin() + 7, sent.begin() + 307), data);
    EXPECT_EQ(sent[307], 0x02);
    EXPECT_EQ(sent[308], 0x00);
}

TEST_F(TransmitTest, UnknownCaseFailsWithoutTouchingTheCard) {
    const int statusBefore = script.statusCalls;
    for (std::uint32_t apduCase : {8u, 9u, 0xFFFFFFFFu}) {
        card.SetApdu(apduCase, 0x00, 0xB0, 0, 0, 0, 0, nullptr, 0);
        EXPECT_FALSE(card.SendToCard());
    }
    EXPECT_TRUE(script.transmits.empty());
    EXPECT_EQ(script.statusCalls, statusBefore);
}

TEST_F(TransmitTest, DataShorterThanLcIsRefusedBeforeSending) {
    const Bytes two = {1, 2};
    card.SetApdu(6, 0x00, 0xD6, 0, 0, 5, 0, two.data(), 2);
    EXPECT_FALSE(card.SendToCard());
    card.SetApdu(5, 0x00, 0xD6, 0, 0, 5, 0, nullptr, 5);
    EXPECT_FALSE(card.SendToCard());
    Bytes big(300);
    card.SetApdu(6, 0x00, 0xD6, 0, 0, 300, 0, big.data(), 300);  // short case, Lc > 255
    EXPECT_FALSE(card.SendToCard());
    EXPECT_TRUE(script.transmits.empty());
}

TEST_F(TransmitTest, ReceiveLengthFollowsTheCapacity) {
    script.answers = {{0x90, 0x00}, {0x90, 0x00}, {0x90, 0x00}};
    card.SetApdu(4, 0x00, 0xB0, 0, 0, 0, 0, nullptr, 0);
    ASSERT_TRUE(card.SendToCard());
    EXPECT_EQ(script.transmits.at(0).receiveLength, 258u);

    // Capacity 512: at most 510 data bytes ...
    card.SetApdu(7, 0x00, 0xB0, 0, 0, 0, 0x200, nullptr, 0);
    EXPECT_EQ(card.ResponseLength(), 512u);
    ASSERT_TRUE(card.SendToCard());
    EXPECT_EQ(script.transmits.at(1).receiveLength, 512u);

    // ... except for a card operating system that answers with 512.
    card.fullAnswers = true;
    card.SetApdu(7, 0x00, 0xB0, 0, 0, 0, 0x200, nullptr, 0);
    ASSERT_TRUE(card.SendToCard());
    EXPECT_EQ(script.transmits.at(2).receiveLength, 514u);
}

TEST_F(TransmitTest, ResponseDataAndStatusWordAreSplit) {
    script.answers.push_back({0x11, 0x22, 0x33, 0x62, 0x82});
    card.SetApdu(4, 0x00, 0xB0, 0, 0, 0, 0, nullptr, 0);
    ASSERT_TRUE(card.SendToCard());
    EXPECT_EQ(response(), (Bytes{0x11, 0x22, 0x33}));
    EXPECT_EQ(card.SW1(), 0x62);
    EXPECT_EQ(card.SW2(), 0x82);
}

TEST_F(TransmitTest, T0MoreDataIsFetchedWithGetResponse) {
    script.protocol = SCARD_PROTOCOL_T0;
    Bytes full(16);
    for (std::size_t i = 0; i < full.size(); ++i) full[i] = static_cast<std::uint8_t>(0xC0 + i);
    Bytes answer = full;
    answer.push_back(0x90);
    answer.push_back(0x00);
    script.answers = {{0x61, 0x10}, answer};
    card.SetApdu(2, 0x00, 0xCA, 0x01, 0x00, 0, 0x10, nullptr, 0);
    ASSERT_TRUE(card.SendToCard());
    EXPECT_FALSE(card.UsesT1());
    ASSERT_EQ(script.transmits.size(), 2u);
    EXPECT_EQ(script.transmits[0].apdu, (Bytes{0x00, 0xCA, 0x01, 0x00, 0x10}));
    EXPECT_EQ(script.transmits[0].protocol, static_cast<DWORD>(SCARD_PROTOCOL_T0));
    EXPECT_EQ(script.transmits[1].apdu, (Bytes{0x00, 0xC0, 0x00, 0x00, 0x10}));
    EXPECT_EQ(script.transmits[1].receiveLength, 258u);
    EXPECT_EQ(response(), full);
    EXPECT_EQ(card.StatusWord(), 0x9000);
}

TEST_F(TransmitTest, T0StaysInForceAfterTheCardWasSeenWithIt) {
    script.protocol = SCARD_PROTOCOL_T0;
    script.answers = {{0x90, 0x00}, {0x90, 0x00}};
    card.SetApdu(1, 0x00, 0xA4, 0, 0, 0, 0, nullptr, 0);
    ASSERT_TRUE(card.SendToCard());
    script.protocol = SCARD_PROTOCOL_T1;
    ASSERT_TRUE(card.SendToCard());
    EXPECT_EQ(script.transmits.at(1).protocol, static_cast<DWORD>(SCARD_PROTOCOL_T0));
}

TEST_F(TransmitTest, T1MoreDataIsReturnedUnchanged) {
    script.answers = {{0x61, 0x10}};
    card.SetApdu(2, 0x00, 0xCA, 0x01, 0x00, 0, 0x10, nullptr, 0);
    ASSERT_TRUE(card.SendToCard());
    EXPECT_EQ(script.transmits.size(), 1u);
    EXPECT_EQ(card.StatusWord(), 0x6110);
    EXPECT_EQ(card.ResponseLength(), 0u);
}

TEST_F(TransmitTest, WrongLengthIsReturnedToTheCallerUnderBothProtocols) {
    for (DWORD protocol : {DWORD{SCARD_PROTOCOL_T1}, DWORD{SCARD_PROTOCOL_T0}}) {
        script.protocol = protocol;
        script.transmits.clear();
        script.answers = {{0x6C, 0x08}};
        card.SetApdu(2, 0x00, 0xCA, 0x01, 0x00, 0, 0x10, nullptr, 0);
        ASSERT_TRUE(card.SendToCard());
        EXPECT_EQ(script.transmits.size(), 1u);
        EXPECT_EQ(card.StatusWord(), 0x6C08);
    }
}

TEST_F(TransmitTest, OneByteAnswerKeepsThePreviousStatusWord) {
    script.answers = {{0x01, 0x02, 0x90, 0x00}, {0x6A}};
    card.SetApdu(4, 0x00, 0xB0, 0, 0, 0, 0, nullptr, 0);
    ASSERT_TRUE(card.SendToCard());
    EXPECT_EQ(card.StatusWord(), 0x9000);
    card.SetApdu(4, 0x00, 0xB0, 0, 0, 0, 0, nullptr, 0);
    EXPECT_TRUE(card.SendToCard());
    EXPECT_EQ(card.StatusWord(), 0x9000);
    EXPECT_EQ(card.ResponseLength(), 256u);  // still the capacity
}

TEST_F(TransmitTest, TransmitFailureKeepsTheStatusWord) {
    script.answers = {{0x63, 0xC2}};
    card.SetApdu(1, 0x00, 0x20, 0, 0x81, 0, 0, nullptr, 0);
    ASSERT_TRUE(card.SendToCard());
    script.transmitResult = SCARD_E_COMM_DATA_LOST;
    EXPECT_FALSE(card.SendToCard());
    EXPECT_EQ(card.StatusWord(), 0x63C2);
}

TEST_F(TransmitTest, CardRemovedMidOperationFailsAtOnceAndConnectGives255) {
    script.protocol = SCARD_PROTOCOL_T0;
    script.answers = {{0x61, 0x20}};
    script.transmitsBeforeRemoval = 1;  // pulled before the GET RESPONSE
    const auto start = std::chrono::steady_clock::now();
    card.SetApdu(4, 0x00, 0xB0, 0, 0, 0, 0, nullptr, 0);
    EXPECT_FALSE(card.SendToCard());
    EXPECT_FALSE(card.SendToCard());
    EXPECT_FALSE(card.TransmitControl(0x42330006, Bytes{1, 2}.data(), 2));
    EXPECT_EQ(card.Connect("Reader 0", 0x77), 255u);
    EXPECT_EQ(card.Handle(), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    EXPECT_EQ(script.transmits.size(), 1u);
}

TEST_F(TransmitTest, ConnectEstablishesItsOwnContextWhenGivenNone) {
    const SCARDHANDLE first = card.Handle();
    EXPECT_NE(first, 0);
    EXPECT_EQ(script.establishCalls, 0);
    {
        Transport other;
        EXPECT_EQ(other.Connect("Reader 0", 0), 0u);
        EXPECT_EQ(script.establishCalls, 1);
    }
    EXPECT_EQ(script.releaseCalls, 1);
    // Connecting again leaves the previous card connection first.
    ASSERT_EQ(card.Connect("Reader 0", 0x77), 0u);
    ASSERT_FALSE(script.disconnects.empty());
    EXPECT_EQ(script.disconnects.back().first, first);
    EXPECT_EQ(script.disconnects.back().second, static_cast<DWORD>(SCARD_LEAVE_CARD));

    script.establishResult = SCARD_E_NO_SERVICE;
    Transport noService;
    EXPECT_EQ(noService.Connect("Reader 0", 0), 255u);
    EXPECT_EQ(noService.Connect(nullptr, 0x77), 255u);
}

TEST_F(TransmitTest, ReconnectOnlyWhenTheProtocolDiffers) {
    EXPECT_EQ(card.ReconnectProtocol(SCARD_PROTOCOL_T1), SCARD_S_SUCCESS);
    EXPECT_TRUE(script.reconnects.empty());
    EXPECT_EQ(card.ReconnectProtocol(SCARD_PROTOCOL_T0), SCARD_S_SUCCESS);
    ASSERT_EQ(script.reconnects.size(), 1u);
    EXPECT_EQ(script.reconnects[0].first, static_cast<DWORD>(SCARD_PROTOCOL_T0));
    EXPECT_EQ(script.reconnects[0].second, static_cast<DWORD>(SCARD_RESET_CARD));
}

}  // namespace
