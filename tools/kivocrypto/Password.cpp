#include "tools/kivocrypto/Password.h"

#include <openssl/crypto.h>

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>

namespace kivocrypto {
namespace {

constexpr std::size_t kMaxPassword = 4096;

// The terminal state to restore when a signal ends the program while echo
// is off; only touched while a prompt is open.
int g_terminal = -1;
termios g_savedTerminal{};
constexpr int kRestoreSignals[] = {SIGINT, SIGTERM, SIGQUIT, SIGHUP};

extern "C" void restoreTerminalAndDie(int signalNumber) {
    if (g_terminal >= 0) ::tcsetattr(g_terminal, TCSAFLUSH, &g_savedTerminal);
    std::signal(signalNumber, SIG_DFL);
    std::raise(signalNumber);
}

void stripLineEnd(std::string& line) {
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
}

bool readFromFile(const std::string& path, Secret& password, std::string& error) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        error = "cannot read the password file " + path;
        return false;
    }
    std::getline(file, password.text());
    stripLineEnd(password.text());
    return true;
}

bool readFromEnvironment(const std::string& name, Secret& password, std::string& error) {
    const char* value = std::getenv(name.c_str());
    if (value == nullptr) {
        error = "the environment variable " + name + " is not set";
        return false;
    }
    password.text() = value;
    return true;
}

void writeAll(int fd, const std::string& text) {
    std::size_t written = 0;
    while (written < text.size()) {
        const ssize_t n = ::write(fd, text.data() + written, text.size() - written);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        written += static_cast<std::size_t>(n);
    }
}

// Reads one line from the terminal, up to kMaxPassword characters.
bool readLine(int fd, std::string& line) {
    char c = 0;
    for (;;) {
        const ssize_t n = ::read(fd, &c, 1);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return !line.empty();
        if (c == '\n' || c == '\r') return true;
        if (line.size() < kMaxPassword) line.push_back(c);
    }
}

// Echo off for the duration of one line; signals that end the program
// restore the terminal first.
bool readWithoutEcho(int fd, std::string& line) {
    if (::tcgetattr(fd, &g_savedTerminal) != 0) return false;
    struct sigaction previous[std::size(kRestoreSignals)];
    struct sigaction restore {};
    restore.sa_handler = restoreTerminalAndDie;
    sigemptyset(&restore.sa_mask);
    g_terminal = fd;
    for (std::size_t i = 0; i < std::size(kRestoreSignals); ++i) {
        ::sigaction(kRestoreSignals[i], &restore, &previous[i]);
    }
    termios quiet = g_savedTerminal;
    quiet.c_lflag &= static_cast<tcflag_t>(~ECHO);
    quiet.c_lflag |= ECHONL;
    const bool read = ::tcsetattr(fd, TCSAFLUSH, &quiet) == 0 && readLine(fd, line);
    ::tcsetattr(fd, TCSAFLUSH, &g_savedTerminal);
    g_terminal = -1;
    for (std::size_t i = 0; i < std::size(kRestoreSignals); ++i) {
        ::sigaction(kRestoreSignals[i], &previous[i], nullptr);
    }
    return read;
}

bool readFromTerminal(const std::string& prompt, Secret& password, std::string& error) {
    const int fd = ::open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        error = "no password given and no terminal to ask for one (use --password-file or "
                "--password-env)";
        return false;
    }
    writeAll(fd, prompt);
    const bool read = readWithoutEcho(fd, password.text());
    ::close(fd);
    if (!read) error = "no password was entered on the terminal";
    return read;
}

}  // namespace

Secret::~Secret() {
    if (!m_text.empty()) OPENSSL_cleanse(m_text.data(), m_text.size());
}

bool obtainPassword(const PasswordSource& source, Secret& password, std::string& error) {
    if (!source.file.empty()) return readFromFile(source.file, password, error);
    if (!source.environment.empty()) return readFromEnvironment(source.environment, password, error);
    return readFromTerminal(source.prompt, password, error);
}

}  // namespace kivocrypto
