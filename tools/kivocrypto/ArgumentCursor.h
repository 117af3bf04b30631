// Walks the arguments of a subcommand: options and operands may be mixed,
// "--" ends the options, and a lone "-" is an operand.
#pragma once

#include "tools/kivocrypto/Commands.h"

#include <string>
#include <utility>

namespace kivocrypto {

class ArgumentCursor {
public:
    // `command` names the subcommand in usage errors.
    ArgumentCursor(const Arguments& arguments, std::string command)
        : m_arguments(arguments), m_command(std::move(command)) {}

    // Moves to the next argument; false when none is left.
    bool next();
    const std::string& current() const { return m_arguments[m_index]; }
    // The current argument is an option (not an operand).
    bool isOption() const;
    // Takes the argument after the current option as its value; prints a
    // usage error and returns false when there is none.
    bool takeValue(std::string& value);
    // Prints "COMMAND: unknown option 'X' (see kivocrypto COMMAND --help)".
    void reportUnknown() const;

private:
    const Arguments& m_arguments;
    std::string m_command;
    std::size_t m_index = 0;
    bool m_started = false;
    bool m_optionsEnded = false;
};

// The value of --reader: a reader index from 0 to 999 as 'kivocrypto
// readers' lists it; false, reported, when it is missing or no index.
bool takeReaderIndex(ArgumentCursor& cursor, const std::string& command, int& reader);

// The value of --language: en, de or sv as the card layer's language
// number (0, 1, 2); false, reported, for any other value.
bool takeLanguage(ArgumentCursor& cursor, const std::string& command, int& language);

}  // namespace kivocrypto
