#include "smartcard/pin/PinMessages.h"

#include "smartcard/pin/MessageLanguage.h"

#include <algorithm>
#include <iterator>

namespace kivo::pin {

namespace {

constexpr int kEnglish = 0;
constexpr int kSwedish = 2;

// One row per identifier: English, German, Swedish. A Swedish text left
// null shows the English one.
struct MessageRow {
    int id;
    const char* english;
    const char* german;
    const char* swedish;
};

constexpr MessageRow kMessages[] = {
    {10, "OK", "OK", "OK"},
    {11, "Cancel", "Abbrechen", "Avbryt"},
    {100, "Please enter %s PIN with the reader keypad.",
     "Bitte die %s PIN mit der Tastatur des Kartenlesers eingeben.",
     "Ange %s-PIN med kortläsarens tangentbord."},
    {101, "Please enter the old %s PIN with the reader keypad.",
     "Bitte die alte %s PIN mit der Tastatur des Kartenlesers eingeben.",
     "Ange gammal %s-PIN med kortläsarens tangentbord."},
    {102, "Please enter the old %s PIN with the reader keypad. Und dann zwei mal die neue PIN.",
     "Bitte die alte %s PIN mit der Tastatur des Kartenlesers eingeben. Und dann zwei mal die neue PIN.",
     "Ange gammal %s-PIN kortläsarens tangentbord, och sedan den nya PIN-koden två gånger."},
    {103, "Please enter the new %s PIN with the reader keypad.",
     "Bitte die neue %s PIN mit der Tastatur des Kartenlesers eingeben.",
     "Ange ny %s-PIN kortläsarens tangentbord."},
    {104, "Please repeat the PIN.", "Bitte die Eingabe wiederholen.", "Upprepa inmatningen."},
    {105, "Please repeat the new %s PIN.", "Bitte die neue %s PIN wiederholen.", "Ange ny %s-PIN igen."},
    {106, "Please enter the old %s PIN with the computer keyboard.",
     "Bitte die alte %s PIN mit der Tastatur des Rechners eingeben.",
     "Ange gammal %s-PIN med datorns tangentbord."},
    {107, "Please enter the new %s PIN.", "Bitte die neue %s PIN eingeben.", "Ange ny %s-PIN."},
    {108, "Please repeat the new %s PIN.", "Bitte die neue %s PIN wiederholen.", "Ange ny %s-PIN igen."},
    {109, "Please enter the PUK for %s PIN.", "Bitte die PUK für die %s PIN eingeben.",
     "Ange PUK-koden för %s PIN."},
    {110, "Please enter %s PIN with the computer keyboard.",
     "Bitte die %s PIN mit der Tastatur des Rechners eingeben.",
     "Ange %s-PIN med datorns tangentbord."},
    {111, "Please enter the CAN (Card Access Number) using the computer keyboard.",
     "Bitte die CAN (Card Access Number) mit der Tastatur des Rechners eingeben.", nullptr},
    {200, "Signature", "Signatur", "Signatur"},
    {201, "CSA", "CSA", "CSA"},
    {202, "Global", "Globale", "Global"},
    {203, "Auth", "Auth", "Autentisering"},
    {204, "Cipher", "Verschlüsselungs", "Kryptering"},
    {205, "Card", "Karten", "Kort"},
    {206, "Signature", "Signatur", "Signatur"},
    {209, "Card", "Karten", "Kort"},
    {210, "Signature", "Signatur", "Signatur"},
    {213, "CSA", "CSA", "CSA"},
    {214, "Signature", "Signatur", "Signatur"},
    {217, "Card", "Card", "Kort"},
    {218, "Signature", "Signatur", "Signatur"},
    {221, "Card", "Card", "Kort"},
    {222, "Signature", "Signatur", "Signatur"},
    {225, "Identification", "Identifikation", "Legitimering"},
    {226, "Signature", "Signatur", "Underskrift"},
    {227, "I-Code", "I-Code", "I-kodsnyckel"},
    {228, "Cipher", "Verschlüsselungs", "Kryptering"},
    {229, "Signature", "Signatur", "Signatur"},
    {230, "Card", "Card", "Card"},
    {300, "Error", "Fehler", "Fel"},
    {301, "Initial PIN is active, please change the PIN.",
     "Die Null-PIN ist aktiv, bitte ändern Sie die PIN.", "Null-PIN aktiv, ändra PIN-kod."},
    {302, "PIN is wrong.", "PIN nicht korrekt.", "PIN ej korrekt."},
    {303, "PIN is blocked.", "PIN blockiert.", "PIN blockierat."},
    {304, "PIN is not blocked.", "PIN ist nicht blockiert.", "PIN ej blockierat."},
    {305, "The PIN entry via the keypad of the reader was canceled.",
     "Die PIN Eingabe über Tastatur des Kartenlesers wurde abgebrochen.", nullptr},
    {306, "The PIN entry via the keyboard of the computer was canceled.",
     "Die PIN Eingabe über Tastatur des Rechners wurde abgebrochen.", nullptr},
    {600, "Info", "Info", "Info"},
    {700, "new PIN is wrong.", "neue PIN nicht korrekt.", "ny PIN ej korrekt."},
    {701, "old PIN is wrong.", "alte PIN nicht korrekt.", "gammal PIN ej korrekt."},
    {702, "PIN change was successful.", "Änderung der PIN erfolgreich.", "PIN ändrades."},
    {703, "PIN was successfully unblocked.", "PIN wurde erfolgreich entsperrt.", "PIN-koden är upplåst."},
    {704, "PIN was not blocked.", "PIN war nicht gesperrt.", "PIN-Koden kunde inte låsas upp."},
    {705, "Error while unblocking PIN.", "Fehler beim Entsperren der PIN.",
     "Fel vid upplåsning av PIN-kod."},
    {8000, "Preparing RSA key.", "RSA Schlüssel wird vorbereitet.", "RSA-nycklar förbereds."},
    {8001, "Writing certificate.", "Zertifikat wird geschrieben.", "Certifikatet skrivs."},
    {8002, "Reading smartcard.", "SmartCard wird eingelesen.", "Läser information från ditt smartcard."},
    {8003, "Signing data.", "Signatur wird erstellt.", "Signatur skrivs."},
    {8004, "Decrypting data.", "Daten werden entschlüsselt.", "Datan krypteras."},
    {11000, "unknown", "Unbekannt", "okänd"},
};

const char* textIn(const MessageRow& row, int language) {
    if (language == kEnglish) return row.english;
    if (language == kSwedish) return row.swedish != nullptr ? row.swedish : row.english;
    return row.german;  // German, and every language the table does not hold
}

}  // namespace

const char* message(int id, int language) {
    const auto row = std::find_if(std::begin(kMessages), std::end(kMessages),
                                  [id](const MessageRow& candidate) { return candidate.id == id; });
    if (row == std::end(kMessages)) return cStringtableError;
    return textIn(*row, language);
}

const char* message(int id) { return message(id, messageLanguage()); }

std::string messageWithPinName(int id, std::string_view pinName) {
    std::string text = message(id);
    const std::size_t at = text.find("%s");
    if (at != std::string::npos) text.replace(at, 2, pinName);
    return text;
}

std::size_t messageCount() { return std::size(kMessages); }

MessageBoxStyle messageBoxStyle(int kind) {
    switch (kind) {
        case 0: return {MessageBoxIcon::Error, MessageBoxButtons::Ok};
        case 1: return {MessageBoxIcon::Warning, MessageBoxButtons::Ok};
        case 2:
        case 3: return {MessageBoxIcon::Information, MessageBoxButtons::Ok};
        case 4: return {MessageBoxIcon::Question, MessageBoxButtons::YesNoCancel};
        case 5: return {MessageBoxIcon::Question, MessageBoxButtons::RetryCancel};
        default: return {MessageBoxIcon::None, MessageBoxButtons::Ok};
    }
}

int messageBoxResult(MessageBoxAnswer answer) {
    switch (answer) {
        case MessageBoxAnswer::Yes:
        case MessageBoxAnswer::Retry: return 2;
        case MessageBoxAnswer::No: return 3;
        default: return 1;
    }
}

}  // namespace kivo::pin
