#include "smartcard/pin/PIN_Interface.h"

#include "smartcard/key/StatusThread.h"

#include <atomic>
#include <mutex>

using kivo::pin::CInputBox;
using kivo::pin::CMyDialog;
using kivo::pin::DialogUse;
using kivo::pin::KeptAlive;

namespace kivo::pin {

namespace {

std::mutex g_keeperMutex;

// The status thread keeps the session unless a keeper of the host's or a
// test's is installed (made on first use, so that no other object's
// start-up order matters).
SessionKeeper& installedKeeper() {
    static SessionKeeper keeper{[](SCARDHANDLE card) { return card != 0 && CStatusThread::startThread(card); },
                                [] { CStatusThread::stopThread(); }};
    return keeper;
}

}  // namespace

SessionKeeper installSessionKeeper(SessionKeeper keeper) {
    std::lock_guard<std::mutex> lock(g_keeperMutex);
    std::swap(installedKeeper(), keeper);
    return keeper;
}

KeptAlive::KeptAlive(SCARDHANDLE card) {
    SessionKeeper keeper;
    {
        std::lock_guard<std::mutex> lock(g_keeperMutex);
        keeper = installedKeeper();
    }
    if (keeper.start && keeper.start(card)) m_stop = std::move(keeper.stop);
}

KeptAlive::~KeptAlive() {
    if (m_stop) m_stop();
}

}  // namespace kivo::pin

namespace {

// The keyboard window's state is process-wide: one at a time.
std::atomic<bool> g_keyboardWindowActive{false};

class KeyboardWindowSlot {
public:
    KeyboardWindowSlot() : m_taken(!g_keyboardWindowActive.exchange(true)) {}
    ~KeyboardWindowSlot() {
        if (m_taken) g_keyboardWindowActive = false;
    }
    KeyboardWindowSlot(const KeyboardWindowSlot&) = delete;
    KeyboardWindowSlot& operator=(const KeyboardWindowSlot&) = delete;
    bool taken() const { return m_taken; }

private:
    bool m_taken;
};

}  // namespace

// --- CPIN_Interface -------------------------------------------------------------

CPIN_Interface::CPIN_Interface(void* instance, SCARDHANDLE card, std::string caption,
                               std::string text, int option)
    : m_instance(instance),
      m_caption(std::move(caption)),
      m_text(std::move(text)),
      m_option(option),
      m_card(card) {}

CPIN_Interface::~CPIN_Interface() = default;

bool CPIN_Interface::Progress(std::uint8_t) { return true; }
bool CPIN_Interface::Close() { return true; }

bool CPIN_Interface::SetText(const std::string& text) {
    m_text = text;
    return true;
}

// --- CPIN_Window_Dialog -----------------------------------------------------------

CPIN_Window_Dialog::CPIN_Window_Dialog(void* instance, SCARDHANDLE card, std::string caption,
                                       std::string text)
    : CPIN_Interface(instance, card, std::move(caption), std::move(text)) {}

bool CPIN_Window_Dialog::Show() {
    m_pin.wipe();
    const KeyboardWindowSlot slot;
    if (!slot.taken()) return false;
    std::unique_ptr<kivo::pin::DialogSurface> surface = kivo::pin::openSurface(DialogUse::Keyboard);
    if (!surface) return false;
    auto box = std::make_unique<CInputBox>(std::move(surface));
    CInputBox& input = *box;
    m_window = std::move(box);
    std::optional<kivo::pin::Secret> typed;
    {
        const KeptAlive keptAlive(m_card);
        typed = input.Run(m_caption, m_text);
    }
    m_window.reset();
    if (!typed) return false;
    m_pin = std::move(*typed);
    return true;
}

// --- CPIN_PinPad_Dialog -----------------------------------------------------------

CPIN_PinPad_Dialog::CPIN_PinPad_Dialog(void* instance, SCARDHANDLE card, std::string caption,
                                       std::string text, std::string readerName)
    : CPIN_Interface(instance, card, std::move(caption), std::move(text)),
      m_readerName(std::move(readerName)) {}

CPIN_PinPad_Dialog::~CPIN_PinPad_Dialog() { CPIN_PinPad_Dialog::Close(); }

CMyDialog* CPIN_PinPad_Dialog::window() const { return static_cast<CMyDialog*>(m_window.get()); }

bool CPIN_PinPad_Dialog::Show() {
    std::unique_ptr<kivo::pin::DialogSurface> surface = kivo::pin::openSurface(DialogUse::PinPad);
    if (!surface) return false;
    m_window = std::make_unique<CMyDialog>(std::move(surface), m_readerName);
    m_keptAlive = std::make_unique<KeptAlive>(m_card);
    window()->Show(m_caption, m_text);
    return true;
}

bool CPIN_PinPad_Dialog::Progress(std::uint8_t key) {
    if (m_window) window()->Progress(key);
    return true;
}

bool CPIN_PinPad_Dialog::SetText(const std::string& text) {
    CPIN_Interface::SetText(text);
    if (m_window) window()->SetText(text);
    return true;
}

bool CPIN_PinPad_Dialog::Close() {
    if (m_window) window()->Close();
    m_window.reset();
    m_keptAlive.reset();
    return true;
}
