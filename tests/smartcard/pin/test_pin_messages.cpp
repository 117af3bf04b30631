// The message table of the PIN dialogs in its three languages, and the
// kinds and results of the message boxes.

#include "smartcard/pin/MessageLanguage.h"
#include "smartcard/pin/PinMessages.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using namespace kivo::pin;

constexpr int kEnglish = 0;
constexpr int kGerman = 1;
constexpr int kSwedish = 2;

struct Expected {
    int id;
    int language;
    const char* text;
};

// Typed from the dialog texts as the product documents them, not copied
// from the table: a sample of every group, each language, and the Swedish
// rows that show English.
const Expected kSample[] = {
    {10, kSwedish, "OK"},
    {11, kEnglish, "Cancel"},
    {11, kGerman, "Abbrechen"},
    {11, kSwedish, "Avbryt"},
    {100, kSwedish, "Ange %s-PIN med kortläsarens tangentbord."},
    {102, kEnglish, "Please enter the old %s PIN with the reader keypad. Und dann zwei mal die neue PIN."},
    {102, kSwedish, "Ange gammal %s-PIN kortläsarens tangentbord, och sedan den nya PIN-koden två gånger."},
    {104, kGerman, "Bitte die Eingabe wiederholen."},
    {109, kGerman, "Bitte die PUK für die %s PIN eingeben."},
    {110, kEnglish, "Please enter %s PIN with the computer keyboard."},
    {111, kSwedish, "Please enter the CAN (Card Access Number) using the computer keyboard."},
    {204, kGerman, "Verschlüsselungs"},
    {217, kGerman, "Card"},
    {225, kSwedish, "Legitimering"},
    {226, kSwedish, "Underskrift"},
    {227, kSwedish, "I-kodsnyckel"},
    {230, kGerman, "Card"},
    {300, kSwedish, "Fel"},
    {301, kGerman, "Die Null-PIN ist aktiv, bitte ändern Sie die PIN."},
    {302, kEnglish, "PIN is wrong."},
    {303, kSwedish, "PIN blockierat."},
    {305, kSwedish, "The PIN entry via the keypad of the reader was canceled."},
    {306, kGerman, "Die PIN Eingabe über Tastatur des Rechners wurde abgebrochen."},
    {600, kGerman, "Info"},
    {702, kGerman, "Änderung der PIN erfolgreich."},
    {704, kSwedish, "PIN-Koden kunde inte låsas upp."},
    {8000, kGerman, "RSA Schlüssel wird vorbereitet."},
    {8002, kSwedish, "Läser information från ditt smartcard."},
    {11000, kSwedish, "okänd"},
    // Languages the table does not hold read German.
    {11, 7, "Abbrechen"},
    {302, -1, "PIN nicht korrekt."},
    // Identifiers outside the table, the list terminator among them.
    {999, kEnglish, "----Error in Stringtable----"},
    {-1, kGerman, "----Error in Stringtable----"},
};

// Every identifier the documentation lists.
const std::vector<int> kIdentifiers = {
    10,  11,  100, 101, 102, 103, 104, 105, 106, 107, 108, 109, 110, 111,  200,  201,  202,  203,
    204, 205, 206, 209, 210, 213, 214, 217, 218, 221, 222, 225, 226, 227,  228,  229,  230,  300,
    301, 302, 303, 304, 305, 306, 600, 700, 701, 702, 703, 704, 705, 8000, 8001, 8002, 8003, 8004,
    11000};

class ProcessLanguage {
public:
    explicit ProcessLanguage(int language) : m_saved(messageLanguage()) { setMessageLanguage(language); }
    ~ProcessLanguage() { setMessageLanguage(m_saved); }

private:
    int m_saved;
};

TEST(PinMessages, TextsPerLanguageAndCount) {
    for (const Expected& row : kSample) {
        EXPECT_STREQ(message(row.id, row.language), row.text) << row.id << " in " << row.language;
        const ProcessLanguage process(row.language);
        EXPECT_STREQ(message(row.id), row.text) << row.id << " in process language " << row.language;
    }
    const ProcessLanguage german(kGerman);
    EXPECT_EQ(messageWithPinName(100, "Signatur"),
              "Bitte die Signatur PIN mit der Tastatur des Kartenlesers eingeben.");
    EXPECT_EQ(messageWithPinName(302, "Signatur"), "PIN nicht korrekt.");

    // Every listed identifier has a text in every language, and no other.
    EXPECT_EQ(messageCount(), kIdentifiers.size());
    for (const int id : kIdentifiers) {
        for (const int language : {kEnglish, kGerman, kSwedish}) {
            const std::string text = message(id, language);
            EXPECT_NE(text, cStringtableError) << id << " in " << language;
            EXPECT_FALSE(text.empty()) << id;
        }
    }
}

TEST(PinMessages, MessageBoxKindsAndResults) {
    struct Kind {
        int kind;
        MessageBoxIcon icon;
        MessageBoxButtons buttons;
    };
    const Kind kinds[] = {
        {0, MessageBoxIcon::Error, MessageBoxButtons::Ok},
        {1, MessageBoxIcon::Warning, MessageBoxButtons::Ok},
        {2, MessageBoxIcon::Information, MessageBoxButtons::Ok},
        {3, MessageBoxIcon::Information, MessageBoxButtons::Ok},
        {4, MessageBoxIcon::Question, MessageBoxButtons::YesNoCancel},
        {5, MessageBoxIcon::Question, MessageBoxButtons::RetryCancel},
        {6, MessageBoxIcon::None, MessageBoxButtons::Ok},
    };
    for (const Kind& row : kinds) {
        const MessageBoxStyle style = messageBoxStyle(row.kind);
        EXPECT_EQ(style.icon, row.icon) << row.kind;
        EXPECT_EQ(style.buttons, row.buttons) << row.kind;
    }
    const std::pair<MessageBoxAnswer, int> results[] = {
        {MessageBoxAnswer::Ok, 1},  {MessageBoxAnswer::Cancel, 1}, {MessageBoxAnswer::Yes, 2},
        {MessageBoxAnswer::No, 3},  {MessageBoxAnswer::Retry, 2},
    };
    for (const auto& [answer, result] : results) {
        EXPECT_EQ(messageBoxResult(answer), result) << static_cast<int>(answer);
    }
}

}  // namespace
