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

// "kivocrypto: <message>" on stderr.
void printError(const std::string& message);

}  // namespace kivocrypto
