// What both programs' main functions share: the error line and the guard
// that turns an escaping exception into a message and exit code 1.

#include "tools/kivocrypto/Commands.h"

#include <exception>
#include <iostream>

namespace kivocrypto {

void printError(const std::string& message) { std::cerr << "kivocrypto: " << message << "\n"; }

int runGuarded(int (*run)(int, char**), int argc, char** argv) {
    try {
        return run(argc, argv);
    } catch (const std::exception& error) {
        printError(error.what());
    } catch (...) {
        printError("unexpected failure");
    }
    return kExitFailure;
}

}  // namespace kivocrypto
