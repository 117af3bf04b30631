// A card key opened through the library's exported signing API, as
// `sign --card`, `card sign` and `card decrypt` need it: the reader, the
// certificate, the PIN (given, or asked for through the library's own PIN
// entry) and the language of the prompts.
#pragma once

#include "tools/kivocrypto/Password.h"
#include "tools/kivocrypto/SigningKey.h"

#include <optional>
#include <string>

namespace kivocrypto {

class ArgumentCursor;

struct CardKeyOptions {
    int reader = -1;  // -1: the first reader with a card
    std::string certId;
    PasswordSource pin;
    int language = -1;  // -1: the card settings' language
};

// The options usage text of the card key (for --help texts).
extern const char* const kCardKeyOptionsUsage;

// Takes --reader, --cert, --pin-env, --pin-file or --language: true when
// the current option was one of them (and its value was good), false
// after a usage error, nothing when it is none of them.
std::optional<bool> takeCardKeyOption(ArgumentCursor& cursor, const std::string& command,
                                      CardKeyOptions& options);

// Opens the card key with the library; an exit code when it fails
// (reported): no service, reader or card (3), or the card refusing the key
// (wrong PIN, entry cancelled, no such key: 1).
std::optional<int> openCardKey(const CardKeyOptions& options, const std::string& command, KeyHandle& key);

}  // namespace kivocrypto
