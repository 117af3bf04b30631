// CSCUtils and the CSignMessage card queries on the card services' two
// virtual cards (the card of test_card.txt, of no known type, and a
// described PKCS#15 card); the members that do nothing; the exported
// layout of FSmartCardInfos.

#include "SCMutils.h"
#include "SignMessageSSLM.h"
#include "smartcard/transport/Reader.h"
#include "tests/support/LogCapture.h"
#include "tests/support/card/DescribedCard.h"

#include <gtest/gtest.h>
#include <openssl/x509.h>

#include <cstddef>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <type_traits>
#include <vector>

namespace kivo::test {
namespace {

constexpr char kNotConnected[] = "---not connected---";

// The reader index the PC/SC reader list gives a reader name; -1 when it
// is not listed.
int readerIndexOf(const std::string& name) {
    CReader readers;
    for (int index = 0; index < readers.GetReaderCount(); ++index) {
        if (readers.GetReaderName(index) == name) return index;
    }
    return -1;
}

std::string fileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string derOf(X509* certificate) {
    unsigned char* der = nullptr;
    const int length = certificate != nullptr ? i2d_X509(certificate, &der) : 0;
    const std::string bytes = length > 0 ? std::string(reinterpret_cast<char*>(der), length) : std::string();
    OPENSSL_free(der);
    return bytes;
}

std::string infosText(bool found, const FSmartCardInfos& info) {
    return std::string(found ? "true" : "false") + " reader=" + std::to_string(info.reader) +
           " profile=" + std::to_string(info.profile) + " present=" + std::to_string(info.cardPresent) +
           " pace=" + std::to_string(info.paceType) + " slots=" + std::to_string(info.slots) + " name=" +
           info.readerName + " serial=" + info.serialNumber + " pinPad=" + std::to_string(info.pinPad) +
           " paceReader=" + std::to_string(info.paceReader);
}

// The card of test_card.txt in one reader, the PKCS#15 card in the other,
// with their reader indexes.
class ScmUtilsCardTest : public DescribedCardTest {
protected:
    void SetUp() override {
        DescribedCardTest::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        ASSERT_NO_FATAL_FAILURE(describeCard(setCosPkcs15Card()));
        unknownReader = readerIndexOf(session.reader());
        pkcs15Reader = readerIndexOf(described.reader());
        ASSERT_GE(unknownReader, 0) << session.reader();
        ASSERT_GE(pkcs15Reader, 0) << described.reader();
    }

