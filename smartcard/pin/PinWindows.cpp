#include "smartcard/pin/PinWindows.h"

namespace kivo::pin {

Secret firstCharacters(const std::string& text, std::size_t count) {
    std::size_t end = 0;
    std::size_t characters = 0;
    while (end < text.size()) {
        if (startsUtf8Character(text[end]) && characters++ == count) break;
        ++end;
    }
    return Secret(std::string_view(text).substr(0, end));
}

int pinPadBitmap(const std::string& readerName) {
    if (readerName.find("Cherry SmartBoard") != std::string::npos) return cBitmapCherrySmartBoard;
    if (readerName.find("KAAN Advanced") != std::string::npos) return cBitmapKaanAdvanced;
    return cBitmapPinPad;
}

std::optional<Secret> CInputBox::Run(const std::string& caption, const std::string& text) {
    std::optional<Secret> typed = m_surface->askPin(caption, text);
    if (!typed) return std::nullopt;
    return firstCharacters(typed->text(), cMaxPinCharacters);
}

CMyDialog::CMyDialog(std::unique_ptr<DialogSurface> surface, const std::string& readerName)
    : CPinWindow(std::move(surface)), m_bitmap(pinPadBitmap(readerName)) {}

void CMyDialog::Show(const std::string& caption, const std::string& text) {
    m_caption = caption;
    m_text = text;
    m_stars.clear();
    m_open = true;
    redraw();
}

void CMyDialog::Progress(std::uint8_t key) {
    if (key == cKeyBackspace || key == cKeyClear) {
        m_stars.clear();
    } else if (key == cKeyDigit) {
        m_stars.push_back('*');
    } else {
        return;
    }
    redraw();
}

void CMyDialog::SetText(const std::string& text) {
    m_text = text;
    redraw();
}

void CMyDialog::Close() {
    if (m_open) m_surface->closeProgress();
    m_open = false;
}

void CMyDialog::redraw() {
    if (m_open) m_surface->showProgress(m_caption, m_text, m_stars);
}

}  // namespace kivo::pin
