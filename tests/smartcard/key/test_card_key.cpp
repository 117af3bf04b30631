// The card key on PKCS#15 cards (SetCos 4.4.1 type, and CardOS 4.3b
// "SignCard" products; vcard's model or the card services): which entry a
// certificate identifier selects, the key algorithm of its certificate,
// signatures and deciphering checked with OpenSSL, the PIN state rules of
// single- and multi-signature cards, and PIN entry as the host's dialog
// callback and the pin-pad window see it.

#include "platform/CardEvents.h"
#include "smartcard/base/CardResult.h"
#include "smartcard/key/ConfigSC.h"
#include "smartcard/key/SCM_Interface.h"
#include "smartcard/pin/PIN_Callback.h"
#include "smartcard/pin/PinMessages.h"
#include "smartcard/pin/PinWindows.h"
#include "smartcard/pin/SystemDialogs.h"
#include "smartcard/transport/Reader.h"
#include "tests/support/DerBuild.h"
#include "tests/support/LogCapture.h"
#include "tests/support/TestSupport.h"
#include "tests/support/card/CardUnderTest.h"
#include "tests/support/card/EmulatedPinPad.h"
#include "tests/support/card/OpenCardKey.h"

#include <gtest/gtest.h>
#include <log4cxx/logger.h>

