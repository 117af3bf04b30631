// kivocrypto card pin verify|change|unblock: the PIN of a card key, given
// through the environment or a file, or asked for through the library's
// own PIN entry (host callback, pinentry, terminal, or the reader's keypad),
// and the outcome reported in the language chosen.

#include "tools/kivocrypto/ArgumentCursor.h"
#include "tools/kivocrypto/card/CardCommand.h"
#include "tools/kivocrypto/Password.h"

#include "smartcard/base/CardResult.h"
#include "smartcard/key/ConfigSC.h"
#include "smartcard/key/SCM_Interface.h"
#include "smartcard/pin/MessageLanguage.h"
#include "smartcard/pin/PinMessages.h"
#include "smartcard/transport/Reader.h"

#include <array>
#include <cstdint>
#include <iostream>
#include <memory>
#include <optional>
#include <string>

namespace kivocrypto {
namespace {

namespace card = kivo::card;

constexpr int kExitCancelled = 4;

void printPinUsage(std::ostream& out) {
    out << "usage: kivocrypto card pin verify|change|unblock [--reader N] [--cert ID]\n"
           "       [--pin-env VAR | --pin-file F] [--new-pin-env VAR] [--puk-env VAR]\n"
           "       [--language en|de|sv]\n"
           "\n"
           "verify   checks the PIN of the card key (--pin-env or --pin-file)\n"
           "change   sets a new PIN (--pin-env or --pin-file: the current one,\n"
           "         --new-pin-env: the new one)\n"
           "unblock  resets a blocked PIN with the PUK (--puk-env) and sets a new\n"
           "         one (--new-pin-env)\n"
           "\n"
           "A PIN not given is asked for through the library's PIN entry: the\n"
           "reader's keypad on a pin-pad reader, a pinentry program on a desktop\n"
           "(or the one KIVO_PINENTRY names), else the terminal with echo off.\n"
           "The outcome is one line, and a second one with the tries left when\n"
           "the card tells them:\n"
           "\n"
           "PIN is wrong.\n"
           "Remaining tries: 2\n"
           "\n"
           "--cert ID selects the card key by its certificate: the PKCS#15 iD in\n"
           "hex, the label, or the index (0, 1, ...) of 'kivocrypto card\n"
           "certificates' counted from 0; the default is the first key.\n"
           "--language chooses the language of the prompts and the outcome:\n"
           "en, de or sv; the default is the card settings' language.\n"
           "--reader N uses the reader of index N as 'kivocrypto readers' lists\n"
           "it; the default is the first reader with a card.\n"
           "\n"
           "Exit codes: 0 done, 1 the card refused (wrong or blocked PIN, or\n"
           "another failure), 2 usage error, 3 no PC/SC service, no reader, no\n"
           "card, a card of no known type or no key for --cert, 4 PIN entry\n"
           "cancelled.\n";
}

enum class PinOperation { Verify, Change, Unblock };

struct PinOptions {
    std::optional<PinOperation> operation;
    int reader = -1;
    std::string certId;
    PasswordSource pin;
    std::string newPinVariable;
    std::string pukVariable;
    int language = -1;  // -1: the settings' language
};

// The texts the command adds to the library's message table, per language
// (English, German, Swedish).
struct OwnText {
    std::array<const char*, 3> text;
    const char* in(int language) const { return text[language >= 0 && language <= 2 ? language : 1]; }
};
constexpr OwnText kVerified = {{"PIN verified.", "PIN erfolgreich geprüft.", "PIN-koden verifierad."}};
constexpr OwnText kTriesLeft = {{"Remaining tries: ", "Verbleibende Versuche: ", "Återstående försök: "}};
constexpr OwnText kRefused = {
    {"The card refused the operation (card result ", "Die Karte hat den Vorgang abgelehnt (Kartenergebnis ",
     "Kortet avvisade åtgärden (kortresultat "}};

std::optional<PinOperation> operationNamed(const std::string& name) {
    if (name == "verify") return PinOperation::Verify;
    if (name == "change") return PinOperation::Change;
    if (name == "unblock") return PinOperation::Unblock;
    return std::nullopt;
}

bool takeOperation(const std::string& argument, PinOptions& options) {
    if (options.operation) {
        printError("card pin: unexpected argument '" + argument + "' (see kivocrypto card pin --help)");
        return false;
    }
    options.operation = operationNamed(argument);
    if (!options.operation) {
        printError("card pin: unknown operation '" + argument + "' (verify, change or unblock)");
        return false;
    }
    return true;
}

// One option; false (reported) for an unknown one or a bad value.
bool takePinOption(ArgumentCursor& cursor, PinOptions& options) {
    const std::string option = cursor.current();
    if (option == "--reader") return takeReaderIndex(cursor, "card pin", options.reader);
    if (option == "--cert") return cursor.takeValue(options.certId);
    if (option == "--pin-env") return cursor.takeValue(options.pin.environment);
    if (option == "--pin-file") return cursor.takeValue(options.pin.file);
    if (option == "--new-pin-env") return cursor.takeValue(options.newPinVariable);
    if (option == "--puk-env") return cursor.takeValue(options.pukVariable);
    if (option == "--language") return takeLanguage(cursor, "card pin", options.language);
    cursor.reportUnknown();
    return false;
}

// The options that do not belong to the operation; empty when all fit.
std::string misplacedOption(const PinOptions& options) {
    const bool pinGiven = !options.pin.environment.empty() || !options.pin.file.empty();
    if (!options.pin.environment.empty() && !options.pin.file.empty()) return "--pin-env with --pin-file";
    if (*options.operation == PinOperation::Unblock && pinGiven) return "--pin-env or --pin-file with unblock";
    if (*options.operation != PinOperation::Unblock && !options.pukVariable.empty()) return "--puk-env without unblock";
    if (*options.operation == PinOperation::Verify && !options.newPinVariable.empty()) {
        return "--new-pin-env with verify";
    }
    return "";
}

// Fills the options; an exit code when the command ends here.
std::optional<int> parsePin(const Arguments& arguments, PinOptions& options) {
    ArgumentCursor cursor(arguments, "card pin");
    while (cursor.next()) {
        const std::string argument = cursor.current();
        if (argument == "--help" || argument == "-h") {
            printPinUsage(std::cout);
            return kExitOk;
        }
        const bool taken = cursor.isOption() ? takePinOption(cursor, options) : takeOperation(argument, options);
        if (!taken) return kExitUsage;
    }
    if (!options.operation) {
        printError("card pin: no operation given (verify, change or unblock)");
        return kExitUsage;
    }
    const std::string misplaced = misplacedOption(options);
    if (!misplaced.empty()) {
        printError("card pin: " + misplaced + " (see kivocrypto card pin --help)");
        return kExitUsage;
    }
    return std::nullopt;
}

// A secret from its source, or empty (to be asked for) without one. False,
// reported, when the source cannot give one: an empty secret would make
// the library ask instead of failing.
bool readSecret(const PasswordSource& source, Secret& secret) {
    if (source.environment.empty() && source.file.empty()) return true;
    std::string error;
    if (obtainPassword(source, secret, error) && !secret.text().empty()) return true;
    printError("card pin: " + (error.empty() ? "the PIN given is empty" : error));
    return false;
}

// The secrets of the operation, read before the card is touched.
struct PinSecrets {
    Secret pin;  // verify and change: the current PIN
    Secret newPin;
    Secret puk;
};

bool readSecrets(const PinOptions& options, PinSecrets& secrets) {
    return readSecret(options.pin, secrets.pin) && readSecret({"", options.newPinVariable, ""}, secrets.newPin) &&
           readSecret({"", options.pukVariable, ""}, secrets.puk);
}

// The secrets go to the card key as the strings that hold them (no
// temporary copy that would be freed unwiped).
CardResult runOperation(CSCM_Interface& key, PinOperation operation, PinSecrets& secrets) {
    switch (operation) {
        case PinOperation::Verify:
            key.VerifyPIN(secrets.pin.text(), 0);
            return key.LastVerifyResult();
        case PinOperation::Change: return key.ChangePIN(secrets.pin.text(), secrets.newPin.text());
        case PinOperation::Unblock: return key.UnblockPIN(secrets.puk.text(), secrets.newPin.text());
    }
    return card::cFailed;
}

// The outcome in the message language: the library's message table where
// it has the text, the command's own texts otherwise. A card that said how
// many tries are left called the PIN (or PUK) wrong, whatever result code
// its profile makes of that; none left means blocked. A failed unblock is
// one outcome (the tries line tells a wrong PUK apart).
std::string outcomeText(PinOperation operation, CardResult result, std::int32_t triesLeft, int language) {
    namespace pin = kivo::pin;
    if (operation == PinOperation::Unblock) return pin::message(result == card::cOk ? 703 : 705);
    if (result == card::cOk) return operation == PinOperation::Change ? pin::message(702) : kVerified.in(language);
    if (result == card::cCounterFailed || triesLeft == 0) return pin::message(303);
    if (result == card::cPinWrong || triesLeft > 0) return pin::message(operation == PinOperation::Change ? 701 : 302);
    if (result == card::cAuthMethodBlocked) return pin::message(301);
    return kRefused.in(language) + std::to_string(result) + ").";
}

int report(const CSCM_Interface& key, PinOperation operation, CardResult result) {
    const int language = kivo::pin::messageLanguage();
    if (key.PinEntryCancelled()) {
        const bool pinPad = key.Card()->CheckPinPad();
        std::cout << kivo::pin::message(pinPad ? 305 : 306) << "\n";
        return kExitCancelled;
    }
    const std::int32_t triesLeft = result == card::cOk ? -1 : key.RemainingTries();
    std::cout << outcomeText(operation, result, triesLeft, language) << "\n";
    if (triesLeft >= 0) std::cout << kTriesLeft.in(language) << triesLeft << "\n";
    return result == card::cOk ? kExitOk : kExitFailure;
}

// The card key of the reader's card for the certificate identifier; null,
// reported, when the card is of no known type or has no such key.
std::unique_ptr<CSCM_Interface> openCardKey(CReader& readers, int index, const std::string& certId) {
    if (readers.GetSCProfile(index) == nullptr) {
        reportUnknownCard(readers, index, "card pin");
        return nullptr;
    }
    auto key = std::make_unique<CSCM_Interface>(readers.TakeDetectedCard(), index, 0, certId, nullptr);
    key->SetReaderName(readers.GetReaderName(index));
    if (key->FindEntry() != nullptr) return key;
    printError("card pin: the card in reader " + std::to_string(index) + " has no key" +
               (certId.empty() ? std::string() : " for certificate '" + certId + "'") +
               " (see kivocrypto card certificates)");
    return nullptr;
}

}  // namespace

int runCardPin(const Arguments& arguments) {
    PinOptions options;
    if (auto exitCode = parsePin(arguments, options)) return *exitCode;
    PinSecrets secrets;
    if (!readSecrets(options, secrets)) return kExitUsage;

    kivo::cardSettings().Load(false);
    configureTrace("");
    if (options.language >= 0) {
        kivo::cardSettings().m_settings.m_language = options.language;
        kivo::pin::setMessageLanguage(options.language);
    }
    CReader readers;
    const int index = chosenReader(readers, options.reader, "card pin");
    if (index < 0) return kExitNoCard;
    std::unique_ptr<CSCM_Interface> key = openCardKey(readers, index, options.certId);
    if (!key) return kExitNoCard;
    if (key->UsesPACE() && !key->InitPACE(kivo::cardSettings().m_settings.m_pacePin)) {
        printError("card pin: the card's PACE channel could not be established");
        return kExitFailure;
    }
    const CardResult result = runOperation(*key, *options.operation, secrets);
    if (key->UsesPACE()) key->FreePACE();
    return report(*key, *options.operation, result);
}

}  // namespace kivocrypto
