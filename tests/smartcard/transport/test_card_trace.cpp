// The card trace: line prefix, hex dump layout, levels and the enabled
// flag, result texts, the failure notification, file mode, and PIN data
// kept out of the file.

#include "tests/support/card/PcscScript.h"

#include "platform/CardEvents.h"
#include "smartcard/transport/CardTrace.h"
#include "smartcard/transport/SC_Transport.h"

#include <gtest/gtest.h>

#include <cctype>
#include <sstream>
#include <sys/stat.h>

namespace {

using kivo::CardTrace;
using kivo::test::Bytes;
using kivo::test::ScopedTraceFile;
using kivo::test::ScriptedPcsc;

// Whether the line starts with "YYYY-MM-DD HH:MM:SS,mmm - <title> (0) : ";
// the rest of the line goes to `message`.
bool splitPrefix(const std::string& line, const std::string& title, std::string& message) {
    const std::string shape = "dddd-dd-dd dd:dd:dd,ddd";
    if (line.size() < shape.size()) return false;
    for (std::size_t i = 0; i < shape.size(); ++i) {
        const bool digit = std::isdigit(static_cast<unsigned char>(line[i])) != 0;
        if (shape[i] == 'd' ? !digit : line[i] != shape[i]) return false;
    }
    const std::string rest = " - " + title + " (0) : ";
    if (line.compare(shape.size(), rest.size(), rest) != 0) return false;
    message = line.substr(shape.size() + rest.size());
    return true;
}

std::vector<std::string> linesOf(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

class CardTraceTest : public ::testing::Test {
protected:
    void SetUp() override {
        savedTitle = CardTrace::title();
        CardTrace::setTitle("Starcos 3.5");
    }
    void TearDown() override {
        CardTrace::setTitle(savedTitle);
        CardTrace::setSuppressed(false);
    }
    std::string savedTitle;
};

TEST_F(CardTraceTest, LinePrefixHoldsTimeMillisecondsTitleAndZero) {
    ScopedTraceFile trace;
    CardTrace::write(1, "value %d and %s\n", 42, "text");
    const std::string text = trace.contents();
    ASSERT_FALSE(text.empty());
    EXPECT_EQ(text.back(), '\n');
    const auto lines = linesOf(text);
    ASSERT_EQ(lines.size(), 1u) << text;
    std::string message;
    ASSERT_TRUE(splitPrefix(lines[0], "Starcos 3.5", message)) << text;
    EXPECT_EQ(message, "value 42 and text");
}

TEST_F(CardTraceTest, FileIsCreatedPrivateAndAppendedTo) {
    ScopedTraceFile trace;
    EXPECT_FALSE(trace.exists());
    CardTrace::write(1, "first\n");
    CardTrace::write(2, "second\n");
    struct stat info {};
    ASSERT_EQ(::stat(trace.path().c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    const std::string text = trace.contents();
    EXPECT_LT(text.find("first\n"), text.find("second\n"));
    EXPECT_NE(text.find("second\n"), std::string::npos);
}

TEST_F(CardTraceTest, TraceFileIsNotFollowedThroughASymbolicLink) {
    ScopedTraceFile trace;
    const auto target = trace.path().parent_path() / "elsewhere";
    std::filesystem::create_symlink(target, trace.path());
    CardTrace::write(1, "secret traffic\n");
    EXPECT_FALSE(std::filesystem::exists(target));
}

TEST_F(CardTraceTest, LevelsEnabledFlagAndSuppression) {
    ScopedTraceFile trace(2);
    CardTrace::write(CardTrace::cLevelApdu, "apdu level\n");
    CardTrace::write(CardTrace::cLevelDetail, "detail level\n");
    CardTrace::write(CardTrace::cLevelInfo, "info level\n");
    const Bytes bytes = {1, 2};
    CardTrace::dump(CardTrace::cLevelApdu, "[data sent to card]", bytes.data(), bytes.size());
    std::string text = trace.contents();
    EXPECT_EQ(text.find("apdu level"), std::string::npos);
    EXPECT_EQ(text.find("[data sent to card]"), std::string::npos);
    EXPECT_NE(text.find("detail level"), std::string::npos);
    EXPECT_NE(text.find("info level"), std::string::npos);
    EXPECT_TRUE(CardTrace::enabled(2));
    EXPECT_FALSE(CardTrace::enabled(3));

    CardTrace::setSuppressed(true);
    CardTrace::write(1, "while suppressed\n");
    CardTrace::setSuppressed(false);
    auto& settings = kivo::cardSettings().m_settings;
    settings.m_traceEnabled = false;
    CardTrace::write(1, "while disabled\n");
    EXPECT_FALSE(CardTrace::enabled(1));
    text = trace.contents();
    EXPECT_EQ(text.find("while suppressed"), std::string::npos);
    EXPECT_EQ(text.find("while disabled"), std::string::npos);
}

TEST_F(CardTraceTest, NothingIsWrittenWithLevelZero) {
    ScopedTraceFile trace(0);
    CardTrace::write(1, "not written\n");
    EXPECT_FALSE(trace.exists());
}

TEST_F(CardTraceTest, HexDumpLayout) {
    Bytes bytes(18);
    for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<std::uint8_t>(0xF0 + i);
    const std::string prefix = "P - T (0) : ";
    EXPECT_EQ(CardTrace::formatDump(prefix, "[data sent to card]", bytes.data(), bytes.size()),
              "P - T (0) : [data sent to card]:\n"
              "P - T (0) : f0:f1:f2:f3:f4:f5:f6:f7:f8:f9:fa:fb:fc:fd:fe:ff\n"
              "P - T (0) : 00:01\n");
    EXPECT_EQ(CardTrace::formatDump(prefix, "", bytes.data(), 2), "P - T (0) :\nP - T (0) : f0:f1\n");
    EXPECT_EQ(CardTrace::formatDump(prefix, "x", nullptr, 5), "P - T (0) : x:\n\n");
    EXPECT_EQ(CardTrace::formatDump(prefix, "x", bytes.data(), 4, 1, 2), "P - T (0) : x:\nP - T (0) : f0:**:**:f3\n");
    // A mask beyond the bytes stops at their end.
    EXPECT_EQ(CardTrace::formatDump(prefix, "x", bytes.data(), 3, 2, 99), "P - T (0) : x:\nP - T (0) : f0:f1:**\n");
}

TEST_F(CardTraceTest, DumpWritesThePrefixOnEveryLine) {
    ScopedTraceFile trace;
    Bytes bytes(17, 0xAB);
    CardTrace::dump(CardTrace::cLevelApdu, "[data received from card]", bytes.data(), bytes.size());
    const std::string text = trace.contents();
    const auto lines = linesOf(text);
    ASSERT_EQ(lines.size(), 3u) << text;
    const std::vector<std::string> expected = {
        "[data received from card]:", "ab:ab:ab:ab:ab:ab:ab:ab:ab:ab:ab:ab:ab:ab:ab:ab", "ab"};
    for (std::size_t i = 0; i < lines.size(); ++i) {
        std::string message;
        ASSERT_TRUE(splitPrefix(lines[i], "Starcos 3.5", message)) << lines[i];
        EXPECT_EQ(message, expected[i]);
    }
}

TEST_F(CardTraceTest, TitlePrefixIsStrippedOnlyAtTheStart) {
    CardTrace::setTitle("KivoCryptoSSLCardOS 5.4");
    EXPECT_EQ(CardTrace::title(), "CardOS 5.4");
    CardTrace::setTitle("CardOS KivoCryptoSSL");
    EXPECT_EQ(CardTrace::title(), "CardOS KivoCryptoSSL");
}

TEST_F(CardTraceTest, ResultTexts) {
    EXPECT_STREQ(CardTrace::resultText(0), "no Errors");
    EXPECT_STREQ(CardTrace::resultText(6), "CSC_Profile_Base::SC_CMD_COUNTERFAILED");
    EXPECT_STREQ(CardTrace::resultText(14), "CSC_Profile_Base::SC_CMD_AUTH_FAILED");
    EXPECT_STREQ(CardTrace::resultText(15), "CSC_Profile_Base::SC_CMD_PACE_INIT_FAILED");
    EXPECT_STREQ(CardTrace::resultText(80), "ERROR_FILE_EXISTS");
    EXPECT_STREQ(CardTrace::resultText(145), "ERROR_DIR_NOT_EMPTY");
    EXPECT_STREQ(CardTrace::resultText(255), "CSC_Profile_Base::SC_CMD_FAILED");
    EXPECT_STREQ(CardTrace::resultText(1306), "ERROR_REVISION_MISMATCH");
    EXPECT_STREQ(CardTrace::resultText(0x80100003u), "SCARD_E_INVALID_HANDLE");
    EXPECT_STREQ(CardTrace::resultText(0x80100007u), "SCARD_F_WAITED_TOO_LONG");
    EXPECT_STREQ(CardTrace::resultText(0x80100008u), "SCARD_E_INSUFFICIENT_BUFFER");
    EXPECT_STREQ(CardTrace::resultText(0x80100022u), "SCARD_E_UNSUPPORTED_FEATURE");
    EXPECT_STREQ(CardTrace::resultText(0x8010006Cu), "SCARD_W_CHV_BLOCKED");
    EXPECT_STREQ(CardTrace::resultText(5), "unknown");
    EXPECT_STREQ(CardTrace::resultText(0x80100009u), "unknown");
}

TEST_F(CardTraceTest, ResultLine) {
    ScopedTraceFile trace;
    CardTrace::logResult("CSC_Profile_Base::returnResult", 255);
    const std::string text = trace.contents();
    EXPECT_NE(text.find(" : -->leaving CSC_Profile_Base::returnResult (0x000000FF)"
                        "(CSC_Profile_Base::SC_CMD_FAILED)\n"),
              std::string::npos)
        << text;
}

TEST_F(CardTraceTest, FailedSigningOrDecryptionIsBroadcast) {
    ScopedTraceFile trace(0);  // the notification does not depend on the trace
    std::vector<kivo::CardEvent> events;
    kivo::ScopedCardEventSubscription subscription(
        [&events](const kivo::CardEvent& event) { events.push_back(event); });
    CardTrace::logResult("CardSignData", 0);
    CardTrace::logResult("SomethingElse", 255);
    EXPECT_TRUE(events.empty());
    CardTrace::logResult("CardSignData", 5);
    CardTrace::logResult("CardRSADecrypt", 255);
    ASSERT_EQ(events.size(), 2u);
    for (const kivo::CardEvent& event : events) {
        EXPECT_EQ(event.wParam, 0x2003u);
        EXPECT_EQ(event.lParam, 0);
    }
}

TEST_F(CardTraceTest, ObserversCanLeaveAndOthersStillHear) {
    int first = 0;
    int second = 0;
    const int id = kivo::cardEvents().subscribe([&first](const kivo::CardEvent&) { ++first; });
    kivo::ScopedCardEventSubscription other([&second](const kivo::CardEvent&) { ++second; });
    kivo::cardEvents().post({});
    kivo::cardEvents().unsubscribe(id);
    kivo::cardEvents().post({});
    EXPECT_EQ(first, 1);
    EXPECT_EQ(second, 2);
}

TEST_F(CardTraceTest, SecretRangeOfPinCommands) {
    std::size_t from = 0;
    std::size_t count = 0;
    const Bytes verify = {0x00, 0x20, 0x00, 0x81, 0x04, '1', '2', '3', '4'};
    ASSERT_TRUE(kivo::secretDataRange(verify.data(), verify.size(), from, count));
    EXPECT_EQ(from, 5u);
    EXPECT_EQ(count, 4u);
    const Bytes extended = {0x00, 0x2C, 0x00, 0x81, 0x00, 0x00, 0x02, '1', '2', 0x00, 0x00};
    ASSERT_TRUE(kivo::secretDataRange(extended.data(), extended.size(), from, count));
    EXPECT_EQ(from, 7u);
    EXPECT_EQ(count, 4u);
    const Bytes select = {0x00, 0xA4, 0x00, 0x0C, 0x02, 0x3F, 0x00};
    EXPECT_FALSE(kivo::secretDataRange(select.data(), select.size(), from, count));
    const Bytes header = {0x00, 0x20, 0x00, 0x81, 0x00};
    EXPECT_FALSE(kivo::secretDataRange(header.data(), header.size(), from, count));
    EXPECT_FALSE(kivo::secretDataRange(nullptr, 9, from, count));
}

// A VERIFY, CHANGE REFERENCE DATA and RESET RETRY COUNTER with known PINs
// through the transport: neither the characters nor the bytes of the PINs
// reach the trace file, while the header and the masked field do.
TEST_F(CardTraceTest, PinsNeverReachTheTraceFile) {
    ScopedTraceFile trace;
    ScriptedPcsc pcsc;
    pcsc.script.answers = {{0x90, 0x00}, {0x90, 0x00}, {0x90, 0x00}, {0x90, 0x00}};
    CSC_Transport card;
    ASSERT_EQ(card.Connect("Reader 0", 0x77), 0u);

    const std::string pin = "739184";
    const std::string newPin = "562907";
    const std::string puk = "84736251";
    const Bytes pinBytes(pin.begin(), pin.end());
    card.SetApdu(6, 0x00, 0x20, 0x00, 0x81, 6, 0, pinBytes.data(), 6);
    ASSERT_TRUE(card.SendToCard());

    const std::string change = pin + newPin;
    const Bytes changeBytes(change.begin(), change.end());
    card.SetApdu(6, 0x00, 0x24, 0x00, 0x81, 12, 0, changeBytes.data(), 12);
    ASSERT_TRUE(card.SendToCard());

    const std::string unblock = puk + newPin;
    const Bytes unblockBytes(unblock.begin(), unblock.end());
    card.SetApdu(6, 0x00, 0x2C, 0x00, 0x81, 14, 0, unblockBytes.data(), 14);
    ASSERT_TRUE(card.SendToCard());
    card.SetApdu(7, 0x00, 0x20, 0x00, 0x81, 6, 0, pinBytes.data(), 6);
    ASSERT_TRUE(card.SendToCard());

    // The card did receive the PINs.
    EXPECT_EQ(Bytes(pcsc.script.transmits.at(0).apdu.begin() + 5, pcsc.script.transmits.at(0).apdu.end()),
              pinBytes);

    const std::string text = trace.contents();
    ASSERT_NE(text.find("[data sent to card]"), std::string::npos);
    EXPECT_NE(text.find("00:20:00:81:06:**:**:**:**:**:**\n"), std::string::npos) << text;
    // Seventeen bytes: sixteen on the first line, the last mask on the next.
    EXPECT_NE(text.find("00:24:00:81:0c:**:**:**:**:**:**:**:**:**:**:**\n"), std::string::npos);
    EXPECT_NE(text.find("00:20:00:81:00:00:06:**:**:**:**:**:**:**:**\n"), std::string::npos);
    for (const std::string& secret : {pin, newPin, puk}) {
        EXPECT_EQ(text.find(secret), std::string::npos) << secret;
        std::string hexColon;
        std::string hexPlain;
        char byte[3];
        for (char c : secret) {
            std::snprintf(byte, sizeof byte, "%02x", static_cast<unsigned char>(c));
            if (!hexColon.empty()) hexColon += ':';
            hexColon += byte;
            hexPlain += byte;
        }
        EXPECT_EQ(text.find(hexColon), std::string::npos) << hexColon;
        EXPECT_EQ(text.find(hexPlain), std::string::npos) << hexPlain;
    }
}

// The answer to PSO DECIPHER is the deciphered data (a session key): it is
// masked in the trace like a PIN; other answers are shown.
TEST_F(CardTraceTest, DecipheredDataNeverReachesTheTraceFile) {
    ScopedTraceFile trace;
    ScriptedPcsc pcsc;
    const Bytes key = {0xC4, 0x1D, 0x8E, 0x27, 0x5B, 0xA3, 0x96, 0x0F};
    Bytes answer = key;
    answer.insert(answer.end(), {0x90, 0x00});
    pcsc.script.answers = {answer, {0x3C, 0x7E, 0x90, 0x00}};
    CSC_Transport card;
    ASSERT_EQ(card.Connect("Reader 0", 0x77), 0u);
    const Bytes cryptogram(16, 0x42);
    card.SetApdu(6, 0x00, 0x2A, 0x80, 0x86, 16, 0, cryptogram.data(), 16);
    ASSERT_TRUE(card.SendToCard());
    EXPECT_EQ(Bytes(card.Response(), card.Response() + card.ResponseLength()), key);
    card.SetApdu(4, 0x00, 0xB0, 0x00, 0x00, 2, 0, nullptr, 0);
    ASSERT_TRUE(card.SendToCard());

    const std::string text = trace.contents();
    EXPECT_NE(text.find(": **:**:**:**:**:**:**:**:90:00\n"), std::string::npos) << text;
    EXPECT_EQ(text.find("c4:1d:8e:27"), std::string::npos) << text;
    EXPECT_NE(text.find(": 3c:7e:90:00\n"), std::string::npos) << text;
}

// The PACE request hands the PIN to the reader inside its input: the whole
// input is masked in the trace, other control requests are shown.
TEST_F(CardTraceTest, PaceControlInputIsMasked) {
    ScopedTraceFile trace;
    ScriptedPcsc pcsc;
    CSC_Transport card;
    ASSERT_EQ(card.Connect("Reader 0", 0x77), 0u);
    pcsc.script.controlAnswers.push_back(
        {SCARD_S_SUCCESS, {0x20, 0x04, 0x42, 0x33, 0x00, 0x20, 0x06, 0x04, 0x42, 0x33, 0x00, 0x06}});
    card.RefreshPinPadFeatures();
    ASSERT_TRUE(card.IsPaceAvailable());

    const Bytes paceInput = {0x02, 0x05, 0x00, 0x03, 0x06, '7', '3', '9', '1', '8', '4'};
    pcsc.script.controlAnswers.push_back({SCARD_S_SUCCESS, {0x90, 0x00}});
    ASSERT_TRUE(card.TransmitControl(0x42330020, paceInput.data(), paceInput.size()));
    const Bytes other = {0x1E, 0x1E, 0x02};
    pcsc.script.controlAnswers.push_back({SCARD_S_SUCCESS, {0x90, 0x00}});
    ASSERT_TRUE(card.TransmitControl(0x42330006, other.data(), other.size()));
    // The reader received the real input.
    EXPECT_EQ(pcsc.script.controls.at(1).input, paceInput);

    const std::string text = trace.contents();
    EXPECT_NE(text.find(" : **:**:**:**:**:**:**:**:**:**:**\n"), std::string::npos) << text;
    EXPECT_NE(text.find(" : 1e:1e:02\n"), std::string::npos) << text;
    EXPECT_EQ(text.find("37:33:39:31:38:34"), std::string::npos);
}

}  // namespace
