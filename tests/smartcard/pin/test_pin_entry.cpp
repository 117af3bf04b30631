// PIN entry as a person meets it: where the dialog appears, the prompt on the controlling terminal and
// pinentry-tty driven through a pseudo-terminal, and no PIN in anything the dialogs hand on.

#include "tests/support/PseudoTerminal.h"
#include "tests/support/TestSupport.h"
#include "tests/support/card/PcscScript.h"

#include "smartcard/key/ConfigSC.h"
#include "smartcard/pin/DialogChoice.h"
#include "smartcard/pin/MessageLanguage.h"
#include "smartcard/pin/PIN_Interface.h"
#include "smartcard/pin/PinMessages.h"
#include "smartcard/pin/PinPrompt.h"
#include "smartcard/pin/SystemDialogs.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>

namespace {

using namespace kivo::pin;

TEST(PinEntry, ChoiceOfRoute) {
    // environment: service, callback, desktop, named, installed, terminal
    const struct { const char* name; DialogEnvironment environment; DialogRoute keyboard, pinPad; } rows[] = {
        {"service shows nothing", {true, true, true, "p", "p", true}, DialogRoute::Nothing, DialogRoute::Nothing},
        {"callback first", {false, true, true, "p", "p", true}, DialogRoute::Callback, DialogRoute::Callback},
        {"desktop with pinentry", {false, false, true, "", "pinentry-qt", true}, DialogRoute::Pinentry, DialogRoute::Terminal},
        {"desktop without pinentry", {false, false, true, "", "", true}, DialogRoute::Terminal, DialogRoute::Terminal},
        {"named pinentry, no desktop", {false, false, false, "pinentry-tty", "", false}, DialogRoute::Pinentry, DialogRoute::Nothing},
        {"installed pinentry needs a desktop", {false, false, false, "", "pinentry-qt", true}, DialogRoute::Terminal,
         DialogRoute::Terminal},
        {"nothing at all", {false, false, false, "", "", false}, DialogRoute::Nothing, DialogRoute::Nothing},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(chooseDialogRoute(DialogUse::Keyboard, row.environment), row.keyboard) << row.name;
        EXPECT_EQ(chooseDialogRoute(DialogUse::Message, row.environment), row.keyboard) << row.name;
        EXPECT_EQ(chooseDialogRoute(DialogUse::PinPad, row.environment), row.pinPad) << row.name;
    }
    EXPECT_EQ(pinentryProgram({false, false, true, "pinentry-tty", "pinentry-qt", true}), "pinentry-tty");
}

// Sets (or with nullptr unsets) an environment variable while it lives, then restores its previous value.
struct ScopedVariable {
    ScopedVariable(const char* name, const char* value) : name(name) {
        if (const char* now = std::getenv(name)) saved = now;
        value ? ::setenv(name, value, 1) : ::unsetenv(name);
    }
    ~ScopedVariable() { saved ? ::setenv(name, saved->c_str(), 1) : ::unsetenv(name); }
    const char* name;
    std::optional<std::string> saved;
};

// The installed-pinentry search on a desktop finds the GTK program under the name Debian's package installs
// (pinentry-gtk2 ships pinentry-gtk-2).
TEST(PinEntry, FindsTheInstalledPinentryByItsPackagedName) {
    const kivo::test::CommandResult listed = kivo::test::runCommand("dpkg -L pinentry-gtk2 2>/dev/null | grep /bin/");
    if (listed.status != 0) GTEST_SKIP() << "pinentry-gtk2 is not installed";
    const std::filesystem::path program = listed.output.substr(0, listed.output.find('\n'));
    const kivo::test::TempDir folder("kivo-pinentry");
    std::filesystem::create_symlink(program, folder.path() / program.filename());
    const ScopedVariable path("PATH", folder.path().c_str()), display("DISPLAY", ":98"), named(cPinentryVariable, nullptr);
    EXPECT_EQ(currentDialogEnvironment().installedPinentry, program.filename().string());
}

// In the child: asks for the signature PIN, in English, with the given pinentry program named (or none) and no
// desktop.
std::function<std::string()> askForPin(const char* pinentry) {
    return [pinentry] {
        ::unsetenv("DISPLAY");
        ::unsetenv("WAYLAND_DISPLAY");
        if (pinentry != nullptr) ::setenv(cPinentryVariable, pinentry, 1);
        else ::unsetenv(cPinentryVariable);
        setMessageLanguage(0);
        installDialogs(systemDialogs());
        const std::optional<Secret> pin = askSecret(SecretKind::Pin, {"Card", "Signature", ""});
        return pin ? "PIN " + pin->text() : std::string("cancelled");
    };
}

TEST(PinEntry, TerminalAndPinentryTty) {
    const char* const prompt = "Please enter Signature PIN with the computer keyboard.";
    const bool tty = ::access("/usr/bin/pinentry-tty", X_OK) == 0;
    const struct { const char* name; const char* pinentry; std::string keys, result; } rows[] = {
        {"Enter takes the PIN", nullptr, "246813\r", "PIN 246813"},
        {"fifteen characters at most", nullptr, "12345678901234567890\r", "PIN 123456789012345"},
        {"backspace removes one", nullptr, "2468\x7f" "9\r", "PIN 2469"},
        {"Escape cancels", nullptr, "2468\x1b", "cancelled"},
        {"end of input cancels", nullptr, "2468\x04", "cancelled"},
        {"OK on nothing is no PIN", nullptr, "\r", "cancelled"},
        {"pinentry-tty takes the PIN", "pinentry-tty", "97%31\n", "PIN 97%31"},
        {"pinentry-tty, fifteen at most", "pinentry-tty", "12345678901234567890\n", "PIN 123456789012345"},
        {"pinentry-tty, end of input", "pinentry-tty", "\x04", "cancelled"},
    };
    for (const auto& row : rows) {
        if (row.pinentry != nullptr && !tty) continue;
        const kivo::test::TerminalRun run =
            kivo::test::runOnTerminal(askForPin(row.pinentry), row.pinentry ? "PIN:" : prompt, row.keys);
        EXPECT_EQ(run.result, row.result) << row.name << "\n" << run.screen;
        EXPECT_NE(run.screen.find(row.pinentry ? prompt : "Card"), std::string::npos) << row.name;
        for (const char* typed : {"2468", "12345", "97%31"}) {
            EXPECT_EQ(run.screen.find(typed), std::string::npos) << row.name << ": echoed\n" << run.screen;
        }
    }
}

std::vector<std::string> g_shownTexts;
bool hostGivingPin(FPINDialogCallBackParams* params) {
    g_shownTexts.push_back(params->caption);
    g_shownTexts.push_back(params->text);
    params->pin = "9753";
    return true;
}

TEST(PinEntry, NoPinInTraceOrCallbackTexts) {
    const kivo::test::ScopedTraceFile trace;
    auto& settings = kivo::cardSettings().m_settings;
    settings.m_usePinDialogCallback = true;
    settings.m_pinDialogCallback = hostGivingPin;
    const Dialogs previous = installDialogs(systemDialogs());
    const std::optional<Secret> pin = askSecret(SecretKind::Pin, {"Karte", "Signatur", ""});
    const std::optional<Secret> newPin = askSecret(SecretKind::NewPin, {"Karte", "Signatur", ""});
    std::unique_ptr<PinPadProgress> pad = openPinPad({"Karte", "Signatur", ""});
    ASSERT_NE(pad, nullptr);
    pad->show();
    pad->advance('+');
    pad->nextPrompt();
    pad->close();
    EXPECT_EQ(ShowMessageBox(message(302), message(300), 5), 2);
    installDialogs(previous);

    ASSERT_TRUE(pin && newPin);
    EXPECT_EQ(pin->text(), "9753");
    EXPECT_EQ(newPin->text(), "9753");
    ASSERT_FALSE(g_shownTexts.empty());
    for (const std::string& text : g_shownTexts) EXPECT_EQ(text.find_first_of("9753"), std::string::npos) << text;
    const std::string written = trace.contents();
    EXPECT_NE(written.find("keyboard PIN through callback"), std::string::npos) << written;
    EXPECT_EQ(written.find("9753"), std::string::npos) << written;
}

// A moved secret (constructed or assigned, short or long) leaves no byte in the object it left.
TEST(PinEntry, MovedSecretsLeaveNoBytesBehind) {
    for (const std::string pin : {std::string("123456"), std::string(40, '7')}) {
        Secret from(pin), assignedFrom(pin), to, constructed(std::move(from));
        to = std::move(assignedFrom);
        EXPECT_TRUE(constructed.text() == pin && to.text() == pin);
        for (const std::string* left : {&from.text(), &assignedFrom.text()}) {
            EXPECT_TRUE(std::all_of(left->data(), left->data() + left->capacity(), [](char c) { return c == 0; })) << pin;
        }
    }
}

// The session kept alive is the card's own (none without a card); each scope stops only what it started, so a
// message box over a PIN window leaves the window's keeping alone.
TEST(PinEntry, KeepsTheCardsSessionAliveOncePerScope) {
    std::vector<SCARDHANDLE> started;
    int stops = 0;
    const SessionKeeper previous = installSessionKeeper(
        {[&](SCARDHANDLE card) { return card != 0 && started.size() == static_cast<std::size_t>(stops) && (started.push_back(card), true); },
         [&] { ++stops; }});
    {
        const KeptAlive window(0x4711), box(0x4711), noCard(0);
    }
    installSessionKeeper(previous);
    EXPECT_EQ(started, std::vector<SCARDHANDLE>{0x4711});
    EXPECT_EQ(stops, 1);
}

}  // namespace
