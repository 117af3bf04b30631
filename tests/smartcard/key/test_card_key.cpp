// The card key on a PKCS#15 card (SetCos 4.4.1 type, vcard's model or the
// card services): which entry a certificate identifier selects, the key
// algorithm of its certificate, signatures and deciphering checked with
// OpenSSL, and the PIN state rules of a single-signature card.

#include "platform/CardEvents.h"
#include "smartcard/base/CardResult.h"
#include "smartcard/key/ConfigSC.h"
#include "smartcard/key/SCM_Interface.h"
#include "smartcard/pin/PinMessages.h"
#include "tests/support/card/CardUnderTest.h"
#include "tests/support/card/OpenCardKey.h"

#include <gtest/gtest.h>

#include <deque>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace kivo::test {
namespace {

constexpr char kSetCosAtr[] = "3B 9F 00 80 1F C3 00 68 10 44 05 01 46 49 53 45 31 C8 00 90 00 00";

// "Signature key" as in pkcs15.txt, its path 3F0050154B01.
constexpr char kPrKdf[] = "303B30160C0D5369676E6174757265206B657903020780040101300F0401450303062040030203B8020102A110300E300804063F0050154B0102020800";

// The PKCS#15 card of support/cards as a SetCos card: its PrKDF names the
// key file from the MF (a SetCos 4.4.1 signs in the folder of the path),
// and that file is there; `dialect` adds to the SetCos one.
std::string setCosPkcs15Card(const std::string& dialect = "") {
    // The PIN gets a PUK (reference 82) to be unblocked with.
    std::ifstream in(std::string(KIVO_VCARD_CARDS) + "/pkcs15.txt");
    std::ostringstream text;
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("atr ", 0) == 0) line = std::string("atr ") + kSetCosAtr;
        if (line.rfind("ef 3F00/5015/4400 ", 0) == 0) line = std::string("ef 3F00/5015/4400 data=") + kPrKdf;
        if (line.rfind("pin 81 ", 0) == 0) line = "pin 81 value=123456 max=3 puk=82\npin 82 value=87654321 max=10";
        text << line << "\n";
    }
    text << "dialect fci-size-tag=81 " << dialect << "\nef 3F00/5015/4B01 data=00\n";
    return text.str();
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

// A single-signature card: every operation needs a verified PIN before
// it; without one nothing goes to the card and the failure is broadcast.
TEST(CardKey, SignsAndDeciphersOncePerVerification) {
    CardUnderTest card("cardkey-sign", setCosPkcs15Card());
    ASSERT_NO_FATAL_FAILURE(card.open());
    std::vector<std::uintptr_t> events;
    ScopedCardEventSubscription subscription([&](const CardEvent& event) { events.push_back(event.wParam); });
    auto key = openCardKey(card);
    ASSERT_NE(key, nullptr);
    ASSERT_EQ(key->Layout()->SingleCard(), 1);
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
    signWithoutPin();

    struct Row {
        const char* name;
        bool dataIsDigest;
    };
    for (const Row& row : {Row{"hash given", true}, Row{"data hashed by the key", false}}) {
        SCOPED_TRACE(row.name);
        ASSERT_TRUE(key->VerifyPIN("123456", 0));
        const ByteVector& input = row.dataIsDigest ? hash : data;
        ASSERT_EQ(key->CardSignData(input.data(), input.size(), out.data(), &length, 1, row.dataIsDigest, false),
                  card::cOk);
        EXPECT_TRUE(verifyRsaSha256(keyFile, hash, ByteVector(out.begin(), out.begin() + length)));
        signWithoutPin();
    }

    ASSERT_TRUE(key->VerifyPIN("123456", 0));
    const ByteVector secret = {0x5E, 0xC2, 0xE7, 0x01, 0x02, 0x03};
    const ByteVector cryptogram = rsaEncrypt(keyFile, secret);
    ASSERT_EQ(key->CardRSADecrypt(cryptogram.data(), static_cast<int>(cryptogram.size()), out.data(), &length),
              card::cOk);
    EXPECT_EQ(ByteVector(out.begin(), out.begin() + length), secret);
    EXPECT_NE(key->CardRSADecrypt(cryptogram.data(), static_cast<int>(cryptogram.size()), out.data(), &length),
              card::cOk);
}

// The host's PIN dialog callback: records the prompts, hands out the PINs
// queued (cancels when none is left), records the texts of the error
// dialogs and answers their questions with `retry`.
struct ScriptedHost {
    std::deque<std::string> pins;
    bool retry = false;
    std::vector<std::string> errors;
    std::vector<std::string> prompts;
};
ScriptedHost* g_host = nullptr;

