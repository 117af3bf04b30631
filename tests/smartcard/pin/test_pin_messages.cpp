// The dialog texts in their three languages, the message boxes, and the dialogs that hand each step to the
// host's callback.

#include "smartcard/key/ConfigSC.h"
#include "smartcard/pin/MessageLanguage.h"
#include "smartcard/pin/PIN_Callback.h"
#include "smartcard/pin/PinMessages.h"

#include <gtest/gtest.h>

#include <functional>

namespace {

using namespace kivo::pin;

// Typed from the dialog texts as the product documents them: a sample of every group, each language, Swedish
// rows that show English, languages the table does not hold (German), and identifiers outside it.
TEST(PinMessages, TextsPerLanguage) {
    const struct { int id, language; const char* text; } rows[] = {
        {11, 0, "Cancel"},
        {11, 2, "Avbryt"},
        {111, 2, "Please enter the CAN (Card Access Number) using the computer keyboard."},
        {301, 1, "Die Null-PIN ist aktiv, bitte ändern Sie die PIN."},
        {303, 2, "PIN blockierat."},
        {11000, 2, "okänd"},
        {11, 7, "Abbrechen"},
        {302, -1, "PIN nicht korrekt."},
        {999, 0, "----Error in Stringtable----"},
    };
    const int saved = messageLanguage();
    for (const auto& row : rows) {
        EXPECT_STREQ(message(row.id, row.language), row.text) << row.id << " in " << row.language;
        setMessageLanguage(row.language);
        EXPECT_STREQ(message(row.id), row.text) << row.id << " in process language " << row.language;
    }
    setMessageLanguage(1);
    EXPECT_EQ(messageWithPinName(100, "Signatur"), "Bitte die Signatur PIN mit der Tastatur des Kartenlesers eingeben.");
    setMessageLanguage(saved);
}

TEST(PinMessages, MessageBoxResults) {
    const std::pair<MessageBoxAnswer, int> results[] = {{MessageBoxAnswer::Ok, 1}, {MessageBoxAnswer::Cancel, 1},
                                                        {MessageBoxAnswer::Yes, 2}, {MessageBoxAnswer::No, 3},
                                                        {MessageBoxAnswer::Retry, 2}};
    for (const auto& [answer, result] : results) EXPECT_EQ(messageBoxResult(answer), result) << static_cast<int>(answer);
}

// The host's callback: every block it was handed (action, pin pad, text, key) and its answers.
std::vector<std::string> g_calls;
std::function<bool(FPINDialogCallBackParams&)> g_answer;

bool recordingHost(FPINDialogCallBackParams* params) {
    g_calls.push_back(std::to_string(params->action) + (params->pinPad ? " pad " : " ") + params->text + " " +
                      std::to_string(params->key));
    EXPECT_EQ(params->caption, "Karte");
    EXPECT_EQ(params->reserved1 | params->reserved2, 0);
    return g_answer(*params);
}

std::string keyboard() {
    CPIN_Window_Dialog_Callback dialog(nullptr, 0, "Karte", "PIN?");
    const bool shown = dialog.Show();
    return std::to_string(shown) + " " + dialog.EnteredPin().text();
}

std::string pinPad() {
    CPIN_PinPad_Dialog_Callback dialog(nullptr, 0, "Karte", "Pad", "Reader");
    std::string results = std::to_string(dialog.Show());
    for (const int key : {int{'+'}, int{'+'}, 0x0A, 0x08, int{'x'}, 0x0D}) results += std::to_string(dialog.Progress(static_cast<std::uint8_t>(key)));
    results += std::to_string(dialog.SetText("Neu"));
    return results + std::to_string(dialog.Close());
}

std::string errorMessage() {
    CPIN_Error_Dialog_Callback dialog(nullptr, 0, "Karte", "Falsch");
    const std::string shown = std::to_string(dialog.Show());
    return shown + std::to_string(dialog.Close());
}

TEST(PinCallbackDialogs, CallSequences) {
    const auto yes = [](FPINDialogCallBackParams&) { return true; };
    const auto pinOn = [](int action) {
        return [action](FPINDialogCallBackParams& p) {
            if (p.action == action) p.pin = "4711";
            return true;
        };
    };
    const struct { const char* name; bool installed; std::function<bool(FPINDialogCallBackParams&)> answer;
        std::function<std::string()> drive; std::vector<std::string> calls; std::string outcome; } rows[] = {
        {"PIN given with the show", true, pinOn(0), keyboard, {"0 PIN? 2"}, "1 4711"},
        {"PIN given on request", true, pinOn(3), keyboard, {"0 PIN? 2", "3 PIN? 2"}, "1 4711"},
        {"host cancels", true, [](auto&) { return false; }, keyboard, {"0 PIN? 2"}, "0 "},
        {"host cancels the request", true, [](auto& p) { return p.action == 0; }, keyboard, {"0 PIN? 2", "3 PIN? 2"}, "0 "},
        {"pin pad", true, yes, pinPad,
         {"0 pad Pad 2", "2 pad Pad 0", "2 pad Pad 0", "2 pad Pad 1", "2 pad Pad 1", "4 pad Neu 2", "1 pad Neu 2"}, "111111111"},
        {"error message", true, yes, errorMessage, {"0 Falsch 2", "1 Falsch 2"}, "11"},
        {"no callback", false, yes, keyboard, {}, "0 "},
        {"no callback, pin pad", false, yes, pinPad, {}, "000001100"},
    };
    const ConfigSC::Settings saved = kivo::cardSettings().m_settings;
    for (const auto& row : rows) {
        g_calls.clear();
        g_answer = row.answer;
        kivo::cardSettings().m_settings.m_usePinDialogCallback = true;
        kivo::cardSettings().m_settings.m_pinDialogCallback = row.installed ? recordingHost : nullptr;
        EXPECT_EQ(row.drive(), row.outcome) << row.name;
        EXPECT_EQ(g_calls, row.calls) << row.name;
    }
    kivo::cardSettings().m_settings = saved;
}

}  // namespace
