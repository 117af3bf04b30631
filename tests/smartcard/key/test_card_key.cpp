// The card key on PKCS#15 cards: entries, PIN state rules, PIN dialogs, no secret traced.

#include "platform/CardEvents.h"
#include "smartcard/key/ConfigSC.h"
#include "smartcard/key/SCM_Interface.h"
#include "smartcard/pin/PIN_Callback.h"
#include "smartcard/pin/PinMessages.h"
#include "tests/support/LogCapture.h"
#include "tests/support/TestSupport.h"
#include "tests/support/card/CardUnderTest.h"
#include "tests/support/card/OpenCardKey.h"

#include <gtest/gtest.h>
#include <log4cxx/logger.h>

#include <deque>
#include <fstream>
#include <iterator>

namespace kivo::test {
namespace {

// A card of support/cards with `added` statements (a pin statement replaces that PIN).
std::string cardWith(const std::string& name, const std::string& added = "") {
    std::ifstream in(std::string(KIVO_VCARD_CARDS) + "/" + name + ".txt");
    return std::string(std::istreambuf_iterator<char>(in), {}) + added;
}

// The SignCard of the card families, its token label naming the product.
std::string signCard(bool single) {
    const std::string label = "SignCard multi";
    const std::string multi = "302702010004080123456789ABCDEF0C044B69766F800E" + toHex(ByteVector(label.begin(), label.end()));
    std::string text = cardWith("family-cardos43-signcard");
    if (!single) text.replace(text.find("data=3028") + 5, multi.size() + 2, multi);
    return text;
}

// The host's PIN dialogs: records texts, prompts and errors, hands out the queued PINs (cancels when none
// is left), and answers error dialogs with `retry`.
struct ScriptedHost {
    std::deque<std::string> pins;
    bool retry = false;
    std::vector<std::string> errors{}, prompts{}, texts{};
    std::vector<int> boxKinds{};  // reserved1 of each error box
};
ScriptedHost* g_host = nullptr;

bool scriptedHost(FPINDialogCallBackParams* params) {
    g_host->texts.insert(g_host->texts.end(), {params->caption, params->text});
    if (params->action != pin::callback::cShow) return true;
    if (params->caption == pin::message(300)) {
        g_host->errors.push_back(params->text);
        g_host->boxKinds.push_back(params->reserved1);
        return g_host->retry;
    }
    g_host->prompts.push_back(params->text);
    if (params->pinPad || g_host->pins.empty()) return params->pinPad;
    params->pin = g_host->pins.front();
    g_host->pins.pop_front();
    return true;
}

// The card key on a card of its own (the names key the key files).
class CardKeyTest : public ::testing::Test {
protected:
    std::unique_ptr<CSCM_Interface> keyOn(const std::string& name, const std::string& description,
                                          const std::string& certId = "") {
        card = std::make_unique<CardUnderTest>(name, description);
        card->open();
        auto key = openCardKey(*card, certId);
        EXPECT_NE(key, nullptr);
        return key;
    }
    void installHost() {
        cardSettings().m_settings.m_usePinDialogCallback = true;
        cardSettings().m_settings.m_pinDialogCallback = scriptedHost;
        g_host = &host;
    }
    void TearDown() override {
        g_host = nullptr;
        cardSettings().m_settings = m_saved;
    }
    std::unique_ptr<CardUnderTest> card;
    ScriptedHost host;
    const ConfigSC::Settings m_saved = cardSettings().m_settings;
};

TEST_F(CardKeyTest, EntriesAndKeyAlgorithms) {
    const std::pair<const char*, bool> rows[] = {{"", true},  {"45", true},  {"Signature certificate", true},
                                                 {"0", true}, {"46", false}, {"Second certificate", false}};
    for (const auto& [certId, found] : rows) {
        SCOPED_TRACE(certId);
        auto key = keyOn("cardkey-entries", cardWith("signature-card"), certId);
        ASSERT_NE(key, nullptr);
        const CSC_Profile::CertEntry* entry = key->FindEntry();
        ASSERT_EQ(entry != nullptr, found);
        if (entry == nullptr) continue;
        EXPECT_EQ(entry->label, "Signature certificate");
        EXPECT_EQ(std::make_tuple(entry->keyReference, entry->pinReference, entry->keyBits), std::make_tuple(2, 0x81, 2048u));
        EXPECT_EQ(key->ReaderName(), card->readerName());
    }
    auto key = keyOn("cardkey-entries", cardWith("signature-card"));
    ASSERT_NE(key, nullptr);
    EXPECT_EQ(key->Certificates().size(), 1u);
    EXPECT_EQ(key->KeyAlgorithm(0), CCertInfoSC::KeyAlgorithm::Rsa);
    EXPECT_EQ(key->KeyAlgorithm(1), CCertInfoSC::KeyAlgorithm::Unknown);
    ASSERT_EQ(key->Layout()->CaCertificates().size(), 1u);
    EXPECT_EQ(CCertInfoSC(key->Layout()->CaCertificates().front().certificate).GetKeyAlgorithm(),
              CCertInfoSC::KeyAlgorithm::Ec);
    EXPECT_EQ(CCertInfoSC({0x30, 0x03, 0x02, 0x01, 0x00}).GetKeyAlgorithm(), CCertInfoSC::KeyAlgorithm::Unknown);
}

// Without a verified PIN no PIN and no signature goes to the card, the failure broadcast. A single-signature card
// spends a verification on one operation: each further one asks the holder again (here the host, which hands out
// the queued PINs and cancels when none is left), never re-sending the PIN given before.
TEST_F(CardKeyTest, VerifiedPinLastsOneOperationOnSingleSignatureCards) {
    const std::tuple<const char*, std::string, bool> rows[] = {
        {"SetCos", cardWith("signature-card"), true}, {"SignCard single", cardWith("family-cardos43-signcard-single"), true},
        {"SignCard multi", signCard(false), false}};
    installHost();
    for (const auto& [name, description, single] : rows) {
        SCOPED_TRACE(name);
        std::vector<std::uintptr_t> events;
        ScopedCardEventSubscription subscription([&](const CardEvent& event) { events.push_back(event.wParam); });
        auto key = keyOn(std::string("cardkey-sign-") + name, description);
        ASSERT_NE(key, nullptr);
        ASSERT_EQ(key->Layout()->SingleCard(), single ? 1 : 0);
        const std::string keyFile = card->keyFile("rsa2048.pem");
        const ByteVector data = {'k', 'i', 'v', 'o'};
        const ByteVector hash = sha256(data);
        std::vector<std::uint8_t> out(512);
        unsigned long length = 0;
        const auto sign = [&](const ByteVector& message) {
            return key->CardSignData(message.data(), message.size(), out.data(), &length, 1, &message == &hash, false);
        };
        const auto signsRight = [&] {
            ASSERT_EQ(sign(hash), card::cOk);
            EXPECT_TRUE(verifyRsaSha256(keyFile, hash, ByteVector(out.begin(), out.begin() + length)));
        };
        const auto refusedWithoutPin = [&] {
            events.clear();
            card->mark();
            host.prompts.clear();
            EXPECT_NE(sign(hash), card::cOk);
            const auto sent = card->commands();
            EXPECT_TRUE(std::none_of(sent.begin(), sent.end(), [](auto& c) { return c.substr(2, 2) == "20" || c.substr(2, 2) == "2A"; }));
            EXPECT_EQ(host.prompts.size(), single ? 1u : 0u) << "only a single-signature card asks";
            EXPECT_TRUE(!events.empty() && events.back() == CardEvents::cCardOperationFailed);
        };
        refusedWithoutPin();
        card->mark();
        ASSERT_TRUE(key->VerifyPIN("123456", 0));
        for (const auto& exchange : card->exchanges()) {  // the PIN's folder selected as one, not tried as an EF
            EXPECT_FALSE(exchange.response.ends_with("6A82")) << exchange.command;
        }
        ASSERT_EQ(sign(data), card::cOk) << "data hashed by the key";
        EXPECT_TRUE(verifyRsaSha256(keyFile, hash, ByteVector(out.begin(), out.begin() + length)));
        host.prompts.clear();
        host.pins = {"123456", "123456"};
        signsRight();
        signsRight();
        EXPECT_EQ(host.prompts.size(), single ? 2u : 0u) << "one PIN per signature";
        host.pins.clear();
        if (single) refusedWithoutPin(); else signsRight();
        ASSERT_TRUE(key->VerifyPIN("123456", 0));
        const ByteVector secret = {0x5E, 0xC2, 0xE7, 0x01, 0x02, 0x03};
        const ByteVector cryptogram = rsaEncrypt(keyFile, secret);
        if (!single) {  // a result longer than the room the caller names is not copied
            std::fill(out.begin(), out.end(), 0);
            length = 4;
            EXPECT_EQ(key->CardRSADecrypt(cryptogram.data(), static_cast<int>(cryptogram.size()), out.data(), &length), card::cFailed);
            EXPECT_TRUE(length == secret.size() && out[0] == 0);
        }
        for (const bool allowed : {true, !single}) {
            const CardResult result =
                key->CardRSADecrypt(cryptogram.data(), static_cast<int>(cryptogram.size()), out.data(), &length);
            ASSERT_EQ(result == card::cOk, allowed) << "deciphered again without a verified PIN";
            EXPECT_TRUE(!allowed || ByteVector(out.begin(), out.begin() + length) == secret);
        }
    }
}


// Runs "[service] verify|change|unblock [PIN or PUK] [new PIN]" (PINs left out are asked for).
bool operate(CSCM_Interface& key, const std::string& operation) {
    std::istringstream in(operation);
    std::string verb, first, second;
    in >> verb;
    cardSettings().m_settings.m_isService = verb == "service";
    if (verb == "service") in >> verb;
    in >> first >> second;
    const bool succeeded = verb == "verify" ? key.VerifyPIN(first, 0)
                                            : (verb == "change" ? key.ChangePIN(first, second)
                                                                : key.UnblockPIN(first, second)) == card::cOk;
    cardSettings().m_settings.m_isService = false;
    return succeeded;
}

// PIN operations through the host's dialogs: outcome, messages shown, the PIN the card takes afterwards.
// Card results 4, 5, 6 show 301, 302, 303; 14 (CardOS 6300) and 255 (63Cx) ask once whether to retry.
TEST_F(CardKeyTest, PinOperationsThroughTheHostsDialogs) {
    struct Row {  // pinAfter null: the PIN stays blocked; prompts: the dialog texts asked with, by message
        const char *name; std::string description, operation; std::deque<std::string> pins; bool retry, succeeds;
        std::vector<std::string> errors; const char* pinAfter; std::vector<int> prompts;
    };
    const std::string setCos = cardWith("signature-card");
    const std::string setCosWrong6300 = cardWith("signature-card", "dialect wrong-pin-sw=6300\n");
    const std::string initial = cardWith("signature-card", "dialect wrong-pin-sw=6985\n");
    const std::string blocked = cardWith("signature-card", "pin 81 value=123456 tries=0 max=3 puk=82\n");
    const std::string retry = "Falscher PIN. Neu eingegeb?";  // after an unclear outcome, in every language
    const std::vector<Row> rows = {
        {"typed PIN", setCos, "verify", {"123456"}, false, true, {}, "123456", {110}},
        {"wrong PIN the card calls wrong", setCosWrong6300, "verify", {"999999"}, false, false, {pin::message(302)},
         "123456", {110}},
        {"wrong PIN, retried", setCos, "verify", {"999999", "123456"}, true, true, {retry}, "123456", {110, 110}},
        {"wrong PIN, not retried: asked once", setCos, "verify", {"999999"}, false, false, {retry}, "123456", {110}},
        {"the rejected PIN again: not sent", cardWith("signature-card", "pin 81 value=123456 max=2 puk=82\n"), "verify",
         {"999999", "999999"}, true, false, {retry, pin::message(306)}, "123456", {110, 110}},
        {"initial PIN active", initial, "verify", {"999999"}, false, false, {pin::message(301)}, "123456", {110}},
        {"blocked PIN", blocked, "verify", {"123456"}, false, false, {pin::message(303)}, nullptr, {110}},
        {"card's own wrong-PIN result", signCard(true), "verify", {"999999", "123456"}, true, true, {retry}, "123456",
         {110, 110}},
        {"cancelled", setCos, "verify", {}, false, false, {pin::message(306)}, "123456", {110}},
        {"given wrong PIN shows nothing", setCosWrong6300, "verify 999999", {}, false, false, {}, "123456", {}},
        {"change typed", setCos, "change", {"123456", "654321", "654321"}, false, true, {}, "654321", {106, 107, 108}},
        {"change given", setCos, "change 123456 654321", {}, false, true, {}, "654321", {}},
        {"service: nothing asked", setCos, "service verify", {}, false, false, {}, "123456", {}},
        {"service: no PIN change", setCos, "service change 123456 654321", {}, false, false, {}, "123456", {}},
        {"unblock typed", setCos, "unblock", {"87654321", "111111", "111111"}, false, true, {}, "111111", {109, 107, 108}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        auto key = keyOn("cardkey-pin-" + std::to_string(&row - rows.data()), row.description);
        ASSERT_NE(key, nullptr);
        host = ScriptedHost{.pins = row.pins, .retry = row.retry};
        installHost();
        EXPECT_EQ(operate(*key, row.operation), row.succeeds);
        EXPECT_EQ(host.errors, row.errors);
        EXPECT_TRUE(host.pins.empty()) << "PINs left unasked";
        std::vector<std::string> prompts;
        for (int id : row.prompts) prompts.push_back(pin::messageWithPinName(id, pin::message(200)));
        EXPECT_EQ(host.prompts, prompts);
        EXPECT_EQ(key->VerifyPIN(row.pinAfter != nullptr ? row.pinAfter : "123456", 0), row.pinAfter != nullptr);
    }
}

// A host that opts in tells the retry question (3) from an information box (1); otherwise both carry 0.
TEST_F(CardKeyTest, MessageBoxKindForHostsThatOptIn) {
    for (const bool optIn : {false, true}) {
        auto key = keyOn("cardkey-boxkind", cardWith("signature-card"));
        ASSERT_NE(key, nullptr);
        host = ScriptedHost{.pins = {"999999"}, .retry = true};
        installHost();
        cardSettings().m_settings.m_callbackBoxKind = optIn;
        EXPECT_FALSE(key->VerifyPIN("", 0));  // wrong, retried, then cancelled
        EXPECT_EQ(host.boxKinds, (optIn ? std::vector<int>{3, 1} : std::vector<int>{0, 0}));
    }
}

// PINs and a PUK typed and given at the highest levels: none in the trace, the log or the dialog texts.
TEST_F(CardKeyTest, NoPinInTraceLogOrDialogTexts) {
    const std::string pinValue = "918273";
    const std::string newPin = "546372";
    const std::string puk = "80706152";
    const ScopedTraceFile trace(255);
    LogCapture log(log4cxx::Logger::getRootLogger());
    log4cxx::Logger::getRootLogger()->setLevel(log4cxx::Level::getAll());
    auto key = keyOn("cardkey-secrets",
                     cardWith("signature-card", "pin 81 value=" + pinValue + " max=3 puk=82\npin 82 value=" + puk + " max=10\n"));
    ASSERT_NE(key, nullptr);
    // Typed: verify; change (current, new, again); unblock (PUK, new, again).
    host.pins = {pinValue, newPin, pinValue, pinValue, puk, pinValue, pinValue};
    installHost();
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
