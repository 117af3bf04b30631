#include "smartcard/pin/PinPrompt.h"

#include "smartcard/pin/SystemDialogs.h"

#include <openssl/crypto.h>

#include <mutex>

namespace kivo::pin {

namespace {

std::mutex g_dialogsMutex;

Dialogs& installed() {
    static Dialogs dialogs = systemDialogs();
    return dialogs;
}

}  // namespace

Secret::~Secret() { wipe(); }

Secret::Secret(Secret&& other) noexcept : m_value(std::move(other.m_value)) { other.wipe(); }

Secret& Secret::operator=(Secret&& other) noexcept {
    if (this != &other) {
        wipe();
        m_value = std::move(other.m_value);
        other.wipe();
    }
    return *this;
}

// The whole capacity: a moved-from short string keeps all but its first
// byte in its own buffer while reporting a length of 0.
void Secret::wipe() {
    OPENSSL_cleanse(m_value.data(), m_value.capacity());
    m_value.clear();
}

Dialogs installDialogs(Dialogs dialogs) {
    std::lock_guard<std::mutex> lock(g_dialogsMutex);
    std::swap(installed(), dialogs);
    return dialogs;
}

std::optional<Secret> askSecret(SecretKind kind, const PromptTexts& texts) {
    decltype(Dialogs::askSecret) ask;
    {
        std::lock_guard<std::mutex> lock(g_dialogsMutex);
        ask = installed().askSecret;
    }
    if (!ask) return std::nullopt;
    return ask(kind, texts);
}

std::unique_ptr<PinPadProgress> openPinPad(const PromptTexts& texts) {
    decltype(Dialogs::openPinPad) open;
    {
        std::lock_guard<std::mutex> lock(g_dialogsMutex);
        open = installed().openPinPad;
    }
    if (!open) return nullptr;
    return open(texts);
}

}  // namespace kivo::pin
