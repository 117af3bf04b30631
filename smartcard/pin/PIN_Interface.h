// The PIN dialog objects: a keyboard PIN window, a pin-pad information
// window with progress stars, and their variants that hand every step to
// the host's PIN-dialog callback instead of showing a window. One object
// lives for one PIN operation.
#pragma once

#include "smartcard/pin/PinPrompt.h"
#include "smartcard/pin/PinWindows.h"

#include <PCSC/winscard.h>
#include <PCSC/wintypes.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace kivo::pin {

// Keeps the card session alive while a PIN window or message box is on
// screen: the status thread (CStatusThread) unless another is installed.
// `start` tells whether it started keeping (false while it already keeps
// a session, or without a card).
struct SessionKeeper {
    std::function<bool(SCARDHANDLE)> start;
    std::function<void()> stop;
};
// Replaces the installed keeper; returns the previous one.
SessionKeeper installSessionKeeper(SessionKeeper keeper);

// Keeps `card` alive for its lifetime; stops only what it started itself,
// so that a window inside another (a message box over a PIN change) leaves
// the outer one's keeping alone.
class KeptAlive {
public:
    explicit KeptAlive(SCARDHANDLE card);
    ~KeptAlive();
    KeptAlive(const KeptAlive&) = delete;
    KeptAlive& operator=(const KeptAlive&) = delete;

private:
    std::function<void()> m_stop;
};

}  // namespace kivo::pin

class CPIN_Interface {
public:
    CPIN_Interface(void* instance, SCARDHANDLE card, std::string caption, std::string text,
                   int option = 0);
    virtual ~CPIN_Interface();
    CPIN_Interface(const CPIN_Interface&) = delete;
    CPIN_Interface& operator=(const CPIN_Interface&) = delete;

    // Keyboard: modal, true when OK was chosen and the PIN stored.
    // Pin-pad: shows the window and returns.
    virtual bool Show() = 0;
    // Pin-pad: one key event as the reader reports it.
    virtual bool Progress(std::uint8_t key);
    virtual bool Close();
    // Replaces the message (the next step of a PIN change).
    virtual bool SetText(const std::string& text);

    // The PIN the keyboard dialog took; wiped with the object.
    const kivo::pin::Secret& EnteredPin() const { return m_pin; }
    void WipePin() { m_pin.wipe(); }
    const std::string& Caption() const { return m_caption; }
    const std::string& Text() const { return m_text; }

protected:
    kivo::pin::Secret m_pin;
    void* m_instance;
    std::string m_caption;
    std::string m_text;
    std::string m_spare;
    int m_option;
    std::unique_ptr<kivo::pin::CPinWindow> m_window;
    SCARDHANDLE m_card;
};

class CPIN_Window_Dialog : public CPIN_Interface {
public:
    CPIN_Window_Dialog(void* instance, SCARDHANDLE card, std::string caption, std::string text);
    bool Show() override;
};

class CPIN_PinPad_Dialog : public CPIN_Interface {
public:
    CPIN_PinPad_Dialog(void* instance, SCARDHANDLE card, std::string caption, std::string text,
                       std::string readerName);
    ~CPIN_PinPad_Dialog() override;
    bool Show() override;
    bool Progress(std::uint8_t key) override;
    bool Close() override;
    bool SetText(const std::string& text) override;

private:
    kivo::pin::CMyDialog* window() const;

    std::string m_readerName;
    std::unique_ptr<kivo::pin::KeptAlive> m_keptAlive;
};
