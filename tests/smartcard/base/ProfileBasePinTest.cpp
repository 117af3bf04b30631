// CSC_Profile_Base against the virtual card: PIN verification, change and
// unblocking (given PINs and keyboard dialogs), the status-word mapping of
// the PIN commands, GET CHALLENGE, and the signing sequence. Each test
// starts and ends with both PINs at their described values and counters.

#include "tests/support/card/CryptoCheck.h"
#include "tests/smartcard/base/TestProfile.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace kivo::test {
namespace {

using Bytes = CSC_Profile_Base::Bytes;
using Commands = std::vector<std::string>;
using kivo::pin::SecretKind;
using apdu::kSelectMf;
using apdu::selectDf;
using apdu::selectEf;

constexpr CardResult kOk = kivo::card::cOk;
constexpr CardResult kFailed = kivo::card::cFailed;

// Selected before each test, so that the select step of the PIN operations
// sends nothing.
const std::string kPath = "3f00/0101";
const std::string kPukHex = "3132333435363738";

class ProfilePinTest : public ProfileCardTest {
protected:
    void SetUp() override {
        ProfileCardTest::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        restorePinsAtEnd = true;
        restorePins();
        ASSERT_EQ(profile.SelectPath(kPath), kOk);
        session.markRecord();
    }
};

// Dialogs that answer from a table and note what was asked; the previous
// dialogs come back at the end of the scope.
class ScriptedDialogs {
public:
    explicit ScriptedDialogs(std::map<SecretKind, std::optional<std::string>> answers)
        : m_answers(std::move(answers)) {
        kivo::pin::Dialogs dialogs;
        dialogs.askSecret = [this](SecretKind kind, const kivo::pin::PromptTexts&)
            -> std::optional<kivo::pin::Secret> {
            asked.push_back(kind);
            auto it = m_answers.find(kind);
            if (it == m_answers.end() || !it->second) return std::nullopt;
            return kivo::pin::Secret(*it->second);
        };
        m_previous = kivo::pin::installDialogs(std::move(dialogs));
    }
    ~ScriptedDialogs() { kivo::pin::installDialogs(std::move(m_previous)); }
    ScriptedDialogs(const ScriptedDialogs&) = delete;
    ScriptedDialogs& operator=(const ScriptedDialogs&) = delete;

