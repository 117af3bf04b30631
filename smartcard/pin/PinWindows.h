// The windows behind the PIN dialog objects: the keyboard PIN window
// (`CInputBox`) and the pin-pad information window (`CMyDialog`), and the
// surface they appear on (the pinentry program or the controlling
// terminal, chosen in PinSurfaces).
#pragma once

#include "smartcard/pin/PinMessages.h"
#include "smartcard/pin/PinPrompt.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace kivo::pin {

// At most this many characters of a typed PIN are taken.
inline constexpr std::size_t cMaxPinCharacters = 15;

// Keys a pin-pad reader reports while the PIN is typed on it.
inline constexpr std::uint8_t cKeyDigit = '+';
inline constexpr std::uint8_t cKeyBackspace = 0x08;
inline constexpr std::uint8_t cKeyClear = 0x0A;

// Pictures of the pin-pad window, by reader.
inline constexpr int cBitmapPinPad = 301;
inline constexpr int cBitmapKaanAdvanced = 303;
inline constexpr int cBitmapCherrySmartBoard = 304;

// What a window is for; not every surface can show every window.
enum class DialogUse { Keyboard, Message, PinPad };

// Where the windows appear.
class DialogSurface {
public:
    virtual ~DialogSurface() = default;
    // Asks for a PIN; nothing when cancelled or when nothing could be shown.
    virtual std::optional<Secret> askPin(const std::string& caption, const std::string& text) = 0;
    virtual MessageBoxAnswer showMessage(const std::string& caption, const std::string& text,
                                         MessageBoxStyle style) = 0;
    // Shows, or shows again, the pin-pad text and star line.
    virtual void showProgress(const std::string& caption, const std::string& text,
                              const std::string& stars) = 0;
    virtual void closeProgress() = 0;
};

// The surface for a use in this process now; null when there is none (the
// window cannot be created).
std::unique_ptr<DialogSurface> openSurface(DialogUse use);

// False for the continuation bytes of a UTF-8 sequence.
inline bool startsUtf8Character(char byte) { return (static_cast<unsigned char>(byte) & 0xC0) != 0x80; }
// The first `count` characters (UTF-8) of a secret.
Secret firstCharacters(const std::string& text, std::size_t count);

// The picture of the pin-pad window for a reader: 304 for a "Cherry
// SmartBoard", else 303 for a "KAAN Advanced", else 301.
int pinPadBitmap(const std::string& readerName);

// Base of the two windows: owns the surface it appears on.
class CPinWindow {
public:
    explicit CPinWindow(std::unique_ptr<DialogSurface> surface) : m_surface(std::move(surface)) {}
    virtual ~CPinWindow() = default;
    CPinWindow(const CPinWindow&) = delete;
    CPinWindow& operator=(const CPinWindow&) = delete;

protected:
    std::unique_ptr<DialogSurface> m_surface;
};

// The keyboard PIN window: message as label, OK and Cancel.
class CInputBox : public CPinWindow {
public:
    using CPinWindow::CPinWindow;
    // Runs until OK or Cancel: the first 15 characters typed, or nothing.
    std::optional<Secret> Run(const std::string& caption, const std::string& text);
};

// The pin-pad information window: message, star line, reader picture.
class CMyDialog : public CPinWindow {
public:
    CMyDialog(std::unique_ptr<DialogSurface> surface, const std::string& readerName);
    void Show(const std::string& caption, const std::string& text);
    // 0x08 or 0x0A clears the star line, '+' adds a star, other keys
    // change nothing.
    void Progress(std::uint8_t key);
    void SetText(const std::string& text);
    void Close();

    const std::string& stars() const { return m_stars; }
    int bitmap() const { return m_bitmap; }

private:
    void redraw();

    std::string m_caption;
    std::string m_text;
    std::string m_stars;
    int m_bitmap;
    bool m_open = false;
};

}  // namespace kivo::pin
