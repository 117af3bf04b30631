// PIN entry as a person meets it: the choice of where a window appears,
// the prompt on the controlling terminal and the pinentry program, driven
// through a pseudo-terminal, the GTK pinentry window on a virtual X
// display, and no PIN in anything the dialogs hand on.

#include "tests/support/PseudoTerminal.h"
#include "tests/support/TestSupport.h"
#include "tests/support/card/PcscScript.h"

#include "smartcard/key/ConfigSC.h"
#include "smartcard/pin/DialogChoice.h"
#include "smartcard/pin/MessageLanguage.h"
#include "smartcard/pin/PinMessages.h"
#include "smartcard/pin/PinPrompt.h"
#include "smartcard/pin/SystemDialogs.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace kivo::pin;

TEST(PinEntry, ChoiceOfRoute) {
    struct Row {
        const char* name;
        DialogEnvironment environment;
        DialogRoute keyboard;
        DialogRoute pinPad;
    };
    // service, callback, desktop, named, installed, terminal
    const Row rows[] = {
        {"service shows nothing", {true, true, true, "p", "p", true}, DialogRoute::Nothing, DialogRoute::Nothing},
        {"callback first", {false, true, true, "p", "p", true}, DialogRoute::Callback, DialogRoute::Callback},
        {"desktop with pinentry", {false, false, true, "", "pinentry-qt", true}, DialogRoute::Pinentry,
         DialogRoute::Terminal},
        {"desktop without pinentry", {false, false, true, "", "", true}, DialogRoute::Terminal,
         DialogRoute::Terminal},
        {"named pinentry without desktop", {false, false, false, "pinentry-tty", "", false},
         DialogRoute::Pinentry, DialogRoute::Nothing},
        {"installed pinentry needs a desktop", {false, false, false, "", "pinentry-qt", true},
         DialogRoute::Terminal, DialogRoute::Terminal},
        {"nothing at all", {false, false, false, "", "", false}, DialogRoute::Nothing, DialogRoute::Nothing},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(chooseDialogRoute(DialogUse::Keyboard, row.environment), row.keyboard) << row.name;
        EXPECT_EQ(chooseDialogRoute(DialogUse::Message, row.environment), row.keyboard) << row.name;
        EXPECT_EQ(chooseDialogRoute(DialogUse::PinPad, row.environment), row.pinPad) << row.name;
    }
    const DialogEnvironment named{false, false, true, "pinentry-tty", "pinentry-qt", true};
    EXPECT_EQ(pinentryProgram(named), "pinentry-tty");
}

// --- a pseudo-terminal ------------------------------------------------------------

using kivo::test::runOnTerminal;
using kivo::test::TerminalRun;

// In the child: asks for the signature PIN through the dialogs a process
// starts with, in English, with the given pinentry program named (or none)
// and on the given X display (or no desktop).
std::function<std::string()> askForPin(const char* pinentry, const std::string& display = {}) {
    return [pinentry, display] {
        if (!display.empty()) ::setenv("DISPLAY", display.c_str(), 1);
        else ::unsetenv("DISPLAY");
        ::unsetenv("WAYLAND_DISPLAY");
        if (pinentry != nullptr) ::setenv(cPinentryVariable, pinentry, 1);
        else ::unsetenv(cPinentryVariable);
        setMessageLanguage(0);
        installDialogs(systemDialogs());
        const std::optional<Secret> pin = askSecret(SecretKind::Pin, {"Card", "Signature", ""});
        return pin ? "PIN " + pin->text() : std::string("cancelled");
    };
}

// Keys typed and what the child reports.
struct KeysRow {
    const char* name;
    std::string keys;
    std::string result;
};

const char* const kPrompt = "Please enter Signature PIN with the computer keyboard.";

TEST(PinEntry, TerminalPromptWithEchoOff) {
    const KeysRow rows[] = {
        {"Enter takes the PIN", "246813\r", "PIN 246813"},
        {"fifteen characters at most", "12345678901234567890\r", "PIN 123456789012345"},
        {"backspace removes one", "2468\x7f" "9\r", "PIN 2469"},
        {"Escape cancels", "2468\x1b", "cancelled"},
        {"end of input cancels", "2468\x04", "cancelled"},
        {"OK on nothing is no PIN", "\r", "cancelled"},
    };
    for (const KeysRow& row : rows) {
        const TerminalRun run = runOnTerminal(askForPin(nullptr), kPrompt, row.keys);
        EXPECT_EQ(run.result, row.result) << row.name << "\n" << run.screen;
        EXPECT_NE(run.screen.find("Card"), std::string::npos) << row.name;
        // Echo off: none of the typed characters shows.
        EXPECT_EQ(run.screen.find("2468"), std::string::npos) << row.name << "\n" << run.screen;
        EXPECT_EQ(run.screen.find("12345"), std::string::npos) << row.name << "\n" << run.screen;
    }
}

