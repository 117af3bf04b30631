// The PC/SC layer through a scripted reader: every APDU case as PC/SC receives it byte for byte and the
// malformed ones refused unsent, receive sizes, T=0 GET RESPONSE, failures and removal, the reader list,
// pin-pad feature discovery and the pin-pad control requests.

#include "tests/support/card/PcscScript.h"
#include "tests/support/card/ProfileTestUtil.h"

#include "smartcard/transport/Reader.h"
#include "smartcard/transport/SC_Pcsc.h"
#include "smartcard/transport/SC_Transport.h"

#include <gtest/gtest.h>

#include <numeric>
#include <tuple>

namespace {

using kivo::test::Bytes;
using kivo::test::pinpad::feature;

class Transport : public CSC_Transport {
public:
    bool fullAnswers = false;

protected:
    bool ReceivesFull512ByteAnswers() const override { return fullAnswers; }
};

class PcscTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(card.Connect("Reader 0", 0x77), 0u); }
    Bytes response() const { return Bytes(card.Response(), card.Response() + card.ResponseLength()); }
    // Sends one command; false when SendToCard failed.
    bool send(std::uint32_t apduCase, std::uint16_t lc, std::uint16_t le, const Bytes& data = {}) {
        card.SetApdu(apduCase, 0x00, 0xA4, 0x01, 0x02, lc, le, data.empty() ? nullptr : data.data(),
                     static_cast<std::uint16_t>(data.size()));
        return card.SendToCard();
    }
    // Discovers the given feature list on the card's reader.
    bool discover(std::initializer_list<Bytes> features) {
        Bytes list;
        for (const Bytes& f : features) list.insert(list.end(), f.begin(), f.end());
        script.controlAnswers.push_back({SCARD_S_SUCCESS, list});
        const bool pinPad = card.RefreshPinPadFeatures();
        script.controls.clear();
        return pinPad;
    }

    kivo::test::ScopedTraceFile trace;
    kivo::test::ScriptedPcsc pcsc;
    kivo::test::PcscScript& script = pcsc.script;
    Transport card;
};

