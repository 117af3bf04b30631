// kivocrypto-card: the card subcommands that work with the card layer
// itself (detection, PKCS#15, raw APDUs, PIN management). `kivocrypto card`
// runs it with the subcommand and its arguments; its messages read as the
// main program's.

#include "tools/kivocrypto/card/CardCommand.h"

#include <string>

namespace kivocrypto {

namespace {

int run(int argc, char** argv) {
    struct Entry {
        const char* name;
        int (*run)(const Arguments&);
    };
    static constexpr Entry kSubcommands[] = {{"info", runCardInfo}, {"certificates", runCardCertificates},
                                             {"dump", runCardDump}, {"apdu", runCardApdu},
                                             {"pin", runCardPin}};
    const std::string subcommand = argc > 1 ? argv[1] : "";
    for (const Entry& entry : kSubcommands) {
        if (subcommand == entry.name) return entry.run(Arguments(argv + 2, argv + argc));
    }
    printError("card: unknown subcommand '" + subcommand + "' (see kivocrypto card --help)");
    return kExitUsage;
}

}  // namespace
}  // namespace kivocrypto

int main(int argc, char** argv) { return kivocrypto::runGuarded(kivocrypto::run, argc, argv); }
