// PIN windows and message boxes through a pinentry program: one run of the
// program per window, spoken to over the Assuan protocol on a socket pair
// (SETTITLE, SETDESC, SETPROMPT, SETOK, SETNOTOK, SETCANCEL, then GETPIN,
// CONFIRM or MESSAGE). Parameters are percent-escaped; data lines are
// percent-decoded; "ERR 83886179" means the person cancelled.
#include "smartcard/pin/PinSurfaces.h"

#include <openssl/crypto.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace kivo::pin {

namespace {

constexpr long kErrorNotConfirmed = 83886194;  // GPG_ERR_NOT_CONFIRMED: the "No" button
constexpr std::size_t kMaxLine = 4096;

std::string percentEscaped(const std::string& text) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string escaped;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte == '%' || byte < 0x20) {
            escaped += '%';
            escaped += kHex[byte >> 4];
            escaped += kHex[byte & 0x0F];
        } else {
            escaped += c;
        }
    }
    return escaped;
}

bool isHexDigit(char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; }

// Appends the percent-decoded data of a "D " line.
void appendDecoded(const std::string& data, std::string& out) {
    for (std::size_t i = 0; i < data.size(); ++i) {
        if (data[i] == '%' && i + 2 < data.size() && isHexDigit(data[i + 1]) && isHexDigit(data[i + 2])) {
            const char digits[3] = {data[i + 1], data[i + 2], '\0'};
            out += static_cast<char>(std::strtol(digits, nullptr, 16));
            i += 2;
        } else {
            out += data[i];
        }
    }
}

void wipe(std::string& text) {
    if (!text.empty()) OPENSSL_cleanse(text.data(), text.size());
    text.clear();
}

// The answer to one command: OK, or the error code of ERR; the data lines
// (which may hold a PIN) are wiped with it.
struct Reply {
    bool ok = false;
    long error = 0;
    std::string data;
    Reply() { data.reserve(256); }
    ~Reply() { wipe(data); }
    Reply(const Reply&) = delete;
    Reply& operator=(const Reply&) = delete;
};

// One run of the pinentry program.
class AssuanSession {
public:
    explicit AssuanSession(const std::string& program) { start(program); }
    ~AssuanSession() { stop(); }
    AssuanSession(const AssuanSession&) = delete;
    AssuanSession& operator=(const AssuanSession&) = delete;

    // True when the program started and greeted.
    bool ready() const { return m_ready; }

    void command(const std::string& name, const std::string& parameter, Reply& reply) {
        reply.ok = false;
        reply.error = 0;
        wipe(reply.data);
        if (!m_ready || !send(name + " " + percentEscaped(parameter) + "\n")) return;
        readReply(reply);
    }

private:
    void start(const std::string& program) {
        int ends[2];
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) return;
        m_child = ::fork();
        if (m_child == 0) runProgram(program, ends[1]);
        ::close(ends[1]);
        m_socket = ends[0];
        if (m_child < 0) return;
        Reply greeting;
        readReply(greeting);
        m_ready = greeting.ok;
        if (m_ready) sendTerminalOptions();
    }

    [[noreturn]] static void runProgram(const std::string& program, int socket) {
        ::dup2(socket, STDIN_FILENO);
        ::dup2(socket, STDOUT_FILENO);
        ::execlp(program.c_str(), program.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }

    // Text-mode pinentries need the terminal to draw on.
    void sendTerminalOptions() {
        const int fd = ::open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (fd < 0) return;
        ::close(fd);
        Reply ignored;
        command("OPTION", "ttyname=/dev/tty", ignored);
        const char* type = std::getenv("TERM");
        if (type != nullptr) command("OPTION", std::string("ttytype=") + type, ignored);
    }

    void stop() {
        if (m_ready) send("BYE\n");
        if (m_socket >= 0) ::close(m_socket);
        if (m_child > 0) {
            int status = 0;
            while (::waitpid(m_child, &status, 0) < 0 && errno == EINTR) {
            }
        }
    }

    bool send(const std::string& line) {
        std::size_t done = 0;
        while (done < line.size()) {
            const ssize_t sent = ::send(m_socket, line.data() + done, line.size() - done, MSG_NOSIGNAL);
            if (sent < 0 && errno == EINTR) continue;
            if (sent <= 0) return false;
            done += static_cast<std::size_t>(sent);
        }
        return true;
    }

    // One line without its newline; false at the end of the stream or for
    // a line longer than the protocol allows.
    bool readLine(std::string& line) {
        wipe(line);
        char c = 0;
        while (true) {
            const ssize_t got = ::recv(m_socket, &c, 1, 0);
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0 || line.size() > kMaxLine) return false;
            if (c == '\n') return true;
            line += c;
        }
    }

    void readReply(Reply& reply) {
        std::string line;
        line.reserve(kMaxLine + 2);
        while (readLine(line)) {
            if (line == "OK" || line.rfind("OK ", 0) == 0) {
                reply.ok = true;
                break;
            }
            if (line.rfind("ERR ", 0) == 0) {
                reply.error = std::strtol(line.c_str() + 4, nullptr, 10);
                break;
            }
            if (line.rfind("D ", 0) == 0) appendDecoded(line.substr(2), reply.data);
            if (line.rfind("INQUIRE", 0) == 0) send("CAN\n");
        }
        wipe(line);
    }

    int m_socket = -1;
    pid_t m_child = -1;
    bool m_ready = false;
};

