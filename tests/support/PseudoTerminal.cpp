#include "tests/support/PseudoTerminal.h"

#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

namespace kivo::test {
namespace {

using Clock = std::chrono::steady_clock;

// Reads the terminal until `text` appears at or after `from` (true, `from`
// then past it) or the child is gone; an empty text reads to the end.
bool readUntil(int master, std::string& screen, const std::string& text, std::size_t& from,
               Clock::time_point deadline) {
    char buffer[512];
    for (;;) {
        const std::size_t found = text.empty() ? std::string::npos : screen.find(text, from);
        if (found != std::string::npos) {
            from = found + text.size();
            return true;
        }
        if (Clock::now() > deadline) return false;
        pollfd fd{master, POLLIN, 0};
        if (::poll(&fd, 1, 200) <= 0) continue;
        const ssize_t got = ::read(master, buffer, sizeof buffer);
        if (got <= 0) return false;
        screen.append(buffer, static_cast<std::size_t>(got));
    }
}

void writeAll(int fd, const std::string& text) {
    for (std::size_t written = 0; written < text.size();) {
        const ssize_t now = ::write(fd, text.data() + written, text.size() - written);
        if (now <= 0) return;
        written += static_cast<std::size_t>(now);
    }
}

// What the test does on the terminal's master side while the child runs:
// whether all it waited for came.
using Drive = std::function<bool(int master, std::string& screen, Clock::time_point deadline)>;

TerminalRun runDriven(const std::function<std::string()>& body, const Drive& drive) {
    int results[2];
    int master = -1;
    const pid_t child = ::pipe(results) == 0 ? ::forkpty(&master, nullptr, nullptr, nullptr) : -1;
    if (child == 0) {
        writeAll(results[1], body());
        ::_exit(0);
    }
    TerminalRun run;
    if (child < 0) return run;
    ::close(results[1]);
    const auto deadline = Clock::now() + std::chrono::seconds(20);
    run.stepsDone = drive(master, run.screen, deadline);
    std::size_t end = 0;
    readUntil(master, run.screen, "", end, deadline);
    if (Clock::now() > deadline) ::kill(child, SIGKILL);
    char buffer[256];
    for (ssize_t got; (got = ::read(results[0], buffer, sizeof buffer)) > 0;) run.result.append(buffer, std::size_t(got));
    ::close(results[0]);
    ::close(master);
    int status = 0;
    if (::waitpid(child, &status, 0) == child && WIFEXITED(status)) run.exitStatus = WEXITSTATUS(status);
    return run;
}

}  // namespace

TerminalRun runOnTerminal(const std::function<std::string()>& body, const std::vector<TerminalStep>& steps) {
    return runDriven(body, [&steps](int master, std::string& screen, Clock::time_point deadline) {
        std::size_t from = 0;
        for (const TerminalStep& step : steps) {
            if (!readUntil(master, screen, step.awaited, from, deadline)) return false;
            writeAll(master, step.keys);
        }
        return true;
    });
}

TerminalRun runWithPersonOutside(const std::function<std::string()>& body, const PersonOutside& person) {
    return runDriven(body, [&person](int, std::string&, Clock::time_point deadline) { return person(deadline); });
}

TerminalRun runProgramOnTerminal(const std::vector<std::string>& argv, const std::vector<std::string>& environment,
                                 const std::vector<TerminalStep>& steps) {
    return runOnTerminal(
        [&]() -> std::string {
            for (const std::string& entry : environment) {
                entry.find('=') == std::string::npos ? ::unsetenv(entry.c_str()) : ::putenv(::strdup(entry.c_str()));
            }
            std::vector<char*> arguments;
            for (const std::string& argument : argv) arguments.push_back(const_cast<char*>(argument.c_str()));
            arguments.push_back(nullptr);
            ::execv(arguments[0], arguments.data());
            ::_exit(127);
        },
        steps);
}

}  // namespace kivo::test