#include <deque>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace kivo::test {
namespace {

constexpr char kSetCosAtr[] = "3B 9F 00 80 1F C3 00 68 10 44 05 01 46 49 53 45 31 C8 00 90 00 00";
constexpr char kCardOs43Atr[] = "3B F2 18 00 02 C1 0A 31 FE 58 C8 08 74";

// "Signature key" as in pkcs15.txt, its path 3F0050154B01.
constexpr char kPrKdf[] = "303B30160C0D5369676E6174757265206B657903020780040101300F0401450303062040030203B8020102A110300E300804063F0050154B0102020800";

// The PKCS#15 card of support/cards, each statement that starts with a key
// of `replaced` replaced by its value, and `added` appended.
std::string pkcs15CardWith(const std::vector<std::pair<std::string, std::string>>& replaced,
                           const std::string& added) {
    std::ifstream in(std::string(KIVO_VCARD_CARDS) + "/pkcs15.txt");
    std::ostringstream text;
    for (std::string line; std::getline(in, line);) {
        for (const auto& [start, statement] : replaced) {
            if (line.rfind(start, 0) == 0) line = statement;
        }
        text << line << "\n";
    }
    return text.str() + added;
}

// The PKCS#15 card as a SetCos card: its PrKDF names the key file from the
// MF (a SetCos 4.4.1 signs in the folder of the path), and that file is
// there; `dialect` adds to the SetCos one. PIN 81 is described by
// `pinOptions` and gets a PUK (reference 82) to be unblocked with.
std::string setCosPkcs15Card(const std::string& dialect = "",
                             const std::string& pinOptions = "value=123456 max=3",
                             const std::string& puk = "87654321") {
    return pkcs15CardWith({{"atr ", std::string("atr ") + kSetCosAtr},
                           {"ef 3F00/5015/4400 ", std::string("ef 3F00/5015/4400 data=") + kPrKdf},
                           {"pin 81 ", "pin 81 " + pinOptions + " puk=82\npin 82 value=" + puk + " max=10"}},
                          "dialect fci-size-tag=81 " + dialect + "\nef 3F00/5015/4B01 data=00\n");
}

// The PKCS#15 card as a CardOS 4.3b card whose token label names the
// product ("SignCard single", "SignCard multi"): a wrong PIN is answered
// 6300, and the card signs a PKCS#1 block through PSO DECIPHER.
std::string signCard(const std::string& label) {
    const Bytes tokenInfo = seq({tlv(0x02, hex("00")), tlv(0x04, hex("0123456789ABCDEF")), tlv(0x0C, "Kivo"),
                                 tlv(0x80, label), tlv(0x03, hex("0640"))});
    return pkcs15CardWith({{"atr ", std::string("atr ") + kCardOs43Atr},
                           {"ef 3F00/5015/5032 ", "ef 3F00/5015/5032 data=" + toHex(tokenInfo)}},
                          "dialect wrong-pin-sw=6300 decipher-signs=type1\n");
}

TEST(CardKey, EntriesAndKeyAlgorithms) {
    CardUnderTest card("cardkey-entries", setCosPkcs15Card());
    ASSERT_NO_FATAL_FAILURE(card.open());
    struct Row {
        const char* certId;
        bool found;
    };
    const Row rows[] = {{"", true},  {"45", true},  {"Signature certificate", true}, {"0", true},
                        {"46", false}, {"1", false}, {"Second certificate", false}, {"x", false}};
    for (const Row& row : rows) {
        auto key = openCardKey(card, row.certId);
        ASSERT_NE(key, nullptr) << row.certId;
        const CSC_Profile::CertEntry* entry = key->FindEntry();
        ASSERT_EQ(entry != nullptr, row.found) << row.certId;
        if (entry == nullptr) continue;
        EXPECT_EQ(entry->label, "Signature certificate");
        EXPECT_EQ(entry->keyReference, 0x02);
        EXPECT_EQ(entry->pinReference, 0x81);
        EXPECT_EQ(entry->keyBits, 2048u);
        EXPECT_EQ(key->Card()->CardProfile(), key->Layout()->CardProfile());
        EXPECT_EQ(key->ReaderName(), card.readerName());
    }
    auto key = openCardKey(card);
    ASSERT_NE(key, nullptr);
    EXPECT_EQ(key->Certificates().size(), 1u);
    EXPECT_EQ(key->KeyAlgorithm(0), CCertInfoSC::KeyAlgorithm::Rsa);
    EXPECT_EQ(key->KeyAlgorithm(1), CCertInfoSC::KeyAlgorithm::Unknown);
    EXPECT_FALSE(key->UsesPACE());
    ASSERT_EQ(key->Layout()->CaCertificates().size(), 1u);
    EXPECT_EQ(CCertInfoSC(key->Layout()->CaCertificates().front().certificate).GetKeyAlgorithm(),
              CCertInfoSC::KeyAlgorithm::Ec);
    EXPECT_EQ(CCertInfoSC({0x30, 0x03, 0x02, 0x01, 0x00}).GetKeyAlgorithm(), CCertInfoSC::KeyAlgorithm::Unknown);
}

// Every operation needs a verified PIN before it: without one nothing goes
// to the card and the failure is broadcast. On a single-signature card one
// operation uses the verification up; on a multi-signature card it lasts.
TEST(CardKey, VerifiedPinLastsOneOperationOnSingleSignatureCards) {
    struct Row {
        const char* name;
        std::string description;
        int singleCard;
    };
    const Row rows[] = {
        {"SetCos", setCosPkcs15Card(), 1},
        {"SignCard single", signCard("SignCard single"), 1},
        {"SignCard multi", signCard("SignCard multi"), 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        CardUnderTest card(std::string("cardkey-sign-") + std::to_string(&row - rows), row.description);
        ASSERT_NO_FATAL_FAILURE(card.open());
        std::vector<std::uintptr_t> events;
        ScopedCardEventSubscription subscription([&](const CardEvent& event) { events.push_back(event.wParam); });
        auto key = openCardKey(card);
        ASSERT_NE(key, nullptr);
        ASSERT_EQ(key->Layout()->SingleCard(), row.singleCard);
        const bool single = row.singleCard != 0;
        const std::string keyFile = card.keyFile("rsa2048.pem");
        const ByteVector data = {'k', 'i', 'v', 'o'};
        const ByteVector hash = sha256(data);
        std::vector<std::uint8_t> out(512);
        unsigned long length = 0;

        const auto signWithoutPin = [&] {
            events.clear();
            card.mark();
            EXPECT_NE(key->CardSignData(hash.data(), hash.size(), out.data(), &length, 1, true, false), card::cOk);
            EXPECT_TRUE(card.commands().empty()) << "sent without a verified PIN";
            EXPECT_EQ(events, std::vector<std::uintptr_t>{CardEvents::cCardOperationFailed});
        };
        const auto signsAgain = [&] {
            length = 0;
            ASSERT_EQ(key->CardSignData(hash.data(), hash.size(), out.data(), &length, 1, true, false), card::cOk);
            EXPECT_TRUE(verifyRsaSha256(keyFile, hash, ByteVector(out.begin(), out.begin() + length)));
        };
        signWithoutPin();

        struct Input {
            const char* name;
            bool dataIsDigest;
        };
        for (const Input& input : {Input{"hash given", true}, Input{"data hashed by the key", false}}) {
            SCOPED_TRACE(input.name);
            ASSERT_TRUE(key->VerifyPIN("123456", 0));
            const ByteVector& message = input.dataIsDigest ? hash : data;
            ASSERT_EQ(key->CardSignData(message.data(), message.size(), out.data(), &length, 1,
                                        input.dataIsDigest, false),
                      card::cOk);
            EXPECT_TRUE(verifyRsaSha256(keyFile, hash, ByteVector(out.begin(), out.begin() + length)));
            if (single) {
                signWithoutPin();
            } else {
                signsAgain();
            }
        }

        ASSERT_TRUE(key->VerifyPIN("123456", 0));
        const ByteVector secret = {0x5E, 0xC2, 0xE7, 0x01, 0x02, 0x03};
        const ByteVector cryptogram = rsaEncrypt(keyFile, secret);
        for (int time = 1; time <= 2; ++time) {
            length = 0;
            const CardResult result =
                key->CardRSADecrypt(cryptogram.data(), static_cast<int>(cryptogram.size()), out.data(), &length);
            if (single && time == 2) {
                EXPECT_NE(result, card::cOk) << "deciphered again without a verified PIN";
                continue;
            }
            ASSERT_EQ(result, card::cOk) << "time " << time;
            EXPECT_EQ(ByteVector(out.begin(), out.begin() + length), secret);
        }
    }
}

// The host's PIN dialog callback: records every call, the prompts and
// the texts of the error dialogs, hands out the PINs queued (with the show,
// or when asked for them with `pinOnRequest`; cancels when none is left),
// and answers the error dialogs' questions with `retry`.
struct ScriptedHost {
    std::deque<std::string> pins;
    bool retry = false;
    bool pinOnRequest = false;
    std::vector<std::string> errors;
    std::vector<std::string> prompts;
    // Each call as "action[ pad][ key k][: text]" (text with show and new text).
    std::vector<std::string> calls;
    // The caption and text of every call.
    std::vector<std::string> texts;
};
ScriptedHost* g_host = nullptr;

std::string callText(const FPINDialogCallBackParams& params) {
    std::string text = std::to_string(params.action) + (params.pinPad ? " pad" : "");
    if (params.action == pin::callback::cKey) return text + " key " + std::to_string(params.key);
    if (params.action == pin::callback::cShow || params.action == pin::callback::cNewText) {
        text += ": " + params.text;
    }
    return text;
}

bool handOutPin(FPINDialogCallBackParams& params) {
    if (g_host->pins.empty()) return false;
    params.pin = g_host->pins.front();
    g_host->pins.pop_front();
    return true;
}

bool scriptedHost(FPINDialogCallBackParams* params) {
    g_host->calls.push_back(callText(*params));
    g_host->texts.push_back(params->caption);
    g_host->texts.push_back(params->text);
    if (params->action == pin::callback::cRequestPin) return handOutPin(*params);
    if (params->action != pin::callback::cShow) return true;
    if (params->caption == pin::message(300)) {
        g_host->errors.push_back(params->text);
        return g_host->retry;
    }
    g_host->prompts.push_back(params->text);
    if (params->pinPad || g_host->pinOnRequest) return true;
    return handOutPin(*params);
}

// Installs the scripted host as the PIN dialog callback while it lives.
class HostInstalled {
public:
    explicit HostInstalled(ScriptedHost& host) : m_saved(cardSettings().m_settings) {
        cardSettings().m_settings.m_usePinDialogCallback = true;
        cardSettings().m_settings.m_pinDialogCallback = scriptedHost;
        g_host = &host;
    }
    ~HostInstalled() {
        g_host = nullptr;
        cardSettings().m_settings = m_saved;
    }
    HostInstalled(const HostInstalled&) = delete;
    HostInstalled& operator=(const HostInstalled&) = delete;

private:
    ConfigSC::Settings m_saved;
};

// The question after an unclear verification outcome, in every language.
constexpr char kRetryQuestion[] = "Falscher PIN. Neu eingegeb?";

// A message of the PIN dialogs with the entry's PIN name.
std::string prompt(int id) { return pin::messageWithPinName(id, pin::message(200)); }

using KeyOperation = std::function<bool(CSCM_Interface&)>;

KeyOperation verify(const std::string& pin) {
    return [pin](CSCM_Interface& key) { return key.VerifyPIN(pin, 0); };
}
KeyOperation change(const std::string& oldPin, const std::string& newPin) {
    return [=](CSCM_Interface& key) { return key.ChangePIN(oldPin, newPin) == card::cOk; };
}
KeyOperation unblock(const std::string& puk, const std::string& newPin) {
    return [=](CSCM_Interface& key) { return key.UnblockPIN(puk, newPin) == card::cOk; };
}

// Verification, change and unblocking with the PINs a host types (empty
// arguments: asked for through the callback): the outcome, the messages
// shown, and which PIN the card takes afterwards (none when it stays
// blocked). Verification outcomes by card result: 4 (SetCos 6985) shows
// 301, 5 (SetCos 6300) 302, 6 (6983) 303; 14 (CardOS 6300) and 255 (63Cx)
// ask once whether to try again.
TEST(CardKey, PinOperationsThroughTheHostsDialogs) {
    struct Row {
        const char* name;
        std::string description;
        KeyOperation operation;
        std::deque<std::string> pins;
        bool retry;
        bool succeeds;
        std::vector<std::string> errors;
        const char* pinAfter;      // null: the PIN stays blocked
        std::vector<int> prompts;  // the dialog texts asked with, by message
    };
    const auto inService = [](KeyOperation operation) {
        return [operation](CSCM_Interface& key) {
            cardSettings().m_settings.m_isService = true;
            const bool succeeded = operation(key);
            cardSettings().m_settings.m_isService = false;
            return succeeded;
        };
    };
    const std::string setCos = setCosPkcs15Card();
    const std::string setCosWrong6300 = setCosPkcs15Card("wrong-pin-sw=6300");
    const std::string wrong = pin::message(302);
    const std::vector<Row> rows = {
        {"typed PIN", setCos, verify(""), {"123456"}, false, true, {}, "123456", {110}},
        {"wrong PIN the card calls wrong", setCosWrong6300, verify(""), {"999999"}, false, false, {wrong},
         "123456", {110}},
        {"wrong PIN, retried", setCos, verify(""), {"999999", "123456"}, true, true, {kRetryQuestion}, "123456",
         {110, 110}},
        {"wrong PIN, not retried: asked once", setCos, verify(""), {"999999"}, false, false, {kRetryQuestion},
         "123456", {110}},
        {"initial PIN active", setCosPkcs15Card("wrong-pin-sw=6985"), verify(""), {"999999"}, false, false,
         {pin::message(301)}, "123456", {110}},
        {"blocked PIN", setCosPkcs15Card("", "value=123456 tries=0 max=3"), verify(""), {"123456"}, false, false,
         {pin::message(303)}, nullptr, {110}},
        {"card's own wrong-PIN result, retried", signCard("SignCard single"), verify(""), {"999999", "123456"},
         true, true, {kRetryQuestion}, "123456", {110, 110}},
        {"cancelled", setCos, verify(""), {}, false, false, {pin::message(306)}, "123456", {110}},
        {"given wrong PIN shows nothing", setCosWrong6300, verify("999999"), {}, false, false, {}, "123456", {}},
        {"change typed", setCos, change("", ""), {"123456", "654321", "654321"}, false, true, {}, "654321",
         {106, 107, 108}},
        {"change given", setCos, change("123456", "654321"), {}, false, true, {}, "654321", {}},
        {"change with a wrong PIN", setCosWrong6300, change("999999", "654321"), {}, false, false, {wrong},
         "123456", {}},
        {"service: nothing asked or shown", setCos, inService(verify("")), {}, false, false, {}, "123456", {}},
        {"service: PIN given", setCos, inService(verify("123456")), {}, false, true, {}, "123456", {}},
        {"service: no PIN change", setCos, inService(change("123456", "654321")), {}, false, false, {}, "123456",
         {}},
        {"unblock given", setCos, unblock("87654321", "111111"), {}, false, true, {}, "111111", {}},
        {"unblock typed", setCos, unblock("", ""), {"87654321", "111111", "111111"}, false, true, {}, "111111",
         {109, 107, 108}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        CardUnderTest card(std::string("cardkey-pin-") + std::to_string(&row - rows.data()), row.description);
        ASSERT_NO_FATAL_FAILURE(card.open());
        auto key = openCardKey(card);
        ASSERT_NE(key, nullptr);
        ScriptedHost host{row.pins, row.retry, false, {}, {}, {}, {}};
        const HostInstalled installed(host);
        EXPECT_EQ(row.operation(*key), row.succeeds);
        EXPECT_EQ(host.errors, row.errors);
        EXPECT_TRUE(host.pins.empty()) << "PINs left unasked";
        std::vector<std::string> prompts;
        for (int id : row.prompts) prompts.push_back(prompt(id));
        EXPECT_EQ(host.prompts, prompts);
        EXPECT_EQ(key->VerifyPIN(row.pinAfter != nullptr ? row.pinAfter : "123456", 0), row.pinAfter != nullptr);
        EXPECT_EQ(key->FindEntry()->pinVerified, row.pinAfter != nullptr);
    }
}

// The pin-pad window on a surface that records what it is shown: the star
// line and the message, and its closing.
class RecordingSurface : public pin::DialogSurface {
public:
    explicit RecordingSurface(std::vector<std::string>& seen) : m_seen(seen) {}
    std::optional<pin::Secret> askPin(const std::string&, const std::string&) override { return std::nullopt; }
    pin::MessageBoxAnswer showMessage(const std::string&, const std::string&, pin::MessageBoxStyle) override {
        return pin::MessageBoxAnswer::Cancel;
    }
    void showProgress(const std::string&, const std::string& text, const std::string& stars) override {
        m_seen.push_back("'" + stars + "' " + text);
    }
    void closeProgress() override { m_seen.push_back("closed"); }

private:
    std::vector<std::string>& m_seen;
};

// The pin-pad window (CMyDialog) as the progress display of the card layer.
class PinPadWindow : public pin::PinPadProgress {
public:
    PinPadWindow(std::vector<std::string>& seen, pin::PromptTexts texts)
        : m_window(std::make_unique<RecordingSurface>(seen), "Reader"), m_texts(std::move(texts)) {}
    void show() override { m_window.Show(m_texts.caption, m_texts.prompt); }
    void advance(std::uint8_t key) override { m_window.Progress(key); }
    void nextPrompt() override {}
    void close() override { m_window.Close(); }

private:
    pin::CMyDialog m_window;
    pin::PromptTexts m_texts;
};

// Calls the host sees for keys on the pad: a digit, a cleared input.
std::vector<std::string> digits(std::size_t count) { return std::vector<std::string>(count, "2 pad key 0"); }
const std::string kCleared = "2 pad key 1";

std::vector<std::string> joined(std::initializer_list<std::vector<std::string>> parts) {
    std::vector<std::string> all;
    for (const auto& part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
}

// One PIN operation step by step as the host sees it through its callback
// (keyboard, or a pin-pad reader with start/finish and key events), and
// the star line of the pin-pad window: the prompt with the PIN name, each
// key, the closing, and the outcome messages after it.
TEST(CardKey, PinEntryStepByStep) {
    constexpr std::uint8_t kDigit = pin::cKeyDigit;
    constexpr std::uint8_t kOk = 0x0D;
    const std::vector<std::uint8_t> correctedKeys = {kDigit, kDigit, pin::cKeyBackspace, kDigit, pin::cKeyClear,
                                                     kDigit, kDigit, kDigit, kDigit, kDigit, kDigit, kOk};
    struct Row {
        const char* name;
        std::string description;
        std::function<void(EmulatedPinPad&)> pad;  // null: a reader without a keypad
        KeyOperation operation;
        std::deque<std::string> pins;
        bool pinOnRequest;
        bool starLine;  // the pad's progress in the pin-pad window rather than the callback
        bool succeeds;
        std::vector<std::string> calls;
        const char* pinAfter;
        bool keyEvents = true;  // the pad reports the keys typed
    };
    const std::string setCos = setCosPkcs15Card();
    const auto typed = [](std::vector<std::string> pins, std::vector<std::uint8_t> keys = {}) {
        return [=](EmulatedPinPad& pad) { pad.type(pins, keys); };
    };
    const auto box = [](const std::string& text) { return std::vector<std::string>{"0: " + text, "1"}; };
    const std::string onPad = "0 pad: " + prompt(100);
    const std::string onKeyboard = "0: " + prompt(110);
    const auto star = [](const std::string& line) { return "'" + line + "' " + prompt(100); };
    const std::vector<Row> rows = {
        {"keyboard: PIN given with the show", setCos, nullptr, verify(""), {"123456"}, false, false, true,
         {onKeyboard}, "123456"},
        {"keyboard: PIN given when asked for", setCos, nullptr, verify(""), {"123456"}, true, false, true,
         {onKeyboard, "3"}, "123456"},
        {"keyboard: nothing given when asked for", setCos, nullptr, verify(""), {}, true, false, false,
         joined({{onKeyboard, "3"}, box(pin::message(306))}), "123456"},
        {"pad: typed", setCos, typed({"123456"}), verify(""), {}, false, false, true,
         joined({{onPad}, digits(6), {"1 pad"}}), "123456"},
        {"pad reader, PIN given: not asked for", setCos, [](EmulatedPinPad&) {}, verify("123456"), {}, false,
         false, true, {}, "123456"},
        {"pad: typed with corrections", setCos, typed({"123456"}, correctedKeys), verify(""), {}, false, false,
         true, joined({{onPad}, digits(2), {kCleared}, digits(1), {kCleared}, digits(6), {"1 pad"}}), "123456"},
        {"pad: cancelled", setCos, [](EmulatedPinPad& pad) { pad.cancel(); }, verify(""), {}, false, false, false,
         joined({{onPad, "1 pad"}, box(pin::message(305))}), "123456"},
        {"pad: timed out, not tried again", setCos, [](EmulatedPinPad& pad) { pad.timeOut(); }, verify(""), {},
         false, false, false, joined({{onPad, "1 pad"}, box(kRetryQuestion)}), "123456"},
        {"pad: PIN length the reader refuses (CardOS result 7)", signCard("SignCard single"), typed({"1234"}),
         verify(""), {}, false, false, false,
         joined({{onPad}, digits(4), {"1 pad"}, box(kRetryQuestion)}), "123456"},
        {"pad: change", setCos, typed({"123456", "654321", "654321"}), change("", ""), {}, false, false, true,
         joined({{"0 pad: " + prompt(101)}, digits(6), {"4 pad: " + prompt(103)}, digits(6),
                 {"4 pad: " + prompt(104)}, digits(6), {"1 pad"}}),
         "654321"},
        {"pad: change, no key events", setCos, typed({"123456", "654321", "654321"}), change("", ""), {}, false,
         false, true, {"0 pad: " + prompt(102), "1 pad"}, "654321", false},
        {"pad window: star line", setCos, typed({"123456"}, correctedKeys), verify(""), {}, false, true, true,
         {star(""), star("*"), star("**"), star(""), star("*"), star(""), star("*"), star("**"), star("***"),
          star("****"), star("*****"), star("******"), "closed"},
         "123456"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        CardUnderTest card(std::string("cardkey-steps-") + std::to_string(&row - rows.data()), row.description);
        ASSERT_NO_FATAL_FAILURE(card.open());
        std::optional<EmulatedPinPad> pad;
        if (row.pad) {
            const PinPadFeatures startFinish = {false, true, false, true, row.keyEvents, false};
            pad.emplace(startFinish, "SCM Microsystems Inc. SPRx32");
            row.pad(*pad);
        }
        auto key = openCardKey(card);
        ASSERT_NE(key, nullptr);
        ScriptedHost host{row.pins, false, row.pinOnRequest, {}, {}, {}, {}};
        const HostInstalled installed(host);
        const auto pinPadWindow = [&host](const pin::PromptTexts& texts) {
            return std::make_unique<PinPadWindow>(host.calls, texts);
        };
        std::optional<pin::Dialogs> previous;
        if (row.starLine) previous = pin::installDialogs({pin::systemDialogs().askSecret, pinPadWindow});
        EXPECT_EQ(row.operation(*key), row.succeeds);
        if (previous) pin::installDialogs(*previous);
        EXPECT_EQ(host.calls, row.calls);
        EXPECT_TRUE(host.pins.empty()) << "PINs left unasked";
        if (pad) {
            EXPECT_EQ(pad->refusals(), 0);
        }
        EXPECT_TRUE(key->VerifyPIN(row.pinAfter, 0));
    }
}

// Hex forms of a secret's characters as a trace could show them: joined,
// and separated by blanks or colons.
std::vector<std::string> secretForms(const std::string& secret) {
    std::vector<std::string> forms = {secret};
    for (const char* separator : {"", " ", ":"}) {
        std::string text;
        for (const char c : secret) {
            if (!text.empty()) text += separator;
            text += toHex(reinterpret_cast<const unsigned char*>(&c), 1);
        }
        forms.push_back(text);
    }
    return forms;
}

// Verification, change and unblocking with PINs and a PUK typed through
// the callback and given, at the highest trace and log levels: none of
// them appears in the card trace, the log, or the texts the host is shown.
TEST(CardKey, NoPinInTraceLogOrDialogTexts) {
    const std::string pinValue = "918273";
    const std::string newPin = "546372";
    const std::string puk = "80706152";
    CardUnderTest card("cardkey-secrets", setCosPkcs15Card("", "value=" + pinValue + " max=3", puk));
    ASSERT_NO_FATAL_FAILURE(card.open());
    const ScopedTraceFile trace(255);
    LogCapture log(log4cxx::Logger::getRootLogger());
    log4cxx::Logger::getRootLogger()->setLevel(log4cxx::Level::getAll());
    auto key = openCardKey(card);
    ASSERT_NE(key, nullptr);
    // Typed: verify; change (current, new, again); unblock (PUK, new, again).
    const std::deque<std::string> typed = {pinValue, newPin, pinValue, pinValue, puk, pinValue, pinValue};
    ScriptedHost host{typed, false, false, {}, {}, {}, {}};
    const HostInstalled installed(host);
    EXPECT_TRUE(key->VerifyPIN(pinValue, 0));
    EXPECT_TRUE(key->VerifyPIN("", 0));
    EXPECT_EQ(key->ChangePIN(pinValue, newPin), card::cOk);
    EXPECT_EQ(key->ChangePIN("", ""), card::cOk);
    EXPECT_EQ(key->UnblockPIN(puk, newPin), card::cOk);
    EXPECT_EQ(key->UnblockPIN("", ""), card::cOk);
    EXPECT_TRUE(key->VerifyPIN(pinValue, 0));
    EXPECT_TRUE(host.pins.empty());

    const std::string written = trace.contents();
    EXPECT_NE(written.find("00:20:00:81:06"), std::string::npos) << "no VERIFY in the trace";
    std::vector<std::pair<std::string, std::string>> places = {{"card trace", written}};
    for (const std::string& message : log.messages()) places.emplace_back("log", message);
    for (const std::string& text : host.texts) places.emplace_back("dialog text", text);
    for (const std::string& secret : {pinValue, newPin, puk}) {
        for (const std::string& form : secretForms(secret)) {
            for (const auto& [place, text] : places) {
                EXPECT_EQ(text.find(form), std::string::npos) << form << " in the " << place;
            }
        }
    }
}

}  // namespace
}  // namespace kivo::test