class PinentrySurface : public DialogSurface {
public:
    explicit PinentrySurface(std::string program) : m_program(std::move(program)) {}

    std::optional<Secret> askPin(const std::string& caption, const std::string& text) override {
        AssuanSession session(m_program);
        if (!session.ready()) return std::nullopt;
        Reply reply;
        describe(session, caption, text);
        session.command("SETPROMPT", "PIN:", reply);
        session.command("SETOK", message(cMsgOk), reply);
        session.command("SETCANCEL", message(cMsgCancel), reply);
        session.command("GETPIN", "", reply);
        if (!reply.ok) return std::nullopt;
        return takeSecret(reply.data);
    }

    MessageBoxAnswer showMessage(const std::string& caption, const std::string& text,
                                 MessageBoxStyle style) override {
        AssuanSession session(m_program);
        if (!session.ready()) return MessageBoxAnswer::Cancel;
        Reply reply;
        describe(session, caption, text);
        if (style.buttons == MessageBoxButtons::Ok) {
            session.command("SETOK", message(cMsgOk), reply);
            session.command("MESSAGE", "", reply);
            return MessageBoxAnswer::Ok;
        }
        const bool retry = style.buttons == MessageBoxButtons::RetryCancel;
        session.command("SETOK", retry ? "Retry" : "Yes", reply);
        if (!retry) session.command("SETNOTOK", "No", reply);
        session.command("SETCANCEL", message(cMsgCancel), reply);
        session.command("CONFIRM", "", reply);
        if (reply.ok) return retry ? MessageBoxAnswer::Retry : MessageBoxAnswer::Yes;
        // Cancel (83886179), and a pinentry that failed, count as Cancel.
        return reply.error == kErrorNotConfirmed ? MessageBoxAnswer::No : MessageBoxAnswer::Cancel;
    }

    // pinentry cannot stay open beside the reader; never chosen for it.
    void showProgress(const std::string&, const std::string&, const std::string&) override {}
    void closeProgress() override {}

private:
    static void describe(AssuanSession& session, const std::string& caption, const std::string& text) {
        Reply reply;
        session.command("SETTITLE", caption, reply);
        session.command("SETDESC", text, reply);
    }

    std::string m_program;
};

}  // namespace

std::unique_ptr<DialogSurface> openPinentrySurface(const std::string& program) {
    if (program.empty()) return nullptr;
    return std::make_unique<PinentrySurface>(program);
}

}  // namespace kivo::pin
