// kivocrypto card sign and card decrypt: a bare signature value or a
// deciphered cryptogram made by the key on a signature card, through the
// library's exported signing calls; and the card key options they share
// with `sign --card`.

#include "tools/kivocrypto/ArgumentCursor.h"
#include "tools/kivocrypto/CardKey.h"
#include "tools/kivocrypto/LibraryCodes.h"
#include "tools/kivocrypto/MappedFile.h"
#include "tools/kivocrypto/OutputFile.h"

#include "SCMutils.h"
#include "SignMessageSSLM.h"

#include <openssl/crypto.h>

#include <climits>
#include <cstdlib>
#include <iostream>
#include <vector>

namespace kivocrypto {

const char* const kCardKeyOptionsUsage =
    "  --reader N          the reader of index N as 'kivocrypto readers' lists it\n"
    "                      (default: the first reader with a card of a known type)\n"
    "  --cert ID           the card key by the index of its certificate as\n"
    "                      'kivocrypto card certificates' counts them from 0\n"
    "                      (default: the first key)\n"
    "  --pin-env VAR       the PIN is the value of the environment variable VAR\n"
    "  --pin-file F        the PIN is the first line of F\n"
    "                      (without either, the library's PIN entry asks for it:\n"
    "                      the reader's keypad, a pinentry program or the terminal)\n"
    "  --language L        en, de or sv for the PIN prompts\n";

namespace {

// The largest signature or cryptogram a card key makes (RSA 8192 bits).
constexpr std::size_t kMaxCardResult = 1024;

}  // namespace

std::optional<bool> takeCardKeyOption(ArgumentCursor& cursor, const std::string& command,
                                      CardKeyOptions& options) {
    const std::string option = cursor.current();
    if (option == "--reader") return takeReaderIndex(cursor, command, options.reader);
    if (option == "--cert") {
        if (!cursor.takeValue(options.certId)) return false;
        if (!options.certId.empty() && options.certId.size() <= 2 &&
            options.certId.find_first_not_of("0123456789") == std::string::npos) {
            return true;
        }
        printError(command + ": --cert takes the index of a certificate (0 to 95), not '" + options.certId + "'");
        return false;
    }
    if (option == "--pin-env") return cursor.takeValue(options.pin.environment);
    if (option == "--pin-file") return cursor.takeValue(options.pin.file);
    if (option != "--language") return std::nullopt;
    return takeLanguage(cursor, command, options.language);
}

namespace {

// The library's reader list: names and, through its card queries, cards.
bool readerExists(CSCUtils& utils, int reader) { return reader >= 0 && reader < utils.GetNumReaders(); }

}  // namespace

std::optional<int> chooseCardReader(CardKeyOptions& options, const std::string& command) {
    CSCUtils utils;
    if (utils.GetNumReaders() == 0) {
        printError(command + ": no smart-card reader (is pcscd running? see kivocrypto readers)");
        return kExitNoCard;
    }
    if (options.reader >= 0) {
        if (!readerExists(utils, options.reader)) {
            printError(command + ": no reader " + std::to_string(options.reader) + " (see kivocrypto readers)");
            return kExitNoCard;
        }
        if (!CSignMessage::IsSmartCardPresent(options.reader)) {
            printError(command + ": no card in reader " + std::to_string(options.reader));
            return kExitNoCard;
        }
        return std::nullopt;
    }
    for (int index = 0; index < utils.GetNumReaders(); ++index) {
        if (CSignMessage::GetSmartCardProfileType(index) > 0) {
            options.reader = index;
            return std::nullopt;
        }
    }
    printError(command + ": no reader holds a card the library recognises (see kivocrypto readers)");
    return kExitNoCard;
}

std::optional<int> readCardCertificate(const CardKeyOptions& options, const std::string& command,
                                       CertificatePtr& certificate) {
    CSCUtils utils;
    utils.setReader(options.reader);
    const int slot = options.certId.empty() ? 0 : std::atoi(options.certId.c_str());
    certificate.reset(utils.GetX509(slot));
    if (certificate) return std::nullopt;
    printError(command + ": the card in reader " + std::to_string(options.reader) + " has no key" +
               (options.certId.empty() ? std::string() : " for certificate '" + options.certId + "'") +
               " (see kivocrypto card certificates)");
    return kExitNoCard;
}

std::optional<int> openCardKey(const CardKeyOptions& options, const std::string& command, KeyHandle& key) {
    if (!options.pin.environment.empty() && !options.pin.file.empty()) {
        printError(command + ": give either --pin-env or --pin-file, not both");
        return kExitUsage;
    }
    Secret pin;
    std::string error;
    if ((!options.pin.environment.empty() || !options.pin.file.empty()) &&
        (!obtainPassword(options.pin, pin, error) || pin.text().empty())) {
        printError(command + ": " + (error.empty() ? "the PIN given is empty" : error));
        return kExitUsage;
    }
    // The library's card trace stays off; its PIN entry speaks the language.
    CSCUtils::SetLogLevel(0);
    if (options.language >= 0) CSCUtils::SetLanguage(options.language);
    key.reset(CSignMessage::OpenSSLKey(nullptr, nullptr, pin.text().empty() ? nullptr : pin.c_str(),
                                       options.reader, 0, options.certId.c_str(), nullptr, 0));
    if (key) return std::nullopt;
    printError(command + ": the card in reader " + std::to_string(options.reader) +
               " did not open its key: a wrong or blocked PIN, or PIN entry cancelled"
               " (see kivocrypto card pin verify)");
    return kExitFailure;
}

namespace {

void printCardSignUsage(std::ostream& out) {
    out << "usage: kivocrypto card sign [--reader N] [--cert ID] [--hash NAME] [--raw]\n"
           "                            [--pin-env VAR | --pin-file F] [--language L] IN OUT\n"
           "\n"
           "Signs with the card key and writes the bare signature value (no\n"
           "container) to OUT: over the hash of IN, or with --raw over IN as the\n"
           "hash itself. The card pads as it signs: RSA PKCS#1 v1.5 (RSASSA-PSS\n"
           "on the cards that sign only PSS), ECDSA as r||s. OpenSSL checks it\n"
           "with 'openssl dgst -sha256 -verify KEY -signature OUT IN' (PKCS#1).\n"
           "\n"
           "  --hash NAME         sha1|sha256|sha384|sha512 (default sha256)\n"
           "  --raw               IN is the hash (20, 32, 48 or 64 octets)\n"
        << kCardKeyOptionsUsage
        << "\n"
           "Exit codes: 0 signed, 1 the card refused (key, PIN or hash) or OUT\n"
           "could not be written, 2 usage error, 3 no service, reader or card.\n";
}

void printCardDecryptUsage(std::ostream& out) {
    out << "usage: kivocrypto card decrypt [--reader N] [--cert ID]\n"
           "                               [--pin-env VAR | --pin-file F] [--language L] IN OUT\n"
           "\n"
           "Deciphers the RSA cryptogram IN (PKCS#1 v1.5, as 'openssl pkeyutl\n"
           "-encrypt' makes it for the card's certificate) with the card key and\n"
           "writes the plain text to OUT.\n"
           "\n"
        << kCardKeyOptionsUsage
        << "\n"
           "Exit codes: 0 deciphered, 1 the card refused (key, PIN or cryptogram)\n"
           "or OUT could not be written, 2 usage error, 3 no service, reader or card.\n";
}

struct CardOperation {
    const char* name;  // "card sign"
    void (*usage)(std::ostream&);
    bool signs;
};

struct CardOperationRequest {
    CardKeyOptions key;
    int hash = 1;
    bool raw = false;
    std::vector<std::string> files;
};

std::optional<int> parseCardOperation(const Arguments& arguments, const CardOperation& operation,
                                      CardOperationRequest& request) {
    ArgumentCursor cursor(arguments, operation.name);
    while (cursor.next()) {
        const std::string argument = cursor.current();
        if (!cursor.isOption()) {
            request.files.push_back(argument);
            continue;
        }
        if (argument == "--help" || argument == "-h") {
            operation.usage(std::cout);
            return kExitOk;
        }
        if (const std::optional<bool> taken = takeCardKeyOption(cursor, operation.name, request.key)) {
            if (!*taken) return kExitUsage;
        } else if (operation.signs && argument == "--raw") {
            request.raw = true;
        } else if (operation.signs && argument == "--hash") {
            std::string name;
            if (!cursor.takeValue(name)) return kExitUsage;
            const std::optional<int> code = signingHashCode(name);
            if (!code || *code > 3) {
                printError(std::string(operation.name) + ": the card signs sha1|sha256|sha384|sha512, not '" +
                           name + "'");
                return kExitUsage;
            }
            request.hash = *code;
        } else {
            cursor.reportUnknown();
            return kExitUsage;
        }
    }
    if (request.files.size() != 2) {
        printError(std::string(operation.name) + ": expects IN and OUT (see kivocrypto " + operation.name +
                   " --help)");
        return kExitUsage;
    }
    return std::nullopt;
}

// Signs or deciphers the input with the opened key into `result`; the
// library's result code.
int runOnCard(const CardOperationRequest& request, bool signs, unsigned long* key, const MappedFile& input,
              std::vector<unsigned char>& result, unsigned long& length) {
    auto* data = const_cast<unsigned char*>(input.data());
    const int size = static_cast<int>(input.size());
    if (!signs) return CSignMessage::RSADecryptBlobSSL(data, size, result.data(), &length, nullptr, key);
    const int check = CSignMessage::checkSignHashAlgoPKey(key, request.hash);
    if (check != 0) return check;
    return CSignMessage::SignBlobSSLRaw(data, size, result.data(), &length, nullptr, nullptr, key, request.hash,
                                        false, request.raw, false);
}

int runCardOperation(const Arguments& arguments, const CardOperation& operation) {
    CardOperationRequest request;
    if (auto exitCode = parseCardOperation(arguments, operation, request)) return *exitCode;
    const std::string command = operation.name;
    MappedFile input(request.files[0]);
    const std::size_t limit = operation.signs ? static_cast<std::size_t>(INT_MAX) : kMaxCardResult;
    if (!input.ok() || input.size() == 0 || input.size() > limit) {
        printError(command + ": " + request.files[0] + ": " + (input.ok() ? "empty or too large" : input.error()));
        return kExitFailure;
    }
    KeyHandle key;
    if (auto exitCode = chooseCardReader(request.key, command)) return *exitCode;
    CertificatePtr certificate;
    if (auto exitCode = readCardCertificate(request.key, command, certificate)) return *exitCode;
    if (auto exitCode = openCardKey(request.key, command, key)) return *exitCode;
    std::vector<unsigned char> result(kMaxCardResult, 0);
    unsigned long length = 0;
    const int code = runOnCard(request, operation.signs, key.get(), input, result, length);
    std::string error;
    const bool written = code == 0 && length <= result.size() &&
                         replaceFile(request.files[1], result.data(), length, error);
    OPENSSL_cleanse(result.data(), result.size());
    if (code != 0) {
        printError(command + ": " + describeResult(code));
        return kExitFailure;
    }
    if (!written) {
        printError(command + ": " + (error.empty() ? "the card's answer does not fit" : error));
        return kExitFailure;
    }
    std::cout << request.files[0] << ": " << (operation.signs ? "signed into " : "deciphered into ")
              << request.files[1] << " (" << length << " octets)\n";
    return kExitOk;
}

}  // namespace

int runCardSign(const Arguments& arguments) {
    return runCardOperation(arguments, {"card sign", printCardSignUsage, true});
}

int runCardDecrypt(const Arguments& arguments) {
    return runCardOperation(arguments, {"card decrypt", printCardDecryptUsage, false});
}

}  // namespace kivocrypto
