// kivocrypto card: the subcommand table. `sign` and `decrypt` work through
// the library's exported signing calls here; the others need the card
// layer itself and run in the card tool beside this program.

#include "tools/kivocrypto/CardKey.h"
#include "tools/kivocrypto/Commands.h"

#include <unistd.h>

#include <iostream>
#include <string>
#include <vector>

namespace kivocrypto {
namespace {

void printCardUsage(std::ostream& out) {
    out << "usage: kivocrypto card SUBCOMMAND [OPTIONS]\n"
           "\n"
           "Subcommands:\n"
           "  info          the detected card: type, profile, serial, label, keys, hashes\n"
           "  certificates  the card's certificates; --out DIR writes them to files\n"
           "  dump          the card's PKCS#15 objects as read\n"
           "  apdu          send raw APDUs and print the answers\n"
           "  pin           verify, change or unblock the PIN of a card key\n"
           "  sign          a bare signature value made by the card key\n"
           "  decrypt       decipher an RSA cryptogram with the card key\n"
           "\n"
           "Run 'kivocrypto card SUBCOMMAND --help' for the options and output of\n"
           "a subcommand. Each takes --reader N, the index 'kivocrypto readers'\n"
           "lists; the default is the first reader with a card.\n"
           "\n"
           "Exit codes: 0 success, 2 usage error, 3 no reader, no card, or a card\n"
           "of no known type; each subcommand's help lists its own others.\n";
}

// The card tool's path: "kivocrypto-card" in the folder of this program.
std::string cardToolPath() {
    std::string self(4096, '\0');
    const ssize_t length = ::readlink("/proc/self/exe", self.data(), self.size() - 1);
    if (length <= 0) return "kivocrypto-card";
    self.resize(static_cast<std::size_t>(length));
    return self.substr(0, self.rfind('/') + 1) + "kivocrypto-card";
}

// Replaces this process with the card tool; returns only when that fails.
int runInCardTool(const Arguments& arguments) {
    const std::string tool = cardToolPath();
    std::vector<char*> argv = {const_cast<char*>("kivocrypto-card")};
    for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    std::cout.flush();
    ::execv(tool.c_str(), argv.data());
    printError("card: cannot run the card tool " + tool);
    return kExitFailure;
}

}  // namespace

int runCard(const Arguments& arguments) {
    if (arguments.empty()) {
        printCardUsage(std::cerr);
        return kExitUsage;
    }
    const std::string& first = arguments.front();
    if (first == "--help" || first == "-h") {
        printCardUsage(std::cout);
        return kExitOk;
    }
    const Arguments rest(arguments.begin() + 1, arguments.end());
    if (first == "sign") return runCardSign(rest);
    if (first == "decrypt") return runCardDecrypt(rest);
    for (const char* inTool : {"info", "certificates", "dump", "apdu", "pin"}) {
        if (first == inTool) return runInCardTool(arguments);
    }
    printError("card: unknown subcommand '" + first + "' (see kivocrypto card --help)");
    return kExitUsage;
}

}  // namespace kivocrypto