    int unknownReader = -1;
    int pkcs15Reader = -1;
    CSCUtils utils;
};

}  // namespace

TEST(ScmUtils, MembersThatDoNothing) {
    CSCUtils utils;
    const unsigned char bytes[16] = {1, 2, 3};
    unsigned char out[16] = {};
    unsigned long outLength = sizeof out;
    struct Row {
        const char* member;
        std::function<int()> call;
        int result;                     // void members: 0
        std::vector<std::string> log;   // "LEVEL message"
    };
    const auto none = [](auto call) { return [call] { call(); return 0; }; };
    const std::vector<Row> rows = {
        {"setCertID", none([&] { utils.setCertID("1"); }), 0, {}},
        {"setMODULE_PATH", none([&] { utils.setMODULE_PATH(nullptr); }), 0, {}},
        {"setSO_PATH", none([&] { utils.setSO_PATH("/lib/x.so"); }), 0, {}},
        {"setSlot", none([&] { utils.setSlot(-7); }), 0, {}},
        {"InitCerts", none([&] { utils.InitCerts(); }), 0, {}},
        {"CheckReader", [&] { return utils.CheckReader(99); }, 0, {}},
        {"CheckTCOSStausPW", [&] { return utils.CheckTCOSStausPW(); }, 0, {}},
        {"CheckTCOSStausSigPW", [&] { return utils.CheckTCOSStausSigPW(); }, 0, {}},
        {"SendAPDU", [&] { return utils.SendAPDU(bytes, 4, out, &outLength); }, 0, {}},
        {"SendAPDU without buffers", [&] { return utils.SendAPDU(nullptr, 0, nullptr, nullptr); }, 0, {}},
        {"InitTCOSCard", [&] { return utils.InitTCOSCard(); }, 0, {}},
        {"InitTCOSCardSig", [&] { return utils.InitTCOSCardSig(); }, 0, {}},
        {"EstablishContext", [&] { return utils.EstablishContext(); }, 0, {}},
        {"ExitSCardEngine", [&] { return utils.ExitSCardEngine(); }, 0, {}},
        {"InitSCardEngine", [&] { return utils.InitSCardEngine(); }, 0, {}},
        {"ResetCard", [&] { return utils.ResetCard(); }, 0, {}},
        {"GetCardType", [&] { return utils.GetCardType(); }, 0, {}},
        {"DES_retail_mac", [&] { return utils.DES_retail_mac(bytes, bytes, sizeof bytes, out); }, 0, {}},
        {"DES_retail_mac without buffers", [&] { return utils.DES_retail_mac(nullptr, nullptr, 99, nullptr); }, 0,
         {}},
        {"DES_cbc_cksum_3des", [&] { return utils.DES_cbc_cksum_3des(bytes, bytes, sizeof bytes, out); }, 0, {}},
        {"CheckPermanentLogin", [&] { return utils.CheckPermanentLogin(); }, 1, {}},
        {"PermanentLogin", [&] { return utils.PermanentLogin(); }, 1, {}},
        {"ConnectCard", [&] { return utils.ConnectCard(); }, 0,
         {"DEBUG entering ConnectCard", "DEBUG leaving ConnectCard: 0"}},
        {"DisconnectCard", [&] { return utils.DisconnectCard(); }, 0,
         {"DEBUG entering DisconnectCard", "DEBUG leaving DisconnectCard: 0"}},
        {"ReleaseContext", [&] { return utils.ReleaseContext(); }, 0,
         {"DEBUG entering ReleaseContext", "DEBUG leaving ReleaseContext: 0"}},
        {"FreeTCOSCardObject", [&] { return utils.FreeTCOSCardObject(); }, 1,
         {"DEBUG entering FreeTCOSCardObject", "DEBUG leaving FreeTCOSCardObject: 1"}},
        {"ReadTCOSCardCert", [&] { return utils.ReadTCOSCardCert(); }, 1,
         {"DEBUG entering ReadTCOSCardCert", "DEBUG leaving ReadTCOSCardCert: 1"}},
        {"ReadTCOSCardPubkey", [&] { return utils.ReadTCOSCardPubkey(); }, 1,
         {"DEBUG entering ReadTCOSCardPubkey", "DEBUG leaving ReadTCOSCardPubkey: 1"}},
        {"CheckTCOSIFDPubkey", [&] { return utils.CheckTCOSIFDPubkey(); }, 1,
         {"DEBUG entering CheckTCOSIFDPubkey", "DEBUG leaving CheckTCOSIFDPubkey: 1"}},
        {"WriteTCOSIFDPubkey", [&] { return utils.WriteTCOSIFDPubkey(); }, 1,
         {"DEBUG entering WriteTCOSIFDPubkey", "DEBUG leaving WriteTCOSIFDPubkey: 1"}},
        {"Tmp", [&] { return utils.Tmp(); }, 1, {"DEBUG entering Tmp", "DEBUG leaving Tmp: 1"}},
        {"GetSessionKeys", [&] { return utils.GetSessionKeys(); }, 0,
         {"INFO entering GetSessionKeys()", "DEBUG leaving GetSessionKeys()"}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.member);
        const LogCapture capture(CSCUtils::m_logger);
        EXPECT_EQ(row.call(), row.result);
        std::vector<std::string> log;
        for (const CapturedEvent& event : capture.events()) log.push_back(event.level + " " + event.message);
        EXPECT_EQ(log, row.log);
    }
    EXPECT_EQ(outLength, sizeof out) << "SendAPDU answers nothing";
    EXPECT_EQ(out[0], 0) << "nothing was written for the host";
    EXPECT_EQ(utils.getNumSlots(), 6) << "setSlot changes no slot count";
    EXPECT_EQ(utils.GetCertID(0), "") << "setCertID fills no slot";
}

// The layout hosts compile against: field order, types and offsets.
TEST(ScmUtils, SmartCardInfosLayout) {
    struct Field {
        const char* name;
        std::size_t offset;
        std::size_t size;
    };
    const Field fields[] = {
        {"reader", offsetof(FSmartCardInfos, reader), sizeof(FSmartCardInfos::reader)},
        {"profile", offsetof(FSmartCardInfos, profile), sizeof(FSmartCardInfos::profile)},
        {"cardPresent", offsetof(FSmartCardInfos, cardPresent), sizeof(FSmartCardInfos::cardPresent)},
        {"paceType", offsetof(FSmartCardInfos, paceType), sizeof(FSmartCardInfos::paceType)},
        {"slots", offsetof(FSmartCardInfos, slots), sizeof(FSmartCardInfos::slots)},
        {"readerName", offsetof(FSmartCardInfos, readerName), sizeof(FSmartCardInfos::readerName)},
        {"serialNumber", offsetof(FSmartCardInfos, serialNumber), sizeof(FSmartCardInfos::serialNumber)},
        {"pinPad", offsetof(FSmartCardInfos, pinPad), sizeof(FSmartCardInfos::pinPad)},
        {"paceReader", offsetof(FSmartCardInfos, paceReader), sizeof(FSmartCardInfos::paceReader)},
    };
    const Field expected[] = {
        {"reader", 0, 4},       {"profile", 4, 4},        {"cardPresent", 8, 1},
        {"paceType", 12, 4},    {"slots", 16, 4},         {"readerName", 20, 256},
        {"serialNumber", 276, 256}, {"pinPad", 532, 1},   {"paceReader", 533, 1},
    };
    for (std::size_t i = 0; i < std::size(fields); ++i) {
        SCOPED_TRACE(fields[i].name);
        EXPECT_EQ(fields[i].offset, expected[i].offset);
        EXPECT_EQ(fields[i].size, expected[i].size);
    }
    EXPECT_EQ(sizeof(FSmartCardInfos), 536u);
    EXPECT_TRUE(std::is_standard_layout_v<FSmartCardInfos>);
}

TEST_F(ScmUtilsCardTest, ReaderNamesAndPinPads) {
    struct Row {
        int reader;
        std::string name;
        int pinPad;
    };
    const Row rows[] = {
        {unknownReader, session.reader(), 0},
        {pkcs15Reader, described.reader(), 0},  // vpcd has no pin pad
        {99, kNotConnected, 0},
        {-1, kNotConnected, 0},
    };
    EXPECT_GE(utils.GetNumReaders(), 2);
    EXPECT_EQ(utils.GetMaxReaders(), 16);
    for (const Row& row : rows) {
        SCOPED_TRACE(row.reader);
        EXPECT_EQ(utils.GetReaderName(row.reader), row.name);
        EXPECT_EQ(CSCUtils::m_reader, row.name);
        EXPECT_EQ(utils.getPINPADSupport(row.reader), row.pinPad);
    }
}

TEST_F(ScmUtilsCardTest, WithoutASelectedReaderNothingReachesACard) {
    struct Row {
        const char* operation;
        std::function<bool()> fails;
    };
    const Row rows[] = {
        {"VerifyPIN", [&] { return !utils.VerifyPIN(0, "123456"); }},
        {"ChangePIN", [&] { return utils.ChangePIN(0, "123456", "654321") == 255; }},
        {"GetCertIDs", [&] { return utils.GetCertIDs() == 0; }},
        {"GetNumCerts", [&] { return utils.GetNumCerts() == 0; }},
        {"GetX509", [&] { return utils.GetX509(0) == nullptr; }},
    };
    for (const int reader : {-1, 99}) {
        utils.setReader(reader);
        for (const Row& row : rows) {
            SCOPED_TRACE(std::string(row.operation) + " on reader " + std::to_string(reader));
            session.markRecord();
            described.markRecord();
            EXPECT_TRUE(row.fails());
            EXPECT_TRUE(session.recorded().empty());
            EXPECT_TRUE(described.recorded().empty());
        }
    }
    // The record does show what reaches a card once one is selected.
    utils.setReader(pkcs15Reader);
    described.markRecord();
    EXPECT_TRUE(utils.VerifyPIN(0, "123456"));
    EXPECT_FALSE(described.recorded().empty());
}

TEST_F(ScmUtilsCardTest, CertificatesOfThePkcs15Card) {
    const char* keyFolder = std::getenv("KIVO_VCARD_DIR");
    ASSERT_NE(keyFolder, nullptr);
    // The card's only certificate with a key; the second one is a CA's.
    const std::string onCard = fileBytes(std::string(keyFolder) + "/rsa2048.crt");
    ASSERT_FALSE(onCard.empty());

    utils.setReader(unknownReader);
    EXPECT_EQ(utils.GetNumCerts(), 0) << "a card of no known type";
    EXPECT_EQ(utils.GetX509(0), nullptr);

    utils.setReader(pkcs15Reader);
    EXPECT_EQ(utils.GetNumCerts(), 1);
    EXPECT_EQ(utils.GetCertIDs(), 1);
    struct Slot {
        int slot;
        std::string id;
        std::string der;
    };
    const Slot slots[] = {{0, "0", onCard}, {1, "", ""}, {-1, "", ""}, {96, "", ""}};
    for (const Slot& row : slots) {
        SCOPED_TRACE(row.slot);
        EXPECT_EQ(utils.GetCertID(row.slot), row.id);
        X509* certificate = utils.GetX509(row.slot);
        EXPECT_EQ(derOf(certificate), row.der);
        CSCUtils::freeX509(certificate);
    }
}

// In order on the same card: its PIN is 123456 (three tries).
TEST_F(ScmUtilsCardTest, VerifyAndChangePin) {
    utils.setReader(pkcs15Reader);
    struct Row {
        const char* step;
        std::function<bool()> succeeds;
        bool expected;
    };
    const Row rows[] = {
        {"right PIN", [&] { return utils.VerifyPIN(0, "123456"); }, true},
        {"wrong PIN", [&] { return utils.VerifyPIN(0, "999999"); }, false},
        {"no such slot", [&] { return utils.VerifyPIN(1, "123456"); }, false},
        {"change", [&] { return utils.ChangePIN(0, "123456", "24681357") == 0; }, true},
        {"new PIN", [&] { return utils.VerifyPIN(0, "24681357"); }, true},
        {"old PIN", [&] { return utils.VerifyPIN(0, "123456"); }, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.step);
        EXPECT_EQ(row.succeeds(), row.expected);
    }
}

TEST_F(ScmUtilsCardTest, CardQueriesOfSignMessage) {
    struct Row {
        const char* query;
        std::function<std::string()> ask;
        std::string expected;
    };
    const auto infos = [](int reader) {
        FSmartCardInfos info{};
        const bool found = CSignMessage::LoadSmartCardInfos(reader, &info);
        return infosText(found, info);
    };
    const std::string unknownName = session.reader();
    const std::string pkcs15Name = described.reader();
    const std::vector<Row> rows = {
        {"LoadSmartCardInfos, card of no known type", [&] { return infos(unknownReader); },
         "false reader=" + std::to_string(unknownReader) + " profile=0 present=1 pace=0 slots=6 name=" + unknownName +
             " serial= pinPad=0 paceReader=0"},
        {"LoadSmartCardInfos, PKCS#15 card", [&] { return infos(pkcs15Reader); },
         "true reader=" + std::to_string(pkcs15Reader) + " profile=9 present=1 pace=-1 slots=6 name=" + pkcs15Name +
             " serial= pinPad=0 paceReader=0"},
        {"LoadSmartCardInfos, no structure",
         [&] { return std::to_string(CSignMessage::LoadSmartCardInfos(pkcs15Reader, nullptr)); }, "0"},
        {"LoadSmartCardInfos, reader -1",
         [&] { FSmartCardInfos info{}; return std::to_string(CSignMessage::LoadSmartCardInfos(-1, &info)); }, "0"},
        {"GetSmartCardProfileType(-1)", [] { return std::to_string(CSignMessage::GetSmartCardProfileType(-1)); },
         "-1"},
        {"GetSmartCardProfileType, card of no known type",
         [&] { return std::to_string(CSignMessage::GetSmartCardProfileType(unknownReader)); }, "0"},
        {"GetSmartCardProfileType, PKCS#15 card",
         [&] { return std::to_string(CSignMessage::GetSmartCardProfileType(pkcs15Reader)); }, "9"},
        {"GetSmartCardPACEType(-1)", [] { return std::to_string(CSignMessage::GetSmartCardPACEType(-1)); }, "0"},
        // The card type's own answer: -1, a card without PACE.
        {"GetSmartCardPACEType, PKCS#15 card",
         [&] { return std::to_string(CSignMessage::GetSmartCardPACEType(pkcs15Reader)); }, "-1"},
        {"IsSmartCardPresent", [&] { return std::to_string(CSignMessage::IsSmartCardPresent(pkcs15Reader)); },
         "1"},
        {"IsSmartCardPresent(-1)", [] { return std::to_string(CSignMessage::IsSmartCardPresent(-1)); }, "0"},
        {"IsSmartCardPresent(99)", [] { return std::to_string(CSignMessage::IsSmartCardPresent(99)); }, "0"},
        // PKCS#15 cards tell no serial number to the card layer.
        {"GetSmartCardSerialNum, PKCS#15 card", [&] { return CSignMessage::GetSmartCardSerialNum(pkcs15Reader); },
         ""},
        {"GetSmartCardSerialNum(-1)", [] { return CSignMessage::GetSmartCardSerialNum(-1); }, ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.query);
        EXPECT_EQ(row.ask(), row.expected);
    }
}

}  // namespace kivo::test
