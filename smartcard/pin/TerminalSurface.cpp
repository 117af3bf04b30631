// PIN windows on the controlling terminal: the PIN is read with echo off,
// key by key, so that Escape can cancel and at most 15 characters are
// taken; message boxes wait for a key; the pin-pad progress is a star line
// drawn again in place.
#include "smartcard/pin/PinSurfaces.h"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>

namespace kivo::pin {

namespace {

constexpr int kEndOfInput = -1;
constexpr int kEscape = 0x1B;
constexpr int kControlD = 0x04;
constexpr int kControlU = 0x15;
constexpr int kBackspace = 0x08;
constexpr int kDelete = 0x7F;

std::size_t characterCount(const std::string& text) {
    std::size_t count = 0;
    for (const char byte : text) count += startsUtf8Character(byte) ? 1 : 0;
    return count;
}

void dropLastCharacter(std::string& text) {
    while (!text.empty()) {
        const char last = text.back();
        text.back() = '\0';
        text.pop_back();
        if (startsUtf8Character(last)) return;
    }
}

// Echo and line editing off while it lives; the previous mode comes back.
class RawInput {
public:
    explicit RawInput(int fd) : m_fd(fd), m_saved{}, m_active(::tcgetattr(fd, &m_saved) == 0) {
        if (!m_active) return;
        termios raw = m_saved;
        raw.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON);
        raw.c_cc[VMIN] = 1;
        raw.c_cc[VTIME] = 0;
        m_active = ::tcsetattr(fd, TCSAFLUSH, &raw) == 0;
    }
    ~RawInput() {
        if (m_active) ::tcsetattr(m_fd, TCSANOW, &m_saved);
    }
    RawInput(const RawInput&) = delete;
    RawInput& operator=(const RawInput&) = delete;
    bool active() const { return m_active; }

private:
    int m_fd;
    termios m_saved;
    bool m_active;
};

class TerminalSurface : public DialogSurface {
public:
    explicit TerminalSurface(int fd) : m_fd(fd) {}
    ~TerminalSurface() override { ::close(m_fd); }
    TerminalSurface(const TerminalSurface&) = delete;
    TerminalSurface& operator=(const TerminalSurface&) = delete;

    std::optional<Secret> askPin(const std::string& caption, const std::string& text) override {
        const RawInput raw(m_fd);
        if (!raw.active()) return std::nullopt;
        writeHeading(caption);
        write(text + " ");
        std::string typed;
        typed.reserve(64);
        const bool confirmed = readPin(typed);
        write("\n");
        Secret pin = takeSecret(typed);
        if (!confirmed) return std::nullopt;
        return pin;
    }

    MessageBoxAnswer showMessage(const std::string& caption, const std::string& text,
                                 MessageBoxStyle style) override {
        const RawInput raw(m_fd);
        writeHeading(caption);
        write(text + "\n");
        const MessageBoxAnswer answer = raw.active() ? readAnswer(style.buttons) : MessageBoxAnswer::Cancel;
        write("\n");
        return answer;
    }

    void showProgress(const std::string& caption, const std::string& text,
                      const std::string& stars) override {
        if (!m_progressShown) writeHeading(caption);
        if (!m_progressShown || text != m_progressText) write(std::string(m_progressShown ? "\n" : "") + text + "\n");
        m_progressShown = true;
        m_progressText = text;
        write("\r\x1b[K" + stars);
    }

    void closeProgress() override {
        if (m_progressShown) write("\n");
        m_progressShown = false;
    }

private:
    int readKey() {
        unsigned char byte = 0;
        while (true) {
            const ssize_t got = ::read(m_fd, &byte, 1);
            if (got == 1) return byte;
            if (got < 0 && errno == EINTR) continue;
            return kEndOfInput;
        }
    }

    // Collects the PIN until Enter (true), or Escape or the end of input
    // (false). Characters past the fifteenth are not taken.
    bool readPin(std::string& typed) {
        while (true) {
            const int key = readKey();
            if (key == '\r' || key == '\n') return true;
            if (key == kEndOfInput || key == kEscape || key == kControlD) return false;
            if (key == kBackspace || key == kDelete) {
                dropLastCharacter(typed);
            } else if (key == kControlU) {
                while (!typed.empty()) dropLastCharacter(typed);
            } else if (key >= 0x20 && !(startsUtf8Character(static_cast<char>(key)) &&
                                        characterCount(typed) >= cMaxPinCharacters)) {
                typed.push_back(static_cast<char>(key));
            }
        }
    }

    MessageBoxAnswer readAnswer(MessageBoxButtons buttons) {
        if (buttons == MessageBoxButtons::YesNoCancel) write("[y]es / [n]o / [c]ancel ");
        if (buttons == MessageBoxButtons::RetryCancel) write("[r]etry / [c]ancel ");
        if (buttons == MessageBoxButtons::Ok) write("[Enter] ");
        while (true) {
            const int key = readKey();
            if (key == kEndOfInput || key == kEscape || key == 'c' || key == 'C') {
                return buttons == MessageBoxButtons::Ok ? MessageBoxAnswer::Ok : MessageBoxAnswer::Cancel;
            }
            if (buttons == MessageBoxButtons::Ok && (key == '\r' || key == '\n')) return MessageBoxAnswer::Ok;
            if (buttons == MessageBoxButtons::YesNoCancel && (key == 'y' || key == 'Y')) return MessageBoxAnswer::Yes;
            if (buttons == MessageBoxButtons::YesNoCancel && (key == 'n' || key == 'N')) return MessageBoxAnswer::No;
            if (buttons == MessageBoxButtons::RetryCancel && (key == 'r' || key == 'R')) return MessageBoxAnswer::Retry;
        }
    }

    void writeHeading(const std::string& caption) {
        if (!caption.empty()) write("\n" + caption + "\n");
    }

    void write(const std::string& text) {
        std::size_t done = 0;
        while (done < text.size()) {
            const ssize_t written = ::write(m_fd, text.data() + done, text.size() - done);
            if (written < 0 && errno == EINTR) continue;
            if (written <= 0) return;
            done += static_cast<std::size_t>(written);
        }
    }

    int m_fd;
    bool m_progressShown = false;
    std::string m_progressText;
};

}  // namespace

std::unique_ptr<DialogSurface> openTerminalSurface() {
    const int fd = ::open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return nullptr;
    return std::make_unique<TerminalSurface>(fd);
}

}  // namespace kivo::pin
