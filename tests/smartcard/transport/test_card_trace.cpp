// The card trace: line layout, file mode, levels, result texts, the failure notification, and no PIN, PUK or
// deciphered key in the file.

#include "tests/support/card/PcscScript.h"

#include "platform/CardEvents.h"
#include "smartcard/transport/CardTrace.h"
#include "smartcard/transport/SC_Transport.h"

#include <gtest/gtest.h>

#include <regex>
#include <sys/stat.h>

namespace {

using kivo::CardTrace;
using kivo::test::Bytes;
using kivo::test::ScopedTraceFile;
using kivo::test::ScriptedPcsc;

class CardTraceTest : public ::testing::Test {
protected:
    void SetUp() override { CardTrace::setTitle("Starcos 3.5"); }
    void TearDown() override { CardTrace::setSuppressed(false); }
};

TEST_F(CardTraceTest, LinesLevelsAndFileMode) {
    ScopedTraceFile trace(2);
    EXPECT_FALSE(trace.exists());
    CardTrace::write(1, "value %d and %s\n", 42, "text");
    CardTrace::write(CardTrace::cLevelApdu, "apdu level\n");
    CardTrace::write(CardTrace::cLevelDetail, "detail level\n");
    const Bytes bytes(17, 0xAB);
    CardTrace::dump(CardTrace::cLevelDetail, "[data received from card]", bytes.data(), bytes.size());
    CardTrace::setSuppressed(true);
    CardTrace::write(1, "while suppressed\n");
    CardTrace::setSuppressed(false);
    EXPECT_TRUE(CardTrace::enabled(2));
    EXPECT_FALSE(CardTrace::enabled(3));
    const std::string prefix = R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d,\d{3} - Starcos 3\.5 \(0\) : )";
    EXPECT_TRUE(std::regex_match(trace.contents(),
                                 std::regex(prefix + "value 42 and text\n" + prefix + "detail level\n" + prefix +
                                            "\\[data received from card\\]:\n" + prefix + "(ab:){15}ab\n" +
                                            prefix + "ab\n"))) << trace.contents();
    struct stat info {};
    ASSERT_EQ(::stat(trace.path().c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);

    kivo::cardSettings().m_settings.m_traceEnabled = false;
    CardTrace::write(1, "while disabled\n");
    EXPECT_EQ(trace.contents().find("while"), std::string::npos);

    ScopedTraceFile linked;
    const auto target = linked.path().parent_path() / "elsewhere";
    std::filesystem::create_symlink(target, linked.path());
    CardTrace::write(1, "secret traffic\n");
    EXPECT_FALSE(std::filesystem::exists(target)) << "followed a symbolic link";
}

TEST_F(CardTraceTest, HexDumpLayoutAndTitle) {
    const Bytes bytes = {0xF0, 0xF1, 0xF2, 0xF3};
    const std::string p = "P - T (0) : ";
    EXPECT_EQ(CardTrace::formatDump(p, "", bytes.data(), 2), "P - T (0) :\n" + p + "f0:f1\n");
    EXPECT_EQ(CardTrace::formatDump(p, "x", nullptr, 5), p + "x:\n\n");
    EXPECT_EQ(CardTrace::formatDump(p, "x", bytes.data(), 4, 1, 2), p + "x:\n" + p + "f0:**:**:f3\n");
    EXPECT_EQ(CardTrace::formatDump(p, "x", bytes.data(), 3, 2, 99), p + "x:\n" + p + "f0:f1:**\n");
    CardTrace::setTitle("KivoCryptoSSLCardOS 5.4");
    EXPECT_EQ(CardTrace::title(), "CardOS 5.4");
    CardTrace::setTitle("CardOS KivoCryptoSSL");
    EXPECT_EQ(CardTrace::title(), "CardOS KivoCryptoSSL");
}

TEST_F(CardTraceTest, ResultTextsLineAndFailureNotification) {
    const std::pair<std::uint32_t, const char*> texts[] = {
        {0, "no Errors"}, {6, "CSC_Profile_Base::SC_CMD_COUNTERFAILED"}, {80, "ERROR_FILE_EXISTS"},
        {0x8010006Cu, "SCARD_W_CHV_BLOCKED"}, {5, "unknown"}, {0x80100009u, "unknown"}};
    for (const auto& [code, text] : texts) EXPECT_STREQ(CardTrace::resultText(code), text) << code;

    ScopedTraceFile trace;
    std::vector<kivo::CardEvent> events;
    kivo::ScopedCardEventSubscription subscription([&](const kivo::CardEvent& event) { events.push_back(event); });
    CardTrace::logResult("CardSignData", 0);
    CardTrace::logResult("SomethingElse", 255);
    EXPECT_TRUE(events.empty());
    CardTrace::logResult("CardSignData", 5);
    CardTrace::logResult("CardRSADecrypt", 255);
    ASSERT_EQ(events.size(), 2u);
    for (const kivo::CardEvent& event : events) EXPECT_EQ(event.wParam, 0x2003u);
    EXPECT_NE(trace.contents().find(" : -->leaving SomethingElse (0x000000FF)(CSC_Profile_Base::SC_CMD_FAILED)\n"),
              std::string::npos) << trace.contents();
}

std::string hexOf(const std::string& secret, const char* separator) {
    std::string out;
    char byte[3];
    for (char c : secret) {
        std::snprintf(byte, sizeof byte, "%02x", static_cast<unsigned char>(c));
        out += (out.empty() ? "" : separator) + std::string(byte);
    }
    return out;
}

// VERIFY, CHANGE REFERENCE DATA, RESET RETRY COUNTER, the deciphered answer of PSO DECIPHER and the PACE
// control input reach the card or reader in full and the trace masked.
TEST_F(CardTraceTest, NoSecretReachesTheTraceFile) {
    ScopedTraceFile trace;
    ScriptedPcsc pcsc;
    CSC_Transport card;
    ASSERT_EQ(card.Connect("Reader 0", 0x77), 0u);
    const std::string pin = "739184", newPin = "562907", puk = "84736251", key = "\xC4\x1D\x8E\x27\x5B\xA3";
    struct Row { std::uint32_t apduCase; std::uint8_t ins, p1, p2; std::string data; Bytes answer;
        const char* shown; };
    const Row rows[] = {
        {6, 0x20, 0x00, 0x81, pin, {0x90, 0x00}, "00:20:00:81:06:**:**:**:**:**:**\n"},
        {6, 0x24, 0x00, 0x81, pin + newPin, {0x90, 0x00}, "00:24:00:81:0c:**:**:**:**:**:**:**:**:**:**:**\n"},
        {6, 0x2C, 0x00, 0x81, puk + newPin, {0x90, 0x00}, "00:2c:00:81:0e:**:**:**:**:**:**:**:**:**:**:**\n"},
        {7, 0x20, 0x00, 0x81, pin, {0x90, 0x00}, "00:20:00:81:00:00:06:**:**:**:**:**:**:**:**\n"},
        {6, 0x2A, 0x80, 0x86, std::string(16, 'B'), {0xC4, 0x1D, 0x8E, 0x27, 0x5B, 0xA3, 0x90, 0x00},
         ": **:**:**:**:**:**:90:00\n"},
        {1, 0x20, 0x00, 0x81, "", {0x63, 0xC3}, ": 00:20:00:81\n"},
        {4, 0xB0, 0x00, 0x00, "", {0x3C, 0x7E, 0x90, 0x00}, ": 3c:7e:90:00\n"},
    };
    for (const Row& row : rows) {
        pcsc.script.answers.push_back(row.answer);
        const Bytes data(row.data.begin(), row.data.end());
        const auto lc = static_cast<std::uint16_t>(data.size());
        card.SetApdu(row.apduCase, 0x00, row.ins, row.p1, row.p2, lc, 0, data.data(), lc);
        ASSERT_TRUE(card.SendToCard());
        const Bytes& sent = pcsc.script.transmits.back().apdu;
        EXPECT_EQ(Bytes(sent.end() - lc - (row.apduCase == 7 ? 2 : 0), sent.end() - (row.apduCase == 7 ? 2 : 0)), data);
        EXPECT_NE(trace.contents().find(row.shown), std::string::npos) << row.shown << trace.contents();
    }
    EXPECT_EQ(Bytes(card.Response(), card.Response() + card.ResponseLength()), (Bytes{0x3C, 0x7E}));

    const Bytes features = {0x20, 0x04, 0x42, 0x33, 0x00, 0x20, 0x06, 0x04, 0x42, 0x33, 0x00, 0x06};
    pcsc.script.controlAnswers = {{SCARD_S_SUCCESS, features}, {SCARD_S_SUCCESS, {0x90, 0x00}},
                                  {SCARD_S_SUCCESS, {0x90, 0x00}}};
    card.RefreshPinPadFeatures();
    const Bytes paceInput = {0x02, 0x05, 0x00, 0x03, 0x06, '7', '3', '9', '1', '8', '4'};
    ASSERT_TRUE(card.TransmitControl(0x42330020, paceInput.data(), paceInput.size()));
    ASSERT_TRUE(card.TransmitControl(0x42330006, Bytes{0x1E, 0x1E, 0x02}.data(), 3));
    EXPECT_EQ(pcsc.script.controls.at(1).input, paceInput);

    const std::string text = trace.contents();
    EXPECT_NE(text.find(" : **:**:**:**:**:**:**:**:**:**:**\n"), std::string::npos) << text;
    EXPECT_NE(text.find(" : 1e:1e:02\n"), std::string::npos) << text;
    for (const std::string& secret : {pin, newPin, puk, key}) {
        EXPECT_EQ(text.find(secret), std::string::npos);
        EXPECT_EQ(text.find(hexOf(secret, ":")), std::string::npos) << hexOf(secret, ":");
        EXPECT_EQ(text.find(hexOf(secret, "")), std::string::npos) << hexOf(secret, "");
    }
}

}  // namespace
