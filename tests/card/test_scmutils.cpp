// CSCUtils and the CSignMessage card queries, without a reader and on the services' cards.

#include "SCMutils.h"
#include "SignMessageSSLM.h"
#include "tests/support/LogCapture.h"
#include "tests/support/TestSupport.h"
#include "tests/support/card/DescribedCard.h"
#include "tests/support/card/OpenCardKey.h"
#include "tools/testpki/Pki.h"

#include <gtest/gtest.h>
#include <openssl/x509.h>

#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

namespace kivo::test {
namespace {

constexpr char kNotConnected[] = "---not connected---";

std::string infosText(int reader) {
    FSmartCardInfos info{};
    const bool found = CSignMessage::LoadSmartCardInfos(reader, &info);
    return std::string(found ? "true" : "false") + " reader=" + std::to_string(info.reader) +
           " profile=" + std::to_string(info.profile) + " present=" + std::to_string(info.cardPresent) +
           " pace=" + std::to_string(info.paceType) + " slots=" + std::to_string(info.slots) + " name=" +
           info.readerName + " serial=" + info.serialNumber + " pinPad=" + std::to_string(info.pinPad) +
           " paceReader=" + std::to_string(info.paceReader);
}

// Members kept for hosts change no slot; one logs as all do.
TEST(ScmUtils, MembersThatDoNothing) {
    CSCUtils utils;
    utils.setCertID("1");
    utils.setSlot(-7);
    EXPECT_EQ(utils.getNumSlots(), 6) << "setSlot changes no slot count";
    EXPECT_EQ(utils.GetCertID(0), "") << "setCertID fills no slot";
    const LogCapture capture(CSCUtils::m_logger);
    EXPECT_EQ(utils.ReadTCOSCardCert(), 1);
    std::vector<std::string> log;
    for (const CapturedEvent& event : capture.events()) log.push_back(event.level + " " + event.message);
    EXPECT_EQ(log, (std::vector<std::string>{"DEBUG entering ReadTCOSCardCert", "DEBUG leaving ReadTCOSCardCert: 1"}));
}

// A reader index that names no reader: nothing found, no card, no type.
TEST(ScmUtils, QueriesForNoReader) {
    for (const int reader : {-1, 99}) {
        SCOPED_TRACE(reader);
        EXPECT_EQ(infosText(reader).substr(0, 5), "false");
        EXPECT_EQ(CSignMessage::GetSmartCardProfileType(reader), -1);
        EXPECT_EQ(CSignMessage::GetSmartCardPACEType(reader), 0);
        EXPECT_FALSE(CSignMessage::IsSmartCardPresent(reader));
        EXPECT_EQ(CSignMessage::GetSmartCardSerialNum(reader), "");
        EXPECT_EQ(CSCUtils().GetReaderName(reader), kNotConnected);
    }
}

// The card of test_card.txt in one reader, the PKCS#15 card in the other.
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

TEST_F(ScmUtilsCardTest, ReadersAndCardQueries) {
    EXPECT_GE(utils.GetNumReaders(), 2);
    EXPECT_EQ(utils.GetMaxReaders(), 16);
    for (const auto& [reader, name] : {std::pair{unknownReader, session.reader()}, {pkcs15Reader, described.reader()}}) {
        EXPECT_EQ(utils.GetReaderName(reader), name);
        EXPECT_EQ(CSCUtils::m_reader, name);
        EXPECT_EQ(utils.getPINPADSupport(reader), 0) << "vpcd has no pin pad";
    }
    EXPECT_EQ(infosText(unknownReader), "false reader=" + std::to_string(unknownReader) +
                                            " profile=0 present=1 pace=0 slots=6 name=" + session.reader() +
                                            " serial= pinPad=0 paceReader=0");
    EXPECT_EQ(infosText(pkcs15Reader), "true reader=" + std::to_string(pkcs15Reader) +
                                           " profile=9 present=1 pace=-1 slots=6 name=" + described.reader() +
                                           " serial= pinPad=0 paceReader=0");
    EXPECT_FALSE(CSignMessage::LoadSmartCardInfos(pkcs15Reader, nullptr));
    EXPECT_EQ(CSignMessage::GetSmartCardProfileType(unknownReader), 0);
    EXPECT_EQ(CSignMessage::GetSmartCardProfileType(pkcs15Reader), 9);
    EXPECT_EQ(CSignMessage::GetSmartCardPACEType(pkcs15Reader), -1) << "the card type's own answer";
    EXPECT_TRUE(CSignMessage::IsSmartCardPresent(pkcs15Reader));
    EXPECT_EQ(CSignMessage::GetSmartCardSerialNum(pkcs15Reader), "") << "PKCS#15 cards tell none";
}

TEST_F(ScmUtilsCardTest, WithoutASelectedReaderNothingReachesACard) {
    const std::vector<std::pair<const char*, std::function<bool()>>> failures = {
        {"VerifyPIN", [&] { return !utils.VerifyPIN(0, "123456"); }},
        {"ChangePIN", [&] { return utils.ChangePIN(0, "123456", "654321") == 255; }},
        {"GetCertIDs", [&] { return utils.GetCertIDs() == 0; }},
        {"GetX509", [&] { return utils.GetX509(0) == nullptr; }},
    };
    utils.setReader(99);
    for (const auto& [operation, fails] : failures) {
        session.markRecord();
        described.markRecord();
        EXPECT_TRUE(fails()) << operation;
        EXPECT_TRUE(session.recorded().empty()) << operation;
        EXPECT_TRUE(described.recorded().empty()) << operation;
    }
}

// The certificates of each card by slot, then the PKCS#15 card's PIN verified and changed.
TEST_F(ScmUtilsCardTest, CertificatesAndPinOfThePkcs15Card) {
    const std::vector<unsigned char> onCard = readBytes(std::string(std::getenv("KIVO_VCARD_DIR")) + "/rsa2048.crt");
    ASSERT_FALSE(onCard.empty());
    utils.setReader(unknownReader);
    EXPECT_EQ(utils.GetNumCerts(), 0) << "a card of no known type";
    utils.setReader(pkcs15Reader);
    EXPECT_EQ(utils.GetNumCerts(), 2) << "the second certificate, a CA's without a key, counts too";
    EXPECT_EQ(utils.GetCertIDs(), 2);
    const std::vector<unsigned char> caOnCard = readBytes(std::string(std::getenv("KIVO_VCARD_DIR")) + "/ec256.crt");
    for (const auto& [slot, id, der] : {std::tuple{0, "0", onCard}, {1, "1", caOnCard}, {2, "", {}}, {-1, "", {}}, {96, "", {}}}) {
        SCOPED_TRACE(slot);
        EXPECT_EQ(utils.GetCertID(slot), id);
        X509* certificate = utils.GetX509(slot);
        EXPECT_EQ(certificate ? derOf(certificate) : std::vector<unsigned char>{}, der);
        CSCUtils::freeX509(certificate);
    }
    EXPECT_TRUE(utils.VerifyPIN(0, "123456"));
    EXPECT_FALSE(utils.VerifyPIN(0, "999999"));
    EXPECT_FALSE(utils.VerifyPIN(1, "123456")) << "no such slot";
    EXPECT_EQ(utils.ChangePIN(0, "123456", "24681357"), 0);
    EXPECT_TRUE(utils.VerifyPIN(0, "24681357"));
    EXPECT_FALSE(utils.VerifyPIN(0, "123456"));
}

}  // namespace
}  // namespace kivo::test
