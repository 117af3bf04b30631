#include "smartcard/transport/CardTrace.h"

#include "platform/CardEvents.h"
#include "smartcard/key/ConfigSC.h"

#include <array>
#include <atomic>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <mutex>
#include <unistd.h>
#include <vector>

namespace kivo {
namespace {

std::mutex g_titleMutex;
// Made on first use: the card settings records trace from their
// constructors while the library loads, possibly before this file's
// globals are constructed.
std::string& titleText() {
    static std::string title;
    return title;
}
std::atomic<bool> g_suppressed{false};

const ConfigSC::Settings& settings() { return cardSettings().m_settings; }

// Appends text to the trace file: created with mode 0600 when missing, never
// through a symbolic link. Failures to write are ignored; tracing must not
// change the outcome of a card operation.
void appendToFile(const std::string& text) {
    const std::string path = settings().m_traceFile;
    if (path.empty()) return;
    const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW,
                          0600);
    if (fd < 0) return;
    const char* data = text.data();
    std::size_t left = text.size();
    while (left > 0) {
        const ssize_t n = ::write(fd, data, left);
        if (n <= 0) break;
        data += n;
        left -= static_cast<std::size_t>(n);
    }
    ::close(fd);
}

std::string vformat(const char* format, va_list args) {
    va_list copy;
    va_copy(copy, args);
    const int needed = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    if (needed <= 0) return {};
    std::string out(static_cast<std::size_t>(needed) + 1, '\0');
    std::vsnprintf(out.data(), out.size(), format, args);
    out.resize(static_cast<std::size_t>(needed));
    return out;
}

struct CodeText {
    std::uint32_t code;
    const char* text;
};

// Windows values of the PC/SC codes, so that a code reads the same on every
// platform (pcsc-lite gives SCARD_E_UNSUPPORTED_FEATURE the value of
// SCARD_E_UNEXPECTED).
constexpr std::array<CodeText, 24> kCodeTexts = {{
    {0, "no Errors"},
    {6, "CSC_Profile_Base::SC_CMD_COUNTERFAILED"},
    {14, "CSC_Profile_Base::SC_CMD_AUTH_FAILED"},
    {15, "CSC_Profile_Base::SC_CMD_PACE_INIT_FAILED"},
    {80, "ERROR_FILE_EXISTS"},
    {145, "ERROR_DIR_NOT_EMPTY"},
    {255, "CSC_Profile_Base::SC_CMD_FAILED"},
    {1306, "ERROR_REVISION_MISMATCH"},
    {0x80100003u, "SCARD_E_INVALID_HANDLE"},
    {0x80100004u, "SCARD_E_INVALID_PARAMETER"},
    {0x80100005u, "SCARD_E_INVALID_TARGET"},
    {0x80100006u, "SCARD_E_NO_MEMORY"},
    {0x80100007u, "SCARD_F_WAITED_TOO_LONG"},
    {0x80100008u, "SCARD_E_INSUFFICIENT_BUFFER"},
    {0x8010000Du, "SCARD_E_UNKNOWN_CARD"},
    {0x8010001Fu, "SCARD_E_UNEXPECTED"},
    {0x80100022u, "SCARD_E_UNSUPPORTED_FEATURE"},
    {0x80100023u, "SCARD_E_DIR_NOT_FOUND"},
    {0x80100024u, "SCARD_E_FILE_NOT_FOUND"},
    {0x80100028u, "SCARD_E_WRITE_TOO_MANY"},
    {0x80100030u, "SCARD_E_NO_KEY_CONTAINER"},
    {0x8010006Au, "SCARD_W_SECURITY_VIOLATION"},
    {0x8010006Bu, "SCARD_W_WRONG_CHV"},
    {0x8010006Cu, "SCARD_W_CHV_BLOCKED"},
}};

}  // namespace

bool CardTrace::enabled(int level) {
    const auto& s = settings();
    return s.m_traceEnabled && level <= s.m_traceLevel && !g_suppressed.load();
}

