// PinPrompt: where the card command base asks the person at the machine for
// a PIN or PUK, and where it shows the progress of an entry on a pin-pad
// reader. The dialogs plug in behind these two functions. A process starts
// with the system dialogs (SystemDialogs.h: the host's PIN-dialog callback,
// pinentry, or the terminal); with none installed, every request ends as
// cancelled and no pin-pad progress is shown.
#pragma once

#include <PCSC/winscard.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace kivo::pin {

// What is asked for.
enum class SecretKind { Pin, CurrentPin, NewPin, NewPinAgain, Puk };

// Texts a dialog shows: caption, the name of the PIN, and the prompt; and
// the card it asks for: its session is kept alive while the dialog is
// open, and its reader names the pin-pad picture.
struct PromptTexts {
    std::string caption;
    std::string pinName;
    std::string prompt;
    SCARDHANDLE card = 0;
    std::string readerName;
};

// A secret that wipes its bytes when it goes away, and those a move leaves
// behind (a short string's bytes stay in the moved-from object's own
// buffer). Made from a view, so that no unwiped temporary holds a copy.
class Secret {
public:
    Secret() = default;
    explicit Secret(std::string_view value) : m_value(value) {}
    // A copy of a C string (none: empty) made in place, with no temporary.
    explicit Secret(const char* value) : m_value(value != nullptr ? value : "") {}
    ~Secret();
    Secret(Secret&& other) noexcept;
    Secret& operator=(Secret&& other) noexcept;
    Secret(const Secret&) = delete;
    Secret& operator=(const Secret&) = delete;

    const std::string& text() const { return m_value; }
    bool empty() const { return m_value.empty(); }
    void wipe();

private:
    std::string m_value;
};

// The progress display of a pin-pad entry: shown while the reader collects
// the digits, advanced per key the reader reports ('+' a digit, 0x08 or
// 0x0A input cleared), moved to the next prompt of a change.
class PinPadProgress {
public:
    virtual ~PinPadProgress() = default;
    virtual void show() = 0;
    virtual void advance(std::uint8_t key) = 0;
    virtual void nextPrompt() = 0;
    virtual void close() = 0;
};

// The installed dialogs. Either function may be empty.
struct Dialogs {
    // Returns the entered secret, or nothing when the person cancelled.
    std::function<std::optional<Secret>(SecretKind, const PromptTexts&)> askSecret;
    std::function<std::unique_ptr<PinPadProgress>(const PromptTexts&)> openPinPad;
};

// Replaces the installed dialogs; returns the previous ones.
Dialogs installDialogs(Dialogs dialogs);

// Asks through the installed dialog; nothing (cancelled) without one.
std::optional<Secret> askSecret(SecretKind kind, const PromptTexts& texts);
// Opens the pin-pad progress display; null without one.
std::unique_ptr<PinPadProgress> openPinPad(const PromptTexts& texts);

}  // namespace kivo::pin
