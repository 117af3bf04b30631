// The two surfaces PIN windows appear on without a host callback.
#pragma once

#include "smartcard/pin/PinWindows.h"

#include <memory>
#include <string>

namespace kivo::pin {

// The controlling terminal (/dev/tty) with echo off while a PIN is typed;
// null when the process has none.
std::unique_ptr<DialogSurface> openTerminalSurface();
// A pinentry program spoken to over the Assuan protocol, one run per
// window.
std::unique_ptr<DialogSurface> openPinentrySurface(const std::string& program);

// Copies a PIN buffer into a secret and wipes the buffer.
Secret takeSecret(std::string& buffer);

}  // namespace kivo::pin
