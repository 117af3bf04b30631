// FPINDialogCallBackParams: the block a host's PIN-dialog function receives
// when the library asks it to show, update or close a PIN prompt.
#pragma once

#include "KivoExport.h"

#include <cstdint>
#include <string>

struct FPINDialogCallBackParams {
    // 0 show, 1 close, 2 key event, 3 request the PIN, 4 new message text.
    std::int32_t action = 0;
    // True for the pin-pad prompts, false for keyboard and error dialogs.
    bool pinPad = false;
    std::string caption;
    std::string text;
    // Action 2: 0 a digit was entered, 1 input cleared, 2 none.
    std::int32_t key = 2;
    // Keyboard prompts: the host fills in the entered PIN.
    std::string pin;
    // 0, unless the host opted in with CSCUtils::SetPINDialogBoxKind(true):
    // then a message box says its kind here: 1 a box with OK only (error,
    // warning, information), 2 a Yes/No/Cancel question, 3 a Retry/Cancel
    // question, whose "true" means Retry.
    std::int32_t reserved1 = 0;
    std::int32_t reserved2 = 0;
};

typedef bool (*PINDialogCallbackFunc)(FPINDialogCallBackParams*);