bool scriptedHost(FPINDialogCallBackParams* params) {
    if (params->action != 0) return true;
    if (params->caption == pin::message(300)) {
        g_host->errors.push_back(params->text);
        return g_host->retry;
    }
    g_host->prompts.push_back(params->text);
    if (g_host->pins.empty()) return false;
    params->pin = g_host->pins.front();
    g_host->pins.pop_front();
    return true;
}

// Verification, change and unblocking with the PINs a host types (empty
// arguments: asked for through the callback): the outcome, the messages
// shown, and which PIN the card takes afterwards.
TEST(CardKey, PinOperationsThroughTheHostsDialogs) {
    struct Row {
        const char* name;
        const char* dialect;
        std::function<bool(CSCM_Interface&)> operation;
        std::deque<std::string> pins;
        bool retry;
        bool succeeds;
        std::vector<std::string> errors;
        const char* pinAfter;
        std::vector<int> prompts;  // the dialog texts asked with, by message
    };
    const auto verify = [](const std::string& pin) {
        return [pin](CSCM_Interface& key) { return key.VerifyPIN(pin, 0); };
    };
    const auto change = [](const std::string& oldPin, const std::string& newPin) {
        return [=](CSCM_Interface& key) { return key.ChangePIN(oldPin, newPin) == card::cOk; };
    };
    const auto unblock = [](const std::string& puk, const std::string& newPin) {
        return [=](CSCM_Interface& key) { return key.UnblockPIN(puk, newPin) == card::cOk; };
    };
    const auto inService = [](std::function<bool(CSCM_Interface&)> operation) {
        return [operation](CSCM_Interface& key) {
            cardSettings().m_settings.m_isService = true;
            const bool succeeded = operation(key);
            cardSettings().m_settings.m_isService = false;
            return succeeded;
        };
    };
    const std::string wrong = pin::message(302);
    const std::vector<Row> rows = {
        {"typed PIN", "", verify(""), {"123456"}, false, true, {}, "123456", {110}},
        {"wrong PIN the card calls wrong", "wrong-pin-sw=6300", verify(""), {"999999"}, false, false, {wrong},
         "123456", {110}},
        {"wrong PIN, retried", "", verify(""), {"999999", "123456"}, true, true, {"Falscher PIN. Neu eingegeb?"},
         "123456", {110, 110}},
        {"wrong PIN, not retried", "", verify(""), {"999999"}, false, false, {"Falscher PIN. Neu eingegeb?"},
         "123456", {110}},
        {"cancelled", "", verify(""), {}, false, false, {pin::message(306)}, "123456", {110}},
        {"given wrong PIN shows nothing", "wrong-pin-sw=6300", verify("999999"), {}, false, false, {}, "123456",
         {}},
        {"change typed", "", change("", ""), {"123456", "654321", "654321"}, false, true, {}, "654321",
         {106, 107, 108}},
        {"change given", "", change("123456", "654321"), {}, false, true, {}, "654321", {}},
        {"change with a wrong PIN", "wrong-pin-sw=6300", change("999999", "654321"), {}, false, false, {wrong},
         "123456", {}},
        {"service: nothing asked or shown", "", inService(verify("")), {}, false, false, {}, "123456", {}},
        {"service: PIN given", "", inService(verify("123456")), {}, false, true, {}, "123456", {}},
        {"service: no PIN change", "", inService(change("123456", "654321")), {}, false, false, {}, "123456", {}},
        {"unblock given", "", unblock("87654321", "111111"), {}, false, true, {}, "111111", {}},
        {"unblock typed", "", unblock("", ""), {"87654321", "111111", "111111"}, false, true, {}, "111111",
         {109, 107, 108}},
    };
    const ConfigSC::Settings saved = cardSettings().m_settings;
    cardSettings().m_settings.m_usePinDialogCallback = true;
    cardSettings().m_settings.m_pinDialogCallback = scriptedHost;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        CardUnderTest card(std::string("cardkey-pin-") + std::to_string(&row - rows.data()),
                           setCosPkcs15Card(row.dialect));
        ASSERT_NO_FATAL_FAILURE(card.open());
        auto key = openCardKey(card);
        ASSERT_NE(key, nullptr);
        ScriptedHost host{row.pins, row.retry, {}, {}};
        g_host = &host;
        EXPECT_EQ(row.operation(*key), row.succeeds);
        EXPECT_EQ(host.errors, row.errors);
        EXPECT_TRUE(host.pins.empty()) << "PINs left unasked";
        std::vector<std::string> prompts;
        for (int id : row.prompts) prompts.push_back(pin::messageWithPinName(id, pin::message(200)));
        EXPECT_EQ(host.prompts, prompts);
        EXPECT_TRUE(key->VerifyPIN(row.pinAfter, 0));
        EXPECT_TRUE(key->FindEntry()->pinVerified);
    }
    g_host = nullptr;
    cardSettings().m_settings = saved;
}

}  // namespace
}  // namespace kivo::test
