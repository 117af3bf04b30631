// A card key opened through the library's exported signing API, as
// `sign --card`, `card sign` and `card decrypt` need it: the reader, the
// certificate, the PIN (given, or asked for through the library's own PIN
// entry) and the language of the prompts.
#pragma once

#include "tools/kivocrypto/Commands.h"
#include "tools/kivocrypto/Password.h"
#include "tools/kivocrypto/SigningKey.h"

#include <optional>
#include <string>

namespace kivocrypto {

class ArgumentCursor;

struct CardKeyOptions {
    int reader = -1;  // -1: the first reader with a card
    std::string certId;  // the index of the key's certificate; empty: 0
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

// Settles the reader: the one given, else the first reader whose card the
// library recognises. An exit code (reported) when there is none.
std::optional<int> chooseCardReader(CardKeyOptions& options, const std::string& command);

// The certificate of the card key --cert selects on the card of the
// chosen reader (through CSCUtils); an exit code (reported) when the card
// has no such key.
std::optional<int> readCardCertificate(const CardKeyOptions& options, const std::string& command,
                                       CertificatePtr& certificate);

// Opens the card key of the chosen reader with the library; an exit code
// (reported) when the card refuses it (wrong PIN, entry cancelled: 1).
std::optional<int> openCardKey(const CardKeyOptions& options, const std::string& command, KeyHandle& key);

int runCardSign(const Arguments& arguments);
int runCardDecrypt(const Arguments& arguments);

}  // namespace kivocrypto
