// kivocrypto card: the subcommand table, what the card subcommands share
// (options, reader choice, detection), and `card apdu`: raw command APDUs
// to the card of a PC/SC reader, each printed with the answer and its
// status word.

#include "tools/kivocrypto/card/CardCommand.h"

#include "tools/kivocrypto/ArgumentCursor.h"

#include "platform/PcscApi.h"
#include "smartcard/detect/SC_Profile.h"
#include "smartcard/key/ConfigSC.h"
#include "smartcard/transport/CardTrace.h"
#include "smartcard/transport/Reader.h"
#include "smartcard/transport/SC_Transport.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

namespace kivocrypto {
namespace {

using Bytes = std::vector<std::uint8_t>;

void printApduUsage(std::ostream& out) {
    out << "usage: kivocrypto card apdu [--reader N] [--trace FILE] HEX...\n"
           "\n"
           "Sends each HEX argument as one command APDU to the card and prints\n"
           "the command and the answer:\n"
           "\n"
           "Sending: 00 A4 00 0C 02 3F 00\n"
           "Received (SW1=0x90, SW2=0x00)\n"
           "\n"
           "An answer with data ends its 'Received' line in ':' and lists the\n"
           "bytes below it, sixteen to a line. Spaces and ':' may separate the\n"
           "bytes inside one argument (\"00:A4:00:0C\"). An APDU is CLA INS P1 P2\n"
           "alone, with Le, with Lc and data, or with Lc, data and Le (one byte\n"
           "each); an extended APDU has 00, Lc in two bytes, data and Le in two\n"
           "bytes. Sending stops at the first APDU that cannot be transmitted.\n"
           "\n"
           "--reader N uses the reader of index N as 'kivocrypto readers' lists\n"
           "it; the default is the first reader with a card.\n"
           "--trace FILE appends the card trace (every APDU) to FILE; the data\n"
           "of VERIFY, CHANGE REFERENCE DATA and RESET RETRY COUNTER are\n"
           "written as '**' there.\n"
           "\n"
           "Exit codes: 0 every APDU sent and answered, 1 a transmission failed,\n"
           "2 usage error, 3 no reader, no card, or the card cannot be connected.\n";
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// The bytes of one argument; spaces and ':' may stand between the digits.
// Empty, with the reason in `problem`, for a character that is no hex
// digit or an odd number of digits.
Bytes bytesOfHex(const std::string& text, std::string& problem) {
    Bytes bytes;
    int pending = -1;
    for (char c : text) {
        if (c == ' ' || c == ':') continue;
        const int digit = hexDigit(c);
        if (digit < 0) {
            problem = "holds a character that is no hex digit";
            return {};
        }
        if (pending < 0) {
            pending = digit;
        } else {
            bytes.push_back(static_cast<std::uint8_t>(pending << 4 | digit));
            pending = -1;
        }
    }
    if (pending >= 0) {
        problem = "has an odd number of hex digits";
        return {};
    }
    return bytes;
}

// One command in the fields the transport takes.
struct RawCommand {
    Bytes apdu;  // as given, for the output
    std::uint32_t apduCase = CSC_Transport::cCaseHeader;
    std::uint16_t lc = 0;
    std::uint16_t le = 0;
    std::size_t dataFrom = 0;
};

// Sorts the APDU into the ISO 7816-4 cases the transport sends: header
// only, short Le, short Lc + data (+ Le), and extended Lc + data + Le.
// Extended commands without data or without Le (cases 2E and 3E) have no
// layout in the transport, whose extended case always carries both.
std::optional<RawCommand> commandOf(Bytes apdu, std::string& problem) {
    RawCommand command;
    const std::size_t length = apdu.size();
    if (length < 4) {
        problem = "is shorter than CLA INS P1 P2";
        return std::nullopt;
    }
    if (length == 4) {
        command.apduCase = CSC_Transport::cCaseHeader;
    } else if (length == 5) {
        command.apduCase = CSC_Transport::cCaseHeaderLe;
        command.le = apdu[4];
    } else if (apdu[4] != 0x00) {
        command.lc = apdu[4];
        command.dataFrom = 5;
        if (length == 5u + command.lc) {
            command.apduCase = CSC_Transport::cCaseData;
        } else if (length == 6u + command.lc) {
            command.apduCase = CSC_Transport::cCaseDataLe;
            command.le = apdu[length - 1];
        } else {
            problem = "does not have the length its Lc byte gives";
            return std::nullopt;
        }
    } else {
        const std::size_t lc = length >= 7 ? std::size_t{apdu[5]} << 8 | apdu[6] : 0;
        if (length < 7 || lc == 0 || length != 9 + lc) {
            problem = "is no extended command with Lc, data and Le (the only extended form sent)";
            return std::nullopt;
        }
        command.apduCase = CSC_Transport::cCaseExtended;
        command.lc = static_cast<std::uint16_t>(lc);
        command.le = static_cast<std::uint16_t>(apdu[length - 2] << 8 | apdu[length - 1]);
        command.dataFrom = 7;
    }
    command.apdu = std::move(apdu);
    return command;
}

std::string spacedHex(const std::uint8_t* bytes, std::size_t length, std::size_t from = 0) {
    std::string text;
    char hex[4];
    for (std::size_t i = from; i < length; ++i) {
        std::snprintf(hex, sizeof hex, i == from ? "%02X" : " %02X", bytes[i]);
        text += hex;
    }
    return text;
}

// A command as printed: the PIN data of VERIFY, CHANGE REFERENCE DATA and
// RESET RETRY COUNTER shown as "**", as the card trace shows them, so that
// a PIN does not end up in a terminal log or a pasted transcript.
std::string printedCommand(const Bytes& apdu) {
    std::size_t maskFrom = 0;
    std::size_t maskLength = 0;
    if (!kivo::secretDataRange(apdu.data(), apdu.size(), maskFrom, maskLength)) {
        return spacedHex(apdu.data(), apdu.size());
    }
    std::string text = spacedHex(apdu.data(), maskFrom);
    for (std::size_t i = 0; i < maskLength; ++i) text += " **";
    return text;
}

// The transport with the one step the command needs beyond it: forgetting
// the last status word, so that a transmission without one is recognised.
class RawTransport : public CSC_Transport {
public:
    RawTransport() = default;
    // The transport leaves its card handle open; the command gives it back.
    ~RawTransport() override {
        if (m_hScard != 0) kivo::pcscApi().Disconnect(m_hScard, SCARD_LEAVE_CARD);
    }
    RawTransport(const RawTransport&) = delete;
    RawTransport& operator=(const RawTransport&) = delete;

    // The whole answer: false when the card gave no status word.
    bool exchange(const RawCommand& command) {
        m_wSW1 = 0;
        m_wSW2 = 0;
        const std::uint8_t* data = command.lc > 0 ? command.apdu.data() + command.dataFrom : nullptr;
        SetApdu(command.apduCase, command.apdu[0], command.apdu[1], command.apdu[2],
                command.apdu[3], command.lc, command.le, data, command.lc);
        // Every status word starts with 6 or 9; 00 is the cleared one.
        return SendToCard() && m_wSW1 != 0;
    }
};

void printAnswer(const RawTransport& card) {
    char line[48];
    std::snprintf(line, sizeof line, "Received (SW1=0x%02X, SW2=0x%02X)", card.SW1(), card.SW2());
    std::cout << line;
    const std::uint32_t length = card.ResponseLength();
    if (length == 0) {
        std::cout << "\n";
        return;
    }
    std::cout << ":\n";
    for (std::uint32_t from = 0; from < length; from += 16) {
        std::cout << spacedHex(card.Response(), std::min<std::uint32_t>(length, from + 16), from)
                  << "\n";
    }
}

struct ApduOptions {
    int reader = -1;
    std::string traceFile;
    std::vector<RawCommand> commands;
};

}  // namespace

namespace {

// The value of --out, which must name a folder; false (reported) otherwise.
bool takeOutDirectory(ArgumentCursor& cursor, const std::string& command, std::string& folder) {
    if (!cursor.takeValue(folder)) return false;
    struct stat info {};
    if (::stat(folder.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) return true;
    printError(command + ": --out '" + folder + "' is not a directory");
    return false;
}

// One option of info, certificates or dump; false (reported) for an
// unknown option or a bad value.
bool takeCardOption(ArgumentCursor& cursor, const std::string& command, bool withOutput,
                    CardOptions& options) {
    const std::string option = cursor.current();
    if (option == "--reader") return takeReaderIndex(cursor, command, options.reader);
    if (withOutput && option == "--out") return takeOutDirectory(cursor, command, options.outDirectory);
    if (withOutput && option == "--pem") {
        options.pem = true;
        return true;
    }
    cursor.reportUnknown();
    return false;
}

bool takeOperand(const std::string& text, ApduOptions& options) {
    std::string problem;
    Bytes bytes = bytesOfHex(text, problem);
    std::optional<RawCommand> command;
    if (problem.empty()) command = commandOf(std::move(bytes), problem);
    if (!command) {
        printError("card apdu: '" + text + "' " + problem + " (see kivocrypto card apdu --help)");
        return false;
    }
    options.commands.push_back(std::move(*command));
    return true;
}

// Fills the options; an exit code when the command ends here.
std::optional<int> parseApdu(const Arguments& arguments, ApduOptions& options) {
    ArgumentCursor cursor(arguments, "card apdu");
    while (cursor.next()) {
        if (!cursor.isOption()) {
            if (!takeOperand(cursor.current(), options)) return kExitUsage;
            continue;
        }
        const std::string option = cursor.current();
        if (option == "--help" || option == "-h") {
            printApduUsage(std::cout);
            return kExitOk;
        }
        if (option == "--reader") {
            if (!takeReaderIndex(cursor, "card apdu", options.reader)) return kExitUsage;
            continue;
        }
        if (option == "--trace") {
            std::string value;
            if (!cursor.takeValue(value)) return kExitUsage;
            options.traceFile = value;
            continue;
        }
        cursor.reportUnknown();
        return kExitUsage;
    }
    if (options.commands.empty()) {
        printError("card apdu: no APDU given (see kivocrypto card apdu --help)");
        return kExitUsage;
    }
    return std::nullopt;
}

}  // namespace

int chosenReader(CReader& readers, int requested, const std::string& command) {
    if (!readers.HasContext()) {
        printError(command + ": the PC/SC service cannot be reached (is pcscd running?)");
        return -1;
    }
    if (requested >= 0) {
        if (requested >= readers.GetReaderCount()) {
            printError(command + ": no reader " + std::to_string(requested) + " (see kivocrypto readers)");
            return -1;
        }
        if (!readers.IsCardPresent(requested)) {
            printError(command + ": no card in reader " + std::to_string(requested));
            return -1;
        }
        return requested;
    }
    for (int index = 0; index < readers.GetReaderCount(); ++index) {
        if (readers.IsCardPresent(index)) return index;
    }
    printError(command + ": no reader with a card");
    return -1;
}

void configureTrace(const std::string& file) {
    auto& settings = kivo::cardSettings().m_settings;
    settings.m_traceEnabled = !file.empty();
    settings.m_traceFile = file;
    settings.m_traceLevel = 9;
}

int runCardApdu(const Arguments& arguments) {
    ApduOptions options;
    if (auto exitCode = parseApdu(arguments, options)) return *exitCode;
    configureTrace(options.traceFile);

    CReader readers;
    const int index = chosenReader(readers, options.reader, "card apdu");
    if (index < 0) return kExitNoCard;
    const std::string name = readers.GetReaderName(index);
    RawTransport card;
    if (card.Connect(name.c_str(), readers.Context()) != 0) {
        printError("card apdu: cannot connect to the card in '" + name + "'");
        return kExitNoCard;
    }
    for (std::size_t i = 0; i < options.commands.size(); ++i) {
        const RawCommand& command = options.commands[i];
        std::cout << "Sending: " << printedCommand(command.apdu) << "\n";
        if (!card.exchange(command)) {
            std::cout << std::flush;
            printError("card apdu: APDU " + std::to_string(i + 1) + " could not be transmitted");
            return kExitFailure;
        }
        printAnswer(card);
    }
    std::cout << std::flush;
    return kExitOk;
}

namespace {

// Fills the options of info, certificates or dump; an exit code when the
// command ends here.
std::optional<int> parseCardOptions(const Arguments& arguments, const CardSubcommand& subcommand,
                                    CardOptions& options) {
    const std::string command = subcommand.name;
    ArgumentCursor cursor(arguments, command);
    while (cursor.next()) {
        const std::string argument = cursor.current();
        if (!cursor.isOption()) {
            printError(command + ": unexpected argument '" + argument + "' (see kivocrypto " + command +
                       " --help)");
            return kExitUsage;
        }
        if (argument == "--help" || argument == "-h") {
            subcommand.usage(std::cout);
            return kExitOk;
        }
        if (!takeCardOption(cursor, command, subcommand.withOutput, options)) return kExitUsage;
    }
    if (options.pem && options.outDirectory.empty()) {
        printError(command + ": --pem needs --out DIR");
        return kExitUsage;
    }
    return std::nullopt;
}

}  // namespace

std::optional<int> startCardSubcommand(const Arguments& arguments, const CardSubcommand& subcommand,
                                       CardOptions& options, ChosenReader& chosen) {
    if (auto exitCode = parseCardOptions(arguments, subcommand, options)) return exitCode;
    configureTrace("");
    chosen.readers = std::make_unique<CReader>();
    chosen.index = chosenReader(*chosen.readers, options.reader, subcommand.name);
    if (chosen.index < 0) return kExitNoCard;
    return std::nullopt;
}

CSC_Profile* detectedCard(CReader& readers, int index) {
    return readers.GetSCProfile(index) != nullptr ? readers.GetCardLayout() : nullptr;
}

int reportUnknownCard(CReader& readers, int index, const std::string& command) {
    printError(command + ": the card in reader " + std::to_string(index) +
               " is of no card type the library knows (ATR " + readers.GetATRText(index) + ")");
    return kExitNoCard;
}

}  // namespace kivocrypto