    std::vector<SecretKind> asked;

private:
    std::map<SecretKind, std::optional<std::string>> m_answers;
    kivo::pin::Dialogs m_previous;
};

// ---- VERIFY ---------------------------------------------------------------

TEST_F(ProfilePinTest, VerifySendsThePinAsGivenAndMapsTheAnswer) {
    EXPECT_EQ(profile.Verify(kPath, "", false, 0x81, false, "123456"), kOk);
    EXPECT_EQ(profile.Verify(kPath, "", false, 0x81, false, "111111"), kFailed);  // 63C2
    EXPECT_EQ(profile.Verify(kPath, "", false, 0x81, false, "123456"), kOk);
    auto exchanges = session.recorded();
    ASSERT_EQ(exchanges.size(), 3u);
    EXPECT_EQ(exchanges[0], (RecordedExchange{"0020008106313233343536", "9000"}));
    EXPECT_EQ(exchanges[1], (RecordedExchange{"0020008106313131313131", "63C2"}));
    EXPECT_EQ(exchanges[2], (RecordedExchange{"0020008106313233343536", "9000"}));
    EXPECT_FALSE(profile.PinEntryCancelled());
}

TEST_F(ProfilePinTest, VerifySelectsFirstAndFallsBackToTheAlternativePath) {
    EXPECT_EQ(profile.Verify("3f00/4711", "3f00/0101", true, 0x82, false, "1234"), kOk);
    EXPECT_EQ(sent(), (Commands{selectEf("4711"), selectEf("4711"), selectEf("4711"),
                                selectEf("0101"), "002000820431323334"}));

    // Neither path exists: no VERIFY.
    session.markRecord();
    EXPECT_EQ(profile.Verify("3f00/4711", "3f00/4712", true, 0x82, false, "1234"), kFailed);
    EXPECT_EQ(sent(), (Commands{selectEf("4711"), selectEf("4711"), selectEf("4711"),
                                selectEf("4712"), selectEf("4712"), selectEf("4712")}));

    // Card type 19 always selects first.
    profile.SetCardType(19);
    session.markRecord();
    EXPECT_EQ(profile.Verify("3f00/5015/c001", "", false, 0x82, false, "1234"), kOk);
    EXPECT_EQ(sent(), (Commands{kSelectMf, selectDf("5015"), selectEf("C001"), "002000820431323334"}));
}

TEST_F(ProfilePinTest, BlockedPinGivesCounterFailedAndThePukUnblocksIt) {
    for (const char* tries : {"63C2", "63C1", "63C0"}) {
        session.markRecord();
        EXPECT_EQ(profile.Verify(kPath, "", false, 0x82, false, "9999"), kFailed);
        EXPECT_EQ(session.recorded(),
                  (std::vector<RecordedExchange>{{"002000820439393939", tries}}));
    }
    session.markRecord();
    EXPECT_EQ(profile.Verify(kPath, "", false, 0x82, false, "1234"), SC_CMD_COUNTERFAILED);
    EXPECT_EQ(session.recorded(), (std::vector<RecordedExchange>{{"002000820431323334", "6983"}}));

    // A wrong PUK is counted at the card and leaves the PIN blocked.
    session.markRecord();
    EXPECT_EQ(profile.UnblockRef(kPath, "", 0x82, "87654321", "1234"), kFailed);
    EXPECT_EQ(session.recorded(),
              (std::vector<RecordedExchange>{{"002C00820C" "3837363534333231" "31323334", "63C9"}}));

    session.markRecord();
    EXPECT_EQ(profile.UnblockRef(kPath, "", 0x82, "12345678", "1234"), kOk);
    EXPECT_EQ(profile.Verify(kPath, "", false, 0x82, false, "1234"), kOk);
    EXPECT_EQ(sent(), (Commands{"002C00820C" + kPukHex + "31323334", "002000820431323334"}));
}

// ---- CHANGE REFERENCE DATA and RESET RETRY COUNTER ---------------------------

TEST_F(ProfilePinTest, ChangeRefSendsOldAndNewPinAfterCheckingTheNewLength) {
    // Outside [4, 8]: refused before anything is sent.
    EXPECT_EQ(profile.ChangeRef(kPath, "", 0x82, false, "1234", "123"), kFailed);
    EXPECT_EQ(profile.ChangeRef(kPath, "", 0x82, false, "1234", "123456789"), kFailed);
    EXPECT_EQ(profile.UnblockRef(kPath, "", 0x82, "12345678", "123"), kFailed);
    EXPECT_EQ(profile.UnblockRef(kPath, "", 0x82, "12345678", "123456789"), kFailed);
    EXPECT_TRUE(sent().empty()) << ::testing::PrintToString(sent());

    // The longest allowed PIN, then back to the shortest.
    EXPECT_EQ(profile.ChangeRef(kPath, "", 0x82, false, "1234", "12345678"), kOk);
    EXPECT_EQ(profile.Verify(kPath, "", false, 0x82, false, "12345678"), kOk);
    EXPECT_EQ(profile.ChangeRef(kPath, "", 0x82, false, "12345678", "1234"), kOk);
    EXPECT_EQ(sent(), (Commands{"002400820C" "31323334" "3132333435363738",
                                "00200082083132333435363738",
                                "002400820C" "3132333435363738" "31323334"}));

    // A wrong current PIN: the card counts it (63C2), the base gives 255.
    session.markRecord();
    EXPECT_EQ(profile.ChangeRef(kPath, "", 0x82, false, "9999", "5678"), kFailed);
    EXPECT_EQ(session.recorded(),
              (std::vector<RecordedExchange>{{"002400820839393939" "35363738", "63C2"}}));
}

TEST_F(ProfilePinTest, PinCommandPrimitivesSendTheDescribedLayouts) {
    const std::string pin = "123456";
    const std::string puk = "12345678";
    const std::string pin82 = "1234";
    const std::string other = "5678";
    auto bytes = [](const std::string& s) { return reinterpret_cast<const std::uint8_t*>(s.data()); };

    EXPECT_EQ(profile.SCVerify(0x81, bytes(pin), 6), kOk);
    EXPECT_EQ(profile.SCChangeRef(0x82, bytes(pin82), 4, bytes(other), 4), kOk);
    EXPECT_EQ(profile.SCUnblockPin(0x82, bytes(puk), 8, bytes(pin82), 4), kOk);
    // Without a new PIN: the PUK followed by as many zero bytes.
    EXPECT_EQ(profile.SCUnblockPin2(0x82, bytes(puk), 8), kOk);
    EXPECT_EQ(sent(), (Commands{"0020008106313233343536",
                                "002400820831323334" "35363738",
                                "002C00820C" + kPukHex + "31323334",
                                "002C008210" + kPukHex + "0000000000000000"}));
    // The card took the zero bytes as the new PIN.
    EXPECT_EQ(session.send("00200082080000000000000000"), 0x9000);
}

TEST_F(ProfilePinTest, UnblockWithPukOnlyAsksForNoNewPin) {
    profile.unblockWithPukOnly = true;
    ScriptedDialogs dialogs({{SecretKind::Puk, "12345678"}});
    EXPECT_EQ(profile.UnblockRef(kPath, "", 0x82, "12345678", ""), kOk);
    EXPECT_EQ(profile.UnblockRef(kPath, "", 0x82, "", ""), kOk);
    EXPECT_EQ(dialogs.asked, (std::vector<SecretKind>{SecretKind::Puk}));
    EXPECT_EQ(sent(), (Commands(2, "002C008210" + kPukHex + "0000000000000000")));
}

// ---- keyboard dialogs ---------------------------------------------------------

TEST_F(ProfilePinTest, EmptyPinWithoutDialogIsCancelledAndSendsNothing) {
    ScriptedDialogs none({});  // nothing answers: every request is cancelled
    EXPECT_NE(profile.Verify(kPath, "", false, 0x81, false, ""), kOk);
    EXPECT_TRUE(profile.PinEntryCancelled());
    EXPECT_TRUE(sent().empty()) << ::testing::PrintToString(sent());
    EXPECT_EQ(none.asked, (std::vector<SecretKind>{SecretKind::Pin}));

    // The next verification clears the flag.
    EXPECT_EQ(profile.Verify(kPath, "", false, 0x81, false, "123456"), kOk);
    EXPECT_FALSE(profile.PinEntryCancelled());
}

TEST_F(ProfilePinTest, EmptyPinWithoutDialogsSendsNothing) {
    // No dialogs installed.
    kivo::pin::Dialogs previous = kivo::pin::installDialogs({});
    const CardResult result = profile.Verify(kPath, "", false, 0x81, false, "");
    const bool cancelled = profile.PinEntryCancelled();
    kivo::pin::installDialogs(std::move(previous));
    EXPECT_NE(result, kOk);
    EXPECT_TRUE(cancelled);
    EXPECT_TRUE(sent().empty()) << ::testing::PrintToString(sent());
}

TEST_F(ProfilePinTest, DialogPinsAreSent) {
    {
        ScriptedDialogs dialogs({{SecretKind::Pin, "123456"}});
        EXPECT_EQ(profile.Verify(kPath, "", false, 0x81, false, ""), kOk);
        EXPECT_EQ(dialogs.asked, (std::vector<SecretKind>{SecretKind::Pin}));
        EXPECT_FALSE(profile.PinEntryCancelled());
    }
    {
        ScriptedDialogs dialogs({{SecretKind::CurrentPin, "1234"},
                                 {SecretKind::NewPin, "5678"},
                                 {SecretKind::NewPinAgain, "5678"}});
        EXPECT_EQ(profile.ChangeRef(kPath, "", 0x82, false, "", ""), kOk);
        EXPECT_EQ(dialogs.asked, (std::vector<SecretKind>{SecretKind::CurrentPin, SecretKind::NewPin,
                                                          SecretKind::NewPinAgain}));
    }
    {
        ScriptedDialogs dialogs({{SecretKind::Puk, "12345678"},
                                 {SecretKind::NewPin, "1234"},
                                 {SecretKind::NewPinAgain, "1234"}});
        EXPECT_EQ(profile.UnblockRef(kPath, "", 0x82, "", ""), kOk);
        EXPECT_EQ(dialogs.asked, (std::vector<SecretKind>{SecretKind::Puk, SecretKind::NewPin,
                                                          SecretKind::NewPinAgain}));
    }
    EXPECT_EQ(sent(), (Commands{"0020008106313233343536",
                                "002400820831323334" "35363738",
                                "002C00820C" + kPukHex + "31323334"}));
}

TEST_F(ProfilePinTest, MismatchedOrCancelledDialogPinsSendNothing) {
    {
        ScriptedDialogs dialogs({{SecretKind::CurrentPin, "1234"},
                                 {SecretKind::NewPin, "5678"},
                                 {SecretKind::NewPinAgain, "5679"}});
        EXPECT_NE(profile.ChangeRef(kPath, "", 0x82, false, "", ""), kOk);
    }
    {
        ScriptedDialogs dialogs({{SecretKind::Puk, "12345678"},
                                 {SecretKind::NewPin, "1234"},
                                 {SecretKind::NewPinAgain, "4321"}});
        EXPECT_EQ(profile.UnblockRef(kPath, "", 0x82, "", ""), kFailed);
    }
    {
        ScriptedDialogs dialogs({{SecretKind::Puk, std::nullopt}});
        EXPECT_EQ(profile.UnblockRef(kPath, "", 0x82, "", ""), kFailed);
    }
    {
        ScriptedDialogs dialogs({{SecretKind::Pin, std::nullopt}});
        EXPECT_NE(profile.Verify(kPath, "", false, 0x82, false, ""), kOk);
        EXPECT_TRUE(profile.PinEntryCancelled());
    }
    EXPECT_TRUE(sent().empty()) << ::testing::PrintToString(sent());
}

// ---- GET CHALLENGE ------------------------------------------------------------

TEST_F(ProfileCardTest, GetChallangeFillsTheBufferEightBytesPerRound) {
    // 20 bytes asked, followed by guard bytes that must stay untouched.
    std::uint8_t buffer[28];
    std::fill(std::begin(buffer), std::end(buffer), 0xA5);
    ASSERT_EQ(profile.GetChallange(buffer, 20), kOk);
    EXPECT_EQ(hexText(Bytes(buffer + 20, buffer + 28)), "A5A5A5A5A5A5A5A5");
    auto exchanges = session.recorded();
    ASSERT_EQ(exchanges.size(), 3u);
    std::string expected;
    for (const auto& exchange : exchanges) {
        EXPECT_EQ(exchange.command, "0084000008");
        ASSERT_EQ(exchange.response.size(), 20u);  // 8 bytes and 9000
        EXPECT_EQ(exchange.response.substr(16), "9000");
        expected += exchange.response.substr(0, 16);
    }
    EXPECT_EQ(hexText(Bytes(buffer, buffer + 20)), expected.substr(0, 40));

    session.markRecord();
    std::uint8_t sixteen[16] = {};
    ASSERT_EQ(profile.GetChallange(sixteen, 16), kOk);
    EXPECT_EQ(sent(), (Commands(2, "0084000008")));

    session.markRecord();
    EXPECT_EQ(profile.GetChallange(buffer, 0), kFailed);
    EXPECT_TRUE(sent().empty()) << ::testing::PrintToString(sent());
}

// ---- signing --------------------------------------------------------------------

TEST_F(ProfilePinTest, SigningSequenceGivesSignaturesTheKeysVerify) {
    const std::string keyPath = "3f00/5015/5032";
    // Profile 20 selects nothing.
    EXPECT_EQ(profile.PreSigning(20, keyPath), kOk);
    EXPECT_EQ(profile.CardProfile(), 20);
    EXPECT_EQ(profile.KeyPath(), keyPath);
    EXPECT_TRUE(sent().empty()) << ::testing::PrintToString(sent());

    EXPECT_EQ(profile.PreSigning(5, keyPath), kOk);
    EXPECT_EQ(profile.CardProfile(), 5);
    EXPECT_EQ(sent(), (Commands{kSelectMf, selectDf("5015"), selectEf("5032")}));
    EXPECT_EQ(profile.GetCurrFilePath(), "3f0050155032");

    ASSERT_EQ(profile.Verify(kPath, "", false, 0x81, false, "123456"), kOk);
    const Bytes message = {'k', 'i', 'v', 'o'};
    const Bytes hash = sha256(message);

    // The DigestInfo; the card pads it.
    Bytes block;
    ASSERT_EQ(profile.BuildSignBuffer(CSC_Profile_Base::cAlgSha256, 2048, hash.data(), 32, block, false),
              kOk);
    session.markRecord();
    Bytes signature;
    ASSERT_EQ(profile.SignData(keyPath, 2048, block.data(), static_cast<std::uint32_t>(block.size()),
                               signature, 0x02, 0x02),
              kOk);
    EXPECT_EQ(sent(), (Commands{"002241B606800102840102", "002A9E9A33" + hexText(block) + "00"}));
    ASSERT_EQ(signature.size(), 256u);
    EXPECT_TRUE(verifyRsaSha256(cardKeyFile("rsa2048.pem"), hash, signature));

    // The whole padded block: the card signs it as it is.
    ASSERT_EQ(profile.BuildSignBuffer(CSC_Profile_Base::cAlgSha256, 2048, hash.data(), 32, block, true),
              kOk);
    ASSERT_EQ(block.size(), 256u);
    session.markRecord();
    Bytes padded;
    ASSERT_EQ(profile.SignData(keyPath, 2048, block.data(), 256, padded, 0x02, 0x02), kOk);
    EXPECT_EQ(sent(), (Commands{"002241B606800102840102", "002A9E9A000100" + hexText(block) + "0000"}));
    EXPECT_EQ(padded, signature);  // PKCS#1 v1.5 is deterministic

    // The EC key: a plain r || s over the hash.
    Bytes ecSignature;
    ASSERT_EQ(profile.SignData(keyPath, 256, hash.data(), 32, ecSignature, 0x02, 0x03), kOk);
    ASSERT_EQ(ecSignature.size(), 64u);
    EXPECT_TRUE(verifyEcdsaPlain(cardKeyFile("ec256.pem"), hash, ecSignature));

    // PostSigning: the MF again for card profile 6, nothing for profile 5.
    session.markRecord();
    EXPECT_EQ(profile.PostSigning(), kOk);
    EXPECT_TRUE(sent().empty()) << ::testing::PrintToString(sent());
    EXPECT_EQ(profile.PreSigning(6, keyPath), kOk);
    EXPECT_EQ(profile.PostSigning(), kOk);
    EXPECT_EQ(sent(), (Commands{kSelectMf}));

    // Without the PIN the card refuses; no signature comes back.
    ASSERT_EQ(session.send("0020FF81"), 0x9000);  // resets the verification
    Bytes refused;
    EXPECT_NE(profile.SignData(keyPath, 2048, hash.data(), 32, refused, 0x02, 0x02), kOk);
    EXPECT_TRUE(refused.empty());
}

TEST_F(ProfilePinTest, RsaDecryptDeciphersWithTheGivenKey) {
    ASSERT_EQ(profile.Verify(kPath, "", false, 0x81, false, "123456"), kOk);
    const Bytes secret = sequenceBytes(7, 32);
    const Bytes cryptogram = rsaEncrypt(cardKeyFile("rsa2048-dec.pem"), secret);
    ASSERT_EQ(cryptogram.size(), 256u);
    session.markRecord();
    Bytes plain;
    ASSERT_EQ(profile.RSADecrypt("3f00/5015/5032", 2048, cryptogram.data(), 256, plain, 0x02, 0x04),
              kOk);
    EXPECT_EQ(plain, secret);
    EXPECT_EQ(sent(), (Commands{"002241B806800102840104", "002A8086000101" "00" + hexText(cryptogram) + "0000"}));
}

}  // namespace
}  // namespace kivo::test
