// Subcommands of the kivocrypto program. Each takes the arguments after its
// name and returns the process exit code.
#pragma once

#include <string>
#include <vector>

namespace kivocrypto {

using Arguments = std::vector<std::string>;

int runHash(const Arguments& arguments);
int runCert(const Arguments& arguments);
int runInspect(const Arguments& arguments);
int runSign(const Arguments& arguments);
int runTimestamp(const Arguments& arguments);
int runVerify(const Arguments& arguments);
int runDemo(const Arguments& arguments);
int runReaders(const Arguments& arguments);
int runCard(const Arguments& arguments);

// Exit codes shared by every subcommand.
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailure = 1;
inline constexpr int kExitUsage = 2;
// The card subcommands: no PC/SC service, no reader, no card, a card of no
// known type, or no such key on it.
inline constexpr int kExitNoCard = 3;

// "kivocrypto: <message>" on stderr.
void printError(const std::string& message);
// Runs a program's main body; an exception that escapes it is printed and
// gives kExitFailure.
int runGuarded(int (*run)(int, char**), int argc, char** argv);

}  // namespace kivocrypto
