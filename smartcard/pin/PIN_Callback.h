// The PIN dialog variants that show nothing themselves: each step becomes
// one call of the host's PIN-dialog callback (ConfigSC), and the result of
// a step is the callback's result (false when none is installed).
#pragma once

#include "smartcard/pin/PIN_Interface.h"

#include "PINDialogCallback.h"

// Callback actions.
namespace kivo::pin::callback {
inline constexpr std::int32_t cShow = 0;
inline constexpr std::int32_t cClose = 1;
inline constexpr std::int32_t cKey = 2;
inline constexpr std::int32_t cRequestPin = 3;
inline constexpr std::int32_t cNewText = 4;
// Key field of a key event.
inline constexpr std::int32_t cEventDigit = 0;
inline constexpr std::int32_t cEventCleared = 1;
inline constexpr std::int32_t cEventNone = 2;
}  // namespace kivo::pin::callback

// Keyboard PIN entry through the callback: a show (action 0); when the
// host said yes without a PIN, a request for it (action 3).
class CPIN_Window_Dialog_Callback : public CPIN_Interface {
public:
    CPIN_Window_Dialog_Callback(void* instance, SCARDHANDLE card, std::string caption,
                                std::string text);
    bool Show() override;
};

// Pin-pad prompt through the callback: show, key events, new text, close.
class CPIN_PinPad_Dialog_Callback : public CPIN_Interface {
public:
    CPIN_PinPad_Dialog_Callback(void* instance, SCARDHANDLE card, std::string caption,
                                std::string text, std::string readerName);
    bool Show() override;
    bool Progress(std::uint8_t key) override;
    bool Close() override;
    bool SetText(const std::string& text) override;

private:
    std::string m_readerName;
};

// Error and information messages through the callback: show and close.
class CPIN_Error_Dialog_Callback : public CPIN_Interface {
public:
    // `boxKind`: what reserved1 tells a host that opted in (0: not a box).
    CPIN_Error_Dialog_Callback(void* instance, SCARDHANDLE card, std::string caption,
                               std::string text, std::int32_t boxKind = 0);
    bool Show() override;
    bool Close() override;

private:
    std::int32_t m_boxKind;
};