TEST(PinEntry, PinentryTtyThroughAssuan) {
    if (::access("/usr/bin/pinentry-tty", X_OK) != 0) GTEST_SKIP() << "pinentry-tty is not installed";
    const KeysRow rows[] = {
        {"Enter takes the PIN", "97%31\n", "PIN 97%31"},
        {"fifteen characters at most", "12345678901234567890\n", "PIN 123456789012345"},
        {"end of input cancels", "\x04", "cancelled"},
    };
    for (const KeysRow& row : rows) {
        const TerminalRun run = runOnTerminal(askForPin("pinentry-tty"), "PIN:", row.keys);
        EXPECT_EQ(run.result, row.result) << row.name << "\n" << run.screen;
        EXPECT_NE(run.screen.find(kPrompt), std::string::npos) << row.name << "\n" << run.screen;
        EXPECT_EQ(run.screen.find("97%31"), std::string::npos) << row.name;
    }
}

// --- a virtual X display ----------------------------------------------------------

using Clock = std::chrono::steady_clock;
constexpr const char* kXvfb = "/usr/bin/Xvfb";

// Reads one line from `fd` by the deadline; empty when none came.
std::string readLine(int fd, Clock::time_point deadline) {
    std::string line;
    char c = 0;
    while (Clock::now() < deadline) {
        pollfd input{fd, POLLIN, 0};
        if (::poll(&input, 1, 200) <= 0) continue;
        if (::read(fd, &c, 1) != 1) return {};
        if (c == '\n') return line;
        line += c;
    }
    return {};
}

// An Xvfb server on the first free display number for the life of the
// object; the name (":N") is empty when it did not start.
class VirtualDisplay {
public:
    VirtualDisplay() {
        int ready[2];
        if (::pipe(ready) != 0) return;
        const std::string readyFd = std::to_string(ready[1]);
        m_server = ::fork();
        if (m_server == 0) {
            ::close(ready[0]);
            const int quiet = ::open("/dev/null", O_WRONLY);
            ::dup2(quiet, STDOUT_FILENO);
            ::dup2(quiet, STDERR_FILENO);
            // Xvfb writes the display number to -displayfd once it accepts
            // clients; -noreset keeps it from resetting, and refusing the
            // next pinentry meanwhile, each time its last client leaves.
            ::execl(kXvfb, kXvfb, "-displayfd", readyFd.c_str(), "-noreset", "-nolisten", "tcp",
                    "-screen", "0", "640x480x24", static_cast<char*>(nullptr));
            ::_exit(127);
        }
        ::close(ready[1]);
        const std::string number = m_server > 0 ? readLine(ready[0], Clock::now() + std::chrono::seconds(20)) : "";
        if (!number.empty()) m_name = ":" + number;
        ::close(ready[0]);
    }
    ~VirtualDisplay() {
        if (m_server <= 0) return;
        ::kill(m_server, SIGTERM);
        ::waitpid(m_server, nullptr, 0);
    }
    VirtualDisplay(const VirtualDisplay&) = delete;
    VirtualDisplay& operator=(const VirtualDisplay&) = delete;

    const std::string& name() const { return m_name; }

private:
    pid_t m_server = -1;
    std::string m_name;
};

// Runs xdotool with `arguments` on `display`; true when it succeeded.
bool xdotool(const std::string& display, const std::string& arguments) {
    const std::string command = "DISPLAY=" + display + " xdotool " + arguments + " >/dev/null 2>&1";
    return kivo::test::runCommand(command).status == 0;
}

// Once a window titled `title` is shown on `display`, presses `keys` (X key
// names, "1 2 Return").
kivo::test::PersonOutside pressesInWindow(const std::string& display, const std::string& title,
                                          const std::string& keys) {
    return [display, title, keys](Clock::time_point deadline) {
        while (!xdotool(display, "search --onlyvisible --name '^" + title + "$'")) {
            if (Clock::now() > deadline) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        return xdotool(display, "key " + keys);
    };
}

TEST(PinEntry, PinentryGtkWindowOnVirtualDisplay) {
    for (const char* program : {kXvfb, "/usr/bin/pinentry-gtk-2", "/usr/bin/xdotool"}) {
        if (::access(program, X_OK) != 0) {
            GTEST_SKIP() << program << " is not installed (scripts/install-deps.sh installs it)";
        }
    }
    const VirtualDisplay display;
    ASSERT_FALSE(display.name().empty()) << "Xvfb did not start";
    // The window's title is the caption the library sends.
    const KeysRow rows[] = {
        {"Return takes the PIN", "9 7 percent 3 1 Return", "PIN 97%31"},
        {"Escape cancels", "2 4 6 8 Escape", "cancelled"},
    };
    for (const KeysRow& row : rows) {
        const TerminalRun run = kivo::test::runWithPersonOutside(
            askForPin("pinentry-gtk-2", display.name()), pressesInWindow(display.name(), "Card", row.keys));
        EXPECT_TRUE(run.stepsDone) << row.name << ": no window titled Card\n" << run.screen;
        EXPECT_EQ(run.result, row.result) << row.name << "\n" << run.screen;
    }
}

// --- nothing leaks ------------------------------------------------------------------

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
    g_shownTexts.clear();

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
    for (const std::string& text : g_shownTexts) {
        EXPECT_EQ(text.find_first_of("9753"), std::string::npos) << text;
    }
    const std::string written = trace.contents();
    EXPECT_NE(written.find("keyboard PIN through callback"), std::string::npos) << written;
    EXPECT_EQ(written.find("9753"), std::string::npos) << written;
}

}  // namespace
