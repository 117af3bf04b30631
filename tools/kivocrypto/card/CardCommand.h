// What the card subcommands share: their exit code for a missing reader or
// card, their options (--help, --reader N, for `certificates` --out DIR and
// --pem), the choice of the reader and the detection of its card.
//
// These card subcommands need CReader, the detection and PKCS#15 classes
// and the card key's PIN management, which the shared library does not
// export: they run in the card tool `kivocrypto-card`, which links the
// library's internal archive alone, so that no process holds two copies of
// the card layer. `kivocrypto card` hands them over to it.
#pragma once

#include "tools/kivocrypto/Commands.h"

#include <iosfwd>
#include <memory>
#include <optional>
#include <string>

class CReader;
class CSC_Profile;


namespace kivocrypto {


struct CardOptions {
    int reader = -1;  // -1: the first reader with a card
    std::string outDirectory;
    bool pem = false;
};

// A subcommand as its start needs it: its name in messages ("card info"),
// its usage text for --help, and whether it takes --out and --pem.
struct CardSubcommand {
    const char* name;
    void (*usage)(std::ostream&);
    bool withOutput;
};

// The reader list and the index of the reader chosen in it.
struct ChosenReader {
    std::unique_ptr<CReader> readers;
    int index = -1;
};

// The start of info, certificates and dump: reads the options, turns the
// card trace off and chooses the reader. An exit code when the command
// ends there.
std::optional<int> startCardSubcommand(const Arguments& arguments, const CardSubcommand& subcommand,
                                       CardOptions& options, ChosenReader& chosen);

// The index of the reader to use: the requested one, or the first with a
// card for -1; -1 (reported) when there is none.
int chosenReader(CReader& readers, int requested, const std::string& command);
// The program links its own copy of the card layer, whose trace is on by
// default: it is written only where asked for (an empty name: nowhere).
void configureTrace(const std::string& file);

// Runs card detection on the card of the reader; null for a card of no
// known type.
CSC_Profile* detectedCard(CReader& readers, int index);
// Says that the card in the reader is of no known type; kExitNoCard.
int reportUnknownCard(CReader& readers, int index, const std::string& command);

int runCardInfo(const Arguments& arguments);
int runCardCertificates(const Arguments& arguments);
int runCardDump(const Arguments& arguments);
int runCardPin(const Arguments& arguments);
int runCardApdu(const Arguments& arguments);

}  // namespace kivocrypto
