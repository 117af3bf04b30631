// The dialogs a process starts with behind kivo::pin::askSecret and
// openPinPad: the PIN dialog objects on the route DialogChoice picks (the
// host's callback, pinentry, the terminal, or nothing), and the message-box
// helper on the same routes.
#pragma once

#include "smartcard/pin/PinPrompt.h"

#include <string>

namespace kivo::pin {

Dialogs systemDialogs();

// Shows text under a caption as a box of a kind (PinMessages.h) and
// returns 2 for Yes or Retry, 3 for No, 1 otherwise. Through the host's
// callback the box is an error dialog: shown and closed, with 2 when the
// host said yes to a question box. In service mode, or with no way to show
// it, nothing is shown and the result is 1. The session of `card` is kept
// alive while the box is open.
int ShowMessageBox(const std::string& text, const std::string& caption, int kind, SCARDHANDLE card = 0);

}  // namespace kivo::pin
