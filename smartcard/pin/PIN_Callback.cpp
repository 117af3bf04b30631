#include "smartcard/pin/PIN_Callback.h"

#include "smartcard/key/ConfigSC.h"

#include <openssl/crypto.h>

namespace callback = kivo::pin::callback;

namespace {

// The block handed to the host; whatever PIN it holds is wiped when the
// block goes away.
struct CallbackBlock {
    CallbackBlock(std::int32_t action, bool pinPad, const std::string& caption,
                  const std::string& text, std::int32_t key = callback::cEventNone) {
        params.action = action;
        params.pinPad = pinPad;
        params.caption = caption;
        params.text = text;
        params.key = key;
    }
    ~CallbackBlock() { wipePin(); }
    CallbackBlock(const CallbackBlock&) = delete;
    CallbackBlock& operator=(const CallbackBlock&) = delete;

    void wipePin() {
        if (!params.pin.empty()) OPENSSL_cleanse(params.pin.data(), params.pin.size());
        params.pin.clear();
    }

    // One call of the installed callback; false without one, and when the
    // host's function throws.
    bool call() {
        const PINDialogCallbackFunc function = kivo::cardSettings().m_settings.m_pinDialogCallback;
        if (function == nullptr) return false;
        try {
            return function(&params);
        } catch (...) {
            return false;
        }
    }

    FPINDialogCallBackParams params;
};

}  // namespace

// --- keyboard ------------------------------------------------------------------------

CPIN_Window_Dialog_Callback::CPIN_Window_Dialog_Callback(void* instance, SCARDHANDLE card,
                                                         std::string caption, std::string text)
    : CPIN_Interface(instance, card, std::move(caption), std::move(text)) {}

bool CPIN_Window_Dialog_Callback::Show() {
    m_pin.wipe();
    CallbackBlock block(callback::cShow, false, m_caption, m_text);
    bool result = block.call();
    if (result && block.params.pin.empty()) {
        block.params.action = callback::cRequestPin;
        result = block.call();
    }
    if (result) m_pin = kivo::pin::Secret(block.params.pin);
    return result;
}

// --- pin pad ---------------------------------------------------------------------------

CPIN_PinPad_Dialog_Callback::CPIN_PinPad_Dialog_Callback(void* instance, SCARDHANDLE card,
                                                         std::string caption, std::string text,
                                                         std::string readerName)
    : CPIN_Interface(instance, card, std::move(caption), std::move(text)),
      m_readerName(std::move(readerName)) {}

bool CPIN_PinPad_Dialog_Callback::Show() {
    return CallbackBlock(callback::cShow, true, m_caption, m_text).call();
}

bool CPIN_PinPad_Dialog_Callback::Progress(std::uint8_t key) {
    std::int32_t event = callback::cEventNone;
    if (key == kivo::pin::cKeyDigit) event = callback::cEventDigit;
    if (key == kivo::pin::cKeyBackspace || key == kivo::pin::cKeyClear) event = callback::cEventCleared;
    // Other keys are not the host's business.
    if (event == callback::cEventNone) return true;
    return CallbackBlock(callback::cKey, true, m_caption, m_text, event).call();
}

bool CPIN_PinPad_Dialog_Callback::Close() {
    return CallbackBlock(callback::cClose, true, m_caption, m_text).call();
}

bool CPIN_PinPad_Dialog_Callback::SetText(const std::string& text) {
    CPIN_Interface::SetText(text);
    return CallbackBlock(callback::cNewText, true, m_caption, m_text).call();
}

// --- errors and information -----------------------------------------------------------

CPIN_Error_Dialog_Callback::CPIN_Error_Dialog_Callback(void* instance, SCARDHANDLE card,
                                                       std::string caption, std::string text,
                                                       std::int32_t boxKind)
    : CPIN_Interface(instance, card, std::move(caption), std::move(text)), m_boxKind(boxKind) {}

bool CPIN_Error_Dialog_Callback::Show() {
    CallbackBlock block(callback::cShow, false, m_caption, m_text);
    if (kivo::cardSettings().m_settings.m_callbackBoxKind) block.params.reserved1 = m_boxKind;
    return block.call();
}

bool CPIN_Error_Dialog_Callback::Close() {
    return CallbackBlock(callback::cClose, false, m_caption, m_text).call();
}
