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

// Settles the reader: the one given, else the first reader whose card is
// of a type the library knows. An exit code (reported) when there is none.
std::optional<int> chooseCardReader(CardKeyOptions& options, const std::string& command);

// The certificate of the card key and the CA certificate that issued it,
// when the card holds that one, as card detection reads them.
struct CardCertificates {
    CertificatePtr signer;
    CertificatePtr issuer;  // null when the card holds no issuer of the signer
};
// Reads them from the card of the chosen reader; an exit code (reported)
// when the card has no key for --cert.
std::optional<int> readCardCertificates(const CardKeyOptions& options, const std::string& command,
                                        CardCertificates& certificates);

// Opens the card key of the chosen reader with the library; an exit code
// (reported) when the card refuses it (wrong PIN, entry cancelled: 1).
std::optional<int> openCardKey(const CardKeyOptions& options, const std::string& command, KeyHandle& key);

}  // namespace kivocrypto
