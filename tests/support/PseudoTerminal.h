// A child process on a pseudo-terminal of its own, as a person at a
// terminal meets it: the test waits for texts on the screen and types keys.
#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace kivo::test {

// Waits until `awaited` appears on the screen (after what earlier steps
// waited for), then types `keys`.
struct TerminalStep {
    std::string awaited;
    std::string keys;
};

struct TerminalRun {
    std::string screen;     // everything the child wrote on the terminal
    std::string result;     // what the child's body reported
    int exitStatus = -1;    // the child's exit code; -1 when it did not exit
    bool stepsDone = false; // every awaited text appeared
};

// Runs `body` in a child on a new pseudo-terminal; its return value becomes
// the run's result. The child is killed when not ended within 20 s.
TerminalRun runOnTerminal(const std::function<std::string()>& body, const std::vector<TerminalStep>& steps);
inline TerminalRun runOnTerminal(const std::function<std::string()>& body, const std::string& prompt,
                                 const std::string& keys) {
    return runOnTerminal(body, std::vector<TerminalStep>{{prompt, keys}});
}

// What a person does outside the terminal (in a window, say) by the
// deadline; false (the run's stepsDone) when what they waited for never came.
using PersonOutside = std::function<bool(std::chrono::steady_clock::time_point deadline)>;
TerminalRun runWithPersonOutside(const std::function<std::string()>& body, const PersonOutside& person);

// Runs a program (argv[0] a path) with `environment` ("NAME=value"; "NAME"
// alone removes it) added to this process's environment.
TerminalRun runProgramOnTerminal(const std::vector<std::string>& argv, const std::vector<std::string>& environment,
                                 const std::vector<TerminalStep>& steps);

}  // namespace kivo::test
