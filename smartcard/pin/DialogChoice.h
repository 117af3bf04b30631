// Where a PIN window or message box appears, decided in one place:
// nowhere in service mode; the host's callback when the switch is on and a
// function is installed; the pinentry program on a desktop (DISPLAY or
// WAYLAND_DISPLAY set) or when a pinentry program is named (the setting
// "PinentryProgram", overridden by the environment variable KIVO_PINENTRY);
// else the controlling terminal; with none of these, nowhere, and the
// operation ends as cancelled. pinentry cannot keep a window open while
// the reader collects the PIN, so the pin-pad progress goes to the
// terminal.
#pragma once

#include "smartcard/pin/PinWindows.h"

#include <string>

namespace kivo::pin {

enum class DialogRoute { Nothing, Callback, Pinentry, Terminal };

// What the choice depends on.
struct DialogEnvironment {
    bool service = false;
    bool callback = false;          // switch on and a function installed
    bool desktop = false;           // DISPLAY or WAYLAND_DISPLAY set
    std::string namedPinentry;      // KIVO_PINENTRY, else the setting
    std::string installedPinentry;  // the first installed candidate
    bool terminal = false;          // the controlling terminal can be opened
};

// The pinentry programs looked for, in order.
inline constexpr const char* cPinentryCandidates[] = {
    "pinentry-gnome3", "pinentry-qt", "pinentry-gtk-2", "pinentry-curses", "pinentry-tty"};
inline constexpr const char* cPinentryVariable = "KIVO_PINENTRY";

DialogRoute chooseDialogRoute(DialogUse use, const DialogEnvironment& environment);
// The pinentry program to run: the named one, else the installed one.
const std::string& pinentryProgram(const DialogEnvironment& environment);
// The environment of this process now.
DialogEnvironment currentDialogEnvironment();
// chooseDialogRoute for this process now.
DialogRoute currentDialogRoute(DialogUse use);

}  // namespace kivo::pin
