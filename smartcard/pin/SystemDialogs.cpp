#include "smartcard/pin/SystemDialogs.h"

#include "smartcard/pin/DialogChoice.h"
#include "smartcard/pin/PIN_Callback.h"
#include "smartcard/pin/PIN_Interface.h"
#include "smartcard/pin/PinMessages.h"
#include "smartcard/transport/CardTrace.h"

#include <vector>

namespace kivo::pin {

namespace {

constexpr int kAskPin = 110;
constexpr int kAskCurrentPin = 106;
constexpr int kAskNewPin = 107;
constexpr int kAskNewPinAgain = 108;
constexpr int kAskPuk = 109;
constexpr int kPinPadPin = 100;
constexpr int kPinPadNewPin = 103;
constexpr int kPinPadRepeat = 104;

// The text of a keyboard question: the caller's prompt for the first
// question of an operation, the table's text for the rest.
std::string keyboardText(SecretKind kind, const PromptTexts& texts) {
    const bool first = kind == SecretKind::Pin || kind == SecretKind::CurrentPin || kind == SecretKind::Puk;
    if (first && !texts.prompt.empty()) return texts.prompt;
    switch (kind) {
        case SecretKind::CurrentPin: return messageWithPinName(kAskCurrentPin, texts.pinName);
        case SecretKind::NewPin: return messageWithPinName(kAskNewPin, texts.pinName);
        case SecretKind::NewPinAgain: return messageWithPinName(kAskNewPinAgain, texts.pinName);
        case SecretKind::Puk: return messageWithPinName(kAskPuk, texts.pinName);
        default: return messageWithPinName(kAskPin, texts.pinName);
    }
}

const char* routeName(DialogRoute route) {
    switch (route) {
        case DialogRoute::Callback: return "callback";
        case DialogRoute::Pinentry: return "pinentry";
        case DialogRoute::Terminal: return "terminal";
        default: return "none";
    }
}

DialogRoute tracedRoute(DialogUse use, const char* what) {
    const DialogRoute route = currentDialogRoute(use);
    CardTrace::write(CardTrace::cLevelDetail, "---PIN dialogs: %s through %s\n", what, routeName(route));
    return route;
}

std::optional<Secret> askThroughDialog(SecretKind kind, const PromptTexts& texts) {
    const DialogRoute route = tracedRoute(DialogUse::Keyboard, "keyboard PIN");
    if (route == DialogRoute::Nothing) return std::nullopt;
    const std::string text = keyboardText(kind, texts);
    std::unique_ptr<CPIN_Interface> dialog;
    if (route == DialogRoute::Callback) {
        dialog = std::make_unique<CPIN_Window_Dialog_Callback>(nullptr, texts.card, texts.caption, text);
    } else {
        dialog = std::make_unique<CPIN_Window_Dialog>(nullptr, texts.card, texts.caption, text);
    }
    // OK on an empty entry asks the card nothing: it counts as cancelled.
    if (!dialog->Show() || dialog->EnteredPin().empty()) return std::nullopt;
    return Secret(dialog->EnteredPin().text());
}

// The pin-pad dialog behind the progress display of the card command base;
// each further prompt of a change (new PIN, repetition) replaces the text.
class PinPadDisplay : public PinPadProgress {
public:
    PinPadDisplay(std::unique_ptr<CPIN_Interface> dialog, const std::string& pinName)
        : m_dialog(std::move(dialog)),
          m_laterTexts{messageWithPinName(kPinPadNewPin, pinName), message(kPinPadRepeat)} {}
    void show() override { m_dialog->Show(); }
    void advance(std::uint8_t key) override { m_dialog->Progress(key); }
    void nextPrompt() override {
        if (m_next < m_laterTexts.size()) m_dialog->SetText(m_laterTexts[m_next++]);
    }
    void close() override { m_dialog->Close(); }

private:
    std::unique_ptr<CPIN_Interface> m_dialog;
    std::vector<std::string> m_laterTexts;
    std::size_t m_next = 0;
};

std::unique_ptr<PinPadProgress> openPinPadDialog(const PromptTexts& texts) {
    const DialogRoute route = tracedRoute(DialogUse::PinPad, "pin-pad progress");
    if (route == DialogRoute::Nothing) return nullptr;
    const std::string text =
        texts.prompt.empty() ? messageWithPinName(kPinPadPin, texts.pinName) : texts.prompt;
    std::unique_ptr<CPIN_Interface> dialog;
    if (route == DialogRoute::Callback) {
        dialog = std::make_unique<CPIN_PinPad_Dialog_Callback>(nullptr, texts.card, texts.caption, text,
                                                               texts.readerName);
    } else {
        dialog = std::make_unique<CPIN_PinPad_Dialog>(nullptr, texts.card, texts.caption, text, texts.readerName);
    }
    return std::make_unique<PinPadDisplay>(std::move(dialog), texts.pinName);
}

// What a message box of `kind` tells an opted-in host in reserved1.
std::int32_t callbackBoxKind(int kind) {
    switch (messageBoxStyle(kind).buttons) {
        case MessageBoxButtons::YesNoCancel: return 2;
        case MessageBoxButtons::RetryCancel: return 3;
        default: return 1;
    }
}

int showThroughCallback(const std::string& text, const std::string& caption, int kind, SCARDHANDLE card) {
    CPIN_Error_Dialog_Callback dialog(nullptr, card, caption, text, callbackBoxKind(kind));
    const bool yes = dialog.Show();
    dialog.Close();
    const bool question = messageBoxStyle(kind).buttons != MessageBoxButtons::Ok;
    return question && yes ? messageBoxResult(MessageBoxAnswer::Yes) : messageBoxResult(MessageBoxAnswer::Ok);
}

}  // namespace

Dialogs systemDialogs() { return Dialogs{askThroughDialog, openPinPadDialog}; }

int ShowMessageBox(const std::string& text, const std::string& caption, int kind, SCARDHANDLE card) {
    const DialogRoute route = tracedRoute(DialogUse::Message, "message box");
    if (route == DialogRoute::Callback) return showThroughCallback(text, caption, kind, card);
    std::unique_ptr<DialogSurface> surface = openSurface(DialogUse::Message);
    if (!surface) return messageBoxResult(MessageBoxAnswer::Cancel);
    const KeptAlive keptAlive(card);
    return messageBoxResult(surface->showMessage(caption, text, messageBoxStyle(kind)));
}

}  // namespace kivo::pin