std::string CardTrace::linePrefix() {
    using namespace std::chrono;
    const auto now = system_clock::now();
    const std::time_t seconds = system_clock::to_time_t(now);
    const auto millis =
        duration_cast<milliseconds>(now.time_since_epoch()).count() % 1000;
    std::tm local{};
    localtime_r(&seconds, &local);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%s,%03d", stamp, static_cast<int>(millis));
    return std::string(buffer) + " - " + title() + " (0) : ";
}

void CardTrace::write(int level, const char* format, ...) {
    if (!enabled(level) || format == nullptr) return;
    va_list args;
    va_start(args, format);
    std::string message = vformat(format, args);
    va_end(args);
    appendToFile(linePrefix() + message);
}

std::string CardTrace::formatDump(std::string_view prefix, std::string_view caption,
                                  const std::uint8_t* bytes, std::size_t length,
                                  std::size_t maskFrom, std::size_t maskLength) {
    // The header line ends in " :" without a caption, in " : caption:" with one;
    // the prefix itself ends in " : ".
    std::string out(prefix);
    if (caption.empty()) {
        if (!out.empty() && out.back() == ' ') out.pop_back();
        out += "\n";
    } else {
        out += caption;
        out += ":\n";
    }
    if (bytes == nullptr) length = 0;
    const std::size_t maskEnd =
        maskLength > length || maskFrom > length - maskLength ? length : maskFrom + maskLength;
    char hex[4];
    for (std::size_t i = 0; i < length; ++i) {
        if (i % 16 == 0) {
            if (i != 0) out += "\n";
            out += prefix;
        } else {
            out += ":";
        }
        if (i >= maskFrom && i < maskEnd) {
            out += "**";
        } else {
            std::snprintf(hex, sizeof hex, "%02x", bytes[i]);
            out += hex;
        }
    }
    out += "\n";
    return out;
}

void CardTrace::dump(int level, std::string_view caption, const std::uint8_t* bytes,
                     std::size_t length, std::size_t maskFrom, std::size_t maskLength) {
    if (!enabled(level)) return;
    appendToFile(formatDump(linePrefix(), caption, bytes, length, maskFrom, maskLength));
}

const char* CardTrace::resultText(std::uint32_t code) {
    for (const CodeText& entry : kCodeTexts) {
        if (entry.code == code) return entry.text;
    }
    return "unknown";
}

void CardTrace::logResult(std::string_view name, std::uint32_t code) {
    const std::string text(name);
    write(cLevelInfo, "-->leaving %s (0x%08X)(%s)\n", text.c_str(), code, resultText(code));
    if (code != 0 && (name == "CardSignData" || name == "CardRSADecrypt")) {
        cardEvents().post(CardEvent{CardEvents::cCardOperationFailed, 0});
    }
}

void CardTrace::setTitle(std::string_view title) {
    if (title.substr(0, cTitlePrefix.size()) == cTitlePrefix) title.remove_prefix(cTitlePrefix.size());
    std::lock_guard<std::mutex> lock(g_titleMutex);
    titleText().assign(title);
}

std::string CardTrace::title() {
    std::lock_guard<std::mutex> lock(g_titleMutex);
    return titleText();
}

void CardTrace::setSuppressed(bool suppressed) { g_suppressed.store(suppressed); }
bool CardTrace::suppressed() { return g_suppressed.load(); }

bool secretDataRange(const std::uint8_t* apdu, std::size_t length, std::size_t& from,
                     std::size_t& count) {
    from = 0;
    count = 0;
    if (apdu == nullptr || length <= 5) return false;
    const std::uint8_t ins = apdu[1];
    if (ins != 0x20 && ins != 0x24 && ins != 0x2C) return false;
    if (apdu[4] == 0x00 && length > 7) {
        // Extended length: 00 Lc-high Lc-low.
        from = 7;
        count = (static_cast<std::size_t>(apdu[5]) << 8) | apdu[6];
    } else {
        from = 5;
        count = apdu[4];
    }
    // Everything after the header and length bytes is masked, whatever the
    // length bytes claim: a trailing Le byte is harmless to hide, a PIN byte
    // outside a wrong Lc is not harmless to show.
    count = length - from;
    return true;
}

bool secretAnswer(const std::uint8_t* apdu, std::size_t length) {
    return apdu != nullptr && length >= 4 && apdu[1] == 0x2A && apdu[2] == 0x80;
}

}  // namespace kivo