TEST_F(PcscTest, EveryCaseIsSentByteForByteAndBadOnesAreNot) {
    const Bytes three = {0xA1, 0xA2, 0xA3};
    Bytes long300(300);
    std::iota(long300.begin(), long300.end(), std::uint8_t{0});
    Bytes extended = {0x00, 0xA4, 0x01, 0x02, 0x00, 0x01, 0x2C};
    extended.insert(extended.end(), long300.begin(), long300.end());
    extended.insert(extended.end(), {0x02, 0x00});
    // expected empty: refused unsent
    struct Row { std::uint32_t apduCase; std::uint16_t lc, le; Bytes data, expected; DWORD receiveLength; };
    const Row rows[] = {
        {1, 0, 0, {}, {0x00, 0xA4, 0x01, 0x02}, 258},
        {2, 0x33, 0x10, {}, {0x00, 0xA4, 0x01, 0x02, 0x10}, 258},
        {0, 0, 0, {}, {0x00, 0xA4, 0x01, 0x02, 0x00}, 258},
        {4, 0x08, 0, {}, {0x00, 0xA4, 0x01, 0x02, 0x08}, 258},
        {5, 3, 0x20, three, {0x00, 0xA4, 0x01, 0x02, 0x03, 0xA1, 0xA2, 0xA3, 0x20}, 258},
        {6, 3, 0x20, three, {0x00, 0xA4, 0x01, 0x02, 0x03, 0xA1, 0xA2, 0xA3}, 258},
        {7, 3, 0x0102, three, {0x00, 0xA4, 0x01, 0x02, 0x00, 0x00, 0x03, 0xA1, 0xA2, 0xA3, 0x01, 0x02}, 512},
        {7, 300, 0x200, long300, extended, 512},
        {8, 0, 0, {}, {}, 0},
        {6, 0, 0, {}, {0x00, 0xA4, 0x01, 0x02, 0x00}, 258},
        {6, 3, 0, {1, 2}, {}, 0},
        {6, 300, 0, long300, {}, 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(::testing::Message() << "case " << row.apduCase << " Lc " << row.lc);
        script.transmits.clear();
        script.answers = {{0x90, 0x00}};
        EXPECT_EQ(send(row.apduCase, row.lc, row.le, row.data), !row.expected.empty());
        if (row.expected.empty()) {
            EXPECT_TRUE(script.transmits.empty());
            continue;
        }
        ASSERT_EQ(script.transmits.size(), 1u);
        EXPECT_EQ(script.transmits[0].apdu, row.expected);
        EXPECT_EQ(script.transmits[0].protocol, static_cast<DWORD>(SCARD_PROTOCOL_T1));
        EXPECT_EQ(script.transmits[0].receiveLength, row.receiveLength);
    }
    // A card operating system that answers 512 data bytes gets room for them.
    card.fullAnswers = true;
    script.answers = {{0x90, 0x00}};
    ASSERT_TRUE(send(7, 0, 0x200));
    EXPECT_EQ(script.transmits.back().receiveLength, 514u);
}

TEST_F(PcscTest, AnswersUnderT0AndT1) {
    script.answers = {{0x11, 0x22, 0x33, 0x62, 0x82}, {0x61, 0x10}, {0x6C, 0x08}, {0x6A}};
    ASSERT_TRUE(send(4, 0, 0));
    EXPECT_EQ(response(), (Bytes{0x11, 0x22, 0x33}));
    EXPECT_EQ(card.StatusWord(), 0x6282);
    ASSERT_TRUE(send(2, 0, 0x10));
    EXPECT_EQ(card.StatusWord(), 0x6110) << "T=1 passes 61xx on";
    ASSERT_TRUE(send(2, 0, 0x10));
    EXPECT_EQ(card.StatusWord(), 0x6C08);
    EXPECT_TRUE(send(4, 0, 0));
    EXPECT_EQ(card.StatusWord(), 0x6C08) << "a one-byte answer keeps the status word";
    script.transmitResult = SCARD_E_COMM_DATA_LOST;
    EXPECT_FALSE(send(4, 0, 0));
    EXPECT_EQ(card.StatusWord(), 0x6C08);
    EXPECT_EQ(script.transmits.size(), 5u);

    script.transmitResult = SCARD_S_SUCCESS;
    script.transmits.clear();
    script.protocol = SCARD_PROTOCOL_T0;
    script.answers = {{0x61, 0x10}, kivo::test::ok(Bytes(16, 0xC5)), {0x6C, 0x08}, {0x90, 0x00}};
    ASSERT_TRUE(send(2, 0, 0x10));
    EXPECT_FALSE(card.UsesT1());
    ASSERT_EQ(script.transmits.size(), 2u);
    EXPECT_EQ(script.transmits[1].apdu, (Bytes{0x00, 0xC0, 0x00, 0x00, 0x10}));
    EXPECT_EQ(script.transmits[1].protocol, static_cast<DWORD>(SCARD_PROTOCOL_T0));
    EXPECT_EQ(response(), Bytes(16, 0xC5));
    EXPECT_EQ(card.StatusWord(), 0x9000);
    ASSERT_TRUE(send(2, 0, 0x10));
    EXPECT_EQ(card.StatusWord(), 0x6C08);
    script.protocol = SCARD_PROTOCOL_T1;
    ASSERT_TRUE(send(1, 0, 0));
    EXPECT_EQ(script.transmits.back().protocol, static_cast<DWORD>(SCARD_PROTOCOL_T0)) << "T=0 stays";
}

TEST_F(PcscTest, CardRemovedMidOperationAndConnections) {
    const SCARDHANDLE first = card.Handle();
    ASSERT_EQ(card.Connect("Reader 0", 0x77), 0u);
    EXPECT_EQ(script.disconnects, (std::vector<std::pair<SCARDHANDLE, DWORD>>{{first, SCARD_LEAVE_CARD}}));
    script.protocol = SCARD_PROTOCOL_T0;
    script.answers = {{0x61, 0x20}};
    script.transmitsBeforeRemoval = 1;  // pulled before the GET RESPONSE
    EXPECT_FALSE(send(4, 0, 0));
    EXPECT_FALSE(send(4, 0, 0));
    EXPECT_FALSE(card.TransmitControl(0x42330006, Bytes{1, 2}.data(), 2));
    EXPECT_EQ(card.Connect("Reader 0", 0x77), 255u);
    EXPECT_EQ(card.Handle(), 0);
    EXPECT_EQ(script.transmits.size(), 1u);

    script.removed = false;
    ASSERT_EQ(card.Connect("Reader 0", 0x77), 0u);
    EXPECT_EQ(card.ReconnectProtocol(SCARD_PROTOCOL_T0), SCARD_S_SUCCESS);
    EXPECT_TRUE(script.reconnects.empty());
    EXPECT_EQ(card.ReconnectProtocol(SCARD_PROTOCOL_T1), SCARD_S_SUCCESS);
    EXPECT_EQ(script.reconnects, (std::vector<std::pair<DWORD, DWORD>>{{SCARD_PROTOCOL_T1, SCARD_RESET_CARD}}));
    EXPECT_EQ(script.establishCalls, 0);
    {
        Transport own;
        EXPECT_EQ(own.Connect("Reader 0", 0), 0u);
        EXPECT_EQ(script.establishCalls, 1);
    }
    EXPECT_EQ(script.releaseCalls, 1);
    script.establishResult = SCARD_E_NO_SERVICE;
    Transport noService;
    EXPECT_EQ(noService.Connect("Reader 0", 0), 255u);
    EXPECT_EQ(noService.Connect(nullptr, 0x77), 255u);
}

TEST_F(PcscTest, ReaderListStatesAndPinPads) {
    script.readers = {"one"};
    EXPECT_EQ(CReader().RefreshReaderStates(), SCARD_S_SUCCESS);
    EXPECT_EQ(std::make_pair(script.freeCalls, script.releaseCalls), std::make_pair(1, 1)) << "list memory and context freed";
    script.useRawList = true;
    script.rawList = std::string("with card\0empty\0pinpad", 22);  // last name not terminated
    script.atrs["with card"] = {0x3B, 0x8F, 0x80, 0x01, 0x0a};
    script.atrs["pinpad"] = {0x3B};
    script.controlAnswers = {{SCARD_S_SUCCESS, feature(0x06, 0x42330006)}, {SCARD_E_UNSUPPORTED_FEATURE, {}}};
    {
        CReader reader;
        ASSERT_EQ(reader.GetReaderCount(), 3);
        EXPECT_EQ(reader.GetReaderName(2), "pinpad");
        EXPECT_EQ(reader.GetReaderName(3), "");
        EXPECT_EQ(reader.GetReaderName(-1), "");
        EXPECT_TRUE(reader.IsCardPresent(0));
        EXPECT_FALSE(reader.IsCardPresent(1));
        EXPECT_EQ(reader.GetATRText(0), "3B:8F:80:01:0A");
        EXPECT_EQ(reader.GetATRText(1), "---");
        EXPECT_EQ(reader.GetATRText(7), "---");
        for (DWORD timeout : script.statusChangeTimeouts) EXPECT_EQ(timeout, 0xFFFFFFFFu);
        for (DWORD state : script.statusChangeCurrentStates) EXPECT_EQ(state, SCARD_STATE_UNAWARE);
        const std::size_t before = script.disconnects.size();
        EXPECT_TRUE(reader.IsPinPadReader(2));
        EXPECT_FALSE(reader.IsPinPadReader(0));
        script.connectResult = SCARD_E_NO_SMARTCARD;
        EXPECT_FALSE(reader.IsPinPadReader(2));
        EXPECT_EQ(script.connectedReaders.back(), "pinpad");
        EXPECT_EQ(script.disconnects.size(), before + 2);
        EXPECT_EQ(script.disconnects.back().second, static_cast<DWORD>(SCARD_LEAVE_CARD));
    }
    script.listResult = SCARD_E_NO_READERS_AVAILABLE;
    CReader none;
    EXPECT_EQ(none.GetReaderCount(), 0);
    EXPECT_FALSE(none.IsCardPresent(0));
    EXPECT_EQ(none.GetATRText(0), "---");
    script.establishResult = SCARD_E_NO_SERVICE;
    CReader noContext;
    EXPECT_FALSE(noContext.HasContext());
    EXPECT_EQ(noContext.GetReaderCount(), 0);
    // Names compared as the reader calls itself, without pcsc-lite's slot numbers.
    for (const auto& [name, bare] : {std::pair{"ACS CCID USB Reader 00 00", "ACS CCID USB Reader"}, {"PCD 0A 01", "PCD"},
                                      {"Reader 0G 00", "Reader 0G 00"}, {" 00 00", " 00 00"}}) EXPECT_EQ(kivo::card::readerNameWithoutSlot(name), bare);
}

TEST_F(PcscTest, FeatureDiscovery) {
    struct Row { LONG result; Bytes answer; bool pinPad, pace; std::size_t count;
        std::uint32_t verifyDirect, verifyStart, modifyStart; };
    const Bytes direct = {0x06, 0x04, 0x42, 0x33, 0x00, 0x06, 0x07, 0x04, 0x42, 0x33, 0x00, 0x07, 0x05, 0x04,
                          0x42, 0x33, 0x00, 0x05, 0x20, 0x04, 0x42, 0x33, 0x00, 0x20};
    const Row rows[] = {
        {SCARD_S_SUCCESS, direct, true, true, 4, 0x42330006, 0, 0},
        {SCARD_S_SUCCESS, Bytes(direct.begin(), direct.begin() + 13), false, false, 0, 0, 0, 0},
        {SCARD_S_SUCCESS, {}, false, false, 0, 0, 0, 0},
        {SCARD_S_SUCCESS, {0x02, 0x04, 0, 0, 0, 2, 0x05, 0x04, 0, 0, 0, 5, 0x12, 0x04, 0, 0, 0, 0x12}, false, false,
         3, 0, 0, 0},
        {SCARD_S_SUCCESS, {0x01, 0x04, 0x00, 0x31, 0x35, 0x01, 0x03, 0x04, 0x00, 0x31, 0x35, 0x03}, true, false, 2,
         0, 0x00313501, 0x00313503},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(::testing::PrintToString(row.answer));
        script.controls.clear();
        script.controlAnswers = {{row.result, row.answer}};
        const CSC_Pcsc features(0x99);
        ASSERT_EQ(script.controls.size(), 1u);
        EXPECT_EQ(std::tie(script.controls[0].code, script.controls[0].input, script.controls[0].outputSize),
                  std::make_tuple(DWORD{CM_IOCTL_GET_FEATURE_REQUEST}, Bytes{}, DWORD{256}));
        EXPECT_EQ(std::make_tuple(features.isPinPad(), features.isPace(), features.featureCount(), features.verifyPinDirect(),
                                  features.verifyPinStart(), features.modifyPinStart()),
                  std::make_tuple(row.pinPad, row.pace, row.count, row.verifyDirect, row.verifyStart, row.modifyStart));
        EXPECT_EQ(features.controlCode(0x12), 0u);
    }
    script.controlAnswers = {{SCARD_S_SUCCESS, direct}};
    const CSC_Pcsc full(0x99);
    EXPECT_EQ(full.modifyPinDirect(), 0x42330007u);
    EXPECT_EQ(full.getKeyPressed(), 0x42330005u);
    EXPECT_EQ(full.executePace(), 0x42330020u);
    EXPECT_EQ(CSC_Pcsc::featureRequestCode(), 0x42000000u + 3400u);
}

TEST_F(PcscTest, ControlRequestsAndAnswers) {
    const std::pair<std::uint32_t, DWORD> sizes[] = {{256, 258}, {0x10002, 0x10000}, {1000, 258}, {0x10003, 258}, {0, 2}};
    for (const auto& [capacity, expected] : sizes) {
        script.controlAnswers.push_back({SCARD_S_SUCCESS, {0x90, 0x00}});
        card.SetResponseCapacity(capacity);
        ASSERT_TRUE(card.TransmitControl(0x42330006, Bytes{1}.data(), 1));
        EXPECT_EQ(script.controls.back().outputSize, expected) << capacity;
        EXPECT_EQ(script.controls.back().input, Bytes{1});
    }
    card.SetResponseCapacity(256);
    script.controlAnswers = {{SCARD_S_SUCCESS, {0xAA, 0xBB, 0x63, 0xC2}}, {SCARD_S_SUCCESS, {0x90}},
                             {SCARD_S_SUCCESS, {0x0D, 0x63, 0xC1}}, {SCARD_E_NOT_TRANSACTED, {}}};
    ASSERT_TRUE(card.TransmitControl(0x42330006, Bytes{1, 2, 3}.data(), 3));
    EXPECT_EQ(response(), (Bytes{0xAA, 0xBB}));
    EXPECT_EQ(card.StatusWord(), 0x63C2);
    ASSERT_TRUE(card.TransmitControl(0x42330006, Bytes{1}.data(), 1));
    EXPECT_EQ(card.StatusWord(), 0x63C2) << "one byte leaves the status word";
    ASSERT_TRUE(card.TransmitControl(0x42330005, nullptr, 0));
    EXPECT_TRUE(script.controls.back().inputIsNull);
    EXPECT_EQ(response(), (Bytes{0x0D, 0x63, 0xC1})) << "no input: the answer is taken whole";
    EXPECT_EQ(card.StatusWord(), 0x63C2);
    EXPECT_FALSE(card.TransmitControl(0x42330006, Bytes{1}.data(), 1));

    script.protocol = SCARD_PROTOCOL_T0;
    script.controlAnswers = {{SCARD_S_SUCCESS, {0x61, 0x02}}};
    script.answers = {{0x12, 0x34, 0x90, 0x00}};
    ASSERT_TRUE(card.TransmitControl(0x42330006, Bytes{9}.data(), 1));
    EXPECT_EQ(script.transmits.at(0).apdu, (Bytes{0x00, 0xC0, 0x00, 0x00, 0x02}));
    EXPECT_EQ(response(), (Bytes{0x12, 0x34}));
}

TEST_F(PcscTest, PinPadOperations) {
    card.SetVerifyStruct(Bytes(23, 0x1E));
    card.SetModifyStruct(Bytes(28, 0x03));
    EXPECT_EQ(card.PinPadFeatures(), nullptr);
    EXPECT_EQ(card.StartVerifyPinPad(), 1u);
    EXPECT_EQ(card.GetKeyPressed(), 1);
    ASSERT_FALSE(discover({feature(0x05, 0x42330005)}));
    EXPECT_EQ(card.StartVerifyPinPad(), 1u);
    EXPECT_EQ(card.StartModifyPinPad(), 1u);
    EXPECT_TRUE(script.controls.empty());

    ASSERT_TRUE(discover({feature(0x06, 0x42330006), feature(0x01, 0x42330001), feature(0x02, 0x42330002),
                          feature(0x07, 0x42330007), feature(0x05, 0x42330005), feature(0x20, 0x42330020)}));
    EXPECT_EQ(card.PinPadFeatures()->handle(), card.Handle());
    EXPECT_TRUE(card.IsPaceAvailable());
    EXPECT_EQ(card.ReaderSystemName(), "vpcd 0");
    script.controlAnswers = {{SCARD_S_SUCCESS, {}}, {SCARD_S_SUCCESS, {0x90, 0x00}}, {SCARD_S_SUCCESS, {0x90, 0x00}},
                             {SCARD_S_SUCCESS, {0x0D}}, {SCARD_S_SUCCESS, {0x0D, 0x00}}};
    EXPECT_EQ(card.StartVerifyPinPad(), 0u);
    EXPECT_TRUE(card.FinishVerifyPinPad());
    EXPECT_EQ(card.StartModifyPinPad(), 0u);
    EXPECT_EQ(card.GetKeyPressed(), 0x0D);
    EXPECT_EQ(card.GetKeyPressed(), 0);
    const std::vector<kivo::test::ControlCall>& calls = script.controls;
    ASSERT_EQ(calls.size(), 5u);
    EXPECT_EQ(std::make_tuple(calls[0].code, calls[0].input, calls[0].outputSize),
              std::make_tuple(0x42330001u, Bytes(23, 0x1E), 258u)) << "start before direct";
    EXPECT_EQ(std::make_tuple(calls[2].code, calls[2].input), std::make_tuple(0x42330007u, Bytes(28, 0x03)))
        << "direct when start is missing";
    EXPECT_TRUE(calls[3].inputIsNull);

    ASSERT_TRUE(discover({feature(0x06, 0x42330006)}));
    script.controlAnswers = {{SCARD_S_SUCCESS, {0x63, 0xC2}}, {SCARD_E_TIMEOUT, {}}};
    EXPECT_EQ(card.StartVerifyPinPad(), 0u);
    EXPECT_EQ(card.StatusWord(), 0x63C2);
    EXPECT_TRUE(card.FinishVerifyPinPad());
    EXPECT_TRUE(card.FinishModifyPinPad());
    EXPECT_EQ(card.GetKeyPressed(), 1);
    EXPECT_EQ(card.StartVerifyPinPad(), 1u);
    EXPECT_EQ(script.controls.size(), 2u) << "a direct verify needs no finish";
    card.SetModifyStruct({});
    EXPECT_EQ(card.StartModifyPinPad(), 1u);

    script.attribResult = SCARD_E_UNSUPPORTED_FEATURE;
    EXPECT_FALSE(discover({}));
    EXPECT_FALSE(card.IsPaceAvailable());
    EXPECT_EQ(card.ReaderSystemName(), "UNKNOWN");
}

}  // namespace
