// The PIN dialog variants that hand each step to the host's callback: the
// exact sequence of callback blocks for keyboard entry, pin-pad progress
// and error messages, and what comes back.

#include "smartcard/key/ConfigSC.h"
#include "smartcard/pin/PIN_Callback.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

namespace {

struct Call {
    int action;
    bool pinPad;
    std::string text;
    int key;
    bool operator==(const Call&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Call& call) {
    return out << "{" << call.action << "," << call.pinPad << ",\"" << call.text << "\"," << call.key
               << "}";
}

// The host: records every block and answers as the row says.
std::vector<Call> g_calls;
std::function<bool(FPINDialogCallBackParams&)> g_answer;

bool recordingHost(FPINDialogCallBackParams* params) {
    g_calls.push_back({params->action, params->pinPad, params->text, params->key});
    EXPECT_EQ(params->caption, "Karte");
    EXPECT_EQ(params->reserved1, 0);
    EXPECT_EQ(params->reserved2, 0);
    return g_answer(*params);
}

bool fillPinOn(FPINDialogCallBackParams& params, int action) {
    if (params.action == action) params.pin = "4711";
    return true;
}

struct Outcome {
    std::vector<bool> results;
    std::string pin;
};

Outcome keyboard() {
    CPIN_Window_Dialog_Callback dialog(nullptr, 0, "Karte", "PIN?");
    const bool shown = dialog.Show();
    return {{shown}, dialog.EnteredPin().text()};
}

Outcome pinPad() {
    CPIN_PinPad_Dialog_Callback dialog(nullptr, 0, "Karte", "Pad", "Reader");
    Outcome outcome;
    outcome.results.push_back(dialog.Show());
    for (const int key : {int{'+'}, int{'+'}, 0x0A, 0x08, int{'x'}, 0x0D}) {
        outcome.results.push_back(dialog.Progress(static_cast<std::uint8_t>(key)));
    }
    outcome.results.push_back(dialog.SetText("Neu"));
    outcome.results.push_back(dialog.Close());
    return outcome;
}

Outcome errorMessage() {
    CPIN_Error_Dialog_Callback dialog(nullptr, 0, "Karte", "Falsch");
    return {{dialog.Show(), dialog.Close()}, ""};
}

struct Row {
    const char* name;
    bool installed;
    std::function<bool(FPINDialogCallBackParams&)> answer;
    std::function<Outcome()> drive;
    std::vector<Call> calls;
    Outcome expected;
};

TEST(PinCallbackDialogs, CallSequences) {
    const auto yes = [](FPINDialogCallBackParams&) { return true; };
    const auto no = [](FPINDialogCallBackParams&) { return false; };
    const std::vector<Row> rows = {
        {"keyboard, PIN given with the show", true, [](auto& p) { return fillPinOn(p, 0); }, keyboard,
         {{0, false, "PIN?", 2}}, {{true}, "4711"}},
        {"keyboard, PIN given on request", true, [](auto& p) { return fillPinOn(p, 3); }, keyboard,
         {{0, false, "PIN?", 2}, {3, false, "PIN?", 2}}, {{true}, "4711"}},
        {"keyboard, host cancels", true, no, keyboard, {{0, false, "PIN?", 2}}, {{false}, ""}},
        {"keyboard, host cancels the request", true,
         [](auto& p) { return p.action == 0; }, keyboard,
         {{0, false, "PIN?", 2}, {3, false, "PIN?", 2}}, {{false}, ""}},
        {"pin pad", true, yes, pinPad,
         {{0, true, "Pad", 2}, {2, true, "Pad", 0}, {2, true, "Pad", 0}, {2, true, "Pad", 1},
          {2, true, "Pad", 1}, {4, true, "Neu", 2}, {1, true, "Neu", 2}},
         {{true, true, true, true, true, true, true, true, true}, ""}},
        {"error message", true, yes, errorMessage, {{0, false, "Falsch", 2}, {1, false, "Falsch", 2}},
         {{true, true}, ""}},
        {"no callback installed", false, yes, keyboard, {}, {{false}, ""}},
        {"no callback installed, pin pad", false, yes, pinPad, {},
         {{false, false, false, false, false, true, true, false, false}, ""}},
    };
    const ConfigSC::Settings saved = kivo::cardSettings().m_settings;
    for (const Row& row : rows) {
        g_calls.clear();
        g_answer = row.answer;
        kivo::cardSettings().m_settings.m_usePinDialogCallback = true;
        kivo::cardSettings().m_settings.m_pinDialogCallback = row.installed ? recordingHost : nullptr;
        const Outcome outcome = row.drive();
        EXPECT_EQ(g_calls, row.calls) << row.name;
        EXPECT_EQ(outcome.results, row.expected.results) << row.name;
        EXPECT_EQ(outcome.pin, row.expected.pin) << row.name;
    }
    kivo::cardSettings().m_settings = saved;
}

}  // namespace
